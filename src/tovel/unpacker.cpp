// tovel.unpacker: a pure wheel read as a build starts from it: vetted entry
// by entry (a hostile wheel stops the build in one line), unpacked into the
// tree whose packages are compiled, the modes of its files recorded for the
// compiled wheel.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.unpacker";

static nb::object mine(const char *name) { return global(MOD, name); }

// Opens a wheel for reading; RECORD's hashes are checked as it is read.
static nb::object open_wheel(nb::str wheel) {
    nb::str name(mine("os").attr("path").attr("basename")(wheel));
    try {
        return mine("WheelFile")(wheel);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        build_failed(nb::str("{} cannot be read as a wheel: {}").format(name, e.value()));
    }
}

// The entries of a wheel that a pure wheel may hold, each with the path it
// takes in the tree: purelib and platlib of its .data folder go to the root,
// as an installer puts them. A hostile entry stops the build with one line
// naming it: a path outside the root or absolute, a link, a name twice,
// a compiled library, a second .dist-info or .data folder or one of another
// project. Returns [(info, path)].
static nb::list vet(nb::handle wf, nb::str name) {
    nb::object re = mine("re");
    nb::object wanted = mine("canonicalize_name")(mine("parse_wheel_filename")(name)[0]);
    auto refuse = [&](nb::handle entry, nb::str why) {
        build_failed(nb::str("{} is refused: its entry {!r} {}").format(name, entry, why));
    };
    nb::list out;
    nb::dict seen;
    nb::object infos = builtin("set")(), datas = builtin("set")();
    for (nb::handle zi : wf.attr("infolist")()) {
        nb::str entry(zi.attr("filename"));
        nb::str path(entry.attr("replace")("\\", "/"));
        if (truthy(path.attr("startswith")("/")) || !re.attr("match")("[A-Za-z]:", path).is_none())
            refuse(entry, nb::str("has an absolute path"));
        nb::list parts;
        for (nb::handle p : path.attr("split")("/")) {
            if (nb::str(p).equal(nb::str("..")))
                refuse(entry, nb::str("points outside the wheel's root"));
            if (nb::len(p) && !nb::str(p).equal(nb::str(".")))
                parts.append(p);
        }
        if (!nb::len(parts))
            continue;
        nb::object mode = nb::int_(zi.attr("external_attr")).attr("__rshift__")(16);
        if (truthy(mine("stat").attr("S_ISLNK")(mode)))
            refuse(entry, nb::str("is a symbolic link"));
        nb::str top(parts[0]);
        if (truthy(top.attr("endswith")(".dist-info")))
            infos.attr("add")(top);
        if (truthy(top.attr("endswith")(".data")) && nb::len(parts) > 1) {
            datas.attr("add")(top);
            if (nb::len(parts) > 2 && truthy(nb::make_tuple("purelib", "platlib").attr("__contains__")(parts[1])))
                parts = nb::list(parts.attr("__getitem__")(builtin("slice")(2, nb::none())));
        }
        if (truthy(zi.attr("is_dir")()))
            continue;
        nb::str arc(nb::str("/").attr("join")(parts));
        if (seen.contains(arc))
            refuse(entry, nb::str("names the same file as {!r}").format(seen[arc]));
        seen[arc] = entry;
        if (!re.attr("search")("\\.(so(\\.[0-9]+)*|pyd|dylib)$", arc.attr("lower")()).is_none())
            refuse(entry, nb::str("is a compiled library, which a pure wheel does not hold"));
        out.append(nb::make_tuple(zi, arc));
    }
    nb::list found(builtin("sorted")(infos));
    if (nb::len(found) > 1)
        refuse(found[1], nb::str("is a second .dist-info folder (beside {!r})").format(found[0]));
    nb::list stores(builtin("sorted")(datas));
    if (nb::len(stores) > 1)
        refuse(stores[1], nb::str("is a second .data folder (beside {!r})").format(stores[0]));
    for (nb::handle folder : found.attr("__add__")(stores)) {
        nb::str project(nb::str(folder).attr("split")("-")[0]);
        if (!mine("canonicalize_name")(project).equal(wanted))
            refuse(folder, nb::str("is not the metadata of the wheel's project ({})").format(wanted));
    }
    return out;
}

