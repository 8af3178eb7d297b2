"""Throughput: kordal against `re`, `regex`, `google-re2`, `pcre2` (PCRE2
with its JIT), `regex-rs` (the Rust regex crate) and `hyperscan`, in one run.

Each case collects the spans of every match of one pattern over one corpus
file, or runs the regex-redux program (match spans and substitutions); what
each peer is asked to do is in common.py's docstring. The engines run
interleaved, best of several repetitions; printed are the time of each, the
fastest peer whose spans equal kordal's and kordal / that peer (below 1.0:
kordal is faster). A peer whose result differs is marked '!=' and kept out:
kordal's \\w counts every numeric category, google-re2's \\w and \\b are
ASCII-only, Hyperscan reports overlapping match ends. A rare literal is also
timed against `str.count` on the same text.

Usage: python bench/bench.py [--corpus DIR] [--repeat N] [--only SUBSTRING] [--markdown FILE]

The corpus is a directory of public benchmark inputs (see SOURCES.md in it).
Without --corpus it is taken from $KORDAL_CORPUS, else from shared/corpus
beside the checkout.
"""

import argparse
import pathlib
import re
import time

import common


def redux(fasta):
    # The regex-redux program: strip headers and newlines, count nine
    # variants case-insensitively, apply five substitutions in turn.
    variants = ["agggtaaa|tttaccct", "[cgt]gggtaaa|tttaccc[acg]", "a[act]ggtaaa|tttacc[agt]t",
                "ag[act]gtaaa|tttac[agt]ct", "agg[act]taaa|ttta[agt]cct",
                "aggg[acg]aaa|ttt[cgt]ccct", "agggt[cgt]aa|tt[acg]accct",
                "agggta[cgt]a|t[acg]taccct", "agggtaa[cgt]|[acg]ttaccct"]
    subs = [("tHa[Nt]", "<4>"), ("aND|caN|Ha[DS]|WaS", "<3>"), ("a[NSt]|BY", "<2>"),
            ("<[^>]*>", "|"), ("\\|[^|][^|]*\\|", "-")]

    def run(compile_, spans, sub):
        seq = sub(compile_(">.*\n|\n", 0), "", fasta)
        total = sum(len(spans(compile_(v, re.IGNORECASE), seq)) for v in variants)
        for pat, repl in subs:
            seq = sub(compile_(pat, 0), repl, seq)
        return total * 10_000_000 + len(seq)

    return run


def cases(corpus):
    text = common.reader(corpus)
    mario = text("mariomka/input-text.txt")
    en = text("rebar/opensubtitles__en-sampled.txt")
    ru = text("rebar/opensubtitles__ru-sampled.txt")
    zh = text("rebar/opensubtitles__zh-sampled.txt")
    fasta = text("regex-redux/regex-redux-100000.fasta")
    ucd = text("rebar/wild__UnicodeData-15.0.0.txt")
    huge = text("rebar/opensubtitles__en-huge.txt")
    ru_huge = text("rebar/opensubtitles__ru-huge.txt")
    sherlock = text("rebar/sherlock.txt")
    medium = text("rebar/opensubtitles__en-medium.txt")
    words = "|".join(text("rebar/regexes__dictionary__english__length-15.txt").split())
    c = common.count_all
    yield "literal en", "Sherlock Holmes", 0, c(en)
    yield "literal en (?i)", "Sherlock Holmes", re.IGNORECASE, c(en)
    yield "literal ru", "Шерлок Холмс", 0, c(ru)
    yield "literal ru (?i)", "Шерлок Холмс", re.IGNORECASE, c(ru)
    yield "literal zh", "夏洛克·福尔摩斯", 0, c(zh)
    yield "alternation", "Sherlock|Holmes|Watson|Irene|Adler", 0, c(sherlock)
    yield "dictionary 2663 words", words, 0, c(medium)
    yield "mariomka email", r"[\w\.+-]+@[\w\.-]+\.[\w\.-]+", 0, c(mario)
    yield "mariomka uri", r"[\w]+://[^/\s?#]+[^\s?#]+(?:\?[^\s#]*)?(?:#[^\s]*)?", 0, c(mario)
    yield ("mariomka ipv4",
           r"(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}"
           r"(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)", 0, c(mario))
    yield "redux variant (?i)", "agggtaaa|tttaccct", re.IGNORECASE, c(fasta)
    yield "redux class (?i)", "[cgt]gggtaaa|tttaccc[acg]", re.IGNORECASE, c(fasta)
    yield "regex-redux program", None, 0, common.program(redux(fasta))
    yield "words", r"\b\w+\b", 0, c(huge)
    yield "long words", r"\b\w{12,}\b", 0, c(huge)
    yield r"\p{L}+ ru", r"\p{L}+", 0, c(ru_huge)
    ucd_re = (corpus / "rebar/regexes__wild__ucd-parse.txt").read_text().strip()
    yield "ucd parse lines", ucd_re, re.MULTILINE, c(ucd)
    yield ("ucd replace template", r"^([0-9A-F]+);([^;]*);", re.MULTILINE,
           common.replace_all(ucd, "${2} = U+${1};", r"\2 = U+\1;"))
    yield "line ends", r"(?m)^.*$", 0, c(sherlock)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    ap.add_argument("--markdown", type=pathlib.Path, default=None,
                    help="also write the table as markdown to this file")
    args = ap.parse_args(argv)
    corpus = common.corpus_or_exit(args.corpus)
    table = common.Table("Throughput (python bench/bench.py)")
    for name, pattern, flags, runners in cases(corpus):
        if args.only and args.only not in name:
            continue
        best, results, agree = common.time_case(pattern, flags, runners, args.repeat)
        table.add(name, best, results, agree)
    if not args.only or "count" in args.only:
        en = (corpus / "rebar/opensubtitles__en-sampled.txt").read_text(encoding="utf-8")
        ru = (corpus / "rebar/opensubtitles__ru-sampled.txt").read_text(encoding="utf-8")
        for label, needle, hay in [("en", "Sherlock Holmes", en), ("ru", "Шерлок Холмс", ru)]:
            k = common.kordal.Regex(needle)
            tk = min(_timed(lambda: len(k.findall(hay))) for _ in range(args.repeat))
            tc = min(_timed(lambda: hay.count(needle)) for _ in range(args.repeat))
            print(f"rare literal {label}: kordal {tk*1e3:.2f} ms, str.count {tc*1e3:.2f} ms, "
                  f"ratio {tk/tc:.2f}")
    if args.markdown:
        args.markdown.write_text(table.markdown())
    print(table.summary().replace("**", ""))
    return table


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


if __name__ == "__main__":
    main()
