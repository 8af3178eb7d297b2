"""Searches in parallel threads: one long search per thread, each on its own
text, with 1 and then N threads; prints the wall time of each round and the
speed-up (N equal searches in the time of one means the interpreter lock is
not held while matching). Compare with `re` and `regex`, which hold it.

Usage: python bench/threads.py [--threads N] [--size CHARS]
"""

import argparse
import re
import threading
import time

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:
    regex_mod = None


def round_time(search, texts):
    threads = [threading.Thread(target=search, args=(t,)) for t in texts]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--size", type=int, default=2_000_000)
    args = ap.parse_args()
    # Fails everywhere, with no literal a prefilter could rule the text out
    # by; the lookahead keeps every engine backtracking over the whole text.
    pattern = r"(?:\w+\s+){3}(?=\d)"
    text = "lorem ipsum dolor sit amet " * (args.size // 27)
    engines = [("kordal", kordal.Regex(pattern).find), ("re", re.compile(pattern).search)]
    if regex_mod is not None:
        engines.append(("regex", regex_mod.compile(pattern).search))
    print(f"{'engine':8} {'1 thread':>10} {f'{args.threads} threads':>11} {'speed-up':>9}")
    for name, search in engines:
        one = min(round_time(search, [text]) for _ in range(2))
        many = min(round_time(search, [text] * args.threads) for _ in range(2))
        print(f"{name:8} {one:9.3f}s {many:10.3f}s {one * args.threads / many:9.2f}")


if __name__ == "__main__":
    main()
