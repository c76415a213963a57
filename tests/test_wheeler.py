"""tovel.wheeler: the wheel command, with the build front end replaced by a
stand-in, and for real: on a tiny project with a compiled extension, and on the
compile and wheel route of a package with a subpackage."""

import argparse
import csv
import email.parser
import errno
import io
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import types
import zipfile
from pathlib import Path

import packaging.tags
import pytest

import tovel.audit
import tovel.metagen as metagen
import tovel.wheeler as wheeler
from wheels import (
    centred, check_wheel, compile_extension, record_hash, write_wheel)

pytestmark = pytest.mark.usefixtures("no_sleep")

GLIBC = sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
ABI3_LINE = "ABI3 is enabled, using limited API for compatibility with older Python versions."


def names(name, version):
    """The wheel path the front end is expected to write, and its abi3 name."""
    tags = f"cp{metagen.PYTAG}-{{}}-{metagen.PLATAG}"
    whfile = f"./dist/{name}-{version}-{tags.format('none')}.whl"
    newfile = f"./dist/{name}-{version}-{tags.format('abi3')}.whl"
    return whfile, newfile


def wheel_contents(path):
    with zipfile.ZipFile(path) as zf:
        return {i.filename: zf.read(i) for i in zf.infolist()}


def dist_info_file(contents, leaf):
    [name] = [n for n in contents if n.count("/") == 1 and n.endswith(".dist-info/" + leaf)]
    return name


def wheel_tags(contents):
    text = contents[dist_info_file(contents, "WHEEL")].decode()
    return [line[len("Tag: "):] for line in text.splitlines() if line.startswith("Tag: ")]


def assert_record_consistent(contents):
    record = dist_info_file(contents, "RECORD")
    rows = list(csv.reader(io.StringIO(contents[record].decode())))
    assert sorted(r[0] for r in rows) == sorted(contents)
    for arc, digest, size in rows:
        if arc == record:
            assert (digest, size) == ("", "")
        else:
            assert (digest, int(size)) == (record_hash(contents[arc]), len(contents[arc])), arc


class FrontEnd:
    """Stands in for tovel.wheeler.subprocess. Its run() records the argument
    list and, like the build front end, reads pyproject.toml from the working
    directory and leaves a wheel in dist/ named from the document's tags."""

    def __init__(self, returncode=0, build=True, rename=None):
        self.returncode, self.build, self.rename = returncode, build, rename
        self.files = {}  # more members of the wheel, name to bytes
        self.calls = []

    def run(self, cmd, **kwargs):
        self.calls.append((list(cmd), kwargs))
        print("front end ran")
        if self.build:
            with open("pyproject.toml", "rb") as f:
                doc = tomllib.load(f)
            name, version = doc["project"]["name"], doc["project"]["version"]
            if self.rename:
                name = self.rename(name)
            wheel = doc["tool"]["distutils"]["bdist_wheel"]
            py, plat = wheel["python-tag"], wheel["plat-name"]
            # setuptools calls a wheel without ext_modules purelib
            write_wheel(f"dist/{name}-{version}-{py}-none-{plat}.whl", name, version,
                        [f"{py}-none-{plat}"], self.files, purelib=True)
        return subprocess.CompletedProcess(cmd, self.returncode)


class WindowsLikeOs:
    """tovel.wheeler.os whose rename refuses to replace an existing file."""

    def __init__(self, remove_error=None):
        self.remove_error = remove_error
        self.removed = []

    def __getattr__(self, name):
        return getattr(os, name)

    def rename(self, src, dst):
        if os.path.exists(dst):
            raise FileExistsError(errno.EEXIST, "File exists", dst)
        os.rename(src, dst)

    def remove(self, path):
        self.removed.append(path)
        if self.remove_error:
            raise self.remove_error
        os.remove(path)


def record(**fields):
    """The options of a wheel run; the package folder it names is made in the
    working directory, where the command requires it."""
    base = dict(name="demo", version="1.0", description="demo project", license="MIT",
                extra={}, entry={}, abi3=True, func=None)
    base.update(fields)
    if isinstance(base["name"], str):
        os.makedirs(base["name"], exist_ok=True)
    return argparse.Namespace(**base)


