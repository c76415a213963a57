// The Python that tovel.testrun puts where a test run loads it: the pytest
// plugin and the recorder of where the project's modules come from. Included
// by testrun.cpp alone (the verdicts of test runs are salted with its built
// file, so a change here does not reuse an old verdict).
#pragma once

namespace tovel::testrun_py {

// Loaded into pytest with -p: writes each test's node id into the junit
// report, and runs only the node ids listed in TOVEL_PROVE_SELECT, collecting
// only the files they are in. Node ids are relative to pytest's rootdir, which
// the test folder decides, not the scratch folder the command runs in: so
// they are selected here. A memory address in an id (`<lambda> at 0x7f...`)
// differs from run to run: it is written as 0x?, and the site-packages of the
// bench as {site} (a copy of the bench has another). Each test is noted in
// TOVEL_PROVE_TRACE as it starts and as it ends, with its outcome and the
// project's modules loaded since the test before: a crash, which leaves no
// report, still names the test it happened in and the outcomes before it, and
// the narrowing down knows which modules each test can have run. A run of
// chosen tests runs them in its own process, whatever workers the project's
// options ask for.
//
// A test module with unittest's load_tests (which pytest does not call)
// yields the tests it builds too, each an item of its own run as unittest
// runs it (class and module fixtures around it), named by its unittest id
// within the module, numbered where ids repeat; those pytest collects
// itself (a TestCase class of the module) are not run twice.
//
// With pytest's --doctest-modules, the doctests of the package modules listed
// in TOVEL_PROVE_DOCTESTS (which pytest does not collect: they are not named
// to it, and compiled they have no .py) are items too, each module imported
// by its name, so compiled or not the ids are the same; the entries Cython
// adds to a compiled module's __test__ repeat its docstrings and are left
// out, here and in a suite load_tests builds.
//
// The project's own top-level packages are imported here, from
// site-packages whatever pytest put on sys.path already (its pythonpath
// setting) and before it puts the project's folder there (for a test folder
// with __init__.py): a test's `import pkg` then finds the installed package,
// not the sources beside the tests.
inline const char *PLUGIN = R"(import collections, doctest, importlib, os, pathlib, re, sys, traceback, unittest

import pytest

_ROOTS = set(filter(None, os.environ.get("TOVEL_PROVE_ROOTS", "").split(",")))
sys.path.insert(0, os.environ["TOVEL_PROVE_SITE"])
for _root in _ROOTS:
    try:
        importlib.import_module(_root)
    except Exception:
        pass
sys.path.remove(os.environ["TOVEL_PROVE_SITE"])

_ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
_wanted = None
_files = None
_seen = set()
_outcome = {}


_site = os.path.join(os.environ["TOVEL_PROVE_SITE"], "")
_site_id = None
_config = None


def _id(nodeid):
    if _site_id and nodeid.startswith(_site_id):
        nodeid = "{site}/" + nodeid[len(_site_id):]
    return _ADDRESS.sub("0x?", nodeid)


def _note(*fields):
    with open(os.environ["TOVEL_PROVE_TRACE"], "a", encoding="utf-8") as f:
        f.write("\t".join(fields) + "\n")


def pytest_configure(config):
    global _wanted, _files, _site_id, _config
    _config = config
    root = str(getattr(config, "rootpath", None) or config.rootdir)
    rel = os.path.relpath(_site, root).replace(os.sep, "/")
    _site_id = None if rel == "." else rel + "/"
    # The project's --ignore paths are relative to its folder, where pytest
    # is run from; these runs start in a scratch folder.
    for name in ("ignore", "ignore_glob"):
        paths = getattr(config.option, name, None)
        if paths:
            setattr(config.option, name, [p if os.path.isabs(p) else os.path.join(root, p) for p in map(str, paths)])
    # Every test runs: a project's -x or --maxfail (transitions' addopts)
    # stopped both runs at a test that fails from the sources too, and the
    # tests after it judged nothing.
    if getattr(config.option, "maxfail", 0):
        config.option.maxfail = 0
    path = os.environ.get("TOVEL_PROVE_SELECT")
    if not path:
        return
    with open(path, encoding="utf-8") as f:
        _wanted = set(f.read().splitlines())
    # A few chosen tests run in this process: workers a plugin would start
    # (pytest-xdist's -n in the project's addopts) cost more than the tests.
    if getattr(config.option, "dist", "no") != "no":
        config.option.dist = "no"
    files = {os.path.normpath(os.path.join(root, i.partition("::")[0].replace("{site}/", _site, 1)))
             for i in _wanted}
    if all(os.path.isfile(f) for f in files):
        _files = files


def _ignored(path):
    if _files is None:
        return None
    p = os.path.normpath(str(path))
    if p in _files or any(f.startswith(p + os.sep) for f in _files):
        return None
    return True


# The hook's argument is named by the pytest release (collection_path from 7).
_PYTEST7 = int(pytest.__version__.split(".")[0]) >= 7
if _PYTEST7:
    def pytest_ignore_collect(collection_path, config):
        return _ignored(collection_path)

