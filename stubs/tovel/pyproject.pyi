import json as json
import os as os
import re as re
import tomllib as tomllib
from typing import Any

from Cython.Compiler.Options import parse_directive_list as parse_directive_list
from packaging.licenses import canonicalize_license_expression as canonicalize_license_expression
from packaging.requirements import Requirement as Requirement
from packaging.version import Version as Version

def settings(options: dict[str, Any]) -> None: ...
def backend() -> str: ...
def dist_info(options: dict[str, Any], outdir: str) -> str: ...
