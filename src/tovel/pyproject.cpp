// tovel.pyproject: the settings of a build. Decides where its pure tree comes
// from (the project's own back end, a given wheel, or the package folder of
// the -n layout), reads [tool.tovel] and checks the options. The metadata of
// a project is its back end's; tov writes metadata only for the -n layout
// (tovel.layout). The user's pyproject.toml is only read.
#include "common.h"

#include <string>

using namespace tovel;

static const char *MOD = "tovel.pyproject";

static nb::object mine(const char *name) { return global(MOD, name); }

// The keys of [tool.tovel], in the order the error message names them.
static const char *const TOVEL_KEYS[] = {"exclude",      "keep",         "abi3",          "directives",
                                         "jobs",         "backend",      "remote-cache",  "test-command",
                                         "test-requires", "test-timeout", "keep-failing"};
// The options that set the metadata of the -n layout.
static const char *const LAYOUT_OPTIONS[][2] = {{"name", "--name"}, {"version", "--version"},
    {"description", "--description"}, {"license", "--license"}, {"extra", "--extra"},
    {"entry", "--entry"}};

[[noreturn]] static void fail(nb::handle message) { value_error(message); }

[[noreturn]] static void fail(const char *message) { fail(nb::str(message)); }

// A ValueError with `message` whose cause is the error being handled, so
// that a traceback, when one is printed, still shows where it came from.
[[noreturn]] static void fail_from(nb::python_error &e, nb::handle message) {
    nb::object exc = builtin("ValueError")(message);
    PyException_SetCause(exc.ptr(), nb::borrow(e.value()).release().ptr());
    PyErr_SetObject(PyExc_ValueError, exc.ptr());
    throw nb::python_error();
}

static nb::str kind_of(nb::handle value) {
    return nb::str(nb::handle((PyObject *) Py_TYPE(value.ptr())).attr("__name__"));
}

static bool is_bool(nb::handle v) { return PyBool_Check(v.ptr()); }
static bool is_int(nb::handle v) { return PyLong_Check(v.ptr()) && !is_bool(v); }

// ---------------------------------------------------------------- reading

/// The parsed pyproject.toml of the working directory, or None without one.
static nb::object read_doc() {
    if (!truthy(mine("os").attr("path").attr("isfile")("pyproject.toml")))
        return nb::none();
    nb::bytes data(nb::module_::import_("pathlib").attr("Path")("pyproject.toml").attr("read_bytes")());
    // The file tov compile and tov wheel write is the tool's, not the
    // project's: a project built that way keeps the project/ files.
    if (truthy(data.attr("startswith")(nb::bytes("# written by tov"))))
        return nb::none();
    nb::object doc;
    try {
        doc = mine("tomllib").attr("loads")(data.attr("decode")("utf-8"));
    } catch (nb::python_error &e) {
        // TOMLDecodeError, and UnicodeDecodeError for a file that is not UTF-8.
        if (!e.matches(PyExc_ValueError))
            throw;
        fail_from(e, nb::str("pyproject.toml: not valid TOML: {}").format(e.value()));
    }
    return doc;
}

static nb::dict table(nb::handle parent, const char *key, const char *where) {
    nb::object value = get(parent, key, nb::dict());
    if (!nb::isinstance<nb::dict>(value))
        fail(nb::str("pyproject.toml: {} must be a table, not {}").format(where, kind_of(value)));
    return nb::borrow<nb::dict>(value);
}

static void check_pattern(nb::handle value, nb::handle where) {
    if (value.is_none())
        return;
    if (!nb::isinstance<nb::str>(value))
        fail(nb::str("{} must be a text (a regular expression), not {}")
                 .format(where, kind_of(value)));
    try {
        mine("re").attr("compile")(value);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        fail_from(e, nb::str("{}: {!r} is not a regular expression: {}")
                         .format(where, value, e.value()));
    }
}

static void check_requirements(nb::handle values, nb::handle where) {
    for (nb::handle r : values) {
        if (!nb::isinstance<nb::str>(r))
            fail(nb::str("{}: {!r} is not a requirement text").format(where, r));
        try {
            mine("Requirement")(r);
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            // packaging's message marks the place on two more lines.
            fail_from(e, nb::str("{}: {!r} is not a requirement: {}")
                             .format(where, r, nb::str(e.value()).attr("splitlines")()[0]));
        }
    }
}

static void check_seconds(nb::handle value, nb::handle where) {
    if (value.is_none())
        return;
    if ((!is_int(value) && !PyFloat_Check(value.ptr())) || !(nb::cast<double>(builtin("float")(value)) > 0) ||
        !truthy(nb::module_::import_("math").attr("isfinite")(value)))
        fail(nb::str("{} must be a number of seconds (more than 0), not {!r}").format(where, value));
}

