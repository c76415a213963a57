"""The installed package: extension modules only, with stubs that match them."""
import ast
import importlib
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import tovel

PACKAGE = pathlib.Path(tovel.__file__).parent
MODULES = ["tovel", "tovel.compiler", "tovel.builder", "tovel.metagen", "tovel.wheeler",
           "tovel.audit", "tovel.pyproject", "tovel.build_meta", "tovel.pipeline", "tovel.packer",
           "tovel.translator", "tovel.checker", "tovel.scanner", "tovel.store", "tovel.layout", "tovel.twin",
           "tovel.stamp", "tovel.testbench", "tovel.prover", "tovel.gauge", "tovel.targets", "tovel.options", "tovel.planner"]


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


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the GIL comes on only in a free-threaded interpreter")
def test_every_module_leaves_the_gil_off(tmp_path):
    code = ("import importlib, sys\n"
            f"for name in {MODULES!r}:\n"
            "    importlib.import_module(name)\n"
            "    assert not sys._is_gil_enabled(), name\n")
    done = subprocess.run([sys.executable, "-I", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
