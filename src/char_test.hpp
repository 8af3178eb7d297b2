// Character tests: which code points a one-character piece of a pattern
// accepts, as tables that the engines own and read while matching, plus the
// character predicates the engines share.
// Tests: tests/cpp/test_reference_chars.cpp (every test against the
// reference matcher's own predicates, over every code point of a set of
// classes), and through its users (the VM's and the automaton's tests).
//
// A CharTest answers code points below 256 from a 256-bit map. Above, it
// holds a few parts, any of which may accept: each is sorted, disjoint code
// point ranges (the members written in a class, the case-folded closure of a
// case-insensitive literal) and the Unicode properties it names (\w, \d, \s,
// \p{..}), negated as a whole for a negated class. Properties whose members
// above 255 are few (white space, punctuation, controls ...) are expanded
// into ranges once per process; the large ones (letters, digits, words) stay
// calls into the unicode module, whose own range tables they bisect. Alike
// parts are merged when built, so nearly every test has one part.
//
// Built at compile time from the tree's leaves (Lit, Any, Class, Predef,
// Prop, Grapheme, and alternations of them); matching never reads the tree.
// Cost: building is 256 predicate calls plus the ranges; a test below 256 is
// one bit, above it a bisection plus one call per property.
//
// Invariant: char_test(node).accepts(c) == single_accepts(node, c) for every
// code point; a test that answers otherwise changes what patterns match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ast.hpp"
#include "unicode.hpp"

namespace kordal {

// --- character predicates shared by the engines ---

inline bool ascii_word(char32_t c) {
  return ((c | 0x20) - 'a') < 26 || (c - '0') < 10 || c == '_';
}
inline bool word_char(char32_t c, bool ascii) {
  return ascii ? ascii_word(c) : unicode::is_word(c);
}
bool predef_test(Predef kind, bool ascii, char32_t c);
// Case-insensitive equality of two code points (full lowercase mappings).
bool chars_equal_ci(char32_t a, char32_t b);
// The code points chars_equal_ci takes as equal to c (c included),
// ascending.
std::vector<char32_t> case_class(char32_t c);

// --- from the tree, at compile time ---

bool class_matches(const CharClass& cc, char32_t c);
// Whether a node that consumes exactly one code point (is_single in
// program.hpp) accepts c. Reads the tree: for building tables, not matching.
bool single_accepts(const Node& node, char32_t c);

// --- the tables ---

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

struct CodeRange {
  char32_t lo = 0;
  char32_t hi = 0;  // inclusive
};

struct CharTest {
  enum class Shape : uint8_t { General, All, NotNewline };
  struct Prop {
    unicode::Pred pred = nullptr;
    bool negated = false;
  };
  // Code points above 255 that (ranges or props) accept, or with `negated`
  // those they reject.
  struct Part {
    std::vector<CodeRange> ranges;  // sorted, disjoint, above 255
    std::vector<Prop> props;
    bool negated = false;
    bool accepts(char32_t c) const;
  };

  // How `high` is answered: the common shapes without walking the parts.
  enum class HighKind : uint8_t { None, All, Prop, Range, Parts };

  uint64_t lo[4] = {0, 0, 0, 0};
  std::vector<Part> high;  // accepted above 255 when some part accepts
  HighKind high_kind = HighKind::None;
  Prop high_prop;                // HighKind::Prop: high is this one property
  CodeRange high_range;          // HighKind::Range: high is this one range,
  bool high_range_out = false;   // or every code point above 255 outside it
  Shape shape = Shape::General;  // lets loops scan with memchr or not at all

  bool accepts_low(uint32_t c) const { return (lo[c >> 6] >> (c & 63)) & 1; }
  bool accepts_high(char32_t c) const {
    switch (high_kind) {
      case HighKind::None:
        return false;
      case HighKind::All:
        return true;
      case HighKind::Prop:
        return high_prop.pred(c) != high_prop.negated;
      case HighKind::Range:
        return (c - high_range.lo <= high_range.hi - high_range.lo) != high_range_out;
      case HighKind::Parts:
        break;
    }
    for (const Part& p : high) {
      if (p.accepts(c)) return true;
    }
    return false;
  }
  bool accepts(char32_t c) const { return c < 256 ? accepts_low(c) : accepts_high(c); }
  // Whether no code point passes both tests; false when it cannot tell
  // (two large properties).
  bool disjoint(const CharTest& o) const;
  // Whether every code point it accepts is a word character (word_char with
  // `ascii`); false when it cannot tell.
  bool within_words(bool ascii) const;
};

// The test of a node for which is_single holds.
CharTest char_test(const Node& single);
// The test of one literal code point, case-insensitively or not.
CharTest char_test(char32_t c, bool ign);
// The test every code point passes.
CharTest any_char_test();

}  // namespace kordal
