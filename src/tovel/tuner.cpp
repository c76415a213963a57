// tovel.tuner: makes the C of a translation cheaper to run where compiled
// code pays more than the interpreter does, without changing what it does.
// Each change is found by the text of the Cython code it replaces; where that
// text is not there (another Cython release), the C stays as it is. The C
// stays one text for both APIs: reference counts and the module dict's
// reads change only where the module is compiled against the limited API,
// the dict-version cache of globals only where it is not; the caches of
// tuner_c.h and the subscripts and float reuse of tuner_layout_c.h serve
// both, on the interpreters whose objects they know.
#include "common.h"
#include <algorithm>
#include <cstring>
#include <vector>
#include "tuner_layout_c.h"
#include "tuner_c.h"
#include "tuner_ft_c.h"
#include "tuner_calls_c.h"
#include "tuner_gen_c.h"

using namespace tovel;

// Reference counting. The limited API of 3.12 and later makes every
// Py_INCREF and Py_DECREF a call into the interpreter. Modules built for the
// limited API of 3.11 and earlier change the count in place, and every later
// CPython must keep them working: these are those same operations, on the
// low 32 bits of the count, where an immortal object's count is negative.
// Only where that layout is known: a 64-bit little-endian build with the
// GIL, headers of 3.12 to 3.15. Always inlined where the compiler allows:
// at -O1 gcc leaves the decrement a call in the busiest functions.
static const char *REFCOUNT = R"C(#include "Python.h"
/* tovel: reference counts changed in place, as the stable ABI of 3.11 does */
#if defined(Py_LIMITED_API) && Py_LIMITED_API+0 >= 0x030C0000 && !defined(Py_GIL_DISABLED) \
    && !defined(Py_REF_DEBUG) && SIZEOF_VOID_P == 8 && !PY_BIG_ENDIAN && PY_VERSION_HEX < 0x03100000
#if PY_VERSION_HEX >= 0x030E0000
#define __tovel_REFCNT(op) ((op)->ob_refcnt)
#else
#define __tovel_REFCNT(op) ((op)->ob_refcnt_split[0])
#endif
#ifdef __GNUC__
#define __TOVEL_REF_FN static inline __attribute__((always_inline))
#else
#define __TOVEL_REF_FN static inline
#endif
__TOVEL_REF_FN void __tovel_incref(PyObject *op) {
    PY_UINT32_T count = __tovel_REFCNT(op);
    if ((PY_INT32_T)count < 0) return;
    __tovel_REFCNT(op) = count + 1;
}
__TOVEL_REF_FN void __tovel_decref(PyObject *op) {
    PY_UINT32_T count = __tovel_REFCNT(op);
    if ((PY_INT32_T)count < 0) return;
    __tovel_REFCNT(op) = --count;
    if (count == 0) _Py_Dealloc(op);
}
__TOVEL_REF_FN void __tovel_xincref(PyObject *op) { if (op) __tovel_incref(op); }
__TOVEL_REF_FN void __tovel_xdecref(PyObject *op) { if (op) __tovel_decref(op); }
__TOVEL_REF_FN PyObject *__tovel_newref(PyObject *op) { __tovel_incref(op); return op; }
__TOVEL_REF_FN PyObject *__tovel_xnewref(PyObject *op) { __tovel_xincref(op); return op; }
#undef Py_INCREF
#undef Py_DECREF
#undef Py_XINCREF
#undef Py_XDECREF
#undef Py_NewRef
#undef Py_XNewRef
#define Py_INCREF(op) __tovel_incref((PyObject *)(op))
#define Py_DECREF(op) __tovel_decref((PyObject *)(op))
#define Py_XINCREF(op) __tovel_xincref((PyObject *)(op))
#define Py_XDECREF(op) __tovel_xdecref((PyObject *)(op))
#define Py_NewRef(op) __tovel_newref((PyObject *)(op))
#define Py_XNewRef(op) __tovel_xnewref((PyObject *)(op))
#endif
)C";

