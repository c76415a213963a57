// tovel.build_meta: the PEP 517 and PEP 660 build back end. It wraps the
// project's own back end ([tool.tovel] backend, by default setuptools'):
// the sdist, the editable wheel, the metadata and their requirements are
// that back end's own; the wheel is that back end's wheel compiled, as
// tov bdist --from-wheel compiles it (tovel.packer). So python -m build,
// pip, uv or cibuildwheel give the project's own sdist and the compiled twin
// of its own wheel. Config settings of tovel (exclude, keep, abi3, directive,
// jobs) are tovel's; the others go to the wrapped back end. Modules are
// imported when a hook runs, not when this one loads. An expected failure
// is one line on stderr and exit status 1.
#include "common.h"

using namespace tovel;

// The config settings that tov bdist's options take.
static const char *const SETTINGS[] = {"exclude",      "keep",          "abi3",         "directive",   "jobs",
                                       "test-command", "test-requires", "test-timeout", "keep-failing"};

template <size_t N> static bool listed(nb::handle key, const char *const (&names)[N]) {
    for (const char *name : names)
        if (nb::str(key).equal(nb::str(name)))
            return true;
    return false;
}

[[noreturn]] static void refuse(nb::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

// The config settings that are not tovel's, for the wrapped back end (None
// when there are none, as a front end passes no settings).
static nb::object theirs(nb::handle config_settings) {
    if (config_settings.is_none())
        return nb::none();
    nb::dict out;
    for (auto [key, value] : nb::borrow<nb::dict>(config_settings))
        if (!listed(key, SETTINGS))
            out[key] = value;
    return nb::len(out) ? nb::object(out) : nb::object(nb::none());
}

// "true", "1", "yes", "on" and their opposites; "" is off, as --abi3 "" is.
static nb::object switch_value(nb::handle text, nb::handle key) {
    nb::str word(nb::str(text).attr("strip")().attr("lower")());
    for (const char *yes : {"true", "1", "yes", "on"})
        if (word.equal(nb::str(yes)))
            return nb::bool_(true);
    for (const char *no : {"false", "0", "no", "off", ""})
        if (word.equal(nb::str(no)))
            return nb::bool_(false);
    refuse(nb::str("config setting {} takes true or false, not {!r}").format(key, text));
}

/// The options of tov bdist as its command line gives them with no option
/// (all None), with tovel's config settings in their place. A front end
/// passes a key given more than once as a list: directive collects every
/// value, the other keys take the last, as a repeated command-line option does.
static nb::dict options_from(nb::handle config_settings) {
    nb::dict options;
    for (const char *key : {"name", "abi3", "exclude", "keep", "directive", "jobs", "mscv",
                            "version", "description", "license", "extra", "entry", "test_command",
                            "test_requires", "test_timeout", "keep_failing"})
        options[key] = nb::none();
    // A front end's build runs the project's tests only when asked (test-command).
    options["no_test"] = true;
    if (config_settings.is_none())
        return options;
    for (auto [key, value] : nb::borrow<nb::dict>(config_settings)) {
        nb::list values;
        if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value))
            values = nb::list(value);
        else
            values.append(value);
        if (nb::len(values) == 0 || !listed(key, SETTINGS))
            continue;
        nb::str name(key);
        nb::object last = values[nb::len(values) - 1];
        if (name.equal(nb::str("directive"))) {
            nb::list texts;
            for (nb::handle v : values)
                texts.append(nb::str(v));
            options["directive"] = texts;
        } else if (name.equal(nb::str("abi3")) || name.equal(nb::str("keep-failing"))) {
            options[name.attr("replace")("-", "_")] = switch_value(last, name);
        } else if (name.equal(nb::str("test-requires"))) {
            // Requirements separated by spaces, as the wheel-building CI tools take them.
            nb::list reqs;
            for (nb::handle v : values)
                reqs.attr("extend")(nb::str(v).attr("split")());
            options["test_requires"] = reqs;
        } else if (name.equal(nb::str("test-timeout"))) {
            try {
                options["test_timeout"] = builtin("float")(nb::str(last));
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ValueError))
                    throw;
                refuse(nb::str("config setting test-timeout takes a number of seconds, not {!r}").format(last));
            }
        } else if (name.equal(nb::str("jobs"))) {
            nb::object digits = nb::module_::import_("re").attr("fullmatch")(
                "[1-9][0-9]*", nb::str(last).attr("strip")());
            if (digits.is_none())
                refuse(nb::str("config setting jobs takes a whole number of at least 1, not {!r}")
                           .format(last));
            options["jobs"] = builtin("int")(digits.attr("group")());
        } else {
            options[name.attr("replace")("-", "_")] = nb::str(last);
        }
    }
    return options;
}

// The failures a user can meet and mend (bad settings, a bad project, a
// failed compile), as opposed to faults of the tool, which keep their traceback.
static bool expected(nb::python_error &e) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_OSError) ||
           e.matches(PyExc_RuntimeError);
}

