// tovel.scanner: reads the syntax tree of a module before it is translated,
// for the constructs that Cython compiles into something that behaves
// differently. A construct that breaks or crashes the module fails it; the
// others are warnings. A module with a syntax error fails as an error of the
// source, which keeping it as source would not mend.
#include "common.h"

#include <nanobind/stl/string.h>

#include <string>

using namespace tovel;

static const char *MOD = "tovel.scanner";

static nb::object mine(const char *name) { return global(MOD, name); }

// What a detector knows of where a node stands.
struct Where {
    bool class_body;          // directly in a class body, not in a function of it
    bool future_annotations;  // `from __future__ import annotations`: strings from source too
    bool function;            // in a function or lambda
    nb::set *exec_names;      // names the module binds to exec or eval
    nb::dict *unmended;       // id -> "generator" or "function": references to those types the mender cannot mend
};

static std::string kind(nb::handle node) {
    return nb::cast<std::string>(node.type().attr("__name__"));
}

// The name a node ends with: `x` of a Name, `attr` of an Attribute.
static std::string last_name(nb::handle node) {
    std::string k = kind(node);
    if (k == "Name")
        return nb::cast<std::string>(node.attr("id"));
    if (k == "Attribute")
        return nb::cast<std::string>(node.attr("attr"));
    return "";
}

// `base.attr` with `base` a plain name, or a name imported from `module`.
static bool named(nb::handle node, const char *module, std::initializer_list<const char *> names) {
    std::string k = kind(node), name;
    if (k == "Attribute") {
        nb::object base = node.attr("value");
        if (kind(base) != "Name" || nb::cast<std::string>(base.attr("id")) != module)
            return false;
        name = nb::cast<std::string>(node.attr("attr"));
    } else if (k == "ImportFrom") {
        if (node.attr("module").is_none() || nb::cast<std::string>(node.attr("module")) != module)
            return false;
        for (nb::handle alias : node.attr("names"))
            for (const char *n : names)
                if (nb::cast<std::string>(alias.attr("name")) == n)
                    return true;
        return false;
    } else
        return false;
    for (const char *n : names)
        if (name == n)
            return true;
    return false;
}

static bool called(nb::handle node, std::initializer_list<const char *> names) {
    if (kind(node) != "Call")
        return false;
    std::string name = last_name(node.attr("func"));
    for (const char *n : names)
        if (name == n)
            return true;
    return false;
}

static bool hit_frame(nb::handle n, const Where &) {
    return called(n, {"_getframe", "currentframe"}) ||
           (kind(n) == "Call" && named(n.attr("func"), "inspect", {"stack", "getouterframes", "trace"})) ||
           named(n, "inspect", {"currentframe", "stack", "getouterframes"}) || named(n, "sys", {"_getframe"});
}

static bool hit_frame_attr(nb::handle n, const Where &) {
    if (kind(n) != "Attribute")
        return false;
    std::string a = nb::cast<std::string>(n.attr("attr"));
    return a == "tb_frame" || a == "f_back" || a == "f_locals" || a == "gi_frame" || a == "cr_frame";
}

static bool hit_stacklevel(nb::handle n, const Where &) {
    if (!called(n, {"warn"}))
        return false;
    for (nb::handle kw : n.attr("keywords"))
        if (!kw.attr("arg").is_none() && nb::cast<std::string>(kw.attr("arg")) == "stacklevel")
            return true;
    return false;
}

static bool hit_defaults(nb::handle n, const Where &) {
    if (kind(n) != "Attribute" || kind(n.attr("ctx")) != "Store")
        return false;
    std::string a = nb::cast<std::string>(n.attr("attr"));
    return a == "__defaults__" || a == "__kwdefaults__";
}

static bool hit_function_type(nb::handle n, const Where &w) {
    return w.unmended->attr("get")(builtin("id")(n)).equal(nb::str("function"));
}

static bool hit_generator_type(nb::handle n, const Where &w) {
    return w.unmended->attr("get")(builtin("id")(n)).equal(nb::str("generator"));
}

static bool hit_getsource(nb::handle n, const Where &) {
    return named(n, "inspect", {"getsource", "getsourcelines", "findsource"});
}

static bool hit_annotations(nb::handle n, const Where &w) {
    if (w.future_annotations)
        return false;
    return (kind(n) == "Attribute" && nb::cast<std::string>(n.attr("attr")) == "__annotations__" &&
            kind(n.attr("ctx")) == "Load") ||
           named(n, "inspect", {"get_annotations"});
}

