"""A build among strangers: a team store that others may write, a store that
answers too slowly, a wheel made to smuggle files in, two builds in one
folder, and an interrupt while the project's tests run."""

import base64
import hashlib
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import warnings
import zipfile
from pathlib import Path

import pytest

import tovel.guard
import tovel.packer
import tovel.store
import tovel.unpacker
from test_pipeline import TOV, ccache_stats, redis_url, tov, write  # noqa: F401 (redis_url: a fixture)

SMALL = {
    "gr/__init__.py": "",
    "gr/hello.py": "def greet(name):\n    return 'hello ' + name\n",
    "gr/util.py": "def twice(x):\n    return 2 * x\n",
    "gr/more.py": "from gr.util import twice\n\n\ndef four():\n    return twice(2)\n",
}


def redis(url, *words):
    """One command to the Redis server of url; the reply's payload."""
    host, port = url.removeprefix("redis://").split(":")
    with socket.create_connection((host, int(port)), timeout=10) as s:
        data = [w if isinstance(w, bytes) else w.encode() for w in words]
        s.sendall(b"*%d\r\n" % len(data) + b"".join(b"$%d\r\n%s\r\n" % (len(w), w) for w in data))
        f = s.makefile("rb")
        line = f.readline()
        if line[:1] == b"$":
            n = int(line[1:])
            return None if n < 0 else f.read(n + 2)[:-2]
        if line[:1] == b"*":
            return [f.readline() and f.readline()[:-2] for _ in range(int(line[1:]))]
        return line[1:-2]


def forge(data):
    """An entry as a writer without the team key makes it: a sound sha256."""
    return hashlib.sha256(data).hexdigest().encode() + b"\n" + data


def test_store_entries_need_the_team_key(redis_url, tmp_path, monkeypatch, capsys):
    store = tovel.store
    monkeypatch.setenv("TOVEL_REMOTE_CACHE_WRITE", "1")
    monkeypatch.setenv("TOVEL_REMOTE_CACHE_KEY", "k1")
    ci = store.connect(redis_url)
    store.keep(str(tmp_path / "ci"), ci, "aa", b"/* C */")
    store.keep(str(tmp_path / "ci"), ci, "bb", b"ok", kind="imports")
    # Someone else who can write the store, without the key.
    redis(redis_url, "SET", "tovel:cc", forge(b"/* evil */"))
    redis(redis_url, "SET", "tovel:imports-dd", forge(b"ok"))
    # A signed entry moved to another name is not that name's.
    redis(redis_url, "SET", "tovel:ee", redis(redis_url, "GET", "tovel:aa"))
    monkeypatch.delenv("TOVEL_REMOTE_CACHE_WRITE")
    reader = store.connect(redis_url)
    cache = str(tmp_path / "reader")
    assert store.lookup(cache, reader, "aa") == b"/* C */"
    assert store.lookup(cache, reader, "bb", "imports") == b"ok"
    for key, kind in [("cc", "cython"), ("dd", "imports"), ("ee", "cython")]:
        assert store.lookup(cache, reader, key, kind) is None, key
    warned = [l for l in capsys.readouterr().out.splitlines() if "signature" in l]
    assert len(warned) == 1 and redis_url in warned[0], warned
    # Without the key, the store's verdicts waive no check; and a reader
    # writes nothing.
    monkeypatch.delenv("TOVEL_REMOTE_CACHE_KEY")
    plain = store.connect(redis_url)
    assert store.lookup(str(tmp_path / "plain"), plain, "bb", "imports") is None
    store.keep(str(tmp_path / "plain"), plain, "ff", b"x")
    assert redis(redis_url, "GET", "tovel:ff") is None


