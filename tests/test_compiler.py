"""tovel.compiler: the compile command, with the engine replaced and for real."""

import argparse
import os
import subprocess
import sys
import sysconfig
import textwrap
import types
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest

import tovel.builder as builder
import tovel.compiler as compiler
import tovel.metagen as metagen

ABI3_LINE = "ABI3 is enabled, using limited API for compatibility with older Python versions."
FREE_THREADED_LINE = ("ABI3 is not available on this free-threaded interpreter before Python 3.15: building "
                      "free-threaded modules of the full API instead (freethreading_compatible).")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# The limited API, where the interpreter can compile it; free-threaded modules otherwise.
LIMITED = not FREE_THREADED or sys.version_info >= (3, 15)


def options(**kw):
    base = dict(name="vemo", abi3=True, exclude="unit", msvc="x86_amd64")
    return argparse.Namespace(**(base | kw))


def test_names_in_binding_order():
    from Cython.Build import cythonize
    from setuptools import setup
    names = [n for n in vars(compiler) if not n.startswith("__")]
    assert names == ["argparse", "cythonize", "setup", "build", "clean", "collect", "libpath",
                     "tovcompile", "tovbdist", "sys", "settings", "bdist"]
    assert compiler.argparse is argparse
    assert (compiler.cythonize, compiler.setup) == (cythonize, setup)
    assert (compiler.build, compiler.clean, compiler.collect) == (
        builder.build, builder.clean, builder.collect)
    assert compiler.libpath == metagen.libpath == "build/egg"


@pytest.fixture
def engine(monkeypatch, project_dir, limited_api):
    """clean and build replaced in the compiler module: they log what they see.
    The working directory holds the package folder vemo; the interpreter has
    the limited API unless limited_api is parametrized."""
    (project_dir / "vemo").mkdir()
    log = []

    def clean(*args):
        log.append(("clean", args))
        print("cleaning build")

    def build(mapping):
        log.append(("build", mapping))
        mapping["added"] = "by build"
        return lambda **kw: log.append(("setup", kw))

    monkeypatch.setattr(compiler, "clean", clean)
    monkeypatch.setattr(compiler, "build", build)
    return log


@pytest.mark.parametrize("abi3, announced", [(True, True), ("False", True), ("", False),
                                             (False, False)])
def test_order_of_steps_and_the_setup_command_line(engine, capsys, abi3, announced):
    record = options(abi3=abi3)
    assert compiler.tovcompile(record) is None
    lines = ["cleaning build", "cleaning build None"] + ([ABI3_LINE] if announced else [])
    assert capsys.readouterr().out.splitlines() == lines
    assert [step for step, _ in engine] == ["clean", "build", "setup"]
    assert engine[0][1] == ()
    assert engine[1][1] is vars(record)
    assert record.added == "by build"
    assert engine[2][1] == {"script_args": ["clean", "--all", "build_ext", "-b", "build/egg",
                                            "-t", "build/tmp"]}


def test_library_folder_is_the_module_value(engine, monkeypatch):
    monkeypatch.setattr(compiler, "libpath", "elsewhere/lib")
    compiler.tovcompile(args=options())
    assert engine[-1][1]["script_args"][4] == "elsewhere/lib"


@pytest.mark.parametrize("call", [lambda f: f(), lambda f: f(options(), options()),
                                  lambda f: f(record=options())])
def test_one_argument_only(engine, call):
    with pytest.raises(TypeError):
        call(compiler.tovcompile)
    assert engine == []


@pytest.mark.parametrize("missing", ["msvc", "abi3"])
def test_missing_option_fails_at_its_step(engine, missing):
    record = options()
    delattr(record, missing)
    with pytest.raises(AttributeError, match=missing):
        compiler.tovcompile(record)
    assert [step for step, _ in engine] == ([] if missing == "msvc" else ["clean"])


@pytest.mark.parametrize("command", ["tovcompile", "tovbdist"])
@pytest.mark.parametrize("name, error", [("nope", FileNotFoundError),
                                         ("afile", NotADirectoryError)])
def test_package_folder_is_required_before_anything_happens(engine, capsys, command, name,
                                                            error):
    Path("afile").write_text("not a package")
    with pytest.raises(error, match=f"'{name}'.* --name names the folder of the package"):
        getattr(compiler, command)(options(name=name))
    assert engine == [] and capsys.readouterr().out == ""


@pytest.fixture
def msvc_table(monkeypatch):
    """A stand-in MSVC module (the real one is for Windows builds)."""
    fake = types.ModuleType("distutils._msvccompiler")
    fake.PLAT_TO_VCVARS = {"win32": "x86", "win-amd64": "x86_amd64"}
    fake.get_platform = lambda: "win-amd64"
    import distutils  # noqa: F401  (setuptools' own, made importable by its hook)
    monkeypatch.setitem(sys.modules, "distutils._msvccompiler", fake)
    return fake.PLAT_TO_VCVARS


@pytest.mark.parametrize("msvc, table", [
    ("amd64", {"win32": "x86", "win-amd64": "amd64"}),
    ("x86_amd64", {"win32": "x86", "win-amd64": "x86_amd64"}),
    ("AMD64", {"win32": "x86", "win-amd64": "x86_amd64"}),
])
def test_msvc_choice_patches_the_running_platform_only(engine, msvc_table, monkeypatch,
                                                       msvc, table):
    seen = []  # the table as the clean step sees it: patched before anything else
    monkeypatch.setattr(compiler, "clean", lambda: seen.append(dict(msvc_table)))
    compiler.tovcompile(options(msvc=msvc))
    assert msvc_table == table
    assert seen == [table]


