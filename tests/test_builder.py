"""tovel.builder: build tree, clean, the source walk, build and the command classes."""

import argparse
import functools
import os
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest
import setuptools
from setuptools.dist import Distribution

import tovel.builder as builder
import tovel.metagen as metagen

PYTAG = sysconfig.get_python_version().replace(".", "")
# A free-threaded interpreter before 3.15 has no limited API.
LIMITED = not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info >= (3, 15)


def write(root, files):
    for name, content in files.items():
        path = Path(root, name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(content))


def project_files(root):
    write(root, {"project/README.md": "# demo\n", "project/requirements.txt": "",
                 "project/LICENSE": "MIT\n"})


@pytest.fixture
def inproject(project_dir, no_sleep):
    return project_dir


def tree(root):
    return sorted(p.relative_to(root).as_posix() for p in Path(root).rglob("*"))


# ---------------------------------------------------------------- module


def test_names_in_binding_order():
    names = [n for n in vars(builder) if not n.startswith("__")]
    assert names == ["os", "re", "partial", "Path", "cythonize", "Extension", "setup",
                     "_build", "_build_ext", "_build_py", "bdist_wheel", "project", "PYTAG",
                     "clean", "reset", "collect", "CustomBuildPy", "CustomBdistWheel",
                     "CustomBuild", "CustomBuildExt", "build"]
    from setuptools.command.bdist_wheel import bdist_wheel
    import tovel.wheeler
    assert builder.bdist_wheel is bdist_wheel
    assert builder.project is tovel.wheeler.project
    assert builder.PYTAG == PYTAG


def test_import_leaves_disk_alone_and_leaks_nothing(tmp_path):
    write(tmp_path, {"build/keep/file.txt": "x"})
    script = textwrap.dedent("""
        import tovel.builder as b
        from setuptools.dist import Distribution
        d = Distribution({"cmdclass": {"build": b.CustomBuild, "build_ext": b.CustomBuildExt,
                                       "build_py": b.CustomBuildPy,
                                       "bdist_wheel": b.CustomBdistWheel}})
        for name in ("build", "build_ext", "build_py", "bdist_wheel"):
            d.get_command_obj(name).ensure_finalized()
        print(d.get_command_obj("bdist_wheel").get_tag3())
    """)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "leaked" not in done.stderr
    assert done.stdout == "('py3', 'none', 'any')\n"
    assert tree(tmp_path) == ["build", "build/keep", "build/keep/file.txt"]


@pytest.mark.parametrize("name, base, hooks", [
    ("CustomBuild", "_build", ["finalize_options"]),
    ("CustomBuildPy", "_build_py", ["build_module"]),
    ("CustomBuildExt", "_build_ext", ["finalize_options", "get_ext_filename"]),
    ("CustomBdistWheel", "bdist_wheel", ["initialize_options", "finalize_options", "run",
                                         "get_tag3"]),
])
def test_command_classes_are_named_subclasses(name, base, hooks):
    cls = getattr(builder, name)
    assert cls.__bases__ == (getattr(builder, base),)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "tovel.builder")
    assert repr(cls) == f"<class 'tovel.builder.{name}'>"
    assert [k for k in vars(cls) if not k.startswith("__")] == hooks


# ---------------------------------------------------------------- reset / clean


def test_reset_empties_the_build_tree(inproject, capsys):
    write(inproject, {"build/src/x.c": "", "build/lib/a/b.so": "", "keep.txt": ""})
    assert builder.reset() is None
    assert capsys.readouterr().out == "cleaning build\ncleaning build None\n"
    assert tree(inproject) == ["build", "build/egg", "build/out", "build/tmp", "keep.txt"]


@pytest.mark.parametrize("path, kept", [
    ("build", ["out", "out/x", "out/x/deep", "out/x/deep/f", "out/y", "out/y/g"]),
    ("out/x", ["build", "build/a", "build/a/b.txt", "out", "out/y", "out/y/g"]),
    ("./out//x/", ["build", "build/a", "build/a/b.txt", "out", "out/y", "out/y/g"]),
])
def test_clean_removes_one_folder(inproject, capsys, path, kept):
    write(inproject, {"build/a/b.txt": "", "out/x/deep/f": "", "out/y/g": ""})
    assert builder.clean(path) is None
    assert capsys.readouterr().out == f"cleaning {path}\n"
    assert tree(inproject) == kept


def test_clean_default_and_missing_folder(inproject, capsys):
    builder.clean()
    builder.clean("never/there")
    assert capsys.readouterr().out == "cleaning build\ncleaning never/there\n"


