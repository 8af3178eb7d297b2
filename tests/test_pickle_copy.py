"""Pickling and copying of Regex, Match and PartialMatch, and results crossing process borders."""

import concurrent.futures
import copy
import multiprocessing
import pickle

import pytest

import kordal_python as kordal

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def match_view(m):
    """Everything a Match reports, for comparing two of them."""
    n = len(m)
    return (
        repr(m), m.matched, m.input, m.span, m.start, m.end, m.capture_count, m.groups,
        m.named_groups, m.all_captures, m.captures_dict, m.lastindex, m.lastgroup,
        m.groupdict(), [m.span_of(g) for g in range(n + 1)], [m.char_span(g) for g in range(n + 1)],
        [m.start_of(g) for g in range(n + 1)], [m.end_of(g) for g in range(n + 1)],
        [m.captures(g) for g in range(n + 1)], m.group(), len(m),
    )


def partial_view(p):
    n = p.capture_count + 1
    return (
        repr(p), p.status, p.is_full, p.is_partial, p.matched, p.start, p.end, p.capture_count,
        [p.group(g) for g in range(n + 1)], [p.group_state(g) for g in range(n + 1)],
        [p.char_span(g) for g in range(n + 1)],
    )


REGEXES = [
    ("a(b)", None),
    ("(?P<year>\\d{4})-(?P<mon>\\d\\d)", kordal.IGNORECASE),
    ("é+", kordal.ASCII | kordal.VERSION0),
    ("x", 0x200),  # bits outside the table are kept
    ("", None),
]


@pytest.mark.parametrize("pattern,flags", REGEXES)
@pytest.mark.parametrize("proto", PROTOCOLS)
def test_regex_round_trip(pattern, flags, proto):
    r = kordal.Regex(pattern, flags)
    r2 = pickle.loads(pickle.dumps(r, proto))
    assert r2 is not r
    assert (r2.pattern, r2.flags, r2.capture_count, repr(r2), r2.dump()) == (
        r.pattern, r.flags, r.capture_count, repr(r), r.dump())
    assert sorted(r2.group_names()) == sorted(r.group_names())
    text = "x 2026-12 ab ÉÉé"
    assert [match_view(m) for m in r2.findall(text)] == [match_view(m) for m in r.findall(text)]


MATCHES = [
    (r"(a)|(b)", "b"),
    (r"(?P<x>a)(?P<y>z)?", "a"),
    (r"(?:(\d+)\.?)+", "v10.4.1"),
    (r"(é)(?P<n>\d*)", "aaé"),
    (r"x*", "abc"),
    (r"(?P<k>\w+)=(?P<v>\w+)", "€😀 kéy=数字 rest"),
]


@pytest.mark.parametrize("pattern,text", MATCHES)
@pytest.mark.parametrize("proto", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_match_round_trip(pattern, text, proto):
    m = kordal.Regex(pattern).find(text)
    m2 = pickle.loads(pickle.dumps(m, proto))
    assert type(m2) is kordal.Match
    assert match_view(m2) == match_view(m)


PARTIALS = [
    (r"(\d{4})-(\d{2})-(\d{2})", "due 2026-1"),
    (r"(?P<k>a)|(?P<v>b)c", "a"),
    (r"é+x", "aéé"),
    (r"a*", "b"),
]


@pytest.mark.parametrize("pattern,text", PARTIALS)
def test_partial_round_trip(pattern, text):
    p = kordal.Regex(pattern).find_partial(text)
    p2 = pickle.loads(pickle.dumps(p))
    assert type(p2) is kordal.PartialMatch
    assert partial_view(p2) == partial_view(p)
    assert [p2.named_group(n) for n in ("k", "v", "nope")] == [
        p.named_group(n) for n in ("k", "v", "nope")]


@pytest.mark.parametrize("make", [
    lambda: kordal.Regex("a(b)"),
    lambda: kordal.Regex("a(b)").find("xab"),
    lambda: kordal.Regex("abc").find_partial("xab"),
])
def test_copies_of_immutable_objects_are_the_objects(make):
    obj = make()
    assert copy.copy(obj) is obj
    assert copy.deepcopy(obj) is obj
    assert copy.deepcopy([obj, obj])[0] is obj


def test_results_in_containers_pickle_together():
    r = kordal.Regex(r"(\w)(\d)")
    ms = r.findall("a1 b2 c3")
    back = pickle.loads(pickle.dumps({"regex": r, "matches": ms}))
    assert [m.groups for m in back["matches"]] == [m.groups for m in ms]
    assert back["regex"].findall("d4")[0].groups == ["d4", "d", "4"]


def _restore(name, state):
    return getattr(kordal, name)(state)


@pytest.mark.parametrize("state", [
    ("ab", ((0, 9),), ((),), {}, None),             # span past the end of the input
    ("ab", ((2, 1),), ((),), {}, None),             # span ends before it starts
    ("ab", ((0, 1),), ((), ()), {}, None),          # groups and histories disagree
    ("ab", (), (), {}, None),                       # no group 0
    ("ab", ((0, 1),), ((0,),), {}, None),           # history not in pairs
    ("ab", ((0, 1),), ((0, 5),), {}, None),         # history past the end
    ("ab", ((0, 1), None), ((), ()), {}, 1),        # lastindex names a group that did not match
    ("ab", ((0, 1),), ((),), {1: 0}, None),         # a name that is not a str
    ("ab", ((0, 1),), ((),), {"x": -1}, None),      # a negative group number
    (b"ab", ((0, 1),), ((),), {}, None),            # input not a str
    ("a\ud800", ((0, 1),), ((),), {}, None),       # a lone surrogate no search accepts
    ("ab", ((0, 1),), ((),), {}),                   # wrong shape
])
def test_malformed_match_state_is_refused(state):
    with pytest.raises(ValueError, match="invalid pickled state"):
        _restore("_restore_match", state)


@pytest.mark.parametrize("state", [
    ("ab", (0, 1), False, ((0, 0, 1),), {}),        # does not end at the end of the input
    ("ab", (0, 2), False, ((5, 0, 2),), {}),        # unknown group state
    ("ab", (0, 2), False, ((0, 0, 3),), {}),        # group past the end
    ("ab", (0, 2), False, (), {}),                  # no group 0
])
def test_malformed_partial_state_is_refused(state):
    with pytest.raises(ValueError, match="invalid pickled state"):
        _restore("_restore_partial_match", state)


def _first_pairs(args):
    regex, text = args
    return regex.findall(text)


def test_regex_and_matches_through_a_process_pool():
    r = kordal.Regex(r"(?P<k>\w+)=(?P<v>\w+)")
    texts = ["a=1 b=2", "é=ü", "nothing"]
    # spawn: a fresh interpreter that gets everything by pickle, and no fork of a
    # process whose earlier tests may have left threads behind.
    spawn = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=spawn) as pool:
        results = list(pool.map(_first_pairs, [(r, t) for t in texts]))
    assert [[match_view(m) for m in ms] for ms in results] == [
        [match_view(m) for m in r.findall(t)] for t in texts]
