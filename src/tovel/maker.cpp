// tovel.maker: one wheel of a `tov bdist` build, for one interpreter: its
// modules compiled (tovel.pipeline), import-checked (tovel.checker), proven
// by the project's tests (tovel.prover), packed with the tags of what was
// built (tovel.writer) and audited (tovel.audit). tovel.packer runs the
// build around it: the lock, the up-to-date check, one wheel for each
// interpreter, and the wheels landing together.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.maker";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object writer(const char *name) { return global("tovel.writer", name); }

// Where each wheel's proof runs (a folder named by its tags), and the log
// of the modules kept as source: this build's alone (forget()).
static const char *PROVE = "build/prove";
static const char *KEPT_LOG = "build/tov-kept.log";

// The wheel's python and ABI tags: the limited-API level the modules are
// compiled for (or `floor`, the project's own abi3 modules' level, when it is
// newer), or the running interpreter's own tags; the platform tags given,
// else this machine's.
static nb::tuple wheel_tags(bool limited, nb::object platform, nb::handle target, nb::handle floor) {
    if (platform.is_none()) {
        platform = nb::module_::import_("setuptools.command.bdist_wheel").attr("get_platform")(nb::none());
        platform = platform.attr("replace")("-", "_").attr("replace")(".", "_");
    }
    if (limited) {
        nb::str python("cp312");
        if (!floor.is_none() && tag_number(floor) > 312)
            python = nb::borrow<nb::str>(floor);
        return nb::make_tuple(python, "abi3", platform);
    }
    if (!target.is_none())
        return nb::make_tuple(target["python"], target["abi"], platform);
    nb::object first = running_tag();
    return nb::make_tuple(first.attr("interpreter"), first.attr("abi"), platform);
}

// The extension modules of built units, as they stand in the tree.
static nb::list extensions(nb::list built) {
    nb::list out;
    for (nb::handle u : built)
        out.append(u["so"]);
    return out;
}

static nb::str count(size_t n, const char *noun) {
    return nb::str("{} {}{}").format(n, noun, n == 1 ? "" : "s");
}

// The first line of a build: which wheel, for which interpreters. `abi3`:
// the limited API was asked for, so a wheel of another ABI says why;
// `asked`: the wheels asked for, which a wheel of sources only stands for.
static nb::str what_is_built(nb::tuple tags, size_t modules, nb::handle jobs, bool abi3, nb::list asked) {
    nb::str tag = nb::str("{}-{}").format(tags[0], tags[1]);
    if (nb::str(tags[1]).equal(nb::str("none")))
        return nb::len(asked) > 1
                   ? nb::str("building a {} wheel: every module is kept as source, so this one wheel serves every "
                             "interpreter, in place of the {} asked for ({})")
                         .format(tag, nb::len(asked), nb::str(", ").attr("join")(asked))
                   : nb::str("building a {} wheel: every module is kept as source").format(tag);
    nb::str python(tags[0]);
    nb::str version = nb::str("{}.{}").format(python.attr("__getitem__")(builtin("slice")(2, 3)),
                                               python.attr("__getitem__")(builtin("slice")(3, nb::none())));
    // A free-threaded ABI tag ends in "t" (cp314t).
    bool free = truthy(nb::str(tags[1]).attr("endswith")("t"));
    nb::str whom = nb::str(tags[1]).equal(nb::str("abi3"))
                       ? nb::str("one for CPython {} and later").format(version)
                   : free ? nb::str("for free-threaded CPython {} only{}")
                                .format(version, abi3 ? ", which has no limited API" : "")
                          : nb::str("for CPython {} only{}").format(version, abi3 ? ", of its full API" : "");
    return nb::str("building a {} wheel: {} ({} to compile, {} at a time)")
        .format(tag, whom, count(modules, "module"), jobs);
}

