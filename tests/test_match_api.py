"""The Match class: group access, spans, capture histories, lookup rules and repr."""

import gc
import sys

import pytest

import kordal_python as k


def find(pattern, hay):
    m = k.Regex(pattern).find(hay)
    assert m is not None
    return m


@pytest.fixture
def alt():
    return find("(a)|(b)", "b")


def test_non_participating_group(alt):
    m = alt
    assert m.groups == ["b", None, "b"]
    assert m[1] is None and m.group(1) is None
    assert m.span_of(1) is None
    assert m.start_of(1) == 1 and m.end_of(1) == 1
    assert m.start_of(7) == 1 and m.end_of(7) == 1 and m.span_of(7) is None
    assert len(m) == 3 and m.capture_count == 2
    assert m.captures(1) == [] and m.captures(2) == ["b"]


@pytest.mark.parametrize("key,value", [(-1, "b"), (-2, None), (-3, "b"), (0, "b"), (2, "b"),
                                       (True, None), (False, "b")])
def test_getitem(alt, key, value):
    assert alt[key] == value
    assert alt.group(key) == value


@pytest.mark.parametrize("key,message", [(3, "no such group: 3"), (-4, "no such group: -4"),
                                         (2**62, f"no such group: {2**62}"), ("w", "no such group: w"),
                                         ("é", "no such group: é")])
def test_getitem_index_errors(alt, key, message):
    for get in (lambda: alt[key], lambda: alt.group(key), lambda: alt.group(0, key)):
        with pytest.raises(IndexError) as info:
            get()
        assert str(info.value) == message


@pytest.mark.parametrize("key", [1.5, 2**70, -(2**70), None, b"x", [0], "\ud800"])
def test_getitem_type_errors(alt, key):
    for get in (lambda: alt[key], lambda: alt.group(key)):
        with pytest.raises(TypeError) as info:
            get()
        assert str(info.value) == "group index must be int or str"


def test_getitem_accepts_index_objects(alt):
    class I:
        def __index__(self):
            return -1

    assert alt[I()] == "b"


def test_named_groups():
    m = find("(?P<x>a)(?P<y>z)?", "a")
    assert m.named_groups == {"x": "a"}
    assert m.captures_dict == {"x": ["a"], "y": []}
    assert m["y"] is None and m["x"] == "a"
    assert m.captures_by_name("w") == []
    assert m.captures_by_name("x") == ["a"]
    with pytest.raises(IndexError, match="^no such group: w$"):
        m["w"]


def test_str_subclass_keys_are_names():
    class S(str):
        pass

    m = find("(?P<x>a)", "a")
    assert m[S("x")] == "a"
    assert m.captures_by_name(S("x")) == ["a"]


def test_capture_histories():
    m = find("(a)+", "aaa")
    assert m.groups == ["aaa", "a"]
    assert m.captures(1) == ["a", "a", "a"]
    assert m.captures(0) == ["aaa"]
    assert m.captures(5) == []
    assert m.all_captures == [["aaa"], ["a", "a", "a"]]
    m = find("(?:(\\w)(\\d))+", "a1b2c")
    assert m.captures(1) == ["a", "b"] and m.captures(2) == ["1", "2"]


def test_history_texts_across_multibyte_text():
    m = find("(?P<c>.)+", "é\u4e2d\U0001F600")
    assert m.captures_dict == {"c": ["é", "\u4e2d", "\U0001F600"]}
    assert m.span_of(1) == (5, 9)


def test_group_variants():
    m = find("(a)(b)", "ab")
    assert m.group() == ("ab", "a", "b")
    assert m.group(2, 0) == ("b", "ab")
    with pytest.raises(IndexError, match="^no such group: 0$"):
        m.group("0")  # a str key is always a name
    with pytest.raises(IndexError):
        m.group(1, 9)
    with pytest.raises(TypeError, match=r"^Match\.group\(\) got an unexpected keyword argument 'x'$"):
        m.group(x=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        m.group(1, x=1)


def test_multibyte_spans():
    m = find("é", "aé")
    assert m.span == (1, 3) and m.start == 1 and m.end == 3
    assert m.input == "aé" and m.matched == "é" and m.group0 == "é"
    assert (m.start_of(), m.end_of(), m.span_of()) == (1, 3, (1, 3))


def test_empty_match():
    m = find("x*", "abc")
    assert m.matched == "" and m.span == (0, 0)
    assert repr(m) == 'Match(matched="", span=(0, 0), groups=0)'
    assert m.groups == [""] and len(m) == 1 and m.capture_count == 0


@pytest.mark.parametrize("pattern,hay,shown", [
    ("(a)(b)", "ab", 'Match(matched="ab", span=(0, 2), groups=2)'),
    ('"', 'x"', 'Match(matched="\\"", span=(1, 2), groups=0)'),
    ("é(.)", "xéy", 'Match(matched="éy", span=(1, 4), groups=1)'),
    ("\\n", "a\n", 'Match(matched="\\n", span=(1, 2), groups=0)'),
])
def test_repr(pattern, hay, shown):
    assert repr(find(pattern, hay)) == shown


@pytest.mark.parametrize("method", ["captures", "span_of", "start_of", "end_of"])
def test_negative_indexes_overflow(alt, method):
    with pytest.raises(OverflowError) as info:
        getattr(alt, method)(-1)
    # Notes exist from Python 3.11 on; earlier interpreters get none.
    expected = ["while processing 'index'"] if sys.version_info >= (3, 11) else []
    assert getattr(info.value, "__notes__", []) == expected


def test_index_keyword_and_default(alt):
    assert alt.span_of(index=2) == (0, 1)
    assert alt.captures(index=0) == ["b"]
    assert alt.start_of() == 0
    with pytest.raises(TypeError, match=r"^Match\.captures\(\) missing 1 required"):
        alt.captures()


def test_match_outlives_regex_and_haystack():
    r = k.Regex("(?P<w>\\w+) (\\w+)")
    hay = "".join(["hello", " ", "world"])
    m = r.find(hay)
    del r, hay
    gc.collect()
    assert m.groups == ["hello world", "hello", "world"]
    assert m.named_groups == {"w": "hello"}
    assert m.input == "hello world"


def test_properties_build_new_objects(alt):
    g = alt.groups
    g.append("x")
    assert alt.groups == ["b", None, "b"]
    d = alt.all_captures
    d[0].append("y")
    assert alt.all_captures == [["b"], [], ["b"]]


def test_match_has_no_ordering_or_hash_beyond_identity(alt):
    other = k.Regex("(a)|(b)").find("b")
    assert alt != other
    with pytest.raises(TypeError):
        alt < other
    assert hash(alt) != hash(other) or alt is other


def test_docstrings():
    assert k.Match.__doc__.startswith("A successful match, carrying the full capture state.\n\n")
    assert k.Match.groups.__doc__ == (
        "Current text of every group (group 0 first). Groups that did not\n"
        "participate are ``None``.")
    assert "matched" in k.Match.group0.__doc__
    assert k.Match.start_of.__doc__ == (
        "Start byte offset of group ``index`` (default 0). Returns the input\n"
        "length if the group did not participate (Python semantics).")
