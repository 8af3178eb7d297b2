"""Writes bench/RESULTS.md: the throughput, backtracking and sweep tables of
bench/bench.py, bench/backtrack.py and bench/sweep.py (kordal against `re`, `regex`,
`google-re2`, `pcre2`, `regex-rs` and `hyperscan`, best of --repeat runs,
engines interleaved), kordal against the fastest agreeing peer over both,
and the thread speed-ups of bench/threads.py, with the machine and versions.

With --readme it also puts the table of kordal against the fastest agreeing
peer into README.md, in place of the one between its "#### kordal against
the fastest agreeing peer" heading and the paragraph on per-call cost.

Usage: python bench/results.py [--corpus DIR] [--repeat N] [--out FILE] [--readme]
"""

import argparse
import datetime
import importlib.metadata
import os
import pathlib
import platform
import sys

import backtrack
import bench
import common
import sweep
import threads


def version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


NOTES = """\
What each engine is asked to do is in bench/common.py's docstring: every
engine produces the span of every match (kordal its UTF-8 offsets, `re`,
`regex`, `google-re2` their `str` indexes, the Rust crate its UTF-8 offsets,
Hyperscan its reported (start, end) pairs through a Python callback over the
text encoded to UTF-8 beforehand), except `pcre2` over a whole text, which
takes each match's text: this binding's `span()` walks the text from its
start on every call, which made it quadratic (1.75 s for the 19,607 `\\w+`
matches in 100,000 characters, against 0.09 s for the texts).

A peer agrees when its spans (for `pcre2` over a whole text, its match
texts; for the groups case, the group texts) equal kordal's. One that
disagrees is marked ≠, and is not counted for "the fastest agreeing peer".
The usual reasons:
- google-re2: `\\w` and `\\b` are ASCII-only, and its `$` and case folding
  follow simpler rules; no lookaround or backreference ('-').
- PCRE2 (this binding matches `str` with Unicode properties, JIT on): its
  line anchors and empty matches follow its own rules where they differ.
- Rust regex crate: after a match it does not report an empty match that
  starts where the match ended; its Unicode tables and `\\w` follow its own
  rules; no lookaround or backreference ('-').
- Hyperscan: reports every match end, so overlapping matches appear (and,
  where it cannot compile leftmost starts, ends only); no captures, no
  lookaround, backreference or substitution ('-'); some patterns it cannot
  compile at all ('-').

"gave up" means the peer raised while matching (PCRE2's match limit).
"""


def compact(rows):
    out = ["| case | kordal | fastest agreeing peer | its time | kordal / fastest agreeing "
           "| kordal / faster of re, regex |", "|---|---:|---|---:|---:|---:|"]
    for r in rows:
        name = f"`{r.case}`".replace("|", "\\|")
        if r.fastest:
            peer = (f"{common.LABELS[r.fastest]} | {r.best[r.fastest]*1e3:.2f} ms | "
                    f"**{r.k_fastest:.2f}x**")
        else:
            peer = "- | - | -"
        k_re = f"{r.k_re:.2f}x" if r.k_re else "-"
        out.append(f"| {name} | {r.best['kordal']*1e3:.2f} ms | {peer} | {k_re} |")
    return "\n".join(out) + "\n"


def overall(rows):
    lines = [compact(rows), common.summarize(rows), ""]
    high = [r for r in rows if r.k_fastest and r.k_fastest > 1.5]
    if high:
        lines.append("Cases above 1.5x the fastest agreeing peer:")
        lines.append("")
        for r in sorted(high, key=lambda r: -r.k_fastest):
            lines.append(f"- `{r.case}`: kordal {r.best['kordal']*1e3:.2f} ms, "
                         f"{common.LABELS[r.fastest]} {r.best[r.fastest]*1e3:.2f} ms, "
                         f"{r.k_fastest:.2f}x")
    return "\n".join(lines) + "\n"


def thread_table(rows, n):
    out = ["| engine path | engine | 1 thread | %d threads | speed-up | on free cores |" % n,
           "|---|---|---:|---:|---:|---:|"]
    for path, name, one, many, up, free in rows:
        shown = "" if free is None else f"{free:.2f}x"
        out.append(f"| {path} | {name} | {one*1e3:.0f} ms | {many*1e3:.0f} ms | {up:.2f}x "
                   f"| {shown} |")
    return "\n".join(out) + "\n"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--out", type=pathlib.Path, default=common.HERE / "RESULTS.md")
    ap.add_argument("--readme", action="store_true", help="also refresh README.md's table")
    args = ap.parse_args(argv)
    corpus = ["--corpus", str(args.corpus)] if args.corpus else []
    load = " / ".join(f"{x:.1f}" for x in os.getloadavg())
    t1 = bench.main(corpus + ["--repeat", str(args.repeat)])
    t2 = backtrack.main(corpus + ["--repeat", str(args.repeat)])
    t3 = sweep.main(corpus + ["--repeat", str(args.repeat)])
    th = threads.main(["--threads", "2"])
    peers = ", ".join(f"{d} {version(d)}" for d in
                      ("regex", "google-re2", "pcre2", "regex-rs", "hyperscan"))
    head = "\n".join([
        "# Benchmark results",
        "",
        f"Made by `python bench/results.py --repeat {args.repeat}` on {datetime.date.today()}: "
        f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}; "
        f"kordal {common.kordal.__version__}, {peers}.",
        "",
        "The machine is shared with other developers building at the same time, so timings "
        "are noisy (10-40% from run to run, more for the sub-millisecond cases; load average "
        f"{load} over 1 / 5 / 15 minutes at the start of the run, on 2 cores); the engines "
        "run interleaved so that noise hits all alike, and each time is the best of "
        f"{args.repeat} runs. Each peer cell is its time and kordal / that peer in "
        "parentheses: below 1.0x, kordal is faster.",
        "",
        NOTES,
        "## kordal against the fastest agreeing peer, all cases",
        "",
        "The cases of bench.py and backtrack.py, which the project has worked on:",
        "",
        overall(t1.rows + t2.rows),
        "The wider sweep of bench/sweep.py, patterns no change was aimed at:",
        "",
        overall(t3.rows),
        "## Tables",
        "", ""])
    body = (t1.markdown() + "\n" + t2.markdown() + "\n" + t3.markdown() + "\n"
            + "### Threads (python bench/threads.py, 2 threads, one text of 2 MB each)\n\n"
            + "Speed-up: the time of one search times 2 over the time of two at once "
            "(2.0x: the two ran fully in parallel); a thread repeats its search until one round "
            "takes about 0.2 s. Two threads can only run in parallel where two cores are "
            "free: with the load average above 2, no engine can show a speed-up, and `re`, "
            "which holds the interpreter lock, shows how far the load moves the figure. "
            "\"On free cores\" discounts the time each thread spent waiting for a core "
            "(Linux's schedstat) and estimates the speed-up an idle machine would show; "
            "waits for the interpreter lock still count (see bench/threads.py)."
            "\n\n" + thread_table(th, 2))
    args.out.write_text(head + body)
    print(f"wrote {args.out}", file=sys.stderr)
    if args.readme:
        update_readme(common.HERE.parent / "README.md", overall(t1.rows + t2.rows))


README_START = "#### kordal against the fastest agreeing peer"
README_END = "Per-call cost on"


def update_readme(path, table):
    text = path.read_text()
    start = text.index(README_START)
    start = text.index("\n", start) + 1
    end = text.index(README_END, start)
    path.write_text(text[:start] + "\n" + table + "\n" + text[end:])
    print(f"updated {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
