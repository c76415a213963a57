"""The compiled-wheel pipeline of tov bdist on a package that cannot be
compiled whole: every failing module reported at once with the command that
succeeds, that command's wheel checked, installed and run, the cache reused,
and the build reproducible across folders."""

import contextlib
import hashlib
import http.server
import io
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import zipfile
from pathlib import Path

import pytest

from wheels import check_wheel

LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
pytestmark = pytest.mark.skipif(not LIMITED, reason="no limited API on this interpreter")
SCRIPTS = Path(sys.executable).parent
TOV = next((str(p) for p in (SCRIPTS / "tov", SCRIPTS / "tov.exe") if p.exists()), "tov")

BROKEN = ("def pair(values, n):\n    match = (n)\n    start, end = values[*n]\n"
          "    return start, end\n\n\nVALUE = pair({(1,): (3, 7)}, (1,))[1]\n")
PACKAGE = {
    "kg/__init__.py": "from kg.helper import size\n",
    # An annotation that Cython would turn into a type check by default.
    "kg/helper.py": "def size(data: bytes):\n    return len(data)\n",
    # Cython refuses a starred index, and its parser first reports an error
    # at `match =`, of a match statement it tried and dropped.
    "kg/broken.py": BROKEN,
    # Imports the module that must stay source.
    "kg/user.py": "from kg.broken import VALUE\n\n\ndef twice():\n    return VALUE * 2\n",
    "kg/__main__.py": "from kg.user import twice\nprint('kg main', twice())\n",
    "kg/sub/__init__.py": "",
    "kg/sub/deep.py": "def fib(n):\n    return n if n < 2 else fib(n - 1) + fib(n - 2)\n",
    "kg/data.txt": "data\n",
    "project/README.md": "# kg\n\nA package that Cython cannot compile whole.\n",
    "project/LICENSE": "MIT License\n",
}


def write(where, files=PACKAGE):
    for name, text in files.items():
        path = where / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return where


def tov(*args, cwd, env=None):
    proc = subprocess.run([TOV, *args], cwd=cwd, capture_output=True, text=True, timeout=600,
                          env=env)
    return proc.returncode, proc.stdout, proc.stderr


def ccache_stats(cache):
    """ccache's counters for the cache folder of a build."""
    ccache = shutil.which("ccache", path=sysconfig.get_path("scripts")) or shutil.which("ccache")
    out = subprocess.run([ccache, "--print-stats"], capture_output=True, text=True, check=True,
                         env={**os.environ, "CCACHE_DIR": str(cache / "ccache")}).stdout
    return {k: int(v) for k, v in (line.split("\t") for line in out.splitlines())}


def test_cython_reports_a_dropped_parser_error_before_its_error(tmp_path, monkeypatch):
    """The premise of the error's line below: Cython's own report of BROKEN
    has the error of the parser's dropped guess first, then the real one."""
    from Cython.Compiler import Errors, Main

    reported = []
    original = Errors.report_error
    monkeypatch.setattr(Errors, "report_error",
                        lambda err, **kw: (reported.append(err), original(err, **kw))[1])
    source = tmp_path / "broken.py"
    source.write_text(BROKEN)
    options = Main.CompilationOptions(Main.default_options, language_level=3,
                                      output_file=str(tmp_path / "broken.c"))
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        Main.compile_single(str(source), options, "kg.broken")
    kinds = [(type(e).__name__, str(e).strip().splitlines()[-1]) for e in reported]
    assert kinds[0] == ("CompileError", f"{source}:2:10: Expected an identifier or literal"), kinds
    assert kinds[-1] == ("CompileError", f"{source}:3:24: starred expression is not allowed here"), kinds


