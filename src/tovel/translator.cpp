// tovel.translator: a Cython translation worker. tovel.pipeline starts one per
// job; each translates one module per request, with Cython's output captured
// per request and its first error cut down to one line. tovel.mender
// rewrites the source it reads and fixes the C it writes; tovel.tuner makes
// that C cheaper to run.
#include "common.h"

using namespace tovel;

// Settings of Cython's Options module (not directives) that a build passes
// among its directives, and their defaults. A name unknown at compile time
// is looked up when the code runs, as Python does (it costs nothing where
// names resolve). Builtins stay looked up once, at import: looking them up
// at each use costs about 30% in a loop that calls builtins (-X
// cache_builtins=False asks for it). The mender has those that tests replace
// (open, print, input) looked up at each use, in the module first.
static const struct {
    const char *name;
    bool value;
} OPTIONS[] = {{"error_on_unknown_names", false}, {"cache_builtins", true}};

// The one line that explains a Cython failure: the position and the message
// of its first error; for a compiler crash the crash's own message, not the
// dump of the syntax tree that comes with it.
static nb::str cython_line(nb::handle err) {
    nb::object pos = nb::getattr(err, "position", nb::none());
    nb::str where("");
    if (!pos.is_none() && nb::len(pos) >= 3)
        where = nb::str("{}:{}:{}: ").format(pos[0].attr("get_description")(), pos[1], pos[2]);
    if (nb::str(builtin("type")(err).attr("__name__")).equal(nb::str("CompilerCrash"))) {
        nb::tuple args = nb::borrow<nb::tuple>(err.attr("args"));
        nb::object cause = args[3];
        return nb::str("{}Compiler crash in {}: {}: {}")
            .format(where, args[1], builtin("type")(cause).attr("__name__"), cause);
    }
    nb::str message(nb::getattr(err, "message_only", err));
    nb::list lines(message.attr("strip")().attr("splitlines")());
    return nb::str(where + (nb::len(lines) ? nb::str(lines[0]) : nb::str("")));
}

