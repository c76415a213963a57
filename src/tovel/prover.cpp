// tovel.prover: the project's own tests judge the compiled modules. The test
// command runs in a fresh virtual environment, once with the sources and once
// with the compiled modules in place; tests that fail only compiled are traced
// to the modules that break them by delta debugging over the modules already
// built: their .so and .py are swapped in site-packages, nothing is compiled
// again.
#include "common.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace tovel;

static const char *MOD = "tovel.prover";

static nb::object mine(const char *name) { return global(MOD, name); }

// The pseudo test of a command judged by its exit status.
static const char *WHOLE = "the test command";

static nb::object bench(const char *name) { return mine("testbench").attr(name); }


// What the narrowing down works with: the test bench (made at the first run
// that is not remembered), the tests that pass from the sources, and the
// runs done so far by configuration and selection.
struct Judge {
    nb::dict settings, bench;
    nb::str pure_wheel, workdir;
    nb::list units, digests;
    nb::object cache, salt;
    bool made = false, pytest = false;
    nb::list passed;
    std::map<std::pair<std::vector<int>, std::string>, nb::dict> runs;
};

// The test a run that left no report was in when it crashed or timed out.
static nb::str where(nb::dict r) {
    return r["last"].is_none() ? nb::str("") : nb::str(" in {}").format(r["last"]);
}

/// The tests among `wanted` (those that pass from the sources) that did not
/// pass in this run: a timeout or crash fails every test it did not report.
static nb::list failing(Judge &b, nb::dict r, nb::handle wanted) {
    nb::list out;
    if (!b.pytest) {
        if (nb::len(wanted) && !r["status"].equal(nb::int_(0)))
            out.append(WHOLE);
        return out;
    }
    nb::object tests = r["tests"];
    for (nb::handle id : wanted)
        if (tests.is_none() || !truthy(tests.attr("get")(id, false)))
            out.append(id);
    return out;
}

// ---------------------------------------------------------------- remembered verdicts

// The key of a run: the salt, each module as source or by its compiled
// bytes, and the tests selected.
static nb::str verdict_key(Judge &b, const std::vector<int> &source, const std::string &select) {
    if (b.salt.is_none()) {
        b.salt = mine("verdict").attr("salt")(b.settings, b.pure_wheel);
        for (nb::handle u : b.units)
            b.digests.append(mine("hashlib").attr("sha256")(mine("Path")(u["so"]).attr("read_bytes")()).attr("hexdigest")());
    }
    nb::object h = mine("hashlib").attr("sha256")();
    h.attr("update")(nb::str(b.salt).attr("encode")());
    for (size_t i = 0; i < nb::len(b.units); ++i) {
        bool src = std::find(source.begin(), source.end(), (int) i) != source.end();
        h.attr("update")(nb::str("\n{} {}").format(b.units[i]["arc"], src ? nb::str("source") : nb::str(b.digests[i])).attr("encode")());
    }
    h.attr("update")(nb::str("\n--\n{}").format(nb::str(select.c_str())).attr("encode")());
    return nb::str(h.attr("hexdigest")());
}

// A run of the configuration `source` (sorted), remembered for the selection
// in this proof and, by the hash of the module set, in the cache folder: a
// later build with the same modules and tests does not run it again.
static nb::dict run_cached(Judge &b, std::vector<int> source, nb::object select, const char *label) {
    std::sort(source.begin(), source.end());
    std::string key = select.is_none() ? std::string("*") : std::string(nb::str(nb::str("\n").attr("join")(builtin("sorted")(select))).c_str());
    auto found = b.runs.find({source, key});
    if (found != b.runs.end())
        return found->second;
    nb::object verdict = mine("verdict");
    nb::str vkey = b.cache.is_none() ? nb::str("") : verdict_key(b, source, key);
    int n = nb::cast<int>(b.bench["runs"]) + 1;
    nb::object stored = b.cache.is_none() ? nb::none()
        : verdict.attr("recall")(b.cache, vkey, mine("os").attr("path").attr("join")(b.bench["logs"], nb::str("run-{}.log").format(n)));
    nb::dict r;
    nb::str remembered("");
    if (!stored.is_none()) {
        r = nb::borrow<nb::dict>(stored);
        b.bench["runs"] = n;
        remembered = nb::str(", remembered");
    } else {
        if (!b.made) {
            // A build of several wheels makes one environment for each.
            nb::object wheel = get(b.settings, "wheel", nb::none());
            nb::str whom = wheel.is_none() ? nb::str("")
                : nb::str(" for the {} wheel ({})").format(wheel, get(b.settings, "python", mine("sys").attr("executable")));
            print(nb::str("making the test environment{}: the pure wheel{} and {}")
                      .format(whom, nb::len(nb::object(get(b.settings, "test_extras", nb::list()))) ? nb::str(" with its test extra") : nb::str(""),
                              nb::len(nb::object(get(b.settings, "test_requires", nb::list())))
                                  ? nb::str(", ").attr("join")(b.settings["test_requires"])
                                  : nb::str("no more requirements")));
            nb::dict full = nb::borrow<nb::dict>(bench("make")(b.settings, b.pure_wheel, b.units, b.workdir));
            full["runs"] = b.bench["runs"];
            b.bench.attr("update")(full);
            b.made = true;
        }
        nb::list indices;
        for (int i : source)
            indices.append(i);
        bench("arrange")(b.bench, indices);
        r = nb::borrow<nb::dict>(bench("run")(b.bench, select));
        if (!b.cache.is_none())
            verdict.attr("remember")(b.cache, vkey, r);
    }
    nb::str modules = nb::str(source.size() == 1 ? "1 module" : "{} modules").format(source.size());
    nb::str how(bench("describe")(b.bench, r));
    if (nb::len(remembered))
        how = nb::str(how.attr("removesuffix")(")") + remembered + nb::str(")"));
    print(nb::str("{}: {}").format(nb::str(label).attr("format")(b.bench["runs"], modules), how));
    b.runs[{source, key}] = r;
    return r;
}

