// tovel.prover: the project's own tests judge the compiled modules. The test
// command runs in a fresh virtual environment, once with the sources and once
// with the compiled modules in place; tests that fail only compiled are traced
// to the modules that break them by delta debugging over the modules already
// built: their .so and .py are swapped in site-packages, nothing is compiled
// again.
#include "common.h"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace tovel;

static const char *MOD = "tovel.prover";

static nb::object mine(const char *name) { return global(MOD, name); }

// Loaded into pytest with -p: writes each test's node id into the junit
// report, and runs only the node ids listed in TOVEL_PROVE_SELECT. Node ids
// are relative to pytest's rootdir, which the test folder decides, not the
// scratch folder the command runs in: so they are selected here. Each test
// is noted in TOVEL_PROVE_TRACE as it starts, so that a crash, which leaves
// no report, still names the test it happened in.
static const char *PLUGIN = R"(import os


def pytest_runtest_logstart(nodeid, location):
    with open(os.environ["TOVEL_PROVE_TRACE"], "a", encoding="utf-8") as f:
        f.write(nodeid + "\n")


def pytest_collection_modifyitems(session, config, items):
    for item in items:
        item.user_properties.append(("tovel-nodeid", item.nodeid))
    path = os.environ.get("TOVEL_PROVE_SELECT")
    if path:
        with open(path, encoding="utf-8") as f:
            wanted = set(f.read().splitlines())
        config.hook.pytest_deselected(items=[i for i in items if i.nodeid not in wanted])
        items[:] = [i for i in items if i.nodeid in wanted]
)";

// The pseudo test of a command judged by its exit status.
static const char *WHOLE = "the test command";

[[noreturn]] static void build_failed(nb::handle message) {
    PyErr_SetObject(global("tovel.packer", "BuildFailed").ptr(), message.ptr());
    throw nb::python_error();
}

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static nb::object join(nb::handle a, const char *b) { return join(a, nb::str(b)); }

// Everything a run needs: the environment, the command and the modules.
struct Bench {
    nb::str python, site, scratch, logs, command;
    nb::object timeout;
    nb::dict env;
    bool pytest = false;
    nb::list units;                // the unit dicts
    std::vector<nb::str> so_arc;   // where each extension goes in site-packages
    std::vector<nb::str> so_path;  // the built extension, absolute
    std::vector<nb::str> backup;   // the installed source, saved
    std::vector<int> state;        // 0 source, 1 compiled
    nb::list passed;               // test ids that pass from the sources
    int runs = 0;
    std::map<std::pair<std::vector<int>, std::string>, nb::dict> cache;
};

/// Whether the command is a pytest run that takes more arguments at its end:
/// pytest or `python -m pytest`, with no shell syntax around it.
static bool is_pytest(nb::str command) {
    for (const char *mark : {";", "&", "|", "<", ">", "`", "$(", "\n"})
        if (truthy(command.attr("__contains__")(mark)))
            return false;
    nb::list words;
    try {
        words = nb::list(mine("shlex").attr("split")(command));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return false;
    }
    if (nb::len(words) == 0)
        return false;
    nb::str program(mine("os").attr("path").attr("basename")(words[0]));
    if (program.equal(nb::str("pytest")) || program.equal(nb::str("py.test")))
        return true;
    return truthy(program.attr("startswith")("python")) && nb::len(words) >= 3 &&
           nb::str(words[1]).equal(nb::str("-m")) && nb::str(words[2]).equal(nb::str("pytest"));
}

// ---------------------------------------------------------------- the environment

