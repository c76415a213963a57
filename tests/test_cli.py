"""The tov command line: banner, grammar, records, dispatch and exit statuses."""
import argparse
import os
import re
import subprocess
import sys
import textwrap

import pytest

import tovel
import tovel.builder

BANNER = ">>>>>>>>>>>>>>>>>>>>>>> Python " + sys.version
TOV = os.path.join(os.path.dirname(sys.executable), "tov")


def tov(*argv, cwd, code=None):
    """Runs the installed tov command, or `code` with tov's argv, in a child."""
    cmd = [TOV, *argv] if code is None else [sys.executable, "-c", textwrap.dedent(code), *argv]
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=300)


@pytest.fixture
def cwd(tmp_path):
    """A project folder whose build tree holds a file that must survive."""
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "keep.txt").write_text("keep")
    return tmp_path


@pytest.fixture
def calls(monkeypatch):
    """Replaces the commands and the build tree reset by recorders."""
    seen = []
    for name in ("tovcompile", "tovwheel", "tovbdist"):
        monkeypatch.setattr(tovel, name, lambda args, name=name: seen.append((name, args)) or name)
    monkeypatch.setattr(tovel.builder, "reset", lambda: seen.append(("reset", None)))
    return seen


def run(monkeypatch, argv, **kwds):
    monkeypatch.setattr(sys, "argv", ["tov", *argv])
    return tovel.tovel(**kwds)


@pytest.mark.parametrize(
    "argv, status, message",
    [
        ([], 2, "the following arguments are required"),
        (["build"], 2, "invalid choice: 'build'"),
        (["compile", "-m", "x86"], 2, "invalid choice: 'x86'"),
        (["-n", "x", "compile"], 2, "invalid choice: 'x'"),
        (["compile", "--name"], 2, "expected one argument"),
        (["wheel", "--bogus", "1"], 2, "unrecognized arguments: --bogus"),
        (["--help"], 0, "subcommands"),
        (["wheel", "-h"], 0, "wheel entry points"),
    ],
)
def test_usage_errors_and_help_run_nothing(cwd, argv, status, message):
    done = tov(*argv, cwd=cwd)
    assert done.returncode == status
    assert done.stdout.splitlines()[0] == BANNER.splitlines()[0]
    assert message in (done.stderr if status else done.stdout)
    assert "Namespace(" not in done.stdout
    # Nothing was reset: help and usage errors never touch the build tree.
    assert (cwd / "build" / "keep.txt").read_text() == "keep"
    assert not (cwd / "pyproject.toml").exists()


def test_help_lists_subcommands_and_options_without_placeholders(cwd):
    main = tov("-h", cwd=cwd).stdout
    assert "usage: tov [-h] {compile,wheel,bdist} ..." in main
    assert "tov [comiple, wheel]" in main
    for line in ("compile", "py to pyd"), ("wheel", "pyd to whl"), ("bdist", "py to whl"):
        assert any(all(word in row for word in line) for row in main.splitlines())
    compile_help = tov("compile", "-h", cwd=cwd).stdout
    # argparse writes an option with an empty metavar as "[--name]" up to 3.12
    # and as "[--name ]" from 3.13 on; the wrapping of usage lines differs too.
    assert "usage: tov compile [-h] [--name] [--abi3] [--exclude] [--msvc]" in usage(compile_help)
    assert re.search(r"--msvc ?, -m +mscv palt\(x86_amd64 or amd64\)", compile_help)
    # bdist is not bound by that: its options show what they take.
    bdist_help = tov("bdist", "-h", cwd=cwd).stdout
    assert ("usage: tov bdist [-h] [--name NAME] [--from-wheel WHEEL] [--no-isolation] [--abi3 ON] "
            "[--python PYTHON] [--exclude REGEX] [--keep REGEX] [--directive NAME=VALUE] [--jobs N]") in usage(bdist_help)
    assert "vemo" not in bdist_help


