"""What the benchmark scripts share: the engines, interleaved timing, the table.

Every case is a pattern, its flags, and a runner per engine kind ("kordal" or
"peer") that takes the compiled pattern and returns a result count. The
engines run interleaved (one repetition of each in turn, so that noise on a
shared machine hits all alike) and the best time of each is kept. A peer
that cannot compile the pattern shows '-'. Ratios are kordal / peer (below
1.0: kordal is faster); the google-re2 ratio is shown only where its count
agrees with kordal's, since its \\w, \\b and case folding are ASCII-only or
simpler and can give other answers.
"""

import math
import os
import pathlib
import re
import sys
import time

import kordal_python as kordal

try:
    import regex as regex_mod
except ImportError:  # the peers are optional
    regex_mod = None
try:
    import re2 as re2_mod
except ImportError:
    re2_mod = None

HERE = pathlib.Path(__file__).resolve().parent
CANDIDATES = [HERE.parent.parent / "shared" / "corpus", HERE.parent / "shared" / "corpus"]


def default_corpus():
    if os.environ.get("KORDAL_CORPUS"):
        return pathlib.Path(os.environ["KORDAL_CORPUS"])
    return next((c for c in CANDIDATES if c.is_dir()), CANDIDATES[0])


def corpus_or_exit(corpus):
    corpus = corpus or default_corpus()
    if not corpus.is_dir():
        sys.exit(f"corpus not found: {corpus} (give --corpus DIR or set KORDAL_CORPUS)")
    return corpus


def kordal_flags(f):
    out = 0
    if f & re.IGNORECASE:
        out |= kordal.IGNORECASE
    if f & re.MULTILINE:
        out |= kordal.MULTILINE
    return out


def _re2_compile(p, flags):
    opts = re2_mod.Options()
    opts.max_mem = 1 << 30
    opts.log_errors = False
    inline = ("i" if flags & re.IGNORECASE else "") + ("m" if flags & re.MULTILINE else "")
    return re2_mod.compile((f"(?{inline})" if inline else "") + p, opts)


def engines():
    """(name, compile(pattern, re flags)) for every installed engine, kordal first."""
    out = [("kordal", lambda p, f: kordal.Regex(p, kordal_flags(f))), ("re", re.compile)]
    if regex_mod is not None:
        out.append(("regex", lambda p, f: regex_mod.compile(p, f | regex_mod.VERSION1)))
    if re2_mod is not None:
        out.append(("re2", _re2_compile))
    return out


# Runners: each maps an engine kind to a function of the compiled pattern.
def count_all(hay):
    # Match objects for every engine: kordal's findall returns them, the
    # peers' finditer yields them.
    return {"kordal": lambda r: len(r.findall(hay)),
            "peer": lambda r: sum(1 for _ in r.finditer(hay))}


def search_each(lines):
    return {"kordal": lambda r: sum(1 for s in lines if r.find(s) is not None),
            "peer": lambda r: sum(1 for s in lines if r.search(s) is not None)}


def groups_each(lines):
    # Group texts are what a line parser wants: ask every engine for them.
    return {"kordal": lambda r: sum(len(m.groups) for m in map(r.find, lines) if m is not None),
            "peer": lambda r: sum(len(m.groups()) + 1 for m in map(r.search, lines)
                                  if m is not None)}


def fullmatch_each(lines):
    return {"kordal": lambda r: sum(1 for s in lines if r.fullmatch(s) is not None),
            "peer": lambda r: sum(1 for s in lines if r.fullmatch(s) is not None)}


def replace_all(hay, repl):
    return {"kordal": lambda r: len(r.replace_all(hay, repl)),
            "peer": lambda r: len(r.sub(repl, hay))}


def program(run):
    """Runners for a case that compiles several patterns: `run(compile, count,
    sub)` gets the engine's compile(pattern, flags), count(compiled, text)
    and sub(compiled, repl, text)."""
    return {"kordal": lambda mk: run(mk, lambda r, s: len(r.findall(s)),
                                     lambda r, repl, s: r.replace_all(s, repl)),
            "peer": lambda mk: run(mk, lambda r, s: sum(1 for _ in r.finditer(s)),
                                   lambda r, repl, s: r.sub(repl, s))}


def time_case(pattern, flags, runners, repeat):
    """Best seconds and result count per engine that compiles the pattern.
    With pattern None the runners get the engine's compile function."""
    compiled = {}
    for name, make in engines():
        try:
            compiled[name] = make if pattern is None else make(pattern, flags)
        except Exception:  # the peer lacks the construct
            pass
    best = {name: float("inf") for name in compiled}
    counts = {}
    for _ in range(repeat):
        for name, r in compiled.items():
            run = runners["kordal" if name == "kordal" else "peer"]
            t0 = time.perf_counter()
            counts[name] = run(r)
            best[name] = min(best[name], time.perf_counter() - t0)
    return best, counts


class Table:
    """Rows of timings; prints as it goes, and as markdown at the end."""

    NAMES = ["kordal", "re", "regex", "re2"]

    def __init__(self, title):
        self.title = title
        self.rows = []
        print(f"{'case':28}" + "".join(f"{n:>12}" for n in self.NAMES)
              + f"{'k/best':>10}{'k/re2':>10}  counts")

    def add(self, case, best, counts):
        fast = min((best[p] for p in ("re", "regex") if p in best and counts[p] == counts["kordal"]),
                   default=None)
        k_fast = best["kordal"] / fast if fast else None
        k_re2 = (best["kordal"] / best["re2"]
                 if "re2" in best and counts["re2"] == counts["kordal"] else None)
        row = (case, best, counts, k_fast, k_re2)
        self.rows.append(row)
        cells = "".join(f"{best[n]*1e3:10.2f}ms" if n in best else f"{'-':>12}" for n in self.NAMES)
        fmt = lambda x, w: f"{x:{w}.2f}" if x is not None else f"{'-':>{w}}"  # noqa: E731
        print(f"{case:28}{cells}{fmt(k_fast, 10)}{fmt(k_re2, 10)}  {self.shown(counts)}", flush=True)

    @staticmethod
    def shown(counts):
        if len(set(counts.values())) == 1:
            return str(counts["kordal"])
        return " ".join(f"{k}={v}" for k, v in counts.items())

    def geomean(self):
        rs = [r[3] for r in self.rows if r[3]]
        return math.exp(sum(map(math.log, rs)) / len(rs)) if rs else None

    def markdown(self):
        out = [f"### {self.title}", "",
               "| case | kordal | re | regex | google-re2 | kordal / faster of re, regex "
               "| kordal / google-re2 | matches |",
               "|---|---:|---:|---:|---:|---:|---:|---|"]
        for case, best, counts, k_fast, k_re2 in self.rows:
            cell = lambda n: f"{best[n]*1e3:.2f} ms" if n in best else "-"  # noqa: E731
            fmt = lambda x: f"{x:.2f}x" if x is not None else "-"  # noqa: E731
            name = case.replace("|", "\\|")
            out.append(f"| `{name}` | {cell('kordal')} | {cell('re')} | {cell('regex')} | "
                       f"{cell('re2')} | {fmt(k_fast)} | {fmt(k_re2)} | "
                       f"{self.shown(counts).replace('|', '/')} |")
        g = self.geomean()
        if g is not None:
            out.append(f"| geometric mean | | | | | {g:.2f}x | | |")
        return "\n".join(out) + "\n"