def test_clean_removes_a_link_and_not_its_target(inproject, tmp_path_factory):
    outside = tmp_path_factory.mktemp("outside")
    write(outside, {"precious.txt": "x"})
    (inproject / "build").symlink_to(outside, target_is_directory=True)
    (inproject / "out").mkdir()
    (inproject / "out" / "link").symlink_to(outside, target_is_directory=True)
    builder.clean("build/")
    builder.clean("out/link")
    assert not os.path.lexists(inproject / "build")
    assert not os.path.lexists(inproject / "out" / "link")
    assert (outside / "precious.txt").read_text() == "x"


def test_clean_shell_characters_are_only_a_name(inproject, monkeypatch):
    def forbidden(*args, **kwargs):
        raise AssertionError("clean started a process")

    for name in ("system", "posix_spawn", "fork"):
        if hasattr(os, name):
            monkeypatch.setattr(os, name, forbidden)
    monkeypatch.setattr(subprocess, "Popen", forbidden)
    odd = 'odd" ; touch pwned ; echo "$(id)'
    (inproject / odd).mkdir()
    builder.clean(odd)
    builder.clean()
    assert tree(inproject) == []


@pytest.mark.parametrize("path", ["", ".", "./", ".//.", "a/..", "..", "../x", "a/../../b",
                                  "build/../..", "/", "/tmp/x", "//x", "bu\0ild"])
def test_clean_refuses_paths_outside_or_the_folder_itself(inproject, capsys, path):
    write(inproject, {"build/x": "", "a/b": "", "b/c": ""})
    with pytest.raises(ValueError):
        builder.clean(path)
    assert capsys.readouterr().out == ""
    assert tree(inproject) == ["a", "a/b", "b", "b/c", "build", "build/x"]


def test_clean_refuses_a_path_through_a_link(inproject, tmp_path_factory, capsys):
    outside = tmp_path_factory.mktemp("outside")
    write(outside, {"sub/precious.txt": "x"})
    (inproject / "link").symlink_to(outside, target_is_directory=True)
    with pytest.raises(ValueError):
        builder.clean("link/sub")
    assert capsys.readouterr().out == ""
    assert (outside / "sub" / "precious.txt").exists()


@pytest.mark.parametrize("path", [None, b"build", Path("build"), 3])
def test_clean_refuses_non_text(inproject, capsys, path):
    (inproject / "build").mkdir()
    with pytest.raises(TypeError, match="path"):
        builder.clean(path)
    assert capsys.readouterr().out == ""
    assert (inproject / "build").is_dir()


# ---------------------------------------------------------------- collect

SOURCES = {
    "pkg/__init__.py": "",
    "pkg/core.py": "",
    "pkg/community.py": "",
    "pkg/unit/test_x.py": "",
    "pkg/unit/data.txt": "",
    "pkg/data.npy": "",
    "pkg/a.b.py": "",
    "pkg/__pycache__/core.cpython-312.pyc": "",
    "pkg/stub.pyi": "",
    "pkg/fast.pyx": "",
    "pkg/README": "",
    "pkg/deep/er/mod.py": "",
}


def test_collect_sources(inproject, capsys):
    write(inproject, SOURCES)
    found = builder.collect("pkg", "py", exclude="unit")
    out = capsys.readouterr().out.splitlines()
    names = sorted(e.name for e in found)
    assert names == ["pkg.__init__", "pkg.a.b", "pkg.core", "pkg.data", "pkg.deep.er.mod"]
    by_name = {e.name: e for e in found}
    assert by_name["pkg.deep.er.mod"].sources == [str(Path("pkg/deep/er/mod.py"))]
    # exclusion comes first and applies to files of every kind
    assert sorted(line for line in out if line.startswith("excluded")) == [
        f"excluded {Path(p)}" for p in ("pkg/community.py", "pkg/unit/data.txt",
                                        "pkg/unit/test_x.py")]
    collecting = [line for line in out if line.startswith("collecting")]
    assert sorted(collecting) == sorted(f"collecting {Path(e.sources[0])}" for e in found)
    assert out[-1] == "Collected 5 modules. unit"
    assert len(out) == 3 + 5 + 1
    # the walk goes top-down: the package's own files before its subfolders'
    order = [e.name for e in found]
    assert order.index("pkg.deep.er.mod") == len(order) - 1


@pytest.mark.parametrize("exclude, count", [("a|b|c", 0), ("", 0), ("12|34|56", 2),
                                            ("core", 2)])
