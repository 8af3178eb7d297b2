"""The Regex class: properties, repr, group lookup, and every search method from Python.

Tables of replace and split cases are in tests/data/iteration.json (run by
test_corpus.py and by the C++ tests through every engine)."""

import inspect
import re
import sys

import pytest

import kordal_python as k


def spans(ms):
    return [m.span for m in ms]


# --- construction, properties, repr ------------------------------------------------------------

@pytest.mark.parametrize("args,flags", [
    (("a(b)",), 0x20008),
    (("a", k.ASCII), 0x20010),
    (("a", k.VERSION0), 0x10008),
    (("a", k.LOCALE), 0x20100),
    (("a", k.IGNORECASE | k.MULTILINE), 0x2000B),
    (("a", k.VERSION1 | k.UNICODE), 0x20008),
])
def test_resolved_flags(args, flags):
    assert k.Regex(*args).flags == flags


def test_properties():
    r = k.Regex("(?P<year>\\d+)-(?P<mon>\\d+)(x)")
    assert r.pattern == "(?P<year>\\d+)-(?P<mon>\\d+)(x)"
    assert r.capture_count == 3
    assert k.Regex("").capture_count == 0
    assert k.Regex("(?:a)(?>b)").capture_count == 0


@pytest.mark.parametrize("pattern,shown", [
    ("x", 'Regex(pattern="x", flags=0x20008, groups=0)'),
    ("a(b)", 'Regex(pattern="a(b)", flags=0x20008, groups=1)'),
    ('a"b', 'Regex(pattern="a\\"b", flags=0x20008, groups=0)'),
    ("a\\\\b", 'Regex(pattern="a\\\\\\\\b", flags=0x20008, groups=0)'),
    ("\t\n", 'Regex(pattern="\\t\\n", flags=0x20008, groups=0)'),
    ("é'", 'Regex(pattern="é\'", flags=0x20008, groups=0)'),
    ("e\u0301", 'Regex(pattern="e\\u{301}", flags=0x20008, groups=0)'),
])
def test_repr(pattern, shown):
    assert repr(k.Regex(pattern)) == shown


def test_repr_shows_given_flags_in_hex():
    assert repr(k.Regex("a", k.IGNORECASE | k.DOTALL)) == (
        'Regex(pattern="a", flags=0x2000d, groups=0)')


def test_group_names_and_index():
    r = k.Regex("(?P<year>\\d+)-(?P<mon>\\d+)")
    assert sorted(r.group_names()) == ["mon", "year"]
    assert r.group_index("year") == 1
    assert r.group_index("mon") == 2
    assert r.group_index("day") is None
    assert k.Regex("(a)").group_names() == []
    assert k.Regex("(?<n>a)(?P<é>b)").group_index("é") == 2


def test_dump_returns_tree_text():
    text = k.Regex("a(b)").dump()
    assert isinstance(text, str) and "Group" in text
    assert text == k.Regex("a(b)").dump()


def test_class_docstring_and_method_docs():
    assert k.Regex.__doc__.startswith("A compiled regular expression.\n\nCompile once with")
    if sys.version_info >= (3, 10):  # 3.9 reads no signature from a heap type's docstring
        assert k.Regex.__text_signature__ == "(pattern, flags=None)"
    assert k.Regex.find_at.__doc__ == "First match at or after byte offset ``start``, or ``None``."
    assert k.Regex.find_partial.__doc__ == (
        "Partial / end-anchored match. Returns ``None`` if the input cannot be\n"
        "a prefix of any full match.")
    assert k.Regex.replace.__doc__ == (
        "Replace the first match using template ``repl``\n(``$1``, ``${name}``, ``$$``).")
    assert k.Regex.capture_count.__doc__ == (
        "The number of capturing groups (group 0 is the whole match and is not\ncounted here).")


METHOD_PARAMS = {
    "group_names": [], "group_index": ["name"], "is_match": ["haystack"], "find": ["haystack"],
    "find_at": ["haystack", "start"], "match_at_start": ["haystack"], "fullmatch": ["haystack"],
    "findall": ["haystack"], "find_partial": ["haystack"], "replace": ["haystack", "repl"],
    "replace_all": ["haystack", "repl"], "split": ["haystack"], "dump": [],
}


@pytest.mark.parametrize("name,params", METHOD_PARAMS.items())
def test_method_signatures(name, params):
    sig = inspect.signature(getattr(k.Regex("a"), name))
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


# --- searches ----------------------------------------------------------------------------------

def test_simple_searches():
    r = k.Regex("a")
    assert r.find("ba").span == (1, 2)
    assert r.match_at_start("ba") is None
    assert r.match_at_start("ab").span == (0, 1)
    assert k.Regex("a*").fullmatch("aab") is None
    assert k.Regex("a*").fullmatch("aa").span == (0, 2)
    assert r.is_match("xxa") is True and r.is_match("xx") is False
    assert r.find("") is None


