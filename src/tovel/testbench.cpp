// tovel.testbench: the test bench of tovel.prover. A fresh virtual
// environment holds the project's pure wheel and the test requirements; each
// compiled module can be swapped in for its source there (the built .so in,
// the .py out, and back); a copy of the bench runs tests beside it. The
// runs themselves are tovel.testrun's.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.testbench";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static nb::object join(nb::handle a, const char *b) { return join(a, nb::str(b)); }

/// Whether the command is a pytest run that takes more arguments at its end:
/// pytest or `python -m pytest`, with no shell syntax around it.
static bool is_pytest(nb::str command) {
    for (const char *mark : {";", "&", "|", "<", ">", "`", "$(", "\n"})
        if (truthy(command.attr("__contains__")(mark)))
            return false;
    nb::list words;
    try {
        words = nb::list(mine("shlex").attr("split")(command));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return false;
    }
    if (nb::len(words) == 0)
        return false;
    nb::str program(mine("os").attr("path").attr("basename")(words[0]));
    if (program.equal(nb::str("pytest")) || program.equal(nb::str("py.test")))
        return true;
    return truthy(program.attr("startswith")("python")) && nb::len(words) >= 3 &&
           nb::str(words[1]).equal(nb::str("-m")) && nb::str(words[2]).equal(nb::str("pytest"));
}

// A file pytest collects tests from: it stays as source in the bench.
static bool test_file(nb::str name) {
    return truthy(name.attr("startswith")("test_")) || truthy(name.attr("endswith")("_test.py")) ||
           name.equal(nb::str("conftest.py"));
}

/// The modules the wheel ships compiled besides `units` (those of the test
/// folders the tests run from): each extension module of the units' kind in
/// the tree their extensions stand in, as {arc (its source's), so, so_arc}.
/// A folder that holds test files pytest collects is not among them: pytest
/// imports them from source, through the folder's __init__.py.
static nb::list companions(nb::list units) {
    nb::object os = mine("os"), posixpath = mine("posixpath");
    nb::list out;
    if (!nb::len(units))
        return out;
    nb::str arc(units[0]["arc"]), so(os.attr("path").attr("abspath")(units[0]["so"]));
    nb::str base(os.attr("path").attr("basename")(so));
    nb::str stem(posixpath.attr("basename")(arc).attr("removesuffix")(".py"));
    nb::str suffix(base.attr("__getitem__")(builtin("slice")(nb::len(stem), nb::none())));
    nb::str so_arc(posixpath.attr("join")(posixpath.attr("dirname")(arc), base));
    nb::str tail(nb::str(os.attr("sep")) + nb::str(so_arc.attr("replace")("/", os.attr("sep"))));
    if (!truthy(so.attr("endswith")(tail)) || !truthy(base.attr("startswith")(stem)))
        return out;
    nb::str root(so.attr("__getitem__")(builtin("slice")(nb::none(), nb::len(so) - nb::len(tail))));
    nb::set judged, tests;
    for (nb::handle u : units)
        judged.add(os.attr("path").attr("abspath")(u["so"]));
    nb::list found;
    for (nb::handle step : os.attr("walk")(root))
        for (nb::handle f : builtin("sorted")(step[2])) {
            nb::str name(f);
            nb::object path = os.attr("path").attr("join")(step[0], name);
            nb::str rel(nb::str(os.attr("path").attr("relpath")(path, root)).attr("replace")(os.attr("sep"), "/"));
            if (test_file(name)) // a test file kept as source
                tests.add(posixpath.attr("dirname")(rel));
            if (!truthy(name.attr("endswith")(suffix)) || truthy(judged.attr("__contains__")(path)))
                continue;
            nb::str py(nb::str(rel.attr("removesuffix")(suffix)) + nb::str(".py"));
            nb::str leaf(posixpath.attr("basename")(py));
            if (test_file(leaf))
                tests.add(posixpath.attr("dirname")(py));
            // A package's unittest module the finder names to pytest (its
            // tests.py) runs from source in the bench, as one it collects.
            if (truthy(mine("collect").attr("unittest_module")(leaf)))
                continue;
            nb::dict c;
            c["arc"] = py;
            c["so"] = path;
            c["so_arc"] = rel;
            found.append(c);
        }
    for (nb::handle c : found)
        if (!truthy(tests.attr("__contains__")(posixpath.attr("dirname")(c["arc"]))))
            out.append(c);
    return out;
}

