"""Patterns that are an alternation of plain strings are matched by the literal
searchers alone; their matches must still be the leftmost-first ones `re`
finds. Every text over a small alphabet (1-, 2- and 4-byte characters) up to a
length, against alternatives that are prefixes, suffixes and extensions of
each other in both orders.
"""

import itertools
import re

import pytest

import kordal_python as kordal

PATTERNS = [
    "a|ab",
    "ab|a",
    "b|ab|abc",
    "abc|bc|b",
    "aa|a|aaa",
    "ca|ac|cab|b",
    "(?:ab|ba)",
    "é|aé|😀a",
    "a😀|😀|ab",
]
ALPHABET = "abcé😀"


def texts(max_len):
    for n in range(max_len + 1):
        for t in itertools.product(ALPHABET, repeat=n):
            yield "".join(t)


def byte_to_cp(text):
    conv, b = {}, 0
    for i, ch in enumerate(text):
        conv[b] = i
        b += len(ch.encode("utf-8"))
    conv[b] = len(text)
    return conv


@pytest.mark.parametrize("pattern", PATTERNS)
def test_matches_agree_with_re(pattern):
    k = kordal.Regex(pattern)
    r = re.compile(pattern)
    for text in texts(5):
        conv = byte_to_cp(text)
        got = [(conv[s], conv[e]) for s, e in (m.span_of(0) for m in k.findall(text))]
        want = [m.span() for m in r.finditer(text)]
        assert got == want, (pattern, text)
        assert k.is_match(text) == (r.search(text) is not None), (pattern, text)


@pytest.mark.parametrize("pattern", ["Sherlock|Holmes|Watson", "Holmes|Holm|Sherlock Holmes"])
def test_long_text_with_matches_at_both_ends(pattern):
    text = "Holmes" + "x" * 1000 + " Sherlock Holmes and Watson " + "y" * 777 + "Watson"
    conv = byte_to_cp(text)
    got = [(conv[s], conv[e]) for s, e in (m.span_of(0) for m in kordal.Regex(pattern).findall(text))]
    assert got == [m.span() for m in re.finditer(pattern, text)]