@pytest.fixture
def front_end(monkeypatch, project_dir, limited_api):
    """The build front end's stand-in; the interpreter has the limited API
    unless limited_api is parametrized."""
    (project_dir / "project").mkdir()
    (project_dir / "project" / "README.md").write_text("# demo\n")
    (project_dir / "project" / "requirements.txt").write_text("")
    fake = FrontEnd()
    monkeypatch.setattr(wheeler, "subprocess", fake)
    return fake


# --- module ----------------------------------------------------------------


def test_module_binds_its_names_in_order():
    assert [n for n in vars(wheeler) if not n.startswith("__")] == [
        "argparse", "json", "os", "subprocess", "sys",
        "ABITAG", "PLATAG", "PYTAG", "libpath", "project", "audit", "tags", "WheelFile",
        "tovwheel"]
    assert (wheeler.argparse, wheeler.json, wheeler.os, wheeler.subprocess, wheeler.sys) == (
        argparse, json, os, subprocess, sys)
    for name in ("ABITAG", "PLATAG", "PYTAG", "libpath", "project"):
        assert getattr(wheeler, name) is getattr(metagen, name)


@pytest.mark.parametrize("call", [
    lambda: wheeler.tovwheel(),
    lambda: wheeler.tovwheel(record(), record()),
    lambda: wheeler.tovwheel(options=record()),
], ids=["none", "two", "wrong-keyword"])
def test_argument_errors(front_end, call):
    with pytest.raises(TypeError):
        call()
    assert front_end.calls == [] and not Path("pyproject.toml").exists()


# --- one run with the front end replaced -------------------------------------


def test_run_prints_builds_and_retags(front_end, capsys):
    assert wheeler.tovwheel(args=record(name="demo", version="1.0")) is None
    whfile, newfile = names("demo", "1.0")
    assert capsys.readouterr().out.splitlines() == [
        centred("wheel " + whfile, "#"), "front end ran", ABI3_LINE]
    [(cmd, kwargs)] = front_end.calls
    assert cmd == [sys.executable, "-m", "build", "-wno", "dist"]
    assert kwargs.get("shell", False) is False
    assert not os.path.exists(whfile)
    contents = wheel_contents(newfile)
    assert wheel_tags(contents) == [f"cp{metagen.PYTAG}-abi3-{metagen.PLATAG}"]
    assert_record_consistent(contents)


def test_interpreter_path_with_a_space_stays_one_argument(front_end, monkeypatch):
    python = "/opt/my python 3/bin/python3"
    monkeypatch.setattr(wheeler, "sys", types.SimpleNamespace(executable=python))
    wheeler.tovwheel(record(abi3=False))
    assert [cmd for cmd, _ in front_end.calls] == [[python, "-m", "build", "-wno", "dist"]]


def test_project_gets_the_records_own_dictionary(front_end, monkeypatch):
    seen = []

    def project(options):
        seen.append(options)
        metagen.project(options)

    monkeypatch.setattr(wheeler, "project", project)
    args = record(extra='{"fast": ["numpy"]}')
    wheeler.tovwheel(args)
    [options] = seen
    assert options is vars(args)
    assert options["extra"] == {"fast": ["numpy"]}


@pytest.mark.parametrize("extra, entry, want_extra, want_entry", [
    ('{"fast": ["numpy>=2"]}', '{"demo": "demo.cli:main"}',
     {"fast": ["numpy>=2"]}, {"demo": "demo.cli:main"}),
    ('["numpy"]', "{}", ["numpy"], {}),
    (' {"a": []} ', {"kept": "as is:main"}, {"a": []}, {"kept": "as is:main"}),
], ids=["objects", "list", "text-and-mapping"])
def test_json_options_are_parsed_and_stored(front_end, extra, entry, want_extra, want_entry):
    args = record(extra=extra, entry=entry, abi3=False)
    wheeler.tovwheel(args)
    assert (args.extra, args.entry) == (want_extra, want_entry)
    proj = tomllib.loads(Path("pyproject.toml").read_text())["project"]
    assert (proj["optional-dependencies"], proj["scripts"]) == (want_extra, want_entry)


