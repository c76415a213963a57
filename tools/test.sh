#!/usr/bin/env bash
# tools/test.sh [--all]: the test suite on every CPython >= 3.12 found
# (tools/pythons.sh), each in its own virtual environment .venv/<version> with
# the project and its test extra installed, and on CPython 3.14 and 3.15 in a
# Debian unstable tree (tools/chroot314.sh), and on the free-threaded CPython
# 3.14t that tools/python314t.sh builds once from the source release and
# keeps outside the checkout. The first interpreter runs the whole suite; the
# others run the tests whose outcome depends on the interpreter (EVERYWHERE
# below), unless --all (make test-all) asks for the whole suite on each.
# Every interpreter is tried; the run fails if any of them failed, and says
# which, with each one's time and the total. Where 3.14, 3.15 or 3.14t cannot
# run (not root, no registry, no source release), one line says why and the
# run goes on; with CI=true that is a failure, so that CI never
# leaves one out unnoticed.
set -euo pipefail
cd "$(dirname "$0")/.."

# What compiled code does and how wheels are tagged depends on the
# interpreter: its behaviour beside the source's, the mends and caches of the
# C, threads, stubs from its syntax trees, tags and audits, and whole builds
# of a compiled wheel. The rest (options, caches, stores, the proof's logic,
# the benchmarks) is the same C++ on every interpreter, and runs on the first.
EVERYWHERE=(tests/test_faithful.py tests/test_mender.py tests/test_threads.py tests/test_compiler.py
            tests/test_stubber.py tests/test_metagen.py tests/test_wheeler.py tests/test_cli.py
            tests/test_audit.py tests/test_properties.py
            tests/test_bdist.py::test_installed_wheel_imports_compiled_modules
            tests/test_bdist.py::test_wheel_is_tagged_for_what_was_built
            tests/test_bdist.py::test_python_adds_a_free_threaded_wheel_to_the_limited_api_one)
all=
case ${1:-} in
    --all) all=1 ;;
    "") ;;
    *) echo "usage: tools/test.sh [--all]" >&2; exit 2 ;;
esac
some_tests() { if [ -n "$all" ]; then echo tests; else echo "${EVERYWHERE[@]}"; fi; }

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
run_start=$(date +%s)

failed=()
passed=()
# The oldest Cython release the requirement allows (its floor, such as
# Cython>=3.3 -> 3.3.0): the interpreters of this machine after the first
# run with it, the first with the newest, so that both ends of the range
# the mender and the tuner know are tested.
oldest_cython=$(sed -n 's/.*"Cython>=\([0-9][0-9.]*\)[,"].*/\1/p' pyproject.toml | head -n 1)
case $oldest_cython in *.*.*) ;; ?*) oldest_cython=$oldest_cython.0 ;; esac

# suite PYTHON NAME CYTHON TESTS...: the TESTS in PYTHON's environment (with
# that Cython release, if not empty), its time kept.
suite() {
    local python=$1 name=$2 cython=$3 start status=0 venv_python
    shift 3
    start=$(date +%s)
    echo "=== $name ($python)"
    if ! venv_python=$(tools/venv.sh "$python" '[test]'); then
        echo "=== $name: installing the project failed"
        failed+=("$name (install)")
        return
    fi
    if [ -n "$cython" ]; then
        if "$venv_python" -m pip install -q --disable-pip-version-check "Cython==$cython" >&2; then
            name="$name, Cython $cython"
            echo "=== $name"
        else
            echo "=== $name: Cython $cython could not be installed"
            failed+=("$name (Cython $cython)")
            return
        fi
    fi
    "$venv_python" -m pytest --durations=10 "$@" || status=$?
    local took="$(( $(date +%s) - start )) s"
    if [ "$status" = 0 ]; then
        passed+=("$name in $took")
    elif [ "$status" = 5 ]; then
        # pytest's "no tests collected" is not a pass.
        echo "=== $name: no tests collected"
        failed+=("$name (no tests)")
    else
        echo "=== $name: pytest exited with status $status"
        failed+=("$name (tests, $took)")
    fi
}
python_name() { "$1" -c 'import platform; print("CPython", platform.python_version())'; }

# Two lanes, each keeping about one core busy (the machines here have two):
# this one runs the whole suite on the first interpreter; the other runs,
# one after another, CPython 3.14 and 3.15 in their Debian tree, the
# machine's other interpreters and the free-threaded 3.14t (built, or found
# built, from the start). The other lane runs in a process group of its own
# (set -m), ended with everything in it when this script ends early; its
# output and outcomes are kept and shown after this lane's.
lane_dir=$(mktemp -d)
set -m
(
    tools/python314t.sh </dev/null >"$lane_dir/314t.out" 2>"$lane_dir/314t.err" &
    t_build=$!
    for version in 3.14 3.15; do
        status=0
        # shellcheck disable=SC2046
        tools/chroot314.sh --python "$version" $(some_tests) </dev/null >"$lane_dir/$version.log" 2>&1 || status=$?
        echo "$status" >"$lane_dir/$version.status"
    done
    failed=()
    passed=()
    for python in $(tail -n +2 <<<"$pythons"); do
        # shellcheck disable=SC2046
        suite "$python" "$(python_name "$python")" "$oldest_cython" $(some_tests) </dev/null
    done
    name="CPython 3.14t (free-threaded)"
    status=0
    wait "$t_build" || status=$?
    cat "$lane_dir/314t.err"
    if [ "$status" = 0 ]; then
        # shellcheck disable=SC2046
        suite "$(cat "$lane_dir/314t.out")" "$name" "" $(some_tests) </dev/null
    else
        case ${CI:-} in
            ""|false|0) ;;
            *) failed+=("$name (could not be built, and CI=$CI)") ;;
        esac
    fi
    [ ${#passed[@]} = 0 ] || printf '%s\n' "${passed[@]}" >"$lane_dir/passed"
    [ ${#failed[@]} = 0 ] || printf '%s\n' "${failed[@]}" >"$lane_dir/failed"
) >"$lane_dir/host.log" 2>&1 &
lane=$!
set +m
lane_done=
end_lane() {
    [ -n "$lane_done" ] || { kill -TERM -- "-$lane" 2>/dev/null; wait "$lane" 2>/dev/null; }
    rm -rf "$lane_dir"
}
trap end_lane EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

first=$(head -n 1 <<<"$pythons")
if [ -n "$first" ]; then
    suite "$first" "$(python_name "$first")" "" tests
else
    failed+=("no CPython >= 3.12 found on this machine")
fi

wait "$lane" || true
lane_done=1
for version in 3.14 3.15; do
    tree="CPython $version (Debian unstable tree)"
    cat "$lane_dir/$version.log" 2>/dev/null || true
    status=$(cat "$lane_dir/$version.status" 2>/dev/null || echo 78)
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
done
cat "$lane_dir/host.log"
[ ! -f "$lane_dir/passed" ] || mapfile -t -O "${#passed[@]}" passed <"$lane_dir/passed"
[ ! -f "$lane_dir/failed" ] || mapfile -t -O "${#failed[@]}" failed <"$lane_dir/failed"

echo
echo "make test${all:+-all} took $(( $(date +%s) - run_start )) s in all"
if [ ${#failed[@]} -gt 0 ]; then
    echo "make test${all:+-all} failed on:"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
if [ -n "$all" ]; then
    echo "make test-all passed on:"
else
    echo "make test passed on (the whole suite on the first, the interpreter's tests on the others):"
fi
printf '  %s\n' "${passed[@]}"
