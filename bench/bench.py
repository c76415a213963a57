"""Benchmarks of tovel: start-up, the source walk, the compile overhead of
`tov compile`, and the builds of `tov bdist` (clean, no-op, one module
changed, a warm cache from another folder) against `cythonize -i -j N`,
and the runtime speed of compiled modules against their source
(bench/runtime.py).

Run with the python of an environment where tovel is installed (`make bench`
does that). Each comparison runs the tool and its baseline side by side in one
run, interleaved (A B B A ...) so that load on the machine hits both alike;
medians and ratios are printed at the end as a Markdown table.

BENCH_QUICK=1 runs every part with tiny sizes and one or two repetitions, to
check that the script works; its figures mean nothing. BENCH_SMOKE=1 is
smaller still and downloads nothing (the generated package of small modules
stands in for the real ones): the test suite runs it, in a minute or two.
"""

import contextlib
import gc
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tomllib
from pathlib import Path

import runtime  # bench/runtime.py, beside this script

SMOKE = os.environ.get("BENCH_SMOKE", "") not in ("", "0")
QUICK = SMOKE or os.environ.get("BENCH_QUICK", "") not in ("", "0")
HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PYTHON = sys.executable
BIN = Path(PYTHON).parent
TOV = str(BIN / ("tov.exe" if os.name == "nt" else "tov"))
CYTHONIZE = str(BIN / "cythonize")
CCACHE = str(BIN / "ccache")
CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

# Repetitions and sizes. The full run takes about 30 minutes on 2 quiet cores
# (twice that with other work on them): nearly all of it is the C compiler,
# about 7 s of CPU for each generated module.
STARTUP_REPS = 2 if SMOKE else 5 if QUICK else 30
COMPILE_SIZE = 1 if SMOKE else 2 if QUICK else 10  # tov compile against the plain script
COMPILE_ROUNDS = 1 if QUICK else 2
FIXED_REPS = 1 if SMOKE else 3 if QUICK else 7  # compiles of a package without modules
WALK_FILES = 300 if SMOKE else 2000 if QUICK else 20000
WALK_REPS = 1 if SMOKE else 2 if QUICK else 11

# The builds of tov bdist: generated packages of these many modules, and the
# real package. Per project: rounds of the clean builds (tov, cythonize), of
# the clean build with -j 1, and repetitions of each incremental build.
GENERATED = (2,) if QUICK else (20, 50)
# BENCH_GENERATED=20 builds only that size; BENCH_PARTS=builds runs only the
# builds, sizes and annotation_typing parts, BENCH_PARTS=runtime only the runtime
# speed of compiled modules (bench/runtime.py); BENCH_ROUNDS=1 caps the clean rounds.
if os.environ.get("BENCH_GENERATED"):
    GENERATED = tuple(int(n) for n in os.environ["BENCH_GENERATED"].split(","))
PARTS = os.environ.get("BENCH_PARTS", "all")
# The smoke run builds no real package: nothing is downloaded.
REAL = None if SMOKE else "xmltodict"
CLEAN_ROUNDS = {2: 1, 12: 2, 20: 2, 50: 1, REAL: 1 if QUICK else 2}
SERIAL_ROUNDS = {2: 1, 20: 1, 50: 0, REAL: 1}
INCREMENTAL_REPS = {2: 1, 20: 3, 50: 3, REAL: 1 if QUICK else 3}
# A size given in BENCH_GENERATED that the tables above do not name.
for table, value in ((CLEAN_ROUNDS, 1), (SERIAL_ROUNDS, 0), (INCREMENTAL_REPS, 3)):
    for n in GENERATED:
        table.setdefault(n, value)
if os.environ.get("BENCH_ROUNDS"):
    CLEAN_ROUNDS = {k: min(v, int(os.environ["BENCH_ROUNDS"])) for k, v in CLEAN_ROUNDS.items()}
    SERIAL_ROUNDS = {k: min(v, int(os.environ["BENCH_ROUNDS"])) for k, v in SERIAL_ROUNDS.items()}
# The real package whose functions are timed compiled with annotation_typing
# False and True; only this module of it is compiled, the rest ships as source.
ANNOTATED = "packaging"
ANNOTATED_MODULE = "packaging/version.py"
TIMEIT_RUNS = 1 if QUICK else 5
# The Cython directive and the limited API that tov bdist uses by default,
# given to cythonize: the macro goes in CPPFLAGS, which distutils adds to the
# interpreter's flags (CFLAGS would replace them, -O3 included).
# A free-threaded interpreter before 3.15 has no limited API: the tool builds
# free-threaded modules of the full API there, and so does the baseline.
LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)
LIMITED_MACRO = "-DPy_LIMITED_API=0x030C0000" if LIMITED else ""
CY_ARGS = ["-i", "-j", str(CPUS), "-3", "-X", "annotation_typing=False"] + (
    [] if LIMITED else ["-X", "freethreading_compatible=True"])

# What the tool must load in any case: its floor.
FLOOR_IMPORTS = (
    "import argparse, setuptools, setuptools.command.build, "
    "setuptools.command.build_py, setuptools.command.build_ext, Cython.Build, "
    "setuptools.command.bdist_wheel, tomli_w"
)


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def median(values):
    return statistics.median(values)


def alternate(count, first, second):
    """Runs first() and second() count times each, in the order A B B A A B ...,
    and returns their two lists of durations."""
    a, b = [], []
    for i in range(count):
        if i % 2 == 0:
            a.append(first())
            b.append(second())
        else:
            b.append(second())
            a.append(first())
    return a, b


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed_run(argv, cwd, logfile=None, env=None):
    """(wall time, CPU time) of one child process and its children; its output
    goes to logfile (or nowhere). A failing run stops the benchmark, with the
    end of its output."""
    out = open(logfile, "w") if logfile else subprocess.DEVNULL
    try:
        cpu = cpu_of_children()
        start = time.perf_counter()
        rc = subprocess.run(argv, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, env=env).returncode
        elapsed = time.perf_counter() - start
        cpu = cpu_of_children() - cpu
    finally:
        if logfile:
            out.close()
    if rc != 0:
        tail = Path(logfile).read_text(errors="replace")[-3000:] if logfile else ""
        sys.exit(f"benchmark run failed (exit {rc}): {' '.join(argv)} in {cwd}\n{tail}")
    return elapsed, cpu


# ---------------------------------------------------------------- start-up


def self_times(argv, cwd):
    """Module name -> self import time in microseconds (python -X importtime)."""
    proc = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    times = {}
    for line in proc.stderr.splitlines():
        m = re.match(r"import time:\s+(\d+) \|\s+\d+ \|\s*(\S+)", line)
        if m:
            times[m.group(2)] = int(m.group(1))
    return times


