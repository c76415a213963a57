// tovel.profiler: profile-guided optimisation of a build's modules (--pgo).
// The modules are compiled instrumented (gcc's -fprofile-generate), the
// project's tests or a workload command run against them installed in a
// fresh environment, and the compile that makes the wheel reads the counts
// they left (-fprofile-use). Both compiles read the same C files and write
// the same object paths, by which gcc names each module's profile. The
// compiler cache hashes the profile of each object compiled with it, and
// the checks and test verdicts, kept by each module's bytes, never take an
// instrumented module for the final one.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.profiler";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }

// Where the pipeline puts each module's object file (tovel.pipeline).
static const char *OBJECTS = "build/tmp";

// A progress line of tovel.pipeline: "[3/38] compiled ..." or "[3/38] failed ...".
static const char *PROGRESS = R"(^\[\d+/\d+\] (compiled|failed) )";

/// The distutils compiler the pipeline compiles with, set up as it is there.
static nb::object c_compiler() {
    nb::object cc = nb::module_::import_("distutils.ccompiler").attr("new_compiler")();
    nb::module_::import_("distutils.sysconfig").attr("customize_compiler")(cc);
    return cc;
}

/// Refuses, in one line, a C compiler whose profiles tov does not read: gcc
/// writes one .gcda file per object, which the final compile reads as it
/// is; clang's raw profiles need merging by a tool of its own.
static void require_gcc() {
    nb::object cc = c_compiler();
    if (!nb::str(cc.attr("compiler_type")).equal(nb::str("unix")))
        build_failed(nb::str("--pgo needs gcc; this build compiles with {}").format(cc.attr("compiler_type")));
    nb::list argv(builtin("list")(cc.attr("compiler_so")));
    nb::str shown(argv[0]);
    for (const char *a : {"-dM", "-E", "-x", "c"})
        argv.append(a);
    argv.append(mine("os").attr("devnull"));
    nb::object done;
    try {
        done = mine("subprocess").attr("run")(argv, "capture_output"_a = true, "text"_a = true, "errors"_a = "replace");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        build_failed(nb::str("--pgo: the C compiler {} does not run: {}").format(shown, e.value()));
    }
    nb::str macros(done.attr("stdout"));
    if (!done.attr("returncode").equal(nb::int_(0)) || !truthy(macros.attr("__contains__")("__GNUC__")))
        build_failed(nb::str("--pgo needs gcc; the C compiler {} is not gcc (set CC to a gcc)").format(shown));
    if (truthy(macros.attr("__contains__")("__clang__")))
        build_failed(nb::str("--pgo needs gcc; the C compiler {} is clang, whose profiles tov does not "
                             "read (set CC to a gcc)").format(shown));
}

/// The profile gcc writes for a unit's object, under `folder`: the
/// object's absolute path with every "/" made "#".
static nb::str profile_of(nb::handle unit, nb::str folder) {
    nb::object os = mine("os");
    nb::list sources;
    sources.append(unit["c"]);
    nb::object obj = c_compiler().attr("object_filenames")(sources, "output_dir"_a = OBJECTS)[nb::int_(0)];
    nb::str stem(os.attr("path").attr("splitext")(os.attr("path").attr("abspath")(obj))[nb::int_(0)]);
    return nb::str(join(folder, stem.attr("replace")("/", "#") + nb::str(".gcda")));
}

