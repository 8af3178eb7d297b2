"""The behaviour corpus (tests/data/*.json) through the module.

Each file is a list of sections ({"about", "cases"}); a case names a
pattern, optional flags (names of the module's constants) and a text, and
any of these expectations, spans being UTF-8 byte offsets:
  find       null, or {"span", "groups"?}: the leftmost match (groups from 0)
  history    every capture of each group, in order, group 0 first
  found      whether there is a match
  findall    the spans of the successive matches
  split      the segments, each followed by the separator's groups
  replace    [{"with", "first", "every"?}]: replace and replace_all
  partial    null, or {"status", "span", "groups": [[state, text]...]}
The C++ tests (tests/cpp/test_corpus.cpp) run the same files through each
engine that can answer an expectation.
"""

import json
import pathlib

import pytest

import kordal_python as kordal

DATA = pathlib.Path(__file__).resolve().parent / "data"
EXPECTATIONS = {"find", "history", "found", "findall", "split", "replace", "partial"}
CASE_KEYS = EXPECTATIONS | {"pattern", "flags", "text", "why"}


def load_cases():
    cases = []
    for path in sorted(DATA.glob("*.json")):
        sections = json.loads(path.read_text(encoding="utf-8"))
        for sec in sections:
            for i, case in enumerate(sec["cases"]):
                cases.append(pytest.param(case, id=f"{path.stem}-{len(cases)}-{case['pattern']!r}"))
    return cases


CASES = load_cases()


def flags_of(case):
    value = 0
    for name in case.get("flags", []):
        value |= getattr(kordal, name)
    return value


def span_list(span):
    return None if span is None else list(span)


@pytest.mark.parametrize("case", CASES)
def test_case(case):
    assert set(case) <= CASE_KEYS, set(case) - CASE_KEYS
    assert set(case) & EXPECTATIONS, "a case without an expectation checks nothing"
    r = kordal.Regex(case["pattern"], flags_of(case))
    text = case["text"]
    if "find" in case:
        m = r.find(text)
        want = case["find"]
        if want is None:
            assert m is None
        else:
            assert m is not None
            assert list(m.span) == want["span"]
            if "groups" in want:
                assert m.groups == want["groups"]
    if "history" in case:
        assert r.find(text).all_captures == case["history"]
    if "found" in case:
        assert r.is_match(text) is case["found"]
    if "findall" in case:
        assert [list(m.span) for m in r.findall(text)] == case["findall"]
    if "split" in case:
        assert r.split(text) == case["split"]
    for rep in case.get("replace", []):
        assert r.replace(text, rep["with"]) == rep["first"]
        if "every" in rep:
            assert r.replace_all(text, rep["with"]) == rep["every"]
    if "partial" in case:
        pm = r.find_partial(text)
        want = case["partial"]
        if want is None:
            assert pm is None
        else:
            assert pm is not None
            groups = [[pm.group_state(g), pm.group(g)] for g in range(pm.capture_count + 1)]
            assert (pm.status, [pm.start, pm.end], groups) == \
                (want["status"], want["span"], want["groups"])


def test_corpus_is_not_empty():
    # A moved data directory would otherwise parametrize nothing and pass.
    assert len(CASES) >= 150
