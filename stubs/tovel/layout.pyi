import ast as ast
import glob as glob
import os as os
import re as re
import shutil as shutil
from pathlib import Path as Path
from typing import Any

from packaging.requirements import Requirement as Requirement
from packaging.utils import canonicalize_name as canonicalize_name
from packaging.version import Version as Version

def static_version(folder: str) -> str | None: ...
def settle(options: dict[str, Any]) -> None: ...
def dist_info(options: dict[str, Any], outdir: str) -> str: ...