def test_collect_exclude_patterns(inproject, capsys, exclude, count):
    write(inproject, {"src/mod12.py": "", "src/core.py": "", "src/zed.py": ""})
    # "src" itself contains a "c": the default pattern leaves nothing to collect
    found = builder.collect("src", "py", exclude=exclude)
    out = capsys.readouterr().out.splitlines()
    assert len(found) == count
    assert len([line for line in out if line.startswith("excluded")]) == 3 - count
    assert out[-1] == f"Collected {count} modules. {exclude}"


def test_collect_limited_api_fields(inproject, monkeypatch, capsys, limited_api):
    write(inproject, {"pkg/m.py": ""})
    calls = []
    monkeypatch.setattr(builder, "Extension", lambda *a, **k: calls.append((a, k)) or a[0])
    assert builder.collect("pkg", "py", False, "zzz", True) == ["pkg.m"]
    assert builder.collect("pkg", "py", False, "zzz", "on") == ["pkg.m"]
    assert builder.collect("pkg", "py", False, "zzz", 0) == ["pkg.m"]
    source = str(Path("pkg/m.py"))
    macros = [("Py_LIMITED_API", "0x030C0000")]
    assert calls == [
        (("pkg.m", [source]), {"py_limited_api": True, "define_macros": macros}),
        (("pkg.m", [source]), {"py_limited_api": "on", "define_macros": macros}),
        (("pkg.m", [source]), {}),
    ]
    monkeypatch.setattr(builder, "Extension", setuptools.Extension)
    ext, = builder.collect("pkg", "py", abi3=True, exclude="zzz")
    assert isinstance(ext, setuptools.Extension)
    assert (ext.py_limited_api, ext.define_macros) == (True, macros)


@pytest.mark.parametrize("extension, gone", [
    ("pyd", ["pkg/a.pyd", "pkg/sub/b.cp312-win_amd64.pyd"]),
    ("so", ["pkg/c.so", "pkg/sub/d.cpython-312-x86_64-linux-gnu.so", "pkg/disk.iso"]),
    ("txt", []),
])
def test_collect_deletes_compiled_modules(inproject, capsys, extension, gone):
    files = ["pkg/a.pyd", "pkg/sub/b.cp312-win_amd64.pyd", "pkg/c.so", "pkg/disk.iso",
             "pkg/sub/d.cpython-312-x86_64-linux-gnu.so", "pkg/m.py", "pkg/keep/x.so",
             "pkg/keep/y.pyd", "pkg/notes.txt"]
    write(inproject, dict.fromkeys(files, ""))
    assert builder.collect("pkg", extension, exclude="keep") == []
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "Collected 0 modules. keep"
    assert not [line for line in out if line.startswith("collecting")]
    left = [f for f in files if (inproject / f).exists()]
    assert left == [f for f in files if f not in gone]


def test_collect_renames_tagged_modules_in_their_folder(inproject, capsys):
    files = {"rel1.2/pkg/m.cpython-312-x86_64-linux-gnu.so": "",
             "rel1.2/pkg/w.cp312-win_amd64.pyd": "",
             "rel1.2/pkg/plain.so": "", "rel1.2/pkg/skip.abi3.so": "",
             "rel1.2/pkg/x.py": ""}
    write(inproject, files)
    assert builder.collect("rel1.2/pkg", "pyd", True, "skip") == []
    assert tree(inproject / "rel1.2") == ["pkg", "pkg/m.so", "pkg/plain.so",
                                          "pkg/skip.abi3.so", "pkg/w.pyd", "pkg/x.py"]
    assert capsys.readouterr().out.splitlines() == [
        f"excluded {Path('rel1.2/pkg/skip.abi3.so')}", "Collected 0 modules. skip"]


@pytest.mark.parametrize("kwargs, param", [
    ({"extension": None}, "extension"), ({"extension": b"pyd"}, "extension"),
    ({"exclude": None}, "exclude"), ({"exclude": 12}, "exclude"),
])
def test_collect_refuses_non_text_before_any_effect(inproject, capsys, kwargs, param):
    write(inproject, {"pkg/m.pyd": ""})
    with pytest.raises(TypeError, match=param):
        builder.collect("pkg", **kwargs)
    assert capsys.readouterr().out == ""
    assert (inproject / "pkg/m.pyd").exists()


