// The builtins of a module's source that tovel.mender rewrites for: those
// looked up when the code runs (declared global), and those compiled code
// reads itself, which the module's attribute cannot replace (guarded).
// Included by mender.cpp alone (the mender's fingerprint is that of its
// built file).
#pragma once

#include "common.h"

#include <string>

namespace tovel::mender_names {

// Names looked up when the code runs, in the module, then in the builtins,
// declared global for Cython: (1) those it resolves as builtins when
// translating and Python 3 does not have (xrange, unicode, basestring,
// raw_input, unichr, intern, reload, ...): compiled, `try: unicode` /
// `except NameError:` never takes the handler; (2) builtins that tests
// replace, in the builtins or as the module's attribute (`mock.patch(
// "builtins.open")`, `monkeypatch.setattr(mod, "print", ...)`), which Cython
// would look up once, at import; none of them is one it compiles itself, and
// each call costs far more than the look-up.
static const char *PATCHED_BUILTINS[] = {"open", "print", "input", "breakpoint", "exit", "quit", "help"};

/// Those names (a frozenset, kept on `module` with the pattern that finds
/// them in a text, LOST_BUILTINS_RE).
inline nb::object lost_builtins(nb::object module) {
    if (!nb::hasattr(module, "LOST_BUILTINS")) {
        nb::set names;
        nb::object scope = nb::module_::import_("Cython.Compiler.Builtin").attr("builtin_scope");
        nb::object renamed = nb::module_::import_("Cython.Compiler.Code").attr("renamed_py2_builtins_map");
        nb::object have = builtin("dir")(nb::module_::import_("builtins"));
        for (nb::object from : {nb::object(scope.attr("entries")), renamed})
            for (nb::handle name : from)
                if (truthy(name.attr("isidentifier")()) && !truthy(have.attr("__contains__")(name)))
                    names.add(name);
        for (const char *name : PATCHED_BUILTINS)
            names.add(nb::str(name));
        module.attr("LOST_BUILTINS") = builtin("frozenset")(names);
        nb::object re = nb::module_::import_("re");
        nb::object words = nb::str("|").attr("join")(builtin("map")(re.attr("escape"), builtin("sorted")(names)));
        module.attr("LOST_BUILTINS_RE") = re.attr("compile")(nb::str("\\b(?:{})\\b").format(words));
    }
    return module.attr("LOST_BUILTINS");
}

/// The builtins a module reads that compiled code takes from the builtins
/// itself, at import or inlined (`len`, `isinstance`, `range`, the
/// exceptions): read by name and bound nowhere in the module, not looked up
/// when the code runs, not a dunder. A star import may bind any name: none.
inline nb::list read_builtins(nb::object tree, nb::object module) {
    nb::object ast = nb::module_::import_("ast");
    nb::object known = nb::getattr(nb::module_::import_("Cython.Compiler.PyrexTypes"), "KNOWN_PYTHON_BUILTINS",
                                   builtin("dir")(nb::module_::import_("builtins")));
    nb::object lost = lost_builtins(module);
    nb::set read, bound;
    auto bind = [&](nb::handle name) {
        if (!name.is_none())
            bound.add(name);
    };
    for (nb::handle node : ast.attr("walk")(tree)) {
        std::string k = ast_kind(node);
        if (k == "Name")
            (ast_kind(node.attr("ctx")) == "Load" ? read : bound).add(node.attr("id"));
        else if (k == "arg")
            bound.add(node.attr("arg"));
        else if (ast_is(node, {"FunctionDef", "AsyncFunctionDef", "ClassDef", "ExceptHandler", "MatchAs", "MatchStar",
                               "TypeVar", "ParamSpec", "TypeVarTuple"}))
            bind(node.attr("name"));
        else if (k == "MatchMapping")
            bind(node.attr("rest"));
        else if (k == "Global" || k == "Nonlocal")
            for (nb::handle name : node.attr("names"))
                bound.add(name);
        else if (k == "alias") {
            if (nb::str(node.attr("name")).equal(nb::str("*")))
                return nb::list();
            bound.add(node.attr("asname").is_none() ? nb::object(node.attr("name").attr("partition")(".")[0])
                                                    : nb::object(node.attr("asname")));
        }
    }
    nb::list out;
    for (nb::handle name : builtin("sorted")(read)) {
        std::string n = nb::cast<std::string>(name);
        if (n.rfind("__", 0) != 0 && truthy(known.attr("__contains__")(name)) && !truthy(bound.attr("__contains__")(name)) &&
            !truthy(lost.attr("__contains__")(name)))
            out.append(name);
    }
    return out;
}

// Compiled, `mod.len = f` would go unseen where the source's every call of
// len takes f: the module's class becomes one whose attribute of such a
// name cannot be set to anything but the builtin itself, with an error
// that says why. A module that chose its class, or is not what
// sys.modules holds under its name, is left alone.
static const char *GUARD = R"PY(
def __tovel_guard(names):
    import builtins, sys, types
    m = sys.modules.get(__name__)
    if type(m) is not types.ModuleType or m.__dict__ is not globals():
        return
    class module(types.ModuleType):
        __slots__ = ()
        def __setattr__(self, name, value):
            if name in names and value is not getattr(builtins, name, None):
                raise AttributeError(
                    f"{self.__name__}.{name} cannot be replaced: the compiled module calls the builtin {name} "
                    f"itself (build it with tov bdist --keep to ship it as source)")
            types.ModuleType.__setattr__(self, name, value)
    m.__class__ = module
__tovel_guard(frozenset(({})))
del __tovel_guard
)PY";

/// The lines that guard those names, for the end of the module's text.
inline std::string guard(nb::list names) {
    nb::str quoted(nb::str("").attr("join")(builtin("map")(nb::str("{!r}, ").attr("format"), names)));
    return nb::cast<std::string>(nb::str(GUARD).attr("replace")("{}", quoted));
}

} // namespace tovel::mender_names