    def pytest_pycollect_makemodule(module_path, parent):
        if module_path.name != "__init__.py":
            return _Module.from_parent(parent, path=module_path)
else:
    def pytest_ignore_collect(path, config):
        return _ignored(path)

    def pytest_pycollect_makemodule(path, parent):
        if path.basename != "__init__.py":
            return _Module.from_parent(parent, fspath=path)


class _Built(pytest.Item):
    def __init__(self, *, case, **kwargs):
        super().__init__(**kwargs)
        self._case = case

    def runtest(self):
        result = unittest.TestResult()
        unittest.TestSuite([self._case]).run(result)
        bad = result.errors + result.failures
        if bad:
            pytest.fail("\n".join(text for _, text in bad), pytrace=False)
        if result.unexpectedSuccesses:
            pytest.fail("unexpected success", pytrace=False)
        if result.skipped:
            pytest.skip(result.skipped[0][1])

    def reportinfo(self):
        return self.path, None, self.name


def _cases(suite):
    if isinstance(suite, unittest.TestSuite):
        for s in suite:
            yield from _cases(s)
    elif suite is not None:
        yield suite


# A doctest of the __test__ entries Cython adds to a compiled module, which
# repeat its docstrings' own (the test's file is the module's).
def _repeated(test):
    return test is not None and ".__test__." in test.name and not str(test.filename).endswith(".py")


# A test module that calls unittest.main() as it is imported (not under
# `if __name__ == "__main__":`) is a script: the call would run the suite
# under pytest's collection and exit. While such a module is imported the
# call does nothing, and pytest collects its TestCase classes as any other's.
class _NoMain:
    def __init__(self, *args, **kwargs):
        self.result = unittest.TestResult()


class _Module(pytest.Module):
    def _getobj(self):
        real = unittest.main
        unittest.main = _NoMain
        try:
            return super()._getobj()
        finally:
            unittest.main = real

    def collect(self):
        items = list(super().collect())
        module = self.obj
        if not callable(getattr(module, "load_tests", None)):
            return items
        cases = []
        for case in _cases(unittest.TestLoader().loadTestsFromModule(module)):
            kind = type(case)
            if _repeated(getattr(case, "_dt_test", None)):
                continue
            if getattr(module, kind.__name__, None) is not kind:
                name = case.id()
                cases.append((name[len(module.__name__) + 1:] if name.startswith(module.__name__ + ".") else name, case))
        counts = collections.Counter(n for n, _ in cases)
        seen = {}
        for name, case in cases:
            if counts[name] > 1:
                seen[name] = seen.get(name, -1) + 1
                name = "{}[{}]".format(name, seen[name])
            items.append(_Built.from_parent(self, name=name, case=case))
        return items


class _Doctest(pytest.Item):
    def __init__(self, *, test, flags, error=None, **kwargs):
        super().__init__(**kwargs)
        self._test, self._flags, self._error = test, flags, error

    def runtest(self):
        if self._error:
            pytest.fail(self._error, pytrace=False)
        out = []
        if doctest.DocTestRunner(verbose=False, optionflags=self._flags).run(self._test, out=out.append).failed:
            pytest.fail("".join(out), pytrace=False)

    def reportinfo(self):
        return self.path, None, self.name


class _Doctests(pytest.File):
    def __init__(self, *, module, **kwargs):
        super().__init__(**kwargs)
        self._module = module

