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
/* kind 0: the generic path; 1: the instance's own attribute (an inline value
   at index, where the name is among the shared keys, or an entry of the
   instance's dict, at the hint first), else the class's value; 2: the
   object slot at byte offset index; 3: the class's value, of instances with
   no dict. cls: what the type's look-up found, no data descriptor while its
   own type keeps version cls_version (a class given __set__ or __get__
   later changes its own version, not that of the types holding one), and
   the class's value where cls_value (no descriptor at all).
   keys and nentries: the shared keys of a type with inline values, and how
   many they were (they only grow: while as many, the name is none of them).
   kind 4: a class's own value read off the class (`Table.SIZE`), where
   `version` is its metatype's and owner_version the class's own.
   kind 5: what cls's get gives (a method bound, `pattern.sub`), of
   instances with no dict, where cls is no data descriptor; unbound: cls's
   type says that calling cls with the instance first is calling what its
   get gives (a function, a builtin method's descriptor), and a load for a
   call right after it gives cls and the instance, as the interpreter's
   method load does, without binding.
   fast: kind 1 of a type with inline values, with no class value whose
   type may change, where the name is among the shared keys or a load finds
   the class's value (the path a load or store takes at the site itself). */
typedef struct {
    unsigned int version; int kind; Py_ssize_t index; int fills; int hints; int inline_values;
    Py_ssize_t hint; PyObject *cls; unsigned int cls_version; int cls_value; char *keys; Py_ssize_t nentries;
    unsigned int owner_version; int fast; descrgetfunc get; int unbound;
} __tovel_attr_site;
#define __TOVEL_VERSION(tp) __TOVEL_AT(tp, __TOVEL_TP_VERSION, unsigned int)
#define __TOVEL_DK_ENTRIES(keys) \
    ((PyObject **)((keys) + __TOVEL_DK_INDICES + ((size_t)1 << __TOVEL_AT(keys, __TOVEL_DK_LOG2_INDEX_BYTES, uint8_t))))

/* Whether the type keeps its instances' attributes in inline values. */
static int __tovel_has_inline_values(PyTypeObject *tp) {
    unsigned long flags = PyType_GetFlags(tp);
    return (flags & __TOVEL_TPFLAGS_MANAGED_DICT) && (flags & Py_TPFLAGS_HEAPTYPE)
        && (__tovel_minor() == 12 || (flags & (1UL << 2)));
}

/* The instance's inline values, or NULL where it has none (or they were
   given up for a dict of its own). */
static inline __attribute__((always_inline)) PyObject **__tovel_inline_values(PyObject *o) {
    if (__tovel_minor_known() == 12) {
        /* 3.12 tags the pointer to the values by taking one off it */
        uintptr_t word = __TOVEL_AT(o, __TOVEL_MANAGED_DICT, uintptr_t);
        return likely(word & 1) ? (PyObject **)(word + 1) : NULL;
    }
    char *values = (char *)o + __TOVEL_AT(Py_TYPE(o), __TOVEL_TP_BASICSIZE, Py_ssize_t);
    return likely(values[3]) ? (PyObject **)(values + 8) : NULL;
}

/* The instance's own dict where the type manages it: NULL where it has none
   (or keeps its values inline, on 3.12). */
static inline __attribute__((always_inline)) PyObject *__tovel_managed_dict(PyObject *o) {
    uintptr_t word = __TOVEL_AT(o, __TOVEL_MANAGED_DICT, uintptr_t);
    return __tovel_minor_known() == 12 && (word & 1) ? NULL : (PyObject *)word;
}

/* The value of `name` in the dict at the hint, as the interpreter's loads
   with a hint read it: a combined table of string keys whose entry at the
   hint holds that very name; else NULL. */
static CYTHON_INLINE PyObject *__tovel_dict_hint(PyObject *dict, PyObject *name, Py_ssize_t hint) {
    char *keys = __TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *);
    if (__TOVEL_AT(dict, __TOVEL_DICT_VALUES, void *) != NULL || __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) != __TOVEL_DK_UNICODE
            || hint >= __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t))
        return NULL;
    PyObject **entry = __TOVEL_DK_ENTRIES(keys) + 2 * hint;
    return entry[0] == name ? entry[1] : NULL;
}

/* Whether looking `name` up in the dict cannot run code or fail: its keys
   are all strings. */
static CYTHON_INLINE int __tovel_dict_plain(PyObject *dict) {
    return __TOVEL_AT(__TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *), __TOVEL_DK_KIND, uint8_t) != 0;
}

/* The index of `name` in the dict's combined table, or -1. */
static Py_ssize_t __tovel_dict_index(PyObject *dict, PyObject *name) {
    char *keys = __TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *);
    Py_ssize_t i, n = __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t);
    if (__TOVEL_AT(dict, __TOVEL_DICT_VALUES, void *) != NULL || __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) != __TOVEL_DK_UNICODE)
        return -1;
    for (i = 0; i < n; i++)
        if (__TOVEL_DK_ENTRIES(keys)[2 * i] == name) return i;
    return -1;
}

/* Learns where `name` is in the dict, a few times per site (instances
   whose attributes came in another order). */
