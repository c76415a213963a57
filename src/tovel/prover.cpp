// tovel.prover: the project's own tests judge the compiled modules. The test
// command runs in a fresh virtual environment, once with the sources and once
// with the compiled modules in place; tests that fail only compiled run again
// alone and are traced to the modules that break them by halving the modules
// they loaded (known from the run, test by test) and compiling one half at a
// time: the modules already built are swapped in site-packages, nothing is
// compiled again.
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
    std::map<int, std::pair<nb::dict, nb::list>> blamed; // a culprit: the run it alone broke tests in
    nb::dict index;                                      // module name -> unit
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
    nb::object tests = r["tests"].is_none() ? get(r, "partial", nb::none()) : nb::object(r["tests"]);
    for (nb::handle id : wanted)
        if (tests.is_none() || !truthy(tests.attr("get")(id, false)))
            out.append(id);
    return out;
}

static std::vector<int> minus(const std::vector<int> &a, const std::vector<int> &b) {
    std::vector<int> out;
    for (int i : a)
        if (std::find(b.begin(), b.end(), i) == b.end())
            out.push_back(i);
    return out;
}

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

// A run of the configuration `source` (sorted), remembered for the selection
// in this proof and, by the hash of the module set, in the cache folder: a
// later build with the same modules and tests does not run it again. The
// label's {0} is the run's number, {1} the modules as source, {2} compiled.
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
    auto count = [](size_t n) { return nb::str(n == 1 ? "1 module" : "{} modules").format(n); };
    nb::str how(bench("describe")(b.bench, r));
    if (nb::len(remembered))
        how = nb::str(how.attr("removesuffix")(")") + remembered + nb::str(")"));
    print(nb::str("{}: {}").format(nb::str(label).attr("format")(b.bench["runs"], count(source.size()),
                                                                  count(nb::len(b.units) - source.size())), how));
    b.runs[{source, key}] = r;
    return r;
}

// ---------------------------------------------------------------- narrowing down

static nb::str names_of(nb::list ids) {
    nb::list shown;
    for (size_t i = 0; i < std::min<size_t>(3, nb::len(ids)); ++i)
        shown.append(nb::str(ids[i]).attr("rpartition")("::")[2]);
    if (nb::len(ids) > 3)
        shown.append("...");
    return nb::str(nb::str(", ").attr("join")(shown));
}

// The narrowing down of one round: which judged modules each failing test
// loaded (from the run it failed in; a test missing there may load any),
// and whether the runs select the failing tests or run every test (tests
// that fail only beside the others).
struct Narrow {
    Judge &b;
    std::vector<int> all;
    bool alone, checked;
    std::map<std::string, std::vector<int>> reach;
};

// The judged modules the test `id` loaded in run `r`, into `out`; false when
// the run does not say (no plugin, a crash in it, a test never reached).
static bool loaded(Judge &b, nb::dict r, nb::handle id, std::vector<int> &out) {
    nb::object marks = get(r, "marks", nb::none());
    if (marks.is_none() || !truthy(marks.attr("__contains__")(id)))
        return false;
    nb::dict &index = b.index;
    if (!nb::len(index))
        for (size_t i = 0; i < nb::len(b.units); ++i) {
            nb::str arc(nb::str(nb::str(b.units[i]["arc"]).attr("removesuffix")(".py")).attr("removesuffix")("/__init__"));
            index[arc.attr("replace")("/", ".")] = i;
        }
    nb::list modules(r["modules"]);
    for (size_t k = 0, n = nb::cast<size_t>(marks[id]); k < n && k < nb::len(modules); ++k)
        if (index.contains(modules[k]))
            out.push_back(nb::cast<int>(index[modules[k]]));
    return true;
}

static bool reaches(Narrow &n, nb::handle id, const std::vector<int> &modules) {
    auto it = n.reach.find(std::string(nb::str(id).c_str()));
    if (it == n.reach.end())
        return true;
    for (int i : modules)
        if (std::find(it->second.begin(), it->second.end(), i) != it->second.end())
            return true;
    return false;
}

// Tests that fail alone from the sources too: the round is narrowed down
// with every test instead.
struct NotAlone {};

