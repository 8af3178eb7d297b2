"""Cases the lazy DFA serves: kordal against `re`, `regex` and `google-re2`,
side by side in one run.

Counted findall over the mariomka input (email, URI, IPv4), the cloud-flare
`.*.*=.*` case, and two patterns that make a backtracker exponential, on
growing inputs. Engines run interleaved and the best of --repeat runs is
kept; ratios are kordal / peer (below 1.0: kordal is faster), and
"k/best" is against the faster of `re` and `regex`. A peer is skipped ('-')
on the exponential cases once one run at a smaller size took over --budget
seconds.

Usage: python bench/dfa.py [--corpus DIR] [--repeat N] [--only SUBSTRING] [--budget S]
"""

import argparse
import pathlib
import sys
import time

from backtrack import DEFAULT_CORPUS, count_all, engines

EMAIL = r"[\w\.+-]+@[\w\.-]+\.[\w\.-]+"
URI = r"[\w]+://[^/\s?#]+[^\s?#]+(?:\?[^\s#]*)?(?:#[^\s]*)?"
IPV4 = (r"(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9])\.){3}"
        r"(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9])")


def cases(corpus):
    mario = (corpus / "mariomka" / "input-text.txt").read_text(encoding="utf-8")
    yield "email", EMAIL, count_all(mario), True
    yield "uri", URI, count_all(mario), True
    yield "ipv4", IPV4, count_all(mario), True
    cf = (corpus / "rebar" / "cloud-flare-redos.txt").read_text(encoding="utf-8")
    yield "cloud-flare .*.*=.*", r".*.*=.*", count_all(cf), True
    # Peers only on the small sizes: a backtracker takes exponential time.
    for n in (16, 20, 24, 10000, 1000000):
        yield f"(x+x+)+y on {n}", r"(x+x+)+y", count_all("x" * n + "zxxy"), n < 100
    for n in (16, 20, 24, 10000, 1000000):
        yield f"(a|aa)+$ on {n}", r"(a|aa)+$", count_all("a" * n + "b"), n < 100


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=DEFAULT_CORPUS)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    ap.add_argument("--budget", type=float, default=0.05)
    args = ap.parse_args(argv)
    if not args.corpus.is_dir():
        sys.exit(f"corpus not found: {args.corpus} (give --corpus or set KORDAL_CORPUS)")
    names = [name for name, _ in engines()]
    print(f"{'case':24}" + "".join(f"{n:>11}" for n in names)
          + f"{'k/best':>8}{'k/re2':>8}  counts")
    slow = set()  # (pattern, engine) pairs over budget at a smaller size
    for case, pattern, runners, peers in cases(args.corpus):
        if args.only and args.only not in case:
            continue
        compiled = {}
        for name, make in engines():
            if (pattern, name) in slow or (name != "kordal" and not peers):
                continue
            try:
                compiled[name] = make(pattern)
            except Exception:  # the peer lacks the construct
                pass
        best = {name: float("inf") for name in compiled}
        counts = {}
        for _ in range(args.repeat):
            for name, r in list(compiled.items()):
                run = runners["kordal" if name == "kordal" else "peer"]
                t0 = time.perf_counter()
                counts[name] = run(r)
                best[name] = min(best[name], time.perf_counter() - t0)
                if best[name] > args.budget:
                    slow.add((pattern, name))
                    del compiled[name]
        cells = "".join(f"{best[n]*1e3:9.2f}ms" if n in best else f"{'-':>11}" for n in names)
        py = [best[p] for p in ("re", "regex") if p in best]
        k_best = f"{best['kordal']/min(py):8.3f}" if py else f"{'-':>8}"
        k_re2 = f"{best['kordal']/best['re2']:8.3f}" if "re2" in best else f"{'-':>8}"
        agree = len(set(counts.values())) == 1
        shown = str(counts["kordal"]) if agree else " ".join(f"{k}={v}" for k, v in counts.items())
        print(f"{case:24}{cells}{k_best}{k_re2}  {shown}", flush=True)


if __name__ == "__main__":
    main()
