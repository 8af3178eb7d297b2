"""Differential check between two builds of kordal_python.

Generates random patterns and haystacks (seeded, so both sides see the same
cases), runs every search API on each and prints one line per case. Run it
once per build and compare the outputs:

    PYTHONPATH=build-a python bench/diffcheck.py > a.txt
    PYTHONPATH=build-b python bench/diffcheck.py > b.txt
    cmp a.txt b.txt

Usage: python bench/diffcheck.py [--cases N] [--seed S]
"""

import argparse
import random

import kordal_python as kordal

ATOMS = [
    "a", "b", "c", "k", "s", "K", "ß", "é", "É", "Ω", "ω", "\u212a", "ſ", "x", " ", "\n",
    ".", r"\w", r"\W", r"\d", r"\s", r"\S", "[a-c]", "[^ab]", "[ks]", "[é-ö]", r"\p{L}",
    r"\p{Lu}", "[[:alpha:]]", "^", "$", r"\b", r"\B", r"\A", r"\z", r"\X", "(?=a)", "(?!b)",
    "(?<=a)", "(?<!b)", "(?<=ab|c)", r"\1", "", "ab", "abc", "ké", "ss", "SS",
]
QUANTS = ["", "", "", "*", "+", "?", "{2}", "{1,3}", "*?", "+?", "??", "{0}", "{2,}"]
FLAGS = ["", "(?i)", "(?m)", "(?s)", "(?im)", "(?a)", "(?ia)"]
ALPHABET = "aabbcckKsSſßéÉωΩ\u212a xy\n1_"


def pattern(rng, depth=0):
    parts = []
    for _ in range(rng.randint(1, 4)):
        r = rng.random()
        if r < 0.15 and depth < 3:
            inner = "|".join(pattern(rng, depth + 1) for _ in range(rng.randint(1, 3)))
            opener = rng.choice(["(", "(?:", "(?>", "(?P<n%d>" % rng.randint(0, 999)])
            atom = opener + inner + ")"
        elif r < 0.25 and depth < 3:
            atom = "|".join(pattern(rng, depth + 1) for _ in range(2))
            atom = "(?:" + atom + ")"
        else:
            atom = rng.choice(ATOMS)
        q = rng.choice(QUANTS)
        if q and atom and atom not in ("^", "$", r"\b", r"\B", r"\A", r"\z") and not atom.startswith("(?<"):
            atom = "(?:" + atom + ")" + q
        parts.append(atom)
    return "".join(parts)


ASCII_ALPHABET = "aabbcckKsSxy \n1_"


def text(rng):
    alphabet = rng.choice([ALPHABET, ASCII_ALPHABET])
    size = rng.choice([rng.randint(0, 24), rng.randint(60, 300)])
    return "".join(rng.choice(alphabet) for _ in range(size))


def show(m):
    if m is None:
        return "-"
    return repr([m.span_of(i) for i in range(m.capture_count + 1)]
                + [m.captures(i) for i in range(m.capture_count + 1)])


def run_case(pat, hay):
    try:
        r = kordal.Regex(pat)
    except Exception as e:  # compile errors must agree as well
        return "error " + type(e).__name__
    out = [str(r.is_match(hay)), show(r.find(hay))]
    out.append(";".join(show(m) for m in r.findall(hay)))
    out.append(repr(r.split(hay)))
    out.append(repr(r.replace_all(hay, "<$0>")))
    out.append(show(r.match_at_start(hay)))
    out.append(show(r.fullmatch(hay)))
    if len(hay.encode()) > 3:
        b = 3
        while b < len(hay.encode()) and (hay.encode()[b] & 0xC0) == 0x80:
            b += 1
        out.append(show(r.find_at(hay, b)))
    p = r.find_partial(hay)
    if p is not None:
        out.append(repr((p.span if hasattr(p, "span") else None, p.start, p.end, p.status,
                         [p.group_state(i) for i in range(p.capture_count + 1)])))
    else:
        out.append("-")
    return " | ".join(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cases", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    for i in range(args.cases):
        pat = rng.choice(FLAGS) + pattern(rng)
        for _ in range(3):
            hay = text(rng)
            print(i, repr(pat), repr(hay), run_case(pat, hay))


if __name__ == "__main__":
    main()
