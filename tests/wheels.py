"""Helpers shared by the wheel tests: real small wheels and extension
modules, the oracles of the banner and RECORD hashes, and the ecosystem's
checkers of a finished wheel."""

import base64
import csv
import hashlib
import io
import os
import subprocess
import sys
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES
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


def write_wheel(path, name, version, tags, extra_files=(), purelib=False):
    """A small real wheel: a package, a dist-info with METADATA, WHEEL and a
    RECORD of them all. Returns its members, name to bytes."""
    info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": b"ANSWER = 42\n",
        f"{name}/payload.bin": bytes(range(256)) * 4,
        **dict(extra_files),
        f"{info}/METADATA": f"Metadata-Version: 2.4\nName: {name}\nVersion: {version}\n".encode(),
        # "none" in the generator line is not a tag and must survive a retag
        f"{info}/WHEEL": ("Wheel-Version: 1.0\nGenerator: nonesuch-builder (none)\n"
                          f"Root-Is-Purelib: {str(purelib).lower()}\n"
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


def extension_source(module, call="PyLong_FromLong(42)", prelude=""):
    """C source of the extension module `module`, whose function answer()
    returns `call`; `prelude` comes before it."""
    return f"""#include <Python.h>
{prelude}
static PyObject *answer(PyObject *self, PyObject *unused) {{ return {call}; }}
static PyMethodDef methods[] = {{{{"answer", answer, METH_NOARGS, NULL}}, {{NULL, NULL, 0, NULL}}}};
static struct PyModuleDef module = {{PyModuleDef_HEAD_INIT, "{module}", NULL, -1, methods}};
PyMODINIT_FUNC PyInit_{module}(void) {{ return PyModule_Create(&module); }}
"""


# answer() of a full-API module: PyCell_New is outside the stable ABI, and on
# Linux memfd_create is a symbol of glibc 2.27, newer than manylinux2014.
FULL_API_PRELUDE = """
#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif
static PyObject *fresh(void) {
#ifdef __linux__
    int fd = memfd_create("tovel", 0);
    if (fd >= 0)
        close(fd);
#endif
    return PyCell_New(Py_None);
}
"""


def compile_extension(where, fullname, source, limited=False, **extension):
    """Compiles the C `source` into the extension module `fullname`
    (package.module) inside `where`, with setuptools in a child process, and
    returns the built file. `limited`: against the limited API of 3.12."""
    where = Path(where)
    package, module = fullname.rsplit(".", 1)
    (where / package).mkdir(parents=True, exist_ok=True)
    (where / f"{module}.c").write_text(source)
    macros = [("Py_LIMITED_API", "0x030C0000")] if limited else []
    code = ("from setuptools import setup, Extension\n"
            f"setup(ext_modules=[Extension({fullname!r}, [{module + '.c'!r}], "
            f"py_limited_api={limited!r}, define_macros={macros!r}, **{extension!r})], "
            "script_args=['build_ext', '--inplace'])\n")
    proc = subprocess.run([sys.executable, "-c", code], cwd=where, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    [built] = (where / package).glob(module + ".*")
    return built


def _run(*argv, cwd=None):
    proc = subprocess.run([str(a) for a in argv], cwd=cwd, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, f"{argv}:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# Imports every module named on the command line and prints where each came
# from; on a free-threaded interpreter the GIL must stay off.
IMPORT_ALL = """import importlib, sys, sysconfig
free = sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled()
for name in sys.argv[1:]:
    print(name, importlib.import_module(name).__file__)
    if free and sys._is_gil_enabled():
        sys.exit(f"importing {name} turned the GIL on")
"""


def _imported(python, modules, where):
    """Module name to the file it was loaded from, in the environment of
    `python`, started in an empty folder with -I so that only what is
    installed can be imported."""
    out = _run(python, "-I", "-c", IMPORT_ALL, *modules, cwd=where)
    return dict(line.split(" ", 1) for line in out.splitlines())


def check_wheel(wheel, modules, workdir, abi3=False, ignore=()):
    """Runs the ecosystem's checkers on a built wheel, each of which must
    pass: twine check --strict, check-wheel-contents, abi3audit --strict (an
    abi3 wheel), auditwheel show (Linux), then installs the wheel with pip
    and with uv into fresh virtual environments and imports every module in
    `modules`, each of which must load as an extension module from there.
    `workdir` is an empty folder for the environments; `ignore` names checks
    of check-wheel-contents that a route cannot meet (say why where it is
    given)."""
    wheel, workdir = Path(wheel), Path(workdir)
    python = sys.executable
    _run(python, "-m", "twine", "check", "--strict", wheel)
    # A wheel of the compile and wheel route holds each module as source and
    # compiled, which no check of check-wheel-contents objects to: it ignores
    # none there.
    _run(python, "-m", "check_wheel_contents", *(["--ignore", ",".join(ignore)] if ignore else []),
         wheel)
    if abi3:
        _run(python, "-m", "abi3audit", "--strict", wheel)
    if sys.platform.startswith("linux"):
        _run(python, "-m", "auditwheel", "show", wheel)

    bindir = "Scripts" if os.name == "nt" else "bin"
    exe = "python.exe" if os.name == "nt" else "python"
    pip_env, uv_env, empty = workdir / "pip-env", workdir / "uv-env", workdir / "empty"
    empty.mkdir(parents=True)
    _run(python, "-m", "venv", "--without-pip", pip_env)
    _run(python, "-m", "pip", "--python", pip_env / bindir / exe, "install", "--no-deps",
         "--no-index", "--disable-pip-version-check", wheel)
    _run(python, "-m", "uv", "venv", "--no-cache", "--python", python, uv_env)
    _run(python, "-m", "uv", "pip", "install", "--no-cache", "--offline", "--no-deps",
         "--python", uv_env / bindir / exe, wheel)
    for env in (pip_env, uv_env):
        files = _imported(env / bindir / exe, modules, empty)
        for name in modules:
            where = Path(files[name])
            assert where.is_relative_to(env), (name, where)
            assert where.name.endswith(tuple(EXTENSION_SUFFIXES)), (name, where)
