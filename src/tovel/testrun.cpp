// tovel.testrun: one run of the test command on a bench of tovel.testbench:
// from a scratch folder (the project's files linked into it) with the
// shell, bounded by the timeout, its outcome read per test from pytest's junit report (through a plugin of its
// own) or from its exit status, with the modules of the project each test
// loaded and where each came from. Two runs on two benches go at once: each
// is started, then finished.
#include "common.h"
#include "testrun_py.h"

using namespace tovel;
using namespace tovel::testrun_py;

static const char *MOD = "tovel.testrun";

static nb::object mine(const char *name) { return global(MOD, name); }

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

// The project's files and folders are linked into the scratch folder (on
// POSIX), so that a test that reads `LICENSE` or `tests/data/x.json` from
// the working folder finds them, as run from the project's folder. Not
// linked: the project's own modules (where the working folder is on
// sys.path they would stand for the installed ones), tov's build folder,
// dist and hidden ones.
static void link_project(nb::dict b, nb::object scratch) {
    nb::object os = mine("os"), project = get(b, "project", nb::none());
    if (project.is_none() || os.attr("name").equal(nb::str("nt")))
        return;
    nb::object roots = nb::str(b["roots"]).attr("split")(",");
    for (nb::handle entry : builtin("sorted")(os.attr("listdir")(project))) {
        nb::str e(entry);
        if (truthy(e.attr("startswith")(".")) || truthy(roots.attr("__contains__")(e.attr("removesuffix")(".py"))) ||
            truthy(nb::make_tuple("build", "dist", "__pycache__").attr("__contains__")(e)))
            continue;
        os.attr("symlink")(join(project, e), join(scratch, e));
    }
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
    shutil.attr("rmtree")(scratch, "ignore_errors"_a = true); // links are removed, not followed
    os.attr("makedirs")(scratch);
    link_project(b, scratch);
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
        // So are its words of an option of a plugin not installed (`timeout`
        // without pytest-timeout), which stop the run before any test there.
        for (const char *a : {"-p", "tovel_prove", "--continue-on-collection-errors", "-W",
                              "default::pytest.PytestDeprecationWarning", "-W", "default::pytest.PytestConfigWarning"})
            extra.append(a);
        // pytest's cache (addopts may name --cache-clear) is kept in the
        // scratch folder, which each run starts empty.
        extra.append(nb::str("-o"));
        extra.append(nb::str("cache_dir=") + nb::str(join(scratch, nb::str(".pytest_cache"))));
        extra.append(nb::str("--junitxml=") + nb::str(h["junit"]));
        env["TOVEL_PROVE_TRACE"] = h["trace"];
        command = nb::str(command + nb::str(" ") + nb::str(mine("shlex").attr("join")(extra)));
        // Chosen tests run without the project's coverage: measuring it
        // (pytest-cov's --cov in addopts) cost arrow's one test 40 s, mostly
        // tracing the import of the modules it loads.
        if (!select.is_none() && truthy(os.attr("path").attr("isdir")(join(b["site"], nb::str("pytest_cov")))))
            command = nb::str(command + nb::str(" --no-cov"));
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
