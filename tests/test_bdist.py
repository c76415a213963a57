"""tov bdist end to end: the package is really compiled, the wheel really
built, then installed into a fresh virtual environment and imported from a
folder where the sources cannot be reached."""

import email.parser
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest

import tovel.audit as audit

VER = "%d%d" % sys.version_info[:2]
ABIFLAGS = getattr(sys, "abiflags", "")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The limited API cannot be compiled on a free-threaded interpreter before
# 3.15: the default (abi3) builds free-threaded modules of its full API there.
LIMITED = not FREE_THREADED or sys.version_info >= (3, 15)
needs_limited = pytest.mark.skipif(not LIMITED, reason="no limited API on this interpreter")
# The name every CPython imports a limited-API module by (3.15 adds a
# platform-specific one that older versions would not import).
ABI3_SUFFIX = ".pyd" if os.name == "nt" else ".abi3" + sysconfig.get_config_var("SHLIB_SUFFIX")
OWN_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "vemo"

# A package with a subpackage, data files beside the modules and in folders
# (one whose name is a glob pattern), a module and a data file that the
# exclusion pattern "unit" leaves out when given, and bytecode that must not ship.
PAKKO = {
    "pakko/__init__.py": '''
        """pakko: compiled, with data of its own."""
        from importlib.resources import files

        from pakko.core import Counter, total

        __version__ = "2.0.1"
        from pakko.sub.deep import fib


        def greeting():
            return files(__name__).joinpath("assets", "greeting.txt").read_text().strip()


        def main():
            print("pakko", fib(10), total([1, 2, 3]), greeting())
        ''',
    "pakko/core.py": '''
        class Counter:
            def __init__(self):
                self.seen = {}

            def add(self, word):
                self.seen[word] = self.seen.get(word, 0) + 1
                return self.seen[word]


        def total(values):
            return sum(v * 2 for v in values)
        ''',
    "pakko/units.py": "LEFT_OUT = True\n",
    "pakko/sub/__init__.py": "",
    "pakko/sub/deep.py": '''
        def fib(n):
            a, b = 0, 1
            for _ in range(n):
                a, b = b, a + b
            return a
        ''',
    "pakko/sub/notes.cfg": "[notes]\nkept = yes\n",
    "pakko/data.json": '{"answer": 42}\n',
    "pakko/py.typed": "",
    "pakko/unit_table.txt": "excluded data\n",
    "pakko/assets/greeting.txt": "hello from data\n",
    "pakko/assets/[x] y.txt": "a name that is a glob pattern\n",
    "pakko/__pycache__/core.cpython-%s.pyc" % VER: "not bytecode\n",
    "project/README.md": "# pakko\n\nThe readme of pakko.\n",
    "project/requirements.txt": "# needed at run time\ntomli_w>=1.0\n",
    "project/LICENSE": "MIT License\n",
}
PAKKO_DATA = {"pakko/sub/notes.cfg", "pakko/data.json", "pakko/py.typed", "pakko/unit_table.txt",
              "pakko/assets/greeting.txt", "pakko/assets/[x] y.txt"}

METADATA_OPTIONS = ["-e", "unit", "-v", "3.4.5", "-d", "a compiled package", "-l", "Apache-2.0",
                    "-x", '{"fast": ["tomli_w"]}',
                    "-t", '{"pakko-cli": "pakko:main", "pakko.parts": {"counter": "pakko.core:Counter"}}']


def tov(*args, cwd):
    scripts = Path(sys.executable).parent
    command = next((str(p) for p in (scripts / "tov", scripts / "tov.exe") if p.exists()), "tov")
    proc = subprocess.run([command, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=600)
    return proc.returncode, proc.stdout, proc.stderr


def write_pakko(where):
    for name, text in PAKKO.items():
        path = where / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip("\n"))
    return where


def tree(folder):
    return sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))


