"""Patterns that are one code point test are found by a scan of their own;
its answers above 255 come from a table filled per block of code points on
first need, which threads sharing the pattern may fill at the same time."""

import random
import re
import threading

import pytest

import kordal_python as kordal

POOL = "ab Z9\n\u00e9\u00c0\u0430\u0416\u0435\u0661\uff13\u4e2d\u212a\u017f\U0001d400\U0001f600"


def text_of(seed, size, pool=POOL):
    rng = random.Random(seed)
    return "".join(rng.choice(pool) for _ in range(size))


def spans_by_re(pattern, text):
    return [m.span() for m in re.finditer(pattern, text)]


@pytest.mark.parametrize("pattern", [
    ".", "(?s).", r"\d", r"\W", "[\u0430\u0435\u043e\u0443]", "[\u0430-\u044f]", "(?i)k",
    "[^a\u0430]", "[Z9]", "(?i)\u00e9", r"[^\x00-\x7F]", r"[\x80-\U0010FFFF]", r"[^\x00-\xfe]",
])
@pytest.mark.parametrize("extra", ["", "\U0001f600"], ids=["2-byte", "4-byte"])
def test_single_tests_agree_with_re(pattern, extra):
    text = text_of(pattern, 5000) + extra
    want = spans_by_re(pattern, text)
    got = [m.char_span() for m in kordal.Regex(pattern).finditer(text)]
    assert got == want


def test_threads_filling_the_same_blocks_agree():
    # Every thread meets blocks of the table no search has filled yet.
    pool = "".join(chr(c) for c in range(0x100, 0x3000, 7))
    texts = [text_of(i, 40_000, pool) for i in range(4)]
    want = [[m.char_span() for m in kordal.Regex(r"\p{Lu}").finditer(t)] for t in texts]
    assert all(want)
    for _ in range(3):
        r = kordal.Regex(r"\p{Lu}")
        got = [None] * len(texts)
        start = threading.Barrier(len(texts))

        def work(i):
            start.wait()
            got[i] = [m.char_span() for m in r.finditer(texts[i])]

        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(texts))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == want
