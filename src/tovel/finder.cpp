// tovel.finder: where a project's tests are, found as a developer of the
// project runs them: pytest's testpaths (tovel.collect reads its
// configuration), a tests/ or test/ folder, the tests inside a package, or
// test files beside setup.py; what they need is tovel.needs' and tovel.uses'.
// tovel.prover runs what is found; tests inside a package run from the
// installed package.
#include "common.h"

#include <nanobind/stl/string.h>

#include <map>
#include <set>
#include <string>
#include <vector>

using namespace tovel;

static const char *MOD = "tovel.finder";

static nb::object mine(const char *name) { return global(MOD, name); }

static const char *const FOLDERS[] = {"tests", "test"};

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static bool is_file(nb::handle p) { return truthy(mine("os").attr("path").attr("isfile")(p)); }
static bool is_dir(nb::handle p) { return truthy(mine("os").attr("path").attr("isdir")(p)); }
// What pytest reads and collects (tovel.collect).
static nb::object collect(const char *name) { return mine("collect").attr(name); }

// Whether `name`, a module the tests import that nothing here provides, is a
// folder of the project's own that this source tree lacks (an sdist often
// leaves out what the tests import beside them): pytest's own name for a
// test folder, one the project's files give as a path ("omit = testing/data"),
// or one its MANIFEST.in leaves out. A distribution of that name would be
// someone else's.
static bool left_out(nb::str project, nb::str name) {
    if (name.equal(nb::str("testing")) || name.equal(nb::str("tests")))
        return true;
    nb::object re = mine("re");
    nb::str word(re.attr("escape")(name));
    nb::object path = re.attr("compile")(nb::str("(?<![\\w.-]){}/").format(word));
    nb::object pruned = re.attr("compile")(nb::str("(?m)^\\s*(?:prune|graft|recursive-(?:in|ex)clude)\\s+{}(?![\\w.-])").format(word));
    for (const char *f : {"setup.cfg", "tox.ini", "pyproject.toml", "pytest.ini", ".coveragerc", ".flake8", "noxfile.py",
                          "MANIFEST.in"}) {
        nb::object file = join(project, nb::str(f));
        if (!is_file(file))
            continue;
        nb::object text = mine("Path")(file).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace");
        if (!path.attr("search")(text).is_none() || !pruned.attr("search")(text).is_none())
            return true;
    }
    return false;
}

// Whether one of the requirements `requires` is named after `module` as
// distributions of Python bindings are (pypng for png, python-foo, foo-python,
// delegator.py):
// it provides the module, which cannot be known before it is installed.
static bool named_after(nb::handle requires, nb::str module) {
    nb::object canon = mine("canonicalize_name");
    nb::object m = canon(module);
    for (nb::handle r : requires) {
        nb::object name;
        try {
            name = canon(mine("Requirement")(r).attr("name"));
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            continue;
        }
        for (const char *form : {"py{}", "py-{}", "python-{}", "{}-python", "{}-py"})
            if (name.equal(nb::str(form).format(m)))
                return true;
    }
    return false;
}

/// The files and folders of `project` that the tests found there come from
/// (a test folder inside a package is the package's): its test folders and
/// files, the files pytest and the finder read, conftest.py too, those that
/// exist.
static nb::list test_sources(nb::str project) {
    nb::object c = collect("config")(project);
    nb::list out;
    for (const char *f : {"pytest.ini", ".pytest.ini", "pyproject.toml", "tox.ini", "tox.toml", "setup.cfg",
                          "conftest.py"})
        if (is_file(join(project, nb::str(f))))
            out.append(join(project, nb::str(f)));
    for (const char *p : {"requirements", "*requirements*.txt", "requirements_*.txt"})
        for (nb::handle f : builtin("sorted")(mine("glob").attr("glob")(p, "root_dir"_a = project)))
            out.append(join(project, f));
    for (nb::handle t : collect("wanted")(project, c.is_none() ? nb::list() : nb::list(c["testpaths"])))
        if (is_dir(join(project, t)) || is_file(join(project, t)))
            out.append(join(project, t));
    for (nb::handle f : collect("root_tests")(project, c))
        out.append(join(project, f));
    for (nb::handle f : collect("root_unittests")(project, c))
        out.append(join(project, f));
    return out;
}

