// tovel.mender: mends what Cython would otherwise compile unfaithfully,
// before and after it translates a module. Before: a rewrite of the source
// text that keeps every line where it was, so that tracebacks still point
// at the user's lines, and mends of Cython's compiler itself (in
// mender_cython.h). After: fixes of the C file, each found by the text of
// the Cython code it replaces; where that text is not there (another Cython
// release), the C stays as it is and the test suite's table of faithful
// constructs says so; the traceback fix, which every module needs, stops
// the translation instead. The C texts are in mender_c.h.
#include "common.h"
#include "mender_c.h"
#include "mender_callers.h"
#include "mender_cython.h"
#include "mender_depth.h"
#include "mender_frames.h"
#include "mender_generics.h"
#include "mender_names.h"
#include "mender_source.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace tovel;
using namespace tovel::mender_c;
using namespace tovel::mender_cython;
using namespace tovel::mender_depth;
using namespace tovel::mender_frames;
using namespace tovel::mender_names;
using namespace tovel::mender_source;
using namespace tovel::mender_callers;

static const char *MOD = "tovel.mender";

static nb::object mine(const char *name) { return global(MOD, name); }


// ---------------------------------------------------------------- the source

// Whether Cython turns a case with this pattern (and no guard) into a branch
// of an if statement instead of matching it as a pattern: values, None,
// True, False, a capture or the wildcard, and ORs of values. Anything else
// counts as matched, which is the safe side.
static bool plain_pattern(nb::handle p) {
    std::string k = ast_kind(p);
    if (k == "MatchValue" || k == "MatchSingleton")
        return true;
    if (k == "MatchAs")
        return p.attr("pattern").is_none();
    if (k == "MatchOr") {
        for (nb::handle alt : p.attr("patterns")) {
            std::string ka = ast_kind(alt);
            if (ka != "MatchValue" && ka != "MatchSingleton")
                return false;
        }
        return true;
    }
    return false;
}