static void __tovel_rehint(PyObject *dict, PyObject *name, int *hints, Py_ssize_t *hint) {
    if (*hints < __TOVEL_FILLS) {
        ++*hints;
        *hint = __tovel_dict_index(dict, name);
    }
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

/* Whether loads from instances of `tp` give what the generic look-up finds
   where it finds something: the type reads attributes generically, or it
   has the hook of a class given __getattr__ whose __getattribute__ is the
   generic one's wrapper (object's, dict's), which tries the generic look-up
   first and asks __getattr__ only where that finds nothing (*hooked then
   1). The hook is learned from a class made with __getattr__, once; the
   versions of the last types refused are kept, so that a site of such
   types does not look again at each call. */
static void *__tovel_getattr_hook;
static unsigned int __tovel_hook_refused[4];
static int __tovel_hook_next;
static int __tovel_reads_generic(PyTypeObject *tp, int *hooked) {
    static PyObject *name;
    void *slot = PyType_GetSlot(tp, Py_tp_getattro);
    unsigned int version;
    PyObject *found;
    *hooked = 0;
    if (slot == (void *)PyObject_GenericGetAttr) return 1;
    if (__tovel_getattr_hook == NULL) {
        PyObject *ns = Py_BuildValue("{sO}", "__getattr__", Py_None);
        PyObject *cls = ns ? PyObject_CallFunction((PyObject *)&PyType_Type, "s()O", "__tovel_hooked", ns) : NULL;
        if (cls) __tovel_getattr_hook = PyType_GetSlot((PyTypeObject *)cls, Py_tp_getattro);
        Py_XDECREF(cls);
        Py_XDECREF(ns);
        PyErr_Clear();
    }
    if (slot == NULL || slot != __tovel_getattr_hook) return 0;
    version = __tovel_version(tp);
    if (version == 0 || version == __tovel_hook_refused[0] || version == __tovel_hook_refused[1]
            || version == __tovel_hook_refused[2] || version == __tovel_hook_refused[3])
        return 0;
    if (name == NULL && (name = PyUnicode_InternFromString("__getattribute__")) == NULL) {
        PyErr_Clear();
        return 0;
    }
    found = __tovel_type_lookup(tp, name);
    *hooked = found && Py_IS_TYPE(found, &PyWrapperDescr_Type)
        && __TOVEL_AT(found, __TOVEL_WRAPPER_WRAPPED, void *) == (void *)PyObject_GenericGetAttr;
    Py_XDECREF(found);
    if (!*hooked) __tovel_hook_refused[__tovel_hook_next++ & 3] = version;
    return *hooked;
}

/* Where the attribute `name` of instances of `tp` is loaded from (store 0) or
   stored to (store 1), as the generic look-up would find it. Returns 0 where
   the type cannot be served (shared keys the layout does not know). */
static int __tovel_attr_plan(PyTypeObject *tp, PyObject *name, int store, __tovel_attr_site *plan) {
    plan->kind = 0;
    plan->index = -1;
    plan->inline_values = 0;
    plan->cls = NULL;
    plan->cls_version = 0;
    plan->cls_value = 0;
    plan->keys = NULL;
    plan->nentries = 0;
    plan->get = NULL;
    plan->unbound = 0;
    if (!PyUnicode_CheckExact(name) || !(PyType_GetFlags(tp) & Py_TPFLAGS_HEAPTYPE)) return 1;
    int hooked = 0;
    if (store ? PyType_GetSlot(tp, Py_tp_setattro) != (void *)PyObject_GenericSetAttr
              : !__tovel_reads_generic(tp, &hooked)) return 1;
    PyObject *descr = __tovel_type_lookup(tp, name);
    int data = descr && (Py_IS_TYPE(descr, &PyMemberDescr_Type) || PyType_GetSlot(Py_TYPE(descr), Py_tp_descr_set));
    if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyMemberDef *member = __TOVEL_AT(descr, __TOVEL_DESCR_MEMBER, PyMemberDef *);
        if (member->type == Py_T_OBJECT_EX && member->flags == 0) {
            plan->kind = 2;
            plan->index = member->offset;
        }
    }
    /* A class attribute that is no descriptor (a table, a constant) is what
       a load gives where the instance has no value of that name. The type
       holds it while it keeps its version. */
    if (descr && !data) {
        plan->cls = descr;
        plan->cls_version = __tovel_version(Py_TYPE(descr));
        if (!plan->cls_version && Py_IS_TYPE((PyObject *)Py_TYPE(descr), &PyType_Type)) {
            /* A type no look-up went through yet (method_descriptor) has no
               version: a look-up of a name `type` lacks gives it one. */
            PyObject *get = PyUnicode_InternFromString("__get__");
            PyObject *found = get ? PyObject_GetAttr((PyObject *)Py_TYPE(descr), get) : NULL;
            Py_XDECREF(found);
            Py_XDECREF(get);
            PyErr_Clear();
            plan->cls_version = __tovel_version(Py_TYPE(descr));
        }
        plan->cls_value = !store && !PyType_GetSlot(Py_TYPE(descr), Py_tp_descr_get);
    }
    Py_XDECREF(descr);
    /* A data descriptor comes before the instance's own values. */
    if (data || (plan->cls && !plan->cls_version)) return 1;
    if (!(PyType_GetFlags(tp) & __TOVEL_TPFLAGS_MANAGED_DICT)) {
        if (__TOVEL_AT(tp, __TOVEL_TP_DICTOFFSET, Py_ssize_t) != 0 || !plan->cls) return 1;
        if (plan->cls_value) plan->kind = 3;
        else if (!store) {
            plan->get = (descrgetfunc)PyType_GetSlot(Py_TYPE(plan->cls), Py_tp_descr_get);
            plan->unbound = (PyType_GetFlags(Py_TYPE(plan->cls)) & Py_TPFLAGS_METHOD_DESCRIPTOR) != 0;
            /* behind the hook, only a get that cannot fail: an AttributeError
               of another get would go to __getattr__ */
            plan->kind = plan->get && (plan->unbound || !hooked) ? 5 : 0;
        }
        return 1;
    }
    plan->kind = 1;
    if (__tovel_has_inline_values(tp)) {
        plan->index = __tovel_shared_index(tp, name, &plan->keys);
        if (plan->index == -2) {
            plan->kind = 0;
            return 0;
        }
        plan->inline_values = 1;
        plan->nentries = __TOVEL_AT(plan->keys, __TOVEL_DK_NENTRIES, Py_ssize_t);
    }
    return 1;
}

