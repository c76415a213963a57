// The C that tovel.tuner adds to a translation for free-threaded CPython
// 3.14 where compiled code called as the interpreter does not: through
// objects it makes for the call (a super object, a bound method) or counts
// of objects every thread shares (a module-level function read by name),
// which every thread writes. Included by tuner.cpp alone, after
// tuner_ft_c.h (whose per-thread counts and globals these use).
#pragma once

namespace tovel::tuner_c {

// super().name(...): compiled code makes a super object (holding the class
// and the instance's type by counts every thread writes), binds the method
// found through it (another object, another shared count) and calls that;
// the interpreter looks the method up through the class and the instance
// without either object (_PySuper_Lookup) and calls it unbound. Where the
// super object's only use is that call, right after it (nothing runs
// between), it is not made: the class stands in its temporary, counted per
// thread, and the call looks the method up as the interpreter does. Other
// supers (another `super` than the builtin, a class that is no type) are
// made and called as before. -DTOVEL_NO_HELD builds both (FT_SUPER, FT_HELD)
// as Cython writes them.
static const char *FT_SUPER = R"C(/* tovel: super().name(...) looked up as the interpreter looks it up */
#if defined(__TOVEL_FT) && !CYTHON_REFNANNY && !defined(TOVEL_NO_HELD)
PyAPI_FUNC(PyObject *) _PySuper_Lookup(PyTypeObject *, PyObject *, PyObject *, int *);
/* super(cls, obj): the class, where the builtin super would be called with it */
static CYTHON_INLINE PyObject *__tovel_Super(PyObject *super, PyObject *const *args, size_t nargsf) {
    if (likely(super == (PyObject *)&PySuper_Type && PyVectorcall_NARGS(nargsf) == 2 && PyType_Check(args[0]))) {
        __tovel_ref_inc(args[0]);
        return args[0];
    }
    return __Pyx_PyObject_FastCall(super, args, nargsf);
}
/* args[0] the class that stands for super(cls, self): the method through cls
   and self; args is the caller's own array of arguments, over when this returns */
static PyObject *__tovel_super_call(PyObject *self, PyObject *name, PyObject *const *args, size_t nargsf) {
    PyTypeObject *cls = (PyTypeObject *)args[0];
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *attr, *result;
    if (unlikely(!PyUnicode_CheckExact(name) || (PyUnicode_GET_LENGTH(name) == 9
            && PyUnicode_CompareWithASCIIString(name, "__class__") == 0))) {
        /* super().__class__ is the super object's own: made, then */
        PyObject *pair[2] = {(PyObject *)cls, self};
        PyObject *su = PyObject_Vectorcall((PyObject *)&PySuper_Type, pair, 2, NULL);
        if (su == NULL) return NULL;
        ((PyObject **)args)[0] = su;
        result = __Pyx_PyObject_FastCallMethod(name, args, nargsf);
        Py_DECREF(su);
        return result;
    }
    int method = 0;
    attr = _PySuper_Lookup(cls, self, name, Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr ? &method : NULL);
    if (attr == NULL) return NULL;
    if (method) {
        ((PyObject **)args)[0] = self;
        result = PyObject_Vectorcall(attr, args, nargs, NULL);
    } else {
        result = PyObject_Vectorcall(attr, args + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    }
    Py_DECREF(attr);
    return result;
}
static CYTHON_INLINE PyObject *__tovel_SuperCallMethod(PyObject *super, PyObject *self, PyObject *name, PyObject *const *args, size_t nargsf) {
    /* a super object is no type: where the builtin super was called, a type is the class */
    if (likely(super == (PyObject *)&PySuper_Type && PyType_Check(args[0]))) return __tovel_super_call(self, name, args, nargsf);
    return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
}
#else
#define __tovel_Super(super, args, nargsf) __Pyx_PyObject_FastCall(super, args, nargsf)
#define __tovel_SuperCallMethod(super, self, name, args, nargsf) __tovel_CallMethod(name, args, nargsf)
#endif
)C";
// The declarations of FT_HELD (before the module's first function).
static const char *FT_HELD_DECL = R"C(/* tovel: a global called right after its read, held without a count */
#if defined(__TOVEL_GLOBALS) && !defined(TOVEL_NO_HELD)
typedef struct { _PyCStackRef node; int on; } __tovel_held;
static CYTHON_INLINE PyObject *__tovel_global_held(PyObject *name, __tovel_global_site *site, __tovel_held *held);
static CYTHON_INLINE void __tovel_held_release(PyObject *value, __tovel_held *held);
#define __TOVEL_HELD(h) __tovel_held h;
#define __tovel_GlobalHeld(var, name, held) (var) = __extension__ ({ \
    static __tovel_global_site __tovel_site = {NULL, 0}; __tovel_global_held((name), &__tovel_site, (held)); })
