// Helpers shared by the tovel modules: module lookups at call time, printing
// through Python's print, banner lines and strict argument checks.
#pragma once

#include <nanobind/nanobind.h>
#include <initializer_list>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace tovel {

// A collaborator of an operation is looked up in its module when the
// operation runs, as Python code resolves a global, so that a test (or a
// user) can replace it. The module comes from sys.modules: nothing is cached.
inline nb::object global(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

inline nb::object builtin(const char *name) {
    return nb::module_::import_("builtins").attr(name);
}

// print(*args) on the current sys.stdout, so that redirection and capture work.
template <typename... Args> inline void print(Args &&...args) {
    builtin("print")(std::forward<Args>(args)...);
}

// sys.stdout swapped, while quiet, for a writer that keeps what is said in
// a StringIO (`said`) and passes each line that starts with "warning" on to
// standard error; put back however the scope ends.
struct Hush {
    nb::object sys, saved, said;
    Hush(nb::object sys_module, bool quiet) : sys(std::move(sys_module)), saved(sys.attr("stdout")) {
        if (quiet) {
            said = nb::module_::import_("io").attr("StringIO")();
            nb::object writer = nb::module_::import_("types").attr("SimpleNamespace")();
            nb::object kept = said, out = sys, line = nb::module_::import_("io").attr("StringIO")();
            writer.attr("write") = nb::cpp_function([kept, out, line](nb::str text) {
                kept.attr("write")(text);
                line.attr("write")(text);
                nb::str pending(line.attr("getvalue")());
                if (PyObject_IsTrue(pending.attr("__contains__")("\n").ptr()) != 1)
                    return nb::len(text);
                nb::object parts = pending.attr("rpartition")("\n");
                for (nb::handle l : nb::str(parts[0]).attr("splitlines")())
                    if (PyObject_IsTrue(nb::str(l).attr("startswith")("warning").ptr()) == 1)
                        builtin("print")(l, "file"_a = out.attr("stderr"));
                line.attr("seek")(0);
                line.attr("truncate")();
                line.attr("write")(parts[2]);
                return nb::len(text);
            });
            writer.attr("flush") = nb::cpp_function([]() {});
            sys.attr("stdout") = writer;
        }
    }
    ~Hush() {
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyObject_SetAttrString(sys.ptr(), "stdout", saved.ptr());
        PyErr_Restore(type, value, trace);
    }
};

inline bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

inline nb::str text(nb::handle value) { return nb::str(value); }

// The number of a CPython interpreter tag: 312 for "cp312".
inline int tag_number(nb::handle tag) {
    return nb::cast<int>(nb::int_(nb::str(tag).attr("__getitem__")(builtin("slice")(3, nb::none()))));
}

// The running interpreter's own wheel tag (cp312-cp312-<platform>).
inline nb::object running_tag() {
    return builtin("next")(builtin("iter")(nb::module_::import_("packaging.tags").attr("cpython_tags")()));
}

// The kind of a syntax tree node: its class's name ("Name" for ast.Name).
inline std::string ast_kind(nb::handle n) { return nb::cast<std::string>(n.type().attr("__name__")); }

inline bool ast_is(nb::handle n, std::initializer_list<const char *> kinds) {
    std::string k = ast_kind(n);
    for (const char *want : kinds)
        if (k == want)
            return true;
    return false;
}

// Rewrites the UTF-8 text file at `path` by `change` (a function of the text
// to the new text), writing it only where something changed.
template <typename F> inline void rewrite_text_file(nb::object path, F change) {
    nb::object p = nb::module_::import_("pathlib").attr("Path")(path);
    nb::str before(p.attr("read_text")("encoding"_a = "utf-8"));
    nb::str after = change(before);
    if (!after.equal(before))
        p.attr("write_text")(after, "encoding"_a = "utf-8");
}

// Centres `message` in a field of 80 characters: the left fill is half the
// shortfall rounded down, the rest goes right (str.center rounds the other
// way for some lengths). Texts of 80 characters or more stay as they are.
inline nb::str banner(nb::handle message, const char *fill) {
    nb::str msg = text(message);
    Py_ssize_t len = PyUnicode_GetLength(msg.ptr());
    if (len < 0)
        throw nb::python_error();
    if (len >= 80)
        return msg;
    Py_ssize_t left = (80 - len) / 2, right = 80 - len - left;
    nb::str f(fill);
    return nb::str(f * nb::int_(left) + msg + f * nb::int_(right));
}

// The argument must be exactly the built-in type (no subclass); otherwise a
// TypeError naming the parameter, raised before anything else happens.
inline void require_exact(nb::handle value, PyTypeObject *type,
                          const char *func, const char *param) {
    if (Py_TYPE(value.ptr()) != type) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s",
                     func, param, type->tp_name, Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
}

// The failure of a build that the user can act on (tovel.packer.BuildFailed):
// printed as its message alone, no traceback, exit status 1.
[[noreturn]] inline void build_failed(nb::handle message) {
    PyErr_SetObject(global("tovel.packer", "BuildFailed").ptr(), message.ptr());
    throw nb::python_error();
}

// A ValueError with the message: a setting or option the user must mend.
[[noreturn]] inline void value_error(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

// mapping.get(key, fallback)
inline nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

// True when the pending Python error is an ordinary one (Exception family),
// as opposed to KeyboardInterrupt, SystemExit or GeneratorExit.
inline bool ordinary(nb::python_error &e) { return e.matches(PyExc_Exception); }

// The syntax trees of the test files `files`, as (source bytes, tree)
// pairs: a few megabytes show what the tests import, and parsing more costs
// seconds and seldom finds more. A file that does not parse is passed over;
// a test file's warnings (invalid escapes) are its own business, not printed.
inline nb::list parse_test_files(nb::handle files) {
    nb::object warnings = nb::module_::import_("warnings"), parse = nb::module_::import_("ast").attr("parse");
    nb::object Path = nb::module_::import_("pathlib").attr("Path"), read_bytes = Path.attr("read_bytes");
    nb::list out;
    size_t read = 0;
    nb::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    warnings.attr("simplefilter")("ignore");
    for (nb::handle f : files) {
        if (read > 2000000)
            break;
        try {
            nb::object source = read_bytes(Path(f));
            read += nb::len(source);
            out.append(nb::make_tuple(source, parse(source)));
        } catch (nb::python_error &e) {
            if (!ordinary(e)) {
                quiet.attr("__exit__")(nb::none(), nb::none(), nb::none());
                throw;
            }
        }
    }
    quiet.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return out;
}

// A test id as a line shows it: pytest reports a test module that does not
// collect by its dotted path with no class ("::tests.test_x"), which is a
// file of tests, shown as one (tests/test_x.py).
inline nb::str test_shown(nb::handle id) {
    nb::str s(id);
    if (!truthy(s.attr("startswith")("::")))
        return s;
    return nb::str(nb::str(s.attr("removeprefix")("::")).attr("replace")(".", "/") + nb::str(".py"));
}

// The oldest CPython whose stable ABI the limited-API modules are built for
// (Py_LIMITED_API 0x030C0000), which their audit holds them to.
inline const char *STABLE_ABI_FLOOR = "3.12";

// The __init__.py that ships beside a compiled package's extension module
// where tests ship inside it: pytest finds a test module's package by these
// files, and the import system loads the extension module first. A tool
// that runs the file by its path (pytest's importlib mode) gets the
// extension module in its place; where none beside it loads, it says so.
inline const char *PACKAGE_MARKER = R"(# This package is compiled: its code is the extension module beside this file,
# which the import system loads first. This file marks the folder as a package
# for the tools that look for one; one that runs it gets the extension module.
def _load(name, here):
    import importlib.machinery, importlib.util, os, sys
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(here, "__init__" + suffix)
        if os.path.isfile(path):
            found = importlib.util.spec_from_file_location(name, path, submodule_search_locations=[here])
            module = importlib.util.module_from_spec(found)
            sys.modules[name] = module
            found.loader.exec_module(module)
            return
    raise ImportError(name + " is compiled, and no extension module in " + here + " is for this interpreter")


_load(__name__, __import__("os").path.dirname(__file__))
)";

// The package folder named by --name must be a folder of the working
// directory: otherwise a compile collects nothing and a wheel holds metadata
// only, both looking like success. Raised before anything is written.
inline void require_package_folder(nb::handle name) {
    nb::module_ os = nb::module_::import_("os");
    nb::object path = os.attr("path");
    if (truthy(path.attr("isdir")(name)))
        return;
    bool exists = truthy(path.attr("exists")(name));
    nb::object error = builtin(exists ? "NotADirectoryError" : "FileNotFoundError");
    nb::str message = nb::str(exists ? "the package {!r} is not a folder in {}: --name names the "
                                       "folder of the package"
                                     : "no package folder {!r} in {}: --name names the folder "
                                       "of the package, and tov runs in the folder that holds it")
                          .format(name, os.attr("getcwd")());
    PyErr_SetObject(error.ptr(), message.ptr());
    throw nb::python_error();
}

// The record's "extra" or "entry" value, when it is text from the command
// line, replaced by the JSON it holds. A parse error keeps its type and gains
// a note naming the option, which the traceback prints last.
inline void parse_json(nb::handle args, const char *attr, nb::handle json) {
    nb::object value = nb::getattr(args, attr);
    if (nb::isinstance<nb::str>(value)) {
        try {
            value = json.attr("loads")(value);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_ValueError)) {
                bool extra = std::string(attr) == "extra";
                e.value().attr("add_note")(
                    extra ? "--extra (-x) takes a JSON object of extras and their requirements, "
                            "such as '{\"fast\": [\"numpy\"]}'"
                          : "--entry (-t) takes a JSON object of commands and their functions, "
                            "such as '{\"mycmd\": \"mypkg.cli:main\"}'");
            }
            throw;
        }
    }
    nb::setattr(args, attr, value);
}

} // namespace tovel

