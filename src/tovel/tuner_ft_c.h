// The C that tovel.tuner adds to a translation for free-threaded CPython
// 3.14: the caches of tuner_c.h and the subscripts and float reuse of
// tuner_layout_c.h, made safe the way the interpreter makes its own
// specialisation safe without a GIL, and the writes of closure cells.
// Included by tuner.cpp alone, after tuner_c.h.
#pragma once

namespace tovel::tuner_c {

// What the caches share. Any thread may change a type, an instance or a
// site while another reads them, so: a type's version is read atomically; a
// site's answer is one word (or one pointer to an answer that is never
// changed), read and written whole; a value loaded from an instance is
// taken with the conditional increment the interpreter uses (it fails where
// another thread replaced or freed the value, and the generic path, which
// locks, serves it then); a store locks the instance as the interpreter's
// specialised stores do. The type's look-up and the version an answer is
// kept under are read with no change of the type between them: a change
// clears the version before it touches the type, and a new version is only
// given after it.
static const char *FT_COMMON = R"C(
/* tovel: per-site caches on free-threaded CPython */
#ifdef __TOVEL_FT
#define __TOVEL_CACHES_FT 1
#define __TOVEL_FILLS 8
/* kind in bits 0-1 (0 the generic path, 1 an inline value, 2 an object
   slot), where it lies in bits 2-31 (an object slot: its byte offset; an
   inline value: the byte offset of the values in bits 2-17 and its index
   in bits 18-31, so that a load reads nothing of the type but its
   version), the type's version in bits 32-63 (0: no answer yet) */
typedef struct { uint64_t word; int fills; } __tovel_attr_site;

static CYTHON_INLINE unsigned int __tovel_version(PyTypeObject *tp) {
    return _Py_atomic_load_uint_relaxed(&tp->tp_version_tag);
}

/* Whether a site may be filled once more. */
static int __tovel_fill_start(int *fills) {
    if (_Py_atomic_load_int_relaxed(fills) >= __TOVEL_FILLS) return 0;
    _Py_atomic_add_int(fills, 1);
    return 1;
}

/* The type's version, after a look-up of `name` that gives a type without
   one its version; 0 where it has none. */
static unsigned int __tovel_settled_version(PyTypeObject *tp, PyObject *name) {
    unsigned int version = __tovel_version(tp);
    if (version == 0) {
        Py_XDECREF(_PyType_LookupRef(tp, name));
        version = __tovel_version(tp);
    }
    return version;
}

/* The index of `name` in the type's shared keys, read under their lock: -1
   where it is not there, -2 where the type has none. */
static Py_ssize_t __tovel_shared_index(PyTypeObject *tp, PyObject *name, PyDictKeysObject **shared, Py_ssize_t *count) {
    PyDictKeysObject *keys = ((PyHeapTypeObject *)tp)->ht_cached_keys;
    Py_ssize_t i, n, found = -1;
    if (shared) *shared = keys;
    if (keys == NULL || keys->dk_kind != DICT_KEYS_SPLIT) return -2;
    PyMutex_Lock(&keys->dk_mutex);
    n = keys->dk_nentries;
    for (i = 0; i < n && found < 0; i++) {
        PyObject *key = DK_UNICODE_ENTRIES(keys)[i].me_key;
        if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) found = i;
    }
    PyMutex_Unlock(&keys->dk_mutex);
    if (count) *count = n;
    return found;
}

/* Where the attribute `name` of instances of `tp` is loaded from (store 0)
   or stored to (store 1), as kind and index; 0 where no version vouches for
   an answer (a name not yet among the shared keys). */