def test_a_poisoned_translation_or_object_never_ships(redis_url, tmp_path):
    """The CI fills the store; someone rewrites a translation there, moves a
    signed object under another module's name and forges a third; a second
    checkout with the key builds those modules itself, says so once, and its
    own reading of the store wrote nothing to it."""
    team = {**os.environ, "SOURCE_DATE_EPOCH": "1700000000", "TOVEL_REMOTE_CACHE": redis_url,
            "TOVEL_REMOTE_CACHE_KEY": "team key"}
    ci = write(tmp_path / "ci", SMALL)
    rc, out, err = tov("bdist", "-n", "gr", "-v", "1.0", "--cache-dir", str(tmp_path / "c1"), cwd=ci,
                       env={**team, "TOVEL_REMOTE_CACHE_WRITE": "1"})
    assert rc == 0, out + err
    # A constructor added to gr.hello's translation: run when the module is
    # loaded (by the import check first), it would leave a mark.
    mark = tmp_path / "owned"
    poison = b"\n__attribute__((constructor)) static void owned(void) { FILE *f = fopen(\"%s\", \"w\"); if (f) fclose(f); }\n"
    poisoned = [key for key in redis(redis_url, "KEYS", "tovel:*")
                if b"__pyx_module_is_main_gr__hello" in redis(redis_url, "GET", key) and b"-" not in key]
    assert len(poisoned) == 1
    data = redis(redis_url, "GET", poisoned[0]).split(b"\n", 1)[1]
    redis(redis_url, "SET", poisoned[0], forge(data + poison % str(mark).encode()))
    # The objects: gr.util's, signed, moved under gr.hello's name; gr.more's
    # replaced by gr.util's with a sound sha256.
    objects = {next(m for m in (b"hello", b"util", b"more", b"gr") if b"PyInit_" + m + b"\0" in redis(redis_url, "GET", k)): k
               for k in redis(redis_url, "KEYS", "tovel:object-*")}
    assert sorted(objects) == [b"gr", b"hello", b"more", b"util"], objects
    util = redis(redis_url, "GET", objects[b"util"])
    redis(redis_url, "SET", objects[b"hello"], util)
    redis(redis_url, "SET", objects[b"more"], forge(util.split(b"\n", 1)[1]))
    before = sorted(redis(redis_url, "KEYS", "*"))
    # The developer changed a module too: its translation and C object are
    # new, and stay on this machine.
    dev = write(tmp_path / "dev", {**SMALL, "gr/util.py": "def twice(x):\n    return x + x\n"})
    rc, out, err = tov("bdist", "-n", "gr", "-v", "1.0", "--cache-dir", str(tmp_path / "c2"), cwd=dev, env=team)
    assert rc == 0, out + err
    assert [l for l in out.splitlines() if "signature" in l][0].startswith(f"warning: the remote cache {redis_url} ")
    assert out.count("translation cached") == 2, out
    assert sorted(redis(redis_url, "KEYS", "*")) == before
    # Only gr/__init__.py's object came from the store; the C compiler made
    # the other three, and ccache itself never reached the store.
    stats = ccache_stats(tmp_path / "c2")
    assert stats["cache_miss"] == 3 and stats["remote_storage_miss"] == 0, stats
    [wheel] = (dev / "dist").glob("*.whl")
    target = tmp_path / "site"
    zipfile.ZipFile(wheel).extractall(target)
    run = subprocess.run([sys.executable, "-c", "from gr.hello import greet; from gr.more import four; "
                          "print(greet('world'), four())"], cwd=target, capture_output=True, text=True)
    assert run.stdout == "hello world 4\n", run.stdout + run.stderr
    assert not mark.exists()


