import base64 as base64
import http.client as http_client
import socket as socket
import threading as threading
import time as time
from urllib.parse import unquote as unquote
from urllib.parse import urlsplit as urlsplit

LIMIT: int

def printable(what: str | bytes, width: int = 40) -> str: ...
def request(url: str, key: str, data: bytes | None, deadline: float) -> bytes | None: ...
