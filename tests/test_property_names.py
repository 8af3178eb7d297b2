"""Unicode property names in \\p{...} and POSIX class names: which names are
known, how they are normalised, and which character set each one selects.

A predicate is identified by the subset of PROBES it accepts; EXPECTED holds
that subset for every predicate, worked out from the property definitions."""

import pytest

import kordal_python as kordal

PROBES = [
    "a", "Z", "5", "_", " ", "\t", "\x00", "\x85", "\xa0", "!", "*", "#", "(", "-", "~", "é",
    "\u0661",  # ARABIC-INDIC DIGIT ONE (Nd)
    "\u00bd",  # VULGAR FRACTION ONE HALF (No)
    "\u2164",  # ROMAN NUMERAL FIVE (Nl, Alphabetic, Uppercase)
    "\u00aa",  # FEMININE ORDINAL INDICATOR (Lo, Lowercase)
    "\u0345",  # COMBINING GREEK YPOGEGRAMMENI (Mn, Alphabetic, Lowercase)
    "\u2026", "\u2212", "\u2014", "\u3000", "\u2029", "\u00bf",
]

ALPHA = set("aZé\u2164\u00aa\u0345")
NUMERIC = set("5\u0661\u00bd\u2164")
ALNUM = ALPHA | NUMERIC
ASCII_PUNCT = set("_!*#(-~")
WHITE = set(" \t\x85\xa0\u3000\u2029")
CONTROL = set("\t\x00\x85")
EXPECTED = {
    "alphabetic": ALPHA,
    "uppercase": set("Z\u2164"),
    "lowercase": set("aé\u00aa\u0345"),
    "numeric": NUMERIC,
    "alnum": ALNUM,
    "word": ALNUM | {"_"},
    "whitespace": WHITE,
    "blank": set(" \t"),
    "control": CONTROL,
    "print": set(PROBES) - CONTROL,
    "punctuation": set("!(-\u2026\u2014"),
    "posix_punct": ASCII_PUNCT | {"\u2212", "\u2014"},
    "separator": set(" \xa0\u2029"),
    "graph": ALNUM | ASCII_PUNCT,
    "other": set(PROBES) - ALNUM - WHITE,
    "hex_digit": set("a5"),
    "ascii": set("aZ5_ \t\x00!*#(-~"),
    "ascii_digit": set("5"),
    "ascii_punct": ASCII_PUNCT,
}


def accepted(pattern):
    regex = kordal.Regex(pattern)
    return {ch for ch in PROBES if regex.fullmatch(ch) is not None}


def prop(name):
    return "\\p{" + name + "}"


NAMES = {
    "alphabetic": ["L", "l", "Letter", "alpha", "ALPHA", "Alphabetic", "alpha-betic", "gc=L",
                   "=L", "GC = l"],
    "uppercase": ["Lu", "upper", "Uppercase", "Uppercase_Letter", "Upper_Case_Letter",
                  "uppercase letter", "UPPERCASELETTER", "gc=Lu"],
    "lowercase": ["Ll", "lower", "Lowercase", "LowercaseLetter", "lowercase-letter", "gc=ll"],
    "numeric": ["N", "Nd", "Nl", "No", "digit", "Number", "Decimal_Number", "Letter_Number",
                "Other Number", "PosixDigit", "gc=N", "gc=nd", "gc=Nl", "gc=No",
                "General_Category=Nd", "General Category = Nd"],
    "alnum": ["alnum", "Alphanumeric", "posix_alnum"],
    "word": ["word", "Word", "W O R D"],
    "whitespace": ["space", "White_Space", "whitespace"],
    "blank": ["blank", "Blank", "blan\u212a"],  # the Kelvin sign lower-cases to k
    "control": ["cntrl", "Control"],
    "print": ["print", "Printable"],
    "graph": ["graph"],
    "punctuation": ["P", "p", "Punctuation", "gc=P"],
    "posix_punct": ["PosixPunct", "posix-punct"],
    "separator": ["Z", "Separator", "gc=z"],
    "other": ["C", "Other", "gc=C"],
    "hex_digit": ["xdigit", "HexDigit", "Hex_Digit", "posixxdigit"],
    "ascii": ["ascii", "ASCII"],
}


