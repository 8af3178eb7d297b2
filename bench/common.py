"""What the benchmark scripts share: the engines, interleaved timing, the table.

Every case is a pattern, its flags, and runners: one function per engine kind
that takes the compiled pattern and returns the case's result (the list of
match spans wherever the engine has spans). Offsets into the UTF-8 form
(kordal's, the Rust crate's, Hyperscan's) are turned into `str` indexes after
timing, for the comparison. The kinds are "kordal", "peer"
(the `re`-like API of `re`, `regex`, `google-re2` and `pcre2`), "rust"
(`regex-rs`, the Rust regex crate) and "hs" (`hyperscan`). A case without a
runner for a kind leaves that engine out ('-'), as does a pattern the engine
cannot compile.

What each peer is asked to do, so that it does kordal's work:
- kordal: `finditer`, `find`, `fullmatch` or `replace_all`, taking each
  Match's `span` (its native offsets, into the UTF-8 form of the text), as
  the peers walk with their iterators.
- `re`, `regex`, `google-re2`, `pcre2` (JIT on; this binding matches `str`
  with Unicode properties): `finditer`, `search`, `fullmatch` or `sub`,
  taking each Match object's `span()` (`str` indexes). Over a whole text
  `pcre2` takes each match's text instead: its `span()` converts offsets by
  walking the text from the start, so spans would make it quadratic; its
  texts are compared with the texts of kordal's spans.
- `regex-rs`: `find_iter`, `find` or `captures`, taking each Match's start
  and end; `replace` for substitutions. A full match compiles the pattern
  inside `\\A(?:...)\\z`.
- `hyperscan`: one block-mode scan of the text encoded once to UTF-8 before
  timing, with a Python callback that collects (start, end) per reported
  match; the start is the leftmost one (SOM_LEFTMOST) where Hyperscan can
  compile that, else the pattern is scanned for ends only. Classes are
  Unicode (UCP), so a pattern with `\\b` leaves it out, and a long
  alternation of literals is one expression per literal. A per-line
  search stops at the first report. Hyperscan reports every end (matches
  overlap), has no captures, backreferences or lookaround, and no
  substitution, so those cases leave it out.

The engines run interleaved (one repetition of each in turn, so that noise on
a shared machine hits all alike) and the best time of each is kept. An
engine agrees when its result equals kordal's (spans compared, not counts);
one that disagrees computes something else (google-re2's ASCII \\w and \\b,
the Rust crate's empty-match rule and Unicode tables, Hyperscan's
overlapping match ends), is marked, and is kept out of "the fastest agreeing
peer". Ratios are kordal / peer: below 1.0, kordal is faster.
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
try:
    import pcre2 as pcre2_mod
except ImportError:
    pcre2_mod = None
try:
    import regex_rs as rs_mod
except ImportError:
    rs_mod = None
try:
    import hyperscan as hs_mod
except ImportError:
    hs_mod = None

HERE = pathlib.Path(__file__).resolve().parent
CANDIDATES = [HERE.parent.parent / "shared" / "corpus", HERE.parent / "shared" / "corpus"]

PEERS = ["re", "regex", "re2", "pcre2", "rust", "hs"]
LABELS = {"kordal": "kordal", "re": "re", "regex": "regex", "re2": "google-re2",
          "pcre2": "PCRE2-JIT", "rust": "Rust regex", "hs": "Hyperscan"}


def default_corpus():
    if os.environ.get("KORDAL_CORPUS"):
        return pathlib.Path(os.environ["KORDAL_CORPUS"])
    return next((c for c in CANDIDATES if c.is_dir()), CANDIDATES[0])


def corpus_or_exit(corpus):
    corpus = corpus or default_corpus()
    if not corpus.is_dir():
        sys.exit(f"corpus not found: {corpus} (give --corpus DIR or set KORDAL_CORPUS)")
    return corpus


def reader(corpus):
    """A function reading a corpus file (a path under `corpus`) as text."""
    return lambda name: (corpus / name).read_text(encoding="utf-8")


def kordal_flags(f):
    out = 0
    if f & re.IGNORECASE:
        out |= kordal.IGNORECASE
    if f & re.MULTILINE:
        out |= kordal.MULTILINE
    return out


def _inline(flags):
    return ("i" if flags & re.IGNORECASE else "") + ("m" if flags & re.MULTILINE else "")


def _re2_compile(p, flags):
    opts = re2_mod.Options()
    opts.max_mem = 1 << 30
    opts.log_errors = False
    inline = _inline(flags)
    return re2_mod.compile((f"(?{inline})" if inline else "") + p, opts)


def _pcre2_compile(p, flags):
    f = 0
    if flags & re.IGNORECASE:
        f |= pcre2_mod.IGNORECASE
    if flags & re.MULTILINE:
        f |= pcre2_mod.MULTILINE
    return pcre2_mod.compile(p, f, jit=True)


def _rust_compile(p, flags):
    # The crate's default is Unicode classes and leftmost-first, like kordal.
    return rs_mod.Regex(p, case_insensitive=bool(flags & re.IGNORECASE) or None,
                        multi_line=bool(flags & re.MULTILINE) or None,
                        size_limit=1 << 30, dfa_size_limit=1 << 30)


class HsPattern:
    """A Hyperscan block-mode database for one pattern, with its scratch.
    A plain alternation of literals too long for one expression (Hyperscan
    limits a pattern's length) becomes one expression per literal, the way
    Hyperscan is meant to scan for a word list."""

    LITERAL_SET = re.compile(r"[^\\()\[\]{}.*+?^$]+")

    def __init__(self, p, flags):
        base = hs_mod.HS_FLAG_UTF8
        if flags & re.IGNORECASE:
            base |= hs_mod.HS_FLAG_CASELESS
        if flags & re.MULTILINE:
            base |= hs_mod.HS_FLAG_MULTILINE
        exprs = [p.encode()]
        if len(p) > 10000 and self.LITERAL_SET.fullmatch(p):
            exprs = [w.encode() for w in p.split("|")]
        err = None
        # Leftmost starts make its spans comparable; without them, ends
        # only. Classes stay Unicode: ASCII ones would be other work.
        for extra, som in ((hs_mod.HS_FLAG_SOM_LEFTMOST, True), (0, False)):
            try:
                db = hs_mod.Database(mode=hs_mod.HS_MODE_BLOCK)
                db.compile(expressions=exprs, ids=list(range(len(exprs))),
                           flags=base | hs_mod.HS_FLAG_UCP | extra)
            except Exception as e:  # too large with starts, or unsupported
                err = e
                continue
            self.db, self.som = db, som
            return
        raise err

    def spans(self, data, first=False):
        out = []
        add = out.append
        if self.som:
            cb = (lambda i, s, e, f, c: add((s, e)) or first)
        else:
            cb = (lambda i, s, e, f, c: add((None, e)) or first)
        try:
            self.db.scan(data, match_event_handler=cb)
        except hs_mod.ScanTerminated:
            pass
        return out


def engines():
    """(name, kind, compile(pattern, re flags)) for every installed engine,
    kordal first."""
    out = [("kordal", "kordal", lambda p, f: kordal.Regex(p, kordal_flags(f))),
           ("re", "peer", re.compile)]
    if regex_mod is not None:
        out.append(("regex", "peer", lambda p, f: regex_mod.compile(p, f | regex_mod.VERSION1)))
    if re2_mod is not None:
        out.append(("re2", "peer", _re2_compile))
    if pcre2_mod is not None:
        out.append(("pcre2", "pcre2", _pcre2_compile))
    if rs_mod is not None:
        out.append(("rust", "rust", _rust_compile))
    if hs_mod is not None:
        out.append(("hs", "hs", HsPattern))
    return out


def char_offsets(text, byte_offsets):
    """Maps UTF-8 byte offsets of `text` (each at a character boundary) to
    character offsets, in one pass over the text for all of them."""
    if text.isascii():
        return {b: b for b in byte_offsets}
    data = text.encode()
    out, prev_b, prev_c = {}, 0, 0
    for b in sorted(set(byte_offsets)):
        prev_c += len(data[prev_b:b].decode())
        prev_b = b
        out[b] = prev_c
    return out


def spans_to_chars(text, spans):
    offs = char_offsets(text, [x for s in spans if s is not None for x in s if x is not None])
    return [None if s is None else tuple(None if x is None else offs[x] for x in s)
            for s in spans]


# Runners: each maps an engine kind to a function of the compiled pattern.
# Byte-offset results are mapped back with the runner "to_chars" after timing.
def count_all(hay):
    data = hay.encode()
    return {"kordal": lambda r: [m.span for m in r.finditer(hay)],
            "peer": lambda r: [m.span() for m in r.finditer(hay)],
            "pcre2": lambda r: [m.group() for m in r.finditer(hay)],
            "texts": lambda spans: [hay[s:e] for s, e in spans],
            "rust": lambda r: [(m.start, m.end) for m in r.find_iter(hay)],
            "hs": lambda r: r.spans(data),
            "to_chars": lambda spans: spans_to_chars(hay, spans)}


def search_each(lines):
    data = [s.encode() for s in lines]

    def to_chars(res):
        return [None if s is None else spans_to_chars(t, [s])[0] for t, s in zip(lines, res)]

    def rust(r):
        out = []
        for s in lines:
            m = r.find(s, None)
            out.append(None if m is None else (m.start, m.end))
        return out

    def hs(r):
        out = []
        for d in data:
            got = r.spans(d, first=True)
            out.append(got[0] if got else None)
        return out

    return {"kordal": lambda r: [None if m is None else m.span for m in map(r.find, lines)],
            "peer": lambda r: [None if m is None else m.span() for m in map(r.search, lines)],
            "rust": rust, "hs": hs, "to_chars": to_chars}


def groups_each(lines):
    # Group texts are what a line parser wants: ask every engine for them.
    def rust(r):
        out = []
        for s in lines:
            c = r.captures(s)
            if c is not None:
                out.append(tuple(None if m is None else m.matched_text
                                 for m in map(c.get, range(len(c)))))
        return out

    return {"kordal": lambda r: [tuple(m.groups) for m in map(r.find, lines) if m is not None],
            "peer": lambda r: [(m.group(0),) + m.groups() for m in map(r.search, lines)
                               if m is not None],
            "rust": rust}


def fullmatch_each(lines):
    data = [s.encode() for s in lines]

    def to_chars(res):
        return [None if s is None else spans_to_chars(t, [s])[0] for t, s in zip(lines, res)]

    def rust(r):
        out = []
        for s in lines:
            m = r.find(s, None)
            out.append(None if m is None else (m.start, m.end))
        return out

    def hs(r):
        out = []
        for d in data:
            got = r.spans(d, first=True)
            out.append(got[0] if got else None)
        return out

    return {"kordal": lambda r: [None if m is None else m.span for m in map(r.fullmatch, lines)],
            "peer": lambda r: [None if m is None else m.span() for m in map(r.fullmatch, lines)],
            "rust": rust, "hs": hs, "to_chars": to_chars,
            "wrap": lambda p: rf"\A(?:{p})\z"}


def replace_all(hay, template, peer_template):
    """Substitution with a template: kordal's and the Rust crate's `${n}`
    syntax, the `re`-like peers' `\\n`. The result is the new text."""
    return {"kordal": lambda r: r.replace_all(hay, template),
            "peer": lambda r: r.sub(peer_template, hay),
            "rust": lambda r: r.replace(hay, template)}


def program(run):
    """Runners for a case that compiles several patterns: `run(compile, spans,
    sub)` gets the engine's compile(pattern, flags), spans(compiled, text)
    (a list of match spans) and sub(compiled, repl, text)."""
    return {"kordal": lambda mk: run(mk, lambda r, s: [m.span for m in r.finditer(s)],
                                     lambda r, repl, s: r.replace_all(s, repl)),
            "peer": lambda mk: run(mk, lambda r, s: [m.span() for m in r.finditer(s)],
                                   lambda r, repl, s: r.sub(repl, s)),
            "pcre2": lambda mk: run(mk, lambda r, s: [m.group() for m in r.finditer(s)],
                                    lambda r, repl, s: r.sub(repl, s)),
            "rust": lambda mk: run(mk, lambda r, s: [(m.start, m.end) for m in r.find_iter(s)],
                                   lambda r, repl, s: r.replace(s, repl))}


def time_case(pattern, flags, runners, repeat):
    """Best seconds and result per engine that compiles the pattern and has a
    runner. With pattern None the runners get the engine's compile function."""
    compiled = {}
    for name, kind, make in engines():
        if kind == "pcre2" and kind not in runners:
            kind = "peer"
        if kind not in runners:
            continue
        wrap = runners.get("wrap") if kind in ("rust", "hs") else None
        try:
            if pattern is None:
                compiled[name] = (kind, make)
            else:
                compiled[name] = (kind, make(wrap(pattern) if wrap else pattern, flags))
        except Exception:  # the peer lacks the construct
            pass
    best = {name: float("inf") for name in compiled}
    results = {}
    for _ in range(repeat):
        for name, (kind, r) in list(compiled.items()):
            run = runners[kind]
            t0 = time.perf_counter()
            try:
                results[name] = run(r)
            except Exception as e:  # a match-time limit: the peer gave up
                results[name] = GaveUp(type(e).__name__)
                del compiled[name]
                continue
            best[name] = min(best[name], time.perf_counter() - t0)
    for name, (kind, _) in compiled.items():
        if kind in ("kordal", "rust", "hs") and "to_chars" in runners:
            results[name] = runners["to_chars"](results[name])
    agree = {n: results[n] == results["kordal"] for n in results if n != "kordal"}
    if "pcre2" in compiled and compiled["pcre2"][0] == "pcre2" and "texts" in runners:
        agree["pcre2"] = results["pcre2"] == runners["texts"](results["kordal"])
    return best, results, agree


class GaveUp:
    """The result of a peer that raised while matching (a match limit)."""

    def __init__(self, why):
        self.why = why

    def __eq__(self, other):
        return False

    def __repr__(self):
        return f"gave up ({self.why})"


def size(result):
    if isinstance(result, list):
        return sum(x is not None for x in result)
    if isinstance(result, str):
        return f"{len(result)} chars"
    return result if isinstance(result, int) else repr(result)


def geomean(xs):
    xs = [x for x in xs if x]
    return math.exp(sum(map(math.log, xs)) / len(xs)) if xs else None


class Row:
    def __init__(self, case, best, results, agree):
        self.case, self.best, self.agree = case, best, agree
        self.sizes = {n: size(results[n]) for n in best}
        k = best["kordal"]
        self.ratio = {n: k / best[n] for n in best
                      if n != "kordal" and 0 < best[n] < float("inf")}
        ok = [n for n in PEERS if n in best and self.agree[n]]
        self.fastest = min(ok, key=lambda n: best[n]) if ok else None
        self.k_fastest = self.ratio.get(self.fastest) if self.fastest else None
        pair = [n for n in ("re", "regex") if n in best and self.agree[n]]
        self.k_re = k / min(best[n] for n in pair) if pair else None

    def matches(self):
        k = self.sizes["kordal"]
        odd = [f"{LABELS[n]} {self.sizes[n]}" for n in PEERS
               if n in self.agree and not self.agree[n]]
        if not odd:
            return str(k)
        return f"{k}; differs: " + ", ".join(odd)


class Table:
    """Rows of timings; prints as it goes, and as markdown at the end."""

    def __init__(self, title):
        self.title = title
        self.rows = []
        print(f"{'case':28}" + "".join(f"{n:>11}" for n in ["kordal"] + PEERS)
              + f"{'fastest':>9}{'k/fast':>8}  matches")

    def add(self, case, best, results, agree):
        row = Row(case, best, results, agree)
        self.rows.append(row)
        cells = "".join(
            (f"{best[n]*1e3:9.2f}{'ms' if n == 'kordal' or row.agree[n] else '!='}"
             if n in row.ratio or n == "kordal" else
             f"{'gave up' if n in best else '-':>11}") for n in ["kordal"] + PEERS)
        fast = row.fastest or "-"
        kf = f"{row.k_fastest:8.2f}" if row.k_fastest else f"{'-':>8}"
        print(f"{case:28}{cells}{fast:>9}{kf}  {row.matches()}", flush=True)

    def summary(self):
        return summarize(self.rows)

    def markdown(self):
        head = ["case", "kordal"] + [LABELS[n] for n in PEERS] + [
            "fastest agreeing peer", "kordal / fastest agreeing", "kordal / faster of re, regex",
            "matches"]
        out = [f"### {self.title}", "", "| " + " | ".join(head) + " |",
               "|---|" + "---:|" * (len(head) - 2) + "---|"]
        for r in self.rows:
            cells = [f"`{r.case}`".replace("|", "\\|"), f"{r.best['kordal']*1e3:.2f} ms"]
            for n in PEERS:
                if n not in r.ratio:
                    cells.append("gave up" if n in r.best else "-")
                    continue
                mark = "" if r.agree[n] else " ≠"
                cells.append(f"{r.best[n]*1e3:.2f} ms ({r.ratio[n]:.2f}x){mark}")
            cells.append(LABELS[r.fastest] if r.fastest else "-")
            cells.append(f"**{r.k_fastest:.2f}x**" if r.k_fastest else "-")
            cells.append(f"{r.k_re:.2f}x" if r.k_re else "-")
            cells.append(r.matches().replace("|", "\\|"))
            out.append("| " + " | ".join(cells) + " |")
        out += ["", summarize(self.rows)]
        return "\n".join(out) + "\n"


def summarize(rows):
    ks = [r.k_fastest for r in rows if r.k_fastest]
    g = geomean(ks)
    if g is None:
        return "No case has an agreeing peer."
    gre = geomean([r.k_re for r in rows])
    return (f"kordal / fastest agreeing peer over {len(ks)} cases: geometric mean "
            f"**{g:.2f}x**, {sum(k <= 1.0 for k in ks)} at or under 1.0x, "
            f"{sum(k > 1.5 for k in ks)} above 1.5x"
            + (f"; kordal / faster agreeing of re, regex: geometric mean {gre:.2f}x." if gre
               else "."))
