// tovel.prover: the project's own tests judge the compiled modules. The test
// command runs in a fresh virtual environment, once with the sources and once
// with the compiled modules in place; tests that fail only compiled are traced
// to the modules that break them (tovel.narrow) by runs with some modules
// compiled: the modules already built are swapped in site-packages, nothing
// is compiled again. Each run is remembered by the module set (tovel.verdict).
#include "common.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace tovel;

static const char *MOD = "tovel.prover";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object bench(const char *name) { return mine("testbench").attr(name); }

// What the proof works with: the test bench (made at the first run
// that is not remembered), the tests that pass from the sources, and the
// runs done so far by configuration and selection.
struct Judge {
    nb::dict settings, bench;
    nb::str pure_wheel, workdir;
    nb::list units, digests;
    nb::object cache, salt;
    bool made = false, pytest = false;
    bool parallel = false, copied = false; // runs two at once, the second on `copy`
    nb::dict copy;
    nb::list passed;
    std::map<std::pair<std::vector<int>, std::string>, nb::dict> runs;
};

// ---------------------------------------------------------------- remembered verdicts

// The key of a run: the salt, each module compiled by its bytes (one as
// source is the pure wheel's, which the salt holds), and the tests selected.
static nb::str verdict_key(Judge &b, const std::vector<int> &source, const std::string &select) {
    if (b.salt.is_none()) {
        nb::object sha = mine("hashlib").attr("sha256");
        b.salt = mine("verdict").attr("salt")(b.settings, b.pure_wheel);
        if (!nb::len(b.digests))
            for (nb::handle u : b.units)
                b.digests.append(sha(mine("Path")(u["so"]).attr("read_bytes")()).attr("hexdigest")());
    }
    nb::object h = mine("hashlib").attr("sha256")();
    h.attr("update")(nb::str(b.salt).attr("encode")());
    for (size_t i = 0; i < nb::len(b.units); ++i)
        if (std::find(source.begin(), source.end(), (int) i) == source.end())
            h.attr("update")(nb::str("\n{} {}").format(b.units[i]["arc"], b.digests[i]).attr("encode")());
    h.attr("update")(nb::str("\n--\n{}").format(nb::str(select.c_str())).attr("encode")());
    return nb::str(h.attr("hexdigest")());
}

// A run asked for: the modules as source, the tests selected (None: all),
// its progress line (its {0} is the run's number, {1} the modules as source,
// {2} compiled).
struct Ask {
    std::vector<int> source;
    nb::object select;
    std::string label;
};

// The test environment, made at the first run that is not remembered.
static void make_bench(Judge &b) {
    if (b.made)
        return;
    // A build of several wheels makes one environment for each.
    nb::object wheel = get(b.settings, "wheel", nb::none());
    nb::str whom = wheel.is_none() ? nb::str("")
        : nb::str(" for the {} wheel ({})").format(wheel, get(b.settings, "python", mine("sys").attr("executable")));
    nb::object extras = get(b.settings, "test_extras", nb::list());
    size_t n_extras = nb::len(extras);
    print(nb::str("making the test environment{}: the pure wheel{} and {}")
              .format(whom, n_extras ? nb::str(" with its extra{} {}").format(n_extras > 1 ? "s" : "", nb::str(", ").attr("join")(extras))
                                     : nb::str(""),
                      nb::len(nb::object(get(b.settings, "test_requires", nb::list())))
                          ? nb::str(", ").attr("join")(b.settings["test_requires"])
                          : nb::str("no more requirements")));
    nb::dict full = nb::borrow<nb::dict>(bench("make")(b.settings, b.pure_wheel, b.units, b.workdir));
    full["runs"] = b.bench["runs"];
    b.bench.attr("update")(full);
    b.made = true;
}

static nb::list indices(const std::vector<int> &source) {
    nb::list out;
    for (int i : source)
        out.append(i);
    return out;
}