#define __tovel_HeldRelease(var, held) __tovel_held_release((PyObject *)(var), (held))
#else
#define __TOVEL_HELD(h)
#define __tovel_GlobalHeld(var, name, held) __Pyx_GetModuleGlobalName(var, name)
#define __tovel_HeldRelease(var, held) __Pyx_DECREF(var)
#endif
)C";
// Cython's super(cls, self) whose result is only the receiver of the method
// call right after it, and its replacement.
static const char *SUPER_SITE =
    R"((PyObject \*__pyx_callargs\[3\] = \{__pyx_t_\d+, __pyx_t_\d+, (__pyx_v_\w+)\};\n[ \t]*(__pyx_t_\d+) = ))"
    R"(__Pyx_PyObject_FastCall\(\(PyObject\*\)((?:__pyx_mstate_global->)?__pyx_builtin_super), ([^;\n]*)\);\n)"
    R"(((?:[ \t]*__Pyx_X?DECREF\(__pyx_t_\d+\); __pyx_t_\d+ = 0;\n)*[ \t]*if \(unlikely\(!\3\)\) __PYX_ERR\([^)\n]*\)\n)"
    R"([ \t]*__Pyx_GOTREF\(\3\);\n[ \t]*\}\n[ \t]*(__pyx_t_\d+) = \3;\n[ \t]*__Pyx_INCREF\(\7\);\n[ \t]*__pyx_t_\d+ = 0;\n)"
    R"([ \t]*\{\n[ \t]*PyObject \*__pyx_callargs\[\d+\] = \{\7(?:, [\w>-]+)*\};\n[ \t]*__pyx_t_\d+ = )__tovel_CallMethod\(([^;\n]*)\);\n)"
    R"((?=[ \t]*__Pyx_XDECREF\(\7\); \7 = 0;\n[ \t]*__Pyx_DECREF\(\3\); \3 = 0;\n))";
// A global read whose only use is a call right after it (nothing runs
// between: the call's arguments are there already), its release, and the
// same held (a block of its own for the holder).
static const char *HELD_SITE =
    R"(([ \t]*)__Pyx_GetModuleGlobalName\((__pyx_t_\d+), (__pyx_mstate_global->__pyx_n_[su]_\w+)\);)"
    R"(( if \(unlikely\(!\2\)\) __PYX_ERR\([^)\n]*\)\n))"
    R"(([ \t]*__Pyx_GOTREF\(\2\);\n(?:[ \t]*__pyx_t_\d+ = 1;\n[ \t]*#if CYTHON_UNPACK_METHODS\n)"
    R"([ \t]*if \(unlikely\(PyMethod_Check\(\2\)\)\) \{\n(?:(?![ \t]*\}\n)[^\n]*\n)*[ \t]*\}\n[ \t]*#endif\n)?)"
    R"([ \t]*\{\n[ \t]*PyObject \*__pyx_callargs\[\d+\] = \{[\w>, -]*\};\n)"
    R"([ \t]*(__pyx_t_\d+) = __Pyx_PyObject_FastCall\(\(PyObject\*\)\2, [^;\n]*\);\n)"
    R"((?:[ \t]*__Pyx_XDECREF\(__pyx_t_\d+\); __pyx_t_\d+ = 0;\n)?)([ \t]*)__Pyx_DECREF\(\2\); \2 = 0;\n)"
    R"(([ \t]*if \(unlikely\(!\6\)\) __PYX_ERR\([^)\n]*\)\n[ \t]*__Pyx_GOTREF\(\6\);\n[ \t]*\}\n))";
static const char *HELD_CACHED = R"(\1{ __TOVEL_HELD(__tovel_held)\n\1__tovel_GlobalHeld(\2, \3, &__tovel_held);\4\5)"
    R"(\7__tovel_HeldRelease(\2, &__tovel_held); \2 = 0;\n\8\1}\n)";
static const char *SUPER_CACHED = R"(\1__tovel_Super((PyObject*)\4, \5);\n\6__tovel_SuperCallMethod((PyObject*)\4, \2, \8);\n)";


// Globals held for a call (HELD_SITE), at the end of the C after FT_GLOBALS.
static const char *FT_HELD = R"C(
#if defined(__TOVEL_GLOBALS) && !defined(TOVEL_NO_HELD)
/* A global read for the call right after it (HELD): a value whose count is
   deferred (a module-level function or class, a module, a builtin function)
   is held as the interpreter's own C holds one, by a reference on the
   thread's list that its collector sees, without a count; other values, and
   a read the site cannot serve, are counted as usual. No thread can free a
   deferred value between the entry's read and the push: only a collection
   frees one, and it first stops this thread, which passes no point where it
   stops in between. */
