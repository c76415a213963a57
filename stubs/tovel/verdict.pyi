import hashlib as hashlib
import json as json
import os as os
import sys as sys
from pathlib import Path as Path
from typing import Any
from zipfile import ZipFile as ZipFile

def salt(settings: dict[str, Any], pure_wheel: str) -> str: ...
def recall(cache: str, key: str, log: str) -> dict[str, Any] | None: ...
def remember(cache: str, key: str, result: dict[str, Any]) -> None: ...
