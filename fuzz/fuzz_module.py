"""Fuzz harness for the kordal_python module.

Every input (a byte string) is read as a sequence of decisions by `Source`:
either an invariant case (a generated pattern, flags and haystack, checked
through every search method against the others, as the engine's own fuzz
target does in C++), or a storm of calls of random callables of the module
(module functions, constructors, Regex, Match and PartialMatch methods,
properties, item access, attribute writes) with arguments of random types
and values, positional and keyword, including hostile objects whose
`__index__`, `__str__`, `__eq__` or `__hash__` raise. A call may only end in a
designed exception class; where the argument conventions fix the class (a
wrong call shape, a non-str text, a negative index, a lone surrogate, ...),
exactly that class. Anything else, an invariant violation, or the
interpreter dying is a finding.

Run modes:
  python fuzz/fuzz_module.py [libFuzzer options] [corpus dir]   with atheris
  python fuzz/fuzz_module.py --random N [--seed S] [--threads T] without it
  python fuzz/fuzz_module.py --replay FILE...                   replay inputs
The random mode feeds random byte strings to the same `test_one_input`, from
T threads at once; a failure prints the input as hex and exits with 1.

Catastrophic backtracking is legal. On the main thread each case runs under
a timer whose signal handler raises `BudgetSpent` (the module polls signal
handlers during long searches), and the case is dropped. Worker threads get
no signals, so in threaded runs the generators stay small enough that every
search is short. Cost per case: a few dozen searches over at most a few
dozen characters.
"""

import argparse
import copy
import pickle
import random
import signal
import sys
import threading
import traceback
import warnings

import kordal_python as k


class Hostile(Exception):
    """Raised by the hostile argument objects; it must propagate unchanged."""


class BudgetSpent(BaseException):
    """The case's time budget ran out; the case is dropped."""


class FuzzFailure(AssertionError):
    pass


def check(cond, msg, *detail):
    if not cond:
        raise FuzzFailure(msg + "".join(f"\n  {d!r}" for d in detail))


# Exceptions a call may end in. UnicodeEncodeError (lone surrogates) is a
# ValueError; Hostile is whatever a hostile argument raised itself.
DESIGNED = (TypeError, ValueError, IndexError, OverflowError, MemoryError, RecursionError, Hostile)


# --- input decoding ------------------------------------------------------------------------------

class Source:
    """Reads decisions from a byte string; once it is used up, every answer is 0."""

    def __init__(self, data):
        self.data = data
        self.i = 0

    def byte(self):
        if self.i >= len(self.data):
            return 0
        b = self.data[self.i]
        self.i += 1
        return b

    def below(self, n):
        if n <= 1:
            return 0
        if n <= 256:
            return self.byte() % n
        v = 0
        for _ in range(4):
            v = v << 8 | self.byte()
        return v % n

    @property
    def exhausted(self):
        return self.i >= len(self.data)

    def chance(self, one_in):
        # Rare choices take the largest value, so a used-up input makes none.
        return self.below(one_in) == one_in - 1

    def pick(self, seq):
        return seq[self.below(len(seq))]


FRAGMENTS = [
    "a", "b", "c", "ab", "é", "\U0001F600", ".", "\\w", "\\d", "\\s", "\\W", "[a-c]", "[^a]",
    "[é-ü]", "[[:alpha:]]", "\\p{L}", "\\p{Nd}", "\\b", "\\B", "\\<", "\\>", "^", "$", "\\A",
    "\\z", "\\Z", "(", "(", ")", ")", "(?:", "(?P<n>", "(?<m>", "(?=", "(?!", "(?<=", "(?<!",
    "(?>", "|", "|", "*", "+", "?", "*?", "+?", "??", "*+", "++", "{2}", "{1,3}", "{0,}",
    "{,2}", "\\1", "\\2", "\\k<n>", "(?P=n)", "\\g<m>", "(?i)", "(?s)", "(?m)", "(?x)", "(?i:",
    "\\Q", "\\E", " ", "#", "\\", "{", "}", "]", "[", "\\x41", "\\u00e9", "\\n", "\\X", "-",
]
HAY_CHARS = "aabbc é\U0001F600\n-_1A\u0130\u212a\u00df"
ODD_CHARS = ["\ud800", "\udfff", "\x00", "\uffff", "\U0010ffff", "\u0301"]
TEMPLATES = ["$0", "$1", "${n}", "\\g<m>", "$$", "\\", "$", "<$&>", "\\n$2", "${", "\\g"]


