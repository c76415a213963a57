import os as os
import re as re
from functools import partial as partial
from pathlib import Path as Path
from typing import Any

from Cython.Build import cythonize as cythonize
from setuptools import Extension as Extension, setup as setup
from setuptools.command.bdist_wheel import bdist_wheel as bdist_wheel
from setuptools.command.build import build as _build
from setuptools.command.build_ext import build_ext as _build_ext
from setuptools.command.build_py import build_py as _build_py

from .metagen import PYTAG as PYTAG
from .wheeler import project as project

def clean(path: str = "build") -> None: ...
def reset() -> None: ...
def collect(
    path: str | os.PathLike[str],
    extension: str = "pyd",
    replacement: object = False,
    exclude: str = "a|b|c",
    abi3: object = False,
) -> list[Extension]: ...

class CustomBuildPy(_build_py):
    def build_module(self, module: str, module_file: str, package: str) -> None: ...

class CustomBdistWheel(bdist_wheel):
    def initialize_options(self) -> None: ...
    def finalize_options(self) -> None: ...
    def run(self) -> Any: ...
    def get_tag3(self) -> tuple[str, str, str]: ...

class CustomBuild(_build):
    def finalize_options(self) -> None: ...

class CustomBuildExt(_build_ext):
    def finalize_options(self) -> None: ...

def build(args: dict[str, Any]) -> partial[Any]: ...
