"""Properties of the tool's pure rules, checked on generated input against
oracles written here: the centring of the wheel banner, the module names that
the source walk derives from paths, the abi3 retag of wheels of any valid name and version,
and the cleaning of requirements.txt into the dependency list."""

import argparse
import csv
import io
import os
import re
import shutil
import tomllib
import types
import zipfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import tovel.builder as builder
import tovel.metagen as metagen
import tovel.wheeler as wheeler
from wheels import centred, record_hash, write_wheel

# The fixtures (working directory, pause recorder) hold nothing that one
# example could leave for the next: each example starts from what it writes.
SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
TAGS = f"cp{metagen.PYTAG}-{{}}-{metagen.PLATAG}"
# Text without control characters or surrogates: anything else may appear.
TEXT = st.characters(blacklist_categories=("Cc", "Cs"))


def write_project_files():
    os.makedirs("project", exist_ok=True)
    Path("project/README.md").write_text("# readme\n", encoding="utf-8")
    Path("project/requirements.txt").write_text("", encoding="utf-8")


def options(name, version, abi3=True):
    return argparse.Namespace(name=name, abi3=abi3, version=version, description="d",
                              license="MIT", extra={}, entry={})


# ---------------------------------------------------------------- the banner


# "wheel ./dist/" + name + "-" + version + the tags: its length without the
# name, for a version of one character.
FIXED = len(f"wheel ./dist/-1-{TAGS.format(metagen.ABITAG)}.whl")


@SETTINGS
@given(name=st.text(TEXT, max_size=40), version=st.text(TEXT, max_size=20))
@example(name="a" * (78 - FIXED), version="1")
@example(name="a" * (79 - FIXED), version="1")
@example(name="a" * (80 - FIXED), version="1")
@example(name="\u00fc" * (81 - FIXED), version="1")
def test_wheel_banner_is_centred(name, version, project_dir, no_sleep, monkeypatch, capsys):
    write_project_files()
    # The command needs the package folder; the distribution-name rule of the
    # project file is not what is checked here, so the file is not written.
    assume(name and "/" not in name)
    os.makedirs(name, exist_ok=True)
    monkeypatch.setattr(wheeler, "project", lambda options: None)
    # An interpreter that cannot be started ends the command right after the
    # banner, before any build.
    monkeypatch.setattr(wheeler, "sys", types.SimpleNamespace(
        executable=str(project_dir / "no-such-python")))
    with pytest.raises(RuntimeError, match="could not be started"):
        wheeler.tovwheel(options(name, version))
    text = f"wheel ./dist/{name}-{version}-{TAGS.format(metagen.ABITAG)}.whl"
    out = capsys.readouterr().out
    assert out == centred(text, "#") + "\n"
    assert len(out) - 1 == max(80, len(text))
    assert no_sleep == []


# ---------------------------------------------------------------- module names

SEGMENT = st.text(
    st.characters(blacklist_categories=("Cc", "Cs"), blacklist_characters="/\\"),
    min_size=1, max_size=10,
).filter(lambda s: s not in (".", "..") and len(s.encode("utf-8")) < 100)
SUFFIX = st.sampled_from([".py", ".py", ".npy", ".pyc", ".pyi", ".pyx", ".PY", ".txt", "",
                          ".py.bak", ".tar.py"])
FILES = st.lists(
    st.tuples(st.lists(SEGMENT, max_size=3), SEGMENT, SUFFIX), min_size=1, max_size=12
)


def suffix_of(name):
    """The text from the last dot of the name on; nothing when the name has
    no dot, only a leading one, or ends in its dot."""
    dot = name.rfind(".")
    return name[dot:] if 0 < dot < len(name) - 1 else ""


@SETTINGS
@given(files=FILES, marked=st.sampled_from([None, 0, 1]))
def test_module_names_follow_the_paths(files, marked, project_dir, capsys):
    shutil.rmtree("pkg", ignore_errors=True)
    made = set()
    for folders, stem, suffix in files:
        rel = Path("pkg", *folders, stem + suffix)
        # A name taken by a file cannot be a folder too, and the reverse.
        parents = {p.as_posix() for p in rel.parents}
        if rel.as_posix() in made or parents & made or any(
            m.startswith(rel.as_posix() + "/") for m in made
        ):
            continue
        if any(len(p.encode("utf-8")) > 200 for p in rel.parts):
            continue
        rel.parent.mkdir(parents=True, exist_ok=True)
        rel.write_text("x = 1\n", encoding="utf-8")
        made.add(rel.as_posix())
    assume(made)
    # A literal segment of one path as the exclusion pattern, or a pattern
    # that matches nothing.
    if marked is None:
        word = None
        exclude = "(?!)"
    else:
        some = sorted(made)[marked % len(made)]
        word = some.split("/")[-1]
        exclude = re.escape(word)

    result = builder.collect("pkg", extension="py", exclude=exclude, abi3=False)
    out = capsys.readouterr().out.splitlines()

    excluded = {p for p in made if word is not None and word in p}
    expected = sorted(
        (p[: len(p) - len(suffix_of(p.split("/")[-1]))].replace("/", "."), p)
        for p in made - excluded
        if suffix_of(p.split("/")[-1]).endswith("py")
    )
    assert sorted((e.name, e.sources[0]) for e in result) == expected
    assert sorted(line[len("excluded "):] for line in out if line.startswith("excluded ")) == \
        sorted(excluded)
    assert out[-1] == f"Collected {len(expected)} modules. {exclude}"
    for e in result:
        assert not e.py_limited_api and not e.define_macros


# ---------------------------------------------------------------- retagging


