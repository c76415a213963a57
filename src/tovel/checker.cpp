// tovel.checker: the import check of a built tree, judged against the
// sources (tovel.probe imports the modules), and the failure summary of a
// build, with the command line that succeeds.
#include "common.h"
#include "units.h"

#include <algorithm>

using namespace tovel;
using tovel::units::fail;

static const char *MOD = "tovel.checker";

static nb::object mine(const char *name) { return global(MOD, name); }

// The modules `names` imported from `tree` by `python`, each one's failure
// charged to its cause (tovel.probe.probe).
static nb::dict probe(nb::str tree, nb::list names, nb::list roots, nb::handle python,
                      nb::handle sources = nb::none()) {
    return nb::borrow<nb::dict>(global("tovel.probe", "probe")(tree, names, roots, python, sources));
}

static nb::str said(nb::handle o) {
    if (nb::str(o["kind"]).equal(nb::str("crash")) || nb::str(o["kind"]).equal(nb::str("gil")))
        return nb::str(o["message"]);
    return nb::str("{}: {}").format(o["kind"], o["message"]);
}

/// A tree of the sources laid out as the wheel would be (every module's
/// .py, the kept modules and the data files), in `folder`, made anew: the
/// import check's reference for how the modules behave uncompiled.
static nb::str source_tree(nb::dict plan, nb::str folder) {
    nb::object os = mine("os"), shutil = mine("shutil");
    shutil.attr("rmtree")(folder, "ignore_errors"_a = true);
    for (const char *kind : {"units", "kept", "data"})
        for (nb::handle entry : plan[kind]) {
            nb::object target = os.attr("path").attr("join")(folder, entry["arc"]);
            os.attr("makedirs")(os.attr("path").attr("dirname")(target), "exist_ok"_a = true);
            shutil.attr("copy2")(get(entry, "file", entry["path"]), target);
        }
    return folder;
}

