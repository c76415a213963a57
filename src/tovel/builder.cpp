// tovel.builder: the build tree, the source walk that turns modules into
// extension definitions, the Cython translation and the customised setuptools
// commands of a compile.
#include "common.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

using namespace tovel;
namespace fs = std::filesystem;

static const char *MOD = "tovel.builder";

static nb::object mine(const char *name) { return global(MOD, name); }

// Whether the running interpreter can compile the limited API (tovel.options):
// a free-threaded one before 3.15 builds its full API instead.
static bool limited_api() {
    return truthy(nb::module_::import_("tovel.options").attr("limited_api")());
}

// super(<class of this module>, self).<hook>: the class comes from the module
// dict, so that the base hook is reached through the class hierarchy.
static nb::object base(const char *cls, nb::handle self, const char *hook) {
    return builtin("super")(mine(cls), self).attr(hook);
}

// ---------------------------------------------------------------- clean

// The path text as the file system sees it (no UTF-8 detour on POSIX, so
// names that are not valid UTF-8 still round-trip).
static fs::path native(nb::handle text) {
#ifdef _WIN32
    Py_ssize_t n = 0;
    wchar_t *w = PyUnicode_AsWideCharString(text.ptr(), &n);
    if (!w)
        throw nb::python_error();
    std::wstring s(w, (size_t) n);
    PyMem_Free(w);
    if (s.find(L'\0') != std::wstring::npos)
        throw nb::value_error("clean() argument 'path' contains a null character");
#else
    nb::bytes b(nb::module_::import_("os").attr("fsencode")(text));
    std::string s(b.c_str(), b.size());
    if (s.find('\0') != std::string::npos)
        throw nb::value_error("clean() argument 'path' contains a null character");
#endif
    return fs::path(s);
}

// "./" + path, normalised: "." and empty components dropped, so that a
// trailing slash cannot make the removal follow a symbolic link. Refuses
// what is not a folder strictly inside the working directory.
static fs::path inside(nb::handle text) {
    fs::path p = native(text);
    if (p.has_root_path())
        throw nb::value_error(
            nb::str("clean() refuses {!r}: not a path relative to the working directory")
                .format(text).c_str());
    fs::path target(".");
    size_t parts = 0;
    for (const fs::path &part : p) {
        if (part == "..")
            throw nb::value_error(
                nb::str("clean() refuses {!r}: '..' reaches outside the working directory")
                    .format(text).c_str());
        if (part.empty() || part == ".")
            continue;
        // A folder on the way that is a symbolic link would lead the removal
        // out of the working directory.
        std::error_code ec;
        if (parts > 0 && fs::is_symlink(target, ec))
            throw nb::value_error(
                nb::str("clean() refuses {!r}: it goes through a symbolic link")
                    .format(text).c_str());
        target /= part;
        ++parts;
    }
    if (parts == 0)
        throw nb::value_error(
            nb::str("clean() refuses {!r}: it names the working directory itself")
                .format(text).c_str());
    return target;
}

static void clean(nb::handle path) {
    require_exact(path, &PyUnicode_Type, "clean", "path");
    fs::path target = inside(path);
    print(nb::str("cleaning ") + nb::borrow<nb::str>(path));
    // remove_all removes a symbolic link itself and never follows it; a
    // missing folder removes nothing. A folder that cannot be removed is
    // reported and the work goes on, as a removal through the shell would.
    std::error_code ec;
    fs::remove_all(target, ec);
    if (ec) {
        nb::object why = nb::steal(PyUnicode_DecodeLocale(ec.message().c_str(), "surrogateescape"));
        if (!why.is_valid())
            throw nb::python_error();
        print(nb::str("cannot remove ./{}: {}").format(path, why),
              "file"_a = nb::module_::import_("sys").attr("stderr"));
    }
}

// The build tree is emptied and its three folders re-created right before a
// command runs (never at import, which must not touch the disk).
static void reset() {
    nb::object result = mine("clean")();
    print("cleaning build", result);
    nb::object Path = mine("Path");
    for (const char *folder : {"build/egg", "build/tmp", "build/out"})
        Path(folder).attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
}

// ---------------------------------------------------------------- collect

// text.endswith(tail) without making a bound method for each file; a text
// that is not a str raises TypeError.
static bool ends_with(nb::handle text, nb::handle tail) {
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), tail.ptr(), 0, PY_SSIZE_T_MAX, +1);
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

