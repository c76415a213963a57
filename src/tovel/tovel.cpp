// tovel: the package initialiser and command-line front end. Prints the banner,
// parses the command line into the options record and runs the handler of
// the chosen subcommand, printing the traceback of whatever it raises.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel";

// How a run of the front end ended, for the exit status of the tov command.
enum class outcome { done, failed, interrupted };

// A handler looks its command up in the package when it runs, not when the
// parser is built, so that replacing tovel.tovcompile takes effect.
static nb::object handler(const char *command) {
    return nb::cpp_function(
        [command](nb::handle args) { return global(MOD, command)(args); }, "args"_a.none(),
        nb::name(command));
}

// Options of compile and wheel show no placeholder after their flags; those
// of bdist show argparse's own (`--name NAME`), passed in `more`.
static void add(nb::handle parser, std::initializer_list<const char *> flags,
                nb::handle fallback_default, nb::handle kwds, const char *key, const char *help,
                nb::handle choices = nb::handle(), nb::dict more = nb::dict()) {
    nb::list names;
    for (const char *flag : flags)
        names.append(flag);
    nb::dict options;
    options["default"] = get(kwds, key, fallback_default);
    options["help"] = help;
    // store_true takes no value, so no placeholder either.
    if (!more.contains("metavar") &&
        (!more.contains("action") || nb::str(more["action"]).equal(nb::str("append"))))
        options["metavar"] = "";
    else if (more.contains("metavar") && more["metavar"].is_none())
        more.attr("pop")("metavar");
    if (choices.is_valid())
        options["choices"] = choices;
    options.update(more);
    parser.attr("add_argument")(*names, **options);
}

// The options shared by compile and bdist: the source package and how it is compiled.
static void add_compile_options(nb::handle p, nb::handle kw) {
    add(p, {"--name", "-n"}, nb::str("vemo"), kw, "name", "source name");
    add(p, {"--abi3"}, nb::bool_(true), kw, "abi3", "limited api");
    add(p, {"--exclude", "-e"}, nb::str("unit"), kw, "exclude", "excluded name");
    nb::list choices;
    choices.append("x86_amd64");
    choices.append("amd64");
    add(p, {"--msvc", "-m"}, nb::str("x86_amd64"), kw, "mscv", "mscv palt(x86_amd64 or amd64)",
        choices);
}

// The metadata options of a wheel, after its name; the mappings are new on each call.
static void add_metadata_options(nb::handle p, nb::handle kw) {
    add(p, {"--version", "-v"}, nb::str("1.2.4"), kw, "version", "wheel version");
    add(p, {"--description", "-d"}, nb::str("description"), kw, "description",
        "project description");
    add(p, {"--license", "-l"}, nb::str("MIT"), kw, "license", "project license");
    add(p, {"--extra", "-x"}, nb::dict(), kw, "extra", "wheel extra requires");
    add(p, {"--entry", "-t"}, nb::dict(), kw, "entry", "wheel entry points");
}

// argparse `type` checks of bdist: a bad value is a usage error (exit 2)
// with one line saying what is wrong, before anything is built.
static nb::object usage_error(nb::str message) {
    nb::object error = global(MOD, "argparse").attr("ArgumentTypeError")(message);
    PyErr_SetObject((PyObject *) Py_TYPE(error.ptr()), error.ptr());
    throw nb::python_error();
}

static nb::object jobs_type(nb::str text) {
    nb::object n;
    try {
        n = builtin("int")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return usage_error(nb::str("{!r} is not a number of jobs (a whole number, 1 or more)").format(text));
    }
    if (nb::cast<long>(n) < 1)
        return usage_error(nb::str("{!r} is not a number of jobs (a whole number, 1 or more)").format(text));
    return n;
}

static nb::object pattern_type(nb::str text) {
    try {
        nb::module_::import_("re").attr("compile")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(nb::module_::import_("re").attr("error")))
            throw;
        return usage_error(nb::str("{!r} is not a valid regular expression: {}").format(text, e.value()));
    }
    return text;
}

