"""Syntax trees as Regex.dump() prints them, group numbering and names, and the
flags a compiled Regex reports."""

import pytest

import kordal_python as kordal


def dump(pattern, flags=None):
    return kordal.Regex(pattern, flags).dump().splitlines()


def lines(text):
    return text.strip("\n").splitlines()


# (pattern, flags, expected dump)
TREES = [
    ("", None, "Empty"),
    ("()", None, "Group 1\n  Empty"),
    ("a|", None, "Branch\n  Lit 'a' ign=false\n  Empty"),
    ("|", None, "Branch\n  Empty\n  Empty"),
    ("a|(b)*", None, """
Branch
  Lit 'a' ign=false
  Repeat min=0 max=None greedy=true
    Group 1
      Lit 'b' ign=false
"""),
    ("abc", None, "Sequence\n  Lit 'a' ign=false\n  Lit 'b' ign=false\n  Lit 'c' ign=false"),
    ("a|b|c", None, "Branch\n  Lit 'a' ign=false\n  Lit 'b' ign=false\n  Lit 'c' ign=false"),
    # atoms
    (".^$", None, "Sequence\n  Any dotall=false\n  StartLine ml=false\n  EndLine ml=false"),
    (".^$", kordal.DOTALL | kordal.MULTILINE,
     "Sequence\n  Any dotall=true\n  StartLine ml=true\n  EndLine ml=true"),
    ("{}]-", None, "Sequence\n  Lit '{' ign=false\n  Lit '}' ign=false\n  Lit ']' ign=false\n"
     "  Lit '-' ign=false"),
    # group forms
    ("(?:a)(?>b)", None, "Sequence\n  NonCap\n    Lit 'a' ign=false\n  Atomic\n"
     "    Lit 'b' ign=false"),
    ("(?=a)(?!b)(?<=c)(?<!d)", None, """
Sequence
  Look behind=false positive=true
    Lit 'a' ign=false
  Look behind=false positive=false
    Lit 'b' ign=false
  Look behind=true positive=true
    Lit 'c' ign=false
  Look behind=true positive=false
    Lit 'd' ign=false
"""),
    ("(?P<x>a)(?P=x)", None, "Sequence\n  Group 1\n    Lit 'a' ign=false\n  BackRef 1 ign=false"),
    ("(?i)(?P<x>a)(?P=x)", None,
     "Sequence\n  Group 1\n    Lit 'a' ign=true\n  BackRef 1 ign=true"),
    ("(?)(?-)(?#)", None, "Empty"),
    ("(?#a(b)c", None, "Lit 'c' ign=false"),
    # inline flags
    ("(?i)a", None, "Lit 'a' ign=true"),
    ("a(?i)b|c", None, """
Branch
  Sequence
    Lit 'a' ign=false
    Lit 'b' ign=true
  Lit 'c' ign=true
"""),
    ("(a(?i)b)c", None, """
Sequence
  Group 1
    Sequence
      Lit 'a' ign=false
      Lit 'b' ign=true
  Lit 'c' ign=false
"""),
    ("(?i:a)b", None, "Sequence\n  NonCap\n    Lit 'a' ign=true\n  Lit 'b' ign=false"),
    ("(?i-i)a", None, "Lit 'a' ign=false"),
    ("(?-i:a)a", kordal.IGNORECASE, "Sequence\n  NonCap\n    Lit 'a' ign=false\n  Lit 'a' ign=true"),
    ("(?a)\\w\\b\\M[\\d]", None, """
Sequence
  Predef Word neg=false ascii=true
  WordBoundary neg=false ascii=true
  WordEdge end=true ascii=true
  Class negated=false (1 items)
"""),
    ("(?msV1)(?V0).^", None, "Sequence\n  Any dotall=true\n  StartLine ml=true"),
    # verbose mode: only between atoms
    ("(?x) a b # comment\nc", None,
     "Sequence\n  Lit 'a' ign=false\n  Lit 'b' ign=false\n  Lit 'c' ign=false"),
    ("(?x)[ #]", None, "Class negated=false (2 items)"),
    ("(?x)\\ \\#", None, "Sequence\n  Lit ' ' ign=false\n  Lit '#' ign=false"),
    ("(?x)a {2}", None, "Sequence\n  Lit 'a' ign=false\n  Lit '{' ign=false\n"
     "  Lit '2' ign=false\n  Lit '}' ign=false"),
    ("(?x)\\Qa #\\E", None, "LitStr ['a', ' ', '#'] ign=false"),
    (" a", kordal.VERBOSE, "Lit 'a' ign=false"),
    # classes
    ("[a-c\\d]", None, "Class negated=false (2 items)"),
    ("[a]", None, "Class negated=false (1 items)"),
    ("[^]a]", None, "Class negated=true (2 items)"),
    ("[[:alpha]", None, "Class negated=false (7 items)"),
    ("[[:a:b:]]", None, "Sequence\n  Class negated=false (6 items)\n  Lit ']' ign=false"),
    ("[a-z-9]", None, "Class negated=false (3 items)"),
    ("[\\d-z]", None, "Class negated=false (3 items)"),
    ("[a&b|c~d]", None, "Class negated=false (7 items)"),
    ("(?i)[a-z]", None, "Class negated=false (1 items)"),
    # escapes
    ("\\n", None, "Lit '\\n' ign=false"),
    ("\\a\\e\\f\\r\\t\\v\\0", None, """
Sequence
  Lit '\\u{7}' ign=false
  Lit '\\u{1b}' ign=false
  Lit '\\u{c}' ign=false
  Lit '\\r' ign=false
  Lit '\\t' ign=false
  Lit '\\u{b}' ign=false
  Lit '\\0' ign=false
"""),
    ("\\y\\c\\E\\-\\é\\<\\'\\\\", None, """
Sequence
  Lit 'y' ign=false
  Lit 'c' ign=false
  Lit 'E' ign=false
  Lit '-' ign=false
  Lit 'é' ign=false
  Lit '<' ign=false
  Lit '\\'' ign=false
  Lit '\\\\' ign=false
"""),
    ("\\d\\D\\W\\s", None, """
Sequence
  Predef Digit neg=false ascii=false
  Predef Digit neg=true ascii=false
  Predef Word neg=true ascii=false
  Predef Space neg=false ascii=false
"""),
    ("\\A\\Z\\z\\b\\B\\m\\M\\X", None, """
Sequence
  StartText
  EndText
  EndText
  WordBoundary neg=false ascii=false
  WordBoundary neg=true ascii=false
  WordEdge end=false ascii=false
  WordEdge end=true ascii=false
  Grapheme
"""),
    ("\\12", None, "Lit '\\n' ign=false"),
    ("\\101\\1011", None, "Sequence\n  Lit 'A' ign=false\n  Lit 'A' ign=false\n  Lit '1' ign=false"),
    ("\\00000", None, "Sequence\n  Lit '\\0' ign=false\n  Lit '0' ign=false"),
    ("\\0777", None, "Lit 'ǿ' ign=false"),
    ("(a)\\18", None, "Sequence\n  Group 1\n    Lit 'a' ign=false\n  BackRef 1 ign=false\n"
     "  Lit '8' ign=false"),
    ("(a\\1)", None, "Group 1\n  Sequence\n    Lit 'a' ign=false\n    BackRef 1 ign=false"),
    ("\\x4\\u41z", None, "Sequence\n  Lit '\\u{4}' ign=false\n  Lit 'A' ign=false\n"
     "  Lit 'z' ign=false"),
    ("\\x{1F600}\\U0001f600", None, "Sequence\n  Lit '😀' ign=false\n  Lit '😀' ign=false"),
    ("\\x{301}\\x{a0}\\x{200b}\\x{e000}", None, """
Sequence
  Lit '\\u{301}' ign=false
  Lit '\\u{a0}' ign=false
  Lit '\\u{200b}' ign=false
  Lit '\\u{e000}' ign=false
"""),
    ("\\Qa.b\\E", None, "LitStr ['a', '.', 'b'] ign=false"),
    ("\\Qa\\b", None, "LitStr ['a', '\\\\', 'b'] ign=false"),
    ("(?i)\\Qab\\E+", None, "Repeat min=1 max=None greedy=true\n  LitStr ['a', 'b'] ign=true"),
    ("\\Q\\Ea", None, "Lit 'a' ign=false"),
    ("a\\Q", None, "Lit 'a' ign=false"),
    ("\\p{^L}\\P{^L}\\p:Letter:", None,
     "Sequence\n  Prop L neg=true\n  Prop L neg=false\n  Prop Letter neg=false"),
    ("(?P<n>a)\\g<n>\\g'1'\\k<n>\\k'n'", None, """
Sequence
  Group 1
    Lit 'a' ign=false
  BackRef 1 ign=false
  BackRef 1 ign=false
  BackRef 1 ign=false
  BackRef 1 ign=false
"""),
    ("[\\b\\1\\A\\Q\\g\\k\\G\\K\\N]", None, "Class negated=false (9 items)"),
    # quantifiers
    ("a{3}", None, "Repeat min=3 max=Some(3) greedy=true\n  Lit 'a' ign=false"),
    ("a{,3}", None, "Repeat min=0 max=Some(3) greedy=true\n  Lit 'a' ign=false"),
    ("a{3,}", None, "Repeat min=3 max=None greedy=true\n  Lit 'a' ign=false"),
    ("a{,}", None, "Repeat min=0 max=None greedy=true\n  Lit 'a' ign=false"),
    ("a{0,0}", None, "Repeat min=0 max=Some(0) greedy=true\n  Lit 'a' ign=false"),
    ("a{007}", None, "Repeat min=7 max=Some(7) greedy=true\n  Lit 'a' ign=false"),
    ("a{65535}", None, "Repeat min=65535 max=Some(65535) greedy=true\n  Lit 'a' ign=false"),
    ("a{2,}?", None, "Repeat min=2 max=None greedy=false\n  Lit 'a' ign=false"),
    ("a+?", None, "Repeat min=1 max=None greedy=false\n  Lit 'a' ign=false"),
    ("a??", None, "Repeat min=0 max=Some(1) greedy=false\n  Lit 'a' ign=false"),
    ("a*+", None, "Atomic\n  Repeat min=0 max=None greedy=true\n    Lit 'a' ign=false"),
    ("a?+", None, "Atomic\n  Repeat min=0 max=Some(1) greedy=true\n    Lit 'a' ign=false"),
    ("a{1,2}+", None, "Atomic\n  Repeat min=1 max=Some(2) greedy=true\n    Lit 'a' ign=false"),
    ("^*\\b+", None, "Sequence\n  Repeat min=0 max=None greedy=true\n    StartLine ml=false\n"
     "  Repeat min=1 max=None greedy=true\n    WordBoundary neg=false ascii=false"),
    ("(?=a)?", None, "Repeat min=0 max=Some(1) greedy=true\n  Look behind=false positive=true\n"
     "    Lit 'a' ign=false"),
    ("a*{x}", None, "Sequence\n  Repeat min=0 max=None greedy=true\n    Lit 'a' ign=false\n"
     "  Lit '{' ign=false\n  Lit 'x' ign=false\n  Lit '}' ign=false"),
    ("(?i){2}", None, "Sequence\n  Lit '{' ign=true\n  Lit '2' ign=true\n  Lit '}' ign=true"),
]


