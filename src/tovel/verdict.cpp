// tovel.verdict: the verdicts of test runs, kept in the cache folder by the
// hash of what decides them (the module set, the tests, the command and its
// environment), so that a build with the same modules and tests does not run
// them again: --keep-failing after a failed build runs nothing; and what a
// run says: the line that blames a module, the modules the tests lacked.
#include "common.h"

#include <algorithm>

using namespace tovel;

static const char *MOD = "tovel.verdict";

static nb::object mine(const char *name) { return global(MOD, name); }

// What a verdict holds of a run (and its output, written anew when recalled).
static const char *FIELDS[] = {"status", "seconds", "tests", "texts", "last", "signal", "shadowed", "spawned", "as_source", "modules", "marks", "partial"};

// The files of the project a test run may read: its sources, tests and
// configuration, not what builds, caches and environments leave.
static void digest_project(nb::object h, nb::str project) {
    nb::object os = mine("os");
    nb::tuple kinds = nb::make_tuple(".py", ".pyi", ".toml", ".cfg", ".ini", ".txt", ".json", ".yaml", ".yml");
    // Folders in sorted order and pruned as the walk goes (top down).
    for (nb::handle step : os.attr("walk")(project)) {
        nb::list dirs = nb::borrow<nb::list>(step[1]);
        dirs.attr("sort")();
        nb::list kept;
        for (nb::handle d : dirs) {
            nb::str name(d);
            bool skip = truthy(name.attr("startswith")(".")) || truthy(name.attr("endswith")(".egg-info")) ||
                        truthy(nb::make_tuple("__pycache__", "node_modules").attr("__contains__")(name)) ||
                        (nb::str(step[0]).equal(project) && truthy(nb::make_tuple("build", "dist").attr("__contains__")(name))) ||
                        truthy(os.attr("path").attr("isfile")(os.attr("path").attr("join")(step[0], name, "pyvenv.cfg")));
            if (!skip)
                kept.append(d);
        }
        dirs.attr("__setitem__")(builtin("slice")(nb::none()), kept);
        for (nb::handle f : builtin("sorted")(step[2])) {
            if (!truthy(nb::str(f).attr("endswith")(kinds)))
                continue;
            nb::object path = os.attr("path").attr("join")(step[0], f);
            h.attr("update")(nb::str("{}\n").format(os.attr("path").attr("relpath")(path, project)).attr("encode")());
            try {
                h.attr("update")(mine("Path")(path).attr("read_bytes")());
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError))
                    throw;
            }
        }
    }
}

/// What every run of a proof shares, hashed: the command, its requirements
/// and interpreter, the harness, the pure wheel's contents (its RECORD) and
/// the project's files.
static nb::str salt(nb::dict settings, nb::str pure_wheel) {
    nb::object h = mine("hashlib").attr("sha256")();
    nb::object sys = mine("sys");
    nb::list parts;
    for (const char *k : {"test_command", "test_requires", "test_extras", "test_timeout", "python"})
        parts.append(builtin("repr")(get(settings, k, nb::none())));
    parts.append(sys.attr("version"));
    h.attr("update")(nb::str("\n").attr("join")(parts).attr("encode")());
    // The harness itself: another tovel may run the tests another way.
    for (const char *m : {"tovel.testbench", "tovel.testrun", "tovel.narrow", "tovel.prover"})
        h.attr("update")(mine("Path")(nb::module_::import_(m).attr("__file__")).attr("read_bytes")());
    nb::object zf = mine("ZipFile")(pure_wheel);
    try {
        for (nb::handle n : zf.attr("namelist")())
            if (truthy(nb::str(n).attr("endswith")(".dist-info/RECORD")))
                h.attr("update")(zf.attr("read")(n));
        zf.attr("close")();
    } catch (...) {
        zf.attr("close")();
        throw;
    }
    digest_project(h, nb::str(get(settings, "project", mine("os").attr("getcwd")())));
    return nb::str(h.attr("hexdigest")());
}

/// The run recorded under `key`, its output written to `log`; None when
/// there is none.
static nb::object recall(nb::str cache, nb::str key, nb::str log) {
    nb::object stored = nb::module_::import_("tovel.store").attr("lookup")(cache, nb::none(), key, "verdicts");
    if (stored.is_none())
        return nb::none();
    nb::dict saved = nb::borrow<nb::dict>(mine("json").attr("loads")(stored));
    nb::dict r;
    for (const char *f : FIELDS)
        r[f] = get(saved, f, nb::none());
    r["log"] = log;
    mine("Path")(log).attr("write_text")(saved["output"], "encoding"_a = "utf-8");
    return r;
}