def gen_pattern(src, small):
    """Fragments, with groups mostly balanced so that most patterns compile."""
    out, depth = [], 0
    for _ in range(src.below(5 if small else 12)):
        frag = src.pick(FRAGMENTS)
        if frag == ")" and depth == 0 and not src.chance(8):
            continue
        depth += frag.startswith("(") and not frag.startswith("(?") or frag.endswith(":") or \
            frag.endswith(("=", "!", ">")) and frag.startswith("(")
        depth -= frag == ")"
        out.append(frag)
    if not src.chance(8):
        out.append(")" * max(depth, 0))
    return "".join(out)


def gen_text(src, small, odd=True):
    out = []
    for _ in range(src.below(7 if small else 40)):
        r = src.below(20)
        if r == 0 and odd:
            out.append(src.pick(ODD_CHARS))
        elif r == 1:
            out.append(chr(src.below(0x110000)) if odd else "z")
        else:
            out.append(src.pick(HAY_CHARS))
    return "".join(out)


def gen_flags(src):
    r = src.below(8)
    if r == 0:
        return src.below(1 << 32)
    return src.pick([0, 0, k.IGNORECASE, k.MULTILINE | k.DOTALL, k.ASCII, k.VERBOSE,
                     k.IGNORECASE | k.FULLCASE, k.VERSION0])


# --- invariants over one pattern and haystack -----------------------------------------------------

def boundary(b, i):
    return i == len(b) or (0 <= i < len(b) and (b[i] & 0xC0) != 0x80)


def char_len_at(b, i):
    j = i + 1
    while j < len(b) and (b[j] & 0xC0) == 0x80:
        j += 1
    return j - i


def key(m):
    """Everything a Match reports, for comparing two of them."""
    if m is None:
        return None
    return (m.span, tuple(m.span_of(g) for g in range(len(m))), m.all_captures)


def check_match(r, hay, b, m, op):
    check(type(m) is k.Match, f"{op}: not a Match", m)
    check(m.input == hay and type(m.input) is str, f"{op}: input differs")
    s, e = m.span
    check((s, e) == (m.start, m.end) == (m.start_of(), m.end_of()) == m.span_of(0),
          f"{op}: span disagrees", m.span, m.start, m.end)
    check(0 <= s <= e <= len(b) and boundary(b, s) and boundary(b, e), f"{op}: bad span", (s, e))
    whole = b[s:e].decode()
    check(m.matched == m.group0 == m[0] == m.group(0) == whole, f"{op}: group 0 text", m.matched)
    n = len(m)
    check(n == m.capture_count + 1 == r.capture_count + 1, f"{op}: group count", n)
    groups = m.groups
    caps = m.all_captures
    check(len(groups) == n and len(caps) == n, f"{op}: groups/all_captures length")
    check(m.group() == tuple(groups), f"{op}: group() is not groups")
    check(caps[0] == [whole], f"{op}: history of group 0", caps[0])
    for g in range(n):
        sp = m.span_of(g)
        text = groups[g]
        check((sp is None) == (text is None), f"{op}: group {g} span/text presence", sp, text)
        check(m[g] == m.group(g) == m[g - n] == text, f"{op}: group {g} lookups disagree")
        check(m.captures(g) == caps[g], f"{op}: captures({g})")
        if sp is None:
            check((m.start_of(g), m.end_of(g)) == (len(b), len(b)),
                  f"{op}: unset group {g} offsets")
            check(g == 0 or caps[g] == [], f"{op}: unset group {g} has a history", caps[g])
        else:
            a, z = sp
            check(0 <= a <= z <= len(b) and boundary(b, a) and boundary(b, z),
                  f"{op}: group {g} span", sp)
            check(b[a:z].decode() == text and (m.start_of(g), m.end_of(g)) == sp,
                  f"{op}: group {g} text/offsets", sp, text)
            check(caps[g] and caps[g][-1] == text, f"{op}: group {g} is not its last capture")
    for bad in (n, -n - 1):
        try:
            m[bad]
            raise FuzzFailure(f"{op}: m[{bad}] did not raise")
        except IndexError as exc:
            check(str(exc) == f"no such group: {bad}", f"{op}: message", str(exc))
    check(m.captures(n) == [] and m.span_of(n) is None and m.start_of(n) == len(b),
          f"{op}: group beyond the last")
    named = m.named_groups
    cdict = m.captures_dict
    names = r.group_names()
    check(set(cdict) == set(names), f"{op}: captures_dict names", sorted(cdict), sorted(names))
    for name in names:
        gi = r.group_index(name)
        check(isinstance(gi, int) and 1 <= gi < n, f"{op}: group_index({name!r})", gi)
        check(m[name] == m.group(name) == groups[gi], f"{op}: named lookup {name!r}")
        check(named.get(name) == groups[gi], f"{op}: named_groups[{name!r}]")
        check(cdict[name] == m.captures_by_name(name) == caps[gi], f"{op}: captures of {name!r}")
    check(repr(m).startswith("Match(matched=") and
          repr(m).endswith(f", span=({s}, {e}), groups={n - 1})"), f"{op}: repr", repr(m))