// Adds the seconds since `start` to the stage's account; returns now.
static nb::object timed(nb::dict times, const char *stage, nb::handle start) {
    nb::object now = mine("time").attr("monotonic")();
    times[stage] = nb::object(times.attr("get")(stage, 0.0)) + (now - start);
    return now;
}

// The account --verbose gives of where a build's time went: its stages in
// the order they run, the modules' parts summed over every module (CPU of
// the Cython workers, the compilers' wall time: with several jobs they add
// up to more than the stage).
static nb::str account(nb::dict times, nb::list units, nb::handle jobs, nb::handle total) {
    nb::dict parts;
    for (nb::handle u : units)
        for (auto [k, v] : nb::borrow<nb::dict>(get(u, "seconds", nb::dict())))
            parts[k] = nb::object(parts.attr("get")(k, 0.0)) + v;
    auto part = [&](const char *k) { return nb::object(parts.attr("get")(k, 0.0)); };
    nb::str line = nb::str("where the time went: back end {:.1f} s, modules {:.1f} s on {} jobs (Cython {:.1f} s, "
                           "mending {:.1f} s, tuning {:.1f} s, C compile {:.1f} s, link {:.1f} s)")
                       .format(times.attr("get")("back end", 0.0), times.attr("get")("modules", 0.0), jobs,
                               part("cython"), part("mending"), part("tuning"), part("compile"), part("link"));
    if (times.contains("profiling"))
        line = nb::str("{}, profiling {:.1f} s").format(line, times["profiling"]);
    for (const char *stage : {"import check", "tests", "packing", "audits"})
        line = nb::str("{}, {} {:.1f} s").format(line, stage, times.attr("get")(stage, 0.0));
    return nb::str("{}; {:.1f} s in all").format(line, total);
}