def test_version_and_bdist_usage_errors(cwd):
    version = tov("--version", cwd=cwd)
    assert version.returncode == 0 and re.fullmatch(r"tov \S+ \(Cython \S+, CPython \S+.*\)\n", version.stdout)
    # A misspelt option with no command is named, not taken for a missing command.
    typo = tov("--versoin", cwd=cwd)
    assert typo.returncode == 2 and typo.stderr.splitlines()[-1] == (
        "tov: error: unrecognized arguments: --versoin (did you mean --version?)"), typo.stderr
    # An unknown option of bdist is answered with bdist's usage, not the top level's.
    bogus = tov("bdist", "--bogus", cwd=cwd)
    assert bogus.returncode == 2
    assert bogus.stderr.startswith("usage: tov bdist") and "tov bdist: error: unrecognized arguments: --bogus" in bogus.stderr
    # No project here: one line that says so and how to go on, no default package name.
    none = tov("bdist", cwd=cwd)
    assert none.returncode == 1 and none.stderr.startswith(f"no project in {cwd}: there is no pyproject.toml"), none.stderr
    assert len(none.stderr.splitlines()) == 1 and "-n NAME" in none.stderr and "vemo" not in none.stderr
    # --no-isolation without the back end installed: the one line names what to install.
    (cwd / "pyproject.toml").write_text('[build-system]\nrequires = ["nonesuch-backend-xyz>=1"]\n'
                                        'build-backend = "nonesuch_backend_xyz"\n')
    bare = tov("bdist", "--no-isolation", cwd=cwd)
    assert bare.returncode == 1 and bare.stderr.strip().splitlines()[-1].endswith(
        "pip install 'nonesuch-backend-xyz>=1' (or leave out --no-isolation)"), bare.stderr
    assert "Traceback" not in bare.stderr


def usage(help_text):
    return " ".join(help_text.split()).replace(" ]", "]")


def test_records_with_defaults(monkeypatch, capsys, calls):
    assert run(monkeypatch, ["compile"]) == "tovcompile"
    assert run(monkeypatch, ["wheel"]) == "tovwheel"
    assert run(monkeypatch, ["bdist"]) == "tovbdist"
    # tov bdist resets the build tree itself, once its options are settled.
    (reset1, (c, compiled), reset2, (w, wheel), (b, bdist)) = calls
    assert [reset1[0], reset2[0], c, w, b] == ["reset", "reset", "tovcompile", "tovwheel", "tovbdist"]
    assert {k: v for k, v in vars(compiled).items() if k != "func"} == {
        "name": "vemo", "abi3": True, "exclude": "unit", "msvc": "x86_amd64"}
    assert {k: v for k, v in vars(wheel).items() if k != "func"} == {
        "name": "vemo", "abi3": True, "version": "1.2.4", "description": "description",
        "license": "MIT", "extra": {}, "entry": {}}
    # Options left out are None, for the project's settings and the defaults to fill.
    assert {k: v for k, v in vars(bdist).items() if k != "func"} == {
        "name": None, "from_wheel": None, "no_isolation": False, "abi3": None, "python": None, "exclude": None,
        "keep": None, "directive": None, "jobs": None, "no_cache": False, "cache_dir": None,
        "remote_cache": None, "debug": False, "quiet": False, "verbose": False, "msvc": "x86_amd64",
        "version": None, "description": None, "license": None, "extra": None, "entry": None,
        "test_command": None, "test_requires": None, "no_test": False, "test_timeout": None,
        "pgo": False, "pgo_command": None, "keep_failing": None}
    out = capsys.readouterr().out.splitlines()
    assert out[0] == BANNER.splitlines()[0]
    # compile and wheel print the banner and their record; bdist neither.
    assert out.count(BANNER.splitlines()[0]) == 2
    records = [line for line in out if line.startswith("Namespace(")]
    assert len(records) == 2
    assert records[0].startswith(
        "Namespace(name='vemo', abi3=True, exclude='unit', msvc='x86_amd64', func=")
    assert records[1].startswith(
        "Namespace(name='vemo', abi3=True, version='1.2.4', description='description', "
        "license='MIT', extra={}, entry={}, func=")
    # A mapping default is new on every call.
    wheel.extra["x"] = 1
    run(monkeypatch, ["wheel"])
    assert calls[-1][1].extra == {}


