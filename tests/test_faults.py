"""Bad input and faults: every row runs the real `tov` command on a small
project that is broken in one way, and checks the exit status, the one line
the user is told (the last line of standard error after a traceback), and
that nothing outside the build tree was lost or changed."""

import ctypes
import os
import re
import signal
import subprocess
import sys
import sysconfig
import time
import tomllib
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

import tovel.builder as builder

# The limited API cannot be compiled on a free-threaded interpreter before 3.15.
LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
ABI3 = [] if LIMITED else ["--abi3", ""]
TOV = next(
    (str(p) for p in (Path(sys.executable).parent / n for n in ("tov", "tov.exe")) if p.exists()),
    "tov",
)
# A folder name with blanks, both quotes, a command substitution, a non-ASCII
# letter and a shell separator: it must reach every tool as one plain name.
ODD_FOLDER = "it's a \"test\" $(x) \u00fc;"
OLD_WHEEL = "dist/old-0.1-py3-none-any.whl"
USERS_PYPROJECT = b'# the user\'s own\n[project]\nname = "kept"\n'


def make_project(root, package="pk", modules=("a",)):
    """A tiny project: a package of a few modules and a data file, the
    project/ files, a pyproject.toml of the user's and an older wheel."""
    files = {
        f"{package}/__init__.py": "",
        f"{package}/data.txt": "data\n",
        "project/README.md": "# readme\n",
        "project/requirements.txt": "# runtime\ntomli_w\n",
        "project/LICENSE": "MIT\n",
    }
    for i, mod in enumerate(modules):
        files[f"{package}/{mod}.py"] = (
            f"def twice(x):\n    return [v * 2 for v in range(x)] + [{i}]\n"
        )
    for rel, text in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text, encoding="utf-8")
    (root / "pyproject.toml").write_bytes(USERS_PYPROJECT)
    (root / "dist").mkdir()
    with zipfile.ZipFile(root / OLD_WHEEL, "w") as zf:
        zf.writestr("old/__init__.py", "OLD = 1\n")
    return root


