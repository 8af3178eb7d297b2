"""Patterns that begin with a word assertion, against `re`, in each str width.

Such a search finds its starts by hopping over word runs and the gaps
between them, resumes after a failed attempt at the end of the word run its
first loop scanned, and its single-character loops read eight code units at
a time with a unit-by-unit fallback for wider code points. Runs of every
length up to past eight units, with wide letters inside and around them,
meet each of those paths. Every text runs as 1-, 2- and 4-byte storage (a
non-word character of the width appended, since re and kordal must agree
on any text).
"""

import random
import re

import pytest

from kordal_python import re as kre

PATTERNS = [
    r"\b(\w+)\s+\1\b",
    r"\b\w+b",
    r"\b(\w+) ",
    r"\b[\w ]+b",
    r"\b[^a]\w*",
    r"\b(\w)\w*\1",
    r"\b\w{2}",
    r"\b\w*?b",
    r"(?a:\b)(\w+)",
    r"\b(?a:\w)+",
    r"\b(\w+)\W+\1",
    r"\b\w+(?<=b)",
    r"\b([a ]+)-\1",
]

PIECES = ["a", "b", " ", "é", "Ж", "-", "\n", "ab", "aaaaaaaab", "ЖЖЖЖЖЖЖЖЖ", "ab ab", "b  b"]


def texts():
    rng = random.Random(1616)
    out = ["", "a", "ab ab", "the the cat", "aaaaaaaaaaaa aaaaaaaaaaaa", "ЖaЖaЖaЖaЖ ЖaЖaЖaЖaЖ",
           "a a-a", "b a a-a a"]
    for _ in range(150):
        out.append("".join(rng.choice(PIECES) for _ in range(rng.randint(1, 12))))
    return out


def widths(text):
    # é and Ж are word characters to both engines, so swapping them keeps
    # every word where it is.
    return [text.replace("Ж", "é"), text + "♫", text + "\U0001F600"]


def found(compiled, text):
    return [(m.span(), m.groups()) for m in compiled.finditer(text)]


@pytest.mark.parametrize("pattern", PATTERNS)
def test_word_led_findall_matches_re(pattern):
    ours, theirs = kre.compile(pattern), re.compile(pattern)
    for text in texts():
        for t in widths(text):
            assert found(ours, t) == found(theirs, t), (pattern, t)


@pytest.mark.parametrize("width", ["", "♫", "\U0001F600"])
def test_repeated_words_in_long_text(width):
    words = ["the", "cat", "sat", "on", "a", "mat", "ЖЖ", "ééééééééééé"] * 3
    rng = random.Random(7)
    text = " ".join(rng.choice(words) for _ in range(3000)) + width
    pattern = r"\b(\w+)\s+\1\b"
    got = found(kre.compile(pattern), text)
    assert got and got == found(re.compile(pattern), text)
