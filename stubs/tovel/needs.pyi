import ast as ast
import configparser as configparser
import glob as glob
import os as os
import re as re
import sys as sys
import tomllib as tomllib
from dependency_groups import resolve as resolve
from importlib.metadata import PathDistribution as PathDistribution
from packaging.requirements import Requirement as Requirement
from packaging.specifiers import SpecifierSet as SpecifierSet
from packaging.utils import canonicalize_name as canonicalize_name
from packaging.version import Version as Version
from pathlib import Path as Path
from typing import Any

def requirements(project: str, info: str | None, roots: list[str], pytest: bool) -> dict[str, Any]: ...
def pep440(constraint: object) -> str | None: ...
