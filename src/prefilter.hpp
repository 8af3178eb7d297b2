// Literal searchers: where in a text a required literal occurs, so that the
// engines look only there.
// Tests: tests/cpp/test_prefilter.cpp and test_analysis.cpp, and the fuzz_prefilter
// target (a searcher never rules out a match).
//
// Texts are read in place as arrays of 1-, 2- or 4-byte code units (one code
// point each); every searcher is a template over the unit type and only sees
// the units a text of that width can hold (a literal character beyond the
// width cannot occur, so its literal is dropped, and a needle with no
// literal left can never be found).
//
// - UnitScanner: the next unit of a set. Up to four units: the vector scans
//   of simd.hpp (AVX2, SSE2 or NEON); larger sets: a table lookup per unit.
// - LiteralSearcher: one literal whose positions may stand for several units
//   (a case-insensitive character is its whole equivalence class). The two
//   rarest positions are compared together over whole vectors and the rest
//   verified where both hold; in 1-byte text memchr jumps between the rarest
//   byte's occurrences while they stay rare. A one-position literal is a
//   UnitScanner.
// - A few (up to four) case-sensitive literals of three units or more: a LiteralSearcher
//   each, the later ones searched only before the best occurrence so far,
//   so each reads a stretch of text once per literal. In 2- and 4-byte text,
//   where each literal's rarest position is a single unit, one scan for any
//   of those units finds them all while its hits stay sparse.
// - BitSearcher: a few short literals (64 characters in all), bit-parallel
//   (shift-and): one dependent shift, or and and per unit. Exact for every
//   kind of position.
// - PackedSearcher: up to 32 literals where the CPU has a byte shuffle
//   (AVX2, NEON): a vector fingerprint test of 32 or 16 starts at once (of
//   the units' low bytes in wider text), verified where it holds.
// - MultiSearcher: a larger set, as a dense Aho-Corasick automaton over unit
//   classes; starts are first filtered by a hashed set of the
//   literals' first bytes and the trie walked from those that pass. A set too large for the
//   automaton's budget is cut to shorter literals, which still occur wherever the full ones do; a
//   set that mixes case-sensitive and insensitive characters is searched as if all were
//   insensitive. Both give extra candidates, never fewer.
// The set searchers skip ahead with a UnitScanner while no literal is under
// way, if the first units are few, until the skips stop paying.
//
// Cost: UnitScanner, BitSearcher and MultiSearcher are linear in the text
// scanned; LiteralSearcher is linear plus, per place where its two rare
// positions both hold, at most kMaxLitLen comparisons. Every find answers the
// leftmost occurrence starting at or after `from` (or, where said above, a
// candidate no later than it), and never misses one: a missed occurrence would
// make the search skip a match.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "simd.hpp"

namespace kordal {

inline constexpr size_t kNoPos = SIZE_MAX;

template <class U>
class UnitScanner {
 public:
  UnitScanner() = default;  // finds nothing
  // The units among `cps` that a text of this width can hold.
  explicit UnitScanner(const std::vector<char32_t>& cps);
  // Every code point of a first set that a text of this width can hold.
  explicit UnitScanner(const FirstSet& f);

  // The first i in [from, n) with t[i] in the set, or kNoPos.
  size_t find(const U* t, size_t n, size_t from) const;
  bool contains(U u) const;
  bool empty() const { return mode_ == Mode::None; }
  // At most four units: found with vector compares.
  bool few() const { return mode_ == Mode::One || mode_ == Mode::Few; }

