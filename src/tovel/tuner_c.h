// The C that tovel.tuner adds to a translation for the full API: caches at
// each load and store of a named attribute and at each method call. Included
// by tuner.cpp alone.
#pragma once

namespace tovel::tuner_c {

// Cython's declarations of the operations the caches serve, after the last of
// which the caches go (each cache calls its operation on every path it does
// not serve itself).
static const char *GETATTR_PROTO = R"C(#if CYTHON_USE_TYPE_SLOTS
static CYTHON_INLINE PyObject* __Pyx_PyObject_GetAttrStr(PyObject* obj, PyObject* attr_name);
#else
#define __Pyx_PyObject_GetAttrStr(o,n) PyObject_GetAttr(o,n)
#endif
)C";
static const char *SETATTR_PROTO = R"C(#if CYTHON_USE_TYPE_SLOTS
#define __Pyx_PyObject_DelAttrStr(o,n) __Pyx_PyObject_SetAttrStr(o, n, NULL)
static CYTHON_INLINE int __Pyx_PyObject_SetAttrStr(PyObject* obj, PyObject* attr_name, PyObject* value);
#else
#define __Pyx_PyObject_DelAttrStr(o,n)   __Pyx_PyObject_DelAttr(o,n)
#define __Pyx_PyObject_SetAttrStr(o,n,v) PyObject_SetAttr(o,n,v)
#endif
)C";
static const char *METHOD_PROTO = R"C(#if CYTHON_VECTORCALL
#define __Pyx_PyObject_FastCallMethod(name, args, nargsf) PyObject_VectorcallMethod(name, args, nargsf, NULL)
#else
static PyObject *__Pyx_PyObject_FastCallMethod(PyObject *name, PyObject *const *args, size_t nargsf);
#endif
)C";

// What every cache shares. The interpreter specialises an attribute access
// by the type's version tag: a version names one state of one type (a change
// to the type or to any class of its MRO gives it a new one, and tags are not
// reused), so what the type's look-up answered for one version holds for
// every instance of a type with that version. Each site here keeps such an
// answer: where the attribute lives (a value among the instance's inline
// values, at its index in the type's shared keys; an object slot, at its
// offset) or that the generic path serves it; anything the answer does not
// cover at run time (a value not set, a dict of its own) takes the generic
// path too. A module of this kind loads in one interpreter only, so a static
// cache never sees another interpreter's types. CPython with the GIL, 3.12 to
// 3.14, full API, gcc or clang only; a build with -DTOVEL_NO_ATTR_CACHE keeps
// the generic paths.
static const char *CACHE_COMMON = R"C(
/* tovel: per-site caches for attribute loads and stores and method calls */
#if !defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED) && !defined(TOVEL_NO_ATTR_CACHE) && CYTHON_COMPILING_IN_CPYTHON \
    && CYTHON_USE_TYPE_SLOTS && defined(__GNUC__) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030F0000
#define __TOVEL_CACHES 1
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#if PY_VERSION_HEX < 0x030D0000
/* Python.h defined these for builds outside the core; the internal headers
   define them again, the same. */
#undef _PyGC_FINALIZED
#undef _PyObject_LookupSpecial
#endif
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
/* kind 0: the generic path; 1: the inline value at index; 2: the object
   slot at byte offset index. */
typedef struct { unsigned int version; int kind; Py_ssize_t index; } __tovel_attr_site;

static CYTHON_INLINE int __tovel_has_inline_values(PyTypeObject *tp) {
    return (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)
#if PY_VERSION_HEX >= 0x030D0000
        && (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)
#endif
        ;
}

/* The instance's inline values, or NULL where it has none (or they were
   given up for a dict of its own). */
static CYTHON_INLINE PyObject **__tovel_inline_values(PyObject *o) {
#if PY_VERSION_HEX >= 0x030D0000
    PyDictValues *values = _PyObject_InlineValues(o);
    return likely(values->valid) ? values->values : NULL;
#else
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(o);
    return likely(_PyDictOrValues_IsValues(dorv)) ? _PyDictOrValues_GetValues(dorv)->values : NULL;
#endif
}

