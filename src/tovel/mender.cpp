// tovel.mender: mends what Cython would otherwise compile unfaithfully,
// before and after it translates a module. Before: a rewrite of the source
// text that keeps every line where it was, so that tracebacks still point
// at the user's lines. After: fixes of the C file, each found by the text of
// the Cython code it replaces; where that text is not there (another Cython
// release), the C stays as it is and the test suite's table of faithful
// constructs says so; the traceback fix, which every module needs, stops
// the translation instead. The C texts are in mender_c.h.
#include "common.h"
#include "mender_c.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace tovel;
using namespace tovel::mender_c;

static const char *MOD = "tovel.mender";

static nb::object mine(const char *name) { return global(MOD, name); }

static std::string kind(nb::handle node) { return nb::cast<std::string>(node.type().attr("__name__")); }

// ---------------------------------------------------------------- the source

// Whether Cython turns a case with this pattern (and no guard) into a branch
// of an if statement instead of matching it as a pattern: values, None,
// True, False, a capture or the wildcard, and ORs of values. Anything else
// counts as matched, which is the safe side.
static bool plain_pattern(nb::handle p) {
    std::string k = kind(p);
    if (k == "MatchValue" || k == "MatchSingleton")
        return true;
    if (k == "MatchAs")
        return p.attr("pattern").is_none();
    if (k == "MatchOr") {
        for (nb::handle alt : p.attr("patterns")) {
            std::string ka = kind(alt);
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
static nb::str rewrite(nb::str text) {
    // A match statement starts a line: most modules are not parsed at all.
    if (mine("re").attr("search")(R"((?m)^[ \t\f]*match\b)", text).is_none())
        return text;
    nb::object ast = mine("ast");
    nb::object tree;
    try {
        tree = ast.attr("parse")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return text; // the scan reports syntax errors
    }
    // Columns of the syntax tree count UTF-8 bytes; lines end where the
    // tokenizer ends them (\n, \r\n, \r).
    nb::bytes encoded(text.attr("encode")("utf-8"));
    std::string src(encoded.c_str(), encoded.size());
    std::vector<size_t> starts{0};
    for (size_t i = 0; i < src.size(); ++i)
        if (src[i] == '\n' || (src[i] == '\r' && (i + 1 == src.size() || src[i + 1] != '\n')))
            starts.push_back(i + 1);
    std::vector<size_t> at;
    for (nb::handle node : ast.attr("walk")(tree)) {
        if (kind(node) != "Match")
            continue;
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
            continue;
        // Every case gets the guard, not only the plain ones: whatever Cython
        // takes for plain, none of the cases is turned into an if statement.
        for (nb::handle c : unguarded) {
            nb::object p = c.attr("pattern");
            size_t i = starts.at(nb::cast<size_t>(p.attr("end_lineno")) - 1) +
                       nb::cast<size_t>(p.attr("end_col_offset"));
            // Between the pattern and the colon: closing brackets, blanks,
            // line breaks and comments within the brackets.
            while (i < src.size() && src[i] != ':') {
                char ch = src[i];
                if (ch == '#')
                    while (i < src.size() && src[i] != '\n' && src[i] != '\r')
                        ++i;
                else if (ch == ')' || ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\\' ||
                         ch == '\f')
                    ++i;
                else
                    break;
            }
            if (i >= src.size() || src[i] != ':')
                throw std::runtime_error("tovel.mender: no colon after the pattern of the case on line " +
                                         std::to_string(nb::cast<long>(p.attr("end_lineno"))));
            at.push_back(i);
        }
    }
    if (at.empty())
        return text;
    std::sort(at.begin(), at.end());
    std::string out;
    size_t from = 0;
    for (size_t i : at) {
        out.append(src, from, i - from);
        out.append(" if True");
        from = i;
    }
    out.append(src, from, std::string::npos);
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
    return nb::str(c + nb::str(FRAME_BODY).attr("replace")("EXEC", exec));
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
        {at("end of the limited helper", "start"), at("end of the limited helper", "end"), fill(LIMITED)},
        {at("full helper", "start"), at("full helper", "end"), fill(FULL)},
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
    return nb::str(nb::str("").attr("join")(parts));
}

/// The C of a translation with tovel's fixes.
static nb::str fix_c(nb::str c) {
    nb::object re = mine("re");
    for (const Fix &f : FIXES)
        c = nb::str(re.attr("sub")(f.pattern, f.replacement, c, "count"_a = 1));
    return frame_fix(traceback_fix(c));
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
    m.def("source", &source, "path"_a, "The rewritten text of the module at path, or None when it is unchanged.");
    m.def("fix_c", &fix_c, "c"_a, "The C of a translation with the fixes of Cython's faults.");
    m.def("fingerprint", &fingerprint, "A digest of this module's file, for the keys of cached translations.");
    m.def("fix_c_file", &fix_c_file, "path"_a, "Fix the C file at path in place.");
}
