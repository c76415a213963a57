"""A compiled wheel behaves like its sources, or tov names the module that
does not: the import check against the sources, the scan for constructs
Cython compiles unfaithfully (each example of its table really differs when
compiled), and syntax errors as errors of the source."""

import json
import shlex
import subprocess
import sys
import sysconfig
import textwrap

import Cython
import pytest
from packaging.version import Version

import tovel.scanner

from test_pipeline import tov, write

LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
ABI = [] if LIMITED else ["--abi3", ""]

PACKAGE = {
    "fp/__init__.py": "",
    "fp/ok.py": "def twice(x):\n    return 2 * x\n",
    # Imports from source; compiled, the wording of the TypeError differs.
    "fp/argtext.py": "def f(a):\n    return a\ntry:\n    f(1, 2)\nexcept TypeError as e:\n"
                     "    assert 'were given' in str(e), str(e)\n",
    # Compiled, the recursion crashes the interpreter instead of raising.
    "fp/deep.py": "def down(n):\n    return down(n + 1)\ntry:\n    down(0)\n"
                  "except RecursionError:\n    DEPTH = 'bounded'\n",
    # Fails with deep, which is named instead (and imported before it).
    "fp/a_user.py": "from fp.deep import DEPTH\n",
    "fp/shapes.py": "import abc\nclass Shape(abc.ABC):\n    @staticmethod\n    @abc.abstractmethod\n"
                    "    def sides():\n        pass\n",
    "fp/bad.py": "raise ValueError('broken on purpose')\n",
    "fp/extra.py": "import nonesuch_distribution_xyz\n",
    "fp/syn.py": "def broken(:\n    pass\n",
}


def test_each_failing_module_named_once_with_its_stage(tmp_path):
    project = write(tmp_path, PACKAGE)
    rc, out, err = tov("bdist", "-n", "fp", "-v", "1.0", "--no-cache", *ABI, cwd=project)
    assert rc == 1 and not (project / "dist").exists(), out + err
    lines = err.strip().splitlines()
    assert lines[0] == "4 modules failed; no wheel was made:"
    stages = {l.split()[0]: " ".join(l.split()[1:]) for l in lines[1:5]}
    assert set(stages) == {"fp/shapes.py", "fp/syn.py", "fp/argtext.py", "fp/deep.py"}, err
    assert stages["fp/shapes.py"].startswith("known Cython fault fp/shapes.py:5: @staticmethod over")
    assert stages["fp/syn.py"].startswith("syntax error fp/syn.py:1:12: syntax error")
    assert stages["fp/argtext.py"] == ("import check AssertionError: "
                                       "f() takes exactly 1 positional argument (2 given)")
    assert stages["fp/deep.py"] == "import check crashed with SIGSEGV"
    # Fails from source as well: said once, not a failure; a distribution
    # that is not installed is named.
    assert [l for l in out.splitlines() if "fp/bad.py" in l and "compiled" not in l] == [
        "warning: fp/bad.py fails to import from source too: ValueError: broken on purpose"]
    assert "not checked fp/extra.py: it needs nonesuch_distribution_xyz, which is not installed here" in out
    assert "warning: fp/deep.py:5: RecursionError: " in out
    assert "Segmentation fault" in (project / "build/tov-failures.log").read_text()
    # Keeping the source does not mend a syntax error: it is not in --keep.
    keep = shlex.split(lines[-1])[-1]
    assert keep == r"^fp/shapes\.py$|^fp/argtext\.py$|^fp/deep\.py$", err
    # Kept as source, it still fails the build rather than ship.
    rc, out, err = tov("bdist", "-n", "fp", "-v", "1.0", "--keep", keep + r"|^fp/syn\.py$", *ABI, cwd=project)
    assert rc == 1 and not (project / "dist").exists(), out + err
    assert [l.split() for l in err.splitlines()[:2]] == [
        "1 module failed; no wheel was made:".split(),
        "fp/syn.py syntax error fp/syn.py:1:12: syntax error (invalid syntax)".split()], err


# Runs a module of a tree (argv: tree, module) and prints what it bound to
# RESULT, or the exception its import raised.
SHOW = textwrap.dedent("""\
    import importlib, sys
    sys.path.insert(0, sys.argv[1])
    try:
        print(repr(getattr(importlib.import_module(sys.argv[2]), "RESULT", None)))
    except BaseException as e:
        print(type(e).__name__, str(e).splitlines()[:1])
""")

# Compiles every module of the folder argv[1] in place, as tov bdist does.
COMPILE = textwrap.dedent("""\
    import glob, os, sys
    import Cython.Compiler.Options as options
    from Cython.Build import cythonize
    from setuptools import Extension, setup
    options.error_on_unknown_names = False
    os.chdir(sys.argv[1])
    modules = [Extension(p[:-3], [p]) for p in sorted(glob.glob("*.py"))]
    setup(ext_modules=cythonize(modules, compiler_directives={"language_level": 3,
          "annotation_typing": False}, quiet=True), script_args=["build_ext", "--inplace", "-j", "2"])
""")


def run(tree, module):
    proc = subprocess.run([sys.executable, "-I", "-B", "-c", SHOW, str(tree), module],
                          capture_output=True, text=True, timeout=120)
    return proc.stdout.strip() + (f" (status {proc.returncode})" if proc.returncode else "")


def test_every_construct_of_the_table_differs_when_compiled(tmp_path):
    table = tovel.scanner.table()
    source, built = tmp_path / "source", tmp_path / "built"
    for where in (source, built):
        where.mkdir()
        for i, entry in enumerate(table):
            (where / f"ex{i}.py").write_text(entry["example"])
    proc = subprocess.run([sys.executable, "-c", COMPILE, str(built)], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    for path in built.glob("ex*.py"):
        path.unlink()
    cython = Version(Cython.__version__)
    for i, entry in enumerate(table):
        found = tovel.scanner.scan(entry["example"], f"ex{i}.py")
        assert entry["construct"] in [f["construct"] for f in found], entry
        fixed = entry["fixed_in"] is not None and cython >= Version(entry["fixed_in"])
        plain, compiled = run(source, f"ex{i}"), run(built, f"ex{i}")
        if not fixed:
            assert plain != compiled, (
                f"{entry['construct']!r} behaves the same compiled with Cython {cython}: "
                f"give its entry fixed_in={str(cython)!r}")


def test_python_name_lookup_unless_asked_otherwise(tmp_path):
    """A name unknown at compile time is looked up when the code runs; the
    Cython behaviour is one switch away."""
    project = write(tmp_path, {"py2/__init__.py": "import sys\nif sys.version_info[0] == 2:\n"
                                                  "    NUMBER = long\n"})
    rc, out, err = tov("bdist", "-n", "py2", "-v", "1.0", "--no-cache", *ABI, cwd=project)
    assert rc == 0, out + err
    rc, out, err = tov("bdist", "-n", "py2", "-v", "1.0", "--no-cache", "-X", "error_on_unknown_names=True", *ABI,
                       cwd=project)
    assert rc == 1 and "undeclared name not builtin: long" in err, out + err