/// A translation worker: reads one JSON request a line on standard input
/// (source, module, c, directives), has Cython write the C file, and answers
/// one JSON line {ok, line, log}. Cython's own output is captured per request.
static void serve() {
    nb::object sys = nb::module_::import_("sys"), json = nb::module_::import_("json");
    nb::object io = nb::module_::import_("io"), traceback = nb::module_::import_("traceback");
    nb::module_ main = nb::module_::import_("Cython.Compiler.Main");
    nb::module_ errors = nb::module_::import_("Cython.Compiler.Errors");
    nb::module_ cython_options = nb::module_::import_("Cython.Compiler.Options");
    nb::object os = nb::module_::import_("os");
    nb::object mender = nb::module_::import_("tovel.mender"), tuner = nb::module_::import_("tovel.tuner");
    nb::object utils = nb::module_::import_("Cython.Utils");
    nb::object opener = utils.attr("open_source_file");
    nb::object out = sys.attr("stdout");
    nb::list reported;
    nb::object original = errors.attr("report_error");
    // Cython reports each error through Errors.report_error, looked up when it
    // is called: recording them here keeps the structured error, not just text.
    // An error reported while errors are held belongs to a guess of the
    // parser (`match` read as a match statement): it counts only if the
    // guess is kept, when it is reported again.
    nb::object threadlocal = errors.attr("threadlocal");
    errors.attr("report_error") = nb::cpp_function(
        [reported, original, threadlocal](nb::handle err, nb::kwargs kw) {
            bool held = truthy(nb::getattr(threadlocal, "cython_errors_stack", nb::none())) &&
                        truthy(kw.attr("get")("use_stack", true));
            if (!held)
                nb::borrow<nb::list>(reported).append(err);
            return original(err, **kw);
        });
    for (nb::handle line : sys.attr("stdin")) {
        nb::dict req = nb::borrow<nb::dict>(json.attr("loads")(line));
        // A module linked since: its platform policy measured and its
        // keeping to the stable ABI audited, each kept in the cache
        // (tovel.gauge), out of the build's process.
        if (req.contains("measure")) {
            nb::dict answer;
            answer["ok"] = true;
            try {
                nb::list one;
                one.append(req["measure"]);
                nb::module_ gauge = nb::module_::import_("tovel.gauge");
                gauge.attr("policy")(one, req["cache"], nb::none());
                if (!req["abi3"].is_none())
                    gauge.attr("audit_one")(req["measure"], req["cache"], req["abi3"]);
            } catch (nb::python_error &e) {
                if (!ordinary(e))
                    throw;
                answer["ok"] = false;
            }
            out.attr("write")(json.attr("dumps")(answer) + nb::str("\n"));
            out.attr("flush")();
            continue;
        }
        reported.attr("clear")();
        nb::object buf = io.attr("StringIO")();
        nb::object saved_out = sys.attr("stdout"), saved_err = sys.attr("stderr");
        sys.attr("stdout") = buf;
        sys.attr("stderr") = buf;
        bool ok = false;
        nb::str one("");
        // Where the request's time goes, for the build's account of its stages.
        nb::object clock = nb::module_::import_("time").attr("process_time");
        double marks[4] = {0, 0, 0, 0}, started = nb::cast<double>(clock());
        nb::dict directives = nb::borrow<nb::dict>(builtin("dict")(req["directives"]));
        nb::object answer_seconds = nb::dict();
        for (auto &o : OPTIONS)
            cython_options.attr(o.name) = directives.attr("pop")(o.name, nb::bool_(o.value));
        try {
            mender.attr("mend_cython")(); // the first time, Cython's compiler is imported
            marks[0] = nb::cast<double>(clock());
            os.attr("makedirs")(os.attr("path").attr("dirname")(req["c"]), "exist_ok"_a = true);
            nb::object options = main.attr("CompilationOptions")(
                main.attr("default_options"), "language_level"_a = 3,
                "compiler_directives"_a = directives, "output_file"_a = req["c"]);
            // Cython reads the module through Utils.open_source_file, looked
            // up when it is called: a rewritten text is handed over there.
            nb::object text = mender.attr("source")(req["source"]);
            marks[1] = nb::cast<double>(clock());
            if (!text.is_none()) {
                nb::object target = os.attr("path").attr("abspath")(req["source"]);
                utils.attr("open_source_file") = nb::cpp_function(
                    [opener, target, text, os, io](nb::object name, nb::args args, nb::kwargs kw) -> nb::object {
                        if (os.attr("path").attr("abspath")(name).equal(target))
                            return io.attr("TextIOWrapper")(io.attr("BytesIO")(text.attr("encode")("utf-8")),
                                                            "encoding"_a = "utf-8");
                        return opener(name, *args, **kw);
                    });
            }
            nb::object result;
            try {
                result = main.attr("compile_single")(req["source"], options, req["module"]);
            } catch (...) {
                utils.attr("open_source_file") = opener;
                throw;
            }
            utils.attr("open_source_file") = opener;
            ok = nb::cast<int>(result.attr("num_errors")) == 0;
            marks[2] = nb::cast<double>(clock());
            if (ok) {
                mender.attr("fix_c_file")(req["c"]);
                marks[3] = nb::cast<double>(clock());
                tuner.attr("tune_c_file")(req["c"]);
                nb::dict seconds;
                seconds["cython"] = (marks[2] - marks[1]) + (marks[0] - started);
                seconds["mending"] = (marks[1] - marks[0]) + (marks[3] - marks[2]);
                seconds["tuning"] = nb::cast<double>(clock()) - marks[3];
                answer_seconds = seconds;
            }
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            ok = false; // the mender's fixes failed after Cython succeeded
            buf.attr("write")(nb::str("").attr("join")(traceback.attr("format_exception")(e.value())));
            one = nb::str("{}: {}").format(builtin("type")(e.value()).attr("__name__"), e.value());
        }
        sys.attr("stdout") = saved_out;
        sys.attr("stderr") = saved_err;
        // The first error, unless Cython crashed: its parser reports errors
        // of a guess it then drops (`match` read as a match statement), and
        // the crash is what stopped the translation.
        if (nb::len(reported)) {
            nb::object chosen = reported[0];
            for (nb::handle err : reported)
                if (nb::str(builtin("type")(err).attr("__name__")).equal(nb::str("CompilerCrash"))) {
                    chosen = nb::borrow(err);
                    break;
                }
            one = cython_line(chosen);
        }
        if (!ok && nb::len(one) == 0)
            one = nb::str("Cython reported an error");
        nb::dict answer;
        answer["ok"] = ok;
        answer["seconds"] = answer_seconds;
        answer["line"] = one;
        answer["log"] = buf.attr("getvalue")();
        out.attr("write")(json.attr("dumps")(answer) + nb::str("\n"));
        out.attr("flush")();
    }
}

TOVEL_MODULE(translator, m) {
    nb::list names;
    for (auto &o : OPTIONS)
        names.append(o.name);
    m.attr("OPTIONS") = builtin("tuple")(names);
    m.def("serve", &serve, "Run a translation worker on standard input and output.");
}
