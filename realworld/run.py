"""make realworld: tov bdist on real packages from the package index.

For each package of realworld/packages.toml: download its sdist, unpack it
and run its own tests against its pure wheel (the project's back end builds
it, as `python -m build --wheel` does) in a fresh virtual environment. Then:

1. the first run: `tov bdist --test-command ...` in the unpacked sdist,
   unchanged (the project route; a package listed with `layout = "folder"`
   is laid out as a bare folder and built with `-n`). It records what that
   run reports: its exit status and each failing module with its stage and
   reason, the test-breaking ones named by the tests;
2. when the first run failed, `tov bdist --keep-failing --test-command ...`,
   which ships those modules as source, and records what it kept;
3. the wheel made is compared with the pure wheel (only the tags and
   `.py` -> `.so` may differ), installed into a fresh virtual environment and
   tested again, from a folder that holds only the tests: every test that
   passes with the pure wheel must pass with it. A pytest plugin
   (realworld/results.py) records each loaded module of the package, which
   must come from that environment, and be an extension module unless the
   wheel ships it as source.

Prints a table. Run it with the python of an environment where tovel is
installed (its `tov` is taken from beside that python, or from --tov); the
test environments are made with the same interpreter. Exits 1 when a step
fails or the final wheel fails a test that passes from source.

    python realworld/run.py [--work DIR] [--tov PATH] [PACKAGE ...]
"""

import argparse
import email.parser
import importlib.metadata
import json
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import time
import tomllib
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BIN = "Scripts" if os.name == "nt" else "bin"
EXE = ".exe" if os.name == "nt" else ""


class StepFailed(Exception):
    pass


def base_env():
    env = dict(os.environ)
    # Nothing of the caller's environment may put other code on the path.
    for name in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONSAFEPATH"):
        env.pop(name, None)
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    # Keeps __pycache__ out of the unpacked sources that are compiled.
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def run(argv, log, cwd=None, env=None, ok=(0,)):
    """Runs argv with its output in the file log; a status outside ok is a
    failed step, reported with the end of the log."""
    argv = [str(a) for a in argv]
    with open(log, "w", encoding="utf-8") as out:
        out.write("$ " + shlex.join(argv) + "\n")
        out.flush()
        rc = subprocess.run(
            argv, cwd=cwd, env=env or base_env(), stdin=subprocess.DEVNULL,
            stdout=out, stderr=subprocess.STDOUT, timeout=3600,
        ).returncode
    if rc not in ok:
        tail = "\n".join(Path(log).read_text(errors="replace").splitlines()[-25:])
        raise StepFailed(f"{Path(argv[0]).name} {' '.join(argv[1:3])} ... exited with {rc}"
                         f" (log {log}):\n{tail}")
    return rc


def normalise(name):
    return re.sub(r"[-_.]+", "_", name).lower()


def download(pkg, downloads, log):
    """The sdist of the pinned version, from the package index."""
    downloads.mkdir(parents=True, exist_ok=True)
    run([sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", ":all:",
         "-d", downloads, f"{pkg['name']}=={pkg['version']}"], log)
    ending = f"-{pkg['version']}.tar.gz"
    for file in downloads.iterdir():
        if file.name.endswith(ending) and normalise(file.name[: -len(ending)]) == normalise(pkg["name"]):
            return file
    raise StepFailed(f"pip saved no {pkg['name']}-{pkg['version']} sdist (.tar.gz) in {downloads}")


def unpack(archive, dest):
    with tarfile.open(archive) as tar:
        tar.extractall(dest, filter="data")
    (top,) = [p for p in dest.iterdir() if p.is_dir()]
    return top


