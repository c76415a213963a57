"""The compiled twin of a project's own wheel: a hatchling project, unchanged,
built by tov bdist in its folder, by tov bdist --from-wheel from its pure
wheel, and by python -m build through tovel.build_meta wrapping hatchling.
Each compiled wheel must hold what the back end's pure wheel holds, file
modes included, with only the tags changed and each .py an extension module
with its type stub beside it. A setuptools project whose back end builds a C
extension of its own beside its Python modules keeps that extension as built."""

import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest
from packaging.tags import sys_tags
from wheel.wheelfile import WheelFile

from test_bdist import other_python

BIN = Path(sys.executable).parent
# The default build's tags: the limited API of 3.12, or on a free-threaded
# interpreter before 3.15 (which has none) its own.
DEFAULT_TAGS = ("cp312-abi3" if not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
                else "cp{0}{1}-cp{0}{1}{2}".format(*sys.version_info[:2], sys.abiflags))
pytest.importorskip("hatchling")

PYPROJECT = """
    [build-system]
    requires = ["hatchling"]
    build-backend = "hatchling.build"

    [project]
    name = "alpha-beta"
    dynamic = ["version"]
    description = "Two packages, a plug-in group and data"
    requires-python = ">=3.12"

    [project.scripts]
    alpha = "alpha.cli:main"

    [project.entry-points."alpha.plugins"]
    shout = "beta.loud:Shout"

    [tool.hatch.version]
    path = "src/alpha/__about__.py"

    [tool.hatch.build.targets.wheel]
    packages = ["src/alpha", "src/beta"]

    [tool.hatch.build.targets.wheel.shared-scripts]
    "bin/alpha-strip" = "alpha-strip"
    """

# The console script finds its plug-in through the entry-point group and
# reads a data file of its package; alpha is typed, and its module named
# beyond ASCII is what a script of the .data folder (executable) runs.
FILES = {
    "pyproject.toml": PYPROJECT,
    "src/alpha/__init__.py": "",
    "src/alpha/__about__.py": '__version__ = "2.5.1"\n',
    "src/alpha/__main__.py": "from alpha.cli import main\n\nmain()\n",
    "src/alpha/cli.py": """
        from importlib.metadata import entry_points
        from importlib.resources import files

        from alpha.café import strip


        def main():
            (plugin,) = entry_points(group="alpha.plugins", name="shout")
            word = strip(files("alpha").joinpath("data", "word.txt").read_text())
            print(plugin.load()().say(word), "compiled" if __file__.endswith(".so") else "source")
        """,
    "src/alpha/data/word.txt": "hello\n",
    "src/alpha/py.typed": "",
    "src/alpha/café.py": """
        from typing import overload

        SIDES: int = 4


        def strip(word: str, chars: str | None = None) -> str:
            return word.strip(chars)


        class Box:
            def __init__(self, size: int) -> None:
                self.size = size

            @property
            def double(self) -> int:
                return self.size * 2


        @overload
        def scale(x: int) -> int: ...
        @overload
        def scale(x: str) -> str: ...
        def scale(x):
            return x * 2
        """,
    "bin/alpha-strip": "#!python\nimport sys\nfrom alpha.café import strip\nprint(strip(sys.argv[1]))\n",
    "src/beta/__init__.py": "",
    "src/beta/loud.py": """
        class Shout:
            def say(self, word):
                return word.upper() + "!"
        """,
    "tests/test_alpha.py": "def test_nothing():\n    pass\n",
}


def write(root, files):
    for rel, text in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")
        if rel.startswith("bin/"):
            path.chmod(0o755)
    return root


def snapshot(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*")
            if p.is_file() and p.relative_to(root).parts[0] not in ("build", "dist")}


def run(argv, cwd):
    proc = subprocess.run([str(a) for a in argv], cwd=cwd, capture_output=True, text=True,
                          timeout=900)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


def members(wheel):
    """Each member's bytes and its mode as the archive records it."""
    with zipfile.ZipFile(wheel) as z:
        return {i.filename: (z.read(i), i.external_attr >> 16) for i in z.infolist()}


