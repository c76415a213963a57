// The C that tovel.mender writes into Cython's output: fixes found by the
// text of the Cython code they replace, and the code they add. Included by
// mender.cpp alone (the mender's fingerprint is that of its built file).
#pragma once

namespace tovel::mender_c {

// One fix of the generated C: `pattern` (a regular expression) is replaced
// by `replacement` (re.sub's template) at its first `count` matches (0: all).
struct Fix {
    const char *what;
    const char *pattern;
    const char *replacement;
    int count = 1;
};

static const Fix FIXES[] = {
    // Limited API: Cython builds a traceback entry's frame by calling
    // sys._getframe, and a handler that receives no traceback releases a
    // NULL one, which crashes where sys._getframe is missing. The frame
    // comes from the interpreter instead (PyEval_GetFrame is in the stable
    // ABI). Cython's helper serves where shared frames cannot (TRACEBACK).
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
    // Cython names the module of a relative import when it translates, one
    // level too high in a package's __init__ (`from .retry import x` in
    // pkg/sub/__init__.py is pkg.retry), and takes that module from
    // sys.modules where it is loaded: a relative import goes through the
    // interpreter's import instead, which resolves it from __package__.
    {"relative import", R"C(module_found = __Pyx__Import_Lookup\(qualname, )C",
     R"C(module_found = level > 0 ? 0 : __Pyx__Import_Lookup(qualname, )C"},
    // A function's repr is the interpreter's: doctests and logs show
    // `<function f at 0x...>`.
    {"function repr", R"C(PyUnicode_FromFormat\("<cyfunction %U at %p>",)C",
     R"C(PyUnicode_FromFormat("<function %U at %p>",)C"},
    // The interpreter's import statement calls the builtins' __import__
    // when it was replaced (a test's mock that makes an optional dependency
    // missing); Cython's import never looks: compiled, it calls the
    // replacement too, with the arguments the interpreter gives it.
    {"replaced __import__",
     R"C((static PyObject \*__Pyx__Import\(PyObject \*name, PyObject \*const \*imported_names, Py_ssize_t len_imported_names, PyObject \*qualname, PyObject \*moddict, int level\) \{))C",
     R"C(/* tovel: builtins.__import__ when it is not the interpreter's own: a new reference, or NULL */
static PyObject *__tovel_replaced_import(void) {
    PyObject *f = PyObject_GetAttrString(__pyx_mstate_global->__pyx_b, "__import__");
    if (!f) { PyErr_Clear(); return NULL; }
    if (PyCFunction_Check(f) && PyCFunction_GetSelf(f) == __pyx_mstate_global->__pyx_b) { Py_DECREF(f); return NULL; }
    return f;
}
\1
    PyObject *__tovel_import = __tovel_replaced_import();
    if (unlikely(__tovel_import)) {
        PyObject *names = imported_names ? PyTuple_New(len_imported_names) : (Py_INCREF(Py_None), Py_None);
        PyObject *lvl = PyLong_FromLong(level < 0 ? 0 : level), *got = NULL;
        Py_ssize_t i;
        for (i = 0; names && imported_names && i < len_imported_names; i++) {
            Py_INCREF(imported_names[i]);
            if (PyTuple_SetItem(names, i, imported_names[i]) < 0) { Py_CLEAR(names); }
        }
        if (names && lvl)
            got = PyObject_CallFunctionObjArgs(__tovel_import, name, moddict, Py_None, names, lvl, NULL);
        Py_XDECREF(names);
        Py_XDECREF(lvl);
        Py_DECREF(__tovel_import);
        return got;
    })C"},
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
\3    if (same == 0) { /* `import pkg.__init__` (an entry point's module): the package, as its names are */
\3        PyObject *init = PyUnicode_FromFormat("%U.__init__", have);
\3        same = init ? PyObject_RichCompareBool(want, init, Py_EQ) : -1;
\3        Py_XDECREF(init);
\3    }
\3    if (same == 0)
\3        PyErr_Format(PyExc_ImportError, "cannot load %R: a compiled module loads once per process, "
\3                     "and this one is loaded already as %R", want, have);
\3    Py_XDECREF(want);
\3    Py_XDECREF(have);
\3    if (same != 1) return NULL;
\3    return __Pyx_NewRef(__pyx_m); /* inside: Cython before 3.3 has no braces around it */
\3})C"},
    // next() of what is no iterator: the interpreter's words, the type named
    // as its tp_name reads ('list', 'collections.OrderedDict', a class's own
    // name; Cython's generator types by the interpreter's names).
    {"no iterator", R"P(static void __Pyx_PyIter_Next_ErrorNoIterator\(PyObject \*iterator\) \{\n    __Pyx_RaiseTypeErrorWithObjectType\(\n        __Pyx_FMT_TYPENAME " object is not an iterator", iterator\);\n\})P",
     R"C(static void __Pyx_PyIter_Next_ErrorNoIterator(PyObject *iterator) { /* tovel: the interpreter's words */
    PyTypeObject *tp = Py_TYPE(iterator);
    PyObject *name = PyObject_GetAttrString((PyObject *)tp, "__name__"), *module = NULL;
    if (name && !(PyType_GetFlags(tp) & Py_TPFLAGS_HEAPTYPE)) {
        module = PyObject_GetAttrString((PyObject *)tp, "__module__");
        if (module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
            PyObject *full = PyUnicode_FromFormat("%U.%U", module, name);
            Py_DECREF(name);
            name = full;
        }
        if (!module) PyErr_Clear();
    }
    if (name) PyErr_Format(PyExc_TypeError, "'%U' object is not an iterator", name);
    Py_XDECREF(name);
    Py_XDECREF(module);
})C"},
    // Full API: a class without __next__ has the interpreter's stub as its
    // tp_iternext, which Cython calls and which says "is not iterable".
    {"no iterator", R"P((next = iternext\(iterator\);\n(\s*)if \(likely\(next\)\)\n\s*return next;\n))P",
     R"C(\1\2if (unlikely(!PyIter_Check(iterator))) { /* tovel: the interpreter's stub, no iterator */
\2    PyErr_Clear();
\2    __Pyx_PyIter_Next_ErrorNoIterator(iterator);
\2    return NULL;
\2}
)C"},
    // An async generator dropped before it started is dropped silently, as
    // the interpreter's is: Cython warned "coroutine ... was never awaited".
    {"unstarted async generator", R"P(#ifdef __Pyx_Generator_USED\n(\s*)if \(!__Pyx_Generator_CheckExact\(self\)\)\n#endif(\n\s*\{\n\s*PyObject_GC_UnTrack\(self\);\n\s*if \(unlikely\(PyErr_WarnFormat\(PyExc_RuntimeWarning, 1, "coroutine))P",
     R"C(\1if (1 /* tovel: async generators too are left out */
