// tovel.stubtypes: the types a stub (tovel.stubber) writes for what it
// leaves out of a module: the values it does not keep (code, long tables)
// and the attributes methods set on their instances, whose bodies a stub
// has no room for.
#include "common.h"

#include <nanobind/stl/string.h>

#include <string>
#include <utility>

using namespace tovel;

static const char *MOD = "tovel.stubtypes";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object node(const char *kind) { return mine("ast").attr(kind); }


static nb::object name_node(nb::handle id) { return node("Name")("id"_a = id, "ctx"_a = node("Load")()); }

// The unknown type, as the stub's `from typing import Any as _Incomplete` names it.
static const char *UNKNOWN = "_Incomplete";

/// An expression a stub keeps as it is: none of the code of a body (a lambda,
// a comprehension, an assignment expression, await, yield) and no data
// table (a long literal, which only its type stands for).
static bool plain(nb::handle expr) {
    for (nb::handle n : mine("ast").attr("walk")(expr))
        if (ast_is(n, {"Lambda", "ListComp", "SetComp", "DictComp", "GeneratorExp", "NamedExpr", "Await", "Yield",
                   "YieldFrom"}))
            return false;
    if (ast_is(expr, {"Constant", "List", "Tuple", "Set", "Dict"}))
        return nb::len(mine("ast").attr("unparse")(expr)) <= 200;
    return true;
}

/// The type a stub gives a value it does not keep (None: not known): a
// literal's own type (str, list[int], ...), or the unknown type.
static nb::object summary(nb::handle expr) {
    if (ast_is(expr, {"Constant"}) && !expr.attr("value").is_none())
        return name_node(expr.attr("value").type().attr("__name__"));
    if (ast_is(expr, {"List", "Tuple", "Set", "Dict"})) {
        // Of constants (keys and values apart), the type a type checker
        // joins theirs to: one type, optional where None is among them
        // ({"ftp": 21, "file": None} is dict[str, int | None]); bool joins
        // int, and int float. Of other mixes, none.
        auto one_type = [](nb::handle items) -> nb::object {
            nb::set types;
            bool none = false;
            for (nb::handle item : items) {
                if (!ast_is(item, {"Constant"}))
                    return nb::none();
                if (item.attr("value").is_none())
                    none = true;
                else
                    types.add(item.attr("value").type().attr("__name__"));
            }
            for (auto [narrow, wide] : {std::pair{"bool", "int"}, std::pair{"int", "float"}})
                if (nb::len(types) == 2 && types.contains(narrow) && types.contains(wide))
                    types.discard(nb::str(narrow));
            if (nb::len(types) > 1 || (!nb::len(types) && !none))
                return nb::none();
            if (!nb::len(types))
                return nb::str("None");
            nb::str one(builtin("next")(builtin("iter")(types)));
            return none ? nb::str("{} | None").format(one) : nb::object(one);
        };
        nb::str container(nb::str(ast_kind(expr).c_str()).attr("lower")());
        if (ast_is(expr, {"Tuple"}) && nb::len(nb::object(expr.attr("elts"))) <= 64) {
            // A tuple of constants: each one's type, as a type checker reads the literal.
            nb::list types;
            for (nb::handle item : expr.attr("elts"))
                if (ast_is(item, {"Constant"}))
                    types.append(item.attr("value").is_none() ? nb::str("None")
                                                              : nb::str(item.attr("value").type().attr("__name__")));
            if (nb::len(types) && nb::len(types) == nb::len(nb::object(expr.attr("elts"))))
                return mine("ast").attr("parse")(nb::str("tuple[{}]").format(nb::str(", ").attr("join")(types)),
                                                 "mode"_a = "eval").attr("body");
        }
        bool dict = ast_is(expr, {"Dict"});
        nb::object first = one_type(dict ? expr.attr("keys") : expr.attr("elts"));
        nb::object second = dict ? one_type(expr.attr("values")) : nb::object(nb::str(", ..."));
        if (first.is_none() || second.is_none())
            return name_node(container);
        nb::str text = nb::str("{}[{}{}{}]").format(container, first, dict ? ", " : "",
                                                   ast_is(expr, {"Tuple"}) || dict ? second : nb::str(""));
        return mine("ast").attr("parse")(text, "mode"_a = "eval").attr("body");
    }
    return name_node(nb::str(UNKNOWN));
}

// The assignments among statements and the blocks they hold, but those of
// nested functions and classes (whose `self` is another).
static void assignments(nb::handle stmts, nb::list found) {
    for (nb::handle stmt : stmts) {
        if (ast_is(stmt, {"Assign", "AnnAssign"}))
            found.append(stmt);
        if (ast_is(stmt, {"FunctionDef", "AsyncFunctionDef", "ClassDef"}))
            continue;
        for (const char *block : {"body", "orelse", "finalbody"})
            if (nb::hasattr(stmt, block) && nb::isinstance<nb::list>(stmt.attr(block)))
                assignments(stmt.attr(block), found);
        for (const char *parts : {"handlers", "cases"})
            if (nb::hasattr(stmt, parts))
                for (nb::handle part : stmt.attr(parts))
                    assignments(part.attr("body"), found);
    }
}

