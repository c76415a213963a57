import email as email
import hashlib as hashlib
import os as os
import shutil as shutil
import subprocess as subprocess
import sys as sys
import time as time
import zipfile as zipfile
from pathlib import Path as Path

from packaging.utils import parse_wheel_filename as parse_wheel_filename
from packaging.version import Version as Version

def environment(python: str, venv: str, install: list[str], log: str) -> str: ...
def clone(old: str, venv: str) -> None: ...
def prepare(python: str, venv: str, wheel: str, requires: list[str], cache: str | None, log: str) -> str: ...
