// The reverse search: a match found from a literal it must contain, for
// regular patterns that are a sequence P L S with L a case-sensitive
// literal. The sequence is the pattern's top level as it stands, else read
// flat: groups opened, and a counted repetition of a body longer than one
// character that must run once split into its first iteration and the rest
// (X{n,m} = X X{n-1,m-1}), so `(?:\d+\.){3}\d+` is P = \d+, L = `.`.
//
// The literal searcher finds the leftmost occurrence q of L at or after the
// least start lo not ruled out; P's reverse DFA, anchored at q, finds the
// least start s >= lo of a P-match ending at q; the whole pattern's DFA,
// anchored at s, finds the end. Text before the match that cannot hold L is
// never read by an automaton, which is what makes patterns such as e-mail
// addresses cheap. s is the leftmost match start only when one of two facts
// holds, and plan() takes a pattern only then:
//  - disjoint: nothing P can consume is L's first character. A match
//    starting before s would hold its own L after q and P's part over q,
//    which P cannot consume; and when no match starts at s, none starts in
//    [lo, q] either, so lo moves past q.
//  - loop prefix: P is one class C repeated without an upper bound (C{k,})
//    that holds every character of L; S is anything. A match starting at
//    m < s would have its L at some q' >= q (occurrences before q failed),
//    and [m, q) is a run of C no shorter than the run [s, q), a P-match
//    ending at q: so m >= s. And when no match starts at s, none starts in
//    (s, q] either (its P-part would extend back to s), so the next
//    occurrence takes over. Here lo never moves past a failed q, so a rest
//    that keeps failing makes the reverse scans repeat, which the guard
//    below bounds.
// An optional part before the literal, or alternatives whose literals nest,
// satisfy neither; the strategy then bounds forward scans by the prefixes'
// reverse DFA instead (strategy.cpp, find_in_windows).
//
// Cost: per occurrence whose preceding unit can end a P-match, a reverse
// scan over the P-part and a forward scan over the match (or the caller's
// check, which fills the groups in the same scan); any other occurrence
// costs one lookup, or nothing where the literal scan checks that unit too
// (P ends with one range of the units the text can hold). Scans can repeat
// over the same text (a loop prefix, or a rest that fails late), so the
// search gives up once its DFA steps pass twice the text it moved over plus
// kSlack, or once more than kDenseFails occurrences failed less than kDense
// code points apart each; the forward search takes the rest from the least
// start not ruled out, so the whole is linear.
//
// The search from the end (find_from_end) serves patterns every match of
// which ends at the end of the text, or just before a final line feed: the
// whole pattern's reverse DFA, anchored at each possible end, finds the least
// start; no other end needs a look. It reads the match and what lies before
// it up to where the reverse DFA dies, never the text before that: a failed
// search of `(a|aa)+$` costs one step, not an attempt per start.
//
// Tests: tests/cpp/test_strategy.cpp (forced over exhaustive texts, a grid
// of accepted shapes and near misses, steps counted) and fuzz/engines.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "analysis.hpp"
#include "ast.hpp"
#include "dfa.hpp"
#include "lazy.hpp"

namespace kordal {

class Prefilter;
struct State;

// Confirms a start the reverse scan found: whether a match starts at s and
// where it ends, by another engine (one that fills the groups on the way).
// GaveUp lets the forward DFA decide.
class StartCheck {
 public:
  virtual Dfa::Outcome at(State& st, size_t s, size_t& end) = 0;

 protected:
  ~StartCheck() = default;
};

class ReverseSearch {
 public:
  // nullptr unless the pattern has the shape and one of the facts holds.
  // `prefix_needle`: every match starts with a known literal, and the
  // forward search starts from those already.
  static std::unique_ptr<const ReverseSearch> plan(const Node& root, const Analysis& an,
                                                   bool prefix_needle);
  ~ReverseSearch();

  // Whether the literal every match holds may occur at or after `from` (a
  // candidate of the literal searcher counts): when it does not, no match
  // starts there. False also when the poll hook stopped the scan.
  bool may_occur(State& st, size_t from) const;
  // The literal every match holds, which the search starts from.
  const std::u32string& literal() const { return lit_; }

  enum class Outcome : uint8_t {
    Found,     // [start, end) is the leftmost-first match
    Checked,   // the same, confirmed by the check, whose engine left it in st
    NotFound,  // no match starts at or after lo
    GaveUp,    // the forward search must go on from `start`
    Stopped,   // the poll hook cancelled (st.status says so)
  };
  // The leftmost-first match starting at or after lo, with `whole` the
  // pattern's DFA. Earliest: `end` is the first position where the match
  // from `start` can end (enough to say that a match exists). `check`, when
  // given, confirms each start before the forward DFA would.
  Outcome find(State& st, const Dfa& whole, size_t lo, bool earliest, StartCheck* check,
               size_t& start, size_t& end) const;

  static constexpr uint64_t kSlack = 4096;
  static constexpr size_t kDenseFails = 64;
  static constexpr size_t kDense = 16;

 private:
  ReverseSearch() = default;
  template <class U>
  bool ends_prefix(U u) const {
    return u < 256 ? last_.lo[u] : last_.contains(char32_t(u));
  }
  template <class U>
  bool begins_rest(U u) const {
    return u < 256 ? next_.lo[u] : next_.contains(char32_t(u));
  }
  template <class U>
  Outcome run(State& st, const U* p, const Dfa& whole, const Dfa& pre, size_t lo, bool earliest,
              StartCheck* check, size_t& start, size_t& end) const;

  std::u32string lit_;
  bool disjoint_ = false;
  // What P's matches can end with: an occurrence after any other unit
  // ends no P-match (unless P matches empty, where nothing is ruled out).
  FirstSet last_;
  // What S's matches can begin with: an occurrence before any other unit
  // (or at the end) is no match's literal, unless S matches empty.
  FirstSet next_;
  // When P matches no empty string, occurrences are found together with
  // the unit before them by vector scans: one for the run of units from the
  // least below 256 it can end with, and where it can end with others, one
  // for units from the next of them (pair_rest_) or above 255 on.
  int pair_lo_ = -1, pair_hi_ = -1;
  int pair_rest_ = -1;
  // Else, where S begins with one range of units below 0xFF rarer than P's
  // ends, occurrences are found with the unit after them by a vector scan.
  int after_lo_ = -1, after_hi_ = -1;
  std::unique_ptr<const Prefilter> pf_;  // finds lit_
  std::unique_ptr<const Node> prefix_;   // P, referred to by its DFA
  Lazy<Dfa> prefix_dfa_;
};

// The leftmost-first match starting at or after lo of a pattern whose every
// match ends at the end of the text (`anchor` Text) or there or before a
// final line feed (Line), with `whole` the pattern's DFA: Found with [start,
// end), NotFound, GaveUp (the cache thrashed) or Stopped. With `need_end`
// false, `end` may be either possible end when both have a match from
// `start` (enough for a caller that runs an attempt from `start`).
Dfa::Outcome find_from_end(State& st, const Dfa& whole, size_t lo, EndAnchor anchor, bool need_end,
                           size_t& start, size_t& end);

}  // namespace kordal