template <typename F> static nb::object guarded(F body) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!expected(e))
            throw;
        nb::module_ sys = nb::module_::import_("sys");
        sys.attr("stdout").attr("flush")();
        print(nb::str("error: {}").format(e.value()), "file"_a = sys.attr("stderr"));
        PyErr_SetObject(PyExc_SystemExit, nb::int_(1).ptr());
        throw nb::python_error();
    }
}

static nb::object basename(nb::handle path) {
    return nb::module_::import_("os").attr("path").attr("basename")(path);
}

static nb::object absolute(nb::handle path) {
    return nb::module_::import_("os").attr("path").attr("abspath")(path);
}

/// The wrapped back end: the object [tool.tovel] backend names
/// (module or module:object), imported.
static nb::object wrapped() {
    nb::str named(nb::module_::import_("tovel.pyproject").attr("backend")());
    nb::object parts = named.attr("partition")(":");
    try {
        nb::object backend = nb::module_::import_("importlib").attr("import_module")(parts[0]);
        for (nb::handle name : nb::str(parts[2]).attr("split")("."))
            if (nb::len(name))
                backend = nb::getattr(backend, name);
        return backend;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError))
            throw;
        refuse(nb::str("the back end {} that tovel wraps ([tool.tovel] backend) cannot be "
                       "imported ({}): list its package in [build-system] requires")
                   .format(named, e.value()));
    }
}

// A hook of the wrapped back end: its failure is its own (its traceback),
// then one line naming the stage, and exit status 1. setuptools is pointed
// at a configuration that keeps its egg-info folder out of the project
// (unless the caller points it elsewhere).
template <typename F> static nb::object wrapped_call(const char *stage, F body) {
    nb::object os = nb::module_::import_("os"), shutil = nb::module_::import_("shutil");
    nb::object environ = os.attr("environ");
    nb::object tmp = nb::none();
    if (!truthy(environ.attr("__contains__")("DIST_EXTRA_CONFIG"))) {
        tmp = nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = "tovel-egg-");
        nb::object config = os.attr("path").attr("join")(tmp, "setuptools.cfg");
        nb::module_::import_("pathlib").attr("Path")(config).attr("write_text")(
            nb::str("[egg_info]\negg_base = {}\n").format(tmp), "encoding"_a = "utf-8");
        environ["DIST_EXTRA_CONFIG"] = config;
    }
    auto restore = [&] {
        if (tmp.is_none())
            return;
        environ.attr("pop")("DIST_EXTRA_CONFIG", nb::none());
        shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
    };
    try {
        nb::object result = body();
        restore();
        return result;
    } catch (nb::python_error &e) {
        restore();
        // setuptools fails with SystemExit("error: ..."): its message is its own line.
        bool exit = e.matches(PyExc_SystemExit);
        if (!ordinary(e) && !exit)
            throw;
        nb::module_ sys = nb::module_::import_("sys");
        sys.attr("stdout").attr("flush")();
        if (exit)
            print(e.value(), "file"_a = sys.attr("stderr"));
        else
            nb::module_::import_("traceback").attr("print_exception")(e.value());
        print(nb::str("error: the back end {} failed to {}")
                  .format(nb::module_::import_("tovel.pyproject").attr("backend")(), stage),
              "file"_a = sys.attr("stderr"));
        PyErr_SetObject(PyExc_SystemExit, nb::int_(1).ptr());
        throw nb::python_error();
    }
}

// The requirements the wrapped back end reports for `hook`, or none when it
// has no such hook; tovel's own came with tovel.
static nb::object requires(const char *hook, nb::handle config_settings) {
    return guarded([&] {
        nb::object backend = wrapped();
        if (!nb::hasattr(backend, hook))
            return nb::object(nb::list());
        return wrapped_call("report its requirements",
                            [&] { return nb::object(nb::list(backend.attr(hook)(theirs(config_settings)))); });
    });
}

/// The wrapped back end's wheel, compiled: built in a temporary folder, then
/// the route of tov bdist --from-wheel.
static nb::object build_wheel(nb::handle wheel_directory, nb::handle config_settings,
                              nb::handle metadata_directory) {
    return guarded([&] {
        nb::dict options = options_from(config_settings);
        nb::object backend = wrapped();
        nb::object os = nb::module_::import_("os"), shutil = nb::module_::import_("shutil");
        nb::object tmp = nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = "tovel-pure-");
        try {
            // Settled first, so that a bad setting stops before anything is built.
            options["from_wheel"] = tmp;
            nb::module_::import_("tovel.pyproject").attr("settings")(options);
            nb::object name = wrapped_call("build its wheel", [&] {
                return backend.attr("build_wheel")(tmp, theirs(config_settings), metadata_directory);
            });
            options["from_wheel"] = os.attr("path").attr("join")(tmp, name);
            nb::object wheel = nb::module_::import_("tovel.packer")
                                   .attr("bdist")(options, absolute(wheel_directory));
            shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
            return basename(wheel);
        } catch (...) {
            shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
            throw;
        }
    });
}

static nb::object build_sdist(nb::handle sdist_directory, nb::handle config_settings) {
    return guarded([&] {
        nb::object backend = wrapped();
        return wrapped_call("build its sdist", [&] {
            return backend.attr("build_sdist")(sdist_directory, theirs(config_settings));
        });
    });
}

