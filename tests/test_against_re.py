"""Differential check against `re` on the part of the language both engines share.

Patterns are generated from a small grammar (literals, dot, classes, the
predefined classes, anchors, word boundaries, groups, alternation, greedy,
lazy and possessive quantifiers, atomic groups, lookahead, fixed-width
lookbehind without groups) over a small alphabet with one non-ASCII letter,
so that every construct meets its neighbours often. Constructs whose meaning
differs on purpose (backreferences to unset groups, captures inside
lookbehind, split, templates) are left out, and re's side is walked by
this engine's rule for empty matches. A fixed seed keeps the run
reproducible; a failure prints the pattern and the haystack.
"""

import random
import re
import sys

import pytest

import kordal_python as kordal

# Before 3.11, re knows no atomic groups or possessive quantifiers and keeps
# the captures of a failed negative lookahead, so it is no oracle for them.
pytestmark = pytest.mark.skipif(sys.version_info < (3, 11),
                                reason="re before 3.11 differs in the constructs generated here")

ALPHABET = "abc1 _\né-"
ATOMS = ["a", "b", "c", "é", "1", " ", ".", "[ab]", "[^a]", "[a-c1]", r"\d", r"\w", r"\W", r"\s",
         r"\S", r"\-"]
ANCHORS = ["^", "$", r"\b", r"\B", r"\A", r"\Z"]
QUANTS = ["*", "+", "?", "{2}", "{1,2}", "{0,3}", "{2,}", "*?", "+?", "??", "{1,3}?", "*+", "++",
          "?+"]


def gen(rng, depth=0):
    choice = rng.random()
    if depth > 2 or choice < 0.45:
        piece = rng.choice(ATOMS) if rng.random() < 0.85 else rng.choice(ANCHORS)
    elif choice < 0.6:
        piece = "(" + gen_alt(rng, depth + 1) + ")"
    elif choice < 0.7:
        piece = "(?:" + gen_alt(rng, depth + 1) + ")"
    elif choice < 0.76:
        piece = "(?>" + gen_alt(rng, depth + 1) + ")"
    elif choice < 0.84:
        piece = rng.choice(["(?=", "(?!"]) + gen_alt(rng, depth + 1) + ")"
    elif choice < 0.9:
        width = rng.randint(1, 2)
        body = "".join(rng.choice(["a", "b", "1", ".", "[ab]", r"\w"]) for _ in range(width))
        piece = rng.choice(["(?<=", "(?<!"]) + body + ")"
    else:
        piece = gen_seq(rng, depth + 1)
    if (piece not in ANCHORS and not piece.startswith(("(?<", "(?=", "(?!"))
            and rng.random() < 0.35 and not nullable(piece)):
        piece += rng.choice(QUANTS)
    return piece


def nullable(piece):
    """Whether the piece can match the empty text. Repeating such a piece is
    left out: an iteration that matches nothing ends the repetition here but
    still records its captures, which re does not do."""
    try:
        rx = re.compile(piece)
    except re.error:
        return True
    m = rx.search("ab1 é")
    return rx.fullmatch("") is not None or (m is not None and m.start() == m.end())


def gen_seq(rng, depth):
    return "".join(gen(rng, depth) for _ in range(rng.randint(1, 3)))


def gen_alt(rng, depth):
    alts = [gen_seq(rng, depth) for _ in range(1 if rng.random() < 0.6 else rng.randint(2, 3))]
    return "|".join(alts)


def cp_offsets(text):
    """Byte offset -> code-point index."""
    table = {}
    b = 0
    for i, ch in enumerate(text):
        table[b] = i
        b += len(ch.encode())
    table[b] = len(text)
    return table


def kordal_view(m, conv):
    if m is None:
        return None
    spans = []
    for g in range(len(m)):
        s = m.span_of(g)
        spans.append(None if s is None else (conv[s[0]], conv[s[1]]))
    return spans


def re_view(m):
    if m is None:
        return None
    return [None if m.span(g) == (-1, -1) else m.span(g) for g in range(m.re.groups + 1)]


def re_walk(compiled, text):
    """Successive matches by this engine's rule: after an empty match the next
    search starts one character further on (re.finditer would retry a
    non-empty match at the same position)."""
    out = []
    p = 0
    while p <= len(text):
        m = compiled.search(text, p)
        if m is None:
            break
        out.append(re_view(m))
        p = m.end() if m.end() > m.start() else m.end() + 1
    return out


def make_cases(seed, count):
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        pattern = gen_alt(rng, 0)
        try:
            compiled = re.compile(pattern)
        except re.error:
            continue
        hays = ["".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 8))) for _ in range(6)]
        out.append((pattern, compiled, hays))
    return out


CASES = make_cases(20261208, 1500)