/// The attributes that methods, each (def, its body), give their instances
/// (`self.x = ...`) and `declared` does not hold, as annotated names: a type
/// checker reads them from the methods' bodies, which a stub leaves out.
/// Each gets its annotation, the annotation of the parameter it is set from,
/// a constant's type, or the unknown type.
static nb::list instance_attributes(nb::list methods, nb::set declared) {
    nb::list out;
    for (nb::handle method : methods) {
        nb::object def = method[0];
        nb::object a = def.attr("args");
        nb::list params, all;
        params.attr("extend")(a.attr("posonlyargs"));
        params.attr("extend")(a.attr("args"));
        all.attr("extend")(params);
        all.attr("extend")(a.attr("kwonlyargs"));
        if (!nb::len(params))
            continue;
        nb::str self(params[0].attr("arg"));
        nb::dict annotations; // parameter name -> its annotation
        for (nb::handle p : all)
            if (!p.attr("annotation").is_none())
                annotations[p.attr("arg")] = p.attr("annotation");
        nb::list found;
        assignments(method[1], found);
        for (nb::handle n : found) {
            nb::list targets;
            nb::object annotation = nb::none(), value = nb::none();
            if (ast_is(n, {"Assign"})) {
                targets = nb::list(n.attr("targets"));
                value = n.attr("value");
            } else if (ast_is(n, {"AnnAssign"})) {
                targets.append(n.attr("target"));
                annotation = n.attr("annotation");
            }
            for (nb::handle t : targets) {
                if (!ast_is(t, {"Attribute"}) || !ast_is(t.attr("value"), {"Name"}) ||
                    !nb::str(t.attr("value").attr("id")).equal(self) || declared.contains(t.attr("attr")))
                    continue;
                nb::object type = annotation;
                if (type.is_none() && ast_is(value, {"Name"}) && annotations.contains(value.attr("id")))
                    type = annotations[value.attr("id")];
                if (type.is_none())
                    type = summary(ast_is(value, {"Constant"}) ? value : nb::none());
                declared.add(t.attr("attr"));
                out.append(node("AnnAssign")("target"_a = name_node(t.attr("attr")), "annotation"_a = type,
                                             "value"_a = nb::none(), "simple"_a = 1));
            }
        }
    }
    return out;
}

// What a class inherits from the package's own modules, for the stubs of its
// subclasses: `self.children = ...` in a subclass's method assigns the
// attribute a base declares (mistletoe's BlockToken sets the property
// Token.children), and a stub that declared it anew would give it the
// unknown type where the checker reads the base's from the sources.
struct Package {
    nb::dict trees;    // module name -> its syntax tree
    nb::dict bound;    // module name -> {local name: the qualified name an import or class binds}
    nb::dict classes;  // module name -> {class name: its ClassDef}
};

// The qualified names a module's own statements bind by import or class.
static nb::dict bindings(const std::string &module, bool package, nb::handle tree) {
    nb::dict out;
    for (nb::handle stmt : tree.attr("body")) {
        if (ast_is(stmt, {"ClassDef"}))
            out[stmt.attr("name")] = nb::str((module + "." + nb::cast<std::string>(stmt.attr("name"))).c_str());
        if (ast_is(stmt, {"Import"}))
            for (nb::handle a : stmt.attr("names")) {
                std::string name = nb::cast<std::string>(a.attr("name"));
                if (a.attr("asname").is_none())
                    name = name.substr(0, name.find('.'));
                out[a.attr("asname").is_none() ? nb::str(name.c_str()) : nb::str(a.attr("asname"))] = nb::str(name.c_str());
            }
        if (ast_is(stmt, {"ImportFrom"})) {
            std::string from = stmt.attr("module").is_none() ? "" : nb::cast<std::string>(stmt.attr("module"));
            int level = nb::cast<int>(stmt.attr("level"));
            if (level) { // relative to the module's package
                std::string base = package ? module : module.substr(0, module.rfind('.') == std::string::npos ? 0 : module.rfind('.'));
                for (int i = 1; i < level && base.find('.') != std::string::npos; ++i)
                    base = base.substr(0, base.rfind('.'));
                from = from.empty() ? base : base + "." + from;
            }
            for (nb::handle a : stmt.attr("names"))
                if (nb::cast<std::string>(a.attr("name")) != "*")
                    out[a.attr("asname").is_none() ? a.attr("name") : a.attr("asname")] =
                        nb::str((from + "." + nb::cast<std::string>(a.attr("name"))).c_str());
        }
    }
    return out;
}