@pytest.mark.parametrize("name,predicate",
                         [(n, p) for p, names in NAMES.items() for n in names])
def test_property_name_selects_predicate(name, predicate):
    assert accepted(prop(name)) == EXPECTED[predicate]
    assert accepted("[" + prop(name) + "]") == EXPECTED[predicate]


@pytest.mark.parametrize("name", [
    "Lt", "Lm", "Lo", "Mn", "Sm", "Cc", "Greek", "Latin", "IsAlpha", "InBasicLatin", "Any",
    "Assigned", "", "General_Category=Lu", "gc=Letter", "gc=", "gc=Sm", "generalcategory=l",
    "script=latin", "l=", "alpha\t", "posixpunct!", "ALPHA\u0130", "alph\u00e2",
    "x" * 100,
])
def test_unknown_property(name):
    with pytest.raises(ValueError) as info:
        kordal.Regex("a" + prop(name))
    quoted = '"' + name.replace("\t", "\\t") + '"'
    assert str(info.value) == f"kordal error at position 2: unknown property {quoted}"


@pytest.mark.parametrize("pattern,negated", [
    ("\\p{L}", False), ("\\P{L}", True), ("\\p{^L}", True), ("\\P{^L}", False),
    ("\\p:L:", False), ("\\P:^L:", False), ("[\\P{L}]", True), ("[\\p{^L}]", True),
])
def test_negation(pattern, negated):
    expected = set(PROBES) - ALPHA if negated else ALPHA
    assert accepted(pattern) == expected


@pytest.mark.parametrize("pattern,dump", [
    ("\\p{^Upper_Case }", "Prop Upper_Case  neg=true\n"),
    ("\\P{gc=Lu}", "Prop gc=Lu neg=true\n"),
    ("\\P:^blan\u212a:", "Prop blan\u212a neg=false\n"),
])
def test_dump_shows_name_as_written(pattern, dump):
    assert kordal.Regex(pattern).dump() == dump


def test_only_one_caret_is_removed():
    with pytest.raises(ValueError) as info:
        kordal.Regex("\\p{^^L}")
    assert str(info.value) == 'kordal error at position 1: unknown property "^L"'


POSIX = {
    "alpha": "alphabetic", "alnum": "alnum", "word": "word", "digit": "ascii_digit",
    "xdigit": "hex_digit", "lower": "lowercase", "upper": "uppercase", "space": "whitespace",
    "blank": "blank", "punct": "ascii_punct", "graph": "graph", "print": "print",
    "cntrl": "control", "ascii": "ascii",
}


@pytest.mark.parametrize("name,predicate", sorted(POSIX.items()))
def test_posix_class(name, predicate):
    assert accepted(f"[[:{name}:]]") == EXPECTED[predicate]
    assert accepted(f"[[:{name.upper()}:]]") == EXPECTED[predicate]
    assert accepted(f"[[:^{name.capitalize()}:]]") == set(PROBES) - EXPECTED[predicate]


@pytest.mark.parametrize("name", ["foo", "Foo", "Digit ", "alnum_", "posixpunct", "ALPHA\u0130"])
def test_unknown_posix_class(name):
    with pytest.raises(ValueError) as info:
        kordal.Regex(f"x[[:{name}:]]")
    assert str(info.value) == f"kordal error at position 2: unknown POSIX class [:{name}:]"


@pytest.mark.parametrize("pattern,probe,matches", [
    ("(?i)\\p{Lu}", "a", False),
    ("(?i)\\p{Lu}", "A", True),
    ("(?i)\\p{Ll}", "A", False),
    ("(?i)[[:upper:]]", "a", False),
    ("(?i)[\\p{Lu}]", "z", False),
    ("(?i)[[:lower:]]", "Q", False),
])
def test_properties_ignore_case_insensitivity(pattern, probe, matches):
    assert (kordal.Regex(pattern).fullmatch(probe) is not None) is matches
