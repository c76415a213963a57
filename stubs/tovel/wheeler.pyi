import argparse as argparse
import json as json
import os as os
import subprocess as subprocess
import sys as sys

from wheel.wheelfile import WheelFile as WheelFile

from . import audit as audit
from .metagen import ABITAG as ABITAG, PLATAG as PLATAG, PYTAG as PYTAG, libpath as libpath
from .metagen import project as project

def tags(
    wheel: str,
    python_tags: str | None = None,
    abi_tags: str | None = None,
    platform_tags: str | None = None,
    build_tag: str | None = None,
    remove: bool = False,
) -> str: ...
def tovwheel(args: argparse.Namespace) -> None: ...
