// tovel.needs: the requirements of a project's tests, found where projects
// keep them: a dependency group (PEP 735) or a poetry group, the wheel's test
// extra, requirements files, the deps of tox's test environment or hatch's. What the
// test files use besides is tovel.uses'.
#include "common.h"

#include <vector>

using namespace tovel;

static const char *MOD = "tovel.needs";

static nb::object mine(const char *name) { return global(MOD, name); }

static const char *const GROUPS[] = {"test", "tests", "testing", "dev"};
static const char *const EXTRAS[] = {"test", "tests", "testing"};
static const char *const TOX_ENVS[] = {"testenv", "testenv:test", "testenv:tests"};

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static bool is_file(nb::handle p) { return truthy(mine("os").attr("path").attr("isfile")(p)); }
static nb::object canon(nb::handle name) { return mine("canonicalize_name")(name); }
static nb::object match(const char *pattern, nb::handle text) { return mine("re").attr("match")(pattern, text); }

// What the requirements found so far come to.
struct Needs {
    nb::str project;
    nb::set own; // the project's own names: never a requirement of its tests
    nb::list requires, extras, said, wanted_extras;
    nb::set names, seen;         // the canonical names the tests get; the files read
    nb::set kept;                // each name with the marker it was added under
};

// Adds a requirement unless it is not one, is the project itself, or names
// a distribution the tests get already under the same marker (a second pin
// of it could conflict). Under another marker it is added: `pytest<8;
// python_version < '3.8'` beside `pytest>=8; python_version >= '3.8'`, and
// the installer takes the one whose marker holds.
static bool add(Needs &n, nb::handle text) {
    nb::object req;
    try {
        req = mine("Requirement")(text);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return false;
    }
    nb::object name = canon(req.attr("name"));
    nb::object key = nb::make_tuple(name, nb::str(req.attr("marker")));
    if (truthy(n.own.attr("__contains__")(name)) || truthy(n.kept.attr("__contains__")(key)))
        return false;
    n.kept.add(key);
    n.names.add(name);
    n.requires.append(nb::str(req));
    return true;
}

static int file(Needs &n, nb::object path);

// One line of a requirements file or of tox's deps: `-r FILE` is followed
// (relative to `here`); the project's own extras (`.[test]`) noted; other
// options, editable and local paths, URLs without a name and substitutions
// are left out. Returns the number of requirements added.
static int line(Needs &n, nb::handle text, nb::handle here) {
    nb::object re = mine("re");
    nb::str l(nb::str(re.attr("sub")("(^|\\s)#.*", "", text)).attr("strip")());
    nb::object m = match("(?:-r|--requirement)\\s*=?\\s*(\\S+)$", l);
    if (!m.is_none())
        return file(n, join(here, m.attr("group")(1)));
    m = match("(?:(?:-e|--editable)\\s+)?\\.\\[([^\\]]+)\\]$", l);
    if (!m.is_none()) {
        for (nb::handle x : m.attr("group")(1).attr("split")(","))
            n.wanted_extras.append(x.attr("strip")());
        return 0;
    }
    if (!nb::len(l) || truthy(l.attr("startswith")("-")) || truthy(l.attr("__contains__")("{")))
        return 0;
    l = nb::str(re.attr("split")("\\s+--?[A-Za-z]", l, "maxsplit"_a = 1)[0]); // --hash=... and the like
    if (!match("[./~\\\\]|file:|[A-Za-z][\\w+.-]*://", l).is_none())
        return 0;
    return add(n, l) ? 1 : 0;
}