/// Imports every compiled unit from `tree` in fresh interpreters, then each
/// one that failed from `source_tree` too. A module that fails compiled and
/// imports from source is a failure ("import check"); one that fails from
/// source too is a warning, unless what it imports is a module of the
/// project left out of the wheel (a failure keeping it would not mend), or a
/// distribution not installed here (not checked). `roots` are the project's
/// top-level import names, `absent` the dotted names of its modules left out.
static nb::list check(nb::list units, nb::str tree, nb::list roots, nb::list absent, nb::str source_tree,
                      nb::object cache, nb::object remote, nb::object target, nb::object requires) {
    nb::list names;
    nb::dict by_name, keys;
    nb::object store = nb::module_::import_("tovel.store"), hashlib = mine("hashlib");
    // The interpreter the modules are for: the running one, or another's
    // (tovel.targets).
    nb::object python = target.is_none() ? nb::object(mine("sys").attr("executable")) : nb::object(target["executable"]);
    nb::object version = target.is_none() ? nb::object(mine("sys").attr("version")) : nb::object(target["version_text"]);
    nb::str salt = nb::str("{} {} {}").format(python, version, hashlib.attr("sha256")(global("tovel.probe", "SCRIPT").attr("encode")()).attr("hexdigest")());
    for (nb::handle u : units) {
        by_name[u["name"]] = u;
        // A module that imported before, the same bytes under the same name
        // in the same interpreter, is not imported again (its importers may
        // still load it). The name is part of the key: a module's bytes
        // under another name are another module.
        if (!cache.is_none()) {
            nb::object digest = hashlib.attr("sha256")(mine("Path")(u["so"]).attr("read_bytes")());
            digest.attr("update")(salt.attr("encode")());
            digest.attr("update")((nb::str(" ") + nb::str(u["name"])).attr("encode")());
            nb::str key(digest.attr("hexdigest")());
            if (!store.attr("lookup")(cache, remote, key, "imports").is_none())
                continue;
            keys[u["name"]] = key;
        }
        names.append(u["name"]);
    }
    names.attr("sort")();
    nb::dict compiled = probe(tree, names, roots, python, source_tree);
    for (auto [name, key] : keys)
        if (compiled.contains(name) && compiled[name].is_none())
            store.attr("keep")(cache, remote, key, nb::bytes("ok"), "kind"_a = "imports");
    // A module that fails only because a compiled module it imports fails
    // is not reported: that module is.
    nb::list culprits;
    for (nb::handle n : names) {
        nb::object o = compiled.attr("get")(n, nb::none());
        if (o.is_none())
            continue;
        nb::object cause = o["cause"];
        if (cause.equal(n) || !by_name.contains(cause))
            culprits.append(n);
    }
    nb::list failed;
    if (nb::len(culprits) == 0)
        return failed;
    nb::dict source = probe(source_tree, culprits, roots, python);
    // A module that needs a distribution not installed here is checked
    // again in an environment with the project's declared dependencies, as
    // the tests run; only what is still missing there is not checked.
    nb::list unchecked;
    auto judge = [&](nb::handle n, nb::handle c, nb::handle s, bool last) {
        nb::dict u = nb::borrow<nb::dict>(by_name[n]);
        if (s.is_none()) {
            fail(u, "import check", said(c), c["log"]);
            failed.append(u);
            return;
        }
        nb::str kind(s["kind"]), message(s["message"]);
        nb::object missing = s["missing"];
        bool import_error = kind.equal(nb::str("ImportError")) || kind.equal(nb::str("ModuleNotFoundError"));
        nb::object top = missing.is_none() ? nb::object(nb::none()) : nb::str(missing).attr("split")(".")[nb::int_(0)];
        // A module of the project the wheel ships (its name that of a
        // module or package in the source tree) is not left out: the
        // import fails from source too, the project's own slip.
        nb::object Path = mine("Path");
        auto shipped = [&](nb::handle name) {
            nb::object rel = Path(source_tree).attr("joinpath")(nb::str(name).attr("replace")(".", "/"));
            return by_name.contains(name) || truthy(rel.attr("with_suffix")(".py").attr("is_file")()) ||
                   truthy(rel.attr("joinpath")("__init__.py").attr("is_file")());
        };
        bool own = !top.is_none() && truthy(roots.attr("__contains__")(top)) && !shipped(missing);
        // "cannot import name X" names no module: X is one of the project's
        // when a left-out module of the project has that name.
        nb::object named = mine("re").attr("search")("cannot import name '?(\\w+)", message);
        if (!named.is_none())
            for (nb::handle a : absent)
                own = own || truthy(nb::str(a).attr("endswith")(nb::str(".") + nb::str(named.attr("group")(1))));
        if (kind.equal(nb::str("ModuleNotFoundError")) && !top.is_none() && !own && !truthy(s["installed"])) {
            if (!last)
                unchecked.append(n);
            else
                print(nb::str("not checked {}: it needs {}, which is not installed here").format(u["path"], top));
        } else if (import_error && own) {
            // Keeping this module as source would not help: what it imports
            // is not in the wheel.
            fail(u, "import check",
                 nb::str("{} (a module of the project that is not in the wheel: excluded or missing)").format(said(s)),
                 s["log"]);
            u["keep_helps"] = false;
            failed.append(u);
        } else {
            print(nb::str("warning: {} fails to import from source too: {}").format(u["path"], said(s)));
        }
    };
    bool declared = !requires.is_none() && nb::len(requires);
    for (nb::handle n : culprits)
        judge(n, compiled[n], source.attr("get")(n, nb::none()), !declared);
    if (!nb::len(unchecked))
        return failed;
    nb::object env_python = nb::none();
    try {
        print(nb::str("installing the project's dependencies to check {} more: {}")
                  .format(nb::len(unchecked) == 1 ? nb::str("1 module") : nb::str("{} modules").format(nb::len(unchecked)),
                          nb::str(", ").attr("join")(requires)));
        mine("os").attr("makedirs")("build", "exist_ok"_a = true);
        env_python = nb::module_::import_("tovel.testenv").attr("environment")(
            python, mine("os").attr("path").attr("abspath")("build/check-env"), nb::list(requires),
            mine("os").attr("path").attr("abspath")("build/check-env.log"));
    } catch (nb::python_error &e) {
        if (!e.matches(global("tovel.packer", "BuildFailed")))
            throw;
        print(nb::str("warning: the project's dependencies could not be installed: {}").format(e.value()));
    }
    if (env_python.is_none()) {
        for (nb::handle n : unchecked)
            judge(n, compiled[n], source[n], true);
        return failed;
    }
    nb::dict again = probe(tree, unchecked, roots, env_python);
    nb::list still;
    for (nb::handle n : unchecked) {
        if (!again.attr("get")(n, nb::none()).is_none())
            still.append(n);
        else if (keys.contains(n))
            store.attr("keep")(cache, remote, keys[n], nb::bytes("ok"), "kind"_a = "imports");
    }
    if (nb::len(still)) {
        nb::dict from_source = probe(source_tree, still, roots, env_python);
        for (nb::handle n : still)
            judge(n, again[n], from_source.attr("get")(n, nb::none()), true);
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
        else if (nb::str(u["stage"]).equal(nb::str("import check")))
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
    for (const char *name : {"hashlib", "os", "re", "shlex", "shutil", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("source_tree", &source_tree, "plan"_a, "folder"_a,
          "Lay out the plan's sources (modules, kept modules, data) in folder, made anew.");
    m.def("check", &check, "units"_a, "tree"_a, "roots"_a, "absent"_a, "source_tree"_a,
          "cache"_a.none() = nb::none(), "remote"_a.none() = nb::none(), "target"_a.none() = nb::none(),
          "requires"_a.none() = nb::none(),
          "Import every compiled unit from the tree (not those the cache records as imported) in the "
          "interpreter they are for (target: tovel.targets.describe's, else the running one), "
          "the failing ones from the sources; returns the failed ones. A module that needs a "
          "distribution not installed is checked again with requires (the project's declared "
          "dependencies) installed.");
    m.def("summary", &summary, "failed"_a, "argv"_a.none(), "keep"_a.none(), "logpath"_a,
          "The failure summary, with the command line that succeeds; writes the log.");
}