/// The runs asked for, each remembered for its selection in this proof and,
/// by the hash of the module set, in the cache folder: a later build with the
/// same modules and tests does not run it again. Two runs not remembered go
/// at once where there are cores for both, the second on a copy of the test
/// environment.
static std::vector<nb::dict> run_all(Judge &b, std::vector<Ask> asks) {
    nb::object verdict = mine("verdict"), testrun = mine("testrun");
    size_t count = asks.size();
    std::vector<nb::dict> out(count);
    std::vector<std::string> keys(count);
    std::vector<nb::str> vkeys(count);
    std::vector<int> number(count, 0);
    std::vector<bool> known(count, false), remembered(count, false);
    std::vector<size_t> todo;
    for (size_t i = 0; i < count; ++i) {
        Ask &a = asks[i];
        std::sort(a.source.begin(), a.source.end());
        keys[i] = a.select.is_none() ? std::string("*")
                                     : std::string(nb::str(nb::str("\n").attr("join")(builtin("sorted")(a.select))).c_str());
        auto found = b.runs.find({a.source, keys[i]});
        if (found != b.runs.end()) {
            out[i] = found->second, known[i] = true;
            continue;
        }
        vkeys[i] = b.cache.is_none() ? nb::str("") : verdict_key(b, a.source, keys[i]);
        int n = nb::cast<int>(b.bench["runs"]) + 1;
        nb::object stored = b.cache.is_none() ? nb::none()
            : verdict.attr("recall")(b.cache, vkeys[i], mine("os").attr("path").attr("join")(b.bench["logs"], nb::str("run-{}.log").format(n)));
        if (!stored.is_none()) {
            out[i] = nb::borrow<nb::dict>(stored), number[i] = n, remembered[i] = true;
            b.bench["runs"] = n;
        } else
            todo.push_back(i);
    }
    if (!todo.empty())
        make_bench(b);
    for (size_t k = 0; k < todo.size();) {
        size_t i = todo[k];
        bool pair = b.parallel && k + 1 < todo.size();
        if (!pair) {
            bench("arrange")(b.bench, indices(asks[i].source));
            number[i] = nb::cast<int>(b.bench["runs"]) + 1;
            b.bench["runs"] = number[i];
            out[i] = nb::borrow<nb::dict>(testrun.attr("finish")(b.bench, testrun.attr("start")(b.bench, asks[i].select, number[i])));
            k += 1;
            continue;
        }
        size_t j = todo[k + 1];
        if (!b.copied) {
            b.copy = nb::borrow<nb::dict>(bench("copy")(b.bench, mine("os").attr("path").attr("join")(b.workdir, "venv-2")));
            b.copied = true;
        }
        bench("arrange")(b.bench, indices(asks[i].source));
        bench("arrange")(b.copy, indices(asks[j].source));
        number[i] = nb::cast<int>(b.bench["runs"]) + 1, number[j] = number[i] + 1;
        b.bench["runs"] = number[j];
        nb::object first = testrun.attr("start")(b.bench, asks[i].select, number[i]), second;
        try {
            second = testrun.attr("start")(b.copy, asks[j].select, number[j]);
        } catch (...) {
            testrun.attr("stop")(first);
            throw;
        }
        try {
            out[i] = nb::borrow<nb::dict>(testrun.attr("finish")(b.bench, first));
        } catch (...) {
            testrun.attr("stop")(second);
            throw;
        }
        out[j] = nb::borrow<nb::dict>(testrun.attr("finish")(b.copy, second));
        k += 2;
    }
    auto modules = [](size_t n) { return nb::str(n == 1 ? "1 module" : "{} modules").format(n); };
    for (size_t i = 0; i < count; ++i) {
        if (known[i])
            continue;
        if (!remembered[i] && !b.cache.is_none())
            verdict.attr("remember")(b.cache, vkeys[i], out[i]);
        nb::str how(bench("describe")(b.bench, out[i]));
        if (remembered[i])
            how = nb::str(how.attr("removesuffix")(")") + nb::str(", remembered)"));
        print(nb::str("{}: {}").format(nb::str(asks[i].label.c_str()).attr("format")(number[i], modules(asks[i].source.size()),
                                                                            modules(nb::len(b.units) - asks[i].source.size())), how));
        b.runs[{asks[i].source, keys[i]}] = out[i];
    }
    return out;
}

