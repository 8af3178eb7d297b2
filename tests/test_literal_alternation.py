"""Patterns that are an alternation of plain strings are matched by the literal
searchers alone; their matches must still be the leftmost-first ones `re`
finds. Every text over a small alphabet (1-, 2- and 4-byte characters) up to a
length, against alternatives that are prefixes, suffixes and extensions of
each other in both orders.
"""

import itertools
import random
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
    # In a group, whose span is the match's (and a nesting that is not one).
    "(a|ab)",
    "(?P<w>b|ab|abc)",
    "(?:(ca|ac|cab|b))",
    "((?:aa|a|aaa))",
    "((a|ab))",
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
        groups = range(r.groups + 1)
        got = [[(conv[s], conv[e]) for s, e in (m.span_of(g) for g in groups)]
               for m in k.findall(text)]
        want = [[m.span(g) for g in groups] for m in r.finditer(text)]
        assert got == want, (pattern, text)
        assert k.is_match(text) == (r.search(text) is not None), (pattern, text)


@pytest.mark.parametrize("pattern", ["Sherlock|Holmes|Watson", "Holmes|Holm|Sherlock Holmes"])
def test_long_text_with_matches_at_both_ends(pattern):
    text = "Holmes" + "x" * 1000 + " Sherlock Holmes and Watson " + "y" * 777 + "Watson"
    conv = byte_to_cp(text)
    got = [(conv[s], conv[e]) for s, e in (m.span_of(0) for m in kordal.Regex(pattern).findall(text))]
    assert got == [m.span() for m in re.finditer(pattern, text)]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("filler", ["x", "ň", "😀"])  # each text width
@pytest.mark.parametrize("count,shortest,longest", [(6, 2, 6), (300, 1, 12), (300, 9, 20)])
def test_sets_agree_with_re(seed, filler, count, shortest, longest):
    # A few alternatives (the packed search), hundreds (the multi-literal
    # automaton; long ones add its sampled filter), many of them prefixes
    # of each other in both orders, in texts whose other characters share
    # their low byte with the letters.
    rng = random.Random(seed)
    letters = "abAé" + "šŁ"  # U+0161 and U+0141 have the low bytes of 'a' and 'A'
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(shortest, longest)))
             for _ in range(count)]
    words += [w[: max(shortest, len(w) // 2)] for w in words[:count // 3]]
    pattern = "|".join(words)
    parts = []
    for _ in range(200):
        parts.append(rng.choice(words) if rng.random() < 0.3 else rng.choice(letters + filler * 3))
    text = filler + "".join(parts) + filler
    conv = byte_to_cp(text)
    got = [(conv[s], conv[e]) for s, e in (m.span_of(0) for m in kordal.Regex(pattern).findall(text))]
    assert got == [m.span() for m in re.finditer(pattern, text)]