def test_failing_modules_then_the_suggested_command(tmp_path):
    project = write(tmp_path / "p1")
    cache = tmp_path / "cache"
    rc, out, err = tov("bdist", "-n", "kg", "-v", "1.0", "--cache-dir", str(cache), cwd=project)
    assert rc == 1, out + err
    assert not (project / "dist").exists()
    lines = err.strip().splitlines()
    assert lines[0] == "1 module failed; no wheel was made:"
    assert lines[1].split()[:3] == ["kg/broken.py", "Cython", "translation"]
    # The error in one line, not the parser's error of the dropped guess,
    # reported before it.
    assert lines[1].endswith("kg/broken.py:3:24: starred expression is not allowed here"), lines[1]
    assert len(lines) == 5, err
    assert "build/tov-failures.log" in lines[2]
    assert "Error compiling Cython file" in (project / "build/tov-failures.log").read_text()
    suggested = shlex.split(lines[-1])
    assert suggested[:7] == ["tov", "bdist", "-n", "kg", "-v", "1.0", "--cache-dir"]
    assert suggested[-2:] == ["--keep", r"^kg/broken\.py$"]

    env = {**os.environ, "SOURCE_DATE_EPOCH": "1700000000"}
    rc, out, err = tov(*suggested[1:], cwd=project, env=env)
    assert rc == 0, out + err
    assert re.search(r"^dist/\S+\.whl: .*, 2 kept as source, ", out, re.M), out
    [wheel] = (project / "dist").glob("*.whl")
    assert wheel.name.startswith("kg-1.0-cp312-abi3-")
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        modules = {n: z.read(n) for n in names if n.endswith(".so")}
    assert {n for n in names if n.endswith(".py")} == {"kg/broken.py", "kg/__main__.py"}
    assert {"kg/data.txt", "kg/user.abi3.so", "kg/sub/deep.abi3.so"} <= names
    for name, data in modules.items():
        # Lean and free of the build machine's paths.
        assert b".debug_" not in data, name
        assert str(project).encode() not in data and b"build/src" not in data, name
    check_wheel(wheel, ["kg", "kg.helper", "kg.user", "kg.sub.deep"], tmp_path / "check",
                abi3=True)
    venv = tmp_path / "check" / "pip-env" / ("Scripts" if os.name == "nt" else "bin")
    run = subprocess.run([venv / "python", "-I", "-c",
                          "import kg; print(kg.size(memoryview(b'abc')), kg.size(bytearray(2)))"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.stdout.split() == ["3", "2"], run.stderr
    run = subprocess.run([venv / "python", "-I", "-m", "kg"], capture_output=True, text=True,
                         cwd=tmp_path)
    assert run.stdout == "kg main 14\n", run.stderr

    # Nothing changed: the wheel is up to date and nothing runs, not even the
    # compiler cache; a wheel replaced in dist/ is built again, from the cache.
    before, stamp = ccache_stats(cache), wheel.stat().st_mtime_ns
    rc, out, err = tov(*suggested[1:], cwd=project, env=env)
    assert (rc, out) == (0, f"dist/{wheel.name}: up to date, nothing that goes into it changed\n"), out + err
    assert ccache_stats(cache) == before and wheel.stat().st_mtime_ns == stamp
    first = hashlib.sha256(wheel.read_bytes()).hexdigest()
    wheel.write_bytes(b"not the wheel")
    rc, out, err = tov(*suggested[1:], cwd=project, env=env)
    compiled = [l for l in out.splitlines() if " compiled kg/" in l]
    assert rc == 0 and len(compiled) == 5 and all("translation cached)" in l for l in compiled), out
    after = ccache_stats(cache)
    assert after["direct_cache_hit"] - before["direct_cache_hit"] == 5
    assert after["cache_miss"] == before["cache_miss"]
    assert hashlib.sha256(wheel.read_bytes()).hexdigest() == first

    # The same sources in another folder: the cache serves them, the wheel is the same.
    other = write(tmp_path / "elsewhere" / "p2")
    rc, out, err = tov(*suggested[1:], cwd=other, env=env)
    assert rc == 0, out + err
    assert ccache_stats(cache)["cache_miss"] == before["cache_miss"]
    [again] = (other / "dist").glob("*.whl")
    assert hashlib.sha256(again.read_bytes()).hexdigest() == first

    # One module changed: that module alone is translated and compiled.
    (other / "kg/sub/deep.py").write_text("def fib(n):\n    return n\n")
    rc, out, err = tov(*suggested[1:], cwd=other, env=env)
    fresh = [l for l in out.splitlines() if " compiled " in l and "cached" not in l]
    assert rc == 0 and len(fresh) == 1 and "kg/sub/deep.py" in fresh[0], out + err
    assert ccache_stats(cache)["cache_miss"] == before["cache_miss"] + 1


def test_imports_of_left_out_modules_fail_the_build(tmp_path):
    """A module importing one that --exclude leaves out cannot work installed:
    the import check says so, and keeping it as source would not help."""
    project = write(tmp_path, {"lo/__init__.py": "", "lo/gone.py": "X = 1\n",
                               "lo/uses.py": "from lo.gone import X\n"})
    rc, out, err = tov("bdist", "-n", "lo", "-v", "1.0", "-e", "gone", "--no-cache", cwd=project)
    assert rc == 1 and not (project / "dist").exists(), out + err
    assert "lo/uses.py  import check" in err and "not in the wheel" in err
    assert err.splitlines()[-1].startswith("A module that imports a module left out")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def redis_url(tmp_path):
    server = shutil.which("redis-server")
    if server is None:
        if os.environ.get("CI") == "true":
            pytest.fail("redis-server is not installed: CI must run the shared-cache test")
        pytest.skip("redis-server is not installed")
    port = free_port()
    proc = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", str(tmp_path)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    break
            time.sleep(0.05)
        yield f"redis://127.0.0.1:{port}"
    finally:
        proc.terminate()
        proc.wait(timeout=10)


@pytest.fixture
def http_store():
    """An HTTP store on loopback that keeps what is PUT, as a team's cache server would."""
    entries = {}

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            data = entries.get(self.path)
            self.send_response(404 if data is None else 200)
            self.send_header("Content-Length", str(len(data or b"")))
            self.end_headers()
            if self.command == "GET" and data:
                self.wfile.write(data)

        do_HEAD = do_GET

        def do_PUT(self):
            entries[self.path] = self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(201)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/cache", entries
    finally:
        server.shutdown()


@pytest.mark.parametrize("kind", ["redis", "http"])
def test_a_second_checkout_reuses_the_shared_cache(tmp_path, kind, request):
    """Two checkouts in different folders, each with an empty cache folder of
    its own (as on two machines), sharing one store: the second build runs
    neither Cython nor the C compiler, and makes the same wheel."""
    url = request.getfixturevalue("redis_url") if kind == "redis" else request.getfixturevalue("http_store")[0]
    files = {k: v for k, v in PACKAGE.items() if "broken" not in k and "user" not in k}
    files["kg/__main__.py"] = "print('main')\n"
    # The store is named once on the command line, once in the environment;
    # the first checkout is the CI that writes it, the second only reads.
    team = {"SOURCE_DATE_EPOCH": "1700000000", "TOVEL_REMOTE_CACHE_KEY": "team key"}
    envs = [{**team, "TOVEL_REMOTE_CACHE_WRITE": "1"}, {**team, "TOVEL_REMOTE_CACHE": url}]
    args = [["--remote-cache", url], []]
    wheels, outs = [], []
    for n in (1, 2):
        project = write(tmp_path / f"checkout{n}" / "kg-project", files)
        rc, out, err = tov("bdist", "-n", "kg", "-v", "1.0", "--cache-dir", str(tmp_path / f"cache{n}"),
                           *args[n - 1], cwd=project, env={**os.environ, **envs[n - 1]})
        assert rc == 0, out + err
        [wheel] = (project / "dist").glob("*.whl")
        wheels.append(wheel.read_bytes())
        outs.append(out)
    stats = ccache_stats(tmp_path / "cache2")
    # The objects came from the team's store through tov: ccache never ran.
    assert stats["cache_miss"] == 0 and stats["local_storage_hit"] == 0, stats
    assert outs[1].count("translation cached") == 4, outs[1]
    assert wheels[0] == wheels[1]
    if kind == "http":
        entries = request.getfixturevalue("http_store")[1]

        def records():
            return {k.rsplit("/", 1)[1] for k in entries if "/tovel/" in k}

        # The second checkout stored nothing new: the audits' and the import
        # check's verdicts came from the store too. After a change to one
        # module, only that module is translated, audited and imported anew.
        before = records()
        (project / "kg/sub/deep.py").write_text(PACKAGE["kg/sub/deep.py"] + "LIMIT = 3\n")
        rc, out, err = tov("bdist", "-n", "kg", "-v", "1.0", "--cache-dir", str(tmp_path / "cache2"),
                           cwd=project, env={**os.environ, **envs[1], "TOVEL_REMOTE_CACHE_WRITE": "1"})
        assert rc == 0 and out.count("translation cached") == 3, out + err
        added = sorted(k.split("-")[0] if "-" in k else "translation" for k in records() - before)
        assert added == ["abi3", "imports", "object", "policy", "translation"], added
        # A damaged entry is translated anew, and the store is written again
        # (one of the translations the sources below use: not the changed one's).
        damaged = sorted(k for k in entries if "/tovel/" in k and "-" not in k.rsplit("/", 1)[1]
                         and k.rsplit("/", 1)[1] in before)[0]
        entries[damaged] = b"0" * 64 + b"\nnot C"
        project = write(tmp_path / "checkout3" / "kg-project", files)
        rc, out, err = tov("bdist", "-n", "kg", "-v", "1.0", "--cache-dir", str(tmp_path / "cache3"),
                           "--remote-cache", url, cwd=project, env={**os.environ, **envs[0]})
        assert rc == 0 and out.count("translation cached") == 3, out + err
        assert entries[damaged].split(b"\n", 1)[0] != b"0" * 64
    # A store that does not answer: one warning, and the build goes on.
    rc, out, err = tov("bdist", "-n", "kg", "-v", "1.0", "--cache-dir", str(tmp_path / "cache4"),
                       "--remote-cache", f"{kind}://127.0.0.1:{free_port()}", cwd=project)
    assert rc == 0 and [l for l in out.splitlines() if "remote cache" in l][0].startswith("warning: "), out + err

def test_one_module_splits_its_compile_over_idle_jobs(tmp_path):
    """A project of fewer modules than jobs is compiled with gcc's link-time
    optimisation split over the idle jobs; the linked module comes from the
    cache in another folder, and a compiler whose link-time optimisation
    fails builds the module as usual."""
    files = {"lt/__init__.py": "def total(n):\n    return sum(i * i for i in range(n))\n",
             "project/README.md": "# lt\n", "project/LICENSE": "MIT License\n"}
    cache = tmp_path / "cache"

    def build(where, env=None):
        project = write(tmp_path / where, files)
        rc, out, err = tov("bdist", "-n", "lt", "-v", "1.0", "-j", "2", "--verbose", "--cache-dir", str(cache),
                           cwd=project, env=env)
        assert rc == 0, out + err
        wheel, = (project / "dist").glob("*.whl")
        with zipfile.ZipFile(wheel) as zf:
            zf.extractall(project / "unpacked")
        got = subprocess.run([sys.executable, "-c", "import lt; print(lt.total(10), lt.__file__)"],
                             cwd=project / "unpacked", capture_output=True, text=True, check=True).stdout.split()
        assert got[0] == "285" and got[1].endswith(".so"), got
        return out, next((project / "unpacked/lt").glob("*.so")).read_bytes()

    out, first = build("a")
    if "Free Software Foundation" not in subprocess.run([sysconfig.get_config_var("CC").split()[0], "--version"],
                                                        capture_output=True, text=True).stdout:
        pytest.skip("the compiler is not gcc")
    assert re.search(r"^\$ .* -flto=2 ", out, re.M), out
    out, again = build("b")
    assert "-flto" not in out and again == first, out
    # A compiler that refuses link-time optimisation: the module is built without it.
    wrapper = tmp_path / "cc"
    wrapper.write_text('#!/bin/sh\nfor a; do case "$a" in -flto*) echo "no lto here" >&2; exit 1;; esac; done\n'
                       'exec gcc "$@"\n')
    wrapper.chmod(0o755)
    files["lt/__init__.py"] += "\nTWO = 2\n"
    out, _ = build("c", env={**os.environ, "CC": str(wrapper), "LDSHARED": f"{wrapper} -shared"})
    assert "no lto here" in out and re.search(r"^\$ .*cc .*-c build/src/lt/__init__.c .*-O1\n", out, re.M), out
