import json as json
import shutil as shutil
import subprocess as subprocess
from typing import Any

def describe(python: str) -> dict[str, Any]: ...
def choose(pythons: list[str] | None, limited: bool) -> list[dict[str, Any]]: ...