/* The type's version tag where it has a valid one, else 0. */
static CYTHON_INLINE unsigned int __tovel_version(PyTypeObject *tp) {
#if PY_VERSION_HEX < 0x030D0000
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return tp->tp_version_tag;
}

/* The index of `name` in the type's shared keys: -1 where it is not there,
   -2 where the type has none. */
static Py_ssize_t __tovel_shared_index(PyTypeObject *tp, PyObject *name, PyDictKeysObject **shared) {
    PyDictKeysObject *keys = ((PyHeapTypeObject *)tp)->ht_cached_keys;
    if (shared) *shared = keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) return -2;
    PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
    Py_ssize_t i, n = keys->dk_nentries;
    for (i = 0; i < n; i++) {
        PyObject *key = entries[i].me_key;
        if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return i;
    }
    return -1;
}

/* Where the attribute `name` of instances of `tp` is loaded from (store 0) or
   stored to (store 1), as the generic look-up would find it. Returns 0 where
   no version of the type vouches for an answer (a name not yet among the
   shared keys). */
CYTHON_UNUSED static int __tovel_attr_plan(PyTypeObject *tp, PyObject *name, int store, __tovel_attr_site *plan) {
    plan->kind = 0;
    plan->index = 0;
    if (!PyUnicode_CheckExact(name) || !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) return 1;
    if (store ? tp->tp_setattro != PyObject_GenericSetAttr : tp->tp_getattro != PyObject_GenericGetAttr) return 1;
    PyObject *descr = _PyType_Lookup(tp, name);
    if (descr != NULL) {
        if (Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            PyMemberDef *member = ((PyMemberDescrObject *)descr)->d_member;
            if (member->type == Py_T_OBJECT_EX && member->flags == 0) {
                plan->kind = 2;
                plan->index = member->offset;
            }
            return 1;
        }
        /* A data descriptor comes before the instance's own values. */
        if (Py_TYPE(descr)->tp_descr_set != NULL) return 1;
    }
    if (!__tovel_has_inline_values(tp)) return 1;
    Py_ssize_t index = __tovel_shared_index(tp, name, NULL);
    if (index == -1) return 0;
    if (index >= 0) {
        plan->kind = 1;
        plan->index = index;
    }
    return 1;
}

/* Fills the site from the type of `o`. */
CYTHON_UNUSED static void __tovel_attr_fill(PyObject *o, PyObject *name, int store, __tovel_attr_site *site) {
    __tovel_attr_site plan;
    if (!__tovel_attr_plan(Py_TYPE(o), name, store, &plan)) return;
    /* Read after the look-up, which may have given the type its tag. */
    plan.version = __tovel_version(Py_TYPE(o));
    if (plan.version != 0) *site = plan;
}
#endif
)C";

// Loads of named attributes (`self.pos`), as the interpreter's specialised
// loads do: an inline value that is set, an object slot that is set.
static const char *CACHE_LOAD = R"C(
#ifdef __TOVEL_CACHES
static CYTHON_INLINE PyObject *__tovel_attr_load(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    if (likely(Py_TYPE(o)->tp_version_tag == site->version && site->version != 0)) {
        PyObject *value = NULL;
        if (site->kind == 1) {
            PyObject **values = __tovel_inline_values(o);
            value = values ? values[site->index] : NULL;
        } else if (site->kind == 2) {
            value = *(PyObject **)((char *)o + site->index);
        }
        if (likely(value != NULL)) return Py_NewRef(value);
    } else {
        __tovel_attr_fill(o, name, 0, site);
    }
    return __Pyx_PyObject_GetAttrStr(o, name);
}
#define __tovel_GetAttr(o, n) __extension__ ({ \
    static __tovel_attr_site __tovel_site = {0, 0, 0}; __tovel_attr_load((o), (n), &__tovel_site); })
#else
#define __tovel_GetAttr(o, n) __Pyx_PyObject_GetAttrStr(o, n)
#endif
)C";