def assert_twin(pure, compiled):
    """Only the tags, RECORD and .py -> extension module and stub differ; __main__.py stays source."""
    a, b = members(pure), members(compiled)
    info = next(n.split("/")[0] for n in a if n.endswith(".dist-info/METADATA"))
    assert a["alpha_beta-2.5.1.data/scripts/alpha-strip"][1] & 0o111
    expected = {}
    for name, data in a.items():
        if name in (f"{info}/WHEEL", f"{info}/RECORD"):
            continue
        if name.endswith(".py") and not name.endswith("__main__.py"):
            [so] = [n for n in b if n.startswith(name[:-3] + ".") and n.endswith(
                tuple(EXTENSION_SUFFIXES))]
            expected[so] = b[so]
            # The stub has the module's signatures, none of its code.
            stub = name[:-3] + ".pyi"
            expected[stub] = b[stub]
            assert b"return" not in b[stub][0] and b"entry_points(" not in b[stub][0], stub
        else:
            expected[name] = data
    assert {n: d for n, d in b.items() if n not in (f"{info}/WHEEL", f"{info}/RECORD")} \
        == expected
    assert b[f"{info}/WHEEL"][1] == a[f"{info}/WHEEL"][1]
    wheel = b[f"{info}/WHEEL"][0].decode()
    assert "Root-Is-Purelib: false" in wheel and f"Tag: {DEFAULT_TAGS}-" in wheel, wheel
    assert compiled.name.startswith(f"alpha_beta-2.5.1-{DEFAULT_TAGS}-")


@pytest.fixture(scope="module")
def twins(tmp_path_factory):
    """The project, the back end's pure wheel, and the compiled one of tov bdist."""
    root = write(tmp_path_factory.mktemp("twin") / "alpha-beta", FILES)
    before = snapshot(root)
    out = run([BIN / "tov", "bdist", "--no-isolation"], cwd=root)
    # Its tests/ folder is found and run, from the sources and compiled.
    assert "tests compiled: 1 passed, 0 failed" in out, out
    # The project is untouched: only build/ and dist/ were written.
    assert snapshot(root) == before
    [pure] = (root / "build" / "pure").glob("*.whl")
    [compiled] = (root / "dist").glob("*.whl")
    return root, pure, compiled


def test_bdist_of_a_project_is_the_twin_of_its_wheel(twins, make_venv, tmp_path):
    root, pure, compiled = twins
    assert pure.name == "alpha_beta-2.5.1-py3-none-any.whl"
    assert_twin(pure, compiled)
    python = make_venv(compiled)
    assert run([python.parent / "alpha"], cwd=tmp_path) == "HELLO! compiled\n"
    assert run([python, "-m", "alpha"], cwd=tmp_path) == "HELLO! compiled\n"
    # The script keeps its execute bit, and runs the compiled module named beyond ASCII.
    assert run([python.parent / "alpha-strip", " hi "], cwd=tmp_path) == "hi\n"


# A user's code, checked by mypy against the installed typed package: the
# compiled wheel's stubs give it the very verdicts of the pure wheel's sources.
USER = """
    from alpha.café import SIDES, Box, scale, strip
    reveal_type(scale("a"))
    reveal_type(Box(2).size + Box(2).double + SIDES)
    reveal_type(strip)
    strip(3)
    """


def test_a_type_checker_sees_the_compiled_wheel_as_the_pure_one(twins, make_venv, tmp_path):
    pytest.importorskip("mypy")
    _, pure, compiled = twins
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent(USER))
    verdicts = []
    for wheel in (pure, compiled):
        proc = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", make_venv(wheel),
                               "--no-incremental", "--no-error-summary", user.name], cwd=tmp_path,
                              capture_output=True, text=True, timeout=300)
        verdicts.append((proc.returncode, proc.stdout))
    assert verdicts[0] == verdicts[1], verdicts
    rc, out = verdicts[1]
    assert rc == 1 and out.count("[arg-type]") == 1 and "has no attribute" not in out, out
    revealed = [t.replace("builtins.", "") for t in re.findall(r'Revealed type is "(.*)"', out)]
    assert revealed == ["str", "int", "def (word: str, chars: str | None =) -> str"], out


