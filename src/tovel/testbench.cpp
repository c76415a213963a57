// tovel.testbench: the test bench of tovel.prover. A fresh virtual
// environment holds the project's pure wheel and the test requirements; each
// compiled module can be swapped in for its source there (the built .so in,
// the .py out, and back), and the test command runs from an empty scratch
// folder, bounded by the timeout, its outcome read per test from pytest's
// junit report or from its exit status.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.testbench";

static nb::object mine(const char *name) { return global(MOD, name); }

// Loaded into pytest with -p: writes each test's node id into the junit
// report, and runs only the node ids listed in TOVEL_PROVE_SELECT, collecting
// only the files they are in. Node ids are relative to pytest's rootdir, which
// the test folder decides, not the scratch folder the command runs in: so
// they are selected here. A memory address in an id (`<lambda> at 0x7f...`)
// differs from run to run: it is written as 0x?. Each test is noted in
// TOVEL_PROVE_TRACE as it starts and as it ends, with its outcome and the
// project's modules loaded since the test before: a crash, which leaves no
// report, still names the test it happened in and the outcomes before it, and
// the narrowing down knows which modules each test can have run.
//
// The project's own top-level packages are imported here, from
// site-packages whatever pytest put on sys.path already (its pythonpath
// setting) and before it puts the project's folder there (for a test folder
// with __init__.py): a test's `import pkg` then finds the installed package,
// not the sources beside the tests.
static const char *PLUGIN = R"(import importlib, os, re, sys

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


def _id(nodeid):
    return _ADDRESS.sub("0x?", nodeid)


def _note(*fields):
    with open(os.environ["TOVEL_PROVE_TRACE"], "a", encoding="utf-8") as f:
        f.write("\t".join(fields) + "\n")


def pytest_configure(config):
    global _wanted, _files
    path = os.environ.get("TOVEL_PROVE_SELECT")
    if not path:
        return
    with open(path, encoding="utf-8") as f:
        _wanted = set(f.read().splitlines())
    root = str(getattr(config, "rootpath", None) or config.rootdir)
    files = {os.path.normpath(os.path.join(root, i.partition("::")[0])) for i in _wanted}
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
if int(pytest.__version__.split(".")[0]) >= 7:
    def pytest_ignore_collect(collection_path, config):
        return _ignored(collection_path)
else:
    def pytest_ignore_collect(path, config):
        return _ignored(path)


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
    with open(_out, "a", encoding="utf-8") as f:
        f.write("".join(p + "\n" for p in files))


if _out:
    atexit.register(_write)
)";


static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static nb::object join(nb::handle a, const char *b) { return join(a, nb::str(b)); }

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

/// A fresh virtual environment at `venv` for the interpreter `python`, with
/// `install` (wheels and requirements) installed from the index as pip is
/// configured; the tools' output goes to `log`. Returns its interpreter.
static nb::str environment(nb::str python, nb::str venv, nb::list install, nb::str log) {
    nb::object os = mine("os"), sys = mine("sys");
    mine("shutil").attr("rmtree")(venv, "ignore_errors"_a = true);
    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str bin(join(venv, windows ? "Scripts" : "bin"));
    nb::str inside(join(bin, windows ? "python.exe" : "python"));
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
    cmd.append(python);
    for (const char *a : {"-m", "venv"})
        cmd.append(a);
    if (outer)
        cmd.append("--without-pip");
    cmd.append(venv);
    setup_step(cmd, log, "python -m venv");
    if (nb::len(install) == 0)
        return inside;
    cmd = nb::list();
    cmd.append(outer ? nb::object(sys.attr("executable")) : nb::object(inside));
    for (const char *a : {"-m", "pip"})
        cmd.append(a);
    if (outer) {
        cmd.append("--python");
        cmd.append(inside);
    }
    for (const char *a : {"install", "-q", "--disable-pip-version-check"})
        cmd.append(a);
    cmd.attr("extend")(install);
    setup_step(cmd, log, "pip install");
    return inside;
}

// A file pytest collects tests from: it stays as source in the bench.
static bool test_file(nb::str name) {
    return truthy(name.attr("startswith")("test_")) || truthy(name.attr("endswith")("_test.py")) ||
           name.equal(nb::str("conftest.py"));
}

