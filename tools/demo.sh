#!/usr/bin/env bash
# make demo: installs tovel into the environment of the first interpreter
# found, then in examples/vemo builds a wheel of the compiled modules with
# `tov bdist` (its quiet form: one line), installs it into a fresh virtual
# environment and uses it there; then runs the older command `tov compile`,
# its output kept in a log, and imports the compiled modules from build/egg
# in a fresh interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."

pythons=$(tools/pythons.sh)
python=${pythons%%$'\n'*}
echo "=== installing tovel for $python"
venv_python=$(tools/venv.sh "$python")
tov=$(dirname "$venv_python")/tov

cd examples/vemo
# The package folder alone, as a user of -n has it: a pyproject.toml that
# tov compile wrote in an earlier demo would make it a project.
rm -f pyproject.toml
echo
echo "=== tov bdist (in examples/vemo): a wheel of the compiled modules only"
# A wheel left from an earlier demo would make the listing below prove nothing.
rm -rf dist
"$tov" bdist -n vemo -q

echo
echo "=== ls dist"
ls dist
wheel=$(ls dist/vemo-1.2.4-cp*-abi3-*.whl)
echo
echo "=== contents of $wheel (no .py module in it)"
"$venv_python" -m zipfile -l "$wheel"

echo
echo "=== the wheel installed into a fresh virtual environment"
demo_venv=$(mktemp -d "${TMPDIR:-/tmp}/vemo-demo.XXXXXX")
trap 'rm -rf "$demo_venv"' EXIT
"$venv_python" -m venv --without-pip "$demo_venv"
"$venv_python" -m pip --python "$demo_venv/bin/python" install -q --no-deps --no-index \
    --disable-pip-version-check "$wheel"
# Started from an empty folder with -I: only the installed wheel can be imported.
(cd "$demo_venv" && "$demo_venv/bin/python" -I - <<'PY'
import os, sys
import vemo, vemo.text, vemo.shapes, vemo.geometry.matrix
from vemo import Matrix, Polygon, TextStats

for module in (vemo, vemo.text, vemo.shapes, vemo.geometry.matrix):
    if not module.__file__.startswith(sys.prefix) or module.__file__.endswith(".py"):
        sys.exit(f"{module.__name__} does not come from the installed wheel: {module.__file__}")
    print(f"{module.__name__:22} {os.path.relpath(module.__file__, sys.prefix)}")
print("vemo.compiled() ->", vemo.compiled())
print(TextStats("One fish, two fish. Red fish, blue fish!"))
print("square area", Polygon(((0, 0), (2, 0), (2, 2), (0, 2))).area())
print("det", Matrix([[3, 1], [2, 4]]).determinant())
PY
)

echo
echo "=== tov compile (in examples/vemo)"
compile_log=$(mktemp "${TMPDIR:-/tmp}/vemo-compile.XXXXXX")
"$tov" compile >"$compile_log" 2>&1
echo "compiled; its $(wc -l <"$compile_log") lines of output are in $compile_log"

echo
echo "=== the compiled modules in build/egg"
(cd build/egg && find . -name '*.so' -o -name '*.pyd' | sort)

echo
echo "=== using them from a fresh interpreter, with only build/egg on the path"
# -I keeps the working directory, PYTHONPATH and user site off sys.path; the
# run starts inside build/egg, so the sources in examples/vemo cannot be
# imported by accident.
(cd build/egg && "$venv_python" -I - <<'PY'
import importlib.util, os, sys
sys.path.insert(0, os.getcwd())

import vemo
from vemo import Kind, Matrix, Polygon, TextStats
import vemo.geometry.matrix, vemo.shapes, vemo.text

for module in (vemo, vemo.text, vemo.shapes, vemo.geometry.matrix):
    if module.__file__.endswith(".py"):
        sys.exit(f"{module.__name__} was imported from source: {module.__file__}")
    print(f"{module.__name__:22} {os.path.relpath(module.__file__)}")
print("vemo.compiled() ->", vemo.compiled())
# The default exclusion pattern "unit" left vemo/units.py out of the compile.
print("vemo.units compiled?", importlib.util.find_spec("vemo.units") is not None)

stats = TextStats("The cat sat on the mat. The dog did not! Did the cat see it?")
print(stats)
print("most common:", stats.most_common(2))

triangle = Polygon(((0, 0), (4, 0), (4, 3)))
print(triangle.kind, "area", triangle.area(), "perimeter", triangle.perimeter())
print(Kind.of(5), "regular area", round(Polygon.regular(5).area(), 6))

m = Matrix([[2, 1], [1, 1]])
print("det", m.determinant(), "inverse", m.inverse(), "m @ inverse", m @ m.inverse())
assert m @ m.inverse() == Matrix.identity(2)
PY
)
