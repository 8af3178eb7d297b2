"""`timeout=` on every searching callable of kordal_python.re: a runaway
search raises TimeoutError and the pattern stays usable; an ordinary one is
unaffected. The runaway has 2^40 ways to split its run, so no machine ends it
before its limit."""

import pytest

import kordal_python.re as kre

RUNAWAY = r"(x+x+)+y(?<=y)"
TEXT = "x" * 40


def calls():
    p = kre.compile(RUNAWAY)
    return {
        "Pattern.search": lambda t: p.search(TEXT, timeout=t),
        "Pattern.match": lambda t: p.match(TEXT, timeout=t),
        "Pattern.fullmatch": lambda t: p.fullmatch(TEXT, 0, 40, timeout=t),
        "Pattern.findall": lambda t: p.findall(TEXT, timeout=t),
        "Pattern.finditer": lambda t: list(p.finditer(TEXT, timeout=t)),
        "Pattern.scanner": lambda t: p.scanner(TEXT, timeout=t).search(),
        "Pattern.sub": lambda t: p.sub("", TEXT, timeout=t),
        "Pattern.subn": lambda t: p.subn("", TEXT, 1, timeout=t),
        "Pattern.split": lambda t: p.split(TEXT, timeout=t),
        "search": lambda t: kre.search(RUNAWAY, TEXT, timeout=t),
        "match": lambda t: kre.match(RUNAWAY, TEXT, timeout=t),
        "fullmatch": lambda t: kre.fullmatch(RUNAWAY, TEXT, timeout=t),
        "findall": lambda t: kre.findall(RUNAWAY, TEXT, timeout=t),
        "finditer": lambda t: list(kre.finditer(RUNAWAY, TEXT, timeout=t)),
        "sub": lambda t: kre.sub(RUNAWAY, "", TEXT, timeout=t),
        "subn": lambda t: kre.subn(RUNAWAY, "", TEXT, timeout=t),
        "split": lambda t: kre.split(RUNAWAY, TEXT, timeout=t),
    }


@pytest.mark.parametrize("name", sorted(calls()))
def test_runaway_call_times_out_and_pattern_stays_usable(name):
    with pytest.raises(TimeoutError, match="time limit of 0.02 s"):
        calls()[name](0.02)
    assert kre.compile(RUNAWAY).search("xxy", timeout=0.02).span() == (0, 3)


@pytest.mark.parametrize("timeout", [None, 10.0])
def test_ordinary_calls_ignore_a_generous_or_absent_limit(timeout):
    p = kre.compile(r"(\w)=(\d)")
    assert p.findall("a=1 b=2", timeout=timeout) == [("a", "1"), ("b", "2")]
    assert p.sub(r"\2\1", "a=1", timeout=timeout) == "1a"
    assert [m.span() for m in p.finditer("a=1 b=2", timeout=timeout)] == [(0, 3), (4, 7)]


def test_timeout_is_keyword_only_and_checked():
    p = kre.compile("a")
    with pytest.raises(TypeError, match="positional"):
        p.search("a", 0, 1, 5)
    with pytest.raises(ValueError, match="timeout"):
        p.search("a", timeout=-1)
    with pytest.raises(ValueError, match="timeout"):
        kre.search("a", "a", timeout=float("nan"))
    with pytest.raises(TypeError):
        kre.sub("a", "b", "a", timeout="1")


def test_limit_of_one_call_does_not_leak_into_the_next():
    p = kre.compile(RUNAWAY)
    with pytest.raises(TimeoutError):
        p.search(TEXT, timeout=0.01)
    # Unbounded again: an ordinary search after the timed-out one finishes.
    assert p.search("x" * 10 + "y") is not None