/// The modules the wheel ships compiled besides `units` (those of the test
/// folders the tests run from): each extension module of the units' kind in
/// the tree their extensions stand in, as {arc (its source's), so, so_arc}.
/// A folder that holds test files pytest collects is not among them: pytest
/// imports them from source, through the folder's __init__.py.
static nb::list companions(nb::list units) {
    nb::object os = mine("os"), posixpath = mine("posixpath");
    nb::list out;
    if (!nb::len(units))
        return out;
    nb::str arc(units[0]["arc"]), so(os.attr("path").attr("abspath")(units[0]["so"]));
    nb::str base(os.attr("path").attr("basename")(so));
    nb::str stem(posixpath.attr("basename")(arc).attr("removesuffix")(".py"));
    nb::str suffix(base.attr("__getitem__")(builtin("slice")(nb::len(stem), nb::none())));
    nb::str so_arc(posixpath.attr("join")(posixpath.attr("dirname")(arc), base));
    nb::str tail(nb::str(os.attr("sep")) + nb::str(so_arc.attr("replace")("/", os.attr("sep"))));
    if (!truthy(so.attr("endswith")(tail)) || !truthy(base.attr("startswith")(stem)))
        return out;
    nb::str root(so.attr("__getitem__")(builtin("slice")(nb::none(), nb::len(so) - nb::len(tail))));
    nb::set judged, tests;
    for (nb::handle u : units)
        judged.add(os.attr("path").attr("abspath")(u["so"]));
    nb::list found;
    for (nb::handle step : os.attr("walk")(root))
        for (nb::handle f : builtin("sorted")(step[2])) {
            nb::str name(f);
            nb::object path = os.attr("path").attr("join")(step[0], name);
            nb::str rel(nb::str(os.attr("path").attr("relpath")(path, root)).attr("replace")(os.attr("sep"), "/"));
            if (test_file(name)) // a test file kept as source
                tests.add(posixpath.attr("dirname")(rel));
            if (!truthy(name.attr("endswith")(suffix)) || truthy(judged.attr("__contains__")(path)))
                continue;
            nb::str py(nb::str(rel.attr("removesuffix")(suffix)) + nb::str(".py"));
            if (test_file(nb::str(posixpath.attr("basename")(py))))
                tests.add(posixpath.attr("dirname")(py));
            nb::dict c;
            c["arc"] = py;
            c["so"] = path;
            c["so_arc"] = rel;
            found.append(c);
        }
    for (nb::handle c : found)
        if (!truthy(tests.attr("__contains__")(posixpath.attr("dirname")(c["arc"]))))
            out.append(c);
    return out;
}

