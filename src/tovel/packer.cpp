// tovel.packer: the compiled-wheel build of `tov bdist` and the PEP 517
// back end. Every build starts from a pure tree and its .dist-info: the
// unpacked wheel of the project's own back end (tovel.twin), a given pure
// wheel, or the package folder of the -n layout with the metadata tov
// writes. One build runs in a folder at a time, and not at all when nothing
// that goes into its wheels changed; tovel.maker makes each wheel (the
// running interpreter's, one for each --python), and only a build that made
// every wheel puts them in the output folder.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.packer";

static nb::object mine(const char *name) { return global(MOD, name); }

// The build lock (tovel.guard), let go however the build ends.
struct Held {
    nb::object file;
    explicit Held(nb::object f) : file(std::move(f)) {}
    ~Held() {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        if (PyObject *r = PyObject_CallMethod(file.ptr(), "close", nullptr))
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }
};

// A unit compiled for `target` in the same tree: its own extension module
// name; what an earlier interpreter's pass found out of its translation
// stays, what it found of its compile goes.
static nb::dict for_target(nb::handle unit, nb::handle target) {
    nb::dict u = nb::borrow<nb::dict>(builtin("dict")(unit));
    for (const char *key : {"stage", "line", "log", "keep_helps"})
        u.attr("pop")(key, nb::none());
    u["so"] = nb::str("build/egg/") + nb::str(nb::str(u["arc"]).attr("removesuffix")(".py")) + nb::str(target["suffix"]);
    return u;
}

/// The compiled-wheel build: `options` is the bdist options dictionary (the
/// command line's, or the back end's, settled by tovel.pyproject.settings);
/// the wheels land in `outdir` (the abi3 one and one for each --python), and
/// the first one's path is returned. `argv` is the command line for the
/// suggested re-run.
static nb::str bdist_locked(nb::dict options, nb::dict opts, nb::str outdir, nb::object argv, nb::object started,
                            Hush &hush, Held &lock);

static nb::str bdist(nb::dict options, nb::str outdir, nb::object argv) {
    nb::object started = mine("time").attr("monotonic")();
    bool quiet = truthy(get(options, "quiet", nb::bool_(false)));
    // --quiet: what the build prints on standard output goes nowhere while it
    // runs (errors go to standard error, as ever).
    Hush hush(mine("sys"), quiet);
    nb::dict opts = nb::borrow<nb::dict>(nb::module_::import_("tovel.options").attr("settle")(options));
    // One build in a folder at a time: another one's files are not this one's failures.
    nb::object guard = nb::module_::import_("tovel.guard");
    Held lock(guard.attr("hold")("build"));
    try {
        return bdist_locked(options, opts, outdir, argv, started, hush, lock);
    } catch (nb::python_error &e) {
        // An interrupt ends what the build started (tests, back end,
        // translators, compilers), whichever session they are in.
        if (!ordinary(e))
            guard.attr("end_children")();
        throw;
    }
}

