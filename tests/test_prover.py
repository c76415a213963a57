"""tov bdist --test-command end to end: the project's own tests run from the
sources and compiled in a fresh virtual environment (pytest comes from the
index as pip is configured), and the modules whose compiled form breaks them
are named, or with --keep-failing shipped as source."""

import re
import textwrap
import zipfile

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
        """,
}


def test_tests_name_the_modules_that_break_them(project_dir, run_tov):
    for name, text in PACKAGE.items():
        path = project_dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip())
    args = ["bdist", "-n", "pkg", "-v", "1.0", "--test-command", "pytest {project}/tests",
            "--test-requires", "pytest", "--test-timeout", "120"]

    code, out, err = run_tov(*args)
    assert code == 1, out + err
    assert "tests from source: 6 passed, 0 failed" in out
    named = dict(re.findall(r"^  (pkg/\S+)\s+tests\s+(.+)$", err, re.M))
    assert named == {
        "pkg/calls.py": "crashes the test process (signal 6) in test_wording",
        "pkg/frames.py": "breaks 1 test: test_whoami",
    }, err
    assert "--keep '^pkg/calls\\.py$|^pkg/frames\\.py$'" in err
    assert not list((project_dir / "dist").glob("*"))

    code, out, err = run_tov(*args, "--keep-failing")
    assert code == 0, out + err
    # The modules kept as source mend every test, run once more to confirm.
    assert "tests with 2 modules kept as source: 6 passed, 0 failed" in out
    assert "kept as source: pkg/frames.py (tests: breaks 1 test: test_whoami)" in out
    (wheel,) = (project_dir / "dist").glob("*.whl")
    names = zipfile.ZipFile(wheel).namelist()
    shipped = {n.rpartition("/")[2].split(".")[0]: n.rpartition(".")[2]
               for n in names if n.startswith("pkg/")}
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


def test_tests_that_import_the_sources_cannot_judge(project_dir, run_tov):
    """A test folder with __init__.py makes pytest put the project's folder on
    sys.path: the tests would import the sources, never the compiled module,
    and pass whatever it does. That is said, not taken for a pass."""
    (project_dir / "pkg").mkdir()
    (project_dir / "pkg" / "__init__.py").write_text("def f():\n    return type(f).__name__\n")
    (project_dir / "tests").mkdir()
    (project_dir / "tests" / "__init__.py").write_text("")
    (project_dir / "tests" / "test_f.py").write_text(
        "import pkg\n\ndef test_f():\n    assert pkg.f() == 'function'\n")
    code, out, err = run_tov("bdist", "-n", "pkg", "-v", "1", "--test-command", "pytest {project}/tests",
                             "--test-requires", "pytest")
    assert code == 1 and not (project_dir / "dist").exists(), out + err
    assert err.startswith(f"the tests imported {project_dir / 'pkg' / '__init__.py'} instead of the installed "
                          "package"), err
    assert len(err.splitlines()) == 1
