// tovel.targets: the interpreters a build compiles for, named by `--python`
// (repeatable). Each gets a wheel of its full API, faster than the
// limited API's: with --abi3 "" those are the build's only wheels (by
// default the running interpreter's alone); with the limited API they come
// beside its one wheel, which serves every other interpreter (installers
// prefer an interpreter's own tags to abi3). Each is asked once, in a process of
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
/// includes and free_threaded. One line of
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
    return out;
}

/// The interpreters of `--python`, described; an empty list when none is
/// named. Each gets a wheel of its full API; with `limited` (a true abi3)
/// they come beside the wheel the running interpreter builds, so one whose
/// tags are that wheel's (a free-threaded running interpreter, building its
/// own full-API wheel already) adds nothing. Two that share wheel tags would
/// make the same wheel: refused.
static nb::list choose(nb::object pythons, bool limited) {
    nb::list out;
    if (pythons.is_none() || nb::len(pythons) == 0)
        return out;
    nb::dict seen;
    nb::object sys = nb::module_::import_("sys");
    // The running interpreter's own tags where a true abi3 cannot mean the
    // limited API: its wheel is of its full API already.
    bool here = truthy(nb::module_::import_("tovel.options").attr("limited_api")());
    nb::object running = nb::none();
    if (limited && !here) {
        nb::object v = sys.attr("version_info");
        running = nb::str("cp{}{}-cp{}{}{}").format(v[0], v[1], v[0], v[1], nb::getattr(sys, "abiflags", nb::str("")));
    }
    for (nb::handle python : pythons) {
        nb::dict d = describe(nb::str(python));
        nb::str tags = nb::str("{}-{}").format(d["python"], d["abi"]);
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