// Module globals in the full API. Cython keeps a cache of each global read
// keyed by the module dict's version, but turns it off from CPython 3.12 on,
// where the field it reads is deprecated; 3.12 and 3.13 still change it at
// every change of the dict (3.14 does not), so there the cache is kept.
static const char *DICT_VERSIONS = R"C(/* tovel: globals through Cython's cache where dicts keep versions */
#if !defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 \
    && PY_VERSION_HEX < 0x030E0000 && !defined(CYTHON_USE_DICT_VERSIONS) && !defined(TOVEL_NO_ATTR_CACHE)
#define CYTHON_USE_DICT_VERSIONS 1
#endif
)C";

// Module globals. In the limited API Cython reads a global as an attribute
// of the module: a builtin name costs a raised and dropped AttributeError,
// and a module-level __getattr__ answers for a name the module lacks. The
// interpreter reads the module's dict, then the builtins.
static const char *GLOBALS_OLD = R"C(    result = PyObject_GetAttr(__pyx_m, name);
    if (likely(result)) {
        return result;
    }
    if (!__Pyx_IgnoreException(PyExc_Exception)) {
        return NULL; // BaseException
    })C";
static const char *GLOBALS_NEW = R"C(    /* tovel: globals from the module's dict, as the interpreter reads them */
    result = PyDict_GetItemWithError(__pyx_mstate_global->__pyx_d, name);
    if (likely(result)) {
        Py_INCREF(result);
        return result;
    }
    if (unlikely(PyErr_Occurred())) {
        return NULL;
    })C";

// The caches of tuner_c.h: each kind of site whose operation Cython declares
// goes through its cache; the caches follow the last of those declarations.
static nb::str add_caches(nb::str c) {
    // Each kind: Cython's declaration, the cache with a GIL and without one,
    // the site and the same through the cache.
    struct Kind { const char *proto, *code, *ft, *site, *cached; };
    static const Kind kinds[] = {
        {tuner_c::GETATTR_PROTO, tuner_c::CACHE_LOAD, tuner_c::FT_LOAD, tuner_c::GETATTR_SITE, tuner_c::GETATTR_CACHED},
        {tuner_c::SETATTR_PROTO, tuner_c::CACHE_STORE, tuner_c::FT_STORE, tuner_c::SETATTR_SITE, tuner_c::SETATTR_CACHED},
        {tuner_c::METHOD_PROTO, tuner_c::CACHE_METHOD, tuner_c::FT_METHOD, tuner_c::METHOD_SITE, tuner_c::METHOD_CACHED},
        {tuner_c::GETITEM_PROTO, tuner_c::CACHE_SUBSCRIPT, tuner_c::FT_SUBSCRIPT, tuner_c::GETITEM_SITE,
         tuner_c::GETITEM_CACHED},
        {tuner_c::GETITEM_PROTO, "", "", tuner_c::SETITEM_SITE, tuner_c::SETITEM_CACHED},
        {tuner_c::GETATTR3_PROTO, tuner_c::CACHE_ABSENT, "", tuner_c::GETATTR3_SITE, tuner_c::GETATTR3_CACHED},
    };
    std::string text = c.c_str();
    if (text.find("__TOVEL_CACHES") != std::string::npos) return c;
    std::string code = std::string(tuner_c::LAYOUT) + tuner_c::CACHE_COMMON + tuner_c::FT_COMMON;
    std::vector<const Kind *> found;
    size_t end = 0;
    for (const Kind &kind : kinds) {
        size_t at = text.find(kind.proto);
        if (at == std::string::npos) continue;
        end = std::max(end, at + std::strlen(kind.proto));
        code += std::string(kind.code) + kind.ft;
        found.push_back(&kind);
    }
    if (found.empty()) return c;
    text.insert(end, code);
    // `x.append(v)` where x may be no list: its method call through a cache,
    // one for the module (the types there seldom differ).
    size_t append = text.find(tuner_c::APPEND_CALL);
    if (append != std::string::npos && std::find(found.begin(), found.end(), &kinds[2]) != found.end())
        text.replace(append, std::strlen(tuner_c::APPEND_CALL), tuner_c::APPEND_CACHED);
    nb::object sub = nb::module_::import_("re").attr("sub");
    nb::object out = nb::str(text.data(), text.size());
    for (const Kind *kind : found) out = sub(kind->site, kind->cached, out);
    if (std::find(found.begin(), found.end(), &kinds[0]) != found.end())
        out = sub(tuner_c::METHOD_LOAD_SITE, tuner_c::METHOD_LOAD_CACHED, out);
    return nb::str(out);
}

