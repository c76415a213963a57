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

// The steps a compile and a bdist share before the build engine runs: the
// free-threading check, the package folder, the MSVC architecture, a clean
// build folder and the limited-API line.
static void prepare(nb::handle args) {
    refuse_limited_api_without_gil(args);
    require_package_folder(args.attr("name"));

    if (args.attr("msvc").equal(nb::str("amd64"))) {
        nb::module_ msvc = nb::module_::import_("distutils._msvccompiler");
        // Newer setuptools derives the toolchain from the host and target
        // platforms and has no table to patch: the native amd64 toolchain is
        // what it picks for an amd64 target anyway.
        if (!nb::hasattr(msvc, "PLAT_TO_VCVARS")) {
            print("setuptools chooses the MSVC toolchain for the target platform itself: "
                  "--msvc amd64 changes nothing");
        } else {
            nb::object table = msvc.attr("PLAT_TO_VCVARS");
            nb::object get_platform = msvc.attr("get_platform");
            table[get_platform()] = args.attr("msvc");
        }
    }

    nb::object result = global(MOD, "clean")();
    print("cleaning build", result);

    if (truthy(args.attr("abi3")))
        print("ABI3 is enabled, using limited API for compatibility with older Python versions.");
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

// Package data of a compiled wheel: every file of the source folder that is
// neither a Python module (shipped compiled), its bytecode, nor a compiled
// module left there by an earlier build, and that the exclusion pattern
// leaves alone; as glob-escaped patterns relative to the package folder.
static nb::list data_files(nb::handle src, nb::handle exclude) {
    nb::object root = global("tovel.builder", "Path")(src);
    nb::object pattern = global("tovel.builder", "re").attr("compile")(exclude);
    nb::object escape = nb::module_::import_("glob").attr("escape");
    nb::list found;
    for (nb::handle step : root.attr("walk")()) {
        nb::object folder = step[0];
        if (truthy(folder.attr("parts").attr("__contains__")("__pycache__")))
            continue;
        for (nb::handle name : step[2]) {
            nb::object file = folder.attr("__truediv__")(name);
            if (!pattern.attr("search")(file.attr("as_posix")()).is_none())
                continue;
            nb::str suffix(file.attr("suffix"));
            bool skip = false;
            for (const char *s : {".py", ".pyc", ".pyo", ".so", ".pyd"})
                skip = skip || suffix.equal(nb::str(s));
            if (!skip)
                found.append(escape(file.attr("relative_to")(root).attr("as_posix")()));
        }
    }
    return found;
}

// tov bdist: compile the package and pack a wheel of its compiled modules and
// data files, no Python source, into dist. setuptools names and tags the wheel.
static void tovbdist(nb::handle args) {
    prepare(args);
    nb::object json = nb::module_::import_("json");
    parse_json(args, "extra", json);
    parse_json(args, "entry", json);
    nb::dict options = nb::borrow<nb::dict>(builtin("dict")(builtin("vars")(args)));
    nb::object src = get(options, "src", get(options, "name", nb::str("tovel")));
    nb::dict data;
    data[nb::str(get(options, "name", nb::str("tovel")))] =
        data_files(src, get(options, "exclude", nb::str("12|34|56")));
    options["data"] = data;

    nb::module_ os = nb::module_::import_("os");
    nb::object run = global(MOD, "build")(options);
    // Everything setuptools makes on the way stays in the build tree; the
    // wheel reaches dist only once it is complete. The tree was cleaned, and
    // with no module to compile nothing has made it again.
    os.attr("makedirs")("build", "exist_ok"_a = true);
    nb::list script_args;
    for (const char *word : {"egg_info", "--egg-base", "build", "bdist_wheel", "--bdist-dir",
                             "build/bdist", "--dist-dir", "build/wheel"})
        script_args.append(word);
    run("script_args"_a = script_args);

    nb::list made(nb::module_::import_("glob").attr("glob")("build/wheel/*.whl"));
    if (nb::len(made) != 1) {
        PyErr_Format(PyExc_RuntimeError, "expected one wheel in build/wheel, found %S",
                     made.ptr());
        throw nb::python_error();
    }
    os.attr("makedirs")("dist", "exist_ok"_a = true);
    nb::object target = os.attr("path").attr("join")("dist", os.attr("path").attr("basename")(made[0]));
    os.attr("replace")(made[0], target);
    print(target);
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
}
