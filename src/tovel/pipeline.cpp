// tovel.pipeline: turns the modules of a project (as tovel.planner sorts
// them) into extension modules, many at once and each on its own. A module
// is translated by Cython in a worker process (tovel.translator), compiled
// through a compiler cache and linked (the compiler's set-up is ctool.h's);
// a failure is recorded with its stage and the work goes on, so that one run
// reports every failing module (tovel.checker).
#include "common.h"
#include "units.h"
#include "ctool.h"

#include <algorithm>
#include <string>

using namespace tovel;
using tovel::units::fail;

static const char *MOD = "tovel.pipeline";

static nb::object mine(const char *name) { return global(MOD, name); }

// Bumped when the translation's inputs change shape, so old entries are not reused.
static const char *SCHEME = "tovel-translation-2";

// ---------------------------------------------------------------- one module

// Key of a module's translation: everything that changes the C file.
static nb::str translation_key(nb::dict unit, nb::handle directives, nb::handle mender) {
    nb::object h = mine("hashlib").attr("sha256")();
    nb::object json = mine("json");
    auto add = [&](nb::handle text) { h.attr("update")(nb::str(text).attr("encode")("utf-8") + nb::bytes("\0", 1)); };
    add(nb::str(SCHEME));
    add(nb::module_::import_("Cython").attr("__version__"));
    add(unit["module"]);
    add(unit["path"]);
    add(json.attr("dumps")(directives, "sort_keys"_a = true));
    // What tovel.mender rewrites and fixes is part of the translation.
    add(mender);
    nb::object Path = mine("Path");
    nb::object source = Path(get(unit, "file", unit["path"]));
    h.attr("update")(source.attr("read_bytes")());
    // A .pxd beside the module augments it.
    nb::object pxd = source.attr("with_suffix")(".pxd");
    if (truthy(pxd.attr("is_file")()))
        h.attr("update")(pxd.attr("read_bytes")());
    return nb::str(h.attr("hexdigest")());
}

// A request to a worker of the pool (tovel.translator), its answer; None
// when the worker died or its pipe broke (it is replaced next time), `why`
// then its exit status or the pipe's error.
static nb::object ask(nb::dict ctx, nb::dict req, nb::object &why) {
    nb::object pool = ctx["pool"];
    nb::object worker = pool.attr("get")();
    nb::object json = mine("json");
    try {
        if (worker.is_none()) {
            nb::list cmd;
            cmd.append(mine("sys").attr("executable"));
            cmd.append("-c");
            cmd.append("from tovel.translator import serve; serve()");
            // In a session of its own, the terminal's Ctrl-C does not reach
            // it (a worker still starting would print a traceback): the
            // build ends its workers itself.
            worker = mine("subprocess").attr("Popen")(
                cmd, "stdin"_a = -1, "stdout"_a = -1, "text"_a = true, "encoding"_a = "utf-8",
                "bufsize"_a = 1, "start_new_session"_a = true);
            ctx["workers"].attr("append")(worker);
        }
        worker.attr("stdin").attr("write")(json.attr("dumps")(req) + nb::str("\n"));
        worker.attr("stdin").attr("flush")();
        nb::str answer(worker.attr("stdout").attr("readline")());
        if (nb::len(answer) == 0) {
            why = worker.attr("wait")();
            pool.attr("put")(nb::none());
            return nb::none();
        }
        pool.attr("put")(worker);
        return json.attr("loads")(answer);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        why = nb::str(e.value());
        pool.attr("put")(nb::none());
        return nb::none();
    }
}