// Float operations on a dying temporary reuse it (FLOAT_REUSE): the code
// goes before Cython's first binary operation, where there is one.
static nb::str reuse_floats(nb::str c) {
    std::string text = c.c_str();
    size_t at = text.find(tuner_c::FLOAT_ANCHOR);
    if (at == std::string::npos || text.find("__tovel_FloatOp") != std::string::npos) return c;
    text.insert(at, std::string(tuner_c::LAYOUT) + tuner_c::FLOAT_REUSE);
    auto site = [](nb::object m) -> nb::object {
        auto group = [&](const char *name) { return std::string(nb::str(m.attr("group")(name)).c_str()); };
        std::string a = group("a"), b = group("b"), drops = group("drops"), op = group("op");
        auto dying = [&](const std::string &t) {
            return t.rfind("__pyx_t_", 0) == 0 && drops.find("__Pyx_DECREF(" + t + "); " + t + " = 0;") != std::string::npos;
        };
        if (!dying(a) && !dying(b)) return m.attr("group")(0);
        const char *sign = op == "Add" ? "+" : op == "Subtract" ? "-" : "*";
        return nb::str((group("res") + " = __tovel_FloatOp(" + a + ", " + b + ", " + (dying(a) ? "1" : "0") + ", " +
                        (dying(b) ? "1" : "0") + ", " + sign + ", " + group("fn") + ");" + group("rest") + drops).c_str());
    };
    nb::object sub = nb::module_::import_("re").attr("sub");
    return nb::str(sub(tuner_c::FLOAT_SITE, nb::cpp_function(site), nb::str(text.data(), text.size())));
}

// References to classes, code objects and module dicts counted per thread,
// and globals looked up without a reference first (FT_REFS), or globals read
// at a hint with a GIL (GLOBAL_HINTS), after Cython's declaration of its
// global look-up, which they replace.
static nb::str count_per_thread(nb::str c) {
    static const char *proto = "static CYTHON_INLINE PyObject *__Pyx__GetModuleGlobalName(PyObject *name);\n#endif\n";
    std::string text = c.c_str();
    size_t at = text.find(proto);
    if (at == std::string::npos || text.find("__tovel_deferred_ref") != std::string::npos) return c;
    text.insert(at + std::strlen(proto), std::string(tuner_c::LAYOUT) + tuner_c::FT_REFS + tuner_c::GLOBAL_HINTS);
    text += tuner_c::FT_GLOBALS;
    // A function made at run time (a lambda, a closure) holds its code
    // object and its module's dict as the interpreter's functions hold them.
    static const std::pair<const char *, const char *> held[] = {
        {"    Py_INCREF(op->func_globals);\n    Py_XINCREF(code);\n",
         "    __tovel_fn_xinc(op->func_globals);\n    __tovel_fn_xinc(code);\n"},
        {"    Py_CLEAR(m->func_globals);\n    Py_CLEAR(m->func_code);\n",
         "    __tovel_fn_clear(m->func_globals);\n    __tovel_fn_clear(m->func_code);\n"},
    };
    for (const auto &[from, to] : held) {
        size_t where = text.find(from, at);
        if (where != std::string::npos) text.replace(where, std::strlen(from), to);
    }
    return nb::str(text.data(), text.size());
}

