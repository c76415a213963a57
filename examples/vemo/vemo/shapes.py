"""Simple polygons in the plane: a kind, an area, a perimeter."""

import math
from dataclasses import dataclass, field
from enum import Enum


class Kind(Enum):
    TRIANGLE = 3
    QUADRILATERAL = 4
    PENTAGON = 5
    POLYGON = 0

    @classmethod
    def of(cls, corners):
        try:
            return cls(corners)
        except ValueError:
            return cls.POLYGON


@dataclass(frozen=True)
class Polygon:
    """A simple polygon given by its corners in order (either direction)."""

    points: tuple = field(default_factory=tuple)

    def __post_init__(self):
        if len(self.points) < 3:
            raise ValueError("a polygon needs at least three corners")
        object.__setattr__(self, "points", tuple((float(x), float(y)) for x, y in self.points))

    @property
    def kind(self):
        return Kind.of(len(self.points))

    def area(self):
        """The enclosed area (shoelace formula)."""
        total = 0.0
        n = len(self.points)
        for i in range(n):
            x1, y1 = self.points[i]
            x2, y2 = self.points[(i + 1) % n]
            total += x1 * y2 - x2 * y1
        return abs(total) / 2.0

    def perimeter(self):
        n = len(self.points)
        return sum(math.dist(self.points[i], self.points[(i + 1) % n]) for i in range(n))

    @classmethod
    def regular(cls, corners, radius=1.0):
        """A regular polygon with `corners` corners on a circle of `radius`."""
        step = 2 * math.pi / corners
        return cls(tuple((radius * math.cos(i * step), radius * math.sin(i * step))
                         for i in range(corners)))