static nb::dict run_cached(Judge &b, std::vector<int> source, nb::object select, std::string label) {
    return run_all(b, {Ask{source, select, label}})[0];
}

// The proof could not be made: said in one line, the build goes on unproven
// (the tests were found, not asked for), or it fails (they were asked for).
struct Unproven {
    std::string why;
};

// What the runs say (tovel.verdict's).
static nb::object says(const char *name) { return mine("verdict").attr(name); }
static nb::str names_of(nb::list ids) { return nb::str(says("names")(ids)); }
static nb::list missing(Judge &b, nb::dict r) {
    return nb::list(says("missing")(r, b.units, get(b.settings, "project", mine("os").attr("getcwd")())));
}
static nb::str lacking(Judge &b, nb::list names) {
    return nb::str(says("lacking")(names, get(b.settings, "absent", nb::list())));
}

// A proof that stands on fewer tests than this is said to be thin.
static const size_t HANDFUL = 5;

// The test modules that did not load from the sources (pytest reports each
// as an error of an id with no test in it), with the first one's cause, as
// " (N test modules do not load: ...)"; "" when all loaded.
static nb::str unloaded(nb::dict source, nb::list both) {
    nb::list ids;
    for (nb::handle id : both)
        if (truthy(nb::str(id).attr("startswith")("::")))
            ids.append(id);
    if (!nb::len(ids))
        return nb::str("");
    // The cause is the last line pytest marks with E in the failure's text.
    nb::str text(source["texts"].attr("get")(ids[0], ""));
    nb::str cause("");
    for (nb::handle line : text.attr("splitlines")())
        if (truthy(nb::str(line).attr("startswith")("E ")))
            cause = nb::str(nb::str(line).attr("removeprefix")("E").attr("strip")());
    return nb::str(" ({} {} not load: {}{})")
        .format(nb::len(ids), nb::len(ids) == 1 ? "test module does" : "test modules do", names_of(ids),
                nb::len(cause) ? nb::str(": ") + cause : nb::str(""));
}

// Why a proof is thin: how few tests passed from the sources, and the test
// modules that did not load there.
static nb::str thin(Judge &b, nb::dict source, nb::list both) {
    size_t n = nb::len(b.passed);
    nb::str why = nb::str("only {} {} from the sources, too few to prove the compiled modules")
                      .format(n, n == 1 ? "test passed" : "tests passed");
    return nb::str(why + unloaded(source, both));
}

// Why the wheel is not proven, and the options that would prove it: the
// first reason found is the one said.
static void unproven(nb::dict settings, nb::str why, nb::str prove_it) {
    if (!get(settings, "unproven", nb::none()).is_none())
        return;
    settings["unproven"] = why;
    settings["prove_it"] = prove_it;
}

