"""Benchmarks of tovel: start-up, compile overhead, the source walk, scaling.

Run with the python of an environment where tovel is installed (`make bench`
does that). Each comparison runs the tool and its baseline side by side in one
run, interleaved (A B B A ...) so that load on the machine hits both alike;
medians and ratios are printed at the end as a Markdown table.

BENCH_QUICK=1 runs every part with tiny sizes and one or two repetitions, to
check that the script works; its figures mean nothing.
"""

import contextlib
import gc
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")
HERE = Path(__file__).resolve().parent
PYTHON = sys.executable
TOV = str(Path(PYTHON).parent / ("tov.exe" if os.name == "nt" else "tov"))

# Repetitions and sizes. The full run takes about 10-15 minutes on 2 cores:
# nearly all of it is the C compiler (about 1 s a module).
STARTUP_REPS = 5 if QUICK else 30
COMPILE_SIZES = (1, 2, 4) if QUICK else (1, 10, 50)
COMPILE_ROUNDS = {1: 1, 2: 1, 4: 1} if QUICK else {1: 5, 10: 6, 50: 3}
PARALLEL_SIZES = (4,) if QUICK else (10, 50)  # sizes also built with parallel = 2
PARALLEL_CHECK_MODULES = 4
FIXED_REPS = 3 if QUICK else 15  # compiles of a package without modules
WALK_FILES = 2000 if QUICK else 20000
WALK_REPS = 2 if QUICK else 11

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


# ---------------------------------------------------------------- compile

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


def make_project(root, modules, parallel=False):
    """A project with the package pkg of `modules` modules (__init__.py one of
    them), with the readme and requirements the tool reads."""
    pkg = root / "pkg"
    pkg.mkdir(parents=True)
    (root / "project").mkdir()
    (root / "project" / "README.md").write_text("# pkg\n\nA generated benchmark package.\n")
    (root / "project" / "requirements.txt").write_text("\n")
    (root / "project" / "LICENSE").write_text("MIT License\n")
    (pkg / "__init__.py").write_text(MODULE.format(i=0))
    for i in range(1, modules):
        (pkg / f"mod{i:03}.py").write_text(MODULE.format(i=i))
    if parallel:
        (root / "setup.cfg").write_text("[build_ext]\nparallel = 2\n")
    return root


def compiled(root):
    return sorted(p.name for p in (root / "build" / "egg").rglob("*.so")) + sorted(
        p.name for p in (root / "build" / "egg").rglob("*.pyd")
    )


def compiler_words():
    """The compiler command setuptools runs: $CC, else the interpreter's own."""
    import shlex
    import sysconfig

    return shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")


def compiler_lines(log):
    """The compiler and linker command lines that setuptools printed, sorted
    (a parallel build prints them in any order)."""
    first = compiler_words()[0]
    return sorted(line for line in Path(log).read_text().splitlines() if line.split(" ", 1)[0] == first)


def bench_compile(work):
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
    results[0] = {"tool": median(a), "plain": median(b)}
    for n in COMPILE_SIZES:
        serial = make_project(work / f"compile{n}", n)
        # The tool and the plain script build the same project folder.
        variants = {
            "tool": ([TOV, "compile", "-n", "pkg"], serial),
            "plain": ([PYTHON, plain, "pkg"], serial),
        }
        if n in PARALLEL_SIZES:
            par = make_project(work / f"compile{n}-parallel", n, parallel=True)
            variants["parallel"] = ([TOV, "compile", "-n", "pkg"], par)
        times = {name: [] for name in variants}
        cpus = {name: [] for name in variants}
        lines = {}
        rounds = COMPILE_ROUNDS[n]
        log(f"compile: {n} modules, {rounds} rounds of {', '.join(variants)}")
        names = list(variants)
        for r in range(rounds):
            # The tool goes first in the first round: it writes the
            # pyproject.toml that setuptools then reads in every later run.
            for name in names if r % 2 == 0 else names[::-1]:
                argv, root = variants[name]
                wall, cpu = timed_run(argv, root, root / f"{name}.log")
                times[name].append(wall)
                cpus[name].append(cpu)
                log(f"  {name:8} {wall:7.2f} s wall, {cpu:7.2f} s CPU")
                lines[name] = compiler_lines(root / f"{name}.log")
                built = compiled(root)
                if len(built) != n:
                    sys.exit(f"{name}: a compile of {n} modules left {built} in build/egg")
        results[n] = {name: median(t) for name, t in times.items()}
        results[n].update({name + " cpu": median(t) for name, t in cpus.items()})
        # The per-module work is the same when the compiler runs are the same.
        results[n]["same commands"] = all(v == lines["tool"] for v in lines.values())
        results[n]["commands"] = len(lines["tool"])
    return results


