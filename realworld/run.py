"""make realworld: tov on real packages from the package index.

For each package of realworld/packages.toml: download its sdist, run its own
tests against the sources, compile it with `tov compile` and pack it with
`tov bdist`, install that wheel into a fresh virtual environment and run the
same tests against the compiled modules, from a folder that holds only the
tests. Prints a table of what was compiled and passed.

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
    for path in pkg["tests"]:
        copy(sdist / path, folder / path)
    (folder / "pytest.ini").write_text("[pytest]\n" + pkg.get("pytest_ini", "").lstrip(),
                                       encoding="utf-8")
    for shadow in (folder / pkg["package"], folder / (pkg["package"] + ".py")):
        if shadow.exists():
            raise StepFailed(f"{shadow} would let the tests import the sources")


def make_venv(where, requirements, log):
    """A fresh environment of this interpreter; the running pip installs into
    it, which saves bootstrapping a pip in each."""
    run([sys.executable, "-m", "venv", "--without-pip", where], log)
    python = where / BIN / ("python" + EXE)
    with open(log, "a", encoding="utf-8") as out:
        out.write("\n")
    run([sys.executable, "-m", "pip", "--python", python, "install", "-q", *requirements],
        str(log) + ".pip")
    return python


def run_tests(pkg, python, folder, extra_path, results, log, extra_args=()):
    """pytest in folder; returns (status, outcomes by node id, module files)."""
    env = base_env()
    env["PYTHONPATH"] = os.pathsep.join([*extra_path, str(HERE)])
    env["REALWORLD_PACKAGE"] = pkg["package"]
    env["REALWORLD_RESULTS"] = str(results)
    rc = run([python, "-m", "pytest", "-p", "results", "-p", "no:cacheprovider", "-q",
              *pkg.get("pytest_args", []), *extra_args, *pkg["tests"]],
             log, cwd=folder, env=env, ok=(0, 1))
    data = json.loads(Path(results).read_text(encoding="utf-8"))
    return rc, data["outcomes"], data["modules"]


def check_modules(pkg, modules, inside, compiled):
    """Every loaded module of the package comes from inside (the sources, or
    the environment's site-packages as an extension module)."""
    if not modules.get(pkg["package"]):
        raise StepFailed(f"the tests did not import {pkg['package']} from a file")
    for name, file in sorted(modules.items()):
        if file is None:
            continue  # made at run time (six.moves), no file of its own
        path = Path(file).resolve()
        if not path.is_relative_to(inside):
            raise StepFailed(f"{name} was imported from {file}, not from {inside}")
        if compiled and not path.name.endswith(tuple(EXTENSION_SUFFIXES)):
            raise StepFailed(f"{name} was imported from {file}, not an extension module")


def count(outcomes):
    n = {"passed": 0, "failed": 0, "skipped": 0}
    for outcome in outcomes.values():
        n[outcome] += 1
    return n


def cell(n):
    text = f"{n['passed']} of {n['passed'] + n['failed']}"
    return text + (f" ({n['skipped']} skipped)" if n["skipped"] else "")


def tov_run(tov, args, project, log):
    run([tov, *args], log, cwd=project)


def one_package(pkg, work, downloads, tov, row):
    package, exclude = pkg["package"], pkg["exclude"]
    if work.exists():
        shutil.rmtree(work)
    logs = work / "logs"
    logs.mkdir(parents=True)
    step = lambda text: print(f"  {text}", flush=True)

    step("download and unpack the sdist")
    archive = download(pkg, downloads, logs / "download.log")
    sdist = unpack(archive, work / "sdist")
    project, tests = work / "project", work / "tests"
    make_project(pkg, sdist, project)
    make_tests(pkg, sdist, tests)
    sources = sorted(p.relative_to(project).as_posix()
                     for p in (project / package).rglob("*.py"))
    wanted = [s for s in sources if not re.search(exclude, s)]
    row["modules"] = f"{len(wanted)} of {len(sources)}"

    step("tests with the sources")
    requirements = [CONFIG["pytest"], *pkg.get("test_requires", []), *pkg.get("requires", [])]
    python = make_venv(work / "venv-sources", requirements, logs / "venv-sources.log")
    source_root = (sdist / pkg["source"]).parent
    rc, outcomes, modules = run_tests(pkg, python, tests, [str(source_root)],
                                      work / "results-sources.json", logs / "tests-sources.log")
    check_modules(pkg, modules, source_root.resolve(), compiled=False)
    n = count(outcomes)
    row["sources"] = cell(n)
    if rc != 0:
        failed = [k for k, v in outcomes.items() if v == "failed"]
        raise StepFailed(f"{len(failed)} tests fail with the sources: {failed[:5]}")
    step(f"{n['passed']} passed with the sources")

    step("tov compile")
    tov_run(tov, ["compile", "-n", package, "-e", exclude], project, logs / "compile.log")
    built = [p for p in (project / "build" / "egg").rglob("*")
             if p.name.endswith(tuple(EXTENSION_SUFFIXES))]
    if len(built) != len(wanted):
        raise StepFailed(f"tov compile made {len(built)} extension modules, expected {len(wanted)}")

    step("tov bdist")
    shutil.rmtree(project / "dist", ignore_errors=True)
    tov_run(tov, ["bdist", "-n", package, "-e", exclude, "-v", pkg["version"],
                  "-d", pkg["summary"], "-l", pkg["license"]], project, logs / "bdist.log")
    wheels = sorted((project / "dist").glob("*.whl"))
    if len(wheels) != 1:
        raise StepFailed(f"tov bdist left {len(wheels)} wheels in dist, not one")
    with zipfile.ZipFile(wheels[0]) as whl:
        members = whl.namelist()
    if any(m.endswith(".py") for m in members):
        raise StepFailed(f"{wheels[0].name} holds Python sources")
    compiled = [m for m in members if m.endswith(tuple(EXTENSION_SUFFIXES))]
    if len(compiled) != len(wanted):
        raise StepFailed(f"{wheels[0].name} holds {len(compiled)} extension modules, "
                         f"expected {len(wanted)}")
    row["wheel"] = wheels[0].name
    step(wheels[0].name)

    step("tests with the compiled wheel")
    python = make_venv(work / "venv-compiled", [*requirements, wheels[0]],
                       logs / "venv-compiled.log")
    site = Path(subprocess.run(
        [python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        capture_output=True, text=True, check=True, env=base_env()).stdout.strip()).resolve()
    leaked = sorted((site / package).rglob("*.py"))
    if leaked:
        raise StepFailed(f"Python sources installed with the wheel: {leaked[:3]}")
    # The tests of a module left out of the wheel (exclude) cannot run compiled.
    ignored = pkg.get("compiled_ignore", [])
    rc, compiled_outcomes, modules = run_tests(
        pkg, python, tests, [], work / "results-compiled.json", logs / "tests-compiled.log",
        [f"--ignore={path}" for path in ignored])
    check_modules(pkg, modules, site, compiled=True)
    n = count(compiled_outcomes)
    row["compiled"] = cell(n)

    # A test that fails compiled must be a listed limit of Cython; one that
    # passed with the sources and is skipped or not run compiled is a fault too.
    prefixes = [t for limit in pkg.get("cython_limits", []) for t in limit["tests"]]
    unexpected, seen = [], set()
    for nodeid, outcome in compiled_outcomes.items():
        if outcome == "skipped" and outcomes.get(nodeid) == "passed":
            unexpected.append(nodeid)
        if outcome != "failed":
            continue
        prefix = next((p for p in prefixes if nodeid.startswith(p)), None)
        if prefix is None:
            unexpected.append(nodeid)
        else:
            seen.add(prefix)
    left_out = [t for t in outcomes if t.startswith(tuple(p + "::" for p in ignored))]
    missing = sorted(set(outcomes) - set(compiled_outcomes) - set(left_out))
    if left_out:
        row["compiled"] += f"; {len(left_out)} tests of excluded modules not run"
    for prefix in sorted(set(prefixes) - seen):
        print(f"  note: no test fails compiled any more for {prefix!r}")
    if n["failed"] and not unexpected:
        row["compiled"] += f"; {n['failed']} fail by Cython's limits"
    if unexpected or missing:
        raise StepFailed(f"compiled: {len(unexpected)} unexpected failures or skips "
                         f"{unexpected[:5]}, "
                         f"{len(missing)} tests not run {missing[:5]}")
    step(f"{n['passed']} passed compiled, {n['failed']} failed (listed Cython limits)")


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
        print(f"=== {pkg['name']} {pkg['version']} ({pkg['style']})", flush=True)
        row = {"name": pkg["name"], "version": pkg["version"], "style": pkg["style"]}
        rows.append(row)
        try:
            one_package(pkg, work / pkg["name"], work / "downloads", args.tov, row)
        except Exception as exc:  # reported, and the next package goes on
            failures.append(pkg["name"])
            row.setdefault("compiled", "FAILED")
            kind = "" if isinstance(exc, StepFailed) else f"{type(exc).__name__}: "
            print(f"  FAILED: {kind}{exc}", flush=True)
        print(f"  ({time.monotonic() - began:.0f} s)", flush=True)

    lines = [
        f"Measured with {interpreter}.",
        "",
        "| package | version | style | modules compiled | tests passed, sources | tests passed, compiled |",
        "|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(f"| {r['name']} | {r['version']} | {r['style']} | {r.get('modules', '-')} "
                     f"| {r.get('sources', '-')} | {r.get('compiled', '-')} |")
    table = "\n".join(lines) + "\n"
    work.mkdir(parents=True, exist_ok=True)
    (work / "table.md").write_text(table, encoding="utf-8")
    print()
    print(table)
    print(f"{time.monotonic() - start:.0f} s in all; the logs are in {work}/<package>/logs")
    if failures:
        sys.exit(f"failed: {', '.join(failures)}")


CONFIG = tomllib.loads((HERE / "packages.toml").read_text(encoding="utf-8"))

if __name__ == "__main__":
    main()
