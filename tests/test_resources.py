"""Resource use: every callable, on its success and its error paths, called
many times without the resident memory growing; and one Regex shared by
eight threads giving the same results as one thread.

Memory: each callable is warmed up, then called N times; the resident set
after the run may exceed the one after the warm-up by at most MARGIN. A leak
of one small object per call (32 bytes) over 100k calls is 3 MB, above the
margin. N is 100k for a representative set (searches that build results,
every error class, the result properties that build containers) and 20k for
the rest, which keeps the file well under a minute.
"""

import copy
import gc
import os
import pickle
import random
import sys
import threading

import pytest

import kordal_python as k

FULL = 100_000
LIGHT = 20_000
MARGIN = 1024 * 1024

PATTERN = r"(?P<k>\w+)=(?P<v>\w+)|(x)"
R = k.Regex(PATTERN)
HAY = "key=value é😀 x a=b"
M = R.find(HAY)
PM = R.find_partial("key=va")


def rss():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:  # no procfs: the peak is the best there is
        import resource
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return peak if sys.platform == "darwin" else peak * 1024


SUCCESS = [
    ("compile", LIGHT, lambda: k.compile(PATTERN)),
    ("Regex", LIGHT, lambda: k.Regex(PATTERN, k.IGNORECASE)),
    ("module is_match", LIGHT, lambda: k.is_match(r"\d+", HAY)),
    ("escape", LIGHT, lambda: k.escape(HAY)),
    ("escape_special_only", LIGHT, lambda: k.escape_special_only(HAY)),
    ("escape_literal_spaces", LIGHT, lambda: k.escape_literal_spaces(HAY)),
    ("parse_flags", LIGHT, lambda: k.parse_flags("imsx")),
    ("Regex properties", LIGHT, lambda: (R.pattern, R.flags, R.capture_count, repr(R))),
    ("group_names", LIGHT, lambda: (R.group_names(), R.group_index("v"), R.group_index("no"))),
    ("is_match", FULL, lambda: R.is_match(HAY)),
    ("find", FULL, lambda: R.find(HAY)),
    ("find_at", FULL, lambda: R.find_at(HAY, 4)),
    ("match_at_start", LIGHT, lambda: R.match_at_start(HAY)),
    ("fullmatch", LIGHT, lambda: R.fullmatch("a=b")),
    ("findall", FULL, lambda: R.findall(HAY)),
    ("find_partial", FULL, lambda: R.find_partial("key=va")),
    ("replace", LIGHT, lambda: R.replace(HAY, "${v}=$k")),
    ("replace_all", FULL, lambda: R.replace_all(HAY, "${v}=$k\\g<3>")),
    ("split", FULL, lambda: R.split(HAY)),
    ("dump", LIGHT, lambda: R.dump()),
    ("Match scalars", LIGHT, lambda: (M.matched, M.group0, M.input, M.start, M.end, M.span,
                                      M.capture_count, len(M), repr(M))),
    ("Match containers", FULL, lambda: (M.groups, M.named_groups, M.all_captures,
                                        M.captures_dict)),
    ("Match group", FULL, lambda: (M.group(), M.group(1, "k", -1), M[2], M["v"])),
    ("Match captures", LIGHT, lambda: (M.captures(1), M.captures_by_name("v"), M.captures(9),
                                       M.captures_by_name("no"))),
    ("Match spans", LIGHT, lambda: (M.span_of(1), M.span_of(3), M.start_of(2), M.end_of(7))),
    ("finditer", LIGHT, lambda: list(R.finditer(HAY))),
    ("replacement function", LIGHT, lambda: R.replace_all(HAY, lambda m: m.matched[::-1])),
    ("Match extras", LIGHT, lambda: (M.char_span(1), M.groupdict("-"), M.expand("$2=$1"),
                                     M.lastindex, M.lastgroup)),
    ("copies and pickles", LIGHT, lambda: (copy.copy(M), copy.deepcopy(PM),
                                           pickle.loads(pickle.dumps(R)))),
    ("PartialMatch", LIGHT, lambda: (PM.status, PM.is_full, PM.is_partial, PM.matched, PM.start,
                                     PM.end, PM.capture_count, repr(PM))),
    ("PartialMatch groups", FULL, lambda: (PM.group(1), PM.group(2), PM.named_group("v"),
                                           PM.group_state(2), PM.group(9), PM.char_span(2))),
]

