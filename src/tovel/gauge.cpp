// tovel.gauge: the audits of a build's compiled modules one by one, each
// result kept in the cache folder under the module's sha256, so that a
// rebuild audits only the modules that changed (and a second checkout none,
// with the team's store): the platform policy each
// module meets (auditwheel's analysis of a wheel that holds it alone) and
// its keeping to the stable ABI (abi3audit, which runs in the background
// while the build goes on). tovel.audit then checks the finished wheel,
// skipping what these audits passed.
#include "wheeltool.h"

using namespace tovel;

static const char *MOD = "tovel.gauge";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::str sha256(nb::handle path) {
    nb::object f = builtin("open")(path, "rb");
    nb::object digest = mine("hashlib").attr("file_digest")(f, "sha256").attr("hexdigest")();
    f.attr("close")();
    return nb::str(digest);
}

// The verdict of a kind recorded for a module, locally or in the team's
// store (tovel.store, which takes one from the store only when it is signed
// with the team's key: an audit is never skipped on an unsigned word); None
// when there is none or no cache.
static nb::object recall(nb::handle cache, nb::handle remote, const char *kind, nb::str key) {
    if (cache.is_none())
        return nb::none();
    nb::object data = global("tovel.store", "lookup")(cache, remote, key, kind);
    return data.is_none() ? data : mine("json").attr("loads")(data);
}

static void remember(nb::handle cache, nb::handle remote, const char *kind, nb::str key, nb::handle record) {
    if (!cache.is_none())
        global("tovel.store", "keep")(cache, remote, key,
                                      mine("json").attr("dumps")(record).attr("encode")(), "kind"_a = kind);
}

static nb::str version_of(const char *distribution) {
    return nb::str(nb::module_::import_("importlib.metadata").attr("version")(distribution));
}

// What auditwheel says of one module alone: its policy (name, priority,
// aliases) and the libraries it needs from outside (vendorable or missing);
// {"measured": False} when auditwheel cannot measure it.
static nb::dict analyse_one(nb::str so, nb::handle libc, nb::handle arch, nb::str work) {
    nb::object os = mine("os");
    nb::str wheel(os.attr("path").attr("join")(work, "m-0-py3-none-any.whl"));
    nb::str arc(os.attr("path").attr("basename")(so));
    nb::object zf = mine("zipfile").attr("ZipFile")(wheel, "w");
    zf.attr("write")(so, arc);
    zf.attr("writestr")("m-0.dist-info/RECORD", arc + nb::str(",,\n"));
    zf.attr("close")();
    nb::dict out;
    nb::object info = wheeltool::analyse(libc, arch, wheel, true);
    if (info.is_none()) {
        out["measured"] = false;
        return out;
    }
    os.attr("remove")(wheel);
    nb::object target = info.attr("overall_policy");
    out["measured"] = true;
    out["name"] = target.attr("name");
    out["priority"] = target.attr("priority");
    out["aliases"] = nb::list(target.attr("aliases"));
    nb::list outside;
    for (nb::handle item : wheeltool::outside_libs(info))
        outside.append(item[0]);
    out["outside"] = outside;
    return out;
}

