// The C that tovel.tuner adds to a translation for the full API: a cache at
// each load of an instance attribute. Included by tuner.cpp alone.
#pragma once

namespace tovel::tuner_c {

// Cython's declaration of its attribute load, after which the cache goes
// (the cache calls it on every path it does not serve itself).
static const char *GETATTR_PROTO = R"C(#if CYTHON_USE_TYPE_SLOTS
static CYTHON_INLINE PyObject* __Pyx_PyObject_GetAttrStr(PyObject* obj, PyObject* attr_name);
#else
#define __Pyx_PyObject_GetAttrStr(o,n) PyObject_GetAttr(o,n)
#endif
)C";

// Instance attributes. The interpreter specialises a load of an attribute
// that lives in the instance's inline values (no class attribute or
// descriptor of that name anywhere in the type's MRO, the name in the
// type's shared keys): it keeps the type's version tag and the index of the
// value, and on a later load of an instance of a type with that version it
// reads the value at that index, provided the instance still has its inline
// values and the value is set. Anything else is the generic look-up. Each
// load site here keeps the same (version, index) pair, filled and used under
// the same conditions; a version whose answer is the generic look-up is kept
// too (index -1), so that a method or property load does not repeat the
// type's look-up each time. A version tag names one state of one type: a
// change to the type or to any class of its MRO gives it a new one, and tags
// are not reused. A module of this kind loads in one interpreter only, so a
// static cache never sees another interpreter's types.
// CPython with the GIL, 3.12 to 3.14, full API, gcc or clang only; a build
// with -DTOVEL_NO_ATTR_CACHE keeps the generic look-up.
static const char *ATTR_CACHE = R"C(
/* tovel: per-site caches for loads of instance attributes */
#if !defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED) && !defined(TOVEL_NO_ATTR_CACHE) && CYTHON_COMPILING_IN_CPYTHON \
    && CYTHON_USE_TYPE_SLOTS && defined(__GNUC__) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030F0000
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
typedef struct { unsigned int version; int index; } __tovel_attr_site;

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

/* Fills the site from the type of `o`, then loads as Cython does. */
CYTHON_UNUSED static PyObject *__tovel_attr_fill(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    PyTypeObject *tp = Py_TYPE(o);
    int index = -1;
    if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)
#if PY_VERSION_HEX >= 0x030D0000
        && (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)
#endif
        && (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        if (_PyType_Lookup(tp, name) == NULL) {
            PyDictKeysObject *keys = ((PyHeapTypeObject *)tp)->ht_cached_keys;
            if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) return __Pyx_PyObject_GetAttrStr(o, name);
            PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
            Py_ssize_t i, n = keys->dk_nentries;
            for (i = 0; i < n && index < 0; i++) {
                PyObject *key = entries[i].me_key;
                if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0))
                    index = (int)i;
            }
            /* Not (yet) an attribute of this type's instances: no answer
               the version vouches for. */
            if (index < 0) return __Pyx_PyObject_GetAttrStr(o, name);
        }
    }
    /* Read after the look-up, which may have given the type its tag. */
    if (tp->tp_version_tag != 0
#if PY_VERSION_HEX < 0x030D0000
        && (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)
#endif
        ) {
        site->version = tp->tp_version_tag;
        site->index = index;
    }
    return __Pyx_PyObject_GetAttrStr(o, name);
}

static CYTHON_INLINE PyObject *__tovel_attr_load(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    PyTypeObject *tp = Py_TYPE(o);
    if (likely(tp->tp_version_tag == site->version && site->version != 0)) {
        if (likely(site->index >= 0)) {
            PyObject **values = __tovel_inline_values(o);
            PyObject *value = values ? values[site->index] : NULL;
            if (likely(value != NULL)) return Py_NewRef(value);
        }
        return __Pyx_PyObject_GetAttrStr(o, name);
    }
    return __tovel_attr_fill(o, name, site);
}
#define __tovel_GetAttr(o, n) __extension__ ({ \
    static __tovel_attr_site __tovel_site = {0, -1}; __tovel_attr_load((o), (n), &__tovel_site); })
#else
#define __tovel_GetAttr(o, n) __Pyx_PyObject_GetAttrStr(o, n)
#endif
)C";

// A load of a named attribute of a variable or temporary, as Cython writes
// it, and the same load through the site's cache.
static const char *GETATTR_SITE = R"(__Pyx_PyObject_GetAttrStr\((\(\(PyObject \*\)\w+\)|\w+), )"
                                  R"((__pyx_mstate_global->__pyx_n_[su]_\w+)\))";
static const char *GETATTR_CACHED = R"(__tovel_GetAttr(\1, \2))";

}  // namespace tovel::tuner_c
