// tovel.stubtypes: the types a stub (tovel.stubber) writes for what it
// leaves out of a module: the values it does not keep (code, long tables)
// and the attributes methods set on their instances, whose bodies a stub
// has no room for.
#include "common.h"

#include <nanobind/stl/string.h>

#include <string>

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
        // Of constants of one type each (keys and values apart), that type.
        auto one_type = [](nb::handle items) -> nb::object {
            nb::set types;
            for (nb::handle item : items) {
                if (!ast_is(item, {"Constant"}) || item.attr("value").is_none())
                    return nb::none();
                types.add(item.attr("value").type().attr("__name__"));
            }
            return nb::len(types) == 1 ? nb::object(builtin("next")(builtin("iter")(types))) : nb::none();
        };
        nb::str container(nb::str(ast_kind(expr).c_str()).attr("lower")());
        if (ast_is(expr, {"Tuple"}) && nb::len(nb::object(expr.attr("elts"))) <= 64) {
            // A tuple of constants: each one's type, as a type checker reads the literal.
            nb::list types;
            for (nb::handle item : expr.attr("elts"))
                if (ast_is(item, {"Constant"}) && !item.attr("value").is_none())
                    types.append(item.attr("value").type().attr("__name__"));
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

TOVEL_MODULE(stubtypes, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("UNKNOWN") = UNKNOWN;
    m.def("plain", &plain, "expr"_a, "Whether a stub keeps the expression as it is (no code of a body, no long table).");
    m.def("summary", &summary, "expr"_a.none(),
          "The type (an expression node) a stub gives a value it does not keep; UNKNOWN when not known.");
    m.def("instance_attributes", &instance_attributes, "methods"_a, "declared"_a,
          "The attributes the methods ((def, body) pairs) set on their instances, but the declared ones, "
          "as annotated names.");
}
