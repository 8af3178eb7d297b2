"""Backreferences, including to unset groups (which match empty).

The tables of cases are in tests/data/backrefs.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import random
import re

import pytest

import kordal_python as kordal
import kordal_python.re as kre


def test_backref_uses_latest_capture():
    m = kordal.Regex(r"(?:(\w)\1)+").find("aabbcd")
    assert m.span == (0, 4) and m.captures(1) == ["a", "b"]


# Patterns that begin with one code point twice are searched at equal
# neighbours only; case-insensitive references and longer groups are not.
# Held to `re` (through kordal_python.re, for its positions in characters)
# over texts of each width, with doubles at the text's edges.
@pytest.mark.parametrize("pattern", [
    r"(.)\1", r"(\w)\1+", r"([ab])\1b", r"(\w)\1(?!\1)", r"(?i)(a)\1", r"(ab|b)\1", r"x?(.)\1",
    r"(\d)\1\d", "(\u00e9)\\1",
])
@pytest.mark.parametrize("alphabet", ["ab1 x", "ab\u00e9\u0436 A", "aAb\U0001F600 1"],
                         ids=["1-byte", "2-byte", "4-byte"])
def test_doubled_leads_agree_with_re(pattern, alphabet):
    rng = random.Random(pattern + alphabet)
    compiled, mine = re.compile(pattern), kre.compile(pattern)
    for _ in range(40):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 60)))
        text = rng.choice(["", "aa", "\U0001F600\U0001F600"]) + text + rng.choice(["", "bb", "x"])
        want = [m.span() for m in compiled.finditer(text)]
        got = [m.span() for m in mine.finditer(text)]
        assert got == want, (pattern, text)