/// Unpacks a pure wheel (py*-none-any tags only) into `where`: returns its
/// top-level packages and modules as [name, entry] pairs, its .dist-info
/// folder, and its other files (the .data folder, files at the top) as
/// data entries {path, file, arc}.
static nb::dict unpack(nb::str wheel, nb::str where) {
    nb::object os = mine("os"), Path = mine("Path");
    nb::str name(os.attr("path").attr("basename")(wheel));
    if (!truthy(os.attr("path").attr("isfile")(wheel)))
        build_failed(nb::str("no wheel {}").format(wheel));
    nb::object tags;
    try {
        tags = mine("parse_wheel_filename")(name)[3];
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        build_failed(nb::str("{} is not the name of a wheel: {}").format(name, e.value()));
    }
    for (nb::handle t : tags)
        if (!t.attr("abi").equal(nb::str("none")) || !t.attr("platform").equal(nb::str("any")) ||
            !truthy(nb::str(t.attr("interpreter")).attr("startswith")("py")))
            build_failed(nb::str("{} is not a pure wheel (it is tagged {}): tov compiles the Python "
                           "sources of a py3-none-any wheel")
                       .format(name, nb::str(".").attr("join")(builtin("sorted")(builtin("map")(builtin("str"), tags)))));
    mine("shutil").attr("rmtree")(where, "ignore_errors"_a = true);
    os.attr("makedirs")(where);
    nb::object wf = open_wheel(wheel);
    try {
        for (nb::handle item : vet(wf, name)) {
            nb::object target = Path(where).attr("joinpath")(item[1]);
            target.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
            nb::object src = wf.attr("open")(item[0]);
            nb::object dst = builtin("open")(target, "wb");
            mine("shutil").attr("copyfileobj")(src, dst);
            dst.attr("close")();
            src.attr("close")();
        }
        wf.attr("close")();
    } catch (nb::python_error &e) {
        wf.attr("close")();
        if (!ordinary(e) || e.matches(global("tovel.packer", "BuildFailed")))
            throw;
        build_failed(nb::str("{} cannot be unpacked: {}").format(name, e.value()));
    }
    nb::list packages, data;
    nb::object info = nb::none();
    nb::object root = Path(where);
    for (nb::handle entry : builtin("sorted")(root.attr("iterdir")())) {
        nb::str base(entry.attr("name"));
        bool folder = truthy(entry.attr("is_dir")());
        if (folder && truthy(base.attr("endswith")(".dist-info"))) {
            info = nb::str(entry.attr("as_posix")());
        } else if (folder && !truthy(base.attr("endswith")(".data"))) {
            packages.append(nb::make_tuple(base, base));
        } else if (!folder && truthy(base.attr("endswith")(".py"))) {
            packages.append(nb::make_tuple(base.attr("removesuffix")(".py"), base));
        } else {
            // Carried over as it is: the .data folder, other files at the top.
            nb::object files = folder ? builtin("sorted")(entry.attr("rglob")("*")) : nb::object(nb::make_tuple(entry));
            for (nb::handle f : files) {
                if (!truthy(f.attr("is_file")()))
                    continue;
                nb::dict d;
                d["arc"] = f.attr("relative_to")(root).attr("as_posix")();
                d["path"] = d["arc"];
                d["file"] = f.attr("as_posix")();
                data.append(d);
            }
        }
    }
    if (info.is_none())
        build_failed(nb::str("{} has no .dist-info folder").format(name));
    nb::dict out;
    out["root"] = where;
    out["packages"] = packages;
    out["info"] = info;
    out["data"] = data;
    return out;
}

/// Extracts the .dist-info folder of a wheel into outdir; returns its name.
static nb::str dist_info_of(nb::str wheel, nb::str outdir) {
    nb::object wf = open_wheel(wheel);
    try {
        nb::list members;
        nb::object folder = nb::none();
        for (nb::handle n : wf.attr("namelist")()) {
            nb::str top(nb::str(n).attr("split")("/")[0]);
            if (truthy(top.attr("endswith")(".dist-info"))) {
                folder = top;
                members.append(n);
            }
        }
        wf.attr("extractall")(outdir, members);
        wf.attr("close")();
        if (folder.is_none())
            build_failed(nb::str("{} has no .dist-info folder").format(wheel));
        return nb::str(folder);
    } catch (...) {
        wf.attr("close")();
        throw;
    }
}

/// The file attributes (zip external_attr) the pure wheel records, by each
/// file's place in the compiled wheel (.data/purelib and platlib are modules
/// there, as they are unpacked): the compiled wheel keeps every mode of
/// the pure one, the execute bit of a script above all.
static nb::dict recorded_modes(nb::str wheel) {
    nb::dict modes;
    nb::object zf = mine("zipfile").attr("ZipFile")(wheel);
    for (nb::handle zi : zf.attr("infolist")()) {
        nb::list parts(nb::str(zi.attr("filename")).attr("replace")("\\", "/").attr("split")("/"));
        if (nb::len(parts) > 2 && truthy(parts[0].attr("endswith")(".data")) &&
            truthy(nb::make_tuple("purelib", "platlib").attr("__contains__")(parts[1])))
            parts = nb::list(parts.attr("__getitem__")(builtin("slice")(2, nb::none())));
        if (!truthy(zi.attr("is_dir")()) && truthy(nb::int_(zi.attr("external_attr")).attr("__rshift__")(16)))
            modes[nb::str("/").attr("join")(parts)] = zi.attr("external_attr");
    }
    zf.attr("close")();
    return modes;
}

TOVEL_MODULE(unpacker, m) {
    for (const char *name : {"os", "re", "shutil", "stat", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("WheelFile") = nb::module_::import_("wheel.wheelfile").attr("WheelFile");
    m.attr("parse_wheel_filename") = nb::module_::import_("packaging.utils").attr("parse_wheel_filename");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.def("unpack", &unpack, "wheel"_a, "where"_a,
          "Unpack a pure wheel into where: its packages, .dist-info folder and other files.");
    m.def("dist_info_of", &dist_info_of, "wheel"_a, "outdir"_a,
          "Extract the .dist-info folder of a wheel into outdir; returns its name.");
    m.def("recorded_modes", &recorded_modes, "wheel"_a,
          "The file attributes the wheel records, by each file's place in the compiled wheel.");
}
