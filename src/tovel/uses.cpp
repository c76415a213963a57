// tovel.uses: what a project's test files use that the requirements found
// for them (tovel.needs) do not provide: the modules they import at their top
// level, the fixtures of well-known plugins they take, pytest-asyncio's mark
// or mode, the coverage plugin --cov names. A well-known test tool is added; any other
// module is named with the option that adds it (a name guessed from an import
// can be someone else's distribution, so nothing else is installed).
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.uses";

static nb::object mine(const char *name) { return global(MOD, name); }

// Well-known test tools, by the module a test imports: added when no
// requirement provides them.
static const char *const TOOLS[][2] = {
    {"hypothesis", "hypothesis"},       {"freezegun", "freezegun"},           {"pytest_mock", "pytest-mock"},
    {"responses", "responses"},         {"requests_mock", "requests-mock"},   {"mock", "mock"},
    {"pytest_asyncio", "pytest-asyncio"}, {"time_machine", "time-machine"},   {"pytest_benchmark", "pytest-benchmark"},
    {"testfixtures", "testfixtures"},   {"parameterized", "parameterized"},   {"pyfakefs", "pyfakefs"},
    {"pytest_httpserver", "pytest-httpserver"}, {"trustme", "trustme"},       {"dirty_equals", "dirty-equals"},
    {"respx", "respx"},                 {"pytest_httpx", "pytest-httpx"},     {"aioresponses", "aioresponses"},
    {"pytest_cases", "pytest-cases"},   {"hamcrest", "PyHamcrest"},           {"pretend", "pretend"},
    {"syrupy", "syrupy"},               {"pytest_subtests", "pytest-subtests"}, {"flaky", "flaky"}};
// The fixtures of well-known plugins, by the name a test takes as argument.
static const char *const FIXTURES[][2] = {
    {"mocker", "pytest-mock"},         {"class_mocker", "pytest-mock"},     {"module_mocker", "pytest-mock"},
    {"session_mocker", "pytest-mock"}, {"benchmark", "pytest-benchmark"},   {"requests_mock", "requests-mock"},
    {"httpserver", "pytest-httpserver"}, {"freezer", "pytest-freezer"},     {"time_machine", "time-machine"},
    {"httpx_mock", "pytest-httpx"},    {"fs", "pyfakefs"}};
// Distributions whose module is named otherwise: what they provide, and the
// name a missing module's line suggests.
static const char *const OTHERS[][2] = {
    {"yaml", "PyYAML"},        {"PIL", "Pillow"},          {"dateutil", "python-dateutil"}, {"bs4", "beautifulsoup4"},
    {"sklearn", "scikit-learn"}, {"skimage", "scikit-image"}, {"attr", "attrs"},           {"cv2", "opencv-python"},
    {"jwt", "PyJWT"},          {"OpenSSL", "pyOpenSSL"},   {"Crypto", "pycryptodome"},      {"dns", "dnspython"},
    {"serial", "pyserial"},    {"zmq", "pyzmq"},           {"git", "GitPython"},            {"dotenv", "python-dotenv"},
    {"pkg_resources", "setuptools"}, {"magic", "python-magic"}, {"docx", "python-docx"},   {"jose", "python-jose"},
    // Gone from the standard library in 3.12; setuptools brings it back.
    {"distutils", "setuptools"}};
// Modules that come with a well-known test tool that requires them: (the
// module, the tool).
static const char *const BROUGHT[][2] = {{"coverage", "pytest-cov"}, {"coverage", "covdefaults"},
                                         {"cpuinfo", "pytest-benchmark"},
                                         {"sortedcontainers", "hypothesis"}, {"attr", "hypothesis"}};
// What comes into the test environment with pytest.
static const char *const WITH_PYTEST[] = {"pytest", "_pytest", "py", "pluggy", "iniconfig", "packaging", "pygments"};

template <size_t N> static nb::object lookup(const char *const (&table)[N][2], nb::handle key) {
    for (auto &row : table)
        if (nb::str(row[0]).equal(key))
            return nb::str(row[1]);
    return nb::none();
}

// The distribution a line suggests for a missing module.
static nb::object suggest(nb::str module) {
    nb::object other = lookup(OTHERS, module);
    return other.is_none() ? nb::object(module) : other;
}

static nb::object canon(nb::handle name) { return mine("canonicalize_name")(name); }