static nb::list collect(nb::handle path, nb::handle extension, nb::handle replacement,
                        nb::handle exclude, nb::handle abi3) {
    require_exact(extension, &PyUnicode_Type, "collect", "extension");
    require_exact(exclude, &PyUnicode_Type, "collect", "exclude");
    nb::object os = mine("os"), Path = mine("Path"), Extension = mine("Extension");
    nb::str ext = nb::borrow<nb::str>(extension);
    // Where there is no limited API, the definitions are of the full API.
    bool rename = truthy(replacement), limited = truthy(abi3) && limited_api();
    bool is_py = ext.equal(nb::str("py"));
    bool is_compiled = ext.equal(nb::str("pyd")) || ext.equal(nb::str("so"));

    nb::list modules;
    nb::object pattern = mine("re").attr("compile")(exclude);
    // Looked up once per walk, not once per file: attribute names made from C
    // texts are new strings (hashed anew) on every lookup.
    nb::object search = pattern.attr("search"), say = builtin("print"), remove = os.attr("remove");
    nb::str as_posix("as_posix"), suffix_("suffix"), replace("replace"),
        dot_pyd(".pyd"), dot_so(".so"), slash("/"), dot("."), excluded("excluded"),
        collecting("collecting");
    nb::object macro = nb::make_tuple("Py_LIMITED_API", "0x030C0000");
    nb::object walk = Path(path).attr("walk")();
    for (nb::handle step : walk) {
        nb::object folder = step[0];
        for (nb::handle name : step[2]) {
            nb::object file = nb::steal(PyNumber_TrueDivide(folder.ptr(), name.ptr()));
            if (!file.is_valid())
                throw nb::python_error();
            nb::object posix = file.attr(as_posix)();
            if (!search(posix).is_none()) {
                say(excluded, file);
                continue;
            }
            nb::object suffix = file.attr(suffix_);
            if (rename && (ends_with(suffix, dot_pyd) || ends_with(suffix, dot_so))) {
                // m.TAG.so -> m.so: the cut is made in the file name only, so
                // a dotted folder name on the way keeps the file in place.
                nb::list pieces(nb::str(name).attr("split")("."));
                nb::str plain(nb::str(pieces[0]) + nb::str(".") +
                              nb::str(pieces[nb::len(pieces) - 1]));
                if (!plain.equal(name))
                    os.attr("rename")(file, folder.attr("__truediv__")(plain));
                continue;
            }
            if (!ends_with(suffix, ext))
                continue;
            if (is_py) {
                say(collecting, file);
                // The path without its last suffix: the suffix is not empty here.
                Py_ssize_t whole = PyUnicode_GetLength(posix.ptr());
                Py_ssize_t cut = PyUnicode_GetLength(suffix.ptr());
                if (whole < 0 || cut < 0)
                    throw nb::python_error();
                nb::object dotted = nb::steal(PyUnicode_Substring(posix.ptr(), 0, whole - cut));
                if (!dotted.is_valid())
                    throw nb::python_error();
                dotted = dotted.attr(replace)(slash, dot);
                nb::list sources;
                sources.append(nb::str(file));
                if (limited) {
                    nb::list macros;
                    macros.append(macro);
                    modules.append(Extension(dotted, sources, "py_limited_api"_a = abi3,
                                             "define_macros"_a = macros));
                } else {
                    modules.append(Extension(dotted, sources));
                }
            } else if (is_compiled) {
                remove(file);
            }
        }
    }
    print(nb::str("Collected {} modules.").format(nb::len(modules)), exclude);
    return modules;
}

// ---------------------------------------------------------------- commands

static void build_py_build_module(nb::handle self, nb::handle module, nb::handle module_file,
                                  nb::handle package) {
    // Python sources stay out of the build output; everything else is copied.
    if (truthy(nb::str(module_file).attr("endswith")(".py")))
        return;
    base("CustomBuildPy", self, "build_module")(module, module_file, package);
}

static void bdist_wheel_initialize_options(nb::handle self) {
    base("CustomBdistWheel", self, "initialize_options")();
    // setuptools refuses a limited-API tag where there is no limited API.
    if (limited_api())
        self.attr("py_limited_api") = nb::str("cp") + nb::str(mine("PYTAG"));
}

static void bdist_wheel_finalize_options(nb::handle self) {
    base("CustomBdistWheel", self, "finalize_options")();
}

