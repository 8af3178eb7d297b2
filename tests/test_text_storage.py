"""The haystack read in place: a str of each storage width (1, 2 or 4 bytes per
code point) gives the same byte offsets as its UTF-8 form, find_at converts
byte offsets on each width, lone surrogates raise the interpreter's encode
error wherever they are, and a search never builds the UTF-8 form."""

import gc
import itertools
import random
import re
import sys
import threading
import weakref

import pytest

import kordal_python as kordal

# One text per storage layout, plus mixtures. Every entry mixes character
# lengths in UTF-8 (1 to 4 bytes) as far as its width allows.
TEXTS = {
    "ascii": "ab1 cd22 e_f  xyz",
    "latin1": "café 12 déjà-vu ñañ ÿ",
    "bmp": "привет 12 мир € 日本 é",
    "astral": "a😀b 12 𝔘𝔫𝔦 é€ z😀",
    "mixed": "é€😀x1_ ÿ日\u0101 😀😀 9",
    "empty": "",
}

PATTERNS = [r"\w+", r".", r"(\w)(\w)?", r"\d+|é|😀", r"x*", r"\b", r"(?<=\w)\W"]


def utf8_offset(text, index):
    return len(text[:index].encode())


def reference_spans(pattern, text):
    """Byte spans of every match, from `re` on code points (same semantics
    for these patterns, including empty matches)."""
    return [(utf8_offset(text, m.start()), utf8_offset(text, m.end()))
            for m in re.finditer(pattern, text)]


@pytest.mark.parametrize("name", TEXTS)
@pytest.mark.parametrize("pattern", PATTERNS)
def test_findall_spans_are_utf8_offsets(name, pattern):
    text = TEXTS[name]
    got = [m.span for m in kordal.Regex(pattern).findall(text)]
    assert got == reference_spans(pattern, text)


@pytest.mark.parametrize("name", TEXTS)
def test_group_spans_texts_and_histories(name):
    text = TEXTS[name]
    r = kordal.Regex(r"(\w)+")
    got, want = r.findall(text), list(re.finditer(r"(\w)+", text))
    assert len(got) == len(want)
    for m, ref in zip(got, want):
        assert m.span_of(1) == (utf8_offset(text, ref.start(1)), utf8_offset(text, ref.end(1)))
        assert m.matched == ref.group(0)
        assert m.captures(1) == list(ref.group(0))
        assert m.input is text or m.input == text
        assert m.start_of(5) == len(text.encode())
        assert repr(m) == 'Match(matched="%s", span=(%d, %d), groups=1)' % (
            ref.group(0), *m.span)


@pytest.mark.parametrize("name", TEXTS)
def test_find_at_every_offset(name):
    text = TEXTS[name]
    data = text.encode()
    r = kordal.Regex(r"\w|\s|$")
    ref = re.compile(r"\w|\s|$")
    for b in range(len(data) + 3):
        if 0 < b < len(data) and data[b] & 0xC0 == 0x80:
            with pytest.raises(ValueError) as info:
                r.find_at(text, b)
            assert str(info.value) == f"start offset {b} is inside a multi-byte character"
            continue
        k = len(data[:b].decode())  # clamped to the length
        want = ref.search(text, k)
        got = r.find_at(text, b)
        assert got.span == (utf8_offset(text, want.start()), utf8_offset(text, want.end())), b


