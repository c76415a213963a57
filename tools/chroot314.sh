#!/usr/bin/env bash
# tools/chroot314.sh [--python 3.15]: the test suite on CPython 3.14 (or
# 3.15), for machines that have neither: Debian unstable ("sid") ships both.
# make test runs it for each, one after the other, beside the interpreters of
# the machine (tools/test.sh).
#
# A Debian unstable tree is made once with debootstrap, with the packages in
# PACKAGES below, and reused while it is current: made by this version of the
# script (TREE_FORMAT) from the same suite and mirror, less than MAX_AGE_DAYS
# old; a package added to PACKAGES is installed into the existing tree. The
# tree lives in ${XDG_CACHE_HOME:-~/.cache}/tovel/sid-3.14/root, outside the
# repository, so that every clone of it reuses the tree (TOVEL_CHROOT_DIR
# moves it). Each run copies the working tree of the repository (the files git
# does not ignore) to /work/tovel in the tree, installs the project with its
# test extra into the tree's own virtual environment of that interpreter,
# /opt/venv (3.14) or /opt/venv3.15 (again whenever the sources of the C++
# modules changed; pip's download cache stays in the tree) and runs
# `python -m pytest tests` there (or pytest with the arguments given, such
# as `tools/chroot314.sh --python 3.15 tests/test_faithful.py -k with`).
#
# `tools/chroot314.sh --bench [ARGS...]` runs `python bench/bench.py` instead
# (or `python ARGS...`, e.g. `bench/runtime.py --rounds 3`), in the same
# environment, with BENCH_PARTS=runtime unless BENCH_PARTS says otherwise and
# the BENCH_* variables of the caller: the runtime speed on 3.14
# (BENCHMARKS.md). Its report goes to standard output.
#
# Everything that mounts (debootstrap, apt-get, the tests) runs in a mount and
# PID namespace of its own: the mounts of /proc and /dev in the tree are not
# seen outside it, and they go away with the namespace, as does any process
# left running (a server that a test started), also after a failure, Ctrl-C or
# a kill. The mounts are also undone explicitly, and on exit the script checks
# with findmnt that none is left under the tree's folder.
#
# The Debian mirror is the one this machine's apt already uses (the first
# `deb` source whose path ends in /debian, in /etc/apt/sources.list,
# sources.list.d/*.list or the deb822 `URIs:` of sources.list.d/*.sources);
# TOVEL_DEBIAN_MIRROR overrides it. The package index is the one pip is set
# up for: it is asked through pip. Neither host is written down here.
#
# Exit status: that of pytest (or of the benchmark) when it ran; 77 when
# CPython 3.14 cannot run on this machine (not root, no registry, debootstrap
# failed), said in one line on stdout; 78 when the tree could not be completed
# or the project could not be installed into it.
set -euo pipefail

# The Debian packages of the tree: the interpreter and what the test suite
# needs from the system.
PACKAGES=(
    python3.14 python3.14-venv python3.14-dev
    python3.15 python3.15-venv python3.15-dev
    # setuptools compiles with the interpreter's CC, x86_64-linux-gnu-gcc.
    gcc g++
    # scikit-build-core uses these instead of fetching them from the index.
    cmake ninja-build
    # Certificates for pip where the host has no bundle to lend.
    ca-certificates
    # The shared compiler cache is tested against a Redis server on loopback.
    redis-server
    # The smoke run of the benchmarks profiles a build under strace; the
    # runtime part counts instructions under callgrind.
    strace valgrind
)

# Raise when the way the tree is made changes: every tree is then made anew.
TREE_FORMAT=1
SUITE=sid
MIRROR=
MAX_AGE_DAYS=30
DIR=${TOVEL_CHROOT_DIR:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tovel/sid-3.14}
ROOT=$DIR/root
LOG=$DIR/tree.log
SELF=$(readlink -f "$0")
REPO=$(cd "$(dirname "$SELF")/.." && pwd)

# The interpreter the suite runs on: python3.14, or the one --python names.
PYV=3.14
if [ "${1:-}" = --python ]; then
    case ${2:-} in
        3.14|3.15) PYV=$2; shift 2 ;;
        *) echo "tools/chroot314.sh: --python takes 3.14 or 3.15" >&2; exit 2 ;;
    esac
fi

skip() {
    echo "=== CPython $PYV skipped: $*"
    exit 77
}

