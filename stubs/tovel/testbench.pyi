import os as os
import posixpath as posixpath
import shlex as shlex
import shutil as shutil
import signal as signal
import subprocess as subprocess
import sys as sys
import time as time
import xml.etree.ElementTree as ElementTree
from packaging.version import Version as Version
from pathlib import Path as Path
from typing import Any

def is_pytest(command: str) -> bool: ...
def make(settings: dict[str, Any], pure_wheel: str, units: list[dict[str, Any]], workdir: str) -> dict[str, Any]: ...
def arrange(bench: dict[str, Any], source: list[int]) -> None: ...
def run(bench: dict[str, Any], select: list[str] | None) -> dict[str, Any]: ...
def describe(bench: dict[str, Any], result: dict[str, Any]) -> str: ...