def snapshot(root):
    """path -> bytes (or the link target) of everything outside build/, which
    is the tool's own to reset."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        rel = Path(folder).relative_to(root)
        if rel == Path("."):
            dirs[:] = [d for d in dirs if d != "build"]
            files = [f for f in files if f != "build"]
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = Path(folder, name)
            key = (rel / name).as_posix()
            seen[key] = ("link", os.readlink(path)) if path.is_symlink() else path.read_bytes()
    return seen


def assert_nothing_lost(before, root, pyproject_rewritten):
    """Every file that was there is there unchanged; pyproject.toml may have
    been replaced by the tool, but then by a complete document."""
    after = snapshot(root)
    if pyproject_rewritten and after.get("pyproject.toml") != before.get("pyproject.toml"):
        before = {k: v for k, v in before.items() if k != "pyproject.toml"}
        doc = tomllib.loads(after["pyproject.toml"].decode("utf-8"))
        assert list(doc) == ["build-system", "project", "tool"]
    lost = sorted(k for k in before if k not in after)
    changed = sorted(k for k in before if k in after and after[k] != before[k])
    assert (lost, changed) == ([], [])
    # An atomic write leaves no temporary file behind, even when it fails.
    assert not [k for k in after if k.startswith(".pyproject.toml.")]


def last_line(text):
    lines = [line for line in text.splitlines() if line.strip()]
    return lines[-1] if lines else ""


def imports_from_egg(run_python, root, package, module, expected):
    """The compiled modules load from build/egg, where no source lies."""
    code = (f"import importlib, {package}; m = importlib.import_module('{package}.{module}'); "
            f"assert not m.__file__.endswith('.py'), m.__file__; print(m.twice(3))")
    rc, out, err = run_python(code, cwd=root / "build" / "egg")
    assert (rc, out.strip()) == (0, expected), err


# ---------------------------------------------------------------- row setups


def bad_module(root):
    (root / "pk" / "bad.py").write_text("def broken(:\n    pass\n")


def file_named_build(root):
    (root / "build").write_text("a file standing where the build tree goes\n")


def file_named_notes(root):
    (root / "notes").write_text("not a package\n")


def no_pyproject(root):
    # tov bdist builds a project with its own pyproject.toml from that file:
    # without one, from the options and the project/ files.
    (root / "pyproject.toml").unlink()


def pyproject_is_a_folder(root):
    (root / "pyproject.toml").unlink()
    (root / "pyproject.toml").mkdir()
    (root / "pyproject.toml" / "inside.txt").write_text("kept\n")


def readme_not_utf8(root):
    (root / "project" / "README.md").write_bytes(b"# readme \xff\xfe latin-1: caf\xe9\n")


def requirements_not_utf8(root):
    (root / "project" / "requirements.txt").write_bytes(b"tomli_w\ncaf\xe9>=1\n")


def unicode_package(root):
    (root / "pk").rename(root / "pak\u00fc")


def unicode_module(root):
    (root / "pk" / "a.py").rename(root / "pk" / "m\u00f6d.py")


# ---------------------------------------------------------------- row checks


def compiled(package="pk", module="a"):
    def check(root, run_python, out):
        imports_from_egg(run_python, root, package, module, "[0, 2, 4, 0]")
    return check


def warned_and_compiled(fragment):
    def check(root, run_python, out):
        banners = [line for line in out.splitlines() if line.startswith("*") and fragment in line]
        assert len(banners) == 1, out
        assert len(banners[0]) == 80
        imports_from_egg(run_python, root, "pk", "a", "[0, 2, 4, 0]")
    return check


def unreadable_readme_left_out(root, run_python, out):
    # Named in pyproject.toml, a readme setuptools cannot read would fail the build.
    warned_and_compiled("can't decode byte 0xff")(root, run_python, out)
    doc = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))
    assert "readme" not in doc["project"]


def no_dependencies_and_compiled(root, run_python, out):
    warned_and_compiled("can't decode byte 0xe9")(root, run_python, out)
    doc = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))
    assert doc["project"]["dependencies"] == []


def odd_names_compiled(root, run_python, out):
    imports_from_egg(run_python, root, "pk", "m\u00f6d", "[0, 2, 4, 0]")
    # The shell commands in the pattern are only text: none of them ran.
    assert not (root / "pwned").exists()


def wheel_with_odd_summary(root, run_python, out):
    [wheel] = [p for p in (root / "dist").glob("pk-1.0-*.whl")]
    assert "-abi3-" in wheel.name or not LIMITED
    with zipfile.ZipFile(wheel) as zf:
        meta = zf.read("pk-1.0.dist-info/METADATA").decode("utf-8")
        assert "pk/m\u00f6d.py" in zf.namelist()
    assert f"Summary: {ODD_FOLDER}" in meta.splitlines()


def no_new_wheel(root, run_python, out):
    assert sorted(p.name for p in (root / "dist").iterdir()) == [Path(OLD_WHEEL).name]


# ---------------------------------------------------------------- the table


@dataclass
class Row:
    argv: list
    status: int
    # A regular expression searched in the last line of standard error when
    # the command fails, in standard output when it succeeds.
    message: str
    setup: Callable = None
    check: Callable = None
    env: dict = None
    # False where the command must stop before it writes pyproject.toml.
    rewrites_pyproject: bool = True
    folder: str = "proj"


# The note after a JSON error names the option.
OPTION = {"-x": r"--extra \(-x\)", "-t": r"--entry \(-t\)"}
# The command stops before it writes pyproject.toml.
UNWRITTEN = {"rewrites_pyproject": False}


ROWS = [
    pytest.param(
        Row(["compile", "-n", "pk", "-e", "("], 1,
            r"^re\.\w*[Ee]rror: missing \), unterminated subpattern at position 0$"),
        id="compile-invalid-exclude"),
    pytest.param(
        Row(["bdist", "-n", "pk", "-e", "(", "-v", "1.0"], 2,
            r"^tov bdist: error: argument --exclude/-e: '\(' is not a valid regular expression: "
            r"missing \), unterminated subpattern at position 0$",
            check=no_new_wheel, setup=no_pyproject, rewrites_pyproject=False),
        id="bdist-invalid-exclude"),
    pytest.param(Row(["compile", "-n", "nope"], 1, r"^FileNotFoundError: no package folder "
                     r"'nope' in .*: --name names the folder of the package", **UNWRITTEN),
                 id="compile-missing-name"),
    pytest.param(Row(["compile", "-n", "notes"], 1, r"^NotADirectoryError: the package 'notes' "
                     r"is not a folder in .*: --name names", setup=file_named_notes, **UNWRITTEN),
                 id="compile-name-is-a-file"),
    pytest.param(Row(["bdist", "-n", "nope"], 1, r"^tov bdist: no package folder 'nope'",
                     check=no_new_wheel, setup=no_pyproject, **UNWRITTEN),
                 id="bdist-missing-name"),
    pytest.param(Row(["wheel", "-n", "nope"], 1, r"^FileNotFoundError: no package folder 'nope'",
                     check=no_new_wheel, **UNWRITTEN),
                 id="wheel-missing-name"),
    pytest.param(Row(["compile", "-n", "pk"], 0, r"^cleaning build None$",
                     setup=file_named_build, check=compiled()),
                 id="compile-file-named-build"),
    pytest.param(Row(["wheel", "-n", "pk"], 1, r"^IsADirectoryError: .*'pyproject\.toml'$",
                     setup=pyproject_is_a_folder, rewrites_pyproject=False, check=no_new_wheel),
                 id="wheel-pyproject-is-a-folder"),
    pytest.param(Row(["compile", "-n", "pk"], 1, r"^IsADirectoryError: .*'pyproject\.toml'$",
                     setup=pyproject_is_a_folder, rewrites_pyproject=False),
                 id="compile-pyproject-is-a-folder"),
    *[
        pytest.param(Row([cmd, "-n", "pk", flag, text], 1,
                         rf"^{OPTION[flag]} takes a JSON object of .*, such as '{{",
                         rewrites_pyproject=False, check=no_new_wheel),
                     id=f"{cmd}{flag}-{name}")
        for cmd, flag, text, name in [
            ("wheel", "-x", "{", "invalid-json"),
            ("wheel", "-x", "", "empty-json"),
            ("wheel", "-t", "", "empty-json"),
            ("wheel", "-t", '{"cmd": "pk.a:main",}', "invalid-json"),
        ]
    ],
    *[
        # tov bdist checks the option's shape too, before anything is built.
        pytest.param(Row(["bdist", "-n", "pk", flag, text], 1,
                         rf"^{OPTION[flag]} takes a JSON object of .*, not '", setup=no_pyproject,
                         rewrites_pyproject=False, check=no_new_wheel),
                     id=f"bdist{flag}-{name}")
        for flag, text, name in [
            ("-x", "", "empty-json"),
            ("-t", "[1,", "invalid-json"),
            ("-x", '{"fast": {"deep": [null]}}', "null-in-json"),
        ]
    ],
    *[
        pytest.param(Row([cmd, "-n", "pk", flag, text], 1,
                         r"^TypeError: Object of type '?NoneType'? is not TOML serializable$",
                         rewrites_pyproject=False, check=no_new_wheel),
                     id=f"{cmd}{flag}-null-in-json")
        for cmd, flag, text in [
            ("wheel", "-x", '{"a": [1, "b", null]}'),
            ("wheel", "-t", '{"cmd": null}'),
        ]
    ],
    pytest.param(Row(["compile", "-n", "pk"], 0, r"can't decode byte 0xff",
                     setup=readme_not_utf8, check=unreadable_readme_left_out),
                 id="compile-readme-not-utf8"),
    pytest.param(Row(["compile", "-n", "pk"], 0, r"can't decode byte 0xe9",
                     setup=requirements_not_utf8, check=no_dependencies_and_compiled),
                 id="compile-requirements-not-utf8"),
    pytest.param(Row(["compile", "-n", "pk", "-e", '"; touch pwned; echo "|$(touch pwned)|unit'],
                     0, r"^Collected 2 modules\. ", setup=unicode_module,
                     check=odd_names_compiled, folder=ODD_FOLDER),
                 id="compile-odd-folder-and-module-names"),
    pytest.param(Row(["wheel", "-n", "pk", "-v", "1.0", "-d", ODD_FOLDER], 0,
                     r"^ABI3 is enabled" if LIMITED else r"^ABI3 is not available",
                     setup=unicode_module, check=wheel_with_odd_summary,
                     folder=ODD_FOLDER),
                 id="wheel-odd-folder-and-summary"),
    # The package name is the project's distribution name, which must be ASCII.
    pytest.param(Row(["compile", "-n", "pak\u00fc"], 1, r"^ValueError: 'pak\u00fc' cannot be a "
                     r"distribution name: it takes ASCII letters, digits", setup=unicode_package,
                     **UNWRITTEN),
                 id="compile-non-ascii-package"),
    pytest.param(Row(["compile", "-n", "pk"], 1, r"^Cython\.Compiler\.Errors\.CompileError: "
                     r"pk/bad\.py$", setup=bad_module),
                 id="compile-untranslatable-module"),
    pytest.param(Row(["compile", "-n", "pk"], 1,
                     r"^SystemExit: error: Command .*'false'.* returned non-zero exit status 1\.$",
                     env={"CC": "false"}),
                 id="compile-failing-c-compiler"),
]


@pytest.mark.parametrize("row", ROWS)
def test_bad_input(row, tmp_path, run_tov, run_python):
    root = tmp_path / row.folder
    root.mkdir()
    make_project(root)
    if row.setup:
        row.setup(root)
    before = snapshot(root)
    env = dict(os.environ, **(row.env or {}))
    argv = row.argv + (ABI3 if row.argv[0] != "wheel" else [])
    rc, out, err = run_tov(*argv, cwd=root, env=env)
    assert rc == row.status, out + err
    if row.status:
        # A failure ends with a line that says what went wrong (after the
        # traceback, where the error passed through Python frames).
        assert re.search(row.message, last_line(err)), err[-3000:]
    else:
        assert any(re.search(row.message, line) for line in out.splitlines()), out + err
    assert_nothing_lost(before, root, row.rewrites_pyproject)
    if row.check:
        row.check(root, run_python, out)


def as_plain_user():
    """preexec_fn for root: drops from the bounding set the capabilities that
    pass over file modes (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER),
    so that the command, still uid 0 and owner of its files, meets a folder's
    mode bits as any user does."""
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (1, 2, 3):
        if libc.prctl(24, cap, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP) failed")


@pytest.mark.parametrize("command", ["compile", "wheel"])
def test_read_only_project_folder(command, tmp_path):
    root = make_project(tmp_path / "proj")
    before = snapshot(root)
    root.chmod(0o555)
    root_user = hasattr(os, "geteuid") and os.geteuid() == 0
    try:
        proc = subprocess.run([TOV, command, "-n", "pk", *(ABI3 if command != "wheel" else [])],
                              cwd=root, capture_output=True, text=True, timeout=300,
                              preexec_fn=as_plain_user if root_user else None)
    finally:
        root.chmod(0o755)
    out, err = proc.stdout, proc.stderr
    assert proc.returncode == 1, out + err
    assert re.search(r"^PermissionError: .*Permission denied", last_line(err)), err
    assert_nothing_lost(before, root, pyproject_rewritten=False)


@pytest.fixture
def outside(tmp_path_factory):
    """A folder outside the project, with content that must survive."""
    where = tmp_path_factory.mktemp("outside")
    (where / "sub").mkdir()
    (where / "sub" / "precious.txt").write_text("precious\n")
    return where


@pytest.mark.parametrize("path", ["", ".", "./", "..", "../x", "x/../..", "ABSOLUTE", "link/sub",
                                  "./link/sub/precious.txt"])
def test_clean_refuses_paths_that_leave_the_project(path, tmp_path, monkeypatch, outside,
                                                    capsys):
    root = tmp_path / "proj"
    (root / "x").mkdir(parents=True)
    (root / "x" / "kept.txt").write_text("kept\n")
    (root / "link").symlink_to(outside, target_is_directory=True)
    (tmp_path / "x").mkdir()
    (tmp_path / "x" / "beside.txt").write_text("beside the project\n")
    monkeypatch.chdir(root)
    before = snapshot(tmp_path), snapshot(outside)
    with pytest.raises(ValueError, match="refuses"):
        builder.clean(str(outside) if path == "ABSOLUTE" else path)
    assert capsys.readouterr().out == ""
    assert (snapshot(tmp_path), snapshot(outside)) == before


@pytest.mark.parametrize("path", ["link", "link/", "./link", "link/."])
def test_clean_of_a_link_never_reaches_its_target(path, project_dir, outside):
    """A link to a folder outside is either refused or removed as a link: its
    target and the target's content stay."""
    (project_dir / "link").symlink_to(outside, target_is_directory=True)
    before = snapshot(outside)
    try:
        builder.clean(path)
    except ValueError:
        assert (project_dir / "link").is_symlink()
    else:
        assert not os.path.lexists(project_dir / "link")
    assert snapshot(outside) == before == {"sub/precious.txt": b"precious\n"}