/// Where the tests of the project in `project` are and what they need. `base`
/// is the folder its packages (`packages`, [name, entry] pairs) are relative
/// to, `info` the .dist-info folder of its wheel (its extras), or None.
// The list of the tests' places as said to the user: more than four test
// files of one folder are that folder and their count, not a line of names.
static nb::list grouped(nb::list shown) {
    std::vector<std::string> entries, folders, notes; // "dir/test_x.py (installed)": "dir/", "installed"
    std::map<std::pair<std::string, std::string>, int> count;
    for (nb::handle h : shown) {
        std::string e = nb::cast<std::string>(h);
        size_t paren = e.find(" (");
        std::string file = e.substr(0, paren), note = paren == std::string::npos ? "" : e.substr(paren + 2, e.size() - paren - 3);
        size_t slash = file.rfind('/');
        bool test_file = slash != std::string::npos && file.size() > 3 && file.compare(file.size() - 3, 3, ".py") == 0;
        entries.push_back(e), folders.push_back(test_file ? file.substr(0, slash + 1) : ""), notes.push_back(note);
        if (test_file)
            count[{folders.back(), note}]++;
    }
    nb::list out;
    std::set<std::pair<std::string, std::string>> said;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::pair<std::string, std::string> key{folders[i], notes[i]};
        if (folders[i].empty() || count[key] <= 4)
            out.append(nb::str(entries[i].c_str()));
        else if (said.insert(key).second)
            out.append(nb::str((folders[i] + " (" + std::to_string(count[key]) + " test files" +
                                (notes[i].empty() ? "" : ", " + notes[i]) + ")").c_str()));
    }
    return out;
}

