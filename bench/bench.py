"""kordal against `re` and `regex`, side by side in one run.

Each case counts the matches of one pattern over one corpus file with every
engine (kordal: len(findall); re/regex: sum over finditer), takes the best of
several runs and prints the times and the ratios kordal/re and kordal/regex
(below 1.0 means kordal is faster). Match counts are printed too: where the
engines' semantics differ (kordal's \\w counts every numeric category), a
count may differ and the row says so.

Usage: python bench/bench.py [--corpus DIR] [--repeat N] [--only SUBSTRING]

The corpus is a directory of public benchmark inputs (see SOURCES.md in it):
subtitles in English and Russian, the Sherlock Holmes text, a FASTA file of
the regex-redux benchmark, UnicodeData.txt and the concatenated "Learn X in Y
minutes" pages of a well-known regex benchmark. Without --corpus it is taken
from $KORDAL_CORPUS, else from shared/corpus beside the checkout.
"""

import argparse
import os
import pathlib
import re
import sys
import time

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:  # the peer is optional
    regex_mod = None

HERE = pathlib.Path(__file__).resolve().parent
CANDIDATES = [HERE.parent.parent / "shared" / "corpus", HERE.parent / "shared" / "corpus"]


def default_corpus():
    if os.environ.get("KORDAL_CORPUS"):
        return pathlib.Path(os.environ["KORDAL_CORPUS"])
    return next((c for c in CANDIDATES if c.is_dir()), CANDIDATES[0])


def cases(corpus):
    def text(name):
        return (corpus / name).read_text(encoding="utf-8")

    mario = text("mariomka/input-text.txt")
    en = text("rebar/opensubtitles__en-sampled.txt")
    ru = text("rebar/opensubtitles__ru-sampled.txt")
    fasta = text("regex-redux/regex-redux-100000.fasta")
    ucd = text("rebar/wild__UnicodeData-15.0.0.txt")
    huge = text("rebar/opensubtitles__en-huge.txt")
    sherlock = text("rebar/sherlock.txt")
    yield "literal en", "Sherlock Holmes", 0, en
    yield "literal en (?i)", "Sherlock Holmes", re.IGNORECASE, en
    yield "literal ru", "Шерлок Холмс", 0, ru
    yield "alternation", "Sherlock|Holmes|Watson|Irene|Adler", 0, sherlock
    yield "mariomka email", r"[\w\.+-]+@[\w\.-]+\.[\w\.-]+", 0, mario
    yield "mariomka uri", r"[\w]+://[^/\s?#]+[^\s?#]+(?:\?[^\s#]*)?(?:#[^\s]*)?", 0, mario
    yield ("mariomka ipv4",
           r"(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}"
           r"(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)", 0, mario)
    yield "redux variant", "agggtaaa|tttaccct", re.IGNORECASE, fasta
    yield "redux class", "[cgt]gggtaaa|tttaccc[acg]", re.IGNORECASE, fasta
    yield "words", r"\b\w+\b", 0, huge
    yield "long words", r"\b\w{12,}\b", 0, huge
    ucd_re = (corpus / "rebar/regexes__wild__ucd-parse.txt").read_text().strip()
    yield "ucd parse lines", ucd_re, re.MULTILINE, ucd
    yield "line ends", r"(?m)^.*$", 0, sherlock


def kordal_flags(f):
    out = 0
    if f & re.IGNORECASE:
        out |= kordal.IGNORECASE
    if f & re.MULTILINE:
        out |= kordal.MULTILINE
    return out


def best(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None,
                    help="directory of benchmark inputs (default: $KORDAL_CORPUS or shared/corpus "
                         "beside the checkout)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    args = ap.parse_args(argv)
    if args.corpus is None:
        args.corpus = default_corpus()
    if not args.corpus.is_dir():
        sys.exit(f"corpus not found: {args.corpus} (give --corpus DIR or set KORDAL_CORPUS)")

    header = f"{'case':18} {'kordal':>9} {'re':>9} {'regex':>9} {'k/re':>6} {'k/regex':>7}  counts"
    print(header)
    print("-" * len(header))
    for name, pattern, flags, hay in cases(args.corpus):
        if args.only and args.only not in name:
            continue
        k = kordal.Regex(pattern, kordal_flags(flags))
        tk, nk = best(lambda: len(k.findall(hay)), args.repeat)
        r = re.compile(pattern, flags)
        tr, nr = best(lambda: sum(1 for _ in r.finditer(hay)), args.repeat)
        if regex_mod is not None:
            x = regex_mod.compile(pattern, flags | regex_mod.VERSION1)
            tx, nx = best(lambda: sum(1 for _ in x.finditer(hay)), args.repeat)
        else:
            tx, nx = float("nan"), None
        counts = f"{nk}" if nk == nr == nx else f"kordal {nk} re {nr} regex {nx}"
        print(f"{name:18} {tk*1e3:8.1f}ms {tr*1e3:8.1f}ms {tx*1e3:8.1f}ms "
              f"{tk/tr:6.2f} {tk/tx:7.2f}  {counts}", flush=True)


if __name__ == "__main__":
    main()