// The (module, ClassDef) a qualified name stands for, through the package's
// re-exports (`from .token import Token` in its __init__), or None.
static nb::object find_class(const Package &p, std::string qualified, int hops) {
    size_t dot = qualified.rfind('.');
    if (dot == std::string::npos || hops > 8)
        return nb::none();
    nb::str module(qualified.substr(0, dot).c_str()), name(qualified.substr(dot + 1).c_str());
    if (!p.trees.contains(module))
        return nb::none();
    if (nb::borrow<nb::dict>(p.classes[module]).contains(name))
        return nb::make_tuple(module, p.classes[module][name]);
    if (nb::borrow<nb::dict>(p.bound[module]).contains(name))
        return find_class(p, nb::cast<std::string>(p.bound[module][name]), hops + 1);
    return nb::none();
}

// The names a class of `module` and its bases in the package declare: its
// body's names and the attributes its methods set.
static void declared_by(const Package &p, nb::handle module, nb::handle cls, nb::set out, nb::set seen) {
    nb::tuple key = nb::make_tuple(module, cls.attr("name"));
    if (seen.contains(key))
        return;
    seen.add(key);
    nb::list methods;
    for (nb::handle stmt : cls.attr("body")) {
        if (ast_is(stmt, {"FunctionDef", "AsyncFunctionDef", "ClassDef"}))
            out.add(stmt.attr("name"));
        if (ast_is(stmt, {"FunctionDef", "AsyncFunctionDef"}))
            methods.append(nb::make_tuple(stmt, stmt.attr("body")));
        if (ast_is(stmt, {"AnnAssign"}) && ast_is(stmt.attr("target"), {"Name"}))
            out.add(stmt.attr("target").attr("id"));
        if (ast_is(stmt, {"Assign"}))
            for (nb::handle t : stmt.attr("targets"))
                if (ast_is(t, {"Name"}))
                    out.add(t.attr("id"));
    }
    for (nb::handle a : instance_attributes(methods, nb::set()))
        out.add(a.attr("target").attr("id"));
    for (nb::handle base : cls.attr("bases")) {
        // `Token`, `token.Token`, `pkg.token.Token`: a name the module binds, then attributes.
        std::string rest;
        nb::handle e = base;
        while (ast_is(e, {"Attribute"})) {
            rest = "." + nb::cast<std::string>(e.attr("attr")) + rest;
            e = e.attr("value");
        }
        if (!ast_is(e, {"Name"}) || !nb::borrow<nb::dict>(p.bound[module]).contains(e.attr("id")))
            continue;
        nb::object found = find_class(p, nb::cast<std::string>(p.bound[module][e.attr("id")]) + rest, 0);
        if (!found.is_none())
            declared_by(p, found[0], found[1], out, seen);
    }
}

/// For each module of a package ({name: (syntax tree, is a package's
/// __init__)}), its classes' names that their bases in the package declare.
static nb::dict inherited(nb::dict modules) {
    Package p;
    for (auto [name, item] : modules) {
        nb::object tree = nb::borrow<nb::tuple>(item)[0];
        p.trees[name] = tree;
        p.bound[name] = bindings(nb::cast<std::string>(name), truthy(nb::borrow<nb::tuple>(item)[1]), tree);
        nb::dict classes;
        for (nb::handle stmt : tree.attr("body"))
            if (ast_is(stmt, {"ClassDef"}))
                classes[stmt.attr("name")] = stmt;
        p.classes[name] = classes;
    }
    nb::dict out;
    for (auto [name, classes] : p.classes) {
        nb::dict per;
        for (auto [cls, def] : nb::borrow<nb::dict>(classes)) {
            // The class's bases alone: what it declares itself its stub keeps.
            nb::set names;
            nb::object shell = node("ClassDef")("name"_a = cls, "bases"_a = def.attr("bases"), "keywords"_a = nb::list(),
                                                "body"_a = nb::list(), "decorator_list"_a = nb::list());
            declared_by(p, name, shell, names, nb::set());
            if (nb::len(names))
                per[cls] = names;
        }
        out[name] = per;
    }
    return out;
}

TOVEL_MODULE(stubtypes, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("UNKNOWN") = UNKNOWN;
    m.def("plain", &plain, "expr"_a, "Whether a stub keeps the expression as it is (no code of a body, no long table).");
    m.def("summary", &summary, "expr"_a.none(),
          "The type (an expression node) a stub gives a value it does not keep; UNKNOWN when not known.");
    m.def("instance_attributes", &instance_attributes, "methods"_a, "declared"_a,
          "The attributes the methods ((def, body) pairs) set on their instances, but the declared ones, "
          "as annotated names.");
    m.def("inherited", &inherited, "modules"_a,
          "For each module ({name: (syntax tree, is a package's __init__)}), the names of its classes that "
          "their bases in these modules declare: {module: {class: set of names}}.");
}
