// Positions in a module's source and the edits of tovel.mender's rewrite,
// and the rewrite of large tables. Included by mender.cpp alone (the
// mender's fingerprint is that of its built file).
#pragma once

#include "common.h"

#include <map>
#include <string>
#include <vector>

namespace tovel::mender_source {

/// An edit of the source: `text` in place of the bytes [at, end), inserted
/// at `at` where `end` is npos. Only a replacement may hold line breaks, as
/// many as the bytes it replaces: no line moves.
struct Edit {
    size_t at;
    std::string text;
    size_t end = std::string::npos;
};
using Edits = std::vector<Edit>;

/// The byte offset of a node's start or end: columns of the syntax tree count
/// UTF-8 bytes; lines end where the tokenizer ends them (\n, \r\n, \r).
struct Offsets {
    std::vector<size_t> starts{0};
    explicit Offsets(const std::string &src) {
        for (size_t i = 0; i < src.size(); ++i)
            if (src[i] == '\n' || (src[i] == '\r' && (i + 1 == src.size() || src[i + 1] != '\n')))
                starts.push_back(i + 1);
    }
    size_t start(nb::handle node) const {
        return starts.at(nb::cast<size_t>(node.attr("lineno")) - 1) + nb::cast<size_t>(node.attr("col_offset"));
    }
    size_t end(nb::handle node) const {
        return starts.at(nb::cast<size_t>(node.attr("end_lineno")) - 1) + nb::cast<size_t>(node.attr("end_col_offset"));
    }
};


// A table below this many bytes of source is never weighed.
constexpr size_t TABLE_BYTES = 4096;
// Items of displays (tuples, lists, sets, dicts) that are not constants,
// from which a table is evaluated by the interpreter: Cython builds such a
// display with every item alive in its own C variable, and the compiler's
// time grows with their square (250 enum members in a tuple of tuples take
// a minute, 4,000 more than an hour).
constexpr size_t TABLE_ITEMS = 200;

// Whether a display's item is a constant (numbers, strings, and displays
// and signs of them), which Cython builds without a variable of its own.
inline bool constant(nb::handle node, nb::handle walk) {
    for (nb::handle n : walk(node)) {
        std::string k = ast_kind(n);
        if (k != "Constant" && k != "Tuple" && k != "List" && k != "Set" && k != "Dict" && k != "Load" &&
            k != "UnaryOp" && k != "USub" && k != "UAdd")
            return false;
    }
    return true;
}

// The number of items of displays in `value` that are not constants, or 0
// where the interpreter would not evaluate it as the module does: a
// function or comprehension inside (its code would ship as text), a name
// bound by the expression itself.
inline size_t weight(nb::handle value, nb::handle walk) {
    size_t items = 0;
    for (nb::handle n : walk(value)) {
        std::string k = ast_kind(n);
        if (k == "Lambda" || k == "ListComp" || k == "SetComp" || k == "DictComp" || k == "GeneratorExp" ||
            k == "NamedExpr" || k == "Await" || k == "Yield" || k == "YieldFrom")
            return 0;
        if (k == "Tuple" || k == "List" || k == "Set")
            for (nb::handle e : n.attr("elts"))
                items += !constant(e, walk);
        if (k == "Dict")
            for (nb::handle e : n.attr("values"))
                items += !constant(e, walk);
    }
    return items;
}

// The names a node binds: an assignment's or deletion's target, a
// definition, an import, a global or nonlocal; with `every`, also a
// parameter, an exception's name, a type parameter and a pattern's capture.
inline nb::list names_bound(nb::handle n, bool every) {
    nb::list out;
    std::string k = ast_kind(n);
    if (k == "Name" && ast_kind(n.attr("ctx")) != "Load")
        out.append(n.attr("id"));
    if (k == "FunctionDef" || k == "AsyncFunctionDef" || k == "ClassDef")
        out.append(n.attr("name"));
    if (k == "alias")
        out.append(n.attr("asname").is_none() ? n.attr("name") : n.attr("asname"));
    if (k == "Global" || k == "Nonlocal")
        out.attr("extend")(n.attr("names"));
    if (every && k == "arg")
        out.append(n.attr("arg"));
    if (every && (k == "ExceptHandler" || k == "TypeVar" || k == "ParamSpec" || k == "TypeVarTuple" || k == "MatchAs" ||
                  k == "MatchStar") && !n.attr("name").is_none())
        out.append(n.attr("name"));
    return out;
}

// Whether the module binds a name the rewrite calls (those of a table
// unless `names` are given), anywhere.
inline bool binds(nb::handle tree, nb::handle walk,
                  std::initializer_list<const char *> names = {"eval", "compile", "globals", "__file__"}) {
    auto ours = [&](nb::handle name) {
        if (name.is_none())
            return false;
        std::string s = nb::cast<std::string>(nb::str(name).attr("split")(".")[0]);
        for (const char *n : names)
            if (s == n)
                return true;
        return false;
    };
    for (nb::handle n : walk(tree))
        for (nb::handle name : names_bound(n, false))
            if (ours(name))
                return true;
    return false;
}

/// Large tables of the module's own statements (`TABLE = ((0, 8, Kind.CM),
/// ...)`, not inside a function, class or loop) evaluated by the
/// interpreter from their text, which the module keeps: the code runs once,
/// at import, and gains nothing from compilation that could pay for the
/// C compiler's hour. The value is the same, evaluated in the module's
/// globals as the module's own code is, with its lines where they were.
inline void evaluate_tables(nb::handle tree, const std::string &src, const Offsets &at, Edits &edits) {
    nb::object ast = nb::module_::import_("ast");
    nb::object walk = ast.attr("walk");
    std::vector<nb::object> statements;
    for (nb::handle s : tree.attr("body"))
        statements.push_back(nb::borrow(s));
    std::vector<nb::handle> tables;
    for (size_t i = 0; i < statements.size(); ++i) {
        nb::object s = statements[i];
        std::string k = ast_kind(s);
        if (k == "If" || k == "Try" || k == "TryStar" || k == "With") {
            for (const char *part : {"body", "orelse", "finalbody", "handlers"})
                for (nb::handle child : nb::getattr(s, part, nb::list()))
                    statements.push_back(nb::borrow(child));
            continue;
        }
        if (k == "ExceptHandler") {
            for (nb::handle child : s.attr("body"))
                statements.push_back(nb::borrow(child));
            continue;
        }
        if ((k != "Assign" && k != "AnnAssign") || s.attr("value").is_none())
            continue;
        nb::handle value = s.attr("value");
        if (at.end(value) - at.start(value) >= TABLE_BYTES && weight(value, walk) >= TABLE_ITEMS)
            tables.push_back(value);
    }
    if (tables.empty() || binds(tree, walk))
        return;
    for (nb::handle value : tables) {
        size_t from = at.start(value), to = at.end(value);
        size_t first = nb::cast<size_t>(value.attr("lineno")), last = nb::cast<size_t>(value.attr("end_lineno"));
        size_t column = nb::cast<size_t>(value.attr("col_offset"));
        // Its text on the lines and at the column it has in the file (after
        // the bracket that lets it span lines), for the positions of errors.
        std::string text = std::string(first - 1, '\n') + "(" + std::string(column ? column - 1 : 0, ' ') +
                           src.substr(from, to - from) + "\n)";
        nb::str literal(builtin("repr")(nb::str(text.data(), text.size())));
        edits.push_back({from,
                         "eval(compile(" + nb::cast<std::string>(literal) +
                             ", __file__, 'eval', dont_inherit=True), globals()" + std::string(last - first, '\n') + ")",
                         to});
    }
}

/// What the rewrite of an async generator expression calls: the first
/// iterable's `__aiter__` taken where the expression is, as the interpreter
/// takes it (its errors in its words), the items awaited when the async
/// generator runs, each through the synchronous rest of the expression
/// (`each`). Executed by the interpreter in the module's globals when an
/// expression first runs (a definition at the end of the module would come
/// too late for code run at import), it makes the interpreter's own async
/// generators.
static const char *ASYNC_GENEXP = R"PY(def __tovel_async_genexp__(each, it, name, qualname):
    t = ().__class__.__class__(it)
    if not hasattr(t, '__aiter__'):
        raise TypeError(f"'async for' requires an object with __aiter__ method, got {t.__name__}")
    items = t.__aiter__(it)
    t = ().__class__.__class__(items)
    if not hasattr(t, '__anext__'):
        raise TypeError(f"'async for' received an object from __aiter__ that does not implement __anext__: {t.__name__}")
    async def genexpr():
        while True:
            try:
                item = await t.__anext__(items)
            except StopAsyncIteration:
                return
            for value in each(item):
                yield value
    made = genexpr()
    made.__name__, made.__qualname__ = name, qualname
    return made
)PY";

