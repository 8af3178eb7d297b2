// A lazy DFA for regular patterns (no backreference, lookaround, atomic group
// or repetition whose body can match empty), with leftmost-first semantics.
// Tests: tests/cpp/test_dfa.cpp (every scan against the reference matcher),
// test_corpus.cpp (the corpus, engine "dfa"), and fuzz_engines through the Regex.
//
// A forward scan finds where the leftmost-first match ends, a reverse scan
// from that end where it starts (the leftmost start s with [s, e) a match);
// the backtracking VM is needed only when groups are asked for. States are
// built on demand in a bounded per-thread cache; the compiled Dfa itself is
// immutable and shared by threads. See dfa.cpp for the construction.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "ast.hpp"
#include "simd.hpp"

namespace kordal {

class OneChar;

struct State;

// Tests, classes, forward and reverse NFAs (nfa.hpp).
struct Automaton;

// Code points that can begin a match (from the analysis): a forward scan
// with no match in progress jumps to the next of them.
class Prefilter;

struct StartSet {
  // A needle whose every occurrence begins a match candidate (a prefix
  // needle): a scan in the restart state skips to its next occurrence
  // rather than to the next code point of the set.
  const Prefilter* needle = nullptr;
  // With `needle`, for a pattern of bounded length: every match starting at
  // q holds an occurrence of one of `ends`' literals starting in
  // [q + ends_from, q + ends_to]; an occurrence of the needle without one
  // there begins no match and is passed over.
  const Prefilter* ends = nullptr;
  size_t ends_from = 0, ends_to = 0;
  bool lo[256] = {};
  bool high = false;  // whether code points >= 256 can
  int only = -1;      // the one code point below 256 that can, when it is alone
  // When no code point >= 256 can: the set as one range [lo, hi], or as up
  // to four code points (repeated to fill), so a vectorised scan finds them.
  // When code points >= 256 can: the range [lo, kRangeTop] where the set is
  // every code point from lo up.
  static constexpr int kRangeTop = 0x10FFFF;
  int range_lo = -1, range_hi = -1;
  // range_hi in units U (kRangeTop: the largest U).
  template <class U>
  U range_top() const {
    return U(std::min<uint32_t>(uint32_t(range_hi), std::numeric_limits<U>::max()));
  }
  int few = 0;
  std::array<uint8_t, 4> units{};
  // Where every match begins with a run of code points from one set (k >=
  // 2): a scan skips to where such a run begins, ahead of the other ways.
  simd::RunSet run;
  // The test of the first code point, which tells code points above 255
  // apart; for wide texts read as they are.
  const OneChar* first = nullptr;
  // Every match starts a line (at 0 or after a line feed) and line feeds
  // are rarer than the set's code points: a scan skips to line starts,
  // ahead of every other way.
  bool lines = false;
  // Fills only, range_* and few from lo and high.
  void summarise();
};

class Dfa {
 public:
  // nullptr when the tree holds something the automaton cannot express, or
  // its NFA would exceed the size cap. The tree must outlive the Dfa.
  static std::unique_ptr<const Dfa> build(const Node& root);
  // A Dfa for find_start only, whose reverse scan may begin inside the
  // pattern: the least start s >= lo with [s, e) the beginning of some match
  // (a thread that consumed it may still match). Ignores priorities, so it
  // is an upper bound of the starts a search reaching e leaves undecided.
  // nullptr as build, or when the pattern has no character test.
  static std::unique_ptr<const Dfa> build_prefixes(const Node& root);
  ~Dfa();

  enum class Outcome : uint8_t {
    Found,
    NotFound,
    GaveUp,   // the cache thrashed or the alphabet overflowed: use the VM
    Stopped,  // the poll hook cancelled (st.status says so)
  };

  // Where the leftmost-first match starting at or after s ends. Anchored:
  // only a match starting at s. Earliest: stop at the first position where
  // some match ends (then `end` is that position, not the match's end).
  // `starts`, when given, must hold every code point a match can begin with.
  Outcome find_end(State& st, size_t s, bool anchored, bool earliest, size_t& end,
                   const StartSet* starts = nullptr) const;
  // Both scans in one go: the leftmost-first match starting at or after s,
  // as [start, end). Found only when both scans found it.
  Outcome find_span(State& st, size_t s, bool anchored, size_t& start, size_t& end,
                    const StartSet* starts = nullptr) const;
  // find_span for matches starting in [s, last] only, where the scan may
  // stop early: NotFound once no thread of the scan is alive at some
  // position r > last, with `start` = r (no match starts in [s, r)), or
  // kNoPos when the scan reached the end. A match found may start after
  // `last`; it is still the leftmost-first one starting at or after s.
  Outcome find_span_within(State& st, size_t s, size_t last, size_t& start, size_t& end,
                           const StartSet* starts = nullptr) const;
  // The least start in [lo, e] of a match ending at e.
  Outcome find_start(State& st, size_t lo, size_t e, size_t& start) const;

  const Automaton& automaton() const { return *prog_; }
  uint64_t id() const { return id_; }

 private:
  Dfa() = default;
  Outcome span(State& st, size_t s, bool anchored, size_t last, size_t& start, size_t& end,
               const StartSet* starts) const;
  std::unique_ptr<Automaton> prog_;
  uint64_t id_ = 0;
};

// Bytes of states and transitions one cache may hold before it is cleared
// (both directions together). Settable for tests.
size_t dfa_cache_limit();
void set_dfa_cache_limit(size_t bytes);

}  // namespace kordal
