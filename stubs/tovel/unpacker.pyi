import os as os
import re as re
import shutil as shutil
import stat as stat
import sysconfig as sysconfig
import zipfile as zipfile
from pathlib import Path as Path
from typing import Any

import packaging.tags as tags
from packaging.utils import canonicalize_name as canonicalize_name
from packaging.utils import parse_wheel_filename as parse_wheel_filename
from wheel.wheelfile import WheelFile as WheelFile

def unpack(wheel: str, where: str) -> dict[str, Any]: ...
def dist_info_of(wheel: str, outdir: str) -> str: ...
def recorded_modes(wheel: str) -> dict[str, int]: ...
