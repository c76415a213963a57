import hashlib as hashlib
import json as json
import os as os
import shutil as shutil
import subprocess as subprocess
import sys as sys
import tempfile as tempfile
import zipfile as zipfile
from typing import Any

def policy(sofiles: list[str], cache: str | None, remote: str | None) -> str | None: ...
def start(sofiles: list[str], cache: str | None, remote: str | None, minimum: str, work: str) -> dict[str, Any]: ...
def audit_one(so: str, cache: str, minimum: str) -> bool: ...
def finish(handle: dict[str, Any]) -> list[str]: ...
