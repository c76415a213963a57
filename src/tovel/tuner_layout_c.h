// The C that tovel.tuner adds to a translation for what it reads of the
// interpreter's objects: where they keep what the caches of tuner_c.h read,
// and the subscripts and float results served without the generic path.
// Included by tuner.cpp alone.
#pragma once

namespace tovel::tuner_c {

// What the caches and the float code read of the interpreter's objects, at
// offsets known for CPython 3.12 to 3.15 with the GIL on 64-bit little-endian
// machines whose C long has 64 bits (not Windows): most are the same in all
// four; the two that are not (the heap type's shared keys, the thread
// state's handled exception) are chosen by the minor version. A full-API
// build checks each offset (of those two, its own version's) against the
// headers it compiles with, and serves that one version. A limited-API
// build serves any later CPython: it reads the version the interpreter runs
// (Py_Version) once, and on any other than 3.12 to 3.15 every site takes the
// generic path, as it does with -DTOVEL_NO_ATTR_CACHE.
static const char *LAYOUT = R"C(
/* tovel: the offsets that the caches and the float code read */
#ifndef __TOVEL_LAYOUT_SEEN
#define __TOVEL_LAYOUT_SEEN 1
#if defined(__GNUC__) && SIZEOF_VOID_P == 8 && SIZEOF_LONG == 8 && !PY_BIG_ENDIAN && !defined(Py_GIL_DISABLED) \
    && !defined(Py_REF_DEBUG) && !defined(TOVEL_NO_ATTR_CACHE) && ((defined(Py_LIMITED_API) && Py_LIMITED_API+0 >= 0x030C0000) \
    || (!defined(Py_LIMITED_API) && CYTHON_COMPILING_IN_CPYTHON && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000))
#define __TOVEL_LAYOUT 1
#define __TOVEL_AT(p, offset, T) (*(T *)((char *)(p) + (offset)))
#ifdef TOVEL_SITES_CALLED
#define __TOVEL_SITE_FN static __attribute__((noinline))
#else
#define __TOVEL_SITE_FN static inline __attribute__((always_inline))
#endif
#ifdef TOVEL_STORES_CALLED
#define __TOVEL_STORE_FN static __attribute__((noinline))
#else
#define __TOVEL_STORE_FN static inline __attribute__((always_inline))
#endif
#define __TOVEL_TP_BASICSIZE 32
#define __TOVEL_TP_DICTOFFSET 288
#define __TOVEL_TP_VERSION 384
/* 3.15 gave PyTypeObject one more field, before the heap type's own */
#define __TOVEL_HT_CACHED_KEYS (__tovel_minor() >= 15 ? 888 : 880)
/* the thread state's innermost item of handled exceptions */
#define __TOVEL_TS_EXC_INFO (__tovel_minor() == 12 ? 104 : __tovel_minor() >= 15 ? 144 : 120)
#define __TOVEL_MANAGED_DICT (-24)
#define __TOVEL_DESCR_MEMBER 40
#define __TOVEL_WRAPPER_WRAPPED 48
#define __TOVEL_FLOAT_VALUE 16
#define __TOVEL_DK_LOG2_INDEX_BYTES 9
#define __TOVEL_DK_KIND 10
#define __TOVEL_DK_NENTRIES 24
#define __TOVEL_DK_INDICES 32
#define __TOVEL_DK_SPLIT 2
#define __TOVEL_DK_UNICODE 1
#define __TOVEL_DICT_KEYS 32
#define __TOVEL_DICT_VALUES 40
#define __TOVEL_DICT_TAG 24
#define __TOVEL_TPFLAGS_MANAGED_DICT (1UL << 4)
#define __TOVEL_VAR_SIZE 16
#define __TOVEL_LIST_ITEM 24
#define __TOVEL_LIST_ALLOCATED 32
/* 3.14 gave tuples a cached hash, before their items */
#define __TOVEL_TUPLE_ITEM (__tovel_minor() >= 14 ? 32 : 24)
#define __TOVEL_LONG_TAG 16
#define __TOVEL_LONG_DIGIT 24
/* a str's length and hash; its state's compact and ascii bits, after
   which a compact ASCII string's characters follow its header */
#define __TOVEL_STR_LENGTH 16
#define __TOVEL_STR_HASH 24
#define __TOVEL_STR_STATE 32
#define __TOVEL_STR_COMPACT_ASCII (3U << 5)
#define __TOVEL_STR_ASCII_DATA 40
#ifndef Py_LIMITED_API
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
#include "internal/pycore_long.h"
#define __tovel_minor() PY_MINOR_VERSION
#define __tovel_minor_known() PY_MINOR_VERSION
#define __TOVEL_SAME(a, b) _Static_assert((a) == (b), "tovel: an offset differs in these headers: " #a)
__TOVEL_SAME(offsetof(PyTypeObject, tp_basicsize), __TOVEL_TP_BASICSIZE);
__TOVEL_SAME(offsetof(PyTypeObject, tp_dictoffset), __TOVEL_TP_DICTOFFSET);
__TOVEL_SAME(offsetof(PyTypeObject, tp_version_tag), __TOVEL_TP_VERSION);
__TOVEL_SAME(offsetof(PyHeapTypeObject, ht_cached_keys), __TOVEL_HT_CACHED_KEYS);
__TOVEL_SAME(offsetof(PyMemberDescrObject, d_member), __TOVEL_DESCR_MEMBER);
__TOVEL_SAME(offsetof(PyWrapperDescrObject, d_wrapped), __TOVEL_WRAPPER_WRAPPED);
__TOVEL_SAME(offsetof(PyFloatObject, ob_fval), __TOVEL_FLOAT_VALUE);
__TOVEL_SAME(offsetof(PyDictKeysObject, dk_log2_index_bytes), __TOVEL_DK_LOG2_INDEX_BYTES);
__TOVEL_SAME(offsetof(PyDictKeysObject, dk_kind), __TOVEL_DK_KIND);
__TOVEL_SAME(offsetof(PyDictKeysObject, dk_nentries), __TOVEL_DK_NENTRIES);
__TOVEL_SAME(offsetof(PyDictKeysObject, dk_indices), __TOVEL_DK_INDICES);
__TOVEL_SAME(DICT_KEYS_SPLIT, __TOVEL_DK_SPLIT);
__TOVEL_SAME(DICT_KEYS_UNICODE, __TOVEL_DK_UNICODE);
__TOVEL_SAME(DICT_KEYS_GENERAL, 0);
__TOVEL_SAME(offsetof(PyDictObject, ma_keys), __TOVEL_DICT_KEYS);
__TOVEL_SAME(offsetof(PyDictObject, ma_values), __TOVEL_DICT_VALUES);
#if PY_VERSION_HEX >= 0x030E0000
__TOVEL_SAME(offsetof(PyDictObject, _ma_watcher_tag), __TOVEL_DICT_TAG);
#else
__TOVEL_SAME(offsetof(PyDictObject, ma_version_tag), __TOVEL_DICT_TAG);
#endif
__TOVEL_SAME(Py_TPFLAGS_MANAGED_DICT, __TOVEL_TPFLAGS_MANAGED_DICT);
__TOVEL_SAME(offsetof(PyVarObject, ob_size), __TOVEL_VAR_SIZE);
__TOVEL_SAME(offsetof(PyListObject, ob_item), __TOVEL_LIST_ITEM);
__TOVEL_SAME(offsetof(PyListObject, allocated), __TOVEL_LIST_ALLOCATED);
__TOVEL_SAME(offsetof(PyTupleObject, ob_item), __TOVEL_TUPLE_ITEM);
__TOVEL_SAME(offsetof(PyLongObject, long_value.lv_tag), __TOVEL_LONG_TAG);
__TOVEL_SAME(offsetof(PyLongObject, long_value.ob_digit), __TOVEL_LONG_DIGIT);
__TOVEL_SAME(PYLONG_BITS_IN_DIGIT, 30);
__TOVEL_SAME(offsetof(PyASCIIObject, length), __TOVEL_STR_LENGTH);
__TOVEL_SAME(offsetof(PyASCIIObject, hash), __TOVEL_STR_HASH);
__TOVEL_SAME(offsetof(PyASCIIObject, state), __TOVEL_STR_STATE);
__TOVEL_SAME(sizeof(PyASCIIObject), __TOVEL_STR_ASCII_DATA);
__TOVEL_SAME(NON_SIZE_BITS, 3);
__TOVEL_SAME(sizeof(PyDictUnicodeEntry), 2 * sizeof(PyObject *));
__TOVEL_SAME(offsetof(PyDictUnicodeEntry, me_key), 0);
__TOVEL_SAME(offsetof(PyDictUnicodeEntry, me_value), sizeof(PyObject *));
__TOVEL_SAME(offsetof(PyThreadState, exc_info), __TOVEL_TS_EXC_INFO);
__TOVEL_SAME(offsetof(_PyErr_StackItem, exc_value), 0);
__TOVEL_SAME(offsetof(_PyErr_StackItem, previous_item), sizeof(PyObject *));
#if PY_VERSION_HEX >= 0x030D0000
__TOVEL_SAME(MANAGED_DICT_OFFSET, __TOVEL_MANAGED_DICT);
__TOVEL_SAME(offsetof(PyDictValues, valid), 3);
__TOVEL_SAME(offsetof(PyDictValues, values), 8);
__TOVEL_SAME(Py_TPFLAGS_INLINE_VALUES, 1UL << 2);
#else
__TOVEL_SAME(sizeof(PyDictOrValues), sizeof(PyObject *));
__TOVEL_SAME(offsetof(PyDictValues, values), 0);
#endif
#else
/* The minor version of the running CPython where its layout is known, else 0. */
static int __tovel_minor_seen = -1;
static __attribute__((noinline)) int __tovel_minor_learn(void) {
    unsigned long minor = (Py_Version >> 16) & 0xFF;
    /* ints of 30-bit digits, as every 64-bit build has unless told otherwise */
    PyObject *info = PyLong_GetInfo();
    PyObject *bits = info ? PySequence_GetItem(info, 0) : NULL;
    long digit = bits ? PyLong_AsLong(bits) : 0;
    Py_XDECREF(bits);
    Py_XDECREF(info);
    PyErr_Clear();
    __tovel_minor_seen = (Py_Version >> 24) == 3 && minor >= 12 && minor <= 15 && digit == 30 ? (int)minor : 0;
    return __tovel_minor_seen;
}
/* read at every site: the test inline, the first reading out of line */
static inline __attribute__((always_inline)) int __tovel_minor(void) {
    return likely(__tovel_minor_seen >= 0) ? __tovel_minor_seen : __tovel_minor_learn();
}
/* the same, without the test, where the version was read already (a site
   filled, a test of __tovel_minor() before); -1 where it was not */
#define __tovel_minor_known() __tovel_minor_seen
#endif
#elif defined(__GNUC__) && defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && CYTHON_COMPILING_IN_CPYTHON \
    && PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000 && !defined(Py_REF_DEBUG) && !defined(TOVEL_NO_ATTR_CACHE)
/* Free-threaded 3.14: the interpreter's own inline functions read its
   objects (tuner_ft_c.h). */
#define __TOVEL_FT 1
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#include "internal/pycore_object.h"
#include "internal/pycore_object_deferred.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_lock.h"
#include "internal/pycore_long.h"
#include "internal/pycore_stackref.h"
#include "internal/pycore_ceval.h"
#include "internal/pycore_global_objects.h"
#include "internal/pycore_global_strings.h"
#define __tovel_minor() PY_MINOR_VERSION
#endif
#endif
)C";

