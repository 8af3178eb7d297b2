"""Per-call cost of kordal_python.re against `re`, the same code run on both.

The calls `re` users make in loops: a tokenizer of pattern.match(text, pos)
over short lines, search and fullmatch on short strings, sub with a template
and with a function, findall returning strings. Reports microseconds per
call (best of several repeats) and the ratio kordal/re (below 1.0: kordal is
faster). Usage: python bench/re_interface.py [--quick]
"""

import re
import sys
import timeit

import kordal_python.re as kre

LINES = [
    "x = foo(bar, 42) + baz * 3.5",
    "if count >= 10: return items[count - 1]",
    "name = 'value'  # comment",
    "for i in range(100): total += i",
]
TOKEN = r"\s*(?:(\d+(?:\.\d*)?)|([A-Za-z_]\w*)|('[^']*')|(#.*)|(==|>=|<=|[-+*/=()\[\]:,<>]))"
SHORT = "user=ada action=login ok"


def tokenize(mod):
    p = mod.compile(TOKEN)
    match = p.match

    def run():
        n = 0
        for line in LINES:
            pos, end = 0, len(line)
            while pos < end:
                m = match(line, pos)
                if m is None:
                    break
                pos = m.end()
                n += 1
        return n

    return run


def cases(mod):
    search = mod.compile(r"(\w+)=(\w+)").search
    full = mod.compile(r"[a-z]+=[a-z]+").fullmatch
    sub_t = mod.compile(r"(\w+)=(\w+)").sub
    sub_f = mod.compile(r"\d+").sub
    findall = mod.compile(r"\w+").findall
    return [
        ("tokenizer match(text, pos)", tokenize(mod)),
        ("search short", lambda: search(SHORT)),
        ("module search short", lambda: mod.search(r"(\w+)=(\w+)", SHORT)),
        ("fullmatch short", lambda: full("user=ada")),
        ("sub template", lambda: sub_t(r"\2=\1", SHORT)),
        ("sub function", lambda: sub_f(lambda m: str(len(m.group())), "a1 b22 c333")),
        ("findall strings", lambda: findall(SHORT)),
    ]


def per_call(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number * 1e6


def main():
    number = 2_000 if "--quick" in sys.argv else 20_000
    ours, theirs = cases(kre), cases(re)
    def plain(r):
        return r.regs if hasattr(r, "regs") else r

    for (name, a), (_, b) in zip(ours, theirs):
        assert plain(a()) == plain(b()), name
    print(f"{'case':30} {'kordal':>10} {'re':>10} {'k/re':>6}")
    for (name, fk), (_, fr) in zip(ours, theirs):
        # Interleaved, so both see the same machine load.
        tk = min(per_call(fk, number) for _ in range(2))
        tr = min(per_call(fr, number) for _ in range(2))
        print(f"{name:30} {tk:8.3f}us {tr:8.3f}us {tk / tr:6.2f}")


if __name__ == "__main__":
    main()