// ---------------------------------------------------------------- narrowing down

/// Delta debugging (ddmin): a 1-minimal subset of `items` for which `holds`
/// is true, given that it holds for all of them.
template <typename F> static std::vector<int> ddmin(std::vector<int> items, F holds) {
    size_t n = 2;
    while (items.size() >= 2) {
        std::vector<std::vector<int>> chunks(n);
        for (size_t i = 0; i < items.size(); ++i)
            chunks[i * n / items.size()].push_back(items[i]);
        bool reduced = false;
        for (auto &chunk : chunks)
            if (!reduced && holds(chunk)) {
                items = chunk, n = 2, reduced = true;
            }
        for (auto &chunk : chunks) {
            if (reduced || n == 2)
                break; // with two chunks, each is the other's complement
            std::vector<int> rest;
            for (int i : items)
                if (std::find(chunk.begin(), chunk.end(), i) == chunk.end())
                    rest.push_back(i);
            if (holds(rest))
                items = rest, n = std::max<size_t>(n - 1, 2), reduced = true;
        }
        if (!reduced) {
            if (n >= items.size())
                break;
            n = std::min(items.size(), 2 * n);
        }
    }
    return items;
}

static nb::str names_of(nb::list ids) {
    nb::list shown;
    for (size_t i = 0; i < std::min<size_t>(3, nb::len(ids)); ++i)
        shown.append(nb::str(ids[i]).attr("rpartition")("::")[2]);
    if (nb::len(ids) > 3)
        shown.append("...");
    return nb::str(nb::str(", ").attr("join")(shown));
}

