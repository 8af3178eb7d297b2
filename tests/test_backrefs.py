"""Backreferences, including to unset groups (which match empty).

The tables of cases are in tests/data/backrefs.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def test_backref_uses_latest_capture():
    m = kordal.Regex(r"(?:(\w)\1)+").find("aabbcd")
    assert m.span == (0, 4) and m.captures(1) == ["a", "b"]
