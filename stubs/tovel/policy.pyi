import os as os
import shutil as shutil
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import zipfile as zipfile

from packaging.utils import parse_wheel_filename as parse_wheel_filename

def policy(wheel: str | os.PathLike[str]) -> str | None: ...
def newer_policy(wheel: str | os.PathLike[str]) -> str | None: ...
def repair(wheel: str | os.PathLike[str], outdir: str | os.PathLike[str]) -> str: ...
