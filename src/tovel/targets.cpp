// tovel.targets: the interpreters a build compiles for, named by `--python`
// (repeatable). With --abi3 "" each gets a full-API wheel (by default the
// running one alone); with the limited API, whose one wheel serves every
// interpreter that has it, a free-threaded interpreter before 3.15 (which
// has none) adds a wheel of its own. Each is asked once, in a process of
// its own, what compiling for it takes: its headers, the suffix of its
// extension modules and its wheel tags. The modules are translated once;
// their C is compiled for each interpreter.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.targets";

static nb::object mine(const char *name) { return global(MOD, name); }

// Run by the interpreter described, with nothing of tovel on its path.
static const char *ASK = R"(import json, sys, sysconfig
paths = sysconfig.get_paths()
print(json.dumps({"implementation": sys.implementation.name, "version": list(sys.version_info[:2]),
                  "version_text": sys.version, "executable": sys.executable,
                  "abiflags": getattr(sys, "abiflags", ""), "suffix": sysconfig.get_config_var("EXT_SUFFIX"),
                  "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                  "includes": [paths["include"], paths["platinclude"]]}))
)";

/// What compiling for the interpreter `python` (a command or a path) takes:
/// executable, version_text, python and abi (its wheel tags), suffix,
/// includes, free_threaded and limited_api (whether it has one). One line of
/// BuildFailed when it is not CPython 3.12 or later.
static nb::dict describe(nb::str python) {
    nb::object found = mine("shutil").attr("which")(python);
    if (found.is_none())
        build_failed(nb::str("--python {}: no such interpreter").format(python));
    nb::list cmd;
    cmd.append(found);
    for (const char *a : {"-I", "-c", ASK})
        cmd.append(a);
    nb::object done = mine("subprocess").attr("run")(cmd, "capture_output"_a = true, "text"_a = true,
                                                      "stdin"_a = mine("subprocess").attr("DEVNULL"));
    nb::object said = nb::none();
    if (done.attr("returncode").equal(nb::int_(0))) {
        try {
            said = mine("json").attr("loads")(done.attr("stdout"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
        }
    }
    if (!nb::isinstance<nb::dict>(said)) {
        nb::list lines(nb::str(done.attr("stderr")).attr("strip")().attr("splitlines")());
        build_failed(nb::str("--python {}: it did not run ({})")
                         .format(python, nb::len(lines) ? nb::object(lines[nb::len(lines) - 1])
                                                        : nb::object(nb::str("exit status {}").format(done.attr("returncode")))));
    }
    nb::dict out = nb::borrow<nb::dict>(said);
    nb::list version(out["version"]);
    int major = nb::cast<int>(version[0]), minor = nb::cast<int>(version[1]);
    if (!nb::str(out["implementation"]).equal(nb::str("cpython")) || major != 3 || minor < 12)
        build_failed(nb::str("--python {}: {} {}.{}; tov builds for CPython 3.12 and later")
                         .format(python, out["implementation"], major, minor));
    nb::str tag = nb::str("cp{}{}").format(major, minor);
    out["python"] = tag;
    out["abi"] = tag + nb::str(out["abiflags"]);
    nb::list includes;
    for (nb::handle d : out["includes"])
        if (!truthy(includes.attr("__contains__")(d)))
            includes.append(d);
    out["includes"] = includes;
    out["limited_api"] = !truthy(out["free_threaded"]) || minor >= 15;
    return out;
}

/// The interpreters of `--python`, described; an empty list when none is
/// named. Two that share wheel tags would make the same wheel: refused.
/// With `limited` (a true abi3) each must be one without the limited API,
/// whose wheel is added to the one the running interpreter builds; one
/// whose tags are the running interpreter's own (a free-threaded one,
/// building its own wheel already) adds nothing.
static nb::list choose(nb::object pythons, bool limited) {
    nb::list out;
    if (pythons.is_none() || nb::len(pythons) == 0)
        return out;
    nb::dict seen;
    nb::object sys = nb::module_::import_("sys");
    // The wheel the running interpreter builds itself where a true abi3
    // cannot mean the limited API: its own tags.
    bool here = truthy(nb::module_::import_("tovel.options").attr("limited_api")());
    nb::object running = nb::none();
    if (limited && !here) {
        nb::object v = sys.attr("version_info");
        running = nb::str("cp{}{}-cp{}{}{}").format(v[0], v[1], v[0], v[1], nb::getattr(sys, "abiflags", nb::str("")));
    }
    for (nb::handle python : pythons) {
        nb::dict d = describe(nb::str(python));
        nb::str tags = nb::str("{}-{}").format(d["python"], d["abi"]);
        if (limited && truthy(d["limited_api"])) {
            nb::list v(d["version"]);
            if (here)
                build_failed(nb::str("--python {}: the limited-API wheel already serves CPython {}.{}; with the "
                                     "limited API --python adds a wheel for a free-threaded interpreter only "
                                     "(add --abi3 \"\" for full-API wheels, one for each interpreter)")
                                 .format(python, v[0], v[1]));
            build_failed(nb::str("--python {}: this free-threaded interpreter cannot build the limited-API wheel "
                                 "that serves CPython {}.{}: run tov with that interpreter, or add --abi3 \"\" "
                                 "for a full-API wheel for it")
                             .format(python, v[0], v[1]));
        }
        if (seen.contains(tags))
            build_failed(nb::str("--python {} and {} are both {}: name each interpreter once")
                             .format(seen[tags], python, tags));
        seen[tags] = python;
        if (!running.is_none() && tags.equal(running))
            continue;
        out.append(d);
    }
    return out;
}

TOVEL_MODULE(targets, m) {
    for (const char *name : {"json", "shutil", "subprocess"})
        m.attr(name) = nb::module_::import_(name);
    m.def("describe", &describe, "python"_a,
          "What compiling for an interpreter takes: executable, version_text, python, abi, suffix, includes.");
    m.def("choose", &choose, "pythons"_a.none(), "limited"_a,
          "The interpreters named by --python, described; [] when none is named.");
}
