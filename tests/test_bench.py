"""bench/bench.py in its smoke setting: every part runs on tiny sizes, without
downloads, to its report, so that a change to the tool cannot break
`make bench` unnoticed."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench" / "bench.py"


@pytest.mark.skipif(not BENCH.exists(), reason="bench/ is not in this checkout")
@pytest.mark.skipif(shutil.which("strace") is None, reason="the profile of a build needs strace")
def test_smoke_run_prints_its_report():
    env = dict(os.environ, BENCH_SMOKE="1")
    env.pop("BENCH_QUICK", None)
    proc = subprocess.run([sys.executable, str(BENCH)], capture_output=True, text=True,
                          env=env, timeout=900)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-3000:]
    out = proc.stdout
    for heading in ("Builds of `tov bdist`", "Where a rebuild after a change to one module",
                    "Module size:", "annotation_typing:", "Other benchmarks:",
                    "Start-up: modules that `tov --help` imports"):
        assert f"\n{heading}" in out, heading
    assert "(BENCH_SMOKE: figures mean nothing)" in out
    # Each build of the generated package has its row, with figures.
    for build in ("clean (empty cache)", "no-op (nothing changed)", "one module changed",
                  "a copy in another folder, warm cache",
                  "a second checkout, empty cache, shared store (redis)"):
        assert re.search(rf"^\| generated, 2 modules \| {re.escape(build)} \| 1 \| \d+\.\d\d s \|",
                         out, re.M), build
    # A clean build's own account of its stages reaches the report.
    assert re.search(r"^- generated, 2 modules: back end \d+\.\d s, modules .* C compile (?!0\.0 )\d+\.\d s.* in all$",
                     out, re.M), out
    # The profile found the steps that run as processes of their own (the
    # changed module's audits run in a translation worker, no process of theirs).
    for step in ("translate, compile and link 2 modules", "import check"):
        assert re.search(rf"^\| {re.escape(step)}.* \| \d+\.\d\d \| \d+% \|$", out, re.M), step
    assert "tov compile and the plain script: compiler and linker command lines the same" in out
    # The runtime part: each ordinary workload timed from source and from both
    # builds (the driver checks that the compiled ones ran compiled code and
    # that all three gave the same result), and their geometric mean.
    assert "\nRuntime speed: compiled / source time" in out
    for workload in ("cache", "parser", "loops", "textfmt"):
        assert re.search(rf"^\| {workload} \| ours \| .* \| \d+\.\d\d \| \d+\.\d\d \| \d+\.\d\d "
                         rf"\| \d+\.\d\d \| \d+\.\d\d \|$", out, re.M), workload
    assert re.search(r"^\| \*\*geometric mean, ordinary Python\*\* \| \| \| \| \| \d+\.\d\d \| \| \d+\.\d\d \|$",
                     out, re.M)