static int __tovel_attr_plan(PyTypeObject *tp, PyObject *name, int store, uint64_t *plan) {
    *plan = 0;
    if (!PyUnicode_CheckExact(name) || !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) return 1;
    if (store ? tp->tp_setattro != PyObject_GenericSetAttr : tp->tp_getattro != PyObject_GenericGetAttr) return 1;
    PyObject *descr = _PyType_LookupRef(tp, name);
    int data = descr && (Py_IS_TYPE(descr, &PyMemberDescr_Type) || Py_TYPE(descr)->tp_descr_set);
    if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyMemberDef *member = ((PyMemberDescrObject *)descr)->d_member;
        if (member->type == Py_T_OBJECT_EX && member->flags == 0 && member->offset > 0 && member->offset < (1 << 29))
            *plan = ((uint64_t)member->offset << 2) | 2;
    }
    /* Something of a class that may be given __set__ later (without a change
       of this type's version) could come before them. */
    int mutable_kind = descr && !(Py_TYPE(descr)->tp_flags & Py_TPFLAGS_IMMUTABLETYPE);
    Py_XDECREF(descr);
    /* A data descriptor comes before the instance's own values. */
    if (data || mutable_kind || !(tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return 1;
    Py_ssize_t index = __tovel_shared_index(tp, name, NULL, NULL);
    if (index == -1) return 0;
    if (index >= 0 && index < (1 << 14) && tp->tp_basicsize < (1 << 16))
        *plan = ((uint64_t)index << 18) | ((uint64_t)tp->tp_basicsize << 2) | 1;
    return 1;
}

static void __tovel_attr_fill(PyObject *o, PyObject *name, int store, __tovel_attr_site *site) {
    PyTypeObject *tp = Py_TYPE(o);
    uint64_t plan;
    if (!__tovel_fill_start(&site->fills)) return;
    unsigned int version = __tovel_settled_version(tp, name);
    if (version == 0 || !__tovel_attr_plan(tp, name, store, &plan) || __tovel_version(tp) != version) return;
    _Py_atomic_store_uint64_relaxed(&site->word, ((uint64_t)version << 32) | plan);
}

/* The slot of the inline value or object slot the site's answer names, or
   NULL where the instance has given its inline values up. */
static CYTHON_INLINE PyObject **__tovel_attr_slot(PyObject *o, uint64_t word) {
    if ((word & 3) == 2) return (PyObject **)((char *)o + ((uint32_t)word >> 2));
    if ((word & 3) == 1) {
        PyDictValues *values = (PyDictValues *)((char *)o + (((uint32_t)word >> 2) & 0xFFFF));
        if (_Py_atomic_load_uint8(&values->valid)) return &values->values[(uint32_t)word >> 18];
    }
    return NULL;
}
#endif
)C";

// Loads, as the interpreter's specialised loads do without a GIL.
static const char *FT_LOAD = R"C(
#ifdef __TOVEL_CACHES_FT
static CYTHON_INLINE PyObject *__tovel_attr_load(PyObject *o, PyObject *name, __tovel_attr_site *site) {
    uint64_t word = _Py_atomic_load_uint64_relaxed(&site->word);
    unsigned int version = (unsigned int)(word >> 32);
    if (likely(version != 0 && version == __tovel_version(Py_TYPE(o)))) {
        PyObject **slot = __tovel_attr_slot(o, word);
        if (likely(slot != NULL)) {
            PyObject *value = (PyObject *)_Py_atomic_load_ptr_acquire(slot);
            if (likely(value != NULL) && _Py_TryIncrefCompare(slot, value)) return value;
        }
    } else {
        __tovel_attr_fill(o, name, 0, site);
    }
    return __Pyx_PyObject_GetAttrStr(o, name);
}
#define __tovel_GetAttr(o, n) __extension__ ({ \
    static __tovel_attr_site __tovel_site = {0, 0}; __tovel_attr_load((o), (n), &__tovel_site); })
#endif
)C";

