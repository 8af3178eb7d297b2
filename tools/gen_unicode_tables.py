#!/usr/bin/env python3
"""Generate src/unicode_tables.cpp from the Unicode Character Database.

Reads UnicodeData.txt, DerivedCoreProperties.txt, PropList.txt and
SpecialCasing.txt of UCD 15.0.0 (Debian's unicode-data package installs them
in /usr/share/unicode) and writes sorted range arrays for the binary
properties, a run-length table of general categories covering every code
point, and the full lower- and upper-case mappings keyed by code point. The
C++ side looks everything up by bisection, so every table must be sorted and
its ranges disjoint; the script checks that, and also checks the facts that
the inline ASCII fast paths in unicode.hpp rely on, so data that would make
them wrong fails here instead of in the matcher. One pass over each file,
linear in its size. The output depends on nothing but the input files, so
--check can compare it byte for byte with the committed file.

Usage: gen_unicode_tables.py [--ucd-dir DIR] [--output FILE] [--check]
"""

import argparse
import os
import re
import sys

UCD_VERSION = "15.0.0"
MAX_CP = 0x10FFFF

# Order and codes must match enum class Gc in src/unicode.hpp.
GC_NAMES = [
    "Cn", "Lu", "Ll", "Lt", "Lm", "Lo", "Mn", "Mc", "Me", "Nd", "Nl", "No", "Pc", "Pd", "Ps",
    "Pe", "Pi", "Pf", "Po", "Sm", "Sc", "Sk", "So", "Zs", "Zl", "Zp", "Cc", "Cf", "Cs", "Co",
]
GC_CODE = {name: i for i, name in enumerate(GC_NAMES)}

# White_Space as unicode.hpp spells it out inline.
INLINE_WHITE_SPACE = (
    [(0x09, 0x0D), (0x20, 0x20), (0x85, 0x85), (0xA0, 0xA0), (0x1680, 0x1680),
     (0x2000, 0x200A), (0x2028, 0x2029), (0x202F, 0x202F), (0x205F, 0x205F),
     (0x3000, 0x3000)])

MULTI_FLAG = 0x80000000


class UcdError(Exception):
    pass


def read_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except OSError as e:
        raise UcdError(f"cannot read {path}: {e.strerror}") from None


def check_version(ucd_dir):
    """Fail unless every versioned file we read says UCD_VERSION."""
    for name in ("DerivedCoreProperties", "PropList", "SpecialCasing"):
        path = os.path.join(ucd_dir, name + ".txt")
        lines = read_lines(path)
        m = re.match(r"# %s-(\d+\.\d+\.\d+)\.txt$" % name, lines[0] if lines else "")
        if not m:
            raise UcdError(f"{path}: no version header")
        if m.group(1) != UCD_VERSION:
            raise UcdError(f"{path}: UCD version {m.group(1)}, expected {UCD_VERSION}")
    # UnicodeData.txt carries no version of its own; the ReadMe of the same
    # directory is what names it.
    path = os.path.join(ucd_dir, "ReadMe.txt")
    text = "\n".join(read_lines(path))
    m = re.search(r"for Version (\d+\.\d+\.\d+) of the Unicode Standard", text)
    if not m:
        raise UcdError(f"{path}: no version statement")
    if m.group(1) != UCD_VERSION:
        raise UcdError(f"{path}: UCD version {m.group(1)}, expected {UCD_VERSION}")


def data_fields(lines):
    """Yield the ';'-separated fields of each non-comment line."""
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def parse_range(text):
    lo, _, hi = text.partition("..")
    return int(lo, 16), int(hi or lo, 16)


def merge(ranges):
    """Sort ranges and merge overlapping or adjacent ones."""
    out = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], hi))
        else:
            out.append((lo, hi))
    return out


def read_binary_properties(path, wanted):
    found = {name: [] for name in wanted}
    for fields in data_fields(read_lines(path)):
        if fields[1] in found:
            found[fields[1]].append(parse_range(fields[0]))
    for name, ranges in found.items():
        if not ranges:
            raise UcdError(f"{path}: property {name} not found")
    return {name: merge(ranges) for name, ranges in found.items()}