@pytest.mark.parametrize("pattern,flags,expected", TREES)
def test_dump(pattern, flags, expected):
    assert dump(pattern, flags) == lines(expected)


@pytest.mark.parametrize("pattern,literal", [
    ("a{}", "{}"), ("a{x}", "{x}"), ("a{1,2,3}", "{1,2,3}"), ("a{ 1}", "{ 1}"), ("a{12", "{12"),
    ("a{1 }", "{1 }"), ("a{-1}", "{-1}"), ("a{e", "{e"), ("a{end}", "{end}"),
    ("a{1,", "{1,"),
])
def test_brace_that_is_not_a_quantifier_is_literal_text(pattern, literal):
    expected = ["Sequence", "  Lit 'a' ign=false"] + [f"  Lit '{c}' ign=false" for c in literal]
    assert dump(pattern) == expected


@pytest.mark.parametrize("pattern", [
    "\\x41", "\\x{41}", "\\x{+41}", "\\x{0000000041}", "\\u0041", "\\U00000041", "\\101",
    "\\0101", "\\x{00041}",
])
def test_spellings_of_capital_a(pattern):
    assert dump(pattern) == ["Lit 'A' ign=false"]


def test_backreference_digit_eight_takes_no_octal_digit():
    groups = "".join(f"({i})" for i in range(1, 9))
    tail = dump(groups + "\\81")[-2:]
    assert tail == ["  BackRef 8 ign=false", "  Lit '1' ign=false"]