/// Records the run `r` under `key`, unless it timed out: a timeout says how
/// loaded the machine was as much as what the tests did.
static void remember(nb::str cache, nb::str key, nb::dict r) {
    if (r["status"].is_none())
        return;
    nb::dict saved;
    for (const char *f : FIELDS)
        saved[f] = r[f];
    saved["output"] = mine("Path")(r["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace");
    nb::module_::import_("tovel.store").attr("keep")(
        cache, nb::none(), key, nb::bytes(nb::str(mine("json").attr("dumps")(saved)).attr("encode")()),
        "share"_a = false, "kind"_a = "verdicts");
}

// ---------------------------------------------------------------- what a run says

// The test a run that left no report was in when it crashed or timed out.
static nb::str where(nb::dict r) {
    return r["last"].is_none() ? nb::str("") : nb::str(" in {}").format(r["last"]);
}

// The names of a few tests, for a line.
static nb::str names_of(nb::list ids) {
    nb::list shown;
    for (size_t i = 0; i < std::min<size_t>(3, nb::len(ids)); ++i)
        shown.append(test_shown(ids[i]).attr("rpartition")("::")[2]);
    if (nb::len(ids) > 3)
        shown.append("...");
    return nb::str(nb::str(", ").attr("join")(shown));
}

/// The culprit line and log of a module (into `unit`), from the run with it
/// compiled and the other culprits as source (`broken`: the tests that failed
/// there).
static void blame(nb::dict unit, nb::dict r, nb::list broken, nb::object timeout, bool pytest) {
    nb::str line;
    if (r["status"].is_none())
        line = nb::str("makes the tests time out after {} s{}").format(timeout, where(r));
    else if (truthy(r["signal"]))
        line = nb::str("crashes the test process (signal {}){}").format(r["signal"], where(r));
    else if (!pytest)
        line = nb::str("makes the test command fail (exit status {})").format(r["status"]);
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

/// The modules the tests could not import in run `r` (a conftest.py or a
/// test module that fails to load), not the project's own nor its folders':
/// those the test environment lacks.
static nb::list missing(nb::dict r, nb::list units, nb::object project) {
    nb::list texts;
    texts.append(mine("Path")(r["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace"));
    for (auto [id, text] : nb::borrow<nb::dict>(r["texts"]))
        texts.append(text);
    nb::dict names;
    for (nb::handle t : texts)
        for (nb::handle m : mine("re").attr("findall")("No module named '([A-Za-z_][\\w]*)", t)) {
            bool own = false;
            for (nb::handle u : units)
                own = own || nb::str(nb::str(u["arc"]).attr("split")("/")[0]).attr("removesuffix")(".py").equal(m);
            // The project's, or a module of one of its folders (a test
            // module another one imports: `from test_eps import ...`).
            nb::object os = mine("os"), glob = mine("glob").attr("glob");
            for (const char *p : {"{}", "{}.py"})
                own = own || truthy(os.attr("path").attr("exists")(os.attr("path").attr("join")(project, nb::str(p).format(m))));
            for (const char *p : {"*/{}.py", "*/{}/__init__.py"})
                own = own || nb::len(nb::object(glob(nb::str(p).format(m), "root_dir"_a = project)));
            if (!own)
                names[m] = nb::none();
        }
    return nb::list(names);
}

// "hypothesis, which the test environment does not have (--test-requires
// hypothesis adds it)", each by the distribution that provides it (yaml:
// PyYAML, distutils: setuptools); a name of `absent` (a folder of the project that
// this source tree lacks) is said to be one: a distribution of that name
// would be someone else's.
static nb::str lacking(nb::list names, nb::list absent) {
    nb::list others, gone, opts, parts;
    for (nb::handle n : names)
        (truthy(absent.attr("__contains__")(n)) ? gone : others).append(n);
    for (nb::handle n : others)
        opts.append(nb::str("--test-requires ") + nb::str(nb::module_::import_("tovel.uses").attr("suggest")(n)));
    if (nb::len(others))
        parts.append(nb::str("{}, which the test environment does not have ({} {})")
                         .format(nb::str(", ").attr("join")(others), nb::str(" ").attr("join")(opts),
                                 nb::len(others) == 1 ? "adds it" : "add them"));
    if (nb::len(gone))
        parts.append(nb::str("{}, which this source tree lacks ({} of the project's own, left out of it)")
                         .format(nb::str(", ").attr("join")(gone), nb::len(gone) == 1 ? "a folder" : "folders"));
    return nb::str(nb::str(" and ").attr("join")(parts));
}

TOVEL_MODULE(verdict, m) {
    for (const char *name : {"glob", "hashlib", "json", "os", "re", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("ZipFile") = nb::module_::import_("zipfile").attr("ZipFile");
    m.def("salt", &salt, "settings"_a, "pure_wheel"_a,
          "The hash of what every run of a proof shares: command, requirements, interpreter, harness, "
          "pure wheel and the project's files.");
    m.def("recall", &recall, "cache"_a, "key"_a, "log"_a,
          "The run recorded under key (its output written to log), or None.");
    m.def("remember", &remember, "cache"_a, "key"_a, "result"_a, "Record a run under key (not a timeout).");
    m.def("names", &names_of, "ids"_a, "The names of a few tests, for a line.");
    m.def("blame", &blame, "unit"_a, "result"_a, "broken"_a, "timeout"_a.none(), "pytest"_a,
          "Set the unit's stage, line and log from the run its compiled form broke the tests in.");
    m.def("missing", &missing, "result"_a, "units"_a, "project"_a,
          "The modules the tests could not import in the run, not the project's own: those the environment lacks.");
    m.def("lacking", &lacking, "names"_a, "absent"_a = nb::list(),
          "Missing modules, with the --test-requires that adds them; those of absent, as folders of the project "
          "this source tree lacks.");
}
