"""Regex.stream: the matches of one findall over the concatenated pieces,
each returned once more text cannot change it, in bounded memory."""

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import kordal_python as kordal


def key(m):
    return (m.span, m.char_span(), m.groups, m.all_captures, m.lastindex)


def streamed(regex, chunks):
    s = regex.stream()
    out = []
    for c in chunks:
        out += s.feed(c)
    out += s.close()
    return out


def cut(text, points):
    points = sorted(points)
    return [text[a:b] for a, b in zip([0] + points, points + [len(text)])]


def check(pattern, text, chunks):
    r = kordal.Regex(pattern)
    assert "".join(chunks) == text
    got = [key(m) for m in streamed(r, chunks)]
    want = [key(m) for m in r.findall(text)]
    assert got == want, (pattern, text, chunks)


# --- generated patterns and chunkings --------------------------------------------------------

ATOMS = ["a", "b", "ab", "ba", " ", "é", "[ab]", r"\w", r"\W", ".", r"\s", r"[^a]"]
ASSERTIONS = [r"\b", r"\B", "$", r"\Z", "^", r"\A", "(?m:$)", "(?m:^)", r"\M", r"\m",
              "(?=a)", "(?!b)", "(?=a b)", "(?<=a)", "(?<!b)", "(?<=a b)", "(?<=[ab]+)",
              "(?<!^a)"]
QUANTS = ["*", "+", "?", "*?", "+?", "??", "{1,2}", "{2}", "*+", "{0,3}?"]


def patterns():
    leaf = st.sampled_from(ATOMS + ASSERTIONS)

    def extend(inner):
        return st.one_of(
            st.tuples(inner, inner).map("".join),
            st.tuples(inner, st.sampled_from(QUANTS)).map(lambda t: f"(?:{t[0]}){t[1]}"),
            st.tuples(inner, inner).map(lambda t: f"{t[0]}{t[1]}|{t[0]}"),  # longer first
            st.tuples(inner, inner).map(lambda t: f"(?:{t[0]}|{t[1]})"),
            inner.map(lambda p: f"({p})"),
            inner.map(lambda p: f"({p})\\1"),
            inner.map(lambda p: f"(?>{p})"),
            inner.map(lambda p: f"(?={p})"),
            inner.map(lambda p: f"(?<={p})"),
        )

    return st.recursive(leaf, extend, max_leaves=6)


TEXTS = st.text(alphabet="ab é\n", max_size=24)


@st.composite
def case(draw):
    pattern = draw(st.sampled_from(["", "", "(?i)", "(?s)", "(?m)"])) + draw(patterns())
    try:
        kordal.Regex(pattern)
    except ValueError:
        assume(False)
    text = draw(TEXTS)
    points = draw(st.lists(st.integers(0, len(text)), max_size=8))
    return pattern, text, cut(text, points)


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.filter_too_much])
@given(case())
def test_stream_equals_findall(c):
    check(*c)


@settings(max_examples=200, deadline=None)
@given(patterns(), TEXTS)
def test_one_code_point_at_a_time(pattern, text):
    try:
        kordal.Regex(pattern)
    except ValueError:
        assume(False)
    check(pattern, text, [c for ch in text for c in (ch, "")])


# --- the cases a naive chunked search gets wrong -----------------------------------------------

REGRESSIONS = [
    (r"<[^>]*>|\w+", "<a b> c", ["<a", " b", "> c"]),
    (r"<[^>]*>|\w+", "<a b> c", list("<a b> c")),
    (r"a\b", "ab a", ["a", "b a"]),
    (r"a$", "aa", ["a", "a"]),
    (r"a\Z", "aa", ["a", "a"]),
    (r"a(?=b)", "aab", ["a", "a", "b"]),
    (r"a\M", "aab a", ["a", "a", "b a"]),
    (r"\d{4}-\d{2}-\d{2}", "20x2026-12-08", ["20x", "2026-1", "2-08"]),
    (r"(a)+|ab", "aaab", ["a", "a", "a", "b"]),
    (r"(?<=ab)c", "abc", ["a", "b", "c"]),
    (r"(?<=a.*)c", "a" + "x" * 50 + "c", ["a", "x" * 50, "c"]),
    (r"(\w)\1", "abba", ["ab", "b", "a"]),
    (r"x*", "axxb", ["a", "x", "x", "b"]),
    (r"", "ab", ["", "a", "", "b", ""]),
    (r"(?m)^\w+$", "ab\ncd\n", ["a", "b\nc", "d", "\n"]),
    (r"\bé\b", "é é", ["é", " ", "é"]),
    # `$` before a line feed holds only when that line feed ends the text.
    (r"bb($)é|($)", "\nb \nbbb  \n ", ["", "\nb \n", "bbb", "  ", "\n", " "]),
    (r"(?:.)*$", "ba\n\n ", ["ba\n", "", "\n "]),
    (r"(\w+)@(\w+)\.com", "a@b.com x@y.com", ["a@b.c", "om x@", "y.co", "m"]),
]