static bool hit_profiler(nb::handle n, const Where &) {
    return kind(n) == "Call" && (named(n.attr("func"), "sys", {"setprofile", "settrace"}) ||
                                 named(n.attr("func"), "threading", {"setprofile", "settrace"}));
}

static bool hit_class_exec(nb::handle n, const Where &w) {
    return w.class_body && called(n, {"exec", "eval"}) && kind(n.attr("func")) == "Name" &&
           nb::len(nb::object(n.attr("args"))) < 2 && nb::len(nb::object(n.attr("keywords"))) == 0;
}

// The builtin exec or eval reached some other way than by calling it by its
// name, which Cython compiles itself: `builtins.exec`, `getattr(builtins,
// "exec")` (or of `moves.builtins`, as six has it) or the bare name.
static bool exec_reference(nb::handle n) {
    std::string k = kind(n);
    if (k == "Name") {
        std::string id = nb::cast<std::string>(n.attr("id"));
        return id == "exec" || id == "eval";
    }
    if (k == "Attribute")
        return named(n, "builtins", {"exec", "eval"});
    if (k != "Call" || last_name(n.attr("func")) != "getattr" || nb::len(nb::object(n.attr("args"))) != 2)
        return false;
    std::string from = last_name(n.attr("args")[0]);
    if (from != "builtins" && from != "__builtins__")
        return false;
    nb::object what = n.attr("args")[1];
    if (kind(what) != "Constant" || !nb::isinstance<nb::str>(what.attr("value")))
        return false;
    std::string v = nb::cast<std::string>(what.attr("value"));
    return v == "exec" || v == "eval";
}

// Called without a namespace from compiled code, exec and eval run in the
// namespace of the nearest Python frame: in a function, its caller's.
static bool hit_exec_alias(nb::handle n, const Where &w) {
    if (!w.function || kind(n) != "Call")
        return false;
    nb::object func = n.attr("func");
    bool alias = kind(func) == "Name" ? truthy(w.exec_names->attr("__contains__")(func.attr("id")))
                                      : exec_reference(func);
    if (!alias || nb::len(nb::object(n.attr("args"))) >= 2)
        return false;
    for (nb::handle kw : n.attr("keywords"))
        if (kw.attr("arg").is_none() || nb::cast<std::string>(kw.attr("arg")) == "globals")
            return false;
    return true;
}

// One construct that Cython compiles unfaithfully. `example` is a module
// that shows the difference in what it binds to RESULT (or raises, or how
// its interpreter ends); `fixed_in` the Cython release that made it faithful.
struct Construct {
    const char *name;
    const char *change;
    bool fault;
    const char *fixed_in;
    const char *example;
    bool (*hit)(nb::handle, const Where &);
};

// Verified with Cython 3.3.2 on CPython 3.12 and 3.13 (the test suite
// compiles every example and runs it beside its source).
static const Construct TABLE[] = {
    {"frame introspection",
     "compiled functions have no frames: depths count Python frames only, so this is another frame, or "
     "a deeper one does not exist (ValueError)",
     false, nullptr, "import sys\ndef f(): return sys._getframe().f_code.co_name\nRESULT = f()\n", hit_frame},
    {"frame attributes", "a frame of compiled code in a traceback holds no locals and no Python caller",
     false, nullptr,
     "def f(a): return 1 / a\ntry: f(0)\nexcept ZeroDivisionError as e: RESULT = e.__traceback__.tb_next.tb_frame.f_locals\n",
     hit_frame_attr},
    {"warnings.warn(stacklevel=...)",
     "levels count Python frames only (tov mends a literal level for a call from Python code, not a computed one "
     "or a call from compiled code): the warning names another place, and other filters apply",
     false, nullptr,
     "import warnings\ndef f(n): warnings.warn('x', stacklevel=n)\n"
     "with warnings.catch_warnings(record=True) as w: warnings.simplefilter('always'); f(2); "
     "RESULT = w[0].filename.rsplit('/', 1)[-1], w[0].lineno\n",
     hit_stacklevel},
    {"assignment to __defaults__", "a compiled function keeps the defaults it was defined with",
     false, nullptr, "def f(x=1): return x\nf.__defaults__ = (2,); RESULT = f()\n", hit_defaults},
    {"types.FunctionType",
     "a compiled function is not a types.FunctionType (tov mends isinstance, issubclass and inspect.isfunction, "
     "not this)",
     false, nullptr, "import types\nRESULT = type(lambda: 0) is types.FunctionType\n", hit_function_type},
    {"types.GeneratorType",
     "compiled generators and coroutines are not of the types of the types module, and no frame holds their "
     "locals (tov mends isinstance, issubclass, inspect.isgenerator, iscoroutine, isasyncgen and their state, not this)",
     true, nullptr, "import types\nRESULT = type((x for x in ())) is types.GeneratorType\n", hit_generator_type},
    {"inspect.getsource", "a compiled function has no source beside it: OSError, as for a module whose .py is gone", false, nullptr,
     "import inspect\nRESULT = inspect.getsource(lambda: 0)\n", hit_getsource},
    {"__annotations__", "annotations of compiled functions and classes are strings, as under `from __future__ import annotations`",
     false, nullptr, "def f(x: int): pass\nRESULT = f.__annotations__\n", hit_annotations},
    {"sys.setprofile/settrace", "compiled functions are invisible to profilers and tracers", false, nullptr,
     "import sys\ncalls = []; sys.setprofile(lambda frame, event, arg: calls.append(event)); (lambda: 0)(); sys.setprofile(None)\n"
     "RESULT = calls.count('call')\n",
     hit_profiler},
    {"exec()/eval() in a class body", "without a namespace it does not see or bind the names of the class",
     false, nullptr, "class C: exec('z = 3'); w = locals().get('z')\nRESULT = C.w\n", hit_class_exec},
    {"exec()/eval() under another name",
     "called without a namespace in a compiled function, it runs in the namespace of the function's caller",
     true, nullptr, "import builtins\nrun = getattr(builtins, 'exec')\ndef f(): run('x = 1'); return 'x' in globals()\n"
     "RESULT = f()\n", hit_exec_alias},
};

