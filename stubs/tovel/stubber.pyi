import ast as ast
import re as re
from pathlib import Path as Path
from typing import Any

def stub(source: str | bytes, filename: str = "<module>", inherited: dict[str, set[str]] = {}) -> str: ...
def write(units: list[dict[str, Any]], tree: str) -> list[str]: ...
