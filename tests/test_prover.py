"""tov bdist --test-command end to end: the project's own tests run from the
sources and compiled in a fresh virtual environment (pytest comes from the
index as pip is configured), and the modules whose compiled form breaks them
are named, or with --keep-failing shipped as source."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import textwrap
import zipfile
from pathlib import Path

import pytest

# Two modules that Cython compiles unfaithfully, among innocent ones:
# frames.py reads its caller's frame (compiled functions have none), and
# calls.py's argument-count TypeError is worded differently compiled, which
# the test turns into a crash of the test process (as a segfaulting module
# would be).
PACKAGE = {
    "pkg/__init__.py": "VERSION = 1\n",
    "pkg/frames.py": """
        import sys


        def caller_name():
            return sys._getframe(1).f_code.co_name


        def whoami():
            return caller_name()
        """,
    "pkg/calls.py": """
        def pair(a, b):
            return (a, b)
        """,
    "pkg/maths.py": "def add(a, b):\n    return a + b\n",
    "pkg/words.py": "def shout(word):\n    return word.upper() + '!'\n",
    "pkg/lists.py": "def total(values):\n    return sum(values)\n",
    "tests/test_pkg.py": """
        import os

        import pytest

        from pkg.calls import pair
        from pkg.frames import whoami
        from pkg.lists import total
        from pkg.maths import add
        from pkg.words import shout


        def test_add():
            assert add(2, 3) == 5


        @pytest.mark.parametrize("word", ["hi", "yo"])
        def test_shout(word):
            assert shout(word) == word.upper() + "!"


        def test_total():
            assert total([1, 2, 3]) == 6


        def test_whoami():
            assert whoami() == "whoami"


        def test_wording():
            with pytest.raises(TypeError) as caught:
                pair(1)
            if "missing 1 required positional argument" not in str(caught.value):
                os.abort()


        # An id with a memory address, another in each run.
        @pytest.mark.parametrize("value", [1], ids=[repr(lambda: 0)])
        def test_address(value):
            assert add(value, 1) == 2
        """,
    "tests/test_props.py": "import hypothesis\n",
    # Tests unittest's load_tests builds (pytest does not call it), two of
    # the same id; a TestCase of the module, which pytest collects, runs once.
    "tests/test_built.py": """
        import unittest

        from pkg.frames import whoami
        from pkg.maths import add


        def sums(a, b):
            class Sum(unittest.TestCase):
                def test_add(self):
                    self.assertEqual(add(a, b), a + b)
            return Sum("test_add")


        class Plain(unittest.TestCase):
            def test_plain(self):
                self.assertEqual(add(1, 1), 2)


        def load_tests(loader, tests, pattern):
            class Caller(unittest.TestCase):
                def test_caller(self):
                    self.assertEqual(whoami(), "whoami")
            tests.addTests([sums(1, 2), sums(3, 4), Caller("test_caller")])
            return tests
        """,
}


def test_tests_name_the_modules_that_break_them(project_dir, run_tov):
    for name, text in PACKAGE.items():
        path = project_dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip())
    (project_dir / "session.txt").write_text(str(project_dir))  # runs of this session, none remembered
    args = ["bdist", "-n", "pkg", "-v", "1.0", "--test-command", "pytest {project}/tests",
            "--test-requires", "pytest", "--test-timeout", "120"]

    code, out, err = run_tov(*args)
    assert code == 1, out + err
    assert "tests from source: 11 passed, 1 failed" in out
    assert ("warning: 1 test fails from the sources too: tests/test_props.py; they import hypothesis, which the "
            "test environment does not have (--test-requires hypothesis adds it)") in out
    # Only the failing tests run again, the modules they loaded halved.
    runs = re.findall(r"^(tests|narrowing)[^:]*: (?:(\d+) passed, (\d+) failed|crashed)", out, re.M)
    assert len(runs) <= 11 and all(int(p or 0) + int(f or 0) <= 3 for k, p, f in runs if k == "narrowing"), out
    # Where there are cores for it, two runs go at once, the second on a copy of the environment.
    assert any((project_dir / "build" / "prove").glob("*/venv-2")) == (
        (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()) >= 2)
    named = dict(re.findall(r"^  (pkg/\S+)\s+tests\s+(.+)$", err, re.M))
    assert named == {
        "pkg/calls.py": "crashes the test process (signal 6) in test_wording",
        "pkg/frames.py": "breaks 2 tests: load_tests.<locals>.Caller.test_caller, test_whoami",
    }, err
    assert "--keep '^pkg/calls\\.py$|^pkg/frames\\.py$'" in err
    assert not list((project_dir / "dist").glob("*"))

    code, out, err = run_tov(*args, "--keep-failing")
    assert code == 0, out + err
    # The modules kept as source mend the failing tests, run once more to confirm.
    assert "tests with 2 modules kept as source: 4 passed, 0 failed" in out
    assert "kept as source: pkg/frames.py (tests: breaks 2 tests: load_tests.<locals>.Caller.test_caller, test_whoami)" in out
    (wheel,) = (project_dir / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    shipped = {n.rpartition("/")[2].split(".")[0]: n.rpartition(".")[2]
               for n in names if n.startswith("pkg/") and not n.endswith(".pyi")}
    assert shipped == {"__init__": "so", "frames": "py", "calls": "py",
                       "maths": "so", "words": "so", "lists": "so"}


def test_exit_status_judges_a_plain_command(project_dir, run_tov):
    """A command that is not pytest is judged by its exit status; the settings
    come from [tool.tovel]."""
    (project_dir / "pkg").mkdir()
    for name in ("__init__", "frames", "maths"):
        text = textwrap.dedent(PACKAGE[f"pkg/{name}.py"]).lstrip()
        (project_dir / "pkg" / f"{name}.py").write_text(text)
    (project_dir / "pyproject.toml").write_text(textwrap.dedent("""
        [project]
        name = "pkg"
        version = "0.1"

        [tool.tovel]
        test-command = "python -c 'from pkg.frames import whoami; assert whoami() == \\"whoami\\"'"
        keep-failing = true
        """))
    code, out, err = run_tov("bdist")
    assert code == 0, out + err
    assert "tests compiled: exit status 1" in out
    assert "kept as source: pkg/frames.py (tests: makes the test command fail (exit status 1))" in out
    (wheel,) = (project_dir / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "pkg/frames.py" in names and "pkg/maths.py" not in names
    assert any(n.startswith("pkg/maths.") and n.endswith(".so") for n in names)


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip())


# A setup.py beside a pyproject.toml of tools' settings only (built by
# setuptools' legacy back end), tests inside the package, a module
# bound under the package's name to a standard-library module, a file that
# is no module name, and a declared dependency tov's environment need not have.
INSIDE = {
    "pyproject.toml": "[tool.ruff]\nline-length = 100\n",
    "setup.py": """
        from setuptools import setup

        setup(name="inside", version="1.0", packages=["inside"], py_modules=["hook-x"],
              install_requires=["six"])
        """,
    "hook-x.py": "print('loaded by path')\n",
    "inside/__init__.py": """
        import configparser
        import sys

        sys.modules[__name__ + ".config"] = configparser


        def same(f):
            return f


        @same  # bound by more than a def: type(kind) is Cython's function type
        def kind():
            return type(kind).__name__


        if __name__ == "__main__":  # python -m inside never runs it: no warning
            print(kind())
        """,
    "inside/needs.py": "import six\n\nTEXT = six.text_type\n",
    "inside/core.py": "def f(x):\n    return x + 1\n\n\nif __name__ == '__main__':\n    print(f(1))\n",
    "inside/test_core.py": "from . import core\n\n\ndef test_f():\n    assert core.f(1) == 2\n",
    "inside/tests/__init__.py": "",
    "inside/tests/test_inside.py": """
        import sys

        import inside

        from .. import core


        def test_installed():
            assert "site-packages" in core.__file__ and sys.modules["inside.config"].ConfigParser


        def test_kind():
            assert inside.kind() == "function"


        def test_project_files_from_the_working_folder():
            import os
            assert "setuptools" in open("setup.py").read() and not os.path.exists("inside")
        """,
}

# A flat layout whose tests/ has __init__.py (pytest puts the project's folder
# on sys.path) and whose pytest configuration puts it there too; the tests
# need a dependency group (that includes another) but not the plugin its
# addopts name, and one of them does not collect, from source either; one
# meets a deprecation of pytest's own under filterwarnings = error, as does
# the option of a plugin not installed (pytest-timeout's).
FLAT = {
    "pyproject.toml": """
        [build-system]
        requires = ["setuptools>=80"]
        build-backend = "setuptools.build_meta"

        [project]
        name = "flat"
        version = "0.1"

        [tool.setuptools]
        packages = ["flat"]

        [dependency-groups]
        test = ["pytest>=8", {include-group = "more"}]
        more = ["iniconfig"]

        [tool.pytest.ini_options]
        pythonpath = [".", "src"]
        addopts = "--reruns=2"
        filterwarnings = ["error"]
        timeout = 5
        """,
    # A construct known to compile differently, in the module the tests name:
    # named for what the tests found, once.
    "flat/__init__.py": "import sys\n\n\ndef same(f):\n    return f\n\n\n@same\ndef kind():\n    return type(kind).__name__\n\n\n"
                        "def caller():\n    return sys._getframe(1).f_code.co_name\n",
    "flat/plain.py": "def two():\n    return 2\n",
    "tests/__init__.py": "",
    "tests/test_flat.py": """
        import iniconfig

        import flat
        from flat.plain import two


        def test_installed():
            assert "site-packages" in flat.__file__ and two() == 2


        def test_kind():
            assert flat.kind() == "function"


        def test_spawned():  # a process pointed at the sources on purpose
            import os, subprocess, sys
            root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
            subprocess.run([sys.executable, "-c", "import flat.plain"], env=dict(os.environ, PYTHONPATH=root), check=True)
        """,
    "tests/test_broken.py": "import no_such_module\n",
    "tests/test_old.py": """
        import warnings

        import pytest

        warnings.warn("an API of pytest's that its next release drops", pytest.PytestDeprecationWarning)


        def test_old():
            pass
        """,
}


# A script of unittest tests (it calls unittest.main() as it is imported) and
# a test module in the package that does not load against the compiled
# modules: both judge them as other tests do.
SCRIPT = {
    "pyproject.toml": "[project]\nname = \"scr\"\nversion = \"1.0\"\n",
    "scr/__init__.py": "",
    "scr/core.py": "def f(x):\n    return x + 1\n",
    "scr/plain.py": "def g():\n    return 2\n",
    "scr/test_load.py": "from . import core\n\nassert core.__file__.endswith('.py')\n\n\n"
                        "def test_loaded():\n    pass\n",
    "scr/tests/__init__.py": "",
    "scr/tests/test_script.py": """
        import unittest

        from scr import plain


        class Script(unittest.TestCase):
            def test_g(self):
                self.assertEqual(plain.g(), 2)

            def test_source(self):
                self.assertTrue(plain.__file__.endswith(".py"))


        class Assets(unittest.TestCase):  # fails to collect, from the sources too
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                open("no-such-asset")

            def test_asset(self):
                pass


        unittest.main()
        """,
}


def test_tests_shipped_inside_keep_their_packages(tmp_path, monkeypatch, capsys):
    """A test folder inside a package ships whole as source, as do the .py
    files of a folder without __init__.py; each compiled
    __init__ above a test file gets an __init__.py beside it, which pytest
    finds the package by, and which says so where no extension module of
    the package loads."""
    from tovel import planner, writer

    names = ["pk/__init__.py", "pk/core.py", "pk/testing.py", "pk/sub/__init__.py", "pk/sub/test_s.py",
             "pk/tests/__init__.py", "pk/tests/helper.py", "pk/tests/unit/test_a.py", "other/__init__.py",
             "pk/data/read_as_text.py", "pk/tests.py", "pk/template.py"]
    write(tmp_path, dict.fromkeys(names, ""))
    # A __main__ block inside a string is a template's, not the module's.
    (tmp_path / "pk/template.py").write_text('T = """\nif __name__ == "__main__":\n    pass\n"""\n')
    monkeypatch.chdir(tmp_path)
    plan = planner.plan([("pk", "pk"), ("other", "other")], None, None, True, str(tmp_path))
    assert sorted(u["arc"] for u in plan["units"]) == ["other/__init__.py", "pk/__init__.py", "pk/core.py",
                                                      "pk/sub/__init__.py", "pk/template.py", "pk/testing.py"]
    assert sorted(plan["markers"]) == ["pk/__init__.py", "pk/sub/__init__.py"]
    assert "a script" not in capsys.readouterr().out
    assert "pk/data/read_as_text.py" in [k["arc"] for k in plan["kept"]]  # no package: data
    writer.assemble(plan, "tree")
    assert (tmp_path / "tree" / "pk" / "tests" / "helper.py").is_file()
    run = subprocess.run([sys.executable, "-c", "import pk.sub"], cwd=tmp_path / "tree", capture_output=True, text=True)
    assert "ImportError: pk is compiled, and no extension module in " in run.stderr, run.stderr


def test_a_terminated_build_ends_its_test_runs(tmp_path):
    """SIGTERM (a kill, a cancelled CI job) ends a build as an interrupt does,
    and the test run it started, in a session of its own, ends with it."""
    pid = tmp_path / "pid"
    write(tmp_path, {"pk/__init__.py": "def f(x):\n    return x + 1\n",
                     "tests/test_slow.py": f"import os, time\n\n\ndef test_slow():\n"
                                           f"    open({str(pid)!r}, 'w').write(str(os.getpid()))\n    time.sleep(600)\n"})
    tov = Path(sys.executable).parent / "tov"
    proc = subprocess.Popen([str(tov), "bdist", "-n", "pk", "-v", "1.0", "--test-command", "pytest {project}/tests",
                             "--test-requires", "pytest"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        for _ in range(600):
            if pid.exists() and pid.read_text():
                break
            time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert (proc.returncode, err) == (143, "terminated\n"), out + err
    stat = Path(f"/proc/{pid.read_text()}/stat")  # a zombie waits for whoever reaps it: ended all the same
    for _ in range(20):
        if not stat.exists() or stat.read_text().rpartition(")")[2].split()[0] == "Z":
            break
        time.sleep(0.25)
    else:
        raise AssertionError("the test run outlived the build")


def test_found_tests_judge_real_layouts(tmp_path, run_tov):
    """Without being asked, tov bdist runs the tests it finds against the
    installed package, whatever the layout puts on sys.path; a run it made
    before is remembered by the hash of the module set."""
    write(tmp_path / "inside", INSIDE)
    # The runs are this session's, not remembered from an earlier one.
    (tmp_path / "inside" / "session.txt").write_text(str(tmp_path))
    code, out, err = run_tov("bdist", "--keep-failing", cwd=tmp_path / "inside")
    assert code == 0, out + err
    assert "(setuptools.build_meta:__legacy__) built inside-1.0-py3-none-any.whl" in out
    assert "kept as source hook-x.py: its name is not a module name" in out
    assert ("warning: `python -m` runs modules from source only, and 1 compiled module is a script (a `__main__` "
            "block): inside/core.py; --keep '^inside/core\\.py$' ships it as source\n") in out
    # inside/tests is left out of the wheel: the bench copies it beside the installed package.
    assert ("the project's tests: inside/tests/ (beside the installed package), inside/test_core.py (installed); "
            "requirements: pytest only") in out
    assert "tests from source: 4 passed, 0 failed" in out
    # So few tests prove little: said, and the wheel is not called proven.
    assert "warning: only 4 tests passed from the sources, too few to prove the compiled modules\n" in out
    assert "not proven by tests: only 4 tests passed" in out
    # Running the same tests again would prove no more: the suggestion is not the command that ran.
    assert "would prove it: tov bdist --test-command CMD, with a CMD that runs more tests than 'python -m pytest" in out
    # The test modules run as source beside the compiled package, whose
    # modules are loaded compiled (__init__ too: it is no test's cause to fail).
    assert "kept as source: inside/__init__.py (tests: breaks 1 test: test_kind)" in out
    assert "not checked" not in out
    origins = (tmp_path / "inside" / "build" / "prove").glob("*/logs/run-2.origins")
    loaded = {p.rpartition("/inside/")[2] for p in next(origins).read_text().split()}
    assert {"test_core.py", "tests/test_inside.py"} <= loaded and "core.py" not in loaded, loaded
    assert any(re.fullmatch(r"core\..*so", p) for p in loaded) and "__init__.py" not in loaded, loaded
    (wheel,) = (tmp_path / "inside" / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    # The package's own test module ships as source: pytest collects no test from a compiled one.
    assert "kept as source 1 test module (pytest collects tests from sources only): inside/test_core.py" in out
    assert {"hook-x.py", "inside/__init__.py", "inside/test_core.py"} <= set(names) and "inside/needs.py" not in names
    assert not any(n.startswith("inside/tests/") for n in names)

    write(tmp_path / "flat", FLAT)
    code, out, err = run_tov("bdist", cwd=tmp_path / "flat")
    assert code == 1, out + err
    assert "requirements: dependency group test" in out
    assert "pytest refused its options (exit status 4); running them again with -o addopts=" in out
    assert "tests from source: 4 passed, 1 failed" in out and "instead of the installed" not in out
    # The tests it starts judge the sources: the other tests judge the compiled modules, the wheel is not proven.
    assert re.search(r"^warning: a process the tests start imported \S+/flat/\w+\.py, not the installed package: "
                     r"the tests that run it judge the sources$", out, re.M), out
    assert ("only 4 tests passed from the sources, too few to prove the compiled modules (1 test module does not "
            "load: tests/test_broken.py: ModuleNotFoundError: No module named 'no_such_module')") in out
    # The summary names the failing tests and the log that holds their output.
    assert re.search(r"^tests from source: 4 passed, 1 failed: tests/test_broken\.py; "
                     r"log: \S*build/prove/cp3[^/]*/logs/run-\d+\.log \(", out, re.M), out
    assert re.search(r"^  flat/__init__\.py\s+tests\s+breaks 1 test: test_kind$", err, re.M), err
    assert err.startswith("1 module failed") and "not proven" not in err, err
    shutil.rmtree(tmp_path / "flat" / "build")
    code, out, err = run_tov("bdist", "--keep-failing", cwd=tmp_path / "flat")
    assert code == 0, out + err
    runs = re.findall(r"^(?:tests|narrowing).*\)$", out, re.M)
    assert runs and all(r.endswith(", remembered)") for r in runs), out
    assert not list((tmp_path / "flat" / "build" / "prove").glob("*/venv"))

    write(tmp_path / "script", SCRIPT)
    code, out, err = run_tov("bdist", cwd=tmp_path / "script")
    assert code == 1, out + err
    assert re.search(r"^tests from source: 3 passed, 1 failed: \{site\}/scr/tests/test_script\.py::Assets;", out, re.M), out
    failed = re.search(r"^tests compiled: 1 passed, 3 failed: (.*?); log", out, re.M)
    assert failed and set(failed[1].split(", ")) == {"{site}/scr/test_load.py", "{site}/scr/tests/test_script.py::Assets",
                                                     "{site}/scr/tests/test_script.py::Script::test_source"}, out
    assert re.search(r"^  scr/core\.py\s+tests\s+breaks 1 test: test_loaded$", err, re.M), err
    assert re.search(r"^  scr/plain\.py\s+tests\s+breaks 1 test: test_source$", err, re.M), err


# Tests and their requirements where projects keep them: pytest's
# configuration in setup.cfg, a test file beside setup.py, a test folder
# pytest as configured collects nothing from, a poetry group, requirements
# files (one naming another), tox's deps and extras, hatch's environment that
# runs pytest (after its template's), an extra whose module a test imports,
# and imports nothing declares.
KEPT = {
    "setup.cfg": "[tool:pytest]\naddopts = --cov=pk -q --doctest-modules\nasyncio_mode = auto\n",
    "pk/__init__.py": "",
    "test_pk.py": "import pk\nimport numpy\nimport pytest\n",
    "tests/helpers.py": "",
    "tests/test.py": """
        import os
        import hypothesis
        import pytest_mock
        import responses
        import yaml
        from helpers import thing
        try:
            import optional
        except ImportError:
            pass


        def test_a(mocker, benchmark):
            pass


        def benchmark():
            pass


        def fast_json():
            import ujson
            return ujson
        """,
    "pyproject.toml": """
        [tool.poetry.group.dev.dependencies]
        python = "^3.8"
        pytest = "^0.2.3"
        hypothesis = {version = "~6.1", python = ">=3.8"}
        mine = {path = "../mine"}
        either = ">=1 || <0.5"

        [tool.hatch.envs.default]
        dependencies = ["hatch-base"]
        [tool.hatch.envs.lint]
        detached = true
        dependencies = ["ruff"]
        [tool.hatch.envs.dev]
        extra-dependencies = ["hatch-dev", "theme @ git+https://example.invalid/theme.git"]
        scripts = {t = "pytest -x"}
        """,
    "requirements/tests.txt": "-r base.txt\n-e .\npk\n--index-url https://example.invalid/simple\n./local\n",
    # A second pin under another marker is another requirement (the installer picks).
    "requirements/base.txt": "freezegun==1.2 \\\n    --hash=sha256:abc  # pinned\nfreezegun>=9; python_version < '3'\n",
    # Pins for several Python versions: those of the newest the tests' interpreter is.
    "requirements/tests36.txt": "oldpin==1\n",
    "requirements/tests39.txt": "newpin==2\n",
    "tox.ini": """
        [base]
        deps = tox-dep>=1

        [testenv]
        extras = test
        deps =
            {[base]deps}
            py38: oldthing
            -r{toxinidir}/requirements/tests.txt
            {env:X}
        """,
    "info/pk-1.0.dist-info/METADATA": "Metadata-Version: 2.1\nName: pk\nVersion: 1.0\nProvides-Extra: test\n"
                                      "Requires-Dist: attrs\nRequires-Dist: responses; extra == \"test\"\n"
                                      # An optional feature's extra, which a test imports from inside a function.
                                      "Provides-Extra: docs\nRequires-Dist: sphinx; extra == \"docs\"\n"
                                      # Not for what comes with pytest, nor a developers' extra.
                                      "Provides-Extra: dev\nRequires-Dist: pytest; extra == \"dev\"\n"
                                      "Requires-Dist: ujson; extra == \"dev\"\n"
                                      "Provides-Extra: check\nRequires-Dist: pytest; extra == \"check\"\n"
                                      "Provides-Extra: fast\nRequires-Dist: ujson; extra == \"fast\"\n"
                                      "Provides-Extra: all\nRequires-Dist: ujson; extra == \"all\"\n",
}


def test_ids_whose_parameters_change_between_runs_still_compare():
    import tovel.narrow
    wanted = ["t.py::test_now[09:04:15]", "t.py::test_now[12-10 09:04:15]", "t.py::test_a", "t.py::test_b[1]"]
    run = {"status": 1, "tests": {"t.py::test_now[09:04:25]": True, "t.py::test_now[12-10 09:04:25]": True,
                                  "t.py::test_a": True, "t.py::test_b[1]": False}}
    assert tovel.narrow.failing(run, wanted, True) == ["t.py::test_b[1]"]
    # A new id that failed, or fewer new ids than lacking ones, fail those lacking.
    run["tests"]["t.py::test_now[09:04:25]"] = False
    assert tovel.narrow.failing(run, wanted, True) == wanted[:2] + ["t.py::test_b[1]"]
    del run["tests"]["t.py::test_now[09:04:25]"]
    assert tovel.narrow.failing(run, wanted, True) == wanted[:2] + ["t.py::test_b[1]"]
    del run["tests"]["t.py::test_a"]
    assert "t.py::test_a" in tovel.narrow.failing(run, wanted, True)
    # Ids the sources do not have fail where they ran and failed (a module that
    # does not load compiled), but a test failing from the sources too and a
    # test module's load error ("::t"), whose tests count themselves.
    known = set(wanted) | {"t.py::test_c[09:04:15]"}
    run = {"status": 1, "tests": {**dict.fromkeys(wanted, True), "{site}/a/m.py::a.m": False, "t.py::test_c[09:04:25]": False,
                                  "::t": False}}
    assert tovel.narrow.failing(run, wanted, True, known) == ["{site}/a/m.py::a.m"]
    del run["tests"]["{site}/a/m.py::a.m"]
    assert tovel.narrow.failing(run, wanted + ["{site}/a/m.py::a.m"], True, known) == []


def fake_runs(count, outcomes, asked):
    """The prover's runs for tovel.narrow: `outcomes(compiled, alone)` gives
    each test's outcome with that set of modules compiled."""
    def runs(asks):
        out = []
        for source, select, label in asks:
            asked.append(label)
            tests = outcomes(set(range(count)) - set(source), select is not None)
            if select is not None:
                tests = {k: v for k, v in tests.items() if k in select}
            out.append({"tests": tests, "status": int(not all(tests.values()))})
        return out
    return runs