// Whether the installed Cython is at least `version`.
static bool fixed(const char *version) {
    if (!version)
        return false;
    nb::object Version = mine("Version");
    return Version(nb::module_::import_("Cython").attr("__version__")) >= Version(version);
}

// Visits every node, knowing whether it stands directly in a class body.
static void visit(nb::handle node, Where where, nb::list out) {
    for (const Construct &c : TABLE)
        if (!fixed(c.fixed_in) && c.hit(node, where)) {
            nb::dict f;
            f["line"] = nb::getattr(node, "lineno", nb::int_(1));
            f["construct"] = c.name;
            f["change"] = c.change;
            f["fault"] = c.fault;
            out.append(f);
        }
    std::string k = kind(node);
    if (k == "ClassDef")
        where.class_body = true;
    else if (k == "FunctionDef" || k == "AsyncFunctionDef" || k == "Lambda") {
        where.class_body = false;
        where.function = true;
    }
    for (nb::handle child : mine("ast").attr("iter_child_nodes")(node))
        visit(child, where, out);
}

/// The constructs of `source` that compile unfaithfully, in source order:
/// dicts of line, construct, change and fault. A syntax error is raised.
static nb::list scan(nb::object source, nb::str path) {
    nb::object tree = mine("ast").attr("parse")(source, "filename"_a = path);
    nb::set exec_names;
    nb::dict unmended;
    Where where{false, false, false, &exec_names, &unmended};
    const char *pattern = "Type|isgen|iscoro|isasyncgen|getgeneratorlocals|getcoroutinelocals";
    nb::object words = nb::isinstance<nb::bytes>(source) ? nb::object(nb::bytes(pattern)) : nb::object(nb::str(pattern));
    if (!mine("re").attr("search")(words, source).is_none()) {
        nb::object found = nb::module_::import_("tovel.mender").attr("generator_checks")(tree);
        for (nb::handle pair : found[2])
            unmended[builtin("id")(pair[0])] = pair[1];
    }
    for (nb::handle stmt : tree.attr("body"))
        if (kind(stmt) == "ImportFrom" && named(stmt, "__future__", {"annotations"}))
            where.future_annotations = true;
    for (nb::handle node : mine("ast").attr("walk")(tree))
        if (kind(node) == "Assign" && exec_reference(node.attr("value")))
            for (nb::handle target : node.attr("targets"))
                if (kind(target) == "Name")
                    exec_names.add(target.attr("id"));
    nb::list found, out;
    visit(tree, where, found);
    found.attr("sort")("key"_a = mine("itemgetter")("line"));
    // One line per construct and source line (a call and its callee both match).
    nb::set lines;
    for (nb::handle f : found) {
        nb::object key = nb::make_tuple(f["line"], f["construct"]);
        if (!truthy(lines.attr("__contains__")(key))) {
            lines.add(key);
            out.append(f);
        }
    }
    return out;
}