/// A fresh virtual environment under `workdir` with the pure wheel (and so
/// the project's dependencies, from the index as pip is configured), its
/// test extras and the test requirements; the sources of the units saved
/// beside it. Returns the bench: what a run needs (the environment, the
/// command, the modules). What `workdir` holds besides is left alone.
static nb::dict make(nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    nb::dict b;
    nb::object os = mine("os"), shutil = mine("shutil"), sys = mine("sys");
    workdir = nb::str(os.attr("path").attr("abspath")(workdir));
    nb::str logs(join(workdir, "logs"));
    b["logs"] = logs;
    b["scratch"] = join(workdir, "scratch");
    nb::str plugins(join(workdir, "plugins"));
    for (nb::handle d : {nb::handle(logs), nb::handle(plugins)})
        os.attr("makedirs")(d, "exist_ok"_a = true);
    shutil.attr("rmtree")(join(workdir, "sources"), "ignore_errors"_a = true);
    mine("Path")(join(plugins, "tovel_prove.py")).attr("write_text")(PLUGIN, "encoding"_a = "utf-8");

    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str venv(join(workdir, "venv"));
    nb::str bin(join(venv, windows ? "Scripts" : "bin"));
    // The wheel with its test extras ("wheel[test]"), then the requirements.
    nb::str wheel(os.attr("path").attr("abspath")(pure_wheel));
    nb::list extras(get(settings, "test_extras", nb::list()));
    if (nb::len(extras))
        wheel = nb::str("{}[{}]").format(wheel, nb::str(",").attr("join")(extras));
    nb::list install;
    install.append(wheel);
    nb::object requires = get(settings, "test_requires", nb::none());
    if (!requires.is_none())
        install.attr("extend")(requires);
    // The interpreter the modules are compiled for (settings "python"), by
    // default the running one.
    nb::str python = environment(nb::str(get(settings, "python", sys.attr("executable"))), venv, install,
                                 nb::str(join(logs, "install.log")));
    b["python"] = python;
    nb::str site(mine("subprocess").attr("check_output")(
        nb::make_tuple(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"),
        "text"_a = true).attr("strip")());
    b["site"] = site;
    mine("Path")(join(site, "_tovel_origins.py")).attr("write_text")(ORIGINS, "encoding"_a = "utf-8");
    mine("Path")(join(site, "_tovel_origins.pth")).attr("write_text")("import _tovel_origins\n", "encoding"_a = "utf-8");
    nb::dict roots;
    for (nb::handle u : units)
        roots[nb::str(u["arc"]).attr("split")("/")[0].attr("removesuffix")(".py")] = nb::none();
    b["roots"] = nb::str(",").attr("join")(roots);

    nb::str project(get(settings, "project", os.attr("getcwd")()));
    nb::str quoted(mine("shlex").attr("quote")(project));
    nb::str given(settings["test_command"]);
    nb::str command(given.attr("replace")("{project}", quoted).attr("replace")("{package}", quoted)
                        .attr("replace")("{site}", mine("shlex").attr("quote")(site)));
    b["command"] = command;
    b["pytest"] = nb::bool_(is_pytest(command));
    b["timeout"] = get(settings, "test_timeout", nb::none());
    nb::dict env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
    for (const char *key : {"PYTHONPATH", "PYTHONHOME", "TOVEL_PROVE_SELECT", "TOVEL_PROVE_TRACE"})
        env.attr("pop")(key, nb::none());
    env["VIRTUAL_ENV"] = venv;
    env["PATH"] = bin + nb::str(os.attr("pathsep")) + nb::str(get(os.attr("environ"), "PATH", nb::str("")));
    // No bytecode written into the project's test folder.
    env["PYTHONDONTWRITEBYTECODE"] = "1";
    if (is_pytest(command))
        env["PYTHONPATH"] = plugins;
    b["env"] = env;

    b["units"] = units;
    nb::list so_arcs, so_paths, backups, compiled;
    for (nb::handle u : units) {
        nb::str arc(u["arc"]);
        nb::object folder = mine("posixpath").attr("dirname")(arc);
        nb::str so(os.attr("path").attr("abspath")(u["so"]));
        nb::str so_arc(mine("posixpath").attr("join")(folder, os.attr("path").attr("basename")(so)));
        nb::str installed(join(site, arc));
        if (!truthy(os.attr("path").attr("isfile")(installed)))
            build_failed(nb::str("the pure wheel {} has no {}: it cannot stand for the sources").format(pure_wheel, arc));
        nb::str saved(mine("os").attr("path").attr("join")(workdir, "sources", arc));
        os.attr("makedirs")(os.attr("path").attr("dirname")(saved), "exist_ok"_a = true);
        shutil.attr("copy2")(installed, saved);
        so_arcs.append(so_arc);
        so_paths.append(so);
        backups.append(saved);
        compiled.append(false);
    }
    b["so_arc"] = so_arcs;
    b["so_path"] = so_paths;
    b["backup"] = backups;
    b["compiled"] = compiled;
    b["runs"] = 0;
    return b;
}

/// Puts the modules of `source` (indices of the bench's units) in
/// site-packages as .py, the others as their built extension (the .py
/// removed, so that nothing else is imported).
static void arrange(nb::dict b, nb::list source) {
    nb::object os = mine("os"), shutil = mine("shutil");
    nb::list compiled(b["compiled"]);
    for (size_t i = 0; i < nb::len(compiled); ++i) {
        bool want = !truthy(source.attr("__contains__")(nb::int_(i)));
        if (truthy(compiled[i]) == want)
            continue;
        nb::object py = join(b["site"], b["units"][nb::int_(i)]["arc"]), so = join(b["site"], b["so_arc"][nb::int_(i)]);
        // A package's __init__.py stays beside its compiled form, which the
        // import system takes first: pytest and unittest know a package by
        // that file (a test module's relative imports need it).
        bool init = truthy(nb::str(b["units"][nb::int_(i)]["arc"]).attr("endswith")("/__init__.py"));
        nb::object drop = want ? py : so;
        if ((!want || !init) && truthy(os.attr("path").attr("exists")(drop)))
            os.attr("remove")(drop);
        if (want)
            shutil.attr("copy2")(b["so_path"][nb::int_(i)], so);
        else
            shutil.attr("copy2")(b["backup"][nb::int_(i)], py);
        compiled[i] = nb::bool_(want);
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

/// Runs the test command once, from an empty scratch folder with the shell,
/// bounded by the timeout; with pytest only the `select`ed tests (None: all).
static nb::dict run(nb::dict b, nb::object select) {
    nb::object os = mine("os"), shutil = mine("shutil"), subprocess = mine("subprocess");
    int n = nb::cast<int>(b["runs"]) + 1;
    b["runs"] = n;
    nb::object logs = b["logs"], scratch = b["scratch"];
    nb::str log(join(logs, nb::str("run-{}.log").format(n)));
    nb::str junit(join(logs, nb::str("run-{}.xml").format(n)));
    nb::str trace(join(logs, nb::str("run-{}.trace").format(n)));
    shutil.attr("rmtree")(scratch, "ignore_errors"_a = true);
    os.attr("makedirs")(scratch);
    nb::dict env = nb::borrow<nb::dict>(b["env"].attr("copy")());
    nb::str origins(join(logs, nb::str("run-{}.origins").format(n)));
    env["TOVEL_PROVE_ORIGINS"] = origins;
    env["TOVEL_PROVE_ROOTS"] = b["roots"];
    env["TOVEL_PROVE_SITE"] = b["site"];
    nb::str command(b["command"]);
    bool pytest = truthy(b["pytest"]);
    if (pytest) {
        nb::list extra;
        // A test module that fails to collect fails its tests, not the run.
        for (const char *a : {"-p", "tovel_prove", "-p", "no:cacheprovider", "--continue-on-collection-errors"})
            extra.append(a);
        extra.append(nb::str("--junitxml=") + junit);
        env["TOVEL_PROVE_TRACE"] = trace;
        command = nb::str(command + nb::str(" ") + nb::str(mine("shlex").attr("join")(extra)));
        if (!select.is_none()) {
            nb::str chosen(join(logs, nb::str("run-{}.select").format(n)));
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
        nb::object proc = subprocess.attr("Popen")(command, "shell"_a = true, "cwd"_a = scratch, "env"_a = env,
                                                   "stdout"_a = out, "stderr"_a = subprocess.attr("STDOUT"),
                                                   "stdin"_a = subprocess.attr("DEVNULL"), "start_new_session"_a = posix);
        try {
            status = proc.attr("wait")("timeout"_a = b["timeout"]);
        } catch (nb::python_error &e) {
            // A timeout, or an interrupt (which the session does not get),
            // ends the shell and all it started.
            bool timeout = e.matches(subprocess.attr("TimeoutExpired"));
            if (!timeout && ordinary(e))
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
            if (!timeout)
                throw;
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
    // site-packages, and the first placed there compiled that was loaded
    // from its source all the same.
    r["shadowed"] = nb::none();
    r["as_source"] = nb::none();
    if (truthy(os.attr("path").attr("isfile")(origins))) {
        nb::str site(os.attr("path").attr("realpath")(b["site"]));
        nb::set sources;
        nb::list compiled(b["compiled"]);
        for (size_t i = 0; i < nb::len(compiled); ++i)
            if (truthy(compiled[i]))
                sources.add(os.attr("path").attr("realpath")(join(b["site"], b["units"][nb::int_(i)]["arc"])));
        for (nb::handle f : mine("Path")(origins).attr("read_text")("encoding"_a = "utf-8").attr("splitlines")()) {
            nb::str real(os.attr("path").attr("realpath")(f));
            if (r["shadowed"].is_none() && !truthy(real.attr("startswith")(site + nb::str(os.attr("sep")))))
                r["shadowed"] = f;
            if (r["as_source"].is_none() && sources.contains(real))
                r["as_source"] = f;
        }
    }
    return r;
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
                named.append(id);
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

TOVEL_MODULE(testbench, m) {
    for (const char *name : {"os", "posixpath", "re", "shlex", "shutil", "signal", "subprocess", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("ElementTree") = nb::module_::import_("xml.etree.ElementTree");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.def("is_pytest", &is_pytest, "command"_a,
          "Whether the test command is a pytest run that takes more arguments at its end.");
    m.def("environment", &environment, "python"_a, "venv"_a, "install"_a, "log"_a,
          "Make a fresh virtual environment at venv for python with install installed; returns its python.");
    m.def("companions", &companions, "units"_a,
          "The modules the wheel ships compiled besides units (not test files): [{arc, so, so_arc}].");
    m.def("make", &make, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Make the test environment under workdir: the pure wheel and the test requirements "
          "installed; returns the bench.");
    m.def("arrange", &arrange, "bench"_a, "source"_a,
          "Put the units whose indices are in source in site-packages as .py, the others compiled.");
    m.def("run", &run, "bench"_a, "select"_a.none(),
          "Run the test command once (with pytest, only the selected node ids; None: all).");
    m.def("describe", &describe, "bench"_a, "result"_a, "How a run ended, in a few words.");
}