def test_narrowing_sets_aside_tests_no_single_module_breaks(tmp_path):
    """A test that fails with any module compiled (one that reads the
    package's .py files) is named apart after a few runs, while the module
    that alone breaks another test is still found; a test that fails beside
    the others only, from the sources too in a later run (one bound by the
    machine's load), stops the narrowing down at once."""
    import tovel.narrow

    count, asked = 16, []
    runs = fake_runs(count, lambda compiled, alone: {
        "t.py::test_reads_sources": not compiled, "t.py::test_five": 5 not in compiled, "t.py::test_ok": True}, asked)
    passed = ["t.py::test_reads_sources", "t.py::test_five", "t.py::test_ok"]
    (last,) = runs([([], None, "tests compiled")])
    traced = tovel.narrow.trace(runs, count, passed, last, True, {f"m{i}": i for i in range(count)}, set(passed))
    assert list(traced["keep"]) == [5] and list(traced["widespread"]) == ["t.py::test_reads_sources"], traced
    # The compiled run, then 15 narrowing runs (halving for the reader alone would take 30 more).
    assert list(traced["broken"]) == [] and len(asked) <= 16, asked

    asked.clear()
    runs = fake_runs(count, lambda compiled, alone: {"t.py::test_load": alone, "t.py::test_ok": True}, asked)
    passed = ["t.py::test_load", "t.py::test_ok"]
    (last,) = runs([([], None, "tests compiled")])
    traced = tovel.narrow.trace(runs, count, passed, last, True, {f"m{i}": i for i in range(count)}, set(passed))
    assert list(traced["unsteady"]) == ["t.py::test_load"] and list(traced["keep"]) == [], traced
    assert list(traced["broken"]) == ["t.py::test_load"] and len(asked) <= 6, asked

    # A module the failing test's error names as refusing a replaced builtin is tried first.
    asked.clear()
    (tmp_path / "run.log").write_text("E   AttributeError: m9.open cannot be replaced: the compiled module calls the builtin")
    plain = fake_runs(count, lambda compiled, alone: {"t.py::test_patch": 9 not in compiled, "t.py::test_ok": True}, asked)
    runs = lambda asks: [dict(r, log=str(tmp_path / "run.log")) for r in plain(asks)]
    passed = ["t.py::test_patch", "t.py::test_ok"]
    (last,) = runs([([], None, "tests compiled")])
    traced = tovel.narrow.trace(runs, count, passed, last, True, {f"m{i}": i for i in range(count)}, set(passed))
    assert list(traced["keep"]) == [9] and list(traced["broken"]) == [] and len(asked) == 4, asked

    # So are the modules its failure shows (a repr, a traceback's paths): the two of them that break it are found
    # among those three, not by halving all sixteen.
    asked.clear()
    (tmp_path / "run.log").write_text("E  where x = <module 'm11' from '/v/m11.abi3.so'>.f\n"
                                      "../venv/lib/python3.12/site-packages/m3.cpython-312-x86_64-linux-gnu.so\n"
                                      "m7.py:12: in f\n../tests/test_m.py:3: in test_reload\n")
    plain = fake_runs(count, lambda compiled, alone: {"t.py::test_reload": not {3, 7} & compiled, "t.py::test_ok": True},
                      asked)
    passed = ["t.py::test_reload", "t.py::test_ok"]
    (last,) = runs([([], None, "tests compiled")])
    traced = tovel.narrow.trace(runs, count, passed, last, True, {f"m{i}": i for i in range(count)}, set(passed))
    assert list(traced["keep"]) == [3, 7] and list(traced["broken"]) == [] and len(asked) <= 9, asked

    # A crash fails the tests it never reached: the narrowing runs the one it crashed in, and the rest once the
    # culprit is kept.
    order = ["t.py::test_a", "t.py::test_deep"] + [f"t.py::test_z{i}" for i in range(50)]
    sizes = []

    def crashing(asks):
        out = []
        for source, select, label in asks:
            chosen = [t for t in order if select is None or t in select]
            sizes.append(len(chosen))
            if 6 in set(range(count)) - set(source) and "t.py::test_deep" in chosen:
                reached = chosen[:chosen.index("t.py::test_deep") + 1]
                out.append({"tests": None, "partial": {t: t != "t.py::test_deep" for t in reached}, "status": -11})
            else:
                out.append({"tests": dict.fromkeys(chosen, True), "status": 0})
        return out
    (last,) = crashing([([], None, "tests compiled")])
    traced = tovel.narrow.trace(crashing, count, order, last, True, {f"m{i}": i for i in range(count)}, set(order))
    assert list(traced["keep"]) == [6] and list(traced["broken"]) == [], traced
    assert max(sizes[1:-1]) == 1 and sizes[-1] == 51, sizes