def test_from_wheel_gives_the_same_twin(twins, tmp_path):
    _, pure, compiled = twins
    given = shutil.copy(pure, tmp_path / pure.name)
    work = tmp_path / "elsewhere"
    work.mkdir()
    # -q: the line naming the wheel; (no tests here) that it is not proven
    # by tests goes to standard error.
    proc = subprocess.run([BIN / "tov", "bdist", "--from-wheel", given, "-q"], cwd=work,
                          capture_output=True, text=True)
    [again] = (work / "dist").glob("*.whl")
    [made] = proc.stdout.splitlines()
    assert proc.returncode == 0 and made.startswith(f"dist/{again.name}: "), proc.stdout
    assert proc.stderr.startswith("the wheel is not proven by tests: no tests found"), proc.stderr
    assert again.name == compiled.name
    assert_twin(pure, again)
    # A compiled wheel is no wheel to compile: one line, exit status 1.
    proc = subprocess.run([BIN / "tov", "bdist", "--from-wheel", compiled], cwd=work,
                          capture_output=True, text=True)
    lines = proc.stderr.strip().splitlines()
    assert proc.returncode == 1 and len(lines) == 1, proc.stderr
    assert lines[0].startswith(f"{compiled.name} is a wheel tov compiled already (tagged {DEFAULT_TAGS}-")


def test_build_through_tovel_wrapping_hatchling(twins, tmp_path):
    root, pure, _ = twins
    project = tmp_path / "wrapped"
    shutil.copytree(root, project, ignore=shutil.ignore_patterns("build", "dist"))
    toml = project / "pyproject.toml"
    toml.write_text(toml.read_text().replace(
        'requires = ["hatchling"]\nbuild-backend = "hatchling.build"',
        'requires = ["tovel", "hatchling"]\nbuild-backend = "tovel.build_meta"')
        + '\n[tool.tovel]\nbackend = "hatchling.build"\n')
    out = tmp_path / "out"
    # build makes the sdist, then the wheel from the unpacked sdist
    run([sys.executable, "-m", "build", "--no-isolation", "-o", out], cwd=project)
    [sdist] = out.glob("*.tar.gz")
    with tarfile.open(sdist) as t:
        names = set(t.getnames())
    assert {"alpha_beta-2.5.1/src/alpha/data/word.txt", "alpha_beta-2.5.1/src/beta/loud.py",
            "alpha_beta-2.5.1/PKG-INFO"} <= names
    [compiled] = out.glob("*.whl")
    assert_twin(pure, compiled)


# A setuptools project whose back end builds a C extension module of its own
# (the stable ABI from 3.10) beside two Python modules; a third module, its
# pure fallback, has the extension's name, which an import loads instead.
OWN = {
    "setup.py": """
        from setuptools import Extension, setup

        setup(name="twin", version="1.0", packages=["twin"],
              ext_modules=[Extension("twin._fast", ["twin/_fast.c"], py_limited_api=True,
                                     define_macros=[("Py_LIMITED_API", "0x030A0000")])],
              options={"bdist_wheel": {"py_limited_api": "cp310"}})
        """,
    "twin/_fast.c": """
        #include <Python.h>
        static PyObject *twice(PyObject *self, PyObject *x) { return PyNumber_Add(x, x); }
        static PyMethodDef methods[] = {{"twice", twice, METH_O, NULL}, {NULL, NULL, 0, NULL}};
        static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_fast", NULL, -1, methods};
        PyMODINIT_FUNC PyInit__fast(void) { return PyModule_Create(&def); }
        """,
    "twin/_fast.py": "def twice(x):\n    return 'the source ran'\n",
    "twin/__init__.py": "from twin._fast import twice\nfrom twin.shape import area\n\n\ndef quad(x):\n"
                        "    return twice(twice(x))\n",
    "twin/shape.py": "def area(w, h):\n    return w * h\n",
    "tests/test_quad.py": "import twin\n\n\ndef test_quad():\n    assert twin.quad(3) == 12 and twin.area(2, 3) == 6\n",
}


