"""Helpers shared by the wheel tests: real small wheels and the oracles of
the banner and RECORD hashes."""

import base64
import csv
import hashlib
import io
import zipfile
from pathlib import Path


def centred(text, fill):
    """The 80-column banner: the left fill is half the shortfall rounded down."""
    if len(text) >= 80:
        return text
    left = (80 - len(text)) // 2
    return fill * left + text + fill * (80 - len(text) - left)


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).decode().rstrip("=")


def write_wheel(path, name, version, tags, extra_files=()):
    """A small real wheel: a package, a dist-info with METADATA, WHEEL and a
    RECORD of them all. Returns its members, name to bytes."""
    info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": b"ANSWER = 42\n",
        f"{name}/_native.abi3.so": bytes(range(256)) * 4,
        **dict(extra_files),
        f"{info}/METADATA": f"Metadata-Version: 2.4\nName: {name}\nVersion: {version}\n".encode(),
        # "none" in the generator line is not a tag and must survive a retag
        f"{info}/WHEEL": ("Wheel-Version: 1.0\nGenerator: nonesuch-builder (none)\n"
                          "Root-Is-Purelib: false\n"
                          + "".join(f"Tag: {t}\n" for t in tags)).encode(),
    }
    rows = io.StringIO()
    writer = csv.writer(rows, lineterminator="\n")
    for arc, data in files.items():
        writer.writerow([arc, record_hash(data), len(data)])
    writer.writerow([f"{info}/RECORD", "", ""])
    files[f"{info}/RECORD"] = rows.getvalue().encode()
    Path(path).parent.mkdir(exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        for arc, data in files.items():
            zf.writestr(arc, data)
    return files
