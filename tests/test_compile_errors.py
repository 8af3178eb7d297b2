"""Compile errors: exact message and byte position for every error the parser
reports, and hostile patterns that must fail (or compile) cleanly."""

import pytest

import kordal_python as kordal


def compile_error(pattern, flags=None):
    with pytest.raises(ValueError) as info:
        kordal.Regex(pattern, flags)
    return str(info.value)


def expect(position, message):
    return f"kordal error at position {position}: {message}"


# (pattern, byte position, message)
STRUCTURE = [
    (")", 0, "unexpected ')'"),
    ("a)b", 1, "unexpected ')'"),
    ("(a))", 3, "unexpected ')'"),
    ("é)", 2, "unexpected ')'"),
    ("(?#a(b)c)d", 8, "unexpected ')'"),
    ("(a", 0, "missing closing ')'"),
    ("x(?:a", 1, "missing closing ')'"),
    ("((a)", 0, "missing closing ')'"),
    ("é(", 2, "missing closing ')'"),
    ("(?=a", 0, "missing closing ')'"),
    ("a(?<!b", 1, "missing closing ')'"),
    ("(?>", 0, "missing closing ')'"),
    ("(?i:a", 0, "missing closing ')'"),
    ("(?P<n>a", 0, "missing closing ')'"),
    ("ab(?#c", 2, "unterminated (?#...) comment"),
    ("(*FAIL)", 0, "backtracking verbs (*PRUNE *SKIP *FAIL ...) are not yet supported"),
    ("a(*)", 1, "backtracking verbs (*PRUNE *SKIP *FAIL ...) are not yet supported"),
    ("(?(1)a|b)", 2, "conditional (?(...)) and (?(DEFINE)...) are not yet supported"),
    ("(?P>n)", 3, "recursive subpattern calls (?P>...) are not yet supported"),
    ("é(?P&n)", 5, "recursive subpattern calls (?P>...) are not yet supported"),
    ("(?P", 3, "bad (?P...) extension"),
    ("(?Px)", 3, "bad (?P...) extension"),
    ("(?P<>x)", 0, "missing group name"),
    ("(?<>x)", 0, "missing group name"),
    ("a(?P=)", 1, "missing group name"),
    ("(?P<ab", 0, "missing group name"),
    ("(?<", 0, "missing group name"),
    ("(?P=ab", 0, "missing group name"),
    ("(?P<a-b>x)", 0, "bad character '-' in group name"),
    ("x(?<a b>x)", 1, "bad character ' ' in group name"),
    ("(?P=a\nb)", 0, "bad character '\\n' in group name"),
    ("(?P=x)(?P<x>a)", 0, 'unknown group name "x"'),
    ("(?P<x>(?P=y))", 6, 'unknown group name "y"'),
    ("(?i", 0, "expected ':' or ')' after flags"),
    ("(?", 0, "expected ':' or ')' after flags"),
    ("a(?-im", 1, "expected ':' or ')' after flags"),
    ("(?q)", 2, "unknown flag 'q'"),
    ("(?I)", 2, "unknown flag 'I'"),
    ("(?l)", 2, "unknown flag 'l'"),
    ("(?'n'x)", 2, "unknown flag '\\''"),
    ("(?|a)", 2, "unknown flag '|'"),
    ("(?R)", 2, "unknown flag 'R'"),
    ("(?1)", 2, "unknown flag '1'"),
    ("(?&n)", 2, "unknown flag '&'"),
    ("(?i\t)", 3, "unknown flag '\\t'"),
    ("(?V2)", 3, "expected V0 or V1"),
    ("(?V", 3, "expected V0 or V1"),
    ("(?-Vx)", 4, "expected V0 or V1"),
]

QUANTIFIERS = [
    ("*a", 0, "nothing to repeat before '*'"),
    ("(?:*a)", 3, "nothing to repeat before '*'"),
    ("a|*b", 2, "nothing to repeat before '*'"),
    ("(+a)", 1, "nothing to repeat before '+'"),
    ("?", 0, "nothing to repeat before '?'"),
    ("(?i)*", 4, "nothing to repeat before '*'"),
    ("(?#c)+", 5, "nothing to repeat before '+'"),
    ("\\Q\\E*", 4, "nothing to repeat before '*'"),
    ("a**", 3, "multiple quantifiers"),
    ("a{2}{3}", 7, "multiple quantifiers"),
    ("a*?+", 4, "multiple quantifiers"),
    ("a+++", 4, "multiple quantifiers"),
    ("a{1,2}?{3}+", 11, "multiple quantifiers"),
    ("a{e<=1}", 1, "fuzzy matching ({...}) is not yet supported"),
    ("a{e}", 1, "fuzzy matching ({...}) is not yet supported"),
    ("a{i+d}", 1, "fuzzy matching ({...}) is not yet supported"),
    ("a{s}", 1, "fuzzy matching ({...}) is not yet supported"),
    ("a{dd}", 1, "fuzzy matching ({...}) is not yet supported"),
    ("a*{e,", 2, "fuzzy matching ({...}) is not yet supported"),
    ("a{99999999999999999999}", 23, "bad repeat count"),
    ("a{1,99999999999999999999}", 25, "bad repeat count"),
    ("a{99999999999999999999,1}", 25, "bad repeat count"),
    ("a{3,2}", 6, "min greater than max in {m,n}"),
    ("a{70000,2}", 10, "min greater than max in {m,n}"),
    ("a{65536}", 8, "repeat count exceeds 65535"),
    ("a{2,70000}", 10, "repeat count exceeds 65535"),
    ("a{65536,}", 9, "repeat count exceeds 65535"),
    ("a*{2,1}", 7, "min greater than max in {m,n}"),
]