def char_index(b, offset):
    return len(b[:offset].decode())


def check_match_extras(r, hay, b, m):
    """The methods added for familiarity agree with the core ones."""
    n = len(m)
    for g in range(n + 1):
        sp = m.span_of(g)
        cs = m.char_span(g)
        want = None if sp is None else (char_index(b, sp[0]), char_index(b, sp[1]))
        check(cs == want, f"char_span({g}) is not the span in code points", cs, want)
        if cs is not None:
            check(hay[cs[0]:cs[1]] == m.groups[g], f"char_span({g}) does not slice the group")
    names = r.group_names()
    check(m.groupdict() == {name: m[name] for name in names}, "groupdict")
    check(all(v is not None for v in m.groupdict("-").values()), "groupdict default")
    check(m.expand("$0|\\g<0>") == m.matched + "|" + m.matched, "expand")
    li, lg = m.lastindex, m.lastgroup
    check(li is None or (isinstance(li, int) and 1 <= li < n and m.span_of(li) is not None),
          "lastindex", li)
    check(lg is None or (lg in names and r.group_index(lg) == li), "lastgroup", lg, li)


def check_copies_partial(pm):
    def summary(p):
        return (p.status, p.start, p.end, p.matched,
                [(p.group(g), p.group_state(g)) for g in range(p.capture_count + 1)])
    for other in (copy.copy(pm), copy.deepcopy(pm), pickle.loads(pickle.dumps(pm))):
        check(type(other) is k.PartialMatch and summary(other) == summary(pm), "partial copy")


def check_copies(obj):
    """Copies and pickles report what the original does."""
    def same(a, b):
        if isinstance(a, k.Regex):
            return (a.pattern, a.flags, a.capture_count, a.dump()) == \
                (b.pattern, b.flags, b.capture_count, b.dump())
        return key(a) == key(b) and a.input == b.input
    for other in (copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))):
        check(type(other) is type(obj) and same(obj, other), "copy differs", obj, other)


def check_partial(r, hay, b, pm, full):
    if pm is None:
        check(full is None, "fullmatch matched but find_partial found nothing")
        return
    op = "find_partial"
    check(type(pm) is k.PartialMatch, f"{op}: type")
    s, e = pm.start, pm.end
    check(e == len(b) and 0 <= s <= e and boundary(b, s), f"{op}: span", (s, e))
    check(pm.matched == b[s:].decode() == pm.group(0), f"{op}: matched text")
    check(pm.is_full != pm.is_partial and pm.status == ("full" if pm.is_full else "partial"),
          f"{op}: status")
    check(pm.is_full or s < e, f"{op}: empty partial match")
    n = pm.capture_count + 1
    check(n == r.capture_count + 1 and pm.group_state(0) == "matched", f"{op}: groups")
    for g in range(1, n + 1):
        state, text = pm.group_state(g), pm.group(g)
        check(state in ("matched", "partial", "none"), f"{op}: state {state!r}")
        check((state == "none") == (text is None), f"{op}: group {g} state {state} text {text!r}")
        if g == n:
            check(state == "none", f"{op}: group beyond the last has state {state}")
        if state == "partial":
            check(hay.endswith(text), f"{op}: partial group {g} does not run to the end", text)
        elif state == "matched":
            check(text in hay, f"{op}: group {g} text is not in the haystack", text)
    for name in r.group_names():
        check(pm.named_group(name) == pm.group(r.group_index(name)), f"{op}: named_group")
    for g in range(n + 1):
        cs = pm.char_span(g)
        check((cs is None) == (pm.group(g) is None), f"{op}: char_span({g}) presence")
        if cs is not None:
            check(hay[cs[0]:cs[1]] == pm.group(g) and cs[1] <= len(hay),
                  f"{op}: char_span({g}) does not slice the group", cs)
    check(pm.char_span(0) == (len(hay) - len(pm.matched), len(hay)), f"{op}: char_span(0)")
    check_copies_partial(pm)
    text = repr(pm)
    check(text.startswith("PartialMatch(matched=\"") and
          text.endswith(f'", status="{pm.status}", span=({s}, {e}))'), f"{op}: repr", text)
    if full is not None:
        check(pm.is_full and s == 0, f"{op}: fullmatch matched, partial search did not at 0")
        for g in range(1, n):
            want = full.group(g)
            state = "none" if want is None else "matched"
            check(pm.group(g) == want and pm.group_state(g) == state,
                  f"{op}: full match group {g} differs from fullmatch")
    else:
        check(not (pm.is_full and s == 0), f"{op}: a full match at 0 that fullmatch did not find")


