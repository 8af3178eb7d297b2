"""Streaming search against one findall over the whole text: a log-like text
of SIZE characters fed to Regex.stream in CHUNK-character pieces. Prints the
best of REPEAT runs of each and their ratio (the stream's goal: at most
1.25x), and the most text the stream held between pieces.

Usage: python bench/stream.py [--size CHARS] [--chunk CHARS] [--repeat N]
"""

import argparse
import time

import kordal_python as kordal

PATTERNS = [
    r"\d+",
    r"\w+",
    r"(?m)^(\w+) (/\S*) (\d{3})",
    r"<[^>]*>|\w+",
    r"(\w+)@(\w+)\.com",
    r"\b(?:GET|POST)\b",
]

LINES = [
    "GET /index.html 200 1234 <b>ok</b>\n",
    "POST /api/v1/items 201 88 mail ada@example.com\n",
    "DEBUG cache miss key=user:42 after 3 ms\n",
]


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=10_000_000)
    ap.add_argument("--chunk", type=int, default=64 * 1024)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    unit = "".join(LINES)
    text = (unit * (args.size // len(unit) + 1))[: args.size]
    pieces = [text[i : i + args.chunk] for i in range(0, len(text), args.chunk)]
    print(f"{len(text)} characters in {len(pieces)} pieces of {args.chunk}")
    print(f"{'pattern':32} {'findall s':>10} {'stream s':>10} {'ratio':>6} {'held':>6}")
    for pattern in PATTERNS:
        r = kordal.Regex(pattern)
        held = [0]

        def whole():
            return len(r.findall(text))

        def streamed():
            s = r.stream()
            n = 0
            for p in pieces:
                n += len(s.feed(p))
                held[0] = max(held[0], s.retained)
            return n + len(s.close())

        assert whole() == streamed()
        tw = best(whole, args.repeat)
        ts = best(streamed, args.repeat)
        print(f"{pattern:32} {tw:10.3f} {ts:10.3f} {ts / tw:6.2f} {held[0]:6}")


if __name__ == "__main__":
    main()
