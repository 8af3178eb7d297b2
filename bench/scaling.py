"""How search cost scales with the size of the haystack: kordal against `re` and `regex`.

Four measurements, each in one run against the peers, best of several repetitions of
the thread's CPU time (time.thread_time, so that other load on the machine does not
count):

1. `find` and `is_match` with the match in the first 100 characters of texts of 1 KB to
   100 MB (ASCII, Latin-1 and Cyrillic). A search that stops near the start should cost
   the same whatever follows; the column k/k1K is the cost relative to the 1 KB text of the
   same kind (target: below 2).
2. A `find_at` walk over every match of a text (each call starting at the previous end)
   against `findall` on the same text (target: k walk/findall below 1.5), with `re` and
   `regex` doing the same walk with `search(text, pos)` for reference.
3. The lone-surrogate check of a 2- or 4-byte str: the first search of a fresh 100 MB
   text scans it once; later searches of the same str do not.
4. Memory (run first): in a fresh subprocess, the growth of ru_maxrss over the text
   itself while searching near the start of a 100 MB text (target: nothing proportional
   to the text).

Usage: python bench/scaling.py [--max-mb 100] [--walk-max-kb 10240] [--module-path DIR]
                               [--skip near-start|walk|memory]
`--module-path` imports kordal_python from a build directory (to compare builds).
Ratios below 1.0 mean kordal is faster.
"""

import argparse
import gc
import os
import re
import subprocess
import sys
import time

try:
    import regex as regex_mod
except ImportError:  # the peer is optional
    regex_mod = None

FILL = {
    "ascii": "lorem ipsum dolor sit amet consectetur adipiscing elit sed do ",
    "latin1": "café déjà vu à la crème brûlée façade naïve über señor ",
    "cyrillic": "привет мир съешь же ещё этих мягких французских булок да ",
}
NEEDLE = "needle42"
PATTERNS = [("literal", "needle42"), ("class", r"[mn]eedle\d+")]


def make_text(kind, nbytes):
    """A text of about `nbytes` UTF-8 bytes with NEEDLE at character 50.

    Built with one join of shared pieces, so that making it needs no more memory
    than the text itself (the memory check reads the peak).
    """
    fill = FILL[kind]
    per_char = len(fill.encode()) / len(fill)
    nchars = max(int(nbytes / per_char), 120)
    head = fill[:50] + NEEDLE + fill[50 + len(NEEDLE):]
    chunk = fill * 64
    count, rest = divmod(nchars - len(head), len(chunk))
    return "".join([head] + [chunk] * count + [chunk[:rest]])


clock = time.thread_time


def best(fn, budget=0.25, repeat=5):
    """Best time per call in seconds, over `repeat` rounds of about `budget` seconds."""
    t0 = clock()
    fn()
    once = clock() - t0
    number = max(1, int(budget / max(once, 1e-7) / repeat))
    if once > 1.0:
        repeat = 2
    times = []
    for _ in range(repeat):
        t0 = clock()
        for _ in range(number):
            fn()
        times.append((clock() - t0) / number)
    return min(times)


def fmt(t):
    if t != t:
        return "     n/a"
    if t < 1e-3:
        return f"{t * 1e6:6.2f}us"
    if t < 1:
        return f"{t * 1e3:6.2f}ms"
    return f"{t:6.2f}s "


def sizes(max_mb):
    out = [1 << 10, 1 << 14, 1 << 17, 1 << 20, 10 << 20, 100 << 20]
    return [s for s in out if s <= max_mb * (1 << 20)]


def label(nbytes):
    return f"{nbytes >> 20}MB" if nbytes >= 1 << 20 else f"{nbytes >> 10}KB"


def near_start(kordal, max_mb):
    print()
    print("== find / is_match, match within the first 100 characters")
    print(f"{'text':9} {'pattern':8} {'size':6} {'call':9} {'kordal':>9} {'re':>9} {'regex':>9} "
          f"{'k/re':>7} {'k/regex':>7} {'k/k1K':>6}")
    for kind in FILL:
        for pname, pat in PATTERNS:
            k = kordal.Regex(pat)
            r = re.compile(pat)
            x = regex_mod.compile(pat) if regex_mod else None
            base = {}
            for nbytes in sizes(max_mb):
                text = make_text(kind, nbytes)
                assert k.find(text).matched == NEEDLE
                calls = [
                    ("find", lambda: k.find(text), lambda: r.search(text),
                     (lambda: x.search(text)) if x else None),
                    ("is_match", lambda: k.is_match(text), lambda: r.search(text) is not None,
                     (lambda: x.search(text) is not None) if x else None),
                ]
                for name, fk, fr, fx in calls:
                    tk, tr = best(fk), best(fr)
                    tx = best(fx) if fx else float("nan")
                    base.setdefault(name, tk)
                    print(f"{kind:9} {pname:8} {label(nbytes):6} {name:9} {fmt(tk)} {fmt(tr)} "
                          f"{fmt(tx)} {tk / tr:7.2f} {tk / tx:7.2f} {tk / base[name]:6.2f}",
                          flush=True)
                del text
                gc.collect()