# The URIs of the binary package sources apt reads, one a line, in apt's order.
apt_uris() {
    local file line
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        # deb [options] URI suite components
        while read -r line; do
            line=${line%%#*}
            [[ $line =~ ^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+) ]] \
                && echo "${BASH_REMATCH[2]}"
        done <"$file"
    done
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        # deb822 stanzas, separated by blank lines: Types, URIs, Enabled.
        awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no") print uris
                                types = ""; uris = ""; enabled = "" }
             /^[ \t]*$/ { flush(); next }
             /^#/ { next }
             tolower($1) == "types:" { $1 = ""; types = $0 " " }
             tolower($1) == "uris:" { $1 = ""; uris = $0 }
             tolower($1) == "enabled:" { enabled = tolower($2) }
             END { flush() }' "$file" | tr ' ' '\n' | sed '/^$/d'
    done
}

# The Debian archive among apt's sources: an http(s) URI whose path ends in /debian.
debian_mirror() {
    apt_uris | sed 's:/*$::' | grep -m 1 -E '^https?://[^/]+(/.*)?/debian$' || true
}

# ---- inside the namespace ----------------------------------------------------

# Runs a bash script in the tree ROOT, with /proc and /dev mounted and a clean
# environment; its exit status is the script's.
in_tree() {
    local root=$1 script=$2 status=0
    trap 'umount -R "$root/dev" 2>/dev/null; umount "$root/proc" 2>/dev/null' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    mount -t proc proc "$root/proc"
    # Recursive, for /dev/shm (multiprocessing's semaphores) and /dev/pts.
    mount --rbind /dev "$root/dev"
    local env=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
               LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1)
    local name
    for name in TERM CI PYTHONUNBUFFERED http_proxy https_proxy no_proxy \
                HTTP_PROXY HTTPS_PROXY NO_PROXY; do
        [ -n "${!name:-}" ] && env+=("$name=${!name}")
    done
    chroot "$root" /usr/bin/env -i "${env[@]}" /bin/bash -c "$script" bash "${@:3}" || status=$?
    exit "$status"
}

if [ "${1:-}" = --in-namespace ]; then
    shift
    case $1 in
        debootstrap)
            exec debootstrap --variant=minbase --components=main \
                --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
                "$SUITE" "$2" "$MIRROR" ;;
        tree) shift; in_tree "$@" ;;
    esac
    exit 2
fi

# ---- outside -----------------------------------------------------------------

# Runs this script again in a new mount and PID namespace (private mounts; its
# processes are killed when it ends or when unshare is killed).
in_namespace() {
    unshare --mount --propagation private --pid --fork --kill-child \
        bash "$SELF" --in-namespace "$@"
}