def test_collect_bad_pattern_and_missing_folder(inproject, capsys):
    write(inproject, {"pkg/m.pyd": ""})
    with pytest.raises(Exception) as info:
        builder.collect("pkg", exclude="(")
    assert type(info.value).__name__ in ("error", "PatternError")
    assert (inproject / "pkg/m.pyd").exists()
    assert capsys.readouterr().out == ""
    assert builder.collect("nowhere", "py", exclude="x") == []
    assert capsys.readouterr().out == "Collected 0 modules. x\n"


def test_collect_dot_gives_names_without_prefix(inproject, capsys):
    write(inproject, {"top.py": "", "sub/inner.py": ""})
    assert sorted(e.name for e in builder.collect(".", "py", exclude="zzz")) == [
        "sub.inner", "top"]


# ---------------------------------------------------------------- build


class Recorder:
    def __init__(self, result=None):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result if self.result is not None else args


@pytest.fixture
def engine(inproject, monkeypatch, limited_api):
    """build's collaborators replaced in the module: they record their calls.
    The interpreter has the limited API unless limited_api is parametrized."""
    rec = {name: Recorder(result) for name, result in
           [("project", None), ("collect", ["ext"]), ("cythonize", ["cext"]),
            ("setup", "ran")]}
    for name, r in rec.items():
        monkeypatch.setattr(builder, name, r)
    return rec


def fixed_classes():
    return {"build": builder.CustomBuild, "build_py": builder.CustomBuildPy,
            "build_ext": builder.CustomBuildExt}


@pytest.mark.parametrize("args, collected, limited", [
    ({}, ("tovel", "12|34|56", True), True),
    ({"name": "pkg", "exclude": "unit", "abi3": True}, ("pkg", "unit", True), True),
    ({"name": "pkg", "src": "lib/pkg", "abi3": "False"}, ("lib/pkg", "12|34|56", "False"), True),
    ({"name": "pkg", "abi3": False}, ("pkg", "12|34|56", False), False),
    ({"name": "pkg", "abi3": ""}, ("pkg", "12|34|56", ""), False),
])
def test_build_prepares_the_setup_call(engine, capsys, args, collected, limited):
    run = builder.build(args)
    path, exclude, abi3 = collected
    assert engine["project"].calls == [((args,), {})]
    assert engine["project"].calls[0][0][0] is args
    assert engine["collect"].calls == [((path,), {"extension": "py", "exclude": exclude,
                                                  "abi3": abi3})]
    directives = {} if limited else {"freethreading_compatible": True}
    assert engine["cythonize"].calls == [((), {"module_list": ["ext"], "build_dir": "build/src",
                                               "language_level": "3",
                                               "compiler_directives": directives})]
    out = capsys.readouterr().out
    assert out == ("" if limited else ">>>>>> setting freethreading_compatible to True\n")
    assert isinstance(run, functools.partial)
    assert run.func is engine["setup"] and run.args == ()
    expected = ({"bdist_wheel": builder.CustomBdistWheel} if limited else {}) | fixed_classes()
    assert list(run.keywords) == ["ext_modules", "cmdclass"]
    assert run.keywords["ext_modules"] == ["cext"]
    assert list(run.keywords["cmdclass"].items()) == list(expected.items())
    assert run(script_args=["x"]) == "ran" and run(script_args=["y"]) == "ran"
    assert [c[1]["script_args"] for c in engine["setup"].calls] == [["x"], ["y"]]
    assert engine["setup"].calls[0][1]["cmdclass"] is engine["setup"].calls[1][1]["cmdclass"]


class Dict(dict):
    pass


@pytest.mark.parametrize("limited_api", [False], indirect=True)
def test_abi3_without_a_limited_api_builds_free_threaded_modules(inproject, monkeypatch, capsys, limited_api):
    """Where there is no limited API (a free-threaded interpreter before 3.15)
    a true abi3 gives definitions of the full API, translated
    freethreading_compatible, and setuptools' own bdist_wheel, whose
    py_limited_api stays unset."""
    project_files(inproject)
    write(inproject, {"pkg/__init__.py": "", "pkg/m.py": ""})
    cythonize = Recorder(["cext"])
    monkeypatch.setattr(builder, "cythonize", cythonize)
    for abi3 in (True, "on"):
        run = builder.build({"name": "pkg", "abi3": abi3})
        kw = cythonize.calls.pop()[1]
        assert kw["compiler_directives"] == {"freethreading_compatible": True}
        assert [(e.name, e.py_limited_api, e.define_macros) for e in kw["module_list"]] == [
            ("pkg.__init__", False, []), ("pkg.m", False, [])]
        assert "bdist_wheel" not in run.keywords["cmdclass"]
    assert ">>>>>>" not in capsys.readouterr().out
    assert not finalized(distribution(), "bdist_wheel").py_limited_api


