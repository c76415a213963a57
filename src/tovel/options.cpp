// tovel.options: what the options of a compiled-wheel build come to for
// the pipeline: whether the limited API is compiled, the Cython directives,
// how many modules compile at once and the cache folder.
#include "common.h"

#include <algorithm>

using namespace tovel;

static const char *MOD = "tovel.options";

static nb::object mine(const char *name) { return global(MOD, name); }

/// Whether the running interpreter can compile the limited API: a
/// free-threaded one cannot before Python 3.15 (its headers stop with an
/// #error). Asked when a command runs, not at import.
static bool limited_api() {
    if (!truthy(mine("sysconfig").attr("get_config_var")("Py_GIL_DISABLED")))
        return true;
    return mine("sys").attr("version_info") >= nb::make_tuple(3, 15);
}

/// What a true `abi3` comes to here: the limited API where the running
/// interpreter has one; elsewhere (free-threaded before 3.15) modules of the
/// full API that declare they run without the GIL.
static bool limited(nb::handle abi3) { return truthy(abi3) && truthy(mine("limited_api")()); }

/// The Cython directives of a build: Python semantics by default (annotations
/// never change which arguments a function accepts, a module has the
/// attributes its source gives it), then the user's NAME=VALUE
/// texts, each checked by Cython's own parser.
static nb::dict directives(nb::handle given, bool limited) {
    nb::dict out;
    out["annotation_typing"] = false;
    // No `__test__` dict of the docstrings that hold doctests, which the
    // source's module lacks: doctest finds them in the functions themselves,
    // and with the dict ran each twice (babel's default_locale doctest,
    // which sets the environment, failed its second run).
    out["autotestdict"] = false;
    if (!limited)
        out["freethreading_compatible"] = true;
    if (given.is_none())
        return out;
    nb::object parse = nb::module_::import_("Cython.Compiler.Options").attr("parse_directive_list");
    for (nb::handle text : given) {
        if (nb::isinstance<nb::dict>(text)) {
            out.attr("update")(text);
            continue;
        }
        if (!truthy(nb::str(text).attr("__contains__")("=")))
            throw nb::value_error(nb::str("directive {!r} is not NAME=VALUE").format(text).c_str());
        // Cython's compile options that tovel.translator sets (True or False).
        nb::tuple nv = nb::borrow<nb::tuple>(nb::str(text).attr("partition")("="));
        nb::str name(nv[0].attr("strip")()), value(nv[2].attr("strip")().attr("lower")());
        if (truthy(nb::module_::import_("tovel.translator").attr("OPTIONS").attr("__contains__")(name))) {
            if (!truthy(nb::make_tuple("true", "false").attr("__contains__")(value)))
                throw nb::value_error(nb::str("{} must be True or False").format(name).c_str());
            out[name] = value.equal(nb::str("true"));
            continue;
        }
        out.attr("update")(parse(text, "relaxed_bool"_a = true));
    }
    return out;
}

// The user's cache folder for tovel, or None (with one warning line) when it
// cannot be written: the build then goes on without a cache.
static nb::object cache_folder(nb::dict options) {
    nb::object os = mine("os");
    if (truthy(get(options, "no_cache", nb::bool_(false))))
        return nb::none();
    nb::object folder = get(options, "cache_dir", nb::none());
    if (folder.is_none()) {
        nb::object env = os.attr("environ");
        nb::object sys = mine("sys");
        if (os.attr("name").equal(nb::str("nt")))
            folder = os.attr("path").attr("join")(
                get(env, "LOCALAPPDATA", os.attr("path").attr("expanduser")("~")), "tovel", "Cache");
        else if (nb::str(sys.attr("platform")).equal(nb::str("darwin")))
            folder = os.attr("path").attr("expanduser")("~/Library/Caches/tovel");
        else {
            nb::object base = get(env, "XDG_CACHE_HOME", nb::str(""));
            if (!truthy(base))
                base = os.attr("path").attr("expanduser")("~/.cache");
            folder = os.attr("path").attr("join")(base, "tovel");
        }
    }
    try {
        os.attr("makedirs")(folder, "exist_ok"_a = true);
        nb::object probe = nb::module_::import_("tempfile").attr("TemporaryFile")("dir"_a = folder);
        probe.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        print(nb::str("warning: the cache folder {} cannot be written ({}): building without a cache")
                  .format(folder, e.value()));
        return nb::none();
    }
    return os.attr("path").attr("abspath")(folder);
}

static int default_jobs() {
    nb::object os = mine("os");
    nb::object n = nb::none();
    if (nb::hasattr(os, "process_cpu_count"))
        n = os.attr("process_cpu_count")();
    else if (nb::hasattr(os, "sched_getaffinity"))
        n = builtin("len")(os.attr("sched_getaffinity")(0));
    else
        n = os.attr("cpu_count")();
    return n.is_none() ? 1 : std::max(1, nb::cast<int>(n));
}


/// What the options of a build come to for the pipeline: directives, jobs,
/// abi3 (the limited API is compiled), debug, cache (a folder or None),
/// remote_cache, verbose, pgo (whether the modules are compiled with a
/// profile), pgo_command (the workload that trains them, or None: the
/// tests). A bad --directive is one line of BuildFailed.
static nb::dict settle(nb::dict options) {
    bool limited = ::limited(options["abi3"]);
    bool verbose = truthy(get(options, "verbose", nb::bool_(false)));
    nb::dict opts;
    try {
        opts["directives"] = directives(get(options, "directive", nb::none()), limited);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        build_failed(nb::str("invalid --directive: {}").format(e.value()));
    }
    nb::object jobs = get(options, "jobs", nb::none());
    opts["jobs"] = jobs.is_none() ? nb::int_(default_jobs()) : nb::int_(jobs);
    opts["abi3"] = limited;
    opts["debug"] = truthy(get(options, "debug", nb::bool_(false)));
    opts["cache"] = cache_folder(options);
    opts["remote_cache"] = get(options, "remote_cache", nb::none());
    opts["verbose"] = verbose;
    // Profile-guided optimisation: trained on the project's tests, or on a
    // workload command, which implies it.
    nb::object workload = get(options, "pgo_command", nb::none());
    if (!workload.is_none() && !truthy(nb::str(workload).attr("strip")()))
        build_failed(nb::str("--pgo-command must not be empty"));
    opts["pgo_command"] = workload;
    opts["pgo"] = nb::bool_(!workload.is_none() || truthy(get(options, "pgo", nb::bool_(false))));
    return opts;
}

TOVEL_MODULE(options, m) {
    for (const char *name : {"os", "sys", "sysconfig"})
        m.attr(name) = nb::module_::import_(name);
    m.def("limited_api", &limited_api,
          "Whether the running interpreter can compile the limited API (not a free-threaded one before 3.15).");
    m.def("limited", &limited, "abi3"_a.none(),
          "What a true abi3 comes to here: the limited API where the interpreter has one.");
    m.def("directives", &directives, "given"_a.none(), "limited"_a,
          "The Cython directives of a build: Python semantics, then the NAME=VALUE texts.");
    m.def("settle", &settle, "options"_a,
          "What the bdist options come to for the pipeline: directives, jobs, abi3, debug, cache, "
          "remote_cache, verbose, pgo, pgo_command.");
}