def read_unicode_data(path):
    """Return (category per code point as a bytearray, lower, upper) where the
    case maps hold the simple mappings as {cp: (mapped,)}."""
    gc = bytearray(MAX_CP + 1)  # zero is Cn
    lower, upper = {}, {}
    first = None
    prev = -1
    for fields in data_fields(read_lines(path)):
        if len(fields) != 15:
            raise UcdError(f"{path}: bad line for {fields[0]}")
        cp = int(fields[0], 16)
        if cp <= prev:
            raise UcdError(f"{path}: {fields[0]} out of order")
        prev = cp
        name, cat = fields[1], fields[2]
        if cat not in GC_CODE or cat == "Cn":
            raise UcdError(f"{path}: unknown category {cat} at {fields[0]}")
        if name.endswith(", First>"):
            first = cp
            continue
        lo = cp
        if name.endswith(", Last>"):
            if first is None:
                raise UcdError(f"{path}: range end {fields[0]} without start")
            lo, first = first, None
        elif first is not None:
            raise UcdError(f"{path}: range start without end before {fields[0]}")
        gc[lo:cp + 1] = bytes([GC_CODE[cat]]) * (cp + 1 - lo)
        if fields[12]:
            upper[cp] = (int(fields[12], 16),)
        if fields[13]:
            lower[cp] = (int(fields[13], 16),)
    return gc, lower, upper


def apply_special_casing(path, lower, upper):
    """Override the simple mappings by the unconditional full ones."""
    for fields in data_fields(read_lines(path)):
        # code; lower; title; upper; [condition;] -- the trailing ';' leaves
        # an empty last field.
        if len(fields) > 4 and fields[4]:
            continue
        cp = int(fields[0], 16)
        for table, text in ((lower, fields[1]), (upper, fields[3])):
            mapped = tuple(int(x, 16) for x in text.split())
            if not 1 <= len(mapped) <= 3:
                raise UcdError(f"{path}: mapping of {fields[0]} has {len(mapped)} code points")
            table[cp] = mapped


def category_runs(gc):
    runs = []
    prev = None
    for cp, code in enumerate(gc):
        if code != prev:
            runs.append((cp, code))
            prev = code
    return runs


def ranges_where(gc, codes):
    return merge((cp, cp) for cp, code in enumerate(gc) if code in codes)


def in_ranges(ranges, cp):
    return any(lo <= cp <= hi for lo, hi in ranges)


def check_fast_paths(props, numeric, lower, upper):
    """The inline predicates decide ASCII (and a little more) without the
    tables; make sure the data agrees with them."""
    def members_below(ranges, limit):
        return [cp for cp in range(limit) if in_ranges(ranges, cp)]

    letters = [cp for cp in range(0x80) if chr(cp).isascii() and chr(cp).isalpha()]
    facts = [
        ("Alphabetic below U+00AA", members_below(props["Alphabetic"], 0xAA), letters),
        ("Uppercase below U+00C0", members_below(props["Uppercase"], 0xC0),
         list(range(0x41, 0x5B))),
        ("Lowercase below U+00AA", members_below(props["Lowercase"], 0xAA),
         list(range(0x61, 0x7B))),
        ("numeric below U+00B2", members_below(numeric, 0xB2), list(range(0x30, 0x3A))),
        ("White_Space", props["White_Space"], INLINE_WHITE_SPACE),
        ("lower-case mappings below U+00C0", sorted(cp for cp in lower if cp < 0xC0),
         list(range(0x41, 0x5B))),
        ("upper-case mappings below U+0080", sorted(cp for cp in upper if cp < 0x80),
         list(range(0x61, 0x7B))),
    ]
    for what, got, want in facts:
        if got != want:
            raise UcdError(f"{what} differs from the inline predicates in unicode.hpp")


def case_table(mapping):
    """Entries (cp, value) without identity mappings, and the distinct
    multi-code-point results; value is the single result or MULTI_FLAG | index
    into them."""
    entries, multi, index = [], [], {}
    for cp in sorted(mapping):
        mapped = mapping[cp]
        if mapped == (cp,):
            continue
        if len(mapped) == 1:
            entries.append((cp, mapped[0]))
            continue
        if mapped not in index:
            index[mapped] = len(multi)
            multi.append(mapped + (0,) * (3 - len(mapped)))
        entries.append((cp, MULTI_FLAG | index[mapped]))
    return entries, multi


def wrap(pieces, indent="    ", width=100):
    """Lay out pieces, space-separated, in lines of at most width columns."""
    lines, line = [], ""
    for piece in pieces:
        if line and len(indent) + len(line) + 1 + len(piece) > width:
            lines.append(indent + line)
            line = ""
        line += (" " if line else "") + piece
    if line:
        lines.append(indent + line)
    return "\n".join(lines)


def initialiser(items):
    return wrap(item + "," for item in items)


def emit_ranges(name, ranges):
    body = initialiser("{0x%x, 0x%x}" % r for r in ranges)
    return f"constexpr Range {name}[] = {{\n{body}\n}};\n"


