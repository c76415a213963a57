// tovel.stubber: the type stub (.pyi) that ships beside each compiled module,
// written from its source's syntax tree. A type checker reads a package's
// .py files; a compiled module has none, so the stub keeps what the checker
// reads of it (imports, classes with their bases, every function's
// signature, decorators, annotations, constants, __all__), and no body.
#include "common.h"

#include <nanobind/stl/string.h>

#include <string>

using namespace tovel;

static const char *MOD = "tovel.stubber";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object node(const char *kind) { return mine("ast").attr(kind); }


static nb::object ellipsis() { return node("Constant")("value"_a = builtin("Ellipsis")); }

static nb::list one(nb::handle item) {
    nb::list l;
    l.append(item);
    return l;
}

static nb::object name_node(nb::handle id) { return node("Name")("id"_a = id, "ctx"_a = node("Load")()); }

// What a stub writes for what it leaves out: tovel.stubtypes.
static nb::object types(const char *name) { return global("tovel.stubtypes", name); }

// What a stub of one module is being written with.
struct Stub {
    nb::str source;       // the module's text
    bool unknown = false; // the stub names the unknown type
    nb::dict inherited;   // class name -> the names its bases in the package declare
};

static bool plain(nb::handle expr) { return truthy(types("plain")(expr)); }

static bool unknown(nb::handle type) { return ast_is(type, {"Name"}) && type.attr("id").equal(types("UNKNOWN")); }

static nb::object summary(nb::handle expr, Stub &s) {
    nb::object type = types("summary")(expr);
    s.unknown = s.unknown || unknown(type);
    return type;
}

static nb::object annotated(nb::handle target, nb::handle annotation, nb::handle value) {
    return node("AnnAssign")("target"_a = target, "annotation"_a = annotation, "value"_a = value,
                             "simple"_a = 1);
}

static bool names_all(nb::handle target) {
    return ast_is(target, {"Name"}) && nb::str(target.attr("id")).equal(nb::str("__all__"));
}

// `a = b = value`, `a, b = 1, 2`: each name with the value kept, or with
// the type that stands for it. Stores into attributes and items bind no
// name of the module or class and are left out.
static void assignment(nb::handle stmt, nb::list out, Stub &s) {
    nb::object value = stmt.attr("value");
    nb::object comment = stmt.attr("type_comment");
    for (nb::handle target : stmt.attr("targets")) {
        if (ast_is(target, {"Name"})) {
            if (names_all(target) || plain(value) || !comment.is_none())
                out.append(node("Assign")("targets"_a = one(target),
                                          "value"_a = names_all(target) || plain(value) ? value : ellipsis(),
                                          "type_comment"_a = comment));
            else
                out.append(annotated(target, summary(value, s), nb::none()));
            continue;
        }
        if (!ast_is(target, {"Tuple", "List"}))
            continue;
        nb::list elts(target.attr("elts"));
        bool paired = ast_is(value, {"Tuple", "List"}) && nb::len(nb::object(value.attr("elts"))) == nb::len(elts);
        for (size_t i = 0; i < nb::len(elts); ++i) {
            nb::object t = elts[i];
            if (!ast_is(t, {"Name"}))
                continue; // starred or nested: rare in a module's names
            nb::object v = paired ? nb::object(value.attr("elts")[nb::int_(i)]) : nb::none();
            if (!v.is_none() && plain(v))
                out.append(node("Assign")("targets"_a = one(t), "value"_a = v, "type_comment"_a = nb::none()));
            else
                out.append(annotated(t, summary(v, s), nb::none()));
        }
    }
}

static nb::list body(nb::handle stmts, bool in_class, Stub &s);

static bool docstring(nb::handle stmt) {
    return ast_is(stmt, {"Expr"}) && ast_is(stmt.attr("value"), {"Constant"}) &&
           nb::isinstance<nb::str>(stmt.attr("value").attr("value"));
}

