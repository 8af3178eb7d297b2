"""kordal_python.re's interface: what `re` users rely on beyond the results.

Import forms, flags, errors with their attributes, templates and their
errors, Match and Pattern members, bytes and buffer haystacks, pickling and
copying, the compile cache. Where `re` defines the exact outcome (a message,
an exception type, a value), the case is run against `re` too.
"""

import copy
import mmap
import pickle
import re as std
import string
import sys

import pytest

import kordal_python.re as kre


def outcome(fn):
    try:
        return ("ok", fn())
    except std.error as e:  # re.PatternError from 3.13 on
        return ("error", str(e))
    except TypeError:
        # The texts of re's TypeErrors changed between versions.
        return ("TypeError", None)
    except Exception as e:  # noqa: BLE001 - the type and text are compared
        return (type(e).__name__, str(e))


def test_both_import_forms_give_the_registered_module():
    import sys

    import kordal_python
    from kordal_python import re as via_from
    # Another test may have imported the extension afresh, which registers a
    # new module object; the names must agree at any one time.
    assert via_from is sys.modules["kordal_python.re"] is kordal_python.re
    assert via_from.error is kre.error and via_from.Pattern is kre.Pattern
    assert issubclass(kre.error, ValueError)


@pytest.mark.parametrize("name", ["I", "IGNORECASE", "L", "M", "MULTILINE", "S", "DOTALL", "U",
                                  "UNICODE", "X", "VERBOSE", "A", "ASCII", "NOFLAG"])
def test_flags_have_re_values_and_mix_with_re_flags(name):
    if not hasattr(std, name):
        pytest.skip(f"re.{name} is newer than this Python")
    assert int(getattr(kre, name)) == int(getattr(std, name))
    # Both kinds of flag object compile the same pattern.
    assert isinstance(kre.I | kre.M, kre.RegexFlag)
    assert kre.compile("a", std.I | std.M).flags == kre.compile("a", kre.I | kre.M).flags


@pytest.mark.parametrize("pattern, flags", [
    ("a", 0), ("(?i)a", 0), ("(?m)(?s)a", 0), ("a", std.I | std.X), ("a", std.A), (b"a", 0),
    (b"(?i)a", 0), (b"a", std.L), ("(?x) a", std.S),
])
def test_pattern_flags_include_inline_flags(pattern, flags):
    assert kre.compile(pattern, flags).flags == std.compile(pattern, flags).flags


@pytest.mark.parametrize("pattern, flags", [
    ("a", std.L), (b"a", std.U), ("a", std.A | std.U), (1, 0),
])
def test_bad_flag_and_pattern_types_fail_as_in_re(pattern, flags):
    assert outcome(lambda: kre.compile(pattern, flags)) == outcome(
        lambda: std.compile(pattern, flags))


@pytest.mark.parametrize("pattern, haystack", [
    ("a", b"a"), (b"a", "a"), ("a", 5), (b"a", None),
])
def test_pattern_and_haystack_kinds_must_agree(pattern, haystack):
    assert outcome(lambda: kre.search(pattern, haystack)) == outcome(
        lambda: std.search(pattern, haystack))


@pytest.mark.parametrize("pattern, pos", [
    ("a(", 1), ("ab)", 2), ("é(", 1), ("a\nb\n(c", 4), ("[a", 0), ("a{2,1}", None),
])
def test_errors_carry_str_positions(pattern, pos):
    with pytest.raises(kre.error) as info:
        kre.compile(pattern)
    e = info.value
    assert e.pattern == pattern
    assert e.msg and not e.msg.startswith("kordal")
    if pos is not None:
        assert e.pos == pos
        line = pattern.count("\n", 0, pos) + 1
        assert (e.lineno, e.colno) == (line, pos - (pattern.rfind("\n", 0, pos) + 1) + 1)
        assert str(e).startswith(e.msg + " at position %d" % pos)
    restored = pickle.loads(pickle.dumps(e))
    assert (type(restored), restored.msg, restored.pos, str(restored)) == (
        kre.error, e.msg, e.pos, str(e))


def test_error_position_of_bytes_pattern_counts_bytes():
    with pytest.raises(kre.error) as info:
        kre.compile(b"\xe9\xe9(")
    assert info.value.pos == 2 and info.value.pattern == b"\xe9\xe9("


TEMPLATES = [
    r"\1", r"\g<1>", r"\g<0>", r"\g<name>", r"[\2]", r"\\1", r"\n\t\r\a\f\v\b", r"\0", r"\01",
    r"\012", r"\101", r"\q", r"\g", r"\g<", r"\g<1", r"\g<>", r"\g<9>", r"\3", r"\g<nosuch>",
    r"\g<1a>", "\\", r"\-", r"\é", r"\400", r"\10", "$1", r"\g<01>", "no escapes",
]