/// Runs the test command from the sources and compiled; returns the units
/// whose compiled form breaks tests that pass from the sources.
static nb::list judge(Judge &b, bool found) {
    nb::dict settings = b.settings;
    int count = (int) nb::len(b.units);
    std::vector<int> all;
    for (int i = 0; i < count; ++i)
        all.push_back(i);

    nb::dict source = run_cached(b, all, nb::none(), "tests from source");
    // A conftest.py that does not load stops pytest before any test: the
    // module it lacks is the cause, not pytest's options.
    if (b.pytest && source["status"].equal(nb::int_(4)) &&
        truthy(mine("Path")(source["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace")
                   .attr("__contains__")("ImportError while loading conftest"))) {
        nb::list lacks = missing(b, source);
        nb::str why = nb::len(lacks) ? nb::str("the tests cannot start: their conftest.py imports {}").format(lacking(b, lacks))
                                     : nb::str("the tests cannot start: their conftest.py fails to import (the output is in {})").format(source["log"]);
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why);
    }
    // Tests tov found run once more where pytest's configuration stands in
    // their way: a folder it puts on sys.path holds the sources (none is put
    // there then), or its addopts name a plugin that is not installed (a
    // usage error: the options are left out then).
    for (int again = 0; found && b.pytest && again < 2; ++again) {
        nb::str flags, why;
        if (!source["shadowed"].is_none()) {
            flags = nb::str(" -o pythonpath= --import-mode=importlib");
            why = nb::str("the tests imported {} instead of the installed package").format(source["shadowed"]);
        } else if (source["status"].equal(nb::int_(4)) &&
                   !truthy(nb::str(settings["test_command"]).attr("__contains__")("-o addopts="))) {
            flags = nb::str(" -o addopts=");
            why = nb::str("pytest refused its options (exit status 4)");
        } else
            break;
        print(nb::str("{}; running them again with{}").format(why, flags));
        settings["test_command"] = nb::str(settings["test_command"]) + flags;
        if (b.made)
            b.bench["command"] = nb::str(b.bench["command"]) + flags;
        b.copied = false;
        b.salt = nb::none();
        b.runs.clear();
        source = run_cached(b, all, nb::none(), "tests from source");
    }
    if (!source["shadowed"].is_none()) {
        nb::str why = nb::str("the tests imported {} instead of the installed package: a folder of the project "
                              "is on sys.path when they run, so they cannot judge the compiled modules")
                          .format(source["shadowed"]);
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why + nb::str("; run them so that it is not (with pytest: -o pythonpath= "
                                   "--import-mode=importlib)"));
    }
    // Processes the tests start that import the sources on purpose judge
    // those: the other tests still judge the compiled modules, and the
    // wheel is not called proven.
    nb::object spawned = get(source, "spawned", nb::none());
    if (!spawned.is_none())
        print(nb::str("warning: a process the tests start imported {}, not the installed package: the tests that "
                      "run it judge the sources").format(spawned));
    bool ran = b.pytest ? !source["tests"].is_none() && !truthy(nb::make_tuple(2, 3, 4).attr("__contains__")(source["status"]))
                        : source["status"].equal(nb::int_(0));
    // Tests that fail from the sources judge nothing: counted and named.
    nb::list both;
    if (ran && b.pytest) {
        for (auto [id, passed] : nb::borrow<nb::dict>(source["tests"]))
            (truthy(passed) ? b.passed : both).append(id);
    } else if (ran)
        b.passed.append(mine("narrow").attr("WHOLE"));
    nb::list lacks = b.pytest ? missing(b, source) : nb::list();
    nb::str too("");
    if (nb::len(both))
        too = nb::str("{} {} from the sources too: {}{}")
                  .format(nb::len(both), nb::len(both) == 1 ? "test fails" : "tests fail", names_of(both),
                          nb::len(lacks) ? nb::str("; they import ") + lacking(b, lacks) : unloaded(source, both));
    if (!nb::len(b.passed)) {
        nb::str hint("");
        bool has_pytest = false;
        for (nb::handle r : get(settings, "test_requires", nb::list()))
            has_pytest = has_pytest || truthy(mine("re").attr("match")("pytest\\b", r));
        if (b.pytest && !has_pytest)
            hint = nb::str(" (pytest comes into the test environment with --test-requires pytest)");
        else if (nb::len(lacks))
            hint = nb::str(nb::str(" (they import ") + lacking(b, lacks) + nb::str(")"));
        else
            hint = unloaded(source, both);
        // Tests inside the package, collected from the project's folder,
        // import the installed package: pytest finds the two files differ.
        nb::object text = mine("Path")(source["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace");
        if (b.pytest && nb::len(b.units) && truthy(text.attr("__contains__")("import file mismatch")))
            hint = nb::str(" (tests inside the package run from the installed one: name them through {{site}}, "
                           "such as --test-command 'pytest {{site}}/{}/tests')")
                       .format(nb::str(b.units[0]["arc"]).attr("split")("/")[0]);
        // How the run ended, without its time and the log (named once, below).
        nb::str how = nb::str(bench("describe")(b.bench, source)).attr("rpartition")(" (")[0];
        how = nb::str(how.attr("partition")("; log: ")[0]);
        nb::str why = ran ? nb::str("no test passes from the sources{} ({}, the output is in {})").format(hint, how, source["log"])
                          : nb::str("the test command fails from the sources{} ({}, the output is in {})").format(hint, how, source["log"]);
        // Tests that need a folder this source tree lacks run only where
        // the project has it.
        nb::list gone;
        nb::object absent = nb::list(get(settings, "absent", nb::list()));
        for (nb::handle n : lacks)
            if (truthy(absent.attr("__contains__")(n)))
                gone.append(nb::str(n) + nb::str("/"));
        if (found && nb::len(gone))
            settings["prove_it"] = nb::str("--test-command CMD, with a CMD that runs the tests in a checkout of the "
                                           "project that has its {}").format(nb::str(", ").attr("join")(gone));
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why + nb::str("; it cannot judge the compiled modules"));
    }

    // Where tov chose the bound, a compiled run that takes ten times the
    // sources' time (a minute at least) hangs: it is stopped there, not
    // after the ten minutes a first run of unknown length may take.
    nb::object took = get(source, "seconds", nb::none());
    if (truthy(get(settings, "timeout_chosen", nb::bool_(false))) && !took.is_none()) {
        double bound = std::max(60.0, 10 * nb::cast<double>(took));
        if (bound < nb::cast<double>(b.bench["timeout"]))
            b.bench["timeout"] = nb::int_(static_cast<long>(bound + 0.5));
    }
    nb::dict last = run_cached(b, {}, nb::none(), "tests compiled");
    nb::object stale = get(last, "as_source", nb::none());
    if (!stale.is_none()) {
        nb::str why = nb::str("the tests loaded {}, which stands in the test environment compiled: they did not "
                              "judge its compiled form").format(stale);
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why);
    }
    // The failing tests traced to the modules that break them, each run asked
    // of run_all.
    nb::object runs = nb::cpp_function([&b](nb::list asks) {
        std::vector<Ask> all;
        for (nb::handle a : asks) {
            std::vector<int> source;
            for (nb::handle i : a[0])
                source.push_back(nb::cast<int>(i));
            all.push_back(Ask{source, nb::borrow(a[1]), std::string(nb::str(a[2]).c_str())});
        }
        nb::list out;
        for (nb::dict r : run_all(b, all))
            out.append(r);
        return out;
    });
    nb::dict index;
    for (size_t i = 0; i < nb::len(b.units); ++i) {
        nb::str arc(nb::str(nb::str(b.units[i]["arc"]).attr("removesuffix")(".py")).attr("removesuffix")("/__init__"));
        index[arc.attr("replace")("/", ".")] = i;
    }
    nb::dict traced = nb::borrow<nb::dict>(mine("narrow").attr("trace")(runs, count, b.passed, last, b.pytest, index,
                                                                       b.pytest ? nb::object(nb::set(source["tests"])) : nb::none()));
    nb::list broken(traced["broken"]);
    nb::list culprits, wide(traced["widespread"]);
    for (nb::handle i : traced["keep"]) {
        nb::dict unit = nb::borrow<nb::dict>(b.units[nb::cast<size_t>(i)]);
        nb::handle why = traced["blamed"][i];
        says("blame")(unit, why[0], why[1], b.bench["timeout"], b.pytest);
        culprits.append(unit);
    }
    if (nb::len(wide)) {
        // Left out of the narrowing, which would name every module: named
        // with the option that leaves them out of the tests.
        nb::list functions;
        for (nb::handle id : wide) {
            nb::str f(nb::str(nb::str(id).attr("rpartition")("::")[2]).attr("partition")("[")[0]);
            if (!truthy(functions.attr("__contains__")(nb::str("not ") + f)))
                functions.append(nb::str("not ") + f);
        }
        nb::str why = nb::str("{} {} with any quarter of the modules compiled, as a test that reads the package's "
                              ".py files would (a compiled wheel does not ship them); --test-command {} leaves {} out")
                          .format(names_of(wide), nb::len(wide) == 1 ? "fails" : "fail",
                                  mine("shlex").attr("quote")(nb::str("{} -k \"{}\"").format(
                                      settings["test_command"], nb::str(" and ").attr("join")(functions))),
                                  nb::len(wide) == 1 ? "it" : "them");
        // Tests the compiled modules fail stop the build, found or given: a
        // test of the sources' files is the user's to leave out.
        if (!nb::len(culprits) && !nb::len(broken))
            build_failed(why);
        if (found)
            settings["unproven"] = why;
        print(nb::str("warning: ") + why);
    }
    if (nb::len(broken)) {
        nb::list unsteady(traced["unsteady"]);
        nb::str more = nb::len(unsteady) ? nb::str(" ({} failed from the sources too, in a run of every test: {} on more than "
                                                   "the modules, such as the machine's load)")
                                               .format(names_of(unsteady), nb::len(unsteady) == 1 ? "it depends" : "they depend")
                                         : nb::str("");
        nb::str why = nb::str("{} {} compiled{} and {} not traced to a module{}; the output is in {}")
                          .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail",
                                  nb::len(culprits) ? nb::str(" with the modules named here kept as source") : nb::str(""),
                                  nb::len(broken) == 1 ? "is" : "are", more, b.bench["logs"]);
        if (found)
            settings["unproven"] = why;
        else if (!nb::len(culprits))
            build_failed(why);
        print(nb::str("warning: ") + why);
    } else if (nb::len(culprits) == 0 && nb::len(wide) == 0) {
        // How many tests the proof stands on, and those pytest did not run.
        nb::list said;
        if (b.pytest)
            said.append(nb::str(nb::len(b.passed) == 1 ? "1 test ran" : "{} tests ran").format(nb::len(b.passed)));
        if (nb::len(too))
            said.append(too);
        print(nb::str("the compiled modules pass every test that passes from the sources{}")
                  .format(nb::len(said) ? nb::str(" ({})").format(nb::str("; ").attr("join")(said)) : nb::str("")));
    }
    if (nb::len(too) && (nb::len(broken) || nb::len(culprits) || nb::len(wide)))
        print(nb::str("warning: ") + too);
    if (!spawned.is_none())
        unproven(settings, nb::str("a process the tests start imported {}, not the installed package").format(spawned),
                 nb::str("--test-command CMD, with a CMD whose tests and the processes they start import the "
                         "installed package"));
    if (b.pytest && nb::len(b.passed) < HANDFUL) {
        nb::str why = thin(b, source, both);
        print(nb::str("warning: ") + why);
        // Running the same tests again proves no more: more tests would.
        unproven(settings, why, nb::str("--test-command CMD, with a CMD that runs more tests than {}")
                                    .format(mine("shlex").attr("quote")(settings["test_command"])));
    }
    return culprits;
}

