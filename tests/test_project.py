"""A project with its own pyproject.toml: its settings (tovel.pyproject),
and the compiled twin of its wheel built by tov bdist and by the standard
front ends through tovel.build_meta wrapping its back end (setuptools here)."""

import email.parser
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import types
import zipfile
from importlib.util import find_spec
from pathlib import Path

import pytest

import tovel.build_meta as build_meta
import tovel.pyproject as pyproject

BIN = Path(sys.executable).parent
# The default build's tags: the limited API of 3.12, or on a free-threaded
# interpreter before 3.15 (which has none) its own.
DEFAULT_TAGS = ("cp312-abi3" if not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
                else "cp{0}{1}-cp{0}{1}{2}".format(*sys.version_info[:2], sys.abiflags))

PYPROJECT = '''
    [build-system]
    requires = ["tovel"]
    build-backend = "tovel.build_meta"

    [project]
    name = "python-foo"
    dynamic = ["version"]
    description = "Foo, compiled"
    readme = "README.rst"
    license = "BSD-3-Clause"
    license-files = ["LICENSE.txt"]
    requires-python = ">=3.12"
    dependencies = ["tomli_w>=1.0"]
    authors = [{name = "Ada Foo", email = "ada@foo.test"}]
    classifiers = ["Programming Language :: Python :: 3", "Operating System :: POSIX :: Linux"]

    [project.optional-dependencies]
    fast = ["packaging>=20"]

    [project.scripts]
    foo = "foo.cli:main"
    foo-version = "foo_extra.__init__:version_main"

    [project.urls]
    Homepage = "https://foo.test"

    [tool.setuptools.dynamic]
    version = {attr = "foo.__version__"}

    [tool.tovel]
    directives = {boundscheck = false}
    '''

# A src layout with two top-level packages whose names are not the
# distribution's, an RST readme, a LICENSE.txt and tests beside the sources.
FOO = {
    "pyproject.toml": PYPROJECT,
    "README.rst": "python-foo\n==========\n\nFoo does *foo*.\n",
    "LICENSE.txt": "BSD 3-Clause License\n",
    "src/foo/__init__.py": '__version__ = "1.3.0"\n',
    "src/foo/cli.py": '''
        from foo.sub import base
        from foo_extra import twice


        def main():
            print("foo", twice(base()))
        ''',
    "src/foo/sub/__init__.py": "def base():\n    return 21\n",
    # Reads the distribution's own metadata as it loads, which the import check must find.
    "src/foo_extra/__init__.py": "from importlib.metadata import version\nVERSION = version('python-foo')\n"
                                 "def twice(x):\n    return 2 * x\ndef version_main():\n    print(VERSION)\n",
    "tests/test_foo.py": "def test_nothing():\n    pass\n",
}
COMPILED = ["foo/__init__", "foo/cli", "foo/sub/__init__", "foo_extra/__init__"]
OPTIONS = ["name", "abi3", "exclude", "keep", "directive", "jobs", "mscv", "version",
           "description", "license", "extra", "entry"]