ALNUM = st.text("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
                min_size=1, max_size=6)
# Escaped distribution names of wheel files: runs of letters and digits
# joined by "_"; "none" and "abi3" appear as or within words.
WORD = st.one_of(ALNUM, st.sampled_from(["none", "nonesuch", "abi3", "cp312", "manylinux"]))
NAME = st.lists(WORD, min_size=1, max_size=3).map("_".join)
NUM = st.integers(0, 999).map(str)
VERSION = st.builds(
    lambda epoch, release, pre, post, dev, local: epoch + release + pre + post + dev + local,
    st.sampled_from(["", "1!", "12!"]),
    st.lists(NUM, min_size=1, max_size=4).map(".".join),
    st.one_of(st.just(""), st.tuples(st.sampled_from(["a", "b", "rc"]), NUM).map("".join)),
    st.one_of(st.just(""), NUM.map(".post{}".format)),
    st.one_of(st.just(""), NUM.map(".dev{}".format)),
    st.one_of(st.just(""), st.lists(st.one_of(ALNUM.map(str.lower), st.just("none")),
                                    min_size=1, max_size=3).map(lambda p: "+" + ".".join(p))),
)


@SETTINGS
@given(name=NAME, version=VERSION, payload=st.binary(max_size=300))
@example(name="none", version="1.0+none", payload=b"")
def test_retag_changes_only_the_abi_field(name, version, payload, project_dir, no_sleep,
                                          monkeypatch, capsys, limited_api):
    write_project_files()
    os.makedirs(name, exist_ok=True)
    shutil.rmtree("dist", ignore_errors=True)
    os.mkdir("dist")
    whfile = f"{name}-{version}-{TAGS.format('none')}.whl"
    newfile = f"{name}-{version}-{TAGS.format('abi3')}.whl"
    files = write_wheel(Path("dist", whfile), name, version, [TAGS.format("none")],
                        {f"{name}/payload.bin": payload})
    # The wheel is in place already: the front end is a child that succeeds
    # without building anything.
    monkeypatch.setattr(wheeler, "sys", types.SimpleNamespace(executable=shutil.which("true")))
    wheeler.tovwheel(options(name, version))
    capsys.readouterr()

    assert os.listdir("dist") == [newfile]
    with zipfile.ZipFile(Path("dist", newfile)) as zf:
        assert zf.testzip() is None
        got = {i.filename: zf.read(i) for i in zf.infolist()}
    # the same members in the same order, all but WHEEL and RECORD unchanged
    info = f"{name}-{version}.dist-info"
    wheel, record = f"{info}/WHEEL", f"{info}/RECORD"
    assert list(got) == list(files)
    assert {n: got[n] for n in got if n not in (wheel, record)} == {
        n: files[n] for n in files if n not in (wheel, record)}
    # WHEEL: the Tag line changes its ABI field, nothing else changes
    old = files[wheel].decode().splitlines()
    assert [line for line in got[wheel].decode().splitlines() if line] == [
        line.replace(f"Tag: {TAGS.format('none')}", f"Tag: {TAGS.format('abi3')}")
        for line in old]
    # RECORD: every other member with its hash and size, itself last
    rows = list(csv.reader(io.StringIO(got[record].decode())))
    assert rows == [[n, record_hash(got[n]), str(len(got[n]))] for n in got if n != record] + [
        [record, "", ""]]


# ---------------------------------------------------------------- requirements

# Requirement-like text: printable characters, blanks and tabs, "#" and "-"
# often, and a NUL now and then; no other blank or line-breaking character.
LINE_TEXT = st.lists(
    st.one_of(
        st.sampled_from(list(" \t#-=<>.;[],@\x00") + ["tomli_w", "pkg", "1.0", "# note"]),
        st.characters(blacklist_categories=("Cc", "Cs", "Zs", "Zl", "Zp")),
    ),
    max_size=8,
).map("".join)
LINE = st.one_of(
    LINE_TEXT,
    st.builds(lambda a, b: a + " # " + b, LINE_TEXT, LINE_TEXT),
    st.builds(lambda a: "  " + a + "\t", LINE_TEXT),
    st.sampled_from(["", "   ", "# comment", "  # indented comment", "-r other.txt",
                     "--index-url https://example.org/simple", "  -e .", "pkg#egg=frag",
                     "\ufeffpkg"]),
)
ENDS = st.sampled_from(["\n", "\r\n", "\r"])


def cleaned(text):
    """The dependency list of a requirements text, as pip reads a file: line
    by line, a comment from a "#" at the start or after a blank cut off,
    blanks around the rest dropped, empty lines and options left out."""
    deps = []
    for line in text.replace("\r\n", "\n").replace("\r", "\n").splitlines():
        line = re.sub(r"(^|[ \t])#.*", "", line).strip()
        if line and not line.startswith("-"):
            deps.append(line)
    return deps


@SETTINGS
@given(lines=st.lists(st.tuples(LINE, ENDS), max_size=10), last_end=st.booleans())
def test_requirements_are_cleaned_like_pip(lines, last_end, project_dir, no_sleep):
    text = "".join(line + end for line, end in lines)
    if lines and not last_end:
        text = text[: -len(lines[-1][1])]
    os.makedirs("project", exist_ok=True)
    Path("project/README.md").write_text("# readme\n", encoding="utf-8")
    Path("project/requirements.txt").write_bytes(text.encode("utf-8"))
    metagen.project({})
    with open("pyproject.toml", "rb") as f:
        deps = tomllib.load(f)["project"]["dependencies"]
    assert deps == cleaned(text)
    assert no_sleep == []
