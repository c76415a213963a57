import hashlib as hashlib
import os as os
import shutil as shutil
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import zipfile as zipfile

from packaging.tags import parse_tag as parse_tag
from typing import Iterable
from packaging.utils import parse_wheel_filename as parse_wheel_filename

def beyond_abi3(symbols: Iterable[str]) -> list[str]: ...
def verify(wheel: str | os.PathLike[str], passed: Iterable[str] | None = None) -> None: ...
def policy(wheel: str | os.PathLike[str]) -> str | None: ...
def newer_policy(wheel: str | os.PathLike[str]) -> str | None: ...
def repair(wheel: str | os.PathLike[str], outdir: str | os.PathLike[str]) -> str: ...
