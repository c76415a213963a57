// tovel.stamp: knows when a wheel in the output folder is still what a build
// would make. The stamp of a build is a hash of everything that goes into its
// wheel: the project's files, the options, the tools and the interpreter. It
// is kept in the cache folder, with the wheel's own hash, so that a rebuild
// with nothing changed leaves the wheel as it is and does no work.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.stamp";

static nb::object mine(const char *name) { return global(MOD, name); }

// Folders of a project that never go into its wheel: what builds, tools and
// version control keep there.
static const char *const SKIPPED[] = {"build", "dist", ".git", ".hg", ".venv", "venv", ".tox", ".nox",
                                      "__pycache__", "node_modules", ".mypy_cache", ".pytest_cache",
                                      ".ruff_cache"};

static void add(nb::handle h, nb::handle text) {
    h.attr("update")(nb::str(text).attr("encode")("utf-8", "surrogateescape") + nb::bytes("\0", 1));
}

// Every file below `folder` (its path and content), in a fixed order.
static void add_tree(nb::handle h, nb::str folder) {
    nb::object Path = mine("Path");
    for (nb::handle step : Path(folder).attr("walk")()) {
        nb::list dirs = nb::borrow<nb::list>(step[1]);
        nb::list kept;
        for (nb::handle d : dirs) {
            bool skip = truthy(nb::str(d).attr("endswith")(".egg-info"));
            for (const char *s : SKIPPED)
                skip = skip || nb::str(d).equal(nb::str(s));
            if (!skip)
                kept.append(d);
        }
        kept.sort();
        dirs.attr("__setitem__")(builtin("slice")(nb::none(), nb::none()), kept);
        for (nb::handle name : builtin("sorted")(step[2])) {
            nb::object f = step[0].attr("__truediv__")(name);
            add(h, f.attr("as_posix")());
            // A link counts by where it points, and a link to a file by that
            // file too; one to a folder (the walk lists it among the files)
            // or to nothing by where it points alone.
            if (truthy(f.attr("is_symlink")()))
                add(h, mine("os").attr("readlink")(f));
            if (truthy(f.attr("is_file")()))
                h.attr("update")(f.attr("read_bytes")());
        }
    }
}

// What a version computed from version control depends on beyond the files:
// the commit checked out and the tags.
static void add_vcs(nb::handle h) {
    nb::object Path = mine("Path");
    nb::object git = Path(".git");
    if (!truthy(git.attr("is_dir")()))
        return;
    for (const char *f : {"HEAD", "packed-refs"}) {
        nb::object p = git.attr("joinpath")(f);
        if (truthy(p.attr("is_file")()))
            h.attr("update")(p.attr("read_bytes")());
    }
    nb::str head(git.attr("joinpath")("HEAD").attr("read_text")().attr("strip")());
    if (truthy(head.attr("startswith")("ref: "))) {
        nb::object ref = git.attr("joinpath")(head.attr("removeprefix")("ref: "));
        if (truthy(ref.attr("is_file")()))
            h.attr("update")(ref.attr("read_bytes")());
    }
    nb::object tags = git.attr("joinpath")("refs", "tags");
    if (truthy(tags.attr("is_dir")()))
        add_tree(h, nb::str(tags.attr("as_posix")()));
}

// The tests of the project in the working folder: those tov finds there
// (tovel.finder), and what a command of the project's own names in it.
static void add_tests(nb::handle h, nb::object command) {
    nb::object os = mine("os");
    nb::list places(nb::module_::import_("tovel.finder").attr("test_sources")("."));
    if (!command.is_none())
        for (nb::handle rel : mine("re").attr("findall")(R"(\{(?:project|package)\}/([^\s'"]+))", command))
            places.append(os.attr("path").attr("join")(".", rel));
    nb::dict seen;
    for (nb::handle place : places) {
        nb::object path = os.attr("path").attr("normpath")(place);
        if (seen.contains(path))
            continue;
        seen[path] = nb::none();
        add(h, path);
        if (truthy(os.attr("path").attr("isdir")(path)))
            add_tree(h, nb::str(path));
        else if (truthy(os.attr("path").attr("isfile")(path)))
            h.attr("update")(mine("Path")(path).attr("read_bytes")());
    }
}