/// The culprit line and log of a module, from the run with it compiled and
/// the other culprits as source (`broken`: the tests that failed there).
static void blame(Judge &b, nb::dict unit, nb::dict r, nb::list broken) {
    nb::str line;
    if (r["status"].is_none())
        line = nb::str("makes the tests time out after {} s{}").format(b.bench["timeout"], where(r));
    else if (truthy(r["signal"]))
        line = nb::str("crashes the test process (signal {}){}").format(r["signal"], where(r));
    else if (!b.pytest)
        line = nb::str("makes the test command fail (exit status {})").format(r["status"]);
    else if (nb::len(broken) == 0)
        line = nb::str("breaks the tests only together with the other modules named here");
    else
        line = nb::str("breaks {} {}: {}").format(nb::len(broken), nb::len(broken) == 1 ? "test" : "tests", names_of(broken));
    nb::list parts;
    for (nb::handle id : broken)
        if (nb::borrow<nb::dict>(r["texts"]).contains(id))
            parts.append(nb::str("{}\n{}\n").format(id, r["texts"][id]));
    nb::object tail = mine("Path")(r["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace").attr("splitlines")();
    tail = tail.attr("__getitem__")(builtin("slice")(-40, nb::none()));
    parts.append(nb::str("the end of the test output ({}):\n{}\n").format(r["log"], nb::str("\n").attr("join")(tail)));
    unit["stage"] = "tests";
    unit["line"] = line;
    unit["log"] = nb::str("").attr("join")(parts);
}

// The proof could not be made: said in one line, the build goes on unproven
// (the tests were found, not asked for), or it fails (they were asked for).
struct Unproven {
    std::string why;
};

/// Runs the test command from the sources and compiled; returns the units
/// whose compiled form breaks tests that pass from the sources.
static nb::list judge(Judge &b, bool found) {
    nb::dict settings = b.settings;
    int count = (int) nb::len(b.units);
    std::vector<int> all;
    for (int i = 0; i < count; ++i)
        all.push_back(i);

    nb::dict source = run_cached(b, all, nb::none(), "tests from source");
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
    bool ran = b.pytest ? !source["tests"].is_none() && !truthy(nb::make_tuple(2, 3, 4).attr("__contains__")(source["status"]))
                        : source["status"].equal(nb::int_(0));
    if (ran && b.pytest) {
        for (auto [id, passed] : nb::borrow<nb::dict>(source["tests"]))
            if (truthy(passed))
                b.passed.append(id);
    } else if (ran)
        b.passed.append(WHOLE);
    if (!nb::len(b.passed)) {
        nb::str hint("");
        bool has_pytest = false;
        for (nb::handle r : get(settings, "test_requires", nb::list()))
            has_pytest = has_pytest || truthy(mine("re").attr("match")("pytest\\b", r));
        if (b.pytest && !has_pytest)
            hint = nb::str(" (pytest comes into the test environment with --test-requires pytest)");
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
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why + nb::str("; it cannot judge the compiled modules"));
    }

    // Each round keeps the smallest set of modules as source that mends the
    // failing tests, then runs every test again: a module whose fault the
    // others hid is found in the next round.
    std::vector<int> keep;
    nb::list everything;
    nb::list broken = failing(b, run_cached(b, {}, nb::none(), "tests compiled"), b.passed);
    for (int round = 0; nb::len(broken) && round < 3; ++round) {
        everything.attr("extend")(broken);
        nb::object select = b.pytest ? nb::object(broken) : nb::object(nb::none());
        const char *label = "narrowing down: run {}, {} as source";
        // Tests that fail compiled only beside the others are narrowed down
        // with every test.
        if (!select.is_none() && nb::len(failing(b, run_cached(b, keep, select, label), broken)) == 0)
            select = nb::none();
        nb::handle wanted = select.is_none() ? nb::handle(b.passed) : nb::handle(broken);
        if (nb::len(failing(b, run_cached(b, all, select, label), wanted))) {
            print(nb::str("warning: {} {} also from the sources when run this way: not judged")
                      .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail"));
            broken = nb::list();
            break;
        }
        std::vector<int> candidates;
        for (int i : all)
            if (std::find(keep.begin(), keep.end(), i) == keep.end())
                candidates.push_back(i);
        std::vector<int> mended = ddmin(candidates, [&](const std::vector<int> &sub) {
            std::vector<int> config = keep;
            config.insert(config.end(), sub.begin(), sub.end());
            return nb::len(failing(b, run_cached(b, config, select, label), wanted)) == 0;
        });
        keep.insert(keep.end(), mended.begin(), mended.end());
        broken = failing(b, run_cached(b, keep, nb::none(), "tests with {1} kept as source"), b.passed);
    }
    if (nb::len(broken))
        print(nb::str("warning: {} still {} with the modules named here kept as source; the output is in {}")
                  .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail", b.bench["logs"]));

    std::sort(keep.begin(), keep.end());
    everything = nb::list(builtin("dict").attr("fromkeys")(everything)); // a test failing in two rounds, once
    nb::list culprits;
    nb::object select = b.pytest ? nb::object(everything) : nb::object(nb::none());
    for (int i : keep) {
        std::vector<int> others;
        for (int j : keep)
            if (j != i)
                others.push_back(j);
        nb::dict r = run_cached(b, others, select, "naming the tests of each module: run {}, {} as source");
        nb::dict unit = nb::borrow<nb::dict>(b.units[i]);
        blame(b, unit, r, failing(b, r, b.pytest ? nb::handle(everything) : nb::handle(b.passed)));
        culprits.append(unit);
    }
    if (nb::len(culprits) == 0 && nb::len(b.passed))
        print("the compiled modules pass every test that passes from the sources");
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
    b.units = units;
    b.workdir = nb::str(os.attr("path").attr("abspath")(workdir));
    b.cache = get(settings, "cache", nb::none());
    b.salt = nb::none();
    mine("shutil").attr("rmtree")(b.workdir, "ignore_errors"_a = true);
    b.bench["logs"] = os.attr("path").attr("join")(b.workdir, "logs");
    os.attr("makedirs")(b.bench["logs"]);
    b.bench["runs"] = 0;
    b.bench["timeout"] = get(settings, "test_timeout", nb::none());
    b.bench["pytest"] = bench("is_pytest")(settings["test_command"]);
    b.pytest = truthy(b.bench["pytest"]);
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
    for (const char *name : {"hashlib", "os", "re", "shutil", "sys"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
    m.attr("verdict") = nb::module_::import_("tovel.verdict");
    m.def("prove", &prove, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Run the test command from the sources and compiled; returns the units whose "
          "compiled form breaks tests, with stage 'tests', line and log set. Verdicts are kept "
          "in settings['cache'] by the hash of the module set; with settings['found'] a proof "
          "that cannot be made sets settings['unproven'] instead of failing.");
}
