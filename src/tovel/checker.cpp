// tovel.checker: the import check of a built tree, in a fresh interpreter,
// and the failure summary of a build, with the command line that succeeds.
#include "common.h"

#include <algorithm>

using namespace tovel;

static const char *MOD = "tovel.checker";

static nb::object mine(const char *name) { return global(MOD, name); }

static void fail(nb::dict unit, const char *stage, nb::handle line, nb::handle log) {
    unit["stage"] = stage;
    unit["line"] = line;
    unit["log"] = log;
}

// Run in a fresh interpreter (-I: no working directory, no user site on the
// path; -B: no bytecode written into the tree that becomes the wheel) with
// only the built tree in front: imports each module and writes
// what happened as JSON. Nothing of tovel is imported there, so the package
// under test is never shadowed by what the tool itself loaded.
static const char *PROBE = R"(import importlib, json, sys, traceback
sys.path.insert(0, sys.argv[1])
names, out = json.loads(sys.stdin.read()), {}
for name in names:
    parent = name.rpartition(".")[0]
    if parent and out.get(parent):
        out[name] = ["skipped", "", None, ""]
        continue
    try:
        importlib.import_module(name)
        out[name] = None
    except BaseException as e:
        text = str(e).strip().splitlines()
        out[name] = [type(e).__name__, text[0] if text else "", getattr(e, "name", None) if isinstance(e, ImportError) else None, traceback.format_exc()]
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(out, f)
)";

/// Imports every compiled unit from `tree` in a fresh interpreter. A module
/// that fails because of itself or of the project's own modules is a failure
/// ("import check"); one that needs a distribution not installed here is
/// reported as not checked. `roots` are the project's top-level import names,
/// `absent` the dotted names of its modules left out of the wheel.
static nb::list check(nb::list units, nb::str tree, nb::list roots, nb::list absent) {
    nb::object os = mine("os"), json = mine("json");
    nb::list names;
    nb::dict by_name;
    for (nb::handle u : units) {
        names.append(u["name"]);
        by_name[u["name"]] = u;
    }
    names.attr("sort")();
    nb::str result(os.attr("path").attr("abspath")("build/import-check.json"));
    nb::list cmd;
    cmd.append(mine("sys").attr("executable"));
    for (const char *a : {"-I", "-B", "-c", PROBE})
        cmd.append(a);
    cmd.append(os.attr("path").attr("abspath")(tree));
    cmd.append(result);
    nb::object done = mine("subprocess").attr("run")(cmd, "input"_a = json.attr("dumps")(names),
                                                     "capture_output"_a = true, "text"_a = true,
                                                     "errors"_a = "replace");
    nb::list failed;
    if (!truthy(os.attr("path").attr("isfile")(result))) {
        // The interpreter itself died (a crash in a module's initialisation):
        // every module counts as failed, with what it printed.
        for (nb::handle u : units) {
            fail(nb::borrow<nb::dict>(u), "import check",
                 nb::str("the interpreter importing the modules ended with status {}")
                     .format(done.attr("returncode")),
                 done.attr("stdout") + done.attr("stderr"));
            failed.append(u);
        }
        return failed;
    }
    nb::dict got = nb::borrow<nb::dict>(json.attr("loads")(mine("Path")(result).attr("read_text")("encoding"_a = "utf-8")));
    os.attr("remove")(result);
    for (nb::handle name : names) {
        nb::object r = got[name];
        if (r.is_none())
            continue;
        nb::dict u = nb::borrow<nb::dict>(by_name[name]);
        nb::str kind(r[0]), message(r[1]);
        nb::object missing = r[2];
        if (kind.equal(nb::str("skipped")))
            continue;
        bool own = false;
        if (!missing.is_none())
            own = truthy(roots.attr("__contains__")(nb::str(missing).attr("split")(".")[nb::int_(0)]));
        // "cannot import name X" names no module: X is one of the project's
        // when a left-out module of the project has that name.
        nb::object named = mine("re").attr("search")("cannot import name '?(\\w+)", message);
        if (!named.is_none())
            for (nb::handle a : absent)
                own = own || truthy(nb::str(a).attr("endswith")(nb::str(".") + nb::str(named.attr("group")(1))));
        bool import_error = kind.equal(nb::str("ImportError")) || kind.equal(nb::str("ModuleNotFoundError"));
        if (import_error && !missing.is_none() && !own) {
            print(nb::str("not checked {}: it needs {}, which is not installed here")
                      .format(u["path"], nb::str(missing).attr("split")(".")[nb::int_(0)]));
            continue;
        }
        if (import_error && own) {
            // Keeping this module as source would not help: what it imports
            // is not in the wheel.
            fail(u, "import check",
                 nb::str("{}: {} (a module of the project that is not in the wheel: excluded or missing)")
                     .format(kind, message), r[3]);
            u["keep_helps"] = false;
            failed.append(u);
        } else if (import_error) {
            fail(u, "import check", nb::str("{}: {}").format(kind, message), r[3]);
            failed.append(u);
        } else {
            print(nb::str("not checked {}: importing it raised {}: {}").format(u["path"], kind, message));
        }
    }
    return failed;
}