# Mounts under the tree's folder after a run: there should be none. Any found
# (from a run of an older version of this script) is detached.
check_mounts() {
    local target
    while IFS= read -r target; do
        case $target in
            "$DIR"/*)
                echo "=== a mount was left in the Debian tree; detaching it: $target" >&2
                umount -R -l "$target" 2>/dev/null || true ;;
        esac
    done < <(findmnt -rn -o TARGET 2>/dev/null | sort -r)
}

# Removes a folder of the cache; refuses while something is mounted in it,
# since rm would reach into a bind mount.
remove() {
    [ -e "$1" ] || return 0
    check_mounts
    if findmnt -rn -o TARGET | grep -q -F -- "$1/"; then
        echo "=== $1 still has mounts under it; not removing it" >&2
        exit 78
    fi
    rm -rf --one-file-system -- "$1"
}

stamp_value() {
    sed -n "s/^$1=//p" "$2/etc/tovel/stamp" 2>/dev/null || true
}

base_stamp() {
    echo "format $TREE_FORMAT, $SUITE from $MIRROR for $(dpkg --print-architecture 2>/dev/null || uname -m)"
}

# Installs host packages with apt-get (updating the package lists when the
# install fails, as it does on a machine that never ran apt-get update).
host_install() {
    command -v apt-get >/dev/null || return 1
    local install=(apt-get install -y -q -o DPkg::Lock::Timeout=300 "$@")
    DEBIAN_FRONTEND=noninteractive "${install[@]}" >>"$LOG" 2>&1 && return 0
    apt-get update -q >>"$LOG" 2>&1 && DEBIAN_FRONTEND=noninteractive "${install[@]}" >>"$LOG" 2>&1
}

reachable() {
    if command -v curl >/dev/null; then
        curl -fsS -o /dev/null --head --max-time 20 "$1" 2>/dev/null
    elif command -v wget >/dev/null; then
        wget -q --spider --timeout=20 --tries=1 "$1" 2>/dev/null
    fi
}

# apt-get install in the tree ROOT: 77 when the mirror cannot be read, 78 when
# a package cannot be installed.
tree_install() {
    local root=$1; shift
    in_namespace tree "$root" "
        apt-get update -q --error-on=any || exit 77
        apt-get install -y -q --no-install-recommends $* || exit 78
        apt-get clean" >>"$LOG" 2>&1
}

make_tree() {
    local new=$DIR/root.new status=0
    : >"$LOG"
    reachable "$MIRROR/dists/$SUITE/InRelease" || skip "the Debian mirror $MIRROR cannot be reached"
    if ! command -v debootstrap >/dev/null || [ ! -f /usr/share/keyrings/debian-archive-keyring.gpg ]; then
        host_install debootstrap debian-archive-keyring \
            || skip "debootstrap is missing and apt-get could not install it (log: $LOG)"
    fi
    echo "=== making the Debian unstable tree for CPython 3.14 and 3.15 in $ROOT (about 2 minutes, once; log: $LOG)"
    remove "$new"
    mkdir -p "$new"
    in_namespace debootstrap "$new" >>"$LOG" 2>&1 || skip "debootstrap could not make the tree from $MIRROR (log: $LOG)"

    # A mirror that serves a frozen snapshot has an expired Release file;
    # its signatures are still checked.
    cat >"$new/etc/apt/apt.conf.d/90tovel" <<'EOF'
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
EOF
    cat >"$new/etc/dpkg/dpkg.cfg.d/90tovel" <<'EOF'
path-exclude /usr/share/doc/*
path-exclude /usr/share/man/*
path-exclude /usr/share/info/*
path-exclude /usr/share/locale/*
EOF
    # No service starts while its package is installed (redis-server's would).
    printf '#!/bin/sh\nexit 101\n' >"$new/usr/sbin/policy-rc.d"
    chmod 755 "$new/usr/sbin/policy-rc.d"
    cp -L /etc/resolv.conf "$new/etc/resolv.conf" 2>/dev/null || true

    tree_install "$new" "${PACKAGES[@]}" || status=$?
    case $status in
        0) ;;
        77) skip "apt-get in the new tree cannot read $MIRROR (log: $LOG)" ;;
        *) echo "=== installing ${PACKAGES[*]} into the Debian tree failed (log: $LOG)"
           tail -n 5 "$LOG"; exit 78 ;;
    esac
    mkdir -p "$new/etc/tovel"
    printf 'base=%s\nmade=%s\npackages=%s\n' "$(base_stamp)" "$(date +%s)" "${PACKAGES[*]}" \
        >"$new/etc/tovel/stamp"
    remove "$ROOT"
    mv "$new" "$ROOT"
}

# Makes the tree, or brings a current one up to PACKAGES.
ensure_tree() {
    local made age
    made=$(stamp_value made "$ROOT")
    age=$(( ($(date +%s) - ${made:-0}) / 86400 ))
    if [ ! -x "$ROOT/usr/bin/python3.14" ] || [ "$(stamp_value base "$ROOT")" != "$(base_stamp)" ] \
            || [ "$age" -ge "$MAX_AGE_DAYS" ]; then
        make_tree
        return
    fi
    local have missing=() package
    have=" $(stamp_value packages "$ROOT") "
    for package in "${PACKAGES[@]}"; do
        [[ $have == *" $package "* ]] || missing+=("$package")
    done
    [ ${#missing[@]} = 0 ] && return
    echo "=== installing ${missing[*]} into the Debian tree $ROOT (log: $LOG)"
    : >"$LOG"
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
    local status=0
    tree_install "$ROOT" "${missing[@]}" || status=$?
    case $status in
        0) sed -i "s/^packages=.*/packages=${PACKAGES[*]}/" "$ROOT/etc/tovel/stamp" ;;
        77) skip "apt-get in the tree cannot read $MIRROR (log: $LOG)" ;;
        *) echo "=== installing ${missing[*]} into the Debian tree failed (log: $LOG)"
           tail -n 5 "$LOG"; exit 78 ;;
    esac
}

# Copies the files of the working tree that git does not ignore (changes not
# yet committed included) to /work/tovel in the tree.
copy_repo() {
    local to=$ROOT/work/tovel
    remove "$to"
    mkdir -p "$to"
    if git -C "$REPO" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$REPO" && git ls-files -z -c -o --exclude-standard \
            | while IFS= read -r -d '' file; do [ ! -e "$file" ] || printf '%s\0' "$file"; done \
            | tar -c --null -T -) | tar -x -C "$to"
    else
        tar -c -C "$REPO" --exclude=./.git --exclude=./.venv --exclude=./build . | tar -x -C "$to"
    fi
}

# What runs in the tree: the package index must answer (77), the project
# installs into /opt/venv (78), then the command: $1 is the line that says
# where, the rest are `env` arguments (NAME=value words, then the command).
VENV=/opt/venv
[ "$PYV" = 3.14 ] || VENV=/opt/venv$PYV
IN_TREE='
set -u
cd /work/tovel
echo "$1"
venv='"$VENV"'
fresh=0
if [ -x $venv/bin/python ] && $venv/bin/python -c "import sys; assert sys.version_info[:2] == ('"${PYV/./, }"')" 2>/dev/null; then
    echo "reusing $venv"