#ifdef __Pyx_Generator_USED
\1    && !__Pyx_Generator_CheckExact(self)
#endif
#ifdef __Pyx_AsyncGen_USED
\1    && !__Pyx_AsyncGen_CheckExact(self)
#endif
\1   )\2)C"},
    // A package's module is imported as `pkg.__init__` too (an entry point
    // `pkg.__init__:main`): the entry point that names it is exported on
    // every platform, not on Windows alone.
    {"init export", R"P(#if !defined\(CYTHON_NO_PYINIT_EXPORT\) && \(defined\(_WIN32\) \|\| defined\(WIN32\) \|\| defined\(MS_WINDOWS\)\)(\n__Pyx_PyMODINIT_FUNC PyInit___init__\(void\)))P",
     R"C(#if !defined(CYTHON_NO_PYINIT_EXPORT)\1)C"},
    // The class a compiled function, generator, coroutine or async generator
    // gives as its __class__: the interpreter's, named by the getter's
    // closure in the types module, so that isinstance(g, types.GeneratorType),
    // inspect.isgenerator and inspect.isfunction in any module (a document
    // loader's constructors that yield, mock's autospec, which passes self to
    // a method's mock only for functions), singledispatch and the like take
    // them as the source's; type() still tells the compiled type. Defined
    // before the first table of getters. inspect then reads a function's
    // source from the file its code names: the .py beside the module, as
    // installed (the build tree has none beside a compiled module).
    {"class from types",
     R"C(\nstatic PyGetSetDef (?:__pyx_CyFunction_getsets|__pyx_Generator_getsets|__pyx_Coroutine_getsets|__Pyx_async_gen_getsetlist)\[\] = \{\n)C",
     R"C(
/* tovel: the interpreter's class of that name in the types module (the closure) */
static PyObject *__tovel_class(PyObject *self, void *closure) {
    PyObject *name = PyUnicode_FromString("types"), *types = NULL, *cls = NULL;
    (void)self;
    if (name) types = PyImport_GetModule(name);
    if (name && !types && !PyErr_Occurred()) types = PyImport_Import(name);
    Py_XDECREF(name);
    if (types) cls = PyObject_GetAttrString(types, (const char *)closure);
    Py_XDECREF(types);
    return cls;
}\g<0>)C"},
    // A compiled generator or coroutine tells whether it is suspended at a
    // yield (inspect.getgeneratorstate, getcoroutinestate, getasyncgenstate),
    // and gives the interpreter's type as its __class__ ("class from types").
    {"suspended", R"C(\nstatic PyObject \*__Pyx_Coroutine_get_is_running_getter\(PyObject \*gen, void \*closure\);\n)C",
     R"C(\g<0>/* tovel: as a source generator's gi_suspended: at a yield and not running */
static PyObject *__tovel_suspended(PyObject *gen, void *closure) {
    __pyx_CoroutineObject *self = (__pyx_CoroutineObject *)gen;
    (void)closure;
    return PyBool_FromLong(self->resume_label > 0 && !__Pyx_Coroutine_get_is_running(self));
}
/* tovel: as a source generator's gi_state (what inspect reads from CPython 3.15 on); the
   closure is the prefix, GEN, CORO or AGEN */
static PyObject *__tovel_state(PyObject *gen, void *closure) {
    __pyx_CoroutineObject *self = (__pyx_CoroutineObject *)gen;
    const char *state = __Pyx_Coroutine_get_is_running(self) ? "RUNNING" : self->resume_label == -1 ? "CLOSED"
                      : self->resume_label == 0 ? "CREATED" : "SUSPENDED";
    return PyUnicode_FromFormat("%s_%s", (const char *)closure, state);
}
)C"},
    {"suspended", R"C(\n(\s*)\{"gi_running", __Pyx_Coroutine_get_is_running_getter, NULL, NULL, NULL\},)C",
     R"C(\g<0>\n\1{"gi_suspended", __tovel_suspended, NULL, NULL, NULL},\n\1{"gi_state", __tovel_state, NULL, NULL, (void *)"GEN"},\n\1{"__class__", __tovel_class, NULL, NULL, (void *)"GeneratorType"},)C"},
    {"suspended", R"C(\n(\s*)\{"cr_running", __Pyx_Coroutine_get_is_running_getter, NULL, NULL, NULL\},)C",
     R"C(\g<0>\n\1{"cr_suspended", __tovel_suspended, NULL, NULL, NULL},\n\1{"cr_state", __tovel_state, NULL, NULL, (void *)"CORO"},\n\1{"__class__", __tovel_class, NULL, NULL, (void *)"CoroutineType"},)C"},
    {"suspended", R"C(\n(\s*)\{"ag_running", __Pyx_Coroutine_get_is_running_getter, NULL, NULL, NULL\},)C",
     R"C(\g<0>\n\1{"ag_suspended", __tovel_suspended, NULL, NULL, NULL},\n\1{"ag_state", __tovel_state, NULL, NULL, (void *)"AGEN"},)C"},
    // (Cython 3.3 keeps an async generator's ag_running among its members.)
    {"async generator class", R"C(\nstatic PyGetSetDef __Pyx_async_gen_getsetlist\[\] = \{\n)C",
     R"C(\g<0>    {"__class__", __tovel_class, NULL, NULL, (void *)"AsyncGeneratorType"},\n)C"},
    {"function class", R"C(\nstatic PyGetSetDef __pyx_CyFunction_getsets\[\] = \{\n)C",
     R"C(\g<0>    {"__class__", __tovel_class, NULL, NULL, (void *)"FunctionType"},\n)C"},
    // Limited API: a compiled generator's gi_frame (cr_frame) is a frame until
    // it finishes, then None, as a source generator's, instead of None always
    // (inspect reads a created generator as closed). The frame is that of a
    // traceback entry at the generator's first line.
    {"generator frame", R"C(\n#else\n(\s*)CYTHON_UNUSED_VAR\(self\);\n\s*Py_RETURN_NONE;\n(#endif\n\}\nstatic PyObject \*\n__Pyx_Coroutine_get_frame\())C",
     R"C(
#else
\1return __tovel_generator_frame(self);
\2)C"},
    {"generator frame", R"C(\nstatic PyObject \*\n__Pyx__Coroutine_get_frame\(__pyx_CoroutineObject \*self\)\n\{)C",
     R"C(
#if CYTHON_COMPILING_IN_LIMITED_API
static PyObject *__tovel_traceback_frame(const char *funcname, int c_line, int py_line, const char *filename);
static PyObject *__tovel_generator_frame(__pyx_CoroutineObject *self) {
    PyObject *file = NULL, *line = NULL, *name = NULL, *frame = NULL;
    const char *f = NULL, *n = NULL;
    if (!self->gi_code || self->resume_label == -1 || !self->gi_modulename || !self->gi_qualname) Py_RETURN_NONE;
    file = PyObject_GetAttrString(self->gi_code, "co_filename");
    if (file) line = PyObject_GetAttrString(self->gi_code, "co_firstlineno");
    if (line) name = PyUnicode_FromFormat("%U.%U", self->gi_modulename, self->gi_qualname);
    if (name) f = PyUnicode_AsUTF8AndSize(file, NULL);
    if (f) n = PyUnicode_AsUTF8AndSize(name, NULL);
    if (n) frame = __tovel_traceback_frame(n, 0, (int)PyLong_AsLong(line), f);
    Py_XDECREF(file);
    Py_XDECREF(line);
    Py_XDECREF(name);
    if (!frame) { /* no frame to give: None, as before */
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (!self->gi_frame) {
        Py_INCREF(frame);
        self->gi_frame = frame;
    }
    return frame;
}
#endif
\g<0>)C"},
    // A keyword given to a compiled function that takes none (`def f():`,
    // `def f(a, /):`): the interpreter's words, which name a positional-only
    // parameter given by keyword, or else the first keyword unexpected.
    {"no keywords", R"C(\nstatic void __Pyx_CyFunction_raise_type_error\(PyObject \*func, const char\* message\) \{[^}]*\}\n)C",
     R"C(\g<0>/* tovel: as the interpreter words a keyword given where none is taken; Cython's words where
   the keyword names a parameter that is not positional-only */
static void __tovel_no_keywords(PyObject *func, PyObject *kw) {
    PyObject *code = PyObject_GetAttrString(func, "__code__"), *vars = NULL, *keys = NULL, *given = NULL;
    PyObject *params = NULL, *sep = NULL, *joined = NULL, *first = NULL;
    Py_ssize_t n = -1, total = -1, i;
    if (code) {
        PyObject *a = PyObject_GetAttrString(code, "co_posonlyargcount"), *b = PyObject_GetAttrString(code, "co_argcount");
        n = a ? PyLong_AsSsize_t(a) : -1;
        total = b ? PyLong_AsSsize_t(b) : -1;
        Py_XDECREF(a);
        Py_XDECREF(b);
        vars = n >= 0 && total >= 0 ? PyObject_GetAttrString(code, "co_varnames") : NULL;
    }
    params = vars ? PySequence_GetSlice(vars, 0, total) : NULL;
    keys = params ? PySequence_Tuple(kw) : NULL;
    given = keys ? PyList_New(0) : NULL;
    for (i = 0; given && i < n; i++) {
        PyObject *name = PySequence_GetItem(params, i);
        int hit = name ? PySequence_Contains(keys, name) : -1;
        if (hit > 0) hit = PyList_Append(given, name);
        Py_XDECREF(name);
        if (hit < 0) Py_CLEAR(given);
    }
    if (given && PyList_Size(given) > 0) {
        sep = PyUnicode_FromString(", ");
        joined = sep ? PyUnicode_Join(sep, given) : NULL;
        if (joined)
            PyErr_Format(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                         __Pyx_as_CyFunctionObject(func)->func_qualname, joined);
    } else if (given) {
        for (i = 0; !first && i < PyTuple_Size(keys); i++) {
            PyObject *name = PyTuple_GetItem(keys, i);
            int known = name ? PySequence_Contains(params, name) : -1;
            if (known < 0) break;
            if (!known) first = name;
        }
        if (first)
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                         __Pyx_as_CyFunctionObject(func)->func_qualname, first);
    }
    if (!joined && !first) {
        PyErr_Clear();
        __Pyx_CyFunction_raise_type_error(func, "takes no keyword arguments");
    }
    Py_XDECREF(code);
    Py_XDECREF(vars);
    Py_XDECREF(params);
    Py_XDECREF(keys);
    Py_XDECREF(given);
    Py_XDECREF(sep);
    Py_XDECREF(joined);
}
)C"},
    {"no keywords", R"C(__Pyx_CyFunction_raise_type_error\(\s*func, "takes no keyword arguments"\);(\s*return NULL;))C",
     R"C(__tovel_no_keywords(func, kw);\1)C"},
    {"no keywords", R"C((if \(unlikely\(kwnames\) && unlikely\(__Pyx_PyTuple_GET_SIZE\(kwnames\)\)\) \{\s*)__Pyx_CyFunction_raise_type_error\(\s*func, "takes no keyword arguments"\);)C",
     R"C(\1__tovel_no_keywords(func, kwnames);)C"},
    // A division by zero of C numbers (`len(s) / 0`, `i % z` of C ints, `1.5
    // % x`, divmod of C numbers) raises what the running interpreter raises
    // for the same operation of Python numbers: its words changed across
    // releases ("float modulo", "float modulo by zero", "division by zero"),
    // and a wheel built on one runs on the others. mender_cython.h has the
    // division and modulo of C numbers name their operation.
    {"division by zero", R"C(\n/\* --- Runtime support code \(head\) --- \*/\n)C",
     R"C(
/* tovel: raises what the interpreter raises for 1 `op` 0 of Python ints, or floats */
static void __tovel_zero_division(const char *op, const char *kind) {
    int real = kind[0] == 'f';
    PyObject *a = real ? PyFloat_FromDouble(1.0) : PyLong_FromLong(1);
    PyObject *b = real ? PyFloat_FromDouble(0.0) : PyLong_FromLong(0), *r = NULL;
    if (a && b)
        r = op[0] == '%' ? PyNumber_Remainder(a, b) : op[0] == 'd' ? PyNumber_Divmod(a, b)
          : op[1] == '/' ? PyNumber_FloorDivide(a, b) : PyNumber_TrueDivide(a, b);
    Py_XDECREF(a);
    Py_XDECREF(b);
    Py_XDECREF(r);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");
}
\g<0>)C"},
    {"division by zero", R"C(PyErr_SetString\(PyExc_ZeroDivisionError, "tovel: (/|//|%) of (int|float) by zero"\))C",
     R"C(__tovel_zero_division("\1", "\2"))C", 0},
    // A float constant divided by a Python number (Cython's own helpers).
    {"division by zero", R"C(PyErr_SetString\(PyExc_ZeroDivisionError, "float division by zero"\))C",
     R"C(__tovel_zero_division("/", "float"))C", 0},
    {"division by zero", R"C(PyErr_SetString\(PyExc_ZeroDivisionError, "float division or modulo by zero"\))C",
     R"C(__tovel_zero_division("%", "float"))C", 0},
    {"division by zero",
     R"C(PyErr_SetString\(PyExc_ZeroDivisionError, "division by zero"\);(?=\s*(?:PyGILState_Release\(gilstate\);\s*)?return __Pyx_divmod_ERROR_VALUE_(?:nogil_)?float_))C",
     R"C(__tovel_zero_division("divmod", "float");)C", 0},
    {"division by zero",
     R"C(PyErr_SetString\(PyExc_ZeroDivisionError, "division by zero"\);(?=\s*(?:PyGILState_Release\(gilstate\);\s*)?return __Pyx_divmod_ERROR_VALUE_(?:nogil_)?int_))C",
     R"C(__tovel_zero_division("divmod", "int");)C", 0},
    // `g.__defaults__ = h.__defaults__` (mock copies a function's details to
    // its `def f(*args, **kwargs)`): Cython warns that the new defaults go
    // unused, also where the function has no parameter they would apply to
    // (the source's function ignores them as well), and with warnings as
    // errors returns success with the exception set (a SystemError). It
    // warns only where they would apply, and a warning raised is the error.
    {"defaults", R"C(\nstatic int\n__Pyx_CyFunction_set_defaults\()C",
     R"C(
/* tovel: whether the function has parameters that new __defaults__ ("co_argcount") or __kwdefaults__
   ("co_kwonlyargcount") would apply to; where unknown, it has */
static int __tovel_defaults_apply(PyObject *func, const char *count) {
    PyObject *code = PyObject_GetAttrString(func, "__code__"), *n = code ? PyObject_GetAttrString(code, count) : NULL;
    long value = n ? PyLong_AsLong(n) : 1;
    Py_XDECREF(code);
    Py_XDECREF(n);
    if (value == -1 || PyErr_Occurred()) PyErr_Clear();
    return value != 0;
}
\g<0>)C"},
    {"defaults",
     R"C(PyErr_WarnEx\(PyExc_RuntimeWarning, "changes to cyfunction\.__defaults__ will not "\s*"currently affect the values used in function calls", 1\);)C",
     R"C(if (__tovel_defaults_apply(op_in, "co_argcount") && PyErr_WarnEx(PyExc_RuntimeWarning,
        "changes to cyfunction.__defaults__ will not currently affect the values used in function calls", 1) < 0)
        return -1;)C"},
    {"defaults",
     R"C(PyErr_WarnEx\(PyExc_RuntimeWarning, "changes to cyfunction\.__kwdefaults__ will not "\s*"currently affect the values used in function calls", 1\);)C",
     R"C(if (__tovel_defaults_apply(op_in, "co_kwonlyargcount") && PyErr_WarnEx(PyExc_RuntimeWarning,
        "changes to cyfunction.__kwdefaults__ will not currently affect the values used in function calls", 1) < 0)
        return -1;)C"},
    // Limited API: a generator or coroutine dropped while suspended is
    // finalized as the interpreter's is (closed: its finally blocks and the
    // exits of its with statements run; a coroutine never awaited says so),
    // where Cython does nothing: that API lacks the call that finalizes an
    // object from its deallocation, which this does itself, unless the
    // collector finalized it (the slot is given in this API too).
    {"generator finalizer",
     R"C((static void __Pyx_Coroutine_dealloc\(PyObject \*self\) \{[\s\S]*?PyObject_CallFinalizerFromDealloc\(self\)\)\)\s*\{\s*return;\s*\}\s*PyObject_GC_UnTrack\(self\);\n)#endif\n([\s\S]*?)\n#if CYTHON_USE_TP_FINALIZE\n(static void __Pyx_Coroutine_del\(PyObject \*self\) \{))C",
     R"C(#if CYTHON_COMPILING_IN_LIMITED_API && !CYTHON_USE_TP_FINALIZE
static void __Pyx_Coroutine_del(PyObject *self);
/* tovel: as PyObject_CallFinalizerFromDealloc; whether the finalizer resurrected the object */
static int __tovel_finalize_from_dealloc(PyObject *self) {
    if (PyObject_GC_IsFinalized(self)) return 0;
    Py_SET_REFCNT(self, 1);
    PyObject_GC_Track(self);
    __Pyx_Coroutine_del(self);
    PyObject_GC_UnTrack(self);
    Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    if (Py_REFCNT(self) == 0) return 0;
    PyObject_GC_Track(self);
    return 1;
}
#endif
\1#elif CYTHON_COMPILING_IN_LIMITED_API
        if (unlikely(__tovel_finalize_from_dealloc(self))) return;
#endif
\2
#if CYTHON_USE_TP_FINALIZE || CYTHON_COMPILING_IN_LIMITED_API
#define __TOVEL_FINALIZE 1
\3)C"},
    {"generator finalizer", R"C(#if CYTHON_USE_TP_FINALIZE\n(\s*\{Py_tp_finalize, \(void \*\)__Pyx_Coroutine_del\},))C",
     R"C(#if CYTHON_USE_TP_FINALIZE || defined(__TOVEL_FINALIZE)
\1)C", 0},
    // `f(**x)` where x is no mapping (a list of pairs, a string): the
    // interpreter's TypeError, in its words, where Cython takes dict(x) (a
    // ValueError, or keywords made of pairs). Checked where Cython checks for
    // None, for the call it passes them to.
    {"keywords of a mapping", R"C(\n/\* --- Runtime support code \(head\) --- \*/\n)C",
     R"C(
/* tovel: as the interpreter checks `f(**x)`: x is a dict or has keys(), or the interpreter's own error,
   raised by `f(**x)` run by it (its words differ across releases), without an entry of its own */
static int __tovel_kwargs_check(PyObject *func, PyObject *x) {
    static PyObject *call = NULL;
    PyObject *keys, *got = NULL, *exc;
    if (PyDict_Check(x)) return 0;
    keys = PyObject_GetAttrString(x, "keys");
    if (keys || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_XDECREF(keys);
        return keys ? 0 : -1;
    }
    PyErr_Clear();
    if (!call) {
        PyObject *builtins = PyImport_ImportModule("builtins");
        PyObject *eval = builtins ? PyObject_GetAttrString(builtins, "eval") : NULL;
        call = eval ? PyObject_CallFunction(eval, "s", "lambda f, x: f(**x)") : NULL;
        Py_XDECREF(builtins);
        Py_XDECREF(eval);
        if (!call) return -1;
    }
    got = PyObject_CallFunctionObjArgs(call, func, x, NULL);
    if (got) { /* not raised after all: x is taken as a mapping */
        Py_DECREF(got);
        PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping");
    }
    exc = PyErr_GetRaisedException();
    if (exc) PyException_SetTraceback(exc, Py_None);
    PyErr_SetRaisedException(exc);
    return -1;
}
\g<0>)C"},
    {"keywords of a mapping",
     R"C(if \(unlikely\((\w+) == Py_None\)\) \{\s*PyErr_SetString\(PyExc_TypeError, "argument after \*\* must be a mapping, not NoneType"\);(?=(?:(?!PyErr_SetString)[\s\S]){0,2000}?__Pyx_PyObject_Call\((\w+), ))C",
     R"C(if (unlikely(__tovel_kwargs_check(\2, \1) < 0)) {)C", 0},
    {"unbound local", R"C("local variable '%s' referenced before assignment")C",
     R"C("cannot access local variable '%s' where it is not associated with a value")C"},
    {"unbound free variable", R"C("free variable '%s' referenced before assignment in enclosing scope")C",
     R"C("cannot access free variable '%s' where it is not associated with a value in enclosing scope")C"},
    // Limited API: Cython reads the code flags from the inspect module as a
    // module loads, an import of some 40 ms (ast, dis, enum, re) that a
    // source module never pays. They are the same on every CPython since
    // 3.6, as inspect publishes them (and ctool defines them for the C
    // compiler, where the variables are not even there).
    {"code flags", R"C(static int __Pyx_init_co_variables\(void\) \{)C",
     R"C(static int __Pyx_init_co_variables(void) {
#if !defined(CO_OPTIMIZED)
    CO_OPTIMIZED = 0x0001;
#endif
#if !defined(CO_NEWLOCALS)
    CO_NEWLOCALS = 0x0002;
#endif
#if !defined(CO_VARARGS)
    CO_VARARGS = 0x0004;
#endif
#if !defined(CO_VARKEYWORDS)
    CO_VARKEYWORDS = 0x0008;
#endif
#if !defined(CO_GENERATOR)
    CO_GENERATOR = 0x0020;
#endif
#if !defined(CO_COROUTINE)
    CO_COROUTINE = 0x0080;
#endif
#if !defined(CO_ASYNC_GENERATOR)
    CO_ASYNC_GENERATOR = 0x0200;
#endif
    return 0;
}
CYTHON_UNUSED static int __tovel_co_variables_from_inspect(void) {)C"},
};

