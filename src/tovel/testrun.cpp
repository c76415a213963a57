// tovel.testrun: one run of the test command on a bench of tovel.testbench:
// from an empty scratch folder with the shell, bounded by the timeout, its
// outcome read per test from pytest's junit report (through a plugin of its
// own) or from its exit status, with the modules of the project each test
// loaded and where each came from. Two runs on two benches go at once: each
// is started, then finished.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.testrun";

static nb::object mine(const char *name) { return global(MOD, name); }

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
// the narrowing down knows which modules each test can have run.
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
static const char *PLUGIN = R"(import collections, doctest, importlib, os, pathlib, re, sys, traceback, unittest

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


def _id(nodeid):
    if _site_id and nodeid.startswith(_site_id):
        nodeid = "{site}/" + nodeid[len(_site_id):]
    return _ADDRESS.sub("0x?", nodeid)


def _note(*fields):
    with open(os.environ["TOVEL_PROVE_TRACE"], "a", encoding="utf-8") as f:
        f.write("\t".join(fields) + "\n")


def pytest_configure(config):
    global _wanted, _files, _site_id
    root = str(getattr(config, "rootpath", None) or config.rootdir)
    rel = os.path.relpath(_site, root).replace(os.sep, "/")
    _site_id = None if rel == "." else rel + "/"
    path = os.environ.get("TOVEL_PROVE_SELECT")
    if not path:
        return
    with open(path, encoding="utf-8") as f:
        _wanted = set(f.read().splitlines())
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


class _Module(pytest.Module):
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
static const char *ORIGINS = R"(import atexit, os, sys, sysconfig

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


static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }

/// Writes the pytest plugin into `plugins` and the recorder of where the
/// project's modules come from into `site` (imported by a .pth file).
static void harness(nb::str plugins, nb::str site) {
    mine("Path")(join(plugins, nb::str("tovel_prove.py"))).attr("write_text")(PLUGIN, "encoding"_a = "utf-8");
    mine("Path")(join(site, nb::str("_tovel_origins.py"))).attr("write_text")(ORIGINS, "encoding"_a = "utf-8");
    mine("Path")(join(site, nb::str("_tovel_origins.pth"))).attr("write_text")("import _tovel_origins\n", "encoding"_a = "utf-8");
}