/* Where a load of `name` off the class `cls` is served from: the class's
   value, as the type's look-up finds it, where the metatype reads
   attributes as `type` does and has no attribute of that name (which would
   come first were it a data descriptor) and the value is no descriptor. The
   class holds the value while it keeps its version (its dict changes only
   through it), and the metatype's version covers the metatype. */
static void __tovel_class_plan(PyObject *cls, PyObject *name, __tovel_attr_site *plan) {
    PyTypeObject *meta = Py_TYPE(cls);
    PyObject *found;
    if (!PyUnicode_CheckExact(name) || PyType_GetSlot(meta, Py_tp_getattro) != PyType_GetSlot(&PyType_Type, Py_tp_getattro))
        return;
    found = __tovel_type_lookup(meta, name);
    if (found) {
        Py_DECREF(found);
        return;
    }
    found = __tovel_type_lookup((PyTypeObject *)cls, name);
    if (found && !PyType_GetSlot(Py_TYPE(found), Py_tp_descr_get) && __tovel_version(Py_TYPE(found))) {
        /* A class with no version yet is given one by the generic look-up
           that follows; the next load fills the site again. */
        plan->kind = 4;
        plan->owner_version = __tovel_version((PyTypeObject *)cls);
        if (plan->owner_version) {
            plan->cls = found;
            plan->cls_version = __tovel_version(Py_TYPE(found));
            plan->cls_value = 1;
        }
    }
    Py_XDECREF(found);
}

/* Fills the site from the type of `o`. */
static void __tovel_attr_fill(PyObject *o, PyObject *name, int store, __tovel_attr_site *site) {
    __tovel_attr_site plan;
    if (!__tovel_minor() || site->fills >= __TOVEL_FILLS) return;
    site->fills++;
    if (!store && PyType_Check(o)) {
        /* no memset: the limited API of 3.13 and later leaves string.h out of Python.h */
        plan = (__tovel_attr_site){0};
        __tovel_class_plan(o, name, &plan);
    } else if (!__tovel_attr_plan(Py_TYPE(o), name, store, &plan)) return;
    /* Read after the look-up, which may have given the type its tag. */
    plan.version = __tovel_version(Py_TYPE(o));
    plan.fast = plan.kind == 1 && plan.inline_values && (plan.index >= 0 || plan.cls_value)
        && (plan.cls == NULL || (PyType_GetFlags(Py_TYPE(plan.cls)) & Py_TPFLAGS_IMMUTABLETYPE));
    if (plan.version != 0) {
        plan.fills = site->fills;
        plan.hints = site->hints;
        plan.hint = site->hint;
        *site = plan;
    }
}

/* Whether what the type's look-up found is as it was (no descriptor since). */
static CYTHON_INLINE int __tovel_class_same(__tovel_attr_site *site) {
    return site->cls == NULL || __TOVEL_VERSION(Py_TYPE(site->cls)) == site->cls_version;
}

/* The class's value, where it serves. */
#define __tovel_class_value(site) ((site)->cls_value ? (site)->cls : NULL)

/* The value of kind 1 in an instance without inline values whose own dict
   (if any) is `dict`, borrowed, or NULL where the generic path serves it. */
static PyObject *__tovel_own_value(PyObject *dict, PyObject *name, __tovel_attr_site *site) {
    PyObject *value;
    if (dict == NULL) return __tovel_class_value(site);
    value = __tovel_dict_hint(dict, name, site->hint);
    if (value != NULL) return value;
    if (!__tovel_dict_plain(dict)) return NULL;
    value = PyDict_GetItemWithError(dict, name);
    if (value == NULL) return __tovel_class_value(site);
    __tovel_rehint(dict, name, &site->hints, &site->hint);
    return value;
}