class Built:
    """One tov bdist run in a project directory of its own, and its wheel."""

    def __init__(self, project, name, args, abi3, data):
        self.project, self.name, self.abi3 = project, name, abi3
        self.excluded = "unit" if "unit" in args else None
        self.data = {d for d in data if not (self.excluded and self.excluded in d)}
        self.sources = tree(project / name)
        self.rc, self.out, self.err = tov("bdist", "-n", name, *args, "--no-test", cwd=project)
        assert self.rc == 0, self.out[-3000:] + self.err[-3000:]
        # The last line names the wheel, relative to the project, and what it holds.
        self.wheel = project / self.out.splitlines()[-1].split(": ")[0]
        with zipfile.ZipFile(self.wheel) as z:
            self.members = {n: z.read(n) for n in z.namelist()}
        self.info = next(n.split("/")[0] for n in self.members if ".dist-info/" in n)
        self.suffix = ABI3_SUFFIX if abi3 else OWN_SUFFIX
        self.python = None

    def collected(self):
        return sorted(line.split(" ")[2] for line in self.out.splitlines()
                      if re.match(r"\[\d+/\d+\] compiled ", line))

    def text(self, name):
        return self.members[f"{self.info}/{name}"].decode()

    def installed(self, make_venv):
        """The python of a fresh venv with the wheel in it, made once."""
        if self.python is None:
            self.python = make_venv(self.wheel)
        return self.python


def bdist(tmp_path_factory, name, args, abi3, source=None):
    project = tmp_path_factory.mktemp("bdist")
    if source is None:
        write_pakko(project)
        data = PAKKO_DATA
    else:
        shutil.copytree(source, project, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("build", "dist", "pyproject.toml",
                                                      "*.egg-info", "__pycache__"))
        data = set()
    return Built(project, name, args, abi3, data)


@pytest.fixture(scope="module")
def limited(tmp_path_factory):
    """The default build (abi3): of the limited API where there is one."""
    return bdist(tmp_path_factory, "pakko", METADATA_OPTIONS, abi3=LIMITED)


@pytest.fixture(scope="module")
def own_abi(tmp_path_factory):
    return bdist(tmp_path_factory, "pakko", ["--abi3", ""], abi3=False)


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    if not (EXAMPLE / "vemo" / "__init__.py").exists():
        pytest.skip("the example project is not in this checkout")
    return bdist(tmp_path_factory, "vemo", [], abi3=LIMITED, source=EXAMPLE)


@pytest.fixture(params=["limited", "own_abi", "example"])
def built(request):
    return request.getfixturevalue(request.param)


def test_wheel_holds_compiled_modules_and_data_only(built):
    # Every module is collected, but those that --exclude leaves out.
    sources = [p for p in built.sources if p.endswith(".py")
               and not (built.excluded and built.excluded in p)]
    assert built.collected() == sorted(f"{built.name}/{p}" for p in sources)

    compiled = {m for m in built.members if m.endswith(tuple(EXTENSION_SUFFIXES))}
    assert all(m.endswith(built.suffix) for m in compiled), compiled
    assert sorted(m[: -len(built.suffix)] + ".py" for m in compiled) == built.collected()

    # Beside each compiled module, its type stub.
    stubs = {m for m in built.members if m.endswith(".pyi")}
    assert stubs == {m[: -len(built.suffix)] + ".pyi" for m in compiled}
    data = {m for m in built.members if m not in compiled | stubs and not m.endswith("/")
            and not m.startswith(built.info + "/")}
    assert data == built.data
    for member in data:
        assert built.members[member] == (built.project / member).read_bytes()
    # Nothing made on the way: no Python source or bytecode, no C file, no egg-info.
    assert not [m for m in built.members if re.search(r"\.(py|pyc|c)$|egg-info", m)]
    # The sources are left as they were, and nothing lands beside them.
    assert tree(built.project / built.name) == built.sources
    assert not list(built.project.glob("*.egg-info"))
    assert [p.name for p in (built.project / "dist").iterdir()] == [built.wheel.name]


