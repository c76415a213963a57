// The C that tovel.tuner adds to a translation: caches at each load and
// store of a named attribute and at each method call. Included by tuner.cpp
// alone, after tuner_layout_c.h.
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
// cache never sees another interpreter's types. A site that cannot be filled
// (a type without a version) gives up after a few tries.
static const char *CACHE_COMMON = R"C(
/* tovel: per-site caches for attribute loads and stores and method calls */
#ifdef __TOVEL_LAYOUT
#define __TOVEL_CACHES 1
#define __TOVEL_FILLS 8
/* kind 0: the generic path; 1: the inline value at index; 2: the object
   slot at byte offset index. */
typedef struct { unsigned int version; int kind; Py_ssize_t index; int fills; } __tovel_attr_site;
#define __TOVEL_VERSION(tp) __TOVEL_AT(tp, __TOVEL_TP_VERSION, unsigned int)

/* Whether the type keeps its instances' attributes in inline values. */
static int __tovel_has_inline_values(PyTypeObject *tp) {
    unsigned long flags = PyType_GetFlags(tp);
    return (flags & __TOVEL_TPFLAGS_MANAGED_DICT) && (flags & Py_TPFLAGS_HEAPTYPE)
        && (__tovel_minor() == 12 || (flags & (1UL << 2)));
}

/* The instance's inline values, or NULL where it has none (or they were
   given up for a dict of its own). */
static CYTHON_INLINE PyObject **__tovel_inline_values(PyObject *o) {
    if (__tovel_minor() == 12) {
        /* 3.12 tags the pointer to the values by taking one off it */
        uintptr_t word = __TOVEL_AT(o, __TOVEL_MANAGED_DICT, uintptr_t);
        return likely(word & 1) ? (PyObject **)(word + 1) : NULL;
    }
    char *values = (char *)o + __TOVEL_AT(Py_TYPE(o), __TOVEL_TP_BASICSIZE, Py_ssize_t);
    return likely(values[3]) ? (PyObject **)(values + 8) : NULL;
}

/* The type's version tag where it has a valid one, else 0. */
static unsigned int __tovel_version(PyTypeObject *tp) {
    if (__tovel_minor() == 12 && !(PyType_GetFlags(tp) & (1UL << 19))) return 0;
    return __TOVEL_VERSION(tp);
}

/* What the type's look-up finds for `name` in its MRO: a new reference, or
   NULL, with no error set. */
static PyObject *__tovel_type_lookup(PyTypeObject *tp, PyObject *name) {
#ifndef Py_LIMITED_API
    return Py_XNewRef(_PyType_Lookup(tp, name));
#else
    PyObject *found = NULL, *mro_name = PyUnicode_InternFromString("__mro__"), *dict_name = PyUnicode_InternFromString("__dict__");
    PyObject *mro = mro_name ? PyObject_GenericGetAttr((PyObject *)tp, mro_name) : NULL;
    Py_ssize_t i, n = mro && dict_name && PyTuple_Check(mro) ? PyTuple_Size(mro) : 0;
    for (i = 0; i < n && !found; i++) {
        PyObject *dict = PyObject_GenericGetAttr(PyTuple_GetItem(mro, i), dict_name);
        found = dict ? PyObject_GetItem(dict, name) : NULL;
        Py_XDECREF(dict);
        if (!found) PyErr_Clear();
    }
    Py_XDECREF(mro);
    Py_XDECREF(mro_name);
    Py_XDECREF(dict_name);
    PyErr_Clear();
    return found;
#endif
}

/* The index of `name` in the type's shared keys: -1 where it is not there,
   -2 where the type has none. */
static Py_ssize_t __tovel_shared_index(PyTypeObject *tp, PyObject *name, char **shared) {
    char *keys = __TOVEL_AT(tp, __TOVEL_HT_CACHED_KEYS, char *);
    if (shared) *shared = keys;
    if (keys == NULL || __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) != __TOVEL_DK_SPLIT) return -2;
    PyObject **entries = (PyObject **)(keys + __TOVEL_DK_INDICES + ((size_t)1 << __TOVEL_AT(keys, __TOVEL_DK_LOG2_INDEX_BYTES, uint8_t)));
    Py_ssize_t i, n = __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t);
    for (i = 0; i < n; i++) {
        PyObject *key = entries[2 * i];
        if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return i;
    }
    return -1;
}

/* Where the attribute `name` of instances of `tp` is loaded from (store 0) or
   stored to (store 1), as the generic look-up would find it. Returns 0 where
   no version of the type vouches for an answer (a name not yet among the
   shared keys). */