 private:
  enum class Mode : uint8_t { None, One, Few, Table };
  void add_lo(uint32_t c) { table_[c >> 6] |= uint64_t(1) << (c & 63); }
  void finish();
  Mode mode_ = Mode::None;
  std::array<U, 4> few_{};           // Few: the units, the last repeated to fill
  uint8_t count_ = 0;                // units listed in few_
  std::array<uint64_t, 4> table_{};  // units below 256
  bool high_any_ = false;            // every unit above 255
  std::vector<U> highs_;             // else these, sorted
};

// The units one literal position accepts in a text of some width.
template <class U>
struct PosSet {
  std::array<U, 4> u{};  // the first `n` are the units; the last is repeated to fill
  uint8_t n = 0;
  bool has(U c) const { return c == u[0] || c == u[1] || c == u[2] || c == u[3]; }
};

template <class U>
class LiteralSearcher {
 public:
  // `lit` non-empty; a literal with a position no unit of this width holds
  // is never found.
  explicit LiteralSearcher(const Literal& lit);
  size_t find(const U* t, size_t n, size_t from) const;
  size_t size() const { return pos_.size(); }
  bool never() const { return never_; }
  // The rarest position's offset and unit, when that position holds one
  // unit only and the literal is longer than one.
  bool rare_unit(size_t& offset, U& unit) const {
    if (never_ || pos_.size() < 2 || pos_[r0_].n != 1) return false;
    offset = r0_;
    unit = pos_[r0_].u[0];
    return true;
  }
  // Whether the literal occurs at s of t[0, n).
  bool at(const U* t, size_t n, size_t s) const {
    return s <= n && pos_.size() <= n - s && verify(t + s);
  }

 private:
  bool verify(const U* p) const;
  std::vector<PosSet<U>> pos_;
  size_t r1_ = 0, r2_ = 0;  // the rare positions (r1 < r2 when the literal is longer than one)
  size_t r0_ = 0;           // the rarest of the two
  bool never_ = false;
  std::vector<U> units_;  // the literal, when each position holds one unit
  UnitScanner<U> one_;    // one-position literals
};

// Per-unit 64-bit masks for any width: a direct table below 256, and pages
// of 256 entries above, allocated only where some unit has a mask.
template <class U>
class UnitMasks {
 public:
  void set(char32_t u, uint64_t bits);
  uint64_t get(U u) const {
    if constexpr (sizeof(U) == 1) {
      return lo_[u];
    } else {
      if (u < 256) return lo_[u];
      const size_t page = size_t(u) >> 8;
      if (page >= dir_.size()) return 0;
      return pages_[size_t(dir_[page]) * 256 + (u & 0xFF)];
    }
  }

 private:
  std::array<uint64_t, 256> lo_{};
  std::vector<uint32_t> dir_;    // page number -> index into pages_ (0: all zero)
  std::vector<uint64_t> pages_;  // 256 entries per page
};

// A few short literals (64 characters in all) searched bit-parallel: one bit
// per literal position, advanced by a shift and masked by the unit's bits,
// so each unit costs a shift, an or and an and. Exact for every kind of
// position, case-insensitive ones included.
template <class U>
class BitSearcher {
 public:
  static bool small_enough(const std::vector<Literal>& lits);
  explicit BitSearcher(const std::vector<Literal>& lits);
  size_t find(const U* t, size_t n, size_t from) const;
  bool never() const { return first_.empty(); }

 private:
  UnitMasks<U> masks_;
  uint64_t starts_ = 0;            // the first bit of every literal
  uint64_t ends_ = 0;              // the last bit of every literal
  std::array<uint8_t, 64> len_{};  // literal length by its last bit
  size_t max_len_ = 0;
  UnitScanner<U> first_;
};

template <class U>
class MultiSearcher {
 public:
  // Budget of the dense transition table, in entries.
  static constexpr size_t kMaxTable = size_t(1) << 20;
  explicit MultiSearcher(const std::vector<Literal>& lits);
  size_t find(const U* t, size_t n, size_t from) const;
  bool never() const { return first_.empty(); }

