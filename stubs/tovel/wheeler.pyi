import argparse as argparse
import json as json
import os as os
import subprocess as subprocess
import sys as sys

from .metagen import ABITAG as ABITAG, PLATAG as PLATAG, PYTAG as PYTAG, libpath as libpath
from .metagen import project as project

def tovwheel(args: argparse.Namespace) -> None: ...