HEADER = """\
// Unicode data tables: generated by tools/gen_unicode_tables.py from UCD {version}.
// Do not edit; run the script instead.
//
// Binary properties are sorted, disjoint, non-adjacent ranges; general
// categories are runs (first code point << 8 | category) covering every code
// point, so a run ends where the next begins; case mappings are sorted by code
// point and hold only code points that do not map to themselves, a result with
// the top bit set indexing a zero-padded triple. Every lookup is one
// bisection, O(log n), or for the large properties below U+10000 one bit of
// a bitmap made from the ranges; an unsorted table would silently give
// wrong answers.
"""

CODE = """\

template <std::size_t N>
bool in_ranges(const Range (&table)[N], char32_t c) {
  const Range* end = table + N;
  const Range* r = std::partition_point(table, end, [c](const Range& x) { return x.hi < c; });
  return r != end && r->lo <= c;
}

// The basic multilingual plane of a large property as a bitmap (8 KB), made
// on first use: text in most scripts tests a bit instead of bisecting.
struct BmpBits {
  uint64_t words[0x10000 / 64] = {};
  template <std::size_t N>
  explicit BmpBits(const Range (&table)[N]) {
    for (const Range& r : table) {
      for (char32_t c = r.lo; c <= r.hi && c < 0x10000; ++c) {
        words[c >> 6] |= uint64_t{1} << (c & 63);
      }
    }
  }
  bool has(char32_t c) const { return (words[c >> 6] >> (c & 63)) & 1; }
};

int map_case(const CaseEntry* table, std::size_t n, const char32_t (*multi)[3], char32_t c,
             char32_t out[3]) {
  const CaseEntry* end = table + n;
  const CaseEntry* e =
      std::partition_point(table, end, [c](const CaseEntry& x) { return x.cp < c; });
  if (e == end || e->cp != c) {
    out[0] = c;
    return 1;
  }
  if (!(e->to & kMulti)) {
    out[0] = e->to;
    return 1;
  }
  const char32_t* m = multi[e->to & ~kMulti];
  int count = 0;
  while (count < 3 && m[count] != 0) {
    out[count] = m[count];
    ++count;
  }
  return count;
}

}  // namespace

const char* const kUcdVersion = "{version}";

bool has_alphabetic(char32_t c) {
  static const BmpBits bmp(kAlphabetic);
  return c < 0x10000 ? bmp.has(c) : in_ranges(kAlphabetic, c);
}
bool has_uppercase(char32_t c) {
  static const BmpBits bmp(kUppercase);
  return c < 0x10000 ? bmp.has(c) : in_ranges(kUppercase, c);
}
bool has_lowercase(char32_t c) {
  static const BmpBits bmp(kLowercase);
  return c < 0x10000 ? bmp.has(c) : in_ranges(kLowercase, c);
}
bool has_white_space(char32_t c) {
  return in_ranges(kWhiteSpace, c);
}
bool has_grapheme_extend(char32_t c) {
  return in_ranges(kGraphemeExtend, c);
}
bool is_numeric_table(char32_t c) {
  static const BmpBits bmp(kNumeric);
  return c < 0x10000 ? bmp.has(c) : in_ranges(kNumeric, c);
}

Gc general_category(char32_t c) {
  if (c > 0x10FFFF) return Gc::Cn;
  const uint32_t* end = std::end(kCategoryRuns);
  // The first run starts at U+0000, so the run found is never before the table.
  const uint32_t* r = std::upper_bound(std::begin(kCategoryRuns), end, uint32_t{c} << 8 | 0xFF);
  return static_cast<Gc>(r[-1] & 0xFF);
}

int to_lower_full(char32_t c, char32_t out[3]) {
  if (c < 0xC0) {
    out[0] = (c - 'A') < 26 ? c | 0x20 : c;
    return 1;
  }
  return map_case(kLower, std::size(kLower), kLowerMulti, c, out);
}

int to_upper_full(char32_t c, char32_t out[3]) {
  if (c < 0x80) {
    out[0] = (c - 'a') < 26 ? c & ~char32_t{0x20} : c;
    return 1;
  }
  return map_case(kUpper, std::size(kUpper), kUpperMulti, c, out);
}

std::size_t lower_mapped_count() {
  return std::size(kLower);
}
char32_t lower_mapped_at(std::size_t i) {
  return kLower[i].cp;
}

}  // namespace kordal::unicode
"""


