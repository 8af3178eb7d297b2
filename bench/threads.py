"""Searches in parallel threads, one case per engine path: one long search
per thread, each on its own text, with 1 and then N threads; prints the wall
time of each round and the speed-up (N equal searches in the time of one
means the interpreter lock is not held while matching). `re` and `regex`,
which hold it, run the same calls for comparison.

The cases, each on a generated text of about --size characters (a thread
repeats its search until one round takes about 0.2 s):
- DFA: findall of an e-mail pattern over prose with an address in every
  hundredth line;
- literal scan: is_match of a literal the text does not contain;
- backtracking VM: findall of `\\b(\\w+)\\s+\\1\\b` (a backreference);
- one-pass: fullmatch of a pattern with groups over the whole text;
- backtracking VM without a literal: find of `(?:\\w+\\s+){3}(?=\\d)`, which
  fails everywhere.

On a machine shared with other work, two threads find two free cores only
now and then, so the wall-time speed-up says more about the load than about
the interpreter lock. Where Linux reports it (/proc/thread-self/schedstat),
a second figure discounts the time each thread spent runnable but waiting
for a core: what is left is its running time and its waits for the lock,
and the speed-up over that ("free cores") estimates the one an idle machine
would show. It still counts every wait for the lock, as an idle machine
would.

Usage: python bench/threads.py [--threads N] [--size CHARS] [--only SUBSTRING]
"""

import argparse
import math
import re
import threading
import time

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:
    regex_mod = None

PROSE = "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod\n"


def texts(size):
    lines = size // len(PROSE)
    mail = "".join(PROSE if i % 100 else f"write to user{i}@example.org today\n"
                   for i in range(lines))
    doubled = "".join(PROSE if i % 100 else "the the end of it\n" for i in range(lines))
    return mail, PROSE * lines, doubled


def cases(size):
    mail, prose, doubled = texts(size)
    onepass = prose.replace("\n", " ") + "2026"
    # (engine path, pattern, call name for kordal, call for the peers, text)
    yield "DFA", r"[\w.+-]+@[\w.-]+\.[\w.-]+", "findall", "findall", mail
    yield "literal scan", r"Sherlock Holmes", "is_match", "search", prose
    yield "backtracking VM", r"\b(\w+)\s+\1\b", "findall", "findall", doubled
    yield "one-pass", r"([a-z ]+)(\d+)", "fullmatch", "fullmatch", onepass
    yield "VM, no literal", r"(?:\w+\s+){3}(?=\d)", "find", "search", prose


def timed(search, text):
    t0 = time.perf_counter()
    search(text)
    return time.perf_counter() - t0


def core_wait():
    """Seconds this thread has spent runnable but waiting for a core, or
    None where the system does not say."""
    try:
        with open("/proc/thread-self/schedstat") as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return None


def round_time(search, texts, reps):
    """The wall time of a round and the longest time a thread spent in it
    other than waiting for a core (None where that is unknown). Each thread's
    time counts from the start of the round, not from its own start: a
    thread that cannot start while another holds the lock is waiting too."""
    spans = [None] * len(texts)

    def work(i, text):
        w0 = core_wait()
        for _ in range(reps):
            search(text)
        t1, w1 = time.perf_counter(), core_wait()
        spans[i] = None if w0 is None or w1 is None else (t1 - t0) - (w1 - w0)

    threads = [threading.Thread(target=work, args=(i, t)) for i, t in enumerate(texts)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    return wall, None if None in spans else max(spans)


def main(argv=None):
    """Prints the table and returns its rows: (path, engine, one, many, speed-up,
    speed-up on free cores or None)."""
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--size", type=int, default=2_000_000)
    ap.add_argument("--only", default="")
    args = ap.parse_args(argv)
    rows = []
    print(f"{'path':16} {'engine':8} {'1 thread':>10} {f'{args.threads} threads':>11} "
          f"{'speed-up':>9} {'free cores':>11}")
    for path, pattern, kcall, pcall, text in cases(args.size):
        if args.only and args.only not in path:
            continue
        engines = [("kordal", getattr(kordal.Regex(pattern), kcall)),
                   ("re", getattr(re.compile(pattern), pcall))]
        if regex_mod is not None:
            engines.append(("regex", getattr(regex_mod.compile(pattern), pcall)))
        # Each thread gets its own copy, so that no two share a text.
        copies = [(text + " ")[:-1] for _ in range(args.threads)]
        for name, search in engines:
            # A search over the whole text is repeated until a round lasts
            # long enough that starting the threads does not count.
            search(copies[0])  # builds what the first search builds lazily
            # The best of a few, so that one call slowed by the machine's
            # other work does not make the rounds too short to time.
            call = min(timed(search, copies[0]) for _ in range(3))
            reps = max(1, math.ceil(0.2 / max(call, 1e-6)))
            ones = [round_time(search, copies[:1], reps) for _ in range(5)]
            manys = [round_time(search, copies, reps) for _ in range(5)]
            one, many = min(r[0] for r in ones), min(r[0] for r in manys)
            free = None
            if all(r[1] is not None for r in ones + manys):
                free = min(r[1] for r in ones) * args.threads / min(r[1] for r in manys)
            rows.append((path, name, one, many, one * args.threads / many, free))
            shown = "" if free is None else f"{free:11.2f}"
            print(f"{path:16} {name:8} {one:9.3f}s {many:10.3f}s {rows[-1][4]:9.2f} {shown}",
                  flush=True)
    return rows


if __name__ == "__main__":
    main()