// Subscripts of an exact list by an exact int that is non-negative, below
// 2**30 and within the list (`tokens[i]`, `flags[i] = False`), as the
// interpreter's specialised subscripts read and store them; anything else
// takes Cython's path (negative indices, slices, other types).
static const char *GETITEM_PROTO = R"C(#if CYTHON_USE_TYPE_SLOTS
static CYTHON_INLINE PyObject *__Pyx_PyObject_GetItem(PyObject *obj, PyObject *key);
#else
#define __Pyx_PyObject_GetItem(obj, key)  PyObject_GetItem(obj, key)
#endif
)C";
static const char *CACHE_SUBSCRIPT = R"C(
#ifdef __TOVEL_LAYOUT
#define __TOVEL_LIST_ITEMS(o) __TOVEL_AT(o, __TOVEL_LIST_ITEM, PyObject **)
/* The index `key` gives into the list `o`, or -1 where this path does not serve it. */
static CYTHON_INLINE Py_ssize_t __tovel_list_index(PyObject *o, PyObject *key) {
    /* the int's tag: at most one digit and not negative (3.14 marks immortal ints in bit 2) */
    if (__tovel_minor() && Py_IS_TYPE(o, &PyList_Type) && Py_IS_TYPE(key, &PyLong_Type)
            && (__TOVEL_AT(key, __TOVEL_LONG_TAG, uintptr_t) & ~(uintptr_t)4) <= 8) {
        Py_ssize_t i = (Py_ssize_t)__TOVEL_AT(key, __TOVEL_LONG_DIGIT, uint32_t);
        if (i < __TOVEL_AT(o, __TOVEL_VAR_SIZE, Py_ssize_t)) return i;
    }
    return -1;
}
static CYTHON_INLINE PyObject *__tovel_GetItem(PyObject *o, PyObject *key) {
    Py_ssize_t i = __tovel_list_index(o, key);
    return i >= 0 ? Py_NewRef(__TOVEL_LIST_ITEMS(o)[i]) : __Pyx_PyObject_GetItem(o, key);
}
static CYTHON_INLINE int __tovel_SetItem(PyObject *o, PyObject *key, PyObject *v) {
    Py_ssize_t i = v ? __tovel_list_index(o, key) : -1;
    if (i < 0) return PyObject_SetItem(o, key, v);
    PyObject *old = __TOVEL_LIST_ITEMS(o)[i];
    __TOVEL_LIST_ITEMS(o)[i] = Py_NewRef(v);
    Py_DECREF(old);
    return 0;
}
#elif !defined(__TOVEL_FT)
#define __tovel_GetItem(o, key) __Pyx_PyObject_GetItem(o, key)
#define __tovel_SetItem(o, key, v) PyObject_SetItem(o, key, v)
#endif
)C";