/* Whether a store into an instance dict may replace the value at a hint in
   place: the interpreter's own version counter of dicts is found where the
   layout puts it (each change of a dict takes the next version from it),
   or, from 3.14 on, dicts keep no version. */
static uint64_t *__tovel_dict_clock;
static int __tovel_dict_clock_seen;
static int __tovel_dict_stores(void) {
    if (unlikely(!__tovel_dict_clock_seen)) {
        Py_ssize_t offset = __tovel_minor() == 12 ? 270720 : __tovel_minor() == 13 ? 82560 : 0;
        uint64_t step = __tovel_minor() == 12 ? 256 : 4096, first, second;
        PyObject *probe = offset ? PyDict_New() : NULL;
        __tovel_dict_clock_seen = 1;
        if (probe) {
            /* two changes of a new dict: each takes the clock's next value */
            uint64_t *clock = (uint64_t *)((char *)PyInterpreterState_Get() + offset);
            if (PyDict_SetItem(probe, Py_None, Py_None) == 0) {
                first = __TOVEL_AT(probe, __TOVEL_DICT_TAG, uint64_t);
                if (first == *clock && PyDict_SetItem(probe, Py_None, Py_True) == 0) {
                    second = __TOVEL_AT(probe, __TOVEL_DICT_TAG, uint64_t);
                    if (second == *clock && second == first + step && !(first & (step - 1))) __tovel_dict_clock = clock;
                }
            }
            Py_DECREF(probe);
            PyErr_Clear();
        }
    }
    return __tovel_minor() >= 14 || __tovel_dict_clock != NULL;
}

/* Replaces the value of `name` at the hint in the instance dict, as the
   interpreter's stores with a hint do (a dict no watcher watches, and that
   the collector tracks where the value may need it); 0 where the generic store must serve. */
static CYTHON_INLINE int __tovel_dict_store(PyObject *dict, PyObject *name, PyObject *v, Py_ssize_t hint) {
    char *keys = __TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *);
    uint64_t tag = __TOVEL_AT(dict, __TOVEL_DICT_TAG, uint64_t);
    PyObject **entry, *old;
    if (__TOVEL_AT(dict, __TOVEL_DICT_VALUES, void *) != NULL || __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) != __TOVEL_DK_UNICODE
            || hint >= __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t) || (tag & 0xFF))
        return 0;
    entry = __TOVEL_DK_ENTRIES(keys) + 2 * hint;
    if (entry[0] != name || entry[1] == NULL || !__tovel_dict_stores()
            || (!PyObject_GC_IsTracked(dict) && (PyType_GetFlags(Py_TYPE(v)) & Py_TPFLAGS_HAVE_GC)))
        return 0;
    if (__tovel_minor() < 14) {
        uint64_t step = __tovel_minor() == 12 ? 256 : 4096;
        __TOVEL_AT(dict, __TOVEL_DICT_TAG, uint64_t) = (*__tovel_dict_clock += step) | (tag & (step - 1));
    }
    old = entry[1];
    entry[1] = Py_NewRef(v);
    Py_DECREF(old);
    return 1;
}
#endif
)C";

// Loads of named attributes (`self.pos`), as the interpreter's specialised
// loads do: an inline value that is set, an object slot that is set.
static const char *CACHE_LOAD = R"C(
#ifdef __TOVEL_CACHES
static __attribute__((noinline)) PyObject *__tovel_attr_load_site(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(o)) == site->version && site->version != 0)) {
        PyObject *value = NULL;
        if (site->kind == 4) {
            /* another class, or this one changed: filled again. The class's
               own version first: the value went with its class, and a class
               made later at its address has another version. */
            unsigned int owner = __TOVEL_VERSION((PyTypeObject *)o);
            if (likely(owner == site->owner_version && owner != 0)) value = __tovel_class_same(site) ? site->cls : NULL;
            else __tovel_attr_fill(o, name, 0, site);
        } else if (unlikely(!__tovel_class_same(site))) {
            /* the generic path */
        } else if (site->kind == 1) {
            PyObject **values = site->inline_values ? __tovel_inline_values(o) : NULL, *dict;
            if (values) {
                if (site->index >= 0) value = values[site->index];
                else if (__TOVEL_AT(site->keys, __TOVEL_DK_NENTRIES, Py_ssize_t) == site->nentries)
                    value = __tovel_class_value(site);
                /* the name may have joined the shared keys since */
                else site->version = 0;
            } else if (!(dict = __tovel_managed_dict(o)) || !(value = __tovel_dict_hint(dict, name, site->hint))) {
                value = __tovel_own_value(dict, name, site);
            }
        } else if (site->kind == 2) {
            value = *(PyObject **)((char *)o + site->index);
        } else if (site->kind == 3) {
            value = __tovel_class_value(site);
        } else if (site->kind == 5) {
            /* the generic path's call, without its look-up */
            return site->get(site->cls, o, (PyObject *)Py_TYPE(o));
        }
        if (likely(value != NULL)) return Py_NewRef(value);
    } else {
        __tovel_attr_fill(o, name, 0, site);
    }
    return __Pyx_PyObject_GetAttrStr(o, name);
}
/* The common cases at the site itself: a value among the inline values,
   the class's value where the name is none of the shared keys. */