@pytest.mark.parametrize("template", TEMPLATES)
@pytest.mark.parametrize("kind", [str, bytes])
def test_templates_expand_and_fail_as_in_re(template, kind):
    pattern = r"(?P<name>a)(b)?"
    text = "xaby a"
    if kind is bytes:
        if not template.isascii():
            return
        pattern, text, template = pattern.encode(), text.encode(), template.encode()
    mine = outcome(lambda: kre.sub(pattern, template, text))
    theirs = outcome(lambda: std.sub(pattern, template, text))
    if theirs[0] == "error":
        assert mine[0] == "error"
        # The message and the position are re's.
        assert mine[1] == theirs[1]
    else:
        assert mine == theirs
    m, n = kre.search(pattern, text), std.search(pattern, text)
    assert outcome(lambda: m.expand(template))[0] == outcome(lambda: n.expand(template))[0]


def test_sub_function_results_and_their_types():
    assert kre.sub("a", lambda m: None, "bab") == std.sub("a", lambda m: None, "bab")
    with pytest.raises(TypeError):
        kre.sub("a", lambda m: b"x", "a")
    with pytest.raises(TypeError):
        kre.sub(b"a", lambda m: "x", b"a")
    # A nested call with another template from inside the function.
    p = kre.compile("(a)")
    assert p.sub(lambda m: p.sub(r"<\1>", m.group()), "xax") == "x<a>x"


def test_match_members():
    p = kre.compile(r"(?P<key>\w+)=(?P<val>\w+)?(x)?")
    m = p.search("  k=v ", 1, 5)
    n = std.compile(p.pattern).search("  k=v ", 1, 5)
    for get in [
        lambda m: m.group(), lambda m: m.group(1, "val", 0), lambda m: m["key"], lambda m: m[2],
        lambda m: m.groups(), lambda m: m.groups("-"), lambda m: m.groupdict(),
        lambda m: m.groupdict(0), lambda m: m.start(), lambda m: m.end("val"),
        lambda m: m.span(3), lambda m: m.start(3), lambda m: (m.pos, m.endpos), lambda m: m.regs,
        lambda m: (m.lastindex, m.lastgroup), lambda m: m.string, lambda m: m.group(True),
        lambda m: m.group(4), lambda m: m.group("nosuch"), lambda m: m[-1], lambda m: m.group(1.0),
        lambda m: m.expand(r"\g<val>:\1"),
    ]:
        assert outcome(lambda: get(m)) == outcome(lambda: get(n))
    assert m.re is p
    assert copy.copy(m) is m and copy.deepcopy(m) is m
    back = pickle.loads(pickle.dumps(m))
    assert (back.regs, back.pos, back.endpos, back.lastgroup, back.string, back.re) == (
        m.regs, m.pos, m.endpos, m.lastgroup, m.string, p)
    assert repr(m) == repr(n) == "<re.Match object; span=(2, 5), match='k=v'>"


@pytest.mark.parametrize("state", [
    ("abc", 0, 3, (0, 4)), ("abc", 0, 3, (2, 1)), ("abc", 0, 9, (0, 1)), ("abc", 0, 3, (0,)),
    ("abc", 2, 1, (0, 1)), (b"abc", 0, 3, (0, 1)), ("abc", 0, 3, (-1, -1)),
])
def test_rebuilding_a_match_checks_its_state(state):
    with pytest.raises((ValueError, TypeError)):
        kre._rebuild_match(kre.compile("a"), *state)


def test_pattern_members_pickle_and_copy():
    p = kre.compile(r"(?P<a>x)(y)", kre.I)
    assert (p.pattern, p.groups, dict(p.groupindex)) == ("(?P<a>x)(y)", 2, {"a": 1})
    with pytest.raises(TypeError):
        p.groupindex["b"] = 2
    assert pickle.loads(pickle.dumps(p)) == p
    assert copy.copy(p) is p and copy.deepcopy(p) is p
    assert hash(p) == hash(kre.compile(r"(?P<a>x)(y)", kre.I))
    assert p != kre.compile(r"(?P<a>x)(y)")
    assert repr(p) == "re.compile('(?P<a>x)(y)', re.IGNORECASE)"
    assert kre.Pattern[str] is not None and kre.Match[bytes] is not None


@pytest.mark.skipif(sys.version_info < (3, 11), reason="re's flag repr comes from 3.11's enum")
def test_flags_print_as_re_flags():
    assert repr(kre.I | kre.M) == repr(std.I | std.M) == "re.IGNORECASE|re.MULTILINE"
    assert str(kre.A) == str(std.A)
    for flags in [std.I | std.S | std.X | (1 << 20), ~std.I, ~(std.I | std.M)]:
        assert repr(kre.RegexFlag(flags)) == repr(flags)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="immutable types come with 3.10")
def test_types_are_immutable():
    for tp in [kre.Pattern, kre.Match, kre.Scanner]:
        with pytest.raises(TypeError):
            tp.foo = 1