// Rewrites in `node` (whose qualified name for its generator expressions is
// `qualname`) each async generator expression that Cython cannot parse
// outside an async function, `(ELT async for T in IT IFS REST)`, to
// `(__tovel_async_genexp__(lambda __tovel_item__: (ELT for T in
// (__tovel_item__,) IFS REST), IT, ...))`: IT evaluated where the
// expression is, the rest lazily in a scope of its own, closures read as
// they run. One whose IT spans lines (which would move them), or that
// awaits, binds with `:=` or has another async for is left to Cython.
// Returns whether any was rewritten.
inline bool async_genexps(nb::handle node, bool in_async, const std::string &qualname, const std::string &src,
                          const Offsets &at, Edits &edits) {
    nb::object ast = nb::module_::import_("ast");
    bool any = false;
    std::string k = ast_kind(node);
    if (k == "GeneratorExp" && !in_async) {
        // Cython's parser takes `async` for a name outside an async function.
        nb::list gens = node.attr("generators");
        bool plain = truthy(gens[0].attr("is_async"));
        for (size_t i = 1; i < nb::len(gens); ++i)
            plain = plain && !truthy(gens[i].attr("is_async"));
        for (nb::handle n : ast.attr("walk")(node))
            plain = plain && !ast_is(n, {"Await", "NamedExpr", "Yield", "YieldFrom"}) &&
                    !(n.not_equal(node) && ast_kind(n) == "GeneratorExp" && truthy(n.attr("generators")[0].attr("is_async")));
        nb::handle it = gens[0].attr("iter"), target = gens[0].attr("target"), elt = node.attr("elt");
        size_t from = at.start(it), to = at.end(it), end = at.end(node);
        std::string first = src.substr(from, to - from);
        // The `async` of the first `for`, between the element and the target.
        size_t kw = src.rfind("async", at.start(target));
        if (plain && first.find_first_of("\r\n#") == std::string::npos && kw != std::string::npos && kw >= at.end(elt) &&
            end > 0 && src[end - 1] == ')') {
            std::string name = qualname + "<genexpr>";
            std::string source(ASYNC_GENEXP);
            std::string helper = "(globals().get('__tovel_async_genexp__') or exec(" +
                                 nb::cast<std::string>(builtin("repr")(nb::str(source.data(), source.size()))) +
                                 ", globals()) or globals()['__tovel_async_genexp__'])";
            edits.push_back({at.start(elt), helper + "(lambda __tovel_item__: ("});
            edits.push_back({kw, "", kw + 5});
            edits.push_back({from, "(__tovel_item__,)", to});
            edits.push_back({end - 1, "), " + first + ", '<genexpr>', " +
                                          nb::cast<std::string>(builtin("repr")(nb::str(name.c_str()))) + ")"});
            return true;
        }
    }
    // The names of what is defined here, for the qualified names below.
    std::string inner = qualname;
    bool async_here = in_async;
    if (k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda") {
        inner += (k == "Lambda" ? std::string("<lambda>") : nb::cast<std::string>(node.attr("name"))) + ".<locals>.";
        async_here = k == "AsyncFunctionDef";
    } else if (k == "ClassDef")
        inner += nb::cast<std::string>(node.attr("name")) + ".";
    // A definition's decorators, defaults, annotations and bases are
    // evaluated where it is; its body, inside.
    bool scope = ast_is(node, {"FunctionDef", "AsyncFunctionDef", "Lambda", "ClassDef"});
    nb::object body = scope ? nb::object(node.attr("body")) : nb::none();
    for (nb::handle child : ast.attr("iter_child_nodes")(node)) {
        bool inside = scope && (body.is(child) || (k != "Lambda" && truthy(body.attr("__contains__")(child))));
        any |= async_genexps(child, inside ? async_here : in_async, inside ? inner : qualname, src, at, edits);
    }
    return any;
}

