"""Threads: one CPU-bound workload of compiled code run in 1, 2 and 4 threads.

The workload (by default WORKLOAD below: integer loops, a dict and a list
built per call, a method call per step; with --workload parser the
recursive-descent parser of the runtime benchmark, objects and method calls
throughout, `--steps` parses of its expressions a call) is written as a package, `threadwork`, and
built by `tov bdist -n threadwork` with the defaults, by the interpreter that
runs this script: a cp312-abi3 wheel on CPython 3.12, a free-threaded
cp314-cp314t wheel on CPython 3.14t. Its module is unpacked beside the
source and the work is timed in a fresh process, compiled and from source:
each of N threads does the same amount of work, so with threads that run at
once the wall time stays that of one thread. A run reports the best of
ROUNDS; "speed-up" is N times the one-thread time over the N-thread time,
and "CPU / wall" the processor time of the process over its wall time
during the work: how many threads really ran at once (at most 1 under a
GIL, at most the free cores without one), which other load on the machine
disturbs less than the wall time; "CPU per call" the least processor time
of one call: it grows where threads that run at once contend (for cache
lines every thread writes, such as the reference count of a shared object).

    python bench/threads.py [--rounds N] [--calls N] [--steps N] [--workload walker|parser]

Run it with the python of an environment where tovel is installed (its
`tov` beside it), once per interpreter, e.g.
    .venv/3.12/bin/python bench/threads.py
    .venv/3.14t/bin/python bench/threads.py
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import zipfile
from pathlib import Path

WORKLOAD = '''
class Walker:
    def __init__(self, seed):
        self.state = seed

    def step(self):
        self.state = (self.state * 1103515245 + 12345) % 2147483648
        return self.state


def work(n, seed):
    """n steps of a generator, counted in a dict; the checksum of the counts."""
    walker = Walker(seed)
    counts = {}
    for _ in range(n):
        key = walker.step() % 97
        counts[key] = counts.get(key, 0) + 1
    ordered = sorted(counts.items())
    return sum(k * v for k, v in ordered) % 1000003
'''

# The parser of the runtime benchmark, with the same entry point.
PARSER = (Path(__file__).resolve().parent / "workloads" / "tovbench" / "parser.py").read_text() + \
    "\n\ndef work(n, seed):\n    return run(n)\n"

# Run in a fresh process: the work in each of N threads, started together.
TIMER = '''
import json, sys, threading, time
sys.path.insert(0, sys.argv[1])
from threadwork.core import work
import threadwork.core as core
threads, calls, n = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
results = [None] * threads
barrier = threading.Barrier(threads + 1)
def run(i):
    barrier.wait()
    results[i] = [work(n, seed) for seed in range(calls)]
pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
for t in pool:
    t.start()
barrier.wait()
start, cpu = time.perf_counter(), time.process_time()
for t in pool:
    t.join()
took, cpu = time.perf_counter() - start, time.process_time() - cpu
assert all(r == results[0] for r in results)
print(json.dumps({"seconds": took, "cpu": cpu, "file": core.__file__, "checksum": repr(results[0])[:80],
                  "gil": getattr(sys, "_is_gil_enabled", lambda: True)()}))
'''


def build(where, workload):
    """The package's source folder and the folder its compiled module is unpacked into."""
    src = where / "src"
    (src / "threadwork").mkdir(parents=True)
    (src / "threadwork" / "__init__.py").write_text("")
    (src / "threadwork" / "core.py").write_text(PARSER if workload == "parser" else textwrap.dedent(WORKLOAD))
    tov = str(Path(sys.executable).parent / "tov")
    done = subprocess.run([tov, "bdist", "-n", "threadwork", "-v", "1.0", "-q", "--no-cache"], cwd=src,
                          capture_output=True, text=True)
    if done.returncode:
        sys.exit(done.stdout + done.stderr)
    wheel = src / next(line for line in done.stdout.splitlines() if ".whl: " in line).split(": ")[0]
    compiled = where / "compiled"
    zipfile.ZipFile(wheel).extractall(compiled)
    return src, compiled, wheel.name


def timed(path, threads, calls, n):
    out = subprocess.run([sys.executable, "-c", TIMER, str(path), str(threads), str(calls), str(n)],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--calls", type=int, default=8, help="calls of the work in each thread")
    parser.add_argument("--steps", type=int, default=None, help="steps of one call (default 200000; parser: 100)")
    parser.add_argument("--workload", choices=("walker", "parser"), default="walker")
    args = parser.parse_args()
    args.steps = args.steps or (100 if args.workload == "parser" else 200_000)
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    print(f"CPython {sys.version.split()[0]}{' free-threaded' if free else ''}, "
          f"{os.cpu_count()} cores; {args.workload}: {args.calls} calls of {args.steps} steps in each thread, "
          f"best of {args.rounds}")
    with tempfile.TemporaryDirectory(prefix="tov-threads-") as tmp:
        src, compiled, wheel = build(Path(tmp), args.workload)
        print(f"wheel: {wheel}")
        print("| code | threads | wall time | speed-up | CPU / wall | CPU per call | GIL on after import |")
        print("|---|---|---|---|---|---|---|")
        for label, path in (("source", src), ("compiled", compiled)):
            one = None
            for threads in (1, 2, 4):
                runs = [timed(path, threads, args.calls, args.steps) for _ in range(args.rounds)]
                fastest = min(runs, key=lambda r: r["seconds"])
                best = fastest["seconds"]
                if label == "compiled":
                    assert not runs[0]["file"].endswith(".py"), runs[0]["file"]
                one = best if one is None else one
                per_call = min(r["cpu"] for r in runs) / (threads * args.calls)
                print(f"| {label} | {threads} | {best:.2f} s | {threads * one / best:.2f} | "
                      f"{fastest['cpu'] / best:.2f} | {per_call * 1000:.1f} ms | {runs[0]['gil']} |")


if __name__ == "__main__":
    main()