// A body a stub keeps: the docstring, then `...`.
static nb::list stub_body(nb::handle stmts) {
    nb::list out;
    nb::list given(stmts);
    if (nb::len(given) && docstring(given[0]))
        out.append(given[0]);
    out.append(node("Expr")(ellipsis()));
    return out;
}

static nb::list or_ellipsis(nb::list stmts) {
    if (!nb::len(stmts))
        stmts.append(node("Expr")(ellipsis()));
    return stmts;
}

static bool decorated(nb::handle def, const char *name) {
    for (nb::handle d : def.attr("decorator_list")) {
        nb::object target = ast_is(d, {"Call"}) ? nb::object(d.attr("func")) : nb::borrow(d);
        if ((ast_is(target, {"Name"}) && nb::str(target.attr("id")).equal(nb::str(name))) ||
            (ast_is(target, {"Attribute"}) && nb::str(target.attr("attr")).equal(nb::str(name))))
            return true;
    }
    return false;
}

// A function with its signature, defaults as `...`, and the decorators
// that are names or calls of plain expressions.
static nb::object function(nb::handle def) {
    nb::object args = def.attr("args");
    nb::list defaults;
    for (size_t i = 0; i < nb::len(nb::object(args.attr("defaults"))); ++i)
        defaults.append(ellipsis());
    args.attr("defaults") = defaults;
    nb::list kw_defaults;
    for (nb::handle d : args.attr("kw_defaults"))
        kw_defaults.append(d.is_none() ? nb::none() : ellipsis());
    args.attr("kw_defaults") = kw_defaults;
    nb::list decorators;
    for (nb::handle d : def.attr("decorator_list"))
        if (plain(d))
            decorators.append(d);
    def.attr("decorator_list") = decorators;
    def.attr("body") = stub_body(def.attr("body"));
    return nb::borrow(def);
}

// The attributes a class's methods (but static and class methods) give
// its instances that its body does not declare, nor its bases in the package.
static void instance_attributes(nb::handle cls, nb::list methods, nb::list out, Stub &s) {
    nb::set declared;
    if (s.inherited.contains(cls.attr("name")))
        for (nb::handle n : s.inherited[cls.attr("name")])
            declared.add(n);
    for (nb::handle stmt : out) {
        if (ast_is(stmt, {"AnnAssign"}) && ast_is(stmt.attr("target"), {"Name"}))
            declared.add(stmt.attr("target").attr("id"));
        if (ast_is(stmt, {"Assign"}))
            for (nb::handle t : stmt.attr("targets"))
                if (ast_is(t, {"Name"}))
                    declared.add(t.attr("id"));
        if (ast_is(stmt, {"FunctionDef", "AsyncFunctionDef", "ClassDef"}))
            declared.add(stmt.attr("name"));
    }
    nb::list bound;
    for (nb::handle method : methods)
        if (!decorated(method[0], "staticmethod") && !decorated(method[0], "classmethod"))
            bound.append(method);
    for (nb::handle attribute : types("instance_attributes")(bound, declared)) {
        s.unknown = s.unknown || unknown(attribute.attr("annotation"));
        out.append(attribute);
    }
}

static nb::object class_def(nb::handle cls, Stub &s) {
    // The methods with their bodies, which the stub's body below replaces.
    nb::list methods;
    for (nb::handle def : cls.attr("body"))
        if (ast_is(def, {"FunctionDef", "AsyncFunctionDef"}))
            methods.append(nb::make_tuple(def, def.attr("body")));
    nb::list out = body(cls.attr("body"), true, s);
    // A class whose annotated names are its fields (a dataclass, attrs, a
    // NamedTuple, a TypedDict) would gain a field by each: its methods'
    // attributes stay out of its stub.
    bool fields = false;
    for (const char *maker : {"dataclass", "define", "frozen", "mutable", "attrs", "s"})
        fields = fields || decorated(cls, maker);
    for (nb::handle base : cls.attr("bases"))
        fields = fields || truthy(nb::make_tuple("NamedTuple", "TypedDict").attr("__contains__")(
                               ast_is(base, {"Name"}) ? base.attr("id") : ast_is(base, {"Attribute"}) ? base.attr("attr") : nb::str("")));
    if (!fields)
        instance_attributes(cls, methods, out, s);
    nb::list decorators;
    for (nb::handle d : cls.attr("decorator_list"))
        if (plain(d))
            decorators.append(d);
    cls.attr("decorator_list") = decorators;
    cls.attr("body") = or_ellipsis(out);
    return nb::borrow(cls);
}