/// `type(helper)` of a name that the module binds only by plain `def`
/// statements (mock's `FunctionTypes = (type(create_autospec), ...)`, read
/// as "the function type"): compiled, it is Cython's function type, which no
/// function of the interpreter is an instance of, and which makes none. It is
/// rewritten `helper.__class__`, the interpreter's function type (mender_c.h
/// gives compiled functions that class). A module that binds `type`, or
/// imports with `*`, is left alone, as is a call over lines.
inline void function_types(nb::handle tree, const Offsets &at, Edits &edits) {
    nb::object walk = nb::module_::import_("ast").attr("walk");
    if (binds(tree, walk, {"type"}))
        return;
    std::map<std::string, bool> defs; // name -> bound only by plain defs
    auto bound = [&](nb::handle name, bool plain_def) {
        if (name.is_none())
            return;
        std::string n = nb::cast<std::string>(nb::str(name));
        auto it = defs.find(n);
        defs[n] = plain_def && (it == defs.end() || it->second);
    };
    std::vector<nb::handle> calls;
    for (nb::handle n : walk(tree)) {
        std::string k = ast_kind(n);
        if (k == "Name" && ast_kind(n.attr("ctx")) != "Load")
            bound(n.attr("id"), false);
        else if (k == "FunctionDef" || k == "AsyncFunctionDef")
            bound(n.attr("name"), nb::len(nb::object(n.attr("decorator_list"))) == 0);
        else if (k == "arg")
            bound(n.attr("arg"), false);
        else if (ast_is(n, {"ClassDef", "ExceptHandler", "MatchAs", "MatchStar", "TypeVar", "ParamSpec", "TypeVarTuple"}))
            bound(n.attr("name"), false);
        else if (k == "MatchMapping")
            bound(n.attr("rest"), false);
        else if (k == "Global" || k == "Nonlocal")
            for (nb::handle name : n.attr("names"))
                bound(name, false);
        else if (k == "alias") {
            if (nb::str(n.attr("name")).equal(nb::str("*")))
                return;
            bound(n.attr("asname").is_none() ? nb::object(n.attr("name").attr("partition")(".")[0])
                                             : nb::object(n.attr("asname")),
                  false);
        } else if (k == "Call" && ast_kind(n.attr("func")) == "Name" &&
                   nb::cast<std::string>(n.attr("func").attr("id")) == "type" && nb::len(nb::object(n.attr("args"))) == 1 &&
                   !nb::len(nb::object(n.attr("keywords"))) && ast_kind(n.attr("args")[0]) == "Name" &&
                   nb::cast<long>(n.attr("lineno")) == nb::cast<long>(n.attr("end_lineno")))
            calls.push_back(n);
    }
    for (nb::handle call : calls) {
        std::string name = nb::cast<std::string>(call.attr("args")[0].attr("id"));
        auto it = defs.find(name);
        if (it != defs.end() && it->second)
            edits.push_back({at.start(call), name + ".__class__", at.end(call)});
    }
}

} // namespace tovel::mender_source