static nb::object directive_type(nb::str text) {
    try {
        nb::list one;
        one.append(text);
        nb::module_::import_("tovel.options").attr("directives")(one, true);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return usage_error(nb::str("{!r} is not a Cython directive: {}").format(text, e.value()));
    }
    return text;
}

static nb::object seconds_type(nb::str text) {
    nb::object n;
    try {
        n = builtin("float")(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        n = nb::float_(0.0);
    }
    if (!(nb::cast<double>(n) > 0) || !truthy(nb::module_::import_("math").attr("isfinite")(n)))
        return usage_error(nb::str("{!r} is not a number of seconds (more than 0)").format(text));
    return n;
}

// tov bdist: the compile options and the metadata options, then its own. An
// option left out is None, so that the project's [tool.tovel] settings and
// the defaults can fill it in. Its help shows argparse's placeholders.
static void add_bdist_options(nb::handle p, nb::handle kw) {
    nb::object none = nb::none();
    auto add = [](nb::handle parser, std::initializer_list<const char *> flags, nb::handle fallback,
                  nb::handle kwds, const char *key, const char *help, nb::handle choices = nb::handle(),
                  nb::dict more = nb::dict()) {
        static const std::pair<const char *, const char *> placeholders[] = {
            {"from_wheel", "WHEEL"}, {"exclude", "REGEX"}, {"keep", "REGEX"}, {"directive", "NAME=VALUE"},
            {"jobs", "N"}, {"cache_dir", "DIR"}, {"remote_cache", "URL"}, {"test_command", "COMMAND"}, {"pgo_command", "COMMAND"},
            {"test_requires", "REQUIREMENT"}, {"test_timeout", "SECONDS"}, {"extra", "JSON"},
            {"entry", "JSON"}, {"abi3", "ON"}};
        if (!more.contains("metavar")) {
            more["metavar"] = nb::none();
            for (auto &[k, v] : placeholders)
                if (std::string(k) == key)
                    more["metavar"] = v;
        }
        ::add(parser, flags, fallback, kwds, key, help, choices, more);
    };
    add(p, {"--name", "-n"}, none, kw, "name",
        "a package folder to build without a pyproject.toml (the folder's name); in a project, the project's own back end builds the wheel and this is not needed");
    add(p, {"--from-wheel"}, none, kw, "from_wheel", "compile this wheel of the project instead of building one");
    nb::dict isolation;
    isolation["action"] = "store_true";
    add(p, {"--no-isolation"}, nb::bool_(false), kw, "no_isolation",
        "build the project's pure wheel in this environment, not an isolated one", nb::handle(), isolation);
    add(p, {"--abi3"}, none, kw, "abi3", "the limited API of Python 3.12: one wheel for 3.12 and later (a free-threaded interpreter before 3.15, "
        "which has none, builds its own free-threaded one); --abi3 \"\" builds for this interpreter only");
    nb::dict pythons;
    pythons["action"] = "append";
    add(p, {"--python"}, none, kw, "python",
        "an interpreter to build a wheel of its full API for (repeatable; default: this one; with the "
        "limited API, added to its wheel); each module is translated once and compiled for each", nb::handle(), pythons);
    nb::dict pattern;
    pattern["type"] = nb::cpp_function(&pattern_type, nb::name("pattern"));
    add(p, {"--exclude", "-e"}, none, kw, "exclude", "modules and files left out: a regular expression searched in each path (default: none)", nb::handle(), pattern);
    add(p, {"--keep", "-k"}, none, kw, "keep",
        "modules kept as Python source: a regular expression searched in each module's path", nb::handle(), pattern);
    nb::dict directive;
    directive["type"] = nb::cpp_function(&directive_type, nb::name("directive"));
    directive["action"] = "append";
    add(p, {"--directive", "-X"}, none, kw, "directive",
        "a Cython directive NAME=VALUE (repeatable), e.g. annotation_typing=True", nb::handle(), directive);
    nb::dict jobs;
    jobs["type"] = nb::cpp_function(&jobs_type, nb::name("jobs"));
    add(p, {"--jobs", "-j"}, none, kw, "jobs", "modules compiled at once (default: every core)", nb::handle(), jobs);
    nb::dict flag;
    flag["action"] = "store_true";
    add(p, {"--no-cache"}, nb::bool_(false), kw, "no_cache", "translate and compile every module anew", nb::handle(), flag);
    add(p, {"--cache-dir"}, none, kw, "cache_dir", "the cache folder (default: the user's cache folder)");
    add(p, {"--remote-cache"}, none, kw, "remote_cache",
        "a store the team shares for translations and C objects: redis://HOST[:PORT] or http(s)://HOST/PATH "
        "(default: $TOVEL_REMOTE_CACHE)");
    add(p, {"--debug"}, nb::bool_(false), kw, "debug", "keep debug info in the modules", nb::handle(), flag);
    add(p, {"--quiet", "-q"}, nb::bool_(false), kw, "quiet", "print only the wheel made, and errors", nb::handle(), flag);
    add(p, {"--verbose"}, nb::bool_(false), kw, "verbose", "print the tools' whole output too (else in build/tov.log)", nb::handle(), flag);
    nb::list choices;
    choices.append("x86_amd64");
    choices.append("amd64");
    add(p, {"--msvc", "-m"}, nb::str("x86_amd64"), kw, "mscv", "Windows only: the MSVC toolchain, x86_amd64 or amd64",
        choices);
    add(p, {"--version", "-v"}, none, kw, "version", "wheel version (default: the package's __version__)");
    add(p, {"--description", "-d"}, none, kw, "description", "project summary (default: none)");
    add(p, {"--license", "-l"}, none, kw, "license", "licence expression, such as MIT (default: none)");
    add(p, {"--extra", "-x"}, none, kw, "extra", "optional dependencies, as JSON: '{\"fast\": [\"numpy\"]}'");
    add(p, {"--entry", "-t"}, none, kw, "entry", "entry points: console scripts, or groups of them");
    add(p, {"--test-command"}, none, kw, "test_command",
        "a command that runs the project's tests ({project} is the project folder); they must "
        "pass compiled as they pass from the sources");
    add(p, {"--no-test"}, nb::bool_(false), kw, "no_test",
        "do not run the project's tests, which tov otherwise finds and runs on its own", nb::handle(), flag);
    nb::dict requires;
    requires["action"] = "append";
    add(p, {"--test-requires"}, none, kw, "test_requires", "a requirement of the tests (repeatable)",
        nb::handle(), requires);
    nb::dict seconds;
    seconds["type"] = nb::cpp_function(&seconds_type, nb::name("seconds"));
    add(p, {"--test-timeout"}, none, kw, "test_timeout", "seconds each run of the tests may take",
        nb::handle(), seconds);
    add(p, {"--pgo"}, nb::bool_(false), kw, "pgo",
        "profile-guided optimisation: compile the modules instrumented, run the project's tests against "
        "them, then compile them again with the profile (gcc only)", nb::handle(), flag);
    add(p, {"--pgo-command"}, none, kw, "pgo_command",
        "--pgo trained on this command instead of the tests (run in a fresh environment with the "
        "instrumented modules installed; {project} is the project folder, {site} its site-packages)");
    // None when not given, so that keep-failing in [tool.tovel] counts.
    nb::dict maybe;
    maybe["action"] = "store_true";
    add(p, {"--keep-failing"}, none, kw, "keep_failing",
        "ship every module that fails (to compile, to import, the tests) as source", nb::handle(), maybe);
}

static nb::object parser_for(nb::handle kw, nb::object &bdist_parser) {
    nb::object argparse = global(MOD, "argparse");
    nb::object parser =
        argparse.attr("ArgumentParser")("prog"_a = "tov", "description"_a = "tov [comiple, wheel]");
    nb::object sub = parser.attr("add_subparsers")("title"_a = "subcommands", "required"_a = true);

    nb::object compile = sub.attr("add_parser")("compile", "help"_a = "py to pyd");
    add_compile_options(compile, kw);
    compile.attr("set_defaults")("func"_a = handler("tovcompile"));

    nb::object wheel = sub.attr("add_parser")("wheel", "help"_a = "pyd to whl");
    add(wheel, {"--name", "-n"}, nb::str("vemo"), kw, "whlname", "wheel name");
    add(wheel, {"--abi3"}, nb::bool_(true), kw, "abi3", "limited api");
    add_metadata_options(wheel, kw);
    wheel.attr("set_defaults")("func"_a = handler("tovwheel"));

    nb::object bdist =
        sub.attr("add_parser")("bdist", "help"_a = "py to whl, compiled modules only");
    add_bdist_options(bdist, kw);
    bdist.attr("set_defaults")("func"_a = handler("tovbdist"));
    bdist_parser = bdist;
    return parser;
}

// SIGTERM (a kill, a CI job cancelled) is an interrupt of the command, so
// that what it started (test runs in sessions of their own, compilers) ends
// with it; it exits with 143, as a process ended by that signal does.
static bool terminated = false;
static const char *stopped() { return terminated ? "terminated" : "interrupted"; }

// An interrupt, also when setuptools has turned it into SystemExit("interrupted")
// while the C compiler ran: that SystemExit is raised while the
// KeyboardInterrupt is handled, so the interrupt is its context.
static bool interrupted(nb::python_error &e) {
    if (e.matches(PyExc_KeyboardInterrupt))
        return true;
    if (!e.matches(PyExc_SystemExit))
        return false;
    PyObject *context = PyException_GetContext(e.value().ptr());
    bool by_interrupt = context && PyErr_GivenExceptionMatches(context, PyExc_KeyboardInterrupt);
    Py_XDECREF(context);
    return by_interrupt;
}

// tov bdist prints what it builds and nothing of its options; compile and
// wheel keep their banner and options record.
static bool bdist_command() {
    nb::list argv(global(MOD, "sys").attr("argv"));
    for (size_t i = 1; i < nb::len(argv); ++i) {
        nb::str word(argv[i]);
        if (!truthy(word.attr("startswith")("-")))
            return word.equal(nb::str("bdist"));
    }
    return false;
}

static nb::object run(nb::handle kwds, outcome &how) {
    nb::object sys = global(MOD, "sys");
    // `tov --version` alone answers before anything else; the parser, its
    // help and its usage stay those of compile and wheel.
    nb::list argv(sys.attr("argv"));
    if (nb::len(argv) == 2 && nb::str(argv[1]).equal(nb::str("--version"))) {
        print(global(MOD, "version_line")());
        how = outcome::done;
        return nb::none();
    }
    // An option before any command that tov does not know (a misspelt
    // --version) is named as such, not taken for a missing command.
    bool command = false;
    nb::list unknown;
    for (size_t i = 1; i < nb::len(argv); ++i) {
        nb::str word(argv[i]);
        if (!truthy(word.attr("startswith")("-"))) {
            command = true;
            break;
        }
        if (!truthy(nb::make_tuple("-h", "--help").attr("__contains__")(word)))
            unknown.append(word);
    }
    if (!command && nb::len(unknown)) {
        nb::object close = nb::module_::import_("difflib").attr("get_close_matches")(
            unknown[0], nb::make_tuple("--version", "--help"), 1);
        nb::str hint = nb::len(close) ? nb::str(" (did you mean {}?)").format(close[0]) : nb::str("");
        nb::object dummy;
        parser_for(kwds, dummy).attr("error")(nb::str("unrecognized arguments: {}{}")
                                                  .format(nb::str(" ").attr("join")(unknown), hint));
    }
    bool bdist = bdist_command();
    if (!bdist)
        print(nb::str(">>>>>>>>>>>>>>>>>>>>>>> Python ") + nb::str(sys.attr("version")));
    // Usage errors and help leave here through argparse's SystemExit, uncaught.
    // An unknown option of bdist is an error of bdist, shown with its usage.
    nb::object bdist_parser;
    nb::object parser = parser_for(kwds, bdist_parser), args;
    if (bdist) {
        nb::object known = parser.attr("parse_known_args")();
        args = known[0];
        nb::object extras = known[1];
        if (nb::len(extras) > 0)
            bdist_parser.attr("error")(nb::str("unrecognized arguments: ") + nb::str(" ").attr("join")(extras));
    } else
        args = parser.attr("parse_args")();
    if (!bdist)
        print(args);
    try {
        // The build tree is reset when a command runs, never at start-up or
        // for help; tov bdist resets it itself once its options are settled.
        if (!bdist)
            global("tovel.builder", "reset")();
        nb::object result = args.attr("func")(args);
        how = outcome::done;
        return result;
    } catch (nb::python_error &e) {
        how = interrupted(e) ? outcome::interrupted : outcome::failed;
        // A failure the user can act on says so in its message: no traceback.
        nb::object packer = sys.attr("modules").attr("get")("tovel.packer");
        if (!packer.is_none() && e.matches(packer.attr("BuildFailed"))) {
            print(e.value(), "file"_a = sys.attr("stderr"));
            return nb::none();
        }
        // tov bdist: an interrupt, or a folder it cannot write (read-only,
        // full), is one line; what it did not foresee keeps its traceback.
        if (bdist && how == outcome::interrupted) {
            print(stopped(), "file"_a = sys.attr("stderr"));
            return nb::none();
        }
        if (bdist && e.matches(PyExc_OSError)) {
            print(nb::str("tov bdist: {}").format(e.value()), "file"_a = sys.attr("stderr"));
            return nb::none();
        }
        nb::module_::import_("traceback").attr("print_exception")(e.value());
        return nb::none();
    }
}

// Ctrl-C while the tool starts (its modules import setuptools and more) or
// reads its command line: one line and exit status 130, as later, not a
// traceback from the middle of an import.
static void interrupted_while_starting() {
    PyErr_Clear();
    print(stopped(), "file"_a = nb::module_::import_("sys").attr("stderr"));
    PyErr_SetObject(PyExc_SystemExit, nb::int_(terminated ? 143 : 130).ptr());
    throw nb::python_error();
}

static nb::object tovel_entry(nb::kwargs kwds) {
    outcome how;
    return run(kwds, how);
}

// The tov command: 0 after success, 1 after a printed failure, 130 after an
// interrupt (143 after SIGTERM); argparse's own 2 (usage error) and 0 (help) pass through.
static int main_entry() {
    outcome how = outcome::failed;
    nb::object signal = nb::module_::import_("signal");
    signal.attr("signal")(signal.attr("SIGTERM"), nb::cpp_function([](nb::args) {
                              terminated = true;
                              PyErr_SetNone(PyExc_KeyboardInterrupt);
                              throw nb::python_error();
                          }));
    try {
        run(nb::dict(), how);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        interrupted_while_starting();
    }
    switch (how) {
    case outcome::done: return 0;
    case outcome::interrupted: return terminated ? 143 : 130;
    default: return 1;
    }
}

/// `tov --version`: tov's own version and the tools that decide what it builds.
static nb::str version_line() {
    nb::object version = nb::module_::import_("importlib.metadata").attr("version");
    return nb::str("tov {} (Cython {}, CPython {}{})")
        .format(version("tovel"), version("Cython"), nb::module_::import_("platform").attr("python_version")(),
                truthy(nb::module_::import_("sysconfig").attr("get_config_var")("Py_GIL_DISABLED")) ? " free-threaded"
                                                                                                : "");
}

TOVEL_MODULE(tovel, m) {
    try {
        m.attr("argparse") = nb::module_::import_("argparse");
        m.attr("sys") = nb::module_::import_("sys");
        m.attr("tovcompile") = nb::module_::import_("tovel.compiler").attr("tovcompile");
        m.attr("PYVER") = nb::module_::import_("tovel.metagen").attr("PYVER");
        m.attr("tovwheel") = nb::module_::import_("tovel.wheeler").attr("tovwheel");
        m.attr("tovbdist") = nb::module_::import_("tovel.compiler").attr("tovbdist");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        interrupted_while_starting();
    }
    m.def("version_line", &version_line, "tov's version line, with Cython's and the interpreter's.");
    m.def("tovel", &tovel_entry, nb::sig("def tovel(**kwds) -> object"),
          "Run the tov command line; keyword arguments replace the options' defaults.");
    m.def("main", &main_entry, nb::sig("def main() -> int"),
          "Entry of the tov command: runs the front end and returns the exit status.");
}
