"""tovel.metagen: interpreter and platform tags, and the pyproject.toml writer."""

import argparse
import builtins
import collections
import os
import sys
import sysconfig
import tomllib

import pytest
import tomli_w

import tovel.metagen as metagen

pytestmark = pytest.mark.usefixtures("no_sleep")


# --- tags --------------------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [n for n in vars(metagen) if not n.startswith("__")]
    assert names == ["sysconfig", "time", "dumps", "PYVER", "PYTAG", "ABITAG",
                     "PLATAG", "libpath", "classifier", "project"]
    assert metagen.sysconfig is sysconfig
    assert metagen.dumps is tomli_w.dumps


def test_tags_describe_the_running_interpreter():
    major, minor = sys.version_info[:2]
    assert metagen.PYVER == f"{major}.{minor}" == sysconfig.get_python_version()
    assert metagen.PYTAG == f"{major}{minor}"
    assert metagen.ABITAG == "none"
    plat = sysconfig.get_platform()
    assert "-" not in metagen.PLATAG and "." not in metagen.PLATAG
    if plat.startswith("linux-"):
        assert metagen.PLATAG == "manylinux2014_" + plat[len("linux-"):]
    assert metagen.libpath == "build/egg"
    for value in (metagen.PYVER, metagen.PYTAG, metagen.ABITAG, metagen.PLATAG):
        assert type(value) is str


# Loads the metagen extension on its own, without the package initialiser
# (which stops on a platform without libpath, as the tool must).
LOAD_METAGEN = """
import importlib.machinery, importlib.util, os
pkg = importlib.machinery.PathFinder.find_spec("tovel").submodule_search_locations[0]
path = next(p for p in (os.path.join(pkg, "metagen" + s) for s in importlib.machinery.EXTENSION_SUFFIXES) if os.path.exists(p))
found = importlib.util.spec_from_file_location("tovel.metagen", path)
m = importlib.util.module_from_spec(found)
found.loader.exec_module(m)
"""

LOAD_WITH = """
import sysconfig
sysconfig.get_platform = lambda: {plat!r}
sysconfig.get_python_version = lambda: {ver!r}
""" + LOAD_METAGEN + """
print(m.PYVER, m.PYTAG, m.ABITAG, m.PLATAG, getattr(m, "libpath", "<unset>"))
"""


@pytest.mark.parametrize("plat, platag, libpath", [
    ("linux-x86_64", "manylinux2014_x86_64", "build/egg"),
    ("linux-aarch64", "manylinux2014_aarch64", "build/egg"),
    ("linux-i686", "manylinux2014_i686", "build/egg"),
    ("win-amd64", "win_amd64", "build/egg"),
    ("win32", "win32", "build/egg"),
    ("win-arm64", "win_arm64", "build/egg"),
    ("macosx-11.0-arm64", "macosx_11_0_arm64", "build/egg"),
    ("macosx-10.13-universal2", "macosx_10_13_universal2", "build/egg"),
    ("freebsd-14.1-RELEASE-amd64", "freebsd_14_1_RELEASE_amd64", "<unset>"),
    # every "linux" is rewritten, after the translation, case-sensitively
    ("linux-linux.x", "manylinux2014_manylinux2014_x", "build/egg"),
    ("Linux-X86_64", "Linux_X86_64", "<unset>"),
    ("cygwin-3.5", "cygwin_3_5", "<unset>"),
])
def test_platform_string_transform(run_python, plat, platag, libpath):
    rc, out, err = run_python(LOAD_WITH.format(plat=plat, ver="3.12"))
    assert (rc, err) == (0, "")
    assert out.split() == ["3.12", "312", "none", platag, libpath]


@pytest.mark.parametrize("ver, tag", [("3.14", "314"), ("3.9", "39"), ("3.1.4", "314")])
def test_interpreter_tag_drops_every_dot(run_python, ver, tag):
    rc, out, err = run_python(LOAD_WITH.format(plat="linux-x86_64", ver=ver))
    assert (rc, err) == (0, "")
    assert out.split()[:3] == [ver, tag, "none"]


