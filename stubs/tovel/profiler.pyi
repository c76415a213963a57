import os as os
import re as re
import shutil as shutil
import subprocess as subprocess
import sys as sys
import time as time
from typing import Any

def require_gcc() -> None: ...
def profile_of(unit: dict[str, Any], folder: str) -> str: ...
def train(options: dict[str, Any], opts: dict[str, Any], units: list[dict[str, Any]], pure: dict[str, Any],
          target: dict[str, Any] | None) -> None: ...
