// tovel.mender: mends what Cython would otherwise compile unfaithfully,
// before and after it translates a module. Before: a rewrite of the source
// text that keeps every line where it was, so that tracebacks still point
// at the user's lines. After: fixes of the C file, each found by the text of
// the Cython code it replaces; where that text is not there (another Cython
// release), the C stays as it is and the test suite's table of faithful
// constructs says so.
#include "common.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tovel;

static const char *MOD = "tovel.mender";

static nb::object mine(const char *name) { return global(MOD, name); }

static std::string kind(nb::handle node) { return nb::cast<std::string>(node.type().attr("__name__")); }

// ---------------------------------------------------------------- the source

// Whether Cython turns a case with this pattern (and no guard) into a branch
// of an if statement instead of matching it as a pattern: values, None,
// True, False, a capture or the wildcard, and ORs of values. Anything else
// counts as matched, which is the safe side.
static bool plain_pattern(nb::handle p) {
    std::string k = kind(p);
    if (k == "MatchValue" || k == "MatchSingleton")
        return true;
    if (k == "MatchAs")
        return p.attr("pattern").is_none();
    if (k == "MatchOr") {
        for (nb::handle alt : p.attr("patterns")) {
            std::string ka = kind(alt);
            if (ka != "MatchValue" && ka != "MatchSingleton")
                return false;
        }
        return true;
    }
    return false;
}

// Cython's flow analysis of a match statement loses the path on which a
// matched case's pattern fails when a case it turned into an if statement
// follows: a name bound in that case counts as bound after it, so a later
// assignment releases a NULL reference and a read skips the unbound check
// (a crash, or garbage). A match that mixes the two kinds gets the guard
// `if True` on each case without one, which keeps every case a matched
// one; the guard is inserted before the case's colon, on the same line.
static nb::str rewrite(nb::str text) {
    // A match statement starts a line: most modules are not parsed at all.
    if (mine("re").attr("search")(R"((?m)^[ \t\f]*match\b)", text).is_none())
        return text;
    nb::object ast = mine("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return text; // the scan reports syntax errors
    }
    // Columns of the syntax tree count UTF-8 bytes; lines end where the
    // tokenizer ends them (\n, \r\n, \r).
    nb::bytes encoded(text.attr("encode")("utf-8"));
    std::string src(encoded.c_str(), encoded.size());
    std::vector<size_t> starts{0};
    for (size_t i = 0; i < src.size(); ++i)
        if (src[i] == '\n' || (src[i] == '\r' && (i + 1 == src.size() || src[i + 1] != '\n')))
            starts.push_back(i + 1);
    std::vector<size_t> at;
    for (nb::handle node : ast.attr("walk")(tree)) {
        if (kind(node) != "Match")
            continue;
        std::vector<nb::handle> unguarded;
        bool plain = false, matched = false;
        for (nb::handle c : node.attr("cases")) {
            bool guarded = !c.attr("guard").is_none();
            if (!guarded)
                unguarded.push_back(c);
            if (!guarded && plain_pattern(c.attr("pattern")))
                plain = true;
            else
                matched = true;
        }
        if (!plain || !matched)
            continue;
        // Every case gets the guard, not only the plain ones: whatever Cython
        // takes for plain, none of the cases is turned into an if statement.
        for (nb::handle c : unguarded) {
            nb::object p = c.attr("pattern");
            size_t i = starts.at(nb::cast<size_t>(p.attr("end_lineno")) - 1) +
                       nb::cast<size_t>(p.attr("end_col_offset"));
            // Between the pattern and the colon: closing brackets, blanks,
            // line breaks and comments within the brackets.
            while (i < src.size() && src[i] != ':') {
                char ch = src[i];
                if (ch == '#')
                    while (i < src.size() && src[i] != '\n' && src[i] != '\r')
                        ++i;
                else if (ch == ')' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\\' ||
                         ch == '\f')
                    ++i;
                else
                    break;
            }
            if (i >= src.size() || src[i] != ':')
                throw std::runtime_error("tovel.mender: no colon after the pattern of the case on line " +
                                         std::to_string(nb::cast<long>(p.attr("end_lineno"))));
            at.push_back(i);
        }
    }
    if (at.empty())
        return text;
    std::sort(at.begin(), at.end());
    std::string out;
    size_t from = 0;
    for (size_t i : at) {
        out.append(src, from, i - from);
        out.append(" if True");
        from = i;
    }
    out.append(src, from, std::string::npos);
    return nb::str(out.data(), out.size());
}

