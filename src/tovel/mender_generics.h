// Type parameters (`class Box[T]:`, `def first[T](xs: list[T]) -> T:`) and
// type statements (`type Pair = tuple[int, int]`), which Cython does not
// parse, in forms it does. Included by mender.cpp alone.
#pragma once

#include "common.h"
#include "mender_source.h"

#include <map>
#include <string>
#include <vector>

namespace tovel::mender_generics {

using namespace tovel::mender_source;

static const char *TYPING = "__import__(\"typing\")";

// Whether the subtree binds one of the names (a parameter, an assignment, a
// nested definition or type parameter): a rename would then change it.
static bool rebinds(nb::handle node, nb::handle walk, const std::map<std::string, std::string> &names) {
    for (nb::handle n : walk(node))
        for (nb::handle name : names_bound(n, true))
            if (names.count(nb::cast<std::string>(nb::str(name))))
                return true;
    return false;
}

// Renames the loads of the type parameters under `node`; annotations are
// left as written where the module keeps them as text (they are never
// evaluated, and their text is what `__annotations__` holds).
static void rename(nb::handle node, bool future, const std::map<std::string, std::string> &names, const Offsets &at,
                   Edits &edits) {
    if (node.is_none())
        return;
    std::string k = ast_kind(node);
    if (k == "Name") {
        auto found = names.find(nb::cast<std::string>(node.attr("id")));
        if (found != names.end())
            edits.push_back({at.start(node), found->second, at.end(node)});
        return;
    }
    nb::object ast = nb::module_::import_("ast");
    for (nb::handle field : node.attr("_fields")) {
        std::string f = nb::cast<std::string>(field);
        if (future && (f == "annotation" || f == "returns"))
            continue;
        nb::object value = nb::getattr(node, field, nb::none());
        if (nb::isinstance<nb::list>(value)) {
            for (nb::handle item : value)
                if (nb::isinstance(item, ast.attr("AST")))
                    rename(item, future, names, at, edits);
        } else if (nb::isinstance(value, ast.attr("AST"))) {
            rename(value, future, names, at, edits);
        }
    }
}

// The offset of the next character at `i` or after that is not blank, a
// comment or a line break; src.size() if none.
static size_t skip_blanks(const std::string &src, size_t i) {
    while (i < src.size()) {
        if (src[i] == '#')
            while (i < src.size() && src[i] != '\n')
                ++i;
        else if (src[i] == ' ' || src[i] == '\t' || src[i] == '\n' || src[i] == '\r' || src[i] == '\f' || src[i] == '\\')
            ++i;
        else
            break;
    }
    return i;
}

// A class or function with type parameters. Cython has no annotation scope,
// so each parameter becomes a module global of its own (`_tovel_tpN_T`,
// made by typing as the interpreter makes it, with its bound or
// constraints), created by a decorator written on the blank or comment
// line above the definition (no line moves), evaluated before anything of
// the definition as the scope would be; the loads of the parameter inside
// are renamed to it. A class gets `Generic[...]` as its last base, as the
// interpreter gives it, and both their `__type_params__`. Where a line
// above is not free, or a name inside rebinds a parameter, the definition is
// left as written (Cython says what it cannot translate).
static void generic(nb::handle node, bool local, bool future, int &count, const std::string &src, const Offsets &at,
                    Edits &edits, std::vector<std::string> &globals, std::string &tail) {
    nb::object walk = nb::module_::import_("ast").attr("walk");
    nb::list params(node.attr("type_params")), decorators(node.attr("decorator_list"));
    std::map<std::string, std::string> names;
    for (nb::handle p : params)
        names[nb::cast<std::string>(p.attr("name"))] = "";
    std::string kind = ast_kind(node);
    // In a function, bounds are evaluated where the decorator stands: one
    // naming a type parameter would not find it there.
    for (nb::handle p : params) {
        if (local && nb::hasattr(p, "default_value") && !p.attr("default_value").is_none())
            return;
        if (local && nb::hasattr(p, "bound") && !p.attr("bound").is_none())
            for (nb::handle n : walk(p.attr("bound")))
                if (ast_kind(n) == "Name" && names.count(nb::cast<std::string>(n.attr("id"))))
                    return;
    }
    for (nb::handle part : node.attr("body"))
        if (rebinds(part, walk, names))
            return;
    if (kind == "ClassDef" && nb::len(nb::list(node.attr("bases"))) && ast_kind(node.attr("bases")[0]) == "Starred")
        return;
    nb::object args = kind == "ClassDef" ? nb::object(nb::none()) : nb::object(node.attr("args"));
    if (!args.is_none() && rebinds(args, walk, names))
        return;
    // The line above the definition (its first decorator), where it is
    // blank or a comment.
    size_t first = nb::cast<size_t>(nb::len(decorators) ? decorators[0].attr("lineno") : node.attr("lineno"));
    size_t line = first >= 2 ? at.starts[first - 2] : 0, stop = first >= 2 ? at.starts[first - 1] : 0;
    size_t text = line;
    while (text < stop && (src[text] == ' ' || src[text] == '\t' || src[text] == '\f'))
        ++text;
    bool free = first >= 2 && (text == stop || src[text] == '#' || src[text] == '\n' || src[text] == '\r');
    size_t comment_end = text;
    while (comment_end < stop && src[comment_end] != '\n' && src[comment_end] != '\r')
        ++comment_end;
    // In a function, the parameters are its locals, made by each call (an
    // assignment expression): there is no end of the module to make them at.
    if (local && !free && !nb::len(decorators) && kind != "ClassDef")
        return;
    // The brackets of the parameters, and the line breaks within them.
    size_t open = at.start(params[0]), close = skip_blanks(src, at.end(params[nb::len(params) - 1]));
    while (open > 0 && src[open] != '[')
        --open;
    while (close < src.size() && src[close] == ',')
        close = skip_blanks(src, close + 1);
    if (src[open] != '[' || close >= src.size() || src[close] != ']')
        return;
    std::string breaks;
    for (size_t i = open; i < close; ++i)
        if (src[i] == '\n')
            breaks += '\n';

    ++count;
    // At module or class level the interpreter makes the parameters, from
    // their own text in a definition it runs in the module's globals: their
    // bounds stay lazy (a bound often names what only a type checker
    // imports). In a function, typing makes them, with their bounds, at each call.
    std::string made, tuple, subscript, made_names;
    std::string bracket = src.substr(open, close + 1 - open);
    std::string made_by = "(exec(" + nb::cast<std::string>(builtin("repr")(nb::str(("def _tovel_tp_" + bracket + "(): pass").c_str()))) +
                          ", globals()) or globals().pop(\"_tovel_tp_\").__type_params__)";
    for (nb::handle p : params) {
        std::string name = nb::cast<std::string>(p.attr("name")), k = ast_kind(p);
        std::string global = "_tovel_tp" + std::to_string(count) + "_" + name;
        names[name] = global;
        if (!local)
            globals.push_back(global);
        std::string call = std::string(TYPING) + "." + k + "(\"" + name + "\"";
        if (k == "TypeVar" && !p.attr("bound").is_none()) {
            nb::handle bound = p.attr("bound");
            std::string written = src.substr(at.start(bound), at.end(bound) - at.start(bound));
            call += ast_kind(bound) == "Tuple" ? ", *" + written : ", bound=" + written;
        }
        call += k == "TypeVarTuple" ? ")" : ", infer_variance=True)";
        made += std::string(made.empty() ? "" : ", ") + "(" + global + " := " + call + ")";
        made_names += "\"" + global + "\", ";
        tuple += global + ", ";
        subscript += (subscript.empty() ? "" : ", ") + (k == "TypeVarTuple" ? "next(iter(" + global + "))" : global);
    }
    // A decorated function may be something else by then (a property):
    // only a class or an undecorated function is given its parameters.
    std::string given = kind == "ClassDef" ? "isinstance(o, type) and " : nb::len(decorators) ? "False and " : "";
    size_t def_line = at.starts[nb::cast<size_t>(node.attr("lineno")) - 1];
    std::string indent = src.substr(def_line, nb::cast<size_t>(node.attr("col_offset")));
    std::string comment = src.substr(text, comment_end - text);
    // Cython evaluates a class's bases before its decorators: there the
    // parameters are made in the first base.
    std::string update = local ? "(" + made + ",) and " : "globals().update(zip((" + made_names + "), " + made_by + ")) or ";
    std::string give = "setattr(o, \"__type_params__\", (" + tuple + "))";
    if (free) {
        edits.push_back({line, indent + "@(" + (kind == "ClassDef" ? "" : update) + "(lambda o: (" + given + give + ") or o))" +
                                   (comment.empty() ? "" : "  " + comment),
                         comment_end});
    } else {
        // No line to write on: a function's parameters are made by its
        // first decorator or, with none, when the module's body has run
        // (Cython keeps annotations as text: only the body and
        // get_type_hints read them); a class at module level is given them then.
        if (kind != "ClassDef" && nb::len(decorators)) {
            edits.push_back({at.start(decorators[0]), "(" + update});
            edits.push_back({at.end(decorators[0]), ")"});
        } else if (kind != "ClassDef") {
            tail += "globals().update(zip((" + made_names + "), " + made_by + "))\n";
        }
        if (!nb::len(decorators) && indent.empty() && !local)
            tail += "(lambda o: " + given + give + ")(" + nb::cast<std::string>(node.attr("name")) + ")\n";
    }
    edits.push_back({open, "", close + 1});
    if (kind == "ClassDef") {
        nb::list bases(node.attr("bases")), keywords(node.attr("keywords"));
        std::string base = std::string(TYPING) + ".Generic[" + (nb::len(bases) ? "" : update + "(") + subscript +
                           (nb::len(bases) ? "" : ",)") + breaks + "]";
        size_t after = skip_blanks(src, close + 1);
        if (nb::len(bases)) {
            edits.push_back({at.start(bases[0]), "(" + update});
            edits.push_back({at.end(bases[0]), ")"});
            edits.push_back({at.end(bases[nb::len(bases) - 1]), ", " + base});
        } else if (nb::len(keywords))
            edits.push_back({at.start(keywords[0]), base + ", "});
        else if (src[after] == '(')
            edits.push_back({after + 1, base});
        else
            edits.push_back({close + 1, "(" + base + ")"});
        for (nb::handle b : bases)
            rename(b, false, names, at, edits);
        for (nb::handle kw : keywords)
            rename(kw, false, names, at, edits);
    } else {
        size_t paren = skip_blanks(src, close + 1);
        edits.push_back({paren + 1, breaks});
        // Defaults are evaluated outside the parameters' scope.
        for (const char *f : {"posonlyargs", "args", "kwonlyargs"})
            for (nb::handle a : args.attr(f))
                rename(a, future, names, at, edits);
        rename(args.attr("vararg"), future, names, at, edits);
        rename(args.attr("kwarg"), future, names, at, edits);
        if (!future)
            rename(node.attr("returns"), future, names, at, edits);
    }
    for (nb::handle part : node.attr("body"))
        rename(part, future, names, at, edits);
}

// A type statement at module level runs as the interpreter's own, in the
// module's globals: its value stays lazy, as written.
static void type_alias(nb::handle node, const std::string &src, const Offsets &at, Edits &edits) {
    size_t from = at.start(node), to = at.end(node);
    std::string written = src.substr(from, to - from), breaks;
    for (char c : written)
        if (c == '\n')
            breaks += '\n';
    nb::str text(written.data(), written.size());
    edits.push_back({from, "exec(" + nb::cast<std::string>(builtin("repr")(text)) + ", globals()" + breaks + ")", to});
}

static void walk_generics(nb::handle node, bool in_function, bool in_class, bool future, int &count,
                          const std::string &src, const Offsets &at, Edits &edits, std::vector<std::string> &globals,
                          std::string &tail) {
    for (nb::handle child : nb::module_::import_("ast").attr("iter_child_nodes")(node)) {
        std::string k = ast_kind(child);
        bool definition = k == "FunctionDef" || k == "AsyncFunctionDef" || k == "ClassDef";
        // A class's assignment expression would bind an attribute of the class: not inside functions.
        if (definition && nb::len(nb::list(nb::getattr(child, "type_params", nb::list()))) &&
            !(in_function && ast_kind(node) == "ClassDef"))
            generic(child, in_function, future, count, src, at, edits, globals, tail);
        if (k == "TypeAlias" && !in_function && !in_class)
            type_alias(child, src, at, edits);
        walk_generics(child, in_function || (definition && k != "ClassDef") || k == "Lambda", in_class || k == "ClassDef",
                      future, count, src, at, edits, globals, tail);
    }
}

/// Rewrites the type parameters and type statements of a module; returns
/// the globals it names, which the module declares at its end for Cython;
/// adds to `tail` what runs after the module's last line.
inline std::vector<std::string> generics(nb::handle tree, const std::string &src, const Offsets &at, Edits &edits,
                                         std::string &tail) {
    bool future = false;
    for (nb::handle n : nb::list(tree.attr("body")))
        if (ast_kind(n) == "ImportFrom" && !n.attr("module").is_none() &&
            nb::cast<std::string>(n.attr("module")) == "__future__")
            for (nb::handle alias : n.attr("names"))
                future = future || nb::cast<std::string>(alias.attr("name")) == "annotations";
    std::vector<std::string> globals;
    int count = 0;
    walk_generics(tree, false, false, future, count, src, at, edits, globals, tail);
    return globals;
}

} // namespace tovel::mender_generics
