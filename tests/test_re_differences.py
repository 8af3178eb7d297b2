"""The documented differences between kordal_python.re and `re`, one row each.

Each row runs the same call on both modules and checks each side's own
result, so a row fails when either module changes. Where the README gives a
recipe for `re`'s behaviour, the recipe run on kordal must give `re`'s result.
These are the only disagreements the differential tests allow.
"""

import re as std
import sys
import warnings

import pytest

import kordal_python.re as kre


def outcome(mod, call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        try:
            m = call(mod)
        except mod.error:
            return "error"
    if m is None or isinstance(m, (list, str, bytes)):
        return m
    return m.regs


# (name, call, re's result, kordal's result, recipe call for kordal or None)
ROWS = [
    ("fold long s", lambda m: m.search("(?i)s", "ſ"), ((0, 1),), None,
     lambda m: m.search("[sſ]", "ſ")),
    ("fold dotted I", lambda m: m.search("(?i)\u0130", "i"), ((0, 1),), None,
     lambda m: m.search("[\u0130i]", "i")),
    ("fold Kelvin in a class", lambda m: m.search("(?i)[k]", "\u212a"), ((0, 1),), None,
     lambda m: m.search("[kK\u212a]", "\u212a")),
    ("backreference folds beyond ASCII", lambda m: m.match(b"(?i)(\xe9)\\1", b"\xe9\xc9"), None,
     ((0, 2), (0, 1)), None),
    ("digit covers numeric", lambda m: m.search(r"\d", "²"), None, ((0, 1),),
     lambda m: m.search(r"[0-9]", "²")),
    ("digit with ASCII", lambda m: m.search(r"\d", "٣", m.A), None, None, None),
    ("space covers FS", lambda m: m.search(r"\s", "\x1c"), ((0, 1),), None,
     lambda m: m.search(r"[\s\x1c-\x1f]", "\x1c")),
    ("backreference to unset group", lambda m: m.fullmatch(r"(a)?b\1", "b"), None,
     ((0, 1), (-1, -1)), None),
    ("backreference recipe", lambda m: m.fullmatch(r"(a|)b\1", "b"), ((0, 1), (0, 0)),
     ((0, 1), (0, 0)), None),
    ("empty iteration ends the loop", lambda m: m.search(r"(?:\w|\A){2}", "b"), ((0, 1),),
     ((0, 0),), None),
    ("non-boundary in empty text", lambda m: m.search(r"\B", ""), None, ((0, 0),),
     lambda m: m.search(r"(?!\A\Z)\B", "")),
    ("captures in lookbehind", lambda m: m.search(r"(?<=(a))b", "ab"), ((1, 2), (0, 1)),
     ((1, 2), (-1, -1)), None),
    ("octal escapes agree", lambda m: m.findall(r"\0|\07|\101", "\x00\x07A"),
     ["\x00", "\x07", "A"], ["\x00", "\x07", "A"], None),
    ("zero octal takes three digits", lambda m: m.match(r"\0010", "\x010"), ((0, 2),), None,
     lambda m: m.match(r"\x010", "\x010")),
    ("backreference folds beyond ASCII with ASCII",
     lambda m: m.match(r"(\xe0)\1", "\xe0\xc0", m.A | m.I), None, ((0, 2), (0, 1)), None),
    ("repeat limit", lambda m: m.search("a{70000}", "a"), None, "error",
     lambda m: m.search("(?:a{1000}){70}", "a")),
    ("unknown letter escape", lambda m: m.search(r"\h", "h"), "error", ((0, 1),), None),
    ("property class", lambda m: m.search(r"\p{L}", "é"), "error", ((0, 1),), None),
    ("POSIX class", lambda m: m.search("[[:alpha:]]", "a"), None, ((0, 1),), None),
    ("braced hex escape", lambda m: m.search(r"\x{41}", "A"), "error", ((0, 1),), None),
    ("short named group", lambda m: m.search("(?<n>a)", "a"), "error", ((0, 1), (0, 1)), None),
    ("literal run", lambda m: m.search(r"\Qa.\E", "a."), "error", ((0, 2),), None),
    ("variable lookbehind", lambda m: m.search("(?<=a+)b", "aab"), "error", ((2, 3),), None),
    ("inline flags anywhere", lambda m: m.search("a(?i)b", "aB"), "error", ((0, 2),), None),
    ("class range from a class", lambda m: m.search(r"[\d-z]", "-"), "error", ((0, 1),), None),
    ("named character", lambda m: m.search(r"\N{DIGIT ONE}", "1"), ((0, 1),), "error",
     lambda m: m.search("1", "1")),
    ("conditional", lambda m: m.search(r"(a)?(?(1)b|c)", "c"), ((0, 1), (-1, -1)), "error",
     None),
    ("match with pos past endpos", lambda m: m.compile("").match("abc", 2, 1), ((2, 2),), None,
     None),
]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="re's error set changed in 3.11")
@pytest.mark.parametrize("name, call, theirs, ours, recipe", ROWS, ids=[r[0] for r in ROWS])
def test_documented_difference(name, call, theirs, ours, recipe):
    assert outcome(std, call) == theirs
    assert outcome(kre, call) == ours
    if recipe is not None:
        assert outcome(kre, recipe) == theirs


def test_lone_surrogate_in_a_pattern_is_an_encoding_error():
    assert std.search("\ud800", "a\ud800").span() == (1, 2)
    with pytest.raises(UnicodeEncodeError):
        kre.compile("\ud800")
    assert kre.search("b", "\ud800b").span() == (1, 2)


@pytest.mark.parametrize("pattern, texts", [
    ("x{2,1}", ("min repeat greater than max repeat", 2, "min greater than max in {m,n}", 6)),
    ("a**", ("multiple repeat", 2, "multiple quantifiers", 3)),
])
def test_error_texts_are_kordals_and_the_class_is_re_s(pattern, texts):
    with pytest.raises(std.error) as theirs:
        std.compile(pattern)
    with pytest.raises(kre.error) as ours:
        kre.compile(pattern)
    assert (theirs.value.msg, theirs.value.pos) == texts[:2]
    assert (ours.value.msg, ours.value.pos) == texts[2:]
