// tovel.finder: where a project's tests are and what they need, found as a
// developer of the project runs them: pytest's configuration (pytest.ini,
// pyproject.toml, tox.ini, setup.cfg, in pytest's order), a tests/ or test/
// folder or the tests inside a package, and their requirements from a PEP
// 735 dependency group or a test extra of the wheel. tovel.prover runs what
// is found; tests inside a package run from the installed package.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.finder";

static nb::object mine(const char *name) { return global(MOD, name); }

static const char *const GROUPS[] = {"test", "tests", "testing", "dev"};
static const char *const EXTRAS[] = {"test", "tests", "testing"};
static const char *const FOLDERS[] = {"tests", "test"};

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static bool is_file(nb::handle p) { return truthy(mine("os").attr("path").attr("isfile")(p)); }
static bool is_dir(nb::handle p) { return truthy(mine("os").attr("path").attr("isdir")(p)); }

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

static nb::dict found_config(nb::handle file, nb::handle testpaths, nb::handle pythonpath) {
    nb::dict c;
    c["file"] = file;
    c["testpaths"] = words(testpaths);
    c["pythonpath"] = words(pythonpath);
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
/// itself would take: {file, testpaths, pythonpath}, or None.
static nb::object config(nb::str folder) {
    auto ini = [&](const char *name, const char *section) -> nb::object {
        nb::object path = join(folder, nb::str(name));
        if (!is_file(path))
            return nb::none();
        nb::object parser = mine("configparser").attr("ConfigParser")("interpolation"_a = nb::none());
        try {
            parser.attr("read")(path, "encoding"_a = "utf-8");
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            return nb::none();
        }
        if (!truthy(parser.attr("has_section")(section)))
            return nb::none();
        return found_config(path, parser.attr("get")(section, "testpaths", "fallback"_a = ""),
                            parser.attr("get")(section, "pythonpath", "fallback"_a = ""));
    };
    nb::object c = ini("pytest.ini", "pytest");
    if (!c.is_none())
        return c;
    nb::object doc = pyproject(folder);
    nb::object tool = doc.is_none() ? nb::object(nb::dict()) : get(doc, "tool", nb::dict());
    nb::object options = nb::isinstance<nb::dict>(tool) ? get(tool, "pytest", nb::none()) : nb::none();
    if (nb::isinstance<nb::dict>(options)) {
        // [tool.pytest.ini_options], or [tool.pytest] holding the options itself.
        nb::object inner = get(options, "ini_options", options);
        if (nb::isinstance<nb::dict>(inner))
            return found_config(join(folder, nb::str("pyproject.toml")), get(inner, "testpaths", nb::none()),
                                get(inner, "pythonpath", nb::none()));
    }
    c = ini("tox.ini", "pytest");
    return c.is_none() ? ini("setup.cfg", "tool:pytest") : c;
}

// The folders of the project to look for tests in: the testpaths of pytest's
// configuration, else tests/ and test/.
static nb::list wanted(nb::list testpaths) {
    if (nb::len(testpaths))
        return testpaths;
    nb::list out;
    for (const char *f : FOLDERS)
        out.append(f);
    return out;
}

/// The files and folders of `project` that the tests found there come from
/// (a test folder inside a package is the package's): its test folders and
/// the files pytest and the finder read, conftest.py too, those that exist.
static nb::list test_sources(nb::str project) {
    nb::object c = config(project);
    nb::list out;
    for (const char *f : {"pytest.ini", "pyproject.toml", "tox.ini", "setup.cfg", "conftest.py"})
        if (is_file(join(project, nb::str(f))))
            out.append(join(project, nb::str(f)));
    for (nb::handle t : wanted(c.is_none() ? nb::list() : nb::list(c["testpaths"])))
        if (is_dir(join(project, t)))
            out.append(join(project, t));
    return out;
}

/// Where the tests of the project in `project` are and what they need. `base`
/// is the folder its packages (`packages`, [name, entry] pairs) are relative
/// to, `info` the .dist-info folder of its wheel (its extras), or None.
/// Returns {command, requires, extras, installed (the test folders that are
/// in the wheel), pythonpath, what} or, when no tests are found,
/// {command: None, why}. The command's {project} is the project folder,
/// {site} the environment's site-packages.
static nb::dict find(nb::str project, nb::str base, nb::list packages, nb::object info) {
    nb::object os = mine("os"), shlex = mine("shlex");
    nb::dict out;
    nb::set roots;
    for (nb::handle pkg : packages)
        roots.add(nb::str(pkg[0]).attr("split")(".")[0]);
    nb::object c = config(project);
    nb::list testpaths = c.is_none() ? nb::list() : nb::list(c["testpaths"]);
    nb::list places, shown, installed;
    // A test folder of the project, or one inside a package: the installed copy.
    auto add = [&](nb::str rel) {
        nb::list parts(rel.attr("replace")("\\", "/").attr("strip")("/").attr("split")("/"));
        for (size_t i = 0; i < nb::len(parts); ++i) {
            nb::str tail(nb::str("/").attr("join")(parts.attr("__getitem__")(builtin("slice")(i, nb::none()))));
            if (truthy(roots.attr("__contains__")(parts[i])) && is_dir(join(base, tail))) {
                places.append(nb::str("{site}/") + nb::str(shlex.attr("quote")(tail)));
                installed.append(tail);
                shown.append(nb::str("{}/ (installed)").format(tail));
                return;
            }
        }
        places.append(nb::str("{project}/") + nb::str(shlex.attr("quote")(rel)));
        shown.append(nb::str("{}/").format(rel.attr("rstrip")("/")));
    };
    for (nb::handle t : wanted(testpaths))
        if (is_dir(join(project, t)))
            add(nb::str(t));
    if (!nb::len(places) && !nb::len(testpaths))
        for (nb::handle pkg : packages)
            for (const char *f : FOLDERS) {
                nb::str rel = nb::str("{}/{}").format(nb::str(pkg[0]).attr("replace")(".", "/"), f);
                if (is_dir(join(join(base, pkg[1]), nb::str(f))))
                    add(rel);
            }
    if (!nb::len(places)) {
        out["command"] = nb::none();
        out["why"] = nb::len(testpaths) ? nb::str("the testpaths of pytest's configuration are not there")
                                        : nb::str("no tests found (no tests/ or test/ folder in the project or its packages)");
        return out;
    }
    out["command"] = nb::str(" ").attr("join")(nb::make_tuple("python -m pytest", nb::str(" ").attr("join")(places)));

    // The requirements of the tests: a dependency group, the wheel's test
    // extra, and pytest.
    nb::list requires, said;
    nb::object doc = pyproject(project);
    nb::object groups = doc.is_none() ? nb::object(nb::dict()) : get(doc, "dependency-groups", nb::dict());
    for (const char *g : GROUPS)
        if (nb::isinstance<nb::dict>(groups) && nb::borrow<nb::dict>(groups).contains(g)) {
            try {
                requires.attr("extend")(mine("resolve")(groups, g));
                said.append(nb::str("dependency group {}").format(g));
            } catch (nb::python_error &e) {
                if (!ordinary(e))
                    throw;
                print(nb::str("warning: pyproject.toml: [dependency-groups] {}: {}").format(g, e.value()));
            }
            break;
        }
    nb::list extras;
    if (!info.is_none()) {
        nb::object meta = mine("PathDistribution")(mine("Path")(info)).attr("metadata");
        nb::object provided = meta.attr("get_all")("Provides-Extra", nb::list());
        for (const char *x : EXTRAS)
            if (!nb::len(extras) && truthy(provided.attr("__contains__")(x))) {
                extras.append(x);
                said.append(nb::str("extra {}").format(x));
            }
    }
    bool pytest = false;
    for (nb::handle r : requires)
        try {
            pytest = pytest || mine("canonicalize_name")(mine("Requirement")(r).attr("name")).equal(nb::str("pytest"));
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
    if (!pytest)
        requires.append("pytest");
    out["requires"] = requires;
    out["installed"] = installed;
    out["extras"] = extras;
    out["pythonpath"] = c.is_none() ? nb::list() : nb::list(c["pythonpath"]);
    nb::str from = c.is_none() ? nb::str("")
                               : nb::str(", pytest's configuration in {}").format(os.attr("path").attr("basename")(c["file"]));
    out["what"] = nb::str("{}{}; requirements: {}")
                      .format(nb::str(", ").attr("join")(shown), from,
                              nb::len(said) ? nb::str(", ").attr("join")(said) : nb::str("pytest only"));
    return out;
}

/// The dependencies the wheel declares (those of no extra), from its
/// .dist-info folder; None without one.
static nb::object declared(nb::handle info) {
    if (info.is_none())
        return nb::none();
    nb::object requires = mine("PathDistribution")(mine("Path")(info)).attr("requires");
    nb::list out;
    nb::dict env;
    env["extra"] = "";
    nb::object Requirement = mine("Requirement");
    if (!requires.is_none())
        for (nb::handle r : requires) {
            nb::object marker = Requirement(r).attr("marker");
            if (marker.is_none() || truthy(marker.attr("evaluate")(env)))
                out.append(r);
        }
    return out;
}

// The built units outside the test folders `tests` of the wheel: the test
// modules stay as source while the tests run from them.
static nb::list outside(nb::list built, nb::handle tests) {
    nb::list tested;
    for (nb::handle u : built) {
        bool test = false;
        for (nb::handle t : tests)
            test = test || truthy(nb::str(u["arc"]).attr("startswith")(nb::str(nb::str(t).attr("strip")("/")) + nb::str("/")));
        if (!test)
            tested.append(u);
    }
    return tested;
}

/// What the proof of a build runs: the command given (--test-command,
/// [tool.tovel]) or the tests found in `project`. Returns {settings (None:
/// nothing to run), tested (the built units the tests judge: not the test
/// modules they run from), unproven (why no tests run, or None), prove_it
/// (the options that would prove the wheel)}.
static nb::dict proof(nb::dict options, nb::str project, nb::object root, nb::list packages, nb::object info,
                      nb::list built) {
    nb::object quote = mine("shlex").attr("quote");
    nb::dict out, settings;
    out["tested"] = built;
    out["unproven"] = nb::none();
    out["prove_it"] = "--test-command 'pytest {project}/tests' --test-requires pytest";
    settings["test_command"] = get(options, "test_command", nb::none());
    nb::object given = get(options, "test_requires", nb::none());
    settings["test_requires"] = given.is_none() ? nb::list() : nb::list(builtin("list")(given));
    settings["test_timeout"] = get(options, "test_timeout", nb::none());
    settings["project"] = project;
    out["settings"] = settings;
    if (!settings["test_command"].is_none()) {
        // Test folders of the wheel the command names through {site}.
        out["tested"] = outside(built, mine("re").attr("findall")("\\{site\\}/([^\\s'\"]+)", settings["test_command"]));
        return out;
    }
    nb::dict found = find(project, root.is_none() ? nb::str(".") : nb::str(root), packages, info);
    if (found["command"].is_none()) {
        out["unproven"] = found["why"];
        out["settings"] = nb::none();
        return out;
    }
    print(nb::str("the project's tests: {}").format(found["what"]));
    nb::list words;
    words.append(quote(found["command"]));
    for (nb::handle r : found["requires"])
        words.append(nb::str("--test-requires ") + nb::str(quote(r)));
    out["prove_it"] = nb::str("--test-command ") + nb::str(nb::str(" ").attr("join")(words));
    settings["found"] = true;
    settings["test_command"] = found["command"];
    settings["test_requires"].attr("extend")(found["requires"]);
    settings["test_extras"] = found["extras"];
    if (settings["test_timeout"].is_none())
        settings["test_timeout"] = 600;
    out["tested"] = outside(built, found["installed"]);
    return out;
}

TOVEL_MODULE(finder, m) {
    for (const char *name : {"configparser", "os", "re", "shlex", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathDistribution") = nb::module_::import_("importlib.metadata").attr("PathDistribution");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.attr("resolve") = nb::module_::import_("dependency_groups").attr("resolve");
    m.def("config", &config, "folder"_a, "pytest's configuration of the project in folder: {file, testpaths, "
                                         "pythonpath}, or None.");
    m.def("find", &find, "project"_a, "base"_a, "packages"_a, "info"_a.none(),
          "Where the project's tests are and what they need: {command, requires, extras, pythonpath, what}, "
          "or {command: None, why}.");
    m.def("test_sources", &test_sources, "project"_a,
          "The files and folders of the project its found tests come from: test folders, pytest's and the "
          "finder's configuration files.");
    m.def("declared", &declared, "info"_a.none(),
          "The requirements a .dist-info folder declares, those of no extra; None without one.");
    m.def("proof", &proof, "options"_a, "project"_a, "root"_a.none(), "packages"_a, "info"_a.none(), "built"_a,
          "What the proof of a build runs: {settings (None: nothing), tested, unproven, prove_it}.");
}