// Float arithmetic on a temporary that dies with the operation. The
// interpreter writes the result of float + float into an operand that only
// the operation still holds, where Cython allocates a new float and frees the
// temporary (most of an escape-time loop's time on a shared libpython,
// whose allocator reaches its state through thread-local storage). A float
// is immutable, so a float that the dying temporary alone holds is not seen
// by anything else. The sites are those where the C drops the temporary
// right after the operation; other operands and types take Cython's path.
static const char *FLOAT_REUSE = R"C(/* tovel: float results written into a dying temporary */
#if defined(__TOVEL_LAYOUT) || defined(__TOVEL_FT)
#ifdef __TOVEL_FT
/* only this thread holds it (the count alone does not say so without a GIL) */
#define __TOVEL_FLOAT(o) (((PyFloatObject *)(o))->ob_fval)
#define __TOVEL_ALONE(o) _PyObject_IsUniquelyReferenced(o)
#else
#define __TOVEL_FLOAT(o) __TOVEL_AT(o, __TOVEL_FLOAT_VALUE, double)
#define __TOVEL_ALONE(o) (Py_REFCNT(o) == 1)
#endif
static CYTHON_INLINE PyObject *__tovel_float_result(PyObject *a, PyObject *b, double value, int dying_a, int dying_b) {
    if (dying_a && __TOVEL_ALONE(a)) {
        __TOVEL_FLOAT(a) = value;
        return Py_NewRef(a);
    }
    if (dying_b && __TOVEL_ALONE(b)) {
        __TOVEL_FLOAT(b) = value;
        return Py_NewRef(b);
    }
    return PyFloat_FromDouble(value);
}
#define __tovel_FloatOp(a, b, dying_a, dying_b, op, cython) __extension__ ({ \
    PyObject *__tovel_a = (a), *__tovel_b = (b); \
    (__tovel_minor() && Py_IS_TYPE(__tovel_a, &PyFloat_Type) && Py_IS_TYPE(__tovel_b, &PyFloat_Type)) \
        ? __tovel_float_result(__tovel_a, __tovel_b, __TOVEL_FLOAT(__tovel_a) op __TOVEL_FLOAT(__tovel_b), \
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

// Ints in the limited API. There Cython reads an int of a comparison
// through PyLong_AsLongLongAndOverflow and adds a constant through
// PyNumber_Add, where the full API reads the int's digits. An exact int of
// at most one digit is read here from the layout (its tag: the sign in bits
// 0-1, the count of digits from bit 3; 3.14 marks immortal ints in bit 2),
// and a sum or difference of such an int and a small constant is made with
// PyLong_FromLong, as the interpreter's own int addition makes it (the same
// cached small ints), or its equality to the constant read off its value;
// anything else takes the calls.
static const char *SMALL_INTS = R"C(/* tovel: ints of one digit read and made without the generic calls */
#if defined(__TOVEL_LAYOUT) && defined(Py_LIMITED_API) && !defined(__TOVEL_SMALL_INTS)
#define __TOVEL_SMALL_INTS 1
static CYTHON_INLINE int __tovel_small_int(PyObject *o, long *v) {
    if (likely(__tovel_minor() && Py_IS_TYPE(o, &PyLong_Type))) {
        uintptr_t tag = __TOVEL_AT(o, __TOVEL_LONG_TAG, uintptr_t);
        if (likely((tag >> 3) <= 1)) {
            *v = (1 - (long)(tag & 3)) * (long)__TOVEL_AT(o, __TOVEL_LONG_DIGIT, uint32_t);
            return 1;
        }
    }
    return 0;
}
static CYTHON_INLINE long long __tovel_AsLongLongAndOverflow(PyObject *o, int *overflow) {
    long v;
    if (__tovel_small_int(o, &v)) {
        *overflow = 0;
        return v;
    }
    return PyLong_AsLongLongAndOverflow(o, overflow);
}
static CYTHON_INLINE long __tovel_AsLongAndOverflow(PyObject *o, int *overflow) {
    long v;
    if (__tovel_small_int(o, &v)) {
        *overflow = 0;
        return v;
    }
    return PyLong_AsLongAndOverflow(o, overflow);
}
#define __TOVEL_INT_OP(o, c, op) { \
    long __tovel_v, __tovel_r; \
    if (__tovel_small_int(o, &__tovel_v) && !__builtin_##op##_overflow(__tovel_v, (long)(c), &__tovel_r)) \
        return PyLong_FromLong(__tovel_r); }
#define __TOVEL_INT_EQ(o, c, equal) { \
    long __tovel_v; \
    if (__tovel_small_int(o, &__tovel_v)) return (__tovel_v == (long)(c)) == (equal); }