    def collect(self):
        flags = 0
        try:
            for name in self.config.getini("doctest_optionflags"):
                flags |= doctest.OPTIONFLAGS_BY_NAME.get(name, 0)
        except ValueError:
            pass
        try:
            module = importlib.import_module(self._module)
            tests = doctest.DocTestFinder().find(module, module.__name__)
        except Exception:
            return [_Doctest.from_parent(self, name=self._module, test=None, flags=0, error=traceback.format_exc())]
        return [_Doctest.from_parent(self, name=t.name, test=t, flags=flags)
                for t in sorted(tests, key=lambda t: t.name) if t.examples and not _repeated(t)]


def _doctests(session, config):
    if not config.getoption("doctestmodules", False):
        return []
    items = []
    for arc in filter(None, os.environ.get("TOVEL_PROVE_DOCTESTS", "").split(",")):
        name = re.sub(r"(/__init__)?\.py$", "", arc).replace("/", ".")
        path = os.path.join(_site, arc)
        if _PYTEST7:
            where = {"path": pathlib.Path(path)}
        else:
            where = {"fspath": __import__("py").path.local(path)}
        items += _Doctests.from_parent(session, nodeid="{site}/" + arc, module=name, **where).collect()
    return items


def pytest_runtest_logstart(nodeid, location):
    _note("start", _id(nodeid))


def pytest_runtest_logreport(report):
    if report.failed or _outcome.get(report.nodeid) == "failed":
        _outcome[report.nodeid] = "failed"
    elif report.skipped:
        _outcome[report.nodeid] = "skipped"


def pytest_runtest_logfinish(nodeid, location):
    new = [n for n in list(sys.modules) if n not in _seen and n.partition(".")[0] in _ROOTS]
    _seen.update(new)
    _note("end", _id(nodeid), _outcome.pop(nodeid, "passed"), ",".join(new))


# A test module that fails to collect is reported in the junit file by its
# dotted path with no test ("::tests.test_x"): its id is recorded so, but of
# the id its tests have (a path in the bench's site-packages, whose
# "python3.12" would make two names, is {site}); a class of tests that
# fails to collect, by its id. The report's record is
# pytest's own: with a pytest that has none, its class name stands.
def pytest_collectreport(report):
    if report.passed:
        return
    try:
        from _pytest.junitxml import xml_key
        xml = _config.stash.get(xml_key, None)
    except Exception:
        return
    if xml is not None:
        nodeid = _id(report.nodeid)
        if "::" not in nodeid:
            nodeid = "::" + re.sub(r"\.py$", "", nodeid).replace("/", ".")
        xml.node_reporter(report).add_property("tovel-nodeid", nodeid)


def pytest_collection_modifyitems(session, config, items):
    items += _doctests(session, config)
    for item in items:
        item.user_properties.append(("tovel-nodeid", _id(item.nodeid)))
    if _wanted is not None:
        config.hook.pytest_deselected(items=[i for i in items if _id(i.nodeid) not in _wanted])
        items[:] = [i for i in items if _id(i.nodeid) in _wanted]
)";

// Put in the environment's site-packages with a .pth file that imports it:
// every Python process of a test run writes, as it ends, where each module
// of the project it imported came from. A test run that imported the
// project from anywhere but site-packages tested the sources, not what is
// installed there. A module bound under another name (a package that
// reaches a standard-library module through an alias) and the standard
// library itself are not the project's.
inline const char *ORIGINS = R"(import atexit, os, sys, sysconfig

_out = os.environ.get("TOVEL_PROVE_ORIGINS")
_roots = set(os.environ.get("TOVEL_PROVE_ROOTS", "").split(","))


def _write():
    # A virtual environment's platstdlib holds its site-packages.
    site = tuple(os.path.join(os.path.realpath(sysconfig.get_path(k)), "") for k in ("purelib", "platlib"))
    stdlib = tuple(os.path.join(os.path.realpath(sysconfig.get_path(k)), "") for k in ("stdlib", "platstdlib"))
    files = [getattr(m, "__file__", None) for n, m in list(sys.modules.items())
             if n.partition(".")[0] in _roots and getattr(m, "__name__", None) == n]
    files = [p for p in files if isinstance(p, str) and
             (os.path.realpath(p).startswith(site) or not os.path.realpath(p).startswith(stdlib))]
    # The test runner's own lines are marked: a process it starts may be
    # pointed at the sources on purpose (PYTHONPATH=the project's folder).
    mark = "+" if "tovel_prove" in sys.modules else ""
    with open(_out, "a", encoding="utf-8") as f:
        f.write("".join(mark + p + "\n" for p in files))


if _out:
    atexit.register(_write)
)";

} // namespace tovel::testrun_py
