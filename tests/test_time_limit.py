"""time_limit: a thread-local bound on searches. The runaway patterns are
provably exponential (a lookbehind keeps them off the linear engines and out
of the memo), so they cannot finish within any limit on any machine; no test
depends on how fast the machine is.
"""

import subprocess
import sys
import textwrap
import threading

import pytest

import kordal_python as kordal

RUNAWAY = r"(?<=x)(x+x+)+y"
RUNAWAY_TEXT = "z" + "x" * 40


def runaway():
    return kordal.Regex(RUNAWAY)


# Every entry point that searches, run on the runaway text.
CALLS = {
    "is_match": lambda r, t: r.is_match(t),
    "find": lambda r, t: r.find(t),
    "find_at": lambda r, t: r.find_at(t, 1),
    "findall": lambda r, t: r.findall(t),
    "finditer": lambda r, t: list(r.finditer(t)),
    "split": lambda r, t: r.split(t),
    "replace": lambda r, t: r.replace(t, "-"),
    "replace_all": lambda r, t: r.replace_all(t, "-"),
    "replace_fn": lambda r, t: r.replace_all(t, lambda m: "-"),
    "find_partial": lambda r, t: r.find_partial(t + "!"),
    "module_is_match": lambda r, t: kordal.is_match(RUNAWAY, t),
    "stream_feed": lambda r, t: r.stream().feed(t),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_every_search_is_bounded(name):
    r = runaway()
    with pytest.raises(TimeoutError, match="time limit of 0.01 s"):
        with kordal.time_limit(0.01):
            CALLS[name](r, RUNAWAY_TEXT)
    # The Regex and the thread are usable afterwards, with and without a limit.
    assert r.find("zxxxy").span == (2, 5)
    with kordal.time_limit(10):
        assert [m.matched for m in r.findall("zxxxxy zxy")] == ["xxxy"]


def test_anchored_forms_are_bounded():
    r = kordal.Regex(r"(x+x+)+(?<=x)y")
    for call in (r.match_at_start, r.fullmatch):
        with pytest.raises(TimeoutError):
            with kordal.time_limit(0.01):
                call("x" * 40)


def test_nested_scopes_only_shorten():
    outer = kordal.time_limit(0.01)
    with outer:
        with kordal.time_limit(1e9):
            with pytest.raises(TimeoutError, match="0.01 s"):
                runaway().find(RUNAWAY_TEXT)
    with kordal.time_limit(1e9):
        with kordal.time_limit(0.02):
            with pytest.raises(TimeoutError, match="0.02 s"):
                runaway().find(RUNAWAY_TEXT)
        # The inner scope has ended: the outer one, effectively none, holds.
        assert runaway().find("zxxxy") is not None


def test_scope_ends_with_its_block():
    with pytest.raises(TimeoutError):
        with kordal.time_limit(0.0):
            runaway().find(RUNAWAY_TEXT)
    # Outside any scope a long but finite search runs to its end.
    r = kordal.Regex(r"(?<=x)(x+x+)+y")
    assert r.find("z" + "x" * 16) is None


@pytest.mark.parametrize("bad", [-1, float("nan")])
def test_rejects_bad_limits(bad):
    with pytest.raises(ValueError):
        kordal.time_limit(bad)


def test_rejects_non_numbers():
    with pytest.raises(TypeError):
        kordal.time_limit("1")


def test_threads_each_time_out_and_others_finish():
    n_limited = 4
    results = {}
    started = threading.Barrier(n_limited + 1)

    def limited(i):
        started.wait()
        try:
            with kordal.time_limit(0.02 * (i + 1)):
                runaway().find(RUNAWAY_TEXT)
            results[i] = "finished"
        except TimeoutError:
            results[i] = "timeout"

    def unlimited():
        started.wait()
        # A search of known work, outside any scope: another thread's limit
        # must not reach it.
        r = kordal.Regex(r"(?<=x)(x+x+)+y")
        results["free"] = [r.find("z" + "x" * 14) for _ in range(5)]

    threads = [threading.Thread(target=limited, args=(i,)) for i in range(n_limited)]
    threads.append(threading.Thread(target=unlimited))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [results[i] for i in range(n_limited)] == ["timeout"] * n_limited
    assert results["free"] == [None] * 5


def test_shared_scope_object_across_threads():
    limit = kordal.time_limit(0.01)
    errors = []

    def work():
        try:
            with limit:
                runaway().find(RUNAWAY_TEXT)
        except TimeoutError as e:
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(errors) == 3


def test_no_leak_after_many_timeouts():
    # Counted in a child by the allocator of the interpreter and by the
    # process's resident set, after a warm-up; the search itself allocates
    # its stack with new, which only the RSS sees.
    code = textwrap.dedent(
        f"""
        import resource, tracemalloc
        import kordal_python as kordal
        r = kordal.Regex({RUNAWAY!r})
        text = {RUNAWAY_TEXT!r}
        def batch(n):
            for _ in range(n):
                try:
                    with kordal.time_limit(0.0):
                        r.find(text)
                except TimeoutError:
                    pass
                else:
                    raise SystemExit("no timeout")
        batch(2000)
        tracemalloc.start()
        rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        before = tracemalloc.get_traced_memory()[0]
        batch(10000)
        after = tracemalloc.get_traced_memory()[0]
        rss1 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(after - before, rss1 - rss0)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    ).stdout.split()
    py_growth, rss_growth_kb = int(out[0]), int(out[1])
    assert py_growth < 64 * 1024, py_growth
    assert rss_growth_kb < 8 * 1024, rss_growth_kb


def test_repr_and_seconds():
    t = kordal.time_limit(0.5)
    assert t.seconds == 0.5
    assert repr(t) == "time_limit(0.5)"


def test_stopped_stream_search_is_retried():
    # About 2**18 steps: past the first poll, so a zero limit always stops
    # it, and finite, so it ends without one.
    r = runaway()
    text = "z" + "x" * 18 + "! zxxy"
    s = r.stream()
    with pytest.raises(TimeoutError):
        with kordal.time_limit(0.0):
            s.feed(text)
    with pytest.raises(TimeoutError):
        with kordal.time_limit(0.0):
            s.close()
    assert [m.span for m in s.feed("") + s.close()] == [m.span for m in r.findall(text)]
