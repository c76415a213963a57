"""tovel.stubber: the stub of a compiled module keeps what a type checker
reads of the source and none of its code."""

import ast
import textwrap

import tovel.stubber as stubber

SOURCE = '''
    """The module."""
    from __future__ import annotations
    import os, os.path
    from dataclasses import dataclass, field
    from typing import overload
    from collections import OrderedDict as Ordered
    from pathlib import Path as P

    __all__ = ["Box", "scale"]
    LIMIT = 10
    TABLE = {i: i * i for i in range(100)}
    NAMES = [''' + ", ".join(f'"name{i}"' for i in range(40)) + ''']
    handler = lambda event: print("secret", event)
    first, second = 1, "two"
    os.environ["X"] = "1"

    try:
        import json
    except ImportError:
        json = None

    with open(__file__) as f:
        CONTENT: str = f.read()


    @overload
    def scale(x: int, factor: int = 2) -> int: ...
    @overload
    def scale(x: str, factor: int = 2) -> str: ...
    def scale(x, factor=2):
        """Scales x."""
        secret = x * factor
        return secret


    def where() -> P:
        return P(".")


    class Box:
        kind = "box"

        def __init__(self, size: int, *, label="b") -> None:
            self.size = size
            self.label = label
            self.items: list[int] = []
            self.ratio = 0.5

        @property
        def double(self) -> int:
            return self.size * 2

        @staticmethod
        def make(n):
            n.built = True
            return Box(n)


    @dataclass
    class Point:
        x: int
        tags: list[str] = field(default_factory=list)
        seen: set[int] = field(default_factory=lambda: {1, 2}, init=False)

        def __post_init__(self):
            self.norm = abs(self.x)
    '''


def test_a_stub_keeps_the_interface_and_no_code():
    stub = stubber.stub(textwrap.dedent(SOURCE).encode(), "box.py")
    tree = ast.parse(stub)  # a stub is Python
    lines = stub.splitlines()
    assert lines[:3] == ['"""The module."""', "from __future__ import annotations",
                         "from typing import Any as _Incomplete"]
    for kept in ("import os as os, os.path", "from dataclasses import dataclass as dataclass, field as field",
                 "__all__ = ['Box', 'scale']", "LIMIT = 10", "TABLE: _Incomplete", "NAMES: list[str]",
                 "handler: _Incomplete", "first = 1", "second = 'two'", "    import json as json",
                 "    json = None", "CONTENT: str = ...", "def scale(x: int, factor: int=...) -> int:",
                 "    def __init__(self, size: int, *, label=...) -> None:", "    size: int", "    label: _Incomplete",
                 "    items: list[int]", "    ratio: float", "    tags: list[str] = field(default_factory=list)",
                 "    seen: set[int] = field(default_factory=..., init=False)",
                 "    @property", "    @staticmethod",
                 # An import there to be exported is, as from a .py file; one the module uses stays.
                 "from collections import OrderedDict as _tovel_Ordered", "Ordered = _tovel_Ordered",
                 "from pathlib import Path as P"):
        assert kept in lines, (kept, stub)
    # No body, no overload's implementation, no attribute of another
    # object, no field a dataclass's method sets (it would be a field).
    assert "secret" not in stub and "print" not in stub and "environ" not in stub
    functions = [n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef)]
    assert [f.name for f in functions] == ["scale", "scale", "where", "__init__", "double", "make", "__post_init__"]
    assert all(ast.unparse(f.body[-1]) == "..." for f in functions)
    assert "built" not in stub and "norm" not in stub


def test_a_stub_the_project_ships_is_kept(tmp_path):
    (tmp_path / "src").mkdir()
    (tmp_path / "tree" / "pkg").mkdir(parents=True)
    units = []
    for name in ("own", "made"):
        (tmp_path / "src" / f"{name}.py").write_text("def f(x: int) -> int:\n    return x\n")
        units.append({"arc": f"pkg/{name}.py", "path": f"pkg/{name}.py", "file": str(tmp_path / "src" / f"{name}.py")})
    (tmp_path / "tree" / "pkg" / "own.pyi").write_text("def f(x: str) -> str: ...\n")
    assert stubber.write(units, str(tmp_path / "tree")) == [(tmp_path / "tree" / "pkg" / "made.pyi").as_posix()]
    assert (tmp_path / "tree" / "pkg" / "own.pyi").read_text() == "def f(x: str) -> str: ...\n"
    assert (tmp_path / "tree" / "pkg" / "made.pyi").read_text() == "def f(x: int) -> int:\n    ...\n"
