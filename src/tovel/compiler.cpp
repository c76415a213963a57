// tovel.compiler: the compile command, one compile of a source package into
// extension modules under the build tree.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.compiler";

// Said in place of the ABI3 line where a true abi3 cannot mean the limited
// API (a free-threaded interpreter before 3.15): what is built instead.
static const char *FREE_THREADED_LINE =
    "ABI3 is not available on this free-threaded interpreter before Python 3.15: building "
    "free-threaded modules of the full API instead (freethreading_compatible).";

// The steps a compile and a bdist share before the build engine runs: the
// package folder, the MSVC architecture, a clean build folder and the
// limited-API line.
static void prepare(nb::handle args, bool package_folder = true, bool quiet = false) {
    if (package_folder)
        require_package_folder(args.attr("name"));

    if (args.attr("msvc").equal(nb::str("amd64"))) {
        nb::module_ msvc = nb::module_::import_("distutils._msvccompiler");
        // Newer setuptools derives the toolchain from the host and target
        // platforms and has no table to patch: the native amd64 toolchain is
        // what it picks for an amd64 target anyway.
        if (!nb::hasattr(msvc, "PLAT_TO_VCVARS")) {
            if (!quiet)
                print("setuptools chooses the MSVC toolchain for the target platform itself: "
                  "--msvc amd64 changes nothing");
        } else {
            nb::object table = msvc.attr("PLAT_TO_VCVARS");
            nb::object get_platform = msvc.attr("get_platform");
            table[get_platform()] = args.attr("msvc");
        }
    }

    if (quiet)
        return; // tov bdist resets the build tree itself, unless the wheel is up to date

    nb::object result = global(MOD, "clean")();
    print("cleaning build", result);

    if (!truthy(args.attr("abi3")))
        return;
    if (truthy(nb::module_::import_("tovel.options").attr("limited_api")()))
        print("ABI3 is enabled, using limited API for compatibility with older Python versions.");
    else
        print(FREE_THREADED_LINE);
}

static void tovcompile(nb::handle args) {
    prepare(args);
    nb::object run = global(MOD, "build")(builtin("vars")(args));
    nb::list script_args;
    for (const char *word : {"clean", "--all", "build_ext", "-b"})
        script_args.append(word);
    script_args.append(global(MOD, "libpath"));
    script_args.append("-t");
    script_args.append("build/tmp");
    run("script_args"_a = script_args);
}

// tov bdist: the settings first (a project's pyproject.toml, a given wheel, or
// the options and project/ files), then the steps a compile shares, then the
// compiled-wheel pipeline, whose wheel reaches dist only once it is complete
// and checked.
static void tovbdist(nb::handle args) {
    nb::object json = nb::module_::import_("json");
    nb::dict options = nb::borrow<nb::dict>(builtin("vars")(args));
    nb::object failed = nb::module_::import_("tovel.packer").attr("BuildFailed");
    try {
        global(MOD, "settings")(options);
    } catch (nb::python_error &e) {
        // A project file or setting the tool cannot use is the user's to fix.
        if (!e.matches(PyExc_ValueError) || e.matches(failed))
            throw;
        PyErr_SetObject(failed.ptr(), nb::str(e.value()).ptr());
        throw nb::python_error();
    }
    // The package folder was checked with the settings.
    prepare(args, false, true);
    options["reset"] = true;
    parse_json(args, "extra", json);
    parse_json(args, "entry", json);
    nb::list argv;
    argv.append("tov");
    for (nb::handle a : nb::list(global(MOD, "sys").attr("argv")).attr("__getitem__")(builtin("slice")(1, nb::none())))
        argv.append(a);
    global(MOD, "bdist")(options, "dist", argv);
}

TOVEL_MODULE(compiler, m) {
    m.attr("argparse") = nb::module_::import_("argparse");
    m.attr("cythonize") = nb::module_::import_("Cython.Build").attr("cythonize");
    m.attr("setup") = nb::module_::import_("setuptools").attr("setup");
    nb::module_ builder = nb::module_::import_("tovel.builder");
    m.attr("build") = builder.attr("build");
    m.attr("clean") = builder.attr("clean");
    m.attr("collect") = builder.attr("collect");
    m.attr("libpath") = nb::module_::import_("tovel.metagen").attr("libpath");

    m.def("tovcompile", &tovcompile, "args"_a.none(),
          nb::sig("def tovcompile(args: argparse.Namespace) -> None"),
          "Compile the package named by the options record into build/egg.");
    m.def("tovbdist", &tovbdist, "args"_a.none(),
          nb::sig("def tovbdist(args: argparse.Namespace) -> None"),
          "Compile the package and build a wheel of its compiled modules into dist.");
    // The compiled-wheel pipeline's collaborators, after the compile command's own names.
    m.attr("sys") = nb::module_::import_("sys");
    m.attr("settings") = nb::module_::import_("tovel.pyproject").attr("settings");
    m.attr("bdist") = nb::module_::import_("tovel.packer").attr("bdist");
}