// An import re-exports what it binds, as it does from a .py file: in a stub
// `from m import x` exports nothing and `from m import x as x` does, and a
// name bound under another (`from m import x as y`) is exported only by an
// assignment, `y = _tovel_y`; that one only where the module never uses the
// name itself (it is there to be exported), since a type checker reads
// such a `y` as a variable, which an annotation cannot name. A module bound
// under another name (`import numpy as np`) stays as it is.
static void reexport(nb::handle stmt, nb::list out, Stub &s) {
    if (ast_is(stmt, {"ImportFrom"}) && !stmt.attr("module").is_none() &&
        nb::str(stmt.attr("module")).equal(nb::str("__future__"))) {
        out.append(stmt);
        return;
    }
    nb::list aliases;
    for (nb::handle alias : stmt.attr("names")) {
        nb::str name(alias.attr("name"));
        nb::object as = alias.attr("asname");
        if (as.is_none() && !name.equal(nb::str("*")) && !truthy(name.attr("__contains__")(".")))
            alias.attr("asname") = name;
        else if (ast_is(stmt, {"ImportFrom"}) && !as.is_none() && !as.equal(name) &&
                 !truthy(as.attr("startswith")("_")) &&
                 nb::len(mine("re").attr("findall")(nb::str("(?<![\\w.]){}\\b").format(mine("re").attr("escape")(as)),
                                                     s.source)) <= 1) {
            alias.attr("asname") = nb::str("_tovel_") + nb::str(as);
            aliases.append(node("Assign")("targets"_a = one(node("Name")("id"_a = as, "ctx"_a = node("Store")())),
                                          "value"_a = name_node(alias.attr("asname")), "type_comment"_a = nb::none()));
        }
    }
    out.append(stmt);
    out.attr("extend")(aliases);
}

// `__all__ += [...]`, `__all__.extend(...)`: what a type checker reads of __all__.
static bool changes_all(nb::handle stmt) {
    if (ast_is(stmt, {"AugAssign"}))
        return names_all(stmt.attr("target"));
    if (!ast_is(stmt, {"Expr"}) || !ast_is(stmt.attr("value"), {"Call"}))
        return false;
    nb::object f = stmt.attr("value").attr("func");
    return ast_is(f, {"Attribute"}) && names_all(f.attr("value")) &&
           truthy(nb::make_tuple("append", "extend", "remove").attr("__contains__")(f.attr("attr")));
}