/// A fresh virtual environment under `workdir` with the pure wheel (and so
/// the project's dependencies, from the index as pip is configured), its
/// test extras and the test requirements; the sources of the units saved
/// beside it. Returns the bench: what a run needs (the environment, the
/// command, the modules). What `workdir` holds besides is left alone.
static nb::dict make(nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    nb::dict b;
    nb::object os = mine("os"), shutil = mine("shutil"), sys = mine("sys");
    workdir = nb::str(os.attr("path").attr("abspath")(workdir));
    nb::str logs(join(workdir, "logs"));
    b["logs"] = logs;
    b["scratch"] = join(workdir, "scratch");
    nb::str plugins(join(workdir, "plugins"));
    for (nb::handle d : {nb::handle(logs), nb::handle(plugins)})
        os.attr("makedirs")(d, "exist_ok"_a = true);
    shutil.attr("rmtree")(join(workdir, "sources"), "ignore_errors"_a = true);

    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str venv(join(workdir, "venv"));
    nb::str bin(join(venv, windows ? "Scripts" : "bin"));
    // The wheel with its test extras ("wheel[test]"), then the requirements.
    nb::str wheel(os.attr("path").attr("abspath")(pure_wheel));
    nb::list extras(get(settings, "test_extras", nb::list()));
    if (nb::len(extras))
        wheel = nb::str("{}[{}]").format(wheel, nb::str(",").attr("join")(extras));
    nb::list requires;
    if (!get(settings, "test_requires", nb::none()).is_none())
        requires.attr("extend")(settings["test_requires"]);
    // The interpreter the modules are compiled for (settings "python"), by
    // default the running one; what the wheel needs comes from an environment
    // kept in the cache folder when there is one.
    nb::str python(mine("testenv").attr("prepare")(nb::str(get(settings, "python", sys.attr("executable"))), venv,
                                                   wheel, requires, get(settings, "cache", nb::none()),
                                                   nb::str(join(logs, "install.log"))));
    b["python"] = python;
    nb::str site(mine("subprocess").attr("check_output")(
        nb::make_tuple(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"),
        "text"_a = true).attr("strip")());
    b["site"] = site;
    mine("testrun").attr("harness")(plugins, site);
    nb::dict roots;
    for (nb::handle u : units)
        roots[nb::str(u["arc"]).attr("split")("/")[0].attr("removesuffix")(".py")] = nb::none();
    b["roots"] = nb::str(",").attr("join")(roots);

    nb::str project(get(settings, "project", os.attr("getcwd")()));
    // Test packages the wheel leaves out, beside the installed package.
    for (nb::handle o : get(settings, "overlay", nb::list()))
        shutil.attr("copytree")(join(project, o[0]), join(site, o[1]), "symlinks"_a = true, "dirs_exist_ok"_a = true,
                                "ignore"_a = shutil.attr("ignore_patterns")("__pycache__"));
    nb::str quoted(mine("shlex").attr("quote")(project));
    nb::str given(settings["test_command"]);
    nb::str command(given.attr("replace")("{project}", quoted).attr("replace")("{package}", quoted)
                        .attr("replace")("{site}", mine("shlex").attr("quote")(site)));
    b["project"] = project;
    b["command"] = command;
    b["pytest"] = nb::bool_(is_pytest(command));
    b["timeout"] = get(settings, "test_timeout", nb::none());
    nb::dict env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
    for (const char *key : {"PYTHONPATH", "PYTHONHOME", "TOVEL_PROVE_SELECT", "TOVEL_PROVE_TRACE"})
        env.attr("pop")(key, nb::none());
    // The package modules whose doctests the tests run (tovel.testrun's plugin).
    env["TOVEL_PROVE_DOCTESTS"] = nb::str(",").attr("join")(get(settings, "doctests", nb::list()));
    env["VIRTUAL_ENV"] = venv;
    env["PATH"] = bin + nb::str(os.attr("pathsep")) + nb::str(get(os.attr("environ"), "PATH", nb::str("")));
    // No bytecode written into the project's test folder.
    env["PYTHONDONTWRITEBYTECODE"] = "1";
    if (is_pytest(command))
        env["PYTHONPATH"] = plugins;
    b["env"] = env;

    b["units"] = units;
    nb::list so_arcs, so_paths, backups, compiled;
    for (nb::handle u : units) {
        nb::str arc(u["arc"]);
        nb::object folder = mine("posixpath").attr("dirname")(arc);
        nb::str so(os.attr("path").attr("abspath")(u["so"]));
        nb::str so_arc(mine("posixpath").attr("join")(folder, os.attr("path").attr("basename")(so)));
        nb::str installed(join(site, arc));
        if (!truthy(os.attr("path").attr("isfile")(installed)))
            build_failed(nb::str("the pure wheel {} has no {}: it cannot stand for the sources").format(pure_wheel, arc));
        nb::str saved(mine("os").attr("path").attr("join")(workdir, "sources", arc));
        os.attr("makedirs")(os.attr("path").attr("dirname")(saved), "exist_ok"_a = true);
        shutil.attr("copy2")(installed, saved);
        so_arcs.append(so_arc);
        so_paths.append(so);
        backups.append(saved);
        compiled.append(false);
    }
    b["so_arc"] = so_arcs;
    b["so_path"] = so_paths;
    b["backup"] = backups;
    b["compiled"] = compiled;
    b["runs"] = 0;
    return b;
}

/// Puts the modules of `source` (indices of the bench's units) in
/// site-packages as .py, the others as their built extension (the .py
/// removed, so that nothing else is imported).
static void arrange(nb::dict b, nb::list source) {
    nb::object os = mine("os"), shutil = mine("shutil");
    nb::list compiled(b["compiled"]);
    for (size_t i = 0; i < nb::len(compiled); ++i) {
        bool want = !truthy(source.attr("__contains__")(nb::int_(i)));
        if (truthy(compiled[i]) == want)
            continue;
        nb::object py = join(b["site"], b["units"][nb::int_(i)]["arc"]), so = join(b["site"], b["so_arc"][nb::int_(i)]);
        // A compiled package keeps an __init__.py beside its extension
        // module: the marker the wheel ships where tests ship inside, which
        // must never run, and which pytest and unittest need to know a
        // package of tests copied beside the installed one.
        bool init = truthy(nb::str(b["units"][nb::int_(i)]["arc"]).attr("endswith")("/__init__.py"));
        nb::object drop = want ? py : so;
        if (truthy(os.attr("path").attr("exists")(drop)))
            os.attr("remove")(drop);
        if (want) {
            shutil.attr("copy2")(b["so_path"][nb::int_(i)], so);
            if (init)
                mine("Path")(py).attr("write_text")(PACKAGE_MARKER, "encoding"_a = "utf-8");
        } else
            shutil.attr("copy2")(b["backup"][nb::int_(i)], py);
        compiled[i] = nb::bool_(want);
    }
}

/// A copy of the bench `b` at `venv` (its environment copied, the scripts'
/// interpreter lines changed to the copy's), with a scratch folder of its
/// own: a run there shares nothing with a run on `b` but the logs folder.
static nb::dict copy(nb::dict b, nb::str venv) {
    nb::object os = mine("os"), shutil = mine("shutil");
    nb::str old(os.attr("path").attr("dirname")(os.attr("path").attr("dirname")(b["python"])));
    mine("testenv").attr("clone")(old, venv);
    nb::str bin(os.attr("path").attr("dirname")(b["python"]));
    nb::str newbin(join(venv, os.attr("path").attr("basename")(bin)));
    nb::dict c = nb::borrow<nb::dict>(b.attr("copy")());
    auto moved = [&](nb::handle p) { return nb::str(venv) + nb::str(nb::str(p).attr("__getitem__")(builtin("slice")(nb::len(old), nb::none()))); };
    c["python"] = moved(b["python"]);
    c["site"] = moved(b["site"]);
    nb::object quote = mine("shlex").attr("quote");
    c["command"] = nb::str(b["command"]).attr("replace")(quote(b["site"]), quote(c["site"]));
    c["scratch"] = nb::str(b["scratch"]) + nb::str("-") + nb::str(os.attr("path").attr("basename")(venv));
    nb::dict env = nb::borrow<nb::dict>(b["env"].attr("copy")());
    env["VIRTUAL_ENV"] = venv;
    env["PATH"] = nb::str(env["PATH"]).attr("replace")(bin, newbin, 1);
    c["env"] = env;
    c["compiled"] = builtin("list")(b["compiled"]); // a list of its own
    return c;
}

TOVEL_MODULE(testbench, m) {
    for (const char *name : {"os", "posixpath", "shlex", "shutil", "subprocess", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("testrun") = nb::module_::import_("tovel.testrun");
    m.attr("collect") = nb::module_::import_("tovel.collect");
    m.attr("testenv") = nb::module_::import_("tovel.testenv");
    m.def("is_pytest", &is_pytest, "command"_a,
          "Whether the test command is a pytest run that takes more arguments at its end.");
    m.def("companions", &companions, "units"_a,
          "The modules the wheel ships compiled besides units (not test files): [{arc, so, so_arc}].");
    m.def("make", &make, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Make the test environment under workdir: the pure wheel and the test requirements "
          "installed; returns the bench.");
    m.def("arrange", &arrange, "bench"_a, "source"_a,
          "Put the units whose indices are in source in site-packages as .py, the others compiled.");
    m.def("copy", &copy, "bench"_a, "venv"_a,
          "A copy of the bench with its environment at venv and a scratch folder of its own.");
    // One run, as the profiler's training and the proof call it.
    m.attr("run") = m.attr("testrun").attr("run");
    m.attr("describe") = m.attr("testrun").attr("describe");
}