__TOVEL_SITE_FN PyObject *__tovel_attr_load(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    if (likely(site->fast && __TOVEL_VERSION(Py_TYPE(o)) == site->version)) {
        PyObject **values = __tovel_inline_values(o), *value = NULL;
        if (likely(values != NULL)) {
            if (site->index >= 0) value = values[site->index];
            else if (__TOVEL_AT(site->keys, __TOVEL_DK_NENTRIES, Py_ssize_t) == site->nentries) value = site->cls;
        }
        if (likely(value != NULL)) return Py_NewRef(value);
    }
    return __tovel_attr_load_site(o, name, site);
}
#define __tovel_GetAttr(o, n) __extension__ ({ \
    static __tovel_attr_site __tovel_site; __tovel_attr_load((o), (n), &__tovel_site); })
/* A load whose value is called right after it: an unbound method and the
   instance in *self (NULL before), where the site's answer allows. */
static __attribute__((noinline)) PyObject *__tovel_method_load(PyObject *o, PyObject *name, __tovel_attr_site *site, PyObject **self) {
    if (likely(site->unbound && site->kind == 5 && __tovel_minor() && __TOVEL_VERSION(Py_TYPE(o)) == site->version
               && site->version != 0 && __tovel_class_same(site))) {
        *self = Py_NewRef(o);
        return Py_NewRef(site->cls);
    }
    return __tovel_attr_load_site(o, name, site);
}
#define __tovel_GetMethod(o, n, self) __extension__ ({ \
    static __tovel_attr_site __tovel_site; __tovel_method_load((o), (n), &__tovel_site, (self)); })
#define __TOVEL_LOADS 1
#elif !defined(__TOVEL_CACHES_FT)
#define __tovel_GetAttr(o, n) __Pyx_PyObject_GetAttrStr(o, n)
#endif
#ifndef __TOVEL_LOADS
#define __tovel_GetMethod(o, n, self) __tovel_GetAttr(o, n)
#endif
)C";

// Stores to named attributes (`self.pos = ...`) that replace a value: an
// inline value that is set, of an instance with no dict of its own (a dict
// made from the values must see the store); an object slot. A first store
// and a delete take the generic path, which keeps the values' order. An
// instance with a dict of its own (past 30 attributes, or one given
// through `__dict__`) is stored into as the generic path stores into it.
static const char *CACHE_STORE = R"C(
#ifdef __TOVEL_CACHES
static __attribute__((noinline)) int __tovel_attr_store_site(PyObject *o, PyObject *name, PyObject *v, __tovel_attr_site *site) {
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(o)) == site->version && site->version != 0)) {
        PyObject **slot = NULL;
        if (site->kind == 1 && __tovel_class_same(site)) {
            PyObject *dict = __tovel_managed_dict(o);
            PyObject **values = dict || !site->inline_values ? NULL : __tovel_inline_values(o);
            if (values && site->index >= 0 && values[site->index]) slot = &values[site->index];
            /* the name may have joined the shared keys since */
            else if (values && site->index < 0) site->version = 0;
            /* an instance with a dict of its own: the generic path's store into it */
            else if (dict && v) {
                if (__tovel_dict_store(dict, name, v, site->hint)) return 0;
                if (PyDict_SetItem(dict, name, v) < 0) return -1;
                __tovel_rehint(dict, name, &site->hints, &site->hint);
                return 0;
            }
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
/* The common case at the site itself: a set inline value replaced. */
__TOVEL_STORE_FN int __tovel_attr_store(PyObject *o, PyObject *name, PyObject *v, __tovel_attr_site *site) {
    if (likely(site->fast && site->index >= 0 && v != NULL && __TOVEL_VERSION(Py_TYPE(o)) == site->version)) {
        PyObject **values = __tovel_managed_dict(o) ? NULL : __tovel_inline_values(o);
        if (likely(values != NULL && values[site->index] != NULL)) {
            PyObject *old = values[site->index];
            values[site->index] = Py_NewRef(v);
            Py_DECREF(old);
            return 0;
        }
    }
    return __tovel_attr_store_site(o, name, v, site);
}
#define __tovel_SetAttr(o, n, v) __extension__ ({ \
    static __tovel_attr_site __tovel_site; __tovel_attr_store((o), (n), (v), &__tovel_site); })
#elif !defined(__TOVEL_CACHES_FT)
#define __tovel_SetAttr(o, n, v) __Pyx_PyObject_SetAttrStr(o, n, v)
#endif
)C";

