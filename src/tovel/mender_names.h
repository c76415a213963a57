// The builtins of a module's source that tovel.mender rewrites for: those
// looked up when the code runs (declared global), and those compiled code
// reads itself, which the module's attribute cannot replace (guarded).
// Included by mender.cpp alone (the mender's fingerprint is that of its
// built file).
#pragma once

#include "common.h"

#include <string>

namespace tovel::mender_names {

// Names looked up when the code runs, in the module, then in the builtins,
// declared global for Cython: (1) those it resolves as builtins when
// translating and Python 3 does not have (xrange, unicode, basestring,
// raw_input, unichr, intern, reload, ...): compiled, `try: unicode` /
// `except NameError:` never takes the handler; (2) builtins that tests
// replace, in the builtins or as the module's attribute (`mock.patch(
// "builtins.open")`, `monkeypatch.setattr(mod, "print", ...)`), which Cython
// would look up once, at import; none of them is one it compiles itself, and
// each call costs far more than the look-up.
static const char *PATCHED_BUILTINS[] = {"open", "print", "input", "breakpoint", "exit", "quit", "help", "__import__"};

/// Those names (a frozenset, kept on `module` with the pattern that finds
/// them in a text, LOST_BUILTINS_RE).
inline nb::object lost_builtins(nb::object module) {
    if (!nb::hasattr(module, "LOST_BUILTINS")) {
        nb::set names;
        nb::object scope = nb::module_::import_("Cython.Compiler.Builtin").attr("builtin_scope");
        nb::object renamed = nb::module_::import_("Cython.Compiler.Code").attr("renamed_py2_builtins_map");
        nb::object have = builtin("dir")(nb::module_::import_("builtins"));
        for (nb::object from : {nb::object(scope.attr("entries")), renamed})
            for (nb::handle name : from)
                if (truthy(name.attr("isidentifier")()) && !truthy(have.attr("__contains__")(name)))
                    names.add(name);
        for (const char *name : PATCHED_BUILTINS)
            names.add(nb::str(name));
        module.attr("LOST_BUILTINS") = builtin("frozenset")(names);
        nb::object re = nb::module_::import_("re");
        nb::object words = nb::str("|").attr("join")(builtin("map")(re.attr("escape"), builtin("sorted")(names)));
        module.attr("LOST_BUILTINS_RE") = re.attr("compile")(nb::str("\\b(?:{})\\b").format(words));
    }
    return module.attr("LOST_BUILTINS");
}

/// The builtins a module reads that compiled code takes from the builtins
/// itself, at import or inlined (`len`, `isinstance`, `range`, the
/// exceptions): read by name and bound nowhere in the module, not looked up
/// when the code runs, not a dunder. A star import may bind any name: none.
inline nb::list read_builtins(nb::object tree, nb::object module) {
    nb::object ast = nb::module_::import_("ast");
    nb::object known = nb::getattr(nb::module_::import_("Cython.Compiler.PyrexTypes"), "KNOWN_PYTHON_BUILTINS",
                                   builtin("dir")(nb::module_::import_("builtins")));
    nb::object lost = lost_builtins(module);
    nb::set read, bound;
    auto bind = [&](nb::handle name) {
        if (!name.is_none())
            bound.add(name);
    };
    for (nb::handle node : ast.attr("walk")(tree)) {
        std::string k = ast_kind(node);
        if (k == "Name")
            (ast_kind(node.attr("ctx")) == "Load" ? read : bound).add(node.attr("id"));
        else if (k == "arg")
            bound.add(node.attr("arg"));
        else if (ast_is(node, {"FunctionDef", "AsyncFunctionDef", "ClassDef", "ExceptHandler", "MatchAs", "MatchStar",
                               "TypeVar", "ParamSpec", "TypeVarTuple"}))
            bind(node.attr("name"));
        else if (k == "MatchMapping")
            bind(node.attr("rest"));
        else if (k == "Global" || k == "Nonlocal")
            for (nb::handle name : node.attr("names"))
                bound.add(name);
        else if (k == "alias") {
            if (nb::str(node.attr("name")).equal(nb::str("*")))
                return nb::list();
            bound.add(node.attr("asname").is_none() ? nb::object(node.attr("name").attr("partition")(".")[0])
                                                    : nb::object(node.attr("asname")));
        }
    }
    nb::list out;
    for (nb::handle name : builtin("sorted")(read)) {
        std::string n = nb::cast<std::string>(name);
        if (n.rfind("__", 0) != 0 && truthy(known.attr("__contains__")(name)) && !truthy(bound.attr("__contains__")(name)) &&
            !truthy(lost.attr("__contains__")(name)))
            out.append(name);
    }
    return out;
}

// Compiled, `mod.len = f` would go unseen where the source's every call of
// len takes f. The rewrite names such builtins in `__tovel_builtins__`, at
// the end of the module's text; once the module body has run, the C below
// takes the name out and gives the module a class whose attribute of such a
// name cannot be set to anything but the builtin itself (or a module: its
// submodule of that name), with an error that says why (deleting it, and
// every other name, work as ever). A module that
// chose its own class is left alone. The class is made in C: the same in
// Python would double the C of a small module.
inline std::string guard(nb::list names) {
    return "__tovel_builtins__ = (" +
           nb::cast<std::string>(nb::str("").attr("join")(builtin("map")(nb::str("{!r}, ").attr("format"), names))) +
           ")\n";
}

static const char *GUARD_C = R"C(
#if CYTHON_PEP489_MULTI_PHASE_INIT
static PyObject *__tovel_guarded; /* the names, for the one instance of the module */
static int __tovel_guarded_setattro(PyObject *self, PyObject *name, PyObject *value) {
    setattrofunc base = (setattrofunc)PyType_GetSlot(&PyModule_Type, Py_tp_setattro);
    /* A module is bound here by the import of a submodule of that name (pkg/filter.py): never refused. */
    if (value && PyUnicode_Check(name) && !PyModule_Check(value)) {
        PyObject *builtins = NULL, *was = NULL;
        int hit = __tovel_guarded ? PySequence_Contains(__tovel_guarded, name) : 0;
        if (hit < 0) return -1;
        if (hit) {
            builtins = PyImport_ImportModule("builtins");
            was = builtins ? PyObject_GetAttr(builtins, name) : NULL;
            Py_XDECREF(builtins);
            if (!was) /* not a builtin of this interpreter: nothing compiled reads it */
                PyErr_Clear();
            Py_XDECREF(was);
            if (was && was != value) {
                PyObject *module = PyModule_GetNameObject(self);
                if (module) {
                    PyErr_Format(PyExc_AttributeError, "%U.%U cannot be replaced: the compiled module calls the "
                                 "builtin %U itself (build it with tov bdist --keep to ship it as source)",
                                 module, name, name);
                    Py_DECREF(module);
                }
                return -1;
            }
        }
    }
    return base(self, name, value);
}
static int __tovel_guard(PyObject *module) {
    static PyType_Slot slots[] = {{Py_tp_setattro, (void *)__tovel_guarded_setattro}, {0, NULL}};
    static PyType_Spec guarded_type = {"builtins.module", 0, 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject *d = PyModule_GetDict(module), *names, *bases = NULL, *type = NULL;
    int r = -1;
    names = d ? PyDict_GetItemString(d, "__tovel_builtins__") : NULL;
    if (!names) return 0;
    Py_INCREF(names);
    if (PyDict_DelItemString(d, "__tovel_builtins__") < 0) goto done;
    r = 0;
    if (Py_TYPE(module) != &PyModule_Type) goto done;
    r = -1;
    bases = PyTuple_Pack(1, (PyObject *)&PyModule_Type);
    type = bases ? PyType_FromSpecWithBases(&guarded_type, bases) : NULL;
    if (type) {
        PyObject *old = __tovel_guarded;
        Py_INCREF(names);
        __tovel_guarded = names;
        Py_XDECREF(old);
        r = PyObject_SetAttrString(module, "__class__", type);
    }
done:
    Py_DECREF(names);
    Py_XDECREF(bases);
    Py_XDECREF(type);
    return r;
}
#endif
)C";

} // namespace tovel::mender_names
