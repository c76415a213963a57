import ast as ast
import traceback as traceback
from operator import itemgetter as itemgetter
from pathlib import Path as Path
from typing import Any

from packaging.version import Version as Version

def table() -> list[dict[str, Any]]: ...
def scan(source: str | bytes, path: str) -> list[dict[str, Any]]: ...
def check(unit: dict[str, Any]) -> bool: ...