// Calls as the interpreter makes them, where the references it counts per
// thread are there (FT_REFS): super().name(...) (FT_SUPER) and a global
// called right after its read (HELD); their code goes before the module's
// first function, the held reads' after the globals' (FT_GLOBALS, at the end).
static nb::str interpreter_calls(nb::str c) {
    std::string text = c.c_str();
    if (text.find("\nstatic PyObject *__pyx_pf_") == std::string::npos ||
        text.find("__tovel_deferred_ref(") == std::string::npos || text.find("__tovel_SuperCallMethod") != std::string::npos ||
        text.find("__tovel_GlobalHeld") != std::string::npos)
        return c;
    nb::object subn = nb::module_::import_("re").attr("subn");
    nb::tuple supers = nb::tuple(subn(tuner_c::SUPER_SITE, tuner_c::SUPER_CACHED, c));
    nb::tuple held = nb::tuple(subn(tuner_c::HELD_SITE, tuner_c::HELD_CACHED, supers[0]));
    if (nb::cast<int>(supers[1]) + nb::cast<int>(held[1]) == 0) return c;
    text = nb::str(held[0]).c_str();
    std::string code = std::string(nb::cast<int>(supers[1]) ? tuner_c::FT_SUPER : "") +
                       (nb::cast<int>(held[1]) ? tuner_c::FT_HELD_DECL : "");
    text.insert(text.find("\nstatic PyObject *__pyx_pf_") + 1, code);
    if (nb::cast<int>(held[1])) text += tuner_c::FT_HELD;
    return nb::str(text.data(), text.size());
}

// String constants. Where Cython makes its constants immortal (free-threaded
// builds, so that no thread's count of a constant changes it for the
// others), it does so for its bytes but not for its strings that are not
// names; the interpreter makes every string constant of its code immortal.
// So do these: the module holds them as long as it lives.
static nb::str immortal_strings(nb::str c) {
    nb::object sub = nb::module_::import_("re").attr("sub");
    auto whole = [](nb::object m) -> nb::object {
        std::string strings = nb::str(m.attr("group")(1)).c_str(), indent = nb::str(m.attr("group")(2)).c_str();
        std::string bytes = nb::str(m.attr("group")(3)).c_str();
        return nb::str(("PyObject **table = stringtab; /* tovel: the strings too */\n" + indent +
                        "for (Py_ssize_t i=0; i<" + strings + " + " + bytes + "; ++i) {").c_str());
    };
    return nb::str(sub(R"(PyObject \*\*table = stringtab \+ (\d+);\n([ \t]*)for \(Py_ssize_t i=0; i<(\d+); \+\+i\) \{)",
                       nb::cpp_function(whole), c, 1));
}

// Closure cells (CELLS): the fields of the scope objects that inner
// functions reach (those that some function has as its outer scope), where
// they are rebound or read for a reference. A generator's own locals, in a
// scope no other function reaches, stay as they are.
static nb::str guard_cells(nb::str c) {
    nb::object re = nb::module_::import_("re");
    std::string text = c.c_str();
    if (text.find("__tovel_CellSet") != std::string::npos) return c;
    std::string names;
    nb::object seen = nb::set(re.attr("findall")(R"(struct (\w+) \*__pyx_outer_scope;)", c));
    for (nb::handle scope : seen) {
        nb::object body = re.attr("search")(nb::str(("struct " + std::string(nb::str(scope).c_str()) + R"( \{\n(.*?)\n\};)").c_str()), c,
                                            re.attr("DOTALL"));
        if (body.is_none()) continue;
        for (nb::handle name : re.attr("findall")(R"(PyObject \*__pyx_v_(\w+);)", body.attr("group")(1)))
            names += (names.empty() ? "" : "|") + std::string(nb::str(name).c_str());
    }
    if (names.empty()) return c;
    size_t at = text.find("#include \"Python.h\"\n");
    if (at == std::string::npos) return c;
    text.insert(at + std::strlen("#include \"Python.h\"\n"), tuner_c::CELLS);
    std::string field = R"((?:__pyx_(?:cur|outer)_scope->)(?:__pyx_outer_scope->)*__pyx_v_(?:)" + names + R"()\b)";
    nb::object sub = re.attr("sub"), out = nb::str(text.data(), text.size());
    auto pattern = [](const std::string &p) { return nb::str(p.c_str()); };
    out = sub(pattern(R"(__Pyx_X?DECREF_SET\(()" + field + R"(), )"), R"(__tovel_CellSet(\1, )", out);
    // A reference taken, then the field read again for the value it was
    // taken for (another thread may have rebound it in between).
    out = sub(pattern(R"(__Pyx_INCREF\(()" + field + R"()\);\n((?:[ \t]*__Pyx_GIVEREF\(\1\);\n)?)([ \t]*)([^\n]*?)\1\b([^\n]*)\n)"),
              R"({ PyObject *__tovel_cell = __tovel_CellRead(\1); __Pyx_INCREF(__tovel_cell);\n\2\3\4__tovel_cell\5 }\n)", out);
    return nb::str(out);
}

