"""A wider sweep: common patterns over the corpus, kordal against every peer.

The cases of bench.py and backtrack.py are the ones the project has worked
on; these are patterns of everyday use (words and classes of other scripts,
dates, quoted strings, lines holding a word, windows between two words,
absent literals, line ends) that no change was aimed at, to show where
kordal stands on patterns it was not tuned for. Same runners, same rules
for agreement as bench.py: spans of every match, engines interleaved, best
of several repetitions.

Usage: python bench/sweep.py [--corpus DIR] [--repeat N] [--only SUBSTRING]
"""

import argparse
import pathlib

import common


def cases(corpus):
    text = common.reader(corpus)
    en = text("rebar/opensubtitles__en-sampled.txt")
    ru = text("rebar/opensubtitles__ru-sampled.txt")
    zh = text("rebar/opensubtitles__zh-sampled.txt")
    sherlock = text("rebar/sherlock.txt")
    ucd = text("rebar/wild__UnicodeData-15.0.0.txt")
    huge = text("rebar/opensubtitles__en-huge.txt")
    mario = text("mariomka/input-text.txt")
    c = common.count_all
    yield r"\w+ en", r"\w+", c(en)
    yield r"\w+ ru", r"\w+", c(ru)
    yield r"\w+ zh", r"\w+", c(zh)
    yield "[A-Za-z]+ en", r"[A-Za-z]+", c(en)
    yield "[a-zA-Z]+ing", r"[a-zA-Z]+ing", c(en)
    yield r"\d+ ucd", r"\d+", c(ucd)
    yield "(?i)sherlock|watson", r"(?i)sherlock|watson", c(huge)
    yield "date", r"(\d{4})-(\d{2})-(\d{2})", c(huge)
    yield "email en", r"[\w.+-]+@[\w-]+\.[\w.-]+", c(huge)
    yield "Holmes window", r"Holmes.{0,25}Watson|Watson.{0,25}Holmes", c(sherlock)
    yield "(?i)the", r"(?i)the", c(huge)
    yield r"\bthe\b", r"\bthe\b", c(huge)
    yield "line holding Sherlock", r"[^\n]*Sherlock[^\n]*", c(sherlock)
    yield "name pair", r"\b[A-Z][a-z]+\s+[A-Z][a-z]+\b", c(sherlock)
    yield "ucd fields", r"(?m)^([0-9A-F]+);([^;]*);([^;]*);", c(ucd)
    yield "three vowels", r"[aeiou]{3,}", c(huge)
    yield "ru alternation", r"Шерлок|Холмс", c(ru)
    yield "(?i) ru", r"(?i)шерлок", c(ru)
    yield "[а-я]+", r"[а-я]+", c(ru)
    yield "absent literal en", r"zqjxv", c(huge)
    yield "absent literal ru", r"zqjxv", c(ru)
    yield "absent literal mariomka", r"zqjxv", c(mario)
    yield r"\p{Lu} ru", r"\p{Lu}", c(ru)
    yield "any zh", r".", c(zh)
    yield r"(?m)\s+$", r"(?m)\s+$", c(huge)
    yield "quoted", r"'[^']*'", c(huge)
    yield r"\b\w{7}\b", r"\b\w{7}\b", c(en)
    yield "[0-9]{2,}", r"[0-9]{2,}", c(mario)
    yield "http", r"https?://[^\s]+", c(mario)
    yield "8 names (?i)", r"(?i)(?:holmes|watson|lestrade|hudson|moriarty|adler|mycroft|gregson)", \
        c(sherlock)
    yield "ucd letter names", r"LATIN (?:SMALL|CAPITAL) LETTER [A-Z]\b", c(ucd)
    yield r"[a-z]{3}\d{3}", r"[a-z]{3}\d{3}", c(mario)
    yield r"(?m)^\w+:", r"(?m)^\w+:", c(sherlock)
    yield "name pair, no \\b", r"[A-Z][a-z]+ [A-Z][a-z]+", c(sherlock)
    yield "non-ASCII runs", r"[^\x00-\x7F]+", c(en)
    yield r"\p{Lu}\p{Ll}+ ru", r"\p{Lu}\p{Ll}+", c(ru)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=pathlib.Path, default=None)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", default="")
    args = ap.parse_args(argv)
    corpus = common.corpus_or_exit(args.corpus)
    table = common.Table("Wider sweep (python bench/sweep.py)")
    for name, pattern, runners in cases(corpus):
        if args.only and args.only not in name:
            continue
        best, results, agree = common.time_case(pattern, 0, runners, args.repeat)
        table.add(name, best, results, agree)
    print(table.summary().replace("**", ""))
    return table


if __name__ == "__main__":
    main()