CLASSES = [
    ("[a", 0, "unterminated character class"),
    ("x[^", 1, "unterminated character class"),
    ("[]", 0, "unterminated character class"),
    ("[^]", 0, "unterminated character class"),
    ("[a-", 3, "unterminated character class"),
    ("[é-", 4, "unterminated character class"),
    ("[a-b", 0, "unterminated character class"),
    ("[[:alpha:]", 0, "unterminated character class"),
    ("[z-a]", 1, "bad range 'z'-'a'"),
    ("[a--b]", 1, "bad range 'a'-'-'"),
    ("x[ab\\x{10}-\\n]", 4, "bad range '\\u{10}'-'\\n'"),
    ("[a-\\d]", 1, "bad range endpoint"),
    ("[a-\\p{L}]", 1, "bad range endpoint"),
    ("[a-\\x{110000}]", 4, "invalid codepoint"),
    ("[[:foo:]]", 1, "unknown POSIX class [:foo:]"),
    ("[[:Foo:]]", 1, "unknown POSIX class [:Foo:]"),
    ("[[:^é:]]", 1, "unknown POSIX class [:é:]"),
    ("[[::]]", 1, "unknown POSIX class [::]"),
    ("[a&&b]", 2, "nested set operations (&& -- || ~~) are not yet supported"),
    ("[\\w--\\d]", 3, "nested set operations (&& -- || ~~) are not yet supported"),
    ("[a||b]", 2, "nested set operations (&& -- || ~~) are not yet supported"),
    ("[~~]", 1, "nested set operations (&& -- || ~~) are not yet supported"),
    ("[--]", 1, "nested set operations (&& -- || ~~) are not yet supported"),
]

ESCAPES = [
    ("\\", 1, "trailing backslash"),
    ("é\\", 3, "trailing backslash"),
    ("[a\\", 3, "trailing backslash"),
    ("[a-\\", 4, "trailing backslash"),
    ("\\G", 1, "\\G (search anchor) is not yet supported"),
    ("\\K", 1, "\\K (keep) is not yet supported"),
    ("\\N{DASH}", 1, "\\N{name} is not yet supported"),
    ("\\L<x>", 1, "\\L<name> named lists are not yet supported"),
    ("[\\L]", 2, "\\L<name> named lists are not yet supported"),
    ("\\x{}", 1, "bad \\x{...} escape"),
    ("\\x{41", 1, "bad \\x{...} escape"),
    ("\\x{-41}", 1, "bad hex digits"),
    ("\\x{4 1}", 1, "bad hex digits"),
    ("\\x{+}", 1, "bad hex digits"),
    ("\\x{100000000}", 1, "bad hex digits"),
    ("\\xg", 1, "expected hex digits"),
    ("\\x", 1, "expected hex digits"),
    ("a\\u", 2, "expected hex digits"),
    ("\\U!", 1, "expected hex digits"),
    ("\\x{110000}", 1, "invalid codepoint"),
    ("\\x{D800}", 1, "invalid codepoint"),
    ("\\uDFFF", 1, "invalid codepoint"),
    ("\\U00110000", 1, "invalid codepoint"),
    ("\\1(a)", 1, "backreference to unknown group 1"),
    ("(a)\\2", 4, "backreference to unknown group 2"),
    ("\\81", 1, "backreference to unknown group 8"),
    ("\\9", 1, "backreference to unknown group 9"),
    ("\\g<0>", 1, "unknown group 0"),
    ("(a)\\g<2>", 4, "unknown group 2"),
    ("\\g<99999999999999999999>", 1, "bad \\g<number>"),
    ("\\g<n>", 1, 'unknown group name "n"'),
    ("\\g<-1>", 1, 'unknown group name "-1"'),
    ("\\k'a\"b'", 1, 'unknown group name "a\\"b"'),
    ("\\k<n>(?P<n>a)", 1, 'unknown group name "n"'),
    ("\\k<1>", 1, "\\k<> expects a name"),
    ("\\g{1}", 1, "expected '<' or '\\'' after \\g"),
    ("\\g1", 1, "expected '<' or '\\'' after \\g"),
    ("\\k{n}", 1, "expected '<' or '\\'' after \\g"),
    ("\\g", 1, "expected '<' or '\\'' after \\g"),
    ("\\g<>", 1, "empty or unterminated \\g<>"),
    ("\\k<n", 1, "empty or unterminated \\g<>"),
    ("\\pL", 1, "expected '{' after \\p"),
    ("\\P", 1, "expected '{' after \\p"),
    ("\\p{L", 1, "unterminated \\p{...}"),
    ("\\p:L", 1, "unterminated \\p{...}"),
    ("[\\p{L]", 2, "unterminated \\p{...}"),
    ("\\p{Greek}", 1, 'unknown property "Greek"'),
    ("\\p{^Foo}", 1, 'unknown property "Foo"'),
    ("\\P{}", 1, 'unknown property ""'),
    ("\\p{a\"b\\c}", 1, 'unknown property "a\\"b\\\\c"'),
    ("\\p{\t}", 1, 'unknown property "\\t"'),
]

