import hashlib as hashlib
import os as os
import re as re
import shlex as shlex
import shutil as shutil
import sys as sys
from pathlib import Path as Path
from typing import Any

def source_tree(plan: dict[str, list[Any]], folder: str) -> str: ...
def check(units: list[dict[str, Any]], tree: str, roots: list[str], absent: list[str], source_tree: str, cache: str | None = None, remote: str | None = None, target: dict[str, Any] | None = None, requires: list[str] | None = None) -> list[dict[str, Any]]: ...
def summary(failed: list[dict[str, Any]], argv: list[str] | None, keep: str | None, logpath: str) -> str: ...
