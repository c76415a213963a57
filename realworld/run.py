"""make realworld: tov bdist on real packages from the package index.

For each package of realworld/packages.toml: download its sdist and run its
own tests against the sources; run `tov bdist` on it with the default options
and record what that first run reports (the modules that fail, their stage,
the command it suggests); run `tov bdist` again with the options the package
is listed with (modules kept as source, Cython directives, exclusions),
install that wheel into a fresh virtual environment and run the same tests
against it, from a folder that holds only the tests. Prints a table of what
was compiled and passed.

Run it with the python of an environment where tovel is installed (its `tov`
is taken from beside that python, or from --tov); the test environments are
made with the same interpreter. Exits 1 when a step fails or a compiled test
fails for a reason the table of packages does not list.

    python realworld/run.py [--work DIR] [--tov PATH] [PACKAGE ...]
"""

import argparse
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
        out.write("$ " + " ".join(argv) + "\n")
        out.flush()
        rc = subprocess.run(
            argv, cwd=cwd, env=env or base_env(), stdin=subprocess.DEVNULL,
            stdout=out, stderr=subprocess.STDOUT, timeout=1800,
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


def make_project(pkg, sdist, project):
    """A project in tov's layout: the package folder and project/ with the
    readme, the requirements and the licence of the sdist."""
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
    nothing of the package itself."""
    folder.mkdir(parents=True)
    for path in [*pkg["tests"], *pkg.get("files", [])]:
        copy(sdist / path, folder / path)
    (folder / "pytest.ini").write_text("[pytest]\n" + pkg.get("pytest_ini", "").lstrip(),
                                       encoding="utf-8")
    for shadow in (folder / pkg["package"], folder / (pkg["package"] + ".py")):
        if shadow.exists():
            raise StepFailed(f"{shadow} would let the tests import the sources")


def make_venv(where, requirements, log, no_deps=()):
    """A fresh environment of this interpreter; the running pip installs into
    it, which saves bootstrapping a pip in each. The no_deps requirements come
    without their dependencies (a test tool that depends on the package under
    test would otherwise bring the package's own wheel from the index)."""
    run([sys.executable, "-m", "venv", "--without-pip", where], log)
    python = where / BIN / ("python" + EXE)
    with open(log, "a", encoding="utf-8") as out:
        out.write("\n")
    pip = [sys.executable, "-m", "pip", "--python", python, "install", "-q"]
    run([*pip, *requirements], str(log) + ".pip")
    if no_deps:
        run([*pip, "--no-deps", *no_deps], str(log) + ".pip-no-deps")
    return python


def run_tests(pkg, python, folder, extra_path, results, log, extra_args=()):
    """pytest in folder; returns (status, outcomes by node id, module files)."""
    env = base_env()
    env["PYTHONPATH"] = os.pathsep.join([*extra_path, str(HERE)])
    env["REALWORLD_PACKAGE"] = pkg["package"]
    env["REALWORLD_RESULTS"] = str(results)
    env.update(pkg.get("test_env", {}))
    rc = run([python, "-m", "pytest", "-p", "results", "-p", "no:cacheprovider", "-q",
              *pkg.get("pytest_args", []), *extra_args, *pkg["tests"]],
             log, cwd=folder, env=env, ok=(0, 1))
    data = json.loads(Path(results).read_text(encoding="utf-8"))
    return rc, data["outcomes"], data["modules"]


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
                             f"nor a module kept as source")


def count(outcomes):
    n = {"passed": 0, "failed": 0, "skipped": 0}
    for outcome in outcomes.values():
        n[outcome] += 1
    return n


def cell(n):
    text = f"{n['passed']} of {n['passed'] + n['failed']}"
    return text + (f" ({n['skipped']} skipped)" if n["skipped"] else "")


# The failure summary of tov bdist: "N modules failed; no wheel was made:",
# one line per module (path, stage, reason, two spaces or more apart), then
# the log, then the command line that would succeed.
STAGES = ("Cython translation", "C compile", "link", "import check")
FAILED_LINE = re.compile(r"^  (\S+) {2,}(" + "|".join(STAGES) + r") {2,}(.*)$")


def bdist_report(output):
    """What a tov bdist run printed: its plan (the modules it compiled, kept
    as source and excluded) and its failure summary."""
    report = {"compiled": [], "kept": [], "excluded": [], "failed": [], "command": None}
    lines = output.splitlines()
    for i, line in enumerate(lines):
        for word in ("compiled", "kept as source", "excluded"):
            if line.startswith(word + " "):
                report[word.split()[0]].append(line[len(word) + 1:].split(" (")[0])
        match = FAILED_LINE.match(line)
        if match:
            report["failed"].append(match.groups())
        if line.startswith("This command builds the wheel") and i + 1 < len(lines):
            report["command"] = lines[i + 1].strip()
    return report


def tov_bdist(tov, options, project, log, env):
    """tov bdist with options in project; returns (status, report, wheels).
    A run that fails leaves nothing in dist/, one that succeeds one wheel."""
    shutil.rmtree(project / "dist", ignore_errors=True)
    rc = run([tov, "bdist", *options], log, cwd=project, env=env, ok=(0, 1))
    report = bdist_report(Path(log).read_text(encoding="utf-8", errors="replace"))
    wheels = sorted((project / "dist").glob("*.whl")) if (project / "dist").exists() else []
    if rc == 0 and len(wheels) != 1:
        raise StepFailed(f"tov bdist succeeded and left {len(wheels)} wheels in dist, not one")
    if rc == 1 and (wheels or not report["failed"] or not report["command"]):
        raise StepFailed(f"tov bdist failed without its summary of failed modules and the "
                         f"command that succeeds, or with a wheel in dist (log {log})")
    return rc, report, wheels


def options_of(pkg):
    """The options of the configured run, beyond the naming ones."""
    options = []
    if "exclude" in pkg:
        options += ["-e", pkg["exclude"]]
    if "keep" in pkg:
        options += ["-k", pkg["keep"]]
    for directive in pkg.get("directives", []):
        options += ["-X", directive]
    return options


def shown(options):
    return " ".join(shlex.quote(o) for o in options) if options else "(defaults)"


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

    step("download and unpack the sdist")
    archive = download(pkg, downloads, logs / "download.log")
    sdist = unpack(archive, work / "sdist")
    project, tests = work / "project", work / "tests"
    make_project(pkg, sdist, project)
    make_tests(pkg, sdist, tests)
    sources = sorted(p.relative_to(project).as_posix()
                     for p in (project / package).rglob("*.py"))

    step("tests with the sources")
    requirements = [CONFIG["pytest"], *pkg.get("test_requires", []), *pkg.get("requires", [])]
    no_deps = pkg.get("test_requires_no_deps", [])
    python = make_venv(work / "venv-sources", requirements, logs / "venv-sources.log", no_deps)
    source_root = (sdist / pkg["source"]).parent
    rc, outcomes, modules = run_tests(pkg, python, tests, [str(source_root)],
                                      work / "results-sources.json", logs / "tests-sources.log")
    check_modules(pkg, modules, source_root.resolve())
    n = count(outcomes)
    row["sources"] = cell(n)
    if rc != 0:
        failed = [k for k, v in outcomes.items() if v == "failed"]
        raise StepFailed(f"{len(failed)} tests fail with the sources: {failed[:5]}")
    step(f"{n['passed']} passed with the sources")

    naming = ["-n", package, "-v", pkg["version"], "-d", pkg["summary"], "-l", pkg["license"]]
    step("tov bdist with the default options (the first run)")
    rc, first, _ = tov_bdist(tov, naming, project, logs / "bdist-first.log", tov_env)
    if (project / "build" / "tov-failures.log").exists():
        shutil.copy2(project / "build" / "tov-failures.log", logs / "bdist-first-failures.log")
    if rc == 0:
        row["first"] = "wheel made"
    else:
        row["first"] = "exit 1: " + "; ".join(
            f"`{path.removeprefix(package + '/')}` {stage}" for path, stage, _ in first["failed"])
        row["first_failures"] = first["failed"]
        row["suggested"] = first["command"]
    step(row["first"])

    options = options_of(pkg)
    row["options"] = shown(options)
    step(f"tov bdist {shown(options)}")
    rc, report, wheels = tov_bdist(tov, naming + options, project, logs / "bdist.log", tov_env)
    if rc != 0:
        raise StepFailed(f"tov bdist {shown(options)} failed: {report['failed']}")
    # Every module compiled, unless packages.toml keeps or excludes it (or it
    # is a __main__.py, which python -m runs from source).
    keep, exclude = pkg.get("keep"), pkg.get("exclude")
    excluded = [s for s in sources if exclude and re.search(exclude, s)]
    kept = [s for s in sources if s not in excluded
            and (s.endswith("/__main__.py") or (keep and re.search(keep, s)))]
    compiled = [s for s in sources if s not in excluded and s not in kept]
    said = {k: sorted(p for p in report[k] if p.endswith(".py")) for k in ("compiled", "kept", "excluded")}
    if said != {"compiled": compiled, "kept": kept, "excluded": excluded}:
        raise StepFailed(f"tov bdist compiled, kept and excluded {said}; expected "
                         f"{compiled}, {kept}, {excluded}")
    with zipfile.ZipFile(wheels[0]) as whl:
        members = whl.namelist()
    in_wheel = sorted(m for m in members if m.endswith(".py"))
    extensions = sorted(re.sub(r"\..*$", ".py", m) for m in members
                        if m.endswith(tuple(EXTENSION_SUFFIXES)))
    if in_wheel != kept or extensions != compiled:
        raise StepFailed(f"{wheels[0].name} holds the sources {in_wheel} and the extension "
                         f"modules {extensions}; expected {kept} and {compiled}")
    row["modules"] = f"{len(compiled)} of {len(sources)}"
    row["wheel"] = wheels[0].name
    step(f"{wheels[0].name}: {len(compiled)} compiled, {len(kept)} kept as source, "
         f"{len(excluded)} excluded")

    step("tests with the compiled wheel")
    python = make_venv(work / "venv-compiled", [*requirements, wheels[0]],
                       logs / "venv-compiled.log", no_deps)
    site = Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        capture_output=True, text=True, check=True, env=base_env()).stdout.strip()).resolve()
    installed = sorted(p.relative_to(site).as_posix() for p in (site / package).rglob("*.py"))
    if installed != kept:
        raise StepFailed(f"Python sources installed with the wheel: {installed}, not {kept}")
    rc, compiled_outcomes, modules = run_tests(
        pkg, python, tests, [], work / "results-compiled.json", logs / "tests-compiled.log")
    check_modules(pkg, modules, site, kept=set(kept))
    n = count(compiled_outcomes)
    row["compiled"] = cell(n)

    # A test that fails compiled must be a listed limit of Cython; one that
    # passed with the sources and is skipped or not run compiled is a fault too.
    limits = pkg.get("cython_limits", [])
    unexpected, by_limit = [], [0] * len(limits)
    for nodeid, outcome in compiled_outcomes.items():
        if outcome == "skipped" and outcomes.get(nodeid) == "passed":
            unexpected.append(nodeid)
        if outcome != "failed":
            continue
        found = [i for i, limit in enumerate(limits)
                 if any(nodeid.startswith(t) for t in limit["tests"])]
        if found:
            by_limit[found[0]] += 1
        else:
            unexpected.append(nodeid)
    missing = sorted(set(outcomes) - set(compiled_outcomes))
    for limit, hits in zip(limits, by_limit):
        if not hits:
            print(f"  note: no test fails compiled any more for {limit['cause']!r}")
    row["causes"] = "; ".join(f"{hits}: {limit['cause']}"
                              for limit, hits in zip(limits, by_limit) if hits) or "none"
    if unexpected or missing:
        raise StepFailed(f"compiled: {len(unexpected)} unexpected failures or skips "
                         f"{unexpected[:5]}, "
                         f"{len(missing)} tests not run {missing[:5]}")
    step(f"{n['passed']} passed compiled, {n['failed']} failed (listed Cython limits)")


