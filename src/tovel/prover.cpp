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


// What the narrowing down works with: the test bench, the tests that pass
// from the sources, and the runs done so far by configuration and selection.
struct Judge {
    nb::dict bench;
    bool pytest = false;
    nb::list passed;
    std::map<std::pair<std::vector<int>, std::string>, nb::dict> cache;
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

// A run of the configuration `source` (sorted), remembered for the selection.
static nb::dict run_cached(Judge &b, std::vector<int> source, nb::object select, const char *label) {
    std::sort(source.begin(), source.end());
    std::string key = select.is_none() ? std::string("*") : std::string(nb::str(nb::str("\n").attr("join")(builtin("sorted")(select))).c_str());
    auto found = b.cache.find({source, key});
    if (found != b.cache.end())
        return found->second;
    nb::list indices;
    for (int i : source)
        indices.append(i);
    bench("arrange")(b.bench, indices);
    nb::dict r = nb::borrow<nb::dict>(bench("run")(b.bench, select));
    nb::str modules = nb::str(source.size() == 1 ? "1 module" : "{} modules").format(source.size());
    print(nb::str("{}: {}").format(nb::str(label).attr("format")(b.bench["runs"], modules), bench("describe")(b.bench, r)));
    b.cache[{source, key}] = r;
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

/// Runs the test command from the sources and compiled; returns the units
/// whose compiled form breaks tests that pass from the sources.
static nb::list prove(nb::dict settings, nb::str pure_wheel, nb::list units, nb::str workdir) {
    Judge b;
    b.bench = nb::borrow<nb::dict>(bench("make")(settings, pure_wheel, units, workdir));
    b.pytest = truthy(b.bench["pytest"]);
    int count = (int) nb::len(units);
    std::vector<int> all;
    for (int i = 0; i < count; ++i)
        all.push_back(i);

    nb::dict source = run_cached(b, all, nb::none(), "tests from source");
    if (!source["shadowed"].is_none())
        build_failed(nb::str("the tests imported {} instead of the installed package: the project's folder is on "
                             "sys.path when they run (pytest puts it there for a test folder with __init__.py), "
                             "so they cannot judge the compiled modules; run them so that it is not, such as "
                             "--test-command 'pytest --import-mode=importlib {{project}}/tests'")
                         .format(source["shadowed"]));
    bool judged = b.pytest ? !source["tests"].is_none() && !truthy(nb::make_tuple(2, 3, 4).attr("__contains__")(source["status"]))
                           : source["status"].equal(nb::int_(0));
    if (!judged) {
        nb::str hint("");
        bool has_pytest = false;
        for (nb::handle r : get(settings, "test_requires", nb::list()))
            has_pytest = has_pytest || truthy(mine("re").attr("match")("pytest\\b", r));
        if (b.pytest && !has_pytest)
            hint = nb::str(" (pytest comes into the test environment with --test-requires pytest)");
        build_failed(nb::str("the test command fails from the sources{}: {}; it cannot judge the compiled modules; "
                             "its output is in {}")
                         .format(hint, bench("describe")(b.bench, source), source["log"]));
    }
    if (b.pytest) {
        for (auto [id, passed] : nb::borrow<nb::dict>(source["tests"]))
            if (truthy(passed))
                b.passed.append(id);
    } else
        b.passed.append(WHOLE);

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
        std::vector<int> found = ddmin(candidates, [&](const std::vector<int> &sub) {
            std::vector<int> config = keep;
            config.insert(config.end(), sub.begin(), sub.end());
            return nb::len(failing(b, run_cached(b, config, select, label), wanted)) == 0;
        });
        keep.insert(keep.end(), found.begin(), found.end());
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
        nb::dict unit = nb::borrow<nb::dict>(units[i]);
        blame(b, unit, r, failing(b, r, b.pytest ? nb::handle(everything) : nb::handle(b.passed)));
        culprits.append(unit);
    }
    if (nb::len(culprits) == 0 && nb::len(b.passed))
        print("the compiled modules pass every test that passes from the sources");
    return culprits;
}

TOVEL_MODULE(prover, m) {
    m.attr("re") = nb::module_::import_("re");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
    m.def("prove", &prove, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Run the test command from the sources and compiled; returns the units whose "
          "compiled form breaks tests, with stage 'tests', line and log set.");
}