/// The hash of everything that goes into the wheel of a build with these
/// settled options.
static nb::str fingerprint(nb::dict options) {
    nb::object h = mine("hashlib").attr("sha256")();
    nb::object sys = mine("sys");
    add(h, nb::str("tovel-stamp-1"));
    // The tools: this build of tovel (its modules' sizes and times), Cython,
    // setuptools, and the interpreter with its platform.
    for (nb::handle f : builtin("sorted")(mine("Path")(mine("tovel_folder")()).attr("iterdir")())) {
        nb::object st = f.attr("stat")();
        add(h, nb::str("{} {} {}").format(f.attr("name"), st.attr("st_size"), st.attr("st_mtime_ns")));
    }
    for (const char *dist : {"Cython", "setuptools", "auditwheel", "wheel"}) {
        try {
            add(h, mine("version")(dist));
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
    }
    add(h, sys.attr("version"));
    add(h, sys.attr("executable"));
    add(h, mine("sysconfig").attr("get_platform")());
    // The environment that reaches the compiler and the wheel's time stamps.
    for (const char *var : {"SOURCE_DATE_EPOCH", "CC", "CFLAGS", "CPPFLAGS", "LDFLAGS", "LDSHARED", "ARCHFLAGS"})
        add(h, nb::str("{}={}").format(var, get(mine("os").attr("environ"), var, nb::str(""))));
    // The options, but those that change how the build runs, not what it makes.
    nb::dict kept;
    for (auto [key, value] : options) {
        bool skip = false;
        for (const char *k : {"quiet", "verbose", "jobs", "no_cache", "cache_dir", "remote_cache", "func"})
            skip = skip || nb::str(key).equal(nb::str(k));
        if (!skip)
            kept[key] = value;
    }
    add(h, mine("json").attr("dumps")(kept, "sort_keys"_a = true, "default"_a = builtin("repr")));
    nb::str route(options["route"]);
    if (route.equal(nb::str("wheel"))) {
        h.attr("update")(mine("Path")(options["from_wheel"]).attr("read_bytes")());
    } else if (route.equal(nb::str("layout"))) {
        for (nb::handle pkg : options["packages"])
            add_tree(h, nb::str(pkg[1]));
        if (truthy(mine("os").attr("path").attr("isdir")("project")))
            add_tree(h, nb::str("project"));
    } else {
        add_tree(h, nb::str("."));
        add_vcs(h);
    }
    // The tests the build runs decide whether its wheel is made (and said
    // proven): a build whose tests changed is not the same build. A project's
    // tree holds them already; a given wheel or a package folder does not.
    if (!route.equal(nb::str("project")) && !truthy(get(options, "no_test", nb::bool_(false))))
        add_tests(h, get(options, "test_command", nb::none()));
    return nb::str(h.attr("hexdigest")());
}

// Where the stamp of the build of this folder into `outdir` is kept.
static nb::object stamp_file(nb::handle cache, nb::str outdir) {
    nb::object os = mine("os");
    nb::str where = nb::str("{}\n{}").format(os.attr("getcwd")(), os.attr("path").attr("abspath")(outdir));
    nb::str key(mine("hashlib").attr("sha256")(where.attr("encode")("utf-8", "surrogateescape")).attr("hexdigest")());
    return mine("Path")(cache).attr("joinpath")("stamps", key + nb::str(".json"));
}

static nb::str file_hash(nb::handle path) {
    return nb::str(mine("hashlib").attr("sha256")(mine("Path")(path).attr("read_bytes")()).attr("hexdigest")());
}

/// The wheels in outdir (one for each interpreter built for) when they are
/// what a build with these options would make (same stamp, and each wheel
/// unchanged since), else None.
static nb::object current(nb::dict options, nb::handle cache, nb::str outdir) {
    if (cache.is_none())
        return nb::none();
    nb::object file = stamp_file(cache, outdir);
    if (!truthy(file.attr("is_file")()))
        return nb::none();
    try {
        nb::object saved = mine("json").attr("loads")(file.attr("read_text")("encoding"_a = "utf-8"));
        nb::list wheels(saved["wheels"]), sums(saved["sha256"]);
        if (nb::len(wheels) != nb::len(sums) || !fingerprint(options).equal(saved["fingerprint"]))
            return nb::none();
        for (size_t i = 0; i < nb::len(wheels); ++i)
            if (!truthy(mine("os").attr("path").attr("isfile")(wheels[i])) || !file_hash(wheels[i]).equal(sums[i]))
                return nb::none();
        return wheels;
    } catch (nb::python_error &e) {
        // A damaged stamp (or one of an older tovel) means: build.
        if (!ordinary(e))
            throw;
        return nb::none();
    }
}

/// Records that `wheels` are what a build with these options makes.
static void record(nb::dict options, nb::handle cache, nb::str outdir, nb::list wheels) {
    if (cache.is_none())
        return;
    nb::object file = stamp_file(cache, outdir);
    nb::dict saved;
    saved["fingerprint"] = fingerprint(options);
    saved["wheels"] = wheels;
    nb::list sums;
    for (nb::handle w : wheels)
        sums.append(file_hash(w));
    saved["sha256"] = sums;
    try {
        file.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        nb::object tmp = file.attr("with_suffix")(nb::str(".{}.tmp").format(mine("os").attr("getpid")()));
        tmp.attr("write_text")(mine("json").attr("dumps")(saved), "encoding"_a = "utf-8");
        mine("os").attr("replace")(tmp, file);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

TOVEL_MODULE(stamp, m) {
    for (const char *name : {"hashlib", "json", "os", "re", "sys", "sysconfig"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("version") = nb::module_::import_("importlib.metadata").attr("version");
    m.def("tovel_folder", []() {
        return nb::module_::import_("os").attr("path").attr("dirname")(nb::module_::import_("tovel").attr("__file__"));
    }, "The folder of the installed tovel package.");
    m.def("fingerprint", &fingerprint, "options"_a, "The hash of everything that goes into the wheel.");
    m.def("current", &current, "options"_a, "cache"_a.none(), "outdir"_a,
          "The wheels in outdir when they are still what the build would make, else None.");
    m.def("record", &record, "options"_a, "cache"_a.none(), "outdir"_a, "wheels"_a,
          "Record that the wheels are what a build with these options makes.");
}