// Requests of other threads (FT_PENDING), answered where the interpreter
// answers them: on entering a def function, before anything of its body (an
// error there leaves nothing to release but the traceback entry, named and
// placed as the body's own), and at the top of each Python loop, which goes
// to the error label of the loop's own statements (the first one that its
// body reaches before any try, with or inner scope begins, or the loop ends).
static nb::str answer_pending(nb::str c) {
    std::string text = c.c_str();
    size_t first = text.find("\nstatic PyObject *__pyx_pf_");
    if (first == std::string::npos || text.find("__tovel_Pending") != std::string::npos) return c;
    text.insert(first + 1, std::string(tuner_c::LAYOUT) + tuner_c::FT_PENDING);
    nb::object re = nb::module_::import_("re");
    auto group = [](nb::handle m, int i) { return std::string(nb::str(m.attr("group")(i)).c_str()); };
    nb::object error = re.attr("compile")(R"(__PYX_ERR\((\d+), (\d+), (__pyx_L\d+_error)\))");
    nb::object loop = re.attr("compile")(
        R"((?m)^( +)(?:for \(;;\)|while \(1\)|for \(__pyx_t_\d+ = [^;]*; __pyx_t_\d+ [<>]=? [^;]*; __pyx_t_\d+[+-]=[^)]*\)) \{\n)");
    auto at_loop = [&](nb::object m) -> nb::object {
        nb::object all = m.attr("string"), err = error.attr("search")(all, m.attr("end")());
        if (err.is_none()) return m.attr("group")(0);
        std::string between = nb::str(all.attr("__getitem__")(nb::slice(
            nb::cast<Py_ssize_t>(m.attr("end")()), nb::cast<Py_ssize_t>(err.attr("start")()), Py_ssize_t(1)))).c_str();
        for (std::string stop : {std::string("/*try:*/"), std::string("/*with:*/"), std::string("/* enter inner scope */"),
                                 std::string("_error:;"), "\n" + group(m, 1) + "}"})
            if (between.find(stop) != std::string::npos) return m.attr("group")(0);
        return nb::str((group(m, 0) + group(m, 1) + "  if (unlikely(__tovel_Pending())) __PYX_ERR(" + group(err, 1) + ", " +
                        group(err, 2) + ", " + group(err, 3) + ")\n").c_str());
    };
    auto loops = [&](nb::object body) { return std::string(nb::str(loop.attr("sub")(nb::cpp_function(at_loop), body)).c_str()); };
    auto function = [&](nb::object m) -> nb::object {
        std::string head = group(m, 1), body = loops(m.attr("group")(3));
        nb::object name = re.attr("search")(R"(__Pyx_AddTraceback\(("[^"]+"), __pyx_clineno, __pyx_lineno, __pyx_filename\))", m.attr("group")(3));
        nb::object where = error.attr("search")(m.attr("group")(3));
        if (group(m, 2) == "pf" && !name.is_none() && !where.is_none())
            head += "  if (unlikely(__tovel_Pending())) { __Pyx_AddTraceback(" + group(name, 1) + ", __LINE__, " +
                    group(where, 2) + ", __pyx_f[" + group(where, 1) + "]); return NULL; }\n";
        return nb::str((head + body + group(m, 4)).c_str());
    };
    return nb::str(re.attr("sub")(
        R"((?ms)^(static PyObject \*__pyx_(pf|gb|lambda_funcdef)_\w+\([^)]*\) \{\n(?:(?!^\}$).)*?)(^  __Pyx_RefNannySetupContext\((?:(?!^\}$).)*)(^\}$))",
        nb::cpp_function(function), nb::str(text.data(), text.size())));
}

