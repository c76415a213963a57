// The depth check of compiled functions. A compiled function calls another
// through vectorcall, which the interpreter does not count toward its
// recursion limit: recursion without end overflowed the C stack and
// crashed the interpreter where the source raises RecursionError (and a
// recursion of generators took minutes to get there). Each Python-visible
// function now counts its calls in progress against sys.getrecursionlimit(),
// as the interpreter counts Python frames, and compares the address of its
// stack frame with the floor of its thread's stack (less a margin for what
// runs after the error is raised), which bounds what the count cannot see.
// The main thread's count and bounds are plain globals (about 15
// instructions a call, 1 % of a call-heavy workload's); other threads keep
// theirs in thread-local storage. Included by
// mender.cpp alone.
#pragma once

namespace tovel::mender_depth {

// Goes before the first function body.
static const char *DEPTH_C = R"C(/* tovel: deep recursion raises RecursionError */
#if defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#include <pthread.h>
#include <unistd.h>
#include <sys/syscall.h>
static char *__tovel_main_floor = (char *)-1, *__tovel_main_top = NULL;
static int __tovel_main_depth = 0, __tovel_main_limit = 0;
static __thread char *__tovel_thread_floor = NULL;
static __thread int __tovel_thread_depth = 0;
static int __tovel_enter_slow(char *here, int depth);
static CYTHON_INLINE char *__tovel_sp(void) {
    char *here;
#if defined(__x86_64__)
    __asm__("movq %%rsp, %0" : "=r"(here));
#elif defined(__aarch64__)
    __asm__("mov %0, sp" : "=r"(here));
#else
    char mark;
    here = &mark;
#endif
    return here;
}
/* 0: counted in the main thread's globals; 1: in the thread's own; -1: too deep. */
static CYTHON_INLINE int __tovel_enter(void) {
    char *here = __tovel_sp();
    if (likely(here > __tovel_main_floor && here < __tovel_main_top)) {
        int depth = ++__tovel_main_depth;
        /* The limit is read again every 32 levels: it may have been lowered. */
        if (likely(depth < __tovel_main_limit && (depth & 31))) return 0;
        return __tovel_enter_slow(here, depth);
    }
    return __tovel_enter_slow(here, 0);
}
static CYTHON_INLINE void __tovel_leave(int counted) {
    if (likely(counted == 0)) --__tovel_main_depth;
    else --__tovel_thread_depth;
}
/* The call, counted; or `fail` with RecursionError set. */
#define __TOVEL_NESTED(fail, call) ({ int __tovel_counted = __tovel_enter(); __typeof__(call) __tovel_result; \
    if (likely(__tovel_counted >= 0)) { __tovel_result = (call); __tovel_leave(__tovel_counted); } \
    else __tovel_result = (fail); __tovel_result; })
static __attribute__((noinline)) int __tovel_enter_slow(char *here, int depth) {
    char *floor = __tovel_thread_floor;
    int limit = Py_GetRecursionLimit();
    if (!floor) {
        pthread_attr_t attr;
        void *addr;
        size_t size, margin;
        floor = (char *)1; /* bounds unknown: only the count holds */
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                /* An eighth of the stack, at least 64 KiB and at most 1 MiB. */
                margin = size / 8 < 65536 ? 65536 : size / 8 > 1048576 ? 1048576 : size / 8;
                if (size > 2 * margin) {
                    floor = (char *)addr + margin;
                    if (getpid() == (pid_t)syscall(SYS_gettid)) {
                        __tovel_main_limit = limit;
                        __tovel_main_top = (char *)addr + size;
                        __tovel_main_floor = floor;
                    }
                }
            }
            pthread_attr_destroy(&attr);
        }
        __tovel_thread_floor = floor;
    }
    if (depth) { /* the main thread's count, already raised */
        __tovel_main_limit = limit;
        if (depth <= limit && here > floor) return 0;
        --__tovel_main_depth;
    } else if (here > __tovel_main_floor && here < __tovel_main_top) { /* its first call */
        if (++__tovel_main_depth <= limit) return 0;
        --__tovel_main_depth;
    } else if (here > floor && __tovel_thread_depth < limit) {
        ++__tovel_thread_depth;
        return 1;
    }
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return -1;
}
#else
#define __TOVEL_NESTED(fail, call) (call)
#endif
)C";

// A Python-visible function's wrapper calls its body by this line, after
// its arguments are parsed; group 1 is the call, group 2 names the body.
static const char *BODY_CALL = R"C(\n  __pyx_r = ((__pyx_pf_\w+)\([^;]*\));)C";

// What else nests compiled code: a generator's resume (one refused ends the
// generator, as the interpreter ends a generator whose frame it cannot
// enter) and its delegation to another through `yield from` (one refused
// raises in the delegating generator, as an error of the delegate does).
static const char *const NESTED[][2] = {
    {"retval = self->body(self, tstate, value);",
     "retval = __TOVEL_NESTED((self->resume_label = -1, (PyObject *)NULL), self->body(self, tstate, value));"},
    {"ret = __Pyx_Generator_Next(yf);", "ret = __TOVEL_NESTED((PyObject *)NULL, __Pyx_Generator_Next(yf));"},
    {"delegate_result = gen_am_send(gen->yieldfrom, value, &ret);",
     "delegate_result = __TOVEL_NESTED(PYGEN_ERROR, gen_am_send(gen->yieldfrom, value, &ret));"},
};

// The bodies that return an object (and so fail with NULL).
static const char *OBJECT_BODY = R"C(\nstatic PyObject \*(__pyx_pf_\w+)\()C";

} // namespace tovel::mender_depth