def test_wheel_is_tagged_for_what_was_built(built):
    # The limited API of 3.12 whichever interpreter builds; else its own tags.
    python = "cp312-abi3" if built.abi3 else f"cp{VER}-cp{VER}{ABIFLAGS}"
    platforms = built.wheel.name.removesuffix(".whl").split("-")[-1]
    if sys.platform.startswith("linux"):
        # The policy auditwheel measures on the wheel's modules, with its aliases.
        assert sorted(platforms.split(".")) == sorted(audit.policy(built.wheel).split("."))
        assert re.fullmatch(r"(manylinux\w+\.)*manylinux\w+", platforms), platforms
    wheel = built.text("WHEEL").splitlines()
    assert sorted(line[5:] for line in wheel if line.startswith("Tag: ")) == sorted(
        f"{python}-{p}" for p in platforms.split("."))
    assert "Root-Is-Purelib: false" in wheel
    assert built.wheel.parent == built.project / "dist"
    assert built.wheel.name.endswith(f"-{python}-{platforms}.whl")
    # The first line names the wheel; a free-threaded one says so.
    first = built.out.splitlines()[0]
    assert first.startswith(f"building a {python} wheel: ")
    assert ("free-threaded CPython" in first) == (FREE_THREADED and not built.abi3), first


# Imports every compiled module and reports where it came from; then the
# package's own checks run against the compiled code and its data.
IMPORT_ALL = """
import importlib, json, sys
found = {}
for name in sys.argv[1:]:
    module = importlib.import_module(name)
    found[name] = [module.__file__, type(module.__loader__).__name__]
print(json.dumps(found))
"""

USE = {
    "pakko": """
import json
from importlib.resources import files
import pakko
assert pakko.fib(10) == 55 and pakko.total([1, 2, 3]) == 12
counter = pakko.Counter()
assert [counter.add("a"), counter.add("a")] == [1, 2]
assert pakko.greeting() == "hello from data"
root = files("pakko")
assert json.loads(root.joinpath("data.json").read_text()) == {"answer": 42}
assert root.joinpath("assets", "[x] y.txt").read_text().startswith("a name")
assert "kept = yes" in root.joinpath("sub", "notes.cfg").read_text()
print("ok")
""",
    "vemo": """
import vemo
assert vemo.compiled()
assert vemo.word_counts("a b a")["a"] == 2
print("ok")
""",
}