#endif
#ifndef __TOVEL_INT_OP
#define __TOVEL_INT_OP(o, c, op)
#define __TOVEL_INT_EQ(o, c, equal)
#endif
)C";
// Where the int code goes (before the first of Cython's functions that read
// or add ints, at the start of its block), and what goes through it.
static const char *INT_USES[] = {"PyLong_AsLongLongAndOverflow(op", "PyLong_AsLongAndOverflow(op",
                                 "__Pyx_Fallback___Pyx_PyLong_"};
static const char *INT_EQ_SITES[][2] = {
    {"static CYTHON_INLINE int __Pyx_PyLong_BoolEqObjC(PyObject *op1, PyObject *op2, long intval, long inplace) {\n",
     "    __TOVEL_INT_EQ(op1, intval, 1)\n"},
    {"static CYTHON_INLINE int __Pyx_PyLong_BoolNeObjC(PyObject *op1, PyObject *op2, long intval, long inplace) {\n",
     "    __TOVEL_INT_EQ(op1, intval, 0)\n"},
};
static const char *INT_OP_SITE = R"((static CYTHON_INLINE PyObject\* __Pyx_PyLong_(Add|Subtract)ObjC\(PyObject \*op1, )"
                                 R"(PyObject \*op2, long intval, int inplace, int zerodivision_check\) \{\n))";

