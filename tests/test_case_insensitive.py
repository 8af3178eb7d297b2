"""Case-insensitive matching: lowercase mappings, no folding table.

The tables of cases are in tests/data/case_insensitive.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def test_scoped_flag():
    r = kordal.Regex("a(?i:b)c")
    assert [r.is_match(t) for t in ["abc", "aBc", "ABC", "abC"]] == [True, True, False, False]