/// The text Cython should translate for the module at `path`, or None when
/// it is the file's own text. The file's encoding is read as Python reads it.
static nb::object source(nb::object path) {
    nb::object f = mine("tokenize").attr("open")(path);
    nb::str text;
    try {
        text = nb::str(f.attr("read")());
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    nb::str out = rewrite(text);
    if (out.equal(text))
        return nb::none();
    return out;
}

// ---------------------------------------------------------------- the C

// One fix of the generated C: `pattern` (a regular expression) is replaced
// by `replacement` (re.sub's template) at its first match.
struct Fix {
    const char *what;
    const char *pattern;
    const char *replacement;
};

static const Fix FIXES[] = {
    // Limited API: Cython builds a traceback entry's frame by calling
    // sys._getframe, and a handler that receives no traceback releases a
    // NULL one, which crashes where sys._getframe is missing. The frame
    // comes from the interpreter instead (PyEval_GetFrame is in the stable
    // ABI).
    {"traceback frame",
     R"C((static PyObject \*__Pyx_PyCode_Replace_For_AddTraceback\())C",
     R"C(/* tovel: the frame of a traceback entry, without sys._getframe */
static PyObject *__tovel_getframe(PyObject *self, PyObject *unused) {
    PyObject *frame = (PyObject *)PyEval_GetFrame();
    (void)self; (void)unused;
    if (!frame) Py_RETURN_NONE;
    Py_INCREF(frame);
    return frame;
}
static PyMethodDef __tovel_getframe_def = {"_getframe", __tovel_getframe, METH_NOARGS, NULL};
\1)C"},
    {"traceback frame", R"C(getframe = PySys_GetObject\("_getframe"\);)C",
     R"C(getframe = replace = PyCFunction_New(&__tovel_getframe_def, NULL);)C"},
    // Limited API: list.extend by slice assignment takes nothing from an
    // iterator that raises midway; list.extend keeps the items it took.
    {"list.extend", R"C(\n(\s*)return PyList_SetSlice\(L, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, v\);)C",
     R"C(
\1/* tovel: as list.extend, the items taken before an iterator raises stay */
\1PyObject *it, *item;
\1if (PyList_CheckExact(v) || PyTuple_CheckExact(v) || v == L)
\1    return PyList_SetSlice(L, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, v);
\1it = PyObject_GetIter(v);
\1if (!it) return -1;
\1while ((item = PyIter_Next(it)) != NULL) {
\1    int failed = PyList_Append(L, item) < 0;
\1    Py_DECREF(item);
\1    if (failed) { Py_DECREF(it); return -1; }
\1}
\1Py_DECREF(it);
\1return PyErr_Occurred() ? -1 : 0;)C"},
    // A source module's __builtins__ is the builtins' dict.
    {"__builtins__", R"C((PyObject_SetAttrString\(__pyx_m, "__builtins__", )([\w>.-]+)\))C",
     R"C(\1PyModule_GetDict(\2)))C"},
    // Too many positional arguments: the interpreter's wording.
    {"arity", R"C(\n(\s*)if \(num_found < num_min\) \{\n(\s*)num_expected = num_min;)C",
     R"C(
\1if (num_found > num_max) { /* tovel: the interpreter's wording */
\1    if (num_min == num_max)
\1        PyErr_Format(PyExc_TypeError, "%.200s() takes %zd positional argument%s but %zd %s given",
\1                     func_name, num_max, num_max == 1 ? "" : "s", num_found, num_found == 1 ? "was" : "were");
\1    else
\1        PyErr_Format(PyExc_TypeError, "%.200s() takes from %zd to %zd positional arguments but %zd %s given",
\1                     func_name, num_min, num_max, num_found, num_found == 1 ? "was" : "were");
\1    return;
\1}
\g<0>)C"},
    // A compiled module has one module object per process: loaded again
    // under another name (spec_from_file_location), it would be handed out
    // again with its __spec__ overwritten. An ImportError says so instead.
    // The name asked for is that of the module creator's first parameter.
    {"second name", R"C((__pyx_pymod_create\(PyObject \*(\w+),[\s\S]*?)\n(\s*)return __Pyx_NewRef\(__pyx_m\);)C",
     R"C(\1
\3{ /* tovel: a compiled module loads once per process, under one name */
\3    PyObject *want = PyObject_GetAttrString(\2, "name"), *have = PyModule_GetNameObject(__pyx_m);
\3    int same = want && have ? PyObject_RichCompareBool(want, have, Py_EQ) : -1;
\3    if (same == 0)
\3        PyErr_Format(PyExc_ImportError, "cannot load %R: a compiled module loads once per process, "
\3                     "and this one is loaded already as %R", want, have);
\3    Py_XDECREF(want);
\3    Py_XDECREF(have);
\3    if (same != 1) return NULL;
\3}
\3return __Pyx_NewRef(__pyx_m);)C"},
    {"unbound local", R"C("local variable '%s' referenced before assignment")C",
     R"C("cannot access local variable '%s' where it is not associated with a value")C"},
    {"unbound free variable", R"C("free variable '%s' referenced before assignment in enclosing scope")C",
     R"C("cannot access free variable '%s' where it is not associated with a value in enclosing scope")C"},
};

// The module body runs under a Python frame of its own whose globals and
// locals are the module's dict, as a source module's body does: what reads
// its caller's frame (namedtuple, the functional Enum, TypeVar, NewType,
// exec and eval without a namespace, sys._getframe(1) in a function called
// at module level) finds the module instead of the import machinery.
static const char *FRAME_PROTO = R"C(#if CYTHON_PEP489_MULTI_PHASE_INIT
static int __tovel_exec_in_frame(PyObject *module);
#endif
)C";
static const char *FRAME_BODY = R"C(
#if CYTHON_PEP489_MULTI_PHASE_INIT
/* tovel: the module body runs under a frame whose namespace is the module's */
static PyObject *__tovel_body(PyObject *module, PyObject *unused) {
    PyObject *d = PyModule_GetDict(module);
    (void)unused;
    if (!d || PyDict_DelItemString(d, "__tovel_body__") < 0) return NULL;
    if (EXEC(module) < 0) return NULL;
    Py_RETURN_NONE;
}
static int __tovel_exec_in_frame(PyObject *module) {
    static PyMethodDef def = {"__tovel_body__", __tovel_body, METH_NOARGS, NULL};
    PyObject *d = PyModule_GetDict(module), *code = NULL, *run = NULL, *done = NULL;
    const char *filename = __pyx_f[0];
    char *own = NULL;
    PyObject *file;
    if (!d) return -1;
    /* The frame names the source file where the module lies: mod.py beside mod.abi3.so */
    file = PyDict_GetItemString(d, "__file__");
    if (file && PyUnicode_Check(file)) {
        Py_ssize_t n = 0, base = 0, cut, i;
        const char *s = PyUnicode_AsUTF8AndSize(file, &n);
        if (s) {
            for (i = 0; i < n; i++) if (s[i] == '/' || s[i] == '\\') base = i + 1;
            for (cut = base; cut < n && s[cut] != '.'; cut++) ;
            own = (char *)PyMem_Malloc((size_t)cut + 4);
            /* copied by hand: memcpy would raise the wheel's glibc floor */
            if (own) {
                for (i = 0; i < cut; i++) own[i] = s[i];
                own[cut] = '.'; own[cut + 1] = 'p'; own[cut + 2] = 'y'; own[cut + 3] = 0;
                filename = own;
            }
        } else {
            PyErr_Clear();
        }
    }
    code = Py_CompileString("__tovel_body__()", filename, Py_eval_input);
    PyMem_Free(own);
    if (code) run = PyCFunction_New(&def, module);
    if (run && PyDict_SetItemString(d, "__tovel_body__", run) == 0) done = PyEval_EvalCode(code, d, d);
    Py_XDECREF(code);
    Py_XDECREF(run);
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}
#endif
)C";