// The junit report of a pytest run: test id -> passed, and the failure texts.
// Skipped tests are left out; a missing or broken report is None.
static nb::object read_junit(nb::str path, nb::dict texts) {
    if (!truthy(mine("os").attr("path").attr("isfile")(path)))
        return nb::none();
    nb::object root;
    try {
        root = mine("ElementTree").attr("parse")(path).attr("getroot")();
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
    nb::dict tests;
    for (nb::handle tc : root.attr("iter")("testcase")) {
        nb::object id = nb::none();
        for (nb::handle prop : tc.attr("iter")("property"))
            if (nb::str(prop.attr("get")("name")).equal(nb::str("tovel-nodeid"))) {
                id = prop.attr("get")("value");
                break;
            }
        if (id.is_none())
            id = mine("re").attr("sub")("0x[0-9a-fA-F]+", "0x?",
                                        nb::str("{}::{}").format(tc.attr("get")("classname"), tc.attr("get")("name")));
        nb::object bad = tc.attr("find")("failure");
        if (bad.is_none())
            bad = tc.attr("find")("error");
        if (bad.is_none() && !tc.attr("find")("skipped").is_none())
            continue;
        // A test reported twice (an error in its teardown) passed only if both did.
        tests[id] = nb::bool_(truthy(tests.attr("get")(id, true)) && bad.is_none());
        if (!bad.is_none()) {
            nb::object message = bad.attr("get")("message", "");
            nb::object body = bad.attr("text");
            texts[id] = nb::str("{}\n{}").format(message, body.is_none() ? nb::str("") : nb::str(body));
        }
    }
    return tests;
}

// The signal that ended a run (the shell reports 128 + N), or 0.
static int signal_of(nb::dict r) {
    if (r["status"].is_none())
        return 0;
    int status = nb::cast<int>(r["status"]);
    if (status < 0)
        return -status;
    return r["tests"].is_none() && status > 128 && status <= 128 + 64 ? status - 128 : 0;
}

// Ends a started run's shell and all it started (a session of its own).
static void kill(nb::handle proc) {
    try {
        if (!mine("os").attr("name").equal(nb::str("nt")))
            mine("os").attr("killpg")(proc.attr("pid"), mine("signal").attr("SIGKILL"));
        else
            proc.attr("kill")();
    } catch (nb::python_error &gone) {
        if (!gone.matches(PyExc_ProcessLookupError))
            throw;
    }
    proc.attr("wait")();
}

/// Starts the test command as run number `n` of the bench, from an empty
/// scratch folder with the shell; with pytest only the `select`ed tests
/// (None: all). Returns the run to finish.
static nb::dict start(nb::dict b, nb::object select, int n) {
    nb::object os = mine("os"), shutil = mine("shutil"), subprocess = mine("subprocess");
    nb::object logs = b["logs"], scratch = b["scratch"];
    nb::dict h;
    h["log"] = join(logs, nb::str("run-{}.log").format(n));
    h["junit"] = join(logs, nb::str("run-{}.xml").format(n));
    h["trace"] = join(logs, nb::str("run-{}.trace").format(n));
    h["origins"] = join(logs, nb::str("run-{}.origins").format(n));
    shutil.attr("rmtree")(scratch, "ignore_errors"_a = true);
    os.attr("makedirs")(scratch);
    nb::dict env = nb::borrow<nb::dict>(b["env"].attr("copy")());
    env["TOVEL_PROVE_ORIGINS"] = h["origins"];
    env["TOVEL_PROVE_ROOTS"] = b["roots"];
    env["TOVEL_PROVE_SITE"] = b["site"];
    nb::str command(b["command"]);
    if (truthy(b["pytest"])) {
        nb::list extra;
        // A test module that fails to collect fails its tests, not the run.
        // pytest's warnings of its own deprecations are shown, not raised:
        // under a project's `filterwarnings = error` a newer pytest than the
        // project knew would otherwise drop whole test modules from both runs.
        for (const char *a : {"-p", "tovel_prove", "-p", "no:cacheprovider", "--continue-on-collection-errors", "-W",
                              "default::pytest.PytestDeprecationWarning"})
            extra.append(a);
        extra.append(nb::str("--junitxml=") + nb::str(h["junit"]));
        env["TOVEL_PROVE_TRACE"] = h["trace"];
        command = nb::str(command + nb::str(" ") + nb::str(mine("shlex").attr("join")(extra)));
        if (!select.is_none()) {
            nb::str chosen(join(logs, nb::str("run-{}.select").format(n)));
            mine("Path")(chosen).attr("write_text")(nb::str("\n").attr("join")(select), "encoding"_a = "utf-8");
            env["TOVEL_PROVE_SELECT"] = chosen;
        }
    }
    bool posix = !os.attr("name").equal(nb::str("nt"));
    h["start"] = mine("time").attr("monotonic")();
    nb::object out = builtin("open")(h["log"], "w", "encoding"_a = "utf-8");
    try {
        // A session of its own, so that a timeout ends the shell and all it started.
        h["proc"] = subprocess.attr("Popen")(command, "shell"_a = true, "cwd"_a = scratch, "env"_a = env,
                                             "stdout"_a = out, "stderr"_a = subprocess.attr("STDOUT"),
                                             "stdin"_a = subprocess.attr("DEVNULL"), "start_new_session"_a = posix);
    } catch (...) {
        out.attr("close")();
        throw;
    }
    out.attr("close")();
    return h;
}

/// Ends a started run at once (the other of two, when one fails).
static void stop(nb::dict h) {
    if (h["proc"].attr("poll")().is_none())
        kill(h["proc"]);
}

/// Waits for a started run, bounded by the bench's timeout from its start,
/// and reads its outcome.
static nb::dict finish(nb::dict b, nb::dict h) {
    nb::object os = mine("os"), subprocess = mine("subprocess");
    nb::object proc = h["proc"], status = nb::none();
    nb::object left = b["timeout"];
    if (!left.is_none())
        left = builtin("max")(0, left - (mine("time").attr("monotonic")() - h["start"]));
    try {
        status = proc.attr("wait")("timeout"_a = left);
    } catch (nb::python_error &e) {
        // A timeout, or an interrupt (which the session does not get),
        // ends the shell and all it started.
        bool timeout = e.matches(subprocess.attr("TimeoutExpired"));
        if (!timeout && ordinary(e))
            throw;
        kill(proc);
        if (!timeout)
            throw;
    }
    bool pytest = truthy(b["pytest"]);
    nb::str log(h["log"]), junit(h["junit"]), trace(h["trace"]), origins(h["origins"]);
    nb::dict r;
    r["status"] = status;
    r["seconds"] = mine("time").attr("monotonic")() - h["start"];
    r["log"] = log;
    nb::dict texts;
    r["texts"] = texts;
    r["tests"] = pytest ? read_junit(junit, texts) : nb::none();
    r["last"] = nb::none();
    r["signal"] = signal_of(r);
    // From the trace: the project's modules in the order they were loaded,
    // how many of them were loaded when each test ended, and the outcome of
    // each test that ended (what a crash leaves of the report).
    nb::list modules;
    nb::dict marks, partial;
    nb::object last = nb::none();
    if (truthy(os.attr("path").attr("isfile")(trace)))
        for (nb::handle line : mine("Path")(trace).attr("read_text")("encoding"_a = "utf-8").attr("splitlines")()) {
            nb::list f(nb::str(line).attr("split")("\t"));
            if (nb::len(f) == 2 && nb::str(f[0]).equal(nb::str("start")))
                last = f[1];
            if (nb::len(f) != 4 || !nb::str(f[0]).equal(nb::str("end")))
                continue;
            last = nb::none();
            if (nb::len(nb::str(f[3])))
                modules.attr("extend")(nb::str(f[3]).attr("split")(","));
            marks[f[1]] = nb::len(modules);
            if (!nb::str(f[2]).equal(nb::str("skipped")))
                partial[f[1]] = nb::bool_(truthy(partial.attr("get")(f[1], true)) && nb::str(f[2]).equal(nb::str("passed")));
        }
    r["modules"] = modules;
    r["marks"] = marks;
    r["partial"] = nb::none();
    if (r["tests"].is_none()) {
        if (!last.is_none()) {
            r["last"] = nb::str(last).attr("rpartition")("::")[2];
            partial[last] = false;
        }
        r["partial"] = partial;
    }
    // The first module of the project that was not imported from
    // site-packages (by the test runner; by a process it started), and the
    // first placed there compiled that was loaded from its source all the
    // same. With no runner's mark (another command), every process counts.
    r["shadowed"] = nb::none();
    r["spawned"] = nb::none();
    r["as_source"] = nb::none();
    if (truthy(os.attr("path").attr("isfile")(origins))) {
        nb::str site(os.attr("path").attr("realpath")(b["site"]));
        nb::set sources;
        nb::list compiled(b["compiled"]);
        for (size_t i = 0; i < nb::len(compiled); ++i)
            if (truthy(compiled[i]))
                sources.add(os.attr("path").attr("realpath")(join(b["site"], b["units"][nb::int_(i)]["arc"])));
        nb::list lines(mine("Path")(origins).attr("read_text")("encoding"_a = "utf-8").attr("splitlines")());
        bool marked = false;
        for (nb::handle line : lines)
            marked = marked || truthy(line.attr("startswith")("+"));
        for (nb::handle line : lines) {
            nb::str f(line.attr("removeprefix")("+"));
            const char *which = !marked || truthy(line.attr("startswith")("+")) ? "shadowed" : "spawned";
            nb::str real(os.attr("path").attr("realpath")(f));
            if (r[which].is_none() && !truthy(real.attr("startswith")(site + nb::str(os.attr("sep")))))
                r[which] = f;
            if (r["as_source"].is_none() && sources.contains(real))
                r["as_source"] = f;
        }
    }
    return r;
}

/// Runs the test command once (the bench's next run) and waits for it.
static nb::dict run(nb::dict b, nb::object select) {
    int n = nb::cast<int>(b["runs"]) + 1;
    b["runs"] = n;
    return finish(b, start(b, select, n));
}

// The test a run that left no report was in when it crashed or timed out.
static nb::str where(nb::dict r) {
    return r["last"].is_none() ? nb::str("") : nb::str(" in {}").format(r["last"]);
}

/// How a run ended, for its progress line.
static nb::str describe(nb::dict b, nb::dict r) {
    nb::str how;
    if (r["status"].is_none())
        how = nb::str("timed out after {} s").format(b["timeout"]);
    else if (truthy(r["signal"]))
        how = nb::str("crashed (signal {})").format(r["signal"]);
    else if (!r["tests"].is_none()) {
        size_t ok = 0, bad = 0;
        nb::list named;
        for (auto [id, passed] : nb::borrow<nb::dict>(r["tests"])) {
            (truthy(passed) ? ok : bad) += 1;
            if (!truthy(passed) && nb::len(named) < 3)
                named.append(test_shown(id));
        }
        how = nb::str("{} passed, {} failed").format(ok, bad);
        // The failures a reader looks at first, and where the rest is.
        if (bad)
            how = nb::str("{}: {}{}; log: {}")
                      .format(how, nb::str(", ").attr("join")(named), bad > 3 ? ", ..." : "", r["log"]);
    } else if (truthy(b["pytest"]))
        how = nb::str("no test report, exit status {}").format(r["status"]);
    else
        how = nb::str("exit status {}").format(r["status"]);
    return nb::str("{}{} ({:.1f} s)").format(how, where(r), r["seconds"]);
}

TOVEL_MODULE(testrun, m) {
    for (const char *name : {"os", "re", "shlex", "shutil", "signal", "subprocess", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("ElementTree") = nb::module_::import_("xml.etree.ElementTree");
    m.def("harness", &harness, "plugins"_a, "site"_a,
          "Write the pytest plugin into plugins and the recorder of the modules' origins into site.");
    m.def("start", &start, "bench"_a, "select"_a.none(), "number"_a,
          "Start run number `number` of the test command (with pytest, only the selected node ids; None: all).");
    m.def("finish", &finish, "bench"_a, "run"_a, "Wait for a started run, bounded by the timeout; its outcome.");
    m.def("stop", &stop, "run"_a, "End a started run at once.");
    m.def("run", &run, "bench"_a, "select"_a.none(),
          "Run the test command once (with pytest, only the selected node ids; None: all).");
    m.def("describe", &describe, "bench"_a, "result"_a, "How a run ended, in a few words.");
}
