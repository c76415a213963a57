// tovel.planner: what a build does with each file of a project's packages:
// a module to compile, a module kept as source, or a data file, each with
// its place in the wheel.
#include "common.h"

#include <nanobind/stl/string.h>

using namespace tovel;

static const char *MOD = "tovel.planner";

static nb::object mine(const char *name) { return global(MOD, name); }

// The output name of a module: ".abi3.so" for the limited API on POSIX,
// ".pyd" on Windows, the interpreter's own suffix otherwise.
static nb::str module_suffix(bool limited) {
    nb::object sysconfig = mine("sysconfig");
    if (limited) {
        if (mine("os").attr("name").equal(nb::str("nt")))
            return nb::str(".pyd");
        return nb::str(nb::str(".abi3") + nb::str(sysconfig.attr("get_config_var")("SHLIB_SUFFIX")));
    }
    return nb::str(sysconfig.attr("get_config_var")("EXT_SUFFIX"));
}

/// Tests shipped inside a package, as pytest finds them there: a test folder
/// (tests/, test/, testing/ holding test files) ships whole as source, its
/// helpers and __init__.py too, and each compiled __init__ above a test file
/// gets an __init__.py beside it (the extension module is imported first;
/// pytest finds a test module's package by those files). Moves the units of
/// test folders to `kept` and `tests`; returns the places of those files.
static nb::list ship_tests_inside(nb::list units, nb::list kept, nb::list tests, nb::list scripts) {
    nb::object test_folder = nb::module_::import_("tovel.collect").attr("test_folder");
    nb::list roots, markers;
    for (nb::handle t : tests) {
        nb::list parts(nb::str(t).attr("split")("/"));
        for (size_t i = 0; i + 1 < nb::len(parts); ++i)
            if (truthy(test_folder(parts[i]))) {
                roots.append(nb::str("/").attr("join")(parts.attr("__getitem__")(builtin("slice")(nb::none(), i + 1))) +
                             nb::str("/"));
                break;
            }
    }
    nb::tuple inside = nb::tuple(roots);
    nb::list compiled;
    for (nb::handle u : units) {
        nb::str arc(u["arc"]);
        if (!nb::len(inside) || !truthy(arc.attr("startswith")(inside))) {
            compiled.append(u);
            continue;
        }
        nb::dict entry;
        for (const char *key : {"path", "file", "arc"})
            entry[key] = u[key];
        kept.append(entry);
        tests.append(u["path"]);
        if (truthy(scripts.attr("__contains__")(u["path"])))
            scripts.attr("remove")(u["path"]);
    }
    units.attr("clear")();
    units.attr("extend")(compiled);
    nb::dict by_arc;
    for (nb::handle u : units)
        by_arc[u["arc"]] = u;
    for (nb::handle t : tests) {
        nb::list parts(nb::str(t).attr("split")("/"));
        for (size_t i = 1; i < nb::len(parts); ++i) {
            nb::str init(nb::str("/").attr("join")(parts.attr("__getitem__")(builtin("slice")(nb::none(), i))) +
                         nb::str("/__init__.py"));
            if (by_arc.contains(init) && !truthy(by_arc[init].attr("get")("marker"))) {
                by_arc[init]["marker"] = true;
                markers.append(init);
            }
        }
    }
    tests.attr("sort")();
    return markers;
}

// Whether a module has a `__main__` block of its own: a top-level `if
// __name__ == "__main__":`, not such a line inside a string (a template).
static bool is_script(nb::handle file, nb::handle script_re) {
    nb::object text = file.attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace");
    if (script_re.attr("search")(text).is_none())
        return false;
    nb::object tree;
    try {
        tree = mine("ast").attr("parse")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return true; // the scan reports the syntax error
    }
    for (nb::handle stmt : tree.attr("body")) {
        if (ast_kind(stmt) != "If" || ast_kind(stmt.attr("test")) != "Compare")
            continue;
        nb::object test = stmt.attr("test");
        nb::list sides;
        sides.append(test.attr("left"));
        for (nb::handle c : test.attr("comparators"))
            sides.append(c);
        bool name = false, main = false;
        for (nb::handle side : sides) {
            name = name || (ast_kind(side) == "Name" && nb::str(side.attr("id")).equal(nb::str("__name__")));
            main = main || (ast_kind(side) == "Constant" && side.attr("value").equal(nb::str("__main__")));
        }
        if (name && main)
            return true;
    }
    return false;
}

