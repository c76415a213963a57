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
// a compiled library in a pure wheel (`binaries` false), a second .dist-info
// or .data folder or one of another project. Returns [(info, path)].
static nb::list vet(nb::handle wf, nb::str name, bool binaries) {
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
        if (!binaries && !re.attr("search")("\\.(so(\\.[0-9]+)*|pyd|dylib)$", arc.attr("lower")()).is_none())
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

// The ABI of a project's own extension module by its file name: "abi3",
// the tag of the interpreter whose full API it uses ("cp312"), or, for a
// name that says neither (a plain ".so"), the wheel's ABI tag; None for a
// binary of no ABI (a wheel tagged "none").
static nb::object module_abi(nb::str file, nb::str wheel_abi) {
    nb::object re = mine("re");
    nb::str low(file.attr("lower")());
    if (!re.attr("search")("\\.abi3\\.(so|pyd)$", low).is_none())
        return nb::str("abi3");
    nb::object m = re.attr("search")("\\.(?:cpython-|cp)(3[0-9]+t?)-[^.]*\\.(so|pyd)$", low);
    if (!m.is_none())
        return nb::str("cp") + nb::str(m.attr("group")(1));
    if (wheel_abi.equal(nb::str("none")))
        return nb::none();
    return wheel_abi;
}

// The project's own extension modules in the unpacked tree of a platform
// wheel: {modules: [{arc, abi}], abi: "abi3", a full-API tag ("cp312") when
// any module uses one, or None; python: the oldest interpreter tag of the
// wheel's abi3 tags (its stable-ABI floor), None without one}. A module of another
// interpreter's full API stops the build.
static nb::dict own_modules(nb::object root, nb::object tags, nb::str name) {
    nb::object re = mine("re");
    nb::str wheel_abi("none");
    nb::object python = nb::none();
    for (nb::handle t : tags) {
        nb::str abi(t.attr("abi"));
        if (!abi.equal(nb::str("none")))
            wheel_abi = abi;
        nb::str interp(t.attr("interpreter"));
        if (abi.equal(nb::str("abi3")) && truthy(interp.attr("startswith")("cp3")) &&
            (python.is_none() || tag_number(interp) < tag_number(python)))
            python = interp;
    }
    nb::object first = running_tag();
    nb::str here(first.attr("abi"));
    nb::list modules;
    nb::object abi = nb::none();
    for (nb::handle f : builtin("sorted")(root.attr("rglob")("*"))) {
        nb::str arc(f.attr("relative_to")(root).attr("as_posix")());
        if (!truthy(f.attr("is_file")()) || re.attr("search")("\\.(so|pyd)$", arc.attr("lower")()).is_none() ||
            !re.attr("match")("[^/]*\\.(dist-info|data)/", arc).is_none())
            continue;
        nb::object kind = module_abi(nb::str(f.attr("name")), wheel_abi);
        if (kind.is_none())
            continue;
        if (!kind.equal(nb::str("abi3"))) {
            if (!kind.equal(here))
                build_failed(nb::str("{} holds {}, an extension module of the full API of {}: this interpreter "
                                     "({}) cannot load it")
                                 .format(name, arc, kind, here));
            abi = kind;
        } else if (abi.is_none()) {
            abi = kind;
        }
        nb::dict d;
        d["arc"] = arc;
        d["abi"] = kind;
        modules.append(d);
    }
    nb::dict out;
    out["modules"] = modules;
    out["abi"] = abi;
    out["python"] = python;
    return out;
}

/// Unpacks the back end's wheel into `where`: a pure one (py*-none-any), or
/// one of the project's own extension modules whose tags this interpreter
/// installs. Returns its top-level packages and modules as [name, entry]
/// pairs, its .dist-info folder, its other files (the .data folder, files
/// at the top, the binaries in its packages, carried as they are) as data
/// entries {path, file, arc}, and `own` (own_modules; no modules for a pure
/// wheel).
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
    bool pure = true;
    for (nb::handle t : tags)
        pure = pure && t.attr("abi").equal(nb::str("none")) && t.attr("platform").equal(nb::str("any")) &&
               truthy(nb::str(t.attr("interpreter")).attr("startswith")("py"));
    nb::str tagtext(nb::str(".").attr("join")(builtin("sorted")(builtin("map")(builtin("str"), tags))));
    if (!pure && !truthy(nb::set(mine("tags").attr("sys_tags")()).attr("intersection")(tags))) {
        nb::object first = running_tag();
        nb::object platform = mine("sysconfig").attr("get_platform")().attr("replace")("-", "_").attr("replace")(".", "_");
        build_failed(nb::str("{} is tagged {}, which this interpreter ({}-{}, {}) cannot install: run tov with an "
                             "interpreter the wheel is for")
                         .format(name, tagtext, first.attr("interpreter"), first.attr("abi"), platform));
    }
    mine("shutil").attr("rmtree")(where, "ignore_errors"_a = true);
    os.attr("makedirs")(where);
    nb::object wf = open_wheel(wheel);
    try {
        for (nb::handle item : vet(wf, name, !pure)) {
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
    // A file carried over as it is, by its path in the wheel.
    auto carry = [&](nb::handle f) {
        nb::dict d;
        d["arc"] = f.attr("relative_to")(root).attr("as_posix")();
        d["path"] = d["arc"];
        d["file"] = f.attr("as_posix")();
        data.append(d);
    };
    for (nb::handle entry : builtin("sorted")(root.attr("iterdir")())) {
        nb::str base(entry.attr("name"));
        bool folder = truthy(entry.attr("is_dir")());
        if (folder && truthy(base.attr("endswith")(".dist-info"))) {
            info = nb::str(entry.attr("as_posix")());
        } else if (folder && !truthy(base.attr("endswith")(".data"))) {
            packages.append(nb::make_tuple(base, base));
            // The binaries of a package, which the plan leaves out of the
            // modules it builds, are the project's own: carried as they are.
            if (!pure)
                for (nb::handle f : builtin("sorted")(entry.attr("rglob")("*")))
                    if (truthy(f.attr("is_file")()) &&
                        truthy(nb::make_tuple(".so", ".pyd").attr("__contains__")(f.attr("suffix").attr("lower")())))
                        carry(f);
        } else if (!folder && truthy(base.attr("endswith")(".py"))) {
            packages.append(nb::make_tuple(base.attr("removesuffix")(".py"), base));
        } else {
            // Carried over as it is: the .data folder, other files at the top.
            nb::object files = folder ? builtin("sorted")(entry.attr("rglob")("*")) : nb::object(nb::make_tuple(entry));
            for (nb::handle f : files)
                if (truthy(f.attr("is_file")()))
                    carry(f);
        }
    }
    if (info.is_none())
        build_failed(nb::str("{} has no .dist-info folder").format(name));
    nb::dict own;
    if (!pure) {
        // A wheel tov made is no back end's: its modules would be carried as
        // the project's own, compiled a second time over.
        nb::object wheel_file = Path(info).attr("joinpath")("WHEEL");
        nb::str meta(truthy(wheel_file.attr("is_file")()) ? wheel_file.attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace")
                                                           : nb::str(""));
        if (!mine("re").attr("search")("(?mi)^Generator:\\s*tovel", meta).is_none())
            build_failed(nb::str("{} is a wheel tov compiled already (tagged {}): build from the project or its "
                                 "pure wheel")
                             .format(name, tagtext));
        own = own_modules(root, tags, name);
    } else {
        own["modules"] = nb::list();
        own["abi"] = nb::none();
        own["python"] = nb::none();
    }
    nb::dict out;
    out["own"] = own;
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
    for (const char *name : {"os", "re", "shutil", "stat", "sysconfig", "zipfile"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("tags") = nb::module_::import_("packaging.tags");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("WheelFile") = nb::module_::import_("wheel.wheelfile").attr("WheelFile");
    m.attr("parse_wheel_filename") = nb::module_::import_("packaging.utils").attr("parse_wheel_filename");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.def("unpack", &unpack, "wheel"_a, "where"_a,
          "Unpack the back end's wheel (pure, or with the project's own extension modules for this "
          "interpreter) into where: its packages, .dist-info folder, other files and own modules.");
    m.def("dist_info_of", &dist_info_of, "wheel"_a, "outdir"_a,
          "Extract the .dist-info folder of a wheel into outdir; returns its name.");
    m.def("recorded_modes", &recorded_modes, "wheel"_a,
          "The file attributes the wheel records, by each file's place in the compiled wheel.");
}