def bench_startup(work):
    work = work / "startup"
    work.mkdir()
    floor = work / "floor.py"
    floor.write_text(FLOOR_IMPORTS + "\n")
    # Both print to /dev/null; the tool's script is run through its shebang as a
    # user runs it, the floor through the same interpreter.
    tool = lambda: timed_run([TOV, "--help"], work)[0]  # noqa: E731
    base = lambda: timed_run([PYTHON, str(floor)], work)[0]  # noqa: E731
    tool(), base()  # warm the file cache
    log(f"start-up: {STARTUP_REPS} runs each of `tov --help` and the floor")
    a, b = alternate(STARTUP_REPS, tool, base)

    # Where the difference comes from: modules the tool loads beyond the floor.
    t = self_times([PYTHON, "-X", "importtime", TOV, "--help"], work)
    f = self_times([PYTHON, "-X", "importtime", str(floor)], work)
    extra = sorted(((us, name) for name, us in t.items() if name not in f), reverse=True)
    return {
        "tool": median(a),
        "floor": median(b),
        "extra_import_ms": sum(us for us, _ in extra) / 1000,
        "extra_modules": [(name, us / 1000) for us, name in extra[:8]],
    }


# ---------------------------------------------------------------- tov compile

MODULE = '''\
"""Generated module {i} of the benchmark package."""
import math


def scale(values, factor={i}):
    return [v * factor for v in values]


def norm(values):
    total = 0.0
    for v in values:
        total += v * v
    return math.sqrt(total)


def words(text):
    counts = {{}}
    for word in text.lower().split():
        counts[word] = counts.get(word, 0) + 1
    return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))


class Accumulator{i}:
    def __init__(self, start=0):
        self.total = start
        self.seen = []

    def add(self, value):
        self.total += value
        self.seen.append(value)
        return self

    def mean(self):
        return self.total / len(self.seen) if self.seen else 0.0

    def __repr__(self):
        return f"Accumulator{i}(total={{self.total}}, n={{len(self.seen)}})"
'''


def make_project(root, modules):
    """A project with the package pkg of `modules` small modules (__init__.py
    one of them), with the readme and requirements the tool reads."""
    pkg = root / "pkg"
    pkg.mkdir(parents=True)
    project_files(root, "pkg")
    (pkg / "__init__.py").write_text(MODULE.format(i=0))
    for i in range(1, modules):
        (pkg / f"mod{i:03}.py").write_text(MODULE.format(i=i))
    return root


def compiled(root):
    return sorted(p.name for p in built_modules(root / "build" / "egg"))


def compiler_words():
    """The compiler command setuptools runs: $CC, else the interpreter's own."""
    import shlex
    import sysconfig

    return shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")


def compiler_lines(log):
    """The compiler and linker command lines that setuptools printed, sorted;
    a limited-API module's name as tov compile gives it (`.abi3.so`, where
    setuptools takes CPython 3.15's platform-specific abi3 suffix)."""
    first = compiler_words()[0]
    return sorted(re.sub(r"\.abi3-[^./\s]+\.so\b", ".abi3.so", line)
                  for line in Path(log).read_text().splitlines() if line.split(" ", 1)[0] == first)


def bench_compile(work):
    """tov compile (serial, setuptools' build_ext) against the same compile
    written as a plain script."""
    plain = str(HERE / "plain_compile.py")
    results = {}
    # The fixed cost: a package without modules, where the two do everything
    # but run the compiler.
    empty = make_project(work / "compile0", 0)
    (empty / "pkg" / "__init__.py").unlink()
    (empty / "pkg" / "data.txt").write_text("data\n")
    log(f"compile: no modules, {FIXED_REPS} runs each")
    a, b = alternate(
        FIXED_REPS,
        lambda: timed_run([TOV, "compile", "-n", "pkg"], empty, empty / "tool.log")[0],
        lambda: timed_run([PYTHON, plain, "pkg"], empty, empty / "plain.log")[0],
    )
    results["fixed"] = {"tool": median(a), "plain": median(b)}
    n = COMPILE_SIZE
    root = make_project(work / f"compile{n}", n)
    times = {"tool": [], "plain": []}
    cpus = {"tool": [], "plain": []}
    lines = {}
    variants = {"tool": [TOV, "compile", "-n", "pkg"], "plain": [PYTHON, plain, "pkg"]}
    log(f"compile: {n} modules, {COMPILE_ROUNDS} rounds")
    for r in range(COMPILE_ROUNDS):
        # The tool goes first in the first round: it writes the pyproject.toml
        # that setuptools then reads in every later run.
        for name in ("tool", "plain") if r % 2 == 0 else ("plain", "tool"):
            wall, cpu = timed_run(variants[name], root, root / f"{name}.log")
            times[name].append(wall)
            cpus[name].append(cpu)
            log(f"  {name:8} {wall:7.2f} s wall, {cpu:7.2f} s CPU")
            lines[name] = compiler_lines(root / f"{name}.log")
            if len(compiled(root)) != n:
                sys.exit(f"{name}: a compile of {n} modules left {compiled(root)} in build/egg")
    results["modules"] = {name: median(t) for name, t in times.items()}
    results["modules"].update({name + " cpu": median(t) for name, t in cpus.items()})
    results["same commands"] = lines["tool"] == lines["plain"]
    results["commands"] = len(lines["tool"])
    return results


# ---------------------------------------------------------------- walk

KINDS = (
    "m{k}.py",
    "m{k}.cp312-win_amd64.pyd",
    "m{k}.abi3.so",
    "test_m{k}.py",
    "d{k}.txt",
    "m{k}.c",
    "m{k}.pyi",
    "d{k}.npy",
    "m{k}.pyd",
    "README{k}",
)


def make_tree(root, total):
    """A tree of `total` files: a wide part (5 folders in each, 4 levels below
    the top; on the third level test, unit, hidden and cache folders) and a
    chain of 60 nested folders, with every kind of file the walk tells apart.
    Returns the number of folders that hold files and the files' paths."""
    folders = [root]
    level = [root]
    for depth in range(4):
        nxt = []
        for parent in level:
            for j in range(5):
                special = ("tests", ".hidden", "__pycache__", f"sub{j}", f"unit{j}")
                nxt.append(parent / (special[j] if depth == 2 else f"s{j}"))
        folders += nxt
        level = nxt
    deep = root / "deep"
    for d in range(60):
        deep = deep / f"d{d}"
        folders.append(deep)
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    per, extra = divmod(total, len(folders))
    files = [
        os.path.join(folder, KINDS[k % len(KINDS)].format(k=k))
        for i, folder in enumerate(folders)
        for k in range(per + (i < extra))
    ]
    restore(files)
    return len(folders), files