# Prints the load error and its causes, one "Type | message" line each: the
# extension loader reports a failing module body as an ImportError caused by
# the original error, and a traceback shows the whole chain.
CHAIN = """
try:
    {stmt}
except Exception as e:
    while e is not None:
        print(type(e).__name__, "|", e)
        e = e.__cause__
else:
    print("loaded")
"""


def load_error_chain(run_python, setup, stmt):
    rc, out, err = run_python(setup + CHAIN.format(stmt=stmt))
    assert (rc, err) == (0, "")
    return [tuple(line.split(" | ", 1)) for line in out.splitlines()]


FREEBSD = ("import sysconfig\n"
           "sysconfig.get_platform = lambda: 'freebsd-14.1-RELEASE-amd64'\n"
           + LOAD_METAGEN +
           "assert m.PLATAG == 'freebsd_14_1_RELEASE_amd64'\n")


@pytest.mark.parametrize("stmt", ["from tovel.metagen import libpath", "import tovel.wheeler",
                                  "import tovel"])
def test_unsupported_platform_refuses_to_load(run_python, stmt):
    chain = load_error_chain(run_python, FREEBSD, stmt)
    # The interpreter's own kind of error, naming the missing value, unwrapped.
    assert chain[0][0] == "ImportError" and "libpath" in chain[0][1]


@pytest.mark.parametrize("setup, kind, check", [
    # a failing platform interface stops the load
    ("import sysconfig\n"
     "def boom(): raise RuntimeError('no platform here')\n"
     "sysconfig.get_platform = boom\n", "RuntimeError", "no platform here"),
    # a missing serialiser stops it before any tag is computed
    ("import sys, sysconfig\n"
     "def asked(): print('asked'); return '3.12'\n"
     "sysconfig.get_python_version = asked\n"
     "sys.modules['tomli_w'] = None\n", "ModuleNotFoundError", "tomli_w"),
], ids=["platform-error", "no-tomli_w"])
def test_load_errors_propagate(run_python, setup, kind, check):
    chain = load_error_chain(run_python, setup, "import tovel.metagen")
    assert chain[0][0] == kind and check in chain[0][1]
    assert ("asked",) not in chain and ("loaded",) not in chain


def test_quiet_exit(run_python, tmp_path):
    # No leak reports or other noise on stderr at interpreter exit.
    rc, out, err = run_python(
        "import types, tovel.metagen as m\n"
        "m.time = types.SimpleNamespace(sleep=lambda s: None)\n"
        "m.project({'name': 'quiet'})\n"
        "import argparse, os, subprocess, tovel.wheeler as w\n"
        "os.mkdir('quiet')\n"
        "w.subprocess = types.SimpleNamespace(\n"
        "    run=lambda cmd, **kw: subprocess.CompletedProcess(cmd, 0))\n"
        "try:\n"
        "    w.tovwheel(argparse.Namespace(name='quiet', version='1', extra='{}', entry={},\n"
        "                                  abi3=False))\n"
        "except FileNotFoundError:\n"  # the stand-in front end builds nothing
        "    pass\n"
    )
    assert (rc, err) == (0, "")
    assert (tmp_path / "pyproject.toml").exists()


# --- project(): the document -----------------------------------------------


def write_inputs(root, readme=b"# demo\n", requirements=b""):
    (root / "project").mkdir(exist_ok=True)
    if readme is not None:
        (root / "project" / "README.md").write_bytes(readme)
    if requirements is not None:
        (root / "project" / "requirements.txt").write_bytes(requirements)


def read_doc(root):
    raw = (root / "pyproject.toml").read_bytes()
    assert b"\r" not in raw or os.name == "nt"
    return tomllib.loads(raw.decode("utf-8"))


