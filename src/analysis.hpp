// Facts about a compiled pattern that let the search skip text: required
// literals, first-character sets, anchoring, length bounds and whether the
// pattern is regular.
//
// One bottom-up pass over the tree computes, per node, its length bounds, a
// finite set of literals every match starts with (and one it ends with), and
// the best literal set every match contains, with the range of offsets at
// which it can begin. A literal marked exact is a whole match of its node, so
// concatenation keeps extending it (`colou?r` gives {color, colour}); sets
// that grow past fixed caps are shortened, and at worst dropped. Everything
// errs towards "could match here": a literal set that misses some match would
// make the search skip it, so a node the pass cannot describe yields no
// literal at all. Case-insensitive characters stand for their whole
// equivalence class under the matcher's equality (full lowercase mappings),
// never for a guess at it.
//
// Cost: linear in the tree times the literal-set caps (a few thousand
// literals of at most kMaxLitLen characters); recursion is one level per tree
// level, bounded by the parser's nesting limit.
#pragma once

#include <algorithm>
#include <array>
#include <bitset>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "ast.hpp"
#include "char_test.hpp"

namespace kordal {

inline constexpr uint64_t kUnbounded = UINT64_MAX;
// Literals are cut to this many characters: longer ones cost more to verify
// and hardly filter better.
inline constexpr size_t kMaxLitLen = 48;

// One position of a literal.
struct LitChar {
  uint32_t ch : 21 = 0;   // when fold: the smallest member of the class
  uint32_t fold : 1 = 0;  // stands for every code point case-insensitively equal to ch
  uint32_t key() const { return ch << 1 | fold; }
  bool operator==(const LitChar& o) const { return key() == o.key(); }
  auto operator<=>(const LitChar& o) const { return key() <=> o.key(); }
};

// The characters of a literal, held inline (at most kMaxLitLen), so that a
// set of literals costs one allocation.
class LitChars {
 public:
  LitChars() = default;
  LitChars(std::initializer_list<LitChar> cs) { append(cs.begin(), cs.end()); }
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const LitChar* begin() const { return a_.data(); }
  const LitChar* end() const { return a_.data() + n_; }
  const LitChar& operator[](size_t i) const { return a_[i]; }
  // Appends what fits; false when some of [first, last) was dropped.
  bool append(const LitChar* first, const LitChar* last) {
    const size_t room = kMaxLitLen - n_;
    const size_t len = size_t(last - first);
    const size_t take = std::min(room, len);
    std::copy(first, first + take, a_.data() + n_);
    n_ = uint8_t(n_ + take);
    return take == len;
  }
  // Prepends, keeping the last kMaxLitLen characters; false when some
  // characters were dropped from the front.
  bool prepend(const LitChar* first, const LitChar* last) {
    const size_t len = size_t(last - first);
    if (len >= kMaxLitLen) {
      std::copy(last - kMaxLitLen, last, a_.data());
      const bool whole = len == kMaxLitLen && n_ == 0;
      n_ = uint8_t(kMaxLitLen);
      return whole;
    }
    const size_t keep = std::min<size_t>(n_, kMaxLitLen - len);
    std::copy_backward(a_.data(), a_.data() + keep, a_.data() + len + keep);
    std::copy(first, last, a_.data());
    const bool whole = keep == n_;
    n_ = uint8_t(len + keep);
    return whole;
  }
  void pop_back() { --n_; }
  void pop_front() {
    std::copy(a_.data() + 1, a_.data() + n_, a_.data());
    --n_;
  }
  bool operator==(const LitChars& o) const {
    return std::equal(begin(), end(), o.begin(), o.end());
  }
  std::strong_ordering operator<=>(const LitChars& o) const {
    return std::lexicographical_compare_three_way(begin(), end(), o.begin(), o.end());
  }

 private:
  std::array<LitChar, kMaxLitLen> a_;
  uint8_t n_ = 0;
};

struct Literal {
  LitChars chars;
  // During extraction: the literal is a whole match of its node, not only a
  // prefix or suffix of one, so what follows may extend it.
  bool exact = true;
  bool operator==(const Literal&) const = default;
  auto operator<=>(const Literal&) const = default;
};

// Every match of a pattern contains one of `lits` (non-empty, each at least
// one character), beginning between min_off and max_off code points after
// the match start (max_off kUnbounded: anywhere after min_off).
struct Needle {
  std::vector<Literal> lits;
  uint64_t min_off = 0;
  uint64_t max_off = 0;
  bool is_prefix() const { return max_off == 0; }
};

// The code points that can begin a non-empty match: exact below 256, and
// above 255 either a short sorted list or "any". `nullable`: the pattern can
// match the empty string, so every position is a candidate.
struct FirstSet {
  std::bitset<256> lo;
  bool high = false;             // some code point above 255 can begin a match
  bool high_any = false;         // any code point above 255 may; else exactly `highs`
  std::vector<char32_t> highs;   // sorted; meaningful when high && !high_any
  std::optional<char32_t> only;  // the set is exactly this one code point
  bool nullable = false;

