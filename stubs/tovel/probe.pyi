import json as json
import os as os
import signal as signal
import subprocess as subprocess
from pathlib import Path as Path
from typing import Any

SCRIPT: str

def probe(tree: str, names: list[str], roots: list[str], python: str, sources: str | None = None) -> dict[str, dict[str, Any] | None]: ...