def walk(kordal, max_mb, walk_kb):
    print()
    print("== find_at walk over every match against findall (pattern \\w+)")
    print(f"{'text':9} {'size':6} {'matches':>8} {'k findall':>10} {'k walk':>9} {'walk/fa':>8} "
          f"{'re walk':>9} {'regex walk':>10}")
    pat = r"\w+"
    k = kordal.Regex(pat)
    r = re.compile(pat)
    x = regex_mod.compile(pat) if regex_mod else None
    for kind in FILL:
        for nbytes in [s for s in (1 << 17, 1 << 20, 10 << 20) if s <= walk_kb << 10]:
            text = make_text(kind, nbytes)

            def k_walk():
                count = 0
                m = k.find_at(text, 0)
                while m is not None:
                    count += 1
                    m = k.find_at(text, m.end)
                return count

            def peer_walk(p):
                def run():
                    count = 0
                    m = p.search(text, 0)
                    while m is not None:
                        count += 1
                        m = p.search(text, m.end())
                    return count
                return run

            n = len(k.findall(text))
            assert k_walk() == n
            tf, tw = best(lambda: k.findall(text), repeat=3), best(k_walk, repeat=3)
            tr = best(peer_walk(r), repeat=3)
            tx = best(peer_walk(x), repeat=3) if x else float("nan")
            print(f"{kind:9} {label(nbytes):6} {n:8} {fmt(tf):>10} {fmt(tw)} {tw / tf:8.2f} "
                  f"{fmt(tr)} {fmt(tx):>10}", flush=True)
            del text
            gc.collect()


def surrogate_check(kordal, max_mb):
    if max_mb < 100:
        return
    print()
    print("== first search of a fresh 100 MB str (includes the surrogate scan) and later ones")
    print(f"{'text':9} {'width':>5} {'units':>8} {'first':>9} {'again':>9}")
    k = kordal.Regex("needle42")
    for kind, fill in [("cyrillic", None), ("astral", "😀 ")]:
        if fill is None:
            text = make_text(kind, 100 << 20)
        else:
            chunk = fill * 1024
            text = "".join(["a needle42 "] + [chunk] * ((100 << 20) // len(chunk.encode())))
        top = ord(max(text))
        width = 1 if top < 0x100 else 2 if top < 0x10000 else 4
        t0 = clock()
        assert k.is_match(text)
        first = clock() - t0
        again = best(lambda: k.is_match(text))
        units = len(text) * width
        print(f"{kind:9} {width:5} {units / 2**20:6.0f}MB {fmt(first)} {fmt(again)}", flush=True)
        del text
        gc.collect()


MEMORY_CHILD = r"""
import gc, resource, sys
sys.path[:0] = {paths!r}
import kordal_python as kordal
sys.path.insert(0, {bench!r})
from scaling import make_text

def rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

kind = sys.argv[1]
text = make_text(kind, 100 << 20)
size = sys.getsizeof(text)
k = kordal.Regex("needle42")
gc.collect()
before = rss()
assert k.find(text).matched == "needle42"
assert k.is_match(text)
assert k.find_at(text, 10).matched == "needle42"
assert [m.start for m in k.findall(text)] == [len(text[:50].encode())]
assert k.match_at_start(text) is None
after = rss()
print(size, after - before, sys.getsizeof(text) - size)
"""


def memory(module_paths, max_mb):
    if max_mb < 100:
        return
    print("== memory while searching near the start of a 100 MB text (fresh process)")
    print(f"{'text':9} {'str size':>10} {'maxrss growth':>14} {'str growth':>11}")
    bench = os.path.dirname(os.path.abspath(__file__))
    code = MEMORY_CHILD.format(paths=module_paths, bench=bench)
    for kind in FILL:
        out = subprocess.run([sys.executable, "-c", code, kind], capture_output=True, text=True)
        if out.returncode != 0:
            print(f"{kind:9} failed: {out.stderr.strip().splitlines()[-1:]}")
            continue
        size, grow, sgrow = map(int, out.stdout.split())
        print(f"{kind:9} {size / 2**20:8.1f}MB {grow / 2**20:12.1f}MB {sgrow / 2**20:9.1f}MB",
              flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--max-mb", type=int, default=100)
    ap.add_argument("--walk-max-kb", type=int, default=10 << 10,
                    help="largest text of the find_at walk (a quadratic walk needs a small one)")
    ap.add_argument("--module-path", action="append", default=[])
    ap.add_argument("--skip", action="append", default=[],
                    choices=["near-start", "walk", "surrogates", "memory"])
    args = ap.parse_args()
    sys.path[:0] = args.module_path
    import kordal_python as kordal

    print(f"kordal from {kordal.__file__}")
    # First, while this process is small: a child inherits its parent's peak
    # resident size through fork and exec, which would hide its own growth.
    if "memory" not in args.skip:
        memory(args.module_path, args.max_mb)
    if "near-start" not in args.skip:
        near_start(kordal, args.max_mb)
    if "walk" not in args.skip:
        walk(kordal, args.max_mb, min(args.walk_max_kb, args.max_mb << 10))
    if "surrogates" not in args.skip:
        surrogate_check(kordal, args.max_mb)


if __name__ == "__main__":
    main()