def test_tests_and_requirements_are_found_where_projects_keep_them(tmp_path):
    import tovel.finder
    write(tmp_path, KEPT)
    found = tovel.finder.find(str(tmp_path), str(tmp_path), [["pk", "pk"]], str(tmp_path / "info/pk-1.0.dist-info"))
    assert found["command"] == "python -m pytest {project}/tests/test.py {project}/test_pk.py"
    # Each distribution once under a marker, the first source's; none of the project itself.
    assert found["requires"] == ['pytest<0.3,>=0.2.3', 'hypothesis<6.2,>=6.1; python_full_version >= "3.8"',
                                 "either", "freezegun==1.2", 'freezegun>=9; python_version < "3"', "newpin==2", "tox-dep>=1", "hatch-base", "hatch-dev", "pytest-mock", "pytest-cov",
                                 "pytest-asyncio"]
    assert found["extras"] == ["test", "fast"]
    assert found["missing"] == [("numpy", "numpy"), ("yaml", "PyYAML")]
    # With no testpaths, pytest collects the package modules' doctests too.
    assert found["doctests"] == ["pk/__init__.py"]
    assert found["what"] == ("tests/test.py, test_pk.py, the doctests of pk (installed), "
                             "pytest's configuration in setup.cfg; requirements: "
                             "extra test, poetry group dev, requirements/tests.txt, requirements/tests39.txt, "
                             "tox.ini [testenv] deps, hatch environment dev, extra fast (the tests import ujson), "
                             "pytest-mock, pytest-cov, pytest-asyncio (the tests use them)")
    # Doctests alone are tests: they run from the installed modules under the project's configuration.
    write(tmp_path / "doc", {"setup.cfg": KEPT["setup.cfg"], "pk/__init__.py": ""})
    found = tovel.finder.find(str(tmp_path / "doc"), str(tmp_path / "doc"), [["pk", "pk"]], None)
    assert (found["command"], found["doctests"]) == ("python -m pytest -c {project}/setup.cfg", ["pk/__init__.py"])
    # The text files at the top that --doctest-glob names are tests too.
    write(tmp_path / "glob", {"pyproject.toml": "[tool.pytest.ini_options]\naddopts = ['--doctest-glob=*.md']\n",
                              "README.md": ">>> 1\n1\n", "pk/__init__.py": "", "tests/test_a.py": ""})
    found = tovel.finder.find(str(tmp_path / "glob"), str(tmp_path / "glob"), [["pk", "pk"]], None)
    assert found["command"] == "python -m pytest {project}/tests {project}/README.md"
    # A tests.py beside setup.py, which `python -m unittest` finds and pytest does not collect by its name.
    # A module the project ships by such a name is no test.
    write(tmp_path / "ut", {"tests.py": "", "pk.py": "", "testing.py": ""})
    found = tovel.finder.find(str(tmp_path / "ut"), str(tmp_path / "ut"), [["pk", "pk.py"], ["testing", "testing.py"]], None)
    assert found["command"] == "python -m pytest {project}/tests.py"
    # So is one inside a package, run from the installed package; its testing.py helpers are no test.
    write(tmp_path / "utp", {"pk/__init__.py": "", "pk/tests.py": "", "pk/testing.py": ""})
    found = tovel.finder.find(str(tmp_path / "utp"), str(tmp_path / "utp"), [["pk", "pk"]], None)
    assert (found["command"], found["installed"]) == ("python -m pytest {site}/pk/tests.py", ["pk/tests.py"])
    # Many test modules of one folder inside a package are each named to pytest, and said as one folder.
    write(tmp_path / "many", {"pk/__init__.py": "", "pk/suite/util.py": "", "pk/test_top.py": "",
                              **{f"pk/suite/test_{i}.py": "" for i in range(6)}})
    found = tovel.finder.find(str(tmp_path / "many"), str(tmp_path / "many"), [["pk", "pk"]], None)
    assert found["command"].count("{site}/pk/suite/test_") == 6, found["command"]
    assert found["what"].startswith("pk/test_top.py (installed), pk/suite/ (6 test files, installed); "), found["what"]
    # The bench runs it from source: it is no compiled companion of the modules judged.
    import tovel.testbench
    write(tmp_path / "egg", {"pk/a.abi3.so": "", "pk/b.abi3.so": "", "pk/tests.abi3.so": ""})
    units = [{"arc": "pk/a.py", "so": str(tmp_path / "egg/pk/a.abi3.so")}]
    assert [c["arc"] for c in tovel.testbench.companions(units)] == ["pk/b.py"]
    # A test folder that mirrors the package's layout is the tests, not a copy of the package.
    write(tmp_path / "mirror", {"pk/__init__.py": "", "tests/test_top.py": "", "tests/pk/test_sub.py": ""})
    found = tovel.finder.find(str(tmp_path / "mirror"), str(tmp_path / "mirror"), [["pk", "pk"]], None)
    assert found["command"] == "python -m pytest {project}/tests"
    # A folder of test files (no __init__.py) in a package's folder that the wheel leaves out runs where it is.
    write(tmp_path / "inpkg", {"pk/__init__.py": "", "pk/tests/test_a.py": "", "wheel/pk/__init__.py": ""})
    found = tovel.finder.find(str(tmp_path / "inpkg"), str(tmp_path / "inpkg/wheel"), [["pk", "pk"]], None)
    assert found["command"] == "python -m pytest {project}/pk/tests"


