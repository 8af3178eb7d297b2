"""Lookahead and unbounded lookbehind, and what they do to captures."""

import pytest

import kordal_python as kordal


@pytest.mark.parametrize("pattern,text,span,groups", [
    ("(?<=a+)b", "aaab", (3, 4), ["b"]),
    ("(?<=a+)b", "b", None, None),
    ("(?<=(a))b", "ab", (1, 2), ["b", None]),       # lookbehind drops captures
    ("(?<!(a))b", "cb", (1, 2), ["b", None]),
    ("(?=(a))a", "a", (0, 1), ["a", "a"]),          # positive lookahead keeps them
    ("(?!(a)b)a", "ac", (0, 1), ["a", None]),       # a failed negative one drops them
    ("(?!(a)b)(a)", "ab ac", (3, 4), ["a", None, "a"]),
    ("(?<=^|,)x", "a,x", (2, 3), ["x"]),
    (r"(?<=\d{2,})x", "1x22x", (4, 5), ["x"]),
    ("(?<=ab|b)c", "bc", (1, 2), ["c"]),
    ("(?<=a.*)z", "a\nz", None, None),
    ("(?<=(?=ab)a)b", "ab", (1, 2), ["b"]),
    ("x(?=y)", "xzxy", (2, 3), ["x"]),
    ("x(?!y)", "xyxz", (2, 3), ["x"]),
    ("(?=a)*b", "b", (0, 1), ["b"]),
    (r"(?<=\bfoo)bar", "foobar xfoobar", (3, 6), ["bar"]),
    ("(?<=é)b", "éb", (2, 3), ["b"]),
    ("(?<!é)b", "éb b", (4, 5), ["b"]),
])
def test_lookaround(pattern, text, span, groups):
    m = kordal.Regex(pattern).find(text)
    if span is None:
        assert m is None
    else:
        assert (m.span, m.groups) == (span, groups)


def test_lookbehind_is_bounded_by_the_whole_text():
    # Lookbehind runs its child from every earlier start; the child may be
    # unbounded and may reach back to the very beginning.
    text = "a" * 2000 + "b"
    assert kordal.Regex("(?<=^a*)b").find(text).span == (2000, 2001)
    assert kordal.Regex("(?<!^a*)b").find(text) is None
