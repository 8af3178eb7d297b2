"""The benchmark's bookkeeping: offsets mapped back to `str` indexes, which
peers count as agreeing, and which one is the fastest agreeing peer. A fault
here would report a ratio against a peer that computed something else."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import common  # noqa: E402


@pytest.mark.parametrize("text", [
    "plain ascii text",
    "ab Шерлок é x",
    "夏洛克·福尔摩斯 and 🎉 done",
    "🎉🎉a🎉",
])
@pytest.mark.parametrize("pattern", [r"\w+", r"\S", r"(?:)"])
def test_byte_spans_map_back_to_str_indexes(text, pattern):
    # kordal's own spans are UTF-8 offsets; mapped back they must be re's.
    import re
    r = common.kordal.Regex(pattern)
    spans = common.spans_to_chars(text, [m.span for m in r.findall(text)])
    assert spans == [m.span() for m in re.finditer(pattern, text)]


def test_offsets_need_not_come_sorted():
    text = "éé a éé"
    data = text.encode()
    offs = [len(data), 0, data.index(b"a"), data.index(b"a")]
    got = common.char_offsets(text, offs)
    assert [got[b] for b in offs] == [len(text), 0, 3, 3]


def row(results, best):
    agree = {n: results[n] == results["kordal"] for n in results if n != "kordal"}
    return common.Row("case", best, results, agree)


@pytest.mark.parametrize("results, best, fastest", [
    # The fastest peer computes other spans: the next fastest agreeing one counts.
    ({"kordal": [(0, 1)], "re": [(0, 1)], "rust": [(0, 2)]},
     {"kordal": 2.0, "re": 4.0, "rust": 1.0}, "re"),
    # Same count, other spans: still not agreeing.
    ({"kordal": [(0, 1), (3, 4)], "hs": [(0, 1), (2, 4)], "regex": [(0, 1), (3, 4)]},
     {"kordal": 2.0, "hs": 0.5, "regex": 8.0}, "regex"),
    # A peer that gave up agrees with nothing, not even itself.
    ({"kordal": [], "pcre2": common.GaveUp("LibraryError"), "re": []},
     {"kordal": 1.0, "pcre2": float("inf"), "re": 3.0}, "re"),
    ({"kordal": [(0, 1)], "re2": [(0, 2)]}, {"kordal": 1.0, "re2": 0.1}, None),
])
def test_fastest_agreeing_peer(results, best, fastest):
    r = row(results, best)
    assert r.fastest == fastest
    if fastest:
        assert r.k_fastest == pytest.approx(best["kordal"] / best[fastest])
    else:
        assert r.k_fastest is None


def test_summary_counts_cases_against_the_fastest_agreeing_peer():
    rows = [row({"kordal": [1], "re": [1]}, {"kordal": 1.0, "re": k}) for k in (4.0, 1.0, 0.5)]
    rows.append(row({"kordal": [1], "re": [2]}, {"kordal": 1.0, "re": 0.01}))
    # Ratios 0.25, 1.0 and 2.0 (the disagreeing row is left out): mean 0.79.
    text = common.summarize(rows)
    assert "over 3 cases" in text
    assert "0.79x" in text
    assert "2 at or under 1.0x, 1 above 1.5x" in text


def test_a_full_match_peer_gets_its_pattern_anchored():
    runners = common.fullmatch_each(["ab", "abc"])
    assert runners["wrap"]("ab|abc") == r"\A(?:ab|abc)\z"


@pytest.mark.parametrize("pattern, text", [
    # Longer than Hyperscan takes as one expression: one per word.
    ("|".join(f"w{i:05d}x" for i in range(2000)), "a w00017x b w01999x w02000x"),
    ("|".join(f"w{i:05d}é" for i in range(2000)), "é w00017é b w01999é w02000é"),
])
def test_hyperscan_peer_compiles_what_it_can_and_agrees(pattern, text):
    if common.hs_mod is None:
        pytest.skip("hyperscan is not installed")
    runners = common.count_all(text)
    hs = runners["to_chars"](runners["hs"](common.HsPattern(pattern, 0)))
    r = common.kordal.Regex(pattern)
    assert hs == runners["to_chars"](runners["kordal"](r))


def test_hyperscan_without_leftmost_starts_never_agrees():
    # Unicode \w with starts is too large for it: ends only, so not counted.
    if common.hs_mod is None:
        pytest.skip("hyperscan is not installed")
    text = "ab cé 1 é x 2"
    runners = common.count_all(text)
    hs = runners["to_chars"](runners["hs"](common.HsPattern(r"\w+ \d", 0)))
    assert [end for _, end in hs] == [7, 13]
    assert hs != runners["to_chars"](runners["kordal"](common.kordal.Regex(r"\w+ \d")))
