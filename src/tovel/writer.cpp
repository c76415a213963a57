// tovel.writer: the build tree's files and the wheels written from it. The
// tree holds the compiled modules, the sources kept and the data; a wheel is
// packed from it in a reproducible order, each file with the mode the pure
// wheel records.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.writer";

static nb::object mine(const char *name) { return global(MOD, name); }

static void place(nb::handle entry, nb::str tree) {
    nb::object os = mine("os");
    nb::object target = os.attr("path").attr("join")(tree, entry["arc"]);
    os.attr("makedirs")(os.attr("path").attr("dirname")(target), "exist_ok"_a = true);
    mine("shutil").attr("copy2")(get(entry, "file", entry["path"]), target);
}

// Copies kept sources and data files into the tree beside the compiled modules.
static void assemble(nb::dict plan, nb::str tree) {
    for (const char *kind : {"kept", "data"})
        for (nb::handle entry : plan[kind])
            place(entry, tree);
    nb::object Path = mine("Path");
    for (nb::handle arc : get(plan, "markers", nb::list()))
        Path(tree).attr("joinpath")(arc).attr("write_text")(PACKAGE_MARKER, "encoding"_a = "utf-8");
}

/// Packs the tree and the .dist-info folder into build/wheel with the given
/// tags; files in sorted order, so that the same inputs (and the same
/// SOURCE_DATE_EPOCH) give the same bytes. WHEEL is written anew and RECORD
/// by the wheel library: those of a pure wheel's .dist-info are left out.
/// A file's mode is the one `modes` records for its place (the pure
/// wheel's), else the file's own.
static nb::str pack(nb::str tree, nb::str info, nb::tuple tag, nb::dict modes) {
    nb::object os = mine("os"), Path = mine("Path");
    nb::str info_name(os.attr("path").attr("basename")(info));
    nb::str stem(info_name.attr("removesuffix")(".dist-info"));
    nb::str tagtext = nb::str("{}-{}-{}").format(tag[0], tag[1], tag[2]);
    os.attr("makedirs")("build/wheel", "exist_ok"_a = true);
    nb::str path = nb::str("build/wheel/{}-{}.whl").format(stem, tagtext);
    nb::object wf = nb::module_::import_("wheel.wheelfile").attr("WheelFile")(path, "w");
    try {
        for (nb::handle base : {nb::object(tree), nb::object(info)}) {
            nb::object root = Path(base);
            nb::list files = nb::borrow<nb::list>(builtin("sorted")(
                builtin("filter")(Path.attr("is_file"), root.attr("rglob")("*"))));
            bool meta = nb::borrow<nb::str>(base).equal(info);
            for (nb::handle f : files) {
                nb::str rel(f.attr("relative_to")(root).attr("as_posix")());
                if (meta && truthy(nb::make_tuple("WHEEL", "RECORD", "RECORD.jws", "RECORD.p7s")
                                       .attr("__contains__")(rel)))
                    continue;
                nb::str arc = meta ? nb::str(info_name + nb::str("/") + rel) : rel;
                wf.attr("write")(f, arc);
                // The attributes live in the archive's directory, written at close.
                if (modes.contains(arc))
                    wf.attr("getinfo")(arc).attr("external_attr") = modes[arc];
            }
        }
        bool pure = nb::str(tag[2]).equal(nb::str("any"));
        // One Tag line for each tag of a compressed set (a.b: a and b).
        nb::str lines("");
        for (nb::handle plat : nb::str(tag[2]).attr("split")("."))
            lines = nb::str(lines + nb::str("Tag: {}-{}-{}\n").format(tag[0], tag[1], plat));
        nb::str wheel_meta = nb::str("Wheel-Version: 1.0\nGenerator: tovel\nRoot-Is-Purelib: {}\n{}")
                                 .format(pure ? "true" : "false", lines);
        nb::str wheel_arc(info_name + nb::str("/WHEEL"));
        wf.attr("writestr")(wheel_arc, wheel_meta);
        if (modes.contains(wheel_arc)) // the wheel library's own default is 0o664
            wf.attr("getinfo")(wheel_arc).attr("external_attr") = modes[wheel_arc];
        wf.attr("close")();
    } catch (...) {
        wf.attr("close")();
        throw;
    }
    return path;
}

/// --keep-failing: each failed module that keeping mends ships as source (its
/// extension out of the tree, its .py in); returns the failures it cannot mend.
static nb::list keep_as_source(nb::list failed, nb::list built, nb::list kept) {
    nb::object os = mine("os");
    nb::list rest;
    for (nb::handle u : failed) {
        if (!truthy(get(u, "keep_helps", nb::bool_(true)))) {
            rest.append(u);
            continue;
        }
        if (truthy(os.attr("path").attr("isfile")(u["so"])))
            os.attr("remove")(u["so"]);
        nb::object target = os.attr("path").attr("join")("build/egg", u["arc"]);
        os.attr("makedirs")(os.attr("path").attr("dirname")(target), "exist_ok"_a = true);
        mine("shutil").attr("copy2")(get(u, "file", u["path"]), target);
        if (truthy(built.attr("__contains__")(u)))
            built.attr("remove")(u);
        kept.append(u);
    }
    return rest;
}

/// The project's pure wheel: every module as source, the same .dist-info,
/// tagged py3-none-any; what the tests of the sources run against.
static nb::str pure_wheel(nb::dict plan, nb::str info) {
    nb::object tree = nb::module_::import_("tovel.checker").attr("source_tree")(plan, "build/pure-tree");
    return pack(nb::str(tree), info, nb::make_tuple("py3", "none", "any"), nb::dict());
}

TOVEL_MODULE(writer, m) {
    for (const char *name : {"os", "shutil"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("place", &place, "entry"_a, "tree"_a, "Copy an entry's file (kept source or data) to its place in the tree.");
    m.def("assemble", &assemble, "plan"_a, "tree"_a, "Copy the plan's kept sources and data into the tree, and write its package markers.");
    m.def("pack", &pack, "tree"_a, "info"_a, "tag"_a, "modes"_a,
          "Pack the tree and the .dist-info folder into a wheel under build/wheel; returns its path.");
    m.def("pure_wheel", &pure_wheel, "plan"_a, "info"_a,
          "The project's pure wheel from the plan's sources and the .dist-info; returns its path.");
    m.def("keep_as_source", &keep_as_source, "failed"_a, "built"_a, "kept"_a,
          "Ship each failed module that keeping mends as source; returns the failures it cannot mend.");
}
