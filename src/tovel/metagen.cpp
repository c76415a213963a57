// tovel.metagen: the interpreter and platform tags of the running interpreter,
// and the writer of the project's pyproject.toml.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.metagen";

// Reads a whole UTF-8 text file with Python's open, so that errors carry the
// interpreter's own messages (a missing file, a decoding error).
static nb::str read_text(const char *path) {
    nb::object f = builtin("open")(path, "encoding"_a = "utf-8");
    try {
        nb::str content(f.attr("read")());
        f.attr("close")();
        return content;
    } catch (...) {
        f.attr("close")();
        throw;
    }
}

// A failing read of an input file is reported with a "*" banner and a pause,
// and the work goes on. Interrupts and exit requests are not caught.
static void warn(nb::python_error &e) {
    print(banner(nb::str(e.value()), "*"));
    global(MOD, "time").attr("sleep")(5);
}

// One requirement line, cleaned: surrounding blanks stripped, a trailing
// comment (a "#" after whitespace) cut off. An empty result means: skip it.
static nb::str clean_requirement(nb::str line) {
    nb::str stripped(line.attr("strip")());
    nb::bytes utf8(stripped.attr("encode")("utf-8")); std::string s(utf8.c_str(), utf8.size());
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i] == '#' && (s[i - 1] == ' ' || s[i - 1] == '\t')) {
            s.resize(i);
            break;
        }
    nb::str cut(nb::str(s.c_str(), s.size()).attr("strip")());
    const char *c = cut.c_str();
    if (c[0] == '#' || c[0] == '-') // comment line, or a pip option (-r, --index-url)
        return nb::str("");
    return cut;
}

static nb::list requirements() {
    nb::list deps;
    try {
        nb::str content = read_text("project/requirements.txt");
        for (nb::handle line : content.attr("splitlines")()) {
            nb::str req = clean_requirement(nb::borrow<nb::str>(line));
            if (PyUnicode_GetLength(req.ptr()) > 0)
                deps.append(req);
        }
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        warn(e);
    }
    return deps;
}

static nb::list one(nb::object item) {
    nb::list l;
    l.append(item);
    return l;
}

