// Helpers of the modules that run the wheel tools (abi3audit, auditwheel,
// wheel) on a finished wheel: a path argument as text, a tool's run with the
// interpreter of tovel, and the line that says why it failed.
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

} // namespace tovel::wheeltool
