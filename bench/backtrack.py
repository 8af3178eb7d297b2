"""Backtracking-bound cases and per-call cost: kordal against `re`, `regex`,
`google-re2`, `pcre2` (PCRE2 with its JIT), `regex-rs` (the Rust regex crate)
and `hyperscan`, side by side in one run.

Every case is one compiled pattern and a function of it that returns the
match spans (or, per line, the span or the group texts); what each peer is
asked to do is in common.py's docstring. The engines run interleaved, best
of several repetitions; printed are the time of each and kordal / the
fastest peer whose result equals kordal's (below 1.0: kordal is faster). A
peer that cannot compile the pattern (google-re2, the Rust crate and
Hyperscan have no lookaround or backreference) shows '-'; one whose result
differs is marked '!='. The catastrophic cases use inputs small enough for
the backtracking peers to finish.

Usage: python bench/backtrack.py [--corpus DIR] [--repeat N] [--only SUBSTRING]
       [--scale F] [--markdown FILE]   (F < 1 shrinks the generated inputs)
"""

import argparse
import pathlib

import common


def cases(corpus, scale):
    text = common.reader(corpus)
    n = lambda k: max(1, int(k * scale))  # noqa: E731
    sherlock = text("rebar/sherlock.txt")
    en = text("rebar/opensubtitles__en-sampled.txt")
    ucd = text("rebar/wild__UnicodeData-15.0.0.txt")
    ucd_re = text("rebar/regexes__wild__ucd-parse.txt").strip()
    c = common.count_all
    yield "cloud-flare .*.*=.*", r".*.*=.*", c(text("rebar/cloud-flare-redos.txt"))
    yield f"a*b on {n(20000)} a", r"a*b", c("a" * n(20000))
    yield "(x+x+)+y on 22 x", r"(x+x+)+y", c("x" * 22)
    yield "(a|aa)+$ on 28 a + b", r"(a|aa)+$", c("a" * 28 + "b")
    yield r"(\w+\s?)+$ on 22 a + !", r"(\w+\s?)+$", c("a" * 22 + "!")
    yield "(a+)+b on 24 a", r"(a+)+b", c("a" * 24)
    yield "ucd line, 15 groups", ucd_re, common.groups_each(ucd.splitlines())
    yield r"\b(\w+)\s+\1\b", r"\b(\w+)\s+\1\b", c(en)
    yield r"(?<=Mr\. )[A-Z]\w+", r"(?<=Mr\. )[A-Z]\w+", c(sherlock)
    yield r'".*?"', r'".*?"', c(sherlock)
    short = ["key%d=value%d" % (i, i) for i in range(n(100000))]
    yield "find x100k short", r"(\w+)=(\w+)", common.search_each(short)
    yield "fullmatch x100k short", r"(\w+)=(\w+)", common.fullmatch_each(short)
    yield "find x100k short miss", r"\d+x", common.search_each(short)
    # 14 characters each; three in four name a language, at varying places.
    names = ["Python", "Perl", "Tcl", "Ruby"]
    langs = [(("%d " % i) + names[i % 4] + " ").ljust(14, ".")[:14] for i in range(n(100000))]
    yield "find x100k Python|Perl|Tcl", r"(Python|Perl|Tcl)", common.search_each(langs)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--markdown", type=pathlib.Path, default=None,
                    help="also write the table as markdown to this file")
    args = ap.parse_args(argv)
    corpus = common.corpus_or_exit(args.corpus)
    table = common.Table("Backtracking-bound and per-call cases (python bench/backtrack.py)")
    for name, pattern, runners in cases(corpus, args.scale):
        if args.only and args.only not in name:
            continue
        best, results, agree = common.time_case(pattern, 0, runners, args.repeat)
        table.add(name, best, results, agree)
    if args.markdown:
        args.markdown.write_text(table.markdown())
    print(table.summary().replace("**", ""))
    return table


if __name__ == "__main__":
    main()