def test_the_projects_ignored_paths_hold_in_the_runs(tmp_path):
    """The runs start in a scratch folder: a relative --ignore of the
    project's addopts is its folder's, as when pytest runs from there."""
    import tovel.testrun
    project, scratch = tmp_path / "p", tmp_path / "scratch"
    write(project, {"pyproject.toml": "[tool.pytest.ini_options]\naddopts = '--ignore=tests/test_later.py'\n",
                    "tests/test_ok.py": "def test_ok():\n    pass\n",
                    "tests/test_later.py": "def test_later():\n    assert False\n"})
    for d in ("plugins", "site", "scratch"):
        (tmp_path / d).mkdir()
    tovel.testrun.harness(str(tmp_path / "plugins"), str(tmp_path / "site"))
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "plugins"), TOVEL_PROVE_SITE=str(tmp_path / "site"),
               TOVEL_PROVE_TRACE=str(tmp_path / "trace"))
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "tovel_prove", "-p", "no:cacheprovider",
                          "--rootdir", str(project), "-c", str(project / "pyproject.toml"), str(project / "tests")],
                         cwd=scratch, env=env, capture_output=True, text=True, timeout=120)
    assert "1 passed" in run.stdout and "failed" not in run.stdout, run.stdout + run.stderr
    # The project's -x stops no run: the tests after a failing one are judged too.
    write(project, {"pyproject.toml": "[tool.pytest.ini_options]\naddopts = '-x'\n"})
    run = subprocess.run([sys.executable, "-m", "pytest", "-p", "tovel_prove", "-p", "no:cacheprovider",
                          "--rootdir", str(project), "-c", str(project / "pyproject.toml"), str(project / "tests")],
                         cwd=scratch, env=env, capture_output=True, text=True, timeout=120)
    assert "1 failed, 1 passed" in run.stdout, run.stdout + run.stderr


