// tovel.layout: the bare package folder of `tov bdist -n`, a folder without a
// pyproject.toml of its own. Settles which folder is the package and which
// version it ships as, and writes the wheel's .dist-info from the options and
// the project/ folder beside the package. Nothing is invented: a field of the
// metadata appears only when the user gave it.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.layout";

static nb::object mine(const char *name) { return global(MOD, name); }

[[noreturn]] static void fail(nb::handle message) { value_error(message); }

/// The package folder as given on the command line, the way a shell's
/// completion types it too ("pkg/", "./pkg"): a folder below the working
/// directory, in POSIX form.
static nb::str package_folder(nb::str name) {
    nb::object path = mine("os").attr("path");
    nb::str norm(path.attr("normpath")(name).attr("replace")("\\", "/"));
    if (truthy(path.attr("isabs")(norm)) || norm.equal(nb::str(".")) ||
        truthy(norm.attr("startswith")("../")) || norm.equal(nb::str("..")))
        fail(nb::str("--name {!r}: name the package folder as a folder of the working directory, "
                     "such as -n mypkg").format(name));
    require_package_folder(norm);
    return norm;
}

/// The version a package states in its __init__.py as a plain string
/// (`__version__ = "1.2"`), or None: the module is read, never run.
static nb::object static_version(nb::str folder) {
    nb::object init = mine("Path")(folder).attr("joinpath")("__init__.py");
    if (!truthy(init.attr("is_file")()))
        return nb::none();
    nb::object tree;
    try {
        tree = mine("ast").attr("parse")(init.attr("read_bytes")());
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none(); // the syntax error is reported with the module
    }
    nb::object ast = mine("ast");
    nb::object found = nb::none();
    for (nb::handle node : tree.attr("body")) {
        nb::list targets;
        if (nb::isinstance(node, ast.attr("Assign")))
            targets = nb::list(node.attr("targets"));
        else if (nb::isinstance(node, ast.attr("AnnAssign")))
            targets.append(node.attr("target"));
        else
            continue;
        for (nb::handle t : targets)
            if (nb::isinstance(t, ast.attr("Name")) && nb::str(t.attr("id")).equal(nb::str("__version__"))) {
                nb::object value = node.attr("value");
                found = nb::isinstance(value, ast.attr("Constant")) &&
                                nb::isinstance<nb::str>(value.attr("value"))
                            ? value.attr("value")
                            : nb::none();
            }
    }
    return found;
}

/// Completes the options of `tov bdist -n`: the package folder, its import
/// name, the version (given, or the package's own __version__), and empty
/// extras and entry points. Nothing is excluded unless asked.
static void settle(nb::dict options) {
    nb::object name = get(options, "name", nb::none());
    if (name.is_none())
        fail(nb::str("no project in {}: there is no pyproject.toml or setup.py here. Run tov bdist in your "
                     "project's folder, name a package folder here with -n NAME, or give a pure wheel with "
                     "--from-wheel WHEEL")
                 .format(mine("os").attr("getcwd")()));
    nb::str folder = package_folder(nb::str(name));
    nb::str import_name(mine("os").attr("path").attr("basename")(folder));
    nb::list pair, packages;
    pair.append(import_name);
    pair.append(folder);
    packages.append(pair);
    options["packages"] = packages;
    options["name"] = import_name;
    if (get(options, "version", nb::none()).is_none()) {
        nb::object version = static_version(folder);
        if (version.is_none())
            fail(nb::str("no version for {0}: give one with -v VERSION, or state it in "
                         "{1}/__init__.py as __version__ = \"1.0\"").format(import_name, folder));
        try {
            options["version"] = nb::str(mine("Version")(version));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            fail(nb::str("{}/__init__.py: __version__ {!r} is not a valid version: give one with -v VERSION")
                     .format(folder, version));
        }
    }
    for (const char *key : {"extra", "entry"})
        if (get(options, key, nb::none()).is_none())
            options[key] = nb::dict();
}

// One Requires-Dist of an extra: the requirement's own marker, if any, is
// kept beside the extra's.
static nb::str extra_requirement(nb::str text, nb::str extra) {
    nb::object req = mine("Requirement")(text);
    nb::str base(nb::str(req).attr("split")(";")[nb::int_(0)].attr("strip")());
    if (req.attr("marker").is_none())
        return nb::str("{}; extra == \"{}\"").format(base, extra);
    return nb::str("{}; ({}) and extra == \"{}\"").format(base, req.attr("marker"), extra);
}