static nb::str bdist_locked(nb::dict options, nb::dict opts, nb::str outdir, nb::object argv, nb::object started,
                            Hush &hush, Held &lock) {
    nb::object os = mine("os");
    bool verbose = truthy(get(options, "verbose", nb::bool_(false)));
    // A true abi3 is the limited API where the running interpreter has one,
    // free-threaded modules of its full API where it has none.
    bool abi3 = truthy(options["abi3"]);
    bool limited = truthy(opts["abi3"]);

    // --python: the interpreters, whose versions go into the build's hash.
    nb::list targets = nb::borrow<nb::list>(
        nb::module_::import_("tovel.targets").attr("choose")(get(options, "python", nb::none()), abi3));
    if (nb::len(targets)) {
        nb::list versions;
        for (nb::handle t : targets)
            versions.append(nb::make_tuple(t["executable"], t["version_text"]));
        options["interpreters"] = versions;
    }

    // Nothing that goes into the wheels changed: they stay, and nothing runs.
    nb::object stamp = nb::module_::import_("tovel.stamp");
    nb::object current = stamp.attr("current")(options, opts["cache"], outdir);
    if (!current.is_none()) {
        for (nb::handle w : current)
            print(nb::str("{}: up to date, nothing that goes into it changed").format(w), "file"_a = hush.saved);
        return nb::str(current[nb::int_(0)]);
    }
    if (truthy(get(options, "reset", nb::bool_(false)))) {
        // The command line starts from an empty build tree; what it held was
        // the tool's own.
        if (truthy(os.attr("path").attr("islink")("build"))) {
            os.attr("unlink")("build");
            lock.file.attr("close")();
            lock.file = nb::module_::import_("tovel.guard").attr("hold")("build");
        } else {
            // All but the lock, which this build holds.
            for (nb::handle entry : mine("Path")("build").attr("iterdir")()) {
                if (nb::str(entry.attr("name")).equal(nb::str("tov.lock")))
                    continue;
                if (truthy(entry.attr("is_dir")()) && !truthy(entry.attr("is_symlink")()))
                    mine("shutil").attr("rmtree")(entry);
                else
                    entry.attr("unlink")();
            }
        }
    }

    nb::object begun = mine("time").attr("monotonic")();
    nb::dict pure = nb::borrow<nb::dict>(nb::module_::import_("tovel.twin").attr("pure_tree")(options, opts["cache"]));
    // The project's own extension modules (its back end builds them beside
    // its Python modules) are carried as they are; one of the full API binds
    // the wheel to this interpreter, and our modules are of its full API too.
    nb::object own = get(pure, "own", nb::none());
    nb::list theirs = own.is_none() ? nb::list() : nb::borrow<nb::list>(own["modules"]);
    nb::object floor = own.is_none() ? nb::none() : nb::object(own["python"]);
    if (nb::len(theirs)) {
        nb::list arcs;
        for (nb::handle m : theirs)
            arcs.append(m["arc"]);
        nb::object abi = own["abi"];
        bool full = !abi.equal(nb::str("abi3"));
        print(nb::str("the project's own extension module{} carried as built: {} ({})")
                  .format(nb::len(theirs) == 1 ? "" : "s", nb::str(", ").attr("join")(arcs),
                          full ? nb::str("the full API of {}, so this wheel is for {} only").format(abi, abi)
                         : floor.is_none() ? nb::str("the stable ABI")
                                           : nb::str("the stable ABI from {}").format(floor)));
        if (full) {
            limited = false;
            for (nb::handle t : targets)
                if (!nb::str(t["abi"]).equal(abi))
                    build_failed(nb::str("--python {}: the project's own extension modules are of the full API "
                                         "of {}, so only a wheel for that interpreter can be built")
                                     .format(t["executable"], abi));
            targets = nb::list(); // the running interpreter's wheel is the one of that tag
            abi3 = false;
        }
    }
    nb::dict plan = nb::borrow<nb::dict>(nb::module_::import_("tovel.planner").attr("plan")(
        pure["packages"], get(options, "exclude", nb::none()), get(options, "keep", nb::none()), limited,
        pure["root"], verbose));
    plan["data"].attr("extend")(pure["data"]);
    if (nb::len(theirs)) {
        // A module whose name is also one of theirs is the extension at
        // import time, as from the pure wheel: its source ships as it was.
        nb::set stems;
        for (nb::handle m : theirs) {
            nb::str arc(m["arc"]);
            nb::object slash = arc.attr("rfind")("/");
            nb::str base(arc.attr("__getitem__")(builtin("slice")(slash + nb::int_(1), nb::none())));
            stems.add(arc.attr("__getitem__")(builtin("slice")(nb::none(), slash + nb::int_(1))) +
                      base.attr("split")(".")[0]);
        }
        nb::list units;
        for (nb::handle u : plan["units"]) {
            nb::object stem = nb::str(u["arc"]).attr("removesuffix")(".py");
            if (!stems.contains(stem)) {
                units.append(u);
                continue;
            }
            print(nb::str("kept as source {}: the project's own extension module of that name is what an import "
                          "loads")
                      .format(u["path"]));
            plan["kept"].attr("append")(u);
        }
        plan["units"] = units;
    }
    nb::object maker = nb::module_::import_("tovel.maker");
    maker.attr("forget")();
    // The running interpreter's wheel, unless --python names those of full-API
    // wheels only (--abi3 ""); with abi3, each --python adds its full-API
    // wheel to it.
    bool running = nb::len(targets) == 0 || abi3;
    nb::list names;
    if (running) {
        nb::tuple t(maker.attr("wheel_tags")(limited, "any", nb::none(), floor));
        names.append(nb::str("{}-{}").format(t[0], t[1]));
    }
    for (nb::handle t : targets)
        names.append(nb::str("{}-{}").format(t["python"], t["abi"]));
    // What the wheels share (tovel.maker.one_wheel); the first one's time
    // is counted from the start of the build.
    nb::dict b, times;
    times["back end"] = mine("time").attr("monotonic")() - begun;
    b["options"] = options;
    b["opts"] = opts;
    b["pure"] = pure;
    b["plan"] = plan;
    b["outdir"] = outdir;
    b["argv"] = argv;
    b["started"] = started;
    b["limited"] = limited;
    b["abi3"] = abi3;
    b["asked"] = names;
    b["times"] = times;
    b["own"] = theirs;
    b["floor"] = floor;
    if (nb::len(names) > 1 && !nb::len(nb::object(plan["units"]))) {
        // Every module kept as source: the wheels would be one pure wheel,
        // each under the same name. It is made once.
        running = true;
        targets = nb::list();
    }
    if (nb::len(targets) + running > 1)
        print(nb::str("making {} wheels: {}; each module is translated once and compiled for each")
                  .format(nb::len(names), nb::str(", ").attr("join")(names)));
    nb::list made;
    if (running)
        made.append(maker.attr("one_wheel")(b, plan["units"], nb::none()));
    // One wheel for each interpreter, in turn; each module is translated
    // in the first pass only.
    nb::list units = nb::borrow<nb::list>(plan["units"]);
    for (nb::handle target : targets) {
        nb::list these;
        for (nb::handle u : units)
            these.append(for_target(u, target));
        made.append(maker.attr("one_wheel")(b, these, target));
        units = these;
    }
    // Only a build that made every wheel puts them in the output folder (an
    // older wheel of the same name is replaced, others stay).
    // Wheels of the same name (wheels of sources only, where --keep-failing
    // kept every module of each) are the same wheel: it lands once.
    nb::list paths, landed;
    os.attr("makedirs")(outdir, "exist_ok"_a = true);
    for (nb::handle w : made) {
        if (truthy(paths.attr("__contains__")(w[1])))
            continue;
        os.attr("replace")(w[0], w[1]);
        paths.append(w[1]);
        landed.append(w);
    }
    made = landed;
    // Each wheel's line; why a wheel is not proven follows it, or follows
    // them all once when it is the same for every wheel.
    bool same = true;
    for (nb::handle w : made)
        same = same && nb::str(w[3]).equal(nb::str(made[0][3]));
    // With --quiet the wheel's line is all that standard output gets: why it
    // is not proven is a warning, on standard error.
    nb::object notes = hush.said.is_valid() ? hush.sys.attr("stderr") : hush.saved;
    for (nb::handle w : made) {
        print(w[2], "file"_a = hush.saved);
        if (!same && nb::len(nb::str(w[3])))
            print(nb::str("the wheel is ") + nb::str(w[3]), "file"_a = notes);
    }
    if (same && nb::len(nb::str(made[0][3])))
        print(nb::str(nb::len(made) == 1 ? "the wheel is " : "the wheels are ") + nb::str(made[0][3]),
              "file"_a = notes);
    stamp.attr("record")(options, opts["cache"], outdir, paths);
    return nb::str(paths[0]);
}

TOVEL_MODULE(packer, m) {
    for (const char *name : {"os", "shutil", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    nb::dict ns;
    ns["__module__"] = MOD;
    ns["__doc__"] = "A build that failed in a way the user can act on; its message says how.";
    m.attr("BuildFailed") = builtin("type")("BuildFailed", nb::make_tuple(builtin("RuntimeError")), ns);
    m.def("bdist", &bdist, "options"_a, "outdir"_a, "argv"_a.none() = nb::none(),
          "Build the compiled wheel of the options into outdir; returns its path.");
}
