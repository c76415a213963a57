// tovel.pyproject: the project side of a build. Reads pyproject.toml (the
// [tool.tovel] settings, the packages to compile) and writes what setuptools
// makes of the project's metadata: the wheel's .dist-info folder and the
// source distribution. The user's pyproject.toml is only read; setuptools
// works in temporary folders and what it leaves in the project is removed.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.pyproject";

static nb::object mine(const char *name) { return global(MOD, name); }

// The keys of [tool.tovel], in the order the error message names them.
static const char *const TOVEL_KEYS[] = {"exclude",      "keep",          "abi3",         "directives",
                                         "jobs",         "test-command",  "test-requires", "test-timeout",
                                         "keep-failing"};

[[noreturn]] static void fail(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

[[noreturn]] static void fail(const char *message) { fail(nb::str(message)); }

// A ValueError with `message` whose cause is the error being handled, so
// that a traceback, when one is printed, still shows where it came from.
[[noreturn]] static void fail_from(nb::python_error &e, nb::handle message) {
    nb::object exc = builtin("ValueError")(message);
    PyException_SetCause(exc.ptr(), nb::borrow(e.value()).release().ptr());
    PyErr_SetObject(PyExc_ValueError, exc.ptr());
    throw nb::python_error();
}

// One line of an error of setuptools: its schema errors read "invalid
// pyproject.toml config: `x`.\nconfiguration error: `x` must be ...", and
// the second line says it all; otherwise the first line that is not empty.
static nb::str summary(nb::handle exc) {
    nb::str first("");
    for (nb::handle line : nb::str(exc).attr("splitlines")()) {
        nb::str text(line.attr("strip")());
        if (truthy(text.attr("startswith")("configuration error: ")))
            return nb::str(text.attr("removeprefix")("configuration error: "));
        if (nb::len(first) == 0)
            first = text;
    }
    if (nb::len(first) == 0)
        return nb::str(nb::handle((PyObject *) Py_TYPE(exc.ptr())).attr("__name__"));
    return first;
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
        if (!known)
            fail(nb::str("pyproject.toml: [tool.tovel] has no key {!r}; its keys are exclude, "
                         "keep, abi3, directives, jobs, test-command, test-requires, test-timeout "
                         "and keep-failing")
                     .format(key));
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
                          "such as '{\"mycmd\": \"mypkg.cli:main\"}'");
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
            if (!lists)
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

// ---------------------------------------------------------------- setuptools

// In a flat layout (no src folder, no package settings) setuptools refuses
// to guess among several top-level folders. Every top-level folder with an
// __init__.py that setuptools does not reserve (tests, docs, build, ...) is
// a package here, with its subpackages; None leaves discovery to setuptools.
static nb::object flat_packages(nb::handle doc) {
    nb::object os = mine("os");
    if (doc.is_none())
        return nb::none();
    nb::dict st = table(table(doc, "tool", "[tool]"), "setuptools", "[tool.setuptools]");
    for (const char *key : {"packages", "package-dir", "py-modules"})
        if (st.contains(key))
            return nb::none();
    if (truthy(os.attr("path").attr("isdir")("src")))
        return nb::none();
    nb::list found;
    nb::object subpackages = mine("PEP420PackageFinder").attr("find");
    for (nb::handle name : mine("FlatLayoutPackageFinder").attr("find")(".")) {
        nb::str top(name);
        if (truthy(top.attr("__contains__")(".")) ||
            !truthy(os.attr("path").attr("isfile")(os.attr("path").attr("join")(top, "__init__.py"))))
            continue;
        found.append(top);
        for (nb::handle sub : subpackages(top))
            found.append(top + nb::str(".") + nb::str(sub));
    }
    return found;
}

/// A setuptools Distribution of the working directory's project, configured
/// from its pyproject.toml (and setup.cfg) as setuptools' own back end does.
static nb::object distribution(nb::list script_args) {
    nb::object doc = read_doc();
    nb::dict attrs;
    attrs["script_name"] = "setup.py";
    attrs["script_args"] = script_args;
    try {
        nb::object dist = mine("Distribution")(attrs);
        nb::object preset = flat_packages(doc);
        if (!preset.is_none())
            dist.attr("packages") = preset;
        dist.attr("parse_config_files")();
        // setuptools' discovery (src layout, package-dir), which its commands
        // would run later: its packages are needed now.
        dist.attr("set_defaults")();
        return dist;
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        nb::str line = summary(e.value());
        if (truthy(line.attr("startswith")("pyproject.toml")))
            fail_from(e, line);
        fail_from(e, nb::str("pyproject.toml: ") + line);
    }
}

/// The top-level packages of a configured Distribution, as [name, folder].
static nb::list top_level(nb::handle dist) {
    nb::object os = mine("os");
    nb::object modules = dist.attr("py_modules");
    if (!modules.is_none() && nb::len(modules) > 0)
        fail(nb::str("pyproject.toml: the project has top-level modules ({}), and tov compiles "
                     "packages only: move them into a package, or name the packages in "
                     "[tool.setuptools] packages")
                 .format(nb::str(", ").attr("join")(modules)));
    nb::object packages = dist.attr("packages");
    if (packages.is_none())
        packages = nb::list();
    nb::object package_dir = dist.attr("package_dir");
    if (package_dir.is_none())
        package_dir = nb::dict();
    nb::set names(packages);
    nb::list result;
    nb::set seen;
    for (nb::handle name : packages) {
        nb::object parent = nb::str(name).attr("rpartition")(".")[0];
        if (names.contains(parent) || seen.contains(name))
            continue;
        seen.add(name);
        nb::object path = mine("find_package_path")(name, package_dir, ".");
        nb::str folder(os.attr("path").attr("relpath")(path).attr("replace")(os.attr("sep"), "/"));
        if (!truthy(os.attr("path").attr("isdir")(folder)))
            fail(nb::str("pyproject.toml: [tool.setuptools] packages names {!r}, and there is "
                         "no folder {}")
                     .format(name, folder));
        nb::list pair;
        pair.append(name);
        pair.append(folder);
        result.append(pair);
    }
    // In name order: discovery walks the folders in the file system's order.
    result.sort();
    if (nb::len(result) == 0)
        fail("pyproject.toml: no package found: tov compiles packages (folders with "
             "__init__.py) beside pyproject.toml or under src, or those named in "
             "[tool.setuptools] packages");
    return result;
}

// ---------------------------------------------------------------- settings

static void fill(nb::handle options, const char *key, nb::handle fallback) {
    if (get(options, key, nb::none()).is_none())
        options[key] = fallback;
}

/// -n in a project with [project]: one of its packages, by import name or folder.
static nb::list select_package(nb::list packages, nb::handle name) {
    nb::object os = mine("os");
    nb::str wanted(os.attr("path").attr("normpath")(name).attr("replace")(os.attr("sep"), "/"));
    nb::list listed;
    for (nb::handle pair : packages) {
        if (pair[0].equal(name) || pair[1].equal(wanted)) {
            nb::list one;
            one.append(pair);
            return one;
        }
        listed.append(nb::str("{} ({})").format(pair[0], pair[1]));
    }
    fail(nb::str("--name {!r} is none of the packages of pyproject.toml: {}")
             .format(name, nb::str(", ").attr("join")(listed)));
}

static void settings(nb::handle options) {
    require_exact(options, &PyDict_Type, "settings", "options");
    // Settled already (a caller may hand on options it has settled): nothing to do.
    if (!get(options, "project_mode", nb::none()).is_none())
        return;
    nb::object doc = read_doc();
    bool project_mode = !doc.is_none() && nb::borrow<nb::dict>(doc).contains("project");
    nb::dict tool = tool_table(doc);

    check_pattern(get(options, "exclude", nb::none()), nb::str("--exclude"));
    check_pattern(get(options, "keep", nb::none()), nb::str("--keep"));
    nb::object jobs = get(options, "jobs", nb::none());
    if (!jobs.is_none() && (!is_int(jobs) || jobs < nb::int_(1)))
        fail(nb::str("--jobs must be a whole number of at least 1, not {!r}").format(jobs));

    // A project's modules are all compiled unless it says otherwise; the
    // old default "unit" stays for projects without [project].
    fill(options, "exclude", get(tool, "exclude", project_mode ? nb::object(nb::none()) : nb::object(nb::str("unit"))));
    fill(options, "keep", get(tool, "keep", nb::none()));
    fill(options, "abi3", get(tool, "abi3", nb::bool_(true)));
    fill(options, "jobs", get(tool, "jobs", nb::none()));
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
    fill(options, "test_requires", get(tool, "test-requires", nb::list()));
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
    json_option(options, "extra", true);
    json_option(options, "entry", false);
    check_fields(options);

    nb::list packages;
    if (project_mode) {
        nb::object dist = distribution(nb::list());
        packages = top_level(dist);
        if (dist.attr("metadata").attr("version").is_none() &&
            get(options, "version", nb::none()).is_none())
            fail("pyproject.toml: [project] has no version: set version, or list it in dynamic "
                 "with its source in [tool.setuptools.dynamic]");
        nb::object name = get(options, "name", nb::none());
        if (!name.is_none())
            packages = select_package(packages, name);
        options["name"] = doc["project"]["name"];
    } else {
        fill(options, "name", nb::str("vemo"));
        nb::object name = options["name"];
        require_package_folder(name);
        nb::list pair;
        pair.append(name);
        pair.append(name);
        packages.append(pair);
        fill(options, "version", nb::str("1.2.4"));
        fill(options, "description", nb::str("description"));
        fill(options, "license", nb::str("MIT"));
        fill(options, "extra", nb::dict());
        fill(options, "entry", nb::dict());
    }
    options["packages"] = packages;
    options["project_mode"] = nb::bool_(project_mode);
}

// ---------------------------------------------------------------- metadata

/// The command line's single fields in place of the project's own.
static void override_fields(nb::handle dist, nb::handle options) {
    nb::object md = dist.attr("metadata");
    nb::object version = get(options, "version", nb::none());
    if (!version.is_none())
        md.attr("version") = version;
    nb::object description = get(options, "description", nb::none());
    if (!description.is_none())
        md.attr("description") = nb::str(description);
    nb::object license = get(options, "license", nb::none());
    if (!license.is_none()) {
        md.attr("license_expression") = license;
        md.attr("license") = nb::none();
        // A licence classifier beside an expression is an error to setuptools.
        // The list keeps its type: setuptools marks a value of another type Dynamic.
        nb::object classifiers = md.attr("classifiers");
        nb::list kept;
        for (nb::handle c : classifiers)
            if (!truthy(nb::str(c).attr("startswith")("License ::")))
                kept.append(c);
        md.attr("classifiers") = builtin("type")(classifiers)(kept);
    }
    nb::object extra = get(options, "extra", nb::none());
    if (!extra.is_none()) {
        nb::dict extras;
        for (auto [name, reqs] : nb::borrow<nb::dict>(extra))
            extras[name] = nb::list(reqs);
        dist.attr("extras_require") = extras;
        md.attr("extras_require") = extras;
    }
    nb::object entry = get(options, "entry", nb::none());
    if (!entry.is_none()) {
        nb::object old = dist.attr("entry_points");
        nb::dict groups = old.is_none() ? nb::dict() : nb::borrow<nb::dict>(builtin("dict")(old));
        nb::list scripts;
        for (auto [command, target] : nb::borrow<nb::dict>(entry))
            scripts.append(nb::str("{} = {}").format(command, target));
        groups["console_scripts"] = scripts;
        dist.attr("entry_points") = groups;
    }
}

/// Runs one setuptools command on the project in a fresh temporary folder and
/// moves the one thing it made there (matching `pattern`) into outdir.
static nb::str run_into(nb::handle dist, nb::handle tmp, const char *pattern, nb::handle outdir) {
    nb::object os = mine("os"), shutil = mine("shutil");
    dist.attr("parse_command_line")();
    dist.attr("run_commands")();
    nb::list made(mine("glob").attr("glob")(os.attr("path").attr("join")(tmp, pattern)));
    if (nb::len(made) != 1) {
        PyErr_Format(PyExc_RuntimeError, "setuptools made %S in %S, not one %s", made.ptr(),
                     tmp.ptr(), pattern);
        throw nb::python_error();
    }
    os.attr("makedirs")(outdir, "exist_ok"_a = true);
    nb::object target = os.attr("path").attr("join")(outdir, os.attr("path").attr("basename")(made[0]));
    if (truthy(os.attr("path").attr("isdir")(target)))
        shutil.attr("rmtree")(target);
    shutil.attr("move")(made[0], target);
    return nb::str(target);
}

static nb::list args_for(std::initializer_list<const char *> words, nb::handle last) {
    nb::list args;
    for (const char *w : words)
        args.append(w);
    args.append(last);
    return args;
}

static nb::str dist_info(nb::handle options, nb::handle outdir) {
    require_exact(options, &PyDict_Type, "dist_info", "options");
    settings(options);
    bool project_mode = truthy(options["project_mode"]);
    // Without [project], the tool's own pyproject.toml is the project's.
    if (!project_mode)
        mine("project")(options);
    nb::object tmp = mine("tempfile").attr("mkdtemp")("prefix"_a = "tovel-dist-info-");
    try {
        nb::object dist = distribution(args_for({"-q", "dist_info", "--output-dir"}, tmp));
        // The packages shipped are those settled (top_level.txt lists them).
        nb::list names;
        nb::dict dirs;
        for (nb::handle pair : options["packages"]) {
            names.append(pair[0]);
            dirs[pair[0]] = pair[1];
        }
        dist.attr("packages") = names;
        dist.attr("package_dir") = dirs;
        dist.attr("py_modules") = nb::list();
        if (project_mode)
            override_fields(dist, options);
        nb::str target = run_into(dist, tmp, "*.dist-info", outdir);
        mine("shutil").attr("rmtree")(tmp, "ignore_errors"_a = true);
        return target;
    } catch (...) {
        mine("shutil").attr("rmtree")(tmp, "ignore_errors"_a = true);
        throw;
    }
}

/// Runs a setuptools command on the project (sdist, editable_wheel) with a
/// fresh temporary folder as its --dist-dir and moves what it made there into
/// outdir. The egg-info folder that it leaves in the project goes again.
static nb::str by_setuptools(nb::handle options, nb::list script_args, const char *pattern,
                             nb::handle outdir) {
    require_exact(options, &PyDict_Type, "by_setuptools", "options");
    settings(options);
    if (!truthy(options["project_mode"]))
        fail("pyproject.toml: no [project] table: tovel builds this from the project's own "
             "metadata there");
    nb::object os = mine("os"), shutil = mine("shutil");
    nb::object tmp = mine("tempfile").attr("mkdtemp")("prefix"_a = "tovel-");
    nb::object leftover = nb::none();
    try {
        script_args.append("--dist-dir");
        script_args.append(tmp);
        nb::object dist = distribution(script_args);
        nb::object egg_info = dist.attr("get_command_obj")("egg_info");
        egg_info.attr("ensure_finalized")();
        if (!truthy(os.attr("path").attr("exists")(egg_info.attr("egg_info"))))
            leftover = egg_info.attr("egg_info");
        nb::str target = run_into(dist, tmp, pattern, outdir);
        if (!leftover.is_none())
            shutil.attr("rmtree")(leftover, "ignore_errors"_a = true);
        shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
        return target;
    } catch (...) {
        if (!leftover.is_none())
            shutil.attr("rmtree")(leftover, "ignore_errors"_a = true);
        shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
        throw;
    }
}

static nb::str sdist(nb::handle options, nb::handle outdir) {
    nb::list args;
    for (const char *word : {"-q", "sdist", "--formats", "gztar"})
        args.append(word);
    return by_setuptools(options, args, "*.tar.gz", outdir);
}

// The same packages as a compiled build, as sources: setuptools' editable
// wheel, with the .dist-info made before when there is one.
static nb::str editable(nb::handle options, nb::handle outdir, nb::handle metadata_directory,
                        nb::handle mode) {
    nb::list args;
    args.append("-q");
    args.append("editable_wheel");
    if (!metadata_directory.is_none()) {
        nb::list made(mine("glob").attr("glob")(
            mine("os").attr("path").attr("join")(metadata_directory, "*.dist-info")));
        if (nb::len(made) == 1) {
            args.append("--dist-info-dir");
            args.append(made[0]);
        }
    }
    if (!mode.is_none()) {
        args.append("--mode");
        args.append(mode);
    }
    // The editable_wheel command runs setuptools' install machinery, which
    // warns that "setup.py install" is deprecated: not what happens here.
    nb::object warnings = nb::module_::import_("warnings");
    nb::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")("ignore", "setup.py install is deprecated");
        nb::str wheel = by_setuptools(options, args, "*.whl", outdir);
        quiet.attr("__exit__")(nb::none(), nb::none(), nb::none());
        return wheel;
    } catch (...) {
        quiet.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
}

TOVEL_MODULE(pyproject, m) {
    for (const char *name : {"glob", "json", "os", "re", "shutil", "tempfile", "tomllib"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Distribution") = nb::module_::import_("setuptools.dist").attr("Distribution");
    nb::module_ discovery = nb::module_::import_("setuptools.discovery");
    for (const char *name : {"FlatLayoutPackageFinder", "PEP420PackageFinder", "find_package_path"})
        m.attr(name) = discovery.attr(name);
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("canonicalize_license_expression") =
        nb::module_::import_("packaging.licenses").attr("canonicalize_license_expression");
    m.attr("parse_directive_list") =
        nb::module_::import_("Cython.Compiler.Options").attr("parse_directive_list");
    m.attr("project") = nb::module_::import_("tovel.metagen").attr("project");

    m.def("settings", &settings, "options"_a.none(),
          nb::sig("def settings(options: dict) -> None"),
          "Complete the options of tov bdist from pyproject.toml ([tool.tovel], the packages) "
          "and the defaults; sets options['project_mode'] and options['packages'].");
    m.def("dist_info", &dist_info, "options"_a.none(), "outdir"_a.none(),
          nb::sig("def dist_info(options: dict, outdir: str) -> str"),
          "Write the wheel's .dist-info folder (METADATA, entry points, licences) into outdir "
          "and return its path.");
    m.def("sdist", &sdist, "options"_a.none(), "outdir"_a.none(),
          nb::sig("def sdist(options: dict, outdir: str) -> str"),
          "Write the project's source distribution (.tar.gz) into outdir and return its path.");
    m.def("editable", &editable, "options"_a.none(), "outdir"_a.none(),
          "metadata_directory"_a.none() = nb::none(), "mode"_a.none() = nb::none(),
          nb::sig("def editable(options: dict, outdir: str, metadata_directory: str | None = None, "
                  "mode: str | None = None) -> str"),
          "Write an editable wheel of the project (its sources, through setuptools) into "
          "outdir and return its path.");
}
