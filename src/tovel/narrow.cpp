// tovel.narrow: the narrowing down of tovel.prover. Tests that pass from the
// sources and fail compiled are traced to the modules that break them: only
// the failing tests run again, over the modules they loaded (known from the
// run, test by test), halving that set; round after round, with the
// culprits found kept as source, until the tests pass. The runs themselves
// are the prover's (remembered by the module set, two at once where there
// are cores for both): a round asks for one or two at a time.
#include "common.h"

#include <nanobind/stl/string.h>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace tovel;

// The pseudo test of a command judged by its exit status.
static const char *WHOLE = "the test command";

// What the narrowing down works with: the runs (the prover's), whether they
// report each test, the module name of each unit, and the culprits found,
// each with the run it alone broke tests in.
struct Trace {
    nb::object runs;
    bool pytest;
    nb::dict index;
    nb::object known;
    std::vector<int> all;
    std::map<int, std::pair<nb::dict, nb::list>> blamed;
    nb::list widespread; // tests that whichever quarter of the modules compiled breaks
    nb::list unsteady;   // tests that failed in a run of every test from the sources
};

// A run asked of the prover: the modules as source, the tests (None: all),
// its progress line.
static nb::dict ask(Trace &t, std::vector<std::vector<int>> sources, std::vector<nb::object> selects, const char *label,
                    std::vector<nb::dict> &out) {
    nb::list asks;
    for (size_t i = 0; i < sources.size(); ++i) {
        nb::list source;
        for (int k : sources[i])
            source.append(k);
        asks.append(nb::make_tuple(source, selects[i], label));
    }
    nb::list got(t.runs(asks));
    out.clear();
    for (nb::handle r : got)
        out.push_back(nb::borrow<nb::dict>(r));
    return out.empty() ? nb::dict() : out[0];
}

static nb::dict run_one(Trace &t, const std::vector<int> &source, nb::object select, const char *label) {
    std::vector<nb::dict> out;
    return ask(t, {source}, {select}, label, out);
}