// The layout's offsets for code that uses them in the limited API only.
static std::string limited_layout() { return "#ifdef Py_LIMITED_API" + std::string(tuner_c::LAYOUT) + "#endif\n"; }

// Generators and try statements in the limited API (EXC_STATE): the
// exception state of each resume and yield, where the three texts are all
// there, and of each try statement, after Cython's definitions of its save.
static nb::str cheap_resumes(nb::str c) {
    std::string text = c.c_str();
    if (text.find("__tovel_ExcSave") != std::string::npos) return c;
    // The offsets here only where they serve (the full API's come later, where
    // they came before).
    std::string state = limited_layout() + tuner_c::EXC_STATE;
    size_t at = text.find(tuner_c::EXC_ANCHOR), save = text.find(tuner_c::EXC_SAVE), reset = text.find(tuner_c::EXC_RESET);
    if (at != std::string::npos && save != std::string::npos && reset != std::string::npos && save > at && reset > at) {
        text.replace(save, std::strlen(tuner_c::EXC_SAVE), tuner_c::EXC_SAVE_NEW);
        text.replace(reset, std::strlen(tuner_c::EXC_RESET), tuner_c::EXC_RESET_NEW);
        text.insert(at, state);
    }
    size_t tries = text.find(tuner_c::TRY_ANCHOR);
    if (tries != std::string::npos) text.insert(tries + std::strlen(tuner_c::TRY_ANCHOR), state + tuner_c::TRY_STATE);
    return nb::str(text.data(), text.size());
}

// Ints of one digit in the limited API (SMALL_INTS): the code goes before
// the first block of Cython's that reads or adds ints.
static nb::str small_ints(nb::str c) {
    std::string text = c.c_str();
    size_t first = std::string::npos;
    for (const char *use : tuner_c::INT_USES) first = std::min(first, text.find(use));
    if (first == std::string::npos || text.find("__TOVEL_SMALL_INTS") != std::string::npos) return c;
    size_t at = text.rfind("\n/* ", first);
    if (at == std::string::npos) return c;
    std::string tail = text.substr(at + 1);
    for (auto [from, to] : {std::pair{"PyLong_AsLongLongAndOverflow(op", "__tovel_AsLongLongAndOverflow(op"},
                            std::pair{"PyLong_AsLongAndOverflow(op", "__tovel_AsLongAndOverflow(op"}}) {
        for (size_t i = tail.find(from); i != std::string::npos; i = tail.find(from, i + std::strlen(to)))
            tail.replace(i, std::strlen(from), to);
    }
    for (const auto &[head, check] : tuner_c::INT_EQ_SITES) {
        size_t i = tail.find(head);
        if (i != std::string::npos) tail.insert(i + std::strlen(head), check);
    }
    text = text.substr(0, at + 1) + limited_layout() + tuner_c::SMALL_INTS + tail;
    nb::object sub = nb::module_::import_("re").attr("sub");
    auto op = [](nb::object m) -> nb::object {
        std::string name = nb::str(m.attr("group")(2)).c_str();
        return nb::str((std::string(nb::str(m.attr("group")(1)).c_str()) + "    __TOVEL_INT_OP(op1, intval, " +
                        (name == "Add" ? "add" : "sub") + ")\n").c_str());
    };
    return nb::str(sub(tuner_c::INT_OP_SITE, nb::cpp_function(op), nb::str(text.data(), text.size())));
}

// Appends to lists in the limited API (LIST_APPEND), after each of Cython's
// definitions of them.
static nb::str list_appends(nb::str c) {
    std::string text = c.c_str();
    if (text.find("__tovel_list_append") != std::string::npos) return c;
    for (const auto &[anchor, name] : tuner_c::LIST_APPEND_ANCHORS) {
        size_t at = text.find(anchor);
        if (at == std::string::npos) continue;
        text.insert(at + std::strlen(anchor), limited_layout() +
                                                  tuner_c::LIST_APPEND + "#ifdef __TOVEL_LIST_APPEND\n#undef " + name +
                                                  "\n#define " + name + "(L, x) __tovel_list_append(L, x)\n#endif\n");
    }
    return nb::str(text.data(), text.size());
}

