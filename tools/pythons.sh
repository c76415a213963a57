#!/usr/bin/env bash
# Prints every CPython >= 3.12 on this machine, one interpreter path a line:
# the python3 names on PATH first (python3, python3.13, python3.13t, ...),
# then the pyenv installations. A candidate counts only if it runs and
# answers: a pyenv shim for a version that is not selected exits with an
# error and is skipped. Interpreters are told apart by version (a trailing
# "t" marks a free-threaded build), the first one found wins, so each
# version gets one virtual environment.
set -uo pipefail

candidates() {
    local dir name
    local IFS=:
    for dir in $PATH; do
        [ -d "$dir" ] || continue
        for name in "$dir"/python3 "$dir"/python3.*; do
            # python3.12-config and the like are not interpreters.
            [[ "${name##*/}" =~ ^python3(\.[0-9]+t?)?$ ]] || continue
            [ -x "$name" ] && [ ! -d "$name" ] && echo "$name"
        done
    done
    for name in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
        [ -x "$name" ] && echo "$name"
    done
}

# One line "<version> <executable>" from an interpreter that runs, or nothing.
probe() {
    timeout 60 "$1" - <<'PY' 2>/dev/null
import sys, sysconfig
if sys.implementation.name == "cpython" and sys.version_info >= (3, 12):
    ft = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(f"{sys.version_info[0]}.{sys.version_info[1]}{ft} {sys.executable}")
PY
}

declare -A seen=()
found=0
while IFS= read -r candidate; do
    answer=$(probe "$candidate") || continue
    [ -n "$answer" ] || continue
    version=${answer%% *}
    [ -n "${seen[$version]:-}" ] && continue
    seen[$version]=1
    # The interpreter's own sys.executable, not the shim that started it: a
    # shim may pick another version in another directory.
    echo "${answer#* }"
    found=1
done < <(candidates)

if [ "$found" = 0 ]; then
    echo "no CPython >= 3.12 found on PATH or under ${PYENV_ROOT:-$HOME/.pyenv}/versions" >&2
    exit 1
fi