// ---------------------------------------------------------------- summary

/// The failure summary: one line per failing module (path, stage, reason),
/// the log that holds their whole output, and the command line that builds
/// with those modules kept as source. Writes the log.
static nb::str summary(nb::list failed, nb::object argv, nb::object keep, nb::str logpath) {
    nb::object re = mine("re");
    nb::list lines, logparts, paths;
    bool missing = false;
    size_t width = 0;
    for (nb::handle u : failed)
        width = std::max(width, nb::len(nb::object(u["path"])));
    for (nb::handle u : failed) {
        nb::str path(u["path"]);
        lines.append(nb::str("  {}  {}  {}").format(path.attr("ljust")(width), nb::str(u["stage"]).attr("ljust")(18), u["line"]));
        logparts.append(nb::str("==== {} ({})\n{}\n").format(path, u["stage"],
                                                               nb::str(get(u, "translation_log", nb::str(""))) + nb::str(u["log"])));
        if (truthy(get(u, "keep_helps", nb::bool_(true))))
            paths.append(nb::str("^") + nb::str(re.attr("escape")(path)) + nb::str("$"));
        else
            missing = true;
    }
    mine("Path")(logpath).attr("write_text")(nb::str("").attr("join")(logparts), "encoding"_a = "utf-8");
    nb::str pattern(nb::str("|").attr("join")(paths));
    if (!keep.is_none())
        pattern = nb::str("{}|{}").format(keep, pattern);
    nb::list out;
    out.append(nb::str("{} {} failed; no wheel was made:").format(nb::len(failed), nb::len(failed) == 1 ? "module" : "modules"));
    out.attr("extend")(lines);
    out.append(nb::str("The whole output of each failure is in {}.").format(logpath));
    if (missing)
        out.append("A module that imports a module left out of the wheel needs that module: "
                   "narrow --exclude so that it ships (compiled, or as source with --keep).");
    if (!argv.is_none() && nb::len(paths)) {
        // The same command line, its --keep replaced by one that also keeps
        // the failing modules as source.
        nb::list words;
        nb::list args(argv);
        for (size_t i = 0; i < nb::len(args); ++i) {
            nb::str a(args[i]);
            if (a.equal(nb::str("--keep")) || a.equal(nb::str("-k"))) {
                ++i;
                continue;
            }
            if (truthy(a.attr("startswith")("--keep=")) ||
                (truthy(a.attr("startswith")("-k")) && !truthy(a.attr("startswith")("--"))))
                continue;
            words.append(a);
        }
        words.append("--keep");
        words.append(pattern);
        out.append("This command builds the wheel with them kept as source:");
        out.append(nb::str("  ") + nb::str(mine("shlex").attr("join")(words)));
    }
    return nb::str(nb::str("\n").attr("join")(out));
}

TOVEL_MODULE(checker, m) {
    for (const char *name : {"json", "os", "re", "shlex", "subprocess", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("check", &check, "units"_a, "tree"_a, "roots"_a, "absent"_a,
          "Import every compiled unit from the tree in a fresh interpreter; returns the failed ones.");
    m.def("summary", &summary, "failed"_a, "argv"_a.none(), "keep"_a.none(), "logpath"_a,
          "The failure summary, with the command line that succeeds; writes the log.");
}
