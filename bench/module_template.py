# The template of one generated module of the build benchmarks (bench/bench.py):
# __N__ is replaced by the number of the module.
"""Records, parsing and reports of part __N__ of the benchmark package.

A module as a real project has them: constants, an enumeration, data
classes, a parser with regular expressions, a generator pipeline, a small
state machine, a cache decorator, errors of its own and formatting helpers.
"""

from __future__ import annotations

import dataclasses
import enum
import functools
import itertools
import json
import re
from collections import Counter, defaultdict, deque
from typing import Any, Callable, Iterable, Iterator, Optional

PART = __N__
SEPARATOR = ","
_FIELD_RE = re.compile(r"^(?P<key>[A-Za-z_][\w.-]*)\s*(?P<op>==|!=|<=|>=|<|>|=)\s*(?P<value>.*)$")
_NUMBER_RE = re.compile(r"^[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$")
_WORD_RE = re.compile(r"\w+", re.UNICODE)
DEFAULTS = {"limit": 100 + __N__, "unit": "ms", "precision": 3, "strict": False}


class ParseError(ValueError):
    """A line that the parser of part __N__ cannot read."""

    def __init__(self, line: str, lineno: int, reason: str) -> None:
        super().__init__(f"line {lineno}: {reason}: {line!r}")
        self.line = line
        self.lineno = lineno
        self.reason = reason


class Kind(enum.Enum):
    NUMBER = "number"
    TEXT = "text"
    FLAG = "flag"
    LIST = "list"

    @classmethod
    def of(cls, value: str) -> "Kind":
        if _NUMBER_RE.match(value):
            return cls.NUMBER
        if value.lower() in ("true", "false", "yes", "no", "on", "off"):
            return cls.FLAG
        if SEPARATOR in value:
            return cls.LIST
        return cls.TEXT


@dataclasses.dataclass(frozen=True)
class Field:
    key: str
    op: str
    raw: str
    kind: Kind = Kind.TEXT

    @property
    def value(self) -> Any:
        if self.kind is Kind.NUMBER:
            number = float(self.raw)
            return int(number) if number.is_integer() and "." not in self.raw else number
        if self.kind is Kind.FLAG:
            return self.raw.lower() in ("true", "yes", "on")
        if self.kind is Kind.LIST:
            return [item.strip() for item in self.raw.split(SEPARATOR) if item.strip()]
        return self.raw

    def matches(self, other: Any) -> bool:
        value = self.value
        if self.op in ("=", "=="):
            return other == value
        if self.op == "!=":
            return other != value
        try:
            if self.op == "<":
                return other < value
            if self.op == "<=":
                return other <= value
            if self.op == ">":
                return other > value
            return other >= value
        except TypeError:
            return False


@dataclasses.dataclass
class Record:
    name: str
    fields: list[Field] = dataclasses.field(default_factory=list)
    tags: set[str] = dataclasses.field(default_factory=set)
    weight: float = 1.0

    def get(self, key: str, default: Any = None) -> Any:
        for field in self.fields:
            if field.key == key:
                return field.value
        return default

    def as_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {"name": self.name, "weight": self.weight}
        out.update((f.key, f.value) for f in self.fields)
        if self.tags:
            out["tags"] = sorted(self.tags)
        return out

    def score(self, weights: Optional[dict[str, float]] = None) -> float:
        weights = weights or {}
        total = 0.0
        for field in self.fields:
            value = field.value
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                total += value * weights.get(field.key, 1.0)
            elif isinstance(value, list):
                total += len(value) * weights.get(field.key, 0.5)
        return round(total * self.weight, DEFAULTS["precision"])


def memoize(func: Callable) -> Callable:
    cache: dict[Any, Any] = {}

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        key = (args, tuple(sorted(kwargs.items())))
        if key not in cache:
            cache[key] = func(*args, **kwargs)
        return cache[key]

    wrapper.cache = cache
    return wrapper


def parse_field(text: str, lineno: int = 0) -> Field:
    match = _FIELD_RE.match(text.strip())
    if match is None:
        raise ParseError(text, lineno, "not KEY OP VALUE")
    value = match.group("value").strip().strip('"')
    return Field(match.group("key"), match.group("op"), value, Kind.of(value))


