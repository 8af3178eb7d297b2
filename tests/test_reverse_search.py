"""Searches that start from a literal inside or at the end of the match.

Patterns shaped prefix + literal + rest are searched from the literal
backwards when the prefix cannot hold the literal's first character, or when
the prefix is one repeated class that holds the literal. These
tests hold such patterns, and near misses that must not be searched that way
(optional parts before the literal, nested suffix literals), to `re`'s
answers on texts of every code-unit width, with the literal occurring often,
rarely, and inside longer matches. Patterns anchored at the end are searched
from there backwards, and a rare literal that every match ends with is
checked for before a search; those are held to `re` too.
"""

import random
import re

import pytest

import kordal_python as kordal

PREFIXES = [r"[\w.+-]+", r"\w+", r"[a-z]+", r"[ab]*", r"(?:ab|b)+", r"[^ @]+", r"(\w+)", r"a?b+",
            r"[a-z]{2,}", r"\d+[:.]?"]
LITERALS = ["@", "ing", "://", ":", "ab", " a"]
RESTS = ["", r"[\w.-]+\.[\w.-]+", r"\w*", r"(b|ab)", r"[^ ]*x", r"\b", "$", r"(\d{2})"]
ALPHABETS = ["ab @:.ingx", "ab @:.ingxé", "ab @:/ing\U0001F600", "12:.3 ab"]


def cp_offsets(text):
    table, b = {}, 0
    for i, ch in enumerate(text):
        table[b] = i
        b += len(ch.encode())
    table[b] = len(text)
    return table


def view(m, conv):
    if m is None:
        return None
    return [None if m.span_of(g) is None else (conv[m.span_of(g)[0]], conv[m.span_of(g)[1]])
            for g in range(len(m))]


def re_view(m):
    if m is None:
        return None
    return [None if m.span(g) == (-1, -1) else m.span(g) for g in range(m.re.groups + 1)]


def re_walk(compiled, text):
    out, p = [], 0
    while p <= len(text):
        m = compiled.search(text, p)
        if m is None:
            break
        out.append(re_view(m))
        p = m.end() if m.end() > m.start() else m.end() + 1
    return out


def texts(rng, alphabet):
    out = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12))) for _ in range(8)]
    # Long texts: many candidates, most failing, and matches far apart.
    out.append("".join(rng.choice(alphabet) for _ in range(400)))
    out.append("xy " * 300 + "ab@cd.ef bring 12:34 a://b")
    return out


def check(pattern, hays):
    ours, theirs = kordal.Regex(pattern), re.compile(pattern)
    failures = []
    for h in hays:
        conv = cp_offsets(h)
        want = re_view(theirs.search(h))
        got = view(ours.find(h), conv)
        if got != want:
            failures.append(("find", pattern, h, got, want))
            continue
        if ours.is_match(h) != (want is not None):
            failures.append(("is_match", pattern, h))
        got_all = [view(m, conv) for m in ours.findall(h)]
        if got_all != re_walk(theirs, h):
            failures.append(("findall", pattern, h[:60]))
    return failures


@pytest.mark.parametrize("alphabet", ALPHABETS)
@pytest.mark.parametrize("prefix", PREFIXES)
def test_prefix_literal_rest_agree_with_re(prefix, alphabet):
    rng = random.Random(f"{prefix}{alphabet}")
    failures = []
    for lit in LITERALS:
        for rest in RESTS:
            failures += check(prefix + re.escape(lit) + rest, texts(rng, alphabet + lit))
    assert not failures, failures[:5]


@pytest.mark.parametrize("pattern,text,span", [
    # An optional part before the inner literal: the match starts at it.
    (r"(?:(\d+)[:.])?(\d{1,2})[:.](\d{2})", "888:77:66", (0, 9)),
    # A suffix literal nested in another: the longer alternative starts first.
    (r"a|.aa", "-#aa", (1, 4)),
    (r"x..c|ac", "xacc", (0, 4)),
    # The first occurrence of the literal lies inside a longer match.
    (r"[a-z]+ing", "xinginging", (0, 10)),
    (r"[ab]{3,}ab", "abab ababab", (5, 11)),
    (r"\w+@\w+\.com", "me@x ab@cd.com", (5, 14)),
    (r"[\w.+-]+@[\w.-]+\.[\w.-]+", "@@ a.b@c@d.e", (7, 12)),
])
def test_known_traps(pattern, text, span):
    m = kordal.Regex(pattern).find(text)
    assert m is not None and m.span == span
    assert re.search(pattern, text).span() == span


END_ANCHORED = [r"(a|aa)+$", r"(\w+\s?)+$", r"\w+$", r"(?:a|a\n)$", r"(a\n|a)$", r"a\n??$",
                r"[^a]*$", r"(a|b)(\w*)$", r"^a+$", r"(?:a+)+$|b", r"é+\n?$"]
RARE_SUFFIXES = [r"(a+)+b", r"(a+)+(?:bb|ab)", r"a\w*(?:xb|ab)", r"(a|é)+b", r"a*b"]