// The module body runs under a Python frame of its own whose globals and
// locals are the module's dict, as a source module's body does: what reads
// its caller's frame (namedtuple, the functional Enum, TypeVar, NewType,
// exec and eval without a namespace, sys._getframe(1) in a function called
// at module level) finds the module instead of the import machinery.
static const char *FRAME_PROTO = R"C(#if CYTHON_PEP489_MULTI_PHASE_INIT
static int __tovel_exec_in_frame(PyObject *module);
#endif
/* tovel: the file compiled code names in its code objects and tracebacks,
   once the module knows where it lies (see __tovel_exec_in_frame) */
static PyObject *__tovel_file_obj;
static PyObject *__tovel_code_file(PyObject *compiled) { return __tovel_file_obj ? __tovel_file_obj : compiled; }
)C";
static const char *FRAME_BODY = R"C(
#if CYTHON_PEP489_MULTI_PHASE_INIT
/* tovel: the module body runs under a frame whose namespace is the module's */
static PyObject *__tovel_body(PyObject *module, PyObject *unused) {
    PyObject *d = PyModule_GetDict(module);
    (void)unused;
    if (!d || PyDict_DelItemString(d, "__tovel_body__") < 0) return NULL;
    if (EXEC(module) < 0 || __tovel_guard(module) < 0) return NULL;
    Py_RETURN_NONE;
}
static int __tovel_exec_in_frame(PyObject *module) {
    static PyMethodDef def = {"__tovel_body__", __tovel_body, METH_NOARGS, NULL};
    static PyObject *first; /* how the module was first imported: a load as pkg.__init__ overwrites it */
    PyObject *d = PyModule_GetDict(module), *code = NULL, *run = NULL, *done = NULL;
    const char *filename = __pyx_f[0];
    char *own = NULL;
    PyObject *file;
    if (!d) return -1;
    if (first) {
        if (PyDict_SetItemString(d, "__spec__", first) < 0) return -1;
    } else {
        first = PyDict_GetItemString(d, "__spec__");
        Py_XINCREF(first);
    }
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
    /* Code objects and traceback entries name that file too, as the source
       module's code does (not the path the module was compiled from). */
    if (own && !__tovel_file_obj) {
        __tovel_file_obj = PyUnicode_FromString(own);
        if (__tovel_file_obj) __pyx_f[0] = PyUnicode_AsUTF8AndSize(__tovel_file_obj, NULL);
        if (!__tovel_file_obj || !__pyx_f[0]) PyErr_Clear();
        if (!__pyx_f[0]) __pyx_f[0] = filename;
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

// A traceback entry's frame is made once per location (the key of Cython's
// code cache, which then holds frames) and shared by every later entry
// there: an entry costs a look-up and PyTraceBack_Here instead of a new
// frame (full API) or code evaluated to get one (limited API). What the
// fix finds in Cython's traceback helper, all of it required where the
// helper is there; @NAME@ in the texts below stands for what it captured.
struct Found {
    const char *what;
    const char *pattern;
    const char *after; // looked for from where this one was found (none: the start)
};
static const Found TRACEBACK[] = {
    {"cache type", R"C(#if CYTHON_COMPILING_IN_LIMITED_API\ntypedef PyObject __Pyx_CachedCodeObjectType;\n#else\n)C"
                   R"C(typedef PyCodeObject __Pyx_CachedCodeObjectType;\n#endif\n)C", nullptr},
    {"empty tuple", R"C(PyObject_Call\(replace, ([\w>.-]+), scratch_dict\))C", nullptr},
    {"limited helper", R"C(static void (__Pyx_AddTraceback)\(const char \*funcname, int c_line,\s*int py_line, )C"
                       R"C(const char \*filename\) \{\n\s*PyObject \*code_object = NULL)C", nullptr},
    {"exception fetch", R"C(\n\s*(\w+)\(&exc_type, &exc_value, &exc_traceback\);)C", "limited helper"},
    {"exception restore", R"C(\n\s*(\w+)\(exc_type, exc_value, exc_traceback\);)C", "limited helper"},
    {"end of the limited helper", R"C(\n()#else\nstatic PyCodeObject\* __Pyx_CreateCodeObjectForTraceback\()C",
     "limited helper"},
    {"C file name", R"C(PyUnicode_FromFormat\( ?"%s \(%s:%d\)", funcname, (\w+), c_line\))C", "limited helper"},
    {"full helper", R"C((static void __Pyx_AddTraceback\(const char \*funcname, int c_line,\s*int py_line, )C"
                    R"C(const char \*filename\) \{\n\s*PyCodeObject \*py_code = 0;[\s\S]*?)C"
                    R"C(PyTraceBack_Here\(py_frame\);[\s\S]*?\n\}\n))C", "end of the limited helper"},
    {"module dict", R"C(PyFrame_New\(\s*tstate,[^\n]*\n\s*py_code,[^\n]*\n\s*([\w>.-]+),)C", "full helper"},
};

static const char *CACHE_TYPE = R"C(/* tovel: the code cache holds the frames of traceback entries */
typedef PyObject __Pyx_CachedCodeObjectType;
/* tovel: the entry each call of a function still running added last to an
   exception's traceback, in this thread, the deepest call last (see __tovel_again) */
#if defined(__cplusplus)
#define __TOVEL_THREAD_LOCAL thread_local
#elif defined(_MSC_VER)
#define __TOVEL_THREAD_LOCAL __declspec(thread)
#else
#define __TOVEL_THREAD_LOCAL __thread
#endif
#if defined(_MSC_VER)
#include <intrin.h>
#define __TOVEL_NOINLINE __declspec(noinline)
#define __TOVEL_HERE() ((size_t)_AddressOfReturnAddress())
#else
#define __TOVEL_NOINLINE __attribute__((noinline))
#define __TOVEL_HERE() ((size_t)__builtin_frame_address(0))
#endif
struct __tovel_call {
    PyObject *entry, *frame; /* compared, never used: no reference (the frame is a shared one, or NULL) */
    size_t at;
    const char *func;
};
#define __TOVEL_CALLS 32
static __TOVEL_THREAD_LOCAL struct __tovel_call __tovel_calls[__TOVEL_CALLS];
static __TOVEL_THREAD_LOCAL int __tovel_ncalls = 0;
static __TOVEL_THREAD_LOCAL PyObject *__tovel_raised = NULL; /* compared, never used */
/* tovel: the exception being raised (no reference: compared, never used) */
static PyObject *__tovel_current(void) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
    PyErr_SetRaisedException(exc);
    return exc;
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Restore(type, value, tb);
    return value;
#endif
}
)C";