/// The tests among `wanted` (those that pass from the sources) that did not
/// pass in this run: a timeout or crash fails every test it did not report.
/// With `known`, the ids of the run from the sources, a test that run does
/// not have fails where it ran and failed (a module that does not load
/// compiled gives a collection error of an id of its own), and only there.
static nb::list failing(bool pytest, nb::dict r, nb::handle wanted, nb::handle known = nb::none()) {
    nb::list out;
    if (!pytest) {
        if (nb::len(wanted) && !r["status"].equal(nb::int_(0)))
            out.append(WHOLE);
        return out;
    }
    nb::object tests = r["tests"].is_none() ? get(r, "partial", nb::none()) : nb::object(r["tests"]);
    if (tests.is_none()) {
        for (nb::handle id : wanted)
            out.append(id);
        return out;
    }
    // Parameters that change from run to run (`test_parse[09:04:15 2026-12-10]`,
    // a random seed) give a test another id in each run: where a test's
    // function lacks as many ids in this run as it has new ones, and the new
    // ones passed, the ids it lacks passed.
    auto base = [](nb::handle id) { return nb::str(nb::str(id).attr("partition")("[")[0]); };
    auto parametrized = [](nb::handle id) { return truthy(nb::str(id).attr("endswith")("]")); };
    nb::set want;
    nb::dict lacking, fresh; // base -> ids lacking; base -> outcomes of the new ids
    for (nb::handle id : wanted) {
        want.add(id);
        if (!truthy(tests.attr("__contains__")(id)) && parametrized(id))
            lacking[base(id)] = nb::int_(nb::cast<int>(lacking.attr("get")(base(id), 0)) + 1);
    }
    for (auto [id, passed] : nb::borrow<nb::dict>(tests))
        if (!truthy(want.attr("__contains__")(id)) && parametrized(id)) {
            if (!fresh.contains(base(id)))
                fresh[base(id)] = nb::list();
            nb::borrow<nb::list>(fresh[base(id)]).append(passed);
        }
    auto unknown = [&](nb::handle id) { return !known.is_none() && !truthy(known.attr("__contains__")(id)); };
    for (nb::handle id : wanted) {
        if (truthy(tests.attr("__contains__")(id))) {
            if (!truthy(tests[id]))
                out.append(id);
            continue;
        }
        if (unknown(id))
            continue;
        nb::object same = parametrized(id) ? fresh.attr("get")(base(id)) : nb::none();
        if (same.is_none() || !truthy(builtin("all")(same)) || !lacking[base(id)].equal(nb::int_(nb::len(same))))
            out.append(id);
    }
    // The failures of ids the sources do not have, but those of a test whose
    // parameters vary (judged above), that fails from the sources too, or
    // that is the file of tests of `wanted` (a test module that failed to
    // load: its tests, missing here, failed above).
    nb::set bases;
    bool based = false;
    for (auto [id, passed] : nb::borrow<nb::dict>(tests)) {
        if (truthy(passed) || !unknown(id) || truthy(want.attr("__contains__")(id)))
            continue;
        // The file of the id: a test module pytest could not load is
        // reported as "::<its dotted name>".
        nb::object parts = nb::str(id).attr("partition")("::");
        nb::str file(parts[0]);
        if (!nb::len(file))
            file = nb::str(nb::str(parts[2]).attr("replace")(".", "/") + nb::str(".py"));
        nb::str inside(file + nb::str("::"));
        bool holds = false;
        for (nb::handle w : wanted)
            if ((holds = truthy(nb::str(w).attr("startswith")(inside))))
                break;
        if (holds)
            continue;
        if (parametrized(id)) {
            if (!based)
                for (nb::handle k : known)
                    if (parametrized(k))
                        bases.add(base(k));
            based = true;
            if (bases.contains(base(id)))
                continue;
        }
        out.append(id);
    }
    return out;
}

static std::vector<int> minus(const std::vector<int> &a, const std::vector<int> &b) {
    std::vector<int> out;
    for (int i : a)
        if (std::find(b.begin(), b.end(), i) == b.end())
            out.push_back(i);
    return out;
}

// The narrowing down of one round: which judged modules each failing test
// loaded (from the run it failed in; a test missing there may load any),
// and whether the runs select the failing tests or run every test (tests
// that fail only beside the others).
struct Narrow {
    Trace &b;
    std::vector<int> all;
    bool alone, checked;
    std::map<std::string, std::vector<int>> reach;
};

// The judged modules the test `id` loaded in run `r`, into `out`; false when
// the run does not say (no plugin, a crash in it, a test never reached).
static bool loaded(Trace &b, nb::dict r, nb::handle id, std::vector<int> &out) {
    nb::object marks = get(r, "marks", nb::none());
    if (marks.is_none() || !truthy(marks.attr("__contains__")(id)))
        return false;
    nb::dict &index = b.index;
    nb::list modules(r["modules"]);
    for (size_t k = 0, n = nb::cast<size_t>(marks[id]); k < n && k < nb::len(modules); ++k)
        if (index.contains(modules[k]))
            out.push_back(nb::cast<int>(index[modules[k]]));
    return true;
}