 private:
  uint32_t class_of(U u) const;
  bool build(const std::vector<std::vector<std::vector<U>>>& lits, size_t cut);
  std::array<uint16_t, 256> lo_class_{};
  std::vector<std::pair<U, uint16_t>> hi_class_;  // sorted; units above 255
  uint32_t classes_ = 1;                          // class 0: units in no literal
  // trans_[row + c]: the next state's row (state index times classes_,
  // below kMaxTable), its depth in the trie (capped at kDepthMask) from bit
  // kDepthShift, and kEnds when a literal ends there; the root's row is 0.
  // match_len_[state index]: the longest literal ending there, 0 if none.
  // No states: the literals were cut to their first units.
  static constexpr uint32_t kEnds = uint32_t(1) << 31;
  static constexpr uint32_t kRow = (uint32_t(1) << 20) - 1;
  static constexpr unsigned kDepthShift = 20;
  static constexpr uint32_t kDepthMask = 0x7FF;
  static_assert(kMaxTable <= size_t(kRow) + 1 && kMaxLitLen < kDepthMask);
  std::vector<uint32_t> trans_;
  std::vector<uint16_t> match_len_;
  uint32_t states_ = 0;
  size_t max_len_ = 0;
  size_t cut_ = 0;        // the literals' length in the automaton, at most
  UnitScanner<U> first_;  // the first units of the literals

  // Literals of two units or more: only every stride_-th position is
  // sampled, and where a hash of the low bytes of the w_ units there (up to
  // 8; ASCII and Latin-1 case merged by setting bit 5, which only adds
  // candidates) is in sampled_, which holds those of every literal at every
  // offset below the stride, each start of the sample's window whose own w_
  // bytes are in starts_ (those at offset 0) is walked in the trie. Long
  // literals make long strides.
  // w_ == 0: no filter.
  struct KeyFilter {
    std::vector<uint64_t> words;
    unsigned shift = 0;
    void build(const std::vector<uint64_t>& keys, size_t bits_per_key);
    bool has(uint64_t x) const;  // never false for a key built in
  };
  void build_prefix_filter(const std::vector<std::vector<std::vector<U>>>& lits);
  bool starts_at(const U* t, size_t n, size_t j) const;
  size_t find_by_prefix(const U* t, size_t n, size_t from) const;
  unsigned w_ = 0;
  size_t stride_ = 1;
  uint64_t key_mask_ = 0;
  KeyFilter sampled_, starts_;
};

// A few dozen literals, found by the packed vector search of simd.hpp
// (fingerprints of their first one to four units' low bytes in eight
// buckets) and verified where a fingerprint holds. Exact.
template <class U>
class PackedSearcher {
 public:
  static constexpr size_t kMaxLiterals = 32;
  // Whether the set suits it: 2 to kMaxLiterals literals and vectors to run
  // it on.
  static bool suits(const std::vector<Literal>& lits);
  explicit PackedSearcher(const std::vector<Literal>& lits);
  size_t find(const U* t, size_t n, size_t from) const;
  bool never() const { return lits_.empty(); }