ERRORS = [
    ("compile error", FULL, ValueError, lambda: k.compile("(a")),
    ("text type", FULL, TypeError, lambda: k.compile(b"a")),
    ("flags range", LIGHT, OverflowError, lambda: k.Regex("a", 2**32)),
    ("flags hostile __index__", LIGHT, ZeroDivisionError, lambda: k.Regex("a", Boom())),
    ("unknown flag", LIGHT, ValueError, lambda: k.parse_flags("imq")),
    ("escape type", LIGHT, TypeError, lambda: k.escape(None)),
    ("module is_match pattern", LIGHT, ValueError, lambda: k.is_match("[", "a")),
    ("surrogate", FULL, UnicodeEncodeError, lambda: R.find("a\ud800")),
    ("binding", FULL, TypeError, lambda: R.find(HAY, extra=1)),
    ("missing argument", LIGHT, TypeError, lambda: R.replace(HAY)),
    ("find_at inside a character", LIGHT, ValueError, lambda: R.find_at("é", 1)),
    ("negative offset", LIGHT, OverflowError, lambda: R.find_at(HAY, -1)),
    ("group number", FULL, IndexError, lambda: M[9]),
    ("group name", LIGHT, IndexError, lambda: M["nope"]),
    ("group key type", LIGHT, TypeError, lambda: M[1.5]),
    ("group keyword", LIGHT, TypeError, lambda: M.group(x=1)),
    ("captures negative", LIGHT, OverflowError, lambda: M.captures(-1)),
    ("partial negative", LIGHT, OverflowError, lambda: PM.group_state(-2)),
    ("Match()", LIGHT, TypeError, lambda: k.Match()),
    ("read-only attribute", LIGHT, AttributeError, lambda: setattr(R, "pattern", "b")),
    ("replacement function result", LIGHT, TypeError, lambda: R.replace_all(HAY, lambda m: 1)),
    ("replacement function raises", LIGHT, ZeroDivisionError,
     lambda: R.replace(HAY, lambda m: 1 / 0)),
]


class Boom:
    def __index__(self):
        raise ZeroDivisionError("boom")


def growth(fn, n, exc=None):
    def loop(count):
        if exc is None:
            for _ in range(count):
                fn()
        else:
            for _ in range(count):
                try:
                    fn()
                except exc:
                    pass

    loop(2000)
    gc.collect()
    before = rss()
    loop(n)
    gc.collect()
    return rss() - before


@pytest.mark.parametrize("name,n,fn", SUCCESS, ids=[s[0] for s in SUCCESS])
def test_success_path_does_not_grow(name, n, fn):
    assert growth(fn, n) < MARGIN


@pytest.mark.parametrize("name,n,exc,fn", ERRORS, ids=[e[0] for e in ERRORS])
def test_error_path_does_not_grow(name, n, exc, fn):
    with pytest.raises(exc):
        fn()
    assert growth(fn, n, exc) < MARGIN


def test_growth_is_measurable():
    # The measurement must see a leak of the size the margin is meant to catch.
    kept = []
    assert growth(lambda: kept.append(bytearray(40)), FULL) > MARGIN


# --- one Regex, many threads ---------------------------------------------------------------------

LONG = ("name=value é😀 " * 4000) + "tail=end"


def outcome(method, args):
    """A comparable summary of one call's result or exception."""
    try:
        out = getattr(R, method)(*args)
        if method == "finditer":
            out = list(out)
    except (ValueError, TypeError) as exc:
        return ("raised", type(exc).__name__)
    if isinstance(out, k.Match):
        return (out.span, out.groups, out.all_captures)
    if isinstance(out, k.PartialMatch):
        return (out.status, out.start, out.end, [out.group(g) for g in range(4)])
    if isinstance(out, list) and out and isinstance(out[0], k.Match):
        return [(m.span, m.groups) for m in out]
    return out


def swap(m):
    return f"{m['v']}={m['k']}" if m["k"] is not None else m.matched


CALLS = [
    (method, (hay,) + extra)
    for hay in ("", "a=b", HAY, "x=y z=\U0001F600w", LONG, "é" * 50 + "=1")
    for method, extra in [
        ("is_match", ()), ("find", ()), ("match_at_start", ()), ("fullmatch", ()),
        ("findall", ()), ("find_partial", ()), ("split", ()), ("replace", ("<$2>",)),
        ("replace_all", ("${v}=${k}",)), ("find_at", (3,)), ("find_at", (len(hay.encode()),)),
        ("finditer", ()), ("replace_all", (swap,)),
    ]
]


def test_shared_regex_gives_single_thread_results_in_eight_threads():
    expected = [outcome(m, a) for m, a in CALLS]
    mismatches = []
    errors = []

    def worker(seed):
        rng = random.Random(seed)
        order = list(range(len(CALLS))) * 3
        rng.shuffle(order)
        try:
            for i in order:
                got = outcome(*CALLS[i])
                if got != expected[i]:
                    mismatches.append((seed, CALLS[i][0], i))
        except BaseException as exc:  # reported below; the thread must not die silently
            errors.append(repr(exc))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert mismatches == []
