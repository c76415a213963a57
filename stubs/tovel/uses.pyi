import ast as ast
import os as os
import sys as sys
from importlib.metadata import packages_distributions as packages_distributions
from packaging.utils import canonicalize_name as canonicalize_name
from pathlib import Path as Path
from typing import Any

def suggest(module: str) -> str: ...
def complete(need: dict[str, Any], files: list[str], local: list[str], addopts: list[str], entries: list[str] | None = None) -> None: ...