// Stores that replace a value, under the instance's lock taken without
// waiting (where another thread holds it, the generic path waits for it).
static const char *FT_STORE = R"C(
#ifdef __TOVEL_CACHES_FT
static CYTHON_INLINE int __tovel_attr_store(PyObject *o, PyObject *name, PyObject *v, __tovel_attr_site *site) {
    uint64_t word = _Py_atomic_load_uint64_relaxed(&site->word);
    unsigned int version = (unsigned int)(word >> 32);
    if (likely(version != 0 && version == __tovel_version(Py_TYPE(o)))) {
        if ((word & 3) != 0 && v != NULL && PyMutex_LockFast(&o->ob_mutex)) {
            PyObject **slot = NULL;
            if (__tovel_version(Py_TYPE(o)) == version && ((word & 3) == 2 || _PyObject_GetManagedDict(o) == NULL)) {
                slot = __tovel_attr_slot(o, word);
                /* a first store keeps the values' order: the generic path */
                if (slot != NULL && (word & 3) == 1 && *slot == NULL) slot = NULL;
            }
            if (likely(slot != NULL)) {
                PyObject *old = *slot;
                _Py_atomic_store_ptr_release(slot, Py_NewRef(v));
                PyMutex_Unlock(&o->ob_mutex);
                Py_XDECREF(old);
                return 0;
            }
            PyMutex_Unlock(&o->ob_mutex);
        }
    } else {
        __tovel_attr_fill(o, name, 1, site);
    }
    return __Pyx_PyObject_SetAttrStr(o, name, v);
}
#define __tovel_SetAttr(o, n, v) __extension__ ({ \
    static __tovel_attr_site __tovel_site = {0, 0}; __tovel_attr_store((o), (n), (v), &__tovel_site); })
#endif
)C";

// Method calls. An answer is kept only for a function whose reference
// count is deferred or that is immortal (module-level functions and the
// methods of builtin types are), so that a change of the type cannot free
// it between the version check and the call; during the call it is held as
// the interpreter's own C code holds such a function, by a reference the
// collector sees, without touching its count. An answer, once published,
// is never changed or freed (a site makes at most __TOVEL_FILLS of them).
// A method of a builtin type (found on a static type, whose dict no one
// changes: it lives as long as the interpreter, unheld) that takes no
// argument or one (`c.isdigit()`) is called as the interpreter's
// specialised calls of such methods call it: its C function straight, with
// the same check of the C stack's depth.
static const char *FT_METHOD = R"C(
#ifdef __TOVEL_CACHES_FT
typedef struct {
    unsigned int version; PyObject *function; PyDictKeysObject *keys; Py_ssize_t nentries;
    int held; PyCFunction direct; Py_ssize_t direct_nargs;
} __tovel_method_answer;
typedef struct { __tovel_method_answer *answer; int fills; } __tovel_method_site;

static PyObject *__tovel_method_fill(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyTypeObject *tp = Py_TYPE(args[0]);
    unsigned int version;
    if (PyUnicode_CheckExact(name) && tp->tp_getattro == PyObject_GenericGetAttr && __tovel_fill_start(&site->fills)
            && (version = __tovel_settled_version(tp, name)) != 0) {
        PyObject *function = _PyType_LookupRef(tp, name);
        PyDictKeysObject *keys = NULL;
        Py_ssize_t nentries = 0;
        int usable = function != NULL
            && (Py_TYPE(function)->tp_flags & (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL))
                == (Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL)
            && (_PyObject_HasDeferredRefcount(function) || _Py_IsImmortal(function));
        int known = 1;
        if (usable && (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)) {
            /* An instance with a dict of its own says nothing of the others. */
            known = _Py_atomic_load_uint8(&_PyObject_InlineValues(args[0])->valid);
            usable = __tovel_shared_index(tp, name, &keys, &nentries) == -1;
        } else if (usable && ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset)) {
            usable = 0;
        }
        __tovel_method_answer *answer = known && __tovel_version(tp) == version
            ? (__tovel_method_answer *)PyMem_RawMalloc(sizeof(__tovel_method_answer)) : NULL;
        if (answer != NULL) {
            answer->version = version;
            answer->function = usable ? function : NULL;
            answer->keys = keys;
            answer->nentries = nentries;
            answer->held = 1;
            answer->direct = NULL;
            answer->direct_nargs = -1;
#ifndef TOVEL_NO_DIRECT
            if (usable && Py_IS_TYPE(function, &PyMethodDescr_Type)) {
                PyTypeObject *owner = ((PyMethodDescrObject *)function)->d_common.d_type;
                int flags = ((PyMethodDescrObject *)function)->d_method->ml_flags;
                if (!(owner->tp_flags & Py_TPFLAGS_HEAPTYPE) && (owner->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) {
                    PyObject *own = _PyType_LookupRef(owner, name);
                    answer->held = own != function;
                    Py_XDECREF(own);
                }
                flags &= METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
                if (!answer->held && (flags == METH_NOARGS || flags == METH_O) && PyType_IsSubtype(tp, owner)) {
                    answer->direct = ((PyMethodDescrObject *)function)->d_method->ml_meth;
                    answer->direct_nargs = flags == METH_NOARGS ? 1 : 2;
                }
            }
#endif
            _Py_atomic_store_ptr_release(&site->answer, answer);
        }
        /* The type keeps the function while it keeps this version. */
        Py_XDECREF(function);
    }
    return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
}

