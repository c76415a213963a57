import argparse as argparse

from Cython.Build import cythonize as cythonize
from setuptools import setup as setup

from .builder import build as build, clean as clean, collect as collect
from .metagen import libpath as libpath

def tovcompile(args: argparse.Namespace) -> None: ...
def tovbdist(args: argparse.Namespace) -> None: ...