def copy(src, dest):
    if src.is_dir():
        shutil.copytree(src, dest, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    else:
        dest.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(src, dest)


def make_folder_project(pkg, sdist, project):
    """A project in tov's bare-folder layout: the package folder and project/
    with the readme, the requirements and the licence of the sdist."""
    source = sdist / pkg["source"]
    target = project / pkg["package"]
    if source.is_file():
        # A single-module package: the module becomes the package itself.
        copy(source, target / "__init__.py")
    else:
        copy(source, target)
    meta = project / "project"
    meta.mkdir(parents=True)
    readmes = sorted(sdist.glob("README*"))
    text = readmes[0].read_text(encoding="utf-8") if readmes else f"# {pkg['name']}\n"
    (meta / "README.md").write_text(text, encoding="utf-8")
    (meta / "requirements.txt").write_text(
        "".join(line + "\n" for line in pkg.get("requires", [])), encoding="utf-8")
    licences = sorted(sdist.glob("LICEN[CS]E*")) or sorted(sdist.glob("COPYING*"))
    if not licences:
        raise StepFailed(f"no licence file in the sdist of {pkg['name']}")
    # The first as project/LICENSE, the others (packaging has three) as they are.
    shutil.copy2(licences[0], meta / "LICENSE")
    for licence in licences[1:]:
        shutil.copy2(licence, meta / licence.name)


def make_tests(pkg, sdist, folder):
    """The folder pytest runs in: the tests of the sdist and a pytest.ini,
    nothing of the package itself (a flat layout's tests would otherwise put
    the sources on the path, ahead of the installed wheel)."""
    folder.mkdir(parents=True)
    for path in [*pkg.get("files", []), *pkg["tests"]]:
        if not (folder / path).exists():  # the tests may lie in a folder of files
            copy(sdist / path, folder / path)
    (folder / "pytest.ini").write_text("[pytest]\n" + pkg.get("pytest_ini", "").lstrip(),
                                       encoding="utf-8")
    for shadow in (folder / pkg["package"], folder / (pkg["package"] + ".py")):
        if shadow.exists():
            raise StepFailed(f"{shadow} would let the tests import the sources")


def pytest_argv(pkg, tests):
    """The pytest command line of every run, from any folder."""
    return ["python", "-m", "pytest", "-c", str(tests / "pytest.ini"), "--rootdir", str(tests),
            *(a.replace("{tests}", str(tests)) for a in pkg.get("pytest_args", [])),
            *(str(tests / t) for t in pkg["tests"])]


def make_venv(where, requirements, log):
    """A fresh environment of this interpreter; the running pip installs into
    it, which saves bootstrapping a pip in each."""
    run([sys.executable, "-m", "venv", "--without-pip", where], log)
    python = where / BIN / ("python" + EXE)
    run([sys.executable, "-m", "pip", "--python", python, "install", "-q", *requirements],
        str(log) + ".pip")
    return python


def run_tests(pkg, python, tests, extra_path, results, log):
    """pytest as the test command runs it; returns (outcomes by node id,
    module files of the package)."""
    env = base_env()
    env["PATH"] = str(python.parent) + os.pathsep + env.get("PATH", "")
    env["PYTHONPATH"] = os.pathsep.join([*extra_path, str(HERE)])
    env["REALWORLD_PACKAGE"] = pkg["package"]
    env["REALWORLD_RESULTS"] = str(results)
    env.update(pkg.get("test_env", {}))
    argv = pytest_argv(pkg, tests)
    run([python, *argv[1:3], "-p", "results", "-p", "no:cacheprovider", "-q", *argv[3:]],
        log, cwd=results.parent, env=env, ok=(0, 1))
    data = json.loads(Path(results).read_text(encoding="utf-8"))
    return data["outcomes"], data["modules"]


def check_modules(pkg, modules, inside, kept=None):
    """Every loaded module of the package comes from inside (the sources, or
    the environment's site-packages). With kept (the wheel's .py files,
    relative to inside) each module is an extension module unless its file is
    one of those."""
    if not modules.get(pkg["package"]):
        raise StepFailed(f"the tests did not import {pkg['package']} from a file")
    for name, file in sorted(modules.items()):
        if file is None:
            continue  # made at run time, no file of its own
        path = Path(file).resolve()
        if not path.is_relative_to(inside):
            raise StepFailed(f"{name} was imported from {file}, not from {inside}")
        if kept is None or path.name.endswith(tuple(EXTENSION_SUFFIXES)):
            continue
        if path.relative_to(inside).as_posix() not in kept:
            raise StepFailed(f"{name} was imported from {file}, neither an extension module "
                             f"nor a module the wheel ships as source")


def site_of(python):
    return Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        capture_output=True, text=True, check=True, env=base_env()).stdout.strip()).resolve()


def count(outcomes):
    n = {"passed": 0, "failed": 0, "skipped": 0}
    for outcome in outcomes.values():
        n[outcome] += 1
    return n


def cell(n):
    text = f"{n['passed']} of {n['passed'] + n['failed']}"
    return text + (f" ({n['skipped']} skipped)" if n["skipped"] else "")


