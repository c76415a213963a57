// tovel.collect: pytest's configuration of a project, read as pytest reads
// it, and what pytest collects from a folder: the test modules of a package,
// the test files beside setup.py, the test files of a folder from which
// pytest as configured collects nothing. tovel.finder builds on it.
#include "common.h"

#include <string_view>

using namespace tovel;

static const char *MOD = "tovel.collect";

static nb::object mine(const char *name) { return global(MOD, name); }

static const char *const FOLDERS[] = {"tests", "test"};
// pytest's python_files when its configuration does not set them.
static const char *const PYTHON_FILES[] = {"test_*.py", "*_test.py"};
// pytest's norecursedirs when its configuration does not set them.
static const char *const NORECURSEDIRS[] = {"*.egg", ".*", "_darcs", "build", "CVS", "dist", "node_modules", "venv", "{arch}"};

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static bool is_file(nb::handle p) { return truthy(mine("os").attr("path").attr("isfile")(p)); }
static bool is_dir(nb::handle p) { return truthy(mine("os").attr("path").attr("isdir")(p)); }
static bool fnmatch(nb::handle name, nb::handle pattern) { return truthy(mine("fnmatch").attr("fnmatch")(name, pattern)); }

// The words of an ini value (split at white space), or the texts of a TOML array.
static nb::list words(nb::handle value) {
    nb::list out;
    if (nb::isinstance<nb::str>(value))
        return nb::list(value.attr("split")());
    if (nb::isinstance<nb::list>(value))
        for (nb::handle v : value)
            if (nb::isinstance<nb::str>(v))
                out.append(v);
    return out;
}

// What the finder reads of pytest's configuration `raw` (the options of its
// section or table), read from `file`.
static nb::dict found_config(nb::handle file, nb::handle raw) {
    nb::dict c;
    c["file"] = file;
    for (const char *key : {"testpaths", "pythonpath", "python_files", "addopts"})
        c[key] = words(get(raw, key, nb::none()));
    // Set, even to nothing, it replaces pytest's own.
    nb::object skip = get(raw, "norecursedirs", nb::none());
    c["norecursedirs"] = skip.is_none() ? nb::object(nb::none()) : nb::object(words(skip));
    // pytest-asyncio's mode, set in the configuration, as the option it is.
    for (nb::handle mode : words(get(raw, "asyncio_mode", nb::none())))
        nb::borrow<nb::list>(c["addopts"]).append(nb::str("--asyncio-mode=") + nb::str(mode));
    return c;
}