def restore(files):
    """Makes the (empty) files of the list that are missing."""
    for file in files:
        if not os.path.exists(file):
            os.close(os.open(file, os.O_WRONLY | os.O_CREAT, 0o644))


def plain_collect(path, extension="pyd", replacement=False, exclude="a|b|c", abi3=False):
    """The same walk written in plain Python with pathlib."""
    from setuptools import Extension

    from tovel.options import limited_api

    # A free-threaded interpreter before 3.15 has no limited API: full-API definitions.
    abi3 = abi3 if limited_api() else False

    modules = []
    pattern = re.compile(exclude)
    for folder, _dirs, files in Path(path).walk():
        for name in files:
            file = folder / name
            if pattern.search(file.as_posix()):
                print("excluded", file)
                continue
            suffix = file.suffix
            if replacement and (suffix.endswith(".pyd") or suffix.endswith(".so")):
                pieces = name.split(".")
                plain = pieces[0] + "." + pieces[-1]
                if plain != name:
                    os.rename(file, folder / plain)
                continue
            if not suffix.endswith(extension):
                continue
            if extension == "py":
                print("collecting", file)
                dotted = file.with_suffix("").as_posix().replace("/", ".")
                if abi3:
                    modules.append(
                        Extension(
                            dotted,
                            [str(file)],
                            py_limited_api=abi3,
                            define_macros=[("Py_LIMITED_API", "0x030C0000")],
                        )
                    )
                else:
                    modules.append(Extension(dotted, [str(file)]))
            elif extension in ("pyd", "so"):
                os.remove(file)
    print(f"Collected {len(modules)} modules.", exclude)
    return modules


def bench_walk(work):
    import io

    from tovel.builder import collect

    os.chdir(work)
    tree = Path("tree")
    exclude = "test|unit"

    # Made once; the files a walk with "pyd" deletes are made again before
    # each repetition (making 20,000 files anew takes seconds here).
    folders, files = make_tree(tree, WALK_FILES)

    def listing():
        return sorted(p.as_posix() for p in tree.rglob("*"))

    # The two walks do the same: same lines, same definitions, same deletions.
    printed = {}
    for extension in ("py", "pyd"):
        outs, results, left = [], [], []
        for walk in (collect, plain_collect):
            restore(files)
            buf = io.StringIO()
            with contextlib.redirect_stdout(buf):
                mods = walk(tree, extension, False, exclude, True)
            outs.append(buf.getvalue())
            results.append([(m.name, m.sources, m.py_limited_api, m.define_macros) for m in mods])
            left.append(listing())
        if outs[0] != outs[1] or results[0] != results[1] or left[0] != left[1]:
            sys.exit(f"the plain walk differs from collect with extension={extension!r}")
        printed[extension] = outs[0]

    def one(walk, extension):
        def run():
            restore(files)
            gc.collect()
            with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
                start = time.perf_counter()
                walk(tree, extension, False, exclude, True)
                return time.perf_counter() - start

        return run

    results = {}
    for extension in ("py", "pyd"):
        log(f"walk: {WALK_FILES} files, extension={extension!r}, {WALK_REPS} runs each")
        a, b = alternate(WALK_REPS, one(collect, extension), one(plain_collect, extension))
        results[extension] = {"tool": median(a), "plain": median(b)}
    results["excluded"] = printed["py"].count("excluded ")
    results["lines"] = printed["py"].count("\n")
    results["folders"] = folders
    return results


# ---------------------------------------------------------------- builds of tov bdist

TEMPLATE = HERE / "module_template.py"


def generated_module(i):
    """The text of generated module i: the template without its two comment
    lines, numbered (in the smoke run the small module of the compile part)."""
    if SMOKE:
        return MODULE.format(i=i)
    lines = TEMPLATE.read_text(encoding="utf-8").splitlines(keepends=True)
    return "".join(lines[2:]).replace("__N__", str(i))


def project_files(root, package):
    (root / "project").mkdir(parents=True, exist_ok=True)
    (root / "project" / "README.md").write_text(f"# {package}\n\nA benchmark project.\n")
    (root / "project" / "requirements.txt").write_text("\n")
    (root / "project" / "LICENSE").write_text("MIT License\n")


def make_generated(root, modules):
    """A project in tov's layout with the package pkg of `modules` modules of
    about 280 lines each (__init__.py one of them)."""
    pkg = root / "pkg"
    pkg.mkdir(parents=True)
    project_files(root, "pkg")
    (pkg / "__init__.py").write_text(generated_module(0))
    for i in range(1, modules):
        (pkg / f"mod{i:03}.py").write_text(generated_module(i))
    return "pkg", modules


def realworld():
    """realworld/run.py, whose download and project layout are reused."""
    sys.path.insert(0, str(ROOT / "realworld"))
    try:
        import run as module
    finally:
        sys.path.pop(0)
    return module


def real_package(name, root, downloads):
    """The real package `name` of realworld/packages.toml in tov's layout
    under root; returns (entry, sdist folder)."""
    rw = realworld()
    (entry,) = [p for p in rw.CONFIG["package"] if p["name"] == name]
    log(f"downloading the sdist of {name} {entry['version']}")
    archive = rw.download(entry, downloads, downloads / f"{name}-download.log")
    sdist = rw.unpack(archive, root.parent / f"{root.name}-sdist")
    if "source" not in entry:
        # A package realworld builds through its own back end: its folder,
        # in src/ or at the top of the sdist.
        entry = {**entry, "source": next(f"{base}{entry['package']}" for base in ("src/", "")
                                         if (sdist / base / entry["package"]).is_dir())}
    rw.make_folder_project(entry, sdist, root)
    return entry, sdist


def modules_of(root, package):
    return sorted(p.relative_to(root).as_posix() for p in (root / package).rglob("*.py"))


def built_modules(folder):
    return sorted(p for p in Path(folder).rglob("*.so")) + sorted(Path(folder).rglob("*.pyd"))


def module_lines(logfile):
    """The lines `[i/n] compiled <path> (<t> s[, translation cached])` of a
    tov log: path -> (cached, seconds)."""
    found = {}
    for line in Path(logfile).read_text(errors="replace").splitlines():
        m = re.match(r"\[\d+/\d+\] compiled (\S+) \(([\d.]+) s(, translation cached)?\)$", line)
        if m:
            found[m.group(1)] = (bool(m.group(3)), float(m.group(2)))
    return found


