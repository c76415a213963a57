#!/usr/bin/env bash
# tools/venv.sh PYTHON [EXTRAS]
# Makes (or reuses) the virtual environment .venv/<version> for PYTHON and
# installs the project into it with pip's normal build isolation, so the
# build requirements come from the package index. The project is installed
# anew on every call, so that changed C++ sources are rebuilt. Progress goes
# to stderr; the one line on stdout is the environment's python.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
extras=${2:-}
key='import sys, sysconfig; print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))'
version=$("$python" -c "$key")
venv=.venv/$version

# A venv whose interpreter no longer runs (its base was removed or upgraded)
# is made anew.
if [ -x "$venv/bin/python" ] && [ "$("$venv/bin/python" -c "$key" 2>/dev/null)" = "$version" ]; then
    echo "reusing $venv" >&2
else
    echo "creating $venv with $python" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
fi

echo "installing the project into $venv (this compiles the C++ modules)" >&2
# Uninstall first: pip may keep an installed copy of the same version.
"$venv/bin/python" -m pip uninstall -q -y --disable-pip-version-check tovel >/dev/null 2>&1 || true
"$venv/bin/python" -m pip install -q --disable-pip-version-check ".$extras" >&2
echo "$PWD/$venv/bin/python"