// The modules a run's output names, but those in `keep`: as refusing a
// builtin's replacement (`pkg.mod.open cannot be replaced: ...`, raised by
// the compiled module itself), by a module's repr, or by the path of its
// file in a traceback (`pkg/mod.py:12`, `.../site-packages/pkg/mod.abi3.so`).
// The modules a failure shows are where its cause most often is.
static std::vector<int> named_by(Trace &b, nb::dict r, const std::vector<int> &keep) {
    std::vector<int> out;
    nb::object log = get(r, "log", nb::none());
    if (log.is_none() || !truthy(global("os.path", "isfile")(log)))
        return out;
    nb::object text = global("pathlib", "Path")(log).attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace");
    nb::object findall = global("re", "findall");
    auto add = [&](nb::handle name) {
        if (!b.index.contains(name))
            return false;
        int i = nb::cast<int>(b.index[name]);
        if (std::find(keep.begin(), keep.end(), i) == keep.end() && std::find(out.begin(), out.end(), i) == out.end())
            out.push_back(i);
        return true;
    };
    for (nb::handle name : findall(R"(([\w.]+)\.\w+ cannot be replaced: the compiled module calls the builtin)", text))
        add(name);
    for (nb::handle name : findall(R"(<module '([\w.]+)' from )", text))
        add(name);
    // A path is read from its end: the longest tail that names a module.
    for (nb::handle path : findall(R"(((?:\w+/)*\w+)(?:\.py:\d+|\.[\w-]+\.so\b))", text)) {
        std::string tail = nb::cast<std::string>(nb::str(path).attr("removesuffix")("/__init__"));
        std::replace(tail.begin(), tail.end(), '/', '.');
        for (size_t dot = 0; !add(nb::str(tail.c_str())) && (dot = tail.find('.')) != std::string::npos;)
            tail = tail.substr(dot + 1);
    }
    return out;
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
// Tests that fail among every test from the sources too (Trace::unsteady):
// no module breaks them, and the narrowing down stops.
struct Unsteady {};

/// The modules of `T` whose compiled form breaks the tests `fails`, with
/// `with` compiled too and every other module as source. `r` is the run they
/// failed in: of this very configuration (`exact`) or with more compiled. A
/// test fails with a set compiled only if it loads one of it: the set is cut
/// to what the tests loaded, and its halves are tried apart.
static std::vector<int> culprits_in(Narrow &n, std::vector<int> T, const std::vector<int> &with, nb::list fails,
                                    nb::dict r, bool exact, bool top = false) {
    Trace &b = n.b;
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
        if (n.checked || !nb::len(tests))
            return;
        n.checked = true;
        if (!n.alone) {
            // Every run here is of every test, minutes each: tests that fail
            // beside the others with either half compiled may fail with
            // none (a test bound by the machine's load).
            nb::dict all = run_one(b, n.all, nb::none(), "narrowing down: run {0}, every test from source");
            b.unsteady = failing(b.pytest, all, tests, b.known);
            if (nb::len(b.unsteady))
                throw Unsteady{};
            return;
        }
        nb::dict source = run_one(b, n.all, tests, "narrowing down: run {0}, the tests alone from source");
        if (nb::len(failing(b.pytest, source, tests, b.known)))
            throw NotAlone{};
    };
    // The runs with `half` compiled (and `with`), of the tests that load one
    // of it, at once; `fail` gets the tests that failed in each.
    const char *label = "narrowing down: run {0}, {2} compiled";
    auto probe = [&](std::vector<const std::vector<int> *> halves, std::vector<nb::dict *> outs, std::vector<nb::list *> fail) {
        std::vector<std::vector<int>> sources;
        std::vector<nb::object> selects;
        std::vector<size_t> which;
        std::vector<nb::list> chosen(halves.size());
        for (size_t k = 0; k < halves.size(); ++k) {
            for (nb::handle id : fails)
                if (top || reaches(n, id, *halves[k]))
                    chosen[k].append(id);
            *fail[k] = nb::list();
            if (!nb::len(chosen[k]))
                continue;
            std::vector<int> config = *halves[k];
            config.insert(config.end(), with.begin(), with.end());
            sources.push_back(minus(n.all, config));
            selects.push_back(n.alone ? nb::object(chosen[k]) : nb::object(nb::none()));
            which.push_back(k);
        }
        std::vector<nb::dict> got;
        if (!sources.empty())
            ask(b, sources, selects, label, got);
        for (size_t m = 0; m < which.size(); ++m) {
            *outs[which[m]] = got[m];
            *fail[which[m]] = failing(b.pytest, got[m], chosen[which[m]], b.known);
        }
    };
    if (T.size() == 1) {
        if (top)
            sane(fails);
        if (!exact) {
            probe({&T}, {&r}, {&fails});
            if (!nb::len(fails))
                return {};
        }
        b.blamed[T[0]] = {r, fails};
        return T;
    }
    std::vector<int> A(T.begin(), T.begin() + T.size() / 2), B(T.begin() + T.size() / 2, T.end());
    nb::dict ra, rb;
    nb::list fa, fb;
    probe({&A, &B}, {&ra, &rb}, {&fa, &fb});
    nb::list common;
    for (nb::handle id : fa)
        if (truthy(fb.attr("__contains__")(id)))
            common.append(id);
    sane(common);
    if (top && n.alone && nb::len(common) && T.size() >= 8) {
        // A test that fails with either half compiled may fail with any
        // module compiled (it reads the package's .py files): halving would
        // name every module it loads, a run for each. With each quarter
        // compiled apart, one that fails in all four is set aside, named.
        std::vector<std::vector<int>> quarters = {{A.begin(), A.begin() + A.size() / 2}, {A.begin() + A.size() / 2, A.end()},
                                                  {B.begin(), B.begin() + B.size() / 2}, {B.begin() + B.size() / 2, B.end()}};
        std::vector<std::vector<int>> sources;
        for (auto &q : quarters) {
            std::vector<int> config = q;
            config.insert(config.end(), with.begin(), with.end());
            sources.push_back(minus(n.all, config));
        }
        std::vector<nb::dict> got;
        ask(b, sources, std::vector<nb::object>(4, common), "narrowing down: run {0}, {2} compiled", got);
        nb::set everywhere(common);
        for (auto &g : got)
            everywhere = nb::set(everywhere.attr("intersection")(failing(b.pytest, g, common, b.known)));
        if (nb::len(everywhere)) {
            for (nb::handle id : common)
                if (everywhere.contains(id))
                    b.widespread.append(id);
            auto drop = [&](nb::list l) {
                nb::list rest;
                for (nb::handle id : l)
                    if (!everywhere.contains(id))
                        rest.append(id);
                return rest;
            };
            fa = drop(fa), fb = drop(fb), fails = drop(fails);
        }
    }
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

/// The modules (indices among `count`) whose compiled form breaks the tests
/// `broken` of `passed` (those that pass from the sources), which failed in
/// `last`, the run with every module compiled. `runs(asks)` runs each ask,
/// (modules as source, tests or None, progress line), and returns their
/// results; `index` maps module names to indices. Returns {keep (the
/// culprits, sorted), blamed ({culprit: (the run it alone broke tests in,
/// those tests)}), broken (the tests still failing with them as source),
/// last (the run that says so)}. `ids` holds the ids of the run from the
/// sources (None: a failure counts only among `passed`).
static nb::dict trace(nb::object runs, int count, nb::list passed, nb::dict last, bool pytest, nb::dict index,
                      nb::object ids) {
    Trace b{runs, pytest, index, ids, {}, {}};
    std::vector<int> &all = b.all;
    for (int i = 0; i < count; ++i)
        all.push_back(i);
    std::vector<int> keep;
    nb::list everything;
    // Each round runs the failing tests alone (all modules compiled but those
    // kept) and traces them, over the modules they loaded, to the modules
    // that break them; then those tests run once more with the culprits as
    // source: a fault the others hid is found in the next round.
    nb::list broken = failing(pytest, last, passed, ids);
    // Once tests fail only beside the others, every run is of every test.
    bool full = !b.pytest;
    for (int round = 0; nb::len(broken) && round < 3; ++round) {
        for (nb::handle id : broken)
            if (!truthy(everything.attr("__contains__")(id)))
                everything.append(id);
        // A crash fails every test it did not reach: those are judged again
        // once the culprits are kept (they are among `everything`), and the
        // narrowing runs the tests it reached and failed (the one it
        // crashed in), not the rest of the suite each time.
        nb::list aimed = broken;
        nb::object reached = last["tests"].is_none() ? get(last, "partial", nb::none()) : nb::object(nb::none());
        if (!full && !reached.is_none()) {
            nb::list in_reach;
            for (nb::handle id : broken)
                if (truthy(reached.attr("__contains__")(id)))
                    in_reach.append(id);
            if (nb::len(in_reach))
                aimed = in_reach;
        }
        Narrow n{b, all, !full, false, {}};
        nb::dict r0 = last;
        if (n.alone) {
            r0 = run_one(b, keep, aimed, "narrowing down: run {0}, the failing tests alone");
            n.alone = nb::len(failing(b.pytest, r0, aimed, b.known)) > 0;
        }
        std::vector<int> culprits;
        // The few modules the failing tests' own output names are tried
        // first, compiled alone: where the tests fail so, the culprits are
        // among them, found in a run or two instead of halving them all.
        std::vector<int> named = n.alone ? named_by(b, r0, keep) : std::vector<int>{};
        if (!named.empty() && named.size() <= 8) {
            nb::dict r = run_one(b, minus(all, named), aimed, "narrowing down: run {0}, {2} compiled");
            nb::list fails = failing(b.pytest, r, aimed, b.known);
            if (nb::len(fails))
                culprits = culprits_in(n, named, {}, fails, r, true);
        }
        for (int pass = 0; culprits.empty() && pass < 2; ++pass) {
            if (!n.alone) {
                full = true;
                r0 = run_one(b, keep, nb::none(), "tests with {1} kept as source");
            }
            nb::list fails = failing(b.pytest, r0, n.alone ? nb::handle(aimed) : nb::handle(passed), b.known);
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
            } catch (Unsteady &) {
                break;
            }
        }
        if (culprits.empty() || nb::len(b.unsteady))
            break;
        keep.insert(keep.end(), culprits.begin(), culprits.end());
        last = run_one(b, keep, full ? nb::object(nb::none()) : nb::object(everything), "tests with {1} kept as source");
        broken = failing(b.pytest, last, full ? nb::handle(passed) : nb::handle(everything), b.known);
        nb::list rest; // those set aside are not narrowed again
        for (nb::handle id : broken)
            if (!truthy(b.widespread.attr("__contains__")(id)))
                rest.append(id);
        broken = rest;
    }

    std::sort(keep.begin(), keep.end());
    nb::dict out, blamed;
    nb::list kept;
    for (int i : keep) {
        kept.append(i);
        blamed[nb::int_(i)] = nb::make_tuple(b.blamed.at(i).first, b.blamed.at(i).second);
    }
    out["keep"] = kept;
    out["blamed"] = blamed;
    out["broken"] = broken;
    out["last"] = last;
    out["widespread"] = b.widespread;
    out["unsteady"] = b.unsteady;
    return out;
}

TOVEL_MODULE(narrow, m) {
    m.attr("WHOLE") = WHOLE;
    m.def("failing", [](nb::dict r, nb::handle wanted, bool pytest, nb::object known) { return failing(pytest, r, wanted, known); },
          "result"_a, "wanted"_a, "pytest"_a, "known"_a = nb::none(),
          "The tests among wanted that did not pass in the run (a crash or timeout fails those it did not report), "
          "and those known (the run from the sources) lacks that failed in it; without pytest, WHOLE when the command failed.");
    m.def("trace", &trace, "runs"_a, "count"_a, "passed"_a, "last"_a, "pytest"_a, "index"_a, "ids"_a = nb::none(),
          "Trace the tests that fail compiled to the modules that break them: {keep, blamed, broken, last, widespread, unsteady}.");
}
