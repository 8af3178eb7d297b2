"""Anchors, word boundaries and edges, and the flags the matcher sees
through the tree (multiline, dotall, ascii).

The tables of cases are in tests/data/anchors_flags.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def test_find_at_sees_text_before_start():
    assert kordal.Regex(r"(?<=a)b").find_at("ab", 1).span == (1, 2)
    assert kordal.Regex(r"\bb").find_at("ab", 1) is None
    assert kordal.Regex(r"^b").find_at("ab", 1) is None
    assert kordal.Regex("").find_at("aX", 99).span == (2, 2)
    assert kordal.Regex("X").find_at("aX", 99) is None