// `raise e` adds an entry even where the exception has one of this call
// already (a bare `raise` and the end of a `with` add none). The exception
// raised is known by its address: one raised and handled in a callee, which
// adds no entry where its handler does not read it, is another.
static const char *RAISE_PATTERN = R"C((static void __Pyx_Raise\(PyObject \*type, PyObject \*value, PyObject \*tb, PyObject \*cause\) \{\n))C";
static const char *RAISE_MARK = R"C(static void __tovel_raise(PyObject *type, PyObject *value, PyObject *tb, PyObject *cause);
static void __Pyx_Raise(PyObject *type, PyObject *value, PyObject *tb, PyObject *cause) {
    __tovel_raise(type, value, tb, cause);
    /* tovel: the raising call's entry is added, also where it has one already
       (set after the raise: code it runs may add entries of its own) */
    __tovel_raised = __tovel_current();
}
static void __tovel_raise(PyObject *type, PyObject *value, PyObject *tb, PyObject *cause) {
)C";

// Shared by both helpers (in either branch of the limited API's #if): the
// names of an entry, and whether it is one the same call added already.
static const char *ENTRY = R"C(#include <string.h> /* the limited API of 3.13 and later leaves it out of Python.h */
/* tovel: an entry is named as the interpreter names the function: by its
   own name ("<module>" for the module body, "<lambda>", "<genexpr>"), and its
   qualified name less the module's */