/// Writes <name>-<version>.dist-info into outdir: METADATA (name, version,
/// and only what was given: summary, licence, requirements of
/// project/requirements.txt, extras, the readme project/README.md),
/// entry_points.txt and the licence files project/LICEN[CS]E*. Returns its path.
static nb::str dist_info(nb::dict options, nb::str outdir) {
    nb::object os = mine("os"), Path = mine("Path");
    nb::str name(options["name"]), version(options["version"]);
    nb::str stem = nb::str("{}-{}").format(
        nb::str(mine("canonicalize_name")(name)).attr("replace")("-", "_"), version);
    nb::object info = Path(outdir).attr("joinpath")(stem + nb::str(".dist-info"));
    if (truthy(info.attr("exists")()))
        mine("shutil").attr("rmtree")(info);
    info.attr("mkdir")("parents"_a = true);

    nb::list lines;
    lines.append("Metadata-Version: 2.4");
    lines.append(nb::str("Name: ") + name);
    lines.append(nb::str("Version: ") + version);
    nb::object summary = get(options, "description", nb::none());
    if (!summary.is_none())
        lines.append(nb::str("Summary: ") + nb::str(summary).attr("strip")().attr("replace")("\n", " "));
    nb::object license = get(options, "license", nb::none());
    if (!license.is_none())
        lines.append(nb::str("License-Expression: ") + nb::str(license));
    nb::list licences = nb::borrow<nb::list>(builtin("sorted")(mine("glob").attr("glob")("project/LICEN[CS]E*")));
    for (nb::handle f : licences) {
        lines.append(nb::str("License-File: ") + nb::str(f));
        nb::object target = info.attr("joinpath")("licenses", f);
        target.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        mine("shutil").attr("copyfile")(f, target);
    }
    nb::object reqs = Path("project/requirements.txt");
    if (truthy(reqs.attr("is_file")()))
        for (nb::handle line : reqs.attr("read_text")("encoding"_a = "utf-8").attr("splitlines")()) {
            // A comment or a pip option (-r, --index-url) is no requirement.
            nb::str text(nb::str(mine("re").attr("sub")("(^|\\s)#.*$", "", line)).attr("strip")());
            if (nb::len(text) == 0 || truthy(text.attr("startswith")("-")))
                continue;
            lines.append(nb::str("Requires-Dist: ") + nb::str(mine("Requirement")(text)));
        }
    for (auto [extra, list] : nb::borrow<nb::dict>(options["extra"])) {
        nb::str canonical(mine("canonicalize_name")(extra));
        lines.append(nb::str("Provides-Extra: ") + canonical);
        for (nb::handle req : list)
            lines.append(nb::str("Requires-Dist: ") + extra_requirement(nb::str(req), canonical));
    }
    nb::object readme = Path("project/README.md");
    nb::str body("");
    if (truthy(readme.attr("is_file")())) {
        lines.append("Description-Content-Type: text/markdown");
        body = nb::str(readme.attr("read_text")("encoding"_a = "utf-8"));
    }
    info.attr("joinpath")("METADATA").attr("write_text")(
        nb::str("\n").attr("join")(lines) + nb::str("\n\n") + body, "encoding"_a = "utf-8");

    // --entry: {"cmd": "mod:func"} are console scripts, {"group": {"name": "mod:obj"}} a group.
    nb::dict groups;
    for (auto [key, value] : nb::borrow<nb::dict>(options["entry"])) {
        nb::str group = nb::isinstance<nb::dict>(value) ? nb::str(key) : nb::str("console_scripts");
        if (!groups.contains(group))
            groups[group] = nb::list();
        if (nb::isinstance<nb::dict>(value))
            for (auto [n, target] : nb::borrow<nb::dict>(value))
                groups[group].attr("append")(nb::str("{} = {}").format(n, target));
        else
            groups[group].attr("append")(nb::str("{} = {}").format(key, value));
    }
    if (nb::len(groups)) {
        nb::list text;
        for (auto [group, entries] : groups)
            text.append(nb::str("[{}]\n{}\n").format(group, nb::str("\n").attr("join")(entries)));
        info.attr("joinpath")("entry_points.txt").attr("write_text")(
            nb::str("\n").attr("join")(text), "encoding"_a = "utf-8");
    }
    return nb::str(os.attr("fspath")(info));
}

TOVEL_MODULE(layout, m) {
    for (const char *name : {"ast", "glob", "os", "re", "shutil"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("Version") = nb::module_::import_("packaging.version").attr("Version");
    m.attr("Requirement") = nb::module_::import_("packaging.requirements").attr("Requirement");
    m.attr("canonicalize_name") = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    m.def("static_version", &static_version, "folder"_a,
          "The __version__ string that the package's __init__.py states, or None.");
    m.def("settle", &settle, "options"_a,
          "Complete the options of tov bdist -n: package folder, version, extras and entry points.");
    m.def("dist_info", &dist_info, "options"_a, "outdir"_a,
          "Write the .dist-info of a bare package folder into outdir; returns its path.");
}
