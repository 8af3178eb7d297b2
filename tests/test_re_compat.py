"""What people coming from `re` reach for: its flag values, finditer, function replacements,
groupdict, lastindex, lastgroup, expand, code-point spans and the module-level cache."""

import re
import threading

import pytest
import regex as regex_pkg

import kordal_python as kordal
import kordal_python.re as kre

# --- flags of re and regex --------------------------------------------------------------------


@pytest.mark.parametrize("foreign,ours", [
    (re.IGNORECASE, kordal.IGNORECASE),
    (re.MULTILINE, kordal.MULTILINE),
    (re.DOTALL, kordal.DOTALL),
    (re.VERBOSE, kordal.VERBOSE),
    (re.ASCII, kordal.ASCII),
    (re.UNICODE, kordal.UNICODE),
    (re.LOCALE, kordal.LOCALE),
    (re.I | re.M | re.S, kordal.IGNORECASE | kordal.MULTILINE | kordal.DOTALL),
    (re.RegexFlag(0), 0),
    (regex_pkg.IGNORECASE, kordal.IGNORECASE),
    (regex_pkg.ASCII, kordal.ASCII),
    (regex_pkg.FULLCASE, kordal.FULLCASE),
    (regex_pkg.WORD, kordal.WORD),
    (regex_pkg.VERSION0, kordal.VERSION0),
    (regex_pkg.VERSION1 | regex_pkg.M, kordal.VERSION1 | kordal.MULTILINE),
])
def test_foreign_flags_mean_what_they_mean_there(foreign, ours):
    assert kordal.Regex("a", foreign).flags == kordal.Regex("a", ours).flags
    assert kordal.compile("a", flags=foreign).flags == kordal.Regex("a", ours).flags


@pytest.mark.parametrize("flags,pattern,text,found", [
    (re.IGNORECASE, "abc", "xABC", "ABC"),
    (re.MULTILINE, "^b", "a\nb", "b"),
    (re.DOTALL, "a.b", "a\nb", "a\nb"),
    (re.ASCII, r"\w+", "éa", "a"),
    (re.VERBOSE, "a b # comment", "ab", "ab"),
    (re.I | re.M, "^B", "a\nb", "b"),
])
def test_foreign_flags_change_matching_like_re(flags, pattern, text, found):
    assert kordal.Regex(pattern, flags).find(text).matched == found
    assert re.search(pattern, text, flags).group() == found


@pytest.mark.parametrize("flags,message", [
    (re.DEBUG, "re.DEBUG has no equivalent in kordal"),
    (re.I | re.DEBUG, "re.DEBUG has no equivalent in kordal"),
    (regex_pkg.BESTMATCH, "regex.BESTMATCH has no equivalent in kordal"),
    (regex_pkg.REVERSE, "regex.REVERSE has no equivalent in kordal"),
    (regex_pkg.POSIX, "regex.POSIX has no equivalent in kordal"),
    (regex_pkg.ENHANCEMATCH, "regex.ENHANCEMATCH has no equivalent in kordal"),
])
def test_foreign_flags_without_equivalent_are_refused(flags, message):
    with pytest.raises(ValueError) as info:
        kordal.Regex("a", flags)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", ["while processing 'flags'"]) == [
        "while processing 'flags'"]


def test_plain_ints_keep_this_modules_meaning():
    # 2 is MULTILINE here, whatever re.I's value is.
    assert kordal.Regex("^b", 2).find("a\nb").matched == "b"
    assert kordal.Regex("a", True).flags & kordal.IGNORECASE


def test_other_int_enums_are_plain_ints():
    import enum

    class RegexFlag(enum.IntFlag):  # same name, other module
        X = 2

    assert kordal.Regex("a", RegexFlag.X).flags & kordal.MULTILINE


# --- finditer ---------------------------------------------------------------------------------


@pytest.mark.parametrize("pattern,text", [
    ("a*", "baa"), ("x*", ""), (r"\d+", "a1 b22 c333"), ("é|", "aéé"), ("(a)|(b)", "abba"),
])
def test_finditer_yields_what_findall_returns(pattern, text):
    r = kordal.Regex(pattern)
    got = [(m.span, m.groups, m.lastindex) for m in r.finditer(text)]
    assert got == [(m.span, m.groups, m.lastindex) for m in r.findall(text)]


def test_finditer_is_lazy_and_stays_exhausted():
    r = kordal.Regex(r"\d")
    it = r.finditer("1 2 3")
    assert iter(it) is it
    assert next(it).matched == "1"
    assert [m.matched for m in it] == ["2", "3"]
    assert list(it) == []
    with pytest.raises(StopIteration):
        next(it)


def test_finditer_keeps_its_inputs_alive():
    it = kordal.Regex(r"\w+").finditer("".join(["ab", " cd"]))  # no other reference to either
    assert [m.matched for m in it] == ["ab", "cd"]