def write(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")
    return root


def snapshot(root):
    """Every file outside build/ and dist/ (the outputs), path -> bytes."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        if Path(folder) == root:
            dirs[:] = [d for d in dirs if d not in ("build", "dist")]
        for name in files:
            path = Path(folder, name)
            seen[path.relative_to(root).as_posix()] = path.read_bytes()
    return seen


def run(argv, cwd):
    proc = subprocess.run([str(a) for a in argv], cwd=cwd, capture_output=True, text=True,
                          timeout=900)
    return proc.returncode, proc.stdout, proc.stderr


needs_packer = pytest.mark.skipif(find_spec("tovel.packer") is None,
                                  reason="the compiled-wheel pipeline tovel.packer is not there")

FRONT_ENDS = {
    # the project's back end runs in an isolated environment, as python -m build's does
    "tov": ([BIN / "tov", "bdist", "--no-test", "--cache-dir", "{out}-cache"], "dist"),
    # build makes the sdist first and the wheel from the unpacked sdist
    "build": ([sys.executable, "-m", "build", "--no-isolation", "-o", "{out}"], "{out}"),
    "pip": ([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
             "--no-index", "--disable-pip-version-check", "-w", "{out}", "."], "{out}"),
    "uv": ([BIN / "uv", "build", "--no-build-isolation", "--python", sys.executable,
            "-o", "{out}"], "{out}"),
}


@needs_packer
@pytest.mark.parametrize("front_end", list(FRONT_ENDS))
def test_front_end_builds_the_compiled_wheel(tmp_path, make_venv, front_end):
    root = write(tmp_path / "python-foo", FOO)
    out = tmp_path / "out"
    before = snapshot(root)
    argv, where = FRONT_ENDS[front_end]
    rc, stdout, stderr = run([str(a).format(out=out) for a in argv], cwd=root)
    assert rc == 0, stdout[-3000:] + stderr[-3000:]
    assert "fails to import" not in stdout + stderr
    # The project is as it was: its pyproject.toml byte for byte, no
    # egg-info, bytecode or other leftover outside build/ and dist/.
    assert snapshot(root) == before

    outputs = Path(where.format(out=out))
    outputs = outputs if outputs.is_absolute() else root / outputs
    [wheel] = outputs.glob("*.whl")
    assert re.fullmatch(rf"python_foo-1\.3\.0-{DEFAULT_TAGS}-[\w.]+\.whl", wheel.name), wheel.name
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        meta = email.parser.BytesParser().parsebytes(
            z.read("python_foo-1.3.0.dist-info/METADATA"))
        entry_points = z.read("python_foo-1.3.0.dist-info/entry_points.txt").decode()
        licence = z.read("python_foo-1.3.0.dist-info/licenses/LICENSE.txt")
    modules = sorted(n.split(".")[0] for n in names if n.endswith((".so", ".pyd")))
    assert modules == COMPILED
    assert not [n for n in names if n.endswith((".py", ".pyc", ".c")) or n.startswith("tests")]
    assert (meta["Name"], meta["Version"], meta["Summary"]) == (
        "python-foo", "1.3.0", "Foo, compiled")
    assert (meta["License-Expression"], meta["Requires-Python"]) == ("BSD-3-Clause", ">=3.12")
    assert meta["Author-email"] == "Ada Foo <ada@foo.test>"
    assert meta["Description-Content-Type"] == "text/x-rst"
    assert meta.get_all("Classifier") == [
        "Programming Language :: Python :: 3", "Operating System :: POSIX :: Linux"]
    assert meta.get_all("Requires-Dist") == ["tomli_w>=1.0", 'packaging>=20; extra == "fast"']
    assert meta.get_all("Provides-Extra") == ["fast"]
    assert meta.get_all("Project-URL") == ["Homepage, https://foo.test"]
    assert meta.get_payload().strip() == "python-foo\n==========\n\nFoo does *foo*."
    assert "foo = foo.cli:main" in entry_points
    assert licence == b"BSD 3-Clause License\n"

    # build and uv make the sdist first (and the wheel from it); tov and pip
    # the wheel alone.
    sdists = list(outputs.glob("*.tar.gz"))
    assert len(sdists) == (front_end in ("build", "uv")), sdists
    for sdist in sdists:
        with tarfile.open(sdist) as t:
            members = set(t.getnames())
        assert {"python_foo-1.3.0/PKG-INFO", "python_foo-1.3.0/pyproject.toml",
                "python_foo-1.3.0/README.rst", "python_foo-1.3.0/LICENSE.txt",
                "python_foo-1.3.0/src/foo/cli.py",
                "python_foo-1.3.0/src/foo_extra/__init__.py"} <= members

    python = make_venv(wheel)
    script = python.parent / ("foo.exe" if os.name == "nt" else "foo")
    rc, stdout, stderr = run([script], cwd=tmp_path)
    assert (rc, stdout, stderr) == (0, "foo 42\n", "")
    # An entry point naming a package's module as pkg.__init__ loads it too.
    assert run([script.with_name(script.name.replace("foo", "foo-version"))], cwd=tmp_path) == (0, "1.3.0\n", "")

    if front_end == "tov":
        # The back end's isolated environment is kept by its requirements: a
        # build after a change reuses it and installs nothing into it.
        [kept] = Path(f"{out}-cache", "envs").glob("backend-*/tovel-env.json")
        made = kept.read_text()
        cli = root / "src" / "foo" / "cli.py"
        cli.write_text(cli.read_text() + "\nANSWER = 43\n")
        rc, stdout, stderr = run([str(a).format(out=out) for a in argv], cwd=root)
        assert rc == 0, stdout[-3000:] + stderr[-3000:]
        assert kept.read_text() == made


def drop(line):
    return lambda text: text.replace(line + "\n", "")


def add(extra):
    return lambda text: text + textwrap.dedent(extra)


# Each row: a change to the project's pyproject.toml and the config settings
# of the build, and what the one line of the error must name.
BAD_INPUTS = {
    "not-toml": (add("[project\n"), {}, ["pyproject.toml", "not valid TOML"]),
    "unknown-tool-key": (add('colour = "red"\n'), {}, ["pyproject.toml", "[tool.tovel]",
                                                        "colour"]),
    "jobs-zero": (add("jobs = 0\n"), {}, ["pyproject.toml", "jobs"]),
    "bad-pattern": (add('exclude = "("\n'), {}, ["pyproject.toml", "exclude"]),
    "bad-backend": (add('backend = "no such"\n'), {}, ["[tool.tovel] backend", "no such"]),
    "unknown-directive": (lambda t: t.replace("boundscheck", "nonesuch"), {},
                          ["pyproject.toml", "nonesuch"]),
    "bad-jobs-setting": (str, {"jobs": "many"}, ["config setting", "jobs"]),
    "bad-abi3-setting": (str, {"abi3": "maybe"}, ["config setting", "abi3"]),
    "bad-test-requires": (add('test-requires = ["pytest", "no such thing!"]\n'), {},
                          ["pyproject.toml", "test-requires", "no such thing!"]),
    "bad-test-timeout": (add("test-timeout = -5\n"), {}, ["pyproject.toml", "test-timeout"]),
    "bad-timeout-setting": (str, {"test-timeout": "soon"}, ["config setting", "test-timeout"]),
    "bad-keep-failing-setting": (str, {"keep-failing": "maybe"}, ["config setting", "keep-failing"]),
}

# A project the back end (setuptools) refuses: its own message, then one line
# of tovel naming the stage.
BACK_END_FAILS = {
    "no-name": (drop('name = "python-foo"'), "name"),
    "bad-version": (lambda t: t.replace('dynamic = ["version"]', 'version = "1.x"'),
                    "project.version"),
    "missing-package": (add('[tool.setuptools]\npackage-dir = {"" = "src"}\n'
                            'packages = ["foo", "nope"]\n'), "nope"),
}


def bad_project(root, change):
    write(root, FOO)
    pyproject_toml = root / "pyproject.toml"
    pyproject_toml.write_text(change(pyproject_toml.read_text()))
    return snapshot(root)


def lines_of(text):
    return [line for line in text.splitlines() if line.strip()]


@pytest.mark.parametrize("row", list(BAD_INPUTS))
def test_bad_input_is_one_line_and_exit_status_1(tmp_path, row):
    change, config, named = BAD_INPUTS[row]
    before = bad_project(tmp_path, change)
    code = f"import tovel.build_meta as b; b.build_wheel('out', {config!r})"
    rc, stdout, stderr = run([sys.executable, "-c", code], cwd=tmp_path)
    lines = lines_of(stderr)
    assert rc == 1 and len(lines) == 1, stdout + stderr
    assert lines[0].startswith("error: ")
    assert all(word in lines[0] for word in named), lines[0]
    assert snapshot(tmp_path) == before and not (tmp_path / "out").exists()


@needs_packer
@pytest.mark.parametrize("row", [r for r in BAD_INPUTS if not BAD_INPUTS[r][1]])
def test_bad_project_stops_tov_bdist(tmp_path, row):
    change, _, named = BAD_INPUTS[row]
    before = bad_project(tmp_path, change)
    rc, stdout, stderr = run([BIN / "tov", "bdist", "--no-isolation"], cwd=tmp_path)
    lines = lines_of(stderr)
    assert rc == 1 and len(lines) == 1, stdout + stderr
    assert all(word in lines[0] for word in named), lines[0]
    assert snapshot(tmp_path) == before


@needs_packer
@pytest.mark.parametrize("row", list(BACK_END_FAILS))
def test_failing_back_end_is_named_last(tmp_path, row):
    change, named = BACK_END_FAILS[row]
    before = bad_project(tmp_path, change)
    rc, stdout, stderr = run([BIN / "tov", "bdist", "--no-isolation"], cwd=tmp_path)
    assert rc == 1 and named in stderr, stdout + stderr
    # setuptools reads its configuration when asked for its requirements already
    assert re.fullmatch(r"the project's back end \(setuptools\.build_meta\) failed to "
                        r"(build|report the requirements of) its wheel", lines_of(stderr)[-1])
    assert "Traceback" not in lines_of(stderr)[0] and not (tmp_path / "dist").exists()
    # The same through the PEP 517 back end: the wrapped one's own error first.
    code = "import tovel.build_meta as b; b.build_wheel('out')"
    rc, stdout, stderr = run([sys.executable, "-c", code], cwd=tmp_path)
    assert rc == 1 and named in stderr, stdout + stderr
    assert lines_of(stderr)[-1] == (
        "error: the back end setuptools.build_meta failed to build its wheel")
    assert snapshot(tmp_path) == before and not (tmp_path / "out").exists()


# ---------------------------------------------------------------- settings


def settled(**given):
    options = dict.fromkeys(OPTIONS)
    options.update(given)
    pyproject.settings(options)
    return options


def test_settings_of_a_project(project_dir):
    write(project_dir, FOO)
    options = settled(keep="cli", directive=["wraparound=False", "boundscheck=True"])
    # Its back end builds the wheel: tov reads only [tool.tovel].
    assert options["route"] == "project" and "packages" not in options
    # nothing left out unless the project says so; given settings win
    assert (options["exclude"], options["keep"], options["abi3"], options["jobs"]) == (
        None, "cli", True, None)
    assert options["directive"] == ["boundscheck=False", "wraparound=False", "boundscheck=True"]
    assert pyproject.backend() == "setuptools.build_meta"
    # The metadata of the -n layout has no place here: one line says so.
    for option, value in [("name", "foo"), ("version", "2.0"), ("entry", {"x": "foo:y"})]:
        with pytest.raises(ValueError, match=f"^--{option} is for the -n layout .*: a project's "
                                             "metadata is its back end's"):
            settled(**{option: value})
    assert settled(from_wheel="x.whl")["route"] == "wheel"


def test_tool_settings_and_an_editable_install_of_the_back_end(project_dir, make_venv):
    write(project_dir, {
        "pyproject.toml": '[project]\nname = "two"\nversion = "1"\n'
                          '[tool.setuptools]\npackages = ["alpha", "alpha.inner", "beta"]\n'
                          '[tool.tovel]\nexclude = "slow"\njobs = 3\nabi3 = false\n'
                          'backend = "setuptools.build_meta"\n',
        "alpha/__init__.py": "", "alpha/inner/__init__.py": "", "beta/__init__.py": "",
        "project/README.md": "# old layout\n",
    })
    options = settled()
    assert (options["exclude"], options["jobs"], options["abi3"]) == ("slow", 3, False)

    # An editable install is the wrapped back end's: the same packages, in the sources.
    before = snapshot(project_dir)
    wheel = build_meta.build_editable(str(project_dir / "build" / "editable"))
    assert snapshot(project_dir) == before
    python = make_venv(project_dir / "build" / "editable" / wheel)
    rc, out, err = run([python, "-c", "import alpha.inner, beta; print(alpha.__file__)"],
                       cwd=python.parent)
    assert (rc, out) == (0, f"{project_dir / 'alpha' / '__init__.py'}\n"), err


def test_bare_folder_takes_the_packages_own_version(project_dir):
    (project_dir / "vemo").mkdir()
    (project_dir / "vemo" / "__init__.py").write_text('"""doc"""\n__version__: str = "0.7"\n')
    options = settled(name="./vemo/")
    assert options["packages"] == [["vemo", "vemo"]] and options["route"] == "layout"
    assert (options["exclude"], options["version"], options["license"]) == (None, "0.7", None)
    # checked when the options are settled, before anything is compiled
    for option, value in [("version", "1.x"), ("license", "MIT License"),
                          ("extra", {"x": ["numpy>>1"]}), ("extra", "{"), ("entry", "[]"),
                          ("entry", {"group": {"name": 1}})]:
        with pytest.raises(ValueError, match=f"^--{option}: |^--{option} \\(-.\\) takes"):
            settled(**{option: value})


def test_config_settings_become_the_options(project_dir, monkeypatch):
    write(project_dir, FOO)
    seen = []

    def bdist(options, outdir):
        seen.append((options, outdir))
        return os.path.join(outdir, "python_foo-1.3.0-cp3-abi3-any.whl")

    monkeypatch.setitem(sys.modules, "tovel.packer", types.SimpleNamespace(bdist=bdist))
    name = build_meta.build_wheel("out", {"exclude": "cli", "jobs": "2", "abi3": "off",
                                          "directive": ["wraparound=False", "cdivision=True"],
                                          "keep": ["a", "b"]})
    assert name == "python_foo-1.3.0-cp3-abi3-any.whl"
    [(options, outdir)] = seen
    assert outdir == str(project_dir / "out")
    assert (options["exclude"], options["jobs"], options["abi3"], options["keep"]) == (
        "cli", 2, False, "b")
    assert options["directive"] == ["boundscheck=False", "wraparound=False", "cdivision=True"]


# ---------------------------------------------------------------- tov compile


def test_compile_keeps_the_projects_own_pyproject(tmp_path, run_tov):
    own = b"# mine\n[project]\nname = \"pk\"\nversion = \"0.1\"\n"
    write(tmp_path, {"pk/__init__.py": "ANSWER = 42\n"})
    (tmp_path / "pyproject.toml").write_bytes(own)
    rc, out, err = run_tov("compile", "-n", "pk")
    assert rc == 0, out + err
    assert "pyproject.toml was not written by tov: kept as pyproject.toml.orig" in out
    assert (tmp_path / "pyproject.toml.orig").read_bytes() == own
    assert (tmp_path / "pyproject.toml").read_text().startswith("# written by tov")
    assert list((tmp_path / "build" / "egg" / "pk").glob("__init__*"))

    # Its own file again, with the first one kept: nothing is overwritten.
    (tmp_path / "pyproject.toml").write_bytes(own.replace(b"0.1", b"0.2"))
    rc, out, err = run_tov("compile", "-n", "pk")
    assert rc == 1
    assert "pyproject.toml.orig exists already" in err.splitlines()[-1]
    assert (tmp_path / "pyproject.toml.orig").read_bytes() == own
    assert (tmp_path / "pyproject.toml").read_bytes() == own.replace(b"0.1", b"0.2")