else
    echo "creating $venv with $(command -v python'"$PYV"')"
    rm -rf $venv
    python'"$PYV"' -m venv $venv || exit 78
    fresh=1
fi
# The package index answers pip (whichever index pip is set up for).
$venv/bin/python -m pip index versions --retries 1 --timeout 20 nanobind >/dev/null 2>&1 || exit 77
[ $fresh = 0 ] || $venv/bin/python -m pip install -q --upgrade pip || exit 78
# The sources the tool is built from, hashed (as tools/venv.sh does): the
# C++ is compiled once per change, not once per run, and only the files that
# changed (the build folder stays beside the environment; the copy of the
# repository keeps the times of the files).
stamp=$(find src stubs CMakeLists.txt pyproject.toml -type f -print0 | sort -z | xargs -0 sha256sum |
        sha256sum | cut -d" " -f1)
if [ "$(cat $venv/.tovel-stamp 2>/dev/null)" = "$stamp" ] && $venv/bin/python -c "import tovel" 2>/dev/null; then
    echo "tovel in $venv is built from these sources already"
else
    echo "installing the project into $venv (this compiles the C++ modules)"
    rm -f $venv/.tovel-stamp
    $venv/bin/python -m pip uninstall -q -y tovel >/dev/null 2>&1
    requires=$($venv/bin/python -c "import tomllib; print(chr(10).join(tomllib.load(open(\"pyproject.toml\", \"rb\"))[\"build-system\"][\"requires\"]))") || exit 78
    mapfile -t requires <<<"$requires"
    $venv/bin/python -m pip install -q "${requires[@]}" cmake ninja || exit 78
    $venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$venv/build ".[test]" || exit 78
    echo "$stamp" >$venv/.tovel-stamp
fi
$venv/bin/python -VV
shift
exec env "$@"
'

# Runs a command in the tree's environment: the arguments of `env`.
run_in_tree() {
    # pip in the tree trusts what pip trusts here; the host's other pip
    # settings name local folders that the tree does not have.
    mkdir -p "$ROOT/etc/tovel"
    cp -L "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$ROOT/etc/tovel/ca.crt" 2>/dev/null \
        || cp -L "$ROOT/etc/ssl/certs/ca-certificates.crt" "$ROOT/etc/tovel/ca.crt"
    printf '[global]\ncert = /etc/tovel/ca.crt\n' >"$ROOT/etc/pip.conf"
    cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf" 2>/dev/null || true
    copy_repo
    local status=0
    in_namespace tree "$ROOT" "$IN_TREE" "=== CPython $PYV in the Debian unstable tree $ROOT" "$@" || status=$?
    case $status in
        77) skip "the package index cannot be reached from the Debian tree" ;;
        78) echo "=== CPython $PYV: installing the project into the Debian tree failed" ;;
    esac
    return "$status"
}

# The benchmark's settings from the caller's BENCH_* variables, the runtime
# part unless BENCH_PARTS names another; ARGS replace bench/bench.py.
run_bench() {
    local vars=(BENCH_PARTS=runtime) name
    for name in $(compgen -e); do
        [[ $name == BENCH_* ]] && vars+=("$name=${!name}")
    done
    [ $# -gt 0 ] || set -- bench/bench.py
    run_in_tree "${vars[@]}" "$VENV/bin/python" "$@"
}

[ "$(uname -s)" = Linux ] || skip "the Debian tree needs Linux"
MIRROR=${TOVEL_DEBIAN_MIRROR:-$(debian_mirror)}
[ -n "$MIRROR" ] || skip "no Debian mirror among this machine's apt sources (set TOVEL_DEBIAN_MIRROR)"
[ "$(id -u)" = 0 ] || skip "making and entering the Debian tree needs root (this is $(id -un))"
for tool in unshare chroot mount umount findmnt flock tar; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done
unshare --mount --pid --fork true 2>/dev/null || skip "no mount and PID namespace can be made here (unshare failed)"
mkdir -p "$DIR"
exec 9>"$DIR/lock"
if ! flock -n 9; then
    echo "=== waiting for another run that uses $DIR" >&2
    flock 9
fi
trap check_mounts EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
ensure_tree
status=0
if [ "${1:-}" = --bench ]; then
    shift
    run_bench "$@" || status=$?
else
    run_in_tree "$VENV/bin/python" -m pytest --durations=10 "${@:-tests}" || status=$?
fi
exit "$status"