static CYTHON_INLINE PyObject *__tovel_method_call(PyObject *name, PyObject *const *args, size_t nargsf, __tovel_method_site *site) {
    PyObject *self = args[0];
    __tovel_method_answer *answer = (__tovel_method_answer *)_Py_atomic_load_ptr_acquire(&site->answer);
    if (likely(answer != NULL && answer->version == __tovel_version(Py_TYPE(self)))) {
        PyObject *function = answer->function;
        if (likely(function != NULL) && (answer->keys == NULL
                || (_Py_atomic_load_ssize_relaxed(&answer->keys->dk_nentries) == answer->nentries
                    && _Py_atomic_load_uint8(&_PyObject_InlineValues(self)->valid)))) {
            PyThreadState *tstate = PyThreadState_GetUnchecked();
            Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            PyObject *result;
            if (answer->direct_nargs == nargs) {
                if (_Py_EnterRecursiveCallTstate(tstate, " while calling a Python object")) return NULL;
                result = answer->direct(self, nargs == 2 ? args[1] : NULL);
                _Py_LeaveRecursiveCallTstate(tstate);
                return result;
            }
            /* the function's type has a vectorcall: its offset is there */
            vectorcallfunc call = *(vectorcallfunc *)((char *)function + Py_TYPE(function)->tp_vectorcall_offset);
            /* args[0] is the instance, not a slot the callee may reuse */
            if (!answer->held) return call(function, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
            _PyCStackRef held;
            _PyThreadState_PushCStackRef(tstate, &held);
            held.ref = PyStackRef_FromPyObjectNew(function);
            result = call(function, args, nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
            _PyThreadState_PopCStackRef(tstate, &held);
            return result;
        }
        return __Pyx_PyObject_FastCallMethod(name, args, nargsf);
    }
    return __tovel_method_fill(name, args, nargsf, site);
}
#define __tovel_CallMethod(name, args, nargsf) __extension__ ({ \
    static __tovel_method_site __tovel_site = {NULL, 0}; __tovel_method_call((name), (args), (nargsf), &__tovel_site); })
#endif
)C";

// Subscripts of an exact list by a small non-negative int, through the
// list's own thread-safe access (what the interpreter's specialised
// subscripts call), and of an exact str by one within it that gives an
// ASCII character: the interpreter's own immortal string of it, as its
// specialised subscript of a str gives. The errors are the generic path's.
static const char *FT_SUBSCRIPT = R"C(
#ifdef __TOVEL_FT
static CYTHON_INLINE int __tovel_list_index(PyObject *o, PyObject *key) {
    return PyList_CheckExact(o) && PyLong_CheckExact(key) && _PyLong_IsNonNegativeCompact((PyLongObject *)key);
}
static CYTHON_INLINE PyObject *__tovel_GetItem(PyObject *o, PyObject *key) {
    if (PyLong_CheckExact(key) && _PyLong_IsNonNegativeCompact((PyLongObject *)key)) {
        Py_ssize_t i = _PyLong_CompactValue((PyLongObject *)key);
        if (PyList_CheckExact(o)) return PyList_GetItemRef(o, i);
#ifndef TOVEL_NO_DIRECT
        if (PyUnicode_CheckExact(o) && i < PyUnicode_GET_LENGTH(o)) {
            Py_UCS4 c = PyUnicode_READ_CHAR(o, i);
            if (c < 128) return (PyObject *)&_Py_SINGLETON(strings).ascii[c];
        }
#endif
    }
    return __Pyx_PyObject_GetItem(o, key);
}
static CYTHON_INLINE int __tovel_SetItem(PyObject *o, PyObject *key, PyObject *v) {
    if (v != NULL && __tovel_list_index(o, key)) return PyList_SetItem(o, _PyLong_CompactValue((PyLongObject *)key), Py_NewRef(v));
    return PyObject_SetItem(o, key, v);
}
#endif
)C";