/// Returns {command, requires, extras, installed (the test folders that are
/// in the wheel), overlay (test packages the wheel leaves out, as [in the project, in
/// site-packages] pairs), pythonpath, python_files, missing (modules the tests import
/// that no requirement provides, with a distribution to suggest), doctests
/// (the package modules whose doctests pytest's configuration runs), what} or,
/// when no tests are found, {command: None, why}. The command's {project} is
/// the project folder, {site} the environment's site-packages.
static nb::dict find(nb::str project, nb::str base, nb::list packages, nb::object info) {
    nb::object os = mine("os"), shlex = mine("shlex");
    nb::dict out;
    nb::set roots;
    for (nb::handle pkg : packages)
        roots.add(nb::str(pkg[0]).attr("split")(".")[0]);
    nb::object c = collect("config")(project);
    nb::list testpaths = c.is_none() ? nb::list() : nb::list(c["testpaths"]);
    nb::list pats(collect("patterns")(c));
    nb::list skip(collect("norecurse")(c)); // folders pytest does not collect from
    nb::list places, shown, installed, scanned, doctests, overlay;
    nb::list chosen; // test files named to pytest, which it runs whatever their names
    // pytest's --doctest-modules: the doctests of a package's own modules.
    bool doctest_modules = !c.is_none() && truthy(nb::list(c["addopts"]).attr("__contains__")("--doctest-modules"));
    bool site = false;
    // A test folder or file of the project, or one inside a package: the
    // installed copy.
    auto add = [&](nb::str rel) {
        nb::str clean(rel.attr("replace")("\\", "/").attr("strip")("/"));
        nb::list parts(clean.attr("split")("/"));
        nb::str prefix("{project}/"), tail = clean;
        nb::object here = join(project, clean);
        bool inside = false;
        nb::object package = nb::none(); // the path from the first package the wheel ships
        for (size_t i = 0; i < nb::len(parts) && !inside; ++i) {
            nb::str t(nb::str("/").attr("join")(parts.attr("__getitem__")(builtin("slice")(i, nb::none()))));
            if (!truthy(roots.attr("__contains__")(parts[i])))
                continue;
            if (truthy(os.attr("path").attr("exists")(join(base, t)))) {
                prefix = nb::str("{site}/"), tail = t, here = join(base, t), inside = true;
                installed.append(tail);
            } else if (package.is_none() && i + 1 < nb::len(parts) && is_dir(join(base, nb::str(parts[i]))))
                package = t;
        }
        // A test package inside a package the wheel ships, itself left out
        // of the wheel: pytest knows its modules by the package's name, which
        // the project's folder would shadow, so the bench copies it beside
        // the installed package and the tests run from there.
        bool beside = !inside && !package.is_none() && is_file(join(here, nb::str("__init__.py")));
        if (beside) {
            prefix = nb::str("{site}/"), tail = nb::str(package), inside = true;
            installed.append(tail);
            overlay.append(nb::make_tuple(clean, tail));
        }
        site = site || inside;
        bool folder = is_dir(here);
        // A whole package as a test folder: its test modules and test
        // folders are named, so that pytest collects nothing else from it
        // (with pytest's --doctest-modules, the doctests of its modules run
        // through tovel.testrun's plugin, by module name: compiled, a module
        // has no .py for pytest to collect them from).
        if (inside && folder && !truthy(tail.attr("__contains__")("/"))) {
            nb::dict named;
            size_t before = nb::len(doctests);
            for (nb::handle f : collect("python_files")(here, skip)) {
                nb::str rel(nb::str(f).attr("replace")("\\", "/"));
                if (!truthy(collect("test_module")(rel, pats))) {
                    if (doctest_modules && !truthy(rel.attr("endswith")("__main__.py")))
                        doctests.append(nb::str("{}/{}").format(tail, rel));
                    continue;
                }
                scanned.append(join(here, f));
                nb::list steps(rel.attr("split")("/"));
                size_t i = 0;
                while (i + 1 < nb::len(steps) && !truthy(collect("test_folder")(steps[i])))
                    ++i;
                nb::str sub(nb::str("/").attr("join")(steps.attr("__getitem__")(builtin("slice")(nb::none(), i + 1))));
                if (!nb::str(steps[nb::len(steps) - 1]).equal(nb::str("conftest.py")) || i + 1 < nb::len(steps))
                    named[sub] = nb::none();
            }
            for (auto [sub, none] : named)
                places.append(prefix + nb::str(shlex.attr("quote")(nb::str("{}/{}").format(tail, sub))));
            if (nb::len(named) || nb::len(doctests) > before)
                shown.append(nb::str("{}/ ({}, installed)").format(tail, nb::len(doctests) == before ? "its test modules"
                                                              : nb::len(named) ? "its test modules and doctests" : "its doctests"));
            return;
        }
        nb::list named = folder ? nb::list(collect("uncollected")(here, pats, skip)) : nb::list();
        if (nb::len(named))
            for (nb::handle f : named) {
                nb::str t = nb::str("{}/{}").format(tail, nb::str(f).attr("replace")("\\", "/"));
                places.append(prefix + nb::str(shlex.attr("quote")(t)));
                shown.append(nb::str(inside ? "{} (installed)" : "{}").format(t));
                chosen.append(join(here, f));
            }
        else {
            places.append(prefix + nb::str(shlex.attr("quote")(tail)));
            shown.append(nb::str(beside ? "{}{} (beside the installed package)" : inside ? "{}{} (installed)" : "{}{}")
                             .format(tail, folder ? "/" : ""));
        }
        if (folder) {
            for (nb::handle f : collect("python_files")(here, skip))
                scanned.append(join(here, f));
        } else {
            scanned.append(here);
            chosen.append(here);
        }
    };
    // Whether a folder holds a file pytest collects.
    auto holds_tests = [&](nb::object folder) {
        if (is_dir(folder))
            for (nb::handle f : collect("python_files")(folder, skip))
                if (truthy(collect("test_module")(os.attr("path").attr("basename")(f), pats)))
                    return true;
        return false;
    };
    // A testpath that holds the packages (src/) stands for them; a test
    // folder that mirrors a package's layout (tests/pkg/test_x.py) does not.
    for (nb::handle t : collect("wanted")(project, testpaths)) {
        nb::list held;
        nb::list steps(nb::str(t).attr("strip")("/").attr("split")("/"));
        bool tests_folder = truthy(collect("test_folder")(steps[nb::len(steps) - 1]));
        for (nb::handle r : builtin("sorted")(roots))
            if (!tests_folder && is_dir(join(join(project, t), r)) && !roots.contains(steps[0]))
                held.append(nb::str("{}/{}").format(nb::str(t).attr("rstrip")("/"), r));
        if (nb::len(held) && !truthy(os.attr("path").attr("samefile")(join(project, t), project)))
            for (nb::handle h : held)
                add(nb::str(h));
        else if (is_dir(join(project, t)) || (nb::len(testpaths) && is_file(join(project, t))))
            add(nb::str(t));
    }
    if (!nb::len(places) && !nb::len(testpaths)) {
        nb::list folders;
        for (nb::handle pkg : packages)
            for (const char *f : FOLDERS) {
                nb::str rel = nb::str("{}/{}").format(nb::str(pkg[0]).attr("replace")(".", "/"), f);
                if (is_dir(join(join(base, pkg[1]), nb::str(f)))) {
                    add(rel);
                    folders.append(rel + nb::str("/"));
                } else // a test package the wheel leaves out, in the project's folder,
                       // or a folder of test files there (no __init__.py: pytest
                       // puts the folder itself on sys.path, so the tests import
                       // the installed package)
                    for (nb::str at : {rel, nb::str(nb::str("src/") + rel)})
                        if (is_file(join(join(project, at), nb::str("__init__.py"))) || holds_tests(join(project, at))) {
                            add(at);
                            break;
                        }
            }
        // Test modules beside the package's own (pkg/test_x.py), which
        // pytest run from the project collects too, each named.
        for (nb::handle r : builtin("sorted")(roots))
            if (is_dir(join(base, r)))
                for (nb::handle f : collect("python_files")(join(base, r), skip)) {
                    nb::str rel = nb::str("{}/{}").format(r, nb::str(f).attr("replace")("\\", "/"));
                    bool held = false;
                    for (nb::handle d : folders)
                        held = held || truthy(rel.attr("startswith")(d));
                    nb::object name = mine("posixpath").attr("basename")(rel);
                    if (!held && !nb::str(name).equal(nb::str("conftest.py")) && truthy(collect("test_module")(name, pats)))
                        add(rel);
                }
    }
    for (nb::handle f : collect("root_tests")(project, c))
        add(nb::str(f));
    // With no other tests, those `python -m unittest` runs from the project
    // (not a module the project ships, such as a testing.py of its own).
    if (!nb::len(places))
        for (nb::handle f : collect("root_unittests")(project, c))
            if (!roots.contains(nb::str(f).attr("removesuffix")(".py")))
                add(nb::str(f));
    // Then a unittest module of a package (pkg/tests.py, which setup.py's
    // test_suite names and pytest does not collect by its name), run from
    // the installed package. Not a helper it ships (testing.py).
    if (!nb::len(places))
        for (nb::handle r : builtin("sorted")(roots))
            if (is_dir(join(base, r)))
                for (nb::handle f : collect("python_files")(join(base, r), skip)) {
                    nb::str rel = nb::str("{}/{}").format(r, nb::str(f).attr("replace")("\\", "/"));
                    if (!truthy(collect("test_module")(rel, pats)) &&
                        truthy(collect("unittest_module")(mine("posixpath").attr("basename")(rel))))
                        add(rel);
                }
    // With no testpaths, pytest run from the project collects the doctests
    // of the packages' modules too.
    if (doctest_modules && !nb::len(testpaths)) {
        size_t before = nb::len(doctests);
        for (nb::handle r : builtin("sorted")(roots)) {
            if (is_file(join(base, nb::str(r) + nb::str(".py"))))
                doctests.append(nb::str(r) + nb::str(".py"));
            else if (is_dir(join(base, r)))
                for (nb::handle f : collect("python_files")(join(base, r), skip)) {
                    nb::str rel(nb::str(f).attr("replace")("\\", "/"));
                    if (!truthy(collect("test_module")(rel, pats)) && !truthy(rel.attr("endswith")("__main__.py")))
                        doctests.append(nb::str("{}/{}").format(r, rel));
                }
        }
        if (nb::len(doctests) > before)
            shown.append(nb::str("the doctests of {} (installed)").format(nb::str(", ").attr("join")(builtin("sorted")(roots))));
    }
    // With no testpaths, pytest run from the project collects the text files
    // at its top that --doctest-glob names (a README.md of examples).
    if (!c.is_none() && !nb::len(testpaths)) {
        nb::list opts(c["addopts"]);
        for (size_t i = 0; i < nb::len(opts); ++i) {
            nb::str o(opts[i]);
            nb::object pattern = nb::none();
            if (truthy(o.attr("startswith")("--doctest-glob=")))
                pattern = o.attr("partition")("=")[2];
            else if (o.equal(nb::str("--doctest-glob")) && i + 1 < nb::len(opts))
                pattern = opts[i + 1];
            if (pattern.is_none())
                continue;
            for (nb::handle f : builtin("sorted")(mine("glob").attr("glob")(pattern, "root_dir"_a = project)))
                if (is_file(join(project, f)) && !truthy(nb::str(f).attr("endswith")(".py"))) {
                    places.append(nb::str("{project}/") + nb::str(shlex.attr("quote")(f)));
                    shown.append(nb::str("{} (its doctests)").format(f));
                }
        }
    }
    // Doctests alone run from the installed modules, under the project's
    // configuration (its --doctest-modules), with no test path to collect.
    if (!nb::len(places) && nb::len(doctests))
        site = true;
    if (!nb::len(places) && !nb::len(doctests)) {
        out["command"] = nb::none();
        out["why"] = nb::len(testpaths) ? nb::str("no test files in the testpaths of pytest's configuration ({})")
                                              .format(nb::str(" ").attr("join")(testpaths))
                                        : nb::str("no tests found (no tests/ or test/ folder or test_*.py file in the "
                                                  "project, no tests in its packages)");
        // Test folders pytest's configuration names, none of which is here:
        // the tests were left out of this source tree (an sdist, say), and
        // only the project's own tests, from elsewhere, can prove the wheel.
        bool none_here = nb::len(testpaths) > 0;
        for (nb::handle t : testpaths)
            none_here = none_here && !truthy(os.attr("path").attr("exists")(join(project, t))) &&
                        !nb::len(nb::object(mine("glob").attr("glob")(t, "root_dir"_a = project)));
        if (none_here) {
            out["why"] = nb::str("this source tree has no tests (pytest's configuration in {} names {}, which is not "
                                 "here; an sdist often leaves the tests out)")
                             .format(os.attr("path").attr("basename")(c["file"]), nb::str(", ").attr("join")(testpaths));
            out["prove_it"] = nb::str("--test-command 'python -m pytest DIR/{}' --test-requires pytest, with DIR a "
                                      "checkout of the project that has its tests")
                                  .format(nb::str(testpaths[0]).attr("strip")("/"));
        }
        return out;
    }
    nb::str command("python -m pytest");
    if (nb::len(places))
        command = nb::str("{} {}").format(command, nb::str(" ").attr("join")(places));
    // Tests run from site-packages are outside the project's folder, where
    // pytest would look for its configuration: it is named.
    if (site && !c.is_none())
        command = nb::str("{} -c {{project}}/{}").format(command, shlex.attr("quote")(os.attr("path").attr("basename")(c["file"])));
    out["command"] = command;

    // What the tests import comes from anywhere but the project: its
    // packages, its files and folders (src/ and pythonpath's too), the
    // test folders' own modules.
    // Files the project's addopts leave out are not the tests' (data a test
    // reads, whose imports are no one's requirement).
    nb::list kept;
    for (nb::handle f : scanned)
        if (!truthy(collect("ignored")(project, c, f)))
            kept.append(f);
    scanned = kept;
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
    // The files pytest collects: what the tests import starts from them
    // (not from a script a test runs, or data beside the tests).
    nb::list entries(builtin("list")(chosen));
    for (nb::handle f : scanned)
        if (truthy(collect("test_module")(os.attr("path").attr("basename")(f), pats)))
            entries.append(f);
    nb::object need = mine("needs").attr("requirements")(project, info, builtin("list")(roots), true, scanned);
    mine("uses").attr("complete")(need, scanned, local, c.is_none() ? nb::list() : nb::list(c["addopts"]), entries);
    out["requires"] = need["requires"];
    out["extras"] = need["extras"];
    nb::list missing, absent;
    for (nb::handle m : need["missing"]) {
        if (named_after(need["requires"], nb::str(m[0])))
            continue;
        if (left_out(project, nb::str(m[0])))
            absent.append(m[0]);
        else
            missing.append(m);
    }
    out["missing"] = missing;
    out["absent"] = absent;
    out["installed"] = installed;
    out["overlay"] = overlay;
    out["doctests"] = doctests;
    out["pythonpath"] = c.is_none() ? nb::list() : nb::list(c["pythonpath"]);
    out["python_files"] = pats;
    nb::str from = c.is_none() ? nb::str("")
                               : nb::str(", pytest's configuration in {}").format(os.attr("path").attr("basename")(c["file"]));
    out["what"] = nb::str("{}{}; requirements: {}")
                      .format(nb::str(", ").attr("join")(grouped(shown)), from,
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
            // A test module named itself runs as source.
            test = test || arc.equal(folder);
            if (!test && truthy(arc.attr("startswith")(folder + nb::str("/"))))
                test = truthy(folder.attr("__contains__")("/")) || truthy(collect("test_module")(arc, pats));
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
    out["prove_it"] = "--test-command 'python -m pytest DIR' --test-requires pytest, with DIR a folder of the "
                      "project's tests";
    settings["test_command"] = get(options, "test_command", nb::none());
    nb::object given = get(options, "test_requires", nb::none());
    settings["test_requires"] = given.is_none() ? nb::list() : nb::list(builtin("list")(given));
    settings["test_timeout"] = get(options, "test_timeout", nb::none());
    settings["jobs"] = get(options, "jobs", nb::none()); // runs at once in the narrowing down
    settings["project"] = project;
    out["settings"] = settings;
    if (!settings["test_command"].is_none()) {
        // Test folders of the wheel the command names through {site}.
        nb::object tests = mine("re").attr("findall")("\\{site\\}/([^\\s'\"]+)", settings["test_command"]);
        out["tested"] = outside(built, tests, collect("patterns")(collect("config")(project)));
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
            if (found.contains("prove_it"))
                out["prove_it"] = found["prove_it"];
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
        nb::list absent(found["absent"]);
        if (nb::len(absent))
            print(nb::str("warning: the tests import {}: the tests that import {} cannot run")
                      .format(nb::module_::import_("tovel.verdict").attr("lacking")(absent, absent),
                              nb::len(absent) == 1 ? "it" : "them"));
        settings["found"] = true;
        settings["test_command"] = found["command"];
        settings["test_requires"].attr("extend")(found["requires"]);
        settings["test_extras"] = found["extras"];
        settings["missing"] = found["missing"]; // said above: a later line need not say it again
        settings["absent"] = absent;
        settings["doctests"] = found["doctests"];
        settings["overlay"] = found["overlay"];
        if (settings["test_timeout"].is_none()) {
            settings["test_timeout"] = 600;
            settings["timeout_chosen"] = true; // the prover bounds later runs by the sources' time
        }
        out["tested"] = outside(built, found["installed"], found["python_files"]);
    }
    if (nb::len(built) && !nb::len(nb::object(out["tested"])))
        out["unproven"] = "every compiled module is one of the tests: none is left for them to judge";
    return out;
}

TOVEL_MODULE(finder, m) {
    for (const char *name : {"glob", "os", "posixpath", "re", "shlex"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathDistribution") = nb::module_::import_("importlib.metadata").attr("PathDistribution");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.attr("collect") = nb::module_::import_("tovel.collect");
    m.attr("needs") = nb::module_::import_("tovel.needs");
    m.attr("uses") = nb::module_::import_("tovel.uses");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
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