// The requirements of a requirements file, once however often it is named.
static int file(Needs &n, nb::object path) {
    path = mine("os").attr("path").attr("realpath")(path);
    if (!is_file(path) || truthy(n.seen.attr("__contains__")(path)))
        return 0;
    n.seen.add(path);
    nb::str text(mine("Path")(path).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace"));
    int added = 0;
    for (nb::handle l : mine("re").attr("sub")("\\\\\\r?\\n", " ", text).attr("splitlines")())
        added += line(n, l, mine("os").attr("path").attr("dirname")(path));
    return added;
}

// ---------------------------------------------------------------- poetry

/// A poetry version constraint as PEP 440 specifiers ("" for any version):
/// ^1.2 is >=1.2,<2, ~1.2 is >=1.2,<1.3, a bare version is ==. None where
/// it has no PEP 440 form (alternatives with ||).
static nb::object pep440(nb::handle value) {
    if (!nb::isinstance<nb::str>(value) || truthy(value.attr("__contains__")("||")))
        return nb::none();
    nb::list out;
    try {
        for (nb::handle m : mine("re").attr("finditer")("(\\^|~=|~|===|==|!=|>=|<=|>|<|=)?\\s*([^\\s,^~=!<>]+)", value)) {
            nb::object op = m.attr("group")(1), v = m.attr("group")(2);
            if (v.equal(nb::str("*")))
                continue;
            if (op.equal(nb::str("^")) || op.equal(nb::str("~"))) {
                nb::list release(builtin("list")(mine("Version")(v).attr("release")));
                size_t i = 0;
                if (op.equal(nb::str("^"))) { // the first figure that is not zero, else the last
                    while (i + 1 < nb::len(release) && nb::cast<long>(release[i]) == 0)
                        ++i;
                } else
                    i = nb::len(release) > 1 ? 1 : 0;
                nb::list upper;
                for (size_t j = 0; j < i; ++j)
                    upper.append(builtin("str")(release[j]));
                upper.append(builtin("str")(nb::int_(nb::cast<long>(release[i]) + 1)));
                out.append(nb::str(">=") + nb::str(v));
                out.append(nb::str("<") + nb::str(nb::str(".").attr("join")(upper)));
            } else if (op.is_none() || op.equal(nb::str("=")))
                out.append(nb::str("==") + nb::str(v));
            else
                out.append(nb::str(op) + nb::str(v));
        }
        nb::str specs(nb::str(",").attr("join")(out));
        mine("SpecifierSet")(specs);
        return specs;
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
}

/// The requirements of a poetry dependency table: a path, a repository or a
/// URL is left out; a constraint with no PEP 440 form keeps the name only.
static nb::list poetry(nb::handle table) {
    nb::list out;
    if (!nb::isinstance<nb::dict>(table))
        return out;
    for (auto [name, value] : nb::borrow<nb::dict>(table)) {
        if (nb::str(name).equal(nb::str("python")))
            continue;
        nb::list entries = nb::isinstance<nb::list>(value) ? nb::borrow<nb::list>(value) : nb::list();
        if (!nb::isinstance<nb::list>(value))
            entries.append(value);
        for (nb::handle e : entries) {
            nb::object version = nb::borrow(e), extras = nb::list(), markers = nb::list();
            if (nb::isinstance<nb::dict>(e)) {
                bool local = false;
                for (const char *k : {"path", "git", "url", "file"})
                    local = local || nb::borrow<nb::dict>(e).contains(k);
                if (local)
                    continue;
                version = get(e, "version", nb::str("*"));
                extras = get(e, "extras", nb::list());
                if (nb::isinstance<nb::str>(get(e, "markers", nb::none())))
                    markers.attr("append")(e["markers"]);
                nb::object python = pep440(get(e, "python", nb::str("*")));
                if (!python.is_none())
                    for (nb::handle s : mine("SpecifierSet")(python))
                        markers.attr("append")(nb::str("python_full_version {} \"{}\"").format(s.attr("operator"), s.attr("version")));
            } else if (!nb::isinstance<nb::str>(e))
                continue;
            nb::object specs = pep440(version);
            nb::str text(name);
            if (nb::isinstance<nb::list>(extras) && nb::len(extras))
                text = nb::str("{}[{}]").format(text, nb::str(",").attr("join")(extras));
            if (!specs.is_none())
                text = nb::str(text + nb::str(specs));
            if (nb::len(markers))
                text = nb::str("{}; ({})").format(text, nb::str(") and (").attr("join")(markers));
            out.append(text);
        }
    }
    return out;
}

// ---------------------------------------------------------------- tox

// A tox value with its references to other sections ({[base]deps}) and the
// project's folder ({toxinidir}, {tox_root}) put in.
static nb::str expand(nb::handle parser, nb::str value, nb::str project) {
    for (int depth = 0; !parser.is_none() && depth < 10; ++depth) {
        nb::object m = mine("re").attr("search")("\\{\\[([^\\]]+)\\]([^}]+)\\}", value);
        if (m.is_none())
            break;
        nb::object ref = parser.attr("get")(m.attr("group")(1), m.attr("group")(2).attr("strip")(), "fallback"_a = "");
        value = nb::str(value.attr("__getitem__")(builtin("slice")(nb::none(), m.attr("start")())) + ref +
                        value.attr("__getitem__")(builtin("slice")(m.attr("end")(), nb::none())));
    }
    return nb::str(value.attr("replace")("{toxinidir}", project).attr("replace")("{tox_root}", project));
}

// The deps (and extras) of tox's test environment in an ini configuration:
// lines that hold for some factors only (`py38: x`) are left out.
static bool tox_ini(Needs &n, nb::handle parser, nb::str where) {
    for (const char *env : TOX_ENVS) {
        if (!truthy(parser.attr("has_option")(env, "deps")))
            continue;
        nb::str deps = expand(parser, nb::str(parser.attr("get")(env, "deps")), n.project);
        int added = 0;
        for (nb::handle l : deps.attr("splitlines")())
            if (match("\\s*[\\w.,!{}-]+:(\\s|$)", l).is_none())
                added += line(n, l, n.project);
        for (nb::handle x : nb::str(parser.attr("get")(env, "extras", "fallback"_a = "")).attr("replace")(",", " ").attr("split")())
            n.wanted_extras.append(x);
        if (added)
            n.said.append(nb::str("{} [{}] deps").format(where, env));
        return true;
    }
    return false;
}

static nb::object ini_parser(nb::handle path, nb::handle text) {
    nb::object parser = mine("configparser").attr("ConfigParser")("interpolation"_a = nb::none());
    try {
        if (text.is_none())
            parser.attr("read")(path, "encoding"_a = "utf-8");
        else
            parser.attr("read_string")(text);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
    return parser;
}

// tox's configuration: tox.ini, setup.cfg's, tox.toml or [tool.tox] (ini text
// or tables: env_run_base's deps).
static void tox(Needs &n, nb::handle doc) {
    nb::object ini = join(n.project, nb::str("tox.ini"));
    if (is_file(ini)) {
        nb::object p = ini_parser(ini, nb::none());
        if (!p.is_none() && tox_ini(n, p, nb::str("tox.ini")))
            return;
    }
    nb::object cfg = join(n.project, nb::str("setup.cfg"));
    if (is_file(cfg)) {
        nb::object p = ini_parser(cfg, nb::none());
        if (!p.is_none() && truthy(p.attr("has_section")("tox:tox")) && tox_ini(n, p, nb::str("setup.cfg")))
            return;
    }
    nb::object table = nb::none();
    nb::str where("pyproject.toml [tool.tox]");
    nb::object toml = join(n.project, nb::str("tox.toml"));
    if (is_file(toml)) {
        try {
            table = mine("tomllib").attr("loads")(mine("Path")(toml).attr("read_text")("encoding"_a = "utf-8"));
            where = nb::str("tox.toml");
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
    } else if (!doc.is_none() && nb::isinstance<nb::dict>(get(doc, "tool", nb::none())))
        table = get(doc["tool"], "tox", nb::none());
    if (!nb::isinstance<nb::dict>(table))
        return;
    if (nb::isinstance<nb::str>(get(table, "legacy_tox_ini", nb::none()))) {
        nb::object p = ini_parser(nb::none(), table["legacy_tox_ini"]);
        if (!p.is_none())
            tox_ini(n, p, where);
        return;
    }
    nb::object base = get(table, "env_run_base", nb::none());
    if (!nb::isinstance<nb::dict>(base))
        return;
    int added = 0;
    nb::object deps = get(base, "deps", nb::none()), extras = get(base, "extras", nb::none());
    for (nb::handle d : nb::isinstance<nb::list>(deps) ? deps : nb::list())
        if (nb::isinstance<nb::str>(d))
            for (nb::handle l : expand(nb::none(), nb::str(d), n.project).attr("splitlines")())
                added += line(n, l, n.project);
    for (nb::handle x : nb::isinstance<nb::list>(extras) ? extras : nb::list())
        n.wanted_extras.append(x);
    if (added)
        n.said.append(nb::str("{} env_run_base deps").format(where));
}

// ---------------------------------------------------------------- hatch

static const char *const HATCH_ENVS[] = {"hatch-test", "test", "tests", "testing"};

// A hatch environment's own dependencies, extra-dependencies and features,
// after those of the environment it takes as template (default's, unless
// detached); requirements by URL are left out (no index serves them).
static int hatch_env(Needs &n, nb::handle envs, nb::str name, int depth) {
    nb::object env = envs.attr("get")(name, nb::dict());
    if (!nb::isinstance<nb::dict>(env) || depth > 8)
        return 0;
    int added = 0;
    nb::object tmpl = get(env, "template", nb::str("default"));
    if (!truthy(get(env, "detached", nb::bool_(false))) && nb::isinstance<nb::str>(tmpl) && !tmpl.equal(name))
        added += hatch_env(n, envs, nb::str(tmpl), depth + 1);
    for (const char *key : {"dependencies", "extra-dependencies"}) {
        nb::object deps = get(env, key, nb::list());
        for (nb::handle d : nb::isinstance<nb::list>(deps) ? deps : nb::list())
            if (nb::isinstance<nb::str>(d) && !truthy(nb::str(d).attr("__contains__")("://")))
                added += add(n, d);
    }
    for (const char *key : {"features", "extras"}) {
        nb::object xs = get(env, key, nb::list());
        for (nb::handle x : nb::isinstance<nb::list>(xs) ? xs : nb::list())
            n.wanted_extras.append(x);
    }
    return added;
}

// hatch's test environment: the first of HATCH_ENVS it defines, else the
// first whose scripts run pytest, else default, else dev.
static void hatch(Needs &n, nb::handle tool) {
    nb::object envs = nb::isinstance<nb::dict>(tool) ? get(get(tool, "hatch", nb::dict()), "envs", nb::none()) : nb::none();
    if (!nb::isinstance<nb::dict>(envs))
        return;
    nb::object chosen = nb::none();
    for (const char *e : HATCH_ENVS)
        if (chosen.is_none() && nb::borrow<nb::dict>(envs).contains(e))
            chosen = nb::str(e);
    for (auto [name, env] : nb::borrow<nb::dict>(envs))
        if (chosen.is_none() && nb::isinstance<nb::dict>(env) &&
            truthy(nb::str(get(env, "scripts", nb::none())).attr("__contains__")("pytest")))
            chosen = nb::borrow(name);
    for (const char *e : {"default", "dev"})
        if (chosen.is_none() && nb::borrow<nb::dict>(envs).contains(e))
            chosen = nb::str(e);
    if (!chosen.is_none() && hatch_env(n, envs, nb::str(chosen), 0))
        n.said.append(nb::str("hatch environment {}").format(chosen));
}

// ---------------------------------------------------------------- the sources in order

// The requirements files of the tests (beside them too: tests/requirements.txt):
// those of test, else those of dev.
static void files(Needs &n) {
    nb::object glob = mine("glob").attr("glob");
    for (auto patterns : {std::initializer_list<const char *>{"requirements/test*.txt", "test*-requirements.txt",
                                                              "requirements-test*.txt", "requirements_test*.txt",
                                                              "tests/requirements*.txt", "test/requirements*.txt"},
                          std::initializer_list<const char *>{"requirements/dev*.txt", "dev-requirements.txt",
                                                              "requirements-dev*.txt", "requirements_dev*.txt"}}) {
        nb::list found;
        for (const char *p : patterns)
            found.attr("extend")(builtin("sorted")(glob(p, "root_dir"_a = n.project)));
        // Files for several Python versions (requirements-tests36.txt,
        // -tests39.txt): the newest one the running interpreter is, their
        // pins are for it; the files of no version are taken as well.
        nb::object version = mine("re").attr("compile")("(?:py)?3[._]?(\\d{1,2})(?=\\D*\\.txt$)");
        long running = nb::cast<long>(mine("sys").attr("version_info").attr("minor")), best = -1;
        std::vector<long> minors; // -1: a file of no version
        for (nb::handle f : found) {
            nb::object m = version.attr("search")(mine("os").attr("path").attr("basename")(f));
            minors.push_back(m.is_none() ? -1 : nb::cast<long>(builtin("int")(m.attr("group")(1))));
            if (minors.back() <= running && minors.back() > best)
                best = minors.back();
        }
        for (size_t i = 0; i < minors.size(); ++i)
            if ((minors[i] < 0 || minors[i] == best) && file(n, join(n.project, found[i])))
                n.said.append(found[i]);
        if (nb::len(found))
            return;
    }
}

// setuptools' tests_require: a literal list in setup.py's setup() call (or
// a name the module binds to one), or setup.cfg's [options] entry. Old
// projects keep their tests' requirements only there.
static void tests_require(Needs &n) {
    nb::object ast = mine("ast");
    auto is = [](nb::handle node, const char *kind) { return node.type().attr("__name__").equal(nb::str(kind)); };
    nb::list found;
    nb::object py = join(n.project, nb::str("setup.py"));
    if (is_file(py))
        try {
            nb::object tree = ast.attr("parse")(mine("Path")(py).attr("read_bytes")());
            nb::dict bound; // module-level names bound to a literal
            for (nb::handle stmt : tree.attr("body"))
                if (is(stmt, "Assign"))
                    for (nb::handle t : stmt.attr("targets"))
                        if (is(t, "Name"))
                            bound[t.attr("id")] = stmt.attr("value");
            for (nb::handle node : ast.attr("walk")(tree)) {
                if (!is(node, "Call"))
                    continue;
                for (nb::handle kw : node.attr("keywords")) {
                    if (!kw.attr("arg").equal(nb::str("tests_require")))
                        continue;
                    nb::object value = kw.attr("value");
                    if (is(value, "Name"))
                        value = bound.attr("get")(value.attr("id"), value);
                    try {
                        for (nb::handle r : ast.attr("literal_eval")(value))
                            found.append(r);
                    } catch (nb::python_error &e) {
                        if (!ordinary(e))
                            throw;
                    }
                }
            }
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
    nb::object cfg = join(n.project, nb::str("setup.cfg"));
    if (is_file(cfg)) {
        nb::object p = ini_parser(cfg, mine("Path")(cfg).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace"));
        if (!p.is_none() && truthy(p.attr("has_option")("options", "tests_require")))
            found.attr("extend")(nb::str(p.attr("get")("options", "tests_require")).attr("splitlines")());
    }
    int added = 0;
    for (nb::handle r : found)
        if (nb::isinstance<nb::str>(r))
            added += line(n, r, n.project);
    if (added)
        n.said.append(nb::str("setuptools' tests_require"));
}

// The names of the requirements of `info` (a .dist-info folder) that hold
// with `extra` ("" for those of no extra).
static void provided(Needs &n, nb::handle dist, nb::handle extra) {
    nb::dict env;
    env["extra"] = extra;
    nb::object requires = dist.attr("requires");
    if (!requires.is_none())
        for (nb::handle r : requires) {
            nb::object req = mine("Requirement")(r);
            if (req.attr("marker").is_none() || truthy(req.attr("marker").attr("evaluate")(env)))
                n.names.add(canon(req.attr("name")));
        }
}

// The top-level names of the modules `files` import anywhere (a fixture
// or a test often imports an optional feature's module inside, and skips
// without it). A few megabytes are read, as tovel.uses reads.
static nb::set imported(nb::list files) {
    nb::object ast = mine("ast"), isinstance = builtin("isinstance");
    nb::set out;
    for (nb::handle parsed : parse_test_files(files))
        for (nb::handle node : ast.attr("walk")(parsed[1]))
            if (truthy(isinstance(node, ast.attr("Import"))))
                for (nb::handle a : node.attr("names"))
                    out.add(a.attr("name").attr("partition")(".")[0]);
            else if (truthy(isinstance(node, ast.attr("ImportFrom"))) && node.attr("level").equal(nb::int_(0)) &&
                     !node.attr("module").is_none())
                out.add(node.attr("module").attr("partition")(".")[0]);
    return out;
}

// The project's other extras that the tests import something of: the extra
// named as the module (`yaml`), or one requiring a distribution named as it
// (`yaml`, `pyyaml`, `python-yaml`). Without them a feature's tests skip and
// its compiled modules go unjudged there. The first extra per module. The
// standard library and what comes with pytest are no feature's, and the
// developers' extras (`dev`: linters, docs, every tool) are not taken.
static const char *const BROAD[] = {"dev", "devel", "develop", "development", "doc", "docs", "lint", "all", "full"};
static const char *const WITH_PYTEST[] = {"pytest", "_pytest", "py", "pluggy", "iniconfig", "packaging", "pygments"};

static void imported_extras(Needs &n, nb::handle dist, nb::list offered, nb::list files) {
    if (!nb::len(files))
        return;
    nb::set modules = imported(files);
    nb::object sys = mine("sys");
    nb::object skip = builtin("set")(sys.attr("stdlib_module_names")).attr("union")(sys.attr("builtin_module_names"));
    for (const char *p : WITH_PYTEST)
        skip.attr("add")(p);
    std::vector<std::pair<nb::object, nb::set>> gives; // each extra not taken, with its own distributions
    for (nb::handle x : offered) {
        bool broad = false;
        for (const char *b : BROAD)
            broad = broad || nb::str(b).equal(x);
        if (broad || truthy(n.extras.attr("__contains__")(x)))
            continue;
        nb::set own;
        own.add(x);
        nb::dict env;
        env["extra"] = x;
        nb::object requires = dist.attr("requires");
        for (nb::handle r : requires.is_none() ? nb::list() : nb::list(requires)) {
            nb::object req = mine("Requirement")(r);
            if (!req.attr("marker").is_none() && truthy(req.attr("marker").attr("evaluate")(env)))
                own.add(canon(req.attr("name")));
        }
        gives.emplace_back(nb::borrow(x), own);
    }
    for (nb::handle m : builtin("sorted")(modules)) {
        nb::object c = canon(m);
        if (truthy(n.own.attr("__contains__")(c)) || truthy(skip.attr("__contains__")(m)))
            continue;
        nb::object forms = nb::make_tuple(c, nb::str("py{}").format(c), nb::str("python-{}").format(c));
        bool got = false; // what the tests get provides it already
        for (nb::handle f : forms)
            got = got || truthy(n.names.attr("__contains__")(f));
        if (got)
            continue;
        for (auto &[x, own] : gives) {
            if (truthy(n.extras.attr("__contains__")(x)))
                continue;
            bool hit = false;
            for (nb::handle f : forms)
                hit = hit || truthy(own.attr("__contains__")(f));
            if (hit) {
                n.extras.append(x);
                n.said.append(nb::str("extra {} (the tests import {})").format(x, m));
                provided(n, dist, x);
                break;
            }
        }
    }
}

// The requirements found for the project, in the order of the sources.
static Needs gather(nb::str project, nb::object info, nb::list roots, nb::list tests) {
    Needs n;
    n.project = project;
    for (nb::handle r : roots)
        n.own.add(canon(r));
    nb::object dist = info.is_none() ? nb::object(nb::none()) : mine("PathDistribution")(mine("Path")(info));
    nb::list offered;
    if (!dist.is_none()) {
        n.own.add(canon(dist.attr("metadata")["Name"]));
        for (nb::handle x : dist.attr("metadata").attr("get_all")("Provides-Extra", nb::list()))
            offered.append(canon(x));
        provided(n, dist, nb::str(""));
        for (const char *x : EXTRAS)
            if (truthy(offered.attr("__contains__")(x))) {
                n.extras.append(x);
                n.said.append(nb::str("extra {}").format(x));
                provided(n, dist, nb::str(x));
                break;
            }
    }
    nb::object doc = nb::none();
    nb::object path = join(project, nb::str("pyproject.toml"));
    if (is_file(path))
        try {
            doc = mine("tomllib").attr("loads")(mine("Path")(path).attr("read_text")("encoding"_a = "utf-8"));
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
    nb::object groups = doc.is_none() ? nb::object(nb::dict()) : get(doc, "dependency-groups", nb::dict());
    for (const char *g : GROUPS)
        if (nb::isinstance<nb::dict>(groups) && nb::borrow<nb::dict>(groups).contains(g)) {
            try {
                for (nb::handle r : mine("resolve")(groups, g))
                    add(n, r);
                n.said.append(nb::str("dependency group {}").format(g));
            } catch (nb::python_error &e) {
                if (!ordinary(e))
                    throw;
                print(nb::str("warning: pyproject.toml: [dependency-groups] {}: {}").format(g, e.value()));
            }
            break;
        }
    nb::object tool = doc.is_none() ? nb::object(nb::dict()) : get(doc, "tool", nb::dict());
    nb::object po = nb::isinstance<nb::dict>(tool) ? get(tool, "poetry", nb::dict()) : nb::dict();
    if (nb::isinstance<nb::dict>(po)) {
        nb::object pg = get(po, "group", nb::dict());
        bool found = false;
        for (const char *g : GROUPS)
            if (!found && nb::isinstance<nb::dict>(pg) && nb::isinstance<nb::dict>(get(pg, g, nb::none()))) {
                found = true;
                for (nb::handle r : poetry(get(pg[g], "dependencies", nb::none())))
                    add(n, r);
                n.said.append(nb::str("poetry group {}").format(g));
            }
        if (!found && nb::isinstance<nb::dict>(get(po, "dev-dependencies", nb::none()))) {
            for (nb::handle r : poetry(po["dev-dependencies"]))
                add(n, r);
            n.said.append(nb::str("poetry dev-dependencies"));
        }
    }
    files(n);
    tox(n, doc);
    hatch(n, tool);
    tests_require(n);
    // The extras tox or a requirements file installs the project with.
    for (nb::handle x : n.wanted_extras) {
        nb::object c = canon(x);
        if (truthy(offered.attr("__contains__")(c)) && !truthy(n.extras.attr("__contains__")(c))) {
            n.extras.append(c);
            n.said.append(nb::str("extra {}").format(c));
            provided(n, dist, c);
        }
    }
    if (!dist.is_none())
        imported_extras(n, dist, offered, tests);
    return n;
}

/// The requirements of the tests of the project in `project`, whose wheel's
/// .dist-info folder is `info` (or None) and whose top-level packages are
/// `roots`; pytest among them with `pytest`; the extras the `tests` files
/// import from too. Returns {requires, extras (of
/// the wheel), said (where they were found), names (the canonical names of
/// what the test environment gets: the wheel's dependencies too)}.
static nb::dict requirements(nb::str project, nb::object info, nb::list roots, bool pytest, nb::list tests) {
    Needs n = gather(project, info, roots, tests);
    if (pytest)
        add(n, nb::str("pytest"));
    nb::dict out;
    out["requires"] = n.requires;
    out["extras"] = n.extras;
    out["said"] = n.said;
    out["names"] = builtin("sorted")(n.names);
    return out;
}

TOVEL_MODULE(needs, m) {
    for (const char *name : {"ast", "configparser", "glob", "os", "re", "sys", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("PathDistribution") = nb::module_::import_("importlib.metadata").attr("PathDistribution");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("SpecifierSet") = nb::module_::import_("packaging.specifiers").attr("SpecifierSet");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.attr("resolve") = nb::module_::import_("dependency_groups").attr("resolve");
    m.def("requirements", &requirements, "project"_a, "info"_a.none(), "roots"_a, "pytest"_a, "tests"_a = nb::list(),
          "The requirements of the project's tests where the project keeps them: {requires, extras, said, names}.");
    m.def("pep440", &pep440, "constraint"_a,
          "A poetry version constraint as PEP 440 specifiers ('' for any), or None where it has none.");
}