static int __tovel_attr_plan(PyTypeObject *tp, PyObject *name, int store, __tovel_attr_site *plan) {
    plan->kind = 0;
    plan->index = 0;
    if (!PyUnicode_CheckExact(name) || !(PyType_GetFlags(tp) & Py_TPFLAGS_HEAPTYPE)) return 1;
    if (store ? PyType_GetSlot(tp, Py_tp_setattro) != (void *)PyObject_GenericSetAttr
              : PyType_GetSlot(tp, Py_tp_getattro) != (void *)PyObject_GenericGetAttr) return 1;
    PyObject *descr = __tovel_type_lookup(tp, name);
    int data = descr && (Py_IS_TYPE(descr, &PyMemberDescr_Type) || PyType_GetSlot(Py_TYPE(descr), Py_tp_descr_set));
    if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyMemberDef *member = __TOVEL_AT(descr, __TOVEL_DESCR_MEMBER, PyMemberDef *);
        if (member->type == Py_T_OBJECT_EX && member->flags == 0) {
            plan->kind = 2;
            plan->index = member->offset;
        }
    }
    Py_XDECREF(descr);
    /* A data descriptor comes before the instance's own values. */
    if (data || !__tovel_has_inline_values(tp)) return 1;
    Py_ssize_t index = __tovel_shared_index(tp, name, NULL);
    if (index == -1) return 0;
    if (index >= 0) {
        plan->kind = 1;
        plan->index = index;
    }
    return 1;
}

/* Fills the site from the type of `o`. */
static void __tovel_attr_fill(PyObject *o, PyObject *name, int store, __tovel_attr_site *site) {
    __tovel_attr_site plan;
    if (!__tovel_minor() || site->fills >= __TOVEL_FILLS) return;
    site->fills++;
    if (!__tovel_attr_plan(Py_TYPE(o), name, store, &plan)) return;
    /* Read after the look-up, which may have given the type its tag. */
    plan.version = __tovel_version(Py_TYPE(o));
    if (plan.version != 0) {
        site->version = plan.version;
        site->kind = plan.kind;
        site->index = plan.index;
    }
}
#endif
)C";

// Loads of named attributes (`self.pos`), as the interpreter's specialised
// loads do: an inline value that is set, an object slot that is set.
static const char *CACHE_LOAD = R"C(
#ifdef __TOVEL_CACHES
static CYTHON_INLINE PyObject *__tovel_attr_load(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(o)) == site->version && site->version != 0)) {
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
    static __tovel_attr_site __tovel_site = {0, 0, 0, 0}; __tovel_attr_load((o), (n), &__tovel_site); })
#elif !defined(__TOVEL_CACHES_FT)
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
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(o)) == site->version && site->version != 0)) {
        PyObject **slot = NULL;
        if (site->kind == 1) {
            PyObject **values = __tovel_minor() >= 13 && __TOVEL_AT(o, __TOVEL_MANAGED_DICT, PyObject *)
                ? NULL : __tovel_inline_values(o);
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
    static __tovel_attr_site __tovel_site = {0, 0, 0, 0}; __tovel_attr_store((o), (n), (v), &__tovel_site); })
#elif !defined(__TOVEL_CACHES_FT)
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
typedef struct { unsigned int version; PyObject *function; char *keys; Py_ssize_t nentries; int fills; } __tovel_method_site;

static PyObject *__tovel_method_fill(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyTypeObject *tp = Py_TYPE(args[0]);
    if (!__tovel_minor() || site->fills >= __TOVEL_FILLS || !PyUnicode_CheckExact(name)
            || PyType_GetSlot(tp, Py_tp_getattro) != (void *)PyObject_GenericGetAttr)
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    site->fills++;
    PyObject *function = __tovel_type_lookup(tp, name);
    char *keys = NULL;
    Py_ssize_t nentries = 0;
    if (function && (PyType_GetFlags(Py_TYPE(function)) & (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
            != (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
        Py_CLEAR(function);
    if (function && __tovel_has_inline_values(tp)) {
        /* An instance with a dict of its own says nothing of the others. */
        if (__tovel_inline_values(args[0]) == NULL) {
            Py_DECREF(function);
            return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
        }
        if (__tovel_shared_index(tp, name, &keys) != -1) Py_CLEAR(function);
        else nentries = __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t);
    } else if (function && ((PyType_GetFlags(tp) & __TOVEL_TPFLAGS_MANAGED_DICT) || __TOVEL_AT(tp, __TOVEL_TP_DICTOFFSET, Py_ssize_t))) {
        Py_CLEAR(function);
    }
    /* The type keeps the function while it keeps this version. */
    Py_XDECREF(function);
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
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(self)) == site->version && site->version != 0)) {
        PyObject *function = site->function;
        if (likely(function != NULL) && (site->keys == NULL
                || (__TOVEL_AT(site->keys, __TOVEL_DK_NENTRIES, Py_ssize_t) == site->nentries
                    && __tovel_inline_values(self) != NULL))) {
            PyObject *result;
            Py_INCREF(function);
            /* args[0] is the instance, not a slot the callee may reuse */
#ifdef Py_LIMITED_API
            result = PyObject_Vectorcall(function, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
#else
            result = PyVectorcall_Function(function)(function, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
#endif
            Py_DECREF(function);
            return result;
        }
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    }
    return __tovel_method_fill(name, args, nargsf, site);
}
#define __tovel_CallMethod(name, args, nargsf) __extension__ ({ \
    static __tovel_method_site __tovel_site = {0, NULL, NULL, 0, 0}; __tovel_method_call((name), (args), (nargsf), &__tovel_site); })
#elif !defined(__TOVEL_CACHES_FT)
#define __tovel_CallMethod(name, args, nargsf) __Pyx_PyObject_FastCallMethod(name, args, nargsf)
#endif
)C";

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