def test_only_what_pytest_collects_names_modules_to_add(tmp_path):
    """Files under pytest's norecursedirs (its own when none are set) and
    scripts no collected test imports name no module to add; conftest.py,
    its pytest_plugins and the helpers a test imports, in any form, do."""
    import tovel.finder
    write(tmp_path, {"pk/__init__.py": "", "pytest.ini": "[pytest]\nnorecursedirs = data*\n",
                     "tests/test_a.py": "from .helpers import h\ndef test():\n    import util\n",
                     "tests/helpers/__init__.py": "import via_helper\n", "tests/util.py": "import via_util\n",
                     "tests/conftest.py": "import in_conftest\npytest_plugins = ['tests.plug']\n",
                     "tests/plug.py": "import in_plugin\n", "tests/script.py": "import only_script\n",
                     "tests/data_x/test_bad.py": "import from_data\n", "tests/build/test_b.py": "import in_build\n"})
    found = tovel.finder.find(str(tmp_path), str(tmp_path), [["pk", "pk"]], None)
    assert [m for m, _ in found["missing"]] == ["in_build", "in_conftest", "in_plugin", "via_helper", "via_util"]
    (tmp_path / "pytest.ini").unlink()
    found = tovel.finder.find(str(tmp_path), str(tmp_path), [["pk", "pk"]], None)
    assert [m for m, _ in found["missing"]] == ["from_data", "in_conftest", "in_plugin", "via_helper", "via_util"]


