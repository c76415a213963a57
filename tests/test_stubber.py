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
    PORTS = {''' + ", ".join(f'"s{i}": {i}' for i in range(30)) + ''', "file": None}
    RATIOS = [''' + ", ".join(str(i) for i in range(60)) + ''', 0.5]
    ROW = (''' + ", ".join(f'"c{i}"' for i in range(30)) + ''', None)
    handler = lambda event: print("secret", event)
    first, second = 1, "two"
    os.environ["X"] = "1"

    try:
        import json
    except ImportError:
        json = None

    with open(__file__) as f:
        CONTENT: str = f.read()
    for step, (low, high) in enumerate([(0, 1)]):
        pass


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
                 # Long literals: the join of their items' types, as a type checker reads them.
                 "PORTS: dict[str, int | None]", "RATIOS: list[float]", "ROW: tuple[" + "str, " * 30 + "None]",
                 "handler: _Incomplete", "first = 1", "second = 'two'", "    import json as json",
                 "    json = None", "CONTENT: str = ...", "f: _Incomplete", "step: _Incomplete", "high: _Incomplete", "def scale(x: int, factor: int=...) -> int:",
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


def test_an_attribute_a_base_in_the_package_declares_is_the_bases(tmp_path):
    """`self.children = ...` in a subclass assigns what its base declares
    (mistletoe's BlockToken sets the property Token.children): the checker
    reads the base's type from the sources, and a stub declaring it anew
    gave it the unknown type. Bases are found through the package's imports
    and re-exports; what the subclass adds is still declared."""
    files = {
        "pkg/__init__.py": "from .token import Token\n",
        "pkg/token.py": "class Token:\n    def __init__(self):\n        self.line = 0\n"
                        "    @property\n    def children(self) -> list:\n        return []\n"
                        "    @children.setter\n    def children(self, value: list):\n        pass\n",
        "pkg/sub/block.py": "import pkg.token\nfrom pkg import token\nfrom .. import Token as T\n"
                            "class Block(token.Token):\n    def __init__(self):\n"
                            "        self.children = []\n        self.line = 1\n        self.own = 2\n"
                            "class Other(T):\n    def __init__(self):\n        self.children = None\n"
                            "class Deep(pkg.token.Token, Block):\n    def f(self):\n        self.own = self.more = 3\n"
                            "class Alone(Exception):\n    def __init__(self):\n        self.children = 1\n",
    }
    units = []
    for arc, text in files.items():
        for top in ("src", "tree"):
            (tmp_path / top / arc).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / arc).write_text(text)
        units.append({"arc": arc, "path": arc, "file": str(tmp_path / "src" / arc)})
    stubber.write(units, str(tmp_path / "tree"))
    tree = ast.parse((tmp_path / "tree" / "pkg" / "sub" / "block.pyi").read_text())
    declared = {c.name: {s.target.id for s in c.body if isinstance(s, ast.AnnAssign)}
                for c in tree.body if isinstance(c, ast.ClassDef)}
    assert declared == {"Block": {"own"}, "Other": set(), "Deep": {"more"}, "Alone": {"children"}}