def test_defaults_and_key_order(project_dir, no_sleep, capsys):
    write_inputs(project_dir)
    options = {}
    metagen.project(options)
    assert options == {}
    assert (capsys.readouterr().out, no_sleep) == ("", [])
    doc = read_doc(project_dir)
    assert list(doc) == ["build-system", "project", "tool"]
    assert doc["build-system"] == {"requires": ["setuptools>=80.0"],
                                   "build-backend": "setuptools.build_meta"}
    assert list(doc["build-system"]) == ["requires", "build-backend"]
    proj = doc["project"]
    assert list(proj) == ["name", "version", "description", "readme", "license",
                          "license-files", "requires-python", "dependencies",
                          "classifiers", "authors", "optional-dependencies", "urls",
                          "scripts"]
    assert {k: proj[k] for k in ("name", "version", "description", "readme", "license",
                                 "license-files", "requires-python", "dependencies",
                                 "optional-dependencies", "scripts")} == {
        "name": "project_name", "version": "0.0.1", "description": "project description",
        "readme": "project/README.md", "license": "MIT",
        "license-files": ["project/LICEN[CS]E*"], "requires-python": ">=3.12",
        "dependencies": [], "optional-dependencies": {}, "scripts": {}}
    assert proj["classifiers"] == list(metagen.classifier)
    assert len(proj["classifiers"]) == 10
    assert proj["classifiers"][0] == "Development Status :: 5 - Production/Stable"
    assert proj["classifiers"][-1] == "Topic :: Scientific/Engineering :: Physics"
    [author] = proj["authors"]
    assert list(author) == ["name", "email"] and all(author.values())
    assert list(proj["urls"]) == ["homepage", "documentation", "bugs"]
    assert len(set(proj["urls"].values())) == 1
    tool = doc["tool"]
    assert list(tool) == ["setuptools", "distutils"]
    assert list(tool["setuptools"]) == ["include-package-data", "package-data", "packages"]
    assert tool["setuptools"]["include-package-data"] is True
    assert list(tool["setuptools"]["packages"]) == ["find"]
    find = tool["setuptools"]["packages"]["find"]
    assert list(find) == ["where", "include", "exclude", "namespaces"]
    assert (find["where"], find["exclude"], find["namespaces"]) == (["."], ["test*"], True)
    assert tool["distutils"] == {"bdist_wheel": {
        "python-tag": "cp" + metagen.PYTAG, "plat-name": metagen.PLATAG}}
    assert list(tool["distutils"]["bdist_wheel"]) == ["python-tag", "plat-name"]


def test_table_layout_of_the_file(project_dir):
    write_inputs(project_dir)
    metagen.project({"extra": {"fast": ["numpy"]}, "entry": {"demo": "demo:main"}})
    headers = [line for line in (project_dir / "pyproject.toml").read_text().splitlines()
               if line.startswith("[")]
    assert headers == ["[build-system]", "[project]", "[project.optional-dependencies]",
                       "[project.urls]", "[project.scripts]", "[tool.setuptools]",
                       "[tool.setuptools.package-data]", "[tool.setuptools.packages.find]",
                       "[tool.distutils.bdist_wheel]"]


@pytest.mark.parametrize("options, expected", [
    ({"version": ""}, {"version": ""}),
    ({"name": "demo", "version": "1.2", "description": "", "license": "Apache-2.0"},
     {"name": "demo", "version": "1.2", "description": "", "license": "Apache-2.0"}),
    ({"extra": '{"a": ["b"]}', "entry": ""},
     {"optional-dependencies": '{"a": ["b"]}', "scripts": ""}),
    ({"extra": {"fast": ["numpy>=2", "scipy"]}, "entry": {"demo": "demo.cli:main"}},
     {"optional-dependencies": {"fast": ["numpy>=2", "scipy"]},
      "scripts": {"demo": "demo.cli:main"}}),
    ({"abi3": True, "func": "ignored", "name": "x"}, {"name": "x", "version": "0.0.1"}),
], ids=["empty-version", "texts", "text-extra", "mappings", "unread-keys"])
def test_present_values_are_used_unchanged(project_dir, options, expected):
    write_inputs(project_dir)
    before = dict(options)
    metagen.project(options)
    assert options == before
    proj = read_doc(project_dir)["project"]
    assert {k: proj[k] for k in expected} == expected


