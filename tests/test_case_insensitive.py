"""Case-insensitive matching: lowercase mappings, no folding table."""

import pytest

import kordal_python as kordal
from kordal_python import IGNORECASE


@pytest.mark.parametrize("pattern,text,found", [
    ("k", "\u212a", True),         # Kelvin sign lowercases to k
    ("\u212a", "K", True),
    ("s", "\u017f", False),        # long s lowercases to itself
    ("i", "\u0130", False),        # I with dot lowercases to two code points
    ("\u0130", "i", False),
    ("É", "é", True),
    ("σ", "Σ", True),
    ("ς", "Σ", False),             # final sigma is not Σ's lowercase
    (r"\[", "{", False),
    ("abc", "ABC", True),
    (r"\Qa.B\E", "A.b", True),
    ("ǅ", "ǆ", True),              # titlecase digraph lowercases to ǆ
])
def test_literals(pattern, text, found):
    assert kordal.Regex(pattern, IGNORECASE).is_match(text) is found


@pytest.mark.parametrize("pattern,text,found", [
    ("[a-z]+", "HELLO", True),
    ("[^a]", "A", False),
    (r"(a)\1", "aA", True),
    (r"(?i)(é)\1", "éÉ", True),
    (r"(é)(?i:\1)", "éÉ", True),
    (r"(é)\1", "éÉ", False),
])
def test_classes_and_backrefs(pattern, text, found):
    flags = IGNORECASE if "(?" not in pattern and "é" not in pattern else 0
    assert kordal.Regex(pattern, flags).is_match(text) is found


def test_scoped_flag():
    r = kordal.Regex("a(?i:b)c")
    assert [r.is_match(t) for t in ["abc", "aBc", "ABC", "abC"]] == [True, True, False, False]