ALL = STRUCTURE + QUANTIFIERS + CLASSES + ESCAPES


@pytest.mark.parametrize("pattern,position,message", ALL)
def test_error(pattern, position, message):
    assert compile_error(pattern) == expect(position, message)


def test_error_is_a_plain_value_error():
    with pytest.raises(ValueError) as info:
        kordal.Regex("(")
    assert type(info.value) is ValueError


@pytest.mark.parametrize("pattern,position,message", [
    ("a *", 2, "nothing to repeat before '*'"),
    ("a #c\n+", 5, "nothing to repeat before '+'"),
    ("(?#x)\n?", 6, "nothing to repeat before '?'"),
])
def test_verbose_mode_skips_only_between_atoms(pattern, position, message):
    assert compile_error(pattern, kordal.VERBOSE) == expect(position, message)
    assert compile_error("(?x)" + pattern) == expect(position + 4, message)


def test_first_error_in_reading_order_wins():
    assert compile_error("\\1[z-a](") == expect(1, "backreference to unknown group 1")
    assert compile_error("(?i)[z-a]\\") == expect(5, "bad range 'z'-'a'")


# ---------------------------------------------------------------------------
# Limits and hostile patterns: each must end in a clean error or a Regex.

def test_nesting_limit():
    ok = "(" * 1000 + ")" * 1000
    assert kordal.Regex(ok).capture_count == 1000
    for opener in ["(", "(?:", "(?=", "(?<=", "(?>", "(?i:", "(?<n>"]:
        deep = opener * 1001 + "a" + ")" * 1001
        assert compile_error(deep) == expect(1000 * len(opener), "group nesting exceeds 1000")


def test_bodyless_groups_do_not_count_as_nesting():
    assert kordal.Regex("(?i)" * 3000 + "(?#c)" * 3000 + "a").capture_count == 0


@pytest.mark.parametrize("pattern,message", [
    ("(" * 100_000, "kordal error at position 1000: group nesting exceeds 1000"),
    (")" * 100_000, "kordal error at position 0: unexpected ')'"),
    ("[" * 100_000, "kordal error at position 0: unterminated character class"),
    ("a" * 1_000_000 + "\\", "kordal error at position 1000001: trailing backslash"),
    ("a" * 1_000_000 + "\\x{", "kordal error at position 1000001: bad \\x{...} escape"),
    ("a" * 1_000_000 + "\\p{", "kordal error at position 1000001: unterminated \\p{...}"),
    ("a" * 1_000_000 + "[", "kordal error at position 1000000: unterminated character class"),
    ("(?#" * 100_000, "kordal error at position 0: unterminated (?#...) comment"),
], ids=["open", "close", "brackets", "backslash", "hex", "property", "class", "comments"])
def test_hostile_patterns_fail_cleanly(pattern, message):
    assert compile_error(pattern) == message


def test_large_patterns_compile():
    ten_mb = 10_000_000
    assert kordal.Regex("\\Q" + "a" * ten_mb).dump().count("'a'") == ten_mb
    assert kordal.Regex("(?x)#" + "a" * ten_mb + "\nb").dump() == "Lit 'b' ign=false\n"
    assert kordal.Regex("a" * 1_000_000).dump().count("\n") == 1_000_001
    assert kordal.Regex("a|" * 1_000_000).dump().count("\n") == 1_000_002
    assert kordal.Regex("(a)" * 200_000).capture_count == 200_000
    assert kordal.Regex("(?:a*)" * 200_000 + "[a-z]" * 200_000).flags == 0x20008
