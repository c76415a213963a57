"""The tuner's rewrites of Cython's C: where they go and where they do not."""

import re
import subprocess
import sys

import tovel.tuner


def test_code_run_once_keeps_cythons_operations(tmp_path):
    # The module's exec function runs the module body and its class bodies
    # once: its attribute loads, method calls and global reads stay Cython's
    # (a fast path inlined there only costs compile time); the methods'
    # sites are tuned.
    (tmp_path / "m.py").write_text(
        "import os\n"
        "class A:\n"
        "    SEP = os.sep\n"
        "    NAME = os.path.basename('a/b')\n"
        "    def f(self):\n"
        "        return self.x + os.sep + self.g()\n"
        "Y = A.SEP.upper()\n")
    subprocess.run([sys.executable, "-m", "cython", "-3", "-X", "annotation_typing=False", "m.py", "-o", "m.c"],
                   cwd=tmp_path, check=True, capture_output=True)
    c = str(tovel.tuner.tune_c((tmp_path / "m.c").read_text()))
    once = re.search(r"\nstatic CYTHON_SMALL_CODE int __pyx_pymod_exec_m\(.*?\n\}\n", c, re.S).group(0)
    rest = c.replace(once, "")
    for site in ("__tovel_GetAttr(", "__tovel_CallMethod(", "__Pyx_GetModuleGlobalName("):
        assert site in rest and site not in once, site
    assert "__Pyx_GetModuleGlobalNameUncached(" in once and "__Pyx_PyObject_GetAttrStr (" in once
    # Tuning again changes nothing.
    assert str(tovel.tuner.tune_c(c)) == c