class Project:
    """One project built both ways: `tov` (its folder in tov's layout) and
    `cy` (a copy of the package alone, built in place by cythonize)."""

    def __init__(self, work, label, package, tov_root, count, touch):
        self.label, self.package, self.count, self.touch = label, package, count, touch
        self.work = work
        self.tov = tov_root
        self.cy = work / "cythonize"
        shutil.copytree(self.tov / package, self.cy / package)
        self.warm = work / "cache-warm"
        self.fresh = 0
        self.edits = 0
        self.account = None

    def tov_argv(self, cache, jobs=None):
        argv = [TOV, "bdist", "-n", self.package, "-v", "1.0", "--cache-dir", str(cache)]
        return argv + (["-j", str(jobs)] if jobs else [])

    def run_tov(self, root, cache, jobs=None, logname="tov.log", keep_dist=False, more=()):
        """One tov bdist; with keep_dist the wheel of the run before stays, so
        that a run with nothing changed finds it up to date (no module lines)."""
        if not keep_dist:
            shutil.rmtree(root / "dist", ignore_errors=True)
        logfile = root / logname
        wall, cpu = timed_run([*self.tov_argv(cache, jobs), *more], root, logfile)
        wheels = list((root / "dist").glob("*.whl"))
        lines = module_lines(logfile)
        expected = 0 if keep_dist and "up to date" in logfile.read_text() else self.count
        if len(wheels) != 1 or len(lines) != expected:
            sys.exit(f"tov bdist in {root} made {len(wheels)} wheels and {len(lines)} modules "
                     f"(expected 1 and {self.count}); see {logfile}")
        return wall, cpu, lines

    def clean_tov(self, jobs=None):
        """tov bdist with an empty cache folder. The first one fills the
        cache of the incremental builds (empty until then); the sources do
        not change between the clean builds."""
        self.fresh += 1
        first = not self.warm.exists()
        cache = self.warm if first else self.work / f"cache-fresh-{self.fresh}"
        try:
            wall, cpu, lines = self.run_tov(self.tov, cache, jobs)
        finally:
            if not first:
                shutil.rmtree(cache, ignore_errors=True)
        if any(cached for cached, _ in lines.values()):
            sys.exit(f"a clean tov bdist in {self.tov} found translations in an empty cache")
        # tov's own account of where the time went, the last run's kept.
        said = [line for line in (self.tov / "build/tov.log").read_text().splitlines()
                if line.startswith("where the time went: ")]
        if not jobs and said:
            self.account = said[-1].removeprefix("where the time went: ")
        return wall, cpu

    def run_cy(self):
        env = dict(os.environ, CPPFLAGS=(os.environ.get("CPPFLAGS", "") + " " + LIMITED_MACRO).strip())
        wall, cpu = timed_run([CYTHONIZE, *CY_ARGS, self.package], self.cy, self.cy / "cy.log", env)
        made = built_modules(self.cy / self.package)
        if len(made) != self.count:
            sys.exit(f"cythonize left {len(made)} modules in {self.cy} (expected {self.count})")
        return wall, cpu

    def clean_cy(self):
        for path in list((self.cy / self.package).rglob("*")):
            if path.suffix in (".c", ".so", ".pyd"):
                path.unlink()
        shutil.rmtree(self.cy / "build", ignore_errors=True)
        return self.run_cy()

    def edit(self, root):
        """Changes the content of one module: a new constant at its end."""
        self.edits += 1
        path = root / self.touch
        with open(path, "a", encoding="utf-8") as f:
            f.write(f"\n_BENCH_EDIT = {self.edits}\n")

    def copy_elsewhere(self, n):
        """The project's sources (package and project/) in another folder."""
        other = self.work / f"elsewhere-{n}" / "checkout"
        shutil.copytree(self.tov / self.package, other / self.package)
        shutil.copytree(self.tov / "project", other / "project")
        return other