// Sizes and items of lists and tuples in the limited API (SEQUENCES), after
// Cython's definitions of them.
static nb::str sequences(nb::str c) {
    std::string text = c.c_str();
    size_t at = text.find(tuner_c::SEQUENCE_ANCHOR);
    if (at == std::string::npos || text.find("__tovel_list_item_ref") != std::string::npos) return c;
    text.insert(at + std::strlen(tuner_c::SEQUENCE_ANCHOR),
                limited_layout() + tuner_c::SEQUENCES);
    return nb::str(text.data(), text.size());
}

// Equality of strs (STR_EQ): the code goes before the first of Cython's
// definitions of its comparisons (and the guard around it), and each
// definition tests through it first.
static nb::str str_equality(nb::str c) {
    std::string text = c.c_str();
    if (text.find("__TOVEL_STR_EQ") != std::string::npos) return c;
    size_t first = std::string::npos;
    for (const auto &[anchor, site] : tuner_c::STR_EQ_SITES)
        for (size_t i = text.find(anchor); i != std::string::npos; i = text.find(anchor, i + 1)) {
            first = std::min(first, i);
            text.insert(i + std::strlen(anchor), site);
        }
    if (first == std::string::npos) return c;
    size_t guard = text.rfind("#ifndef __Pyx_DEFINED_PyObject_CompareStrStrBool", first);
    if (guard != std::string::npos && std::count(text.begin() + guard, text.begin() + first, '\n') == 2) first = guard;
    text.insert(first, limited_layout() + tuner_c::STR_EQ);
    return nb::str(text.data(), text.size());
}

// Keyword names matched for equality (KW_COMPARE), in Cython's match of a
// name that is not the parameter's own object; the code goes before it. A
// name given twice is reported in the interpreter's words.
static nb::str keyword_names(nb::str c) {
    std::string text = c.c_str();
    size_t at = text.find(tuner_c::KW_MATCH_HEAD);
    if (at == std::string::npos || text.find("__tovel_kw_compare") != std::string::npos) return c;
    size_t end = text.find("\n}\n", at);
    int found = 0;
    for (size_t i = text.find(tuner_c::KW_MATCH_CALL, at); i != std::string::npos && i < end;
         i = text.find(tuner_c::KW_MATCH_CALL, i + 1), found++) {
        text.replace(i, std::strlen(tuner_c::KW_MATCH_CALL), tuner_c::KW_MATCH_NEW);
        end += std::strlen(tuner_c::KW_MATCH_NEW) - std::strlen(tuner_c::KW_MATCH_CALL);
    }
    if (!found) return c;
    text.insert(at, limited_layout() + tuner_c::STR_EQ + tuner_c::KW_COMPARE);
    // A name given twice: the interpreter's words.
    static const char *twice = "got multiple values for keyword argument '%U'";
    size_t i = text.find(twice);
    if (i != std::string::npos) text.replace(i, std::strlen(twice), "got multiple values for argument '%U'");
    return nb::str(text.data(), text.size());
}

