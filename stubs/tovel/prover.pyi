import re as re
from pathlib import Path as Path
from typing import Any

from tovel import testbench as testbench

def prove(settings: dict[str, Any], pure_wheel: str, units: list[dict[str, Any]], workdir: str) -> list[dict[str, Any]]: ...