static CYTHON_INLINE PyObject *__tovel_global_held(PyObject *name, __tovel_global_site *site, __tovel_held *held) {
    PyObject **where;
    PyObject *value = __tovel_global_entry(name, site, &where);
    held->on = 0;
    /* (a bound method, which the call unpacks and releases, is counted) */
    if (likely(value != NULL) && _PyObject_HasDeferredRefcount(value) && !_Py_IsImmortal(value) && !PyMethod_Check(value)) {
        _PyThreadState_PushCStackRefNew(PyThreadState_GetUnchecked(), &held->node, value);
        held->on = 1;
        return value;
    }
    return __tovel_global(name, site);
}
static CYTHON_INLINE void __tovel_held_release(PyObject *value, __tovel_held *held) {
    if (held->on) _PyThreadState_PopCStackRef(PyThreadState_GetUnchecked(), &held->node);
    else __tovel_ref_dec(value);
}
#endif
)C";

// Calls of a class: the interpreter makes the instance and calls the
// class's __init__ with it and the call's arguments, where compiled code
// goes through type.__call__ (a tuple of the arguments, the look-up of
// __init__, a bound call). Where the class is an ordinary one (its
// metaclass `type`, object's __new__ and allocation, an __init__ that is a
// function, not abstract), the same is done here: the allocation
// object.__new__ makes, then __init__ with the instance before the
// arguments, its result checked as type.__call__ checks it. What __init__
// the class has is kept by the class's version in a small table of the
// module's (an answer, once published, is never changed or freed; the
// table takes at most __TOVEL_CLASS_FILLS); __init__ is held during the
// call as the method calls hold theirs. Anything else takes Cython's path
// (-DTOVEL_NO_DIRECT: everything, and the direct calls of tuner_ft_c.h too).
static const char *FT_CLASS_CALL = R"C(/* tovel: classes called as the interpreter calls them */
#if defined(__TOVEL_CACHES_FT) && !defined(__TOVEL_CLASS_CALLS) && !defined(TOVEL_NO_DIRECT)
#define __TOVEL_CLASS_CALLS 1
#define __TOVEL_CLASS_FILLS 64
typedef struct { unsigned int version; PyObject *init; } __tovel_class_answer;
static __tovel_class_answer *__tovel_class_table[16];
static int __tovel_class_fills;

/* The answer for the class tp, made where it has none; NULL where its call
   is not one this path serves. */
static __tovel_class_answer *__tovel_class_fill(PyTypeObject *tp) {
    if (_Py_atomic_load_int_relaxed(&__tovel_class_fills) >= __TOVEL_CLASS_FILLS) return NULL;
    _Py_atomic_add_int(&__tovel_class_fills, 1);
    unsigned int version = __tovel_settled_version(tp, &_Py_ID(__init__));
    if (version == 0 || tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_alloc != PyType_GenericAlloc
            || tp->tp_init == PyBaseObject_Type.tp_init || (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT))
        return NULL;
    PyObject *init = _PyType_LookupRef(tp, &_Py_ID(__init__));
    int usable = init != NULL
        && (Py_TYPE(init)->tp_flags & (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
            == (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL)
        && (_PyObject_HasDeferredRefcount(init) || _Py_IsImmortal(init));
    __tovel_class_answer *answer = usable && __tovel_version(tp) == version
        ? (__tovel_class_answer *)PyMem_RawMalloc(sizeof(__tovel_class_answer)) : NULL;
    if (answer != NULL) {
        answer->version = version;
        answer->init = init;
        _Py_atomic_store_ptr_release(&__tovel_class_table[version & 15], answer);
    }
    /* the class keeps __init__ while it keeps this version */
    Py_XDECREF(init);
    return answer;
}

/* The call of the class tp with args (args[-1] free for the callee, as
   nargsf says), or NULL with no error set where this path does not serve it. */
static PyObject *__tovel_class_call(PyTypeObject *tp, PyObject *const *args, size_t nargsf, int *served) {
    unsigned int version = __tovel_version(tp);
    __tovel_class_answer *answer = (__tovel_class_answer *)_Py_atomic_load_ptr_acquire(&__tovel_class_table[version & 15]);
    *served = 0;
    if (!(nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) || version == 0) return NULL;
    if (answer == NULL || answer->version != version) {
        answer = __tovel_class_fill(tp);
        if (answer == NULL || answer->version != __tovel_version(tp)) return NULL;
    }
    *served = 1;
    PyThreadState *tstate = PyThreadState_GetUnchecked();
    if (_Py_EnterRecursiveCallTstate(tstate, " while calling a Python object")) return NULL;
    PyObject *self = PyType_GenericAlloc(tp, 0), *result = NULL;
    if (self != NULL) {
        PyObject *init = answer->init, **slot = (PyObject **)args - 1, *saved = *slot;
        _PyCStackRef held;
        _PyThreadState_PushCStackRef(tstate, &held);
        held.ref = PyStackRef_FromPyObjectNew(init);
        *slot = self;
        result = (*(vectorcallfunc *)((char *)init + Py_TYPE(init)->tp_vectorcall_offset))(
            init, slot, PyVectorcall_NARGS(nargsf) + 1, NULL);
        *slot = saved;
        _PyThreadState_PopCStackRef(tstate, &held);
    }
    _Py_LeaveRecursiveCallTstate(tstate);
    if (result == NULL) {
        Py_XDECREF(self);
        return NULL;
    }
    if (result != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        Py_DECREF(self);
        return NULL;
    }
    return self;
}
#endif
)C";
// Where Cython's vectorcall of an object finds no vectorcall of its own
// (a class's), the path above first.
static const char *CLASS_CALL_ANCHOR =
    "    if (nargs == 0) {\n        return __Pyx_PyObject_Call(func, __pyx_mstate_global->__pyx_empty_tuple, kwargs);\n    }\n";
static const char *CLASS_CALL_HOOK = R"C(    #ifdef __TOVEL_CLASS_CALLS
    if (kwargs == NULL && Py_IS_TYPE(func, &PyType_Type)) {
        int served;
        PyObject *result = __tovel_class_call((PyTypeObject *)func, args, nargsf, &served);
        if (served) return result;
    }
    #endif
)C";