// Appends to a list (`out.append(x)`, a list comprehension's) in the limited
// API, where Cython calls PyList_Append for each: where the list has room,
// the item is stored and the size grown in place, as the interpreter's own
// appends do; a list that must grow takes the call. Each goes after Cython's
// definition of the append it replaces.
static const char *LIST_APPEND_ANCHORS[][2] = {
    {"#define __Pyx_PyList_Append(L,x) PyList_Append(L,x)\n#endif\n", "__Pyx_PyList_Append"},
    {"#define __Pyx_ListComp_Append(L,x) PyList_Append(L,x)\n#endif\n", "__Pyx_ListComp_Append"},
};
static const char *LIST_APPEND = R"C(/* tovel: an append into a list with room, in place */
#if defined(__TOVEL_LAYOUT) && defined(Py_LIMITED_API) && !defined(__TOVEL_LIST_APPEND)
#define __TOVEL_LIST_APPEND 1
static CYTHON_INLINE int __tovel_list_append(PyObject *list, PyObject *x) {
    if (likely(__tovel_minor())) {
        Py_ssize_t len = __TOVEL_AT(list, __TOVEL_VAR_SIZE, Py_ssize_t);
        if (likely(__TOVEL_AT(list, __TOVEL_LIST_ALLOCATED, Py_ssize_t) > len)) {
            __TOVEL_AT(list, __TOVEL_LIST_ITEM, PyObject **)[len] = Py_NewRef(x);
            __TOVEL_AT(list, __TOVEL_VAR_SIZE, Py_ssize_t) = len + 1;
            return 0;
        }
    }
    return PyList_Append(list, x);
}
#endif
)C";