def bdist_report(output):
    """What a tov bdist run printed: its failure summary (a header line, then
    one line per module: path, stage, reason, two spaces or more apart) and
    the command line it suggests; or, with --keep-failing, the modules it
    kept as source (`kept as source: PATH (STAGE: REASON)`)."""
    report = {"failed": [], "command": None}
    lines = output.splitlines()
    listing = False
    for i, line in enumerate(lines):
        if re.match(r"^\d+ modules? failed; no wheel was made", line):
            listing = True
            continue
        match = re.match(r"^  (\S+) {2,}(\S.*?) {2,}(.*)$", line) if listing else None
        kept = re.match(r"^kept as source: (\S+) \(([^:]+): (.*)\)$", line)
        if match or kept:
            report["failed"].append((match or kept).groups())
        elif listing and not line.startswith("  "):
            listing = False
        if line.startswith("This command builds the wheel") and i + 1 < len(lines):
            report["command"] = lines[i + 1].strip()
    return report


def tov_bdist(tov, options, project, log, env):
    """tov bdist with options in project; returns (status, report, wheel).
    A run that fails leaves nothing in dist/, one that succeeds one wheel."""
    shutil.rmtree(project / "dist", ignore_errors=True)
    rc = run([tov, "bdist", *options], log, cwd=project, env=env, ok=(0, 1))
    report = bdist_report(Path(log).read_text(encoding="utf-8", errors="replace"))
    wheels = sorted((project / "dist").glob("*.whl")) if (project / "dist").exists() else []
    if rc == 0 and len(wheels) != 1:
        raise StepFailed(f"tov bdist succeeded and left {len(wheels)} wheels in dist, not one")
    if rc == 1 and (wheels or not report["failed"]):
        raise StepFailed(f"tov bdist failed without its summary of failed modules, or with a "
                         f"wheel in dist (log {log})")
    return rc, report, wheels[0] if wheels else None


def wheel_files(path):
    with zipfile.ZipFile(path) as whl:
        return {name: whl.read(name) for name in whl.namelist() if not name.endswith("/")}


def as_source(name):
    """pkg/mod.abi3.so -> pkg/mod.py: the file name up to its first dot."""
    return re.sub(r"\.[^/]*$", ".py", name)


def compare(pure, compiled):
    """The differences of the compiled wheel from the pure one beyond its tags
    and the .py files it ships compiled; returns (differences, the .py files
    compiled, the .py files shipped as source)."""
    a, b = wheel_files(pure), wheel_files(compiled)
    info = lambda files: next(n.split("/")[0] for n in files if n.split("/")[0].endswith(".dist-info"))
    ia, ib = info(a), info(b)
    diffs = []
    if ia != ib:
        diffs.append(f".dist-info named {ib}, not {ia}")
    extensions = {n for n in b if n.endswith(tuple(EXTENSION_SUFFIXES))}
    for n in sorted(extensions):
        if as_source(n) not in a:
            diffs.append(f"{n} is not the extension of a module of the pure wheel")
    compiled_py = {as_source(n) for n in extensions}
    for n in sorted(set(a) - compiled_py):
        rel = n.removeprefix(ia + "/")
        other = ib + "/" + rel if n.startswith(ia + "/") else n
        if rel in ("RECORD", "WHEEL"):
            continue
        if other not in b:
            diffs.append(f"{n} missing")
        elif a[n] != b[other]:
            diffs.append(f"{n} differs")
    for n in sorted(set(b) - extensions):
        rel = n.removeprefix(ib + "/")
        if rel not in ("RECORD", "WHEEL") and (ia + "/" + rel if n.startswith(ib + "/") else n) not in a:
            diffs.append(f"{n} added")
    # WHEEL: the same but for its tags and Root-Is-Purelib.
    parse = lambda text: [(k, v) for k, v in email.parser.Parser().parsestr(text.decode()).items()
                          if k not in ("Tag", "Root-Is-Purelib", "Generator")]
    if parse(a[ia + "/WHEEL"]) != parse(b[ib + "/WHEEL"]):
        diffs.append("WHEEL differs beyond its tags")
    sources = sorted(n for n in b if n.endswith(".py"))
    return diffs, sorted(compiled_py), sources


def tov_options(pkg, tests, timeout):
    """The options of both tov runs: the naming ones of the folder layout,
    the package's own, and its tests as the test command."""
    options = []
    if pkg.get("layout") == "folder":
        options += ["-n", pkg["package"], "-v", pkg["version"], "-d", pkg["summary"],
                    "-l", pkg["license"]]
    options += pkg.get("options", [])
    options += ["--test-command", shlex.join(pytest_argv(pkg, tests)),
                "--test-timeout", str(timeout)]
    for requirement in [CONFIG["pytest"], *pkg.get("test_requires", [])]:
        options += ["--test-requires", requirement]
    return options


