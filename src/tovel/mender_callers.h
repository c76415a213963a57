// The calls that attribute what they make to their caller's frame: a
// warning and a log record name the file, line and module (and function) of
// the innermost Python frame, and a compiled function has none, so inside
// one they named its caller. Included by mender.cpp alone.
#pragma once

#include "common.h"
#include "mender_source.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace tovel::mender_callers {

using namespace tovel::mender_source;

/// What a rewritten `warnings.warn(...)` of a function calls in its place:
/// given the function the code named, the line of the call and the module's
/// globals, the genuine warn is replaced by one that attributes the warning
/// to that line of that module, as the interpreter does from the source's
/// frame (filters by module, `__warningregistry__`, the default filters that
/// hide a library's DeprecationWarning). Anything else named `warn` (a mock
/// patched in, a local function) is called as it is.
static const char *AT_LINE = R"PY(def __tovel_warn__(warn, line, g):
    import _warnings
    if warn is not _warnings.warn:
        return warn
    def at_line(message, category=None, source=None):
        if isinstance(message, Warning):
            category = message.__class__
        elif category is None:
            category = UserWarning
        if not (isinstance(category, type) and issubclass(category, Warning)):
            return warn(message, category, 1, source)
        name = g.get('__file__') or '?'
        for suffix in __import__('importlib.machinery').machinery.EXTENSION_SUFFIXES:
            if name.endswith(suffix):
                name = name[:-len(suffix)] + '.py'
                break
        return _warnings.warn_explicit(message, category, name, line, g.get('__name__', '<string>'),
                                       g.setdefault('__warningregistry__', {}), g, source)
    return at_line
)PY";

/// What a rewritten `X.info(...)` (debug, warning, error, exception,
/// critical, fatal, log) of a function calls in its place: for a method of
/// a logging.Logger whose class keeps the logger's own method, `_log` and
/// `findCaller`, or for logging's module function, one that makes the
/// record as `Logger._log` does, with the module's file, the call's line and
/// the function's name where findCaller would have found the caller's. A
/// stack_info or stacklevel is left to findCaller (a level counted from the
/// helper's frame, which stands for the function's); anything else
/// (LoggerAdapter, argparse's error, a mock) is called as it is.
static const char *LOG_AT_LINE = R"PY(def __tovel_log_made__(method, line, g, func, name, level, owner, logging, sys):
    def logged(*args, **kwargs):
        if 'msg' in kwargs and len(args) == (name == 'log'):
            args += (kwargs.pop('msg'),)
        if len(args) < 1 + (name == 'log') or kwargs.get('stack_info') or kwargs.get('stacklevel', 1) != 1:
            # Found from the frames: this one stands where the compiled
            # function has none, a level of 2 is its caller.
            kwargs.setdefault('stacklevel', 2)
            return method(*args, **kwargs)
        logger = owner
        if owner is None:  # logging.info(...): the root logger, configured first
            logger = logging.root
            if len(logger.handlers) == 0:
                logging.basicConfig()
        if name == 'log':
            at, msg, rest = args[0], args[1], args[2:]
            if not isinstance(at, int):
                if logging.raiseExceptions:
                    raise TypeError("level must be an integer")
                return
        else:
            at, msg, rest = level, args[0], args[1:]
        if name == 'exception':
            kwargs.setdefault('exc_info', True)
        if logger.isEnabledFor(at):
            _log(logger, at, msg, rest, **kwargs)
    def _log(self, level, msg, args, exc_info=None, extra=None, stack_info=False, stacklevel=1):
        fn, lno, fname = g.get('__file__') or '?', line, func
        for suffix in __import__('importlib.machinery').machinery.EXTENSION_SUFFIXES:
            if fn.endswith(suffix):
                fn = fn[:-len(suffix)] + '.py'
                break
        if not logging._srcfile:
            fn, lno, fname = "(unknown file)", 0, "(unknown function)"
        if exc_info:
            if isinstance(exc_info, BaseException):
                exc_info = (type(exc_info), exc_info, exc_info.__traceback__)
            elif not isinstance(exc_info, tuple):
                exc_info = sys.exc_info()
        record = self.makeRecord(self.name, level, fn, lno, msg, args, exc_info, fname, extra, None)
        self.handle(record)
    return logged
# The checks hold no closure: a call that logs nothing makes no cells. The
# name is the call's own (fatal is critical's other name).
def __tovel_log__(method, line, g, func, name, logging=__import__('logging'), sys=__import__('sys'),
                  levels={'debug': 10, 'info': 20, 'warning': 30, 'error': 40, 'exception': 40, 'critical': 50,
                          'fatal': 50, 'log': 0}, made=__tovel_log_made__):
    try:
        level = levels[name]
        owner = getattr(method, '__self__', None)
        if owner is None:
            if method is not getattr(logging, name):
                return method
        else:
            Logger, cls = logging.Logger, owner.__class__
            if method.__func__ is not getattr(Logger, name):
                return method
            # A subclass may make its records otherwise.
            if cls is not Logger and cls is not logging.RootLogger and (
                    cls._log is not Logger._log or cls.findCaller is not Logger.findCaller):
                return method
            if level and not owner.isEnabledFor(level):
                return method  # it logs nothing, and says so at once
    except Exception:
        return method
    return made(method, line, g, func, name, level, owner, logging, sys)