/// [tool.tovel], its keys and the types of their values checked.
static nb::dict tool_table(nb::handle doc) {
    if (doc.is_none())
        return nb::dict();
    nb::dict tool = table(table(doc, "tool", "[tool]"), "tovel", "[tool.tovel]");
    for (auto [key, value] : tool) {
        bool known = false;
        for (const char *k : TOVEL_KEYS)
            known = known || nb::str(key).equal(nb::str(k));
        if (!known) {
            nb::list keys;
            for (const char *k : TOVEL_KEYS)
                keys.append(k);
            fail(nb::str("pyproject.toml: [tool.tovel] has no key {!r}; its keys are {}")
                     .format(key, nb::str(", ").attr("join")(keys)));
        }
        nb::str where = nb::str("pyproject.toml: [tool.tovel] {}").format(key);
        nb::str name(key);
        if (name.equal(nb::str("exclude")) || name.equal(nb::str("keep"))) {
            check_pattern(value, where);
        } else if (name.equal(nb::str("test-command"))) {
            if (!nb::isinstance<nb::str>(value))
                fail(nb::str("{} must be a text (a shell command), not {}").format(where, kind_of(value)));
        } else if (name.equal(nb::str("test-requires"))) {
            // A list of requirements, or one text of them separated by spaces.
            if (nb::isinstance<nb::str>(value))
                tool[key] = value.attr("split")();
            else if (!nb::isinstance<nb::list>(value))
                fail(nb::str("{} must be a list of requirements, not {}").format(where, kind_of(value)));
            check_requirements(tool[key], where);
        } else if (name.equal(nb::str("test-timeout"))) {
            check_seconds(value, where);
        } else if (name.equal(nb::str("abi3")) || name.equal(nb::str("keep-failing"))) {
            if (!is_bool(value))
                fail(nb::str("{} must be true or false, not {!r}").format(where, value));
        } else if (name.equal(nb::str("remote-cache"))) {
            if (!nb::isinstance<nb::str>(value))
                fail(nb::str("{} must be a URL (redis:// or http(s)://), not {}").format(where, kind_of(value)));
        } else if (name.equal(nb::str("backend"))) {
            // The back end tovel.build_meta wraps: module or module:object.
            if (!nb::isinstance<nb::str>(value) ||
                mine("re").attr("fullmatch")("\\w+(\\.\\w+)*(:\\w+(\\.\\w+)*)?", value).is_none())
                fail(nb::str("{} must name a PEP 517 back end (module or module:object), not {!r}")
                         .format(where, value));
        } else if (name.equal(nb::str("jobs"))) {
            if (!is_int(value) || value < nb::int_(1))
                fail(nb::str("{} must be a whole number of at least 1, not {!r}")
                         .format(where, value));
        } else { // directives: a table NAME = value, as Cython's own directive names
            if (!nb::isinstance<nb::dict>(value))
                fail(nb::str("{} must be a table of Cython directives (NAME = value), not {}")
                         .format(where, kind_of(value)));
            for (auto [d, v] : nb::borrow<nb::dict>(value))
                if (!is_bool(v) && !is_int(v) && !nb::isinstance<nb::str>(v))
                    fail(nb::str("{}.{} must be true, false, a number or a text, not {}")
                             .format(where, d, kind_of(v)));
        }
    }
    return tool;
}

/// A directive text NAME=VALUE, checked the way Cython reads its -X option.
static void check_directive(nb::handle text, nb::handle where) {
    if (!nb::isinstance<nb::str>(text))
        fail(nb::str("{}: {!r} is not a NAME=VALUE text").format(where, text));
    try {
        // Cython's compile options that the translator takes among directives.
        nb::str name(nb::str(text).attr("partition")("=")[nb::int_(0)].attr("strip")());
        if (truthy(nb::module_::import_("tovel.translator").attr("OPTIONS").attr("__contains__")(name)))
            return;
        mine("parse_directive_list")(text, "relaxed_bool"_a = true);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        fail_from(e, nb::str("{}: {}").format(where, e.value()));
    }
}