def rotate(rounds, variants):
    """Runs the variants (name -> (count, function)) round after round, the
    order reversed every other round; returns name -> list of results."""
    results = {name: [] for name in variants}
    names = list(variants)
    for r in range(rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            count, fn = variants[name]
            if r < count:
                got = fn()
                results[name].append(got)
                shown = (f"{got[0] * 1e6:9.1f} µs a call" if got[0] < 0.1
                         else f"{got[0]:7.2f} s wall, {got[1]:7.2f} s CPU")
                log(f"  {name:12} {shown}")
    return results


def ccache_stats(cache):
    """ccache's counters of the cache folder (zeroed by the caller)."""
    env = dict(os.environ, CCACHE_DIR=str(Path(cache) / "ccache"))
    out = subprocess.run([CCACHE, "--print-stats"], capture_output=True, text=True, env=env).stdout
    stats = dict(line.split("\t", 1) for line in out.splitlines() if "\t" in line)
    hits = int(stats.get("direct_cache_hit", 0)) + int(stats.get("preprocessed_cache_hit", 0))
    return hits, int(stats.get("cache_miss", 0))


def ccache_zero(cache):
    env = dict(os.environ, CCACHE_DIR=str(Path(cache) / "ccache"))
    subprocess.run([CCACHE, "--zero-stats"], capture_output=True, env=env)


def bench_project(p, key):
    """The clean, no-op, one-module and other-folder builds of one project."""
    res = {"label": p.label, "count": p.count, "key": key}
    rounds = CLEAN_ROUNDS[key]
    log(f"builds, {p.label}: clean, {rounds} rounds")
    clean = rotate(max(rounds, SERIAL_ROUNDS[key]), {
        "tov": (rounds, p.clean_tov),
        "cythonize": (rounds, p.clean_cy),
        "tov -j 1": (SERIAL_ROUNDS[key], lambda: p.clean_tov(jobs=1)),
    })
    res["clean"] = {name: (median([w for w, _ in v]), median([c for _, c in v]), len(v))
                    for name, v in clean.items() if v}
    res["account"] = p.account

    reps = INCREMENTAL_REPS[key]

    def tov_warm():
        wall, cpu, lines = p.run_tov(p.tov, p.warm)
        return wall, cpu, lines

    def noop_tov():
        wall, cpu, lines = p.run_tov(p.tov, p.warm, keep_dist=True)
        if lines:
            sys.exit(f"a no-op tov bdist in {p.tov} built its modules again")
        return wall, cpu

    def touched_tov():
        p.edit(p.tov)
        wall, cpu, lines = tov_warm()
        again = [path for path, (cached, _) in lines.items() if not cached]
        if again != [p.touch]:
            sys.exit(f"after a change to {p.touch} tov bdist translated {again}")
        return wall, cpu

    def touched_cy():
        p.edit(p.cy)
        return p.run_cy()

    log(f"builds, {p.label}: no-op, {reps} runs each")
    tov_warm()  # the wheel the no-ops find up to date, stamped in the warm cache
    a, b = alternate(reps, noop_tov, p.run_cy)
    res["noop"] = {"tov": median([w for w, _ in a]), "cythonize": median([w for w, _ in b]),
                   "tov cpu": median([c for _, c in a])}
    log(f"builds, {p.label}: one module changed, {reps} runs each")
    a, b = alternate(reps, touched_tov, touched_cy)
    res["touched"] = {"tov": median([w for w, _ in a]), "cythonize": median([w for w, _ in b]),
                      "tov cpu": median([c for _, c in a])}

    log(f"builds, {p.label}: a copy in another folder, warm cache, {reps} runs")
    other_runs = []
    for n in range(reps):
        other = p.copy_elsewhere(n)
        ccache_zero(p.warm)
        wall, cpu, lines = p.run_tov(other, p.warm)
        hits, misses = ccache_stats(p.warm)
        if not all(cached for cached, _ in lines.values()) or misses:
            sys.exit(f"a copy in another folder missed the cache: {misses} compiles missed, "
                     f"{sum(not c for c, _ in lines.values())} translations done again")
        other_runs.append((wall, cpu))
        log(f"  {'tov':12} {wall:7.2f} s wall, {cpu:7.2f} s CPU; ccache {hits} hits, {misses} misses")
        shutil.rmtree(other.parent)
    res["other"] = {"tov": median([w for w, _ in other_runs]), "hits": hits, "misses": misses}

    store = redis_store(p.work)
    if store:
        url, server = store
        log(f"builds, {p.label}: a second checkout with an empty cache and a shared store, {reps} runs")
        try:
            # The filler is the team's CI, the only writer; all sign and check
            # entries with the team's key.
            os.environ["TOVEL_REMOTE_CACHE_KEY"] = "bench team key"
            os.environ["TOVEL_REMOTE_CACHE_WRITE"] = "1"
            p.run_tov(p.copy_elsewhere("filler"), p.work / "cache-filler", more=["--remote-cache", url])
            del os.environ["TOVEL_REMOTE_CACHE_WRITE"]
            shared = []
            for n in range(reps):
                other = p.copy_elsewhere(f"shared-{n}")
                cache = p.work / f"cache-shared-{n}"
                wall, cpu, lines = p.run_tov(other, cache, more=["--remote-cache", url])
                hits, misses = ccache_stats(cache)
                if not all(cached for cached, _ in lines.values()) or misses:
                    sys.exit(f"a second checkout with a shared store missed it: {misses} compiles missed, "
                             f"{sum(not c for c, _ in lines.values())} translations done again")
                shared.append((wall, cpu))
                log(f"  {'tov':12} {wall:7.2f} s wall, {cpu:7.2f} s CPU")
                shutil.rmtree(other.parent)
                shutil.rmtree(cache)
            res["shared"] = {"tov": median([w for w, _ in shared])}
        finally:
            os.environ.pop("TOVEL_REMOTE_CACHE_WRITE", None)
            os.environ.pop("TOVEL_REMOTE_CACHE_KEY", None)
            server.terminate()
            server.wait()

    # The checks of unchanged modules come from the cache: after a change to
    # one module, every step runs, on that module.
    log(f"builds, {p.label}: where a rebuild after a change to one module spends its time (strace)")
    p.edit(p.tov)
    res["profile"] = profile(p.tov_argv(p.warm), p.tov, p.count)
    return res


def redis_store(work):
    """A redis server on loopback for the shared-store build, or None when
    redis-server is not installed."""
    server = shutil.which("redis-server")
    if not server:
        log("  redis-server is not installed: no build with a shared store")
        return None
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", str(work)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                break
        time.sleep(0.05)
    return f"redis://127.0.0.1:{port}", proc


# ---------------------------------------------------------------- profile of a build


def classify(argv_text):
    """The step of tov bdist a child process is, from its command line; None
    for the processes those steps start themselves (cc1, ld, ...)."""
    if "tovel.translator import serve" in argv_text:
        return "Cython translation workers"
    first = argv_text.split('", "', 1)[0]
    if first.endswith("ccache"):
        return "C compile (through ccache)"
    if first.endswith('"gcc') or first.endswith('"cc') or first.endswith("gcc"):
        return "link" if '"-shared"' in argv_text else None
    for mark, name in (('"-I", "-B", "-X", "faulthandler", "-c"', "import check"), ('"-m", "wheel", "tags"', "wheel tags"),
                       ('"-m", "auditwheel"', "auditwheel repair"), ('"-m", "abi3audit"', "abi3audit")):
        if mark in argv_text:
            return name
    return None


# The steps of tov bdist that run as processes of their own, in the order they
# run; the time between them is spent in the tool's process.
STEPS = (
    ("import check", "import check (a fresh interpreter importing every module)"),
    ("wheel tags", "`python -m wheel tags` (the wheel retagged)"),
    ("auditwheel repair", "`python -m auditwheel repair`"),
    ("abi3audit", "`python -m abi3audit --strict`"),
)
BUILD_KINDS = ("Cython translation workers", "C compile (through ccache)", "link")


def profile(argv, cwd, count):
    """One run of argv under strace (process starts and ends only): the time
    of each step of tov bdist, in the order they run. A step whose process did
    not run is reported as absent (seconds None), and the time in the tool's
    process between two steps that ran is named after its neighbours."""
    trace = cwd / "strace.txt"
    timed_run(["strace", "-f", "-ttt", "--seccomp-bpf", "-e", "trace=execve", "-e", "signal=none",
               "-s", "200", "-o", str(trace), *argv], cwd, cwd / "profile.log")
    start, ends, kinds, main = {}, {}, {}, None
    for line in trace.read_text(errors="replace").splitlines():
        m = re.match(r"(\d+)\s+([\d.]+) (.*)", line)
        if not m:
            continue
        pid, stamp, rest = int(m.group(1)), float(m.group(2)), m.group(3)
        if rest.startswith("execve("):
            if main is None:
                main = pid
            start.setdefault(pid, stamp)
            kind = classify(rest)
            if kind and pid != main:
                kinds.setdefault(pid, kind)
        elif rest.startswith("+++ exited"):
            ends[pid] = stamp
    spans = {}  # kind -> (first start, last end, busy time, processes)
    for pid, kind in kinds.items():
        s, e = start[pid], ends.get(pid, start[pid])
        first, last, busy, n = spans.get(kind, (s, e, 0.0, 0))
        spans[kind] = (min(first, s), max(last, e), busy + e - s, n + 1)

    build = [k for k in BUILD_KINDS if k in spans]
    detail = ", ".join(f"{k}: {spans[k][3]} processes, {spans[k][2]:.2f} s busy" for k in build)
    ran = []  # (name, start, end) of the steps that ran, in order
    if build:
        ran.append((f"translate, compile and link {count} modules ({detail})",
                    min(spans[k][0] for k in build), max(spans[k][1] for k in build)))
    absent = [f"translate, compile and link {count} modules"] if not build else []
    for kind, name in STEPS:
        if kind in spans:
            ran.append((name, spans[kind][0], spans[kind][1]))
        else:
            absent.append(name)
    ran.sort(key=lambda step: step[1])
    steps = []
    last, after = start[main], None
    for name, s, e in ran:
        where = ("start-up, settings, plan" if after is None
                 else f"between {after.split(' (')[0]} and {name.split(' (')[0]}")
        steps.append((f"{where} (in the tool's process)", max(s - last, 0.0)))
        steps.append((name, e - s))
        last, after = max(last, e), name
    steps.append(("the rest, up to exit (in the tool's process)", ends[main] - last))
    steps += [(name, None) for name in absent]
    return {"total": ends[main] - start[main], "steps": steps}


def in_process_costs(wheel):
    """What the tool's process spends on auditwheel's analysis of a wheel
    (tovel.audit.policy does the same analysis as the repair), and the
    start-up of a bare interpreter, each in a fresh interpreter."""
    code = ("import sys, time\nt0 = time.perf_counter()\nimport tovel.audit as a\n"
            "t1 = time.perf_counter()\na.policy(sys.argv[1])\nt2 = time.perf_counter()\n"
            "print(t1 - t0, t2 - t1)\n")
    runs = [subprocess.run([PYTHON, "-c", code, str(wheel)], capture_output=True, text=True, check=True)
            for _ in range(3)]
    imports, analysis = zip(*([float(x) for x in r.stdout.split()] for r in runs))
    bare = [timed_run([PYTHON, "-I", "-c", "pass"], Path(wheel).parent)[0] for _ in range(5)]
    return {"import": median(imports), "analysis": median(analysis), "bare": median(bare)}


def bench_builds(work):
    """The builds of each project; returns their results and the project the
    sizes and annotation_typing parts build again (the real package; in the
    smoke run the last generated one)."""
    results = []
    downloads = work / "downloads"
    for n in GENERATED:
        root = work / f"gen{n}" / "tov"
        package, count = make_generated(root, n)
        p = Project(work / f"gen{n}", f"generated, {n} modules", package, root, count,
                    f"{package}/mod{max(n // 2, 1):03}.py")
        results.append(bench_project(p, n))
        wheel = next((root / "dist").glob("*.whl"))
        results[-1]["in process"] = in_process_costs(wheel)
        if REAL is None and n == GENERATED[-1]:
            return results, p
        shutil.rmtree(p.work)
    root = work / REAL / "tov"
    entry, _ = real_package(REAL, root, downloads)
    sources = modules_of(root, entry["package"])
    p = Project(work / REAL, f"{REAL} {entry['version']}, {len(sources)} module", entry["package"],
                root, len(sources), sources[0])
    results.append(bench_project(p, REAL))
    results[-1]["in process"] = in_process_costs(next((root / "dist").glob("*.whl")))
    return results, p


# ---------------------------------------------------------------- sizes, debug info


def sizes(root, argv):
    """(module bytes, wheel bytes) of one tov bdist in root."""
    shutil.rmtree(root / "dist", ignore_errors=True)
    timed_run(argv, root, root / "size.log")
    modules = sum(p.stat().st_size for p in built_modules(root / "build" / "egg"))
    wheel = sum(p.stat().st_size for p in (root / "dist").glob("*.whl"))
    return modules, wheel, len(built_modules(root / "build" / "egg"))


def bench_sizes(work, real):
    out = {}
    vemo = work / "vemo"
    shutil.copytree(ROOT / "examples" / "vemo", vemo,
                    ignore=shutil.ignore_patterns("build", "dist", "*.egg-info", "pyproject.toml"))
    cache = work / "cache-sizes"
    projects = [("examples/vemo", vemo, [TOV, "bdist", "-n", "vemo", "--cache-dir", str(cache)]),
                (real.label, real.tov, real.tov_argv(real.warm))]
    for name, root, argv in projects[1:] if SMOKE else projects:
        log(f"sizes: {name}, default and --debug")
        out[name] = {"default": sizes(root, argv), "debug": sizes(root, argv + ["--debug"])}
    return out


# ---------------------------------------------------------------- annotation_typing

TIMED = {
    "packaging": (
        "from packaging.version import Version\n"
        "TEXTS = ['1.0', '2.0.1', '1.0rc1', '1.0.post2', '1.0.dev3', '1!2.3.4a5.post6.dev7+local.8',"
        " '23.1.0', '0.9.10', '3.12.0b4', '2024.1.15']\n"
        "def work():\n"
        "    vs = [Version(t) for t in TEXTS]\n"
        "    vs.sort()\n"
        "    return [str(v) for v in vs], [v.public for v in vs], vs[0] < vs[-1]\n",
        "parse, sort and print 10 versions (packaging.version.Version)",
        "packaging.version",
    ),
    "xmltodict": (
        "import xmltodict\n"
        "DOC = '<root>' + ''.join(f'<item id=\"{i}\"><name>n{i}</name><v>{i * 3}</v><tags><t>a</t><t>b</t></tags></item>'"
        " for i in range(20)) + '</root>'\n"
        "def work():\n"
        "    data = xmltodict.parse(DOC)\n"
        "    return xmltodict.unparse(data)\n",
        "parse and unparse a document of 20 items (xmltodict.parse, xmltodict.unparse)",
        "xmltodict",
    ),
    # The smoke run's stand-in: a module of the generated package.
    "generated": (
        "from pkg.mod001 import norm, words\n"
        "def work():\n"
        "    return norm([1.0, 2.0, 3.0] * 10), words('a b a c b a')\n",
        "norm of 30 numbers and a word count (pkg.mod001)",
        "pkg.mod001",
    ),
}

TIMER = """import statistics, sys, timeit
sys.path.insert(0, sys.argv[1])
exec(sys.argv[2])
import importlib
module = importlib.import_module(sys.argv[3])
if not module.__file__.endswith(sys.argv[4]):
    sys.exit(f"{sys.argv[3]} came from {module.__file__}, not a {sys.argv[4]} file")
work()
timer = timeit.Timer(work)
number, _ = timer.autorange()
print(min(timer.repeat(repeat=5, number=number)) / number)
"""


def bench_annotations(work, real):
    """The timed functions of two real packages (in the smoke run the
    generated one), compiled with the default annotation_typing=False and with
    -X annotation_typing=True, and as source."""
    downloads = work / "downloads"
    out = {}
    for name in (REAL or "generated",) if SMOKE else (ANNOTATED, REAL):
        setup, what, module = TIMED[name]
        if name == (REAL or "generated"):
            root, package, argv = real.tov, real.package, real.tov_argv(real.warm)
            compiled = modules_of(real.tov, real.package)
        else:
            root = work / name / "tov"
            entry, _ = real_package(name, root, downloads)
            package = entry["package"]
            # Only the timed module is compiled: the others ship as source.
            keep = f"^{package}/(?!{re.escape(ANNOTATED_MODULE.split('/', 1)[1])}$)"
            argv = [TOV, "bdist", "-n", package, "-e", "^$", "-k", keep,
                    "--cache-dir", str(work / "cache-annotations")]
            compiled = [ANNOTATED_MODULE]
        trees = {}
        for value in ("False", "True"):
            log(f"annotation_typing: {name} with annotation_typing={value}")
            shutil.rmtree(root / "dist", ignore_errors=True)
            timed_run(argv + ["-X", f"annotation_typing={value}"], root, root / f"anno-{value}.log")
            made = [p for p in built_modules(root / "build" / "egg")]
            if len(made) != len(compiled):
                sys.exit(f"{name}: {len(made)} compiled modules, expected {compiled}")
            trees[value] = work / f"{name}-tree-{value}"
            shutil.copytree(root / "build" / "egg", trees[value])
        trees["source"] = work / f"{name}-tree-source"
        shutil.copytree(root / package, trees["source"] / package,
                        ignore=shutil.ignore_patterns("*.so", "*.c", "*.pyd", "__pycache__"))

        def timer(variant):
            suffix = ".py" if variant == "source" else ".so"
            done = subprocess.run([PYTHON, "-I", "-c", TIMER, str(trees[variant]), setup, module, suffix],
                                  capture_output=True, text=True)
            if done.returncode:
                sys.exit(f"timing {name} ({variant}) failed:\n{done.stderr[-2000:]}")
            return float(done.stdout)

        log(f"annotation_typing: timing {name}, {TIMEIT_RUNS} runs each")
        got = rotate(TIMEIT_RUNS, {v: (TIMEIT_RUNS, (lambda v=v: (timer(v), 0.0))) for v in trees})
        out[name] = {"what": what, "compiled": compiled,
                     **{v: median([t for t, _ in got[v]]) for v in got}}
    return out


# ---------------------------------------------------------------- report


def machine():
    cpu = "unknown CPU"
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    import Cython
    import setuptools

    ccache = subprocess.run([CCACHE, "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return (
        f"{cpu}, {os.cpu_count()} cores; {platform.system()} {platform.release()}; "
        f"Python {platform.python_version()} ({PYTHON}); "
        f"setuptools {setuptools.__version__}, Cython {Cython.__version__}, {ccache}"
    )


def load():
    with contextlib.suppress(OSError):
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    return "unknown"


def verdict(shown, limit):
    """Met when the figure as printed is within the limit."""
    return "met" if float(shown) <= limit else "NOT met"


def commit():
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        proc = subprocess.run(["git", "-C", str(HERE), "log", "-1", "--format=%h %cs"],
                              capture_output=True, text=True)
        if proc.returncode == 0:
            return proc.stdout.strip()
    return "unknown"


def phase(bench, work, *args):
    start = time.perf_counter()
    result = bench(work, *args)
    log(f"{bench.__name__} took {time.perf_counter() - start:.0f} s")
    return result


def main():
    if not Path(TOV).exists():
        sys.exit(f"no tov command next to {PYTHON}: install tovel into this environment")
    if PARTS != "runtime" and not shutil.which("strace"):
        sys.exit("strace is needed to profile the builds (apt-get install strace)")
    started = time.perf_counter()
    load_before = load()
    work = Path(tempfile.mkdtemp(prefix="tovel-bench-"))
    try:
        startup = walk = comp = speed = None
        if PARTS in ("all", "runtime"):
            speed = phase(runtime.bench_runtime, work)
        if PARTS == "runtime":
            print("\n".join(runtime.report(speed)))
            return
        if PARTS == "all":
            startup = phase(bench_startup, work)
            walk = phase(bench_walk, work)
            os.chdir(HERE)
            comp = phase(bench_compile, work)
        builds, real = phase(bench_builds, work)
        size = phase(bench_sizes, work, real)
        anno = phase(bench_annotations, work, real)
    finally:
        os.chdir(HERE)
        shutil.rmtree(work, ignore_errors=True)
    load_after = load()

    out = []
    p = out.append
    p("")
    p(f"Machine: {machine()}")
    p(f"tovel commit {commit()}; {time.strftime('%Y-%m-%d %H:%M')}")
    p(f"Load average (1, 5, 15 min): {load_before} at the start, {load_after} at the end; "
      f"total {time.perf_counter() - started:.0f} s{(' (BENCH_SMOKE' if SMOKE else ' (BENCH_QUICK') + ': figures mean nothing)' if QUICK else ''}")
    p("")
    p(f"Builds of `tov bdist` (every core: {CPUS} jobs) against `cythonize {' '.join(CY_ARGS)}` "
      f"with CPPFLAGS={LIMITED_MACRO} (median wall time):")
    p("")
    p("| project | build | runs each | tov bdist | cythonize | tov / cythonize | tov / clean tov | target | result |")
    p("|---|---|---|---|---|---|---|---|---|")
    for r in builds:
        clean = r["clean"]
        t, c = clean["tov"][0], clean["cythonize"][0]
        ratio = f"{t / c:.2f}"
        p(f"| {r['label']} | clean (empty cache) | {clean['tov'][2]} | {t:.2f} s | {c:.2f} s | {ratio} "
          f"(CPU {clean['tov'][1] / clean['cythonize'][1]:.2f}) | 1 | tov / cythonize <= 1.0 | {verdict(ratio, 1.0)} |")
        if "tov -j 1" in clean:
            s = clean["tov -j 1"]
            p(f"| {r['label']} | clean, `tov bdist -j 1` | {s[2]} | {s[0]:.2f} s | {c:.2f} s | {s[0] / c:.2f} "
              f"| {s[0] / t:.2f} |  |  |")
        for key, name, limit in (("noop", "no-op (nothing changed)", 0.10),
                                 ("touched", "one module changed", 0.15)):
            x = r[key]
            share = f"{x['tov'] / t:.2f}"
            p(f"| {r['label']} | {name} | {INCREMENTAL_REPS[r['key']]} | {x['tov']:.2f} s | {x['cythonize']:.2f} s | "
              f"{x['tov'] / x['cythonize']:.2f} | {share} | <= {limit:.2f} | {verdict(share, limit)} |")
        o = r["other"]
        share = f"{o['tov'] / t:.2f}"
        p(f"| {r['label']} | a copy in another folder, warm cache | {INCREMENTAL_REPS[r['key']]} | {o['tov']:.2f} s | "
          f"({c:.2f} s: clean) | {o['tov'] / c:.2f} | {share} | <= 0.15 | {verdict(share, 0.15)} |")
        if "shared" in r:
            x = r["shared"]["tov"]
            share = f"{x / t:.2f}"
            p(f"| {r['label']} | a second checkout, empty cache, shared store (redis) | {INCREMENTAL_REPS[r['key']]} "
              f"| {x:.2f} s | ({c:.2f} s: clean) | {x / c:.2f} | {share} | <= 0.20 | {verdict(share, 0.20)} |")
    p("")
    p("cythonize has no cache: in a fresh copy it does its clean build, whose median stands in its column. "
      "In every copy in another folder no compile missed the caches (a module split over idle jobs "
      "comes linked from tov's cache, without a compile) "
      + ", ".join(f"({r['label']}: {r['other']['hits']} hits, {r['other']['misses']} misses in the last run)" for r in builds)
      + " and every translation came from the record.")
    p("")
    p("Where a clean `tov bdist` spends its time, as it says itself (`--verbose`, and in `build/tov.log`; "
      "the modules' parts are summed over the jobs):")
    p("")
    for r in builds:
        p(f"- {r['label']}: {r.get('account') or 'not said'}")
    p("")
    p("Where a rebuild after a change to one module (the others' translations, objects and checks cached) spends its time "
      "(one run under `strace -f`, process starts and ends; "
      "the steps in the order they run):")
    for r in builds:
        prof = r["profile"]
        p("")
        p(f"{r['label']}: {prof['total']:.2f} s in all")
        p("")
        p("| step | seconds | share |")
        p("|---|---|---|")
        for name, secs in prof["steps"]:
            if secs is None:
                p(f"| {name} | absent: no such process ran |  |")
            else:
                p(f"| {name} | {secs:.2f} | {secs / prof['total']:.0%} |")
        ip = r["in process"]
        p("")
        p(f"In a fresh interpreter: `import tovel.audit` {ip['import']:.2f} s, auditwheel's analysis of the wheel "
          f"(`tovel.audit.policy`, the analysis the tool makes of every wheel) {ip['analysis']:.2f} s; "
          f"a bare interpreter (`python -I -c pass`) starts and ends in {ip['bare']:.3f} s.")
    p("")
    p("Module size: `tov bdist` (no debug info) against `tov bdist --debug`:")
    p("")
    p("| project | modules | module bytes | with --debug | ratio | wheel bytes | with --debug | ratio |")
    p("|---|---|---|---|---|---|---|---|")
    for name, s in size.items():
        (m, w, n), (dm, dw, _) = s["default"], s["debug"]
        p(f"| {name} | {n} | {m:,} | {dm:,} | {dm / m:.2f} | {w:,} | {dw:,} | {dw / w:.2f} |")
    p("")
    p(f"annotation_typing: time of one call (median of {TIMEIT_RUNS} interleaved runs, "
      "each the best of 5 timeit repeats), compiled with the default annotation_typing=False, "
      "with `-X annotation_typing=True`, and the same code as Python source:")
    p("")
    p("| package (compiled module) | timed work | False | True | True / False | source | False / source |")
    p("|---|---|---|---|---|---|---|")
    for name, a in anno.items():
        p(f"| {name} ({', '.join(a['compiled'])}) | {a['what']} | {a['False'] * 1e6:.1f} µs | {a['True'] * 1e6:.1f} µs | "
          f"{a['True'] / a['False']:.3f} | {a['source'] * 1e6:.1f} µs | {a['False'] / a['source']:.3f} |")
    if speed is not None:
        out += runtime.report(speed)
    if startup is None:
        print("\n".join(out))
        return
    p("")
    p("Other benchmarks:")
    p("")
    p("| benchmark | runs each | tool (median) | baseline (median) | ratio / difference | target | result |")
    p("|---|---|---|---|---|---|---|")
    s = startup
    added = f"{(s['tool'] - s['floor']) * 1000:+.1f}"
    p(f"| start-up: `tov --help` vs bare imports | {STARTUP_REPS} | {s['tool'] * 1000:.1f} ms | "
      f"{s['floor'] * 1000:.1f} ms | {added} ms | < +15 ms | {verdict(added, 14.9)} |")
    c = comp["fixed"]
    p(f"| fixed cost: tov compile vs the plain script, a package without modules | {FIXED_REPS} | "
      f"{c['tool'] * 1000:.1f} ms | {c['plain'] * 1000:.1f} ms | {(c['tool'] - c['plain']) * 1000:+.1f} ms |  |  |")
    c = comp["modules"]
    ratio = f"{c['tool'] / c['plain']:.3f}"
    p(f"| compile overhead: {COMPILE_SIZE} modules, tov compile vs cythonize + build_ext | {COMPILE_ROUNDS} | "
      f"{c['tool']:.2f} s | {c['plain']:.2f} s | {ratio} (CPU time {c['tool cpu'] / c['plain cpu']:.3f}) | "
      f"<= 1.03 | {verdict(ratio, 1.03)} |")
    for extension, job in (("pyd", "deletes"), ("py", "collects")):
        w = walk[extension]
        ratio = f"{w['tool'] / w['plain']:.3f}"
        p(f"| walk: collect, {WALK_FILES} files, extension={extension!r} ({job}) vs Path.walk | {WALK_REPS} | "
          f"{w['tool'] * 1000:.1f} ms | {w['plain'] * 1000:.1f} ms | {ratio} | <= 1.0 | {verdict(ratio, 1.0)} |")
    p("")
    p("Start-up: modules that `tov --help` imports beyond the floor, self time of one run "
      f"(python -X importtime): {s['extra_import_ms']:.1f} ms in total; "
      + ", ".join(f"{name} {ms:.1f} ms" for name, ms in s["extra_modules"]))
    p("")
    p(f"Walk tree: {WALK_FILES} files in {walk['folders']} folders, wide and deep; "
      f"{walk['excluded']} of them excluded by the pattern 'test|unit'; "
      f"{walk['lines']} lines printed by a walk with extension='py' (to /dev/null while timed)")
    p(f"tov compile and the plain script: compiler and linker command lines "
      f"{'the same' if comp['same commands'] else 'DIFFERENT'} ({comp['commands']} lines)")
    print("\n".join(out))


if __name__ == "__main__":
    main()
