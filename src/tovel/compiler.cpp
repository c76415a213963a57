// tovel.compiler: the compile command, one compile of a source package into
// extension modules under the build tree.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.compiler";

// The limited API cannot be compiled on a free-threaded interpreter before
// 3.15: its headers stop with an #error on every module.
static void refuse_limited_api_without_gil(nb::handle args) {
    nb::object gil_disabled =
        nb::module_::import_("sysconfig").attr("get_config_var")("Py_GIL_DISABLED");
    if (!truthy(gil_disabled))
        return;
    nb::object version = nb::module_::import_("sys").attr("version_info");
    if (version >= nb::make_tuple(3, 15))
        return;
    if (truthy(args.attr("abi3")))
        throw nb::value_error(
            "the limited API is not available on a free-threaded interpreter before "
            "Python 3.15; build free-threaded modules instead with --abi3 \"\"");
}

static void tovcompile(nb::handle args) {
    refuse_limited_api_without_gil(args);

    if (args.attr("msvc").equal(nb::str("amd64"))) {
        nb::module_ msvc = nb::module_::import_("distutils._msvccompiler");
        nb::object table = msvc.attr("PLAT_TO_VCVARS");
        nb::object get_platform = msvc.attr("get_platform");
        table[get_platform()] = args.attr("msvc");
    }

    nb::object result = global(MOD, "clean")();
    print("cleaning build", result);

    if (truthy(args.attr("abi3")))
        print("ABI3 is enabled, using limited API for compatibility with older Python versions.");

    nb::object run = global(MOD, "build")(builtin("vars")(args));
    nb::list script_args;
    for (const char *word : {"clean", "--all", "build_ext", "-b"})
        script_args.append(word);
    script_args.append(global(MOD, "libpath"));
    script_args.append("-t");
    script_args.append("build/tmp");
    run("script_args"_a = script_args);
}

NB_MODULE(compiler, m) {
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
}