def start_compile(root, errfile):
    # Unbuffered, so that progress lines arrive while the compile runs.
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    return subprocess.Popen([TOV, "compile", "-n", "pk", *ABI3], cwd=root, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=errfile)


def wait_for(proc, marker, seconds=30):
    """Reads the progress until a line holds `marker` (or time runs out)."""
    deadline = time.monotonic() + seconds
    for line in proc.stdout:
        if marker in line or time.monotonic() > deadline:
            return line
    return ""


@pytest.mark.parametrize("marker", [
    pytest.param("Cythonizing", id="while-cythonizing"),
    # setuptools turns an interrupt of the C compiler into SystemExit("interrupted").
    pytest.param("building '", id="while-compiling-c"),
])
def test_interrupt_during_the_compile(marker, tmp_path):
    root = make_project(tmp_path / "proj", modules=("a", "b", "c"))
    before = snapshot(root)
    with open(tmp_path / "stderr", "w+") as errfile:
        proc = start_compile(root, errfile)
        try:
            assert marker in wait_for(proc, marker)
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=120)
        finally:
            proc.kill()
            proc.wait()
        errfile.seek(0)
        err = errfile.read()
    assert proc.returncode == 130, out + err
    assert re.search(r"KeyboardInterrupt|interrupted", last_line(err)), err
    assert_nothing_lost(before, root, pyproject_rewritten=True)


