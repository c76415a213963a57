import argparse as argparse
import sys as sys
from typing import Any

from .compiler import tovbdist as tovbdist, tovcompile as tovcompile
from .metagen import PYVER as PYVER
from .wheeler import tovwheel as tovwheel

def version_line() -> str: ...
def tovel(**kwds: Any) -> Any: ...
def main() -> int: ...