/// The wheel of one interpreter (`target` None: the running one) from the
/// units: compiled, import-checked, tested, packed with the tags of what
/// was built and audited; returns (the wheel, its path in the output
/// folder, the line that says so, why it is not proven by tests or "").
/// `b` is what the wheels of a build share (tovel.packer's): options, opts,
/// pure, plan, outdir, argv, limited (the running interpreter's wheel is of
/// the limited API), abi3 (the limited API was asked for), asked (the tags
/// of the wheels asked for), times (seconds by stage, emptied once a wheel
/// has told them) and started (when this wheel's time began, set anew).
static nb::tuple one_wheel(nb::dict b, nb::list units, nb::object target) {
    nb::object os = mine("os");
    auto part = [&](const char *key) { return nb::borrow<nb::dict>(b[key]); };
    nb::dict options = part("options"), opts = part("opts"), pure = part("pure"), plan = part("plan"),
             times = part("times");
    // Another interpreter's wheel is of its full API.
    bool limited = truthy(b["limited"]) && target.is_none();
    nb::object pipeline = nb::module_::import_("tovel.pipeline");
    nb::object checker = nb::module_::import_("tovel.checker");
    opts["target"] = target;
    opts["abi3"] = limited;
    // A wheel of sources only (every module kept, none of the project's own
    // extension modules) is what it is: pure Python.
    nb::list own;
    for (nb::handle m : get(b, "own", nb::list()))
        own.append(nb::str("build/egg/") + nb::str(m["arc"]));
    nb::object floor = get(b, "floor", nb::none());
    nb::tuple tags = nb::len(units) || nb::len(own) ? wheel_tags(limited, nb::none(), target, floor)
                                                    : nb::make_tuple("py3", "none", "any");
    print(what_is_built(tags, nb::len(units), opts["jobs"], truthy(b["abi3"]), nb::borrow<nb::list>(b["asked"])));
    // What this wheel's proof and kept modules leave is named by its tags,
    // apart from the other wheels'.
    nb::str tagname = nb::str("{}-{}").format(tags[0], tags[1]);

    // --pgo: the modules compiled instrumented and trained first (into the
    // tree, which is emptied below); the compile that follows uses the profile.
    nb::object clock = mine("time").attr("monotonic")();
    if (truthy(get(opts, "pgo", nb::bool_(false)))) {
        nb::module_::import_("tovel.profiler").attr("train")(options, opts, units, pure, target);
        clock = timed(times, "profiling", clock);
    }
    // The tree holds this build's modules only, whatever an earlier build left.
    nb::str tree("build/egg");
    mine("shutil").attr("rmtree")(tree, "ignore_errors"_a = true);
    nb::list failed = nb::borrow<nb::list>(pipeline.attr("run")(units, opts));
    clock = timed(times, "modules", clock);
    // A module kept as source still has to parse: one that does not is never shipped.
    for (nb::handle entry : plan["kept"]) {
        nb::dict probe = nb::borrow<nb::dict>(builtin("dict")(entry));
        if (!truthy(nb::module_::import_("tovel.scanner").attr("parses")(probe)))
            failed.append(probe);
    }
    os.attr("makedirs")(tree, "exist_ok"_a = true);
    writer("assemble")(plan, tree);
    nb::list built;
    nb::list roots;
    for (nb::handle pkg : pure["packages"])
        roots.append(nb::str(pkg[0]).attr("split")(".")[nb::int_(0)]);
    for (nb::handle u : units) {
        if (!nb::borrow<nb::dict>(u).contains("stage")) {
            built.append(u);
            continue;
        }
        // A module that failed stands in the tree as source, as the suggested
        // command would ship it, so that the modules importing it are checked
        // against that; with a failure no wheel is made from this tree.
        writer("place")(u, tree);
    }
    // The stable-ABI audit of the new modules runs while the checks go on.
    nb::object gauge = nb::module_::import_("tovel.gauge");
    nb::object abi3 = nb::none();
    if (limited && nb::len(built))
        abi3 = gauge.attr("start")(extensions(built), opts["cache"], opts["remote_cache"], STABLE_ABI_FLOOR,
                                   "build/abi3audit");
    // The import check finds the project's own metadata (its version read
    // with importlib.metadata, its entry points) as an installed wheel would.
    nb::str meta("build/import-meta");
    mine("shutil").attr("rmtree")(meta, "ignore_errors"_a = true);
    if (!pure["info"].is_none() && truthy(os.attr("path").attr("isdir")(pure["info"])))
        mine("shutil").attr("copytree")(pure["info"], os.attr("path").attr("join")(meta, os.attr("path").attr("basename")(pure["info"])));
    if (nb::len(built))
        failed.attr("extend")(checker.attr("check")(built, tree, roots, plan["absent"],
                                                    checker.attr("source_tree")(plan, "build/source"), opts["cache"],
                                                    opts["remote_cache"], target,
                                                    nb::module_::import_("tovel.finder").attr("declared")(pure["info"])));
    clock = timed(times, "import check", clock);
    // The tests judge the modules that passed the checks: one that failed
    // them is named once, for that, and stands in the tree (and so in the
    // test runs) as source, as the suggested command would ship it.
    nb::list judged;
    for (nb::handle u : built) {
        if (!truthy(failed.attr("__contains__")(u))) {
            judged.append(u);
            continue;
        }
        if (truthy(os.attr("path").attr("isfile")(u["so"]))) // the module's extension, in the tree
            os.attr("remove")(u["so"]);
        writer("place")(u, tree);
    }
    bool keep_failing = truthy(get(options, "keep_failing", nb::bool_(false)));
    nb::list kept;
    if (keep_failing)
        failed = nb::borrow<nb::list>(writer("keep_as_source")(failed, built, kept));

    nb::object info = pure["info"];
    bool mendable = true;
    for (nb::handle u : failed)
        mendable = mendable && truthy(get(u, "keep_helps", nb::bool_(true)));
    // Why the wheel is not proven by tests, for the last line (None: proven,
    // or the proof turned off with --no-test).
    nb::object unproven = nb::none(), proof = nb::none();
    nb::list blamed; // the modules the tests named
    if (nb::len(judged) && mendable && !truthy(get(options, "no_test", nb::bool_(false)))) {
        proof = nb::module_::import_("tovel.finder").attr("proof")(options, os.attr("getcwd")(), pure["root"],
                                                                   pure["packages"], info, judged);
        unproven = proof["unproven"];
        nb::object settings = proof["settings"];
        if (!settings.is_none() && nb::len(nb::object(proof["tested"]))) {
            // The project's tests judge the compiled modules against its pure
            // wheel: the back end's own, or one packed from the sources.
            if (info.is_none())
                info = nb::module_::import_("tovel.pyproject").attr("dist_info")(options, nb::str("build/meta"));
            nb::object pure_whl = pure["wheel"];
            if (pure_whl.is_none())
                pure_whl = writer("pure_wheel")(plan, nb::str(info));
            settings["cache"] = opts["cache"];
            settings["wheel"] = tagname;
            if (!target.is_none())
                settings["python"] = target["executable"];
            nb::list culprits = nb::borrow<nb::list>(nb::module_::import_("tovel.prover").attr("prove")(
                settings, pure_whl, proof["tested"], nb::str(PROVE) + nb::str("/") + tagname));
            unproven = get(settings, "unproven", nb::none());
            if (nb::borrow<nb::dict>(settings).contains("prove_it"))
                proof["prove_it"] = settings["prove_it"];
            blamed = culprits;
            if (keep_failing)
                writer("keep_as_source")(culprits, built, kept);
            else
                failed.attr("extend")(culprits);
        }
    }
    clock = timed(times, "tests", clock);
    // With no test to judge them, the modules that hold a construct known to
    // compile differently do not ship compiled (with --keep-failing: as source).
    if (!unproven.is_none()) {
        nb::list doubted;
        for (nb::handle u : judged) {
            nb::list doubts = nb::borrow<nb::list>(get(u, "doubts", nb::list()));
            if (!nb::len(doubts) || truthy(blamed.attr("__contains__")(u)))
                continue; // a module the tests named is named for that
            u["stage"] = "not proven";
            u["line"] = nb::str("{}, which compiles differently; no test judges it").format(doubts[0]);
            u["log"] = nb::str("{}\nno test judges these: {}\n").format(nb::str("\n").attr("join")(doubts), unproven);
            doubted.append(u);
        }
        if (nb::len(doubted) && !keep_failing)
            print(nb::str("the wheel is not proven by tests: {}; a command that would prove it: tov bdist {}")
                      .format(unproven, proof["prove_it"]));
        if (keep_failing)
            writer("keep_as_source")(doubted, built, kept);
        else
            failed.attr("extend")(doubted);
    }
    if (nb::len(failed))
        build_failed(checker.attr("summary")(failed, b["argv"], get(options, "keep", nb::none()),
                                              nb::str("build/tov-failures.log")));

    if (info.is_none())
        info = nb::module_::import_("tovel.pyproject").attr("dist_info")(options, nb::str("build/meta"));
    // A wheel of sources only (every module kept) is what it is: pure Python.
    // The platform policy its modules meet, each measured once, is in its
    // name from the start; auditwheel repairs only a wheel with a library
    // to vendor or no policy met.
    // The project's own extension modules count as the compiled ones do.
    nb::list measured = extensions(built);
    measured.attr("extend")(own);
    nb::object platform = nb::len(measured) ? gauge.attr("policy")(measured, opts["cache"], opts["remote_cache"])
                                            : nb::none();
    tags = nb::len(measured) ? wheel_tags(limited, platform, target, floor) : nb::make_tuple("py3", "none", "any");
    // A type checker reads a compiled module through the stub beside it.
    nb::module_::import_("tovel.stubber").attr("write")(built, tree);
    nb::str wheel = nb::str(writer("pack")(tree, nb::str(info), tags, pure["modes"]));
    clock = timed(times, "packing", clock);
    nb::object audit = nb::module_::import_("tovel.audit");
    if (platform.is_none())
        wheel = nb::str(audit.attr("repair")(wheel, "build/audit"));
    audit.attr("verify")(wheel, abi3.is_none() ? nb::object(nb::list()) : gauge.attr("finish")(abi3));
    timed(times, "audits", clock);
    // The account goes to the tools' log too, where a benchmark reads it.
    nb::str where = account(times, units, opts["jobs"], mine("time").attr("monotonic")() - b["started"]);
    if (truthy(get(options, "verbose", nb::bool_(false))))
        print(where);
    nb::object log = builtin("open")("build/tov.log", "a", "encoding"_a = "utf-8");
    log.attr("write")(where + nb::str("\n"));
    log.attr("close")();
    times.clear(); // the next wheel's account is its own

    nb::object made = os.attr("path").attr("join")(b["outdir"], os.attr("path").attr("basename")(wheel));
    if (nb::len(kept)) {
        nb::list logparts;
        for (nb::handle u : kept) {
            print(nb::str("kept as source: {} ({}: {})").format(u["path"], u["stage"], u["line"]));
            logparts.append(nb::str("==== {} ({}, {} wheel)\n{}\n").format(u["path"], u["stage"], tagname, u["log"]));
        }
        // Each wheel adds its own to the log of the build.
        nb::object log = builtin("open")(KEPT_LOG, "a", "encoding"_a = "utf-8");
        log.attr("write")(nb::str("").attr("join")(logparts));
        log.attr("close")();
        print(nb::str("{} kept as source (--keep-failing); the whole output of each is in {}")
                  .format(count(nb::len(kept), "failing module"), KEPT_LOG));
    }
    // The last line names the wheel and what it holds, also with --quiet;
    // it is said once the wheel is in the output folder.
    nb::object took = mine("time").attr("monotonic")() - b["started"];
    nb::object kb = builtin("round")(os.attr("path").attr("getsize")(wheel) / nb::float_(1024.0));
    size_t data = nb::len(nb::object(plan["data"])) - nb::len(own);
    nb::str carried = nb::len(own) ? nb::str(", {} of the project's own carried").format(count(nb::len(own), "extension module"))
                                   : nb::str("");
    nb::str line = nb::str("{}: {} compiled{}, {} kept as source, {} data {}, {} KB in {:.0f} s")
                       .format(made, count(nb::len(built), "module"), carried,
                               nb::len(nb::object(plan["kept"])) + nb::len(kept), data, data == 1 ? "file" : "files",
                               kb, took);
    nb::str note("");
    if (!unproven.is_none())
        note = nb::str("not proven by tests: {}; a command that would prove it: tov bdist {}")
                   .format(unproven, proof["prove_it"]);
    b["started"] = mine("time").attr("monotonic")(); // the next wheel's time is its own
    return nb::make_tuple(wheel, made, line, note);
}

/// What an earlier build's wheels left (their proofs, the log of the modules
/// kept as source) goes before a build makes its own.
static void forget() {
    mine("shutil").attr("rmtree")(PROVE, "ignore_errors"_a = true);
    mine("Path")(KEPT_LOG).attr("unlink")("missing_ok"_a = true);
}

TOVEL_MODULE(maker, m) {
    for (const char *name : {"os", "shutil", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("wheel_tags", &wheel_tags, "limited"_a, "platform"_a.none(), "target"_a.none(), "floor"_a.none() = nb::none(),
          "The wheel's python, ABI and platform tags: cp312-abi3 for the limited API (or the floor's "
          "python tag when newer), else the target interpreter's (None: the running one); the platform "
          "given, else this machine's.");
    m.def("one_wheel", &one_wheel, "build"_a, "units"_a, "target"_a.none(),
          "Make the wheel of one interpreter (target None: the running one) from the units; returns "
          "(the wheel, its path in the output folder, the line that says so, why it is not proven "
          "by tests or \"\").");
    m.def("forget", &forget, "Remove what an earlier build's wheels left: their proofs, the log of kept modules.");
}