/// Sorts the walk of every package into modules to compile, modules kept as
/// source (matching `keep`, and every __main__.py, which `python -m` runs
/// from source) and data files; `arc` is the place in the wheel. Folders
/// (or, for a top-level module, its .py file) are relative to `root`; with a
/// root, `path` (what the patterns search, what is reported) is the place in
/// the wheel, else the POSIX path from the working directory. `file` is
/// where the file is read from.
static nb::dict plan(nb::list packages, nb::handle exclude, nb::handle keep, bool limited,
                     nb::handle root, bool verbose) {
    nb::object re = mine("re"), Path = mine("Path");
    nb::object base = Path(root.is_none() ? nb::object(nb::str(".")) : nb::borrow(root));
    nb::object excluded = exclude.is_none() ? nb::none() : re.attr("compile")(exclude);
    nb::object kept_re = keep.is_none() ? nb::none() : re.attr("compile")(keep);
    nb::str suffix = module_suffix(limited);
    nb::list units, kept, data, absent, tests, scripts, loose;
    // A module that is also a script: `python -m` runs a module from its
    // source only.
    nb::object script_re = re.attr("compile")(
        R"(^if\s+(__name__\s*==\s*['"]__main__['"]|['"]__main__['"]\s*==\s*__name__)\s*:)", re.attr("M"));
    for (nb::handle pkg : packages) {
        nb::str name(pkg[0]);
        nb::object top = base.attr("joinpath")(pkg[1]);
        // A top-level module is walked as a folder holding that one file.
        bool single = truthy(top.attr("is_file")());
        nb::object start = single ? top.attr("parent") : top;
        nb::str prefix = single ? nb::str("") : nb::str(name.attr("replace")(".", "/") + nb::str("/"));
        nb::object walk = single ? nb::object(nb::make_tuple(nb::make_tuple(start, nb::list(), nb::make_tuple(top.attr("name")))))
                                 : top.attr("walk")();
        for (nb::handle step : walk) {
            nb::list dirs = nb::borrow<nb::list>(step[1]);
            // Sorted in place: the walk, and so the wheel, does not depend on
            // the order the file system lists names in.
            dirs.attr("sort")();
            if (truthy(dirs.attr("__contains__")("__pycache__")))
                dirs.attr("remove")("__pycache__");
            nb::list files = nb::borrow<nb::list>(builtin("sorted")(step[2]));
            // A folder of a package with no __init__.py of its own is no
            // package a back end finds: its .py files are data the package
            // reads (pkgutil.get_data, importlib.resources), shipped as source.
            bool bare = !single && !root.is_none() && truthy(top.attr("joinpath")("__init__.py").attr("is_file")()) &&
                        !truthy(step[0].attr("joinpath")("__init__.py").attr("is_file")());
            for (nb::handle file : files) {
                nb::object f = step[0].attr("__truediv__")(file);
                nb::str rel(f.attr("relative_to")(start).attr("as_posix")());
                nb::str arc(prefix + rel);
                nb::str path = root.is_none() ? nb::str(f.attr("as_posix")()) : arc;
                nb::str ext(f.attr("suffix"));
                if (!excluded.is_none() && !excluded.attr("search")(path).is_none()) {
                    if (verbose)
                        print("excluded", path);
                    if (ext.equal(nb::str(".py")))
                        absent.append(arc.attr("removesuffix")(".py").attr("replace")("/", "."));
                    continue;
                }
                // A link to a folder is never followed (it may loop): the walk
                // lists it among the files. Nor is one that leads nowhere.
                if (truthy(f.attr("is_symlink")()) && !truthy(f.attr("is_file")()))
                    build_failed(nb::str("{} is a link to {}, {}: put the files there instead, or leave it out "
                                         "with --exclude")
                                     .format(path, mine("os").attr("readlink")(f),
                                             truthy(f.attr("exists")()) ? "a folder, which tov does not follow"
                                                                        : "which does not exist"));
                nb::dict entry;
                entry["path"] = path;
                entry["file"] = f.attr("as_posix")();
                entry["arc"] = arc;
                if (ext.equal(nb::str(".py"))) {
                    bool main_module = nb::str(file).equal(nb::str("__main__.py"));
                    if (main_module || (!kept_re.is_none() && !kept_re.attr("search")(path).is_none())) {
                        if (verbose)
                            print("kept as source", path);
                        kept.append(entry);
                        continue;
                    }
                    // pytest collects tests from source files only: a wheel's
                    // own test modules ship as they are, or installed none of
                    // their tests would run.
                    nb::str leaf(file);
                    if (!root.is_none() && (leaf.equal(nb::str("conftest.py")) || truthy(leaf.attr("startswith")("test_")) ||
                                            truthy(leaf.attr("endswith")("_test.py")) || leaf.equal(nb::str("tests.py")) ||
                                            leaf.equal(nb::str("test.py")) || truthy(leaf.attr("endswith")("_tests.py")))) {
                        tests.append(path);
                        kept.append(entry);
                        continue;
                    }
                    if (bare) {
                        loose.append(path);
                        kept.append(entry);
                        continue;
                    }
                    nb::str stem(arc.attr("removesuffix")(".py"));
                    // A file no import statement can name (hook-x.py, loaded
                    // by path by some other tool) has no module name to compile for.
                    bool importable = true;
                    for (nb::handle part : stem.attr("split")("/"))
                        importable = importable && truthy(part.attr("isidentifier")());
                    if (!importable) {
                        print(nb::str("kept as source {}: its name is not a module name (a Python identifier)")
                                  .format(path));
                        kept.append(entry);
                        continue;
                    }
                    nb::str module(stem.attr("replace")("/", "."));
                    entry["module"] = module;
                    // The name an import uses: a package is imported by its own name.
                    entry["name"] = module.attr("removesuffix")(".__init__");
                    entry["c"] = nb::str("build/src/") + stem + nb::str(".c");
                    entry["so"] = nb::str("build/egg/") + stem + suffix;
                    // `python -m pkg` runs pkg/__main__.py: a package's
                    // __init__ never runs as a script that way (pyfiglet's).
                    if (!root.is_none() && !truthy(arc.attr("endswith")("__init__.py")) && is_script(f, script_re))
                        scripts.append(path);
                    units.append(entry);
                } else if (!nb::isinstance<nb::str>(ext) ||
                           !truthy(nb::make_tuple(".pyc", ".pyo", ".so", ".pyd").attr("__contains__")(ext))) {
                    // Bytecode and compiled modules of an earlier build are never shipped.
                    data.append(entry);
                }
            }
        }
    }
    nb::list markers = ship_tests_inside(units, kept, tests, scripts);
    if (nb::len(tests))
        print(nb::str("kept as source {} test {} (pytest collects tests from sources only): {}")
                  .format(nb::len(tests), nb::len(tests) == 1 ? "module" : "modules", nb::str(", ").attr("join")(tests)));
    if (nb::len(loose))
        print(nb::str("kept as source {} {} in folders without __init__.py (data the package reads): {}")
                  .format(nb::len(loose), nb::len(loose) == 1 ? "file" : "files", nb::str(", ").attr("join")(loose)));
    // Said, not decided: most such blocks are a module's own demo or check,
    // and the wheel's entry points call the compiled module as well.
    if (nb::len(scripts)) {
        nb::list pattern;
        for (nb::handle p : scripts)
            pattern.append(nb::str("^") + nb::str(re.attr("escape")(p)) + nb::str("$"));
        bool one = nb::len(scripts) == 1;
        print(nb::str("warning: `python -m` runs modules from source only, and {} compiled {} "
                      "(a `__main__` block): {}; --keep '{}' ships {} as source")
                  .format(nb::len(scripts), one ? "module is a script" : "modules are scripts", nb::str(", ").attr("join")(scripts),
                          nb::str("|").attr("join")(pattern), one ? "it" : "them"));
    }
    nb::dict out;
    out["units"] = units;
    out["kept"] = kept;
    out["data"] = data;
    out["absent"] = absent;
    out["markers"] = markers;
    return out;
}

TOVEL_MODULE(planner, m) {
    for (const char *name : {"ast", "os", "re", "sysconfig"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("plan", &plan, "packages"_a, "exclude"_a.none(), "keep"_a.none(), "limited"_a,
          "root"_a.none() = nb::none(), "verbose"_a = false,
          "Sort the files of the packages into modules to compile, kept sources and data.");
}
