import hashlib as hashlib
import json as json
import os as os
import re as re
import sys as sys
import sysconfig as sysconfig
from importlib.metadata import version as version
from pathlib import Path as Path
from typing import Any

def tovel_folder() -> str: ...
def fingerprint(options: dict[str, Any]) -> str: ...
def current(options: dict[str, Any], cache: str | None, outdir: str) -> list[str] | None: ...
def record(options: dict[str, Any], cache: str | None, outdir: str, wheels: list[str]) -> None: ...