// Cython's flow analysis of a match statement loses the path on which a
// matched case's pattern fails when a case it turned into an if statement
// follows: a name bound in that case counts as bound after it, so a later
// assignment releases a NULL reference and a read skips the unbound check
// (a crash, or garbage). A match that mixes the two kinds gets the guard
// `if True` on each case without one, which keeps every case a matched
// one; the guard is inserted before the case's colon, on the same line.
static void guard_cases(nb::handle node, const std::string &src, const Offsets &at, Edits &edits) {
    std::vector<nb::handle> unguarded;
    bool plain = false, matched = false;
    for (nb::handle c : node.attr("cases")) {
        bool guarded = !c.attr("guard").is_none();
        if (!guarded)
            unguarded.push_back(c);
        if (!guarded && plain_pattern(c.attr("pattern")))
            plain = true;
        else
            matched = true;
    }
    if (!plain || !matched)
        return;
    // Every case gets the guard, not only the plain ones: whatever Cython
    // takes for plain, none of the cases is turned into an if statement.
    for (nb::handle c : unguarded) {
        nb::object p = c.attr("pattern");
        size_t i = at.end(p);
        // Between the pattern and the colon: closing brackets, blanks,
        // line breaks and comments within the brackets.
        while (i < src.size() && src[i] != ':') {
            char ch = src[i];
            if (ch == '#')
                while (i < src.size() && src[i] != '\n' && src[i] != '\r')
                    ++i;
            else if (ch == ')' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\\' || ch == '\f')
                ++i;
            else
                break;
        }
        if (i >= src.size() || src[i] != ':')
            throw std::runtime_error("tovel.mender: no colon after the pattern of the case on line " +
                                     std::to_string(nb::cast<long>(p.attr("end_lineno"))));
        edits.push_back({i, " if True"});
    }
}

// The checks that a value is a generator, or a function, which compiled
// generators and functions pass too: `types.GeneratorType`,
// `types.FunctionType` or `types.LambdaType` as the class (or one of the
// classes) of isinstance or issubclass, and inspect.isgenerator or
// inspect.isfunction wherever they are read (called, or passed on as in
// `inspect.getmembers(cls, inspect.isfunction)`); each also under a name
// imported from its module. Cython's generators and functions are of its own
// types, which the module's own lambdas give.
// A compiled generator's or function's __class__ is the interpreter's type
// (mender_c.h);
// its own is read through the class of a tuple's class, `type`, which no
// parameter named `type` where the check is can shadow.
static const char *CYTHON_GENERATOR = "().__class__.__class__((lambda: (yield))())";
static const char *CYTHON_FUNCTION = "().__class__.__class__(lambda: None)";
// Cython's coroutine and async generator types stand beside its generator
// type in the module its types share, once a compiled module made one.
#define CYTHON_SHARED_TYPE(name)                                                                                 \
    "getattr(__import__('sys').modules.get(().__class__.__class__((lambda: (yield))()).__module__), '" name "', ())"
static const char *CYTHON_COROUTINE = CYTHON_SHARED_TYPE("coroutine");
static const char *CYTHON_ASYNCGEN = CYTHON_SHARED_TYPE("async_generator");
static const char *GENERATOR_WORDS = "GeneratorType|CoroutineType|FunctionType|LambdaType|isgenerator|iscoroutine|"
                                     "isasyncgen|isfunction|getgeneratorlocals|getcoroutinelocals";

static bool is_ref(nb::handle node, const char *module, const char *name, nb::handle aliases) {
    std::string k = ast_kind(node);
    if (k == "Attribute")
        return ast_kind(node.attr("value")) == "Name" && nb::cast<std::string>(node.attr("value").attr("id")) == module &&
               nb::cast<std::string>(node.attr("attr")) == name;
    return k == "Name" && aliases.attr("get")(node.attr("id")).equal(nb::str(name));
}

// (module, name, the compiled type it stands for): classes for isinstance
// and issubclass, then predicates, then what the rewrite leaves as it is.
struct Ref {
    const char *module, *name, *compiled;
};
static const Ref CLASSES[] = {{"types", "GeneratorType", CYTHON_GENERATOR},
                              {"types", "CoroutineType", CYTHON_COROUTINE},
                              {"types", "AsyncGeneratorType", CYTHON_ASYNCGEN},
                              {"types", "FunctionType", CYTHON_FUNCTION},
                              {"types", "LambdaType", CYTHON_FUNCTION}};
static const Ref PREDICATES[] = {{"inspect", "isgenerator", CYTHON_GENERATOR},
                                 {"inspect", "iscoroutine", CYTHON_COROUTINE},
                                 {"inspect", "isasyncgen", CYTHON_ASYNCGEN},
                                 {"inspect", "isfunction", CYTHON_FUNCTION}};
static const Ref UNMENDED[] = {{"types", "GeneratorType", "generator"}, {"types", "CoroutineType", "generator"},
                               {"types", "AsyncGeneratorType", "generator"}, {"inspect", "iscoroutine", "generator"},
                               {"inspect", "isasyncgen", "generator"}, {"types", "FunctionType", "function"},
                               {"types", "LambdaType", "function"},
                               // a compiled generator's locals are C variables: no frame holds them
                               {"inspect", "getgeneratorlocals", "generator"},
                               {"inspect", "getcoroutinelocals", "generator"}};

/// The nodes of a module's tree that the rewrite makes pass for compiled
/// generators and functions, and those it cannot: (classes, checks,
/// unmended, members) lists of (node, text) pairs: the type's text for all
/// but unmended, "generator" or "function" there. Members are such classes
/// in a set display (`{int, types.GeneratorType}`, read as `type(x) in
/// KINDS`), to which the compiled type is added beside them.
static nb::tuple generator_checks(nb::object tree) {
    nb::object ast = mine("ast");
    nb::dict names[2]; // local name -> imported name: of types, of inspect
    for (nb::handle node : ast.attr("walk")(tree))
        if (ast_kind(node) == "ImportFrom" && !node.attr("module").is_none())
            for (nb::handle alias : node.attr("names")) {
                std::string from = nb::cast<std::string>(node.attr("module"));
                nb::object local = alias.attr("asname").is_none() ? alias.attr("name") : alias.attr("asname");
                if (from == "types" || from == "inspect")
                    names[from == "inspect"][local] = alias.attr("name");
            }
    auto aliases = [&](const char *module) { return names[std::string(module) == "inspect"]; };
    nb::list classes, checks, unmended, members;
    nb::set mended, bases; // ids: of the nodes mended, of those whose attribute is read
    for (nb::handle node : ast.attr("walk")(tree)) {
        std::string k = ast_kind(node);
        if (k == "Attribute")
            bases.add(builtin("id")(node.attr("value")));
        if (k == "Set")
            for (nb::handle c : node.attr("elts"))
                for (const Ref &r : CLASSES)
                    if (is_ref(c, r.module, r.name, aliases(r.module))) {
                        members.append(nb::make_tuple(c, r.compiled));
                        mended.add(builtin("id")(c));
                    }
        if (k != "Call")
            continue;
        nb::object func = node.attr("func"), args = node.attr("args");
        std::string f = ast_kind(func) == "Name" ? nb::cast<std::string>(func.attr("id")) : "";
        if ((f != "isinstance" && f != "issubclass") || nb::len(args) != 2 ||
            nb::len(nb::object(node.attr("keywords"))))
            continue;
        nb::object cls = args[1];
        nb::list candidates = ast_kind(cls) == "Tuple" ? nb::list(cls.attr("elts")) : nb::list();
        if (ast_kind(cls) != "Tuple")
            candidates.append(cls);
        for (nb::handle c : candidates)
            for (const Ref &r : CLASSES)
                if (is_ref(c, r.module, r.name, aliases(r.module))) {
                    classes.append(nb::make_tuple(c, r.compiled));
                    mended.add(builtin("id")(c));
                }
    }
    for (nb::handle node : ast.attr("walk")(tree)) {
        std::string k = ast_kind(node);
        if ((k != "Name" && k != "Attribute") || ast_kind(node.attr("ctx")) != "Load" ||
            truthy(mended.attr("__contains__")(builtin("id")(node))))
            continue;
        bool done = false;
        // A predicate read for its own attributes (`inspect.isfunction.__doc__`) stays itself.
        if (!truthy(bases.attr("__contains__")(builtin("id")(node))))
            for (const Ref &r : PREDICATES)
                if (is_ref(node, r.module, r.name, aliases(r.module))) {
                    checks.append(nb::make_tuple(node, r.compiled));
                    done = true;
                }
        for (const Ref &r : UNMENDED)
            if (!done && is_ref(node, r.module, r.name, aliases(r.module))) {
                unmended.append(nb::make_tuple(node, r.compiled));
                break;
            }
    }
    return nb::make_tuple(classes, checks, unmended, members);
}

// Cython applies a `@staticmethod` first, whatever decorators lie under it:
// `@staticmethod @abstractmethod` fails at import, any other decorator gets
// the staticmethod instead of the function. Written `(staticmethod,)[0]`,
// the decorator is an ordinary one, applied in its place.
static void order_staticmethods(nb::handle tree, const Offsets &at, Edits &edits) {
    for (nb::handle node : mine("ast").attr("walk")(tree)) {
        std::string k = ast_kind(node);
        if (k != "FunctionDef" && k != "AsyncFunctionDef")
            continue;
        nb::list decorators = node.attr("decorator_list");
        for (size_t i = 0; i + 1 < nb::len(decorators); ++i) {
            nb::handle d = decorators[i];
            if (ast_kind(d) == "Name" && nb::cast<std::string>(d.attr("id")) == "staticmethod") {
                edits.push_back({at.start(d), "("});
                edits.push_back({at.end(d), ",)[0]"});
            }
        }
    }
}

// `from __future__ import x` is a directive to Cython, which binds no name;
// the source binds each to its feature. They are bound at the end of the
// last future import (a statement before a later one is a syntax error).
static void future_names(nb::handle tree, const Offsets &at, Edits &edits) {
    nb::handle last;
    std::string binds;
    for (nb::handle node : tree.attr("body")) {
        std::string k = ast_kind(node);
        if (k == "Expr" && !last && binds.empty())
            continue; // the docstring
        if (k != "ImportFrom" || node.attr("module").is_none() ||
            nb::cast<std::string>(node.attr("module")) != "__future__")
            break;
        for (nb::handle alias : node.attr("names")) {
            std::string name = nb::cast<std::string>(alias.attr("name"));
            std::string local = alias.attr("asname").is_none() ? name : nb::cast<std::string>(alias.attr("asname"));
            binds += "; " + local + " = __import__('__future__')." + name;
        }
        last = node;
    }
    if (last)
        edits.push_back({at.end(last), binds});
}

static nb::str rewrite(nb::str text) {
    nb::object re = mine("re");
    bool match = !re.attr("search")(R"((?m)^[ \t\f]*match\b)", text).is_none();
    lost_builtins(nb::module_::import_(MOD));
    // Every such name the text holds, as a name or not (in a comment, an
    // attribute): a global declaration of a name the module never reads
    // changes nothing.
    nb::object late = builtin("sorted")(builtin("set")(mine("LOST_BUILTINS_RE").attr("findall")(text)));
    bool generators = !mine("re").attr("search")(GENERATOR_WORDS, text).is_none();
    nb::bytes encoded(text.attr("encode")("utf-8"));
    std::string src(encoded.c_str(), encoded.size());
    Offsets at(src);
    Edits edits;
    nb::object ast = mine("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return text; // the scan reports syntax errors
    }
    nb::handle match_type = ast.attr("Match");
    if (match)
        for (nb::handle node : ast.attr("walk")(tree))
            if (node.type().is(match_type))
                guard_cases(node, src, at, edits);
    if (truthy(text.attr("__contains__")("__future__")))
        future_names(tree, at, edits);
    if (truthy(text.attr("__contains__")("staticmethod")))
        order_staticmethods(tree, at, edits);
    if (generators) {
        nb::tuple found = generator_checks(tree);
        for (nb::handle c : found[0]) {
            edits.push_back({at.start(c[0]), "("});
            edits.push_back({at.end(c[0]), ", " + nb::cast<std::string>(c[1]) + ")"});
        }
        for (nb::handle f : found[1]) {
            // Its one parameter is named as the inspect function's.
            edits.push_back({at.start(f[0]), "(lambda object, f="});
            edits.push_back({at.end(f[0]), ", g=" + nb::cast<std::string>(f[1]) + ": f(object) or object.__class__ is g)"});
        }
        for (nb::handle c : found[3])
            edits.push_back({at.end(c[0]), ", " + nb::cast<std::string>(c[1])});
    }
    if (truthy(text.attr("__contains__")("type(")))
        function_types(tree, at, edits);
    evaluate_tables(tree, src, at, edits);
    if (!re.attr("search")(R"(\btype\(|namedtuple|Enum|Flag|NamedTuple|TypedDict|TypeVar|ParamSpec|NewType|make_dataclass)", text).is_none())
        frame_calls(tree, src, at, edits);
    if (!re.attr("search")(R"(\bcurrentframe\b|\b_getframe\b|\bstacklevel\b|\bwarn\(|\bstack\(|\bgetouterframes\b)", text).is_none())
        frame_depths(tree, src, at, edits);
    if (!re.attr("search")(R"(\bwarn\b|\.(debug|info|warning|error|exception|critical|fatal|log)\b)", text).is_none())
        caller_calls(tree, at, edits);
    if (truthy(text.attr("__contains__")("async")) && !binds(tree, ast.attr("walk"), {"exec", "globals"}))
        async_genexps(tree, false, "", src, at, edits);
    std::string generic_tail;
    if (nb::hasattr(ast, "TypeAlias") &&
        !re.attr("search")(R"((?m)^[ \t]*(type[ \t]+\w|(async[ \t]+)?def[ \t]+\w+[ \t]*\[|class[ \t]+\w+[ \t]*\[))", text).is_none())
        for (const std::string &g : mender_generics::generics(tree, src, at, edits, generic_tail))
            late.attr("append")(g);
    // Added after the last line, where no line moves: such a name declared
    // global is looked up when the code runs, in the module, then in the
    // builtins (as in Python 3, a NameError where neither has it); then the
    // guard of the builtins compiled code reads itself.
    std::string tail;
    nb::list guarded = read_builtins(tree, nb::module_::import_(MOD));
    if (nb::len(late) || nb::len(guarded))
        tail = std::string(src.empty() || src.back() == '\n' || src.back() == '\r' ? "" : "\n");
    if (nb::len(late))
        tail += "global " + nb::cast<std::string>(nb::str(", ").attr("join")(late)) + "\n";
    tail += generic_tail;
    if (nb::len(guarded))
        tail += guard(guarded);
    if (edits.empty() && tail.empty())
        return text;
    std::stable_sort(edits.begin(), edits.end(), [](auto &a, auto &b) { return a.at < b.at; });
    std::string out;
    size_t from = 0;
    for (const Edit &e : edits) {
        if (e.at < from)
            continue; // within a table the interpreter evaluates from its text
        out.append(src, from, e.at - from);
        out.append(e.text);
        from = e.end == std::string::npos ? e.at : e.end;
    }
    out.append(src, from, std::string::npos);
    out.append(tail);
    return nb::str(out.data(), out.size());
}

/// The text Cython should translate for the module at `path`, or None when
/// it is the file's own text. The file's encoding is read as Python reads it.
static nb::object source(nb::object path) {
    nb::object f = mine("tokenize").attr("open")(path);
    nb::str text;
    try {
        text = nb::str(f.attr("read")());
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    nb::str out = rewrite(text);
    if (out.equal(text))
        return nb::none();
    return out;
}

// ---------------------------------------------------------------- the C

// Gives the module body its frame: the exec slot calls the wrapper.
static nb::str frame_fix(nb::str c) {
    nb::object re = mine("re");
    nb::object m = re.attr("search")(R"(\{Py_mod_exec, \(void\*\)(__pyx_pymod_exec_\w+)\},)", c);
    nb::str slots("static PyModuleDef_Slot __pyx_moduledef_slots[]");
    if (m.is_none() || !truthy(c.attr("__contains__")(slots)) || !truthy(c.attr("__contains__")("__pyx_f[]")))
        return c;
    nb::str exec(m.attr("group")(1));
    c = nb::str(c.attr("replace")(m.attr("group")(0), "{Py_mod_exec, (void*)__tovel_exec_in_frame},", 1));
    c = nb::str(c.attr("replace")(slots, nb::str(FRAME_PROTO) + slots, 1));
    // The file table and the code objects name the file the module finds at
    // run time (FRAME_BODY), not the path it was compiled from.
    c = nb::str(c.attr("replace")("static const char* const __pyx_f[] = {", "static const char* __pyx_f[] = {", 1));
    c = nb::str(re.attr("sub")(R"((__Pyx_PyCode_New\(descr, varnames, )(__pyx_mstate->__pyx_(?:kp|n)_u_\w+))",
                               "\\1__tovel_code_file(\\2)", c));
    return nb::str(c + nb::str(GUARD_C) + nb::str(FRAME_BODY).attr("replace")("EXEC", exec));
}

// Gives traceback entries shared frames (mender_c.h says how). A file that
// has Cython's traceback helper must have every part of it the fix knows:
// another Cython release stops the translation with one line saying so.
static nb::str traceback_fix(nb::str c) {
    if (!truthy(c.attr("__contains__")("static void __Pyx_AddTraceback(")))
        return c;
    nb::object re = mine("re");
    std::map<std::string, nb::object> m;
    for (const Found &f : TRACEBACK) {
        nb::object from = f.after ? m.at(f.after).attr("start")() : nb::int_(0);
        nb::object found = re.attr("compile")(f.pattern).attr("search")(c, from);
        if (found.is_none())
            throw std::runtime_error(std::string("tovel.mender: this Cython's traceback helper is not the one "
                                                 "tovel knows (its ") + f.what + " was not found)");
        m[f.what] = found;
    }
    auto group = [&](const char *what) { return m.at(what).attr("group")(1); };
    auto at = [&](const char *what, const char *edge) { return nb::cast<Py_ssize_t>(m.at(what).attr(edge)(1)); };
    auto fill = [&](const char *text) {
        nb::object t = nb::str(text);
        t = t.attr("replace")("@CFILENM@", group("C file name"));
        t = t.attr("replace")("@EMPTY@", group("empty tuple"));
        t = t.attr("replace")("@FETCH@", group("exception fetch"));
        t = t.attr("replace")("@RESTORE@", group("exception restore"));
        return t.attr("replace")("@MODDICT@", group("module dict"));
    };
    // (start, end, text) in the order they appear in the file.
    std::vector<std::tuple<Py_ssize_t, Py_ssize_t, nb::object>> edits = {
        {nb::cast<Py_ssize_t>(m.at("cache type").attr("start")()), nb::cast<Py_ssize_t>(m.at("cache type").attr("end")()),
         nb::str(CACHE_TYPE)},
        {at("limited helper", "start"), at("limited helper", "end"), nb::str(LIMITED_RENAMED)},
        {at("end of the limited helper", "start"), at("end of the limited helper", "end"),
         fill(ENTRY) + fill(LIMITED)},
        {at("full helper", "start"), at("full helper", "end"), fill(ENTRY) + fill(FULL)},
    };
    nb::list parts;
    Py_ssize_t done = 0;
    for (auto &[start, end, text] : edits) {
        if (start < done)
            throw std::runtime_error("tovel.mender: this Cython's traceback helper is not the one tovel knows "
                                     "(its parts are in another order)");
        parts.append(c.attr("__getitem__")(builtin("slice")(done, start)));
        parts.append(text);
        done = end;
    }
    parts.append(c.attr("__getitem__")(builtin("slice")(done, nb::none())));
    return nb::str(re.attr("sub")(RAISE_PATTERN, RAISE_MARK, nb::str("").attr("join")(parts), "count"_a = 1));
}

// Bounds the depth of compiled calls (mender_depth.h): each wrapper that
// calls an object-returning body counts the call, and so does a generator's resume.
static nb::str depth_fix(nb::str c) {
    nb::object re = mine("re");
    nb::object first = re.attr("search")(OBJECT_BODY, c);
    if (first.is_none() || truthy(c.attr("__contains__")("__TOVEL_NESTED(")))
        return c;
    nb::object bodies = builtin("set")(re.attr("findall")(OBJECT_BODY, c));
    auto slice = [&](nb::object from, nb::object to) { return c.attr("__getitem__")(builtin("slice")(from, to)); };
    // Offsets are the text's characters: a comment may quote non-ASCII source.
    nb::object at = nb::cast(nb::cast<Py_ssize_t>(first.attr("start")()) + 1);
    nb::list parts;
    parts.append(slice(nb::int_(0), at));
    parts.append(nb::str(DEPTH_C));
    for (nb::handle m : re.attr("finditer")(BODY_CALL, c)) {
        if (!truthy(bodies.attr("__contains__")(m.attr("group")(2))))
            continue;
        parts.append(slice(at, m.attr("start")(1)));
        parts.append(nb::str("__TOVEL_NESTED((PyObject *)NULL, {})").format(m.attr("group")(1)));
        at = m.attr("end")(1);
    }
    parts.append(slice(at, nb::none()));
    nb::object out = nb::str("").attr("join")(parts);
    for (auto &[from, to] : NESTED)
        out = out.attr("replace")(from, to);
    return nb::str(out);
}

/// The C of a translation with tovel's fixes.
static nb::str fix_c(nb::str c) {
    nb::object re = mine("re");
    for (const Fix &f : FIXES)
        c = nb::str(re.attr("sub")(f.pattern, f.replacement, c, "count"_a = f.count));
    return depth_fix(frame_fix(traceback_fix(c)));
}

/// Applies the fixes to the C file at `path` in place.
static void fix_c_file(nb::object path) { rewrite_text_file(path, fix_c); }

/// A digest of this module's own file: a translation cached by an older
/// mender is not reused.
static nb::str fingerprint() {
    nb::object file = mine("Path")(nb::module_::import_(MOD).attr("__file__"));
    return nb::str(nb::module_::import_("hashlib").attr("sha256")(file.attr("read_bytes")()).attr("hexdigest")());
}

TOVEL_MODULE(mender, m) {
    m.attr("ast") = nb::module_::import_("ast");
    m.attr("re") = nb::module_::import_("re");
    m.attr("tokenize") = nb::module_::import_("tokenize");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("rewrite", &rewrite, "text"_a, "A module's source text rewritten where Cython would compile it unfaithfully.");
    m.def("generator_checks", &generator_checks, "tree"_a,
          "The nodes of a module's syntax tree that the rewrite makes pass for compiled generators and "
          "functions, and the references to their types that it cannot mend.");
    m.def("source", &source, "path"_a, "The rewritten text of the module at path, or None when it is unchanged.");
    m.def("mend_cython", &mend_cython, "Mend Cython's compiler where it mistranslates ordinary Python (once).");
    m.def("fix_c", &fix_c, "c"_a, "The C of a translation with the fixes of Cython's faults.");
    m.def("fingerprint", &fingerprint, "A digest of this module's file, for the keys of cached translations.");
    m.def("fix_c_file", &fix_c_file, "path"_a, "Fix the C file at path in place.");
}
