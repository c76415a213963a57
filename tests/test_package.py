"""The installed package: extension modules only, with stubs that match them."""
import ast
import importlib
import importlib.metadata
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import zipfile

import pytest

import tovel

PACKAGE = pathlib.Path(tovel.__file__).parent
MODULES = ["tovel", "tovel.compiler", "tovel.builder", "tovel.metagen", "tovel.wheeler",
           "tovel.audit", "tovel.pyproject", "tovel.build_meta", "tovel.pipeline", "tovel.packer",
           "tovel.translator", "tovel.mender", "tovel.tuner", "tovel.checker", "tovel.scanner", "tovel.store", "tovel.wire", "tovel.guard",
           "tovel.layout", "tovel.unpacker", "tovel.twin", "tovel.stamp", "tovel.testenv", "tovel.testbench", "tovel.testrun", "tovel.finder", "tovel.collect", "tovel.needs", "tovel.uses", "tovel.verdict", "tovel.narrow", "tovel.prover", "tovel.writer",
           "tovel.gauge", "tovel.targets", "tovel.options", "tovel.planner", "tovel.profiler", "tovel.stubber", "tovel.stubtypes",
           "tovel.policy", "tovel.probe", "tovel.maker"]


def test_package_holds_no_python_source():
    assert tovel.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    assert sorted(p.name for p in PACKAGE.glob("*.py")) == []
    assert len(list(PACKAGE.glob("*.so")) + list(PACKAGE.glob("*.pyd"))) == len(MODULES)


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_the_module_public_names(name):
    module = importlib.import_module(name)
    stub = PACKAGE / (("__init__" if name == "tovel" else name.rsplit(".", 1)[1]) + ".pyi")
    declared = set()
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)) and getattr(node, "module", "") != "typing":
            declared.update(alias.asname or alias.name for alias in node.names)
    public = {n for n in vars(module) if not n.startswith("__")}
    if name == "tovel":  # submodules bound by the import system
        public -= {m.rsplit(".", 1)[1] for m in MODULES if "." in m}
    assert public == declared


def test_isolated_build_finds_tovel_on_find_links(tmp_path):
    """The back-end recipe: a wheel of tovel on find-links is all an isolated
    python -m build needs to build a project whose back end is tovel.build_meta."""
    # A wheel of the installed tovel, packed from its own RECORD.
    dist = importlib.metadata.distribution("tovel")
    tree = tmp_path / "tree"
    for file in dist.files:
        if file.parts[0].endswith(".dist-info") and file.name in ("INSTALLER", "REQUESTED", "direct_url.json",
                                                                     "RECORD"):
            continue
        if file.parts[0] not in ("tovel", f"tovel-{dist.version}.dist-info"):
            continue  # the console script, __pycache__ outside the package
        (tree / file).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(file.locate(), tree / file)
    links = tmp_path / "links"
    links.mkdir()
    subprocess.run([sys.executable, "-m", "wheel", "pack", tree, "-d", links], check=True, capture_output=True)

    project = tmp_path / "project"
    (project / "hello").mkdir(parents=True)
    (project / "hello" / "__init__.py").write_text("def greet(name):\n    return f'hello {name}'\n")
    (project / "pyproject.toml").write_text(
        '[build-system]\nrequires = ["tovel", "setuptools>=80"]\nbuild-backend = "tovel.build_meta"\n'
        '[project]\nname = "hello"\nversion = "1.0"\n')
    env = dict(os.environ, PIP_FIND_LINKS=str(links))
    done = subprocess.run([sys.executable, "-m", "build", "--wheel", "-o", tmp_path / "out", project],
                          env=env, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    [wheel] = (tmp_path / "out").glob("*.whl")
    assert not wheel.name.endswith("-py3-none-any.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert any(n.startswith("hello/__init__.") and n.endswith(".so") for n in names), names
    assert "hello/__init__.py" not in names


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the GIL comes on only in a free-threaded interpreter")
def test_every_module_leaves_the_gil_off(tmp_path):
    code = ("import importlib, sys\n"
            f"for name in {MODULES!r}:\n"
            "    importlib.import_module(name)\n"
            "    assert not sys._is_gil_enabled(), name\n")
    done = subprocess.run([sys.executable, "-I", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
