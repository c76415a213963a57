// tovel.build_meta: the PEP 517 and PEP 660 build back end. A project that
// declares build-backend = "tovel.build_meta" is built by python -m build,
// pip, uv or cibuildwheel into the same compiled wheel as tov bdist gives.
// Each hook is thin: it turns the config settings into the options of tov
// bdist and hands over to tovel.packer (wheels) or tovel.pyproject (metadata,
// sdists, editable wheels of the sources made by setuptools). The
// modules they need are imported when a hook runs, not when this one loads.
// An expected failure is one line on stderr and exit status 1.
#include "common.h"

using namespace tovel;

// The config settings that tov bdist's options take; any other is refused.
static const char *const SETTINGS[] = {"exclude",      "keep",          "abi3",         "directive",   "jobs",
                                       "test-command", "test-requires", "test-timeout", "keep-failing"};
// Those of setuptools' editable installs, handed on to it.
static const char *const EDITABLE[] = {"editable_mode", "editable-mode"};

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

static void check_keys(nb::handle config_settings, bool editable) {
    if (config_settings.is_none())
        return;
    for (nb::handle key : config_settings) {
        if (!listed(key, SETTINGS) && !(editable && listed(key, EDITABLE)))
            refuse(nb::str("unknown config setting {!r}: tovel takes exclude, keep, abi3, "
                           "directive, jobs, test-command, test-requires, test-timeout and keep-failing")
                       .format(key));
    }
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
/// (all None), with the config settings in their place. A front end passes
/// a key given more than once as a list: directive collects every value,
/// the other keys take the last, as a repeated command-line option does.
static nb::dict options_from(nb::handle config_settings, bool editable) {
    check_keys(config_settings, editable);
    nb::dict options;
    for (const char *key : {"name", "abi3", "exclude", "keep", "directive", "jobs", "mscv",
                            "version", "description", "license", "extra", "entry", "test_command",
                            "test_requires", "test_timeout", "keep_failing"})
        options[key] = nb::none();
    if (config_settings.is_none())
        return options;
    for (auto [key, value] : nb::borrow<nb::dict>(config_settings)) {
        nb::list values;
        if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value))
            values = nb::list(value);
        else
            values.append(value);
        if (nb::len(values) == 0 || listed(key, EDITABLE))
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

static nb::object pyproject(const char *name) {
    return nb::module_::import_("tovel.pyproject").attr(name);
}

static nb::object basename(nb::handle path) {
    return nb::module_::import_("os").attr("path").attr("basename")(path);
}

static nb::object absolute(nb::handle path) {
    return nb::module_::import_("os").attr("path").attr("abspath")(path);
}

/// The project's settings, which a build through this back end takes from
/// its own pyproject.toml: a file the tool would write is no project.
static nb::dict settled(nb::handle config_settings, bool editable = false) {
    nb::dict options = options_from(config_settings, editable);
    pyproject("settings")(options);
    if (!truthy(options["project_mode"]))
        refuse(nb::str("pyproject.toml: no [project] table: tovel.build_meta builds a project "
                       "from its own metadata there"));
    return options;
}

static nb::object build_wheel(nb::handle wheel_directory, nb::handle config_settings,
                              nb::handle metadata_directory) {
    (void) metadata_directory; // the wheel's metadata is made the same way again
    return guarded([&] {
        nb::dict options = settled(config_settings);
        nb::object wheel = nb::module_::import_("tovel.packer")
                               .attr("bdist")(options, absolute(wheel_directory));
        return basename(wheel);
    });
}

static nb::object build_sdist(nb::handle sdist_directory, nb::handle config_settings) {
    return guarded([&] {
        nb::dict options = settled(config_settings);
        return basename(pyproject("sdist")(options, absolute(sdist_directory)));
    });
}

static nb::object prepare_metadata_for_build_wheel(nb::handle metadata_directory,
                                                   nb::handle config_settings) {
    return guarded([&] {
        nb::dict options = settled(config_settings);
        return basename(pyproject("dist_info")(options, absolute(metadata_directory)));
    });
}

// Nothing beyond tovel's own requirements, which the front end has installed.
static nb::object get_requires(nb::handle config_settings) {
    return guarded([&] {
        check_keys(config_settings, false);
        return nb::object(nb::list());
    });
}

// An editable install uses the sources of the same packages, through
// setuptools, whose editable_mode setting ("strict", "lenient") it takes.
static nb::object build_editable(nb::handle wheel_directory, nb::handle config_settings,
                                 nb::handle metadata_directory) {
    return guarded([&] {
        nb::dict options = settled(config_settings, true);
        nb::object mode = nb::none();
        if (!config_settings.is_none())
            for (const char *key : EDITABLE)
                if (mode.is_none())
                    mode = get(config_settings, key, nb::none());
        return basename(pyproject("editable")(options, absolute(wheel_directory),
                                              metadata_directory, mode));
    });
}

static nb::object get_requires_for_build_editable(nb::handle config_settings) {
    return guarded([&] {
        check_keys(config_settings, true);
        return nb::object(nb::list());
    });
}

static nb::object prepare_metadata_for_build_editable(nb::handle metadata_directory,
                                                      nb::handle config_settings) {
    return guarded([&] {
        nb::dict options = settled(config_settings, true);
        return basename(pyproject("dist_info")(options, absolute(metadata_directory)));
    });
}

TOVEL_MODULE(build_meta, m) {
    m.def("build_wheel", &build_wheel, "wheel_directory"_a.none(),
          "config_settings"_a.none() = nb::none(), "metadata_directory"_a.none() = nb::none(),
          nb::sig("def build_wheel(wheel_directory: str, config_settings: dict | None = None, "
                  "metadata_directory: str | None = None) -> str"),
          "Build the project's compiled wheel into wheel_directory; returns its file name.");
    m.def("build_sdist", &build_sdist, "sdist_directory"_a.none(),
          "config_settings"_a.none() = nb::none(),
          nb::sig("def build_sdist(sdist_directory: str, config_settings: dict | None = None) "
                  "-> str"),
          "Build the project's source distribution into sdist_directory; returns its file name.");
    m.def("get_requires_for_build_wheel", &get_requires, "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_wheel(config_settings: dict | None = None) "
                  "-> list[str]"),
          "Requirements of a wheel build beyond tovel's own: none.");
    m.def("get_requires_for_build_sdist", &get_requires, "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_sdist(config_settings: dict | None = None) "
                  "-> list[str]"),
          "Requirements of an sdist build beyond tovel's own: none.");
    m.def("prepare_metadata_for_build_wheel", &prepare_metadata_for_build_wheel,
          "metadata_directory"_a.none(), "config_settings"_a.none() = nb::none(),
          nb::sig("def prepare_metadata_for_build_wheel(metadata_directory: str, "
                  "config_settings: dict | None = None) -> str"),
          "Write the wheel's .dist-info folder into metadata_directory; returns its name.");
    m.def("build_editable", &build_editable, "wheel_directory"_a.none(),
          "config_settings"_a.none() = nb::none(), "metadata_directory"_a.none() = nb::none(),
          nb::sig("def build_editable(wheel_directory: str, config_settings: dict | None = None, "
                  "metadata_directory: str | None = None) -> str"),
          "Build an editable wheel of the sources (through setuptools); returns its file name.");
    m.def("get_requires_for_build_editable", &get_requires_for_build_editable,
          "config_settings"_a.none() = nb::none(),
          nb::sig("def get_requires_for_build_editable(config_settings: dict | None = None) "
                  "-> list[str]"),
          "Requirements of an editable build beyond tovel's own: none.");
    m.def("prepare_metadata_for_build_editable", &prepare_metadata_for_build_editable,
          "metadata_directory"_a.none(), "config_settings"_a.none() = nb::none(),
          nb::sig("def prepare_metadata_for_build_editable(metadata_directory: str, "
                  "config_settings: dict | None = None) -> str"),
          "Write the editable wheel's .dist-info folder into metadata_directory; returns its name.");
}
