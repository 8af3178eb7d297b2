"""Backreferences, including to unset groups (which match empty)."""

import pytest

import kordal_python as kordal


@pytest.mark.parametrize("pattern,text,span", [
    (r"(a)?b\1", "b", (0, 1)),          # unset group: empty
    (r"(a)|b\1", "b", (0, 1)),
    (r"(a*)b\1", "aabaa", (0, 5)),
    (r"(a*)b\1", "aaba", (1, 4)),
    (r"^(a*)b\1$", "aaba", None),
    (r"(\w+) \1", "hello hello", (0, 11)),
    (r"(?P<x>é+)-(?P=x)", "éé-éé", (0, 9)),
    (r"(?P<x>a)\k<x>", "aa", (0, 2)),
    (r"(a)(?:b\1)+", "ababab", (0, 5)),
    (r"((a)|b)+\2", "aba", (0, 3)),
    (r"(?:(a)|(b))\2c", "ac", (0, 2)),  # a group that exists but did not take part
    (r"(?:(a)|b)\1c", "bc", (0, 2)),
])
def test_backrefs(pattern, text, span):
    m = kordal.Regex(pattern).find(text)
    assert (m.span if m else None) == span


def test_backref_uses_latest_capture():
    m = kordal.Regex(r"(?:(\w)\1)+").find("aabbcd")
    assert m.span == (0, 4) and m.captures(1) == ["a", "b"]