/// The statements of a module or class body as a stub has them.
static nb::list body(nb::handle stmts, bool in_class, Stub &s) {
    nb::list out;
    bool first = true;
    for (nb::handle stmt : stmts) {
        bool doc = first && docstring(stmt);
        first = false;
        if (doc || changes_all(stmt) || ast_is(stmt, {"TypeAlias"})) {
            out.append(stmt);
        } else if (ast_is(stmt, {"FunctionDef", "AsyncFunctionDef"})) {
            // An overload's implementation is not part of a stub.
            nb::object last = nb::len(out) ? nb::object(out[nb::len(out) - 1]) : nb::none();
            if (!decorated(stmt, "overload") && ast_is(last, {"FunctionDef", "AsyncFunctionDef"}) &&
                last.attr("name").equal(stmt.attr("name")) && decorated(last, "overload"))
                continue;
            out.append(function(stmt));
        } else if (ast_is(stmt, {"ClassDef"})) {
            out.append(class_def(stmt, s));
        } else if (ast_is(stmt, {"Import", "ImportFrom"})) {
            reexport(stmt, out, s);
        } else if (ast_is(stmt, {"Assign"})) {
            assignment(stmt, out, s);
        } else if (ast_is(stmt, {"AnnAssign"})) {
            if (!ast_is(stmt.attr("target"), {"Name"}))
                continue;
            // The annotation gives the type; a value that calls something is
            // kept in a class only (a dataclass's field(...) shapes __init__).
            nb::object value = stmt.attr("value");
            if (in_class && ast_is(value, {"Call"}) && plain(value.attr("func"))) {
                // field(default_factory=lambda: ..., init=False): what the
                // arguments say stays, the code they hold does not.
                nb::list args;
                for (nb::handle a : value.attr("args"))
                    args.append(plain(a) ? nb::borrow(a) : ellipsis());
                value.attr("args") = args;
                for (nb::handle k : value.attr("keywords"))
                    if (!plain(k.attr("value")))
                        k.attr("value") = ellipsis();
            }
            bool calls = false;
            if (!value.is_none())
                for (nb::handle n : mine("ast").attr("walk")(value))
                    calls = calls || ast_is(n, {"Call"});
            if (!value.is_none() && (!plain(value) || (calls && !in_class)))
                stmt.attr("value") = ellipsis();
            out.append(stmt);
        } else if (ast_is(stmt, {"If"})) {
            nb::list yes = body(stmt.attr("body"), in_class, s), no = body(stmt.attr("orelse"), in_class, s);
            if (!nb::len(yes) && !nb::len(no))
                continue;
            stmt.attr("body") = or_ellipsis(yes);
            stmt.attr("orelse") = no;
            out.append(stmt);
        } else if (ast_is(stmt, {"Try", "TryStar"})) {
            nb::list tried = body(stmt.attr("body"), in_class, s);
            bool any = nb::len(tried) > 0;
            for (nb::handle h : stmt.attr("handlers")) {
                nb::list handled = body(h.attr("body"), in_class, s);
                any = any || nb::len(handled);
                h.attr("body") = or_ellipsis(handled);
            }
            nb::list rest = body(stmt.attr("orelse"), in_class, s), last = body(stmt.attr("finalbody"), in_class, s);
            if (!any && !nb::len(rest) && !nb::len(last))
                continue;
            stmt.attr("body") = or_ellipsis(tried);
            stmt.attr("orelse") = rest;
            stmt.attr("finalbody") = last;
            out.append(stmt);
        } else if (ast_is(stmt, {"With", "AsyncWith", "For", "AsyncFor", "While"})) {
            // What the block binds is bound where it stands: the loop's
            // variables too (colorlog's escape_codes.name), of a type
            // unknown, and what its body binds.
            nb::list targets;
            if (ast_is(stmt, {"For", "AsyncFor"}))
                targets.append(stmt.attr("target"));
            else if (!ast_is(stmt, {"While"}))
                for (nb::handle item : stmt.attr("items"))
                    if (!item.attr("optional_vars").is_none())
                        targets.append(item.attr("optional_vars"));
            for (nb::handle t : targets)
                for (nb::handle n : mine("ast").attr("walk")(t))
                    if (ast_is(n, {"Name"}))
                        out.append(annotated(name_node(n.attr("id")), summary(nb::none(), s), nb::none()));
            out.attr("extend")(body(stmt.attr("body"), in_class, s));
            if (nb::hasattr(stmt, "orelse"))
                out.attr("extend")(body(stmt.attr("orelse"), in_class, s));
        } else if (ast_is(stmt, {"Match"})) {
            for (nb::handle c : stmt.attr("cases"))
                out.attr("extend")(body(c.attr("body"), in_class, s));
        }
        // Anything else (calls, del, assert, pass...) runs and binds nothing.
    }
    return out;
}