// References to classes, code objects and module dicts. Compiled code
// takes a reference to a class at each load of its name (`Token(...)`,
// `isinstance(x, Node)`) and drops it soon after, and each function it makes
// (a lambda, a closure) holds its code object and its module's dict; on a
// shared object every thread's count changes land on one cache line, which
// also holds what each instance's allocation reads of its class. The
// interpreter counts its own references to these per thread (free-threaded
// 3.14: the object's count is the sum, merged before the collector frees
// it, and may be mixed with ordinary counting); so does compiled code here,
// and a global is looked up as the interpreter looks it up, without a
// reference where the value's count is deferred, before one is taken.
static const char *FT_REFS = R"C(
/* tovel: references to classes, code objects and module dicts counted per thread */
#if defined(__TOVEL_FT) && !CYTHON_REFNANNY
/* An object whose count is deferred (and which is not immortal): a class
   (a heap type: other types are immortal), a code object or a dict with an
   id for counting per thread (a module's) counted in this thread, anything
   else as usual. */
static void __tovel_deferred_ref(PyObject *o, Py_ssize_t delta) {
    Py_ssize_t id = PyType_Check(o) ? ((PyHeapTypeObject *)o)->unique_id
        : PyCode_Check(o) ? ((PyCodeObject *)o)->_co_unique_id
        : PyDict_Check(o) ? _PyDict_UniqueId((PyDictObject *)o) : 0;
    if (id > 0) {
        _PyThreadStateImpl *tstate = (_PyThreadStateImpl *)PyThreadState_GetUnchecked();
        size_t index = (size_t)(id - 1);
        if (index < (size_t)tstate->refcounts.size) {
            tstate->refcounts.values[index] += delta;
            return;
        }
        if (delta > 0) {
            _PyObject_ThreadIncrefSlow(o, index);
            return;
        }
    }
    if (delta > 0) Py_INCREF(o);
    else Py_DECREF(o);
}
static inline Py_ALWAYS_INLINE void __tovel_ref_inc(PyObject *o) {
    if (unlikely(_PyObject_HasDeferredRefcount(o)) && !_Py_IsImmortal(o)) __tovel_deferred_ref(o, 1);
    else Py_INCREF(o);
}
static inline Py_ALWAYS_INLINE void __tovel_ref_dec(PyObject *o) {
    if (unlikely(_PyObject_HasDeferredRefcount(o)) && !_Py_IsImmortal(o)) __tovel_deferred_ref(o, -1);
    else Py_DECREF(o);
}
static inline Py_ALWAYS_INLINE void __tovel_ref_xinc(PyObject *o) { if (o) __tovel_ref_inc(o); }
static inline Py_ALWAYS_INLINE void __tovel_ref_xdec(PyObject *o) { if (o) __tovel_ref_dec(o); }
/* the code object and module dict a function holds */
#define __tovel_fn_xinc(o) __tovel_ref_xinc((PyObject *)(o))
#define __tovel_fn_clear(o) do { PyObject *__tovel_old = (PyObject *)(o); (o) = NULL; __tovel_ref_xdec(__tovel_old); } while (0)
#undef __Pyx_INCREF
#undef __Pyx_DECREF
#undef __Pyx_XINCREF
#undef __Pyx_XDECREF
#define __Pyx_INCREF(r) __tovel_ref_inc((PyObject *)(r))
#define __Pyx_DECREF(r) __tovel_ref_dec((PyObject *)(r))
#define __Pyx_XINCREF(r) __tovel_ref_xinc((PyObject *)(r))
#define __Pyx_XDECREF(r) __tovel_ref_xdec((PyObject *)(r))
#if !CYTHON_USE_DICT_VERSIONS
/* where a global was found: its entry in the module dict's keys */
typedef struct { PyDictKeysObject *keys; Py_ssize_t index; } __tovel_global_answer;
typedef struct { __tovel_global_answer *answer; int fills; } __tovel_global_site;
static CYTHON_INLINE PyObject *__tovel_global(PyObject *name, __tovel_global_site *site);
#undef __Pyx_GetModuleGlobalName
#define __Pyx_GetModuleGlobalName(var, name) (var) = __extension__ ({ \
    static __tovel_global_site __tovel_site = {NULL, 0}; __tovel_global((name), &__tovel_site); })