def test_dump_of_deep_nesting_at_the_limit():
    depth = 1000
    text = kordal.Regex("(" * depth + ")" * depth).dump().splitlines()
    assert len(text) == depth + 1
    assert text[-2] == "  " * (depth - 1) + f"Group {depth}"
    assert text[-1] == "  " * depth + "Empty"


# ---------------------------------------------------------------------------
# Group numbering and names

@pytest.mark.parametrize("pattern,count,names", [
    ("", 0, {}),
    ("a(b)(?:c)(d)", 2, {}),
    ("((a)(b))", 3, {}),
    ("(?P<x>a)(?P<x>b)", 1, {"x": 1}),
    ("(?P<x>a)(b)(?<x>c)", 2, {"x": 1}),
    ("(a)(?<é1>b)(?P<_9>c)", 3, {"é1": 2, "_9": 3}),
    ("(?<1>a)", 1, {"1": 1}),
    ("(?=(a))(?<=(?P<n>b))(?>(c))", 3, {"n": 2}),
])
def test_group_numbering(pattern, count, names):
    r = kordal.Regex(pattern)
    assert r.capture_count == count
    assert sorted(r.group_names()) == sorted(names)
    for name, number in names.items():
        assert r.group_index(name) == number
    assert r.group_index("absent") is None


def test_group_numbers_follow_opening_parentheses():
    text = dump("((a)(?P<n>b(c)))(d)")
    numbers = [int(line.split()[-1]) for line in text if line.strip().startswith("Group")]
    assert numbers == [1, 2, 3, 4, 5]


# ---------------------------------------------------------------------------
# Flags stored by a compiled Regex

@pytest.mark.parametrize("given,stored", [
    (None, 0x20008),
    (0, 0x20008),
    (kordal.ASCII, 0x20010),
    (kordal.VERSION0, 0x10008),
    (kordal.VERSION1, 0x20008),
    (kordal.LOCALE, 0x20100),
    (kordal.UNICODE | kordal.ASCII, 0x20018),
    (0x200, 0x20208),
    (kordal.IGNORECASE | kordal.VERBOSE | kordal.VERSION0 | kordal.VERSION1, 0x30029),
])
def test_stored_flags(given, stored):
    assert kordal.Regex("a", given).flags == stored


@pytest.mark.parametrize("pattern", ["(?V0)a", "(?u)a", "(?iLa)a", "(?x-x:a)", "(?-u)a"])
def test_inline_flags_do_not_change_stored_flags(pattern):
    assert kordal.Regex(pattern).flags == 0x20008