/// The stub of a module's source text: what a type checker reads of the
/// module, with every function's body replaced by `...`.
static nb::str stub_of(nb::object source, nb::str filename, nb::dict inherited) {
    nb::object ast = mine("ast");
    nb::object tree = ast.attr("parse")(source, filename, "type_comments"_a = true);
    Stub s;
    s.inherited = inherited;
    s.source = nb::isinstance<nb::str>(source) ? nb::borrow<nb::str>(source)
                                               : nb::str(source.attr("decode")("utf-8", "replace"));
    nb::list out = body(tree.attr("body"), false, s);
    if (s.unknown) {
        // After the docstring and the __future__ imports, which come first.
        size_t at = 0;
        while (at < nb::len(out) &&
               ((ast_is(out[at], {"Expr"}) && at == 0) ||
                (ast_is(out[at], {"ImportFrom"}) && out[at].attr("module").equal(nb::str("__future__")))))
            ++at;
        out.insert(at, ast.attr("parse")(nb::str("from typing import Any as ") + nb::str(types("UNKNOWN"))).attr("body")[0]);
    }
    tree.attr("body") = out;
    tree.attr("type_ignores") = nb::list();
    ast.attr("fix_missing_locations")(tree);
    return nb::str(ast.attr("unparse")(tree) + nb::str("\n"));
}

/// Writes the stub of each compiled unit into the tree beside its module,
/// unless the tree holds one already (a .pyi the project ships).
static nb::list write_beside(nb::list units, nb::str tree) {
    nb::object Path = mine("Path");
    nb::list written;
    // The package's modules first: a class's stub leaves out what its bases declare.
    nb::dict modules;
    for (nb::handle u : units) {
        nb::str arc = nb::str(nb::str(u["arc"]).attr("removesuffix")(".py"));
        try {
            nb::object tree = mine("ast").attr("parse")(Path(get(u, "file", u["path"])).attr("read_bytes")());
            modules[arc.attr("removesuffix")("/__init__").attr("replace")("/", ".")] =
                nb::make_tuple(tree, arc.attr("endswith")("/__init__"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_SyntaxError))
                throw;
        }
    }
    nb::dict inherited = nb::borrow<nb::dict>(types("inherited")(modules));
    for (nb::handle u : units) {
        nb::object target = Path(tree).attr("joinpath")(nb::str(u["arc"]).attr("removesuffix")(".py") + nb::str(".pyi"));
        if (truthy(target.attr("exists")()))
            continue;
        nb::object file = get(u, "file", u["path"]);
        nb::str text("");
        try {
            nb::str arc = nb::str(nb::str(u["arc"]).attr("removesuffix")(".py").attr("removesuffix")("/__init__"));
            text = stub_of(Path(file).attr("read_bytes")(), nb::str(file),
                           nb::borrow<nb::dict>(inherited.attr("get")(arc.attr("replace")("/", "."), nb::dict())));
        } catch (nb::python_error &e) {
            // Compiled, yet beyond this interpreter's parser (a source of a
            // newer Python): its module ships without a stub.
            if (!e.matches(PyExc_SyntaxError))
                throw;
            continue;
        }
        target.attr("write_text")(text, "encoding"_a = "utf-8");
        target.attr("chmod")(0644); // whatever the umask: the same wheel from the same sources
        written.append(target.attr("as_posix")());
    }
    return written;
}

TOVEL_MODULE(stubber, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("re") = nb::module_::import_("re");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("stub", &stub_of, "source"_a, "filename"_a = "<module>", "inherited"_a = nb::dict(),
          "The type stub (.pyi text) of a module's source: imports, classes, signatures, annotations and "
          "constants, every body replaced by '...'; a class's attributes named in inherited ({class: names}) are "
          "its bases'.");
    m.def("write", &write_beside, "units"_a, "tree"_a,
          "Write the stub of each compiled unit beside its module in the tree, unless one is there; "
          "returns the stubs written.");
}
