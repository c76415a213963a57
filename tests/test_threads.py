"""State shared by threads: compiled code never crashes or raises where its
source does not. Each construct runs from 8 threads at once in a fresh
process, from source and compiled as tov compiles it; lost updates are
allowed (Python allows them), a crash or an exception only where the
source has one too. Free-threaded interpreters are where it counts; with a
GIL it is cheap."""

import json
import subprocess
import sys
import textwrap

import pytest

import tovel.options

from test_faithful import COMPILE, LIMITED

SHARED = textwrap.dedent("""\
    import threading

    THREADS, N = 8, 20000

    def run_threads(work):
        \"\"\"work(i) in THREADS threads started together; raises what they raised.\"\"\"
        barrier, errors = threading.Barrier(THREADS), []
        def body(i):
            barrier.wait()
            try:
                work(i)
            except BaseException as e:
                errors.append(repr(e))
        pool = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        if errors:
            raise RuntimeError(errors)

    def nonlocal_counter():
        n = 0
        def inc():
            nonlocal n
            n += 1
            return n
        def work(i):
            for _ in range(N):
                inc()
        run_threads(work)
        return 0 < n <= THREADS * N

    COUNT = 0

    def global_counter():
        def work(i):
            global COUNT
            for _ in range(N):
                COUNT += 1
        run_threads(work)
        return 0 < COUNT <= THREADS * N

    def list_append_pop():
        shared, mine = [], [0] * THREADS
        def work(i):
            for k in range(N):
                shared.append(k)
                mine[i] = mine[i] + 1
                shared.pop()
        run_threads(work)
        return [len(shared), mine == [N] * THREADS]

    def dict_setdefault():
        d = {}
        def work(i):
            for k in range(N):
                d.setdefault(k % 64, []).append(i)
        run_threads(work)
        return [len(d), sum(map(len, d.values()))]

    TABLE, CACHE = None, {}

    def table():
        global TABLE
        if TABLE is None:
            TABLE = {k: k * k for k in range(100)}
        return TABLE

    def square(k):
        v = CACHE.get(k)
        if v is None:
            v = CACHE[k] = k * k
        return v

    def lazy_cache():
        def work(i):
            for k in range(N):
                if table()[k % 100] != square(k % 100):
                    raise AssertionError(k)
        run_threads(work)
        return [len(CACHE), sum(CACHE.values())]

    def numbers(n):
        for i in range(n):
            yield i

    def shared_generator():
        gen, seen = numbers(THREADS * N // 4), [[] for _ in range(THREADS)]
        def work(i):
            while True:
                try:
                    seen[i].append(next(gen))
                except ValueError:  # running in another thread
                    continue
                except StopIteration:
                    return
        run_threads(work)
        return sorted(v for s in seen for v in s) == list(range(THREADS * N // 4))

    def adder(k):
        return lambda x: x + k

    def functions_passed_on():
        # functions made in one thread and dropped in another: the counts of
        # what they hold come out where they were
        import gc, sys
        shared = []
        code = adder(0).__code__
        before = [sys.getrefcount(globals()), sys.getrefcount(code)]
        def work(i):
            for k in range(N):
                shared.append(adder(k))
                if len(shared) > 16:
                    try:
                        f = shared.pop(0)
                    except IndexError:
                        continue
                    if f(0) < 0:
                        raise AssertionError(k)
        run_threads(work)
        shared.clear()
        gc.collect()
        # (a few references to the module's dict come and go with the threads)
        return [abs(sys.getrefcount(globals()) - before[0]) < N, sys.getrefcount(code) - before[1]]

    class Box:
        def __init__(self):
            self.n = 0
            self.hits = 0
        def step(self):
            self.n += 1
            return self.n

    class Slotted:
        __slots__ = ('n',)
        def __init__(self):
            self.n = 0

    def one(self):
        return 1

    def two(self):
        return 2

    def attributes():
        box, slotted = Box(), Slotted()
        def work(i):
            for k in range(N):
                box.step()
                box.hits = box.hits + 1
                slotted.n += 1
                if i == 0:  # the class changes under the others' calls
                    Box.m = one if k % 2 else two
                elif hasattr(Box, 'm') and box.m() not in (1, 2):
                    raise AssertionError(k)
        total = THREADS * N
        run_threads(work)
        return [0 < box.n <= total, 0 < box.hits <= total, 0 < slotted.n <= total]

    class Base:
        def __init__(self, k):
            self.k = k
        def get(self, d):
            return self.k + d
        @classmethod
        def make(cls, k):
            return cls(k)

    class Child(Base):
        def __init__(self, k):
            k = k * 2
            super().__init__(k)
        def get(self, d):
            return super().get(d) + 1
        @classmethod
        def make(cls, k):
            k = k + 1
            return super().make(k)

    class Hooked(Child):
        def __getattr__(self, name):  # attributes not found in the ordinary way come here
            raise AttributeError(name)
        def get(self, d):
            return super().get(d) * 10

    class Upper(str):
        def __new__(cls, v):
            v = v.upper()
            return super().__new__(cls, v)

    def super_calls():
        # super().name(...) in methods, class methods and __new__, while one
        # thread rebinds the base's method under the others' calls
        totals = [0] * THREADS
        def work(i):
            for k in range(N // 4):
                if i == 0 and k % 64 == 0:
                    Base.get = (lambda self, d: d + self.k) if k % 128 else (lambda self, d: self.k + d)
                totals[i] += Child(k).get(1) + Hooked.make(k).get(2) + len(Upper("ab") + "c")
        run_threads(work)
        try:
            Child.get(Base(1), 0)
        except TypeError as e:
            return [sum(totals), str(e), Upper("x")]
        return [sum(totals)]

    def twice(x):
        return 2 * x

    def rebound_global():
        # a module-level function called by name while one thread rebinds the
        # name to new functions and collects the old ones
        import gc, sys
        seen = [0] * THREADS
        def work(i):
            global twice
            for k in range(N // 4):
                if i == 0 and k % 256 == 0:
                    space = {}
                    exec("def twice(x):\\n    return x + x\\n", space)
                    twice = space["twice"]
                    gc.collect()
                seen[i] += twice(k) == 2 * k
        run_threads(work)
        gc.collect()
        # each call's hold on the function it read is let go, no more
        before = sys.getrefcount(twice)
        for _ in range(1000):
            twice(21)
        return [sum(seen), twice(21), sys.getrefcount(twice) - before]

    class Made:
        def __init__(self, k):
            self.k = k

    def class_calls():
        # a class called while one thread rebinds its __init__ to new
        # functions and collects the old ones
        import gc, sys
        seen = [0] * THREADS
        def work(i):
            for k in range(N // 4):
                if i == 0 and k % 256 == 0:
                    space = {}
                    exec("def init(self, k):\\n    self.k = k\\n", space)
                    Made.__init__ = space["init"]
                    gc.collect()
                seen[i] += Made(k).k == k
        run_threads(work)
        gc.collect()
        # each call's hold on __init__ is let go, no more
        before = sys.getrefcount(Made.__dict__["__init__"])
        for _ in range(1000):
            Made(1)
        return [sum(seen), sys.getrefcount(Made.__dict__["__init__"]) - before]

    def collect_while_busy():
        # a collection stops every thread first: one in a loop of compiled
        # code stops for it too (else this thread waits for the loop's end)
        import gc, sys, time
        if getattr(sys, "_is_gil_enabled", lambda: True)():
            return "with the GIL"
        started, done, deadline = threading.Barrier(2), [], time.monotonic() + 30
        def spin():
            started.wait()
            while not done and time.monotonic() < deadline:
                pass
        thread = threading.Thread(target=spin)
        thread.start()
        started.wait()
        gc.collect()
        done.append(1)
        thread.join()
        return time.monotonic() < deadline
    """)