@pytest.mark.parametrize("options, include, package_data", [
    # "*": the compiled modules of every package found, subpackages included
    ({}, ["project_name*"], {"*": ["*.so", "*.pyd"]}),
    ({"name": "vemo"}, ["vemo*"], {"*": ["*.so", "*.pyd"]}),
    ({"name": "vemo", "data": {}}, ["vemo*"], {"*": ["*.so", "*.pyd"]}),
    ({"name": "vemo", "data": {"mypkg": ["*.dat"], "tools": ["*.json", "bin/*"]}},
     ["mypkg*", "tools*"], {"mypkg": ["*.dat"], "tools": ["*.json", "bin/*"]}),
    ({"data": {"tools": [], "mypkg": ["*.txt"]}},
     ["tools*", "mypkg*"], {"tools": [], "mypkg": ["*.txt"]}),
], ids=["defaults", "name", "empty-data", "data", "data-order"])
def test_package_discovery(project_dir, options, include, package_data):
    write_inputs(project_dir)
    metagen.project(options)
    setuptools = read_doc(project_dir)["tool"]["setuptools"]
    assert setuptools["packages"]["find"]["include"] == include
    assert setuptools["package-data"] == package_data
    assert list(setuptools["package-data"]) == list(package_data)


# --- project(): requirements -------------------------------------------------


@pytest.mark.parametrize("content, deps", [
    (b"numpy\nscipy>=1.10\n", ["numpy", "scipy>=1.10"]),
    (b"# a comment\nnumpy\n   # indented comment\n", ["numpy"]),
    (b"numpy  # pinned later\nscipy\t# tab\n", ["numpy", "scipy"]),
    (b"\n\n   \n\t\nnumpy\n\n", ["numpy"]),
    (b"  numpy >= 1.0  \n", ["numpy >= 1.0"]),
    (b"-r base.txt\n--index-url https://example.org/simple\n-e .\nnumpy\n", ["numpy"]),
    (b"numpy\r\nscipy\r\n\r\n", ["numpy", "scipy"]),
    (b"numpy\rscipy", ["numpy", "scipy"]),
    (b"numpy\x0cscipy\xe2\x80\xa8pandas", ["numpy", "scipy", "pandas"]),
    # a "#" that follows no whitespace belongs to the requirement (a URL fragment)
    (b"pkg @ https://example.org/pkg.zip#sha256=ab12\n",
     ["pkg @ https://example.org/pkg.zip#sha256=ab12"]),
    (b"caf\xc3\xa9-pkg==1  # \xc3\xa9t\xc3\xa9\n", ["caf\u00e9-pkg==1"]),
    (b"\xef\xbb\xbfnumpy\nscipy\n", ["\ufeffnumpy", "scipy"]),
    (b"", []),
], ids=["plain", "comments", "trailing-comment", "blank-lines", "surrounding-blanks",
        "pip-options", "crlf", "cr", "other-separators", "url-fragment", "non-ascii",
        "bom", "empty"])
def test_requirements_are_cleaned(project_dir, no_sleep, capsys, content, deps):
    write_inputs(project_dir, requirements=content)
    metagen.project({})
    assert read_doc(project_dir)["project"]["dependencies"] == deps
    assert (capsys.readouterr().out, no_sleep) == ("", [])


def test_crlf_and_lf_give_the_same_list(project_dir):
    text = b"# deps\nnumpy>=2  # fast\n\nscipy\n-r more.txt\n"
    found = []
    for content in (text, text.replace(b"\n", b"\r\n")):
        write_inputs(project_dir, requirements=content)
        metagen.project({})
        found.append(read_doc(project_dir)["project"]["dependencies"])
    assert found[0] == found[1] == ["numpy>=2", "scipy"]


def test_requirement_with_nul_is_not_truncated(project_dir):
    # The line is taken whole (the serialiser escapes the NUL); it is not cut
    # at the NUL into a different, valid-looking requirement.
    write_inputs(project_dir, requirements=b"ok\nbad\x00pkg\n")
    metagen.project({})
    assert read_doc(project_dir)["project"]["dependencies"] == ["ok", "bad\x00pkg"]


# --- project(): warnings and pauses ------------------------------------------


