"""Catastrophic regular patterns on growing inputs: kordal against `re` and `regex`.

Each pattern backtracks exponentially (or polynomially) in a plain backtracker on
its input; kordal's VM memoises failed states on regular patterns, so its cost
should grow linearly with n (the column us/char stays flat). The peers run only
up to --peer-max characters, where they still finish; '-' marks the sizes they
skip. Times are the best of --repeat runs of the thread's CPU time.

Usage: python bench/catastrophic.py [--repeat 3] [--peer-max 24] [--max 100000]
"""

import argparse
import re
import time

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:  # the peer is optional
    regex_mod = None

CASES = [
    (r"(a|aa)+$", lambda n: "a" * n + "b"),
    (r"(x+x+)+y", lambda n: "x" * n + "zy"),
    (r"(\w+\s?)+$", lambda n: "a" * n + "!"),
    (r"(a+)+b", lambda n: "a" * n + "cb"),
    (r"((?:a|aa)+)(b)", lambda n: "a" * n + "cab"),
]


def best(fn, repeat):
    out = float("inf")
    for _ in range(repeat):
        t0 = time.thread_time()
        fn()
        out = min(out, time.thread_time() - t0)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peer-max", type=int, default=24)
    ap.add_argument("--max", type=int, default=100_000)
    args = ap.parse_args()
    sizes = [16, 20, 24] + [n for n in (1_000, 10_000, 100_000, 1_000_000) if n <= args.max]
    print(f"{'pattern':16} {'n':>8} {'kordal':>10} {'us/char':>8} {'re':>10} {'regex':>10}")
    for pattern, make in CASES:
        k = kordal.Regex(pattern)
        peers = [("re", re.compile(pattern))]
        if regex_mod:
            peers.append(("regex", regex_mod.compile(pattern)))
        for n in sizes:
            text = make(n)
            tk = best(lambda: k.find(text), args.repeat)
            row = f"{pattern:16} {n:8} {tk * 1e3:8.3f}ms {tk * 1e6 / len(text):8.3f}"
            for _, p in peers:
                if n <= args.peer_max:
                    row += f" {best(lambda: p.search(text), args.repeat) * 1e3:8.3f}ms"
                else:
                    row += f" {'-':>10}"
            print(row, flush=True)


if __name__ == "__main__":
    main()
