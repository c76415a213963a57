"""Fixtures shared by the test modules of tovel.

The tests run against the installed package: `import tovel...` in process,
or the running interpreter (sys.executable) in a subprocess.
"""

import contextlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import types
from pathlib import Path

import pytest

from wheels import FULL_API_PRELUDE, compile_extension, extension_source

# Loading the package may reset a build tree in the working directory: load it
# once from a scratch folder so that a test run never touches the checkout.
with tempfile.TemporaryDirectory(prefix="tovel-load-") as scratch, contextlib.chdir(scratch):
    import tovel.metagen  # noqa: F401


def _run(argv, cwd=None, env=None, timeout=300):
    proc = subprocess.run(
        argv, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def project_dir(tmp_path, monkeypatch):
    """An empty project directory that is also the working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def no_sleep(monkeypatch):
    """Replaces tovel.metagen.time: each sleep is recorded, none is slept."""
    slept = []
    monkeypatch.setattr(tovel.metagen, "time", types.SimpleNamespace(sleep=slept.append))
    return slept


@pytest.fixture
def run_python(tmp_path):
    """run_python(code, cwd=tmp_path, env=None) -> (returncode, stdout, stderr),
    with the interpreter that runs the tests."""

    def run(code, cwd=None, env=None):
        return _run([sys.executable, "-c", code], cwd=cwd or tmp_path, env=env)

    return run


@pytest.fixture
def run_tov(tmp_path):
    """run_tov(*args, cwd=tmp_path) -> (returncode, stdout, stderr), running the
    installed `tov` command of the interpreter's environment."""
    scripts = Path(sys.executable).parent
    tov = next(
        (str(p) for p in (scripts / "tov", scripts / "tov.exe") if p.exists()), "tov"
    )

    def run(*args, cwd=None, env=None):
        return _run([tov, *map(str, args)], cwd=cwd or tmp_path, env=env)

    return run


@pytest.fixture(scope="session")
def make_venv(tmp_path_factory):
    """make_venv(*wheels) -> path of the python of a fresh virtual environment
    into which the given wheels are installed (no dependencies, no index)."""

    def make(*wheels):
        where = tmp_path_factory.mktemp("venv")
        # No pip inside: the running pip installs into it (--python), which
        # saves the seconds of bootstrapping a pip per environment.
        rc, out, err = _run([sys.executable, "-m", "venv", "--without-pip", str(where)])
        assert rc == 0, err
        bindir = "Scripts" if os.name == "nt" else "bin"
        python = where / bindir / ("python.exe" if os.name == "nt" else "python")
        if wheels:
            rc, out, err = _run(
                [sys.executable, "-m", "pip", "--python", str(python), "install",
                 "--no-deps", "--no-index", "--disable-pip-version-check",
                 *map(str, wheels)]
            )
            assert rc == 0, out + err
        return python

    return make


@pytest.fixture(scope="session")
def limited_module(tmp_path_factory):
    """A compiled extension module _limited, of the limited API of 3.12."""
    if sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info < (3, 15):
        pytest.skip("no limited API on this interpreter")
    return compile_extension(tmp_path_factory.mktemp("limited"), "pkg._limited",
                             extension_source("_limited"), limited=True)


@pytest.fixture(scope="session")
def full_module(tmp_path_factory):
    """A compiled extension module _full of the full API: it uses a function
    outside the stable ABI, and on Linux a glibc 2.27 symbol."""
    return compile_extension(tmp_path_factory.mktemp("full"), "pkg._full",
                             extension_source("_full", "fresh()", FULL_API_PRELUDE))


@pytest.fixture
def limited_api(request, monkeypatch):
    """tovel.options.limited_api answering as the parameter says (True when
    not parametrized): the rules of an interpreter with the limited API, or
    of a free-threaded one before 3.15, whichever interpreter runs the tests."""
    import tovel.options
    value = getattr(request, "param", True)
    monkeypatch.setattr(tovel.options, "limited_api", lambda: value)
    return value