def test_mappings_are_left_alone(front_end, monkeypatch):
    parsed = []
    monkeypatch.setattr(wheeler, "json", types.SimpleNamespace(
        loads=lambda text: parsed.append(text) or {}))
    extra, entry = {"fast": ["numpy"]}, {}
    args = record(extra=extra, entry=entry, abi3=False)
    wheeler.tovwheel(args)
    assert parsed == []
    assert args.extra is extra and args.entry is entry


@pytest.mark.parametrize("extra, entry", [
    ("", {}), ("{bad", {}), ({}, "nope"), ("{}", ""), ("{}", "{'single': 'quotes'}"),
])
def test_invalid_json_stops_before_anything_is_written(front_end, capsys, extra, entry):
    with pytest.raises(json.JSONDecodeError) as caught:
        wheeler.tovwheel(record(extra=extra, entry=entry))
    option = "--extra (-x)" if isinstance(extra, str) and extra != "{}" else "--entry (-t)"
    [note] = caught.value.__notes__
    assert note.startswith(f"{option} takes a JSON object of ")
    assert front_end.calls == []
    assert not Path("pyproject.toml").exists()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("make", [None, lambda: Path("demo").write_text("a file")])
def test_package_folder_is_required_before_anything_is_written(front_end, capsys, make):
    # Without it the wheel would hold metadata only and look like a success.
    options = record()
    os.rmdir("demo")
    if make:
        make()
    with pytest.raises(OSError, match="'demo'.* --name names the folder of the package"):
        wheeler.tovwheel(options)
    assert front_end.calls == [] and capsys.readouterr().out == ""
    assert not Path("pyproject.toml").exists() and not Path("dist").exists()


def test_project_error_stops_before_the_build(front_end):
    with pytest.raises(TypeError):
        wheeler.tovwheel(record(version=None))
    assert front_end.calls == []


@pytest.mark.parametrize("abi3", [False, "", 0])
def test_abi3_off_keeps_the_wheel_as_built(front_end, capsys, abi3):
    whfile, newfile = names("demo", "1.0")
    assert wheeler.tovwheel(record(abi3=abi3)) is None
    assert ABI3_LINE not in capsys.readouterr().out
    assert os.path.exists(whfile) and not os.path.exists(newfile)
    assert wheel_tags(wheel_contents(whfile))[0] == f"cp{metagen.PYTAG}-none-{metagen.PLATAG}"


@pytest.mark.parametrize("abi3", [True, "1", "no"])
@pytest.mark.parametrize("name, version", [("demo", "1.0"), ("nonesuch", "0.1+none")])
def test_abi3_on_changes_only_the_abi_tag(front_end, capsys, abi3, name, version):
    whfile, newfile = names(name, version)
    wheeler.tovwheel(record(name=name, version=version, abi3=abi3))
    assert capsys.readouterr().out.splitlines()[-1] == ABI3_LINE
    assert sorted(os.listdir("dist")) == [os.path.basename(newfile)]
    assert newfile.startswith(f"./dist/{name}-{version}-")
    after = wheel_contents(newfile)
    # rebuild the wheel the stand-in wrote, for comparison
    write_wheel("before.whl", name, version, [f"cp{metagen.PYTAG}-none-{metagen.PLATAG}"],
                purelib=True)
    before = wheel_contents("before.whl")
    assert list(after) == list(before)
    wheel = dist_info_file(before, "WHEEL")
    changed = [arc for arc in before if before[arc] != after[arc]]
    assert changed == [wheel, dist_info_file(before, "RECORD")]
    old_lines = before[wheel].decode().splitlines()
    new_lines = after[wheel].decode().splitlines()
    assert [(o, n) for o, n in zip(old_lines, new_lines) if o != n] == [
        (o, o.replace("-none-", "-abi3-")) for o in old_lines if o.startswith("Tag: ")]
    assert_record_consistent(after)