def test_offsets_are_utf8_bytes():
    r = k.Regex("é")
    h = "aéé"
    assert r.find(h).span == (1, 3)
    assert r.find_at(h, 3).span == (3, 5)
    assert r.find_at(h, 1).span == (1, 3)
    assert k.Regex("\U0001F600(.)").find("x\U0001F600y").span == (1, 6)


@pytest.mark.parametrize("start", [2, 4])
def test_find_at_inside_a_character_fails(start):
    with pytest.raises(ValueError) as info:
        k.Regex("é").find_at("aéé", start)
    assert str(info.value) == f"start offset {start} is inside a multi-byte character"


@pytest.mark.parametrize("pattern,hay,start,span", [
    ("X", "aXbX", 2, (3, 4)),
    ("X", "aXbX", 1, (1, 2)),
    ("X", "aX", 99, None),
    ("", "aX", 99, (2, 2)),
    ("", "aé", 3, (3, 3)),
    ("(?<=a)b", "ab", 1, (1, 2)),
    ("^b", "ab", 1, None),
    ("\\bb", "ab", 1, None),
])
def test_find_at(pattern, hay, start, span):
    m = k.Regex(pattern).find_at(hay, start)
    assert (m.span if m else None) == span


def test_find_at_accepts_index_objects_and_bool():
    class I:
        def __index__(self):
            return 2

    assert k.Regex("X").find_at("aXbX", I()).span == (3, 4)
    assert k.Regex("X").find_at("XX", True).span == (1, 2)
    with pytest.raises(TypeError):
        k.Regex("X").find_at("XX", 1.0)


def test_findall():
    assert spans(k.Regex("a*").findall("baa")) == [(0, 0), (1, 3), (3, 3)]
    assert k.Regex("x").findall("abc") == []
    ms = k.Regex("(\\d)").findall("a1b2")
    assert [m.groups for m in ms] == [["1", "1"], ["2", "2"]]


def test_findall_results_share_one_input():
    hay = "k=1 j=2 i=3" * 3
    ms = k.Regex("(\\w)=(\\d)").findall(hay)
    assert len(ms) == 9
    assert all(m.input is ms[0].input for m in ms)
    assert ms[0].input == hay


def test_results_for_str_subclass_inputs_are_exact_str():
    class S(str):
        pass

    m = k.Regex("b").find(S("abc"))
    assert type(m.input) is str and m.input == "abc"
    assert type(m.matched) is str
    ms = k.Regex("b").findall(S("bb"))
    assert ms[0].input is ms[1].input and type(ms[0].input) is str


def test_find_partial():
    p = k.Regex("abc").find_partial("xab")
    assert p.status == "partial" and (p.start, p.end) == (1, 3)
    assert k.Regex("x").find_partial("ab") is None
    assert type(p) is k.PartialMatch


def test_regex_is_reusable_and_results_outlive_it():
    r = k.Regex("(b+)")
    hay = "a" + "bb" + "c"
    m = r.find(hay)
    del r, hay
    assert m.groups == ["bb", "bb"] and m.input == "abbc"


def test_searches_do_not_keep_state_between_calls():
    r = k.Regex("(a)|(b)")
    assert r.find("b").groups == ["b", None, "b"]
    assert r.find("a").groups == ["a", "a", None]
    assert r.find("b").groups == ["b", None, "b"]


def test_deep_matches_raise_cleanly_or_succeed():
    hay = "a" * 200000
    try:
        m = k.Regex("(?:a|b)*").find(hay)
    except RecursionError as e:
        assert "too deep" in str(e)
    else:
        assert m.span == (0, len(hay))
    assert k.Regex("a").find("a").span == (0, 1)  # the module stays usable


def test_signal_handler_interrupts_a_runaway_match():
    import signal

    class Stop(Exception):
        pass

    def handler(*_):
        raise Stop

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Stop):
            # exponential: the lookahead keeps it off the DFA and the memo
            k.Regex("(a|aa)*(?=c)").find("a" * 60)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert k.Regex("(a|aa)*c").find("aac").span == (0, 3)


def test_replace_all_outputs_of_calls_in_turn():
    # Outputs are built in a buffer each thread reuses, one per code-unit
    # width: long and short texts in turn keep nothing of the last output.
    texts = ["ab;cd;" * 50_000, "x;", "\u0436;\U0001F600;" * 30_000, "", "\u00e9;y;" * 10, "q"]
    r = k.Regex(r"(\w+);")
    for t in texts + texts[::-1]:
        assert r.replace_all(t, "<${1}>") == re.sub(r"(\w+);", r"<\1>", t)
