import glob as glob
import os as os
import posixpath as posixpath
import re as re
import shlex as shlex
from importlib.metadata import PathDistribution as PathDistribution
from packaging.requirements import Requirement as Requirement
from packaging.utils import canonicalize_name as canonicalize_name
from pathlib import Path as Path
from tovel import collect as collect
from tovel import needs as needs
from tovel import testbench as testbench
from tovel import uses as uses
from typing import Any

def find(project: str, base: str, packages: list[tuple[str, str]], info: str | None) -> dict[str, Any]: ...
def proof(options: dict[str, Any], project: str, root: str | None, packages: list[tuple[str, str]], info: str | None, built: list[dict[str, Any]]) -> dict[str, Any]: ...
def test_sources(project: str) -> list[str]: ...
def declared(info: str | None) -> list[str] | None: ...