def modules_line(report, package):
    return "; ".join(f"`{path.removeprefix(package + '/')}` {stage}"
                     for path, stage, _ in report["failed"])


def one_package(pkg, work, downloads, tov, row, cache):
    package = pkg["package"]
    if work.exists():
        shutil.rmtree(work)
    logs = work / "logs"
    logs.mkdir(parents=True)
    step = lambda text: print(f"  {text}", flush=True)
    tov_env = base_env()
    # One compile cache for all the packages, in the work folder.
    tov_env["XDG_CACHE_HOME"] = str(cache)
    tov_env.update(pkg.get("test_env", {}))
    folder = pkg.get("layout") == "folder"

    step("download and unpack the sdist")
    archive = download(pkg, downloads, logs / "download.log")
    sdist = unpack(archive, work / "sdist")
    tests = work / "tests"
    make_tests(pkg, sdist, tests)
    (work / "runs").mkdir()
    requirements = [CONFIG["pytest"], *pkg.get("test_requires", [])]
    if folder:
        project = work / "project"
        make_folder_project(pkg, sdist, project)
        row["route"] = "`-n` (bare folder)"
        pure, source_path = None, [str((sdist / pkg["source"]).parent)]
        requirements += pkg.get("requires", [])
    else:
        project = sdist
        backend = tomllib.loads((sdist / "pyproject.toml").read_text(encoding="utf-8"))
        row["route"] = backend["build-system"]["build-backend"].split(".")[0]
        step("the back end's own pure wheel (python -m build --wheel), from a copy")
        pure_src = unpack(archive, work / "pure-src")
        run([sys.executable, "-m", "build", "--wheel", "--outdir", work / "pure", pure_src],
            logs / "pure-wheel.log")
        (pure,) = (work / "pure").glob("*.whl")
        requirements.append(pure)
        source_path = []

    step("tests with the sources")
    python = make_venv(work / "venv-sources", requirements, logs / "venv-sources.log")
    outcomes, modules = run_tests(pkg, python, tests, source_path,
                                  work / "runs" / "results-sources.json", logs / "tests-sources.log")
    check_modules(pkg, modules, Path(source_path[0]).resolve() if folder else site_of(python))
    n = count(outcomes)
    row["sources"] = cell(n)
    step(f"{n['passed']} passed, {n['failed']} failed with the sources")
    # Generous: a run of the compiled modules is slower at import, not at work.
    timeout = pkg.get("test_timeout", 900)
    options = tov_options(pkg, tests, timeout)

    step("tov bdist --test-command ... (the first run)")
    began = time.monotonic()
    rc, first, wheel = tov_bdist(tov, options, project, logs / "bdist-first.log", tov_env)
    row["first_seconds"] = time.monotonic() - began
    if rc == 0:
        row["first"] = "wheel made"
    else:
        row["first"] = "exit 1: " + modules_line(first, package)
        row["first_failures"] = first["failed"]
        row["suggested"] = first["command"]
    step(row["first"])
    row["kept"] = "-"
    if rc != 0:
        step("tov bdist --keep-failing --test-command ...")
        rc, report, wheel = tov_bdist(tov, [*options, "--keep-failing"], project,
                                      logs / "bdist-keep-failing.log", tov_env)
        if rc != 0:
            raise StepFailed(f"tov bdist --keep-failing failed: {report['failed']}")
        row["kept"] = modules_line(report, package) or "none"
        step(f"kept as source: {row['kept']}")
    row["wheel"] = wheel.name

    if pure:
        diffs, compiled, shipped = compare(pure, wheel)
        row["twin"] = "equal" if not diffs else "; ".join(diffs[:3]) + (" ..." if len(diffs) > 3 else "")
        step(f"against the pure wheel: {row['twin']}")
    else:
        files = wheel_files(wheel)
        compiled = sorted(as_source(n) for n in files if n.endswith(tuple(EXTENSION_SUFFIXES)))
        shipped = sorted(n for n in files if n.endswith(".py"))
        row["twin"] = "-"
    row["modules"] = f"{len(compiled)} of {len(compiled) + len(shipped)}"

    step("tests with the wheel")
    # The pure wheel's place is the compiled wheel's.
    python = make_venv(work / "venv-compiled", [*(r for r in requirements if r != pure), wheel],
                       logs / "venv-compiled.log")
    site = site_of(python)
    compiled_outcomes, modules = run_tests(pkg, python, tests, [], work / "runs" / "results-compiled.json",
                                           logs / "tests-compiled.log")
    check_modules(pkg, modules, site, kept=set(shipped))
    n = count(compiled_outcomes)
    row["compiled"] = cell(n)
    lost = sorted(t for t, outcome in outcomes.items()
                  if outcome == "passed" and compiled_outcomes.get(t) != "passed")
    row["faithful"] = "yes" if not lost else f"no: {len(lost)}"
    step(f"{n['passed']} passed, {n['failed']} failed with the wheel; "
         f"{len(lost)} passing from source do not")
    if lost:
        raise StepFailed(f"{len(lost)} tests that pass with the sources do not with the wheel: {lost[:5]}")