// Stores to named attributes (`self.pos = ...`) that replace a value: an
// inline value that is set, of an instance with no dict of its own (a dict
// made from the values must see the store); an object slot. A first store
// and a delete take the generic path, which keeps the values' order.
static const char *CACHE_STORE = R"C(
#ifdef __TOVEL_CACHES
static CYTHON_INLINE int __tovel_attr_store(PyObject *o, PyObject *name, PyObject *v, __tovel_attr_site *site) {
    if (likely(Py_TYPE(o)->tp_version_tag == site->version && site->version != 0)) {
        PyObject **slot = NULL;
        if (site->kind == 1) {
#if PY_VERSION_HEX >= 0x030D0000
            PyObject **values = _PyObject_GetManagedDict(o) ? NULL : __tovel_inline_values(o);
#else
            PyObject **values = __tovel_inline_values(o);
#endif
            if (values && values[site->index]) slot = &values[site->index];
        } else if (site->kind == 2) {
            slot = (PyObject **)((char *)o + site->index);
        }
        if (likely(slot != NULL && v != NULL)) {
            PyObject *old = *slot;
            *slot = Py_NewRef(v);
            Py_XDECREF(old);
            return 0;
        }
    } else {
        __tovel_attr_fill(o, name, 1, site);
    }
    return __Pyx_PyObject_SetAttrStr(o, name, v);
}
#define __tovel_SetAttr(o, n, v) __extension__ ({ \
    static __tovel_attr_site __tovel_site = {0, 0, 0}; __tovel_attr_store((o), (n), (v), &__tovel_site); })
#else
#define __tovel_SetAttr(o, n, v) __Pyx_PyObject_SetAttrStr(o, n, v)
#endif
)C";

// Method calls (`self.take()`, `text.isdigit()`), as the interpreter's
// specialised method loads do: the function the type's look-up found, where
// it is a method descriptor (a function, a compiled function, a method of a
// builtin type) and no instance can shadow it: the type gives its instances
// no dict, or they keep inline values and the name is not among the shared
// keys (which only grow). The function is called as the generic path calls
// it, with the instance first.
static const char *CACHE_METHOD = R"C(
#ifdef __TOVEL_CACHES
typedef struct { unsigned int version; PyObject *function; PyDictKeysObject *keys; Py_ssize_t nentries; } __tovel_method_site;

CYTHON_UNUSED static PyObject *__tovel_method_fill(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyTypeObject *tp = Py_TYPE(args[0]);
    PyObject *function = NULL;
    PyDictKeysObject *keys = NULL;
    Py_ssize_t nentries = 0;
    if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        function = _PyType_Lookup(tp, name);
        if (function && (!(Py_TYPE(function)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR) || !PyVectorcall_Function(function)))
            function = NULL;
        if (function && __tovel_has_inline_values(tp)) {
            /* An instance with a dict of its own says nothing of the others. */
            if (__tovel_inline_values(args[0]) == NULL) return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
            if (__tovel_shared_index(tp, name, &keys) != -1) function = NULL;
            else nentries = keys->dk_nentries;
        } else if (function && ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0)) {
            function = NULL;
        }
    }
    unsigned int version = __tovel_version(tp);
    if (version != 0) {
        site->version = version;
        site->function = function;
        site->keys = keys;
        site->nentries = nentries;
    }
    return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
}

static CYTHON_INLINE PyObject *__tovel_method_call(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyObject *self = args[0];
    if (likely(Py_TYPE(self)->tp_version_tag == site->version && site->version != 0)) {
        PyObject *function = site->function;
        if (likely(function != NULL) && (site->keys == NULL
                || (site->keys->dk_nentries == site->nentries && __tovel_inline_values(self) != NULL))) {
            vectorcallfunc call = PyVectorcall_Function(function);
            Py_INCREF(function);
            /* args[0] is the instance, not a slot the callee may reuse */
            PyObject *result = call(function, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
            Py_DECREF(function);
            return result;
        }
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    }
    return __tovel_method_fill(name, args, nargsf, site);
}
#define __tovel_CallMethod(name, args, nargsf) __extension__ ({ \
    static __tovel_method_site __tovel_site = {0, NULL, NULL, 0}; __tovel_method_call((name), (args), (nargsf), &__tovel_site); })