class Hostile:
    """A store that answers its probe and the lookups of translations at once
    ("missing"), and every other request with `said` (a reply of its own
    making), a byte every half second unless `trickle` is false, keeping the
    connection open after it, as a failing link or a hostile server would."""

    def __init__(self, kind, said=None, trickle=True):
        self.kind, self.said, self.trickle, self.served = kind, said, trickle, 0
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.url = f"{kind}://127.0.0.1:{self.sock.getsockname()[1]}"
        self.done = threading.Event()
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            request = conn.recv(65536)
            self.served += 1
            redis = self.kind == "redis"
            if b"PING" in request:
                reply, slow = b"+PONG\r\n", False
            elif b"/tovel/probe " in request or re.search(rb"tovel[:/][0-9a-f]{64}\b", request):
                reply, slow = (b"$-1\r\n" if redis else b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"), False
            else:
                body = forge(b"x" * 64)
                reply = self.said or (b"$%d\r\n%s\r\n" % (len(body), body) if redis else
                                      b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
                slow = self.trickle
            for i in range(len(reply)) if slow else [None]:
                try:
                    conn.sendall(reply if i is None else reply[i:i + 1])
                except OSError:
                    return
                if slow:
                    time.sleep(0.5)
            self.done.wait(30)

    def close(self):
        self.done.set()
        self.sock.close()


@pytest.mark.parametrize("kind", ["redis", "http"])
def test_a_trickling_store_is_dropped_and_the_build_finishes(tmp_path, kind):
    """Every request past the translations' lookups (the objects', the
    verdicts', and ccache's, were it given the store) trickles."""
    store = Hostile(kind)
    project = write(tmp_path / "p", SMALL)
    started = time.monotonic()
    rc, out, err = tov("bdist", "-n", "gr", "-v", "1.0", "--cache-dir", str(tmp_path / "c"), "--remote-cache",
                       store.url, cwd=project, env={**os.environ, "TOVEL_REMOTE_CACHE_DEADLINE": "1"})
    took = time.monotonic() - started
    store.close()
    assert rc == 0, out + err
    warned = [l for l in out.splitlines() if "remote cache" in l]
    assert len(warned) == 1 and "missed its deadline" in warned[0], out
    # Unbounded, the first entry alone would take 100 s; the build itself
    # takes 20 s on a quiet machine and over 70 s on a loaded one.
    assert took < 95, took


HUGE = b"1000000000000"


@pytest.mark.parametrize("kind, said, shown", [
    ("redis", b"$" + HUGE + b"\r\n", f"an entry of {HUGE.decode()} bytes"),
    ("http", b"HTTP/1.1 200 OK\r\nContent-Length: " + HUGE + b"\r\n\r\n", f"an entry of {HUGE.decode()} bytes"),
    ("redis", b"-ERR \x1b[2J\x07\xff" + b"A" * 500 + b"\r\n", "'ERR \\x1b[2J\\x07\\ufffdAAA"),
    ("http", b"HTTP/1.1 500 \x1b[2J\x07" + b"A" * 500 + b"\r\nContent-Length: 0\r\n\r\n", "500 '\\x1b[2J\\x07AAA"),
])
def test_what_a_store_sends_is_bounded_and_quoted(kind, said, shown, capsys):
    """An entry above the size limit is refused before it is read (at once,
    not at the deadline); what the store said is quoted printable and short.
    Either way the store is dropped: one line, no more requests."""
    store = Hostile(kind, said, trickle=False)
    remote = tovel.store.connect(store.url)
    started = time.monotonic()
    assert tovel.store.fetch(remote, "k") is None
    took = time.monotonic() - started
    assert tovel.store.fetch(remote, "k") is None
    store.close()
    assert took < tovel.store.DEADLINE / 2 and store.served == 2, (took, store.served)
    [line] = [l for l in capsys.readouterr().out.splitlines() if "remote cache" in l]
    assert shown in line and line.isascii() and line.isprintable() and len(line) < 250, line


def hostile(tmp_path, entries, name="proj-1.0-py3-none-any.whl"):
    """A wheel holding entries (name, data), with a RECORD that vouches for them all."""
    path = tmp_path / name
    record = []
    with warnings.catch_warnings(), zipfile.ZipFile(path, "w") as z:
        warnings.simplefilter("ignore")  # a name twice is the point
        for arc, data in entries + [("proj-1.0.dist-info/METADATA", b"Metadata-Version: 2.1\nName: proj\n"
                                                                     b"Version: 1.0\n"),
                                    ("proj-1.0.dist-info/WHEEL", b"Wheel-Version: 1.0\nRoot-Is-Purelib: true\n"
                                                                 b"Tag: py3-none-any\n")]:
            z.writestr(arc, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            record.append(f"{arc},sha256={digest},{len(data)}")
        z.writestr("proj-1.0.dist-info/RECORD", "\n".join(record + ["proj-1.0.dist-info/RECORD,,"]) + "\n")
    return str(path)


OK = [("proj/__init__.py", b""), ("proj/core.py", b"X = 1\n")]


@pytest.mark.parametrize("entries, refused, why", [
    (OK + [("../../x.py", b"X = 2\n")], "../../x.py", "points outside the wheel's root"),
    (OK + [("/abs/x.py", b"X = 2\n")], "/abs/x.py", "has an absolute path"),
    (OK + [("zzz-9.9.dist-info/METADATA", b"Name: zzz\n")], "zzz-9.9.dist-info", "second .dist-info folder"),
    (OK + [("proj/core.py", b"X = 2\n")], "proj/core.py", "names the same file"),
    (OK + [("proj-1.0.data/purelib/proj/core.py", b"X = 2\n")], "proj-1.0.data/purelib/proj/core.py",
     "names the same file"),
    (OK + [("proj/_speed.cpython-312-x86_64-linux-gnu.so", b"\x7fELF")], "proj/_speed.cpython-312-x86_64-linux-gnu.so",
     "compiled library"),
])
def test_a_hostile_wheel_is_refused_naming_the_entry(tmp_path, entries, refused, why):
    wheel = hostile(tmp_path, entries)
    with pytest.raises(tovel.packer.BuildFailed) as failed:
        tovel.unpacker.unpack(wheel, str(tmp_path / "tree"))
    message = str(failed.value)
    assert len(message.splitlines()) == 1 and repr(refused) in message and why in message, message
    assert not (tmp_path / "x.py").exists() and not Path("/abs/x.py").exists()


def test_purelib_modules_are_modules(tmp_path):
    wheel = hostile(tmp_path, OK + [("proj-1.0.data/purelib/extra.py", b"Y = 1\n"),
                                    ("proj-1.0.data/scripts/run", b"#!python\n")])
    tree = tovel.unpacker.unpack(wheel, str(tmp_path / "tree"))
    assert ["extra", "extra.py"] in [list(p) for p in tree["packages"]]
    assert [d["arc"] for d in tree["data"]] == ["proj-1.0.data/scripts/run"]


def test_a_second_build_waits_for_the_first(tmp_path):
    project = write(tmp_path / "p", SMALL)
    first = tovel.guard.hold(str(project / "build"))
    second = subprocess.Popen([TOV, "bdist", "-n", "gr", "-v", "1.0", "--no-cache", "-q"], cwd=project,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        line = second.stdout.readline()
        assert "another tov build is running in this folder" in line and "waiting" in line, line
        time.sleep(1)
        assert second.poll() is None and not (project / "build/egg").exists()
    finally:
        first.close()
    out = second.stdout.read()
    assert second.wait(timeout=600) == 0, out


def test_an_interrupt_ends_the_tests_it_started(tmp_path):
    """The project's tests run in a session of their own: an interrupt of tov
    (to its process alone) ends them too, with one line and no traceback."""
    project = write(tmp_path / "p", SMALL)
    mark = tmp_path / "pid"
    command = (f"{sys.executable} -c \"import os, time; open({str(mark)!r}, 'w').write(str(os.getpid())); "
               f"time.sleep(60); open({str(mark)!r}, 'w').write('late')\"")
    proc = subprocess.Popen([TOV, "bdist", "-n", "gr", "-v", "1.0", "--no-cache", "--test-command", command],
                            cwd=project, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(1200):
        if mark.exists() and mark.read_text().isdigit():
            break
        time.sleep(0.1)
    pid = int(mark.read_text())
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130 and err == "interrupted\n", out + err
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
    except FileNotFoundError:
        state = "gone"
    assert state in ("gone", "Z"), state


@pytest.mark.parametrize("target", [".", "../nowhere"])
def test_a_link_to_a_folder_or_nothing_stops_a_bare_build(tmp_path, target):
    project = write(tmp_path / "p", SMALL)
    (project / "gr/loop").symlink_to(target)
    rc, out, err = tov("bdist", "-n", "gr", "-v", "1.0", "--no-cache", cwd=project)
    assert rc == 1 and err.splitlines() == [err.strip()] and f"gr/loop is a link to {target}" in err, out + err
    assert not (project / "dist").exists()


def test_a_project_with_a_link_to_a_folder_is_up_to_date_the_second_time(tmp_path):
    project = write(tmp_path / "p", {**SMALL, "pyproject.toml": '[project]\nname = "gr"\nversion = "1.0"\n'
                                     '[tool.setuptools]\npackages = ["gr", "gr.shared"]\n',
                                     "shared/extra.py": "E = 1\n"})
    (project / "gr/shared").symlink_to("../shared")
    for n in (1, 2):
        rc, out, err = tov("bdist", "--cache-dir", str(tmp_path / "cache"), "--no-isolation", cwd=project)
        assert rc == 0, out + err
    assert out.strip().endswith("up to date, nothing that goes into it changed"), out


def sigint_caught(proc):
    """Whether the process has a handler of SIGINT in place (Python's, set
    before it imports anything of the worker's)."""
    caught = next(line for line in (proc / "status").read_text().splitlines() if line.startswith("SigCgt:"))
    return bool(int(caught.split()[1], 16) & (1 << (signal.SIGINT - 1)))


def workers(parent, importing=False):
    """The Cython workers of the process parent (with importing, those that
    have Python's handler of Ctrl-C in place: a traceback could follow)."""
    found = []
    for p in Path("/proc").iterdir():
        try:
            if (p.name.isdigit() and int((p / "stat").read_text().rpartition(")")[2].split()[1]) == parent
                    and b"tovel.translator" in (p / "cmdline").read_bytes()
                    and (not importing or sigint_caught(p))):
                found.append(int(p.name))
        except OSError:
            pass
    return found


@pytest.mark.skipif(not Path("/proc").is_dir(), reason="finds the workers through /proc")
def test_ctrl_c_while_cython_workers_start(tmp_path):
    """Ctrl-C reaches every process of the terminal's group: the Cython
    workers, still importing, print nothing; tov says one line, exit 130."""
    project = write(tmp_path / "p", {**SMALL, **{f"gr/m{i}.py": f"X = {i}\n" for i in range(8)}})
    proc = subprocess.Popen([TOV, "bdist", "-n", "gr", "-v", "1.0", "--no-cache"], cwd=project,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    for _ in range(1200):
        started = workers(proc.pid, importing=True)
        if started:
            break
        time.sleep(0.02)
    assert started and proc.poll() is None, "no worker seen while the build ran"
    os.killpg(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and err == "interrupted\n", out + err
    for pid in started:  # ended: gone, or a zombie not reaped yet
        assert Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "Z" \
            if Path(f"/proc/{pid}").exists() else True
