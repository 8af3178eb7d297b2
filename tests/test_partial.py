"""Partial matching: earliest start wins, full preferred at one start, the
candidate with most groups set (first on ties), open groups are partial.

The tables of cases are in tests/data/partial.json (run by test_corpus.py
and by the C++ tests through every engine).
"""

import kordal_python as kordal


def summary(pm):
    if pm is None:
        return None
    states = [pm.group_state(g) for g in range(pm.capture_count + 1)]
    texts = [pm.group(g) for g in range(pm.capture_count + 1)]
    return pm.status, (pm.start, pm.end), list(zip(states, texts))


def test_partial_needs_the_end_of_input():
    # A full match ending before the end is not a partial match: the
    # search looks for matches that run to the end.
    assert kordal.Regex("ab").find_partial("abx") is None
    assert summary(kordal.Regex("ab").find_partial("xab"))[0] == "full"
