// tovel.probe: a tree's modules imported in fresh interpreters, each failure
// charged to the project module that caused it: an exception to the
// innermost module it left, a crash to the module that was loading, a GIL
// turned on (free-threaded interpreters) to the module whose loading did it.
// tovel.checker judges what it finds.
#include "common.h"

#include <nanobind/stl/string.h>

#include <string>

using namespace tovel;

static const char *MOD = "tovel.probe";

static nb::object mine(const char *name) { return global(MOD, name); }

// Run in a fresh interpreter (-I: no working directory, no user site on the
// path; -B: no bytecode written into the tree that becomes the wheel; -X
// faulthandler: a crash prints where it happened) with only the tree in
// front: imports each module and appends what happened, a JSON array a line,
// to a file written unbuffered, so that what was recorded survives a crash.
// The project's modules are watched while they load ("begin"/"end"), so the
// one that crashed is known, and an exception is charged to the innermost
// project module it left ("raised"), not to the modules importing it.
// Nothing of tovel is imported there, so the package under test is never
// shadowed by what the tool itself loaded.
// In a free-threaded interpreter the GIL must stay off: the project module
// whose loading turned it on (one that does not declare it runs without
// the GIL, or one that imports a module of another project that does) is
// recorded ("gil") and the interpreter ends. A fresh one, where the GIL is
// off again, checks the modules that remain, with each module found so
// loaded from its source ("shadow"), as --keep would ship it, so that the
// modules importing it are judged on their own.
static const char *PROBE = R"(import importlib, importlib.machinery, importlib.util, json, os, sys, traceback
with open(sys.argv[2], encoding="utf-8") as f:
    request = json.load(f)
sys.path.insert(0, sys.argv[1])
if request.get("meta"):
    sys.path.insert(1, request["meta"])
out = os.open(sys.argv[3], os.O_WRONLY | os.O_APPEND | os.O_CREAT)
roots, seen, alive = set(request["roots"]), {}, []
shadow = request.get("shadow", {})
gil = getattr(sys, "_is_gil_enabled", lambda: True)
free = not gil()
def note(*record):
    os.write(out, (json.dumps(record) + "\n").encode())
def describe(e):
    text = str(e).strip().splitlines()
    missing = getattr(e, "name", None) if isinstance(e, ImportError) else None
    installed = True
    if isinstance(e, ModuleNotFoundError) and missing:
        try:
            installed = importlib.util.find_spec(missing.partition(".")[0]) is not None
        except Exception:
            pass
    if not text:
        # An exception without a message (a bare assert): where it was raised says most.
        frames = traceback.extract_tb(e.__traceback__)
        text = [f"no message, raised at {os.path.basename(frames[-1].filename)}:{frames[-1].lineno}"
                + (f": {frames[-1].line}" if frames[-1].line else "")] if frames else ["no message"]
    return [type(e).__name__, text[0], missing, installed, "".join(traceback.format_exception(e))]
def watch(name, step):
    def watched(*args):
        note("begin", name)
        try:
            done = step(*args)
            if free and gil():
                note("gil", name, ["gil", "turns the GIL on in free-threaded CPython %d.%d: it does not declare "
                                   "that it runs without the GIL" % sys.version_info[:2], None, True, ""])
                os._exit(0)
            return done
        except BaseException as e:
            if id(e) not in seen:
                seen[id(e)] = name
                alive.append(e)
                note("raised", name, describe(e))
            raise
        finally:
            note("end", name)
    return watched
class Watch:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name.partition(".")[0] not in roots:
            return None
        if name in shadow:
            source, folder = shadow[name]
            found = importlib.util.spec_from_file_location(
                name, source, submodule_search_locations=None if folder is None else [folder])
        else:
            found = importlib.machinery.PathFinder.find_spec(name, path)
        if found is not None and found.loader is not None:
            for step in ("create_module", "exec_module"):
                if hasattr(found.loader, step):
                    setattr(found.loader, step, watch(name, getattr(found.loader, step)))
        return found