// NB_MODULE, except that an error raised while the module loads reaches the
// importer as it is (a missing dependency stays a ModuleNotFoundError naming
// it, a missing name an ImportError naming it) instead of being wrapped in a
// generic ImportError. Follows the shape of nanobind 3.1's NB_MODULE.
#define TOVEL_MODULE(name, variable)                                                    \
    static void tovel_##name##_exec_impl(nanobind::module_);                           \
    static int tovel_##name##_exec(PyObject *m) {                                      \
        nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);        \
        if (!nanobind::detail::internals)                                              \
            return -1;                                                                 \
        try {                                                                          \
            tovel_##name##_exec_impl(nanobind::borrow<nanobind::module_>(m));          \
            return 0;                                                                  \
        } catch (nanobind::python_error &e) {                                          \
            e.restore();                                                               \
        } catch (const std::exception &e) {                                            \
            PyErr_SetString(PyExc_ImportError, e.what());                              \
        }                                                                              \
        return -1;                                                                     \
    }                                                                                  \
    static PyObject *tovel_##name##_def = nullptr;                                     \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);               \
    extern "C" PyObject *PyInit_##name(void) {                                         \
        nanobind::detail::init_singletons();                                           \
        if (!nanobind::detail::nb_backend_init(#name))                                 \
            return nullptr;                                                            \
        if (!tovel_##name##_def)                                                       \
            tovel_##name##_def = NB_CALL(module_new)(                                  \
                #name, nullptr, (void *) tovel_##name##_exec, NB_ABI_MINOR_TAG);       \
        return tovel_##name##_def;                                                     \
    }                                                                                  \
    void tovel_##name##_exec_impl(nanobind::module_ variable)