// Method calls (`self.take()`, `text.isdigit()`), as the interpreter's
// specialised method loads do: the function the type's look-up found, where
// it is a method descriptor (a function, a compiled function, a method of a
// builtin type) and no instance can shadow it: the type gives its instances
// no dict, or they keep inline values and the name is not among the shared
// keys (which only grow), or the instance's own dict lacks it. The function is called as the generic path calls
// it, with the instance first. Where the type has nothing of that name (a
// function kept in an instance attribute, `self._key(item)`), the call is
// the generic path's too: the attribute, loaded through a load's cache,
// called with the arguments that follow the instance.
static const char *CACHE_METHOD = R"C(
#ifdef __TOVEL_CACHES
typedef struct {
    unsigned int version; PyObject *function; char *keys; Py_ssize_t nentries; int fills;
#ifdef __TOVEL_LOADS
    int load; __tovel_attr_site attr;
#endif
} __tovel_method_site;

static PyObject *__tovel_method_fill(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyTypeObject *tp = Py_TYPE(args[0]);
    int hooked;
    if (!__tovel_minor() || site->fills >= __TOVEL_FILLS || !PyUnicode_CheckExact(name) || !__tovel_reads_generic(tp, &hooked))
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    site->fills++;
    PyObject *function = __tovel_type_lookup(tp, name);
    int load = function == NULL;
    char *keys = NULL;
    Py_ssize_t nentries = 0;
    if (function && (PyType_GetFlags(Py_TYPE(function)) & (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
            != (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
        Py_CLEAR(function);
    if (function && __tovel_has_inline_values(tp)) {
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
#ifdef __TOVEL_LOADS
        site->load = load;
#endif
    }
    (void)load;
    return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
}

/* Whether the instance has no value of its own of that name: inline values
   while the shared keys are as many as when the site was filled, or a dict
   of its own without it. */
static CYTHON_INLINE int __tovel_unshadowed(PyObject *self, PyObject *name, __tovel_method_site *site) {
    PyObject *dict;
    if (likely(__tovel_inline_values(self) != NULL))
        return __TOVEL_AT(site->keys, __TOVEL_DK_NENTRIES, Py_ssize_t) == site->nentries;
    dict = __tovel_managed_dict(self);
    return dict == NULL || (__tovel_dict_plain(dict) && PyDict_GetItemWithError(dict, name) == NULL);
}

static CYTHON_INLINE PyObject *__tovel_method_call(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyObject *self = args[0];
    if (likely(__tovel_minor() && __TOVEL_VERSION(Py_TYPE(self)) == site->version && site->version != 0)) {
        PyObject *function = site->function;
        if (likely(function != NULL) && (site->keys == NULL || __tovel_unshadowed(self, name, site))) {
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
#ifdef __TOVEL_LOADS
        if (site->load) {
            PyObject *callable = __tovel_attr_load(self, name, &site->attr), *result;
            if (unlikely(callable == NULL)) return NULL;
            /* args[0], the instance, is the slot before the arguments, as the generic path leaves it */
            result = PyObject_Vectorcall(callable, args + 1, nargsf - 1, NULL);
            Py_DECREF(callable);
            return result;
        }
#endif
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    }
    return __tovel_method_fill(name, args, nargsf, site);
}
#define __tovel_CallMethod(name, args, nargsf) __extension__ ({ \
    static __tovel_method_site __tovel_site; __tovel_method_call((name), (args), (nargsf), &__tovel_site); })
#elif !defined(__TOVEL_CACHES_FT)
#define __tovel_CallMethod(name, args, nargsf) __Pyx_PyObject_FastCallMethod(name, args, nargsf)
#endif
)C";

// The sites, as Cython writes them, and the same through their caches: a
// named attribute of a variable or temporary (or of a variable that a
// generator or closure keeps in its scope object), loaded or stored; a
// method called by name.
static const char *GETATTR_SITE = R"(__Pyx_PyObject_GetAttrStr\((\(\(PyObject \*\)\w+(?:->\w+)*\)|\w+(?:->\w+)*), )"
                                  R"((__pyx_mstate_global->__pyx_n_[su]_\w+)\))";
static const char *GETATTR_CACHED = R"(__tovel_GetAttr(\1, \2))";
// A load through the cache whose value is called right after it, unpacked
// first if it is a bound method: the self the unpacking fills (NULL) filled
// by the load instead, and the call's arguments from that self on where it did.
static const char *METHOD_LOAD_SITE =
    R"(__tovel_GetAttr\(([^;\n]*), (__pyx_mstate_global->__pyx_n_[su]_\w+)\);( if \(unlikely\(!(__pyx_t_\d+)\)\) )"
    R"(__PYX_ERR\([^)\n]*\)\n[ \t]*__Pyx_GOTREF\(\4\);\n(?:[ \t]*__Pyx_DECREF\(__pyx_t_\d+\); __pyx_t_\d+ = 0;\n)?[ \t]*))"
    R"((__pyx_t_\d+) = 1;\n([ \t]*#if CYTHON_UNPACK_METHODS\n[ \t]*if \(unlikely\(PyMethod_Check\(\4\)\)\) \{\n)"
    R"([ \t]*(__pyx_t_\d+) = PyMethod_GET_SELF\(\4\);\n))";
static const char *METHOD_LOAD_CACHED = R"(__tovel_GetMethod(\1, \2, &\7);\3\5 = \7 == NULL;\n\6)";
static const char *SETATTR_SITE = R"(__Pyx_PyObject_SetAttrStr\((\(\(PyObject \*\)\w+(?:->\w+)*\)|\w+(?:->\w+)*), )"
                                  R"((__pyx_mstate_global->__pyx_n_[su]_\w+), )";
static const char *SETATTR_CACHED = R"(__tovel_SetAttr(\1, \2, )";
static const char *METHOD_SITE = R"(__Pyx_PyObject_FastCallMethod\((\(PyObject\*\)__pyx_mstate_global->__pyx_n_[su]_\w+), )";
static const char *METHOD_CACHED = R"(__tovel_CallMethod(\1, )";

// getattr(o, name, default) where o has no attribute of that name. Against
// the limited API before 3.13 Cython reads it with PyObject_GetAttr and
// drops the AttributeError, whose message is formatted first (thousands of
// instructions for `getattr(o, 'for_json', None)` on a dict). The
// interpreter's getattr makes no error there. A site keeps a few (type
// version, name) pairs found absent: the type reads attributes generically,
// gives its instances no dict, and its look-up finds nothing of that name.
// While the type keeps that version (a change of it or of a base changes it,
// as does a class given __getattr__), its instances have no such attribute
// and the default is the answer. Anything else takes Cython's path.
static const char *GETATTR3_PROTO = "static CYTHON_INLINE PyObject *__Pyx_GetAttr3(PyObject *, PyObject *, PyObject *);\n";
static const char *CACHE_ABSENT = R"C(
#ifdef __TOVEL_CACHES
#define __TOVEL_ABSENT 4
typedef struct { unsigned int version[__TOVEL_ABSENT]; PyObject *name[__TOVEL_ABSENT]; int next; int fills; } __tovel_absent_site;
/* After Cython's path gave the default: whether the type cannot have it. */
static __attribute__((noinline)) void __tovel_absent_learn(PyObject *o, PyObject *n, __tovel_absent_site *site) {
    PyTypeObject *tp = Py_TYPE(o);
    PyObject *found;
    unsigned int version;
    if (site->fills >= 4 * __TOVEL_FILLS || !__tovel_minor() || !PyUnicode_CheckExact(n) || PyErr_Occurred()
            || PyType_GetSlot(tp, Py_tp_getattro) != (void *)PyObject_GenericGetAttr
            || (PyType_GetFlags(tp) & __TOVEL_TPFLAGS_MANAGED_DICT) || __TOVEL_AT(tp, __TOVEL_TP_DICTOFFSET, Py_ssize_t) != 0)
        return;
    site->fills++;
    found = __tovel_type_lookup(tp, n);
    if (found) {
        Py_DECREF(found);
        return;
    }
    version = __tovel_version(tp);
    if (version == 0) return;
    Py_INCREF(n);
    Py_XDECREF(site->name[site->next]);
    site->name[site->next] = n;
    site->version[site->next] = version;
    site->next = (site->next + 1) % __TOVEL_ABSENT;
}
static CYTHON_INLINE PyObject *__tovel_getattr3(PyObject *o, PyObject *n, PyObject *d, __tovel_absent_site *site) {
    PyObject *r;
    int i;
    if (likely(__tovel_minor())) {
        unsigned int version = __TOVEL_VERSION(Py_TYPE(o));
        for (i = 0; i < __TOVEL_ABSENT; i++)
            if (site->name[i] == n && site->version[i] == version && version != 0) return Py_NewRef(d);
    }
    /* in parentheses: no site of the rewrite */
    r = (__Pyx_GetAttr3)(o, n, d);
    if (r == d) __tovel_absent_learn(o, n, site);
    return r;
}
#define __tovel_GetAttr3(o, n, d) __extension__ ({ \
    static __tovel_absent_site __tovel_site; __tovel_getattr3((o), (n), (d), &__tovel_site); })
