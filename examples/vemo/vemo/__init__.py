"""vemo: a small package of everyday helpers, shipped as the example of tovel.

`tov compile` turns each module below into an extension module; the module
vemo.units is left out by the default exclusion pattern "unit" and so stays
plain Python (it is not imported here, so the compiled package works without it).
"""

from vemo.text import TextStats, word_counts
from vemo.shapes import Kind, Polygon
from vemo.geometry.matrix import Matrix

__version__ = "1.2.4"

__all__ = ["TextStats", "word_counts", "Kind", "Polygon", "Matrix", "compiled"]


def compiled():
    """True when this package runs as a compiled extension module."""
    return not __file__.endswith(".py")
