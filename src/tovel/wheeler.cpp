// tovel.wheeler: the wheel command. Writes pyproject.toml, runs the build front
// end in a child process, retags the wheel (abi3 for a limited-API build) with
// the wheel package's own tag rewriting, and verifies it before it reaches dist.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.wheeler";

static bool holds_extension_modules(nb::handle wheel) {
    nb::object zf = nb::module_::import_("zipfile").attr("ZipFile")(wheel);
    bool found = false;
    for (nb::handle name : zf.attr("namelist")())
        found = found || truthy(name.attr("endswith")(nb::make_tuple(".so", ".pyd")));
    zf.attr("close")();
    return found;
}

/// The ABI tag of the running interpreter (cp312, cp314t when free-threaded),
/// as installers match it.
static nb::object interpreter_abi() {
    nb::object tags = nb::module_::import_("packaging.tags").attr("sys_tags")();
    return builtin("next")(builtin("iter")(tags)).attr("abi");
}

/// Rewrites Root-Is-Purelib of the wheel's WHEEL to false, in place; RECORD
/// is written anew by WheelFile. The member order and time stamps stay.
static void set_platlib(nb::str path) {
    nb::object os = global(MOD, "os"), WheelFile = global(MOD, "WheelFile");
    nb::object policy = nb::module_::import_("email.policy").attr("compat32");
    nb::object parser = nb::module_::import_("email.parser").attr("BytesParser")("policy"_a = policy);
    nb::object folder = os.attr("path").attr("join")(os.attr("path").attr("dirname")(path), "platlib");
    // The copy keeps the wheel's own name, which WheelFile requires.
    nb::str tmp(os.attr("path").attr("join")(folder, os.attr("path").attr("basename")(path)));
    nb::object fin = WheelFile(path);
    try {
        nb::str wheel_name(nb::str(fin.attr("dist_info_path")) + nb::str("/WHEEL"));
        nb::object info = parser.attr("parsebytes")(fin.attr("read")(wheel_name));
        nb::object purelib = info.attr("get")("Root-Is-Purelib", "true");
        if (nb::str(purelib).attr("strip")().attr("lower")().equal(nb::str("false"))) {
            fin.attr("close")();
            return;
        }
        if (truthy(info.attr("__contains__")("Root-Is-Purelib")))
            info.attr("replace_header")("Root-Is-Purelib", "false");
        else
            info.attr("__setitem__")("Root-Is-Purelib", "false");
        os.attr("makedirs")(folder, "exist_ok"_a = true);
        nb::object fout = WheelFile(tmp, "w");
        try {
            for (nb::handle item : fin.attr("infolist")()) {
                nb::object name = item.attr("filename");
                if (truthy(item.attr("is_dir")()) || name.equal(fin.attr("record_path")))
                    continue;
                nb::object data = name.equal(wheel_name) ? info.attr("as_bytes")()
                                                         : fin.attr("read")(item);
                fout.attr("writestr")(item, data);
            }
            fout.attr("close")();
        } catch (...) {
            fout.attr("close")();
            throw;
        }
        fin.attr("close")();
    } catch (...) {
        fin.attr("close")();
        throw;
    }
    os.attr("replace")(tmp, path);
}

/// One warning line when the modules need a newer Linux policy than the
/// platform tag of the wheel's name claims.
static void warn_policy(nb::str path) {
    nb::object need = global(MOD, "audit").attr("newer_policy")(path);
    if (!need.is_none())
        print(nb::str("WARNING: the extension modules need {}, newer than the {} that the "
                      "wheel's name claims: the wheel may not load on older Linux systems")
                  .format(need, global(MOD, "PLATAG")));
}

/// The finished wheel from the front end's verified wheel `built`: retagged
/// (`abi`, when not None), marked platlib when it holds extension modules,
/// and verified again. Returns its path, in the same folder.
static nb::str finish(nb::str built, nb::handle abi, bool modules) {
    nb::object os = global(MOD, "os"), audit = global(MOD, "audit");
    nb::str done = built;
    if (!abi.is_none()) {
        nb::object name = global(MOD, "tags")(built, nb::none(), abi, nb::none(), nb::none(), true);
        done = nb::str(os.attr("path").attr("join")(os.attr("path").attr("dirname")(built), name));
    }
    if (modules)
        set_platlib(done);
    audit.attr("verify")(done);
    if (modules)
        warn_policy(done);
    return done;
}