#else
#define __tovel_GetAttr3(o, n, d) (__Pyx_GetAttr3)(o, n, d)
#endif
)C";
static const char *GETATTR3_SITE = R"(__Pyx_GetAttr3\((?!PyObject))";
static const char *GETATTR3_CACHED = "__tovel_GetAttr3(";

// Cython's append to what may be no list, and the same through a method
// call's cache.
static const char *APPEND_CALL = "PyObject* retval = __Pyx_PyObject_CallMethod1(L, __pyx_mstate_global->__pyx_n_u_append, x);";
static const char *APPEND_CACHED = "PyObject *__tovel_args[2] = {L, x};\n        PyObject* retval = __tovel_CallMethod("
                                   "__pyx_mstate_global->__pyx_n_u_append, __tovel_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);";

// Module globals where no dict version serves them (the limited API, and
// the full API from 3.14 on): each site keeps where its name lay in the
// module dict's entries and reads the value there while that entry still
// holds that very name, as the interpreter's loads with a hint read an
// instance's dict. A value rebound in place is read where it lies; a deleted
// name leaves its entry empty, and one bound again (or a dict whose keys are
// not all strings) takes the generic path, which learns the new place a few
// times per site. A builtin takes the generic path, which sees a global that
// shadows it. In the full API of 3.12 and 3.13 Cython's cache of a read
// holds while the module dict keeps its version, which every store into the
// dict changes (a module that rebinds a global of its own as it runs, where
// the interpreter's reads, keyed by the dict's keys, hold); there a read
// that the cache does not serve is read at the hint, and the cache filled
// with it, before the look-up.
static const char *GLOBAL_HINTS = R"C(
/* tovel: module globals read at a hint into the module dict */
#if defined(__TOVEL_LAYOUT) && !defined(__TOVEL_GLOBALS) && !defined(__TOVEL_GLOBAL_HINTS)
#define __TOVEL_GLOBAL_HINTS 1
typedef struct { Py_ssize_t hint; int fills; } __tovel_global_site;
/* The value at the site's hint, borrowed, or NULL where it is not there. */
static inline __attribute__((always_inline)) PyObject *__tovel_global_at(PyObject *dict, PyObject *name, __tovel_global_site *site) {
    if (likely(__tovel_minor_known() > 0 && dict != NULL)) {
        char *keys = __TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *);
        if (likely(__TOVEL_AT(dict, __TOVEL_DICT_VALUES, void *) == NULL
                   && __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) == __TOVEL_DK_UNICODE
                   && (size_t)site->hint < (size_t)__TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t))) {
            PyObject **entry = (PyObject **)(keys + __TOVEL_DK_INDICES
                                             + ((size_t)1 << __TOVEL_AT(keys, __TOVEL_DK_LOG2_INDEX_BYTES, uint8_t)))
                               + 2 * site->hint;
            if (likely(entry[0] == name)) return entry[1];
        }
    }
    return NULL;
}
/* Learns where the name lies in the dict, a few times per site. */
static void __tovel_global_hint(PyObject *dict, PyObject *name, __tovel_global_site *site) {
    if (__tovel_minor() && dict && site->fills < 8 && PyUnicode_CheckExact(name)) {
        char *keys = __TOVEL_AT(dict, __TOVEL_DICT_KEYS, char *);
        site->fills++;
        if (__TOVEL_AT(dict, __TOVEL_DICT_VALUES, void *) == NULL
                && __TOVEL_AT(keys, __TOVEL_DK_KIND, uint8_t) == __TOVEL_DK_UNICODE) {
            PyObject **entries = (PyObject **)(keys + __TOVEL_DK_INDICES
                                               + ((size_t)1 << __TOVEL_AT(keys, __TOVEL_DK_LOG2_INDEX_BYTES, uint8_t)));
            Py_ssize_t i, n = __TOVEL_AT(keys, __TOVEL_DK_NENTRIES, Py_ssize_t);
            for (i = 0; i < n; i++)
                if (entries[2 * i] == name) {
                    site->hint = i;
                    break;
                }
        }
    }
}
#if !CYTHON_USE_DICT_VERSIONS
static __attribute__((noinline)) PyObject *__tovel_global_learn(PyObject *dict, PyObject *name, __tovel_global_site *site) {
    __tovel_global_hint(dict, name, site);
    return __Pyx__GetModuleGlobalName(name);
}
__TOVEL_STORE_FN PyObject *__tovel_global(PyObject *dict, PyObject *name, __tovel_global_site *site) {
    PyObject *value = __tovel_global_at(dict, name, site);
    if (likely(value != NULL)) return Py_NewRef(value);
    return __tovel_global_learn(dict, name, site);
}
#undef __Pyx_GetModuleGlobalName
#define __Pyx_GetModuleGlobalName(var, name) (var) = __extension__ ({ \
    static __tovel_global_site __tovel_site = {0, 0}; \
    __tovel_global(__pyx_mstate_global->__pyx_d, (name), &__tovel_site); })