static int __tovel_numbered(const char *s, const char *word) {
    size_t n = strlen(word);
    if (strncmp(s, word, n) != 0) return 0;
    for (s += n; *s; s++) if (*s < '0' || *s > '9') return 0;
    return 1;
}
static PyObject *__tovel_entry_name(const char *funcname, int qualified, int c_line) {
    const char *module = __Pyx_MODULE_NAME, *s = funcname, *last;
    size_t n = strlen(module);
    PyObject *name, *out;
    if (strcmp(s, module) == 0 || (strncmp(s, "init ", 5) == 0 && strcmp(s + 5, module) == 0)) {
        name = PyUnicode_FromString("<module>");
    } else {
        if (strncmp(s, module, n) == 0 && s[n] == '.') s += n + 1;
        last = strrchr(s, '.');
        last = last ? last + 1 : s;
        if (!qualified) s = last;
        if (__tovel_numbered(last, "lambda"))
            name = PyUnicode_FromFormat("%.*s<lambda>", (int)(last - s), s);
        else if (__tovel_numbered(last, "genexpr"))
            name = PyUnicode_FromFormat("%.*s<genexpr>", (int)(last - s), s);
        else
            name = PyUnicode_FromString(s);
    }
    if (!name || !c_line) return name;
    out = PyUnicode_FromFormat("%U (%s:%d)", name, @CFILENM@, c_line);
    Py_DECREF(name);
    return out;
}
/* tovel: one entry per call of a function, as the interpreter makes. Cython
   adds one where a handler (except, with, finally) takes the exception and
   another where the function passes it on: that one is left out where the
   exception's newest entry is the one this call of this function added, also
   when calls it made since (a context manager's __exit__, code in the handler)
   added entries of their own. A call is known by the C stack address the
   (never inlined) helper runs at, a function by its name's address; the
   stack grows down, and a call deeper than the one adding or checking an
   entry has returned: its record goes. */
