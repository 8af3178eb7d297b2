"""Partial matching: earliest start wins, full preferred at one start, the
candidate with most groups set (first on ties), open groups are partial."""

import pytest

import kordal_python as kordal


def summary(pm):
    if pm is None:
        return None
    states = [pm.group_state(g) for g in range(pm.capture_count + 1)]
    texts = [pm.group(g) for g in range(pm.capture_count + 1)]
    return pm.status, (pm.start, pm.end), list(zip(states, texts))


M, P, N = "matched", "partial", "none"


@pytest.mark.parametrize("pattern,text,want", [
    ("abc", "xab", ("partial", (1, 3), [(M, "ab")])),
    ("abc", "abc", ("full", (0, 3), [(M, "abc")])),
    ("a(bc)d", "ab", ("partial", (0, 2), [(M, "ab"), (P, "b")])),
    ("(a)(b)c", "ab", ("partial", (0, 2), [(M, "ab"), (M, "a"), (M, "b")])),
    ("abc|(a)(b)cd", "ab", ("partial", (0, 2), [(M, "ab"), (M, "a"), (M, "b")])),
    ("(a)bc|(a)bd", "ab", ("partial", (0, 2), [(M, "ab"), (M, "a"), (N, None)])),
    ("x", "ab", None),
    ("a*", "b", ("full", (1, 1), [(M, "")])),
    ("é+x", "aéé", ("partial", (1, 5), [(M, "éé")])),
    ("(?P<k>a)|(?P<v>b)c", "a", ("full", (0, 1), [(M, "a"), (M, "a"), (N, None)])),
    ("abc", "", None),
    ("a*", "", ("full", (0, 0), [(M, "")])),
    # nested open groups are all partial; one entered at the end is empty
    ("((a)(b(c)))", "ab", ("partial", (0, 2), [(M, "ab"), (P, "ab"), (M, "a"), (P, "b"),
                                                 (P, "")])),
    # full match at a start beats a partial one at the same start
    ("ab|abc", "ab", ("full", (0, 2), [(M, "ab")])),
    # a mismatch inside the text records nothing; a later start is used
    ("abc", "abxab", ("partial", (3, 5), [(M, "ab")])),
    # lazy and counted repetitions and literal runs hit the end too
    (r"a{3}", "aa", ("partial", (0, 2), [(M, "aa")])),
    (r"(?:ab)+?c", "aba", ("partial", (0, 3), [(M, "aba")])),
    (r"\Qabc\E", "ab", ("partial", (0, 2), [(M, "ab")])),
    (r"(a)\1", "a", ("partial", (0, 1), [(M, "a"), (M, "a")])),
    # a lookahead that needs more input
    (r"a(?=bc)", "ab", ("partial", (0, 2), [(M, "ab")])),
    # anchors alone never ask for input
    (r"a$", "ab", None),
])
def test_find_partial(pattern, text, want):
    assert summary(kordal.Regex(pattern).find_partial(text)) == want


def test_partial_needs_the_end_of_input():
    # A full match ending before the end is not a partial match: the
    # search looks for matches that run to the end.
    assert kordal.Regex("ab").find_partial("abx") is None
    assert summary(kordal.Regex("ab").find_partial("xab"))[0] == "full"