// Runs a setup step, its output to `log`; a failure ends the build with one line.
static void setup_step(nb::list cmd, nb::handle log, const char *what) {
    nb::object out = builtin("open")(log, "a", "encoding"_a = "utf-8");
    nb::object done;
    try {
        done = mine("subprocess").attr("run")(cmd, "stdout"_a = out, "stderr"_a = mine("subprocess").attr("STDOUT"),
                                              "stdin"_a = mine("subprocess").attr("DEVNULL"));
    } catch (...) {
        out.attr("close")();
        throw;
    }
    out.attr("close")();
    if (!done.attr("returncode").equal(nb::int_(0)))
        build_failed(nb::str("the test environment could not be made: {} ended with exit status {}; "
                             "its output is in {}")
                         .format(what, done.attr("returncode"), log));
}

/// A fresh virtual environment under `workdir` with the pure wheel (and so
/// the project's dependencies, from the index as pip is configured) and the
/// test requirements; the sources of the units saved beside it.
static void make_bench(Bench &b, nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    nb::object os = mine("os"), shutil = mine("shutil"), sys = mine("sys");
    workdir = nb::str(os.attr("path").attr("abspath")(workdir));
    shutil.attr("rmtree")(workdir, "ignore_errors"_a = true);
    b.logs = nb::str(join(workdir, "logs"));
    b.scratch = nb::str(join(workdir, "scratch"));
    nb::str plugins(join(workdir, "plugins"));
    for (nb::handle d : {nb::handle(b.logs), nb::handle(plugins)})
        os.attr("makedirs")(d);
    mine("Path")(join(plugins, "tovel_prove.py")).attr("write_text")(PLUGIN, "encoding"_a = "utf-8");

    nb::str venv(join(workdir, "venv"));
    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str bin(join(venv, windows ? "Scripts" : "bin"));
    b.python = nb::str(join(bin, windows ? "python.exe" : "python"));
    nb::str log(join(b.logs, "install.log"));
    // venv and pip, not uv: pip installs from the index the way the user
    // configured it. The running interpreter's pip drives the environment
    // when it can (pip >= 22.3 takes --python), which spares installing pip.
    bool outer = false;
    try {
        nb::object version = nb::module_::import_("importlib.metadata").attr("version")("pip");
        outer = mine("Version")(version) >= mine("Version")("22.3");
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
    }
    nb::list cmd;
    cmd.append(sys.attr("executable"));
    for (const char *a : {"-m", "venv"})
        cmd.append(a);
    if (outer)
        cmd.append("--without-pip");
    cmd.append(venv);
    setup_step(cmd, log, "python -m venv");
    cmd = nb::list();
    cmd.append(outer ? nb::object(sys.attr("executable")) : nb::object(b.python));
    for (const char *a : {"-m", "pip"})
        cmd.append(a);
    if (outer) {
        cmd.append("--python");
        cmd.append(b.python);
    }
    for (const char *a : {"install", "-q", "--disable-pip-version-check"})
        cmd.append(a);
    cmd.append(os.attr("path").attr("abspath")(pure_wheel));
    nb::object requires = get(settings, "test_requires", nb::none());
    if (!requires.is_none())
        for (nb::handle r : requires)
            cmd.append(r);
    setup_step(cmd, log, "pip install");
    b.site = nb::str(mine("subprocess").attr("check_output")(
        nb::make_tuple(b.python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"),
        "text"_a = true).attr("strip")());

    nb::str project(get(settings, "project", os.attr("getcwd")()));
    nb::str quoted(mine("shlex").attr("quote")(project));
    b.command = nb::str(nb::str(settings["test_command"]).attr("replace")("{project}", quoted).attr("replace")("{package}", quoted));
    b.pytest = is_pytest(b.command);
    b.timeout = get(settings, "test_timeout", nb::none());
    b.env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
    for (const char *key : {"PYTHONPATH", "PYTHONHOME", "TOVEL_PROVE_SELECT"})
        b.env.attr("pop")(key, nb::none());
    b.env["VIRTUAL_ENV"] = venv;
    b.env["PATH"] = bin + nb::str(os.attr("pathsep")) + nb::str(get(os.attr("environ"), "PATH", nb::str("")));
    // No bytecode written into the project's test folder.
    b.env["PYTHONDONTWRITEBYTECODE"] = "1";
    if (b.pytest)
        b.env["PYTHONPATH"] = plugins;

    b.units = units;
    for (nb::handle u : units) {
        nb::str arc(u["arc"]);
        nb::object folder = mine("posixpath").attr("dirname")(arc);
        nb::str so(os.attr("path").attr("abspath")(u["so"]));
        nb::str so_arc(mine("posixpath").attr("join")(folder, os.attr("path").attr("basename")(so)));
        nb::str installed(join(b.site, arc));
        if (!truthy(os.attr("path").attr("isfile")(installed)))
            build_failed(nb::str("the pure wheel {} has no {}: it cannot stand for the sources").format(pure_wheel, arc));
        nb::str saved(mine("os").attr("path").attr("join")(workdir, "sources", arc));
        os.attr("makedirs")(os.attr("path").attr("dirname")(saved), "exist_ok"_a = true);
        shutil.attr("copy2")(installed, saved);
        b.so_arc.push_back(so_arc);
        b.so_path.push_back(so);
        b.backup.push_back(saved);
        b.state.push_back(0);
    }
}

/// Puts the modules of `source` in site-packages as .py, the others as their
/// built extension (the .py removed, so that nothing else is imported).
static void arrange(Bench &b, const std::vector<int> &source) {
    nb::object os = mine("os"), shutil = mine("shutil");
    std::set<int> as_source(source.begin(), source.end());
    for (size_t i = 0; i < b.state.size(); ++i) {
        int want = as_source.count((int) i) ? 0 : 1;
        if (b.state[i] == want)
            continue;
        nb::object py = join(b.site, b.units[i]["arc"]), so = join(b.site, b.so_arc[i]);
        nb::object drop = want ? py : so;
        if (truthy(os.attr("path").attr("exists")(drop)))
            os.attr("remove")(drop);
        if (want)
            shutil.attr("copy2")(b.so_path[i], so);
        else
            shutil.attr("copy2")(b.backup[i], py);
        b.state[i] = want;
    }
}

// ---------------------------------------------------------------- one run

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
            id = nb::str("{}::{}").format(tc.attr("get")("classname"), tc.attr("get")("name"));
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

/// Runs the test command once, from an empty scratch folder with the shell,
/// bounded by the timeout; with pytest only the `select`ed tests (None: all).
static nb::dict run_once(Bench &b, nb::object select) {
    nb::object os = mine("os"), shutil = mine("shutil"), subprocess = mine("subprocess");
    int n = ++b.runs;
    nb::str log(join(b.logs, nb::str("run-{}.log").format(n)));
    nb::str junit(join(b.logs, nb::str("run-{}.xml").format(n)));
    nb::str trace(join(b.logs, nb::str("run-{}.trace").format(n)));
    shutil.attr("rmtree")(b.scratch, "ignore_errors"_a = true);
    os.attr("makedirs")(b.scratch);
    nb::dict env = nb::borrow<nb::dict>(b.env.attr("copy")());
    nb::str command = b.command;
    if (b.pytest) {
        nb::list extra;
        for (const char *a : {"-p", "tovel_prove", "-p", "no:cacheprovider"})
            extra.append(a);
        extra.append(nb::str("--junitxml=") + junit);
        env["TOVEL_PROVE_TRACE"] = trace;
        command = nb::str(command + nb::str(" ") + nb::str(mine("shlex").attr("join")(extra)));
        if (!select.is_none()) {
            nb::str chosen(join(b.logs, nb::str("run-{}.select").format(n)));
            mine("Path")(chosen).attr("write_text")(nb::str("\n").attr("join")(select), "encoding"_a = "utf-8");
            env["TOVEL_PROVE_SELECT"] = chosen;
        }
    }
    bool posix = !os.attr("name").equal(nb::str("nt"));
    nb::object start = mine("time").attr("monotonic")();
    nb::object out = builtin("open")(log, "w", "encoding"_a = "utf-8");
    nb::object status = nb::none();
    try {
        // A session of its own, so that a timeout ends the shell and all it started.
        nb::object proc = subprocess.attr("Popen")(command, "shell"_a = true, "cwd"_a = b.scratch, "env"_a = env,
                                                   "stdout"_a = out, "stderr"_a = subprocess.attr("STDOUT"),
                                                   "stdin"_a = subprocess.attr("DEVNULL"), "start_new_session"_a = posix);
        try {
            status = proc.attr("wait")("timeout"_a = b.timeout);
        } catch (nb::python_error &e) {
            if (!e.matches(subprocess.attr("TimeoutExpired")))
                throw;
            try {
                if (posix)
                    os.attr("killpg")(proc.attr("pid"), mine("signal").attr("SIGKILL"));
                else
                    proc.attr("kill")();
            } catch (nb::python_error &gone) {
                if (!gone.matches(PyExc_ProcessLookupError))
                    throw;
            }
            proc.attr("wait")();
        }
    } catch (...) {
        out.attr("close")();
        throw;
    }
    out.attr("close")();
    nb::dict r;
    r["status"] = status;
    r["seconds"] = mine("time").attr("monotonic")() - start;
    r["log"] = log;
    nb::dict texts;
    r["texts"] = texts;
    r["tests"] = b.pytest ? read_junit(junit, texts) : nb::none();
    r["last"] = nb::none();
    if (r["tests"].is_none() && truthy(os.attr("path").attr("isfile")(trace))) {
        nb::list started(mine("Path")(trace).attr("read_text")("encoding"_a = "utf-8").attr("splitlines")());
        if (nb::len(started))
            r["last"] = nb::str(started[nb::len(started) - 1]).attr("rpartition")("::")[2];
    }
    return r;
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

// The test a run that left no report was in when it crashed or timed out.
static nb::str where(nb::dict r) {
    return r["last"].is_none() ? nb::str("") : nb::str(" in {}").format(r["last"]);
}

/// How a run ended, for its progress line.
static nb::str describe(Bench &b, nb::dict r) {
    nb::str how;
    if (r["status"].is_none())
        how = nb::str("timed out after {} s").format(b.timeout);
    else if (signal_of(r))
        how = nb::str("crashed (signal {})").format(signal_of(r));
    else if (!r["tests"].is_none()) {
        size_t ok = 0, bad = 0;
        for (auto [id, passed] : nb::borrow<nb::dict>(r["tests"]))
            (truthy(passed) ? ok : bad) += 1;
        how = nb::str("{} passed, {} failed").format(ok, bad);
    } else if (b.pytest)
        how = nb::str("no test report, exit status {}").format(r["status"]);
    else
        how = nb::str("exit status {}").format(r["status"]);
    return nb::str("{}{} ({:.1f} s)").format(how, where(r), r["seconds"]);
}

/// The tests among `wanted` (those that pass from the sources) that did not
/// pass in this run: a timeout or crash fails every test it did not report.
static nb::list failing(Bench &b, nb::dict r, nb::handle wanted) {
    nb::list out;
    if (!b.pytest) {
        if (nb::len(wanted) && !r["status"].equal(nb::int_(0)))
            out.append(WHOLE);
        return out;
    }
    nb::object tests = r["tests"];
    for (nb::handle id : wanted)
        if (tests.is_none() || !truthy(tests.attr("get")(id, false)))
            out.append(id);
    return out;
}

// A run of the configuration `source` (sorted), remembered for the selection.
static nb::dict run_cached(Bench &b, std::vector<int> source, nb::object select, const char *label) {
    std::sort(source.begin(), source.end());
    std::string key = select.is_none() ? std::string("*") : std::string(nb::str(nb::str("\n").attr("join")(builtin("sorted")(select))).c_str());
    auto found = b.cache.find({source, key});
    if (found != b.cache.end())
        return found->second;
    arrange(b, source);
    nb::dict r = run_once(b, select);
    nb::str modules = nb::str(source.size() == 1 ? "1 module" : "{} modules").format(source.size());
    print(nb::str("{}: {}").format(nb::str(label).attr("format")(b.runs, modules), describe(b, r)));
    b.cache[{source, key}] = r;
    return r;
}

// ---------------------------------------------------------------- narrowing down

/// Delta debugging (ddmin): a 1-minimal subset of `items` for which `holds`
/// is true, given that it holds for all of them.
template <typename F> static std::vector<int> ddmin(std::vector<int> items, F holds) {
    size_t n = 2;
    while (items.size() >= 2) {
        std::vector<std::vector<int>> chunks(n);
        for (size_t i = 0; i < items.size(); ++i)
            chunks[i * n / items.size()].push_back(items[i]);
        bool reduced = false;
        for (auto &chunk : chunks)
            if (!reduced && holds(chunk)) {
                items = chunk, n = 2, reduced = true;
            }
        for (auto &chunk : chunks) {
            if (reduced || n == 2)
                break; // with two chunks, each is the other's complement
            std::vector<int> rest;
            for (int i : items)
                if (std::find(chunk.begin(), chunk.end(), i) == chunk.end())
                    rest.push_back(i);
            if (holds(rest))
                items = rest, n = std::max<size_t>(n - 1, 2), reduced = true;
        }
        if (!reduced) {
            if (n >= items.size())
                break;
            n = std::min(items.size(), 2 * n);
        }
    }
    return items;
}

static nb::str names_of(nb::list ids) {
    nb::list shown;
    for (size_t i = 0; i < std::min<size_t>(3, nb::len(ids)); ++i)
        shown.append(nb::str(ids[i]).attr("rpartition")("::")[2]);
    if (nb::len(ids) > 3)
        shown.append("...");
    return nb::str(nb::str(", ").attr("join")(shown));
}

/// The culprit line and log of module `i`: the tests that fail with it
/// compiled and the other culprits as source.
static void blame(Bench &b, nb::dict unit, nb::dict r, nb::list broken) {
    nb::str line;
    if (r["status"].is_none())
        line = nb::str("makes the tests time out after {} s{}").format(b.timeout, where(r));
    else if (signal_of(r))
        line = nb::str("crashes the test process (signal {}){}").format(signal_of(r), where(r));
    else if (!b.pytest)
        line = nb::str("makes the test command fail (exit status {})").format(r["status"]);
    else if (nb::len(broken) == 0)
        line = nb::str("breaks the tests only together with the other modules named here");
    else
        line = nb::str("breaks {} {}: {}").format(nb::len(broken), nb::len(broken) == 1 ? "test" : "tests", names_of(broken));
    nb::list parts;
    for (nb::handle id : broken)
        if (nb::borrow<nb::dict>(r["texts"]).contains(id))
            parts.append(nb::str("{}\n{}\n").format(id, r["texts"][id]));
    nb::object tail = mine("Path")(r["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace").attr("splitlines")();
    tail = tail.attr("__getitem__")(builtin("slice")(-40, nb::none()));
    parts.append(nb::str("the end of the test output ({}):\n{}\n").format(r["log"], nb::str("\n").attr("join")(tail)));
    unit["stage"] = "tests";
    unit["line"] = line;
    unit["log"] = nb::str("").attr("join")(parts);
}

/// Runs the test command from the sources and compiled; returns the units
/// whose compiled form breaks tests that pass from the sources.
static nb::list prove(nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    Bench b;
    make_bench(b, settings, pure_wheel, units, workdir);
    int count = (int) nb::len(units);
    std::vector<int> all;
    for (int i = 0; i < count; ++i)
        all.push_back(i);

    nb::dict source = run_cached(b, all, nb::none(), "tests from source");
    bool judged = b.pytest ? !source["tests"].is_none() && !truthy(nb::make_tuple(2, 3, 4).attr("__contains__")(source["status"]))
                           : source["status"].equal(nb::int_(0));
    if (!judged) {
        nb::str hint("");
        bool has_pytest = false;
        for (nb::handle r : get(settings, "test_requires", nb::list()))
            has_pytest = has_pytest || truthy(mine("re").attr("match")("pytest\\b", r));
        if (b.pytest && !has_pytest)
            hint = nb::str(" (pytest comes into the test environment with --test-requires pytest)");
        build_failed(nb::str("the test command fails from the sources{}: {}; it cannot judge the compiled modules; "
                             "its output is in {}")
                         .format(hint, describe(b, source), source["log"]));
    }
    if (b.pytest) {
        for (auto [id, passed] : nb::borrow<nb::dict>(source["tests"]))
            if (truthy(passed))
                b.passed.append(id);
    } else
        b.passed.append(WHOLE);

    // Each round keeps the smallest set of modules as source that mends the
    // failing tests, then runs every test again: a module whose fault the
    // others hid is found in the next round.
    std::vector<int> keep;
    nb::list everything;
    nb::list broken = failing(b, run_cached(b, {}, nb::none(), "tests compiled"), b.passed);
    for (int round = 0; nb::len(broken) && round < 3; ++round) {
        everything.attr("extend")(broken);
        nb::object select = b.pytest ? nb::object(broken) : nb::object(nb::none());
        const char *label = "narrowing down: run {}, {} as source";
        // Tests that fail compiled only beside the others are narrowed down
        // with every test.
        if (!select.is_none() && nb::len(failing(b, run_cached(b, keep, select, label), broken)) == 0)
            select = nb::none();
        nb::handle wanted = select.is_none() ? nb::handle(b.passed) : nb::handle(broken);
        if (nb::len(failing(b, run_cached(b, all, select, label), wanted))) {
            print(nb::str("warning: {} {} also from the sources when run this way: not judged")
                      .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail"));
            broken = nb::list();
            break;
        }
        std::vector<int> candidates;
        for (int i : all)
            if (std::find(keep.begin(), keep.end(), i) == keep.end())
                candidates.push_back(i);
        std::vector<int> found = ddmin(candidates, [&](const std::vector<int> &sub) {
            std::vector<int> config = keep;
            config.insert(config.end(), sub.begin(), sub.end());
            return nb::len(failing(b, run_cached(b, config, select, label), wanted)) == 0;
        });
        keep.insert(keep.end(), found.begin(), found.end());
        broken = failing(b, run_cached(b, keep, nb::none(), "tests with {1} kept as source"), b.passed);
    }
    if (nb::len(broken))
        print(nb::str("warning: {} still {} with the modules named here kept as source; the output is in {}")
                  .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail", b.logs));

    std::sort(keep.begin(), keep.end());
    nb::list culprits;
    nb::object select = b.pytest ? nb::object(everything) : nb::object(nb::none());
    for (int i : keep) {
        std::vector<int> others;
        for (int j : keep)
            if (j != i)
                others.push_back(j);
        nb::dict r = run_cached(b, others, select, "naming the tests of each module: run {}, {} as source");
        nb::dict unit = nb::borrow<nb::dict>(units[i]);
        blame(b, unit, r, failing(b, r, b.pytest ? nb::handle(everything) : nb::handle(b.passed)));
        culprits.append(unit);
    }
    if (nb::len(culprits) == 0 && nb::len(b.passed))
        print("the compiled modules pass every test that passes from the sources");
    return culprits;
}

TOVEL_MODULE(prover, m) {
    for (const char *name : {"os", "posixpath", "re", "shlex", "shutil", "signal", "subprocess", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("ElementTree") = nb::module_::import_("xml.etree.ElementTree");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.def("is_pytest", &is_pytest, "command"_a,
          "Whether the test command is a pytest run that takes more arguments at its end.");
    m.def("prove", &prove, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Run the test command from the sources and compiled; returns the units whose "
          "compiled form breaks tests, with stage 'tests', line and log set.");
}
