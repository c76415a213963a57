#!/usr/bin/env bash
# make test: the test suite on every CPython >= 3.12 found (tools/pythons.sh),
# each in its own virtual environment .venv/<version> with the project and
# its test extra installed, and on CPython 3.14 in a Debian unstable tree
# (tools/chroot314.sh). Every interpreter is tried; the run fails if any of
# them failed, and says which. Where 3.14 cannot run (not root, no registry),
# one line says why and the run goes on; with CI=true that is a failure, so
# that CI never leaves 3.14 out unnoticed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian packages that the tests need on this machine: installed with apt-get
# when missing (as root), otherwise one line says what is missing.
HOST_PACKAGES=(redis-server)
missing=()
for package in "${HOST_PACKAGES[@]}"; do
    command -v "$package" >/dev/null || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "=== ${missing[*]} missing, and installing it needs root and apt-get: the tests that use it cannot run"
    else
        apt_log=$(mktemp)
        apt_install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "${missing[@]}" >>"$apt_log" 2>&1; }
        # A machine that never ran apt-get update has no package lists.
        if apt_install || { apt-get update -q >>"$apt_log" 2>&1 && apt_install; }; then
            echo "=== installed ${missing[*]} with apt-get"
            rm -f "$apt_log"
        else
            echo "=== ${missing[*]} missing, and apt-get could not install it (log: $apt_log): the tests that use it cannot run"
        fi
    fi
fi

pythons=$(tools/pythons.sh)

# CPython 3.14 runs in its tree beside the interpreters of this machine: each
# suite keeps about one core busy, and the machines here have two. It runs in
# a process group of its own (set -m), ended with everything in it when this
# script ends early; its output is kept and shown after theirs.
lane_log=$(mktemp)
set -m
tools/chroot314.sh </dev/null >"$lane_log" 2>&1 &
lane=$!
set +m
lane_done=
end_lane() {
    [ -n "$lane_done" ] || { kill -TERM -- "-$lane" 2>/dev/null; wait "$lane" 2>/dev/null; }
    rm -f "$lane_log"
}
trap end_lane EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

failed=()
passed=()
for python in $pythons; do
    echo "=== $python"
    if ! venv_python=$(tools/venv.sh "$python" '[test]'); then
        echo "=== $python: installing the project failed"
        failed+=("$python (install)")
        continue
    fi
    status=0
    "$venv_python" -m pytest tests || status=$?
    if [ "$status" = 0 ]; then
        passed+=("$python")
    elif [ "$status" = 5 ]; then
        # pytest's "no tests collected" is not a pass.
        echo "=== $python: no tests collected"
        failed+=("$python (no tests)")
    else
        echo "=== $python: pytest exited with status $status"
        failed+=("$python (tests)")
    fi
done

tree="CPython 3.14 (Debian unstable tree)"
status=0
wait "$lane" || status=$?
lane_done=1
cat "$lane_log"
case $status in
    0) passed+=("$tree") ;;
    77) case ${CI:-} in
            ""|false|0) ;;
            *) failed+=("$tree (could not run, and CI=$CI)") ;;
        esac ;;
    78) failed+=("$tree (install)") ;;
    5) echo "=== $tree: no tests collected"
       failed+=("$tree (no tests)") ;;
    *) echo "=== $tree: pytest exited with status $status"
       failed+=("$tree (tests)") ;;
esac

echo
if [ ${#failed[@]} -gt 0 ]; then
    echo "make test failed on:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "make test passed on:"
printf '  %s\n' "${passed[@]}"