def expected_error(path):
    try:
        with open(path, encoding="utf-8") as f:
            f.read()
    except Exception as e:
        return str(e)
    raise AssertionError(f"{path} is readable")


def test_missing_inputs_warn_twice_and_still_write(project_dir, no_sleep, capsys):
    metagen.project({"name": "demo"})
    captured = capsys.readouterr()
    assert captured.err == ""
    lines = captured.out.splitlines()
    assert len(lines) == 2 and no_sleep == [5, 5]
    for line, path in zip(lines, ["project/README.md", "project/requirements.txt"]):
        message = expected_error(path)
        assert path in message
        left = (80 - len(message)) // 2
        assert line == "*" * left + message + "*" * (80 - len(message) - left)
    proj = read_doc(project_dir)["project"]
    assert (proj["name"], proj["readme"], proj["dependencies"]) == (
        "demo", "project/README.md", [])


def test_undecodable_requirements_give_one_warning_and_no_list(project_dir, no_sleep, capsys):
    write_inputs(project_dir, requirements=b"numpy\nscipy\n\xff\xfe\npandas\n")
    metagen.project({})
    out = capsys.readouterr().out
    assert out.count("\n") == 1 and "utf-8" in out and no_sleep == [5]
    assert read_doc(project_dir)["project"]["dependencies"] == []


def test_readme_that_is_a_directory_is_tolerated(project_dir, no_sleep, capsys):
    write_inputs(project_dir, readme=None, requirements=b"numpy\n")
    (project_dir / "project" / "README.md").mkdir()
    metagen.project({})
    message = expected_error("project/README.md")
    left = (80 - len(message)) // 2
    assert capsys.readouterr().out == (
        "*" * left + message + "*" * (80 - len(message) - left) + "\n")
    assert no_sleep == [5]
    proj = read_doc(project_dir)["project"]
    # Named, an unreadable readme would fail the build after the warning; a
    # missing one (above) only makes setuptools warn and stays named.
    assert proj["dependencies"] == ["numpy"] and "readme" not in proj


# README contents whose decoding error message has a chosen length:
# 'utf-8' codec can't decode byte 0xe2 in position N: invalid continuation byte
@pytest.mark.parametrize("prefix, length, left, right", [
    (0, 77, 1, 2),
    (10, 78, 1, 1),
    (100, 79, 0, 1),
    (1000, 80, 0, 0),
    (10000, 81, 0, 0),
])
def test_banner_centring(project_dir, no_sleep, capsys, prefix, length, left, right):
    write_inputs(project_dir, readme=b"a" * prefix + b"\xe2(", requirements=b"")
    message = expected_error("project/README.md")
    assert len(message) == length
    metagen.project({})
    assert capsys.readouterr().out == "*" * left + message + "*" * right + "\n"
    assert no_sleep == [5]


def test_collaborators_are_looked_up_when_called(project_dir, monkeypatch, no_sleep):
    seen = []

    def dumps(doc):
        seen.append(doc)
        return "# serialised elsewhere\n"

    monkeypatch.setattr(metagen, "dumps", dumps)
    metagen.project({"name": "late"})
    first, rest = (project_dir / "pyproject.toml").read_text().split("\n", 1)
    assert first.startswith("# written by tov") and rest == "# serialised elsewhere\n"
    [doc] = seen
    assert type(doc) is dict and list(doc) == ["build-system", "project", "tool"]
    assert doc["project"]["name"] == "late"
    # the pauses go through the module's time as it is at call time
    assert no_sleep == [5, 5]


