// tovel.twin: the pure wheel that a compiled wheel is the twin of. The
// project's own back end builds it through the PEP 517 hooks (isolated as
// `python -m build` does, or in the running environment), or it is given;
// it is then unpacked into a tree whose packages tovel.packer compiles and
// whose data and .dist-info carry over as they are.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.twin";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object join(nb::handle a, const char *b) { return mine("os").attr("path").attr("join")(a, b); }

// The last lines of what a tool printed, on stderr, before tov's own line.
static void show_tail(nb::handle output) {
    nb::list lines(nb::str(output).attr("rstrip")().attr("splitlines")());
    size_t n = nb::len(lines), from = n > 15 ? n - 15 : 0;
    nb::object sys = mine("sys");
    sys.attr("stdout").attr("flush")();
    for (size_t i = from; i < n; ++i)
        print(lines[i], "file"_a = sys.attr("stderr"));
}

static nb::str text_of(nb::handle output) {
    if (output.is_none())
        return nb::str("");
    if (nb::isinstance<nb::bytes>(output))
        return nb::str(output.attr("decode")("utf-8", "replace"));
    return nb::str(output);
}

/// The runner of the back end's hooks: their output goes into `log` (one
/// text per call), and setuptools is pointed at a configuration file that
/// keeps its egg-info folder out of the project.
static nb::object runner(nb::list log, nb::str config) {
    return nb::cpp_function(
        [log, config](nb::object cmd, nb::object cwd, nb::object extra_environ) {
            nb::object os = mine("os"), subprocess = mine("subprocess");
            nb::dict env = nb::borrow<nb::dict>(builtin("dict")(os.attr("environ")));
            if (!extra_environ.is_none())
                env.attr("update")(extra_environ);
            env.attr("setdefault")("DIST_EXTRA_CONFIG", config);
            nb::object done = subprocess.attr("run")(
                cmd, "cwd"_a = cwd, "env"_a = env, "stdout"_a = subprocess.attr("PIPE"),
                "stderr"_a = subprocess.attr("STDOUT"), "text"_a = true, "errors"_a = "replace");
            nb::list out = nb::borrow<nb::list>(log);
            out.append(done.attr("stdout"));
            if (!done.attr("returncode").equal(nb::int_(0))) {
                nb::object err = subprocess.attr("CalledProcessError")(done.attr("returncode"), cmd,
                                                                       done.attr("stdout"));
                PyErr_SetObject((PyObject *) Py_TYPE(err.ptr()), err.ptr());
                throw nb::python_error();
            }
        },
        "cmd"_a, "cwd"_a.none() = nb::none(), "extra_environ"_a.none() = nb::none());
}