sys.meta_path.insert(0, Watch)
for name in request["names"]:
    note("start", name)
    try:
        importlib.import_module(name)
        note("ok", name)
    except BaseException as e:
        note("failed", name, seen.get(id(e), name), describe(e))
note("done")
)";

// Seconds an interpreter may take to import the modules it is given.
static const int PROBE_TIMEOUT = 600;

static nb::dict outcome(nb::handle cause, nb::handle d) {
    nb::dict o;
    o["cause"] = cause;
    o["kind"] = d[0];
    o["message"] = d[1];
    o["missing"] = d[2];
    o["installed"] = d[3];
    o["log"] = d[4];
    return o;
}

// How an interpreter that did not finish ended: the signal that killed it,
// or its exit status.
static nb::str ending(nb::handle status) {
    if (!status.is_none() && nb::cast<long>(status) < 0) {
        try {
            return nb::str("crashed with {}").format(mine("signal").attr("Signals")(-nb::cast<long>(status)).attr("name"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
        }
    }
    return nb::str("ended the interpreter with status {}").format(status);
}

// Where the module `name` is loaded from instead of its compiled form: its
// .py in `sources`, with the package's folder in `tree` for a package (so
// that its submodules stay the compiled ones). None without sources.
static nb::object source_of(nb::handle sources, nb::str tree, nb::handle name) {
    if (sources.is_none())
        return nb::none();
    nb::object os = mine("os");
    nb::object parts = nb::str(name).attr("split")(".");
    nb::object join = os.attr("path").attr("join");
    nb::object base = join(sources, *parts);
    nb::object module = base + nb::str(".py");
    if (truthy(os.attr("path").attr("isfile")(module)))
        return nb::make_tuple(os.attr("path").attr("abspath")(module), nb::none());
    nb::object package = join(base, "__init__.py");
    if (!truthy(os.attr("path").attr("isfile")(package)))
        return nb::none();
    return nb::make_tuple(os.attr("path").attr("abspath")(package),
                          os.attr("path").attr("abspath")(join(tree, *parts)));
}

// The names that have no result yet, in their order.
static nb::list not_yet(nb::list names, nb::dict results) {
    nb::list rest;
    for (nb::handle n : names)
        if (!results.contains(n))
            rest.append(n);
    return rest;
}

/// Imports `names` from `tree`, each in a fresh interpreter until one dies:
/// the module being loaded when it died is charged with the crash, and an
/// interpreter is started again for the modules not yet imported. So is one
/// where a module turned the GIL on: that module is charged, and loaded from
/// `sources` (a tree of the sources, when given) from then on. Returns
/// name -> None (imported) or an outcome dict: cause (the project module
/// that failed), kind, message, missing, installed, log.
static nb::dict probe(nb::str tree, nb::list names, nb::list roots, nb::handle python,
                      nb::handle sources = nb::none()) {
    nb::object os = mine("os"), json = mine("json"), Path = mine("Path");
    nb::str request(os.attr("path").attr("abspath")("build/import-check.json"));
    nb::str record(os.attr("path").attr("abspath")("build/import-check.jsonl"));
    os.attr("makedirs")("build", "exist_ok"_a = true);
    nb::dict results, first, shadow;
    nb::set wanted(names);
    nb::list remaining(names);
    while (nb::len(remaining)) {
        nb::dict req;
        req["names"] = remaining;
        req["roots"] = roots;
        req["shadow"] = shadow;
        // The project's .dist-info, where the build put it (its own version, entry points).
        if (truthy(os.attr("path").attr("isdir")("build/import-meta")))
            req["meta"] = os.attr("path").attr("abspath")("build/import-meta");
        Path(request).attr("write_text")(json.attr("dumps")(req), "encoding"_a = "utf-8");
        if (truthy(os.attr("path").attr("exists")(record)))
            os.attr("remove")(record);
        nb::list cmd;
        cmd.append(python);
        for (const char *a : {"-I", "-B", "-X", "faulthandler", "-c", PROBE})
            cmd.append(a);
        cmd.append(os.attr("path").attr("abspath")(tree));
        cmd.append(request);
        cmd.append(record);
        nb::object status = nb::none();
        nb::str output("");
        try {
            nb::object done = mine("subprocess").attr("run")(
                cmd, "stdin"_a = mine("subprocess").attr("DEVNULL"), "capture_output"_a = true, "text"_a = true,
                "errors"_a = "replace", "timeout"_a = PROBE_TIMEOUT);
            status = done.attr("returncode");
            output = nb::str(done.attr("stdout") + done.attr("stderr"));
        } catch (nb::python_error &e) {
            if (!e.matches(mine("subprocess").attr("TimeoutExpired")))
                throw;
        }
        nb::list lines;
        if (truthy(os.attr("path").attr("isfile")(record)))
            lines = nb::list(Path(record).attr("read_text")("encoding"_a = "utf-8").attr("splitlines")());
        nb::list stack;
        nb::object current = nb::none();
        bool finished = false, gil = false;
        for (nb::handle line : lines) {
            nb::list r(json.attr("loads")(line));
            std::string what = nb::cast<std::string>(r[0]);
            if (what == "start")
                current = r[1];
            else if (what == "begin")
                stack.append(r[1]);
            else if (what == "end" && nb::len(stack))
                stack.attr("pop")();
            else if (what == "raised")
                first.attr("setdefault")(r[1], r[2]);
            else if (what == "ok")
                results[r[1]] = nb::none();
            else if (what == "failed")
                results[r[1]] = outcome(r[2], first.attr("get")(r[2], r[3]));
            else if (what == "done")
                finished = true;
            else if (what == "gil") {
                gil = true;
                nb::object culprit = r[1];
                if (truthy(wanted.attr("__contains__")(culprit)) && !results.contains(culprit)) {
                    results[culprit] = outcome(culprit, r[2]);
                    nb::object at = source_of(sources, tree, culprit);
                    if (!at.is_none())
                        shadow[culprit] = at;
                } else if (!current.is_none()) {
                    results[current] = outcome(culprit, r[2]);
                }
            }
        }
        if (finished)
            break;
        if (gil) {
            // The GIL came on: the modules not yet imported get an
            // interpreter where it is off.
            remaining = not_yet(remaining, results);
            continue;
        }
        // The interpreter died: the innermost module of ours that was
        // loading is the culprit; the modules importing it fail with it.
        nb::str how = status.is_none() ? nb::str("did not finish importing within {} s").format(PROBE_TIMEOUT)
                                       : ending(status);
        if (current.is_none()) {
            for (nb::handle n : remaining)
                results[n] = outcome(n, nb::make_tuple("crash", how, nb::none(), true, output));
            break;
        }
        nb::object culprit = current;
        for (nb::handle n : stack)
            if (truthy(wanted.attr("__contains__")(n)))
                culprit = nb::borrow(n);
        results[culprit] = outcome(culprit, nb::make_tuple("crash", how, nb::none(), true, output));
        stack.append(current);
        for (nb::handle n : stack)
            if (!results.contains(n) && truthy(wanted.attr("__contains__")(n)))
                results[n] = outcome(culprit, nb::make_tuple("crash", how, nb::none(), true, output));
        remaining = not_yet(remaining, results);
    }
    for (nb::handle f : {request, record})
        if (truthy(os.attr("path").attr("exists")(f)))
            os.attr("remove")(f);
    return results;
}

TOVEL_MODULE(probe, m) {
    for (const char *name : {"json", "os", "signal", "subprocess"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("SCRIPT") = PROBE;
    m.def("probe", &probe, "tree"_a, "names"_a, "roots"_a, "python"_a, "sources"_a.none() = nb::none(),
          "Import names (dotted, of the project whose top-level names are roots) from tree with the "
          "interpreter python, a fresh one again after one dies or turns the GIL on; a module that "
          "turned it on is loaded from sources (a tree of the .py files) from then on. Returns "
          "name -> None (imported) or a dict: cause, kind, message, missing, installed, log.");
}
