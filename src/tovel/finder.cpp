// tovel.finder: where a project's tests are, found as a developer of the
// project runs them: pytest's configuration (pytest.ini, pyproject.toml,
// tox.ini, setup.cfg, in pytest's order), a tests/ or test/ folder, the
// tests inside a package, or test files beside setup.py. What they need is
// tovel.needs'. tovel.prover runs what is found; tests inside a package run
// from the installed package.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.finder";

static nb::object mine(const char *name) { return global(MOD, name); }

static const char *const FOLDERS[] = {"tests", "test"};
// pytest's python_files when its configuration does not set them.
static const char *const PYTHON_FILES[] = {"test_*.py", "*_test.py"};

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
/// (lists of words), or None.
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

// The Python files under `folder`, relative to it (no hidden folders, at
// most a few thousand).
static nb::list python_files(nb::handle folder) {
    nb::list out;
    for (nb::handle step : mine("os").attr("walk")(folder)) {
        nb::list dirs(step[1]);
        nb::list kept;
        for (nb::handle d : dirs)
            if (!truthy(nb::str(d).attr("startswith")(".")) && !nb::str(d).equal(nb::str("__pycache__")))
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
static nb::list uncollected(nb::handle folder, nb::handle pats) {
    nb::list named;
    nb::object basename = mine("os").attr("path").attr("basename");
    for (nb::handle rel : python_files(folder)) {
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

/// The files and folders of `project` that the tests found there come from
/// (a test folder inside a package is the package's): its test folders and
/// files, the files pytest and the finder read, conftest.py too, those that
/// exist.
static nb::list test_sources(nb::str project) {
    nb::object c = config(project);
    nb::list out;
    for (const char *f : {"pytest.ini", ".pytest.ini", "pyproject.toml", "tox.ini", "tox.toml", "setup.cfg",
                          "conftest.py"})
        if (is_file(join(project, nb::str(f))))
            out.append(join(project, nb::str(f)));
    for (const char *p : {"requirements", "*requirements*.txt", "requirements_*.txt"})
        for (nb::handle f : builtin("sorted")(mine("glob").attr("glob")(p, "root_dir"_a = project)))
            out.append(join(project, f));
    for (nb::handle t : wanted(project, c.is_none() ? nb::list() : nb::list(c["testpaths"])))
        if (is_dir(join(project, t)) || is_file(join(project, t)))
            out.append(join(project, t));
    for (nb::handle f : root_tests(project, c))
        out.append(join(project, f));
    return out;
}

/// Where the tests of the project in `project` are and what they need. `base`
/// is the folder its packages (`packages`, [name, entry] pairs) are relative
/// to, `info` the .dist-info folder of its wheel (its extras), or None.
/// Returns {command, requires, extras, installed (the test folders that are
/// in the wheel), pythonpath, python_files, missing (modules the tests import
/// that no requirement provides, with a distribution to suggest), what} or,
/// when no tests are found, {command: None, why}. The command's {project} is
/// the project folder, {site} the environment's site-packages.
static nb::dict find(nb::str project, nb::str base, nb::list packages, nb::object info) {
    nb::object os = mine("os"), shlex = mine("shlex");
    nb::dict out;
    nb::set roots;
    for (nb::handle pkg : packages)
        roots.add(nb::str(pkg[0]).attr("split")(".")[0]);
    nb::object c = config(project);
    nb::list testpaths = c.is_none() ? nb::list() : nb::list(c["testpaths"]);
    nb::list pats = patterns(c);
    nb::list places, shown, installed, scanned;
    bool site = false;
    // A test folder or file of the project, or one inside a package: the
    // installed copy.
    auto add = [&](nb::str rel) {
        nb::str clean(rel.attr("replace")("\\", "/").attr("strip")("/"));
        nb::list parts(clean.attr("split")("/"));
        nb::str prefix("{project}/"), tail = clean;
        nb::object here = join(project, clean);
        bool inside = false;
        for (size_t i = 0; i < nb::len(parts) && !inside; ++i) {
            nb::str t(nb::str("/").attr("join")(parts.attr("__getitem__")(builtin("slice")(i, nb::none()))));
            if (truthy(roots.attr("__contains__")(parts[i])) && truthy(os.attr("path").attr("exists")(join(base, t)))) {
                prefix = nb::str("{site}/"), tail = t, here = join(base, t), inside = true;
                installed.append(tail);
            }
        }
        site = site || inside;
        bool folder = is_dir(here);
        // A whole package as a test folder: its test modules and test
        // folders are named, so that pytest collects nothing else from it
        // (the doctests of a module, which its compiled form has not).
        if (inside && folder && !truthy(tail.attr("__contains__")("/"))) {
            nb::dict named;
            for (nb::handle f : python_files(here)) {
                nb::str rel(nb::str(f).attr("replace")("\\", "/"));
                if (!test_module(rel, pats))
                    continue;
                scanned.append(join(here, f));
                nb::list steps(rel.attr("split")("/"));
                size_t i = 0;
                while (i + 1 < nb::len(steps) && !test_folder(steps[i]))
                    ++i;
                nb::str sub(nb::str("/").attr("join")(steps.attr("__getitem__")(builtin("slice")(nb::none(), i + 1))));
                if (!nb::str(steps[nb::len(steps) - 1]).equal(nb::str("conftest.py")) || i + 1 < nb::len(steps))
                    named[sub] = nb::none();
            }
            for (auto [sub, none] : named)
                places.append(prefix + nb::str(shlex.attr("quote")(nb::str("{}/{}").format(tail, sub))));
            if (nb::len(named))
                shown.append(nb::str("{}/ (its test modules, installed)").format(tail));
            return;
        }
        nb::list named = folder ? uncollected(here, pats) : nb::list();
        if (nb::len(named))
            for (nb::handle f : named) {
                nb::str t = nb::str("{}/{}").format(tail, nb::str(f).attr("replace")("\\", "/"));
                places.append(prefix + nb::str(shlex.attr("quote")(t)));
                shown.append(nb::str(inside ? "{} (installed)" : "{}").format(t));
            }
        else {
            places.append(prefix + nb::str(shlex.attr("quote")(tail)));
            shown.append(nb::str(inside ? "{}{} (installed)" : "{}{}").format(tail, folder ? "/" : ""));
        }
        if (folder) {
            for (nb::handle f : python_files(here))
                scanned.append(join(here, f));
        } else
            scanned.append(here);
    };
    // A testpath that holds the packages (src/) stands for them.
    for (nb::handle t : wanted(project, testpaths)) {
        nb::list held;
        for (nb::handle r : builtin("sorted")(roots))
            if (is_dir(join(join(project, t), r)) && !roots.contains(nb::str(t).attr("strip")("/").attr("split")("/")[0]))
                held.append(nb::str("{}/{}").format(nb::str(t).attr("rstrip")("/"), r));
        if (nb::len(held) && !truthy(os.attr("path").attr("samefile")(join(project, t), project)))
            for (nb::handle h : held)
                add(nb::str(h));
        else if (is_dir(join(project, t)) || (nb::len(testpaths) && is_file(join(project, t))))
            add(nb::str(t));
    }
    if (!nb::len(places) && !nb::len(testpaths))
        for (nb::handle pkg : packages)
            for (const char *f : FOLDERS) {
                nb::str rel = nb::str("{}/{}").format(nb::str(pkg[0]).attr("replace")(".", "/"), f);
                if (is_dir(join(join(base, pkg[1]), nb::str(f))))
                    add(rel);
            }
    for (nb::handle f : root_tests(project, c))
        add(nb::str(f));
    if (!nb::len(places)) {
        out["command"] = nb::none();
        out["why"] = nb::len(testpaths) ? nb::str("no test files in the testpaths of pytest's configuration ({})")
                                              .format(nb::str(" ").attr("join")(testpaths))
                                        : nb::str("no tests found (no tests/ or test/ folder or test_*.py file in the "
                                                  "project, no tests in its packages)");
        return out;
    }
    nb::str command(nb::str(" ").attr("join")(nb::make_tuple("python -m pytest", nb::str(" ").attr("join")(places))));
    // Tests run from site-packages are outside the project's folder, where
    // pytest would look for its configuration: it is named.
    if (site && !c.is_none())
        command = nb::str("{} -c {{project}}/{}").format(command, shlex.attr("quote")(os.attr("path").attr("basename")(c["file"])));
    out["command"] = command;

    // What the tests import comes from anywhere but the project: its
    // packages, its files and folders (src/ and pythonpath's too), the
    // test folders' own modules.
    nb::object conftest = join(project, nb::str("conftest.py"));
    if (is_file(conftest))
        scanned.append(conftest);
    nb::list local(builtin("list")(roots));
    nb::list folders;
    folders.append(project);
    folders.append(join(project, nb::str("src")));
    for (nb::handle p : c.is_none() ? nb::list() : nb::list(c["pythonpath"]))
        folders.append(join(project, p));
    for (nb::handle d : folders)
        if (is_dir(d))
            for (nb::handle f : os.attr("listdir")(d))
                local.append(nb::str(f).attr("removesuffix")(".py"));
    for (nb::handle f : scanned)
        for (nb::handle part : nb::str(os.attr("path").attr("relpath")(f, project)).attr("replace")("\\", "/").attr("split")("/"))
            local.append(nb::str(part).attr("removesuffix")(".py"));
    nb::object need = mine("needs").attr("requirements")(project, info, builtin("list")(roots), true);
    mine("uses").attr("complete")(need, scanned, local, c.is_none() ? nb::list() : nb::list(c["addopts"]));
    out["requires"] = need["requires"];
    out["extras"] = need["extras"];
    out["missing"] = need["missing"];
    out["installed"] = installed;
    out["pythonpath"] = c.is_none() ? nb::list() : nb::list(c["pythonpath"]);
    out["python_files"] = pats;
    nb::str from = c.is_none() ? nb::str("")
                               : nb::str(", pytest's configuration in {}").format(os.attr("path").attr("basename")(c["file"]));
    out["what"] = nb::str("{}{}; requirements: {}")
                      .format(nb::str(", ").attr("join")(shown), from,
                              nb::len(nb::object(need["said"])) ? nb::str(", ").attr("join")(need["said"]) : nb::str("pytest only"));
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

// The built units the tests judge: not the test modules under the test
// folders `tests` of the wheel, which stay as source while the tests run from
// them. A test folder that is a whole package (pytest's testpaths naming
// it) holds test modules only where pytest collects them (`pats`) or in a
// test folder of its own.
static nb::list outside(nb::list built, nb::handle tests, nb::handle pats) {
    nb::list tested;
    for (nb::handle u : built) {
        nb::str arc(u["arc"]);
        bool test = false;
        for (nb::handle t : tests) {
            nb::str folder(nb::str(t).attr("strip")("/"));
            if (!test && truthy(arc.attr("startswith")(folder + nb::str("/"))))
                test = truthy(folder.attr("__contains__")("/")) || test_module(arc, pats);
        }
        if (!test)
            tested.append(u);
    }
    return tested;
}

/// What the proof of a build runs: the command given (--test-command,
/// [tool.tovel]) or the tests found in `project`. Returns {settings (None:
/// nothing to run), tested (the built units the tests judge: not the test
/// modules they run from), unproven (why no tests run, or None), prove_it
/// (the options that would prove the wheel)}. The requirements found for the
/// tests come with a command given too, unless --test-requires replaces them.
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
        nb::object tests = mine("re").attr("findall")("\\{site\\}/([^\\s'\"]+)", settings["test_command"]);
        out["tested"] = outside(built, tests, patterns(config(project)));
        if (given.is_none()) {
            nb::list roots;
            for (nb::handle pkg : packages)
                roots.append(nb::str(pkg[0]).attr("split")(".")[0]);
            nb::object need = mine("needs").attr("requirements")(project, info, roots,
                                                                 mine("testbench").attr("is_pytest")(settings["test_command"]));
            settings["test_requires"] = need["requires"];
            settings["test_extras"] = need["extras"];
            if (nb::len(nb::object(need["said"])))
                print(nb::str("the project's test requirements: {}").format(nb::str(", ").attr("join")(need["said"])));
        }
    } else {
        nb::dict found = find(project, root.is_none() ? nb::str(".") : nb::str(root), packages, info);
        if (found["command"].is_none()) {
            out["unproven"] = found["why"];
            out["settings"] = nb::none();
            return out;
        }
        print(nb::str("the project's tests: {}").format(found["what"]));
        nb::list words, suggest;
        words.append(quote(found["command"]));
        for (nb::handle r : found["requires"])
            words.append(nb::str("--test-requires ") + nb::str(quote(r)));
        out["prove_it"] = nb::str("--test-command ") + nb::str(nb::str(" ").attr("join")(words));
        // What the tests import that nothing brings: named, not installed.
        nb::list modules;
        for (nb::handle m : found["missing"]) {
            modules.append(m[0]);
            suggest.append(nb::str("--test-requires ") + nb::str(quote(m[1])));
        }
        if (nb::len(modules))
            print(nb::str("warning: the tests import {}, which no requirement of theirs provides: {} adds {}")
                      .format(nb::str(", ").attr("join")(modules), nb::str(" ").attr("join")(suggest),
                              nb::len(modules) == 1 ? "it" : "them"));
        settings["found"] = true;
        settings["test_command"] = found["command"];
        settings["test_requires"].attr("extend")(found["requires"]);
        settings["test_extras"] = found["extras"];
        if (settings["test_timeout"].is_none())
            settings["test_timeout"] = 600;
        out["tested"] = outside(built, found["installed"], found["python_files"]);
    }
    if (nb::len(built) && !nb::len(nb::object(out["tested"])))
        out["unproven"] = "every compiled module is one of the tests: none is left for them to judge";
    return out;
}

TOVEL_MODULE(finder, m) {
    for (const char *name : {"configparser", "fnmatch", "glob", "os", "re", "shlex", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathDistribution") = nb::module_::import_("importlib.metadata").attr("PathDistribution");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("needs") = nb::module_::import_("tovel.needs");
    m.attr("uses") = nb::module_::import_("tovel.uses");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
    m.def("config", &config, "folder"_a, "pytest's configuration of the project in folder: {file, testpaths, "
                                         "pythonpath, python_files, addopts}, or None.");
    m.def("find", &find, "project"_a, "base"_a, "packages"_a, "info"_a.none(),
          "Where the project's tests are and what they need: {command, requires, extras, installed, pythonpath, "
          "python_files, missing, what}, or {command: None, why}.");
    m.def("test_sources", &test_sources, "project"_a,
          "The files and folders of the project its found tests come from: test folders and files, pytest's "
          "and the finder's configuration and requirements files.");
    m.def("declared", &declared, "info"_a.none(),
          "The requirements a .dist-info folder declares, those of no extra; None without one.");
    m.def("proof", &proof, "options"_a, "project"_a, "root"_a.none(), "packages"_a, "info"_a.none(), "built"_a,
          "What the proof of a build runs: {settings (None: nothing), tested, unproven, prove_it}.");
}
