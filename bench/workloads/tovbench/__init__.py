"""Ordinary Python, four kinds: a dict-based cache class, a recursive-descent
parser, float and integer loops, text formatting."""
