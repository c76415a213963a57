import hashlib as hashlib
import json as json
import os as os
import queue as queue
import shlex as shlex
import shutil as shutil
import subprocess as subprocess
import sys as sys
import sysconfig as sysconfig
import threading as threading
import time as time
from concurrent.futures import ThreadPoolExecutor as ThreadPoolExecutor
from pathlib import Path as Path
from tovel import scanner as scanner
from tovel import store as store
from typing import Any

def run(units: list[dict[str, Any]], options: dict[str, Any]) -> list[dict[str, Any]]: ...
