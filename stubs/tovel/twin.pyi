import os as os
import re as re
import shlex as shlex
import shutil as shutil
import stat as stat
import subprocess as subprocess
import sys as sys
import time as time
from pathlib import Path as Path
from typing import Any

import build as build
from build import ProjectBuilder as ProjectBuilder
from build.env import DefaultIsolatedEnv as DefaultIsolatedEnv
from packaging.utils import canonicalize_name as canonicalize_name
from packaging.utils import parse_wheel_filename as parse_wheel_filename
from pyproject_hooks import BackendUnavailable as BackendUnavailable
from pyproject_hooks import BuildBackendHookCaller as BuildBackendHookCaller
from wheel.wheelfile import WheelFile as WheelFile

def pure_wheel(outdir: str, isolated: bool = True, envs: str | None = None) -> str: ...
def unpack(wheel: str, where: str) -> dict[str, Any]: ...
def dist_info_of(wheel: str, outdir: str) -> str: ...
