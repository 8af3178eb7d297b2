"""findall, split, replace, replace_all and replacement templates.

The tables of cases are in tests/data/iteration.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def test_multi_digit_group_references():
    pattern = "".join(f"({c})" for c in "abcdefghijk")
    r = kordal.Regex(pattern)
    assert r.replace("abcdefghijk", "$10|\\11|$1") == "j|k|a"


def test_large_iteration():
    # 10 MB with millions of matches (its speed is measured in bench/).
    text = "ab cd ef " * 1_100_000
    matches = kordal.Regex(r"\w+").findall(text)
    assert len(matches) == 3_300_000
    out = kordal.Regex(r"\w+").replace_all(text, "x")
    assert out == "x x x " * 1_100_000
    parts = kordal.Regex(" ").split(text)
    assert len(parts) == 3_300_001 and parts[-1] == ""