@pytest.mark.parametrize("length", [77, 78, 79, 80, 81])
def test_banner_centring(front_end, capsys, length):
    whfile, _ = names("", "1.0")
    name = "n" * (length - len("wheel " + whfile))
    assert name
    whfile, _ = names(name, "1.0")
    wheeler.tovwheel(record(name=name, abi3=False))
    banner = capsys.readouterr().out.splitlines()[0]
    text = "wheel " + whfile
    assert len(text) == length
    left = max(0, (80 - length) // 2)
    assert banner == "#" * left + text + "#" * max(0, 80 - length - left)


# --- failures ----------------------------------------------------------------


@pytest.mark.parametrize("status", [1, 77])
@pytest.mark.parametrize("abi3", [True, False])
def test_failed_build_is_an_error_and_renames_nothing(front_end, capsys, status, abi3):
    whfile, newfile = names("demo", "1.0")
    write_wheel(whfile, "demo", "1.0", ["stale"])  # left by an earlier run
    stale = Path(whfile).read_bytes()
    front_end.returncode, front_end.build = status, False
    with pytest.raises(Exception) as failure:
        wheeler.tovwheel(record(abi3=abi3))
    assert str(status) in str(failure.value)
    assert Path(whfile).read_bytes() == stale and not os.path.exists(newfile)
    assert ABI3_LINE not in capsys.readouterr().out


@pytest.mark.parametrize("abi3", [True, False])
def test_front_end_that_cannot_start_is_an_error(front_end, monkeypatch, tmp_path, abi3):
    # the real subprocess module, an interpreter path that does not exist
    missing = str(tmp_path / "no such dir" / "python")
    monkeypatch.setattr(wheeler, "subprocess", subprocess)
    monkeypatch.setattr(wheeler, "sys", types.SimpleNamespace(executable=missing))
    whfile, newfile = names("demo", "1.0")
    write_wheel(whfile, "demo", "1.0", ["stale"])
    with pytest.raises(Exception) as failure:
        wheeler.tovwheel(record(abi3=abi3))
    assert os.strerror(errno.ENOENT) in str(failure.value)
    assert os.path.exists(whfile) and not os.path.exists(newfile)


@pytest.mark.parametrize("abi3", [True, False])
def test_wheel_under_another_name(front_end, abi3):
    # the back end normalises the distribution name in the file name: the
    # wheel cannot be checked, and is not taken for the one expected
    front_end.rename = lambda name: name.replace("-", "_")
    with pytest.raises(FileNotFoundError, match="my_pkg-1.0-"):
        wheeler.tovwheel(record(name="my-pkg", abi3=abi3))
    assert os.listdir("dist") == [os.path.basename(names("my_pkg", "1.0")[0])]


def test_existing_target_is_removed_and_the_rename_retried(front_end, monkeypatch, capsys):
    whfile, newfile = names("demo", "1.0")
    Path("dist").mkdir()
    Path(newfile).write_bytes(b"an older wheel")
    fake_os = WindowsLikeOs()
    monkeypatch.setattr(wheeler, "os", fake_os)
    wheeler.tovwheel(record())
    out = capsys.readouterr().out.splitlines()
    assert out[-2:] == [ABI3_LINE, f"File {newfile} already exists, remove it and retry."]
    assert fake_os.removed == [newfile]
    assert sorted(os.listdir("dist")) == [os.path.basename(newfile)]
    assert wheel_tags(wheel_contents(newfile))[0] == f"cp{metagen.PYTAG}-abi3-{metagen.PLATAG}"


def test_existing_target_is_replaced_where_rename_replaces(front_end, capsys):
    if os.name == "nt":
        pytest.skip("rename does not replace files here")
    whfile, newfile = names("demo", "1.0")
    Path("dist").mkdir()
    Path(newfile).write_bytes(b"an older wheel")
    wheeler.tovwheel(record())
    assert "already exists" not in capsys.readouterr().out
    assert sorted(os.listdir("dist")) == [os.path.basename(newfile)]
    assert_record_consistent(wheel_contents(newfile))


def tampered(whfile):
    # a wheel whose module differs from what its RECORD says
    files = write_wheel(whfile, "demo", "1.0", [f"cp{metagen.PYTAG}-none-{metagen.PLATAG}"])
    with zipfile.ZipFile(whfile, "w") as zf:
        for arc, data in files.items():
            zf.writestr(arc, b"ANSWER = 41\n" if arc == "demo/__init__.py" else data)


@pytest.mark.parametrize("make, problem", [
    (lambda whfile: Path(whfile).write_bytes(b"not a zip at all"), "not a zip archive"),
    (lambda whfile: zipfile.ZipFile(whfile, "w").writestr("demo/__init__.py", "x = 1"),
     "it has no .dist-info/WHEEL"),
    (tampered, "the sha256 of demo/__init__.py does not match its RECORD"),
], ids=["garbage", "no-dist-info", "tampered"])
@pytest.mark.parametrize("abi3", [True, False])
def test_wheel_that_fails_the_checks_is_removed(front_end, capsys, make, problem, abi3):
    whfile, newfile = names("demo", "1.0")
    Path("dist").mkdir()
    make(whfile)
    front_end.build = False  # the front end "built" what is there
    with pytest.raises(ValueError) as failure:
        wheeler.tovwheel(record(abi3=abi3))
    # named by its path in the build tree, where it was checked
    assert re.fullmatch(rf"build/retag-\w+/{re.escape(Path(whfile).name)}: {problem}",
                        str(failure.value))
    assert os.listdir("dist") == [] and os.listdir("build") == []


def test_failed_removal_ends_the_command(front_end, monkeypatch):
    whfile, newfile = names("demo", "1.0")
    Path("dist").mkdir()
    Path(newfile).write_bytes(b"an older wheel")
    monkeypatch.setattr(wheeler, "os", WindowsLikeOs(remove_error=PermissionError("locked")))
    with pytest.raises(PermissionError, match="locked"):
        wheeler.tovwheel(record())
    assert Path(newfile).read_bytes() == b"an older wheel"


# --- end to end ----------------------------------------------------------------

def test_real_wheel_of_a_tiny_project(project_dir, limited_module, make_venv, capfd):
    limited_api_extension = limited_module
    pkg = project_dir / "tinypkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("from ._limited import answer\n")
    (pkg / "cli.py").write_text("from tinypkg import answer\n\n"
                                "def main():\n    print('answer', answer())\n")
    shutil.copy(limited_api_extension, pkg)
    (project_dir / "project").mkdir()
    (project_dir / "project" / "README.md").write_text("# tinypkg\n")
    (project_dir / "project" / "requirements.txt").write_text("# nothing needed\n")
    (project_dir / "project" / "LICENSE").write_text("MIT\n")

    wheeler.tovwheel(record(name="tinypkg", version="1.0", extra="{}",
                            entry='{"tinycli": "tinypkg.cli:main"}', abi3=True))
    out = capfd.readouterr().out
    whfile, newfile = names("tinypkg", "1.0")
    assert centred("wheel " + whfile, "#") in out and ABI3_LINE in out
    assert os.listdir("dist") == [os.path.basename(newfile)]

    contents = wheel_contents(newfile)
    ext = "tinypkg/" + limited_api_extension.name
    assert {"tinypkg/__init__.py", "tinypkg/cli.py", ext} <= set(contents)
    assert contents[ext] == limited_api_extension.read_bytes()
    _, _, py, abi, plat = Path(newfile).stem.split("-")
    assert wheel_tags(contents) == [f"{py}-{abi}-{plat}"] and abi == "abi3"
    assert_record_consistent(contents)

    python = make_venv(newfile)
    elsewhere = project_dir.parent
    proc = subprocess.run(
        [str(python), "-c", "import tinypkg, tinypkg._limited as s; print(s.answer(), tinypkg.__file__)"],
        cwd=elsewhere, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    answer, where = proc.stdout.split()
    assert answer == "42" and Path(where).is_relative_to(python.parent.parent)
    script = python.parent / ("tinycli.exe" if os.name == "nt" else "tinycli")
    proc = subprocess.run([str(script)], cwd=elsewhere, capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (0, "answer 42\n"), proc.stderr


# A true abi3 where there is no limited API (a free-threaded interpreter
# before 3.15) tags the wheel as --abi3 "" does, and says why in one line.
@pytest.mark.parametrize("abi3, limited_api, said", [
    ("", True, "The wheel holds extension modules of the full API: tagging it {}."),
    (True, False, "ABI3 is not available on this free-threaded interpreter before Python 3.15: "
                  "the wheel holds free-threaded modules of the full API, tagged {}."),
], ids=["abi3-off", "no-limited-api"], indirect=["limited_api"])
def test_full_api_modules_are_tagged_for_this_interpreter(front_end, full_module, capsys, abi3, said):
    # the stand-in front end packs a real module of the full API, as
    # setuptools packs it: package data of a wheel it calls purelib
    member = "demo/" + full_module.name
    front_end.files = {member: full_module.read_bytes()}
    wheeler.tovwheel(record(abi3=abi3))
    abi = next(iter(packaging.tags.sys_tags())).abi
    assert abi in (f"cp{metagen.PYTAG}", f"cp{metagen.PYTAG}t")
    [wheel] = os.listdir("dist")
    assert wheel == f"demo-1.0-cp{metagen.PYTAG}-{abi}-{metagen.PLATAG}.whl"
    out = capsys.readouterr().out.splitlines()
    assert out[2] == said.format(abi) and ABI3_LINE not in out
    if GLIBC:
        # memfd_create needs glibc 2.27: newer than manylinux2014 claims
        need = tovel.audit.policy(f"dist/{wheel}")
        assert need.startswith("manylinux_2_27_")
        assert out[3:] == [
            f"WARNING: the extension modules need {need}, newer than the {metagen.PLATAG} that "
            "the wheel's name claims: the wheel may not load on older Linux systems"]
    contents = wheel_contents(f"dist/{wheel}")
    assert contents[member] == full_module.read_bytes()
    meta = email.parser.BytesParser().parsebytes(contents[dist_info_file(contents, "WHEEL")])
    assert meta["Root-Is-Purelib"] == "false"
    assert meta.get_all("Tag") == [f"cp{metagen.PYTAG}-{abi}-{metagen.PLATAG}"]
    assert_record_consistent(contents)


# A package with a subpackage, for the compile and wheel route: tov compile
# leaves the compiled modules in build/egg, the user copies them into the
# package folder, and tov wheel packs the folder.
DEEP = {
    "deep/__init__.py": "from deep.core import double\nfrom deep.sub.leaf import shout\n",
    "deep/core.py": "def double(x: int) -> int:\n    return 2 * x\n",
    "deep/sub/__init__.py": "",
    "deep/sub/leaf.py": "def shout(text):\n    return text.upper() + '!'\n",
}
DEEP_MODULES = ["deep", "deep.core", "deep.sub", "deep.sub.leaf"]


# A free-threaded interpreter before 3.15 has no limited API: abi3 gives
# free-threaded modules of its full API there.
LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)


@pytest.mark.parametrize("abi3", ["1", ""], ids=["abi3", "full-api"])
def test_compile_and_wheel_route(project_dir, run_tov, tmp_path_factory, abi3):
    for path, text in DEEP.items():
        (project_dir / path).parent.mkdir(parents=True, exist_ok=True)
        (project_dir / path).write_text(text)
    (project_dir / "project").mkdir()
    (project_dir / "project" / "README.md").write_text("# deep\n\nA package with a subpackage.\n")
    (project_dir / "project" / "requirements.txt").write_text("")
    (project_dir / "project" / "LICENSE").write_text("MIT\n")

    rc, out, err = run_tov("compile", "-n", "deep", "--abi3", abi3, cwd=project_dir)
    assert rc == 0, out + err
    egg = project_dir / "build" / "egg"
    # tov wheel empties the build tree: what the compile made is kept here
    compiled = {p.relative_to(egg).as_posix(): p.read_bytes()
                for p in egg.rglob("*") if p.is_file()}
    assert len(compiled) == len(DEEP_MODULES), list(compiled)
    shutil.copytree(egg / "deep", project_dir / "deep", dirs_exist_ok=True)

    rc, out, err = run_tov("wheel", "-n", "deep", "-v", "1.0", "--abi3", abi3, cwd=project_dir)
    assert rc == 0, out + err
    [wheel] = (project_dir / "dist").iterdir()
    _, _, py, abi, plat = wheel.stem.split("-")
    assert (py, plat) == (f"cp{metagen.PYTAG}", metagen.PLATAG)
    assert abi == ("abi3" if abi3 and LIMITED else next(iter(packaging.tags.sys_tags())).abi)

    contents = wheel_contents(wheel)
    # every compiled module of every subpackage, as the compile made it
    for name, data in compiled.items():
        assert contents[name] == data, name
    meta = email.parser.BytesParser().parsebytes(contents[dist_info_file(contents, "WHEEL")])
    assert meta["Root-Is-Purelib"] == "false"
    check_wheel(wheel, DEEP_MODULES, tmp_path_factory.mktemp("checks"), abi3=bool(abi3) and LIMITED)