// The parsed pyproject.toml of the folder, or None (missing or not TOML).
static nb::object pyproject(nb::handle folder) {
    nb::object path = join(folder, nb::str("pyproject.toml"));
    if (!is_file(path))
        return nb::none();
    try {
        return mine("tomllib").attr("loads")(mine("Path")(path).attr("read_text")("encoding"_a = "utf-8"));
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
}

/// pytest's configuration of the project in `folder`, the first file pytest
/// itself would take: {file, testpaths, pythonpath, python_files, addopts}
/// (lists of words), norecursedirs (a list, None when not set), or None.
static nb::object config(nb::str folder) {
    // pytest.ini is pytest's even with no [pytest] section.
    auto ini = [&](const char *name, const char *section, bool always) -> nb::object {
        nb::object path = join(folder, nb::str(name));
        if (!is_file(path))
            return nb::none();
        nb::object parser = mine("configparser").attr("ConfigParser")("interpolation"_a = nb::none());
        try {
            parser.attr("read")(path, "encoding"_a = "utf-8");
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            return always ? nb::object(found_config(path, nb::dict())) : nb::object(nb::none());
        }
        if (!truthy(parser.attr("has_section")(section)))
            return always ? nb::object(found_config(path, nb::dict())) : nb::object(nb::none());
        return found_config(path, builtin("dict")(parser.attr("items")(section)));
    };
    for (const char *name : {"pytest.ini", ".pytest.ini"}) {
        nb::object c = ini(name, "pytest", true);
        if (!c.is_none())
            return c;
    }
    nb::object doc = pyproject(folder);
    nb::object tool = doc.is_none() ? nb::object(nb::dict()) : get(doc, "tool", nb::dict());
    nb::object options = nb::isinstance<nb::dict>(tool) ? get(tool, "pytest", nb::none()) : nb::none();
    if (nb::isinstance<nb::dict>(options)) {
        // [tool.pytest.ini_options], or [tool.pytest] holding the options itself.
        nb::object inner = get(options, "ini_options", options);
        if (nb::isinstance<nb::dict>(inner))
            return found_config(join(folder, nb::str("pyproject.toml")), inner);
    }
    nb::object c = ini("tox.ini", "pytest", false);
    return c.is_none() ? ini("setup.cfg", "tool:pytest", false) : c;
}

// The folders of the project to look for tests in: the testpaths of pytest's
// configuration (their patterns matched), else tests/ and test/.
static nb::list wanted(nb::str project, nb::list testpaths) {
    nb::list out;
    if (!nb::len(testpaths)) {
        for (const char *f : FOLDERS)
            out.append(f);
        return out;
    }
    for (nb::handle t : testpaths) {
        if (!truthy(mine("glob").attr("has_magic")(t)))
            out.append(t);
        else
            out.attr("extend")(builtin("sorted")(mine("glob").attr("glob")(t, "root_dir"_a = project)));
    }
    return out;
}

// The python_files of pytest's configuration `c`, or pytest's own.
static nb::list patterns(nb::handle c) {
    nb::list out = c.is_none() ? nb::list() : nb::list(c["python_files"]);
    if (!nb::len(out))
        for (const char *p : PYTHON_FILES)
            out.append(p);
    return out;
}

// The norecursedirs of pytest's configuration `c`, or pytest's own: the
// folders pytest collects nothing from (data the tests read, say).
static nb::list norecurse(nb::handle c) {
    nb::object set = c.is_none() ? nb::object(nb::none()) : get(c, "norecursedirs", nb::none());
    if (!set.is_none())
        return nb::list(set);
    nb::list out;
    for (const char *p : NORECURSEDIRS)
        out.append(p);
    return out;
}

static bool matches(nb::handle name, nb::handle pats) {
    for (nb::handle p : pats)
        if (fnmatch(name, p))
            return true;
    return false;
}

static bool test_folder(nb::handle name) {
    for (const char *f : {"tests", "test", "testing"})
        if (nb::str(name).equal(nb::str(f)))
            return true;
    return false;
}

// Whether the file at `rel` (a path with /) in a package holds tests:
// pytest collects it (`pats`), it is a conftest.py, or a test folder holds it.
static bool test_module(nb::str rel, nb::handle pats) {
    nb::list parts(rel.attr("split")("/"));
    nb::object name = parts[nb::len(parts) - 1];
    bool test = matches(name, pats) || nb::str(name).equal(nb::str("conftest.py"));
    for (size_t i = 0; !test && i + 1 < nb::len(parts); ++i)
        test = test_folder(parts[i]);
    return test;
}

// A package's unittest module by its name (pkg/tests.py, which setup.py's
// test_suite names), which pytest does not collect by that name; not a
// helper module the package ships (testing.py).
static bool unittest_module(nb::str name) {
    return name.equal(nb::str("tests.py")) || name.equal(nb::str("test.py")) || truthy(name.attr("endswith")("_tests.py"));
}

// The test files beside setup.py that pytest collects when no testpaths say
// otherwise.
static nb::list root_tests(nb::str project, nb::handle c) {
    nb::list out;
    if (!c.is_none() && nb::len(nb::object(c["testpaths"])))
        return out;
    for (nb::handle f : builtin("sorted")(mine("os").attr("listdir")(project)))
        if (matches(f, patterns(c)) && truthy(nb::str(f).attr("endswith")(".py")) &&
            !nb::str(f).equal(nb::str("setup.py")) && !nb::str(f).equal(nb::str("conftest.py")) && is_file(join(project, f)))
            out.append(f);
    return out;
}

// The test files beside setup.py that unittest's discovery finds and pytest
// does not collect by their name (tests.py, run by `python -m unittest`).
static nb::list root_unittests(nb::str project, nb::handle c) {
    nb::list out;
    if (!c.is_none() && nb::len(nb::object(c["testpaths"])))
        return out;
    for (nb::handle f : builtin("sorted")(mine("os").attr("listdir")(project)))
        if (fnmatch(f, nb::str("test*.py")) && !matches(f, patterns(c)) && is_file(join(project, f)))
            out.append(f);
    return out;
}

// The Python files under `folder`, relative to it (no hidden folders, none
// under a folder whose name matches one of `skip`, at most a few thousand).
static nb::list python_files(nb::handle folder, nb::handle skip) {
    nb::list out;
    for (nb::handle step : mine("os").attr("walk")(folder)) {
        nb::list dirs(step[1]);
        nb::list kept;
        for (nb::handle d : dirs)
            if (!truthy(nb::str(d).attr("startswith")(".")) && !nb::str(d).equal(nb::str("__pycache__")) &&
                (skip.is_none() || !matches(d, skip)))
                kept.append(d);
        step[1].attr("__setitem__")(builtin("slice")(nb::none()), builtin("sorted")(kept));
        for (nb::handle f : builtin("sorted")(step[2]))
            if (truthy(nb::str(f).attr("endswith")(".py")))
                out.append(mine("os").attr("path").attr("relpath")(join(step[0], f), folder));
        if (nb::len(out) > 3000)
            break;
    }
    return out;
}

// The files of a test folder that pytest as configured does not collect
// although they hold tests by their name (tests/test.py), when it would
// collect nothing from the folder: they are named to it. Empty otherwise.
static nb::list uncollected(nb::handle folder, nb::handle pats, nb::handle skip) {
    nb::list named;
    nb::object basename = mine("os").attr("path").attr("basename");
    for (nb::handle rel : python_files(folder, skip)) {
        nb::object name = basename(rel);
        if (matches(name, pats))
            return nb::list();
        for (const char *p : {"test*.py", "*test.py", "*tests.py"})
            if (fnmatch(name, nb::str(p))) {
                named.append(rel);
                break;
            }
    }
    return named;
}

/// Whether the project's addopts leave the file at `path` out: an --ignore
/// path (from the project's folder) holds it, or an --ignore-glob matches
/// it. pytest collects nothing there (asttokens' tests/testdata, modules a
/// test parses, not runs).
static bool ignored(nb::str project, nb::object config, nb::str path) {
    if (config.is_none())
        return false;
    nb::object os = mine("os");
    nb::object norm = os.attr("path").attr("normpath");
    nb::str p(norm(path));
    nb::list opts(config["addopts"]);
    for (size_t i = 0; i < nb::len(opts); ++i) {
        nb::str o(opts[i]);
        for (const char *flag : {"--ignore", "--ignore-glob"}) {
            nb::str f(flag), value("");
            if (o.equal(f) && i + 1 < nb::len(opts))
                value = nb::str(opts[i + 1]);
            else if (truthy(o.attr("startswith")(f + nb::str("="))))
                value = nb::str(o.attr("partition")("=")[2]);
            if (!nb::len(value))
                continue;
            nb::str full(norm(join(project, value)));
            bool glob = std::string_view(flag) == "--ignore-glob";
            if (glob ? fnmatch(p, full) : p.equal(full) || truthy(p.attr("startswith")(full + nb::str(os.attr("sep")))))
                return true;
        }
    }
    return false;
}

TOVEL_MODULE(collect, m) {
    for (const char *name : {"configparser", "fnmatch", "glob", "os", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("config", &config, "folder"_a, "pytest's configuration of the project in folder: {file, testpaths, "
                                         "pythonpath, python_files, addopts}, or None.");
    m.def("wanted", &wanted, "project"_a, "testpaths"_a,
          "The test folders to look for: the testpaths (patterns matched), else tests/ and test/.");
    m.def("patterns", &patterns, "config"_a.none(), "The python_files of pytest's configuration, or pytest's own.");
    m.def("test_module", &test_module, "rel"_a, "patterns"_a,
          "Whether the file at rel in a package holds tests: pytest collects it, a conftest.py, or in a test folder.");
    m.def("test_folder", &test_folder, "name"_a, "Whether a folder of that name holds tests.");
    m.def("unittest_module", &unittest_module, "name"_a, "Whether a package's module of that name is its unittest tests.");
    m.def("root_tests", &root_tests, "project"_a, "config"_a.none(),
          "The test files beside setup.py that pytest collects when no testpaths say otherwise.");
    m.def("root_unittests", &root_unittests, "project"_a, "config"_a.none(),
          "The test files beside setup.py that unittest's discovery finds and pytest does not collect by name.");
    m.def("ignored", &ignored, "project"_a, "config"_a.none(), "path"_a,
          "Whether the project's addopts (--ignore, --ignore-glob) leave the file at path out.");
    m.def("norecurse", &norecurse, "config"_a.none(), "The norecursedirs of pytest's configuration, or pytest's own.");
    m.def("python_files", &python_files, "folder"_a, "skip"_a.none() = nb::none(),
          "The Python files under folder, relative to it, none under a folder matching one of skip.");
    m.def("uncollected", &uncollected, "folder"_a, "patterns"_a, "skip"_a.none() = nb::none(),
          "The test files of a folder from which pytest as configured collects nothing; empty otherwise.");
}