// Whether a module the tests import comes with what they get (`names`,
// canonical distribution names).
static bool comes(nb::handle names, nb::str module, nb::object &installed) {
    for (const char *p : WITH_PYTEST)
        if (module.equal(nb::str(p)))
            return true;
    for (auto &row : BROUGHT)
        if (module.equal(nb::str(row[0])) && truthy(names.attr("__contains__")(canon(nb::str(row[1])))))
            return true;
    nb::list candidates;
    candidates.append(module);
    for (nb::object d : {lookup(TOOLS, module), lookup(OTHERS, module)})
        if (!d.is_none())
            candidates.append(d);
    // The distributions that provide it here, if any: a hint, not a proof.
    if (installed.is_none())
        installed = mine("packages_distributions")();
    candidates.attr("extend")(get(installed, module.c_str(), nb::list()));
    for (nb::handle c : candidates)
        if (truthy(names.attr("__contains__")(canon(c))))
            return true;
    return false;
}

// The module names a parsed file imports anywhere, each part of a dotted
// name and the names taken from a module ("from . import helpers"), and
// those its pytest_plugins list names.
static nb::set imports(nb::handle tree) {
    nb::object ast = mine("ast"), isinstance = builtin("isinstance");
    nb::set out;
    for (nb::handle node : ast.attr("walk")(tree)) {
        if (truthy(isinstance(node, ast.attr("Assign")))) {
            bool plugins = false;
            for (nb::handle t : node.attr("targets"))
                plugins = plugins || (truthy(isinstance(t, ast.attr("Name"))) && t.attr("id").equal(nb::str("pytest_plugins")));
            if (plugins)
                for (nb::handle v : ast.attr("walk")(node.attr("value")))
                    if (truthy(isinstance(v, ast.attr("Constant"))) && nb::isinstance<nb::str>(v.attr("value")))
                        for (nb::handle part : v.attr("value").attr("split")("."))
                            out.add(part);
            continue;
        }
        bool from = truthy(isinstance(node, ast.attr("ImportFrom")));
        if (!from && !truthy(isinstance(node, ast.attr("Import"))))
            continue;
        if (from && !node.attr("module").is_none())
            for (nb::handle part : node.attr("module").attr("split")("."))
                out.add(part);
        for (nb::handle a : node.attr("names"))
            for (nb::handle part : a.attr("name").attr("split")("."))
                out.add(part);
    }
    return out;
}

// The parsed (source, tree) of the `files` the tests run: those pytest
// collects (`entries`; None: all of them) and the files among `files` they
// import, by module name (tests/helpers.py for `import helpers`, `from
// tests import helpers` or `from .helpers import x`). A script a test runs
// as a process, or data beside the tests, is left out.
static nb::list reached(nb::list files, nb::object entries) {
    nb::object path = mine("os").attr("path");
    nb::list parsed;
    nb::dict by_name; // module name -> indexes into parsed
    nb::list order;   // the indexes the tests reach, in order found
    nb::set start, seen;
    if (!entries.is_none())
        for (nb::handle e : entries)
            start.add(path.attr("normpath")(e));
    size_t read = 0;
    for (nb::handle f : files) {
        if (read > 2000000) // as parse_test_files bounds it
            break;
        nb::list single;
        single.append(f);
        nb::list one = parse_test_files(single);
        if (!nb::len(one))
            continue;
        read += nb::len(nb::object(one[0][0]));
        size_t i = nb::len(parsed);
        parsed.append(one[0]);
        nb::str name(path.attr("basename")(f).attr("removesuffix")(".py"));
        if (name.equal(nb::str("__init__")))
            name = nb::str(path.attr("basename")(path.attr("dirname")(path.attr("normpath")(f))));
        if (!by_name.contains(name))
            by_name[name] = nb::list();
        nb::borrow<nb::list>(by_name[name]).append(i);
        if (entries.is_none() || start.contains(path.attr("normpath")(f))) {
            seen.add(nb::int_(i));
            order.append(i);
        }
    }
    for (size_t k = 0; k < nb::len(order); ++k)
        for (nb::handle m : imports(parsed[nb::cast<size_t>(order[k])][1]))
            if (by_name.contains(m))
                for (nb::handle i : by_name[m])
                    if (!seen.contains(i)) {
                        seen.add(i);
                        order.append(i);
                    }
    nb::list out;
    for (nb::handle i : builtin("sorted")(order))
        out.append(parsed[nb::cast<size_t>(i)]);
    return out;
}

