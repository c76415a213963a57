import sysconfig as sysconfig
import time as time
from typing import Any

from tomli_w import dumps as dumps

PYVER: str
PYTAG: str
ABITAG: str
PLATAG: str
libpath: str
classifier: list[str]

def project(args: dict[str, Any]) -> None: ...
