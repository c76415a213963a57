import hashlib as hashlib
import os as os
import re as re
import shlex as shlex
import shutil as shutil
import sys as sys
from pathlib import Path as Path
from typing import Any
from zipfile import ZipFile as ZipFile

from tovel import testbench as testbench
from tovel import narrow as narrow
from tovel import testrun as testrun
from tovel import verdict as verdict

def prove(settings: dict[str, Any], pure_wheel: str, units: list[dict[str, Any]], workdir: str) -> list[dict[str, Any]]: ...