#elif !defined(Py_LIMITED_API)
static __attribute__((noinline)) PyObject *__tovel_global_versioned(PyObject *dict, PyObject *name, __tovel_global_site *site,
                                                                    PY_UINT64_T *version, PyObject **cached) {
    PyObject *value = __tovel_global_at(dict, name, site);
    if (likely(value != NULL)) {
        /* the value for the dict's present version, as Cython's look-up fills it */
        *version = __PYX_GET_DICT_VERSION(dict);
        *cached = value;
        return Py_NewRef(value);
    }
    __tovel_global_hint(dict, name, site);
    return __Pyx__GetModuleGlobalName(name, version, cached);
}
#undef __Pyx_GetModuleGlobalName
#define __Pyx_GetModuleGlobalName(var, name) do { \
    static PY_UINT64_T __pyx_dict_version = 0; \
    static PyObject *__pyx_dict_cached_value = NULL; \
    static __tovel_global_site __tovel_site = {0, 0}; \
    (var) = (likely(__pyx_dict_version == __PYX_GET_DICT_VERSION(__pyx_mstate_global->__pyx_d))) ? \
        (likely(__pyx_dict_cached_value) ? __Pyx_NewRef(__pyx_dict_cached_value) : __Pyx_GetBuiltinName(name)) : \
        __tovel_global_versioned(__pyx_mstate_global->__pyx_d, (name), &__tovel_site, &__pyx_dict_version, \
                                 &__pyx_dict_cached_value); \
} while (0)
#endif
#endif
)C";

}  // namespace tovel::tuner_c