def bench_parallel_check(work):
    """Whether the tool's setup run honours parallel = 2 from setup.cfg: a
    compiler wrapper records when each compiler process starts and ends, and
    the greatest number running at once is counted."""
    import shlex

    compiler = " ".join(shlex.quote(word) for word in compiler_words())
    wrapper = work / "cc-wrapper"
    wrapper.write_text(
        "#!/bin/sh\n"
        'echo "+ $(date +%s%N)" >> "$CC_LOG"\n'
        f'{compiler} "$@"; rc=$?\n'
        'echo "- $(date +%s%N)" >> "$CC_LOG"\n'
        "exit $rc\n"
    )
    wrapper.chmod(0o755)
    found = {}
    for parallel in (False, True):
        root = make_project(work / f"check-{parallel}", PARALLEL_CHECK_MODULES, parallel)
        cclog = root / "cc.log"
        env = dict(os.environ, CC=str(wrapper), CC_LOG=str(cclog))
        timed_run([TOV, "compile", "-n", "pkg"], root, root / "tool.log", env)
        events = sorted(
            (int(stamp), 1 if sign == "+" else -1)
            for sign, stamp in (line.split() for line in cclog.read_text().splitlines())
        )
        running = most = 0
        for _, step in events:
            running += step
            most = max(most, running)
        found[parallel] = (most, len(events) // 2)
    return found


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

    return (
        f"{cpu}, {os.cpu_count()} cores; {platform.system()} {platform.release()}; "
        f"Python {platform.python_version()} ({PYTHON}); "
        f"setuptools {setuptools.__version__}, Cython {Cython.__version__}"
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


def phase(bench, work):
    start = time.perf_counter()
    result = bench(work)
    log(f"{bench.__name__} took {time.perf_counter() - start:.0f} s")
    return result


def main():
    if not Path(TOV).exists():
        sys.exit(f"no tov command next to {PYTHON}: install tovel into this environment")
    started = time.perf_counter()
    load_before = load()
    work = Path(tempfile.mkdtemp(prefix="tovel-bench-"))
    try:
        startup = phase(bench_startup, work)
        walk = phase(bench_walk, work)
        check = phase(bench_parallel_check, work)
        comp = phase(bench_compile, work)
    finally:
        os.chdir(HERE)
        shutil.rmtree(work, ignore_errors=True)
    load_after = load()

    rows = []
    add = rows.append
    s = startup
    added = f"{(s['tool'] - s['floor']) * 1000:+.1f}"
    add(("start-up: `tov --help` vs bare imports", f"{STARTUP_REPS}",
         f"{s['tool'] * 1000:.1f} ms", f"{s['floor'] * 1000:.1f} ms",
         f"{added} ms", "< +15 ms", verdict(added, 14.9)))
    big = COMPILE_SIZES[1:]
    c = comp[0]
    fixed = f"{(c['tool'] - c['plain']) * 1000:+.1f}"
    add(("fixed cost: tov compile vs the plain script, a package without modules",
         f"{FIXED_REPS}", f"{c['tool'] * 1000:.1f} ms", f"{c['plain'] * 1000:.1f} ms",
         f"{fixed} ms", "", ""))
    for n in big:
        c = comp[n]
        ratio = f"{c['tool'] / c['plain']:.3f}"
        cpu = f"{c['tool cpu'] / c['plain cpu']:.3f}"
        add((f"compile overhead: {n} modules, tov compile vs cythonize + build_ext",
             f"{COMPILE_ROUNDS[n]}", f"{c['tool']:.2f} s", f"{c['plain']:.2f} s",
             f"{ratio} (CPU time {cpu})", "<= 1.03", verdict(ratio, 1.03)))
    for extension, job in (("pyd", "deletes"), ("py", "collects")):
        w = walk[extension]
        ratio = f"{w['tool'] / w['plain']:.3f}"
        add((f"walk: collect, {WALK_FILES} files, extension={extension!r} ({job}) vs Path.walk",
             f"{WALK_REPS}", f"{w['tool'] * 1000:.1f} ms", f"{w['plain'] * 1000:.1f} ms",
             ratio, "<= 1.0", verdict(ratio, 1.0)))

    out = []
    p = out.append
    p("")
    p(f"Machine: {machine()}")
    p(f"tovel commit {commit()}; {time.strftime('%Y-%m-%d %H:%M')}")
    p(f"Load average (1, 5, 15 min): {load_before} at the start, {load_after} at the end; "
      f"total {time.perf_counter() - started:.0f} s{' (BENCH_QUICK: figures mean nothing)' if QUICK else ''}")
    p("")
    p("| benchmark | runs each | tool (median) | baseline (median) | ratio / difference | target | result |")
    p("|---|---|---|---|---|---|---|")
    for row in rows:
        p("| " + " | ".join(row) + " |")
    p("")
    p("Start-up: modules that `tov --help` imports beyond the floor, self time of one run "
      f"(python -X importtime): {s['extra_import_ms']:.1f} ms in total; "
      + ", ".join(f"{name} {ms:.1f} ms" for name, ms in s["extra_modules"]))
    p("")
    p(f"Walk tree: {WALK_FILES} files in {walk['folders']} folders, wide and deep; "
      f"{walk['excluded']} of them excluded by the pattern 'test|unit'; "
      f"{walk['lines']} lines printed by a walk with extension='py' (to /dev/null while timed)")
    p("")
    p("Scaling of `tov compile` (median wall time; per module: time / modules, "
      "and the added cost of one more module between sizes):")
    p("")
    p("| modules | serial | per module | added per module | parallel = 2 | parallel / serial |")
    p("|---|---|---|---|---|---|")
    prev = None
    for n in COMPILE_SIZES:
        c = comp[n]
        step = f"{(c['tool'] - comp[prev]['tool']) / (n - prev):.2f} s" if prev else ""
        par = f"{c['parallel']:.2f} s" if "parallel" in c else ""
        rel = f"{c['parallel'] / c['tool']:.2f}" if "parallel" in c else ""
        p(f"| {n} | {c['tool']:.2f} s | {c['tool'] / n:.2f} s | {step} | {par} | {rel} |")
        prev = n
    p("")
    same = [n for n in COMPILE_SIZES if comp[n]["same commands"]]
    differ = [n for n in COMPILE_SIZES if not comp[n]["same commands"]]
    p("Compiler and linker command lines of the tool, the plain script and parallel = 2: "
      + (f"the same for {', '.join(map(str, same))} modules " if same else "")
      + (f"DIFFERENT for {', '.join(map(str, differ))} modules " if differ else "")
      + f"({', '.join(str(comp[n]['commands']) for n in COMPILE_SIZES)} lines)")
    serial_most, calls = check[False]
    par_most, _ = check[True]
    p(f"parallel = 2 in setup.cfg [build_ext]: compiler processes at once during a "
      f"`tov compile` of {PARALLEL_CHECK_MODULES} modules: {serial_most} without it, "
      f"{par_most} with it ({calls} compiler calls each); "
      + ("honoured" if par_most >= 2 > serial_most else "NOT honoured"))
    print("\n".join(out))


if __name__ == "__main__":
    main()
