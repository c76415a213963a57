#!/usr/bin/env bash
# tools/python314t.sh: prints the path of a free-threaded CPython 3.14
# (python3.14t), building it once from the source release in
# ../shared/cpython (or $TOVEL_CPYTHON_TARBALL) when this machine has none.
#
# The build is kept outside the checkout, in
# ${TOVEL_PY314T_DIR:-${XDG_CACHE_HOME:-~/.cache}/tovel/cpython-3.14.7t},
# so that every clone and every later run on this machine reuses it; a
# fresh machine builds it again (about 15 minutes on two idle cores). It is
# installed into a staging folder and moved into place only when complete,
# so an interrupted build is never reused.
#
# One line on stderr says whether it was reused or how long the build took;
# the one line on stdout is the interpreter. Exit status 77 when it cannot be
# had here (no source release, no compiler), said in one line.
set -euo pipefail
cd "$(dirname "$0")/.."

VERSION=3.14.7
SHA256=d3093da9c4a69d055379effbce84d2552a3b40d4603fa5780498b2b22b0d9883
tarball=${TOVEL_CPYTHON_TARBALL:-../shared/cpython/Python-$VERSION.tar.xz}
prefix=${TOVEL_PY314T_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tovel/cpython-${VERSION}t}
python=$prefix/bin/python3.14t

works() {
    [ -x "$python" ] && "$python" -c 'import sys, sysconfig, ssl, zlib, ctypes
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled() else 1)' 2>/dev/null
}

if works; then
    echo "=== python3.14t: reused $prefix" >&2
    echo "$python"
    exit 0
fi
if [ ! -f "$tarball" ]; then
    echo "=== python3.14t: no source release at $tarball: cannot build it here" >&2
    exit 77
fi
if ! echo "$SHA256  $tarball" | sha256sum -c --quiet - >/dev/null 2>&1; then
    echo "=== python3.14t: $tarball is not the CPython $VERSION release (sha256 differs)" >&2
    exit 77
fi
command -v cc >/dev/null || command -v gcc >/dev/null || {
    echo "=== python3.14t: no C compiler here: cannot build it" >&2; exit 77; }

start=$(date +%s)
work=$(mktemp -d)
staging=$prefix.partial
trap 'rm -rf "$work" "$staging"' EXIT
log=$work/build.log
echo "=== python3.14t: building CPython $VERSION (free-threaded) into $prefix (log: $log)" >&2
mkdir -p "$(dirname "$prefix")"
rm -rf "$staging"
if ! {
    tar -xf "$tarball" -C "$work" &&
    cd "$work/Python-$VERSION" &&
    ./configure --disable-gil --prefix="$prefix" --without-ensurepip &&
    make -j"$(nproc)" &&
    make install DESTDIR="$staging"
} >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    trap 'rm -rf "$staging"' EXIT
    echo "=== python3.14t: the build failed (log: $log)" >&2
    exit 77
fi
rm -rf "$prefix"
mv "$staging$prefix" "$prefix"
if ! works; then
    echo "=== python3.14t: the interpreter built but does not run free-threaded with ssl, zlib and ctypes" >&2
    exit 77
fi
echo "=== python3.14t: built in $(( $(date +%s) - start )) s" >&2
echo "$python"