// Builtin functions called through a variable (`isinstance` passed in as a
// default, a bound builtin method kept in a local): compiled code goes
// through Cython's generic call and the function's vectorcall, where the
// interpreter's specialised call of a builtin of the fast convention calls
// its C function at once. So do these, with no keywords, on the layout of a
// builtin function object (with the GIL: the same from 3.12 to 3.15); every
// other callable takes Cython's path. -DTOVEL_NO_BUILTIN_CALLS leaves them.
static const char *BUILTIN_CALL_ANCHOR =
    "#define __Pyx_PyObject_FastCall(func, args, nargs)  __Pyx_PyObject_FastCallDict(func, args, (size_t)(nargs), NULL)\n"
    "static CYTHON_INLINE PyObject* __Pyx_PyObject_FastCallDict(PyObject *func, PyObject * const*args, size_t nargsf, PyObject *kwargs);\n";
static const char *BUILTIN_CALLS = R"C(/* tovel: builtin functions called as the interpreter calls them */
#if defined(__TOVEL_LAYOUT) && !defined(TOVEL_NO_BUILTIN_CALLS)
typedef PyObject *(*__tovel_fast_fn)(PyObject *, PyObject *const *, Py_ssize_t);
typedef PyObject *(*__tovel_fast_kw_fn)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
static CYTHON_INLINE PyObject *__tovel_FastCall(PyObject *func, PyObject *const *args, size_t nargsf) {
    if (Py_IS_TYPE(func, &PyCFunction_Type)) {
        /* m_ml and m_self, right after the object's head */
        PyMethodDef *def = __TOVEL_AT(func, sizeof(PyObject), PyMethodDef *);
        PyObject *self = __TOVEL_AT(func, sizeof(PyObject) + sizeof(PyMethodDef *), PyObject *);
        int flags = def->ml_flags & (METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS | METH_METHOD);
        Py_ssize_t nargs = (Py_ssize_t)(nargsf & ~(size_t)PY_VECTORCALL_ARGUMENTS_OFFSET);
        if (flags == METH_FASTCALL) return ((__tovel_fast_fn)(void (*)(void))def->ml_meth)(self, args, nargs);
        if (flags == (METH_FASTCALL | METH_KEYWORDS))
            return ((__tovel_fast_kw_fn)(void (*)(void))def->ml_meth)(self, args, nargs, NULL);
    }
    return __Pyx_PyObject_FastCallDict(func, args, nargsf, NULL);
}
#undef __Pyx_PyObject_FastCall
#define __Pyx_PyObject_FastCall(func, args, nargs) __tovel_FastCall(func, args, (size_t)(nargs))
#endif
)C";

}  // namespace tovel::tuner_c