// Writes `content` to `target` through a temporary file in the same folder
// and a rename, so that the target is never left empty or half-written.
static void replace_file(const char *target, nb::str content) {
    nb::module_ os = nb::module_::import_("os");
    nb::str tmp(nb::str(".{}.{}.tmp").format(target, os.attr("getpid")()));
    nb::object f = builtin("open")(tmp, "w", "encoding"_a = "utf-8");
    try {
        try {
            f.attr("write")(content);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        os.attr("replace")(tmp, target);
    } catch (...) {
        try {
            os.attr("remove")(tmp);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// The project's name becomes its distribution name, which setuptools accepts
// only as ASCII letters, digits, ".", "_" and "-", starting and ending with a
// letter or digit. Refused here, before the readme banner or any file is
// written, with a message that says so.
static void require_distribution_name(nb::handle name) {
    if (!nb::isinstance<nb::str>(name))
        return;
    nb::object valid = nb::module_::import_("re").attr("fullmatch")(
        "[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?", name);
    if (!valid.is_none())
        return;
    PyErr_Format(PyExc_ValueError,
                 "%R cannot be a distribution name: it takes ASCII letters, digits, '.', '_' "
                 "and '-', and starts and ends with a letter or digit",
                 name.ptr());
    throw nb::python_error();
}

// The first line of every pyproject.toml the tool writes. A file without it
// is the project's own: it is kept as pyproject.toml.orig, never overwritten.
static const char *WRITTEN_BY = "# written by tov, and replaced on every run; a pyproject.toml "
                                "of the project's own is kept as pyproject.toml.orig\n";

static void keep_own_pyproject() {
    nb::module_ os = nb::module_::import_("os");
    if (!truthy(os.attr("path").attr("isfile")("pyproject.toml")))
        return;
    nb::object f = builtin("open")("pyproject.toml", "rb");
    nb::bytes first;
    try {
        first = nb::bytes(f.attr("readline")());
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    if (truthy(first.attr("startswith")(nb::bytes("# written by tov"))))
        return;
    if (truthy(os.attr("path").attr("lexists")("pyproject.toml.orig"))) {
        PyErr_SetString(PyExc_FileExistsError,
                        "pyproject.toml was not written by tov, and pyproject.toml.orig exists "
                        "already: tov replaces neither, move one of them away");
        throw nb::python_error();
    }
    os.attr("rename")("pyproject.toml", "pyproject.toml.orig");
    print("pyproject.toml was not written by tov: kept as pyproject.toml.orig");
}

static void project(nb::handle args) {
    require_exact(args, &PyDict_Type, "project", "args");
    nb::module_ m = nb::module_::import_(MOD);
    nb::object name = get(args, "name", nb::str("project_name"));
    require_distribution_name(name);

    // A missing readme only makes setuptools warn; one that it cannot read
    // (not UTF-8, not readable) would fail the build after the warning that
    // says the work goes on, so it is not named then.
    bool readme_usable = true;
    try {
        read_text("project/README.md");
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        readme_usable = e.matches(PyExc_FileNotFoundError);
        warn(e);
    }
    nb::list deps = requirements();

    nb::dict build_system;
    build_system["requires"] = one(nb::str("setuptools>=80.0"));
    build_system["build-backend"] = "setuptools.build_meta";

    nb::dict proj;
    proj["name"] = name;
    proj["version"] = get(args, "version", nb::str("0.0.1"));
    proj["description"] = get(args, "description", nb::str("project description"));
    if (readme_usable)
        proj["readme"] = "project/README.md";
    proj["license"] = get(args, "license", nb::str("MIT"));
    proj["license-files"] = one(nb::str("project/LICEN[CS]E*"));
    proj["requires-python"] = ">=3.12";
    proj["dependencies"] = deps;
    proj["classifiers"] = nb::list(m.attr("classifier"));
    nb::dict author;
    author["name"] = "tovel developers";
    author["email"] = "tovel@example.org";
    proj["authors"] = one(author);
    proj["optional-dependencies"] = get(args, "extra", nb::dict());
    nb::dict urls;
    for (const char *key : {"homepage", "documentation", "bugs"})
        urls[key] = "https://example.org/tovel";
    proj["urls"] = urls;
    proj["scripts"] = get(args, "entry", nb::dict());

    // Without package data of its own, the package of the project's name and
    // its subpackages are found and their compiled modules are packed: an
    // empty include list would find no package at all and give a wheel of
    // metadata only. setuptools applies the patterns of the key "*" to every
    // package it finds; those of a key naming the package reach no subpackage.
    nb::object data = get(args, "data", nb::dict());
    nb::object package_data;
    nb::list include;
    if (nb::isinstance<nb::dict>(data) && nb::len(data) == 0) {
        nb::dict fallback;
        nb::list suffixes;
        suffixes.append("*.so");
        suffixes.append("*.pyd");
        fallback["*"] = suffixes;
        package_data = fallback;
        include.append(nb::str("{}*").format(name));
    } else {
        package_data = data;
        for (nb::handle key : data)
            include.append(nb::str("{}*").format(key));
    }

    nb::dict find;
    find["where"] = one(nb::str("."));
    find["include"] = include;
    find["exclude"] = one(nb::str("test*"));
    find["namespaces"] = true;
    nb::dict packages;
    packages["find"] = find;
    nb::dict setuptools;
    setuptools["include-package-data"] = true;
    setuptools["package-data"] = package_data;
    setuptools["packages"] = packages;
    nb::dict wheel;
    wheel["python-tag"] = nb::str("cp") + nb::str(m.attr("PYTAG"));
    wheel["plat-name"] = m.attr("PLATAG");
    nb::dict distutils;
    distutils["bdist_wheel"] = wheel;
    nb::dict tool;
    tool["setuptools"] = setuptools;
    tool["distutils"] = distutils;

    nb::dict doc;
    doc["build-system"] = build_system;
    doc["project"] = proj;
    doc["tool"] = tool;

    // Serialised before the file is touched: a value TOML cannot express
    // leaves an existing pyproject.toml as it was.
    nb::str content(nb::str(WRITTEN_BY) + nb::str(global(MOD, "dumps")(doc)));
    keep_own_pyproject();
    replace_file("pyproject.toml", content);
}

TOVEL_MODULE(metagen, m) {
    m.attr("sysconfig") = nb::module_::import_("sysconfig");
    m.attr("time") = nb::module_::import_("time");
    m.attr("dumps") = nb::module_::import_("tomli_w").attr("dumps");

    nb::str pyver(m.attr("sysconfig").attr("get_python_version")());
    m.attr("PYVER") = pyver;
    m.attr("PYTAG") = pyver.attr("replace")(".", "");
    m.attr("ABITAG") = "none";
    nb::str platform(m.attr("sysconfig").attr("get_platform")());
    nb::object table = builtin("str").attr("maketrans")("-.", "__");
    nb::str platag(platform.attr("translate")(table).attr("replace")("linux", "manylinux2014"));
    m.attr("PLATAG") = platag;
    // Supported platform families; elsewhere libpath stays undefined and the
    // modules that import it fail to load.
    for (const char *prefix : {"win", "manylinux", "macosx"})
        if (nb::cast<bool>(platag.attr("startswith")(prefix))) {
            m.attr("libpath") = "build/egg";
            break;
        }

    nb::list classifier;
    for (const char *c : {"Development Status :: 5 - Production/Stable",
                          "Intended Audience :: Developers",
                          "Intended Audience :: Science/Research",
                          "Natural Language :: Chinese (Simplified)",
                          "Natural Language :: English",
                          "Operating System :: Microsoft :: Windows",
                          "Operating System :: POSIX :: Linux",
                          "Operating System :: MacOS :: MacOS X",
                          "Programming Language :: Python :: 3.12",
                          "Topic :: Scientific/Engineering :: Physics"})
        classifier.append(c);
    m.attr("classifier") = classifier;

    m.def("project", &project, "args"_a.none(), nb::sig("def project(args: dict) -> None"),
          "Write pyproject.toml into the working directory from the options dictionary.");
}
