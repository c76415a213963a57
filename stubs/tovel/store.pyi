import hashlib as hashlib
import socket as socket
from typing import Any
from urllib.error import HTTPError as HTTPError
from urllib.parse import urlsplit as urlsplit
from urllib.request import Request as Request
from urllib.request import urlopen as urlopen

def probe(url: str) -> str | None: ...
def fetch(url: str, key: str) -> bytes | None: ...
def put(url: str, key: str, data: bytes) -> bool: ...