static void tovwheel(nb::handle args) {
    nb::module_ m = nb::module_::import_(MOD);
    require_package_folder(args.attr("name"));
    parse_json(args, "extra", global(MOD, "json"));
    parse_json(args, "entry", global(MOD, "json"));
    global(MOD, "project")(builtin("vars")(args));

    nb::str whlversion = text(args.attr("version"));
    nb::str dist(nb::str("./dist/") + text(args.attr("name")));
    nb::str pytag = text(m.attr("PYTAG")), platag = text(m.attr("PLATAG"));
    nb::str whfile(nb::str("{}-{}-cp{}-{}-{}.whl")
                       .format(dist, whlversion, pytag, m.attr("ABITAG"), platag));
    print(banner(nb::str("wheel ") + whfile, "#"));

    // The interpreter path goes as one argument: a path with a space works.
    nb::list cmd;
    cmd.append(global(MOD, "sys").attr("executable"));
    for (const char *word : {"-m", "build", "-wno", "dist"})
        cmd.append(word);
    nb::object done;
    try {
        done = global(MOD, "subprocess").attr("run")(cmd, "shell"_a = false);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        nb::object err = nb::borrow(e.value());
        nb::object exc = builtin("RuntimeError")(
            nb::str("the build front end could not be started: {}").format(nb::str(err)));
        PyException_SetCause(exc.ptr(), err.release().ptr());
        PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
        throw nb::python_error();
    }
    nb::object status = done.attr("returncode");
    if (!status.equal(nb::int_(0))) {
        PyErr_Format(PyExc_RuntimeError,
                     "the build front end failed with exit status %S; no wheel was renamed",
                     status.ptr());
        throw nb::python_error();
    }

    nb::object os = global(MOD, "os");
    if (!truthy(os.attr("path").attr("isfile")(whfile))) {
        // The back end writes some names and versions differently (my-pkg
        // becomes my_pkg): say what is there instead of a bare missing file.
        nb::object found = nb::module_::import_("glob").attr("glob")("./dist/*.whl");
        PyErr_Format(PyExc_FileNotFoundError,
                     "the build left no wheel at %U (wheels in dist: %S)", whfile.ptr(),
                     found.ptr());
        throw nb::python_error();
    }
    // A true abi3 retags the wheel abi3 where the interpreter has a limited
    // API; a free-threaded one before 3.15 has none, and its modules keep
    // the interpreter's own ABI tag.
    bool requested = truthy(args.attr("abi3"));
    bool abi3 = requested && truthy(nb::module_::import_("tovel.options").attr("limited_api")());
    if (abi3)
        print("ABI3 is enabled, using limited API for compatibility with older Python versions.");

    // The wheel is finished in the build tree and reaches dist only once it
    // has passed the checks; a wheel that fails them is removed.
    os.attr("makedirs")("build", "exist_ok"_a = true);
    nb::object shutil = nb::module_::import_("shutil");
    // Relative, as every path of the tool: messages name build/retag-.../<wheel>.
    nb::str work(os.attr("path").attr("relpath")(nb::module_::import_("tempfile").attr("mkdtemp")(
        "prefix"_a = "retag-", "dir"_a = "build")));
    try {
        nb::str built(shutil.attr("move")(whfile, work));
        // Checked as built first: the retag reads it as a sound wheel.
        global(MOD, "audit").attr("verify")(built);
        bool modules = holds_extension_modules(built);
        nb::object abi = nb::none();
        if (abi3) {
            abi = nb::str("abi3");
        } else if (modules) {
            // Modules of the full API load only in the interpreter they were
            // built for: the ABI tag says which.
            abi = interpreter_abi();
            if (requested)
                print(nb::str("ABI3 is not available on this free-threaded interpreter before Python 3.15: "
                              "the wheel holds free-threaded modules of the full API, tagged {}.")
                          .format(abi));
            else
                print(nb::str("The wheel holds extension modules of the full API: tagging it {}.")
                          .format(abi));
        } else if (requested) {
            print("ABI3 is not available on this free-threaded interpreter before Python 3.15: "
                  "the wheel is not retagged abi3.");
        }
        nb::str done = finish(built, abi, modules);
        // Only the tags changed (a project named nonesuch keeps its name).
        nb::str newfile(nb::str("./dist/") + nb::str(os.attr("path").attr("basename")(done)));
        while (true) {
            try {
                os.attr("rename")(done, newfile);
                break;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_FileExistsError))
                    throw;
            }
            print(nb::str("File ") + newfile + nb::str(" already exists, remove it and retry."));
            os.attr("remove")(newfile);
        }
    } catch (...) {
        shutil.attr("rmtree")(work, "ignore_errors"_a = true);
        throw;
    }
    shutil.attr("rmtree")(work, "ignore_errors"_a = true);
}

/// The tag-rewriting function of the wheel package: wheel.cli.tags.tags in
/// older releases, a private module since 0.46.
static nb::object wheel_tags() {
    try {
        return nb::module_::import_("wheel._commands.tags").attr("tags");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
    }
    return nb::module_::import_("wheel.cli.tags").attr("tags");
}

TOVEL_MODULE(wheeler, m) {
    for (const char *name : {"argparse", "json", "os", "subprocess", "sys"})
        m.attr(name) = nb::module_::import_(name);
    nb::module_ metagen = nb::module_::import_("tovel.metagen");
    for (const char *name : {"ABITAG", "PLATAG", "PYTAG", "libpath", "project"}) {
        if (!nb::hasattr(metagen, name)) {
            PyErr_Format(PyExc_ImportError,
                         "cannot import name '%s' from 'tovel.metagen' (unsupported platform %S)",
                         name, metagen.attr("PLATAG").ptr());
            throw nb::python_error();
        }
        m.attr(name) = metagen.attr(name);
    }
    m.attr("audit") = nb::module_::import_("tovel.audit");
    m.attr("tags") = wheel_tags();
    m.attr("WheelFile") = nb::module_::import_("wheel.wheelfile").attr("WheelFile");
    m.def("tovwheel", &tovwheel, "args"_a.none(),
          nb::sig("def tovwheel(args: argparse.Namespace) -> None"),
          "Write pyproject.toml, build the wheel, retag it (abi3 for a limited-API build, "
          "the interpreter's ABI for full-API extension modules), verify it and move it "
          "into dist.");
}