 private:
  bool verify(const std::vector<PosSet<U>>& lit, const U* t, size_t n, size_t at) const;
  simd::PackedTables tab_;
  std::vector<std::vector<PosSet<U>>> lits_;     // those a text of this width can hold
  std::array<std::vector<uint16_t>, 8> bucket_;  // indices into lits_
};

// A pattern that is exactly an alternation of case-sensitive strings (see
// Analysis::alternatives), matched without an engine: the needle finds the
// candidate starts, and at a start the match is the first alternative, in
// pattern order, that occurs there. The alternatives form a trie whose nodes
// hold the first alternative ending there, so checking a start walks one
// path: at most the longest alternative's length in steps, each a search
// among one node's children, however many alternatives there are.
class LiteralAlternation {
 public:
  static constexpr size_t kMaxAlternatives = size_t(1) << 20;
  static bool suits(const std::vector<std::u32string>& alts);
  explicit LiteralAlternation(std::vector<std::u32string> alts);
  // The length of the match starting at q, or kNoPos if none starts there.
  template <class U>
  size_t match_at(const U* t, size_t n, size_t q) const;
  size_t shortest() const { return shortest_; }
  // Whether some alternative can begin with unit u (an empty one begins
  // everywhere): a short text is walked with this check, no needle scan.
  template <class U>
  bool may_start(U u) const {
    return shortest_ == 0 || (u < 256 ? first_lo_[size_t(u)] : first_high_);
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  struct TrieNode {
    uint32_t first = 0;     // its children: edge_ch_/edge_to_[first, first + count)
    uint32_t count = 0;     // sorted by character
    uint32_t best = kNone;  // the first alternative, in pattern order, ending here
  };
  std::vector<TrieNode> nodes_;  // the root is nodes_[0]
  std::vector<char32_t> edge_ch_;
  std::vector<uint32_t> edge_to_;
  size_t shortest_ = 0;
  std::array<bool, 256> first_lo_{};
  bool first_high_ = false;  // some alternative begins above 255
};

// Whether each code point below 256 is a word character: [0] by the
// Unicode definition, [1] ASCII-only.
extern const std::array<std::array<uint8_t, 256>, 2> kWordTables;
inline const std::array<uint8_t, 256>& word_table(bool ascii) {
  return kWordTables[ascii];
}

// word_char(u, ascii) for a code unit, with `tab` the word_table(ascii).
template <class U>
inline bool word_unit(const uint8_t* tab, bool ascii, U u) {
  if constexpr (sizeof(U) == 1) {
    return tab[u] != 0;
  } else {
    return u < 256 ? tab[u] != 0 : !ascii && unicode::is_word(u);
  }
}

// The first i in [from, n) at which the unit t[i] is a word character and
// t[i - 1] is not, or the other way round (nothing before the text is a word
// character), or n: where a word assertion can next hold. One table lookup
// per unit below 256; `tab` is the word_table(ascii).
template <class U>
size_t next_word_edge(const U* t, size_t n, size_t from, const uint8_t* tab, bool ascii) {
  if (from >= n) return n;
  const bool prev = from > 0 && word_unit(tab, ascii, t[from - 1]);
  size_t i = from;
  while (i < n && word_unit(tab, ascii, t[i]) == prev) ++i;
  return i;
}

// Searches one needle in texts of any width. The searcher for a width is
// built at its first use and kept; building and searching are thread-safe.
class Prefilter {
 public:
  explicit Prefilter(Needle needle);
  ~Prefilter();
  Prefilter(const Prefilter&) = delete;
  Prefilter& operator=(const Prefilter&) = delete;

  const Needle& needle() const { return needle_; }

  // Every unit of every literal is below 0xFF: the 1-byte searcher over a
  // text's NarrowCopy finds exactly what the wide one finds in the text.
  bool narrowable() const { return narrowable_; }

  // The leftmost start >= from of an occurrence of one of the needle's
  // literals (or, for a very large set, of a prefix of one), or kNoPos.
  template <class U>
  size_t find(const U* t, size_t n, size_t from) const;

  // The same, among occurrences starting before `until` only (kNoPos if
  // none); reads the text only as far as such an occurrence can reach, so a
  // long text can be searched in slices.
  template <class U>
  size_t find_before(const U* t, size_t n, size_t from, size_t until) const;

  // The match starts at or after s that the next occurrence allows: every
  // match starting at or after s starts in some window that successive calls
  // return, each call continuing after the previous window's `hi`. Returns
  // false when no match can start at or after s. The window is
  // [max(s, p - max_off), p - min_off] for the first occurrence p >= s +
  // min_off. Not for partial matching, where the text may end before the
  // literal does.
  template <class U>
  bool next_window(const U* t, size_t n, size_t s, size_t& lo, size_t& hi) const;

  // For partial matching with a prefix needle: a match that the end of the
  // text cuts short may begin where only a prefix of a literal fits, so the
  // last partial_tail() start positions before the end are candidates too,
  // besides the occurrences. An inner needle rules out nothing there.
  size_t partial_tail() const;

 private:
  template <class U>
  struct Impl;
  template <class U>
  const Impl<U>& impl() const;

  Needle needle_;
  size_t longest_ = 0;  // characters in the needle's longest literal
  bool narrowable_ = true;
  // Built on first use per width; the flags spare later calls the once-flags,
  // which touch thread-local storage on every call.
  mutable std::once_flag once1_, once2_, once4_;
  mutable std::atomic<bool> ready1_{false}, ready2_{false}, ready4_{false};
  mutable std::unique_ptr<Impl<uint8_t>> impl1_;
  mutable std::unique_ptr<Impl<uint16_t>> impl2_;
  mutable std::unique_ptr<Impl<uint32_t>> impl4_;
};

}  // namespace kordal