/// The table of constructs, for the test suite and the curious: dicts of
/// construct, change, fault, fixed_in and example.
static nb::list table() {
    nb::list out;
    for (const Construct &c : TABLE) {
        nb::dict d;
        d["construct"] = c.name;
        d["change"] = c.change;
        d["fault"] = c.fault;
        d["fixed_in"] = c.fixed_in ? nb::object(nb::str(c.fixed_in)) : nb::none();
        d["example"] = c.example;
        out.append(d);
    }
    return out;
}

/// Scans the module of a unit before it is translated: each finding is one
/// line `path:line: construct: change`. Warnings are printed; a syntax error
/// or a construct that breaks the compiled module fails the unit (its
/// "stage", "line" and "log"). Returns whether the unit may be translated.
// Marks the unit as failing with the syntax error `err` of its source.
static void syntax_error(nb::dict unit, nb::str path, nb::object err) {
    nb::object line = nb::getattr(err, "lineno", nb::none()), col = nb::getattr(err, "offset", nb::none());
    unit["stage"] = "syntax error";
    unit["line"] = nb::str("{}:{}:{}: syntax error ({})")
                       .format(path, line.is_none() ? nb::int_(1) : line, col.is_none() ? nb::int_(1) : col,
                               nb::getattr(err, "msg", nb::str(err)));
    unit["log"] = nb::str("").attr("join")(mine("traceback").attr("format_exception_only")(err));
    // Shipping it as source would ship the error: only the source can mend it.
    unit["keep_helps"] = false;
}

/// Whether a module kept as source parses; if not, the unit fails as check does.
static bool parses(nb::dict unit) {
    nb::str path(unit["path"]);
    try {
        mine("ast").attr("parse")(mine("Path")(get(unit, "file", path)).attr("read_bytes")(), path);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        syntax_error(unit, path, nb::borrow(e.value()));
        return false;
    }
}

static bool check(nb::dict unit) {
    nb::str path(unit["path"]);
    nb::list found;
    try {
        found = scan(mine("Path")(get(unit, "file", path)).attr("read_bytes")(), path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        syntax_error(unit, path, nb::borrow(e.value()));
        return false;
    }
    nb::list faults, doubts;
    // A construct met on many lines of one module is one warning naming them all.
    nb::dict lines, change;
    for (nb::handle f : found) {
        if (truthy(f["fault"])) {
            faults.append(nb::str("{}:{}: {}: {}").format(path, f["line"], f["construct"], f["change"]));
            continue;
        }
        // Kept for the packer: a module no test judges ships only without
        // those that change what code computes (not where a warning points,
        // or what a profiler sees).
        std::string name = nb::cast<std::string>(f["construct"]);
        if (name != "warnings.warn(stacklevel=...)" && name != "sys.setprofile/settrace")
            doubts.append(nb::str("line {}: {}").format(f["line"], f["construct"]));
        if (!lines.contains(f["construct"])) {
            lines[f["construct"]] = nb::list();
            change[f["construct"]] = f["change"];
        }
        nb::list(lines[f["construct"]]).append(nb::str("{}").format(f["line"]));
    }
    for (auto [construct, at] : lines)
        // What to do about it: the tests judge it, or it ships as source.
        print(nb::str("warning: {}:{}: {}: {}; if it matters: the project's tests judge it, or --keep '^{}$' ships it as source")
                  .format(path, nb::str(", ").attr("join")(at), construct, change[construct],
                          mine("re").attr("escape")(path)),
              "flush"_a = true);
    unit["doubts"] = doubts;
    if (nb::len(faults) == 0)
        return true;
    unit["stage"] = "known Cython fault";
    unit["line"] = faults[0];
    unit["log"] = nb::str("\n").attr("join")(faults) + nb::str("\n");
    return false;
}

TOVEL_MODULE(scanner, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("re") = nb::module_::import_("re");
    m.attr("traceback") = nb::module_::import_("traceback");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("itemgetter") = nb::module_::import_("operator").attr("itemgetter");
    m.def("table", &table, "The constructs that Cython compiles unfaithfully, with an example each.");
    m.def("scan", &scan, "source"_a, "path"_a,
          "The unfaithful constructs of a module's source; raises SyntaxError.");
    m.def("check", &check, "unit"_a,
          "Scan a unit's module before translation: print warnings, fail it on a fault or syntax error.");
    m.def("parses", &parses, "unit"_a, "Whether a module kept as source parses; if not, fail the unit.");
}