@pytest.mark.parametrize(
    "argv, kwds, expected",
    [
        (["compile"], {"mscv": "amd64", "msvc": "x86_amd64"}, {"msvc": "amd64"}),
        (["compile"], {"mscv": "bogus"}, {"msvc": "bogus"}),  # defaults are not validated
        (["compile"], {"name": "pkg", "whlname": "whl"}, {"name": "pkg"}),
        (["wheel"], {"name": "pkg", "whlname": "whl"}, {"name": "whl"}),
        (["wheel"], {"abi3": "", "extra": '{"a": ["b"]}'}, {"abi3": "", "extra": '{"a": ["b"]}'}),
        (["bdist"], {"name": "pkg", "whlname": "whl", "version": "2"}, {"name": "pkg", "version": "2"}),
        (["compile", "--abi3", "False"], {}, {"abi3": "False"}),
        (["compile", "--abi3", ""], {}, {"abi3": ""}),
        (["wheel", "-x", '{"a": 1}', "-t", "[]"], {}, {"extra": '{"a": 1}', "entry": "[]"}),
        (["compile", "-e", "", "-n", "x y"], {"unused": 1}, {"exclude": "", "name": "x y"}),
    ],
)
def test_overrides_and_command_line_values(monkeypatch, calls, argv, kwds, expected):
    run(monkeypatch, argv, **kwds)
    record = vars(calls[-1][1])
    assert {k: record[k] for k in expected} == expected


def test_handler_failure_is_printed_and_swallowed(monkeypatch, capsys):
    monkeypatch.setattr(tovel.builder, "reset", lambda: None)

    def fail(args):
        raise ValueError("no such package")

    monkeypatch.setattr(tovel, "tovcompile", fail)
    assert run(monkeypatch, ["compile"]) is None
    captured = capsys.readouterr()
    assert captured.err.startswith("Traceback (most recent call last):")
    assert captured.err.rstrip().endswith("ValueError: no such package")


def test_positional_arguments_are_refused():
    with pytest.raises(TypeError):
        tovel.tovel("compile")


@pytest.mark.parametrize(
    "raise_, status, last",
    [
        ("pass", 0, None),
        ("raise RuntimeError('broken')", 1, "RuntimeError: broken"),
        ("raise SystemExit('error: command failed')", 1, "SystemExit: error: command failed"),
        ("raise KeyboardInterrupt", 130, "KeyboardInterrupt"),
    ],
)
def test_exit_status_of_the_command(cwd, raise_, status, last):
    code = f"""
        import sys, tovel
        def handler(args):
            print("handled", args.name)
            {raise_}
        tovel.tovcompile = handler
        sys.argv[0] = "tov"
        sys.exit(tovel.main())
    """
    done = tov("compile", "-n", "pkg", cwd=cwd, code=code)
    assert done.returncode == status
    assert "handled pkg" in done.stdout
    if last is None:
        assert done.stderr == ""
    else:
        assert done.stderr.startswith("Traceback (most recent call last):")
        assert done.stderr.rstrip().splitlines()[-1] == last
    # The command reset the build tree before its handler ran.
    assert sorted(os.listdir(cwd / "build")) == ["egg", "out", "tmp"]


def test_import_touches_nothing_and_leaks_nothing(cwd):
    done = tov(cwd=cwd, code="import tovel; print(sorted(n for n in vars(tovel) if not n.startswith('_')))")
    assert done.returncode == 0 and done.stderr == ""
    assert (cwd / "build" / "keep.txt").exists()
    names = eval(done.stdout)
    assert {"argparse", "sys", "tovcompile", "PYVER", "tovwheel", "tovel", "main"} <= set(names)


def test_ctrl_c_while_the_tool_starts_is_one_line(cwd):
    """An interrupt while tov imports its modules ends it as one later
    does: one line, exit status 130."""
    code = """
        import sys
        class Interrupting:
            def find_spec(self, name, path=None, target=None):
                if name == "tovel.wheeler":
                    raise KeyboardInterrupt
        sys.meta_path.insert(0, Interrupting())
        from tovel import main
        sys.argv[0] = "tov"
        sys.exit(main())
    """
    done = tov("bdist", "-n", "pkg", cwd=cwd, code=code)
    assert (done.returncode, done.stderr) == (130, "interrupted\n"), done.stderr