def test_finditer_can_interleave_with_other_searches():
    r = kordal.Regex(r"(\w)")
    a, b = r.finditer("xyz"), r.finditer("uvw")
    assert [(next(a)[1], next(b)[1], r.find("q")[1]) for _ in range(3)] == [
        ("x", "u", "q"), ("y", "v", "q"), ("z", "w", "q")]


def test_finditer_argument_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'haystack'"):
        kordal.Regex("a").finditer()
    with pytest.raises(TypeError):
        kordal.Regex("a").finditer(b"a")


def test_finditer_in_many_threads():
    r = kordal.Regex(r"(\d+)")
    text = " ".join(str(i) for i in range(2000))
    expected = [m.matched for m in r.findall(text)]
    results = []

    def work():
        results.append([m.matched for m in r.finditer(text)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


# --- replacement functions --------------------------------------------------------------------


@pytest.mark.parametrize("pattern,text", [
    ("X", "aXbX"), ("X", "ab"), ("x*", "abc"), ("a*", "baac"), ("é", "aéé"), ("", ""),
    (r"(\w+)=(\w+)", "a=1 bé=2"),
])
def test_function_replacement_visits_the_template_positions(pattern, text):
    r = kordal.Regex(pattern)
    # A function returning "<$0>" literally and the template "<$0>" agree on every position.
    assert r.replace_all(text, lambda m: "<" + m.matched + ">") == r.replace_all(text, "<$0>")
    assert r.replace(text, lambda m: "<" + m.matched + ">") == r.replace(text, "<$0>")


def test_function_replacement_against_re():
    text = "price: 10 EUR, 250 EUR"
    double = lambda m: str(2 * int(m[1]))  # noqa: E731
    assert kordal.Regex(r"(\d+)").replace_all(text, double) == re.sub(r"(\d+)", double, text)
    assert kordal.Regex(r"(\d+)").replace(text, double) == re.sub(r"(\d+)", double, text, count=1)


def test_function_result_is_literal_and_gets_the_match():
    seen = []

    def fn(m):
        seen.append((type(m), m.span, m.input))
        return "$1\\g<0>"

    assert kordal.Regex("(b)").replace_all("abab", fn) == "a$1\\g<0>a$1\\g<0>"
    assert seen == [(kordal.Match, (1, 2), "abab"), (kordal.Match, (3, 4), "abab")]


def test_function_replacement_errors():
    r = kordal.Regex("b")
    with pytest.raises(TypeError, match="replacement function must return str, not int"):
        r.replace_all("abc", lambda m: 1)

    def boom(m):
        raise KeyError("inside")

    with pytest.raises(KeyError, match="inside"):
        r.replace("abc", boom)
    # Not called without a match.
    assert r.replace_all("xyz", boom) == "xyz"
    with pytest.raises(TypeError):
        r.replace_all("abc", 3)


def test_function_may_search_with_the_same_regex():
    r = kordal.Regex(r"\w+")
    assert r.replace_all("ab cd", lambda m: str(len(r.findall(m.matched * 2)))) == "1 1"


# --- groupdict, lastindex, lastgroup ----------------------------------------------------------


def test_groupdict():
    m = kordal.Regex(r"(?P<x>a)(?P<y>z)?(?P<w>b)").find("ab")
    assert m.groupdict() == {"x": "a", "y": None, "w": "b"}
    assert list(m.groupdict()) == ["x", "y", "w"]  # group order
    assert m.groupdict("-") == {"x": "a", "y": "-", "w": "b"}
    assert m.groupdict(default=0)["y"] == 0
    assert kordal.Regex("(a)").find("a").groupdict() == {}


LASTINDEX_CASES = [
    (r"(a)b", "ab"), (r"((a)b)", "ab"), (r"(a)(b)", "ab"), (r"(a)|(b)", "b"), (r"(a)|b", "b"),
    (r"(a)(b*)", "a"), (r"(a(b*))", "a"), (r"((a))", "a"), (r"(a)()", "a"), (r"(a())", "a"),
    (r"(?:(a)|(b))+", "ab"), (r"(?:(a)|(b))+", "ba"), (r"(?:(a)(b)?)+", "aba"),
    (r"(?P<num>(\d+)(\.\d+)?)|(?P<name>\w+)", "3.14"), (r"(?P<num>(\d+)(\.\d+)?)|(?P<name>\w+)", "x1"),
    (r"(\w+)\s*(\d*)", "abc"), (r"x", "x"), (r"(a)(?:(b)|c)", "ac"), (r"((a)|(b))*", "ab"),
    # Groups in lookarounds: their ends do not tell when they closed.
    (r"((?=(\d){1,2}))", "a12"), (r"(?=(ab))(a)", "ab"), (r"(a)(?=(b))", "ab"),
    (r"(?=(a(b)))", "ab"), (r"(?=(abc))(a)(b)", "abc"), (r"(?=(ab))(?=(a))", "ab"),
    (r"(?<=(a))(b)", "ab"), (r"(?=(?P<x>ab))(?P<y>a)", "ab"), (r"(?=(a)(bc))", "abc"),
    (r"((?=(abc))a)(b)", "abc"), (r"(?:(?=(ab))(a))+", "aab"), (r"(?!(b))(a)", "a"),
]


@pytest.mark.parametrize("pattern,text", LASTINDEX_CASES)
def test_lastindex_and_lastgroup_agree_with_re(pattern, text):
    m = kordal.Regex(pattern).find(text)
    expected = re.search(pattern, text)
    assert m.span == expected.span()
    assert (m.lastindex, m.lastgroup) == (expected.lastindex, expected.lastgroup)
    r = kre.search(pattern, text)
    assert (r.span(), r.lastindex, r.lastgroup) == (expected.span(), expected.lastindex,
                                                     expected.lastgroup)


def test_tokenizer_with_lastgroup():
    token = r"(?P<NUM>\d+(?:\.\d*)?)|(?P<ID>[A-Za-z_]\w*)|(?P<OP>[+*/=-])|(?P<WS>\s+)"
    text = "x = 3.5 * y1"
    kinds = [(m.lastgroup, m.matched) for m in kordal.Regex(token).finditer(text)]
    assert kinds == [(m.lastgroup, m.group()) for m in re.finditer(token, text)]


# --- expand -----------------------------------------------------------------------------------


@pytest.mark.parametrize("template,expected", [
    ("$2=$1", "1=a"), ("${v}-${k}", "1-a"), (r"\g<k>\g'v'", "a1"), ("$$", "$"), ("$&!", "a=1!"),
    (r"\n", "\n"), ("${nosuch}$9", ""), ("", ""),
])
def test_expand_uses_the_replace_templates(template, expected):
    r = kordal.Regex(r"(?P<k>\w+)=(?P<v>\w+)")
    m = r.find("x a=1")
    assert m.expand(template) == expected
    # The same expansion replace() puts in place of the match.
    assert r.replace("a=1", template) == expected


def test_expand_after_pickling_and_on_non_ascii():
    import pickle

    m = pickle.loads(pickle.dumps(kordal.Regex(r"(é+)(\w)").find("aééz")))
    assert m.expand("[$2$1]") == "[zéé]"
    with pytest.raises(TypeError):
        m.expand(1)


# --- code-point spans -------------------------------------------------------------------------


@pytest.mark.parametrize("pattern,text", [
    (r"(é+)(x)?", "aééb"), (r"(\w+)@(\w+)", "→ zoë@exämple 😀"), (r"()", "€"), (r"(a)|(b)", "€b"),
])
def test_char_span_slices_the_str_like_re(pattern, text):
    m = kordal.Regex(pattern).find(text)
    expected = re.search(pattern, text)
    for g in range(len(m)):
        if m.group(g) is None:
            assert m.char_span(g) is None
            assert m.span_of(g) is None
        else:
            start, end = m.char_span(g)
            assert text[start:end] == m.group(g)
            assert (start, end) == expected.span(g)
            b0, b1 = m.span_of(g)
            assert text.encode()[b0:b1].decode() == m.group(g)
    assert m.char_span() == m.char_span(0)
    assert m.char_span(99) is None
    with pytest.raises(OverflowError):
        m.char_span(-1)


def test_partial_char_span():
    p = kordal.Regex(r"(é+)(\d)(x)|(y)").find_partial("aéé1")
    assert p.char_span() == (1, 4)
    assert p.char_span(1) == (1, 3)
    assert p.char_span(2) == (3, 4)
    assert (p.group_state(3), p.char_span(3)) == ("partial", (4, 4))  # open at the end
    assert (p.group_state(4), p.char_span(4)) == ("none", None)
    assert p.char_span(9) is None
    assert (p.start, p.end) == (1, 6)  # bytes, for comparison


# --- module-level cache -----------------------------------------------------------------------


def test_module_is_match_with_many_patterns_stays_correct():
    # More patterns than the cache holds, each used twice, with different answers.
    for round_ in range(2):
        for i in range(700):
            assert kordal.is_match(f"a{i}b", f"xa{i}b") is True
            assert kordal.is_match(f"a{i}b", f"xa{i + 1}b") is False


def test_module_is_match_errors_are_not_cached():
    for _ in range(2):
        with pytest.raises(ValueError, match="kordal error at position 0"):
            kordal.is_match("(", "x")


def test_module_is_match_with_a_str_subclass():
    class S(str):
        def __hash__(self):
            return 0

        def __eq__(self, other):
            return True

    assert kordal.is_match(S("b"), "abc") is True
    assert kordal.is_match(S("z"), "abc") is False
