import ast as ast
import os as os
import re as re
import sysconfig as sysconfig
from pathlib import Path as Path
from typing import Any

def plan(
    packages: list[Any], exclude: str | None, keep: str | None, limited: bool, root: str | None = None,
    verbose: bool = False,
) -> dict[str, list[Any]]: ...
