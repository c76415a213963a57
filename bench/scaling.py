"""Thread scaling: the runtime benchmark's own workloads run from 1, 2 and 4
threads, compiled by `tov bdist` and from source, each thread with its own data.

The ordinary workloads (bench/workloads) are built into a pure wheel (and a
published package's workload, PACKAGES, uses that release's pure wheel from
the index where it is asked for), each compiled by `tov bdist --from-wheel`
with the defaults, by the interpreter that runs this script (on a
free-threaded CPython, its own full API). Each measurement is a fresh
process: the workload's driver (bench/workloads/drivers.py) is called once
to warm up, then N threads started together call it CALLS times each; every
call builds its own objects, so the threads share only the module (its
functions, classes and constants). Source and compiled runs alternate,
ROUNDS times, and the least wall time of each is kept: the machine's other
load only ever slows a run down.

"calls/s" is the throughput of the whole process; "speed-up" is the
throughput at N threads over that at 1 thread; "CPU / wall" the processor
time of the fastest run over its wall time (how many threads really ran at
once: other load on the machine lowers it); "CPU ms a call" the least
processor time of a call over the rounds, which grows where threads that run
at once contend (for a cache line every thread writes, such as the count of
a shared object) and which other load disturbs less than the wall time;
"sleeps" the least count over the rounds of the times the threads slept
during their calls (waited for a lock, for the others to stop for a
collection, ...: what other load does not change, where the CPU / wall
does); "compiled / source" the compiled throughput over the source's at
the same number of threads (above 1: compiled is faster). With threads that
run at once and share nothing a thread writes, the speed-up approaches the
free cores.

    python bench/scaling.py [--rounds N] [--calls N] [--only parser,cache,...] [--work DIR] [--shared]

With --shared it counts instead, without timing, what does not depend on the
machine's load: the changes a thread makes to the count of an object that
another thread owns (here the module's objects, made by the importing thread),
each an atomic write to a cache line every such thread writes. They are
counted as callgrind's count of calls of CPython's _Py_DecRefShared, the
second half of each increment-decrement pair, in one call of the workload
in a thread of its own (a run with one call less one with none).

Run it with the python of an environment where tovel is installed (its
`tov` beside it), e.g. .venv/3.14t/bin/python bench/scaling.py --rounds 5
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

WORKLOADS_DIR = Path(__file__).resolve().parent / "workloads"
# name: scale of one call (each call some 10 to 40 ms on one core of CPython 3.14t)
SCALES = {"parser": 40, "cache": 50, "loops": 36, "textfmt": 30, "tomlkit": 5}
# Workloads of a published package (one the compiled code was never tuned on),
# whose driver builds its own data in each call: the pure wheel of the release
# the runtime benchmark runs, compiled as the ordinary workloads are.
PACKAGES = {"tomlkit": "tomlkit==0.13.2"}

TIMER = '''
import json, resource, sys, threading, time
folder, drivers, name, scale, threads, calls = sys.argv[1:7]
sys.path[:0] = [folder, drivers]
import drivers as d
module, call = getattr(d, name)(int(scale))
threads, calls = int(threads), int(calls)
first = call()
results, sleeps = [None] * threads, [0] * threads
barrier = threading.Barrier(threads + 1)
def run(i):
    barrier.wait()
    before = resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw
    results[i] = [call() for _ in range(calls)]
    sleeps[i] = resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw - before
pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
for t in pool:
    t.start()
barrier.wait()
start, cpu = time.perf_counter(), time.process_time()
for t in pool:
    t.join()
took, cpu = time.perf_counter() - start, time.process_time() - cpu
assert all(r == [first] * calls for r in results), "the threads disagree"
print(json.dumps({"seconds": took, "cpu": cpu, "sleeps": sum(sleeps), "file": module.__file__,
                  "result": repr(first)[:200], "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}))
'''


def run(argv, cwd=None):
    proc = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if proc.returncode:
        sys.exit(f"scaling: {' '.join(map(str, argv))} failed ({proc.returncode})\n{(proc.stdout + proc.stderr)[-3000:]}")
    return proc.stdout


def build(work, names):
    """The folder the source runs from and the folder the compiled wheels are unpacked into."""
    source = work / "source"
    shutil.copytree(WORKLOADS_DIR, source, ignore=shutil.ignore_patterns("drivers.py", "__pycache__", "build",
                                                                          "*.egg-info"))
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation", "-w", str(work / "pure"),
         str(source)])
    for name in names:
        if name in PACKAGES:
            run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary", ":all:", "-d",
                 str(work / "pure"), PACKAGES[name]])
    compiled, built = work / "compiled", []
    for pure in sorted((work / "pure").glob("*.whl")):
        if not pure.name.startswith("tovbench-"):
            zipfile.ZipFile(pure).extractall(source)
        dist = work / "dist" / pure.stem
        dist.mkdir(parents=True)
        run([str(Path(sys.executable).parent / "tov"), "bdist", "-q", "--from-wheel", str(pure)], cwd=dist)
        (wheel,) = (dist / "dist").glob("*.whl")
        zipfile.ZipFile(wheel).extractall(compiled)
        built.append(wheel.name)
    return source, compiled, ", ".join(built)


def timed(folder, name, threads, calls):
    out = run([sys.executable, "-c", TIMER, str(folder), str(WORKLOADS_DIR), name, str(SCALES[name]),
               str(threads), str(calls)])
    return json.loads(out.strip().splitlines()[-1])


SHARED = '''
import sys, threading
folder, drivers, name, scale, calls = sys.argv[1:6]
sys.path[:0] = [folder, drivers]
import drivers as d
module, call = getattr(d, name)(int(scale))
call()
thread = threading.Thread(target=lambda: [call() for _ in range(int(calls))])
thread.start()
thread.join()
'''


def shared_changes(folder, name, work):
    """Calls of _Py_DecRefShared in one call of the workload in a thread of its own."""
    counts = []
    for calls in (0, 1):
        out = work / f"callgrind.{name}.{calls}"
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                               SHARED, str(folder), str(WORKLOADS_DIR), name, str(SCALES[name]), str(calls)],
                              capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if proc.returncode:
            sys.exit(f"scaling: callgrind of {name} failed\n{proc.stderr[-3000:]}")
        ids, target, total = {}, False, 0
        for line in out.read_text(errors="replace").splitlines():
            if line.startswith("cfn="):
                found = re.match(r"cfn=\((\d+)\)(?: (.*))?", line)
                if found and found.group(2):
                    ids[found.group(1)] = found.group(2)
                name_of = ids.get(found.group(1), "") if found else line[4:]
                target = name_of == "_Py_DecRefShared"
            elif line.startswith("calls=") and target:
                total += int(line[6:].split()[0])
                target = False
        counts.append(total)
    return counts[1] - counts[0]


def measure(name, folders, rounds, calls, counts=(1, 2, 4)):
    """{(code, threads): the fastest run} over ROUNDS alternating rounds."""
    best = {}
    for _ in range(rounds):
        for threads in counts:
            for code, folder in folders.items():
                got = timed(folder, name, threads, calls)
                if code == "compiled" and got["file"].endswith(".py"):
                    sys.exit(f"scaling: {name} ran from source in the compiled folder: {got['file']}")
                key = (code, threads)
                least = {k: min(got[k], best[key]["least_" + k]) if key in best else got[k] for k in ("cpu", "sleeps")}
                if key not in best or got["seconds"] < best[key]["seconds"]:
                    best[key] = got
                best[key].update({"least_" + k: v for k, v in least.items()})
    results = {got["result"] for got in best.values()}
    if len(results) != 1:
        sys.exit(f"scaling: {name}: compiled and source disagree: {results}")
    return best


def table(name, best, calls, counts=(1, 2, 4)):
    rows = []
    one = {code: calls / best[(code, 1)]["seconds"] for code in ("source", "compiled")}
    for threads in counts:
        cells = []
        rate = {}
        for code in ("source", "compiled"):
            got = best[(code, threads)]
            rate[code] = threads * calls / got["seconds"]
            cells += [f"{rate[code]:.1f}", f"{rate[code] / one[code]:.2f}", f"{got['cpu'] / got['seconds']:.2f}",
                      f"{got['least_cpu'] * 1000 / (threads * calls):.1f}", f"{got['least_sleeps']}"]
        rows.append(f"| {name} | {threads} | {' | '.join(cells)} | {rate['compiled'] / rate['source']:.2f} |")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--calls", type=int, default=8, help="calls of the workload in each thread")
    parser.add_argument("--only", default=",".join(SCALES), help="comma-separated workloads")
    parser.add_argument("--work", type=Path, help="keep the builds in this folder (made fresh)")
    parser.add_argument("--shared", action="store_true", help="count changes of shared counts instead of timing")
    args = parser.parse_args()
    names = [n for n in args.only.split(",") if n]
    unknown = set(names) - set(SCALES)
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))} (known: {', '.join(SCALES)})")
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    with tempfile.TemporaryDirectory(prefix="tov-scaling-") as tmp:
        work = args.work or Path(tmp)
        if args.work:
            shutil.rmtree(work, ignore_errors=True)
            work.mkdir(parents=True)
        source, compiled, wheel = build(work, names)
        if args.shared:
            print(f"CPython {sys.version.split()[0]}; wheels {wheel}; changes of the count of an object another "
                  f"thread owns, in one call of each workload")
            print("| workload | source | compiled |\n|---|---|---|")
            for name in names:
                print(f"| {name} | {shared_changes(source, name, work)} | {shared_changes(compiled, name, work)} |",
                      flush=True)
            return
        print(f"CPython {sys.version.split()[0]}{' free-threaded' if free else ''}, {os.cpu_count()} cores, "
              f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}; wheels {wheel}; "
              f"{args.calls} calls per thread, best of {args.rounds} alternating rounds", flush=True)
        print("| workload | threads | source calls/s | speed-up | CPU / wall | CPU ms a call | sleeps | "
              "compiled calls/s | speed-up | CPU / wall | CPU ms a call | sleeps | compiled / source |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|", flush=True)
        for name in names:
            best = measure(name, {"source": source, "compiled": compiled}, args.rounds, args.calls)
            print("\n".join(table(name, best, args.calls)), flush=True)
        print(f"load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
