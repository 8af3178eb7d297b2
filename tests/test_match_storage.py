"""How Match objects keep their data: each owns its spans, shares nothing
with Matches freed before it or made after it, and reports its real size."""

import gc
import pickle
import sys

import pytest

import kordal_python as k


def snapshot(m):
    n = len(m)
    return (m.input, m.span, m.groups, m.all_captures, m.named_groups, m.lastindex,
            [m.start_of(g) for g in range(n + 2)], [m.end_of(g) for g in range(n + 2)],
            [m.char_span(g) for g in range(n)])


# Patterns with and without histories, optional groups and names, over ASCII
# and non-ASCII texts (where the byte length of the input is counted on demand).
CASES = [
    (r"(?P<k>\w+)=(?P<v>\w+)?(x)?", ["a=1", "éé=ü", "b="]),
    (r"(a|(é))+(z)?", ["aéa", "xéé", "aaaa"]),
    (r"(\d)+", ["123", "٣٤", "9"]),
    (r"x", ["x", "éx", "xé"]),
]


@pytest.mark.parametrize("pattern,texts", CASES)
def test_matches_made_after_others_were_freed_keep_their_own_data(pattern, texts):
    r = k.Regex(pattern)
    expected = [snapshot(r.find(t)) for t in texts]
    # Free a crowd of larger matches, so that new ones reuse their memory.
    big = k.Regex(r"(\w)(\w)(\w)(\w)(?P<e>\w)?(q)*")
    crowd = big.findall("абвгд abcd " * 200)
    assert crowd
    del crowd
    gc.collect()
    for t, want in zip(texts, expected):
        assert snapshot(r.find(t)) == want


def test_match_kept_across_later_walks_reads_its_own_text():
    r = k.Regex(r"(\w+)(?:=(\w+))?")
    kept = r.findall("ключ=значение alpha")
    want = [snapshot(m) for m in kept]
    for text in ("x=y " * 500, "é" * 3000, "z"):
        assert r.findall(text)
    assert [snapshot(m) for m in kept] == want
    assert kept[0].groups == ["ключ=значение", "ключ", "значение"]
    assert kept[1].start_of(2) == len("ключ=значение alpha".encode())


@pytest.mark.parametrize("text", ["ab", "éb", "a" * 5000 + "é"])
def test_non_participating_group_reports_its_inputs_byte_length(text):
    m = k.Regex("(a|é)(z)?").find(text)
    n = len(text.encode())
    assert (m.start_of(2), m.end_of(2), m.start_of(9)) == (n, n, n)
    assert m.start_of(2) == n  # the remembered length


@pytest.mark.parametrize("text", ["ab", "éb"])
def test_unpickled_match_owns_names_and_lastindex(text):
    m = k.Regex("(?P<first>a|é)(?P<second>z)?(b)").find(text)
    back = pickle.loads(pickle.dumps(m))
    del m
    gc.collect()
    assert back.groupdict() == {"first": text[0], "second": None}
    assert back["first"] == text[0] and back.lastgroup is None and back.lastindex == 3
    assert back.start_of(2) == len(text.encode())


def test_stream_matches_keep_their_stream_offsets():
    s = k.Regex(r"(é+)(z)?").stream()
    got = s.feed("ab éé c") + s.feed("d éé") + s.close()
    assert [m.char_span() for m in got] == [(3, 5), (9, 11)]
    assert [m.char_span(1) for m in got] == [(3, 5), (9, 11)]
    assert [m.char_span(2) for m in got] == [None, None]


def test_size_counts_the_spans():
    one = k.Regex("a").find("a")
    five = k.Regex("(a)(b)(c)(d)").find("abcd")
    hist = k.Regex("(a)+").find("a" * 50)
    assert sys.getsizeof(five) > sys.getsizeof(one)
    assert sys.getsizeof(hist) > sys.getsizeof(k.Regex("(a)").find("a"))