/// The proof of `prove`; with settings["found"] (tests tov found, not asked
/// for) a proof that cannot be made is one warning line, and
/// settings["unproven"] says why.
static nb::list prove(nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    nb::object os = mine("os");
    Judge b;
    b.settings = settings;
    b.pure_wheel = nb::str(os.attr("path").attr("abspath")(pure_wheel));
    b.workdir = nb::str(os.attr("path").attr("abspath")(workdir));
    b.cache = get(settings, "cache", nb::none());
    b.salt = nb::none();
    mine("shutil").attr("rmtree")(b.workdir, "ignore_errors"_a = true);
    b.bench["logs"] = os.attr("path").attr("join")(b.workdir, "logs");
    os.attr("makedirs")(b.bench["logs"]);
    // The modules the wheel ships compiled outside the tests' own folders,
    // which the tests do not name (a package pytest's testpaths names, say),
    // are judged too: the runs from source and compiled hold the pure
    // wheel's modules and the shipped wheel's. Their sources come from the
    // pure wheel, for one kept as source.
    b.units = nb::list(units);
    nb::object zf = mine("ZipFile")(b.pure_wheel);
    try {
        nb::set names(zf.attr("namelist")());
        for (nb::handle c : bench("companions")(units)) {
            if (!names.contains(c["arc"]))
                continue;
            nb::object file = os.attr("path").attr("join")(b.workdir, "shipped", c["arc"]);
            os.attr("makedirs")(os.attr("path").attr("dirname")(file), "exist_ok"_a = true);
            mine("Path")(file).attr("write_bytes")(zf.attr("read")(c["arc"]));
            nb::dict u;
            u["path"] = c["arc"];
            u["arc"] = c["arc"];
            u["file"] = file;
            u["so"] = c["so"];
            b.units.append(u);
        }
    } catch (...) {
        zf.attr("close")();
        throw;
    }
    zf.attr("close")();
    b.bench["runs"] = 0;
    b.bench["timeout"] = get(settings, "test_timeout", nb::none());
    b.bench["pytest"] = bench("is_pytest")(settings["test_command"]);
    b.pytest = truthy(b.bench["pytest"]);
    // Two narrowing runs at once where there are cores for both (this
    // process's, or as many as --jobs allows).
    nb::object cores = get(settings, "jobs", nb::none());
    if (cores.is_none())
        cores = nb::hasattr(os, "process_cpu_count") ? os.attr("process_cpu_count")()
              : nb::hasattr(os, "sched_getaffinity") ? builtin("len")(os.attr("sched_getaffinity")(0))
                                                      : os.attr("cpu_count")();
    b.parallel = !cores.is_none() && nb::cast<int>(cores) >= 2;
    bool found = truthy(get(settings, "found", nb::bool_(false)));
    if (!found)
        return judge(b, false);
    std::string why;
    try {
        nb::list culprits = judge(b, true);
        if (nb::len(b.passed))
            return culprits;
        why = "no test passes from the sources";
    } catch (Unproven &u) {
        why = u.why;
    } catch (nb::python_error &e) {
        // The test environment could not be made (a requirement of the tests
        // that cannot be installed, say): the build goes on unproven.
        if (!e.matches(global("tovel.packer", "BuildFailed")))
            throw;
        why = std::string(nb::str(e.value()).c_str());
    }
    print(nb::str("warning: the project's tests cannot judge the compiled modules: {}").format(nb::str(why.c_str())));
    settings["unproven"] = nb::str(why.c_str());
    return nb::list();
}

TOVEL_MODULE(prover, m) {
    for (const char *name : {"hashlib", "os", "re", "shlex", "shutil", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("ZipFile") = nb::module_::import_("zipfile").attr("ZipFile");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
    m.attr("testrun") = nb::module_::import_("tovel.testrun");
    m.attr("narrow") = nb::module_::import_("tovel.narrow");
    m.attr("verdict") = nb::module_::import_("tovel.verdict");
    m.def("prove", &prove, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Run the test command from the sources and compiled; returns the units whose "
          "compiled form breaks tests, with stage 'tests', line and log set. Verdicts are kept "
          "in settings['cache'] by the hash of the module set; with settings['found'] a proof "
          "that cannot be made sets settings['unproven'] instead of failing.");
}