/// On Linux, the platform tags (name and aliases joined by '.') of the
/// policy every module of `sofiles` meets, when each meets one with nothing
/// to vendor; None when the wheel needs auditwheel's own repair (a library
/// to vendor, no policy met, nothing measured) or off Linux.
static nb::object policy(nb::list sofiles, nb::object cache, nb::object remote) {
    if (!truthy(mine("sys").attr("platform").attr("startswith")("linux")) || nb::len(sofiles) == 0)
        return nb::none();
    // The modules were built here: this machine's C library and architecture,
    // also for a module that names no C library.
    nb::object libc = nb::module_::import_("auditwheel.libc").attr("Libc").attr("detect")();
    nb::object arch = nb::module_::import_("auditwheel.architecture").attr("Architecture").attr("detect")();
    nb::str salt = nb::str("auditwheel {} {} {}").format(version_of("auditwheel"), libc, arch);
    nb::object work = nb::none();
    nb::object lowest = nb::none();
    bool repair = false;
    try {
        for (nb::handle so : sofiles) {
            nb::str key(mine("hashlib").attr("sha256")((sha256(so) + salt).attr("encode")()).attr("hexdigest")());
            nb::object record = recall(cache, remote, "policy", key);
            if (record.is_none()) {
                if (work.is_none())
                    work = mine("tempfile").attr("mkdtemp")("prefix"_a = "tovel-gauge-");
                record = analyse_one(nb::str(so), libc, arch, nb::str(work));
                remember(cache, remote, "policy", key, record);
            }
            // Auditwheel's policies are ordered: the wheel meets the least
            // compatible of its modules' ones. linux_<arch> (priority 0) is
            // none at all.
            if (!truthy(record["measured"]) || nb::len(nb::object(record["outside"])) ||
                nb::cast<int>(record["priority"]) == 0) {
                repair = true;
                break;
            }
            if (lowest.is_none() || nb::cast<int>(record["priority"]) < nb::cast<int>(lowest["priority"]))
                lowest = record;
        }
    } catch (...) {
        if (!work.is_none())
            mine("shutil").attr("rmtree")(work, "ignore_errors"_a = true);
        throw;
    }
    if (!work.is_none())
        mine("shutil").attr("rmtree")(work, "ignore_errors"_a = true);
    if (repair)
        return nb::none();
    // Sorted, as the wheel library compresses a tag set.
    nb::list tags;
    tags.append(lowest["name"]);
    tags.attr("extend")(lowest["aliases"]);
    return nb::str(".").attr("join")(builtin("sorted")(tags));
}

/// Starts abi3audit on the modules of `sofiles` that the cache does not
/// record as passed, against the stable ABI of Python `minimum`, on copies
/// in `work` (the tree may change meanwhile). Returns what finish() needs.
static nb::dict start(nb::list sofiles, nb::object cache, nb::object remote, nb::str minimum, nb::str work) {
    nb::object os = mine("os");
    nb::str salt = nb::str("abi3audit {} {}").format(version_of("abi3audit"), minimum);
    nb::dict handle, pending;
    nb::list passed;
    mine("shutil").attr("rmtree")(work, "ignore_errors"_a = true);
    for (nb::handle so : sofiles) {
        nb::str digest = sha256(so);
        nb::str key(mine("hashlib").attr("sha256")((digest + salt).attr("encode")()).attr("hexdigest")());
        if (!recall(cache, remote, "abi3", key).is_none()) {
            passed.append(digest);
            continue;
        }
        nb::object copy = os.attr("path").attr("join")(work, digest, os.attr("path").attr("basename")(so));
        os.attr("makedirs")(os.attr("path").attr("dirname")(copy), "exist_ok"_a = true);
        mine("shutil").attr("copyfile")(so, copy);
        pending[copy] = nb::make_tuple(digest, key);
    }
    handle["passed"] = passed;
    handle["pending"] = pending;
    handle["cache"] = cache;
    handle["remote"] = remote;
    handle["process"] = nb::none();
    if (nb::len(pending)) {
        nb::list cmd;
        cmd.append(mine("sys").attr("executable"));
        for (const char *word : {"-m", "abi3audit", "--strict", "--report", "--assume-minimum-abi3"})
            cmd.append(word);
        cmd.append(minimum);
        cmd.attr("extend")(pending.keys());
        nb::object sp = mine("subprocess");
        nb::dict env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
        env["NO_COLOR"] = "1";
        handle["process"] = sp.attr("Popen")(cmd, "stdout"_a = sp.attr("PIPE"), "stderr"_a = sp.attr("DEVNULL"),
                                             "stdin"_a = sp.attr("DEVNULL"), "text"_a = true, "env"_a = env);
    }
    return handle;
}