/* The newest entry of the exception being raised (no reference: compared,
   never used), or NULL; with a frame, NULL too where the entry's is another. */
static PyObject *__tovel_newest_entry(PyObject *frame) {
    PyObject *tb = NULL, *own;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) return NULL;
    tb = PyException_GetTraceback(exc);
#else
    PyObject *type, *value;
    PyErr_Fetch(&type, &value, &tb);
    Py_XINCREF(tb);
#endif
    if (tb && frame) { /* read with no exception set */
        own = PyObject_GetAttrString(tb, "tb_frame");
        if (!own) PyErr_Clear();
        Py_XDECREF(own);
        if (own != frame) {
            Py_DECREF(tb);
            tb = NULL;
        }
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, value, tb);
#endif
    Py_XDECREF(tb);
    return tb;
}
static void __tovel_returned(size_t here, int same) {
    while (__tovel_ncalls > 0 && (__tovel_calls[__tovel_ncalls - 1].at < here ||
                                  (same && __tovel_calls[__tovel_ncalls - 1].at == here)))
        __tovel_ncalls--;
}
static int __tovel_again(const char *funcname, size_t here) {
    struct __tovel_call *call;
    PyObject *newest;
    if (__tovel_raised && __tovel_raised == __tovel_current()) {
        __tovel_raised = NULL;
        return 0;
    }
    __tovel_returned(here, 0);
    if (!__tovel_ncalls) return 0;
    call = &__tovel_calls[__tovel_ncalls - 1];
    if (call->at != here || call->func != funcname) return 0;
    /* the frame: not a newer entry made where the recorded one was freed */
    newest = __tovel_newest_entry(call->frame);
    return newest && newest == call->entry;
}
static void __tovel_added(const char *funcname, size_t here, PyObject *frame) {
    struct __tovel_call *call;
    __tovel_returned(here, 1);
    if (__tovel_ncalls == __TOVEL_CALLS) __tovel_ncalls = 0; /* the outer calls may add an entry more */
    call = &__tovel_calls[__tovel_ncalls++];
    call->entry = __tovel_newest_entry(NULL);
    call->frame = frame;
    call->at = here;
    call->func = funcname;
}
)C";