def test_what_an_sdist_leaves_out_is_said_so(tmp_path):
    """Tests or test helpers the source tree lacks are named as the project's
    own, never as a distribution to add; a requirement named after a module
    (pypng) provides it."""
    import tovel.finder
    import tovel.verdict
    write(tmp_path, {"pk/__init__.py": "", "setup.cfg": "[coverage:run]\nomit = support_x/data\n",
                     "tests/requirements.txt": "pypng\n",
                     "tests/test_a.py": "import png, other_dist, support_x\nfrom testing.support import ROOT\n",
                     "tests/test_eps.py": ""})
    found = tovel.finder.find(str(tmp_path), str(tmp_path), [["pk", "pk"]], None)
    assert "pypng" in found["requires"]
    # setuptools' tests_require, by a name setup.py binds or in setup.cfg; delegator.py provides delegator.
    write(tmp_path / "tr", {"pk/__init__.py": "", "tests/test_cli.py": "import delegator, six\n",
                            "setup.py": "from setuptools import setup\nTESTS = ['delegator.py']\nsetup(tests_require=TESTS)\n",
                            "setup.cfg": "[options]\ntests_require =\n    six>=1\n"})
    tr = tovel.finder.find(str(tmp_path / "tr"), str(tmp_path / "tr"), [["pk", "pk"]], None)
    assert (tr["requires"], tr["missing"]) == (["delegator.py", "six>=1", "pytest"], []), tr
    assert (found["missing"], found["absent"]) == ([("other_dist", "other_dist")], ["support_x", "testing"])
    # Files the project's addopts leave out are data, not tests: their imports are no one's.
    write(tmp_path / "ig", {"pk/__init__.py": "", "tests/test_a.py": "",
                            "setup.cfg": "[tool:pytest]\naddopts = --ignore=tests/testdata --ignore-glob=*/x_*.py\n",
                            "tests/testdata/m_test.py": "from data.module import YO\n",
                            "tests/x_test.py": "import other_data\n"})
    ig = tovel.finder.find(str(tmp_path / "ig"), str(tmp_path / "ig"), [["pk", "pk"]], None)
    assert ig["missing"] == [], ig
    assert tovel.verdict.lacking(["other_dist", "testing"], found["absent"]) == (
        "other_dist, which the test environment does not have (--test-requires other_dist adds it) and testing, "
        "which this source tree lacks (a folder of the project's own, left out of it)")
    # A module imported inside a test function, named by what provides it.
    assert tovel.verdict.lacking(["distutils"], []) == (
        "distutils, which the test environment does not have (--test-requires setuptools adds it)")
    # A module of a test folder that another test imports is the project's own.
    (tmp_path / "run.log").write_text("E   ModuleNotFoundError: No module named 'test_eps'\n"
                                      "E   ModuleNotFoundError: No module named 'png'\n")
    run = {"log": str(tmp_path / "run.log"), "texts": {}}
    assert tovel.verdict.missing(run, [{"arc": "pk/__init__.py"}], str(tmp_path)) == ["png"]
    # testpaths that name no folder here: no tests in this tree, and a
    # suggestion that names none either.
    write(tmp_path / "sd", {"pyproject.toml": "[tool.pytest.ini_options]\ntestpaths = ['tests']\n", "pk/__init__.py": ""})
    proof = tovel.finder.proof({}, str(tmp_path / "sd"), None, [["pk", "pk"]], None, [{"arc": "pk/__init__.py"}])
    assert proof["unproven"].startswith("this source tree has no tests (pytest's configuration in pyproject.toml "
                                        "names tests, which is not here"), proof
    assert proof["prove_it"].startswith("--test-command 'python -m pytest DIR/tests' --test-requires pytest, with DIR"), proof


