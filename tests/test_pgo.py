"""tov bdist --pgo end to end: the modules compiled instrumented, trained on
the project's tests (pytest from the index as pip is configured), compiled
again with the profile, and the wheel proven as any other."""

import os
import re
import shutil
import textwrap
import zipfile

import pytest

PROJECT = {
    "pyproject.toml": """
        [build-system]
        requires = ["setuptools>=80"]
        build-backend = "setuptools.build_meta"

        [project]
        name = "hot"
        version = "1.0"

        [project.optional-dependencies]
        test = ["pytest"]
        """,
    "src/hot/__init__.py": "from .steps import collatz\n",
    "src/hot/steps.py": """
        def collatz(n):
            steps = 0
            while n != 1:
                n = n // 2 if n % 2 == 0 else 3 * n + 1
                steps += 1
            return steps
        """,
    "tests/test_steps.py": """
        from hot import collatz


        def test_collatz():
            assert collatz(27) == 111
        """,
}


def write(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip())


@pytest.mark.skipif(shutil.which("gcc") is None, reason="--pgo needs gcc")
def test_pgo_compiles_with_the_profile_of_the_tests(project_dir, run_tov):
    write(project_dir, PROJECT)
    code, out, err = run_tov("bdist", "--pgo", "--verbose")
    assert code == 0, out + err
    assert re.search(r"^profiling: the tests ran instrumented: 1 passed, 0 failed .*; 2 of 2 modules profiled", out, re.M), out
    # gcc wrote a profile for each module's object, and the final compile of
    # each module read it: the compile lines that build/tov.log keeps are
    # those of the final compile.
    profiles = sorted(p.name.rpartition("#")[2] for p in (project_dir / "build/profile/default").glob("*.gcda"))
    assert profiles == ["__init__.gcda", "steps.gcda"]
    compiles = [line for line in (project_dir / "build/tov.log").read_text().splitlines()
                if line.startswith("$ ") and " -c " in line]
    assert len(compiles) == 2 and all(f"-fprofile-use={project_dir}/build/profile/default" in c
                                      and "-fprofile-generate" not in c for c in compiles), compiles
    # The wheel is proven by the tests, and holds no instrumented module.
    assert "the compiled modules pass every test that passes from the sources" in out
    assert out.count("the project's tests: ") == 1, out
    # --verbose says where the time went, each stage under its own name.
    took = dict(re.findall(r"(profiling|C compile) (\d+\.\d) s", out))
    assert len(took) == 2 and all(float(s) > 0 for s in took.values()), out
    (wheel,) = (project_dir / "dist").glob("*.whl")
    with zipfile.ZipFile(wheel) as whl:
        modules = [whl.read(n) for n in whl.namelist() if n.endswith(".so")]
    assert len(modules) == 2 and not any(b"__gcov" in m or b"build/profile" in m for m in modules)


@pytest.mark.parametrize("args, env, says", [
    (["--pgo"], {}, "--pgo: no tests to train the modules on"),
    (["--pgo-command", "python -c 'raise SystemExit(3)'"], {}, "--pgo-command failed in training: exit status 3"),
    (["--pgo"], {"CC": "true"}, "--pgo needs gcc; the C compiler true"),
])
def test_pgo_that_cannot_train_fails_in_one_line(project_dir, run_tov, args, env, says):
    write(project_dir, {k: v for k, v in PROJECT.items() if not k.startswith("tests/")})
    code, out, err = run_tov("bdist", "--no-isolation", *args, env=dict(os.environ, **env))
    assert code == 1, out + err
    assert err.startswith(says) and err.count("\n") == 1, err
    assert not (project_dir / "dist").exists() or not list((project_dir / "dist").iterdir())
