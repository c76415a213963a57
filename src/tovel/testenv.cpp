// tovel.testenv: the virtual environments the project's tests run in. What
// a test environment holds besides the project's own wheel (its
// dependencies, test extras and test requirements) is installed once, into an
// environment kept in the cache folder by the interpreter and that set of
// requirements; each build copies it and installs the wheel alone: seconds,
// where pip takes a minute to resolve and fetch the same set again.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.testenv";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object join(nb::handle a, nb::handle b) { return mine("os").attr("path").attr("join")(a, b); }
static nb::object join(nb::handle a, const char *b) { return join(a, nb::str(b)); }

// A kept environment is made anew after this many days, so that the
// requirements that are not pinned move on as the index does.
static const int KEPT_DAYS = 7;

// Runs a setup step, its output to `log`; a failure ends the build with one line.
static void setup_step(nb::list cmd, nb::handle log, const char *what) {
    nb::object out = builtin("open")(log, "a", "encoding"_a = "utf-8");
    nb::object done;
    try {
        done = mine("subprocess").attr("run")(cmd, "stdout"_a = out, "stderr"_a = mine("subprocess").attr("STDOUT"),
                                              "stdin"_a = mine("subprocess").attr("DEVNULL"));
    } catch (...) {
        out.attr("close")();
        throw;
    }
    out.attr("close")();
    if (!done.attr("returncode").equal(nb::int_(0)))
        build_failed(nb::str("the test environment could not be made: {} ended with exit status {}; "
                             "its output is in {}")
                         .format(what, done.attr("returncode"), log));
}

/// A fresh virtual environment at `venv` for the interpreter `python`, with
/// `install` (wheels and requirements) installed from the index as pip is
/// configured; the tools' output goes to `log`. Returns its interpreter.
// Whether the running interpreter's pip can drive another environment
// (pip >= 22.3 takes --python), which spares installing pip into it.
static bool outer_pip() {
    try {
        nb::object version = nb::module_::import_("importlib.metadata").attr("version")("pip");
        return mine("Version")(version) >= mine("Version")("22.3");
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return false;
    }
}

// pip with `args` in the environment whose interpreter is `inside`.
static void pip(nb::str inside, nb::list args, nb::str log, const char *what) {
    bool outer = outer_pip();
    nb::list cmd;
    cmd.append(outer ? nb::object(mine("sys").attr("executable")) : nb::object(inside));
    for (const char *a : {"-m", "pip", "--disable-pip-version-check"})
        cmd.append(a);
    if (outer) {
        cmd.append("--python");
        cmd.append(inside);
    }
    cmd.attr("extend")(args);
    setup_step(cmd, log, what);
}

static nb::str environment(nb::str python, nb::str venv, nb::list install, nb::str log) {
    nb::object os = mine("os"), sys = mine("sys");
    mine("shutil").attr("rmtree")(venv, "ignore_errors"_a = true);
    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str bin(join(venv, windows ? "Scripts" : "bin"));
    nb::str inside(join(bin, windows ? "python.exe" : "python"));
    // venv and pip, not uv: pip installs from the index the way the user
    // configured it. The running interpreter's pip drives the environment
    // when it can (pip >= 22.3 takes --python), which spares installing pip.
    bool outer = outer_pip();
    nb::list cmd;
    cmd.append(python);
    for (const char *a : {"-m", "venv"})
        cmd.append(a);
    if (outer)
        cmd.append("--without-pip");
    cmd.append(venv);
    setup_step(cmd, log, "python -m venv");
    if (nb::len(install) == 0)
        return inside;
    nb::list args;
    for (const char *a : {"install", "-q"})
        args.append(a);
    args.attr("extend")(install);
    pip(inside, args, log, "pip install");
    return inside;
}

// The interpreter lines of the scripts of the environment in `folder`
// changed from the environment at `old` to the one at `venv`.
static void retarget(nb::str folder, nb::str old, nb::str venv) {
    nb::object os = mine("os");
    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str bin(join(folder, windows ? "Scripts" : "bin"));
    nb::bytes from(nb::str(old).attr("encode")()), to(nb::str(venv).attr("encode")());
    for (nb::handle f : os.attr("listdir")(bin)) {
        nb::object path = mine("Path")(join(bin, f));
        if (truthy(path.attr("is_symlink")()) || !truthy(path.attr("is_file")()))
            continue;
        nb::object data = path.attr("read_bytes")();
        if (truthy(data.attr("startswith")(nb::bytes("#!"))))
            path.attr("write_bytes")(data.attr("replace")(from, to));
    }
}

/// A copy of the environment `old` at `venv`, the interpreter lines of its
/// scripts changed to the copy's.
static void clone_env(nb::str old, nb::str venv) {
    mine("shutil").attr("rmtree")(venv, "ignore_errors"_a = true);
    mine("shutil").attr("copytree")(old, venv, "symlinks"_a = true);
    retarget(venv, old, venv);
}