def generate(ucd_dir):
    check_version(ucd_dir)
    props = read_binary_properties(os.path.join(ucd_dir, "DerivedCoreProperties.txt"),
                                   ["Alphabetic", "Uppercase", "Lowercase", "Grapheme_Extend"])
    props.update(read_binary_properties(os.path.join(ucd_dir, "PropList.txt"), ["White_Space"]))
    gc, lower, upper = read_unicode_data(os.path.join(ucd_dir, "UnicodeData.txt"))
    apply_special_casing(os.path.join(ucd_dir, "SpecialCasing.txt"), lower, upper)
    numeric = ranges_where(gc, {GC_CODE["Nd"], GC_CODE["Nl"], GC_CODE["No"]})
    check_fast_paths(props, numeric, lower, upper)
    runs = category_runs(gc)

    out = [HEADER.format(version=UCD_VERSION)]
    out.append("\n#include <algorithm>\n#include <cstddef>\n#include <cstdint>\n"
               "#include <iterator>\n\n#include \"unicode.hpp\"\n\n"
               "namespace kordal::unicode {\nnamespace {\n\n")
    out.append("// clang-format off\n")
    out.append("struct Range {\n  uint32_t lo, hi;\n};\n\n")
    for name, key in (("kAlphabetic", "Alphabetic"), ("kUppercase", "Uppercase"),
                      ("kLowercase", "Lowercase"), ("kWhiteSpace", "White_Space"),
                      ("kGraphemeExtend", "Grapheme_Extend")):
        out.append(f"// {key}: {len(props[key])} ranges.\n")
        out.append(emit_ranges(name, props[key]) + "\n")
    out.append(f"// General category Nd, Nl or No: {len(numeric)} ranges.\n")
    out.append(emit_ranges("kNumeric", numeric) + "\n")

    legend = [f"{i} {n}," for i, n in enumerate(GC_NAMES)]
    legend[-1] = legend[-1][:-1] + "."
    out.append(f"// General category runs: {len(runs)}. The codes, as in enum Gc:\n")
    out.append(wrap(legend, indent="// ") + "\n")
    checks = [f"Gc::{n} == Gc{{{i}}} &&" for i, n in enumerate(GC_NAMES)]
    checks[-1] = checks[-1][:-3] + ");"
    out.append("static_assert(\n" + wrap(checks) + "\n")
    body = initialiser("0x%08x" % (cp << 8 | code) for cp, code in runs)
    out.append(f"constexpr uint32_t kCategoryRuns[] = {{\n{body}\n}};\n\n")

    out.append(f"constexpr char32_t kMulti = 0x{MULTI_FLAG:x};\n\n")
    out.append("struct CaseEntry {\n  char32_t cp, to;\n};\n\n")
    for name, mapping in (("Lower", lower), ("Upper", upper)):
        entries, multi = case_table(mapping)
        out.append(f"// Full {name.lower()}-case mapping: {len(entries)} code points, "
                   f"{len(multi)} distinct results of several code points.\n")
        body = initialiser("{0x%x, 0x%x}" % e for e in entries)
        out.append(f"constexpr CaseEntry k{name}[] = {{\n{body}\n}};\n")
        if not multi:
            raise UcdError(f"no multi-code-point {name.lower()}-case mapping")
        body = initialiser("{" + ", ".join("0x%x" % x for x in m) + "}" for m in multi)
        out.append(f"constexpr char32_t k{name}Multi[][3] = {{\n{body}\n}};\n\n")
    out.append("// clang-format on\n")
    out.append(CODE.replace("{version}", UCD_VERSION))
    return "".join(out)


def main(argv=None):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Generate the Unicode tables of the engine.")
    ap.add_argument("--ucd-dir", default="/usr/share/unicode",
                    help="directory with the UCD files (default: %(default)s)")
    ap.add_argument("--output", default=os.path.join(here, "..", "src", "unicode_tables.cpp"),
                    help="file to write (default: src/unicode_tables.cpp)")
    ap.add_argument("--check", action="store_true",
                    help="write nothing; exit 1 if the output file differs from what "
                         "would be generated")
    args = ap.parse_args(argv)
    try:
        text = generate(args.ucd_dir)
    except UcdError as e:
        print(f"gen_unicode_tables.py: error: {e}", file=sys.stderr)
        return 2
    if args.check:
        try:
            with open(args.output, encoding="utf-8", newline="") as f:
                current = f.read()
        except OSError:
            current = None
        if current != text:
            print(f"gen_unicode_tables.py: {args.output} is out of date; rerun "
                  "tools/gen_unicode_tables.py", file=sys.stderr)
            return 1
        return 0
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