def test_msvc_choice_with_the_installed_setuptools(engine, capsys):
    # The setuptools this tool requires may have no table to patch: then the
    # choice is reported as moot and the compile goes on.
    import distutils._msvccompiler as msvc
    compiler.tovcompile(options(msvc="amd64"))
    out = capsys.readouterr().out
    assert [step for step, _ in engine][:1] == ["clean"]
    if hasattr(msvc, "PLAT_TO_VCVARS"):
        assert msvc.PLAT_TO_VCVARS[msvc.get_platform()] == "amd64"
    else:
        assert "--msvc amd64 changes nothing" in out


def test_msvc_import_failure_stops_before_cleaning(engine, monkeypatch):
    monkeypatch.setitem(sys.modules, "distutils._msvccompiler", None)
    with pytest.raises(ImportError):
        compiler.tovcompile(options(msvc="amd64"))
    assert engine == []


@pytest.mark.parametrize("limited_api", [False], indirect=True)
@pytest.mark.parametrize("abi3, announced", [(True, True), ("x", True), ("", False)])
def test_abi3_without_a_limited_api_builds_free_threaded_modules(engine, capsys, abi3, announced):
    compiler.tovcompile(options(abi3=abi3))
    lines = ["cleaning build", "cleaning build None"] + ([FREE_THREADED_LINE] if announced else [])
    assert capsys.readouterr().out.splitlines() == lines
    assert [step for step, _ in engine] == ["clean", "build", "setup"]


@pytest.mark.parametrize("gil_disabled, version, limited", [
    (None, (3, 12, 1), True), (0, (3, 14, 0), True), (1, (3, 14, 7), False), (1, (3, 15, 0), True),
])
def test_the_limited_api_is_missing_only_on_free_threaded_interpreters_before_3_15(
        monkeypatch, gil_disabled, version, limited):
    import tovel.options as opts
    real = sysconfig.get_config_var
    monkeypatch.setattr(sysconfig, "get_config_var",
                        lambda name: gil_disabled if name == "Py_GIL_DISABLED" else real(name))
    monkeypatch.setattr(opts, "sys", types.SimpleNamespace(version_info=version))
    assert opts.limited_api() is limited
    assert (opts.limited(True), opts.limited("x"), opts.limited("")) == (limited, limited, False)


# ---------------------------------------------------------------- end to end

PACKAGE = {
    "calc/__init__.py": """
        from .core import mean, Acc
        VERSION = (1, 2)
    """,
    "calc/core.py": """
        def mean(xs):
            xs = list(xs)
            return sum(xs) / len(xs)

        class Acc:
            def __init__(self):
                self.items = []
            def add(self, x):
                self.items.append(x)
                return self
            def __repr__(self):
                return f"Acc({self.items!r})"
    """,
    "calc/sub/__init__.py": "",
    "calc/sub/deep.py": """
        from ..core import mean

        def squares(n):
            return [i * i for i in range(n)]

        def spread(xs):
            m = mean(xs)
            return {k: v - m for k, v in enumerate(xs)}
    """,
    "calc/unitcheck.py": "raise RuntimeError('excluded module was built')\n",
}

PROBE = """
import calc, calc.core, calc.sub.deep as deep
print(calc.VERSION, calc.mean([1, 2, 4]), calc.Acc().add(3).add("x"))
print(deep.squares(5), deep.spread([1.0, 2.0, 6.0]))
try:
    calc.mean([])
except ZeroDivisionError as e:
    print("error", type(e).__name__)
import sys
print("GIL enabled:", getattr(sys, "_is_gil_enabled", lambda: None)())
for m in (calc, calc.core, calc.sub, deep):
    print(m.__name__, m.__file__)
"""


@pytest.fixture(scope="module")
def compiled(tmp_path_factory):
    root = tmp_path_factory.mktemp("compile")
    for name, content in PACKAGE.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(content))
    for name in ("README.md", "requirements.txt", "LICENSE"):
        (root / "project").mkdir(exist_ok=True)
        (root / "project" / name).write_text("x\n" if name != "requirements.txt" else "")
    (root / "build" / "stale").mkdir(parents=True)
    with pytest.MonkeyPatch.context() as mp:
        mp.chdir(root)
        mp.setattr(metagen, "time", types.SimpleNamespace(sleep=[].append))
        compiler.tovcompile(argparse.Namespace(name="calc", abi3=True, exclude="unit",
                                               msvc="x86_amd64"))
    return root


def run_probe(cwd, path):
    env = dict(os.environ, PYTHONPATH=str(path))
    done = subprocess.run([sys.executable, "-c", PROBE], cwd=cwd, env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_compiled_modules_behave_like_the_sources(compiled, tmp_path):
    egg = compiled / "build" / "egg"
    built = run_probe(tmp_path, egg)
    source = run_probe(tmp_path, compiled)
    # On a free-threaded interpreter the compiled modules leave the GIL off.
    assert built[:4] == source[:4]
    for line in built[4:]:
        name, file = line.split(" ", 1)
        assert Path(file).parent.is_relative_to(egg)
        assert file.endswith(tuple(EXTENSION_SUFFIXES))
        if LIMITED:
            assert ".abi3." in Path(file).name or file.endswith(".pyd")


def test_compile_tree(compiled):
    egg = compiled / "build" / "egg"
    files = sorted(p.relative_to(egg).as_posix().split(".")[0] for p in egg.rglob("*")
                   if p.is_file())
    assert files == ["calc/__init__", "calc/core", "calc/sub/__init__", "calc/sub/deep"]
    assert not (compiled / "build" / "stale").exists()
    assert (compiled / "build" / "src" / "calc" / "sub" / "deep.c").is_file()
    assert not (compiled / "build" / "src" / "calc" / "unitcheck.c").exists()
    assert (compiled / "pyproject.toml").is_file()