static nb::object build_editable(nb::handle wheel_directory, nb::handle config_settings,
                                 nb::handle metadata_directory) {
    return guarded([&] {
        nb::object backend = wrapped();
        if (!nb::hasattr(backend, "build_editable"))
            refuse(nb::str("the back end {} makes no editable wheels")
                       .format(nb::module_::import_("tovel.pyproject").attr("backend")()));
        return wrapped_call("build its editable wheel", [&] {
            return backend.attr("build_editable")(wheel_directory, theirs(config_settings),
                                                  metadata_directory);
        });
    });
}

// The wrapped back end's metadata; one without the hook has its .dist-info
// taken from the wheel it builds, as a front end would.
static nb::object metadata(const char *hook, const char *build, nb::handle metadata_directory,
                           nb::handle config_settings) {
    return guarded([&] {
        nb::object backend = wrapped();
        if (nb::hasattr(backend, hook))
            return wrapped_call("prepare its metadata", [&] {
                return backend.attr(hook)(metadata_directory, theirs(config_settings));
            });
        nb::object shutil = nb::module_::import_("shutil");
        nb::object tmp = nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = "tovel-meta-");
        try {
            nb::object name = wrapped_call("build its wheel", [&] {
                return backend.attr(build)(tmp, theirs(config_settings));
            });
            nb::object info = nb::module_::import_("tovel.unpacker").attr("dist_info_of")(
                nb::module_::import_("os").attr("path").attr("join")(tmp, name), metadata_directory);
            shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
            return info;
        } catch (...) {
            shutil.attr("rmtree")(tmp, "ignore_errors"_a = true);
            throw;
        }
    });
}

static nb::object get_requires_for_build_wheel(nb::handle cs) { return requires("get_requires_for_build_wheel", cs); }
static nb::object get_requires_for_build_sdist(nb::handle cs) { return requires("get_requires_for_build_sdist", cs); }
static nb::object get_requires_for_build_editable(nb::handle cs) { return requires("get_requires_for_build_editable", cs); }
static nb::object prepare_metadata_for_build_wheel(nb::handle md, nb::handle cs) {
    return metadata("prepare_metadata_for_build_wheel", "build_wheel", md, cs);
}
static nb::object prepare_metadata_for_build_editable(nb::handle md, nb::handle cs) {
    return metadata("prepare_metadata_for_build_editable", "build_editable", md, cs);
}

TOVEL_MODULE(build_meta, m) {
    m.def("build_wheel", &build_wheel, "wheel_directory"_a.none(),
          "config_settings"_a.none() = nb::none(), "metadata_directory"_a.none() = nb::none(),
          nb::sig("def build_wheel(wheel_directory: str, config_settings: dict | None = None, "
                  "metadata_directory: str | None = None) -> str"),
          "The wrapped back end's wheel compiled, into wheel_directory; returns its file name.");
    m.def("build_sdist", &build_sdist, "sdist_directory"_a.none(),
          "config_settings"_a.none() = nb::none(),
          nb::sig("def build_sdist(sdist_directory: str, config_settings: dict | None = None) "
                  "-> str"),
          "The wrapped back end's source distribution, into sdist_directory; returns its file name.");
    m.def("get_requires_for_build_wheel", &get_requires_for_build_wheel, "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_wheel(config_settings: dict | None = None) "
                  "-> list[str]"),
          "The wrapped back end's requirements of a wheel build.");
    m.def("get_requires_for_build_sdist", &get_requires_for_build_sdist, "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_sdist(config_settings: dict | None = None) "
                  "-> list[str]"),
          "The wrapped back end's requirements of an sdist build.");
    m.def("prepare_metadata_for_build_wheel", &prepare_metadata_for_build_wheel,
          "metadata_directory"_a.none(), "config_settings"_a.none() = nb::none(),
          nb::sig("def prepare_metadata_for_build_wheel(metadata_directory: str, "
                  "config_settings: dict | None = None) -> str"),
          "The wrapped back end's .dist-info folder, into metadata_directory; returns its name.");
    m.def("build_editable", &build_editable, "wheel_directory"_a.none(),
          "config_settings"_a.none() = nb::none(), "metadata_directory"_a.none() = nb::none(),
          nb::sig("def build_editable(wheel_directory: str, config_settings: dict | None = None, "
                  "metadata_directory: str | None = None) -> str"),
          "The wrapped back end's editable wheel; returns its file name.");
    m.def("get_requires_for_build_editable", &get_requires_for_build_editable,
          "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_editable(config_settings: dict | None = None) "
                  "-> list[str]"),
          "The wrapped back end's requirements of an editable build.");
    m.def("prepare_metadata_for_build_editable", &prepare_metadata_for_build_editable,
          "metadata_directory"_a.none(), "config_settings"_a.none() = nb::none(),
          nb::sig("def prepare_metadata_for_build_editable(metadata_directory: str, "
                  "config_settings: dict | None = None) -> str"),
          "The wrapped back end's .dist-info folder of an editable wheel; returns its name.");
}