/// Completes `need` (tovel.needs.requirements' record) with what the test
/// `files` use: the modules they import at their top level (outside the
/// standard library, the `local` modules and what the requirements provide),
/// the fixtures of well-known plugins they take, and the plugins the options
/// of `addopts` need. Well-known test tools join need's requires (said in
/// its said); need["missing"] becomes the other modules, as [module, a
/// distribution to suggest] pairs. Only the files pytest collects
/// (`entries`; None: all) and those they import are read.
static void complete(nb::dict need, nb::list files, nb::list local, nb::list addopts, nb::object entries) {
    nb::object names = builtin("set")(need["names"]);
    nb::list requires = nb::borrow<nb::list>(need["requires"]);
    nb::object ast = mine("ast"), sys = mine("sys"), isinstance = builtin("isinstance");
    nb::set modules, fixtures, defined;
    bool asyncio = false;
    for (nb::handle parsed : reached(files, entries)) {
        nb::object source = parsed[0], tree = parsed[1];
        asyncio = asyncio || truthy(source.attr("__contains__")(nb::bytes("mark.asyncio")));
        nb::list bodies;
        bodies.append(tree.attr("body"));
        for (nb::handle node : tree.attr("body")) {
            if (truthy(isinstance(node, ast.attr("Import"))))
                for (nb::handle a : node.attr("names"))
                    modules.add(a.attr("name").attr("partition")(".")[0]);
            else if (truthy(isinstance(node, ast.attr("ImportFrom"))) && node.attr("level").equal(nb::int_(0)) &&
                     !node.attr("module").is_none())
                modules.add(node.attr("module").attr("partition")(".")[0]);
            else if (truthy(isinstance(node, ast.attr("ClassDef"))))
                bodies.append(node.attr("body"));
        }
        // The arguments of its functions and methods (the fixtures they take)
        // and the functions it defines (fixtures of its own).
        for (nb::handle body : bodies)
            for (nb::handle node : body)
                if (truthy(isinstance(node, nb::make_tuple(ast.attr("FunctionDef"), ast.attr("AsyncFunctionDef"))))) {
                    defined.add(node.attr("name"));
                    for (nb::handle a : node.attr("args").attr("args"))
                        fixtures.add(a.attr("arg"));
                }
    }
    nb::object stdlib = builtin("set")(sys.attr("stdlib_module_names")).attr("union")(sys.attr("builtin_module_names"));
    nb::object ours = builtin("set")(local);
    nb::object installed = nb::none();
    nb::list added, missing;
    auto want = [&](nb::str dist) {
        if (!truthy(names.attr("__contains__")(canon(dist)))) {
            names.attr("add")(canon(dist));
            requires.append(dist);
            added.append(dist);
        }
    };
    for (nb::handle m : builtin("sorted")(modules)) {
        nb::str module(m);
        if (truthy(stdlib.attr("__contains__")(module)) || truthy(ours.attr("__contains__")(module)) ||
            comes(names, module, installed))
            continue;
        nb::object tool = lookup(TOOLS, module);
        if (!tool.is_none())
            want(nb::str(tool));
        else {
            missing.append(nb::make_tuple(module, suggest(module)));
        }
    }
    for (nb::handle f : builtin("sorted")(fixtures)) {
        nb::object dist = lookup(FIXTURES, f);
        if (!dist.is_none() && !truthy(defined.attr("__contains__")(f)))
            want(nb::str(dist));
    }
    if (asyncio)
        want(nb::str("pytest-asyncio"));
    for (nb::handle o : addopts) {
        if (truthy(nb::str(o).attr("startswith")("--cov")))
            want(nb::str("pytest-cov"));
        if (truthy(nb::str(o).attr("startswith")("--asyncio-mode")))
            want(nb::str("pytest-asyncio"));
    }
    if (nb::len(added))
        nb::borrow<nb::list>(need["said"]).append(nb::str("{} (the tests use {})")
                                                      .format(nb::str(", ").attr("join")(added), nb::len(added) == 1 ? "it" : "them"));
    need["missing"] = missing;
}

TOVEL_MODULE(uses, m) {
    for (const char *name : {"ast", "os", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("packages_distributions") = nb::module_::import_("importlib.metadata").attr("packages_distributions");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.def("suggest", &suggest, "module"_a, "The distribution that provides a missing module, to name in a line.");
    m.def("complete", &complete, "need"_a, "files"_a, "local"_a, "addopts"_a, "entries"_a.none() = nb::none(),
          "Add to the requirements found (tovel.needs.requirements) the well-known test tools the test files "
          "use; need['missing'] the modules they import that nothing provides.");
}
