"""The PartialMatch class: status, group states and texts, spans and repr."""

import sys

import pytest

import kordal_python as k


def partial(pattern, hay):
    p = k.Regex(pattern).find_partial(hay)
    assert p is not None
    return p


@pytest.mark.parametrize("pattern,hay,status,span,matched", [
    ("abc", "xab", "partial", (1, 3), "ab"),
    ("abc", "abc", "full", (0, 3), "abc"),
    ("a*", "b", "full", (1, 1), ""),
    ("é+x", "aéé", "partial", (1, 5), "éé"),
    ("a*", "", "full", (0, 0), ""),
])
def test_status_and_span(pattern, hay, status, span, matched):
    p = partial(pattern, hay)
    assert p.status == status
    assert p.is_full is (status == "full")
    assert p.is_partial is (status == "partial")
    assert (p.start, p.end) == span
    assert p.end == len(hay.encode())
    assert p.matched == matched and p.group() == matched and p.group(0) == matched


def test_repr():
    assert repr(partial("abc", "xab")) == 'PartialMatch(matched="ab", status="partial", span=(1, 3))'
    assert repr(partial("a\"", "a\"")) == (
        'PartialMatch(matched="a\\"", status="full", span=(0, 2))')


def test_partial_group_inside_cut_match():
    p = partial("a(bc)d", "ab")
    assert p.group_state(1) == "partial" and p.group(1) == "b"
    assert p.group_state(0) == "matched"  # group 0 is the matched text, whatever the status
    assert p.capture_count == 1


def test_completed_groups_of_partial_match():
    p = partial("(a)(b)c", "ab")
    assert [p.group_state(i) for i in range(3)] == ["matched", "matched", "matched"]
    assert [p.group(i) for i in range(3)] == ["ab", "a", "b"]


@pytest.mark.parametrize("pattern,states,texts", [
    ("abc|(a)(b)cd", ["matched", "matched", "matched"], ["ab", "a", "b"]),
    ("(a)bc|(a)bd", ["matched", "matched", "none"], ["ab", "a", None]),
])
def test_candidate_with_most_groups_wins(pattern, states, texts):
    p = partial(pattern, "ab")
    assert p.status == "partial"
    assert [p.group_state(i) for i in range(3)] == states
    assert [p.group(i) for i in range(3)] == texts


def test_no_partial_match():
    assert k.Regex("x").find_partial("ab") is None
    assert k.Regex("abc").find_partial("") is None


def test_named_groups_and_none_states():
    p = partial("(?P<k>a)|(?P<v>b)c", "a")
    assert p.status == "full"
    assert p.named_group("k") == "a"
    assert p.named_group("v") is None
    assert p.named_group("nope") is None
    assert p.group_state(1) == "matched" and p.group_state(2) == "none"
    assert p.group(2) is None


def test_out_of_range_and_negative_indexes():
    p = partial("(a)", "a")
    assert p.group(9) is None and p.group_state(9) == "none"
    for call in (p.group, p.group_state):
        with pytest.raises(OverflowError) as info:
            call(-1)
        assert getattr(info.value, "__notes__", []) == (["while processing 'index'"] if sys.version_info >= (3, 11) else [])
    with pytest.raises(TypeError) as info:
        p.named_group(1)
    assert getattr(info.value, "__notes__", []) == (["while processing 'name'"] if sys.version_info >= (3, 11) else [])


def test_argument_binding():
    p = partial("(a)", "a")
    assert p.group(index=1) == "a"
    assert p.group_state(index=1) == "matched"
    assert p.named_group(name="x") is None
    with pytest.raises(TypeError, match=r"^PartialMatch\.group\(\) takes from 0 to 1 positional "
                                        r"arguments but 2 were given$"):
        p.group(0, 1)
    with pytest.raises(TypeError, match=r"^PartialMatch\.named_group\(\) missing 1 required"):
        p.named_group()


def test_no_length_or_item_access():
    p = partial("a", "a")
    with pytest.raises(TypeError):
        len(p)
    with pytest.raises(TypeError):
        p[0]


def test_outlives_regex_and_haystack():
    r = k.Regex("(?P<w>\\w+)!")
    hay = "".join(["x ", "hello"])
    p = r.find_partial(hay)
    del r, hay
    assert (p.matched, p.named_group("w"), p.group_state(1)) == ("hello", "hello", "matched")


def test_docstrings():
    assert k.PartialMatch.__doc__ == (
        "A partial (or full) end-anchored match, the result of\n"
        ":meth:`Regex.find_partial`. (``None`` from ``find_partial`` \u2014 not this\n"
        "object \u2014 means the input cannot be a prefix of any match.)")
    assert k.PartialMatch.status.__doc__ == '``"full"`` or ``"partial"``.'
    assert k.PartialMatch.group_state.__doc__ == (
        '``"matched"``, ``"partial"``, or ``"none"`` for group ``index``.')