// Sizes and items of lists and tuples in the limited API (a `for` over a
// list, a tuple unpacked), where Cython calls PyList_Size and PyList_GetItem
// for each item: the size is the stable ABI's own field, an item is read
// where the layout is known, with the bounds and errors of the calls (the
// full API reads them in place at the same sites). After Cython's
// definitions of them and of `likely`.
static const char *SEQUENCE_ANCHOR = "  #define likely(x)   (x)\n  #define unlikely(x) (x)\n#endif /* __GNUC__ */\n";
static const char *SEQUENCES = R"C(/* tovel: sizes and items of lists and tuples read in place */
#if defined(__TOVEL_LAYOUT) && defined(Py_LIMITED_API) && !CYTHON_ASSUME_SAFE_SIZE && !CYTHON_ASSUME_SAFE_MACROS
static CYTHON_INLINE PyObject *__tovel_list_item_ref(PyObject *o, Py_ssize_t i) {
    if (likely(__tovel_minor()) && likely((size_t)i < (size_t)Py_SIZE(o)))
        return Py_NewRef(__TOVEL_AT(o, __TOVEL_LIST_ITEM, PyObject **)[i]);
    return Py_XNewRef(PyList_GetItem(o, i));
}
#undef __Pyx_PyTuple_GET_SIZE
#undef __Pyx_PyList_GET_SIZE
#undef __Pyx_PyTuple_GET_ITEM
#undef __Pyx_PyList_GET_ITEM
#undef __Pyx_PyList_GetItemRef
#define __Pyx_PyTuple_GET_SIZE(o) Py_SIZE(o)
#define __Pyx_PyList_GET_SIZE(o) Py_SIZE(o)
#define __Pyx_PyTuple_GET_ITEM(o, i) (likely(__tovel_minor()) ? \
    ((PyObject **)((char *)(o) + __TOVEL_TUPLE_ITEM))[i] : PyTuple_GetItem(o, i))
#define __Pyx_PyList_GET_ITEM(o, i) (likely(__tovel_minor()) ? \
    __TOVEL_AT(o, __TOVEL_LIST_ITEM, PyObject **)[i] : PyList_GetItem(o, i))
#define __Pyx_PyList_GetItemRef(o, i) __tovel_list_item_ref(o, i)
#endif
)C";

// Equality of two strs (`tag == 'end'`, `c != '{'`, a keyword argument's name), where
// Cython calls PyUnicode_Compare before 3.14: it orders the two, reading
// their characters even where their lengths differ. The interpreter tests
// equality: exact strs of other lengths differ, and those of one length and
// kind compare their characters. The full API does the same with the
// string's own macros; the limited API reads the layout (strs whose hashes
// are both known and differ differ too), compares compact ASCII strings,
// and leaves the rest to the call. Subclasses and anything else take it.
static const char *STR_EQ_SITES[][2] = {
    {"static CYTHON_INLINE int __Pyx_PyObject_CompareStrStrBoolEq(PyObject* s1, PyObject* s2) {\n", "    __TOVEL_STR_EQ(s1, s2, 0)\n"},
    {"static CYTHON_INLINE int __Pyx_PyObject_CompareStrStrBoolNe(PyObject* s1, PyObject* s2) {\n", "    __TOVEL_STR_EQ(s1, s2, 1)\n"},
};
static const char *STR_EQ = R"C(/* tovel: str equality as the interpreter tests it */
#ifndef __TOVEL_STR_EQ
#if !defined(Py_LIMITED_API) && CYTHON_COMPILING_IN_CPYTHON && defined(__GNUC__) && !defined(TOVEL_NO_ATTR_CACHE)
static CYTHON_INLINE int __tovel_str_eq(PyObject *a, PyObject *b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = (int)PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == (int)PyUnicode_KIND(b)
        && __builtin_memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * kind) == 0;
}
#define __TOVEL_STR_EQ(s1, s2, ne) \
    if (likely(PyUnicode_CheckExact(s1) && PyUnicode_CheckExact(s2))) return __tovel_str_eq(s1, s2) ^ (ne);