@pytest.mark.parametrize("args", [None, Dict(name="pkg"), [("name", "pkg")],
                                  argparse.Namespace(name="pkg")])
def test_build_refuses_anything_but_a_dict(inproject, args):
    project_files(inproject)
    with pytest.raises(TypeError, match="args"):
        builder.build(args)
    assert not (inproject / "pyproject.toml").exists()


def test_build_with_real_collect_and_no_sources(inproject, monkeypatch, capsys):
    """The real metadata writer and walk; an empty package still reaches cythonize."""
    project_files(inproject)
    (inproject / "empty").mkdir()
    cythonize = Recorder([])
    monkeypatch.setattr(builder, "cythonize", cythonize)
    run = builder.build({"name": "empty"})
    assert (inproject / "pyproject.toml").exists()
    assert cythonize.calls[0][1]["module_list"] == []
    assert "Collected 0 modules. 12|34|56" in capsys.readouterr().out
    assert run.keywords["ext_modules"] == []


# ---------------------------------------------------------------- command classes


def distribution(*script_args, **attrs):
    attrs.setdefault("cmdclass", {"build": builder.CustomBuild, "build_ext": builder.CustomBuildExt,
                                  "build_py": builder.CustomBuildPy,
                                  "bdist_wheel": builder.CustomBdistWheel})
    dist = Distribution(attrs)
    dist.script_name = "setup.py"
    if script_args:
        dist.script_args = list(script_args)
        dist.parse_command_line()
    return dist


def finalized(dist, name):
    cmd = dist.get_command_obj(name)
    cmd.ensure_finalized()
    return cmd


@pytest.mark.parametrize("argv, lib, temp", [
    ([], "build/out", "build/tmp"),
    (["build", "-b", "elsewhere", "-t", "tmp2"], "build/out", "build/tmp"),
    (["build_ext", "-t", "mytmp"], "build/out", "build/tmp"),
    (["build_ext", "-b", "mylib", "-t", "mytmp"], "mylib", "build/tmp"),
])
def test_forced_folders_win_over_the_command_line(inproject, argv, lib, temp):
    dist = distribution(*argv)
    assert finalized(dist, "build").build_lib == "build/out"
    ext = finalized(dist, "build_ext")
    assert (ext.build_lib, ext.build_temp) == (lib, temp)


@pytest.mark.parametrize("argv, parallel", [
    ([], (os.process_cpu_count if hasattr(os, "process_cpu_count") else os.cpu_count)()),
    (["build_ext", "-j", "1"], 1),
])
def test_compiles_on_every_core_unless_told(inproject, argv, parallel):
    assert finalized(distribution(*argv), "build_ext").parallel == parallel


def test_build_py_copies_data_but_no_python_module(inproject):
    write(inproject, {"pkg/__init__.py": "", "pkg/mod.py": "", "pkg/data.txt": "d",
                      "pkg/sub/__init__.py": "", "pkg/sub/more.txt": "m", "other/M.PY": "u"})
    dist = distribution("build_py", packages=["pkg", "pkg.sub"],
                        package_data={"pkg": ["*.txt"], "pkg.sub": ["*.txt"]})
    dist.run_commands()
    assert tree(inproject / "build/out") == ["pkg", "pkg/data.txt", "pkg/sub", "pkg/sub/more.txt"]
    # a suffix that differs only in letter case is handed to the base hook
    cmd = dist.get_command_obj("build_py")
    assert cmd.build_module("M", "other/M.PY", "pkg") is None
    assert (inproject / "build/out/pkg/M.py").read_text() == "u"


@pytest.mark.skipif(not LIMITED, reason="setuptools refuses a limited-API tag on this interpreter")
def test_bdist_wheel_limited_api_default_and_override(inproject):
    assert finalized(distribution(), "bdist_wheel").py_limited_api == "cp" + PYTAG
    older = "cp3" + str(int(PYTAG[1:]) - 1)
    cmd = finalized(distribution("bdist_wheel", "--py-limited-api", older), "bdist_wheel")
    assert cmd.py_limited_api == older