  bool empty() const { return !high && lo.none(); }
  bool contains(char32_t c) const;
};

enum class EndAnchor : uint8_t {
  None,
  Text,  // every match ends at the end of the text
  Line,  // at the end, or just before a final line feed
};

struct Analysis {
  uint64_t min_len = 0;  // code points
  uint64_t max_len = 0;  // kUnbounded when not bounded
  // No backreference, lookaround, atomic group, possessive quantifier or
  // repetition whose body can match empty: an automaton gives the same result.
  bool regular = false;
  bool anchored_start = false;  // every match starts at position 0
  // Every group number belongs to one group, outside any repetition that can
  // run twice: a group closes at most once per match, so its history is its
  // final span and need not be kept.
  bool flat_groups = false;
  // The pattern is this case-sensitive string and nothing else (no group, no
  // assertion): every match is an occurrence of it. Empty otherwise.
  std::u32string literal;
  // The pattern is an alternation of two or more non-empty case-sensitive
  // strings and nothing else, or such an alternation in one capturing
  // group: a match starting at some position is the first of them, in
  // pattern order, that occurs there. Empty otherwise.
  std::vector<std::u32string> alternatives;
  // The group around `alternatives`, whose span is the match's; 0: none.
  uint64_t alternatives_group = 0;
  EndAnchor anchored_end = EndAnchor::None;
  // Every match ends at a line end (before a line feed, or at the end of
  // the text): the pattern ends with `$`, `\Z` or `\z` in each branch.
  bool ends_lines = false;
  // Every match begins with one code point twice: the pattern begins with a
  // group of one code point test and a case-sensitive back reference to it.
  bool doubled = false;
  FirstSet first;
  // Every match starts with one of these; empty when unknown.
  std::vector<Literal> prefixes;
  // Every match ends with one of these; empty when unknown.
  std::vector<Literal> suffixes;
  // The literal set expected to filter best, with its offsets; may be the
  // prefixes.
  std::optional<Needle> needle;

  // Zero-width checks every match makes at its start before consuming
  // anything, which rule out starts without an attempt: a word assertion
  // (`lead`, with `lead_ascii` its word definition) and a positive
  // lookbehind whose every match ends with one literal (`behind`): the text
  // before every match start ends with it.
  // A leading multiline `^` is a lead too (LineStart): starts at the text's
  // start or after a line feed only.
  enum class Lead : uint8_t { None, WordBoundary, WordStart, LineStart };
  Lead lead = Lead::None;
  bool lead_ascii = false;
  std::optional<Literal> behind;

  // Every match begins with `run` code points (0, or 2 to kMaxRun) each of
  // which is in `run_lo` (below 256) or, when `run_high`, above 255: a start
  // is possible only where such a run begins.
  static constexpr size_t kMaxRun = 32;
  size_t run = 0;
  std::bitset<256> run_lo;
  bool run_high = false;
  // The set of each of the run's positions (run_lo and run_high are their
  // union).
  struct RunPos {
    std::bitset<256> lo;
    bool high = false;
  };
  std::array<RunPos, kMaxRun> run_pos{};

  // How the current search loop skips start positions (from `first`).
  enum class Skip : uint8_t { None, Byte, Char, Set };
  Skip skip = Skip::None;
  unsigned char byte = 0;  // Skip::Byte: every match starts with this ASCII character
  char32_t ch = 0;         // Skip::Char: every match starts with this other code point
  std::bitset<256> lo;     // Skip::Set: code points below 256 that can start a match
  bool high = false;       // Skip::Set: whether code points above 255 can
};

// Facts about an annotated tree.
Analysis analyze(const Node& root);

FirstSet first_set(const Node& root);
// The code points that can end a non-empty match, in the same form
// (`nullable`: the pattern can match the empty string).
FirstSet last_set(const Node& root);

// The position form of a code point compared case-insensitively or not.
LitChar lit_char(char32_t c, bool ign);

// Estimated share of text positions holding one of the code points of a
// literal position (a fixed table of typical text; only the order matters).
double char_frequency(const LitChar& c);

// The code points a literal position stands for, ascending.
std::vector<char32_t> members(const LitChar& c);

}  // namespace kordal
