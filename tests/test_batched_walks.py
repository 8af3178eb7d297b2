"""Walks over long texts run their searches in batches and build the results
of a batch afterwards (findall, split, a template replacement). The results
must be those of the match-by-match walk (find_at from each match's end, a
replacement function) whatever falls on a batch's edge: a batch ends after a
thousand matches or a million code points, so the texts here are long enough
to cross either kind of edge, in each width of str. finditer reads ahead a
batch at a time too.
"""

import re
import subprocess
import sys

import pytest

import kordal_python as kordal

# Prefixes that make the text 1, 2 and 4 bytes per code point, and the byte
# offsets of everything after them differ from the code-point indices.
WIDTHS = {"ascii": "", "latin1": "\xe9", "bmp": "\u0416\u4e2d", "astral": "\U0001f600"}

PROSE = "lorem ipsum dolor sit amet, consectetur adipiscing elit\n"


def mail_text(wide):
    lines = [PROSE if i % 50 else f"to{wide} user{i}@example.org now\n" for i in range(20_000)]
    return "".join(lines)


def fields_text(wide):
    lines = []
    for i in range(6_000):
        if i % 7 == 3:
            lines.append(f"no fields here {wide}\n")
        else:
            lines.append(f"{i:04X};name{wide} {i};Lu;0;L;" + ";" * (i % 5) + "N;\n")
    return "".join(lines)


# (name, pattern, text builder over the width's characters)
CASES = [
    # tens of thousands of matches: many batches ended by their count
    ("dense words", r"\w+", lambda w: ("ab cd" + w + " ") * 6_000),
    # sparse matches over 1.1M code points: batches ended by the text covered
    ("sparse mail", r"[\w.+-]+@[\w.-]+\.[\w.-]+", mail_text),
    # an empty match at every position, some next to non-empty ones
    ("empty and not", r"x*", lambda w: ("xxy" + w + "y") * 4_000),
    ("empty only", r"(?=y)", lambda w: ("xy" + w) * 6_000),
    # groups that do not take part, and groups repeated (histories)
    ("optional group", r"(a)?b(c)?", lambda w: ("ab b bc" + w) * 3_000),
    ("repeated group", r"(?:(a)|(b)|" + "\\w" + r")+", lambda w: ("aab ba" + w + " ") * 3_000),
    ("backreference", r"\b(\w+)\s+\1\b", lambda w: (PROSE + "the the " + w + "\n") * 16_000),
    # a needle (`;`) on every line, many times, and on some lines not at all
    ("fields", r"(?m)^(\w+);([^;]*);", fields_text),
    # line ends after spaces, blank lines, a match across lines
    ("line-end spaces", r"(?m)\s+$", lambda w: ("ab " + w + " \n\n" + PROSE + "x\n \n") * 2_000),
    # a string, case-insensitive
    ("case-folded string", r"(?i)the", lambda w: ("The tHE other" + w + " thE\n") * 3_000),
    # lines that begin with a word and a rare `:`, and `:` elsewhere
    ("line starts", r"(?m)^\w+:", lambda w: (PROSE * 30 + "key: value\na b: c" + w + "\n:x\n") * 250),
    # a run of classes found by its narrow positions: digit runs, letters
    # without digits, and wide code points inside near misses
    ("class run", r"[a-z]{3}[0-9]{3}",
     lambda w: ("id abc123 x12345 abcd99 ab" + w + "123 q" + w + "x999 zzz7890\n") * 3_000),
]
CASE_IDS = [c[0] for c in CASES]


def walk_with_find_at(r, text):
    """The walk one search at a time: find_at from each match's byte end, one
    code point on after an empty match."""
    out, at = [], 0
    while (m := r.find_at(text, at)) is not None:
        out.append(m)
        s, e = m.char_span()
        if e == s == len(text):
            break
        at = m.end if e > s else m.end + len(text[e].encode())
    return out


def summary(m):
    groups = range(m.capture_count + 1)
    return (m.span, m.char_span(), [m.span_of(g) for g in groups],
            [m.char_span(g) for g in groups], m.all_captures, m.lastindex)


def split_from_matches(r, text):
    """split rebuilt from finditer: the text between matches, each followed
    by its groups ("" for one that did not take part) and, after an empty
    match, the code point it stood before."""
    out, at = [], 0
    for m in r.finditer(text):
        s, e = m.char_span()
        out.append(text[at:s])
        out.extend(g if g is not None else "" for g in m.groups[1:])
        if s == e and s < len(text):
            out.append(text[s])
        at = e if e > s else e + 1
    out.append(text[min(at, len(text)):])
    return out


@pytest.mark.parametrize("width", sorted(WIDTHS))
@pytest.mark.parametrize("name,pattern,make", CASES, ids=CASE_IDS)
def test_findall_equals_the_match_by_match_walk(name, pattern, make, width):
    r = kordal.Regex(pattern)
    text = make(WIDTHS[width])
    batched = r.findall(text)
    assert len(batched) > 200
    expected = [summary(m) for m in walk_with_find_at(r, text)]
    assert [summary(m) for m in batched] == expected
    assert [summary(m) for m in r.finditer(text)] == expected
    assert all(m.input == text for m in batched[:3])