/// The instrumented compile of the units, its progress lines left out (the
/// final compile prints its own); warnings and whatever else it says are
/// passed on. Returns the units it built; the units are left as the final
/// compile takes them, their translation done, no failure recorded.
static nb::list compile_instrumented(nb::list units, nb::dict opts, nb::str folder) {
    nb::object re = mine("re");
    bool verbose = truthy(get(opts, "verbose", nb::bool_(false)));
    nb::dict profile;
    nb::list cflags, ldflags;
    cflags.append(nb::str("-fprofile-generate={}").format(folder));
    // Counters updated atomically where the target has them: threads of a
    // free-threaded interpreter do not lose counts.
    cflags.append("-fprofile-update=prefer-atomic");
    ldflags.append("-fprofile-generate");
    profile["cflags"] = cflags;
    profile["ldflags"] = ldflags;
    opts["profile"] = profile;
    nb::object said;
    try {
        Hush hush(mine("sys"), !verbose);
        nb::module_::import_("tovel.pipeline").attr("run")(units, opts);
        said = hush.said;
    } catch (...) {
        opts.attr("pop")("profile", nb::none());
        throw;
    }
    opts.attr("pop")("profile", nb::none());
    if (said.is_valid())
        for (nb::handle line : said.attr("getvalue")().attr("splitlines")("keepends"_a = true))
            if (re.attr("match")(PROGRESS, line).is_none())
                print(line, "end"_a = "");
    // The tools' output of this compile, beside its profiles.
    if (truthy(mine("os").attr("path").attr("isfile")("build/tov.log")))
        mine("shutil").attr("copy2")("build/tov.log", folder + nb::str(".log"));
    nb::list built;
    for (nb::handle u : units) {
        if (!nb::borrow<nb::dict>(u).contains("stage"))
            built.append(u);
        for (const char *key : {"stage", "line", "log", "keep_helps"})
            u.attr("pop")(key, nb::none());
    }
    return built;
}

/// What the training runs: the --pgo-command, or the project's tests as the
/// proof would run them. Returns (settings, the units they run against).
static nb::tuple training(nb::dict options, nb::dict opts, nb::dict pure, nb::list units) {
    nb::object os = mine("os");
    nb::object command = get(opts, "pgo_command", nb::none());
    if (!command.is_none()) {
        nb::dict settings;
        settings["test_command"] = command;
        nb::object given = get(options, "test_requires", nb::none());
        settings["test_requires"] = given.is_none() ? nb::list() : nb::list(builtin("list")(given));
        settings["test_timeout"] = get(options, "test_timeout", nb::none());
        settings["project"] = os.attr("getcwd")();
        return nb::make_tuple(settings, units);
    }
    if (truthy(get(options, "no_test", nb::bool_(false))))
        build_failed(nb::str("--pgo trains the modules on the project's tests, which --no-test turns off; "
                             "name a workload to train them on with --pgo-command COMMAND"));
    // The proof of the final wheel names the tests; training on them says nothing.
    nb::dict proof;
    {
        Hush hush(mine("sys"), true);
        proof = nb::borrow<nb::dict>(nb::module_::import_("tovel.finder").attr("proof")(
            options, os.attr("getcwd")(), pure["root"], pure["packages"], pure["info"], units));
    }
    if (proof["settings"].is_none() || !nb::len(nb::object(proof["tested"])))
        build_failed(nb::str("--pgo: no tests to train the modules on: {}; name a workload with "
                             "--pgo-command COMMAND")
                         .format(proof["unproven"].is_none() ? nb::str("the tests run none of the compiled modules")
                                                             : nb::str(proof["unproven"])));
    return nb::make_tuple(proof["settings"], proof["tested"]);
}