@pytest.mark.parametrize("alphabet", ["ab \n", "ab \né", "ab \n\U0001F600"])
@pytest.mark.parametrize("pattern", END_ANCHORED + RARE_SUFFIXES)
def test_end_anchors_and_rare_suffixes_agree_with_re(pattern, alphabet):
    # Searched from the end of the text, or after a check for the literal
    # every match ends with; texts of every code-unit width, many ending
    # with a line feed, and runs that a start-by-start search pays for (short
    # enough for `re`, which backtracks over them).
    rng = random.Random(f"{pattern}{alphabet}")
    hays = [h for h in texts(rng, alphabet) if "x" not in h]
    hays += [h + "\n" for h in hays[:8]]
    hays += ["a" * 12 + "b", "a" * 12 + "\n", "a" * 12 + "!", alphabet[-1] * 12 + "\n\n"]
    failures = check(pattern, hays)
    assert not failures, failures[:5]


OCTET = r"(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)"
COUNTED = [
    rf"(?:{OCTET}\.){{3}}{OCTET}",
    r"(?:([0-9]+)[.:]){2}([0-9]{2})",
    r"(?:[a-z]+\.){2,}[a-z]+",
    r"(?:ab?:){1,3}b",
    r"(?:a+:){1,3}?b",
    r"(?:(?:[ab]+\.){2}b){1,2}",
    r"((a)\.){2,3}",
    r"\b(?:[0-9]+\.){2}[0-9]+\b",
    r"(?:\d+\.){2}\d+",
    # Near misses: the body can hold the literal, may run no time, or has the
    # literal in one alternative only.
    r"(?:[a.]+\.){2}a",
    r"(?:a\.){0,2}\.b",
    r"(?:b\.|a){2}",
]


@pytest.mark.parametrize("alphabet", ["12.5 ab:", "12.5 ab:\u00e9", "12.5 ab:\u0663",
                                      "12.5 ab:\U0001D7D9"])
@pytest.mark.parametrize("pattern", COUNTED)
def test_counted_repetitions_agree_with_re(pattern, alphabet):
    # Texts of every code-unit width; the literal follows both characters
    # the prefix can end with and characters it cannot.
    rng = random.Random(f"{pattern}{alphabet}")
    hays = texts(rng, alphabet)
    hays += ["1.2.3.4", "a1.22.255.4", "256.1.1.1.1", "1.2.3", "a.b.c", "a:ab:b", "ab.a.b..a.a.b",
             "x." * 200 + "192.168.0.1" + alphabet[-1]]
    failures = check(pattern, hays)
    assert not failures, failures[:5]


# A prefix that ends with digits or word characters, before a literal common
# in text: occurrences are found with the unit before them, and where that
# unit can lie above 255 (an Arabic-Indic or full-width digit, a Cyrillic
# letter) by a second scan. Long texts in 2- and 4-byte storage, each
# searched three times (the later ones through a 1-byte copy of the text).
@pytest.mark.parametrize("pattern", [
    r"\d{2}-\d", r"\d+\.\d+", r"(\d{4})-(\d{2})", r"\w+:\d", r"[0-9]+\.\d",
])
@pytest.mark.parametrize("extra", ["", "😀"], ids=["2-byte", "4-byte"])
def test_literals_after_units_above_255(pattern, extra):
    check_long_text_thrice(pattern, "12-.: a\u0663\uff15\u0436\u00ff" + extra, 120_000)


def check_long_text_thrice(pattern, alphabet, size):
    # Three searches of one long text: the later ones read its 1-byte copy.
    rng = random.Random(pattern + alphabet)
    hay = "".join(rng.choice(alphabet) for _ in range(size))
    failures = []
    for _ in range(3):
        failures += check(pattern, [hay])
    assert not failures, failures[:2]


# Prefixes that can hold the literal, which the reverse search refuses: the
# forward scans run in windows that the prefixes' reverse scan bounds. Long
# texts in 2- and 4-byte storage, searched three times (the later ones
# through a 1-byte copy that the automata read where 0xFF and the code
# points above it are alike for the pattern, and only there).
@pytest.mark.parametrize("pattern", [
    r"\w+\s+ab", r"(?:ab|b)+ a", r"[a-z]+ ?[a-z]*ab", r"(\w+) (\w+) ab", r"a.{0,3}b ",
    r"[^ ]+ ab", "[^\u0140 ]{2,} ab",
])
@pytest.mark.parametrize("extra", ["\u0140", "\U0001F600"], ids=["2-byte", "4-byte"])
def test_windows_of_inner_literals(pattern, extra):
    check_long_text_thrice(pattern, "ab  .xy\u00ff\u0100" + extra, 100_000)


# Patterns whose matches end at line ends and hold no line feed search from
# line end to line end, passing over lines whose last code point cannot end
# a match; that code point may lie above 255 (0xFF stands for all of them
# in the 1-byte copy the later searches read). Lines are short and long,
# empty, and the text may end without a line feed.
@pytest.mark.parametrize("pattern", [
    r"(?m)[ \t]+$", r"(?m)\w+$", r"(?m)[^ ]$", "(?m)\u0436$", r"(?m)(a|b )+$", r"(?m)a*$",
    "(?m)[a\u00ff]{2}$", r"(?m)\d+\.?$", r"(?m)(\w)(\w)?$", r"(?m)[^\n]*\u0100$",
])
@pytest.mark.parametrize("extra", ["", "\u0436\u0100", "\U0001F600"],
                         ids=["1-byte", "2-byte", "4-byte"])
def test_line_end_windows(pattern, extra):
    check_long_text_thrice(pattern, "ab \t\n\n.1\u00ff" + extra, 100_000)