@pytest.mark.parametrize("base_tag, expected", [
    (("cp399", "cp399", "linux_x86_64"), ("cp36", "abi3", "linux_x86_64")),
    (("pp310", "pypy310_pp73", "win_amd64"), ("pp310", "pypy310_pp73", "win_amd64")),
    (["py3", "none", "any"], ("py3", "none", "any")),
    (("cp3", "abi3"), ValueError),
    (("a", "b", "c", "d"), ValueError),
])
def test_get_tag3(inproject, monkeypatch, base_tag, expected):
    cmd = finalized(distribution(), "bdist_wheel")
    monkeypatch.setattr(builder.bdist_wheel, "get_tag", lambda self: base_tag)
    if expected is ValueError:
        with pytest.raises(ValueError, match="unpack"):
            cmd.get_tag3()
    else:
        assert cmd.get_tag3() == expected


def test_get_tag3_on_the_real_base_tag(inproject):
    write(inproject, {"m.c": ""})
    dist = distribution(ext_modules=[setuptools.Extension("m", ["m.c"])])
    cmd = finalized(dist, "bdist_wheel")
    python, abi, plat = cmd.get_tag()
    assert (python, abi) == ("cp" + PYTAG, "abi3" if LIMITED else "cp" + PYTAG + sys.abiflags)
    assert cmd.get_tag3() == ("cp36", "abi3", plat)


@pytest.mark.parametrize("name, hook, args", [
    ("CustomBuild", "finalize_options", ()),
    ("CustomBuildExt", "finalize_options", ()),
    ("CustomBuildPy", "build_module", ("m", "pkg/m.txt", "pkg")),
    ("CustomBdistWheel", "initialize_options", ()),
    ("CustomBdistWheel", "finalize_options", ()),
    ("CustomBdistWheel", "run", ()),
])
def test_hooks_call_the_base_through_the_hierarchy(inproject, limited_api, name, hook, args):
    """A class between the custom class and its setuptools base is not skipped."""
    cls = getattr(builder, name)
    seen = []

    def recording(self, *a):
        seen.append(a)
        return "base result"

    middle = type("Middle", (cls.__bases__[0],), {hook: recording})
    probe = type("Probe", (cls, middle), {})
    cmd = probe.__new__(probe)
    result = getattr(cmd, hook)(*args)
    assert seen == [args]
    assert result == ("base result" if hook == "run" else None)
    if hook == "initialize_options":
        assert cmd.py_limited_api == "cp" + PYTAG


# ---------------------------------------------------------------- end to end

PACKAGE = {
    "shapes/__init__.py": """
        from .core import area
        NAME = "shapes"
    """,
    "shapes/core.py": """
        def area(w, h):
            return w * h

        class Box:
            def __init__(self, *sides):
                self.sides = sides
            def volume(self):
                v = 1
                for s in self.sides:
                    v *= s
                return v
    """,
    "shapes/unitcheck.py": "raise RuntimeError('excluded module was built')\n",
    "shapes/data.txt": "data\n",
}

PROBE = """
import shapes, shapes.core
print(shapes.__file__)
print(shapes.NAME, shapes.area(3, 4), shapes.core.Box(2, 3, 4).volume())
"""


def test_wheel_of_compiled_modules_installs_and_imports(inproject, make_venv, capfd):
    tmp_path = inproject
    project_files(tmp_path)
    write(tmp_path, PACKAGE)
    run = builder.build({"name": "shapes", "abi3": True, "exclude": "unit"})
    run(script_args=["bdist_wheel", "-d", "dist"])
    out = capfd.readouterr().out
    assert "Collected 2 modules. unit" in out
    wheel, = (tmp_path / "dist").glob("*.whl")
    plat = metagen.PLATAG
    abi = "abi3" if LIMITED else f"cp{PYTAG}{sys.abiflags}"
    assert wheel.name == f"shapes-0.0.1-cp{PYTAG}-{abi}-{plat}.whl"
    names = zipfile.ZipFile(wheel).namelist()
    modules = [n for n in names if not n.startswith("shapes-0.0.1.dist-info/")]
    assert not [n for n in modules if n.endswith(".py")]
    assert sorted(n.split(".")[0] for n in modules) == ["shapes/__init__", "shapes/core"]
    assert all(n.endswith((".abi3.so", ".pyd") if LIMITED else tuple(EXTENSION_SUFFIXES)) for n in modules)

    vpy = make_venv(wheel)
    done = subprocess.run([str(vpy), "-c", PROBE], cwd=tmp_path / "dist",
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    file, result = done.stdout.splitlines()
    assert Path(file).is_relative_to(vpy.parent.parent)
    assert file.endswith(tuple(EXTENSION_SUFFIXES))
    assert result == "shapes 12 24"