// Limited API: Cython's helper stays, renamed, for an interpreter on which
// such a frame is not as it must be.
static const char *LIMITED_RENAMED = "__tovel_AddTraceback_eval";
static const char *LIMITED = R"C(/* tovel: the frame of a traceback entry is made once per location and
   shared by every later entry there. It is the frame of a generator that
   never ran, let go at once: it has no caller (f_back), its globals are the
   module's, it holds no locals and nothing in it changes with use; every
   instruction of that generator is on the entry's line, without columns.
   Where the interpreter makes such a frame otherwise (another line, a
   caller), the module keeps Cython's way, a frame evaluated for each entry:
   decided once, at the first frame made. */
static int __tovel_shared_frames = 0; /* 1 shared, -1 Cython's way, 0 not decided */
static PyObject *__tovel_traceback_frame(const char *funcname, int c_line, int py_line,
                                         const char *filename) {
    PyObject *module = Py_CompileString("def _(): yield\n", filename, Py_file_input);
    PyObject *consts = NULL, *name = NULL, *qualname = NULL, *kw = NULL, *replace = NULL, *code = NULL;
    PyObject *types = NULL, *func = NULL, *gen = NULL, *frame = NULL, *back = NULL;
    PyObject *body = NULL, *bytecode = NULL; /* body: borrowed */
    Py_ssize_t i, n = 0, units = 0;
    if (module) consts = PyObject_GetAttrString(module, "co_consts");
    if (consts) n = PyTuple_Size(consts);
    for (i = 0; i < n && !body; i++)
        if (Py_TYPE(PyTuple_GetItem(consts, i)) == Py_TYPE(module)) body = PyTuple_GetItem(consts, i);
    if (body) name = __tovel_entry_name(funcname, 0, c_line);
    if (name) qualname = __tovel_entry_name(funcname, 1, c_line);
    if (qualname) bytecode = PyObject_GetAttrString(body, "co_code");
    if (bytecode) units = PyBytes_Size(bytecode) / 2;
    if (units > 0 && units < 256) {
        /* every instruction on the first line, without columns (as PyCode_NewEmpty's):
           entries of up to 8 code units, each "no columns, line delta 0" */
        unsigned char table[64];
        Py_ssize_t size = 0, left = units;
        for (; left > 0; left -= 8) {
            table[size++] = (unsigned char)(0x80 | (13 << 3) | ((left > 8 ? 8 : left) - 1));
            table[size++] = 0;
        }
        kw = Py_BuildValue("{s:i,s:O,s:O,s:y#}", "co_firstlineno", py_line, "co_name", name,
                           "co_qualname", qualname, "co_linetable", (const char *)table, size);
    }
    if (kw) replace = PyObject_GetAttrString(body, "replace");
    if (replace) code = PyObject_Call(replace, @EMPTY@, kw);
    if (code) types = PyImport_ImportModule("types");
    if (types) func = PyObject_CallMethod(types, "FunctionType", "OO", code, @MODDICT@);
    if (func) gen = PyObject_CallNoArgs(func);
    if (gen) frame = PyObject_GetAttrString(gen, "gi_frame");
    Py_XDECREF(gen); /* the generator goes, never run; its frame stays, without a caller */
    if (frame && !__tovel_shared_frames) {
        back = PyObject_GetAttrString(frame, "f_back");
        if (back)
            __tovel_shared_frames =
                back == Py_None && PyFrame_GetLineNumber((PyFrameObject *)frame) == py_line ? 1 : -1;
    }
    if (__tovel_shared_frames != 1) Py_CLEAR(frame);
    Py_XDECREF(module);
    Py_XDECREF(consts);
    Py_XDECREF(name);
    Py_XDECREF(qualname);
    Py_XDECREF(bytecode);
    Py_XDECREF(kw);
    Py_XDECREF(replace);
    Py_XDECREF(code);
    Py_XDECREF(types);
    Py_XDECREF(func);
    Py_XDECREF(back);
    return frame;
}
static __TOVEL_NOINLINE void __Pyx_AddTraceback(const char *funcname, int c_line,
                               int py_line, const char *filename) {
    PyObject *frame, *exc_type, *exc_value, *exc_traceback;
    size_t here = __TOVEL_HERE();
    if (__tovel_again(funcname, here)) return;
    if (__tovel_shared_frames < 0 || !@MODDICT@) { /* also before the module has its dict */
        __tovel_AddTraceback_eval(funcname, c_line, py_line, filename);
        __tovel_added(funcname, here, NULL);
        return;
    }
    if (c_line) {
        c_line = __Pyx_CLineForTraceback(__Pyx_PyThreadState_Current, c_line);
    }
    frame = __pyx_find_code_object(c_line ? -c_line : py_line);
    if (!frame) {
        @FETCH@(&exc_type, &exc_value, &exc_traceback);
        frame = __tovel_traceback_frame(funcname, c_line, py_line, filename);
        if (frame) __pyx_insert_code_object(c_line ? -c_line : py_line, frame);
        @RESTORE@(exc_type, exc_value, exc_traceback);
        if (!frame) {
            if (__tovel_shared_frames < 0) {
                __tovel_AddTraceback_eval(funcname, c_line, py_line, filename);
                __tovel_added(funcname, here, NULL);
            }
            return;
        }
    }
    if (PyTraceBack_Here((PyFrameObject *)frame) == 0) __tovel_added(funcname, here, frame);
    Py_DECREF(frame);
}
)C";

