import argparse as argparse
import sys as sys

from Cython.Build import cythonize as cythonize
from setuptools import setup as setup

from .builder import build as build, clean as clean, collect as collect
from .metagen import libpath as libpath
from .packer import bdist as bdist
from .pyproject import settings as settings

def tovcompile(args: argparse.Namespace) -> None: ...
def tovbdist(args: argparse.Namespace) -> None: ...
