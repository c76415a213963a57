import os as os
import shutil as shutil
import sys as sys
import time as time
from pathlib import Path as Path
from typing import Any

class BuildFailed(RuntimeError): ...

def bdist(options: dict[str, Any], outdir: str, argv: list[str] | None = None) -> str: ...