def parse(lines: Iterable[str], *, strict: bool = False) -> list[Record]:
    """Records from text: a line `[name]` starts one, `key = value` lines add
    fields, `#tag` lines add tags, `@weight` sets the weight."""
    records: list[Record] = []
    current: Optional[Record] = None
    for lineno, line in enumerate(lines, 1):
        line = line.split(";", 1)[0].rstrip()
        if not line.strip():
            continue
        stripped = line.strip()
        if stripped.startswith("[") and stripped.endswith("]"):
            current = Record(stripped[1:-1].strip())
            records.append(current)
        elif current is None:
            if strict:
                raise ParseError(line, lineno, "field before any record")
        elif stripped.startswith("#"):
            current.tags.update(t for t in stripped[1:].split() if t)
        elif stripped.startswith("@"):
            try:
                current.weight = float(stripped[1:])
            except ValueError:
                raise ParseError(line, lineno, "bad weight") from None
        else:
            try:
                current.fields.append(parse_field(stripped, lineno))
            except ParseError:
                if strict:
                    raise
    return records


def tokens(text: str) -> Iterator[str]:
    for match in _WORD_RE.finditer(text):
        word = match.group(0).lower()
        if len(word) > 2 and not word.isdigit():
            yield word


def frequent(texts: Iterable[str], top: int = 10) -> list[tuple[str, int]]:
    counts = Counter(itertools.chain.from_iterable(tokens(t) for t in texts))
    return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:top]


def group_by(records: Iterable[Record], key: str) -> dict[Any, list[str]]:
    groups: defaultdict[Any, list[str]] = defaultdict(list)
    for record in records:
        value = record.get(key)
        if isinstance(value, list):
            value = tuple(value)
        groups[value].append(record.name)
    return {k: sorted(v) for k, v in groups.items()}


def select(records: Iterable[Record], *conditions: str) -> list[Record]:
    fields = [parse_field(c) for c in conditions]
    return [r for r in records if all(f.matches(r.get(f.key)) for f in fields)]


@memoize
def fibonacci_window(n: int, width: int = 3) -> tuple[int, ...]:
    window: deque[int] = deque(maxlen=width)
    a, b = 0, 1
    for _ in range(n):
        window.append(a)
        a, b = b, a + b
    return tuple(window)


class Machine:
    """A state machine over the events of a session: each state maps an event
    to the next state; unknown events count as errors."""

    TABLE = {
        "idle": {"start": "running", "stop": "idle"},
        "running": {"pause": "paused", "stop": "idle", "tick": "running"},
        "paused": {"resume": "running", "stop": "idle"},
    }

    def __init__(self, name: str = "machine-__N__") -> None:
        self.name = name
        self.state = "idle"
        self.history: list[str] = []
        self.errors = 0
        self.ticks = 0

    def feed(self, events: Iterable[str]) -> "Machine":
        for event in events:
            nxt = self.TABLE[self.state].get(event)
            if nxt is None:
                self.errors += 1
                continue
            if event == "tick":
                self.ticks += 1
            if nxt != self.state:
                self.history.append(f"{self.state}->{nxt}")
            self.state = nxt
        return self

    def summary(self) -> str:
        return json.dumps(
            {"name": self.name, "state": self.state, "ticks": self.ticks,
             "errors": self.errors, "changes": len(self.history)},
            sort_keys=True,
        )

    def __repr__(self) -> str:
        return f"Machine({self.name!r}, state={self.state!r}, ticks={self.ticks})"


def render(records: list[Record], columns: Optional[list[str]] = None) -> str:
    """A plain text table of the records."""
    rows = [r.as_dict() for r in records]
    if columns is None:
        columns = sorted({k for row in rows for k in row if k != "name"})
    header = ["name", *columns]
    table = [header] + [[str(row.get(c, "")) for c in header] for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    out = []
    for n, line in enumerate(table):
        out.append("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
        if n == 0:
            out.append("  ".join("-" * w for w in widths))
    return "\n".join(out)


def sample(count: int = 5) -> list[str]:
    lines = []
    for k in range(count):
        lines += [f"[item-{PART}-{k}]", f"size = {k * PART % 17}", f"ratio = {k / 7:.3f}",
                  f"flags = on", f"names = a{k}, b{k}, c", f"#t{k % 3} common", f"@{1 + k % 2}"]
    return lines


def demo() -> str:
    records = parse(sample())
    picked = select(records, "size >= 3")
    machine = Machine().feed(["start", "tick", "pause", "resume", "tick", "bogus", "stop"])
    return "\n".join([render(picked), machine.summary(), repr(fibonacci_window(10 + PART % 5))])