@pytest.mark.parametrize("chunk", range(10))
@pytest.mark.parametrize("flags", [0, re.IGNORECASE | re.MULTILINE | re.DOTALL])
def test_find_and_findall_agree_with_re(chunk, flags):
    kflags = 0
    if flags & re.IGNORECASE:
        kflags |= kordal.IGNORECASE | kordal.MULTILINE | kordal.DOTALL
    failures = []
    for pattern, _, hays in CASES[chunk::10]:
        ours = kordal.Regex(pattern, kflags)
        theirs = re.compile(pattern, flags)
        for h in hays:
            if not h and r"\B" in pattern:
                continue  # re's \B never matches the empty text; ours follows the rule
            conv = cp_offsets(h)
            got = kordal_view(ours.find(h), conv)
            want = re_view(theirs.search(h))
            if got != want:
                failures.append(("find", pattern, h, got, want))
                continue
            got_all = [kordal_view(m, conv) for m in ours.findall(h)]
            want_all = re_walk(theirs, h)
            if got_all != want_all:
                failures.append(("findall", pattern, h, got_all, want_all))
                continue
            got_full = kordal_view(ours.fullmatch(h), conv)
            want_full = re_view(theirs.fullmatch(h))
            if got_full != want_full:
                failures.append(("fullmatch", pattern, h, got_full, want_full))
            if ours.is_match(h) != (want is not None):
                failures.append(("is_match", pattern, h))
    assert not failures, failures[:5]


# Record parsers: a group per field, loops that stop at their delimiter,
# optional and empty fields, over lines shaped like real data (every field
# layout of UnicodeData.txt, log lines, key=value pairs), one search per line
# and one MULTILINE findall over all of them. These are the patterns the
# engine runs without backtracking, so spans, captures and lastindex are
# compared field by field.
UCD = r"^([A-Z0-9]+);([^;]+);([^;]+);([0-9]+);([^;]+);([^;]*);([0-9]*);([0-9]*);([-0-9/]*);([YN]);([^;]*);([^;]*);([^;]*);([^;]*);([^;]*)$"
RECORD_CASES = [
    (UCD, [
        "0000;<control>;Cc;0;BN;;;;;N;NULL;;;;",
        "0041;LATIN CAPITAL LETTER A;Lu;0;L;;;;;N;;;;0061;",
        "00BD;VULGAR FRACTION ONE HALF;No;0;ON;<fraction> 0031 2044 0032;;;1/2;N;FRACTION ONE HALF;;;;",
        "0660;ARABIC-INDIC DIGIT ZERO;Nd;0;AN;;0;0;0;N;;;;;",
        "1F600;GRINNING FACE;So;0;ON;;;;;N;;;;;",
        "0041;MISSING FIELDS;Lu;0;L",
        "0041;BAD FLAG;Lu;0;L;;;;;X;;;;;",
        "0041;ÉTRANGE;Lu;0;L;;;;;N;;;;;",
        "",
    ]),
    (r"(\w+)=(\w+)", ["key1=value1", "a=b", "=x", "x=", "k é=v", "many a=b c=d", "no pair"]),
    (r"^(\d{4})-(\d\d)-(\d\d) (\S+) \[(\w+)\] (.*)$", [
        "2026-12-09 05:30:49 [INFO] started",
        "2026-12-09 05:30:49 [ERROR] ",
        "2026-12-9 05:30:49 [INFO] short day",
        "2026-12-09 05:30:49 [INFO] trailing\n",
    ]),
    (r"(\d+)(?:\.(\d+))?(?:\.(\d+))?(-\w+)?", ["1", "1.2", "1.2.3", "1.2.3-rc1", "v10.0-", "1..2"]),
    (r"\b(\w+)@(\w+)\.(com|org)\b", ["mail bob@example.com now", "x@y.org", "a@b.net", "@c.com"]),
]


@pytest.mark.parametrize("pattern,lines", RECORD_CASES)
def test_record_parsers_agree_with_re(pattern, lines):
    ours, theirs = kordal.Regex(pattern), re.compile(pattern)
    failures = []
    for line in lines:
        conv = cp_offsets(line)
        m, w = ours.find(line), theirs.search(line)
        if kordal_view(m, conv) != re_view(w):
            failures.append(("find", line, kordal_view(m, conv), re_view(w)))
        elif m is not None:
            if m.lastindex != w.lastindex:
                failures.append(("lastindex", line, m.lastindex, w.lastindex))
            for g in range(1, len(m)):
                want = [] if w.group(g) is None else [w.group(g)]
                if m.captures(g) != want:
                    failures.append(("captures", line, g, m.captures(g), want))
        mm, ww = ours.match_at_start(line), theirs.match(line)
        if kordal_view(mm, conv) != re_view(ww):
            failures.append(("match", line, kordal_view(mm, conv), re_view(ww)))
    text = "\n".join(lines)
    multi = kordal.Regex(pattern, kordal.MULTILINE)
    got = [kordal_view(m, cp_offsets(text)) for m in multi.findall(text)]
    want = re_walk(re.compile(pattern, re.MULTILINE), text)
    if got != want:
        failures.append(("findall", got, want))
    assert not failures, failures[:5]