/// --pgo: compiles the units instrumented for `target` (None: the running
/// interpreter), runs the training against them and leaves in
/// opts["profile"] the flags of the compile that uses the profile. A
/// workload command that fails, or a training that leaves no profile, fails
/// the build; tests that fail in training do not, as the tests judge the
/// final wheel.
static void train(nb::dict options, nb::dict opts, nb::list units, nb::dict pure, nb::object target) {
    nb::object os = mine("os"), shutil = mine("shutil");
    opts.attr("pop")("profile", nb::none());
    if (!nb::len(units))
        return;
    if (pure["wheel"].is_none())
        build_failed(nb::str("--pgo needs a project with a pyproject.toml (or setup.py), or --from-wheel"));
    require_gcc();
    // One folder for each interpreter: every interpreter's objects have the
    // same paths.
    nb::str key = target.is_none() ? nb::str("default")
                                   : nb::str(nb::str(target["suffix"]).attr("strip")(".").attr("removesuffix")(".so"));
    nb::str base(os.attr("path").attr("abspath")("build/profile"));
    nb::str folder(join(base, key));
    shutil.attr("rmtree")(folder, "ignore_errors"_a = true);
    os.attr("makedirs")(folder);
    nb::object time = mine("time");
    nb::object start = time.attr("monotonic")();
    // What trains the modules is settled first: a build with nothing to
    // train on stops before it compiles anything.
    nb::tuple what = training(options, opts, pure, units);
    nb::dict settings = nb::borrow<nb::dict>(what[0]);
    print(nb::str("profiling: compiling {} module{} instrumented").format(nb::len(units), nb::len(units) == 1 ? "" : "s"),
          "flush"_a = true);
    nb::list built = compile_instrumented(units, opts, folder);
    // The training runs against the modules built; the final compile
    // reports each failure.
    nb::list tested;
    for (nb::handle u : what[1])
        if (truthy(built.attr("__contains__")(u)))
            tested.append(u);
    if (!nb::len(tested))
        return;
    if (!target.is_none())
        settings["python"] = target["executable"];
    bool workload = !get(opts, "pgo_command", nb::none()).is_none();
    print(nb::str("profiling: making the training environment for {}")
              .format(workload ? nb::str("the workload") : nb::str("the tests")),
          "flush"_a = true);
    nb::str workdir(join(base, key + nb::str("-bench")));
    shutil.attr("rmtree")(workdir, "ignore_errors"_a = true);
    nb::object testbench = nb::module_::import_("tovel.testbench");
    nb::dict bench = nb::borrow<nb::dict>(testbench.attr("make")(settings, pure["wheel"], tested, workdir));
    testbench.attr("arrange")(bench, nb::list());
    nb::dict r = nb::borrow<nb::dict>(testbench.attr("run")(bench, nb::none()));
    nb::str how(testbench.attr("describe")(bench, r));
    if (workload && !r["status"].equal(nb::int_(0)))
        build_failed(nb::str("--pgo-command failed in training: {}; its output is in {}").format(how, r["log"]));

    size_t trained = 0;
    for (nb::handle u : built)
        trained += truthy(os.attr("path").attr("isfile")(profile_of(u, folder))) ? 1 : 0;
    if (!trained)
        build_failed(nb::str("--pgo: the training left no profile ({}): it imported none of the compiled "
                             "modules, or did not end normally; its output is in {}")
                         .format(how, r["log"]));
    print(nb::str("profiling: {} ran instrumented: {}; {} of {} modules profiled in {:.0f} s; compiling with the profile")
              .format(workload ? nb::str("the workload") : nb::str("the tests"), how, trained, nb::len(units),
                      time.attr("monotonic")() - start),
          "flush"_a = true);

    // Code the training did not reach is optimised as without a profile,
    // not for size; a module it never imported has no profile at all.
    nb::dict profile;
    nb::list cflags;
    cflags.append(nb::str("-fprofile-use={}").format(folder));
    cflags.append("-fprofile-partial-training");
    cflags.append("-Wno-missing-profile");
    profile["cflags"] = cflags;
    profile["ldflags"] = nb::list();
    opts["profile"] = profile;
}

TOVEL_MODULE(profiler, m) {
    for (const char *name : {"os", "re", "shutil", "subprocess", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    // setuptools supplies distutils, whose compiler classes the compile uses.
    nb::module_::import_("setuptools");
    m.def("require_gcc", &require_gcc, "Refuse, in one line, a C compiler other than gcc.");
    m.def("profile_of", &profile_of, "unit"_a, "folder"_a, "The .gcda file gcc writes for a unit's object under folder.");
    m.def("train", &train, "options"_a, "opts"_a, "units"_a, "pure"_a, "target"_a.none(),
          "Compile the units instrumented, run the training against them and leave the flags of the "
          "compile that uses the profile in opts['profile'].");
}
