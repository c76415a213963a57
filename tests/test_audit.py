"""tovel.audit on real wheels: verify's checks of tags, RECORD and the stable
ABI, and the Linux policies auditwheel measures and repairs, on modules
really compiled."""

import platform
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from packaging.utils import parse_wheel_filename

import tovel.audit as audit
import tovel.metagen as metagen
from wheels import compile_extension, extension_source, write_wheel

GLIBC = sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
needs_glibc = pytest.mark.skipif(not GLIBC, reason="manylinux policies are measured on glibc")
PY = f"cp{metagen.PYTAG}"
PLAT = metagen.PLATAG


def demo_wheel(where, abi, modules=(), tags=None, plat=PLAT):
    """A wheel of the package demo holding the given compiled modules."""
    path = Path(where) / f"demo-1.0-{PY}-{abi}-{plat}.whl"
    files = {f"demo/{m.name}": m.read_bytes() for m in modules}
    write_wheel(path, "demo", "1.0", tags or [f"{PY}-{abi}-{plat}"], files)
    return path


def rewrite(path, change):
    """Rewrites the wheel's members through change(name, data) -> data."""
    with zipfile.ZipFile(path) as zf:
        members = {i.filename: zf.read(i) for i in zf.infolist()}
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in members.items():
            zf.writestr(name, change(name, data))


def modes(path):
    """Each member's mode, as the archive records it."""
    with zipfile.ZipFile(path) as zf:
        return {i.filename: i.external_attr >> 16 & 0o7777 for i in zf.infolist()}


def glibc_version(policy):
    return tuple(map(int, re.match(r"manylinux_(\d+)_(\d+)_", policy).groups()))


@pytest.mark.parametrize("damage, problem", [
    (lambda path: rewrite(path, lambda n, d: b"ANSWER = 41\n" if n == "demo/__init__.py" else d),
     "the sha256 of demo/__init__.py does not match its RECORD"),
    (lambda path: rewrite(path, lambda n, d: d.replace(b"-none-", b"-abi3-")
                          if n.endswith("/WHEEL") else d),
     f"the tags of its file name ({PY}-none-{PLAT}) differ from the Tag lines of its "
     f"WHEEL ({PY}-abi3-{PLAT})"),
    (lambda path: zipfile.ZipFile(path, "a").writestr("demo/extra.py", ""),
     "demo/extra.py is missing from its RECORD"),
], ids=["tampered-hash", "tag-mismatch", "unlisted-file"])
def test_verify_catches_a_damaged_wheel(tmp_path, damage, problem):
    wheel = demo_wheel(tmp_path, "none")
    audit.verify(wheel)  # sound as written
    damage(wheel)
    with pytest.raises(ValueError) as caught:
        audit.verify(wheel)
    assert str(caught.value) == f"{wheel}: {problem}"


def test_verify_expands_compressed_tag_sets(tmp_path):
    path = tmp_path / "demo-1.0-py2.py3-none-any.whl"
    write_wheel(path, "demo", "1.0", ["py3-none-any", "py2-none-any"])
    audit.verify(path)
    path.rename(path.with_name("demo-1.0-py3-none-any.whl"))
    with pytest.raises(ValueError, match=r"\(py3-none-any\) differ .* \(py2-none-any, py3"):
        audit.verify(path.with_name("demo-1.0-py3-none-any.whl"))


def test_verify_holds_abi3_wheels_to_the_stable_abi(tmp_path, limited_module, full_module):
    audit.verify(demo_wheel(tmp_path / "limited", "abi3", [limited_module]))
    # the full-API module is fine as what it is, not as abi3
    audit.verify(demo_wheel(tmp_path / "own", PY, [full_module]))
    wheel = demo_wheel(tmp_path / "abi3", "abi3", [full_module])
    with pytest.raises(ValueError) as caught:
        audit.verify(wheel)
    assert str(caught.value) == (
        f"{wheel}: its extension modules go beyond the stable ABI of Python {metagen.PYVER}: "
        f"{full_module.name} uses PyCell_New")


@needs_glibc
def test_policy_of_real_modules(tmp_path, limited_module, full_module):
    plain = demo_wheel(tmp_path / "plain", "abi3", [limited_module])
    newer = demo_wheel(tmp_path / "newer", PY, [full_module])
    arch = platform.machine()
    # the plain module needs an old glibc; memfd_create needs 2.27
    assert glibc_version(audit.policy(plain)) < (2, 27)
    assert audit.policy(newer) == f"manylinux_2_27_{arch}"
    assert audit.policy(demo_wheel(tmp_path / "pure", "none")) is None
    # the file names claim manylinux2014, that is glibc 2.17
    assert audit.newer_policy(plain) is None
    assert audit.newer_policy(newer) == f"manylinux_2_27_{arch}"


LIBRARY_C = "int tovdemo_answer(void) { return 42; }\n"


