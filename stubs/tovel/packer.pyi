import os as os
import shutil as shutil
import sys as sys
import time as time
import zipfile as zipfile
from pathlib import Path as Path
from typing import Any

class BuildFailed(RuntimeError): ...

PURE: str

def source(options: dict[str, Any], cache: str | None = None) -> dict[str, Any]: ...
def bdist(options: dict[str, Any], outdir: str, argv: list[str] | None = None) -> str: ...
