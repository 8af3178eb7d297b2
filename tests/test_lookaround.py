"""Lookahead and unbounded lookbehind, and what they do to captures.

The tables of cases are in tests/data/lookaround.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def test_lookbehind_is_bounded_by_the_whole_text():
    # Lookbehind runs its child from every earlier start; the child may be
    # unbounded and may reach back to the very beginning.
    text = "a" * 2000 + "b"
    assert kordal.Regex("(?<=^a*)b").find(text).span == (2000, 2001)
    assert kordal.Regex("(?<!^a*)b").find(text) is None