@pytest.mark.parametrize("tp", [kre.Pattern, kre.Match, kre.Scanner])
def test_result_types_cannot_be_instantiated(tp):
    with pytest.raises(TypeError):
        tp()


@pytest.mark.parametrize("pattern, flags, text", [
    ("x" * 300, 0, "x" * 300), ("(a)" * 40, std.I | std.M | std.S, "a" * 100),
    (b"\\d+", std.L, b"1" * 80), ("é'\"", std.X, "é'\""),
])
def test_reprs_are_re_s(pattern, flags, text):
    # Programs that print patterns and matches print the same.
    assert repr(kre.compile(pattern, flags)) == repr(std.compile(pattern, flags))
    a, b = kre.search(pattern, text, flags), std.search(pattern, text, flags)
    assert repr(a) == repr(b)


def test_compile_cache_and_purge():
    a = kre.compile("cache-me")
    assert kre.compile("cache-me") is a
    assert kre.compile(a) is a
    with pytest.raises(ValueError):
        kre.compile(a, kre.I)
    kre.purge()
    assert kre.compile("cache-me") is not a
    assert kre.compile("cache-me", kre.I) is kre.compile("cache-me", kre.I)


def test_scanner_search_and_match():
    s = kre.compile(r"\d").scanner("12a3")
    t = std.compile(r"\d").scanner("12a3")
    for step in ["match", "match", "match", "search", "search"]:
        a, b = getattr(s, step)(), getattr(t, step)()
        assert (a and a.span()) == (b and b.span())


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview])
def test_buffer_haystacks_give_bytes_results(make):
    data = make(b"key=1 other=22\n")
    p = kre.compile(rb"(\w+)=(\d+)")
    m = p.search(data)
    assert m.group(1) == b"key" and type(m.group(1)) is bytes
    assert m.string is data
    assert p.findall(data) == [(b"key", b"1"), (b"other", b"22")]
    assert p.sub(rb"\2=\1", data) == b"1=key 22=other\n"
    assert p.split(data) == std.compile(rb"(\w+)=(\d+)").split(bytes(data))


def test_mmap_haystack(tmp_path):
    path = tmp_path / "log"
    path.write_bytes(b"ok\nERROR disk\nok\nERROR net\n")
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        assert kre.findall(rb"(?m)^ERROR (\w+)$", mm) == [b"disk", b"net"]
        assert [m.span() for m in kre.finditer(b"ok", mm)] == [(0, 2), (14, 16)]


@pytest.mark.parametrize("text", [string.printable, "é-ü ∑ 中", "\x00\x85"])
def test_escape_matches_re_and_round_trips(text):
    assert kre.escape(text) == std.escape(text)
    assert kre.fullmatch(kre.escape(text), text)
    b = text.encode("utf-8")
    assert kre.escape(b) == std.escape(b)
    assert kre.fullmatch(kre.escape(b), b)


@pytest.mark.parametrize("call", [
    lambda m: m.compile("a").search("ba", pos=-3, endpos=99),
    lambda m: m.compile("a").search("ba", 1, 1),
    lambda m: m.compile("$").search("ab\n", 0, 2),
    lambda m: m.compile(r"\b").search("ab", 1),
    lambda m: m.compile("(?<=a)b").match("ab", 1),
    lambda m: m.compile("^b").search("ab", 1),
    lambda m: m.compile("(?m)^b").search("a\nb", 2),
    lambda m: m.compile("a$").fullmatch("xab", 1, 2),
])
def test_pos_and_endpos(call):
    a, b = call(kre), call(std)
    assert (a and (a.span(), a.pos, a.endpos)) == (b and (b.span(), b.pos, b.endpos))


def test_str_indexes_in_non_ascii_text():
    text = "ü€😀 key=välue"
    m = kre.search(r"(\w+)=(\w+)", text)
    assert m.span() == std.search(r"(\w+)=(\w+)", text).span()
    assert text[m.start(2):m.end(2)] == "välue"
    assert kre.compile(r"\w+").match(text, 4).group() == "key"


def test_lone_surrogates_are_characters():
    text = "a\ud800b"
    assert kre.findall(".", text) == std.findall(".", text)


def test_sub_outputs_of_calls_in_turn():
    # Each call's output is built in a buffer the thread reuses: long and
    # short texts in turn, of each width, keep nothing of the last output.
    texts = ["ab;cd;" * 50_000, "x;", "\u0436;\U0001F600;" * 30_000, "", "\u00e9;y;" * 10, "q"]
    p, q = kre.compile(r"(\w+);"), std.compile(r"(\w+);")
    for t in texts + texts[::-1]:
        assert p.sub(r"<\1>", t) == q.sub(r"<\1>", t)
        assert p.subn(lambda m: m[1] * 2, t) == q.subn(lambda m: m[1] * 2, t)