// Gives the module body its frame: the exec slot calls the wrapper.
static nb::str frame_fix(nb::str c) {
    nb::object re = mine("re");
    nb::object m = re.attr("search")(R"(\{Py_mod_exec, \(void\*\)(__pyx_pymod_exec_\w+)\},)", c);
    nb::str slots("static PyModuleDef_Slot __pyx_moduledef_slots[]");
    if (m.is_none() || !truthy(c.attr("__contains__")(slots)) || !truthy(c.attr("__contains__")("__pyx_f[]")))
        return c;
    nb::str exec(m.attr("group")(1));
    c = nb::str(c.attr("replace")(m.attr("group")(0), "{Py_mod_exec, (void*)__tovel_exec_in_frame},", 1));
    c = nb::str(c.attr("replace")(slots, nb::str(FRAME_PROTO) + slots, 1));
    return nb::str(c + nb::str(FRAME_BODY).attr("replace")("EXEC", exec));
}

/// The C of a translation with tovel's fixes.
static nb::str fix_c(nb::str c) {
    nb::object re = mine("re");
    for (const Fix &f : FIXES)
        c = nb::str(re.attr("sub")(f.pattern, f.replacement, c, "count"_a = 1));
    return frame_fix(c);
}

/// Applies the fixes to the C file at `path` in place.
static void fix_c_file(nb::object path) {
    nb::object p = mine("Path")(path);
    nb::str c(p.attr("read_text")("encoding"_a = "utf-8"));
    nb::str fixed = fix_c(c);
    if (!fixed.equal(c))
        p.attr("write_text")(fixed, "encoding"_a = "utf-8");
}

/// A digest of this module's own file: a translation cached by an older
/// mender is not reused.
static nb::str fingerprint() {
    nb::object file = mine("Path")(nb::module_::import_(MOD).attr("__file__"));
    return nb::str(nb::module_::import_("hashlib").attr("sha256")(file.attr("read_bytes")()).attr("hexdigest")());
}

TOVEL_MODULE(mender, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("re") = nb::module_::import_("re");
    m.attr("tokenize") = nb::module_::import_("tokenize");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("rewrite", &rewrite, "text"_a, "A module's source text rewritten where Cython would compile it unfaithfully.");
    m.def("source", &source, "path"_a, "The rewritten text of the module at path, or None when it is unchanged.");
    m.def("fix_c", &fix_c, "c"_a, "The C of a translation with the fixes of Cython's faults.");
    m.def("fingerprint", &fingerprint, "A digest of this module's file, for the keys of cached translations.");
    m.def("fix_c_file", &fix_c_file, "path"_a, "Fix the C file at path in place.");
}