@pytest.mark.parametrize("pattern,text,chunks", REGRESSIONS)
def test_regressions(pattern, text, chunks):
    check(pattern, text, chunks)


@pytest.mark.parametrize("pattern", [r"\w+|😀", r"(?<=ж)\w|é\b", r"[^ ]+$", r"(\w)\1"])
def test_pieces_of_every_width(pattern):
    # The stream keeps its text in the narrowest units that hold it: pieces of
    # wider units arriving after narrower ones widen what it holds.
    text = "ab éé жж 😀 cd\nжé"
    for i in range(len(text) + 1):
        for j in range(i, len(text) + 1):
            check(pattern, text, [text[:i], text[i:j], text[j:]])


@pytest.mark.parametrize(
    "pattern,chunks,per_feed",
    [
        # A word is final once a non-word character follows it.
        (r"\w+", ["ab", " c", "d "], [[], ["ab"], ["cd"]]),
        # A longer alternative first: "<" waits for ">" or the end.
        (r"<[^>]*>|\w+", ["<a", " b>", " c"], [[], ["<a b>"], []]),
        # A match that needs no more text comes with the piece that holds it.
        (r"ab", ["xab", "ab"], [["ab"], ["ab"]]),
        (r"a(?=b)", ["a", "b"], [[], ["a"]]),
        # A shorter alternative first is final at once; found by the automata.
        (r"a|ab", ["xa"], [["a"]]),
        (r"(\w+)@(\w+)\.com", ["a@b.com x@y.c", "om "], [["a@b.com"], ["x@y.com"]]),
    ],
)
def test_matches_come_as_soon_as_final(pattern, chunks, per_feed):
    s = kordal.Regex(pattern).stream()
    assert [[m.matched for m in s.feed(c)] for c in chunks] == per_feed


def test_positions_are_stream_positions():
    r = kordal.Regex(r"(é)(\w)")
    s = r.stream()
    got = s.feed("ab" * 50) + s.feed("é" * 3 + "x éy") + s.close()
    text = "ab" * 50 + "é" * 3 + "x éy"
    want = r.findall(text)
    assert [(m.span, m.char_span(), m.char_span(2), m.span_of(2)) for m in got] == [
        (m.span, m.char_span(), m.char_span(2), m.span_of(2)) for m in want
    ]
    # Texts come from the retained text, which `input` holds.
    assert [(m.matched, m[1], m[2]) for m in got] == [("éé", "é", "é"), ("éx", "é", "x"),
                                                       ("éy", "é", "y")]
    assert all(m.matched in m.input for m in got)


def test_closed_stream():
    s = kordal.Regex("a").stream()
    assert [m.span for m in s.feed("aa")] == [(0, 1), (1, 2)]
    assert s.close() == [] and s.closed
    assert s.close() == []
    with pytest.raises(ValueError):
        s.feed("a")


@pytest.mark.parametrize("bad", [b"a", 1, None])
def test_feed_takes_str(bad):
    with pytest.raises(TypeError):
        kordal.Regex("a").stream().feed(bad)


# --- memory ------------------------------------------------------------------------------------

CHUNK = 64 * 1024


@pytest.mark.parametrize(
    "pattern,line",
    [
        (r"\d+", "id 12345 ok\n"),
        (r"(?m)^(\w+) (\d+)$", "key 42\n"),
        (r"<[^>]*>|\w+", "<a href> text\n"),
        (r"(?<=id )\d+", "id 77 "),
    ],
)
def test_long_stream_holds_a_few_chunks(pattern, line):
    # 100 MB of short matches: the retained text stays within a chunk and a
    # little context, whatever the length of the stream.
    r = kordal.Regex(pattern)
    chunk = line * (CHUNK // len(line))
    s = r.stream()
    most = 0
    count = 0
    fed = 0
    while fed < 100_000_000:
        count += len(s.feed(chunk))
        most = max(most, s.retained)
        fed += len(chunk)
    count += len(s.close())
    assert count == len(r.findall(chunk)) * (fed // len(chunk))
    assert most <= 2 * CHUNK
    assert s.position == fed


def test_undecided_match_keeps_its_text():
    # A match that can still grow keeps everything from its start.
    s = kordal.Regex(r"a[^b]*b").stream()
    for _ in range(10):
        assert s.feed("a" + "x" * 999) == []
    assert s.retained >= 10_000
    assert [m.span for m in s.feed("b")] == [(0, 10_001)]
    assert s.retained <= 2


def test_unbounded_lookbehind_keeps_the_stream():
    s = kordal.Regex(r"(?<=a.*)b").stream()
    s.feed("a")
    for _ in range(20):
        s.feed("x" * 100)
    assert s.retained == 2001
    assert [m.span for m in s.feed("b") + s.close()] == [(2001, 2002)]