def test_proof_runs_tests_from_the_package_folder_and_keeps_found_requirements(tmp_path, capsys):
    """testpaths naming the package folder: its test modules run from the
    installed package, with pytest's configuration named; its other modules
    are judged. A command given keeps the requirements found unless
    --test-requires replaces them."""
    import tovel.finder
    write(tmp_path, {"tox.ini": "[pytest]\ntestpaths = pk tests\naddopts = --doctest-modules\n",
                     "tests/test_f.py": "",
                     "pyproject.toml": "[dependency-groups]\ntest = ['pytest>=8', 'iniconfig']\n"})
    units = [{"arc": arc} for arc in ("pk/__init__.py", "pk/test_in.py", "pk/sub/tests/helper.py", "pk/sub/m.py")]
    for unit in units:  # what the package's other modules import is no test's
        write(tmp_path, {unit["arc"]: "import for_tests\n" if "test" in unit["arc"] else "import elsewhere\n"})
    proof = tovel.finder.proof({}, str(tmp_path), str(tmp_path), [["pk", "pk"]], None, units)
    assert proof["settings"]["test_command"] == ("python -m pytest {site}/pk/test_in.py {site}/pk/sub/tests {project}/tests"
                                                     " -c {project}/tox.ini")
    assert [u["arc"] for u in proof["tested"]] == ["pk/__init__.py", "pk/sub/m.py"]
    assert proof["settings"]["doctests"] == ["pk/__init__.py", "pk/sub/m.py"]
    assert proof["unproven"] is None
    assert proof["settings"]["test_requires"] == ["pytest>=8", "iniconfig"]
    given = {"test_command": "pytest {site}/pk/test_in.py"}
    proof = tovel.finder.proof(given, str(tmp_path), str(tmp_path), [["pk", "pk"]], None, units)
    assert proof["settings"]["test_requires"] == ["pytest>=8", "iniconfig"]
    # The test module the command names runs as source: it is not judged.
    assert "pk/test_in.py" not in [u["arc"] for u in proof["tested"]]
    given["test_requires"] = ["pytest"]
    proof = tovel.finder.proof(given, str(tmp_path), str(tmp_path), [["pk", "pk"]], None, units)
    assert proof["settings"]["test_requires"] == ["pytest"]
    # Tests that are every compiled module have nothing to judge: said.
    proof = tovel.finder.proof({}, str(tmp_path), str(tmp_path), [["pk", "pk"]], None, units[1:2])
    assert proof["unproven"].startswith("every compiled module is one of the tests")
    out = capsys.readouterr().out
    assert "the project's test requirements: dependency group test" in out
    assert "warning: the tests import for_tests, which" in out and "elsewhere" not in out


def test_tests_that_cannot_judge_leave_the_wheel_unproven(project_dir, run_tov):
    """A found test suite that passes nothing from source is one line, and the
    build goes on; the last line says the wheel is not proven and how to
    prove it. --no-test runs nothing."""
    write(project_dir, {"pkg/__init__.py": "X = 1\n", "tests/test_x.py": "import not_installed\n"})
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1")
    assert code == 0, out + err
    assert ("warning: the tests import not_installed, which no requirement of theirs provides: "
            "--test-requires not_installed adds it") in out
    lines = out.splitlines()
    assert lines[-3].startswith("warning: the project's tests cannot judge the compiled modules: "
                                "no test passes from the sources (they import not_installed, which the test "
                                "environment does not have (--test-requires not_installed adds it))"), out
    assert lines[-1].startswith("the wheel is not proven by tests: no test passes from the sources"), out
    assert lines[-1].endswith("a command that would prove it: tov bdist --test-command "
                              "'python -m pytest {project}/tests' --test-requires pytest"), out
    # A folder of the project's own that the tree lacks: named so, and the
    # suggestion is a checkout that has it.
    write(project_dir, {"tests/test_x.py": "from testing.support import helper\n"})
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1")
    assert code == 0 and "--test-requires testing" not in out, out + err
    assert "they import testing, which this source tree lacks (a folder of the project's own" in out, out
    assert out.splitlines()[-1].endswith("would prove it: tov bdist --test-command CMD, with a CMD that runs the "
                                         "tests in a checkout of the project that has its testing/"), out
    # A conftest.py that does not load is named as the cause, not pytest's options.
    write(project_dir, {"tests/test_x.py": "import not_installed\n", "tests/conftest.py": "import not_installed\n"})
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1")
    assert code == 0 and "refused" not in out, out + err
    assert out.splitlines()[-3] == (
        "warning: the project's tests cannot judge the compiled modules: the tests cannot start: their conftest.py "
        "imports not_installed, which the test environment does not have (--test-requires not_installed adds it)"), out
    # A test module that fails to load for another cause: its error is said.
    write(project_dir, {"tests/test_x.py": "settings\n", "tests/conftest.py": ""})
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1")
    assert code == 0, out + err
    assert ("no test passes from the sources (1 test module does not load: tests/test_x.py: NameError: name "
            "'settings' is not defined)") in out.splitlines()[-1], out
    # Beside tests that pass, such a module is named with its error too.
    write(project_dir, {"tests/test_ok.py": "".join(f"def test_{i}():\n    pass\n" for i in range(6))})
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1")
    assert code == 0, out + err
    assert ("1 test fails from the sources too: tests/test_x.py (1 test module does not load: tests/test_x.py: "
            "NameError: name 'settings' is not defined)") in out, out
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1", "--no-test", "--no-cache")
    assert code == 0 and "tests" not in out, out + err