HEADER = ("| package | version | options | modules compiled | tests passed, sources "
          "| tests passed, compiled | first run (default options) | compiled failures, by cause |")


def table(rows, interpreter):
    lines = [f"Measured with {interpreter}.", "", HEADER, "|---" * 8 + "|"]
    # A | in a cell (a pattern's alternatives) would end it.
    cells = lambda r: {k: v.replace("|", "\\|") if isinstance(v, str) else v for k, v in r.items()}
    for r in map(cells, rows):
        options = r.get("options", "-")
        if options not in ("-", "(defaults)"):
            options = f"`{options}`"
        lines.append(
            f"| {r['name']} | {r['version']} | {options} "
            f"| {r.get('modules', '-')} | {r.get('sources', '-')} | {r.get('compiled', '-')} "
            f"| {r.get('first', '-')} | {r.get('causes', '-')} |")
    firsts = [r for r in rows if r.get("first_failures")]
    if firsts:
        lines += ["", "What the first runs printed (module, stage, reason) and the command they suggested:", ""]
        for r in firsts:
            lines.append(f"- **{r['name']}**:")
            for path, stage, reason in r["first_failures"]:
                lines.append(f"  `{path}` {stage}: `{reason}`")
            lines.append(f"  suggested: `{r['suggested']}`")
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
                   f"{importlib.metadata.version('Cython')}, setuptools "
                   f"{importlib.metadata.version('setuptools')}")
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
            row.setdefault("compiled", "FAILED")
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