CASES = ["nonlocal_counter", "global_counter", "list_append_pop", "dict_setdefault", "lazy_cache",
         "shared_generator", "attributes", "functions_passed_on", "super_calls", "rebound_global",
         "class_calls", "collect_while_busy"]

RUN = textwrap.dedent("""\
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import shared
    print(json.dumps(getattr(shared, sys.argv[2])()))
    """)


@pytest.fixture(scope="module")
def trees(tmp_path_factory):
    """The module from source and compiled: {kind: folder}."""
    root = tmp_path_factory.mktemp("threads")
    out = {}
    for kind in ("source", "compiled"):
        out[kind] = root / kind
        out[kind].mkdir()
        (out[kind] / "shared.py").write_text(SHARED)
    directives = json.dumps(tovel.options.directives(None, LIMITED))
    proc = subprocess.run([sys.executable, "-c", COMPILE, str(out["compiled"]), directives, "1" if LIMITED else "0"],
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    (out["compiled"] / "shared.py").unlink()
    return out


def outcome(folder, case):
    """(exit status, what the case printed or the end of its error output)."""
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", RUN, str(folder), case], capture_output=True,
                          text=True, timeout=300)
    return proc.returncode, proc.stdout.strip() if proc.returncode == 0 else proc.stderr[-2000:]


@pytest.mark.parametrize("case", CASES)
def test_shared_state_is_as_safe_compiled(trees, case):
    source = outcome(trees["source"], case)
    if source[0] != 0:
        pytest.skip(f"the source itself fails here: {source[1][-300:]}")
    assert outcome(trees["compiled"], case) == source
