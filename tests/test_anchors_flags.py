"""Anchors, word boundaries and edges, and the flags the matcher sees
through the tree (multiline, dotall, ascii)."""

import pytest

import kordal_python as kordal
from kordal_python import ASCII, DOTALL, MULTILINE


@pytest.mark.parametrize("pattern,flags,text,spans", [
    ("$", 0, "ab\n", [(2, 2), (3, 3)]),
    ("$", 0, "a\nb", [(3, 3)]),
    ("$", MULTILINE, "a\nb\n", [(1, 1), (3, 3), (4, 4)]),
    ("$", 0, "ab\r", [(3, 3)]),
    ("^", 0, "a\nb", [(0, 0)]),
    ("^", MULTILINE, "a\nb\n", [(0, 0), (2, 2), (4, 4)]),
    ("^", MULTILINE, "a\rb", [(0, 0)]),
    (r"\A", MULTILINE, "a\nb", [(0, 0)]),
    (r"\Z", 0, "a\n", [(2, 2)]),
    (r"\z", 0, "a\n", [(2, 2)]),
    (".", 0, "a\nb", [(0, 1), (2, 3)]),
    (".", DOTALL, "a\n", [(0, 1), (1, 2)]),
    (".", 0, "\r\u2028", [(0, 1), (1, 4)]),
    (r"\b", 0, "ab cd", [(0, 0), (2, 2), (3, 3), (5, 5)]),
    (r"\B", 0, "ab c", [(1, 1)]),
    (r"\B", 0, "", [(0, 0)]),
    (r"\m", 0, "ab cd", [(0, 0), (3, 3)]),
    (r"\M", 0, "ab cd", [(2, 2), (5, 5)]),
    (r"\b", 0, "é", [(0, 0), (2, 2)]),
    (r"\b", ASCII, "é", []),
    (r"\w", ASCII, "aé_1", [(0, 1), (3, 4), (4, 5)]),
    (r"\d", 0, "1²٣", [(0, 1), (1, 3), (3, 5)]),
    (r"\d", ASCII, "1²٣", [(0, 1)]),
    (r"\s", 0, " \u00a0\u2028x", [(0, 1), (1, 3), (3, 6)]),
    (r"\s", ASCII, " \u00a0\x0b", [(0, 1), (3, 4)]),
])
def test_positions(pattern, flags, text, spans):
    assert [m.span for m in kordal.Regex(pattern, flags).findall(text)] == spans


@pytest.mark.parametrize("pattern,text,found", [
    ("(?m)^b", "a\nb", True),
    ("(?s)a.b", "a\nb", True),
    ("(?s:a.)b.", "a\nb\n", False),
    ("(?a)\\w", "é", False),
    ("(?m:^b)|^c", "a\nc", False),
])
def test_inline_flags_scope(pattern, text, found):
    assert kordal.Regex(pattern).is_match(text) is found


def test_find_at_sees_text_before_start():
    assert kordal.Regex(r"(?<=a)b").find_at("ab", 1).span == (1, 2)
    assert kordal.Regex(r"\bb").find_at("ab", 1) is None
    assert kordal.Regex(r"^b").find_at("ab", 1) is None
    assert kordal.Regex("").find_at("aX", 99).span == (2, 2)
    assert kordal.Regex("X").find_at("aX", 99) is None