// Full API: the frame Cython makes for an entry, kept.
static const char *FULL = R"C(/* tovel: the frame of a traceback entry is made once per location and
   shared by every later entry there. Nothing in it changes with use: it has
   no caller, its line is set once, and its locals are an empty dict made
   with it (so that no reader of f_locals makes one later, from two threads
   at once). */
static PyCodeObject *__tovel_renamed(PyCodeObject *code, const char *funcname, int c_line) {
    PyObject *name = __tovel_entry_name(funcname, 0, c_line), *qualname = NULL, *kw = NULL;
    PyObject *replace = NULL, *none = NULL, *out = NULL;
    if (name) qualname = __tovel_entry_name(funcname, 1, c_line);
    if (qualname) kw = Py_BuildValue("{s:O,s:O}", "co_name", name, "co_qualname", qualname);
    if (kw) replace = PyObject_GetAttrString((PyObject *)code, "replace");
    if (replace) none = PyTuple_New(0);
    if (none) out = PyObject_Call(replace, none, kw);
    Py_XDECREF(name);
    Py_XDECREF(qualname);
    Py_XDECREF(kw);
    Py_XDECREF(replace);
    Py_XDECREF(none);
    Py_DECREF(code);
    return (PyCodeObject *)out;
}
static __TOVEL_NOINLINE void __Pyx_AddTraceback(const char *funcname, int c_line,
                               int py_line, const char *filename) {
    PyCodeObject *py_code;
    PyObject *py_frame, *locals = NULL;
    PyThreadState *tstate = __Pyx_PyThreadState_Current;
    PyObject *ptype, *pvalue, *ptraceback;
    size_t here = __TOVEL_HERE();
    if (__tovel_again(funcname, here)) return;
    if (c_line) {
        c_line = __Pyx_CLineForTraceback(tstate, c_line);
    }
    py_frame = __pyx_find_code_object(c_line ? -c_line : py_line);
    if (!py_frame) {
        __Pyx_ErrFetchInState(tstate, &ptype, &pvalue, &ptraceback);
        py_code = __Pyx_CreateCodeObjectForTraceback(funcname, c_line, py_line, filename);
        if (py_code) py_code = __tovel_renamed(py_code, funcname, c_line);
        if (py_code) locals = PyDict_New();
        if (locals) py_frame = (PyObject *)PyFrame_New(tstate, py_code, @MODDICT@, locals);
        Py_XDECREF(py_code);
        Py_XDECREF(locals);
        if (!py_frame) {
            /* the error of making it replaces the exception, as in Cython's helper */
            Py_XDECREF(ptype);
            Py_XDECREF(pvalue);
            Py_XDECREF(ptraceback);
            return;
        }
        __Pyx_PyFrame_SetLineNumber((PyFrameObject *)py_frame, py_line);
        __Pyx_ErrRestoreInState(tstate, ptype, pvalue, ptraceback);
        __pyx_insert_code_object(c_line ? -c_line : py_line, py_frame);
    }
    if (PyTraceBack_Here((PyFrameObject *)py_frame) == 0) __tovel_added(funcname, here, py_frame);
    Py_DECREF(py_frame);
}
)C";

// Positional-only parameters given by keyword to a function whose
// arguments Cython parses: the interpreter's words, which Cython's parsing
// lacks (it counts too few positional arguments, or an unexpected keyword).
// Checked before the parsing, as the interpreter checks keywords first.
// `names` holds the parameters' names, each followed by a space.
static const char *POSONLY_PROTO = "static int __tovel_posonly_keywords(PyObject *kwds, const char *qualname, const char *names);\n";
static const char *POSONLY_IMPL = R"C(
static int __tovel_posonly_keywords(PyObject *kwds, const char *qualname, const char *names) {
    PyObject *given = PyList_New(0), *sep = NULL, *joined = NULL;
    const char *p = names;
    if (!given) return -1;
    while (*p) {
        const char *q = p;
        PyObject *name;
        int hit;
        while (*q != ' ') q++;
        name = PyUnicode_FromStringAndSize(p, q - p);
        hit = !name ? -1 : PyTuple_Check(kwds) ? PySequence_Contains(kwds, name) : PyDict_Contains(kwds, name);
        if (hit > 0) hit = PyList_Append(given, name);
        Py_XDECREF(name);
        if (hit < 0) {
            Py_DECREF(given);
            return -1;
        }
        p = q + 1;
    }
    if (PyList_Size(given) == 0) {
        Py_DECREF(given);
        return 0;
    }
    sep = PyUnicode_FromString(", ");
    joined = sep ? PyUnicode_Join(sep, given) : NULL;
    if (joined)
        PyErr_Format(PyExc_TypeError, "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                     qualname, joined);
    Py_DECREF(given);
    Py_XDECREF(sep);
    Py_XDECREF(joined);
    return -1;
}
)C";

} // namespace tovel::mender_c
