"""The compile that `tov compile -n NAME` runs, written as a plain script: the
baseline of the compile benchmark.

    python plain_compile.py NAME

It builds the same extension definitions from the same sources (limited API
3.12, as the tool's default; free-threaded modules of the full API on a
free-threaded interpreter before 3.15, which has none), has Cython translate
them with the tool's options, and runs setuptools' build_ext into the same
folders, with setuptools' own command classes.
"""

import shutil
import sys
import sysconfig
from pathlib import Path

from Cython.Build import cythonize
from setuptools import Extension, setup

name = sys.argv[1]
shutil.rmtree("build", ignore_errors=True)
limited = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)

modules = []
for folder, _dirs, files in Path(name).walk():
    for file in (folder / f for f in files):
        if file.suffix == ".py":
            modules.append(
                Extension(
                    file.with_suffix("").as_posix().replace("/", "."),
                    [str(file)],
                    py_limited_api=True,
                    define_macros=[("Py_LIMITED_API", "0x030C0000")],
                )
                if limited
                else Extension(file.with_suffix("").as_posix().replace("/", "."), [str(file)])
            )

setup(
    ext_modules=cythonize(
        modules, build_dir="build/src", language_level="3",
        compiler_directives={} if limited else {"freethreading_compatible": True}
    ),
    script_args=["build_ext", "-b", "build/egg", "-t", "build/tmp"],
)
