// The C that tovel.tuner adds to a translation for generators and try
// statements compiled against the limited API. Included by tuner.cpp alone,
// after tuner_layout_c.h.
#pragma once

namespace tovel::tuner_c {

// There, each resume of a generator saves the exception its caller is
// handling into the generator (PyErr_GetExcInfo) and each yield puts it back
// (PyErr_SetExcInfo): two calls that take and drop a type, a value and a
// traceback, on every value a generator makes. Mostly no exception is being
// handled at all; then the thread's state is read, and written back, where
// the layout is known (the thread state's stack of handled exceptions, as
// the interpreter walks it), and the calls serve every other case. A try
// statement saves and restores the same state (its except clauses change
// it), through the same code, with the thread state asked for first.
static const char *EXC_ANCHOR = "#if CYTHON_USE_EXC_INFO_STACK\n#define __Pyx_Coroutine_SwapException(self)\n";
static const char *EXC_STATE = R"C(/* tovel: the exception state of a generator's resume */
#if defined(__TOVEL_LAYOUT) && defined(Py_LIMITED_API) && !defined(__TOVEL_EXC_STATE)
#define __TOVEL_EXC_STATE 1
/* The thread's innermost item of handled exceptions: its value, then the item before. */
#define __TOVEL_EXC_INFO(tstate) __TOVEL_AT(tstate, __TOVEL_TS_EXC_INFO, PyObject **)
static CYTHON_INLINE void __tovel_ExcSave(PyThreadState *tstate, PyObject **type, PyObject **value, PyObject **tb) {
    if (likely(__tovel_minor())) {
        PyObject **item = __TOVEL_EXC_INFO(tstate ? tstate : PyThreadState_Get());
        while ((item[0] == NULL || item[0] == Py_None) && item[1] != NULL) item = (PyObject **)item[1];
        if (item[0] == NULL || item[0] == Py_None) {
            *type = NULL;
            *value = Py_XNewRef(item[0]);
            *tb = NULL;
            return;
        }
    }
    PyErr_GetExcInfo(type, value, tb);
}
static CYTHON_INLINE void __tovel_ExcReset(PyThreadState *tstate, PyObject *type, PyObject *value, PyObject *tb) {
    if (likely(__tovel_minor()) && type == NULL && tb == NULL && (value == NULL || value == Py_None)) {
        PyObject **item = __TOVEL_EXC_INFO(tstate ? tstate : PyThreadState_Get());
        if (item[0] == NULL || item[0] == Py_None) {
            item[0] = NULL;
            Py_XDECREF(value);
            return;
        }
    }
    PyErr_SetExcInfo(type, value, tb);
}
#elif !defined(__TOVEL_EXC_STATE)
#define __tovel_ExcSave(tstate, type, value, tb) __Pyx_ExceptionSave(type, value, tb)
#define __tovel_ExcReset(tstate, type, value, tb) __Pyx_ExceptionReset(type, value, tb)
#endif
)C";

// A try statement's save and restore, after Cython's definitions of them.
static const char *TRY_ANCHOR = "#define __Pyx_ExceptionReset(type, value, tb)  PyErr_SetExcInfo(type, value, tb)\n#endif\n";
static const char *TRY_STATE = R"C(/* tovel: the exception state of a try statement */
#if defined(__TOVEL_EXC_STATE) && !CYTHON_FAST_THREAD_STATE
#undef __Pyx_ExceptionSave
#undef __Pyx_ExceptionReset
#define __Pyx_ExceptionSave(type, value, tb) __tovel_ExcSave(NULL, type, value, tb)
#define __Pyx_ExceptionReset(type, value, tb) __tovel_ExcReset(NULL, type, value, tb)
#endif
)C";

// The save of a resume and the restore of a yield, as Cython writes them,
// and the same through the code above.
static const char *EXC_SAVE = "__Pyx_ExceptionSave(&exc_state->exc_type, &exc_state->exc_value, &exc_state->exc_traceback);";
static const char *EXC_SAVE_NEW = "__tovel_ExcSave(tstate, &exc_state->exc_type, &exc_state->exc_value, &exc_state->exc_traceback);";
static const char *EXC_RESET = "    __Pyx_ExceptionReset((self)->gi_exc_state.exc_type, ";
static const char *EXC_RESET_NEW = "    __tovel_ExcReset(__pyx_tstate, (self)->gi_exc_state.exc_type, ";

}  // namespace tovel::tuner_c
