// tovel.audit: the checks a finished wheel passes before it reaches dist:
// its tags, its RECORD and, for an abi3 wheel, the stable ABI as abi3audit
// judges it (nothing here keeps symbol tables of its own). The Linux platform
// policy, as auditwheel measures and repairs it, is tovel.policy's; its
// functions are reached from here too.
#include "wheeltool.h"

using namespace tovel;
using namespace tovel::wheeltool;

static const char *MOD = "tovel.audit";

static nb::object mine(const char *name) { return global(MOD, name); }

/// The ValueError of a wheel that fails a check: one line naming the wheel.
[[noreturn]] static void fail(nb::handle wheel, nb::handle problem) {
    nb::str message(nb::str("{}: {}").format(wheel, problem).attr("replace")("\n", " "));
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

[[noreturn]] static void fail(nb::handle wheel, const char *problem) { fail(wheel, nb::str(problem)); }

/// An extension module by its file name, as abi3audit and auditwheel find them.
static bool extension_module(nb::handle name) {
    return truthy(name.attr("endswith")(nb::make_tuple(".so", ".pyd")));
}

/// sha256 of data in the urlsafe, unpadded base64 form that RECORD uses.
static nb::str record_hash(nb::handle data) {
    nb::object digest = nb::module_::import_("hashlib").attr("sha256")(data).attr("digest")();
    nb::object b64 = nb::module_::import_("base64").attr("urlsafe_b64encode")(digest);
    return nb::str(nb::str("sha256={}").format(b64.attr("decode")("ascii").attr("rstrip")("=")));
}

/// The symbols abi3audit finds beyond the stable ABI in a module, sorted, but
/// module entry points (PyInit_<name>, and PyInitU_<punycode> of a name beyond
/// ASCII, which abi3audit does not know): a module exports its own, and no
/// interpreter's ABI holds one.
static nb::list beyond_abi3(nb::handle symbols) {
    nb::list out;
    for (nb::handle s : builtin("sorted")(symbols))
        if (!truthy(s.attr("startswith")(nb::make_tuple("PyInit_", "PyInitU_"))))
            out.append(s);
    return out;
}

// ---------------------------------------------------------------- verify

/// abi3audit in strict mode on an abi3 wheel. Its Python interface lives in
/// private modules, so the command is the stable way in; its JSON report
/// names the modules and symbols when the audit fails.
static void audit_abi3(nb::str wheel) {
    nb::dict env = nb::borrow<nb::dict>(builtin("dict")(mine("os").attr("environ")));
    env["NO_COLOR"] = "1";
    env["COLUMNS"] = "100000"; // one message a line: rich wraps at the width
    nb::list cmd;
    for (const char *word : {"-m", "abi3audit", "--strict", "--report"})
        cmd.append(word);
    cmd.append(wheel);
    nb::object done = run(MOD, cmd, env);
    if (done.attr("returncode").equal(nb::int_(0)))
        return;

    nb::list problems;
    nb::object baseline = nb::none();
    nb::object report = nb::none();
    try {
        report = nb::module_::import_("json").attr("loads")(done.attr("stdout"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    if (nb::isinstance<nb::dict>(report)) {
        // abi3audit's JSON report: one entry per audited file, under "specs".
        for (nb::handle audited : report["specs"].attr("values")()) {
            for (nb::handle so : get(audited, "wheel", nb::list())) {
                nb::object result = so["result"];
                nb::list symbols = beyond_abi3(result["non_abi3_symbols"]);
                if (nb::len(symbols))
                    problems.append(nb::str("{} uses {}").format(
                        so["name"], nb::str(", ").attr("join")(symbols)));
                if (!truthy(result["is_abi3_baseline_compatible"]))
                    problems.append(nb::str("{} needs the stable ABI of Python {}")
                                        .format(so["name"], result["computed"]));
                if (baseline.is_none())
                    baseline = result["baseline"];
            }
        }
    }
    if (nb::len(problems))
        fail(wheel, nb::str("its extension modules go beyond the stable ABI of Python {}: {}")
                        .format(baseline, nb::str("; ").attr("join")(problems)));
    if (!baseline.is_none())
        return; // the report judged the modules, and found only their own entry points
    nb::str err(done.attr("stderr"));
    nb::str why = last_line(err);
    nb::list parts(err.attr("split")("auditing error: ", 1));
    if (nb::len(parts) == 2)
        why = nb::str(nb::str(parts[1]).attr("splitlines")()[0].attr("strip")());
    fail(wheel, nb::str("abi3audit could not check its extension modules: {}").format(why));
}

/// The checks of verify on an open archive.
static void check_archive(nb::str wheel, nb::handle zf, nb::handle parsed, nb::handle passed) {
    nb::str name = basename(wheel);
    nb::dict data; // member name -> bytes, folders left out
    for (nb::handle info : zf.attr("infolist")()) {
        if (truthy(info.attr("is_dir")()))
            continue;
        nb::object member = info.attr("filename");
        if (data.contains(member))
            fail(wheel, nb::str("the archive holds {} twice").format(member));
        data[member] = zf.attr("read")(info);
    }

    nb::list found;
    for (nb::handle member : data.keys()) {
        nb::list parts(member.attr("split")("/"));
        if (nb::len(parts) == 2 && truthy(parts[0].attr("endswith")(".dist-info")) &&
            nb::str(parts[1]).equal(nb::str("WHEEL")))
            found.append(parts[0]);
    }
    if (nb::len(found) != 1)
        fail(wheel, nb::len(found) ? "it has more than one .dist-info folder with a WHEEL"
                                   : "it has no .dist-info/WHEEL");
    nb::str info_dir(found[0]);

    // The tags of the file name, compressed tag sets expanded, are the tags
    // of the WHEEL file's Tag lines.
    nb::object email_policy = nb::module_::import_("email.policy").attr("compat32");
    nb::object meta = nb::module_::import_("email.parser")
                          .attr("BytesParser")("policy"_a = email_policy)
                          .attr("parsebytes")(data[info_dir + nb::str("/WHEEL")]);
    nb::object lines = meta.attr("get_all")("Tag", nb::list());
    if (nb::len(lines) == 0)
        fail(wheel, "its WHEEL has no Tag line");
    nb::set wheel_tags;
    for (nb::handle line : lines)
        wheel_tags.attr("update")(mine("parse_tag")(line.attr("strip")()));
    nb::object name_tags = parsed[3];
    if (!name_tags.equal(wheel_tags)) {
        auto listed = [](nb::handle tags) {
            nb::list texts;
            for (nb::handle tag : tags)
                texts.append(nb::str(tag));
            return nb::str(", ").attr("join")(builtin("sorted")(texts));
        };
        fail(wheel, nb::str("the tags of its file name ({}) differ from the Tag lines of its "
                            "WHEEL ({})")
                        .format(listed(name_tags), listed(wheel_tags)));
    }
    nb::list fields(name.attr("removesuffix")(".whl").attr("split")("-"));
    nb::object build = nb::len(fields) == 6 ? nb::object(fields[2]) : nb::none();
    nb::object declared = meta.attr("get")("Build");
    if (!build.equal(declared))
        fail(wheel, nb::str("the build tag of its file name ({!r}) differs from the Build of its "
                            "WHEEL ({!r})")
                        .format(build, declared));

    // RECORD lists every other member once, with its sha256 and size.
    nb::str record(info_dir + nb::str("/RECORD"));
    if (!data.contains(record))
        fail(wheel, nb::str("it has no {}").format(record));
    nb::object text = nb::borrow(data[record]).attr("decode")("utf-8");
    nb::object rows = nb::module_::import_("csv").attr("reader")(
        nb::module_::import_("io").attr("StringIO")(text));
    nb::set listed;
    nb::tuple unsigned_(nb::make_tuple(record, record + nb::str(".jws"), record + nb::str(".p7s")));
    for (nb::handle row : rows) {
        if (nb::len(row) == 0)
            continue;
        if (nb::len(row) != 3)
            fail(wheel, nb::str("its RECORD has a malformed line: {}").format(
                            nb::str(",").attr("join")(row)));
        nb::object path = row[0], digest = row[1], size = row[2];
        if (listed.contains(path))
            fail(wheel, nb::str("its RECORD lists {} twice").format(path));
        listed.add(path);
        if (!data.contains(path))
            fail(wheel, nb::str("its RECORD lists {}, which the archive does not hold").format(path));
        if (truthy(unsigned_.attr("__contains__")(path)) && (path.equal(record) || nb::len(digest) == 0))
            continue;
        if (!truthy(digest.attr("startswith")("sha256=")))
            fail(wheel, nb::str("its RECORD gives no sha256 for {}").format(path));
        nb::object content = data[path];
        if (!digest.equal(record_hash(content)))
            fail(wheel, nb::str("the sha256 of {} does not match its RECORD").format(path));
        if (!size.equal(nb::str(nb::int_(nb::len(content)))))
            fail(wheel, nb::str("the size of {} ({} bytes) does not match its RECORD ({})")
                            .format(path, nb::len(content), size));
    }
    for (nb::handle member : data.keys())
        if (!listed.contains(member) && !member.equal(record))
            fail(wheel, nb::str("{} is missing from its RECORD").format(member));

    // An abi3 wheel keeps to the stable ABI of its python tag.
    bool abi3 = false;
    for (nb::handle tag : name_tags)
        abi3 = abi3 || nb::str(tag.attr("abi")).equal(nb::str("abi3"));
    // Modules that abi3audit passed already (tovel.gauge, by their sha256)
    // are not audited again.
    bool modules = false;
    for (auto [member, content] : data) {
        nb::object digest = mine("hashlib").attr("sha256")(content).attr("hexdigest")();
        modules = modules || (extension_module(member) && !truthy(passed.attr("__contains__")(digest)));
    }
    if (abi3 && modules)
        audit_abi3(wheel);
}

static void verify(nb::handle wheel_arg, nb::handle passed_arg) {
    nb::object passed = passed_arg.is_none() ? nb::object(nb::frozenset()) : nb::object(nb::frozenset(passed_arg));
    nb::str wheel = path_text(wheel_arg, "verify", "wheel");
    nb::object parsed;
    try {
        parsed = mine("parse_wheel_filename")(basename(wheel));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        fail(wheel, nb::str("not a wheel's file name ({})").format(nb::str(e.value())));
    }
    nb::object zipfile = mine("zipfile");
    nb::object zf;
    try {
        zf = zipfile.attr("ZipFile")(wheel);
    } catch (nb::python_error &e) {
        if (!e.matches(zipfile.attr("BadZipFile")))
            throw;
        fail(wheel, "not a zip archive");
    }
    try {
        check_archive(wheel, zf, parsed, passed);
    } catch (nb::python_error &e) {
        zf.attr("close")();
        if (e.matches(zipfile.attr("BadZipFile")))
            fail(wheel, nb::str("a damaged zip archive ({})").format(nb::str(e.value())));
        throw;
    } catch (...) {
        zf.attr("close")();
        throw;
    }
    zf.attr("close")();
}

TOVEL_MODULE(audit, m) {
    for (const char *name : {"hashlib", "os", "subprocess", "sys", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("parse_wheel_filename") =
        nb::module_::import_("packaging.utils").attr("parse_wheel_filename");
    m.attr("parse_tag") = nb::module_::import_("packaging.tags").attr("parse_tag");

    m.def("beyond_abi3", &beyond_abi3, "symbols"_a,
          "The symbols abi3audit names beyond the stable ABI in a module, but module entry points; sorted.");
    m.def("verify", &verify, "wheel"_a.none(), "passed"_a.none() = nb::none(),
          nb::sig("def verify(wheel: str | os.PathLike[str], passed: Iterable[str] | None = None) -> None"),
          "Check a wheel: file-name tags equal the WHEEL Tag lines, RECORD lists every "
          "member with its sha256 and size, and an abi3 wheel keeps to the stable ABI of "
          "its python tag (abi3audit runs unless every module's sha256 is in passed). "
          "Raises ValueError naming the wheel and the problem.");
    nb::module_ policy = nb::module_::import_("tovel.policy");
    for (const char *name : {"policy", "newer_policy", "repair"})
        m.attr(name) = policy.attr(name);
}