def check_regex(r, hay):
    """Every search method over one haystack, against each other."""
    try:
        b = hay.encode("utf-8")
    except UnicodeEncodeError:
        for meth in (r.is_match, r.find, r.findall, r.split, r.find_partial):
            try:
                meth(hay)
                raise FuzzFailure(f"{meth.__name__} accepted a lone surrogate")
            except UnicodeEncodeError as exc:
                if hasattr(exc, "add_note"):
                    check(getattr(exc, "__notes__", None) == ["while processing 'haystack'"],
                          "surrogate note", getattr(exc, "__notes__", None))
        return
    n_chars = len(hay)
    hit = r.is_match(hay)
    first = r.find(hay)
    check(type(hit) is bool and hit == (first is not None), "is_match disagrees with find")
    if first is not None:
        check_match(r, hay, b, first, "find")

    # find_at: a later start sees the same match while it starts at or after
    # it, and nothing once an earlier start saw nothing.
    bounds = sorted({0, len(hay[:1].encode()), len(hay[:n_chars // 2].encode()),
                     len(hay[:max(n_chars - 1, 0)].encode()), len(b), len(b) + 5})
    seen = [(0, first)]
    for off in bounds:
        m = r.find_at(hay, off)
        if m is not None:
            check_match(r, hay, b, m, "find_at")
            check(m.start >= min(off, len(b)), "find_at before its start", off, m.span)
        for earlier_off, earlier in seen:
            if earlier_off > off:
                continue
            if earlier is None:
                check(m is None, "find_at found what an earlier start did not", earlier_off, off)
            elif earlier.start >= off:
                check(key(m) == key(earlier), "find_at differs", earlier_off, off)
        seen.append((off, m))
    for off in range(len(b)):
        if not boundary(b, off):
            try:
                r.find_at(hay, off)
                raise FuzzFailure("find_at inside a character did not raise", off)
            except ValueError:
                pass
            break

    anchored = r.match_at_start(hay)
    full = r.fullmatch(hay)
    if first is not None and first.start == 0:
        check(key(anchored) == key(first), "match_at_start differs from find at 0")
    else:
        check(anchored is None, "match_at_start matched but find did not at 0")
    if full is not None:
        check_match(r, hay, b, full, "fullmatch")
        check(full.span == (0, len(b)), "fullmatch span", full.span)
        check(anchored is not None, "fullmatch matched but match_at_start did not")
    if anchored is not None and anchored.end == len(b):
        check(key(full) == key(anchored), "match_at_start reached the end, fullmatch differs")
    check_partial(r, hay, b, r.find_partial(hay), full)

    # findall: ordered, non-overlapping; an empty match may touch the end of
    # the previous one, and after an empty match the next starts a character on.
    all_m = r.findall(hay)
    check(type(all_m) is list, "findall type")
    nxt = 0
    for i, m in enumerate(all_m):
        check_match(r, hay, b, m, "findall")
        check(m.start >= nxt, "findall overlaps or goes back", i, m.span, nxt)
        if i < 6 and nxt <= len(b):
            check(key(r.find_at(hay, nxt)) == key(m), "findall differs from find_at", i, nxt)
        nxt = m.end if m.end > m.start else m.end + (char_len_at(b, m.end) if m.end < len(b) else 1)
    check(len(all_m) <= n_chars + 1, "findall: too many matches")
    check(key(first) == key(all_m[0] if all_m else None), "find differs from findall's first")

    lazy = list(r.finditer(hay))
    check([key(m) for m in lazy] == [key(m) for m in all_m], "finditer differs from findall")
    check(r.replace_all(hay, lambda m: "<" + m.matched + ">") == r.replace_all(hay, "<$0>"),
          "a replacement function differs from the same template")
    for m in all_m[:3]:
        check_match_extras(r, hay, b, m)
    for obj in (r, first, full):
        if obj is not None:
            check_copies(obj)

    # split and replace_all rebuilt from findall.
    want_split, want_repl = [], []
    tmpl = "<$0|$1|${n}>"
    p = 0
    for m in all_m:
        s, e = m.span
        want_split.append(b[p:s].decode())
        want_split.extend(t if t is not None else "" for t in m.groups[1:])
        want_repl.append(b[p:s].decode())
        want_repl.append(expand_reference(m, r))
        if e > s:
            p = e
        else:
            if s < len(b):
                c = b[s:s + char_len_at(b, s)].decode()
                want_split.append(c)
                want_repl.append(c)
            p = s + (char_len_at(b, s) if s < len(b) else 1)
    want_split.append(b[p:].decode() if p <= len(b) else "")
    if p <= len(b):
        want_repl.append(b[p:].decode())
    check(r.split(hay) == want_split, "split differs from findall", r.split(hay), want_split)
    check(r.replace_all(hay, tmpl) == "".join(want_repl), "replace_all differs from findall")
    check(r.replace_all(hay, "$0") == hay and r.replace(hay, "\\0") == hay, "$0 changed the text")
    want_one = hay if first is None else (
        b[:first.start].decode() + expand_reference(first, r) + b[first.end:].decode())
    check(r.replace(hay, tmpl) == want_one, "replace differs from find")
    for esc in (k.escape, k.escape_special_only, k.escape_literal_spaces):
        m = k.Regex(esc(hay)).fullmatch(hay)
        check(m is not None and m.span == (0, len(b)), f"{esc.__name__} does not match itself")


def expand_reference(m, r):
    """The template "<$0|$1|${n}>" expanded by hand."""
    g1 = m.group(1) if len(m) > 1 else None
    gi = r.group_index("n")
    gn = m.group(gi) if gi is not None else None
    return f"<{m.matched}|{g1 or ''}|{gn or ''}>"


def invariant_case(src, small):
    pattern = gen_pattern(src, small)
    flags = gen_flags(src)
    hay = gen_text(src, small, odd=not src.chance(4))
    try:
        r = k.Regex(pattern, flags)
    except ValueError as exc:
        check(str(exc).startswith("kordal error"), "compile error message", str(exc))
        return
    except OverflowError:
        check(flags > 0xFFFFFFFF, "flags overflow")
        return
    check(r.pattern == pattern and type(r.flags) is int, "pattern/flags properties")
    check(repr(r).endswith(f", flags={r.flags:#x}, groups={r.capture_count})"), "repr", repr(r))
    check(isinstance(r.dump(), str), "dump")
    check_regex(r, hay)


# --- hostile values and random calls -------------------------------------------------------------

class HostileIndex:
    def __index__(self):
        raise Hostile("__index__")


class WrongIndex:
    def __index__(self):
        return "3"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class HostileStr(str):
    def __str__(self):
        raise Hostile("__str__")

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def __len__(self):
        raise Hostile("__len__")


class IntSub(int):
    def __index__(self):
        raise Hostile("IntSub.__index__")

    def __eq__(self, other):
        raise Hostile("IntSub.__eq__")

    __hash__ = int.__hash__


class HostileEverything:
    def __getattr__(self, name):
        raise Hostile(name)

    def __eq__(self, other):
        raise Hostile("__eq__")

    def __hash__(self):
        raise Hostile("__hash__")

    def __str__(self):
        raise Hostile("__str__")

    __repr__ = __str__


def _raise_hostile(m):
    raise Hostile("replacement function")


REPLACERS = [lambda m: m.matched.upper(), lambda m: m.group(1) or "", lambda m: 7,
             lambda m: None, _raise_hostile, lambda m: m.expand("$1"), len]


def gen_value(src, small, kind):
    """A random argument, biased towards the kind the parameter wants."""
    r = src.below(36)
    if r < 24:
        if kind == "text":
            return gen_pattern(src, small) if src.chance(2) else gen_text(src, small)
        if kind == "template" or (kind == "repl" and src.chance(3)):
            return src.pick(TEMPLATES) + gen_text(src, small, odd=False)
        if kind == "repl":
            return src.pick(REPLACERS)
        if kind in ("index", "key", "flags"):
            return src.pick([0, 1, 2, 3, -1, 5, 100, True, False])
    if r < 10:
        return HostileStr(gen_text(src, small))
    if r < 12:
        return IntSub(src.below(6) - 1)
    return src.pick([
        None, -1, -(2**63) - 1, 2**31, 2**32, 2**32 - 1, 2**63, 2**64, 2**64 - 1, 2**70, -(2**70),
        1.5, float("nan"), float("inf"), b"a", bytearray(b"a"), [], ["a"], ("a",), {"n": 1},
        object(), HostileIndex(), WrongIndex(), Index(2), Index(-3), Index(2**64),
        HostileEverything(), "\ud800", "a\udfffb", "\U0001F600" * 3, "", True,
        "x" if small else "x" * 300,
    ])


def int_of(v):
    """The integer an argument converts to, or an exception class."""
    if isinstance(v, int):
        return int(v)
    index = getattr(type(v), "__index__", None)
    if index is None:
        return TypeError
    try:
        out = index(v)
    except Hostile:
        return Hostile
    if not isinstance(out, int):
        return TypeError
    return int(out)


def predict(kind, v):
    """The exception class converting `v` must raise, None for success, or
    "any" where the class depends on more than the value."""
    if kind == "any" or (kind == "repl" and callable(v)):
        return None
    if kind in ("text", "template", "repl"):
        if not isinstance(v, str):
            return TypeError
        try:
            str.encode(v, "utf-8")
        except UnicodeEncodeError:
            return UnicodeEncodeError
        return None
    iv = int_of(v)
    if kind == "flags":
        if v is None:
            return None
        if isinstance(iv, type):
            return iv
        return None if 0 <= iv <= 0xFFFFFFFF else OverflowError
    if isinstance(iv, type):
        return iv
    return None if 0 <= iv < 2**64 else OverflowError


MODULE_FUNCS = [
    (k.escape, [("s", "text")], 1, str),
    (k.escape_special_only, [("s", "text")], 1, str),
    (k.escape_literal_spaces, [("s", "text")], 1, str),
    (k.is_match, [("pattern", "text"), ("haystack", "text")], 2, bool),
    (k.parse_flags, [("flag_str", "text")], 1, int),
    (k.compile, [("pattern", "text"), ("flags", "flags")], 1, k.Regex),
    (k.Regex, [("pattern", "text"), ("flags", "flags")], 1, k.Regex),
]
REGEX_METHODS = [
    ("group_names", [], 0, list), ("group_index", [("name", "text")], 1, (int, type(None))),
    ("is_match", [("haystack", "text")], 1, bool),
    ("find", [("haystack", "text")], 1, (k.Match, type(None))),
    ("find_at", [("haystack", "text"), ("start", "index")], 2, (k.Match, type(None))),
    ("match_at_start", [("haystack", "text")], 1, (k.Match, type(None))),
    ("fullmatch", [("haystack", "text")], 1, (k.Match, type(None))),
    ("findall", [("haystack", "text")], 1, list),
    ("find_partial", [("haystack", "text")], 1, (k.PartialMatch, type(None))),
    ("replace", [("haystack", "text"), ("repl", "repl")], 2, str),
    ("replace_all", [("haystack", "text"), ("repl", "repl")], 2, str),
    ("split", [("haystack", "text")], 1, list), ("dump", [], 0, str),
    ("finditer", [("haystack", "text")], 1, object),
]
MATCH_METHODS = [
    ("captures", [("index", "index")], 1, list), ("captures_by_name", [("name", "text")], 1, list),
    ("span_of", [("index", "index")], 0, (tuple, type(None))),
    ("start_of", [("index", "index")], 0, int), ("end_of", [("index", "index")], 0, int),
    ("char_span", [("index", "index")], 0, (tuple, type(None))),
    ("expand", [("template", "template")], 1, str),
    ("groupdict", [("default", "any")], 0, dict),
]
PARTIAL_METHODS = [
    ("group", [("index", "index")], 0, (str, type(None))),
    ("named_group", [("name", "text")], 1, (str, type(None))),
    ("group_state", [("index", "index")], 0, str),
    ("char_span", [("index", "index")], 0, (tuple, type(None))),
]
PROPERTIES = {
    k.Regex: ["pattern", "flags", "capture_count"],
    k.Match: ["matched", "group0", "input", "start", "end", "span", "capture_count", "groups",
              "named_groups", "all_captures", "captures_dict", "lastindex", "lastgroup"],
    k.PartialMatch: ["status", "is_full", "is_partial", "matched", "start", "end",
                     "capture_count"],
}


def call_expecting(fn, args, kwargs, expected, returns):
    """Calls fn; `expected` is the exception class it must raise (None: it
    must succeed or raise a designed exception, "any": designed only)."""
    try:
        out = fn(*args, **kwargs)
    except DESIGNED as exc:
        if expected not in (None, "any"):
            check(isinstance(exc, expected), f"{fn!r} raised {type(exc).__name__}, "
                  f"expected {expected.__name__}", args, kwargs, str(exc))
        return None
    check(expected in (None, "any"), f"{fn!r} returned instead of raising {expected}",
          args, kwargs, out)
    check(isinstance(out, returns), f"{fn!r} returned {type(out).__name__}", args, kwargs)
    return out


def random_call(src, small, fn, params, required, returns, semantic):
    """One call of fn with a random shape; `semantic` says whether a call
    that binds and converts may still raise a designed error of its own."""
    values = [gen_value(src, small, kind) for _, kind in params]
    shape = src.below(24)
    args, kwargs = [], {}
    expected = None
    if shape == 20:  # too many positional arguments
        args = values + [1]
        expected = TypeError
    elif shape == 21:  # an unknown keyword
        kwargs = {"bogus": 1}
        expected = TypeError
    elif shape == 22 and params:  # the same parameter twice
        args = values[:1]
        kwargs = {params[0][0]: values[0]}
        expected = TypeError
    elif shape == 23 and required:  # a required argument missing
        args = values[:required - 1]
        expected = TypeError
    else:
        count = required + src.below(len(params) - required + 1)
        npos = src.below(count + 1)
        args = values[:npos]
        kwargs = {name: v for (name, _), v in zip(params[npos:count], values[npos:count])}
        for (_, kind), v in zip(params[:count], values[:count]):
            expected = predict(kind, v)
            if expected is not None:
                break
        if expected is None and semantic:
            expected = "any"
    return call_expecting(fn, args, kwargs, expected, returns)


def random_key(src, small):
    return gen_value(src, small, "key") if src.chance(3) else src.pick(["n", "m", "zz", 0, 1, -1])


def predict_key(v, count, names):
    """Match.__getitem__ / group: the class for key v, or None."""
    if isinstance(v, str):
        try:
            str.encode(v, "utf-8")
        except UnicodeEncodeError:
            return TypeError
        return None if str.__str__(v) in names else IndexError
    iv = int_of(v)
    if isinstance(iv, type) or not -(2**63) <= iv < 2**63:
        return TypeError
    return None if -count <= iv < count else IndexError


# Objects made by earlier cases; in threaded runs every thread draws from and
# adds to it, so Regex, Match and PartialMatch objects are used by several
# threads at once.
SHARED = []
SHARED_LOCK = threading.Lock()


def storm_case(src, small):
    """Random callables with random arguments; returns nothing, raises on a finding."""
    with SHARED_LOCK:
        objects = SHARED[-4:]
    for _ in range(1 + src.below(16)):
        if src.exhausted:
            break
        what = src.below(6)
        if what == 0:
            fn, params, required, returns = src.pick(MODULE_FUNCS)
            out = random_call(src, small, fn, params, required, returns,
                              semantic=fn in (k.compile, k.Regex, k.is_match, k.parse_flags))
            if out is not None and not isinstance(out, (str, bool, int)):
                objects.append(out)
            continue
        if what == 1 or not objects:
            try:
                objects.append(k.Regex(gen_pattern(src, small), gen_flags(src)))
            except ValueError:
                pass
            continue
        obj = src.pick(objects)
        if what == 2:
            for prop in PROPERTIES[type(obj)]:
                getattr(obj, prop)
            repr(obj)
            if src.chance(4):
                name = src.pick(PROPERTIES[type(obj)] + ["other", "__dict__"])
                try:
                    setattr(obj, name, 1)
                    raise FuzzFailure(f"setting {name} on {type(obj).__name__} succeeded")
                except (AttributeError, TypeError):
                    pass
            continue
        if isinstance(obj, k.Regex):
            name, params, required, returns = src.pick(REGEX_METHODS)
            out = random_call(src, small, getattr(obj, name), params, required, returns,
                              semantic=name in ("find_at", "replace", "replace_all"))
            if name == "finditer" and out is not None:
                out = list(out)
            if isinstance(out, (k.Match, k.PartialMatch)):
                objects.append(out)
            elif isinstance(out, list) and out and isinstance(out[0], k.Match):
                objects.append(src.pick(out))
        elif isinstance(obj, k.Match):
            names = set(obj.named_groups) | set(obj.captures_dict)
            if src.chance(3):
                v = random_key(src, small)
                call_expecting(obj.__getitem__, [v], {}, predict_key(v, len(obj), names),
                               (str, type(None)))
            elif src.chance(2):
                keys = [random_key(src, small) for _ in range(src.below(4))]
                expected = None
                for v in keys:
                    expected = predict_key(v, len(obj), names)
                    if expected is not None:
                        break
                if src.chance(5):
                    call_expecting(obj.group, keys, {"index": 0}, TypeError, object)
                else:
                    call_expecting(obj.group, keys, {}, expected, (str, tuple, type(None)))
            else:
                name, params, required, returns = src.pick(MATCH_METHODS)
                random_call(src, small, getattr(obj, name), params, required, returns, False)
            check(len(obj) == obj.capture_count + 1, "len(Match)")
        else:
            name, params, required, returns = src.pick(PARTIAL_METHODS)
            random_call(src, small, getattr(obj, name), params, required, returns, False)
    if src.chance(8):
        call_expecting(src.pick([k.Match, k.PartialMatch]), [], {}, TypeError, object)
    if small and src.chance(16):
        long_search(src)
    if objects:
        with SHARED_LOCK:
            SHARED.append(src.pick(objects))
            del SHARED[:-64]


LINEAR = [k.Regex(p) for p in (r"\d+", r"é+x|(\w)(\d)?", r"(?P<n>b)\b", r"\s*,\s*", "x*")]
LONG = "ab é,1 x" * 12000


def long_search(src):
    """A search long enough for the module to lend the interpreter lock to
    other threads while it runs, with patterns whose cost is linear."""
    r = src.pick(LINEAR)
    op = src.below(4)
    if op == 0:
        out = r.findall(LONG)
        check(all(a.end <= b.start for a, b in zip(out, out[1:])), "long findall overlaps")
    elif op == 1:
        check("".join(r.split(LONG)).count("1") <= LONG.count("1"), "long split")
    elif op == 2:
        check(r.replace_all(LONG, "$0") == LONG, "long replace_all")
    else:
        pm = r.find_partial(LONG)
        check(pm is None or pm.end == len(LONG.encode()), "long find_partial end")
        check(r.is_match(LONG) == (r.find(LONG) is not None), "long is_match")


def test_one_input(data, small=False):
    """The fuzz entry point: one input, one case."""
    src = Source(data)
    if src.below(3) == 0:
        storm_case(src, small)
    else:
        invariant_case(src, small)


# --- inputs of the engine's fuzz target ----------------------------------------------------------

def valid_utf8(raw):
    """The engine target's decoding: every byte that does not begin a
    well-formed UTF-8 sequence becomes '?'."""
    out, i = [], 0
    while i < len(raw):
        c = raw[i]
        n = 1 if c < 0x80 else 2 if c >> 5 == 6 else 3 if c >> 4 == 14 else 4 if c >> 3 == 30 else 0
        piece = None
        if n and i + n <= len(raw):
            try:
                piece = raw[i:i + n].decode("utf-8")
            except UnicodeDecodeError:
                pass
        if piece is None:
            out.append("?")
            i += 1
        else:
            out.append(piece)
            i += n
    return "".join(out)


def engine_case(data):
    """Replays an input of the engine's fuzz target (4 bytes of flags, then
    pattern and haystack split at the first 0xFF) through the module."""
    if len(data) < 4:
        return
    flags = int.from_bytes(data[:4], "little")
    rest = data[4:]
    sep = rest.find(b"\xff")
    pattern = valid_utf8(rest if sep < 0 else rest[:sep])
    hay = "abc" if sep < 0 else valid_utf8(rest[sep + 1:])
    try:
        r = k.Regex(pattern, flags)
    except ValueError as exc:
        check(str(exc).startswith("kordal error"), "compile error message", str(exc))
        return
    check_regex(r, hay)


# --- drivers -------------------------------------------------------------------------------------

_armed = False  # whether an alarm now ends the running case


def _on_alarm(signum, frame):
    if _armed:
        raise BudgetSpent()


def run_budgeted(data, seconds=0.5, case=test_one_input):
    """One input on the main thread under a time budget; False if it ran out.
    An alarm that arrives while the case is being wound up is ignored."""
    global _armed
    old = signal.signal(signal.SIGALRM, _on_alarm)
    try:
        try:
            _armed = True
            signal.setitimer(signal.ITIMER_REAL, seconds)
            case(data)
            return True
        finally:
            _armed = False
            signal.setitimer(signal.ITIMER_REAL, 0)
    except BudgetSpent:
        return False
    finally:
        if old is not None:  # None: installed outside Python, e.g. by libFuzzer
            signal.signal(signal.SIGALRM, old)


def random_inputs(rng, count):
    for _ in range(count):
        yield rng.randbytes(rng.randrange(0, 400))


def run_random(count, seed, threads):
    failures = []
    lock = threading.Lock()

    def worker(tid):
        rng = random.Random(seed * 1000 + tid)
        for data in random_inputs(rng, count):
            try:
                if threads == 1:
                    run_budgeted(data)
                else:
                    test_one_input(data, small=True)
            except Exception:  # a finding: keep the input and carry on
                with lock:
                    failures.append((data, traceback.format_exc()))

    if threads == 1:
        worker(0)
    else:
        pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    for data, tb in failures[:5]:
        print(f"FAILURE on input {data.hex()}\n{tb}", file=sys.stderr)
    print(f"{count * threads} inputs, {len(failures)} failures")
    return 1 if failures else 0


def main(argv):
    warnings.simplefilter("ignore")  # deprecations about hostile __index__ results
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--random", type=int)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--replay", nargs="+")
    opts, rest = parser.parse_known_args(argv[1:])
    sys.setrecursionlimit(10000)
    if opts.replay:
        for path in opts.replay:
            with open(path, "rb") as f:
                run_budgeted(f.read(), 5.0)
            print(f"ok {path}")
        return 0
    if opts.random is not None:
        return run_random(opts.random, opts.seed, opts.threads)
    import atheris  # only the coverage-guided mode needs it

    def one(data):
        run_budgeted(data)

    atheris.Setup([argv[0]] + rest, one)
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