@needs_glibc
def test_repair_vendors_reproducibly_or_tags_linux(tmp_path, monkeypatch, capsys):
    # a module that needs a library outside every policy: auditwheel vendors it
    libdir = tmp_path / "lib"
    libdir.mkdir()
    (libdir / "tovdemo.c").write_text(LIBRARY_C)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", libdir / "libtovdemo.so",
                    libdir / "tovdemo.c"], check=True)
    module = compile_extension(
        tmp_path / "ext", "pkg._vend",
        extension_source("_vend", "PyLong_FromLong(tovdemo_answer())",
                         "int tovdemo_answer(void);"),
        libraries=["tovdemo"], library_dirs=[str(libdir)], runtime_library_dirs=[str(libdir)])
    # Its script keeps its execute bit, each other file its mode, through each rewrite.
    script = "demo-1.0.data/scripts/demo-run"
    wheel = tmp_path / "in" / f"demo-1.0-{PY}-abi3-{PLAT}.whl"
    write_wheel(wheel, "demo", "1.0", [f"{PY}-abi3-{PLAT}"],
                {f"demo/{module.name}": module.read_bytes(), script: b"#!python\nprint(42)\n"})
    with zipfile.ZipFile(wheel) as zf:
        members = [(i, zf.read(i)) for i in zf.infolist()]
    with zipfile.ZipFile(wheel, "w") as zf:
        for info, data in members:
            info.external_attr = (0o100755 if info.filename in (script, f"demo/{module.name}") else 0o100644) << 16
            zf.writestr(info, data)
    given = modes(wheel)
    again = tmp_path / "again" / wheel.name
    again.parent.mkdir()
    shutil.copy(wheel, again)

    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    first = Path(audit.repair(wheel, tmp_path / "out1"))
    second = Path(audit.repair(again, tmp_path / "out2"))
    assert first.read_bytes() == second.read_bytes()
    assert first.parent == tmp_path / "out1" and wheel.exists()
    # named as auditwheel measures the repaired wheel, the claim it had dropped
    platforms = {t.platform for t in parse_wheel_filename(first.name)[3]}
    assert platforms == set(audit.policy(first).split("."))
    assert PLAT not in platforms
    with zipfile.ZipFile(first) as zf:
        assert [n for n in zf.namelist() if n.startswith("demo.libs/libtovdemo")]
    assert {n: m for n, m in modes(first).items() if n in given and not n.endswith("/RECORD")} == {
        n: m for n, m in given.items() if not n.endswith("/RECORD")}
    audit.verify(first)
    out = capsys.readouterr().out.splitlines()
    assert out[0] == (f"auditwheel: vendored libtovdemo.so into {wheel.name} and tagged it "
                      f"{first.name.removesuffix('.whl').rsplit('-', 1)[1]}")

    # without the library nothing can be vendored: linux_<arch>, and why
    libdir.rename(tmp_path / "gone")
    third = Path(audit.repair(wheel, tmp_path / "out3"))
    assert third.name == f"demo-1.0-{PY}-abi3-linux_{platform.machine()}.whl"
    assert modes(third)[script] == 0o755
    assert capsys.readouterr().out == (
        f"auditwheel: {wheel.name} meets no manylinux policy: its modules need libtovdemo.so, "
        f"which cannot be found to be vendored; tagged linux_{platform.machine()}\n")
    audit.verify(third)


@needs_glibc
def test_module_by_module_audits_agree_with_the_whole_wheel(limited_module, full_module, tmp_path):
    """tovel.gauge's per-module audits, which a rebuild reuses by hash, say what
    the audits of a whole wheel say: the policy the least compatible module
    meets, and a pass of the stable ABI only for a module that keeps to it.
    A second audit with the cache runs nothing and says the same."""
    import tovel.gauge as gauge

    cache = tmp_path / "cache"
    both = [str(limited_module), str(full_module)]
    wheel = demo_wheel(tmp_path, "abi3", [limited_module, full_module])
    def tags(text):
        return sorted(text.split("."))

    assert tags(gauge.policy(both, str(cache), None)) == tags(audit.policy(wheel))
    assert tags(gauge.policy([str(limited_module)], str(cache), None)) == tags(
        audit.policy(demo_wheel(tmp_path / "one", "abi3", [limited_module])))
    digest = {m: __import__("hashlib").sha256(Path(m).read_bytes()).hexdigest() for m in both}
    handle = gauge.start(both, str(cache), None, "3.12", str(tmp_path / "work"))
    assert gauge.finish(handle) == [digest[str(limited_module)]]
    again = gauge.start(both, str(cache), None, "3.12", str(tmp_path / "work"))
    assert again["passed"] == [digest[str(limited_module)]] and list(again["pending"]) != []
    assert gauge.start([str(limited_module)], str(cache), None, "3.12", str(tmp_path / "w"))["process"] is None
    gauge.finish(again)
    # The wheel is still audited whole for whatever no module audit passed.
    with pytest.raises(ValueError, match="beyond the stable ABI"):
        audit.verify(wheel, [digest[str(limited_module)]])
    audit.verify(demo_wheel(tmp_path / "ok", "abi3", [limited_module]), [digest[str(limited_module)]])