def retagged(pure, folder, tags, renames=None):
    """The pure wheel under other tags, its members renamed as `renames` says."""
    path = folder / f"twin-1.0-{tags}.whl"
    with zipfile.ZipFile(pure) as z, WheelFile(path, "w") as out:
        for name in z.namelist():
            if not name.endswith(".dist-info/RECORD"):
                out.writestr((renames or {}).get(name, name), z.read(name))
    return path


@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")), reason="no stable ABI to build here")
def test_a_project_s_own_extension_module_is_carried(tmp_path, make_venv):
    root = write(tmp_path / "twin", OWN)
    out = run([BIN / "tov", "bdist", "--no-isolation"], cwd=root)
    assert "the project's own extension module carried as built: twin/_fast.abi3.so (the stable ABI from " \
           "cp310)\n" in out, out
    assert "kept as source twin/_fast.py: the project's own extension module of that name is what an " \
           "import loads\n" in out, out
    assert "tests compiled: 1 passed, 0 failed" in out, out
    [pure] = (root / "build" / "pure").glob("*.whl")
    [compiled] = (root / "dist").glob("*.whl")
    assert pure.name.startswith("twin-1.0-cp310-abi3-") and compiled.name.startswith("twin-1.0-cp312-abi3-")
    assert "2 modules compiled, 1 extension module of the project's own carried, 1 kept as source" in out, out
    a, b = members(pure), members(compiled)
    # Theirs and the source it shadows byte for byte; the two others compiled.
    for name in ("twin/_fast.abi3.so", "twin/_fast.py"):
        assert b[name] == a[name]
    for name in ("twin/__init__", "twin/shape"):
        assert name + ".py" not in b and f"{name}.pyi" in b and f"{name}.abi3.so" in b
    python = make_venv(compiled)
    shown = run([python, "-c", "import twin, twin.shape; print(twin.quad(3), twin.area(2, 3), twin._fast.__file__, "
                               "twin.shape.__file__)"], cwd=tmp_path).split()
    assert shown[:2] == ["12", "6"] and shown[2].endswith("_fast.abi3.so") and shown[3].endswith("shape.abi3.so")

    # A wheel this interpreter cannot install is refused in one line.
    alien = retagged(pure, tmp_path, "cp310-abi3-plan9_x86_64")
    proc = subprocess.run([BIN / "tov", "bdist", "--from-wheel", alien], cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 1 and proc.stderr.count("\n") == 1, proc.stdout + proc.stderr
    assert proc.stderr.startswith(f"{alien.name} is tagged cp310-abi3-plan9_x86_64, which this interpreter ("), \
        proc.stderr
    # An extension module of this interpreter's full API: a wheel for it only.
    here = next(sys_tags())
    full = retagged(pure, tmp_path, f"{here.interpreter}-{here.abi}-{here.platform}",
                    {"twin/_fast.abi3.so": "twin/_fast" + sysconfig.get_config_var("EXT_SUFFIX")})
    work = tmp_path / "full"
    work.mkdir()
    out = run([BIN / "tov", "bdist", "--from-wheel", full, "--no-test"], cwd=work)
    [made] = (work / "dist").glob("*.whl")
    assert made.name.startswith(f"twin-1.0-{here.interpreter}-{here.abi}-"), out
    other = other_python()
    if other:
        proc = subprocess.run([BIN / "tov", "bdist", "--from-wheel", full, "--python", other], cwd=work,
                              capture_output=True, text=True)
        assert proc.returncode == 1 and proc.stderr.count("\n") == 1, proc.stdout + proc.stderr
        assert "only a wheel for that interpreter can be built" in proc.stderr, proc.stderr
