"""Per-call cost on a short haystack: kordal against `re` and `regex`.

Reports microseconds per call and the ratios kordal/re and kordal/regex
(below 1.0 means kordal is faster). Usage: python bench/overhead.py
"""

import re
import timeit

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:  # the peer is optional
    regex_mod = None

HAYSTACK = "user=ada action=login ok"
PATTERNS = [r"(\w+)=(\w+)", r"login", r"\d+", r"(?i)ACTION"]


def per_call(fn):
    return min(timeit.repeat(fn, number=50_000, repeat=5)) / 50_000 * 1e6


def main():
    print(f"{'pattern':14} {'call':9} {'kordal':>8} {'re':>8} {'regex':>8} {'k/re':>6} {'k/regex':>7}")
    for pat in PATTERNS:
        k = kordal.Regex(pat)
        r = re.compile(pat)
        x = regex_mod.compile(pat) if regex_mod else None
        calls = [
            ("is_match", lambda: k.is_match(HAYSTACK), lambda: r.search(HAYSTACK) is not None,
             lambda: x.search(HAYSTACK) is not None),
            ("find", lambda: k.find(HAYSTACK), lambda: r.search(HAYSTACK),
             lambda: x.search(HAYSTACK)),
            ("findall", lambda: k.findall(HAYSTACK), lambda: list(r.finditer(HAYSTACK)),
             lambda: list(x.finditer(HAYSTACK))),
        ]
        for name, fk, fr, fx in calls:
            tk, tr = per_call(fk), per_call(fr)
            tx = per_call(fx) if x else float("nan")
            print(f"{pat:14} {name:9} {tk:7.3f}us {tr:7.3f}us {tx:7.3f}us {tk/tr:6.2f} {tk/tx:7.2f}")


if __name__ == "__main__":
    main()
