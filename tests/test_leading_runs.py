"""Patterns whose every match begins with a run of code points from one set
(`[aeiou]{3,}`, `\\b\\w{7}\\b`) have the automaton skip to where such a run
begins. The skip reads the text, or a wide str's 1-byte copy, where 0xFF
stands for every code point above 0xFE: sets holding 0xFF or code points
above it must skip neither too far nor onto the wrong units."""

import random
import re

import pytest

import kordal_python as kordal

POOLS = {
    "1-byte": "aeiou bcdxyz\n\u00ff\u00fe\u00e9",
    "2-byte": "aeiou bcdxyz\n\u00ff\u00fe\u0141\u0436\u0100",
    "4-byte": "aeiou bcdxyz\n\u00ff\u0141\u0436\U0001f600",
}

PATTERNS = [
    r"[aeiou]{3,}", r"(?i)[AEIOU]{3,}", r"\b\w{7}\b", r"[a-z]{4}", "[\u00ffa]{2,}",
    "[\u0141e]{2}", "[\u0436o]{3}", r"(?:ae){2}", r"[bcd]{2}y?", r"(?<=z)[aeiou]{2}",
    r"[^aeiou\s]{3}", r"\W{2}",
]


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("kind", POOLS)
def test_runs_agree_with_re(pattern, kind):
    rng = random.Random(pattern + kind)
    pool = POOLS[kind]
    # Long enough for the wide str's copy and the vector loops, searched
    # three times: before and after the copy exists.
    text = "".join(rng.choice(pool) for _ in range(70_000))
    want = [m.span() for m in re.finditer(pattern, text)]
    r = kordal.Regex(pattern)
    for _ in range(3):
        assert [m.char_span() for m in r.finditer(text)] == want
    short = text[:300]
    assert [m.char_span() for m in r.finditer(short)] == [
        m.span() for m in re.finditer(pattern, short)]
