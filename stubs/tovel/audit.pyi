import hashlib as hashlib
import os as os
import subprocess as subprocess
import sys as sys
import zipfile as zipfile

from packaging.tags import parse_tag as parse_tag
from typing import Iterable
from packaging.utils import parse_wheel_filename as parse_wheel_filename

from .policy import newer_policy as newer_policy, policy as policy, repair as repair

def beyond_abi3(symbols: Iterable[str]) -> list[str]: ...
def verify(wheel: str | os.PathLike[str], passed: Iterable[str] | None = None) -> None: ...
