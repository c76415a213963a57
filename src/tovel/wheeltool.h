// Helpers of the modules that run the wheel tools (abi3audit, auditwheel,
// wheel) on a wheel: a path argument as text, a tool's run with the
// interpreter of tovel, the line that says why it failed, and auditwheel's
// analysis of a wheel with the libraries it needs from outside.
#pragma once

#include "common.h"

namespace tovel::wheeltool {

/// A path argument as text (str or os.PathLike of str).
inline nb::str path_text(nb::handle path, const char *func, const char *param) {
    nb::object text = nb::module_::import_("os").attr("fspath")(path);
    if (!nb::isinstance<nb::str>(text)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or os.PathLike, not %s", func, param,
                     Py_TYPE(path.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow<nb::str>(text);
}

inline nb::str basename(nb::handle path) {
    return nb::str(nb::module_::import_("os").attr("path").attr("basename")(path));
}

/// Runs `cmd` with the interpreter of the tool, its output captured; `sys`
/// and `subprocess` are those of the module `mod`.
inline nb::object run(const char *mod, nb::list cmd, nb::handle env) {
    cmd.insert(0, global(mod, "sys").attr("executable"));
    return global(mod, "subprocess").attr("run")(cmd, "capture_output"_a = true, "text"_a = true, "env"_a = env);
}

/// The last line of a child's error output that says something.
inline nb::str last_line(nb::handle text) {
    nb::list lines(nb::str(text).attr("strip")().attr("splitlines")());
    if (nb::len(lines) == 0)
        return nb::str("");
    return nb::str(lines[nb::len(lines) - 1].attr("strip")());
}

/// auditwheel's analysis of the wheel at `path` for the C library `libc`
/// and the architecture `arch` (None: what the modules say), as `auditwheel
/// show` (no grafting) or `auditwheel repair` (grafting allowed) makes it;
/// None when auditwheel cannot measure it: a module that calls nothing of
/// the C library does not name one.
inline nb::object analyse(nb::handle libc, nb::handle arch, nb::handle path, bool graft) {
    nb::module_ error = nb::module_::import_("auditwheel.error");
    nb::module_ wheel_abi = nb::module_::import_("auditwheel.wheel_abi");
    nb::module_ lddtree = nb::module_::import_("auditwheel.lddtree");
    // auditwheel caches what it reads of a wheel by the wheel's path, and the
    // linker's search path, for the life of the process: a wheel rebuilt under
    // the same name, or a library moved, would be judged as it was before.
    nb::object cached_functions[] = {wheel_abi.attr("get_wheel_elfdata"), lddtree.attr("load_ld_paths")};
    for (nb::handle cached : cached_functions) {
        nb::object clear = nb::getattr(cached, "cache_clear", nb::none());
        if (!clear.is_none())
            clear();
    }
    nb::dict kw;
    kw["disable_isa_ext_check"] = false;
    kw["allow_graft"] = graft;
    if (graft)
        kw["requested_policy_base_name"] = "auto";
    try {
        return wheel_abi.attr("analyze_wheel_abi")(libc, arch, nb::module_::import_("pathlib").attr("Path")(path),
                                                   nb::frozenset(), **kw);
    } catch (nb::python_error &e) {
        if (!e.matches(error.attr("NonPlatformWheelError")) && !e.matches(error.attr("InvalidLibcError")))
            throw;
    }
    return nb::none();
}

/// The libraries from outside the wheel that the modules need under the
/// policy auditwheel measured (`info`), libpython aside: (name, path) pairs,
/// the path None for one that cannot be found.
inline nb::list outside_libs(nb::handle info) {
    nb::object libpython = nb::module_::import_("auditwheel.lddtree").attr("LIBPYTHON_RE");
    nb::object libs = info.attr("external_refs")[info.attr("overall_policy").attr("name")].attr("libs");
    nb::list out;
    for (nb::handle item : libs.attr("items")())
        if (libpython.attr("match")(item[0]).is_none())
            out.append(item);
    return out;
}

} // namespace tovel::wheeltool