/// The modules of `T` whose compiled form breaks the tests `fails`, with
/// `with` compiled too and every other module as source. `r` is the run they
/// failed in: of this very configuration (`exact`) or with more compiled. A
/// test fails with a set compiled only if it loads one of it: the set is cut
/// to what the tests loaded, and its halves are tried apart.
static std::vector<int> culprits_in(Narrow &n, std::vector<int> T, const std::vector<int> &with, nb::list fails,
                                    nb::dict r, bool exact, bool top = false) {
    Judge &b = n.b;
    bool all_known = true;
    std::vector<int> reached;
    for (nb::handle id : fails) {
        auto it = n.reach.find(std::string(nb::str(id).c_str()));
        all_known = all_known && it != n.reach.end();
        if (it != n.reach.end())
            reached.insert(reached.end(), it->second.begin(), it->second.end());
    }
    if (all_known) {
        size_t before = T.size();
        T = minus(T, minus(T, reached));
        exact = exact && T.size() == before;
    }
    if (T.empty())
        return {};
    // A test that fails alone whatever is compiled would mislead the
    // halving: it fails with either half compiled, so the first halves run
    // every failing test, and a test failing with both is run once from the
    // sources, alone.
    auto sane = [&](nb::list tests) {
        if (!n.alone || n.checked || !nb::len(tests))
            return;
        n.checked = true;
        nb::dict source = run_cached(b, n.all, tests, "narrowing down: run {0}, the tests alone from source");
        if (nb::len(failing(b, source, tests)))
            throw NotAlone{};
    };
    // A run with `half` compiled (and `with`), of the tests that load one of it.
    auto probe = [&](const std::vector<int> &half, nb::dict &out) {
        nb::list chosen;
        for (nb::handle id : fails)
            if (top || reaches(n, id, half))
                chosen.append(id);
        if (!nb::len(chosen))
            return chosen;
        std::vector<int> config = half;
        config.insert(config.end(), with.begin(), with.end());
        out = run_cached(b, minus(n.all, config), n.alone ? nb::object(chosen) : nb::object(nb::none()),
                         "narrowing down: run {0}, {2} compiled");
        return failing(b, out, chosen);
    };
    if (T.size() == 1) {
        if (top)
            sane(fails);
        if (!exact && !nb::len(fails = probe(T, r)))
            return {};
        b.blamed[T[0]] = {r, fails};
        return T;
    }
    std::vector<int> A(T.begin(), T.begin() + T.size() / 2), B(T.begin() + T.size() / 2, T.end());
    nb::dict ra, rb;
    nb::list fa = probe(A, ra), fb = probe(B, rb);
    nb::list common;
    for (nb::handle id : fa)
        if (truthy(fb.attr("__contains__")(id)))
            common.append(id);
    sane(common);
    std::vector<int> found = nb::len(fa) ? culprits_in(n, A, with, fa, ra, true) : std::vector<int>{};
    std::vector<int> more = nb::len(fb) ? culprits_in(n, B, with, fb, rb, true) : std::vector<int>{};
    found.insert(found.end(), more.begin(), more.end());
    if (found.empty()) {
        // The tests fail only with modules of both halves compiled: those of
        // the first half that break them beside the second compiled.
        std::vector<int> both = with;
        both.insert(both.end(), B.begin(), B.end());
        found = culprits_in(n, A, both, fails, r, exact);
    }
    return found;
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

/// The modules the tests could not import in run `r` (a conftest.py or a
/// test module that fails to load), not the project's own nor its folders':
/// those the test environment lacks.
static nb::list missing(Judge &b, nb::dict r) {
    nb::list texts;
    texts.append(mine("Path")(r["log"]).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace"));
    for (auto [id, text] : nb::borrow<nb::dict>(r["texts"]))
        texts.append(text);
    nb::dict names;
    nb::object project = get(b.settings, "project", mine("os").attr("getcwd")());
    for (nb::handle t : texts)
        for (nb::handle m : mine("re").attr("findall")("No module named '([A-Za-z_][\\w]*)", t)) {
            bool own = false;
            for (nb::handle u : b.units)
                own = own || nb::str(nb::str(u["arc"]).attr("split")("/")[0]).attr("removesuffix")(".py").equal(m);
            nb::object os = mine("os");
            own = own || truthy(os.attr("path").attr("exists")(os.attr("path").attr("join")(project, m))) ||
                  truthy(os.attr("path").attr("exists")(os.attr("path").attr("join")(project, nb::str(m) + nb::str(".py"))));
            if (!own)
                names[m] = nb::none();
        }
    return nb::list(names);
}

// "hypothesis, which the test environment does not have (--test-requires hypothesis adds it)"
static nb::str lacking(nb::list names) {
    nb::list opts;
    for (nb::handle n : names)
        opts.append(nb::str("--test-requires ") + nb::str(n));
    return nb::str("{}, which the test environment does not have ({} {})")
        .format(nb::str(", ").attr("join")(names), nb::str(" ").attr("join")(opts), nb::len(names) == 1 ? "adds it" : "add them");
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
        nb::str why = nb::len(lacks) ? nb::str("the tests cannot start: their conftest.py imports {}").format(lacking(lacks))
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
    // Tests that fail from the sources judge nothing: counted and named.
    nb::list both;
    if (ran && b.pytest) {
        for (auto [id, passed] : nb::borrow<nb::dict>(source["tests"]))
            (truthy(passed) ? b.passed : both).append(id);
    } else if (ran)
        b.passed.append(WHOLE);
    nb::list lacks = b.pytest ? missing(b, source) : nb::list();
    nb::str too("");
    if (nb::len(both))
        too = nb::str("{} {} from the sources too: {}{}")
                  .format(nb::len(both), nb::len(both) == 1 ? "test fails" : "tests fail", names_of(both),
                          nb::len(lacks) ? nb::str("; they import ") + lacking(lacks) : nb::str(""));
    if (!nb::len(b.passed)) {
        nb::str hint("");
        bool has_pytest = false;
        for (nb::handle r : get(settings, "test_requires", nb::list()))
            has_pytest = has_pytest || truthy(mine("re").attr("match")("pytest\\b", r));
        if (b.pytest && !has_pytest)
            hint = nb::str(" (pytest comes into the test environment with --test-requires pytest)");
        else if (nb::len(lacks))
            hint = nb::str(nb::str(" (they import ") + lacking(lacks) + nb::str(")"));
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

    // Each round runs the failing tests alone (all modules compiled but those
    // kept) and traces them, over the modules they loaded, to the modules
    // that break them; then those tests run once more with the culprits as
    // source: a fault the others hid is found in the next round.
    std::vector<int> keep;
    nb::list everything;
    nb::dict last = run_cached(b, {}, nb::none(), "tests compiled");
    nb::object stale = get(last, "as_source", nb::none());
    if (!stale.is_none()) {
        nb::str why = nb::str("the tests loaded {}, which stands in the test environment compiled: they did not "
                              "judge its compiled form").format(stale);
        if (found)
            throw Unproven{std::string(why.c_str())};
        build_failed(why);
    }
    nb::list broken = failing(b, last, b.passed);
    // Once tests fail only beside the others, every run is of every test.
    bool full = !b.pytest;
    for (int round = 0; nb::len(broken) && round < 3; ++round) {
        for (nb::handle id : broken)
            if (!truthy(everything.attr("__contains__")(id)))
                everything.append(id);
        Narrow n{b, all, !full, false, {}};
        nb::dict r0 = last;
        if (n.alone) {
            r0 = run_cached(b, keep, broken, "narrowing down: run {0}, the failing tests alone");
            n.alone = nb::len(failing(b, r0, broken)) > 0;
        }
        std::vector<int> culprits;
        for (int pass = 0; pass < 2; ++pass) {
            if (!n.alone) {
                full = true;
                r0 = run_cached(b, keep, nb::none(), "tests with {1} kept as source");
            }
            nb::list fails = failing(b, r0, n.alone ? nb::handle(broken) : nb::handle(b.passed));
            std::vector<int> rest = minus(all, keep);
            bool known = b.pytest;
            n.reach.clear();
            for (nb::handle id : fails) {
                std::vector<int> reach;
                known = known && loaded(b, r0, id, reach);
                n.reach[std::string(nb::str(id).c_str())] = minus(reach, keep);
            }
            if (!known)
                n.reach.clear();
            try {
                culprits = culprits_in(n, rest, {}, fails, r0, true, true);
                if (culprits.empty() && known) {
                    // Not the modules the tests loaded (a subprocess loads others): all of them.
                    n.reach.clear();
                    culprits = culprits_in(n, rest, {}, fails, r0, true, true);
                }
                break;
            } catch (NotAlone &) {
                n.alone = false;
            }
        }
        if (culprits.empty())
            break;
        keep.insert(keep.end(), culprits.begin(), culprits.end());
        last = run_cached(b, keep, full ? nb::object(nb::none()) : nb::object(everything), "tests with {1} kept as source");
        broken = failing(b, last, full ? nb::handle(b.passed) : nb::handle(everything));
    }

    std::sort(keep.begin(), keep.end());
    nb::list culprits;
    for (int i : keep) {
        nb::dict unit = nb::borrow<nb::dict>(b.units[i]);
        blame(b, unit, b.blamed.at(i).first, b.blamed.at(i).second);
        culprits.append(unit);
    }
    if (nb::len(broken)) {
        nb::str why = nb::str("{} {} compiled{} and {} not traced to a module; the output is in {}")
                          .format(names_of(broken), nb::len(broken) == 1 ? "fails" : "fail",
                                  keep.size() ? nb::str(" with the modules named here kept as source") : nb::str(""),
                                  nb::len(broken) == 1 ? "is" : "are", b.bench["logs"]);
        if (found)
            settings["unproven"] = why;
        else if (!nb::len(culprits))
            build_failed(why);
        print(nb::str("warning: ") + why);
    } else if (nb::len(culprits) == 0)
        print(nb::str("the compiled modules pass every test that passes from the sources{}")
                  .format(nb::len(too) ? nb::str(" ({})").format(too) : nb::str("")));
    if (nb::len(too) && (nb::len(broken) || nb::len(culprits)))
        print(nb::str("warning: ") + too);
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
    m.attr("ZipFile") = nb::module_::import_("zipfile").attr("ZipFile");
    m.attr("testbench") = nb::module_::import_("tovel.testbench");
    m.attr("verdict") = nb::module_::import_("tovel.verdict");
    m.def("prove", &prove, "settings"_a, "pure_wheel"_a, "units"_a, "workdir"_a,
          "Run the test command from the sources and compiled; returns the units whose "
          "compiled form breaks tests, with stage 'tests', line and log set. Verdicts are kept "
          "in settings['cache'] by the hash of the module set; with settings['found'] a proof "
          "that cannot be made sets settings['unproven'] instead of failing.");
}