@pytest.mark.parametrize("name", ["latin1", "bmp", "astral", "mixed"])
@pytest.mark.parametrize("size", [10, 5000])
def test_find_at_on_large_texts_after_earlier_calls(name, size):
    # Offsets before, at and after the memo's last position, on texts long
    # enough to be memoised; each answer must not depend on the calls before.
    text = TEXTS[name] * size
    data = text.encode()
    r = kordal.Regex(r"\d+")
    ref = re.compile(r"\d+")
    offsets = [len(data) // 2, 0, len(data) - 1, len(data) // 3, len(data) // 2 + 7, 10**9, 5]
    for b in offsets:
        if 0 < b < len(data) and data[b] & 0xC0 == 0x80:
            with pytest.raises(ValueError):
                r.find_at(text, b)
            continue
        want = ref.search(text, len(data[:b].decode()))
        got = r.find_at(text, b)
        if want is None:
            assert got is None
        else:
            assert got.span == (utf8_offset(text, want.start()), utf8_offset(text, want.end()))


def walk(r, text):
    """Every match by find_at calls, each from the end of the last one (one
    character further after an empty match)."""
    spans = []
    b = 0
    data_len = len(text.encode())
    while b <= data_len:
        m = r.find_at(text, b)
        if m is None:
            break
        spans.append(m.span)
        if m.end > m.start:
            b = m.end
        else:
            k = len(text.encode()[:m.end].decode())
            b = m.end + (len(text[k].encode()) if k < len(text) else 1)
    return spans


@pytest.mark.parametrize("name", TEXTS)
@pytest.mark.parametrize("pattern", [r"\w+", r"x*", r"\d|😀|€"])
@pytest.mark.parametrize("repeat", [1, 1000])
def test_find_at_walk_gives_the_spans_of_findall(name, pattern, repeat):
    text = TEXTS[name] * repeat
    r = kordal.Regex(pattern)
    assert walk(r, text) == [m.span for m in r.findall(text)]


@pytest.mark.parametrize("hay,repl", [
    ("café au lait", "ü"),       # 1 byte per code point both
    ("café au lait", "€"),       # wider template
    ("café au lait", "😀"),
    ("привет мир", "x"),         # wider haystack
    ("a😀b😀c", "é"),
    ("日本 語", ""),
])
def test_replace_mixes_widths(hay, repl):
    r = kordal.Regex(r"(\w)\w*")
    assert r.replace_all(hay, "<$1" + repl + ">") == re.sub(r"(\w)\w*", "<\\1" + repl + ">", hay)
    assert r.replace(hay, repl + "$0") == re.sub(r"\w+", repl + "\\g<0>", hay, count=1)


@pytest.mark.parametrize("name", TEXTS)
@pytest.mark.parametrize("template", [
    "${2} = U+${1};",          # pieces between references, used at every match
    "[$1|€|$1|€]",             # one literal text twice
    "$$\\n${word}😀$9$&",       # escapes, a missing group, the whole match
    "é\\t$2$1é",
    "",
])
def test_replace_template_pieces_against_expand(name, template):
    # The template is parsed once per call: every match must still get all
    # of its pieces, as Match.expand gives them.
    text = TEXTS[name] * 3
    r = kordal.Regex(r"(?P<word>\w)(\w*)")
    want, last = [], 0
    for m in r.findall(text):
        a, b = m.char_span()
        want += [text[last:a], m.expand(template)]
        last = b
    want.append(text[last:])
    assert r.replace_all(text, template) == "".join(want)


def test_replace_drops_to_the_narrowest_width():
    out = kordal.Regex("😀").replace_all("a😀b", "c")
    assert out == "acb"
    assert sys.getsizeof(out) == sys.getsizeof("acb")


@pytest.mark.parametrize("name", TEXTS)
def test_split_on_each_width(name):
    text = TEXTS[name]
    assert kordal.Regex(r"\s+").split(text) == re.split(r"\s+", text)
    assert kordal.Regex(r"(\d)").split(text) == re.split(r"(\d)", text)


SURROGATE_TEXTS = [
    "\ud800",
    "a\udfff",
    "\udc00é",
    "€" * 5000 + "\ud800",             # after the match, in a memoised text
    "needle" + "é" * 9000 + "\ud83d",  # far outside the part a find reads
    "😀" * 5000 + "\udbff" + "needle",
]

SEARCHES = [
    ("is_match", lambda r, h: r.is_match(h)),
    ("find", lambda r, h: r.find(h)),
    ("find_at", lambda r, h: r.find_at(h, 0)),
    ("match_at_start", lambda r, h: r.match_at_start(h)),
    ("fullmatch", lambda r, h: r.fullmatch(h)),
    ("findall", lambda r, h: r.findall(h)),
    ("find_partial", lambda r, h: r.find_partial(h)),
    ("split", lambda r, h: r.split(h)),
    ("replace", lambda r, h: r.replace(h, "x")),
    ("replace_all", lambda r, h: r.replace_all(h, "x")),
    ("module is_match", lambda r, h: kordal.is_match("needle", h)),
]


def encode_error(text):
    try:
        text.encode()
    except UnicodeEncodeError as e:
        return e
    raise AssertionError("no surrogate")


@pytest.mark.parametrize("text", SURROGATE_TEXTS, ids=range(len(SURROGATE_TEXTS)))
@pytest.mark.parametrize("call", [c for _, c in SEARCHES], ids=[n for n, _ in SEARCHES])
def test_surrogate_anywhere_raises_the_encoders_error(text, call):
    want = encode_error(text)
    r = kordal.Regex("needle")
    for _ in range(2):  # the second search may use what the first learnt
        with pytest.raises(UnicodeEncodeError) as info:
            call(r, text)
        assert str(info.value) == str(want)
        assert (info.value.start, info.value.end, info.value.reason) == (
            want.start, want.end, want.reason)
        assert info.value.object is text


def test_surrogate_in_a_str_subclass():
    class S(str):
        pass

    with pytest.raises(UnicodeEncodeError):
        kordal.Regex("a").find(S("é" * 5000 + "\ud800"))


@pytest.mark.parametrize("fill", ["€", "😀"])
def test_memo_of_a_clean_str_never_vouches_for_another(fill):
    # A large clean str is searched (and remembered), then dropped; a str of
    # the same size and layout with a surrogate, possibly at the same
    # address, must still be checked.
    r = kordal.Regex("needle")
    for i in range(50):
        clean = f"needle{i:04}" + fill * 6000
        assert r.find(clean) is not None
        assert r.find_at(clean, 0).span == (0, 6)
        assert r.find_at(clean, 3) is None
        del clean
        dirty = f"needle{i:04}" + fill * 5999 + "\ud800"
        with pytest.raises(UnicodeEncodeError):
            r.find(dirty)
        with pytest.raises(UnicodeEncodeError):
            r.find_at(dirty, 3)
        del dirty


def test_memo_does_not_keep_a_dropped_str_alive():
    class S(str):
        pass

    r = kordal.Regex(r"\d+")
    s = S("é1 " * 5000)
    assert len(r.findall(s)) == 5000
    assert r.find_at(s, 3).span == (6, 7)
    ref = weakref.ref(s)
    del s
    r.find("x")  # the next search lets go of a str only the memo holds
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("fill", ["a", "é", "ж", "😀"])
def test_search_near_the_start_of_a_large_str_builds_no_utf8(fill):
    # getsizeof counts the UTF-8 form a str caches once it is asked for it.
    text = "a needle " + fill * (4 << 20)
    size = sys.getsizeof(text)
    r = kordal.Regex("needle")
    assert r.find(text).span == (2, 8)
    assert r.is_match(text)
    assert r.find_at(text, 1).span == (2, 8)
    assert r.match_at_start(text) is None
    assert [m.span for m in r.findall(text)] == [(2, 8)]
    m = kordal.Regex("(x)|needle").find(text)
    assert m.start_of(1) == len(fill.encode()) * (4 << 20) + 9
    assert sys.getsizeof(text) == size


@pytest.mark.parametrize("fill", ["a", "é", "ж", "😀"])
def test_results_spanning_the_whole_str_build_no_utf8(fill):
    # The text of such a result is the input str itself.
    text = fill * 5000
    size = sys.getsizeof(text)
    m = kordal.Regex("(?s).*").fullmatch(text)
    assert repr(m).startswith('Match(matched="' + fill * 10)
    assert m.matched is text or m.matched == text
    p = kordal.Regex("(?s).*z").find_partial(text)
    assert repr(p).startswith('PartialMatch(matched="' + fill * 10)
    assert kordal.Regex("z").replace_all(text, "y") == text
    assert kordal.Regex("z").split(text) == [text]
    assert sys.getsizeof(text) == size


@pytest.mark.parametrize("fill", ["é", "ж", "😀"])
def test_iteration_function_replacement_and_expand_build_no_utf8(fill):
    text = "k=v " + fill * 100_000 + " x=y"
    size = sys.getsizeof(text)
    r = kordal.Regex(r"(\w)=(\w)")
    assert [m.matched for m in r.finditer(text)] == ["k=v", "x=y"]
    assert r.replace_all(text, lambda m: m.group(2) + "=" + m.group(1)) == (
        "v=k " + fill * 100_000 + " y=x")
    assert r.find(text).expand("$2$1") == "vk"
    assert sys.getsizeof(text) == size


def byte_offsets(text):
    """The UTF-8 offset of every code-point index of text, and of its end."""
    return [0, *itertools.accumulate(len(c.encode()) for c in text)]


def spans_by_re(pattern, text, offs):
    return [(offs[m.start()], offs[m.end()]) for m in re.finditer(pattern, text)]


# Searches of one large str keep the byte offsets they count for the next
# ones; whatever order later searches ask in, and from whichever call, each
# offset must be the one a fresh count gives.
@pytest.mark.parametrize("fill", ["é", "ж", "😀"])
def test_repeated_searches_of_a_large_str(fill):
    text = ("ab1 " + fill * 3 + " cd22 ") * 9000 + "zz9"
    offs = byte_offsets(text)
    want = spans_by_re(r"\d+", text, offs)
    r = kordal.Regex(r"\d+")
    assert r.find(text[:-1] + "q") is not None  # another str of the same length
    assert kordal.Regex(r"z+\d").find(text).span == (offs[-4], offs[-1])
    assert [m.span for m in r.findall(text)] == want
    for k in [len(want) - 1, len(want) // 2, 3]:
        assert r.find_at(text, want[k][0]).span == want[k]
    assert r.find_at(text, want[-2][1]).span == want[-1]
    assert [m.span for m in r.finditer(text)] == want
    g = kordal.Regex(r"(\w)(\d)")
    assert [(m.span_of(1), m.span_of(2)) for m in g.findall(text)] == [
        ((offs[m.start(1)], offs[m.end(1)]), (offs[m.start(2)], offs[m.end(2)]))
        for m in re.finditer(r"(\w)(\d)", text)]
    copy = "".join(list(text))
    assert copy is not text
    assert [m.span for m in r.findall(copy)] == want


# A replacement function that searches other large strs runs inside the walk
# of the first: its searches must neither use nor replace the offsets kept
# for the text being walked.
@pytest.mark.parametrize("fill", ["é", "😀"])
def test_searches_inside_a_replacement_function(fill):
    a = ("x1 " + fill) * 20_000
    b = (fill * 2 + "22 y") * 15_000
    offs_a, offs_b = byte_offsets(a), byte_offsets(b)
    want_b = spans_by_re(r"\d+", b, offs_b)
    r = kordal.Regex(r"\d+")
    seen = []

    def fn(m):
        seen.append(m.span)
        if len(seen) % 4000 == 1:
            assert [x.span for x in r.findall(b)] == want_b
            assert r.find_at(b, want_b[-1][0]).span == want_b[-1]
        return "#"

    assert r.replace_all(a, fn) == a.replace("1", "#")
    assert seen == spans_by_re(r"\d+", a, offs_a)
    assert [m.span for m in r.findall(b)] == want_b


# A wide str searched again and again is scanned through a 1-byte copy once
# the scans have read it twice. Each code point whose low byte is a literal's
# unit (Ł is 0x141: 'A' + 0x100) or that stands above 0xFE must stay what it
# is, before and after the copy, for literals it can and cannot serve.
CONFUSABLE = "ab@.1A ÿþĀŁŀĮġǿж€"


@pytest.mark.parametrize("extra", ["", "😀\U00010040"], ids=["2-byte", "4-byte"])
@pytest.mark.parametrize("pattern", [
    r"A@", r"(?i)ab", r"[\w.]+@\w+\.\w+", r"[0-9]\.1", r"ÿþ", r"ÿ", r"(?i)ł", r"a|b@|Ł",
])
def test_repeated_scans_of_a_wide_str(extra, pattern):
    rng = random.Random(pattern)
    pool = CONFUSABLE + extra
    text = "".join(rng.choice(pool) for _ in range(150_000))
    offs = byte_offsets(text)
    want = spans_by_re(pattern, text, offs)
    r = kordal.Regex(pattern)
    for _ in range(4):
        assert [m.span for m in r.findall(text)] == want
        assert [m.span for m in r.finditer(text)] == want
        assert r.is_match(text) == bool(want)
    assert want and r.find(text).span == want[0]
    assert r.replace_all(text, "") == re.sub(pattern, "", text)
    assert r.split(text) == re.split(pattern, text)


# A walk over all of a fresh wide str makes its copy at its first scan, with
# the interpreter lock lent: the first walk of each kind gives what `re`
# does, also while other threads walk their own fresh strs at the same time.
WALKS = {
    "findall": lambda r, t: [m.span for m in r.findall(t)],
    "finditer": lambda r, t: [m.span for m in r.finditer(t)],
    "split": lambda r, t: r.split(t),
    "replace_all": lambda r, t: r.replace_all(t, "<$0>"),
    "replace_all fn": lambda r, t: r.replace_all(t, lambda m: m.matched[::-1]),
}


def walk_by_re(kind, pattern, text, offs):
    if kind in ("findall", "finditer"):
        return spans_by_re(pattern, text, offs)
    if kind == "split":
        return re.split(pattern, text)
    if kind == "replace_all":
        return re.sub(pattern, lambda m: "<" + m[0] + ">", text)
    return re.sub(pattern, lambda m: m[0][::-1], text)


@pytest.mark.parametrize("kind", WALKS)
@pytest.mark.parametrize("extra", ["", "😀"], ids=["2-byte", "4-byte"])
def test_first_walk_of_a_fresh_wide_str(kind, extra):
    pattern = r"\w+@[\w.]+|þA"
    rng = random.Random(kind + extra)
    pool = ["ab", "@", "q.", " ", "ж", "þA", "ÿA", "ŁA", "Ǿ"] + ([extra] if extra else [])
    texts = ["".join(rng.choice(pool) for _ in range(60_000)) + str(k) for k in range(3)]
    wants = [walk_by_re(kind, pattern, t, byte_offsets(t)) for t in texts]
    r = kordal.Regex(pattern)
    assert WALKS[kind](r, texts[0]) == wants[0]
    # Fresh strs again, walked by threads at once.
    texts = ["".join(list(t)) for t in texts]
    got = [None] * len(texts)

    def run(k):
        got[k] = WALKS[kind](r, texts[k])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == wants


# kordal_python.re's walks read the same 1-byte copy, built at their first
# scan; their strs may hold lone surrogates, which the copy turns to 0xFF
# like any code point above 0xFE.
RE_WALKS = {
    "findall": lambda r, t: r.findall(t),
    "finditer": lambda r, t: [m.span() for m in r.finditer(t)],
    "sub": lambda r, t: r.sub("<\\g<0>>", t),
    "sub fn": lambda r, t: r.sub(lambda m: m[0][::-1], t),
    "split": lambda r, t: r.split(t),
}


@pytest.mark.parametrize("kind", RE_WALKS)
@pytest.mark.parametrize("extra", ["\ud800", "😀"], ids=["surrogate", "4-byte"])
def test_re_walks_of_fresh_wide_strs(kind, extra):
    import kordal_python.re as kre
    pattern = r"\w+@[\w.]+|þA"
    rng = random.Random(kind + ascii(extra))
    pool = ["ab", "@", "q.", " ", "ж", "þA", "ÿA", "ŁA", "\udcff", extra]
    texts = ["".join(rng.choice(pool) for _ in range(60_000)) + str(k) for k in range(2)]
    mine, theirs = kre.compile(pattern), re.compile(pattern)
    for t in texts:
        for _ in range(2):  # before and after the copy exists
            assert RE_WALKS[kind](mine, t) == RE_WALKS[kind](theirs, t)


# A replacement function that walks another large str makes the memo adopt
# it, before and after the outer walk's copy exists.
def test_re_walk_inside_a_replacement_function():
    import kordal_python.re as kre
    a = ("x1@ ж" * 20_000) + "😀"
    b = ("ab@y ж" * 20_000) + "😀"
    r, s = kre.compile(r"\d@"), kre.compile(r"b@y")
    want_b = len(re.findall(r"b@y", b))
    calls = []

    def fn(m):
        calls.append(m.span())
        if len(calls) % 5_000 == 1:
            assert len(s.findall(b)) == want_b
        return "#"

    assert r.sub(fn, a) == a.replace("1@", "#")
    assert len(calls) == 20_000
    assert r.sub(fn, a) == a.replace("1@", "#")


# The replacement function makes the thread's memo adopt another large str,
# and drop the copy of the one being walked, which the walk still reads.
def test_a_walk_keeps_its_narrow_copy_while_a_callback_drops_it():
    a = ("x1@ ж" * 30_000) + "😀"
    b = ("ab@y ж" * 30_000) + "😀"
    r = kordal.Regex(r"\d@")
    s = kordal.Regex(r"b@y")
    for _ in range(3):
        r.findall(a)  # a gets its copy
    want_b = len(s.findall(b))
    calls = []

    def fn(m):
        calls.append(m.span)
        if len(calls) % 10_000 == 1:
            for _ in range(3):
                assert len(s.findall(b)) == want_b  # b takes the memo, and then its copy
        return "#"

    assert r.replace_all(a, fn) == a.replace("1@", "#")
    assert len(calls) == 30_000
    # The same from the body of a loop over finditer, between its batches.
    for _ in range(3):
        r.findall(a)
    seen = 0
    for m in r.finditer(a):
        assert m.matched == "1@"
        seen += 1
        if seen % 10_000 == 1:
            for _ in range(3):
                assert len(s.findall(b)) == want_b
    assert seen == 30_000