@pytest.mark.parametrize("path", ["project/README.md", "project/requirements.txt"])
def test_interrupt_during_a_read_is_not_swallowed(project_dir, monkeypatch, no_sleep,
                                                  capsys, path):
    write_inputs(project_dir)
    real_open = open

    def interrupted_open(file, *args, **kwargs):
        if os.fspath(file) == path:
            raise KeyboardInterrupt
        return real_open(file, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", interrupted_open)
    with pytest.raises(KeyboardInterrupt):
        metagen.project({})
    monkeypatch.undo()
    assert (capsys.readouterr().out, no_sleep) == ("", [])
    assert not (project_dir / "pyproject.toml").exists()


# --- project(): argument check and safe replacement --------------------------


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("call", [
    lambda: metagen.project(None),
    lambda: metagen.project(argparse.Namespace(name="demo")),
    lambda: metagen.project(DictSubclass(name="demo")),
    lambda: metagen.project(collections.OrderedDict(name="demo")),
    lambda: metagen.project([("name", "demo")]),
    lambda: metagen.project(),
    lambda: metagen.project({}, {}),
    lambda: metagen.project(options={}),
], ids=["none", "namespace", "dict-subclass", "ordereddict", "pairs", "no-argument",
        "two-arguments", "wrong-keyword"])
def test_only_a_plain_dict_is_accepted(project_dir, no_sleep, capsys, call):
    with pytest.raises(TypeError):
        call()
    # refused before the readme check (missing here) could warn or pause
    assert (capsys.readouterr().out, no_sleep) == ("", [])
    assert list(project_dir.iterdir()) == []


def test_keyword_argument(project_dir):
    write_inputs(project_dir)
    metagen.project(args={"name": "kw"})
    assert read_doc(project_dir)["project"]["name"] == "kw"


@pytest.mark.parametrize("options", [
    {"extra": {1: 2}},
    {"name": object()},
    {"version": None},
    {"entry": {"cmd": None}},
    {"data": None},
], ids=["int-key", "object", "none-value", "nested-none", "none-data"])
def test_unserialisable_document_leaves_the_file_alone(project_dir, options):
    write_inputs(project_dir)
    original = b"# hand-written\r\n[project]\nname = 'keep'\n"
    (project_dir / "pyproject.toml").write_bytes(original)
    listing = sorted(os.listdir(project_dir))
    with pytest.raises(TypeError):
        metagen.project(options)
    assert (project_dir / "pyproject.toml").read_bytes() == original
    assert sorted(os.listdir(project_dir)) == listing


@pytest.mark.parametrize("name", ["pak\u00fc", "", "-lead", "trail.", "a b", "x/y"])
def test_invalid_distribution_name_is_refused_first(project_dir, no_sleep, capsys, name):
    # Refused before the readme is read and before the file is written.
    (project_dir / "pyproject.toml").write_text("# kept\n")
    with pytest.raises(ValueError, match="cannot be a distribution name: it takes ASCII"):
        metagen.project({"name": name})
    assert (capsys.readouterr().out, no_sleep) == ("", [])
    assert (project_dir / "pyproject.toml").read_text() == "# kept\n"


def test_serialiser_error_propagates_unchanged(project_dir, monkeypatch):
    class Refused(Exception):
        pass

    def dumps(doc):
        raise Refused("no")

    write_inputs(project_dir)
    monkeypatch.setattr(metagen, "dumps", dumps)
    with pytest.raises(Refused):
        metagen.project({})
    assert sorted(os.listdir(project_dir)) == ["project"]


def test_existing_file_is_replaced(project_dir, capsys):
    # The project's own file is kept aside once; the tool's own is replaced.
    write_inputs(project_dir)
    own = "[project]\nname = 'old'\nstale = 1\n"
    (project_dir / "pyproject.toml").write_text(own)
    metagen.project({"name": "new"})
    metagen.project({"name": "newer"})
    proj = read_doc(project_dir)["project"]
    assert proj["name"] == "newer" and "stale" not in proj
    assert sorted(os.listdir(project_dir)) == ["project", "pyproject.toml", "pyproject.toml.orig"]
    assert (project_dir / "pyproject.toml.orig").read_text() == own
    assert capsys.readouterr().out.count("kept as pyproject.toml.orig") == 1


def test_unwritable_target_raises_and_leaves_no_temporary(project_dir):
    write_inputs(project_dir)
    (project_dir / "pyproject.toml").mkdir()
    with pytest.raises(OSError):
        metagen.project({})
    assert sorted(os.listdir(project_dir)) == ["project", "pyproject.toml"]
    assert (project_dir / "pyproject.toml").is_dir()