def test_the_tests_run_against_the_modules_the_wheel_ships(tmp_path, run_tov):
    """A package pytest's testpaths names (whose modules the tests do not
    name) ships compiled, so it is compiled in the test run too, and judged:
    here the other package loads its module under another name, which a
    compiled module refuses."""
    write(tmp_path, {
        "setup.py": 'from setuptools import setup\n\nsetup(name="duo", version="1.0", packages=["a", "b"])\n',
        # pytest's cache is not the project's, but its options stand.
        "pytest.ini": "[pytest]\ntestpaths = a tests\naddopts = --doctest-modules --cache-clear\n",
        # Doctests of the package's modules run against the modules as shipped.
        "a/__init__.py": 'def one():\n    """\n    >>> one()\n    1\n    """\n    return 1\n',
        "a/core.py": 'X = 1\n\n\ndef kind():\n    """\n    >>> type(kind).__name__\n    \'function\'\n    """\n',
        # pytest's own doctest of a test module (from source both ways), and
        # a package's doctests as load_tests builds them.
        "tests/test_doc.py": '"""\n>>> 2\n2\n"""\nimport doctest\n\n\n'
                             'def load_tests(loader, tests, pattern):\n    return doctest.DocTestSuite("a")\n',
        "b/__init__.py": "import os\n\nimport a\n\n__path__.append(os.path.dirname(a.__file__))\n",
        # Fails the import check compiled: named once, for that, and a source in the test runs.
        "a/src.py": "import inspect\n\n\ndef f():\n    pass\n\n\nTEXT = inspect.getsource(f)\n",
        "tests/test_b.py": "import a.core\nimport b.core\n\n\ndef test_both():\n    assert b.core.X == a.core.X\n",
    })
    code, out, err = run_tov("bdist")
    assert code == 1 and "tests from source: 5 passed, 0 failed" in out, out + err
    # Compiled, a.one's docstring is not run again from the __test__ Cython adds.
    assert "tests compiled: 3 passed, 2 failed" in out, out
    assert "a/ (its doctests, installed)" in out
    assert re.findall(r"^  (\S+)\s+tests\s+(.+)$", err, re.M) == [("a/core.py", "breaks 2 tests: test_both, a.core.kind")], err
    assert [l.split()[:3] for l in re.findall(r"^  a/src\.py\s+(.+)$", err, re.M)] == [["import", "check", "OSError:"]], err


LAYOUT = {"route": "layout", "packages": [["pkg", "pkg"]]}


@pytest.mark.parametrize("options, files, edited", [
    (LAYOUT, {}, "tests/test_x.py"),
    (LAYOUT, {"pytest.ini": "[pytest]\ntestpaths = checks\n"}, "checks/test_x.py"),
    (LAYOUT, {}, "conftest.py"),
    ({**LAYOUT, "test_command": "pytest {project}/suite"}, {}, "suite/test_x.py"),
    ({"route": "wheel", "from_wheel": "pkg-1-py3-none-any.whl"}, {"pkg-1-py3-none-any.whl": "a wheel"},
     "tests/test_x.py"),
    ({"route": "project"}, {"pyproject.toml": "[project]\nname = 'pkg'\n"}, "tests/test_x.py"),
])
def test_changed_tests_make_the_wheel_out_of_date(project_dir, options, files, edited):
    """The tests a build runs judge its wheel: editing them, wherever the
    project keeps them, makes the build out of date, unless --no-test."""
    import tovel.stamp
    write(project_dir, {"pkg/__init__.py": "X = 1\n", edited: "def test_x():\n    pass\n", **files})
    before = [tovel.stamp.fingerprint({**options, "no_test": off}) for off in (False, True)]
    (project_dir / edited).write_text("def test_x():\n    assert False\n")
    after = [tovel.stamp.fingerprint({**options, "no_test": off}) for off in (False, True)]
    assert after[0] != before[0]
    # Without the tests only a project's own tree still counts them.
    assert (after[1] != before[1]) == (options["route"] == "project")


def test_what_the_tests_need_is_kept_between_builds(tmp_path, run_tov):
    """The test requirements and the project's dependencies are installed
    once, into an environment kept in the cache without the project; the
    next build's test environment is a copy of it."""
    write(tmp_path, {"pkg/__init__.py": "def f(x):\n    return x + 1\n",
                     "tests/test_f.py": "import pkg\n\n\ndef test_f():\n    assert pkg.f(1) == 2\n"})
    args = ["bdist", "-n", "pkg", "-v", "1.0", "--cache-dir", tmp_path / "cache", "--test-requires", "pytest"]
    code, out, err = run_tov(*args)
    assert code == 0 and "tests compiled: 1 passed" in out, out + err
    (site,) = (tmp_path / "cache/envs").glob("tests-*/lib/*/site-packages")
    assert (site / "pytest").is_dir() and not (site / "pkg").exists()
    # A .pth file's import line runs at each start (a distribution's own sitecustomize would shadow one here).
    (site / "kept_marker.pth").write_text(f"import os; open({str(tmp_path / 'kept-env-used')!r}, 'w').close()\n")
    with open(tmp_path / "pkg/__init__.py", "a") as f:
        f.write("X = 1\n")
    code, out, err = run_tov(*args)
    assert code == 0 and "tests compiled: 1 passed" in out, out + err
    assert (tmp_path / "kept-env-used").exists()