def test_installed_wheel_imports_compiled_modules(built, make_venv, tmp_path):
    python = built.installed(make_venv)
    modules = [p[:-3].replace("/", ".").removesuffix(".__init__") for p in built.collected()]
    # -I and an empty working folder: the project's sources are out of reach.
    proc = subprocess.run([python, "-I", "-c", IMPORT_ALL, *modules], cwd=tmp_path,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    found = eval(proc.stdout)
    assert sorted(found) == sorted(modules)
    venv = python.parent.parent
    for name, (file, loader) in found.items():
        assert file.endswith(built.suffix) and loader == "ExtensionFileLoader", name
        assert Path(file).is_relative_to(venv), file

    proc = subprocess.run([python, "-I", "-c", USE[built.name]], cwd=tmp_path,
                          capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (0, "ok\n"), proc.stderr


def metadata(built):
    return email.parser.Parser().parsestr(built.text("METADATA"))


def canonical(requirement):
    return re.sub(r"[-_.]+", "-", requirement.replace(" ", "").replace("'", '"')).lower()


def test_metadata_options_reach_the_wheel(limited, make_venv, tmp_path):
    meta = metadata(limited)
    assert (meta["Name"], meta["Version"]) == ("pakko", "3.4.5")
    assert meta["Summary"] == "a compiled package"
    assert meta["License-Expression"] == "Apache-2.0"
    assert meta.get_all("Provides-Extra") == ["fast"]
    assert sorted(map(canonical, meta.get_all("Requires-Dist"))) == [
        'tomli-w-extra=="fast"'.replace("-extra", ';extra'), "tomli-w>=1-0"]
    assert "The readme of pakko." in meta.get_payload()
    assert limited.wheel.name.startswith("pakko-3.4.5-")
    entry = limited.text("entry_points.txt")
    assert re.search(r"^\[console_scripts\]\s+pakko-cli = pakko:main$", entry, re.M), entry
    assert re.search(r"^\[pakko.parts\]\s+counter = pakko.core:Counter$", entry, re.M), entry

    # The script runs the compiled entry function from the installed wheel.
    script = limited.installed(make_venv).parent / ("pakko-cli" + (".exe" if os.name == "nt" else ""))
    proc = subprocess.run([script], cwd=tmp_path, capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (0, "pakko 55 12 hello from data\n"), proc.stderr


def test_first_run_is_quiet_and_invents_nothing(own_abi):
    # No option but the folder: the version is the package's own, every
    # module is compiled (units.py too), and nothing else is made up.
    meta = metadata(own_abi)
    assert (meta["Name"], meta["Version"]) == ("pakko", "2.0.1")
    for field in ("Summary", "License-Expression", "Author", "Author-Email", "Project-URL",
                  "Classifier", "Provides-Extra"):
        assert meta.get_all(field) is None, field
    assert meta.get_all("Requires-Dist") == ["tomli_w>=1.0"]
    assert f"{own_abi.info}/entry_points.txt" not in own_abi.members
    assert f"pakko/units{OWN_SUFFIX}" in own_abi.members
    lines = own_abi.out.splitlines()
    modules = len(own_abi.collected())
    assert len(lines) == modules + 2, own_abi.out
    assert re.fullmatch(rf"building a cp{VER}-cp{VER}\w* wheel: for {'free-threaded ' * FREE_THREADED}"
                        rf"CPython {sys.version_info[0]}\."
                        rf"{sys.version_info[1]} only \({modules} modules to compile, \d+ at a time\)",
                        lines[0]), lines[0]
    assert re.fullmatch(rf"dist/{re.escape(own_abi.wheel.name)}: {modules} modules compiled, "
                        r"0 kept as source, 6 data files, \d+ KB in \d+ s", lines[-1]), lines[-1]
    assert own_abi.err == ""


def test_bad_name_and_interrupt_are_one_line(tmp_path):
    write_pakko(tmp_path)
    rc, out, err = tov("bdist", "-n", "nosuch/", cwd=tmp_path)
    assert (rc, out) == (1, "") and len(err.splitlines()) == 1 and "nosuch" in err, err
    assert not (tmp_path / "build").exists() and not (tmp_path / "dist").exists()
    # Ctrl-C while the modules compile: "interrupted", status 130.
    scripts = Path(sys.executable).parent
    proc = subprocess.Popen([str(scripts / "tov"), "bdist", "-n", "./pakko", "-j", "1", "--no-cache"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stdout.readline().startswith("building ")
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (130, "interrupted\n"), out + err


def test_nothing_to_compile_gives_a_wheel_of_data(tmp_path):
    # Every module excluded: no module is compiled, the data files still ship.
    write_pakko(tmp_path)
    args = [] if LIMITED else ["--abi3", ""]
    rc, out, err = tov("bdist", "-n", "pakko", "-e", r"\.py$", *args, "--no-test", cwd=tmp_path)
    assert rc == 0, out[-2000:] + err[-2000:]
    with zipfile.ZipFile(tmp_path / out.splitlines()[-1].split(": ")[0]) as z:
        shipped = {n for n in z.namelist() if ".dist-info/" not in n}
    assert shipped == PAKKO_DATA


def test_unjudged_modules_that_compute_differently_do_not_ship(tmp_path):
    """With no test to judge the wheel, a module whose compiled code is known
    to compute differently fails the build; one whose difference is only
    where a warning points ships."""
    (tmp_path / "dj").mkdir()
    (tmp_path / "dj" / "__init__.py").write_text("")
    (tmp_path / "dj" / "frames.py").write_text("import sys\n\ndef caller():\n    return sys._getframe(1).f_code.co_name\n")
    (tmp_path / "dj" / "old.py").write_text("import warnings\n\ndef old():\n    warnings.warn('old', stacklevel=2)\n")
    rc, out, err = tov("bdist", "-n", "dj", "-v", "1.0", cwd=tmp_path)
    assert rc == 1 and not (tmp_path / "dist").exists(), out + err
    failing = [l.split()[0] for l in err.splitlines() if l.startswith("  dj/")]
    assert failing == ["dj/frames.py"] and "line 4: frame introspection" in err, err
    assert "the wheel is not proven by tests: no tests found" in out, out
    # The command it suggests ships that module as source.
    rc, out, err = tov(*shlex.split(err.strip().splitlines()[-1])[1:], cwd=tmp_path)
    assert rc == 0, out + err
    [wheel] = (tmp_path / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "dj/frames.py" in names and "dj/old.py" not in names, names


# A failure at each stage of the build: Cython's translation, and the C
# compiler run by setuptools (a declaration file that includes a header that
# does not exist).
BROKEN = {
    # Valid Python that Cython's compiler refuses, a starred item index (a
    # syntax error is an error of the source, which --keep does not mend).
    "translation": ({"pakko/sub/broken.py": "def pair(values, n):\n    return values[*n]\n"},
                    r"^  pakko/sub/broken\.py +Cython translation +pakko/sub/broken\.py:2:"),
    "compiler": ({"pakko/sub/broken.py": "def fine():\n    return 1\n",
                  "pakko/sub/broken.pxd": 'cdef extern from "no_such_header.h":\n    pass\n'},
                 r"^  pakko/sub/broken\.py +C compile +.*no_such_header\.h"),
}


@pytest.mark.parametrize("stage", BROKEN)
def test_failed_build_exits_1_and_leaves_dist_alone(tmp_path, stage, request):
    files, last_line = BROKEN[stage]
    write_pakko(tmp_path)
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    # An older wheel of the very name the build would write: that of the
    # build of the same package with the same options, which carries the
    # interpreter's tags and the platform policy measured on its modules.
    reference = request.getfixturevalue("limited" if LIMITED else "own_abi")
    args = METADATA_OPTIONS if LIMITED else ["--abi3", ""]
    older = tmp_path / "dist" / reference.wheel.name
    older.parent.mkdir()
    older.write_bytes(b"an older wheel")
    stamp = older.stat().st_mtime_ns

    rc, out, err = tov("bdist", "-n", "pakko", *args, cwd=tmp_path)
    assert rc == 1, out[-2000:] + err[-2000:]
    # A summary, not a traceback, ending with the command that succeeds.
    assert "Traceback (most recent call last)" not in err
    summary = err.strip().splitlines()
    assert re.search(last_line, summary[1]), err[-2000:]
    assert summary[-1].endswith(r"--keep '^pakko/sub/broken\.py$'"), err[-2000:]
    assert not [line for line in out.splitlines() if line.endswith(".whl")]
    assert [p.name for p in older.parent.iterdir()] == [older.name]
    assert (older.read_bytes(), older.stat().st_mtime_ns) == (b"an older wheel", stamp)
    assert not list(tmp_path.glob("build/**/*.whl"))


def other_python():
    """A CPython >= 3.12 of this machine other than the running one, as
    tools/pythons.sh finds them; None when there is none."""
    script = Path(__file__).resolve().parents[1] / "tools" / "pythons.sh"
    if not script.exists():
        return None
    ask = "import sys; print('%d.%d' % sys.version_info[:2] + sys.abiflags)"
    mine = subprocess.run([sys.executable, "-c", ask], capture_output=True, text=True).stdout
    for python in subprocess.run(["bash", str(script)], capture_output=True, text=True).stdout.split():
        if subprocess.run([python, "-c", ask], capture_output=True, text=True).stdout != mine:
            return python
    return None


def suffix_installed(python, find_links, venv):
    """The extension suffix of pakko.core as pip installs pakko from the
    wheels of `find_links` into a fresh venv of `python`."""
    subprocess.run([python, "-m", "venv", "--without-pip", str(venv)], check=True)
    subprocess.run([sys.executable, "-m", "pip", "--python", str(venv / "bin" / "python"), "install", "-q",
                    "--no-deps", "--no-index", "--disable-pip-version-check", "--find-links", str(find_links),
                    "pakko"], check=True)
    run = subprocess.run([str(venv / "bin" / "python"), "-c",
                          "import pakko.core as c, pakko.sub.deep as d; print(c.__file__, d.fib(10))"],
                         cwd=venv, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    path, fib = run.stdout.split()
    assert fib == "55"
    return Path(path).name.removeprefix("core")


def test_full_api_wheels_beside_the_abi3_one(tmp_path, tmp_path_factory):
    """With the default, --python adds a full-API wheel for each interpreter
    named (the running one too) to the abi3 wheel, each module translated
    once (no cache to hide a second translation) and each wheel proven by
    the tests in an environment of its interpreter; pip takes an
    interpreter's own wheel over the abi3 one. --abi3 "" makes the named
    interpreters' wheels only; with every module kept as source, one pure
    wheel stands for them all."""
    other = other_python()
    if other is None or not LIMITED:
        pytest.skip("no second CPython >= 3.12 on this machine to build for, or no limited API here")
    # Each interpreter's wheel tags (cp313-cp313) and extension suffix.
    code = ("import sys, sysconfig; v = 'cp%d%d' % sys.version_info[:2]; "
            "print(f'{v}-{v}{sys.abiflags}', sysconfig.get_config_var('EXT_SUFFIX'))")
    (mine, mine_suffix), (theirs, their_suffix) = (
        subprocess.run([p, "-c", code], capture_output=True, text=True).stdout.split() for p in (sys.executable, other))
    project = write_pakko(tmp_path / "p")
    (project / "tests").mkdir()
    (project / "tests" / "test_fib.py").write_text("from pakko.sub.deep import fib\n\n\n"
                                                   "def test_fib():\n    assert fib(10) == 55\n")
    rc, out, err = tov("bdist", "-n", "pakko", "--no-cache", "--python", sys.executable, "--python", other,
                       cwd=project)
    assert rc == 0, out + err
    assert out.startswith(f"making 3 wheels: cp312-abi3, {mine}, {theirs}; "), out
    # Each wheel's test runs are its own, kept apart from the others'.
    tags = ["cp312-abi3", mine, theirs]
    assert re.findall(r"^making the test environment for the (\S+) wheel ", out, re.M) == tags, out
    assert out.count("\ntests compiled: 1 passed, 0 failed") == 3, out
    assert sorted(p.name for p in (project / "build" / "prove").iterdir()) == sorted(tags)
    assert all((project / "build" / "prove" / t / "logs" / "run-2.log").is_file() for t in tags)
    first, *rest = out.split("building a ")[1:]
    assert first.startswith("cp312-abi3 wheel") and "translation cached" not in first, out
    assert [r.count("translation cached") for r in rest] == [5, 5], out
    wheels = {"-".join(w.name.split("-")[2:4]): w for w in project.glob("dist/*.whl")}
    assert sorted(wheels) == sorted(["cp312-abi3", mine, theirs]), wheels
    for python, suffix in ((sys.executable, mine_suffix), (other, their_suffix)):
        assert suffix_installed(python, project / "dist", tmp_path_factory.mktemp("venv")) == suffix
    # Again with a cache: the stamp holds the three wheels, and a run with
    # nothing changed leaves them as they are.
    args = ("bdist", "-n", "pakko", "--no-test", "--cache-dir", str(tmp_path / "cache"), "--python", sys.executable,
            "--python", other)
    assert tov(*args, cwd=project)[0] == 0
    rc, out, err = tov(*args, cwd=project)
    assert rc == 0 and sorted(line.split(": ")[0] for line in out.splitlines() if "up to date" in line) == sorted(
        f"dist/{w.name}" for w in wheels.values()), out + err
    # Where no wheel of its own is found, pip takes the abi3 one.
    (project / "dist").rename(tmp_path / "found")
    (tmp_path / "found" / wheels[mine].name).unlink()
    assert suffix_installed(sys.executable, tmp_path / "found", tmp_path_factory.mktemp("venv")) == ABI3_SUFFIX
    # --abi3 "": the named interpreter's wheel alone.
    rc, out, err = tov("bdist", "-n", "pakko", "--no-test", "--cache-dir", str(tmp_path / "cache"), "--abi3", "",
                       "--python", other, cwd=project)
    assert rc == 0 and out.startswith(f"building a {theirs} wheel: for CPython "), out + err
    assert ["-".join(w.name.split("-")[2:4]) for w in project.glob("dist/*.whl")] == [theirs]
    # An interpreter named twice, or one that is not there: one line.
    for bad in (["--python", other, "--python", other], ["--python", "no-such-python3"]):
        rc, out, err = tov("bdist", "-n", "pakko", *bad, cwd=project)
        assert rc == 1 and len((out + err).strip().splitlines()) == 1, out + err
    assert "no such interpreter" in err
    # Every module kept as source: one py3-none-any wheel, not one of that name for each.
    rc, out, err = tov("bdist", "-n", "pakko", "--no-test", "--keep", ".", "--python", other, cwd=project)
    assert rc == 0 and out.startswith("building a py3-none wheel: every module is kept as source, so this one "
                                      f"wheel serves every interpreter, in place of the 2 asked for (cp312-abi3, {theirs})"), out
    assert [line.split(": ")[0] for line in out.splitlines() if line.startswith("dist/")] == [
        "dist/pakko-2.0.1-py3-none-any.whl"], out


def free_threaded_python():
    """A free-threaded CPython before 3.15 of this machine: on PATH, or the
    one tools/python314t.sh keeps; None when there is none."""
    folder = os.environ.get("TOVEL_PY314T_DIR") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "tovel", "cpython-3.14.7t")
    ask = ("import sys, sysconfig; "
           "print(bool(sysconfig.get_config_var('Py_GIL_DISABLED')) and sys.version_info < (3, 15))")
    for python in (shutil.which("python3.14t"), shutil.which("python3.13t"),
                   os.path.join(folder, "bin", "python3.14t")):
        if python and os.access(python, os.X_OK) and subprocess.run(
                [python, "-c", ask], capture_output=True, text=True).stdout.strip() == "True":
            return python
    return None


@needs_limited
def test_python_adds_a_free_threaded_wheel_to_the_limited_api_one(tmp_path, tmp_path_factory):
    """With the default (abi3), --python naming a free-threaded interpreter
    adds its own wheel, from the same translations, whose modules keep the
    GIL off there."""
    python = free_threaded_python()
    if python is None:
        pytest.skip("no free-threaded CPython before 3.15 on this machine")
    project = write_pakko(tmp_path / "p")
    rc, out, err = tov("bdist", "-n", "pakko", "--no-cache", "--python", python, cwd=project)
    assert rc == 0, out + err
    first, second = out.split("building a ")[1:]
    assert first.startswith("cp312-abi3 wheel") and "translation cached" not in first
    assert re.match(r"cp31\d-cp31\dt wheel: for free-threaded CPython 3\.1\d only, which has no limited API \(",
                    second), second
    assert second.count("translation cached") == 5, out
    wheels = sorted(p.name for p in project.glob("dist/*.whl"))
    assert len(wheels) == 2 and "-cp312-abi3-" in wheels[0], wheels
    free = project / "dist" / wheels[1]
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([python, "-m", "venv", "--without-pip", str(venv)], check=True)
    # uv: the interpreter may have no pip of its own.
    subprocess.run([sys.executable, "-m", "uv", "pip", "install", "-q", "--no-cache", "--offline", "--no-deps",
                    "--python", str(venv / "bin" / "python"), str(free)], check=True)
    run = subprocess.run([str(venv / "bin" / "python"), "-c",
                          "import sys, pakko, pakko.core, pakko.sub.deep as d; "
                          "print(pakko.core.__file__, d.fib(10), sys._is_gil_enabled())"],
                         cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    path, fib, gil = run.stdout.split()
    assert re.search(r"\.cpython-31\dt-", Path(path).name) and (fib, gil) == ("55", "False"), path


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL comes on only in a free-threaded interpreter")
def test_a_module_that_turns_the_gil_on_fails_the_import_check(tmp_path):
    """Modules translated without freethreading_compatible turn the GIL on
    when they load: each is named, also those whose package turns it on
    first."""
    write_pakko(tmp_path)
    args = ("bdist", "-n", "pakko", "-e", "unit", "-X", "freethreading_compatible=False")
    rc, out, err = tov(*args, cwd=tmp_path)
    assert rc == 1, out + err
    named = sorted(line.split()[0] for line in err.splitlines() if "turns the GIL on" in line)
    assert named == ["pakko/__init__.py", "pakko/core.py", "pakko/sub/__init__.py", "pakko/sub/deep.py"], err
    assert not list(tmp_path.glob("dist/*.whl"))
