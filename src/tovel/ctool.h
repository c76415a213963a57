// The C compiler of tovel.pipeline: a distutils compiler whose commands run
// captured and through the compiler cache, the flags, headers and macros of a
// build, the environment of its compiler processes, and what determines an
// object besides its C file (the key of the objects the team's store shares).
// Included by pipeline.cpp alone: its collaborators (subprocess, shutil, ...)
// are looked up in tovel.pipeline when they are needed.
#pragma once

#include "common.h"

#include <utility>

namespace tovel::ctool {

inline nb::object lib(const char *name) { return global("tovel.pipeline", name); }

/// distutils' compiler for this interpreter, customised as the build's is.
inline nb::object c_compiler() {
    nb::object cc = nb::module_::import_("distutils.ccompiler").attr("new_compiler")();
    nb::module_::import_("distutils.sysconfig").attr("customize_compiler")(cc);
    return cc;
}

// The first line of compiler output that names an error, else the last line.
inline nb::str tool_line(nb::str output, nb::handle status) {
    nb::list lines(output.attr("strip")().attr("splitlines")());
    for (nb::handle l : lines)
        for (const char *mark : {"error:", "error ", "undefined reference", "fatal"})
            if (truthy(nb::str(l).attr("__contains__")(mark)))
                return nb::str(nb::str(l).attr("strip")());
    if (nb::len(lines))
        return nb::str(nb::str(lines[nb::len(lines) - 1]).attr("strip")());
    return nb::str("exit status {}").format(status);
}

// A distutils compiler whose commands run with their output captured into
// `log`: parallel jobs would otherwise interleave their messages. The
// compile commands go through the compiler cache, and the link drops the
// build interpreter's RUNPATH, which an extension module never needs.
inline nb::object compiler(nb::dict ctx, nb::list log, nb::list stage) {
    nb::object cc = c_compiler();
    if (!nb::str(cc.attr("compiler_type")).equal(nb::str("unix")))
        return cc; // MSVC sets up its own environment in spawn: left as it is.
    nb::object launcher = ctx["launcher"], env = ctx["env"];
    // Newer distutils runs its commands through `call`, older through `spawn`.
    nb::object run = nb::cpp_function([log, stage, launcher, env](nb::list cmd, nb::kwargs) {
        nb::list argv;
        bool compiling = nb::str(stage[0]).equal(nb::str("compile"));
        if (compiling && !launcher.is_none())
            argv.append(launcher);
        for (nb::handle a : cmd) {
            nb::str arg(a);
            if (!compiling && (truthy(arg.attr("startswith")("-Wl,-rpath")) ||
                               truthy(arg.attr("startswith")("-Wl,-R"))))
                continue;
            argv.append(arg);
        }
        nb::object done = lib("subprocess").attr("run")(
            argv, "stdout"_a = -1, "stderr"_a = -2, "text"_a = true, "errors"_a = "replace",
            "env"_a = env);
        nb::list out = nb::borrow<nb::list>(log);
        out.append(nb::str("$ ") + nb::str(lib("shlex").attr("join")(argv)) + nb::str("\n"));
        out.append(done.attr("stdout"));
        if (!done.attr("returncode").equal(nb::int_(0))) {
            nb::object err = builtin("RuntimeError")(
                tool_line(nb::str(done.attr("stdout")), done.attr("returncode")));
            PyErr_SetObject(PyExc_RuntimeError, err.ptr());
            throw nb::python_error();
        }
    });
    cc.attr("call") = run;
    cc.attr("spawn") = run;
    return cc;
}

// What determines a C object besides its C file: the compiler, its version
// and its flags, the macros, the interpreter's headers (names and bytes),
// the machine and its C library. None when the compiler is not one whose
// objects are shared (not the Unix kind, or it does not say its version).
inline nb::object object_base(nb::dict ctx, bool gcc_only = false) {
    nb::object cc = c_compiler();
    if (!nb::str(cc.attr("compiler_type")).equal(nb::str("unix")))
        return nb::none();
    nb::list argv(cc.attr("compiler_so"));
    nb::object version;
    try {
        version = lib("subprocess").attr("run")(nb::make_tuple(argv[0], "--version"), "capture_output"_a = true,
                                                "text"_a = true, "errors"_a = "replace", "timeout"_a = 60);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
    if (!version.attr("returncode").equal(nb::int_(0)))
        return nb::none();
    if (gcc_only && !truthy(nb::str(version.attr("stdout")).attr("__contains__")("Free Software Foundation")))
        return nb::none();
    nb::object platform = nb::module_::import_("platform"), environ = lib("os").attr("environ");
    nb::list what;
    what.append("tovel-object-1");
    what.append(argv);
    what.append(version.attr("stdout"));
    for (const char *key : {"cflags", "macros", "limited", "limited_hex", "includes"})
        what.append(ctx[key]);
    what.append(platform.attr("machine")());
    what.append(platform.attr("libc_ver")());
    what.append(lib("sys").attr("platform"));
    for (const char *var : {"CPATH", "C_INCLUDE_PATH"})
        what.append(get(environ, var, nb::str("")));
    nb::object h = lib("hashlib").attr("sha256")(nb::str(lib("json").attr("dumps")(what)).attr("encode")());
    for (nb::handle folder : ctx["includes"]) {
        nb::object root = lib("Path")(folder);
        for (nb::handle header : builtin("sorted")(root.attr("rglob")("*.h"))) {
            h.attr("update")(nb::str(header.attr("relative_to")(root).attr("as_posix")()).attr("encode")() + nb::bytes("\0", 1));
            h.attr("update")(header.attr("read_bytes")());
        }
    }
    return h.attr("hexdigest")();
}

// The compiler cache program: the one installed beside this interpreter's
// scripts first, then PATH.
inline nb::object find_launcher() {
    nb::object shutil = lib("shutil"), sysconfig = lib("sysconfig");
    nb::object found = shutil.attr("which")("ccache", "path"_a = sysconfig.attr("get_path")("scripts"));
    if (found.is_none())
        found = shutil.attr("which")("ccache");
    return found;
}

// The optimisation level of a compile: the last -O of its command.
inline nb::str opt_level(nb::dict ctx) {
    nb::str level("-O2");
    nb::list argv(c_compiler().attr("compiler_so"));
    argv.attr("extend")(ctx["cflags"]);
    for (nb::handle a : argv)
        if (truthy(nb::str(a).attr("startswith")("-O")))
            level = nb::str(a);
    return level;
}

// The compile and link flags: no debug info unless asked for, and nothing
// of the build folder in the result.
inline void flags(nb::dict ctx, bool debug) {
    nb::list cflags, ldflags;
    bool unix_cc = !lib("os").attr("name").equal(nb::str("nt"));
    if (unix_cc) {
        if (debug) {
            // Debug info names the folder it was built in: mapped to ".".
            cflags.append(nb::str("-ffile-prefix-map={}=.").format(lib("os").attr("getcwd")()));
        } else {
            cflags.append("-g0");
            // The C file's name, which Cython keeps for tracebacks of C lines
            // (at -O1 still in the module), names no folder of the build.
            cflags.append("-fmacro-prefix-map=build/src/=");
            if (truthy(lib("sys").attr("platform").attr("startswith")("linux")))
                ldflags.append("-Wl,-S");
        }
        // -O1 rather than the interpreter's -O3: on the benchmark's sixteen
        // workloads 1 % more instructions than -O2 (which was -O3's count) for
        // some 40 % less compile time: the tuned C is inline fast paths that
        // -O1 keeps. A level the user set in CFLAGS wins (ours would come after theirs).
        if (!truthy(nb::str(get(lib("os").attr("environ"), "CFLAGS", nb::str(""))).attr("__contains__")("-O")))
            cflags.append("-O1");
        // Every module names the C library it runs on, also one that calls
        // nothing of it: auditwheel measures the platform policy from it.
        if (truthy(lib("sys").attr("platform").attr("startswith")("linux"))) {
            ldflags.append("-Wl,--no-as-needed");
            ldflags.append("-lc");
        }
    }
    ctx["cflags"] = cflags;
    ctx["ldflags"] = ldflags;
}

/// The compile's settings in `ctx`: the flags (cflags, ldflags), the limited
/// API (limited, limited_hex), the headers (includes), the macros, the
/// compiler cache program (launcher) and the compilers' environment (env).
/// options: abi3, debug, directives, profile, target, cache, as in run.
inline void setup(nb::dict ctx, nb::dict options) {
    nb::object os = lib("os");
    ctx["limited"] = truthy(options["abi3"]);
    ctx["limited_hex"] = "0x030C0000";
    flags(ctx, truthy(get(options, "debug", nb::bool_(false))));
    // --pgo (tovel.profiler): the instrumented compile, or the one that reads its profile.
    nb::object profile = get(options, "profile", nb::none());
    if (!profile.is_none()) {
        ctx["cflags"].attr("extend")(profile["cflags"]);
        ctx["ldflags"].attr("extend")(profile["ldflags"]);
    }
    nb::object paths = lib("sysconfig").attr("get_paths")();
    nb::list includes;
    for (const char *key : {"include", "platinclude"})
        if (!truthy(includes.attr("__contains__")(paths[key])))
            includes.append(paths[key]);
    // Another interpreter's (tovel.targets): its headers.
    nb::object target = get(options, "target", nb::none());
    ctx["includes"] = target.is_none() ? nb::object(includes) : nb::object(target["includes"]);
    // A free-threaded one's: the modules declare that they run without the
    // GIL, as the directive freethreading_compatible would have them (the C
    // may come from a translation for the limited API, made without it).
    nb::list extra;
    if (!target.is_none() && truthy(get(target, "free_threaded", nb::bool_(false)))) {
        bool free = truthy(get(options["directives"], "freethreading_compatible", nb::bool_(true)));
        extra.append(nb::make_tuple("CYTHON_FREETHREADING_COMPATIBLE", free ? "1" : "0"));
    }
    // The limited API has no code flags, and Cython reads them from the
    // inspect module as a module loads: an import of some 40 ms (ast, dis,
    // enum, re) that a source module never pays. They are the same on every
    // CPython since 3.6, as inspect publishes them.
    if (truthy(ctx["limited"]))
        for (auto [name, value] : {std::pair{"CO_OPTIMIZED", "0x0001"}, {"CO_NEWLOCALS", "0x0002"}, {"CO_VARARGS", "0x0004"},
                                   {"CO_VARKEYWORDS", "0x0008"}, {"CO_GENERATOR", "0x0020"}, {"CO_COROUTINE", "0x0080"},
                                   {"CO_ASYNC_GENERATOR", "0x0200"}})
            extra.append(nb::make_tuple(name, value));
    ctx["macros"] = extra;

    nb::object cache = options["cache"];
    nb::object env = builtin("dict")(os.attr("environ"));
    // ccache keeps local storage only, whatever its configuration says: its
    // remote requests can be neither held to a total deadline nor signed.
    // The team's objects travel through tovel.store.
    env["CCACHE_REMOTE_STORAGE"] = "";
    env["CCACHE_SECONDARY_STORAGE"] = "";
    ctx["launcher"] = nb::none();
    if (!cache.is_none()) {
        nb::object launcher = find_launcher();
        if (launcher.is_none())
            print("no ccache program found: C files are compiled without a cache");
        else {
            ctx["launcher"] = launcher;
            env["CCACHE_DIR"] = os.attr("path").attr("join")(cache, "ccache");
            // Paths under the project are hashed relative to it, so that a
            // copy of the project in another folder hits the same entries.
            env["CCACHE_BASEDIR"] = os.attr("getcwd")();
        }
    }
    ctx["env"] = env;
}

} // namespace tovel::ctool