# Cases whose patterns mean the same to `re`: its walk is an oracle too.
RE_CASES = [c for c in CASES if c[0] in ("dense words", "fields", "line-end spaces",
                                          "case-folded string", "class run",
                                          "line starts")]


@pytest.mark.parametrize("width", sorted(WIDTHS))
@pytest.mark.parametrize("name,pattern,make", RE_CASES, ids=[c[0] for c in RE_CASES])
def test_findall_agrees_with_re(name, pattern, make, width):
    text = make(WIDTHS[width])
    got = [(m.char_span(), m.groups[1:]) for m in kordal.Regex(pattern).finditer(text)]
    want = [(m.span(), list(m.groups())) for m in re.finditer(pattern, text)]
    assert got == want


@pytest.mark.parametrize("width", sorted(WIDTHS))
@pytest.mark.parametrize("name,pattern,make", CASES, ids=CASE_IDS)
def test_split_equals_the_match_by_match_walk(name, pattern, make, width):
    r = kordal.Regex(pattern)
    text = make(WIDTHS[width])
    assert r.split(text) == split_from_matches(r, text)


@pytest.mark.parametrize("name,pattern,make", CASES, ids=CASE_IDS)
def test_split_reference_agrees_on_short_texts(name, pattern, make):
    # The rebuilt split is checked against the unbatched walk too.
    r = kordal.Regex(pattern)
    text = make("\u0416")[:200]
    assert r.split(text) == split_from_matches(r, text)


@pytest.mark.parametrize("width", ["ascii", "astral"])
@pytest.mark.parametrize("name,pattern,make", CASES, ids=CASE_IDS)
def test_template_replacement_equals_the_function_walk(name, pattern, make, width):
    r = kordal.Regex(pattern)
    text = make(WIDTHS[width])
    template = "<$0|$1>" if r.capture_count else "<$0>"
    assert r.replace_all(text, template) == r.replace_all(text, lambda m: m.expand(template))
    assert r.replace(text, template) == r.replace(text, lambda m: m.expand(template))


# A walk of short steps polls at every batch; with a deadline already past,
# the first poll stops it. (A walk that never polled finished instead.)
@pytest.mark.parametrize("call", [
    lambda r, t: r.findall(t),
    lambda r, t: r.split(t),
    lambda r, t: r.replace_all(t, "-"),
    lambda r, t: list(r.finditer(t)),
], ids=["findall", "split", "replace_all", "finditer"])
def test_batched_walks_see_time_limits(call):
    r = kordal.Regex(r"\w+")
    text = "ab " * 100_000
    with pytest.raises(TimeoutError):
        with kordal.time_limit(0):
            call(r, text)
    assert len(r.findall(text)) == 100_000


# The main thread's findall crosses many batches of short matches and then
# reaches a tail no machine can finish (2^40 ways to split the run before the
# failure, a lookbehind keeping it off the automata and the memo), so it ends
# only by the signal. The other thread is told the walk is about to begin;
# it can run only once the main thread gives up the lock, which it first
# does inside the walk, so the signal cannot come before it.
SCRIPT_HEAD = """
import os, signal, threading
import kordal_python as kordal
started = threading.Event()
def interrupter():
    started.wait()
    os.kill(os.getpid(), signal.SIGINT)
r = kordal.Regex(r"ab|(?:x+x+)+y(?<=y)")
text = "ab " * 200_000 + "x" * 40 + "z"
threading.Thread(target=interrupter, daemon=True).start()
"""

INTERRUPT_SCRIPT = SCRIPT_HEAD + """
try:
    started.set()
    r.findall(text)
    print("finished")
except KeyboardInterrupt:
    print("interrupted", len(r.findall("ab " * 100_000)))
"""


def test_interrupt_during_a_batched_findall():
    out = subprocess.run([sys.executable, "-c", INTERRUPT_SCRIPT], capture_output=True,
                         text=True, check=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "100000"], out.stdout


# The same tail under finditer, which reads ahead: the matches its batch found
# before the signal are handed out after it, none lost or repeated. The walk
# runs inside list.extend, which keeps what it took before the exception and
# runs no bytecode between items: a handler run between bytecodes would drop
# the item the loop had just taken, whatever the iterator. No forced thread
# switches, so the signal comes from inside the walk (see above).
FINDITER_INTERRUPT_SCRIPT = SCRIPT_HEAD.replace("import os,", "import sys, os,") + """
sys.setswitchinterval(1e6)
it = r.finditer(text)
got = []
try:
    started.set()
    got.extend(it)
    print("finished")
except KeyboardInterrupt:
    while len(got) < 200_000:
        got.append(next(it))
    bad = [i for i, m in enumerate(got) if m.span != (3 * i, 3 * i + 2)]
    print("interrupted", len(got), bad[:1])
"""


def test_interrupt_during_a_finditer_keeps_the_matches_found_ahead():
    out = subprocess.run([sys.executable, "-c", FINDITER_INTERRUPT_SCRIPT], capture_output=True,
                         text=True, check=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "200000", "[]"], out.stdout
