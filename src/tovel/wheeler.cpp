// tovel.wheeler: the wheel command. Writes pyproject.toml, runs the build front
// end in a child process and, for a limited-API build, retags the wheel abi3.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.wheeler";

// sha256 of data in the urlsafe, unpadded base64 form that RECORD uses.
static nb::str record_hash(nb::handle data) {
    nb::object digest = nb::module_::import_("hashlib").attr("sha256")(data).attr("digest")();
    nb::object b64 = nb::module_::import_("base64").attr("urlsafe_b64encode")(digest);
    return nb::str(nb::str("sha256={}").format(b64.attr("decode")("ascii").attr("rstrip")("=")));
}

// Rewrites the Tag lines of the wheel's WHEEL metadata from `old_tag` to
// `new_tag`, and the RECORD line of WHEEL to match, so that the wheel's own
// metadata agrees with its new file name. The wheel is replaced atomically.
static void retag(nb::str path, nb::str old_tag, nb::str new_tag) {
    nb::module_ zipfile = nb::module_::import_("zipfile");
    nb::module_ os = nb::module_::import_("os");
    nb::str tmp(nb::str("{}.retag.tmp").format(path));
    nb::object src = zipfile.attr("ZipFile")(path);
    try {
        nb::list infos(src.attr("infolist")());
        nb::str wheel_name(""), record_name("");
        for (nb::handle info : infos) {
            nb::str name(info.attr("filename"));
            nb::list parts(name.attr("split")("/"));
            if (nb::len(parts) == 2 &&
                nb::cast<bool>(nb::str(parts[0]).attr("endswith")(".dist-info"))) {
                if (nb::str(parts[1]).equal(nb::str("WHEEL")))
                    wheel_name = name;
                else if (nb::str(parts[1]).equal(nb::str("RECORD")))
                    record_name = name;
            }
        }
        if (nb::len(wheel_name) == 0 || nb::len(record_name) == 0) {
            PyErr_Format(PyExc_ValueError, "%U is not a wheel: no .dist-info/WHEEL or RECORD",
                         path.ptr());
            throw nb::python_error();
        }
        nb::str wheel_text(src.attr("read")(wheel_name).attr("decode")("utf-8"));
        nb::list lines;
        for (nb::handle line : wheel_text.attr("splitlines")(true)) {
            nb::str l = nb::borrow<nb::str>(line);
            if (nb::cast<bool>(l.attr("startswith")("Tag: ")))
                l = nb::str(l.attr("replace")(nb::str("-") + old_tag + nb::str("-"),
                                               nb::str("-") + new_tag + nb::str("-")));
            lines.append(l);
        }
        nb::object wheel_bytes = nb::str("").attr("join")(lines).attr("encode")("utf-8");

        nb::list record;
        nb::str record_text(src.attr("read")(record_name).attr("decode")("utf-8"));
        for (nb::handle line : record_text.attr("splitlines")(true)) {
            nb::str l = nb::borrow<nb::str>(line);
            if (nb::cast<bool>(l.attr("startswith")(wheel_name + nb::str(","))))
                l = nb::str(nb::str("{},{},{}\n").format(wheel_name, record_hash(wheel_bytes),
                                                          nb::len(wheel_bytes)));
            record.append(l);
        }
        nb::object record_bytes = nb::str("").attr("join")(record).attr("encode")("utf-8");

        nb::object dst = zipfile.attr("ZipFile")(tmp, "w");
        try {
            for (nb::handle info : infos) {
                nb::str name(info.attr("filename"));
                nb::object data;
                if (name.equal(wheel_name))
                    data = wheel_bytes;
                else if (name.equal(record_name))
                    data = record_bytes;
                else
                    data = src.attr("read")(info);
                dst.attr("writestr")(info, data);
            }
            dst.attr("close")();
        } catch (...) {
            dst.attr("close")();
            throw;
        }
        src.attr("close")();
    } catch (...) {
        src.attr("close")();
        try {
            os.attr("remove")(tmp);
        } catch (nb::python_error &) {
        }
        throw;
    }
    os.attr("replace")(tmp, path);
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

    if (!truthy(args.attr("abi3")))
        return;
    print("ABI3 is enabled, using limited API for compatibility with older Python versions.");

    // Only the ABI field of the name changes (a project named nonesuch keeps
    // its name), and the wheel's own metadata is retagged to agree.
    nb::str newfile(nb::str("{}-{}-cp{}-abi3-{}.whl").format(dist, whlversion, pytag, platag));
    nb::object os = global(MOD, "os");
    if (!nb::cast<bool>(os.attr("path").attr("isfile")(whfile))) {
        // The back end writes some names and versions differently (my-pkg
        // becomes my_pkg): say what is there instead of a bare missing file.
        nb::object found = nb::module_::import_("glob").attr("glob")("./dist/*.whl");
        PyErr_Format(PyExc_FileNotFoundError,
                     "the build left no wheel at %U (wheels in dist: %S)", whfile.ptr(),
                     found.ptr());
        throw nb::python_error();
    }
    retag(whfile, nb::str(m.attr("ABITAG")), nb::str("abi3"));
    while (true) {
        try {
            os.attr("rename")(whfile, newfile);
            return;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileExistsError))
                throw;
        }
        print(nb::str("File ") + newfile + nb::str(" already exists, remove it and retry."));
        os.attr("remove")(newfile);
    }
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
    m.def("tovwheel", &tovwheel, "args"_a.none(),
          nb::sig("def tovwheel(args: argparse.Namespace) -> None"),
          "Write pyproject.toml, build the wheel into dist and, for a limited-API build, "
          "retag it abi3.");
}