// Translation through a worker of the pool.
static bool translate(nb::dict unit, nb::dict ctx) {
    nb::dict req;
    req["source"] = get(unit, "file", unit["path"]);
    req["module"] = unit["module"];
    req["c"] = unit["c"];
    req["directives"] = ctx["directives"];
    nb::object why;
    nb::object answer = ask(ctx, req, why);
    if (answer.is_none()) {
        fail(unit, "Cython translation",
             nb::isinstance<nb::str>(why) ? nb::str(why)
                                          : nb::str("the translator process ended unexpectedly (exit status {})").format(why),
             nb::str(""));
        return false;
    }
    nb::dict got = nb::borrow<nb::dict>(answer);
    unit["translation_log"] = got["log"];
    nb::dict seconds = nb::borrow<nb::dict>(unit["seconds"]);
    seconds.attr("update")(got.attr("get")("seconds", nb::dict()));
    if (!truthy(got["ok"])) {
        fail(unit, "Cython translation", got["line"], got["log"]);
        return false;
    }
    return true;
}

/// One module from source to extension module; failures are recorded in the
/// unit ("stage", "line", "log"), never raised.
static void build_one(nb::dict unit, nb::dict ctx) {
    // The source is scanned first (once: not again for another interpreter):
    // a syntax error or a construct that Cython is known to break stops the
    // module here.
    bool translated = truthy(get(unit, "translated", nb::bool_(false)));
    if (!translated && !truthy(mine("scanner").attr("check")(unit)))
        return;
    nb::object os = mine("os"), Path = mine("Path");
    nb::object cache = ctx["cache"], remote = ctx["remote"], store = mine("store");
    unit["cached"] = false;
    // Where the module's time goes (seconds by stage), for the account
    // --verbose gives: the worker's own CPU for its parts, the compiler's
    // and the linker's wall time.
    nb::dict seconds;
    unit["seconds"] = seconds;
    nb::object clock = mine("time").attr("monotonic");
    // Translated for another interpreter earlier in this build: the C stays.
    if (translated) {
        unit["cached"] = true;
    } else {
        nb::str key("");
        nb::object found = nb::none();
        if (!cache.is_none()) {
            key = translation_key(unit, ctx["directives"], ctx["mender"]);
            found = store.attr("lookup")(cache, remote, key);
        }
        if (!found.is_none()) {
            os.attr("makedirs")(os.attr("path").attr("dirname")(unit["c"]), "exist_ok"_a = true);
            Path(unit["c"]).attr("write_bytes")(found);
            unit["cached"] = true;
        } else {
            if (!translate(unit, ctx))
                return;
            if (!cache.is_none())
                store.attr("keep")(cache, remote, key, Path(unit["c"]).attr("read_bytes")());
        }
        unit["translated"] = true;
    }

    nb::list log, stage;
    stage.append("compile");
    unit["doing"] = nb::str("compiling {} KB of C")
                        .format(nb::cast<long long>(Path(unit["c"]).attr("stat")().attr("st_size")) / 1024);
    nb::object cc = ctool::compiler(ctx, log, stage);
    nb::list macros;
    if (truthy(ctx["limited"]))
        macros.append(nb::make_tuple("Py_LIMITED_API", ctx["limited_hex"]));
    macros.attr("extend")(ctx["macros"]);
    // With a team's store, the object comes from it when it holds one for
    // this C and this compile (signed, with a key), and goes to it otherwise.
    nb::object objects = nb::none();
    nb::str object_key("");
    if (!ctx["objects"].is_none()) {
        nb::object h = mine("hashlib").attr("sha256")(nb::str(ctx["objects"]).attr("encode")());
        h.attr("update")(nb::str(unit["c"]).attr("encode")("utf-8") + nb::bytes("\0", 1));
        h.attr("update")(Path(unit["c"]).attr("read_bytes")());
        object_key = nb::str(h.attr("hexdigest")());
        nb::object found = store.attr("lookup")(cache, remote, object_key, "object");
        if (!found.is_none()) {
            nb::object path = Path(cc.attr("object_filenames")(nb::make_tuple(unit["c"]), "output_dir"_a = "build/tmp")[0]);
            path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
            path.attr("write_bytes")(found);
            objects = nb::make_tuple(os.attr("fspath")(path));
        }
    }
    // Split over idle jobs (ctx["lto"], see run): the linked module comes
    // from the local cache when this C was built so before, as ccache gives
    // the others' objects (the work of such a build is in its link).
    int lto = objects.is_none() ? nb::cast<int>(ctx["lto"]) : 0;
    nb::str linked_key("");
    if (lto && !cache.is_none()) {
        nb::object h = mine("hashlib").attr("sha256")(nb::str(ctx["linked"]).attr("encode")());
        h.attr("update")(nb::str(unit["c"]).attr("encode")("utf-8") + nb::bytes("\0", 1));
        h.attr("update")(Path(unit["c"]).attr("read_bytes")());
        linked_key = nb::str(h.attr("hexdigest")());
        nb::object found = store.attr("lookup")(cache, nb::none(), linked_key, "linked");
        if (!found.is_none()) {
            Path(unit["so"]).attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
            Path(unit["so"]).attr("write_bytes")(found);
            unit["log"] = nb::str("");
            return;
        }
    }
    for (;;) {
        nb::object start = clock();
        // Copies: the build's own lists are every module's.
        nb::list cflags = nb::borrow<nb::list>(ctx["cflags"].attr("copy")());
        nb::list ldflags = nb::borrow<nb::list>(ctx["ldflags"].attr("copy")());
        if (lto) {
            cflags.append("-flto");
            ldflags.attr("extend")(nb::make_tuple(nb::str("-flto={}").format(lto),
                                                  nb::str("--param=lto-partitions={}").format(lto), ctx["opt"]));
        }
        try {
            if (objects.is_none() || lto) {
                stage[0] = "compile";
                objects = cc.attr("compile")(nb::make_tuple(unit["c"]), "output_dir"_a = "build/tmp",
                                             "macros"_a = macros, "include_dirs"_a = ctx["includes"],
                                             "extra_postargs"_a = cflags);
                seconds["compile"] = clock() - start;
                if (nb::len(object_key))
                    store.attr("keep")(cache, remote, object_key, Path(objects[0]).attr("read_bytes")(), "kind"_a = "object");
            }
            stage[0] = "link";
            start = clock();
            nb::list exports;
            exports.append(nb::str("PyInit_") +
                           nb::str(nb::str(unit["module"]).attr("rsplit")(".", 1)[nb::int_(-1)]));
            cc.attr("link_shared_object")(objects, unit["so"], "extra_postargs"_a = ldflags,
                                          "export_symbols"_a = exports, "build_temp"_a = "build/tmp",
                                          "target_lang"_a = "c");
            seconds["link"] = clock() - start;
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            // A compiler whose link-time optimisation fails (no plugin, no
            // make for its jobs) builds the module as usual.
            if (lto) {
                lto = 0;
                objects = nb::none();
                linked_key = nb::str("");
                continue;
            }
            fail(unit, nb::str(stage[0]).equal(nb::str("link")) ? "link" : "C compile", nb::str(e.value()),
                 nb::str("").attr("join")(log));
            return;
        }
        break;
    }
    if (nb::len(linked_key))
        store.attr("keep")(cache, nb::none(), linked_key, Path(unit["so"]).attr("read_bytes")(), "share"_a = false,
                           "kind"_a = "linked");
    unit["log"] = nb::str("").attr("join")(log);
}