static nb::object bdist_wheel_run(nb::handle self) {
    return base("CustomBdistWheel", self, "run")();
}

static nb::object bdist_wheel_get_tag3(nb::handle self) {
    nb::list tag(base("CustomBdistWheel", self, "get_tag")());
    size_t n = nb::len(tag);
    if (n < 3)
        throw nb::value_error(
            nb::str("not enough values to unpack (expected 3, got {})").format(n).c_str());
    if (n > 3)
        throw nb::value_error("too many values to unpack (expected 3)");
    if (truthy(tag[0].attr("startswith")("cp")))
        return nb::make_tuple("cp36", "abi3", tag[2]);
    return nb::make_tuple(tag[0], tag[1], tag[2]);
}

static void build_finalize_options(nb::handle self) {
    base("CustomBuild", self, "finalize_options")();
    self.attr("build_lib") = "build/out";
}

static void build_ext_finalize_options(nb::handle self) {
    base("CustomBuildExt", self, "finalize_options")();
    self.attr("build_temp") = "build/tmp";
    // Every core by default; a setup.cfg [build_ext] parallel has its say.
    if (nb::getattr(self, "parallel", nb::none()).is_none()) {
        nb::object os = mine("os");
        nb::object n = nb::hasattr(os, "process_cpu_count") ? os.attr("process_cpu_count")()
                                                            : os.attr("cpu_count")();
        self.attr("parallel") = n.is_none() ? nb::object(nb::int_(1)) : n;
    }
}

// A limited-API module is named `.abi3` + the platform's library suffix,
// which every CPython from 3.2 on imports: newer interpreters also list a
// suffix of their own (`.abi3-x86_64-linux-gnu.so` on 3.15), which the
// older versions that an abi3 wheel installs on would not import.
static nb::object build_ext_get_ext_filename(nb::handle self, nb::str fullname) {
    nb::str name(base("CustomBuildExt", self, "get_ext_filename")(fullname));
    nb::object ext = self.attr("ext_map").attr("get")(fullname);
    if (ext.is_none() || !truthy(nb::getattr(ext, "py_limited_api", nb::bool_(false))))
        return name;
    nb::object shlib = nb::module_::import_("sysconfig").attr("get_config_var")("SHLIB_SUFFIX");
    if (shlib.is_none())
        return name;
    nb::object portable = nb::str(".abi3") + nb::str(shlib);
    nb::object found = mine("re").attr("search")(nb::str("\\.abi3[^./\\\\]*") + mine("re").attr("escape")(shlib) + nb::str("$"), name);
    if (found.is_none())
        return name;
    return nb::str(name.attr("__getitem__")(builtin("slice")(nb::none(), found.attr("start")()))) + nb::str(portable);
}

// A method of a class made here: a nanobind function flagged as a method, so
// that it binds to the instance like a Python function. It captures nothing:
// a function holding its class would keep both alive past the interpreter.
template <typename F> static nb::object method(F f, const char *name) {
    return nb::cpp_function(f, nb::is_method(), nb::name(name));
}

static nb::object make_class(nb::module_ &m, const char *name, const char *basename,
                             const char *doc, nb::dict ns) {
    ns["__module__"] = MOD;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    nb::object cls = builtin("type")(name, nb::make_tuple(m.attr(basename)), ns);
    m.attr(name) = cls;
    return cls;
}

static void make_classes(nb::module_ &m) {
    nb::dict py;
    py["build_module"] = method(&build_py_build_module, "build_module");
    make_class(m, "CustomBuildPy", "_build_py",
               "build_py that copies no .py module, only package data and other files.", py);

    nb::dict wheel;
    wheel["initialize_options"] = method(&bdist_wheel_initialize_options, "initialize_options");
    wheel["finalize_options"] = method(&bdist_wheel_finalize_options, "finalize_options");
    wheel["run"] = method(&bdist_wheel_run, "run");
    wheel["get_tag3"] = method(&bdist_wheel_get_tag3, "get_tag3");
    make_class(m, "CustomBdistWheel", "bdist_wheel",
               "bdist_wheel whose wheels target the limited API of the running interpreter.",
               wheel);

    nb::dict b;
    b["finalize_options"] = method(&build_finalize_options, "finalize_options");
    make_class(m, "CustomBuild", "_build", "build whose library folder is always build/out.", b);

    nb::dict ext;
    ext["finalize_options"] = method(&build_ext_finalize_options, "finalize_options");
    ext["get_ext_filename"] = method(&build_ext_get_ext_filename, "get_ext_filename");
    make_class(m, "CustomBuildExt", "_build_ext",
               "build_ext whose temporary folder is always build/tmp, compiling on every core unless told otherwise.", ext);
}

