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

static void add(nb::handle parser, std::initializer_list<const char *> flags,
                nb::handle fallback_default, nb::handle kwds, const char *key, const char *help,
                nb::handle choices = nb::handle()) {
    nb::list names;
    for (const char *flag : flags)
        names.append(flag);
    nb::dict options;
    options["default"] = get(kwds, key, fallback_default);
    options["help"] = help;
    options["metavar"] = "";
    if (choices.is_valid())
        options["choices"] = choices;
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

static nb::object parser_for(nb::handle kw) {
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
    add_compile_options(bdist, kw);
    add_metadata_options(bdist, kw);
    bdist.attr("set_defaults")("func"_a = handler("tovbdist"));
    return parser;
}

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

static nb::object run(nb::handle kwds, outcome &how) {
    print(nb::str(">>>>>>>>>>>>>>>>>>>>>>> Python ") + nb::str(global(MOD, "sys").attr("version")));
    // Usage errors and help leave here through argparse's SystemExit, uncaught.
    nb::object args = parser_for(kwds).attr("parse_args")();
    print(args);
    try {
        // The build tree is reset when a command runs, never at start-up or for help.
        global("tovel.builder", "reset")();
        nb::object result = args.attr("func")(args);
        how = outcome::done;
        return result;
    } catch (nb::python_error &e) {
        how = interrupted(e) ? outcome::interrupted : outcome::failed;
        nb::module_::import_("traceback").attr("print_exception")(e.value());
        return nb::none();
    }
}

static nb::object tovel_entry(nb::kwargs kwds) {
    outcome how;
    return run(kwds, how);
}

// The tov command: 0 after success, 1 after a printed failure, 130 after an
// interrupt; argparse's own 2 (usage error) and 0 (help) pass through.
static int main_entry() {
    outcome how;
    run(nb::dict(), how);
    switch (how) {
    case outcome::done: return 0;
    case outcome::interrupted: return 130;
    default: return 1;
    }
}

TOVEL_MODULE(tovel, m) {
    m.attr("argparse") = nb::module_::import_("argparse");
    m.attr("sys") = nb::module_::import_("sys");
    m.attr("tovcompile") = nb::module_::import_("tovel.compiler").attr("tovcompile");
    m.attr("PYVER") = nb::module_::import_("tovel.metagen").attr("PYVER");
    m.attr("tovwheel") = nb::module_::import_("tovel.wheeler").attr("tovwheel");
    m.attr("tovbdist") = nb::module_::import_("tovel.compiler").attr("tovbdist");
    m.def("tovel", &tovel_entry, nb::sig("def tovel(**kwds) -> object"),
          "Run the tov command line; keyword arguments replace the options' defaults.");
    m.def("main", &main_entry, nb::sig("def main() -> int"),
          "Entry of the tov command: runs the front end and returns the exit status.");
}
