// tovel.targets: the interpreters a full-API build compiles for, named by
// `--python` (repeatable; by default the running one alone). Each is asked
// once, in a process of its own, what compiling for it takes: its headers,
// the suffix of its extension modules and its wheel tags. The modules are
// translated once; their C is compiled for each interpreter.
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
                  "includes": [paths["include"], paths["platinclude"]]}))
)";

/// What compiling for the interpreter `python` (a command or a path) takes:
/// executable, version_text, python and abi (its wheel tags), suffix,
/// includes. One line of BuildFailed when it is not CPython 3.12 or later.
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
/// named. Two that share wheel tags would make the same wheel: refused.
static nb::list choose(nb::object pythons, bool limited) {
    nb::list out;
    if (pythons.is_none() || nb::len(pythons) == 0)
        return out;
    if (limited)
        build_failed(nb::str("--python builds full-API wheels, one for each interpreter: add --abi3 \"\" "
                             "(the limited-API wheel already serves every CPython from 3.12)"));
    nb::dict seen;
    for (nb::handle python : pythons) {
        nb::dict d = describe(nb::str(python));
        nb::str tags = nb::str("{}-{}").format(d["python"], d["abi"]);
        if (seen.contains(tags))
            build_failed(nb::str("--python {} and {} are both {}: name each interpreter once")
                             .format(seen[tags], python, tags));
        seen[tags] = python;
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