#define __TOVEL_GLOBALS 1
#endif
#else
#define __tovel_fn_xinc(o) Py_XINCREF(o)
#define __tovel_fn_clear(o) Py_CLEAR(o)
#endif
)C";

// Globals, at the end of the C (they read the module's state), as the
// interpreter's specialised loads of globals read them: each site keeps
// where its name lies in the module dict's keys (entries keep their place
// while the keys object lives, and a deleted name leaves its entry empty)
// and reads the value there, checked against the keys the dict has now.
// Elsewhere (a builtin, a changed dict) the interpreter's own look-up,
// which takes no reference where the value's count is deferred.
static const char *FT_GLOBALS = R"C(
#ifdef __TOVEL_GLOBALS
static PyObject *__tovel_global_lookup(PyObject *name, __tovel_global_site *site) {
    PyDictObject *globals = (PyDictObject *)__pyx_mstate_global->__pyx_d;
    _PyStackRef found;
    if (_Py_atomic_load_int_relaxed(&site->fills) < 8) {
        _Py_atomic_add_int(&site->fills, 1);
        Py_BEGIN_CRITICAL_SECTION(globals);
        PyDictKeysObject *keys = globals->ma_keys;
        if (globals->ma_values == NULL && keys->dk_kind != DICT_KEYS_GENERAL) {
            PyDictUnicodeEntry *entries = DK_UNICODE_ENTRIES(keys);
            for (Py_ssize_t i = 0; i < keys->dk_nentries; i++) {
                if (entries[i].me_key != name || entries[i].me_value == NULL) continue;
                __tovel_global_answer *answer = (__tovel_global_answer *)PyMem_RawMalloc(sizeof(__tovel_global_answer));
                if (answer != NULL) {
                    answer->keys = keys;
                    answer->index = i;
                    _Py_atomic_store_ptr_release(&site->answer, answer);
                }
                break;
            }
        }
        Py_END_CRITICAL_SECTION();
    }
    _PyDict_LoadGlobalStackRef(globals, (PyDictObject *)PyModule_GetDict(__pyx_mstate_global->__pyx_b), name, &found);
    /* a name not found: Cython's path raises its NameError */
    if (PyStackRef_IsNull(found)) return PyErr_Occurred() ? NULL : __Pyx__GetModuleGlobalName(name);
    PyObject *value = PyStackRef_AsPyObjectBorrow(found);
    /* a deferred count was not taken: take it (no other thread can free the value before) */
    if (found.bits & Py_TAG_DEFERRED) __tovel_ref_inc(value);
    return value;
}

/* The value at the entry the site keeps, without a reference, and where it
   lies; NULL where the dict's keys changed or the entry is empty. */
static CYTHON_INLINE PyObject *__tovel_global_entry(PyObject *name, __tovel_global_site *site, PyObject ***where) {
    __tovel_global_answer *answer = (__tovel_global_answer *)_Py_atomic_load_ptr_acquire(&site->answer);
    if (likely(answer != NULL)) {
        PyDictKeysObject *keys = (PyDictKeysObject *)_Py_atomic_load_ptr_acquire(
            &((PyDictObject *)__pyx_mstate_global->__pyx_d)->ma_keys);
        if (likely(keys == answer->keys) && answer->index < _Py_atomic_load_ssize_relaxed(&keys->dk_nentries)) {
            PyDictUnicodeEntry *entry = &DK_UNICODE_ENTRIES(keys)[answer->index];
            *where = &entry->me_value;
            return _Py_atomic_load_ptr_relaxed(&entry->me_key) == name
                ? (PyObject *)_Py_atomic_load_ptr_acquire(&entry->me_value) : NULL;
        }
    }
    return NULL;
}