#elif defined(__TOVEL_LAYOUT)
/* 1 or 0, or -1 where the call must answer */
static CYTHON_INLINE int __tovel_str_eq(PyObject *a, PyObject *b) {
    Py_ssize_t n = __TOVEL_AT(a, __TOVEL_STR_LENGTH, Py_ssize_t);
    Py_hash_t ha = __TOVEL_AT(a, __TOVEL_STR_HASH, Py_hash_t), hb = __TOVEL_AT(b, __TOVEL_STR_HASH, Py_hash_t);
    if (unlikely(!__tovel_minor())) return -1;
    if (n != __TOVEL_AT(b, __TOVEL_STR_LENGTH, Py_ssize_t) || (ha != -1 && hb != -1 && ha != hb)) return 0;
    if ((__TOVEL_AT(a, __TOVEL_STR_STATE, uint32_t) & __TOVEL_AT(b, __TOVEL_STR_STATE, uint32_t) & __TOVEL_STR_COMPACT_ASCII)
            == __TOVEL_STR_COMPACT_ASCII)
        return __builtin_memcmp((char *)a + __TOVEL_STR_ASCII_DATA, (char *)b + __TOVEL_STR_ASCII_DATA, (size_t)n) == 0;
    return -1;
}
#define __TOVEL_STR_EQ(s1, s2, ne) \
    if (likely(Py_IS_TYPE(s1, &PyUnicode_Type) && Py_IS_TYPE(s2, &PyUnicode_Type))) { \
        int __tovel_eq = __tovel_str_eq(s1, s2); \
        if (likely(__tovel_eq >= 0)) return __tovel_eq ^ (ne); }
#else
#define __TOVEL_STR_EQ(s1, s2, ne)
#endif
#endif
)C";

// Keyword arguments matched by name where the name is not the parameter's
// own object (a name built at run time, a key of a dict passed with **):
// Cython's limited-API path orders the two with PyUnicode_Compare, and asks
// for a pending error each time the order comes out negative. Equality is
// what it needs: the same object, then the test above, then the call.
static const char *KW_MATCH_HEAD = "static int __Pyx_MatchKeywordArg_str(\n";
static const char *KW_MATCH_CALL = "int cmp = PyUnicode_Compare(name_str, key);";
static const char *KW_MATCH_NEW = "int cmp = __tovel_kw_compare(name_str, key);";
static const char *KW_COMPARE = R"C(/* tovel: keyword names compared for equality */
#ifndef __TOVEL_KW_COMPARE
#define __TOVEL_KW_COMPARE 1
/* 0 where equal, as PyUnicode_Compare answers */
static CYTHON_INLINE int __tovel_kw_compare(PyObject *a, PyObject *b) {
#if defined(Py_LIMITED_API) && defined(__TOVEL_LAYOUT)
    if (a == b) return 0;
    if (likely(Py_IS_TYPE(a, &PyUnicode_Type) && Py_IS_TYPE(b, &PyUnicode_Type))) {
        int eq = __tovel_str_eq(a, b);
        if (likely(eq >= 0)) return !eq;
    }
#endif
    return PyUnicode_Compare(a, b);
}
#endif
)C";

// A subscript of a variable or temporary (or a generator's or closure's
// variable in its scope object), read or stored, and the same
// through the direct path.
static const char *GETITEM_SITE = R"(__Pyx_PyObject_GetItem\((__pyx_\w+(?:->__pyx_\w+)*), (__pyx_\w+(?:->__pyx_\w+)*)\))";
static const char *GETITEM_CACHED = R"(__tovel_GetItem(\1, \2))";
static const char *SETITEM_SITE = R"(unlikely\(\(PyObject_SetItem\((__pyx_\w+(?:->__pyx_\w+)*), (__pyx_\w+(?:->__pyx_\w+)*), )";
static const char *SETITEM_CACHED = R"(unlikely((__tovel_SetItem(\1, \2, )";

}  // namespace tovel::tuner_c