// ---------------------------------------------------------------- build

static nb::object build(nb::handle args) {
    require_exact(args, &PyDict_Type, "build", "args");
    mine("project")(args);

    nb::object src = get(args, "src", get(args, "name", nb::str("tovel")));
    nb::object modules =
        mine("collect")(src, "extension"_a = "py",
                        "exclude"_a = get(args, "exclude", nb::str("12|34|56")),
                        "abi3"_a = get(args, "abi3", nb::bool_(true)));

    nb::dict directives;
    if (!truthy(get(args, "abi3", nb::bool_(true)))) {
        print(">>>>>> setting freethreading_compatible to True");
        directives["freethreading_compatible"] = true;
    } else if (!limited_api()) {
        // A true abi3 without a limited API: the compile command said so.
        directives["freethreading_compatible"] = true;
    }
    nb::object ext_modules =
        mine("cythonize")("module_list"_a = modules, "build_dir"_a = "build/src",
                          "language_level"_a = "3", "compiler_directives"_a = directives);

    nb::dict first, second;
    if (truthy(get(args, "abi3", nb::bool_(true))) && limited_api())
        first["bdist_wheel"] = mine("CustomBdistWheel");
    second["build"] = mine("CustomBuild");
    second["build_py"] = mine("CustomBuildPy");
    second["build_ext"] = mine("CustomBuildExt");
    nb::object cmdclass = first.attr("__or__")(second);

    return mine("partial")(mine("setup"), "ext_modules"_a = ext_modules,
                           "cmdclass"_a = cmdclass);
}

// ---------------------------------------------------------------- module

static nb::object bdist_wheel_class() {
    // setuptools has carried the command since 70.1; wheel's own module only
    // re-exports it, with a deprecation warning on every import.
    try {
        return nb::module_::import_("setuptools.command.bdist_wheel").attr("bdist_wheel");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    return nb::module_::import_("wheel.bdist_wheel").attr("bdist_wheel");
}

TOVEL_MODULE(builder, m) {
    m.attr("os") = nb::module_::import_("os");
    m.attr("re") = nb::module_::import_("re");
    m.attr("partial") = nb::module_::import_("functools").attr("partial");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("cythonize") = nb::module_::import_("Cython.Build").attr("cythonize");
    nb::module_ setuptools = nb::module_::import_("setuptools");
    m.attr("Extension") = setuptools.attr("Extension");
    m.attr("setup") = setuptools.attr("setup");
    m.attr("_build") = nb::module_::import_("setuptools.command.build").attr("build");
    m.attr("_build_ext") = nb::module_::import_("setuptools.command.build_ext").attr("build_ext");
    m.attr("_build_py") = nb::module_::import_("setuptools.command.build_py").attr("build_py");
    m.attr("bdist_wheel") = bdist_wheel_class();
    m.attr("project") = nb::module_::import_("tovel.wheeler").attr("project");
    m.attr("PYTAG") = nb::module_::import_("tovel.metagen").attr("PYTAG");

    m.def("clean", &clean, "path"_a.none() = "build",
          nb::sig("def clean(path: str = 'build') -> None"),
          "Remove the folder path of the working directory with its contents.");
    m.def("reset", &reset, nb::sig("def reset() -> None"),
          "Empty the build tree and re-create build/egg, build/tmp and build/out.");
    m.def("collect", &collect, "path"_a.none(), "extension"_a.none() = "pyd",
          "replacement"_a.none() = false, "exclude"_a.none() = "a|b|c", "abi3"_a.none() = false,
          nb::sig("def collect(path: str | os.PathLike[str], extension: str = 'pyd', "
                  "replacement: object = False, exclude: str = 'a|b|c', abi3: object = False) "
                  "-> list[setuptools.Extension]"),
          "Clean compiled files(pyd) or collect source files(py) to compile");
    make_classes(m);
    m.def("build", &build, "args"_a.none(), nb::sig("def build(args: dict) -> functools.partial"),
          "Write pyproject.toml, collect and translate the package's modules, and return "
          "the prepared setup call.");
}
