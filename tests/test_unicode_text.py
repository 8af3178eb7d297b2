"""Byte offsets into UTF-8 and non-ASCII text throughout the searches."""

import pytest

import kordal_python as kordal


@pytest.mark.parametrize("pattern,text,span,groups", [
    ("é", "xaé", (2, 4), ["é"]),
    ("(😀)(b)", "aé😀b", (3, 8), ["😀b", "😀", "b"]),
    (".", "😀", (0, 4), ["😀"]),
    ("[é-ë]+", "aéêëz", (1, 7), ["éêë"]),
    ("[α-ω]+", "abc αβγ", (4, 10), ["αβγ"]),
    ("a.c", "a€c", (0, 5), ["a€c"]),
    (r"\w+", "日本語 text", (0, 9), ["日本語"]),
])
def test_spans_are_bytes(pattern, text, span, groups):
    m = kordal.Regex(pattern).find(text)
    assert (m.span, m.groups) == (span, groups)


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
