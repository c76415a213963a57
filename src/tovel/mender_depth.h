// The depth check of compiled functions. A compiled function calls another
// through vectorcall, which the interpreter does not count toward its
// recursion limit: recursion without end overflowed the C stack and
// crashed the interpreter where the source raises RecursionError (and a
// recursion of generators took minutes to get there). Each Python-visible
// function now counts its calls in progress against sys.getrecursionlimit(),
// as the interpreter counts Python frames, and compares the address of its
// stack frame with the floor of its thread's stack (less a margin for what
// runs after the error is raised), which bounds what the count cannot see.
// The main thread's count and bounds are plain globals (about 20
// instructions a call, 1 % of a call-heavy workload's); other threads keep
// theirs in thread-local storage (about 60). Included by
// mender.cpp alone.
#pragma once

namespace tovel::mender_depth {

// Goes before the first function body.
static const char *DEPTH_C = R"C(/* tovel: deep recursion raises RecursionError */
#if defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#include <pthread.h>
#include <unistd.h>
#include <sys/syscall.h>
/* A stack's floor (less a margin) and the calls in progress on it. */
typedef struct { char *floor; int depth; } __tovel_stack;
static __tovel_stack __tovel_main = {(char *)-1, 0};
static char *__tovel_main_top = NULL;
static int __tovel_limit = 0;
static __thread __tovel_stack __tovel_thread;
static __tovel_stack *__tovel_enter_thread(char *here);
static __tovel_stack *__tovel_deeper(char *here, __tovel_stack *stack);
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
/* The stack whose count was raised, or NULL where it is too deep. */
static CYTHON_INLINE __tovel_stack *__tovel_enter(void) {
    char *here = __tovel_sp();
    if (likely(here > __tovel_main.floor && here < __tovel_main_top)) {
        int depth = ++__tovel_main.depth;
        /* The limit is read again every 32 levels: it may have been lowered. */
        if (likely(depth < __tovel_limit && (depth & 31))) return &__tovel_main;
        return __tovel_deeper(here, &__tovel_main);
    }
    return __tovel_enter_thread(here);
}
/* The call, counted; or `fail` with RecursionError set. */
#define __TOVEL_NESTED(fail, call) ({ __tovel_stack *__tovel_on = __tovel_enter(); __typeof__(call) __tovel_result; \
    if (likely(__tovel_on != NULL)) { __tovel_result = (call); --__tovel_on->depth; } \
    else __tovel_result = (fail); __tovel_result; })
/* A raised count that reached the limit, or a stack pointer below the floor:
   whether it may stand (else it is lowered again and RecursionError set). */
static __attribute__((noinline)) __tovel_stack *__tovel_deeper(char *here, __tovel_stack *stack) {
    __tovel_limit = Py_GetRecursionLimit();
    if (stack->depth <= __tovel_limit && here > stack->floor) return stack;
    --stack->depth;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return NULL;
}
/* The floor of this thread's stack; the main thread's bounds are published
   for its calls to find without thread-local storage. */
static __attribute__((noinline)) char *__tovel_floor(void) {
    pthread_attr_t attr;
    void *addr;
    size_t size, margin;
    char *floor = (char *)1; /* bounds unknown: only the count holds */
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            /* An eighth of the stack, at least 64 KiB and at most 1 MiB. */
            margin = size / 8 < 65536 ? 65536 : size / 8 > 1048576 ? 1048576 : size / 8;
            if (size > 2 * margin) {
                floor = (char *)addr + margin;
                if (getpid() == (pid_t)syscall(SYS_gettid)) {
                    __tovel_main_top = (char *)addr + size;
                    __tovel_main.floor = floor;
                }
            }
        }
        pthread_attr_destroy(&attr);
    }
    return floor;
}
/* Asked once a call: the compiler would ask for the address again. */
static __attribute__((noinline)) __tovel_stack *__tovel_mine(void) { return &__tovel_thread; }
static __attribute__((noinline)) __tovel_stack *__tovel_enter_thread(char *here) {
    __tovel_stack *t = __tovel_mine();
    int depth;
    if (unlikely(!t->floor)) {
        t->floor = __tovel_floor();
        if (here > __tovel_main.floor && here < __tovel_main_top) { /* the main thread's first call */
            ++__tovel_main.depth;
            return __tovel_deeper(here, &__tovel_main);
        }
    }
    depth = ++t->depth;
    if (likely(depth < __tovel_limit && (depth & 31) && here > t->floor)) return t;
    return __tovel_deeper(here, t);
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
