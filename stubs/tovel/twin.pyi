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
from pyproject_hooks import BackendUnavailable as BackendUnavailable
from pyproject_hooks import BuildBackendHookCaller as BuildBackendHookCaller

def pure_wheel(outdir: str, isolated: bool = True, envs: str | None = None) -> str: ...
PURE: str

def pure_tree(options: dict[str, Any], cache: str | None = None) -> dict[str, Any]: ...
