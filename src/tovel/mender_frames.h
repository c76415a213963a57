// The calls that name what they make after their caller's module, inside
// compiled functions. Included by mender.cpp alone.
#pragma once

#include "common.h"
#include "mender_source.h"

#include <algorithm>
#include <string>

namespace tovel::mender_frames {

using namespace tovel::mender_source;

// A compiled function runs without a frame of its own, so what reads its
// caller's frame (namedtuple, the functional Enum, TypeVar, NewType,
// make_dataclass, type() of three arguments) finds the frame of whoever
// called the function, and names its result after that module: `__module__`
// is the test's, and the result does not pickle. Such a call is rewritten
// `eval("f(*a, **k)", globals(), {"f": <callee>, "a": [<args>], "k": dict(<keywords>)})`:
// the interpreter runs it under a frame whose globals are the module's, as
// the source's function has. Calls at module level already run under the
// module body's frame (mender_c.h).
struct Reader {
    const char *module, *name;
};
static const Reader READERS[] = {
    {"collections", "namedtuple"}, {"enum", "Enum"},        {"enum", "IntEnum"},
    {"enum", "Flag"},              {"enum", "IntFlag"},     {"enum", "StrEnum"},
    {"typing", "NamedTuple"},      {"typing", "TypedDict"}, {"typing", "TypeVar"},
    {"typing", "ParamSpec"},       {"typing", "TypeVarTuple"}, {"typing", "NewType"},
    {"dataclasses", "make_dataclass"},
};

// The names a module binds by its imports: local name -> (module, name) of
// `from m import n`; local name -> module of `import m`.
static void imports(nb::handle tree, nb::dict imported, nb::dict modules) {
    for (nb::handle n : nb::module_::import_("ast").attr("walk")(tree)) {
        std::string k = ast_kind(n);
        if (k == "ImportFrom" && !n.attr("module").is_none())
            for (nb::handle alias : n.attr("names"))
                imported[alias.attr("asname").is_none() ? alias.attr("name") : alias.attr("asname")] =
                    nb::make_tuple(n.attr("module"), alias.attr("name"));
        if (k == "Import")
            for (nb::handle alias : n.attr("names"))
                if (!alias.attr("asname").is_none() || !truthy(alias.attr("name").attr("__contains__")(".")))
                    modules[alias.attr("asname").is_none() ? alias.attr("name") : alias.attr("asname")] = alias.attr("name");
    }
}

// The module and name a call's callee was imported as (`f` of `from m import
// f`, `m.f` of `import m`); false for anything else.
static bool imported_callee(nb::handle func, nb::dict imported, nb::dict modules, std::string &module, std::string &name) {
    std::string k = ast_kind(func);
    if (k == "Name" && imported.contains(func.attr("id"))) {
        nb::tuple from = imported[func.attr("id")];
        module = nb::cast<std::string>(from[0]), name = nb::cast<std::string>(from[1]);
        return true;
    }
    if (k == "Attribute" && ast_kind(func.attr("value")) == "Name" && modules.contains(func.attr("value").attr("id"))) {
        module = nb::cast<std::string>(modules[func.attr("value").attr("id")]);
        name = nb::cast<std::string>(func.attr("attr"));
        return true;
    }
    return false;
}

static bool reads_frame(nb::handle call, nb::dict imported, nb::dict modules) {
    nb::object func = call.attr("func");
    nb::list args = call.attr("args"), keywords = call.attr("keywords");
    std::string module, name;
    if (ast_kind(func) == "Name" && !imported.contains(func.attr("id")))
        return nb::cast<std::string>(func.attr("id")) == "type" && nb::len(args) == 3 && nb::len(keywords) == 0;
    if (!imported_callee(func, imported, modules, module, name))
        return false;
    if (module == "typing_extensions")
        module = "typing";
    bool known = false;
    for (const Reader &r : READERS)
        known = known || (module == r.module && name == r.name);
    // The module given, the frame does not matter; an enum class called with
    // one value (no names) looks a member up.
    bool named = false, functional = module != "enum" || nb::len(args) >= 2;
    for (nb::handle kw : keywords) {
        std::string arg = kw.attr("arg").is_none() ? "" : nb::cast<std::string>(kw.attr("arg"));
        named = named || arg == "module";
        functional = functional || arg == "names";
    }
    return known && !named && functional;
}

// Rewrites one call; false where its shape is one this does not handle.
static bool frame_call(nb::handle call, const std::string &src, const Offsets &at, Edits &edits) {
    nb::list args = call.attr("args"), keywords = call.attr("keywords");
    size_t first_kw = nb::len(keywords) ? at.start(keywords[0]) : std::string::npos;
    for (nb::handle a : args)
        // `f(x for x in y)` would become a list; `f(k=1, *rest)` puts a positional after a keyword.
        if (ast_kind(a) == "GeneratorExp" || at.start(a) > first_kw)
            return false;
    size_t open = at.end(call.attr("func")), close = at.end(call) - 1;
    while (open < close && src[open] != '(') {
        char ch = src[open];
        if (ch == '#')
            while (open < close && src[open] != '\n')
                ++open;
        else if (ch == ')' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\\' || ch == '\f')
            ++open;
        else
            return false;
    }
    if (open >= close || src[close] != ')')
        return false;
    edits.push_back({at.start(call.attr("func")), "eval(\"f(*a, **k)\", globals(), {\"f\": "});
    edits.push_back({open, ", \"a\": [", open + 1});
    if (first_kw != std::string::npos) {
        edits.push_back({first_kw, "], \"k\": dict("});
        edits.push_back({close, ")})", close + 1});
    } else {
        edits.push_back({close, "], \"k\": {}})", close + 1});
    }
    return true;
}

static void walk_calls(nb::handle node, bool inside, nb::dict imported, nb::dict modules, const std::string &src,
                       const Offsets &at, Edits &edits) {
    std::string k = ast_kind(node);
    if (inside && k == "Call")
        if (reads_frame(node, imported, modules))
            frame_call(node, src, at, edits);
    inside = inside || k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda";
    for (nb::handle child : nb::module_::import_("ast").attr("iter_child_nodes")(node))
        walk_calls(child, inside, imported, modules, src, at, edits);
}

/// Rewrites the calls inside functions that read their caller's frame.
inline void frame_calls(nb::handle tree, const std::string &src, const Offsets &at, Edits &edits) {
    nb::object walk = nb::module_::import_("ast").attr("walk");
    if (binds(tree, walk, {"eval", "globals"}))
        return;
    nb::dict imported, modules;
    imports(tree, imported, modules);
    if (binds(tree, walk, {"type"}))
        imported["type"] = nb::make_tuple("", "type"); // the module's own `type`: not the builtin's three-argument form
    walk_calls(tree, false, imported, modules, src, at, edits);
}

// A compiled function has no frame, so the innermost Python frame seen from
// its body is its caller's: `inspect.currentframe().f_back` there is the
// caller's caller (None when the caller is a script's top level), and
// `sys._getframe(1)` two frames out, and `warnings.warn(..., stacklevel=2)`
// names the caller's caller. Inside functions, such a reading of the caller
// (`.f_back` of the current frame, through typing's `cast` too, or of a
// name the function binds once to it; a literal
// depth of `sys._getframe`; a literal stacklevel) is rewritten one frame
// nearer: the function's caller, as the source names it when a Python frame
// calls it; so is a literal index into `inspect.stack()`. A depth computed
// by walking the frames counts Python frames already, and is left alone.
static bool current_frame(nb::handle node, nb::dict imported, nb::dict modules) {
    std::string k = ast_kind(node);
    if (k != "Call")
        return false;
    nb::object func = node.attr("func");
    nb::list args = node.attr("args");
    std::string module, name;
    imported_callee(func, imported, modules, module, name);
    if (name == "cast" && (module == "typing" || module == "typing_extensions") && nb::len(args) == 2)
        return current_frame(args[1], imported, modules);
    if (nb::len(nb::list(node.attr("keywords"))))
        return false;
    if (module == "inspect" && name == "currentframe")
        return nb::len(args) == 0;
    bool zero = nb::len(args) == 0 ||
                (ast_kind(args[0]) == "Constant" && nb::int_(0).equal(args[0].attr("value")) &&
                 nb::isinstance<nb::int_>(args[0].attr("value")));
    return module == "sys" && name == "_getframe" && zero;
}

// The names a function binds once, and to its current frame (`frame =
// inspect.currentframe()`, then `frame.f_back` in another statement, as
// cleo's completions command does): their `.f_back` is the caller too.
static void scope_stores(nb::handle node, nb::dict counts, nb::list framed, nb::dict imported, nb::dict modules) {
    nb::object ast = nb::module_::import_("ast");
    for (nb::handle child : ast.attr("iter_child_nodes")(node)) {
        std::string k = ast_kind(child);
        if (k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda" || k == "ClassDef")
            continue; // a scope of its own
        if (k == "Name" && ast_kind(child.attr("ctx")) == "Store") // `del frame` (to break the cycle) binds nothing
            counts[child.attr("id")] = nb::int_(nb::cast<int>(counts.attr("get")(child.attr("id"), 0)) + 1);
        if (k == "arg") // a parameter binds it too
            counts[child.attr("arg")] = nb::int_(nb::cast<int>(counts.attr("get")(child.attr("arg"), 0)) + 1);
        if (k == "Global" || k == "Nonlocal")
            for (nb::handle n : child.attr("names"))
                counts[n] = nb::int_(2);
        if (k == "Assign" && nb::len(nb::list(child.attr("targets"))) == 1 &&
            ast_kind(child.attr("targets")[0]) == "Name" && current_frame(child.attr("value"), imported, modules))
            framed.append(child.attr("targets")[0].attr("id"));
        scope_stores(child, counts, framed, imported, modules);
    }
}

static void walk_depths(nb::handle node, bool inside, nb::dict imported, nb::dict modules, nb::set framed,
                        const std::string &src, const Offsets &at, Edits &edits) {
    std::string k = ast_kind(node);
    if (inside && k == "Attribute" && nb::cast<std::string>(node.attr("attr")) == "f_back" &&
        (current_frame(node.attr("value"), imported, modules) ||
         (ast_kind(node.attr("value")) == "Name" && framed.contains(node.attr("value").attr("id"))))) {
        size_t from = at.end(node.attr("value")), to = at.end(node);
        std::string gap = src.substr(from, to - from);
        gap.erase(std::remove_if(gap.begin(), gap.end(), [](char c) { return c == ' ' || c == '\t'; }), gap.end());
        if (gap == ".f_back") {
            edits.push_back({from, "", to});
            walk_depths(node.attr("value"), inside, imported, modules, framed, src, at, edits);
            return;
        }
    }
    // A literal depth of sys._getframe, and warnings.warn's literal
    // stacklevel (a keyword, or its third argument).
    std::string module, name;
    if (inside && k == "Call" && imported_callee(node.attr("func"), imported, modules, module, name)) {
        nb::list args(node.attr("args")), keywords(node.attr("keywords"));
        nb::object level = nb::none();
        long least = 1;
        if (module == "sys" && name == "_getframe" && nb::len(args) == 1 && !nb::len(keywords))
            level = args[0];
        if (module == "warnings" && name == "warn") {
            least = 2;
            if (nb::len(args) >= 3)
                level = args[2];
            for (nb::handle kw : keywords)
                if (!kw.attr("arg").is_none() && nb::cast<std::string>(kw.attr("arg")) == "stacklevel")
                    level = kw.attr("value");
        }
        if (!level.is_none() && ast_kind(level) == "Constant" && nb::isinstance<nb::int_>(level.attr("value")) &&
            !nb::isinstance<nb::bool_>(level.attr("value")) && nb::cast<long>(level.attr("value")) >= least)
            edits.push_back({at.start(level), std::to_string(nb::cast<long>(level.attr("value")) - 1), at.end(level)});
    }
    // A literal index into the frames that inspect lists from the current
    // one: `inspect.stack()[1]`, `inspect.getouterframes(inspect.currentframe())[1]`.
    if (inside && k == "Subscript" && ast_kind(node.attr("value")) == "Call" &&
        imported_callee(node.attr("value").attr("func"), imported, modules, module, name) && module == "inspect" &&
        (name == "stack" || (name == "getouterframes" && nb::len(nb::list(node.attr("value").attr("args"))) >= 1 &&
                             current_frame(node.attr("value").attr("args")[0], imported, modules)))) {
        nb::handle index = node.attr("slice");
        if (ast_kind(index) == "Constant" && nb::isinstance<nb::int_>(index.attr("value")) &&
            !nb::isinstance<nb::bool_>(index.attr("value")) && nb::cast<long>(index.attr("value")) >= 1)
            edits.push_back({at.start(index), std::to_string(nb::cast<long>(index.attr("value")) - 1), at.end(index)});
    }
    inside = inside || k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda";
    if (k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda" || k == "ClassDef") {
        nb::dict counts;
        nb::list named;
        framed = nb::set();
        if (k != "ClassDef")
            scope_stores(node, counts, named, imported, modules);
        for (nb::handle n : named)
            if (nb::cast<int>(counts.attr("get")(n, 0)) == 1)
                framed.add(n);
    }
    for (nb::handle child : nb::module_::import_("ast").attr("iter_child_nodes")(node))
        walk_depths(child, inside, imported, modules, framed, src, at, edits);
}

/// Rewrites the readings of the caller's frame inside functions.
inline void frame_depths(nb::handle tree, const std::string &src, const Offsets &at, Edits &edits) {
    nb::dict imported, modules;
    imports(tree, imported, modules);
    walk_depths(tree, false, imported, modules, nb::set(), src, at, edits);
}

} // namespace tovel::mender_frames
