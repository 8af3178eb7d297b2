"""Backtracking-bound cases and per-call cost: kordal against `re`, `regex`
and `google-re2`, side by side in one run.

Every case is a function of one compiled pattern that returns a result
count; the engines run interleaved (one repetition of each in turn, so that
noise on this shared machine hits all alike), the best time of each is kept,
and the ratios kordal / peer are printed (below 1.0: kordal is faster). A
peer that cannot compile the pattern (google-re2 has no lookaround or
backreference) shows '-'; a count that disagrees is printed beside the row.

Usage: python bench/backtrack.py [--corpus DIR] [--repeat N] [--only SUBSTRING]
       [--scale F]   (F < 1 shrinks the generated inputs for a quick run)
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
except ImportError:
    regex_mod = None
try:
    import re2 as re2_mod
except ImportError:
    re2_mod = None

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_CORPUS = pathlib.Path(os.environ.get("KORDAL_CORPUS", HERE.parent.parent / "shared" / "corpus"))


# How each engine runs a case: findall-count, one search per line, or one
# call per short string. Each returns a function of the compiled pattern.
def count_all(hay):
    return {
        "kordal": lambda r: len(r.findall(hay)),
        "peer": lambda r: sum(1 for _ in r.finditer(hay)),
    }


def search_each(lines):
    return {
        "kordal": lambda r: sum(1 for s in lines if r.find(s) is not None),
        "peer": lambda r: sum(1 for s in lines if r.search(s) is not None),
    }


def groups_each(lines):
    # Group texts are what a line parser wants: ask every engine for them.
    return {
        "kordal": lambda r: sum(len(m.groups) for m in map(r.find, lines) if m is not None),
        "peer": lambda r: sum(len(m.groups()) + 1 for m in map(r.search, lines) if m is not None),
    }


def fullmatch_each(lines):
    return {
        "kordal": lambda r: sum(1 for s in lines if r.fullmatch(s) is not None),
        "peer": lambda r: sum(1 for s in lines if r.fullmatch(s) is not None),
    }


def cases(corpus, scale):
    def text(name):
        return (corpus / name).read_text(encoding="utf-8")

    n = lambda k: max(1, int(k * scale))  # noqa: E731
    sherlock = text("rebar/sherlock.txt")
    en = text("rebar/opensubtitles__en-sampled.txt")
    ucd = text("rebar/wild__UnicodeData-15.0.0.txt")
    ucd_re = text("rebar/regexes__wild__ucd-parse.txt").strip()
    yield "cloud-flare .*.*=.*", r".*.*=.*", count_all(text("rebar/cloud-flare-redos.txt"))
    yield f"a*b on {n(20000)} a", r"a*b", count_all("a" * n(20000))
    yield "ucd line, 15 groups", ucd_re, groups_each(ucd.splitlines())
    yield r"\b(\w+)\s+\1\b", r"\b(\w+)\s+\1\b", count_all(en)
    yield r"(?<=Mr\. )[A-Z]\w+", r"(?<=Mr\. )[A-Z]\w+", count_all(sherlock)
    yield r'".*?"', r'".*?"', count_all(sherlock)
    short = ["key%d=value%d" % (i, i) for i in range(n(100000))]
    yield "find x100k short", r"(\w+)=(\w+)", search_each(short)
    yield "fullmatch x100k short", r"(\w+)=(\w+)", fullmatch_each(short)
    yield "find x100k short miss", r"\d+x", search_each(short)


def engines():
    out = [("kordal", lambda p: kordal.Regex(p))]
    out.append(("re", re.compile))
    if regex_mod is not None:
        out.append(("regex", lambda p: regex_mod.compile(p, regex_mod.VERSION1)))
    if re2_mod is not None:
        opts = re2_mod.Options()
        opts.max_mem = 1 << 30
        opts.log_errors = False
        out.append(("re2", lambda p: re2_mod.compile(p, opts)))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    ap.add_argument("--scale", type=float, default=1.0)
    args = ap.parse_args(argv)
    if not args.corpus.is_dir():
        sys.exit(f"corpus not found: {args.corpus} (give --corpus or set KORDAL_CORPUS)")
    names = [name for name, _ in engines()]
    peers = names[1:]
    print(f"{'case':24}" + "".join(f"{n:>10}" for n in names)
          + "".join(f"{'k/' + p:>9}" for p in peers) + "  counts")
    for case, pattern, runners in cases(args.corpus, args.scale):
        if args.only and args.only not in case:
            continue
        compiled = {}
        for name, make in engines():
            try:
                compiled[name] = make(pattern)
            except Exception:  # the peer lacks the construct
                pass
        best = {name: float("inf") for name in compiled}
        counts = {}
        for _ in range(args.repeat):
            for name, r in compiled.items():
                run = runners["kordal" if name == "kordal" else "peer"]
                t0 = time.perf_counter()
                counts[name] = run(r)
                best[name] = min(best[name], time.perf_counter() - t0)
        cells = "".join(f"{best[n]*1e3:8.1f}ms" if n in best else f"{'-':>10}" for n in names)
        ratios = "".join(f"{best['kordal']/best[p]:9.2f}" if p in best else f"{'-':>9}"
                         for p in peers)
        agree = len(set(counts.values())) == 1
        shown = str(counts["kordal"]) if agree else " ".join(f"{k}={v}" for k, v in counts.items())
        print(f"{case:24}{cells}{ratios}  {shown}", flush=True)


if __name__ == "__main__":
    main()