del __tovel_log_made__
)PY";

// `(HELPER)(` where a helper is defined in the module's globals the first
// time a call runs (executed there by the interpreter).
static std::string helper(const char *source, const char *name) {
    std::string text(source);
    return std::string("(globals().get('") + name + "') or exec(" +
           nb::cast<std::string>(builtin("repr")(nb::str(text.data(), text.size()))) + ", globals()) or globals()['" +
           name + "'])(";
}

static const char *LOG_METHODS[] = {"debug", "info", "warning", "error", "exception", "critical", "fatal", "log"};

// `warnings.warn(message[, category])` inside a function (no stacklevel: a
// literal one is frame_depths' to mend), rewritten `HELPER(warnings.warn,
// LINE, globals())(message, ...)`; `X.info(...)` and the other log calls
// inside a function, `HELPER(X.info, LINE, globals(), 'FUNCTION', 'info')(...)`,
// FUNCTION the code object's name the source would have there. Insertions
// only: no line moves.
inline void caller_sites(nb::handle node, const std::string &func, nb::dict modules, nb::set names, const Offsets &at,
                         Edits &edits) {
    std::string k = ast_kind(node);
    bool inside = !func.empty();
    nb::handle f = k == "Call" ? nb::handle(node.attr("func")) : nb::handle();
    if (inside && k == "Call" && nb::cast<size_t>(f.attr("lineno")) == nb::cast<size_t>(f.attr("end_lineno"))) {
        std::string fk = ast_kind(f), attr = fk == "Attribute" ? nb::cast<std::string>(f.attr("attr")) : "";
        bool warn = (attr == "warn" && ast_kind(f.attr("value")) == "Name" && modules.contains(f.attr("value").attr("id"))) ||
                    (fk == "Name" && names.contains(f.attr("id")));
        nb::list args = node.attr("args");
        warn = warn && nb::len(args) >= 1 && nb::len(args) <= 2;
        for (nb::handle a : args)
            warn = warn && ast_kind(a) != "Starred";
        for (nb::handle kw : node.attr("keywords")) {
            std::string arg = kw.attr("arg").is_none() ? "" : nb::cast<std::string>(kw.attr("arg"));
            warn = warn && (arg == "category" || arg == "source");
        }
        std::string line = std::to_string(nb::cast<size_t>(node.attr("lineno")));
        if (warn) {
            edits.push_back({at.start(f), helper(AT_LINE, "__tovel_warn__")});
            edits.push_back({at.end(f), ", " + line + ", globals())"});
        }
        // On what names a logger (log, logger, self._log, LOGGER, logging,
        // getLogger(...)): math.log and a parser's error keep their speed.
        bool log = false;
        for (const char *m : LOG_METHODS)
            log = log || attr == m;
        if (log) {
            nb::handle r = f.attr("value");
            if (ast_kind(r) == "Call")
                r = r.attr("func");
            std::string rk = ast_kind(r), said = rk == "Name" ? nb::cast<std::string>(r.attr("id"))
                                                 : rk == "Attribute" ? nb::cast<std::string>(r.attr("attr")) : "";
            std::transform(said.begin(), said.end(), said.begin(), [](unsigned char c) { return std::tolower(c); });
            log = said.find("log") != std::string::npos;
        }
        if (log) {
            edits.push_back({at.start(f), helper(LOG_AT_LINE, "__tovel_log__")});
            edits.push_back({at.end(f), ", " + line + ", globals(), " +
                                            nb::cast<std::string>(builtin("repr")(nb::str(func.c_str()))) + ", '" + attr +
                                            "')"});
        }
    }
    // The name of the code object the interpreter runs the children in.
    std::string inner = func;
    if (k == "FunctionDef" || k == "AsyncFunctionDef")
        inner = nb::cast<std::string>(node.attr("name"));
    else if (k == "Lambda")
        inner = "<lambda>";
    else if (k == "GeneratorExp" && inside)
        inner = "<genexpr>";
    else if (k == "ClassDef" && inside)
        inner = nb::cast<std::string>(node.attr("name"));
    for (nb::handle child : nb::module_::import_("ast").attr("iter_child_nodes")(node))
        caller_sites(child, inner, modules, names, at, edits);
}

/// The names the module binds to the warnings module and to its warn, then
/// the rewrite of the warn and log calls of its functions.
inline void caller_calls(nb::handle tree, const Offsets &at, Edits &edits) {
    nb::dict modules;
    nb::set names;
    for (nb::handle n : nb::module_::import_("ast").attr("walk")(tree)) {
        std::string k = ast_kind(n);
        for (nb::handle alias : k == "Import" || k == "ImportFrom" ? nb::list(n.attr("names")) : nb::list()) {
            std::string name = nb::cast<std::string>(alias.attr("name"));
            nb::object local = alias.attr("asname").is_none() ? alias.attr("name") : alias.attr("asname");
            if (k == "Import" && name == "warnings")
                modules[local] = nb::int_(1);
            if (k == "ImportFrom" && !n.attr("module").is_none() && nb::cast<std::string>(n.attr("module")) == "warnings" &&
                name == "warn")
                names.add(local);
        }
    }
    caller_sites(tree, "", modules, names, at, edits);
}

} // namespace tovel::mender_callers