static CYTHON_INLINE PyObject *__tovel_global(PyObject *name, __tovel_global_site *site) {
    PyObject **where;
    PyObject *value = __tovel_global_entry(name, site, &where);
    if (likely(value != NULL)) {
        if (_PyObject_HasDeferredRefcount(value)) {
            __tovel_ref_inc(value);
            return value;
        }
        if (_Py_TryIncrefCompare(where, value)) return value;
    }
    return __tovel_global_lookup(name, site);
}
#endif
)C";


// Closure cells. Cython keeps a variable that an inner function shares in
// a field of a scope object, rebinds it by replacing the field and
// releasing the old value, and reads it where it lies, without a reference
// of its own. Without a GIL two threads that rebind it at once both release
// the same old value, and a thread still reading a value another one has
// just replaced reads freed memory. Here a rebinding exchanges the field in
// one step, and the old value is released once every thread has passed a
// quiescent state (as the interpreter releases what other threads may still
// read without a reference: a thread running compiled code does not pass
// one while it reads a field); a read that takes a reference reads the
// field once.
static const char *CELLS = R"C(/* tovel: closure cells rebound safely from several threads */
#if defined(Py_GIL_DISABLED) && defined(__GNUC__)
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030E0000
PyAPI_FUNC(void) _PyObject_XDecRefDelayed(PyObject *);
#define __tovel_cell_drop(o) (_Py_IsImmortal(o) ? (void)0 : _PyObject_XDecRefDelayed(o))
#else
#define __tovel_cell_drop(o) Py_DECREF(o)
#endif
static inline void __tovel_cell_set(PyObject **cell, PyObject *value) {
    PyObject *old = __atomic_exchange_n(cell, value, __ATOMIC_ACQ_REL);
    if (old != NULL) __tovel_cell_drop(old);
}
#define __tovel_CellSet(cell, value) __tovel_cell_set((PyObject **)&(cell), (PyObject *)(value))
#define __tovel_CellRead(cell) ((PyObject *)__atomic_load_n((PyObject **)&(cell), __ATOMIC_ACQUIRE))
#else
#define __tovel_CellSet(cell, value) __Pyx_XDECREF_SET(cell, value)
#define __tovel_CellRead(cell) (cell)
#endif
)C";

// Requests of other threads. The interpreter answers them (a stop of the
// world for the collector, references to merge, memory to free, a signal,
// an asynchronous exception) at each function it enters and each loop it
// repeats; compiled code that runs a loop or calls compiled functions never
// passes there, so a thread that asks for a collection sleeps until the
// others return to the interpreter (for good, where they wait for it), and a
// signal or an exception thrown into a thread waits as long. Compiled code
// answers them in the same places: on entering a function and at the top of
// each loop; a request that raises raises there (-DTOVEL_NO_PENDING: not).
static const char *FT_PENDING = R"C(/* tovel: what other threads ask answered on entering a function and at each loop's top */
#ifndef __TOVEL_PENDING_SEEN
#define __TOVEL_PENDING_SEEN 1
#if defined(__TOVEL_FT) && !defined(TOVEL_NO_PENDING)
PyAPI_FUNC(int) _Py_HandlePending(PyThreadState *);
/* the breaker's low byte holds the requests, the rest a version */
#define __tovel_Pending() __extension__ ({ PyThreadState *__tovel_ts = PyThreadState_GetUnchecked(); \
    unlikely(_Py_atomic_load_uintptr_relaxed(&__tovel_ts->eval_breaker) & 0xFF) && _Py_HandlePending(__tovel_ts) < 0; })
#else
#define __tovel_Pending() 0
#endif
#endif
)C";

}  // namespace tovel::tuner_c