/// abi3audit's verdict on one module, in this process, recorded in the cache
/// when it passes (as finish() records it): a worker of the build does it as
/// soon as the module is linked, and start() then finds it passed. Anything
/// abi3audit's own modules do not offer leaves the module to start().
static bool audit_one(nb::str so, nb::object cache, nb::str minimum) {
    nb::str salt = nb::str("abi3audit {} {}").format(version_of("abi3audit"), minimum);
    nb::object version = nb::module_::import_("abi3info.models").attr("PyVersion").attr("parse_dotted")(minimum);
    nb::object audit = nb::module_::import_("abi3audit._audit").attr("audit");
    // abi3audit's inputs for this one file, each listing the objects it holds.
    nb::object inputs = nb::module_::import_("abi3audit._extract").attr("make_specs")(so, "assume_minimum_abi3"_a = version);
    for (nb::handle input : inputs)
        for (nb::handle shared : input.attr("_extractor")()) {
            nb::dict result = nb::borrow<nb::dict>(audit(shared, "assume_minimum_abi3"_a = version).attr("json")());
            if (nb::len(global("tovel.audit", "beyond_abi3")(result["non_abi3_symbols"])) ||
                !truthy(result["is_abi3_baseline_compatible"]))
                return false;
        }
    nb::dict record;
    record["passed"] = true;
    remember(cache, nb::none(), "abi3",
             nb::str(mine("hashlib").attr("sha256")((sha256(so) + salt).attr("encode")()).attr("hexdigest")()), record);
    return true;
}

/// Waits for the audit start() began; records each module that passed in
/// the cache. Returns the sha256 of every module known to pass. One that
/// did not is left out: the audit of the wheel then says why.
static nb::list finish(nb::dict handle) {
    nb::list passed(handle["passed"]);
    nb::object process = handle["process"];
    if (process.is_none())
        return passed;
    nb::object out = process.attr("communicate")()[0];
    nb::object report = nb::none();
    try {
        report = mine("json").attr("loads")(out);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return passed;
    }
    if (!nb::isinstance<nb::dict>(report))
        return passed;
    nb::dict audited = nb::borrow<nb::dict>(get(report, "specs", nb::dict()));
    for (auto [copy, ids] : nb::borrow<nb::dict>(handle["pending"])) {
        nb::object entry = get(audited, nb::str(copy).c_str(), nb::none());
        if (entry.is_none() || !nb::isinstance<nb::dict>(entry))
            continue;
        nb::object result = get(get(entry, "object", nb::dict()), "result", nb::none());
        // A module's own entry point is no symbol it needs (PyInitU_ of a name beyond ASCII).
        if (result.is_none() || nb::len(global("tovel.audit", "beyond_abi3")(result["non_abi3_symbols"])) ||
            !truthy(result["is_abi3_baseline_compatible"]))
            continue;
        passed.append(ids[0]);
        nb::dict record;
        record["passed"] = true;
        remember(handle["cache"], handle["remote"], "abi3", nb::str(ids[1]), record);
    }
    return passed;
}

TOVEL_MODULE(gauge, m) {
    for (const char *name : {"hashlib", "json", "os", "shutil", "subprocess", "sys", "tempfile", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.def("policy", &policy, "sofiles"_a, "cache"_a.none(), "remote"_a.none(),
          "The platform tags of the policy every module meets with nothing to vendor, "
          "each measured once and kept in the cache; None when the wheel needs auditwheel's repair.");
    m.def("start", &start, "sofiles"_a, "cache"_a.none(), "remote"_a.none(), "minimum"_a, "work"_a,
          "Start abi3audit on the modules the cache does not record as passed.");
    m.def("audit_one", &audit_one, "so"_a, "cache"_a, "minimum"_a,
          "abi3audit's verdict on one module, recorded in the cache when it passes.");
    m.def("finish", &finish, "handle"_a,
          "Wait for the audit start() began; the sha256 of every module known to pass.");
}
