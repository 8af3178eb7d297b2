"""Writes bench/RESULTS.md: the throughput and backtracking tables of
bench/bench.py and bench/backtrack.py (kordal, re, regex, google-re2, best
of --repeat runs, engines interleaved), with the machine and versions.

Usage: python bench/results.py [--corpus DIR] [--repeat N] [--out FILE]
"""

import argparse
import datetime
import importlib.metadata
import os
import pathlib
import platform
import sys
import tempfile

import backtrack
import bench
import common


def version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--out", type=pathlib.Path, default=common.HERE / "RESULTS.md")
    args = ap.parse_args(argv)
    corpus = ["--corpus", str(args.corpus)] if args.corpus else []
    with tempfile.TemporaryDirectory() as tmp:
        t1, t2 = pathlib.Path(tmp, "t1.md"), pathlib.Path(tmp, "t2.md")
        bench.main(corpus + ["--repeat", str(args.repeat), "--markdown", str(t1)])
        backtrack.main(corpus + ["--repeat", str(args.repeat), "--markdown", str(t2)])
        tables = t1.read_text() + "\n" + t2.read_text()
    head = "\n".join([
        "# Benchmark results",
        "",
        f"Made by `python bench/results.py --repeat {args.repeat}` on {datetime.date.today()}: "
        f"{platform.machine()}, {os.cpu_count()} cores (shared, so expect noise of 10-40%), "
        f"Python {platform.python_version()}; kordal {common.kordal.__version__}, "
        f"regex {version('regex')}, google-re2 {version('google-re2')}.",
        "",
        f"Times are the best of {args.repeat} runs with the engines interleaved; a ratio below "
        "1.0 means kordal is faster. Every engine builds a Match object per match. The "
        "google-re2 ratio is left out where its count differs (its `\\w`, `\\b` and `$` are "
        "ASCII- or line-based); `-` in a time column means the engine lacks the construct.",
        "", ""])
    args.out.write_text(head + tables)
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
