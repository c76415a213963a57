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

}  // namespace tovel::tuner_c