#else
#define __tovel_CallMethod(name, args, nargsf) __Pyx_PyObject_FastCallMethod(name, args, nargsf)
#endif
)C";

// Float arithmetic on a temporary that dies with the operation. The
// interpreter writes the result of float + float into an operand that only
// the operation still holds, where Cython allocates a new float and frees the
// temporary (a third of an escape-time loop's time on a shared libpython,
// whose allocator reaches its state through thread-local storage). A float
// is immutable, so a float that the dying temporary alone holds is not seen
// by anything else. The sites are those where the C drops the temporary
// right after the operation; other operands and types take Cython's path.
static const char *FLOAT_REUSE = R"C(/* tovel: float results written into a dying temporary */
#if !defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED) && CYTHON_COMPILING_IN_CPYTHON && defined(__GNUC__)
static CYTHON_INLINE PyObject *__tovel_float_result(PyObject *a, PyObject *b, double value, int dying_a, int dying_b) {
    if (dying_a && Py_REFCNT(a) == 1) {
        ((PyFloatObject *)a)->ob_fval = value;
        return Py_NewRef(a);
    }
    if (dying_b && Py_REFCNT(b) == 1) {
        ((PyFloatObject *)b)->ob_fval = value;
        return Py_NewRef(b);
    }
    return PyFloat_FromDouble(value);
}
#define __tovel_FloatOp(a, b, dying_a, dying_b, op, cython) __extension__ ({ \
    PyObject *__tovel_a = (a), *__tovel_b = (b); \
    (PyFloat_CheckExact(__tovel_a) && PyFloat_CheckExact(__tovel_b)) \
        ? __tovel_float_result(__tovel_a, __tovel_b, PyFloat_AS_DOUBLE(__tovel_a) op PyFloat_AS_DOUBLE(__tovel_b), \
                               dying_a, dying_b) \
        : cython(__tovel_a, __tovel_b); })
#else
#define __tovel_FloatOp(a, b, dying_a, dying_b, op, cython) cython(a, b)
#endif

)C";

// Where the float code goes (before Cython's first binary operation), and
// an operation's statement with the drops of temporaries that follow it.
static const char *FLOAT_ANCHOR = "/* PyNumberBinop.proto */";
static const char *FLOAT_SITE =
    R"re((?P<res>__pyx_t_\d+) = (?P<fn>__Pyx_PyNumber_(?:InPlace)?(?P<op>Add|Subtract|Multiply)_(?:object|float)_(?:object|float)))re"
    R"re(\((?P<a>[\w>-]+), (?P<b>[\w>-]+)\);(?P<rest>[^\n]*\n[ \t]*__Pyx_GOTREF\((?P=res)\);\n))re"
    R"re((?P<drops>(?:[ \t]*__Pyx_DECREF\(__pyx_t_\d+\); __pyx_t_\d+ = 0;\n){1,2}))re";

// The sites, as Cython writes them, and the same through their caches: a
// named attribute of a variable or temporary, loaded or stored; a method
// called by name.
static const char *GETATTR_SITE = R"(__Pyx_PyObject_GetAttrStr\((\(\(PyObject \*\)\w+\)|\w+), )"
                                  R"((__pyx_mstate_global->__pyx_n_[su]_\w+)\))";
static const char *GETATTR_CACHED = R"(__tovel_GetAttr(\1, \2))";
static const char *SETATTR_SITE = R"(__Pyx_PyObject_SetAttrStr\((\(\(PyObject \*\)\w+\)|\w+), )"
                                  R"((__pyx_mstate_global->__pyx_n_[su]_\w+), )";
static const char *SETATTR_CACHED = R"(__tovel_SetAttr(\1, \2, )";
static const char *METHOD_SITE = R"(__Pyx_PyObject_FastCallMethod\((\(PyObject\*\)__pyx_mstate_global->__pyx_n_[su]_\w+), )";
static const char *METHOD_CACHED = R"(__tovel_CallMethod(\1, )";

}  // namespace tovel::tuner_c