// Code that runs once (the module's exec function with its class bodies, and
// Cython's other CYTHON_SMALL_CODE functions) keeps Cython's own operations:
// a fast path there saves nothing and costs compile time. Its calls are
// written so that no site of the rewrites below matches them (a space before
// the parenthesis), and its globals read without a cache.
static nb::str once_untuned(nb::str c) {
    static const std::pair<const char *, const char *> calls[] = {
        {"__Pyx_PyObject_GetAttrStr(", "__Pyx_PyObject_GetAttrStr ("},
        {"__Pyx_PyObject_SetAttrStr(", "__Pyx_PyObject_SetAttrStr ("},
        {"__Pyx_PyObject_FastCallMethod(", "__Pyx_PyObject_FastCallMethod ("},
        {"__Pyx_PyObject_GetItem(", "__Pyx_PyObject_GetItem ("},
        {"(PyObject_SetItem(", "(PyObject_SetItem ("},
        {"__Pyx_GetAttr3(", "__Pyx_GetAttr3 ("},
        {"__Pyx_GetModuleGlobalName(", "__Pyx_GetModuleGlobalNameUncached("},
    };
    std::string text = c.c_str();
    bool uncached = text.find("#define __Pyx_GetModuleGlobalNameUncached(") != std::string::npos;
    static const std::string head = "\nstatic CYTHON_SMALL_CODE ";
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
        size_t eol = text.find('\n', at + 1), end = text.find("\n}\n", at);
        // a declaration, not a definition
        if (eol == std::string::npos || end == std::string::npos || text.compare(eol - 1, 1, ";") == 0 ||
            text.compare(eol - 11, 11, "; /*proto*/") == 0)
            continue;
        std::string body = text.substr(at, end - at);
        for (const auto &[from, to] : calls) {
            if (!uncached && std::strcmp(to, "__Pyx_GetModuleGlobalNameUncached(") == 0) continue;
            for (size_t i = body.find(from); i != std::string::npos; i = body.find(from, i + std::strlen(to)))
                body.replace(i, std::strlen(from), to);
        }
        text.replace(at, end - at, body);
        at += body.size();
    }
    return nb::str(text.data(), text.size());
}

// Calls of classes (FT_CLASS_CALL): the code before Cython's definition of
// its vectorcall of an object, its hook in it, where the caches are.
static nb::str class_calls(nb::str c) {
    static const char *head = "static CYTHON_INLINE PyObject* __Pyx_PyObject_FastCallDict(PyObject *func, PyObject *const *args, size_t nargsf, PyObject *kwargs) {\n";
    std::string text = c.c_str();
    size_t at = text.find(head);
    if (at == std::string::npos || text.find("__TOVEL_CACHES_FT") == std::string::npos ||
        text.find("__tovel_class_call") != std::string::npos)
        return c;
    size_t hook = text.find(tuner_c::CLASS_CALL_ANCHOR, at), end = text.find("\n}\n", at);
    if (hook == std::string::npos || hook > end) return c;
    text.insert(hook, tuner_c::CLASS_CALL_HOOK);
    text.insert(at, tuner_c::FT_CLASS_CALL);
    return nb::str(text.data(), text.size());
}

// Builtin functions called through a variable (BUILTIN_CALLS), after
// Cython's definition of its call without keywords.
static nb::str builtin_calls(nb::str c) {
    std::string text = c.c_str();
    size_t at = text.find(tuner_c::BUILTIN_CALL_ANCHOR);
    if (at == std::string::npos || text.find("__tovel_FastCall") != std::string::npos) return c;
    text.insert(at + std::strlen(tuner_c::BUILTIN_CALL_ANCHOR), std::string(tuner_c::LAYOUT) + tuner_c::BUILTIN_CALLS);
    return nb::str(text.data(), text.size());
}

/// The C of a translation, tuned.
static nb::str tune_c(nb::str c) {
    c = once_untuned(c);
    nb::str include("#include \"Python.h\"\n");
    if (truthy(c.attr("__contains__")(include)) && !truthy(c.attr("__contains__")("__tovel_incref")))
        c = nb::str(c.attr("replace")(include, nb::str(REFCOUNT), 1));
    if (truthy(c.attr("__contains__")(include)) && !truthy(c.attr("__contains__")("tovel: globals through")))
        c = nb::str(c.attr("replace")(include, include + nb::str(DICT_VERSIONS), 1));
    c = nb::str(c.attr("replace")(GLOBALS_OLD, GLOBALS_NEW, 1));
    return answer_pending(
        guard_cells(immortal_strings(interpreter_calls(count_per_thread(small_ints(reuse_floats(class_calls(add_caches(list_appends(
            sequences(keyword_names(str_equality(cheap_resumes(builtin_calls(c)))))))))))))));
}

/// Tunes the C file at `path` in place.
static void tune_c_file(nb::object path) { rewrite_text_file(path, tune_c); }

TOVEL_MODULE(tuner, m) {
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("tune_c", &tune_c, "c"_a, "The C of a translation, made cheaper to run.");
    m.def("tune_c_file", &tune_c_file, "path"_a, "Tune the C file at path in place.");
}