// ---------------------------------------------------------------- run

/// Translates and compiles every unit, `jobs` at a time, each printing one
/// line when it is done. Returns the failed units. options: jobs, directives
/// (dict), abi3, debug, cache (a folder, or None for no cache).
static nb::list run(nb::list units, nb::dict options) {
    nb::object os = mine("os"), queue = mine("queue");
    nb::dict ctx;
    int jobs = nb::cast<int>(options["jobs"]);
    ctx["directives"] = options["directives"];
    // The translation's key holds the digests of the modules that change the
    // C after Cython: a translation made by an older build of them is not reused.
    nb::object tuner = mine("Path")(nb::module_::import_("tovel.tuner").attr("__file__"));
    ctx["mender"] = nb::str(nb::module_::import_("tovel.mender").attr("fingerprint")()) +
                    nb::str(mine("hashlib").attr("sha256")(tuner.attr("read_bytes")()).attr("hexdigest")());
    ctool::setup(ctx, options);
    nb::object profile = get(options, "profile", nb::none());

    nb::object cache = options["cache"];
    // The team's store (tovel.store) holds the translations, the C objects
    // (not those of a --pgo build, which its profile determines) and the
    // verdicts. A store that does not answer is one warning; the build goes
    // on with the local cache. A build for several interpreters keeps the
    // store it opened.
    nb::object remote = get(options, "remote_cache", nb::none());
    if (!remote.is_none() && !cache.is_none()) {
        if (nb::isinstance<nb::str>(remote))
            remote = mine("store").attr("connect")(remote);
    } else {
        remote = nb::none();
    }
    ctx["remote"] = remote;
    ctx["objects"] = remote.is_none() || !profile.is_none() ? nb::none() : ctool::object_base(ctx);
    // Fewer modules than jobs leave jobs idle: gcc's link-time optimisation
    // splits each module's optimisation and code generation over them (the
    // same code, counted by callgrind; a one-module build on 2 cores takes
    // some 40 % less time, the same processor time).
    ctx["lto"] = 0;
    int spare = jobs / std::max<int>(1, (int)nb::len(units));
    if (spare >= 2 && profile.is_none() && ctx["objects"].is_none() &&
        !truthy(get(options, "debug", nb::bool_(false)))) {
        nb::object base = ctool::object_base(ctx, true);
        if (!base.is_none()) {
            ctx["lto"] = spare;
            ctx["opt"] = ctool::opt_level(ctx);
            ctx["linked"] = nb::str("{} {} {} {}").format(base, spare, ctx["opt"],
                                                          mine("json").attr("dumps")(ctx["ldflags"]));
        }
    }
    // What comes after the modules (the audits, the import check) uses the
    // store only when it answered.
    options["remote_cache"] = remote;
    ctx["cache"] = cache;

    nb::object pool = queue.attr("Queue")();
    for (int i = 0; i < jobs; ++i)
        pool.attr("put")(nb::none());
    ctx["pool"] = pool;
    ctx["workers"] = nb::list();

    // Each module done prints one line with its place in the count; the lock
    // keeps the count and the order of the lines together.
    ctx["lock"] = mine("threading").attr("Lock")();
    ctx["done"] = 0;
    ctx["total"] = nb::len(units);
    ctx["measure"] = !cache.is_none() && remote.is_none() && profile.is_none() &&
                     truthy(mine("sys").attr("platform").attr("startswith")("linux"));
    bool verbose = truthy(get(options, "verbose", nb::bool_(false)));
    nb::object one = nb::cpp_function([ctx, verbose](nb::dict unit) {
        nb::object time = mine("time");
        nb::object start = time.attr("monotonic")();
        unit["started"] = start;
        unit["doing"] = "translating";
        unit.attr("pop")("seconds_total", nb::none()); // of a build for another interpreter
        unit.attr("pop")("notice_at", nb::none());
        build_one(unit, ctx);
        // A new translation's module has its platform policy and its keeping
        // to the stable ABI measured by a worker while the other jobs compile,
        // kept in the cache where packing and the audits find them (auditwheel
        // enters a folder of its own as it works: out of this process, whose
        // threads keep theirs). A cached translation's module was most likely
        // measured before: the worker need not load the audits' tools.
        if (!unit.contains("stage") && truthy(ctx["measure"]) && !truthy(unit["cached"])) {
            nb::dict req;
            req["measure"] = mine("os").attr("path").attr("abspath")(unit["so"]);
            req["cache"] = mine("os").attr("path").attr("abspath")(ctx["cache"]);
            req["abi3"] = truthy(ctx["limited"]) ? nb::object(nb::str(STABLE_ABI_FLOOR)) : nb::none();
            nb::object why;
            ask(ctx, req, why);
        }
        nb::object took = time.attr("monotonic")() - start;
        unit["seconds_total"] = took;
        if (ctx.contains("stopping"))
            return; // interrupted: what the killed jobs report is noise
        nb::object lock = ctx["lock"];
        lock.attr("acquire")();
        ctx["done"] = ctx["done"] + nb::int_(1);
        nb::str count = nb::str("[{}/{}]").format(ctx["done"], ctx["total"]);
        lock.attr("release")();
        nb::str line = unit.contains("stage")
            ? nb::str("{} failed {} ({}: {})\n").format(count, unit["path"], unit["stage"], unit["line"])
            : nb::str("{} compiled {} ({:.1f} s{})\n")
                  .format(count, unit["path"], took, truthy(unit["cached"]) ? ", translation cached" : "");
        if (verbose)
            line = nb::str(line + nb::str(get(unit, "translation_log", nb::str(""))) + nb::str(get(unit, "log", nb::str(""))));
        // One write a line: jobs finishing together never mix their lines.
        print(line, "end"_a = "", "flush"_a = true);
    });

    nb::object executor = mine("ThreadPoolExecutor")("max_workers"_a = jobs);
    nb::list futures;
    try {
        for (nb::handle unit : units)
            futures.append(executor.attr("submit")(one, unit));
        // A module that takes long says so, after two minutes and every
        // five after that, with what it is doing: a large module's C can
        // keep the compiler busy for long.
        nb::object wait = nb::module_::import_("concurrent.futures").attr("wait");
        nb::object monotonic = mine("time").attr("monotonic");
        nb::object pending = builtin("set")(futures);
        while (nb::len(pending)) {
            pending = wait(pending, "timeout"_a = 30, "return_when"_a = "FIRST_COMPLETED")[1];
            double now = nb::cast<double>(monotonic());
            for (nb::handle unit : units) {
                nb::dict u = nb::borrow<nb::dict>(unit);
                if (!u.contains("started") || u.contains("seconds_total"))
                    continue;
                double took = now - nb::cast<double>(u["started"]);
                double next = nb::cast<double>(get(u, "notice_at", nb::float_(120.0)));
                if (took < next)
                    continue;
                u["notice_at"] = next + 300;
                print(nb::str("... still at {} after {:.0f} min ({})").format(u["path"], took / 60, u["doing"]),
                      "flush"_a = true);
            }
        }
        for (nb::handle f : futures)
            f.attr("result")();
        executor.attr("shutdown")();
    } catch (nb::python_error &) {
        // An interrupt (or a fault of the tool itself) stops every job: queued
        // work is dropped and the workers are ended.
        ctx["stopping"] = true;
        executor.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
        for (nb::handle w : ctx["workers"])
            w.attr("kill")();
        throw;
    }
    for (nb::handle w : ctx["workers"]) {
        w.attr("stdin").attr("close")();
        w.attr("wait")();
    }
    // The tools' whole output, module by module, for whoever needs it.
    nb::list logparts;
    nb::list failed;
    for (nb::handle unit : units) {
        logparts.append(nb::str("==== {}\n{}{}\n").format(unit["path"], get(unit, "translation_log", nb::str("")),
                                                          get(unit, "log", nb::str(""))));
        if (nb::borrow<nb::dict>(unit).contains("stage"))
            failed.append(unit);
    }
    os.attr("makedirs")("build", "exist_ok"_a = true);
    mine("Path")("build/tov.log").attr("write_text")(nb::str("").attr("join")(logparts), "encoding"_a = "utf-8");
    return failed;
}

TOVEL_MODULE(pipeline, m) {
    for (const char *name : {"hashlib", "json", "os", "queue", "shlex", "shutil",
                             "subprocess", "sys", "sysconfig", "threading", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("scanner") = nb::module_::import_("tovel.scanner");
    m.attr("ThreadPoolExecutor") =
        nb::module_::import_("concurrent.futures").attr("ThreadPoolExecutor");
    m.attr("store") = nb::module_::import_("tovel.store");
    // setuptools supplies distutils, whose compiler classes the compile uses.
    nb::module_::import_("setuptools");

    m.def("run", &run, "units"_a, "options"_a,
          "Translate and compile the units in parallel; returns the failed ones.");
}