// --extra and --entry given as JSON text on the command line become their
// objects; their shapes are checked either way.
static void json_option(nb::handle options, const char *key, bool lists) {
    nb::object value = get(options, key, nb::none());
    if (value.is_none())
        return;
    nb::str usage(lists ? "--extra (-x) takes a JSON object of extras and their requirements, "
                          "such as '{\"fast\": [\"numpy\"]}'"
                        : "--entry (-t) takes a JSON object of commands and their functions, "
                          "such as '{\"mycmd\": \"mypkg.cli:main\"}', or groups of entry points, "
                          "such as '{\"mypkg.plugins\": {\"name\": \"mypkg.fast:Plugin\"}}'");
    if (nb::isinstance<nb::str>(value)) {
        try {
            value = mine("json").attr("loads")(value);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            fail_from(e, nb::str("{}, not {!r}: {}").format(usage, options[key], e.value()));
        }
    }
    bool good = nb::isinstance<nb::dict>(value);
    if (good)
        for (auto [k, v] : nb::borrow<nb::dict>(value)) {
            good = good && nb::isinstance<nb::str>(k);
            if (!lists && nb::isinstance<nb::dict>(v)) {
                for (auto [name, target] : nb::borrow<nb::dict>(v))
                    good = good && nb::isinstance<nb::str>(name) && nb::isinstance<nb::str>(target);
            } else if (!lists)
                good = good && nb::isinstance<nb::str>(v);
            else if (!nb::isinstance<nb::list>(v))
                good = false;
            else
                for (nb::handle item : v)
                    good = good && nb::isinstance<nb::str>(item);
        }
    if (!good)
        fail(nb::str("{}, not {!r}").format(usage, options[key]));
    options[key] = value;
}

// The metadata fields of the command line are checked (and normalised) as
// setuptools would check them, before anything is compiled.
static void check_fields(nb::handle options) {
    nb::object version = get(options, "version", nb::none());
    nb::object license = get(options, "license", nb::none());
    nb::object extra = get(options, "extra", nb::none());
    const char *field = "--version";
    try {
        if (!version.is_none())
            options["version"] = nb::str(mine("Version")(nb::str(version)));
        field = "--license";
        if (!license.is_none())
            options["license"] = mine("canonicalize_license_expression")(nb::str(license));
        field = "--extra";
        if (!extra.is_none())
            for (auto [name, reqs] : nb::borrow<nb::dict>(extra))
                for (nb::handle req : reqs)
                    mine("Requirement")(req);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        fail_from(e, nb::str("{}: {}").format(field, e.value()));
    }
}

// ---------------------------------------------------------------- settings

static void fill(nb::handle options, const char *key, nb::handle fallback) {
    if (get(options, key, nb::none()).is_none())
        options[key] = fallback;
}