def test_second_compile_while_one_runs(tmp_path, run_tov, run_python):
    """Nothing is locked. The second run resets the build tree (removes build/
    and re-creates it) under the first one, which may then fail because a C
    or object file it was writing vanished, or finish if it was far enough;
    the second run normally succeeds. Each run replaces pyproject.toml
    atomically, so it is never half-written. Sources, project files and dist
    are not touched by either, and a later single run succeeds."""
    root = make_project(tmp_path / "proj", modules=("a", "b", "c"))
    before = snapshot(root)
    with open(tmp_path / "err1", "w+") as err1, open(tmp_path / "err2", "w+") as err2:
        first = start_compile(root, err1)
        try:
            assert "Cythonizing" in wait_for(first, "Cythonizing")
            second = start_compile(root, err2)
            try:
                second.communicate(timeout=300)
            finally:
                second.kill()
                second.wait()
            first.communicate(timeout=300)
        finally:
            first.kill()
            first.wait()
        for proc, errfile in (first, err1), (second, err2):
            errfile.seek(0)
            # A clean failure or a success, never a crash.
            assert proc.returncode in (0, 1), errfile.read()
    assert_nothing_lost(before, root, pyproject_rewritten=True)

    rc, out, err = run_tov("compile", "-n", "pk", *ABI3, cwd=root)
    assert rc == 0, out + err
    imports_from_egg(run_python, root, "pk", "c", "[0, 2, 4, 2]")
    assert_nothing_lost(before, root, pyproject_rewritten=True)