// What determines a kept environment: the interpreter (its path, the size
// and time of its program), what the wheel requires (its Requires-Dist and
// the extras asked for) and the test requirements.
static nb::str key(nb::str python, nb::str wheel, nb::list requires) {
    nb::object os = mine("os");
    nb::object h = mine("hashlib").attr("sha256")();
    auto add = [&](nb::handle v) { h.attr("update")(nb::str(nb::str(v) + nb::str("\n")).attr("encode")("utf-8")); };
    nb::object real = os.attr("path").attr("realpath")(python);
    nb::object st = os.attr("stat")(real);
    for (nb::handle v : {nb::handle(python), nb::handle(real), nb::handle(st.attr("st_size")), nb::handle(st.attr("st_mtime_ns"))})
        add(v);
    // "wheel.whl[test]": the extras follow the file's name.
    nb::list parts(wheel.attr("split")("[", 1));
    add(nb::len(parts) > 1 ? nb::str(parts[1]) : nb::str(""));
    nb::object zf = mine("zipfile").attr("ZipFile")(parts[0]);
    try {
        for (nb::handle name : zf.attr("namelist")())
            if (truthy(nb::str(name).attr("endswith")(".dist-info/METADATA"))) {
                nb::object meta = mine("email").attr("message_from_bytes")(zf.attr("read")(name));
                for (nb::handle r : builtin("sorted")(meta.attr("get_all")("Requires-Dist", nb::list())))
                    add(r);
            }
    } catch (...) {
        zf.attr("close")();
        throw;
    }
    zf.attr("close")();
    add(nb::str("--"));
    for (nb::handle r : requires)
        add(r);
    return nb::str(nb::str(h.attr("hexdigest")()).attr("__getitem__")(builtin("slice")(nb::none(), 16)));
}

/// The test environment at `venv` for the interpreter `python`: `wheel`
/// (with its extras, "file.whl[test]") and `requires` installed. With a
/// cache folder, what the wheel needs comes from the environment kept there
/// (made on first use) and the wheel is installed alone. Returns its
/// interpreter.
static nb::str prepare(nb::str python, nb::str venv, nb::str wheel, nb::list requires, nb::object cache, nb::str log) {
    nb::list install;
    install.append(wheel);
    install.attr("extend")(requires);
    if (cache.is_none())
        return environment(python, venv, install, log);
    nb::object os = mine("os");
    bool windows = os.attr("name").equal(nb::str("nt"));
    nb::str kept(join(join(cache, "envs"), nb::str("tests-") + key(python, wheel, requires)));
    nb::object done = mine("Path")(join(kept, ".complete"));
    bool fresh = truthy(done.attr("is_file")()) &&
                 nb::cast<double>(mine("time").attr("time")() - done.attr("stat")().attr("st_mtime")) < KEPT_DAYS * 86400.0;
    if (!fresh) {
        // Made beside its place and moved there whole: a build that stops
        // halfway, or another build at the same time, leaves no half
        // environment behind.
        // The others past their days are dropped as this one is made.
        for (nb::handle old : mine("Path")(join(cache, "envs")).attr("glob")("tests-*/.complete"))
            if (nb::cast<double>(mine("time").attr("time")() - old.attr("stat")().attr("st_mtime")) >= KEPT_DAYS * 86400.0)
                mine("shutil").attr("rmtree")(old.attr("parent"), "ignore_errors"_a = true);
        nb::str made(nb::str("{}.new-{}").format(kept, os.attr("getpid")()));
        nb::str inside = environment(python, made, install, log);
        nb::list args;
        for (const char *a : {"uninstall", "-q", "-y"})
            args.append(a);
        nb::str file(os.attr("path").attr("basename")(wheel.attr("split")("[", 1)[0]));
        args.append(mine("parse_wheel_filename")(file)[0]);
        pip(inside, args, log, "pip uninstall"); // the project's own wheel is installed in each copy
        mine("Path")(join(made, ".complete")).attr("touch")();
        mine("shutil").attr("rmtree")(kept, "ignore_errors"_a = true);
        try {
            retarget(made, made, kept);
            os.attr("replace")(made, kept);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            mine("shutil").attr("rmtree")(made, "ignore_errors"_a = true); // another build's is there
        }
    }
    clone_env(kept, venv);
    nb::str inside(join(join(venv, windows ? "Scripts" : "bin"), windows ? "python.exe" : "python"));
    nb::list args;
    for (const char *a : {"install", "-q", "--no-deps", "--no-index"})
        args.append(a);
    args.append(wheel.attr("split")("[", 1)[0]);
    pip(inside, args, log, "pip install");
    return inside;
}

TOVEL_MODULE(testenv, m) {
    for (const char *name : {"email", "hashlib", "os", "shutil", "subprocess", "sys", "time", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("parse_wheel_filename") = nb::module_::import_("packaging.utils").attr("parse_wheel_filename");
    m.def("environment", &environment, "python"_a, "venv"_a, "install"_a, "log"_a,
          "Make a fresh virtual environment at venv for python with install installed; returns its python.");
    m.def("clone", &clone_env, "old"_a, "venv"_a,
          "Copy the environment old to venv, its scripts' interpreter lines changed to the copy's.");
    m.def("prepare", &prepare, "python"_a, "venv"_a, "wheel"_a, "requires"_a, "cache"_a.none(), "log"_a,
          "Make the test environment at venv: wheel (with its extras) and requires installed, what the "
          "wheel needs taken from an environment kept in cache; returns its python.");
}