// [build-system] requires without tovel itself: a project built through
// tovel.build_meta needs only the back end it wraps to make its pure wheel.
// The default one, setuptools, comes with tovel: without it, it is named.
static nb::list without_tovel(nb::handle requires, nb::str backend) {
    nb::object Requirement = nb::module_::import_("packaging.requirements").attr("Requirement");
    nb::object canonical = nb::module_::import_("packaging.utils").attr("canonicalize_name");
    nb::list kept;
    for (nb::handle r : builtin("sorted")(requires)) {
        try {
            if (canonical(Requirement(r).attr("name")).equal(nb::str("tovel")))
                continue;
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
        kept.append(r);
    }
    if (truthy(backend.attr("startswith")("setuptools")))
        kept.append("setuptools>=80");
    return kept;
}

// A kept environment is made anew after this many days, so that a back end
// released since is picked up as a fresh isolated environment would.
static const int KEPT_DAYS = 7;

/// The back end's isolated environment, kept under `envs` by what determines
/// it (the interpreter and the build requirements): the first build makes it,
/// later builds reuse it and install only what the back end asks for that it
/// did not ask for before. It answers as build's isolated environments do
/// (python_executable, make_extra_environ, install); a lock keeps two builds
/// from making or filling it at once.
static nb::object kept_env(nb::str envs, nb::list requires) {
    nb::object os = mine("os"), sys = mine("sys"), json = nb::module_::import_("json");
    nb::str key(json.attr("dumps")(nb::make_tuple(os.attr("path").attr("realpath")(sys.attr("executable")),
                                                  sys.attr("version"), builtin("sorted")(requires))));
    nb::str digest(nb::module_::import_("hashlib").attr("sha256")(key.attr("encode")()).attr("hexdigest")());
    nb::str path(join(envs, (std::string("backend-") + std::string(digest.c_str()).substr(0, 16)).c_str()));
    os.attr("makedirs")(envs, "exist_ok"_a = true);
    bool nt = os.attr("name").equal(nb::str("nt"));
    nb::str scripts(join(path, nt ? "Scripts" : "bin"));
    nb::str python(join(scripts, nt ? "python.exe" : "python"));
    nb::str marker(join(path, "tovel-env.json"));
    nb::object Path = mine("Path");

    // Runs `body` with the environment's lock held.
    auto locked = [os, path](auto body) {
        nb::object lock = builtin("open")(nb::str(path) + nb::str(".lock"), "a");
        nb::object fcntl = nb::module_::import_("fcntl");
        fcntl.attr("flock")(lock, fcntl.attr("LOCK_EX"));
        try {
            body();
        } catch (...) {
            lock.attr("close")();
            throw;
        }
        lock.attr("close")();
    };
    // The requirement sets installed so far, or None when the environment is
    // missing, unfinished or too old.
    auto installed = [=]() -> nb::object {
        try {
            nb::dict kept = nb::borrow<nb::dict>(json.attr("loads")(Path(marker).attr("read_text")()));
            double age = nb::cast<double>(mine("time").attr("time")()) - nb::cast<double>(kept["made"]);
            if (age < KEPT_DAYS * 86400.0 && truthy(os.attr("path").attr("exists")(python)))
                return kept;
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
        }
        return nb::none();
    };
    auto pip = [=](nb::list reqs) {
        nb::list cmd;
        for (const char *word : {"-Im", "pip", "install", "--use-pep517", "--no-warn-script-location", "--no-input"})
            cmd.append(word);
        cmd.insert(0, python);
        cmd.attr("extend")(reqs);
        mine("subprocess").attr("run")(cmd, "check"_a = true, "capture_output"_a = true, "text"_a = true,
                                       "errors"_a = "replace");
    };
    locked([&] {
        if (!installed().is_none())
            return;
        mine("shutil").attr("rmtree")(path, "ignore_errors"_a = true);
        mine("subprocess").attr("run")(nb::make_tuple(sys.attr("executable"), "-m", "venv", path), "check"_a = true,
                                       "capture_output"_a = true, "text"_a = true, "errors"_a = "replace");
        if (nb::len(requires))
            pip(requires);
        nb::dict kept;
        kept["made"] = mine("time").attr("time")();
        kept["installed"] = nb::make_tuple(builtin("sorted")(requires));
        Path(marker).attr("write_text")(json.attr("dumps")(kept));
    });
    nb::object env = nb::module_::import_("types").attr("SimpleNamespace")();
    env.attr("python_executable") = python;
    env.attr("make_extra_environ") = nb::cpp_function([os, scripts]() {
        nb::dict extra;
        nb::object path = os.attr("environ").attr("get")("PATH");
        extra["PATH"] = path.is_none() ? nb::object(scripts) : os.attr("pathsep").attr("join")(nb::make_tuple(scripts, path));
        return extra;
    });
    env.attr("install") = nb::cpp_function([=](nb::object reqs) {
        nb::list wanted(builtin("sorted")(reqs));
        if (!nb::len(wanted))
            return;
        locked([&] {
            nb::object kept = installed();
            if (kept.is_none())
                return; // made anew by another build meanwhile: it installs them again
            nb::list sets(kept["installed"]);
            if (truthy(sets.attr("__contains__")(wanted)))
                return;
            pip(wanted);
            sets.append(wanted);
            kept["installed"] = sets;
            Path(marker).attr("write_text")(json.attr("dumps")(kept));
        });
    });
    env.attr("__exit__") = nb::cpp_function([](nb::args) {});
    return env;
}

/// The project's own pure wheel, built by its back end into `outdir`; the
/// back end's output is kept in outdir/backend.log. A failure prints the
/// back end's last lines, then one line naming the stage.
static nb::str pure_wheel(nb::str outdir, bool isolated, nb::object envs) {
    nb::object os = mine("os"), build = mine("build");
    os.attr("makedirs")(outdir, "exist_ok"_a = true);
    outdir = nb::str(os.attr("path").attr("abspath")(outdir));
    nb::str config(join(outdir, "setuptools.cfg"));
    mine("Path")(config).attr("write_text")(nb::str("[egg_info]\negg_base = {}\n").format(outdir),
                                            "encoding"_a = "utf-8");
    nb::list log;
    nb::object run = runner(log, config);
    nb::object env = nb::none();
    nb::str backend("the project's back end");
    const char *stage = "report the requirements of its wheel";
    // The warnings the back end gives come back through build as Python
    // warnings, once per hook: they go to the log, each once, and one line
    // says how many there were.
    nb::object catcher = nb::module_::import_("warnings").attr("catch_warnings")("record"_a = true);
    nb::object warned = catcher.attr("__enter__")(); // the list the warnings go to
    nb::module_::import_("warnings").attr("simplefilter")("always");
    nb::list distinct;
    auto write_log = [&] {
        catcher.attr("__exit__")(nb::none(), nb::none(), nb::none());
        for (nb::handle w : warned) {
            nb::str text = nb::str("warning: {}\n").format(w.attr("message"));
            if (!truthy(distinct.attr("__contains__")(text)))
                distinct.append(text);
        }
        nb::list all(log);
        all.attr("extend")(distinct);
        mine("Path")(join(outdir, "backend.log"))
            .attr("write_text")(nb::str("").attr("join")(all), "encoding"_a = "utf-8");
    };
    try {
        nb::object builder;
        if (isolated && envs.is_none()) {
            env = mine("DefaultIsolatedEnv")();
            env.attr("__enter__")();
            builder = mine("ProjectBuilder").attr("from_isolated_env")(env, ".", run);
        } else {
            // A kept environment is chosen by the requirements, read first.
            builder = mine("ProjectBuilder")(".", mine("sys").attr("executable"), run);
        }
        nb::str name(builder.attr("_backend"));
        nb::object requires = builder.attr("build_system_requires");
        bool wrapped = name.equal(nb::str("tovel.build_meta"));
        // The pure wheel of a project built through tovel comes from the
        // back end tovel wraps, not from tovel again.
        auto retarget = [&] {
            builder.attr("_backend") = name;
            builder.attr("_hook") = mine("BuildBackendHookCaller")(
                builder.attr("source_dir"), name,
                "backend_path"_a = get(builder.attr("_build_system"), "backend-path", nb::none()),
                "python_executable"_a = builder.attr("python_executable"),
                "runner"_a = builder.attr("_runner"));
        };
        if (wrapped) {
            name = nb::str(nb::module_::import_("tovel.pyproject").attr("backend")());
            retarget();
            requires = without_tovel(requires, name);
        }
        backend = nb::str("the project's back end ({})").format(name);
        print(nb::str("{} builds its pure wheel{}").format(
            backend, isolated ? " in an isolated environment" : ""));
        if (isolated) {
            try {
                if (env.is_none()) {
                    env = kept_env(nb::str(envs), nb::list(requires));
                    builder = mine("ProjectBuilder").attr("from_isolated_env")(env, ".", run);
                    if (wrapped)
                        retarget();
                } else
                    env.attr("install")(requires);
            } catch (nb::python_error &e) {
                if (!e.matches(mine("subprocess").attr("CalledProcessError")))
                    throw;
                show_tail(text_of(e.value().attr("stdout")) + text_of(e.value().attr("stderr")));
                build_failed(nb::str("the project's build requirements ({}) could not be installed")
                           .format(nb::str(", ").attr("join")(builtin("sorted")(requires))));
            }
            env.attr("install")(builder.attr("get_requires_for_build")("wheel"));
        } else {
            // The back end itself first: without it, its hooks cannot even be asked.
            nb::list absent;
            for (nb::handle req : requires)
                if (nb::len(builtin("list")(build.attr("check_dependency")(req))))
                    absent.append(mine("shlex").attr("quote")(req));
            if (nb::len(absent))
                build_failed(nb::str("the project's build requirements are not installed here, and "
                                     "--no-isolation installs nothing: pip install {} (or leave out --no-isolation)")
                                 .format(nb::str(" ").attr("join")(builtin("sorted")(absent))));
            nb::list missing;
            for (nb::handle chain : builder.attr("check_dependencies")("wheel"))
                missing.append(nb::str(" <- ").attr("join")(chain));
            if (nb::len(missing))
                build_failed(nb::str("the project's build requirements are not installed here "
                               "(--no-isolation installs nothing): {}")
                           .format(nb::str(", ").attr("join")(builtin("sorted")(missing))));
        }
        stage = "build its wheel";
        nb::str wheel(builder.attr("build")("wheel", outdir));
        write_log();
        if (!env.is_none())
            env.attr("__exit__")(nb::none(), nb::none(), nb::none());
        print(nb::str("{} built {}").format(backend, os.attr("path").attr("basename")(wheel)));
        if (nb::len(distinct))
            print(nb::str("{} gave {} {} (in {})").format(backend, nb::len(distinct),
                                                      nb::len(distinct) == 1 ? "warning" : "warnings",
                                                      join(outdir, "backend.log")));
        return wheel;
    } catch (nb::python_error &e) {
        write_log();
        if (!env.is_none())
            env.attr("__exit__")(nb::none(), nb::none(), nb::none());
        if (e.matches(mine("build").attr("BuildBackendException"))) {
            show_tail(nb::str("").attr("join")(log));
            if (nb::isinstance(e.value().attr("exception"), mine("BackendUnavailable")))
                build_failed(nb::str("{} cannot be imported: {}").format(backend, e.value().attr("exception")));
            build_failed(nb::str("{} failed to {}").format(backend, stage));
        }
        if (e.matches(build.attr("BuildException")))
            build_failed(nb::str("pyproject.toml: [build-system]: {}").format(e.value()));
        if (e.matches(mine("subprocess").attr("CalledProcessError"))) {
            show_tail(text_of(e.value().attr("stdout")) + text_of(e.value().attr("stderr")));
            build_failed(nb::str("the back end's requirements for a wheel could not be installed"));
        }
        throw;
    }
}

// Where the pure wheel of a project lands (and is unpacked, in tree/).
static const char *PURE = "build/pure";

/// The pure tree a build starts from: {root, packages, info, data, wheel}. A
/// project's wheel comes from its own back end into build/pure, a given one
/// is used as it is; both are unpacked into build/pure/tree. The -n layout
/// is its package folder with the .dist-info tov writes into build/meta
/// (info None: written once the modules are built, so that a failed build
/// leaves the pyproject.toml of the layout as it was).
static nb::dict pure_tree(nb::dict options, nb::object cache) {
    nb::str route(options["route"]);
    if (route.equal(nb::str("layout"))) {
        nb::dict pure;
        pure["root"] = nb::none();
        pure["packages"] = options["packages"];
        pure["info"] = nb::none();
        pure["data"] = nb::list();
        pure["wheel"] = nb::none();
        pure["modes"] = nb::dict();
        return pure;
    }
    nb::object unpacker = nb::module_::import_("tovel.unpacker");
    nb::str wheel = route.equal(nb::str("wheel"))
        ? nb::str(options["from_wheel"])
        : pure_wheel(nb::str(PURE), !truthy(get(options, "no_isolation", nb::bool_(false))),
                     cache.is_none() ? cache : mine("os").attr("path").attr("join")(cache, "envs"));
    nb::dict pure = nb::borrow<nb::dict>(unpacker.attr("unpack")(wheel, nb::str(PURE) + nb::str("/tree")));
    pure["wheel"] = wheel;
    pure["modes"] = unpacker.attr("recorded_modes")(wheel);
    return pure;
}

TOVEL_MODULE(twin, m) {
    for (const char *name : {"os", "re", "shutil", "stat", "subprocess", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.attr("build") = nb::module_::import_("build");
    m.attr("shlex") = nb::module_::import_("shlex");
    m.attr("ProjectBuilder") = nb::module_::import_("build").attr("ProjectBuilder");
    m.attr("DefaultIsolatedEnv") = nb::module_::import_("build.env").attr("DefaultIsolatedEnv");
    nb::module_ hooks = nb::module_::import_("pyproject_hooks");
    m.attr("BuildBackendHookCaller") = hooks.attr("BuildBackendHookCaller");
    m.attr("BackendUnavailable") = hooks.attr("BackendUnavailable");

    m.attr("PURE") = PURE;
    m.def("pure_tree", &pure_tree, "options"_a, "cache"_a.none() = nb::none(),
          "The pure tree a build starts from: {root, packages, info, data, wheel, modes}.");
    m.def("pure_wheel", &pure_wheel, "outdir"_a, "isolated"_a = true, "envs"_a.none() = nb::none(),
          "Build the project's pure wheel with its own back end into outdir; returns its path. With "
          "envs, the isolated environment is kept in that folder and reused by later builds.");
}
