"""Unit conversions. The default exclusion pattern "unit" leaves this module
out of a compile, so it ships as Python source only."""

_LENGTH = {"mm": 0.001, "cm": 0.01, "m": 1.0, "km": 1000.0,
           "in": 0.0254, "ft": 0.3048, "mi": 1609.344}


def convert_length(value, source, target):
    """`value` in unit `source` expressed in unit `target`."""
    return value * _LENGTH[source] / _LENGTH[target]


def celsius_to_fahrenheit(c):
    return c * 9.0 / 5.0 + 32.0