/// Settles the options of a build: options["route"] is "project" (a
/// pyproject.toml of the project's own: its back end builds the pure wheel),
/// "wheel" (--from-wheel) or "layout" (a package folder and the project/
/// files, options["packages"] its one package).
static void settings(nb::handle options) {
    require_exact(options, &PyDict_Type, "settings", "options");
    // Settled already (a caller may hand on options it has settled): nothing to do.
    if (!get(options, "route", nb::none()).is_none())
        return;
    nb::object doc = read_doc();
    const char *route = "layout";
    if (!get(options, "from_wheel", nb::none()).is_none())
        route = "wheel";
    else if (!doc.is_none() && (nb::borrow<nb::dict>(doc).contains("project") ||
                                nb::borrow<nb::dict>(doc).contains("build-system")))
        route = "project";
    else if (truthy(mine("os").attr("path").attr("isfile")("setup.py"))) {
        // A setup.py and no pyproject.toml, or one of tools' settings only:
        // built as PEP 517 front ends build it, through setuptools' legacy
        // back end, unless the -n layout's options say otherwise.
        bool named = false;
        for (auto &pair : LAYOUT_OPTIONS)
            named = named || !get(options, pair[0], nb::none()).is_none();
        if (!named)
            route = "project";
    }
    bool layout = std::string(route) == "layout";
    nb::dict tool = tool_table(doc);

    check_pattern(get(options, "exclude", nb::none()), nb::str("--exclude"));
    check_pattern(get(options, "keep", nb::none()), nb::str("--keep"));
    nb::object jobs = get(options, "jobs", nb::none());
    if (!jobs.is_none() && (!is_int(jobs) || jobs < nb::int_(1)))
        fail(nb::str("--jobs must be a whole number of at least 1, not {!r}").format(jobs));

    // Every module is compiled unless the user says otherwise.
    fill(options, "exclude", get(tool, "exclude", nb::none()));
    fill(options, "keep", get(tool, "keep", nb::none()));
    fill(options, "abi3", get(tool, "abi3", nb::bool_(true)));
    fill(options, "jobs", get(tool, "jobs", nb::none()));
    // The team's store: the command line, else the environment, else the project.
    fill(options, "remote_cache", get(mine("os").attr("environ"), "TOVEL_REMOTE_CACHE", nb::none()));
    fill(options, "remote_cache", get(tool, "remote-cache", nb::none()));
    if (!get(options, "remote_cache", nb::none()).is_none() && nb::len(nb::str(options["remote_cache"])) == 0)
        options["remote_cache"] = nb::none();
    nb::object command = get(options, "test_command", nb::none());
    if (!command.is_none() && !truthy(nb::str(command).attr("strip")()))
        fail("--test-command must not be empty");
    check_seconds(get(options, "test_timeout", nb::none()), nb::str("--test-timeout"));
    nb::object requires = get(options, "test_requires", nb::none());
    if (nb::isinstance<nb::str>(requires))
        options["test_requires"] = requires.attr("split")();
    if (!requires.is_none())
        check_requirements(options["test_requires"], nb::str("--test-requires"));
    fill(options, "test_command", get(tool, "test-command", nb::none()));
    // None: not given, and the requirements found for the tests are theirs.
    fill(options, "test_requires", get(tool, "test-requires", nb::none()));
    fill(options, "test_timeout", get(tool, "test-timeout", nb::none()));
    fill(options, "keep_failing", get(tool, "keep-failing", nb::bool_(false)));

    // The directives of [tool.tovel] come first, those given after them, so
    // that a name given again wins.
    nb::list directives;
    for (auto [name, value] : table(tool, "directives", "[tool.tovel] directives")) {
        nb::str text = nb::str("{}={}").format(name, value);
        check_directive(text, nb::str("pyproject.toml: [tool.tovel] directives.{}").format(name));
        directives.append(text);
    }
    nb::object given = get(options, "directive", nb::none());
    if (nb::isinstance<nb::str>(given)) {
        nb::list one;
        one.append(given);
        given = one;
    }
    if (!given.is_none())
        for (nb::handle text : given) {
            check_directive(text, nb::str("--directive"));
            directives.append(text);
        }
    options["directive"] = directives;

    if (!layout) {
        // A wheel's metadata is its back end's: nothing of it is replaced.
        for (auto &pair : LAYOUT_OPTIONS)
            if (!get(options, pair[0], nb::none()).is_none())
                fail(nb::str("{} is for the -n layout (a package folder without pyproject.toml): "
                             "{}")
                         .format(pair[1], std::string(route) == "wheel"
                                              ? "a wheel's metadata is kept as it is"
                                              : "a project's metadata is its back end's, kept as it is: "
                                                "change it in pyproject.toml's [project] table (or setup.py), "
                                                "or where its back end reads a dynamic value from"));
        options["route"] = route;
        return;
    }
    json_option(options, "extra", true);
    json_option(options, "entry", false);
    check_fields(options);
    // A bare package folder: its metadata is what the options give.
    nb::module_::import_("tovel.layout").attr("settle")(options);
    options["route"] = route;
}

/// The back end tovel.build_meta wraps: [tool.tovel] backend, by default
/// setuptools' own.
static nb::str backend() {
    nb::object doc = read_doc();
    return nb::str(get(tool_table(doc), "backend", nb::str("setuptools.build_meta")));
}

// ---------------------------------------------------------------- metadata

/// The .dist-info folder of the -n layout, written into outdir from the
/// options and the project/ files (tovel.layout).
static nb::str dist_info(nb::handle options, nb::handle outdir) {
    require_exact(options, &PyDict_Type, "dist_info", "options");
    settings(options);
    if (!nb::str(options["route"]).equal(nb::str("layout")))
        fail("tov writes the metadata of the -n layout only: a project's is its back end's");
    return nb::str(nb::module_::import_("tovel.layout").attr("dist_info")(options, outdir));
}

TOVEL_MODULE(pyproject, m) {
    for (const char *name : {"json", "os", "re", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("canonicalize_license_expression") =
        nb::module_::import_("packaging.licenses").attr("canonicalize_license_expression");
    m.attr("parse_directive_list") =
        nb::module_::import_("Cython.Compiler.Options").attr("parse_directive_list");

    m.def("settings", &settings, "options"_a.none(),
          nb::sig("def settings(options: dict) -> None"),
          "Complete the options of tov bdist from pyproject.toml ([tool.tovel]) and the "
          "defaults; sets options['route'] (project, wheel or layout), and for the -n layout "
          "options['packages'].");
    m.def("backend", &backend, nb::sig("def backend() -> str"),
          "The PEP 517 back end tovel.build_meta wraps: [tool.tovel] backend, by default "
          "setuptools.build_meta.");
    m.def("dist_info", &dist_info, "options"_a.none(), "outdir"_a.none(),
          nb::sig("def dist_info(options: dict, outdir: str) -> str"),
          "Write the .dist-info folder of the -n layout (METADATA, entry points, licences) "
          "into outdir and return its path.");
}
