"""findall, split, replace, replace_all and replacement templates."""

import pytest

import kordal_python as kordal


@pytest.mark.parametrize("pattern,text,spans", [
    ("a*", "baa", [(0, 0), (1, 3), (3, 3)]),
    ("x*", "", [(0, 0)]),
    ("a|", "aab", [(0, 1), (1, 2), (2, 2), (3, 3)]),
    ("é", "aéé", [(1, 3), (3, 5)]),
    ("", "é", [(0, 0), (2, 2)]),
    (r"\b", "ab cd", [(0, 0), (2, 2), (3, 3), (5, 5)]),
])
def test_findall(pattern, text, spans):
    assert [m.span for m in kordal.Regex(pattern).findall(text)] == spans


@pytest.mark.parametrize("pattern,text,parts", [
    (",", "a,b,,c", ["a", "b", "", "c"]),
    (r"(\d)", "a1b", ["a", "1", "b"]),
    (r"(x)|\d", "a1b", ["a", "", "b"]),
    ("x*", "abc", ["", "a", "", "b", "", "c", "", ""]),
    ("c", "abc", ["ab", ""]),
    ("x", "", [""]),
    ("x*", "", ["", ""]),
    ("(a)(b)?", "xaby", ["x", "a", "b", "y"]),
    ("(a)(b)?", "xay", ["x", "a", "", "y"]),
    ("", "é€", ["", "é", "", "€", "", ""]),
])
def test_split(pattern, text, parts):
    assert kordal.Regex(pattern).split(text) == parts


@pytest.mark.parametrize("pattern,text,repl,first,every", [
    ("X", "aXbX", "-", "a-bX", "a-b-"),
    ("X", "ab", "-", "ab", "ab"),
    ("x*", "abc", "-", "-abc", "-a-b-c-"),
    ("a*", "baac", "-", "-baac", "-b--c-"),
    (r"(\w+)=(\w+)", "a=1 b=2", "$2=$1", "1=a b=2", "1=a 2=b"),
    ("é", "aéb", "[$0]", "a[é]b", "a[é]b"),
    ("", "ab", "-", "-ab", "-a-b-"),
])
def test_replace(pattern, text, repl, first, every):
    r = kordal.Regex(pattern)
    assert (r.replace(text, repl), r.replace_all(text, repl)) == (first, every)


TEMPLATE_PATTERN = r"(?P<first>a)(b)?"


@pytest.mark.parametrize("template,out", [
    ("", ""),
    ("$1-$2-$0", "a--a"),
    (r"\2", ""),
    ("$$1", "$1"),
    ("$&$&", "aa"),
    ("$x", "$x"),
    ("$é", "$é"),
    ("end$", "end$"),
    ("end\\", "end\\"),
    (r"\\1", r"\1"),
    (r"\n\r\t", "\n\r\t"),
    (r"\q\x41", r"\q\x41"),
    (r"\$1", r"\$1"),
    ("$\\n", "$\\n"),
    ("${first}|\\g<first>|\\g'first'", "a|a|a"),
    ("${1}\\g<1>", "aa"),
    ("${nosuch}$99${}", ""),
    ("${first", "a"),
    ("${first}${", "a"),
    (r"x\g<1", "xa"),
    (r"a\gb", "ab"),
    (r"a\g", "a"),
    ("$1a", "aa"),
    ("$10", ""),
    ("${99999999999999999999}", ""),
    ("${0}", "a"),
])
def test_templates(template, out):
    assert kordal.Regex(TEMPLATE_PATTERN).replace("a", template) == out


def test_multi_digit_group_references():
    pattern = "".join(f"({c})" for c in "abcdefghijk")
    r = kordal.Regex(pattern)
    assert r.replace("abcdefghijk", "$10|\\11|$1") == "j|k|a"


def test_large_iteration():
    # 10 MB with millions of matches (its speed is measured in bench/).
    text = "ab cd ef " * 1_100_000
    matches = kordal.Regex(r"\w+").findall(text)
    assert len(matches) == 3_300_000
    out = kordal.Regex(r"\w+").replace_all(text, "x")
    assert out == "x x x " * 1_100_000
    parts = kordal.Regex(" ").split(text)
    assert len(parts) == 3_300_001 and parts[-1] == ""
