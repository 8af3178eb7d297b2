"""Byte offsets into UTF-8 and non-ASCII text throughout the searches.

The tables of cases are in tests/data/unicode_text.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import pytest

import kordal_python as kordal


def test_findall_and_captures_on_mixed_text():
    text = "€1 é22 😀333"
    r = kordal.Regex(r"(\d)+")
    got = [(m.span, m.captures(1)) for m in r.findall(text)]
    assert got == [((3, 4), ["1"]), ((7, 9), ["2", "2"]), ((14, 17), ["3", "3", "3"])]


def test_find_at_uses_byte_offsets():
    r = kordal.Regex("é")
    assert r.find_at("aéé", 3).span == (3, 5)
    assert r.find_at("aéé", 5) is None
    with pytest.raises(ValueError):
        r.find_at("aéé", 2)


def test_split_and_replace_keep_characters_whole():
    assert kordal.Regex("").split("é€") == ["", "é", "", "€", "", ""]
    assert kordal.Regex("x*").replace_all("é😀", "-") == "-é-😀-"
    assert kordal.Regex("😀").replace_all("a😀b😀", "é") == "aébé"