HEADER = ("| package | back end | first run (`--test-command`) | `--keep-failing`: kept as source "
          "| compiled | tests, sources | tests, wheel | all pass | wheel vs pure wheel |")


def table(rows, interpreter):
    lines = [f"Measured with {interpreter}.", "", HEADER, "|---" * 9 + "|"]
    # A | in a cell (a pattern's alternatives) would end it.
    cells = lambda r: {k: v.replace("|", "\\|") if isinstance(v, str) else v for k, v in r.items()}
    for r in map(cells, rows):
        lines.append(
            f"| {r['name']} {r['version']} | {r.get('route', '-')} | {r.get('first', '-')} "
            f"| {r.get('kept', '-')} | {r.get('modules', '-')} | {r.get('sources', '-')} "
            f"| {r.get('compiled', '-')} | {r.get('faithful', '-')} | {r.get('twin', '-')} |")
    firsts = [r for r in rows if r.get("first_failures")]
    if firsts:
        lines += ["", "What the first runs printed (module, stage, reason):", ""]
        for r in firsts:
            lines.append(f"- **{r['name']}**:")
            for path, stage, reason in r["first_failures"]:
                reason = reason if len(reason) < 200 else reason[:200] + " ..."
                lines.append(f"  - `{path}` {stage}: `{reason}`")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("packages", nargs="*", help="names from packages.toml (default: all)")
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "realworld",
                        help="work folder (default: build/realworld of the checkout)")
    parser.add_argument("--tov", type=Path, default=Path(sys.executable).parent / ("tov" + EXE),
                        help="the tov command (default: beside this python)")
    args = parser.parse_args()
    if not args.tov.exists():
        sys.exit(f"no tov command at {args.tov}: run this with the python of tovel's environment")

    packages = CONFIG["package"]
    unknown = set(args.packages) - {p["name"] for p in packages}
    if unknown:
        sys.exit(f"not in packages.toml: {', '.join(sorted(unknown))}")
    if args.packages:
        packages = [p for p in packages if p["name"] in args.packages]

    work = args.work.resolve()
    interpreter = (f"{platform.python_implementation()} {platform.python_version()} "
                   f"({sys.platform} {platform.machine()}), Cython "
                   f"{importlib.metadata.version('Cython')}")
    print(f"interpreter: {interpreter}", flush=True)
    rows, failures, start = [], [], time.monotonic()
    for pkg in packages:
        began = time.monotonic()
        print(f"=== {pkg['name']} {pkg['version']}", flush=True)
        row = {"name": pkg["name"], "version": pkg["version"]}
        rows.append(row)
        try:
            one_package(pkg, work / pkg["name"], work / "downloads", args.tov, row,
                        work / "cache")
        except Exception as exc:  # reported, and the next package goes on
            failures.append(pkg["name"])
            row.setdefault("faithful", "FAILED")
            kind = "" if isinstance(exc, StepFailed) else f"{type(exc).__name__}: "
            print(f"  FAILED: {kind}{exc}", flush=True)
        print(f"  ({time.monotonic() - began:.0f} s)", flush=True)

    text = table(rows, interpreter)
    work.mkdir(parents=True, exist_ok=True)
    (work / "table.md").write_text(text, encoding="utf-8")
    print()
    print(text)
    print(f"{time.monotonic() - start:.0f} s in all; the logs are in {work}/<package>/logs")
    if failures:
        sys.exit(f"failed: {', '.join(failures)}")


CONFIG = tomllib.loads((HERE / "packages.toml").read_text(encoding="utf-8"))

if __name__ == "__main__":
    main()
