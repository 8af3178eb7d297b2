// The search strategy of a compiled pattern: which engines a search runs,
// and in what order, decided once per pattern from the analysis.
//
// A Strategy holds the facts the searches skip text by (the analysis, the
// prefilter for the required literal) and its engines as separate parts: the
// backtracking VM (every pattern; its program is the Regex's), the lazy DFA
// and the one-pass table (regular patterns only), each built on its first
// use, once, however many threads ask at the same time (lazy.hpp), and the
// reverse searches (reverse.hpp) where they apply: from a literal, and from
// the end of the text for patterns anchored there. Every operation
// (is_match, find, anchored, full, partial) is a cascade written out in
// strategy.cpp: each engine answers found, not found or gave up, and that
// answer alone picks the next step. Nothing is switched off by clearing a
// pointer the other steps read.
//
// Adding an engine: one file for the engine, one part here (a Lazy, or a
// plan made at construction), and its place in the cascades of strategy.cpp.
//
// Cost: building a Strategy is constant beyond the analysis; the first
// search that needs the DFA or the one-pass table builds it (bounded by their
// own caps). A search costs what its engines cost, see strategy.cpp.
//
// Invariant: every cascade gives the same observable result as the VM alone
// trying each start in turn. tests/cpp/test_strategy.cpp forces each engine
// in turn over exhaustive small-alphabet texts against the reference matcher,
// and fuzz/engines.cpp does the same on fuzz cases.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analysis.hpp"
#include "dfa.hpp"
#include "lazy.hpp"
#include "status.hpp"

namespace kordal {

class LiteralAlternation;
class OneChar;
class OnePass;
class Prefilter;
class ReverseSearch;
struct Program;
struct State;

// The engine a search is made to use, for tests and fuzzers. Auto is the
// strategy's own choice; a forced engine is used wherever the pattern and
// the operation allow it, and the VM does the rest. Process-wide.
enum class Engine : uint8_t {
  Auto,
  Vm,       // the VM alone at every start, with the skip rules
  OnePass,  // the one-pass matcher for every attempt it can make
  Dfa,      // the DFA from the first start on, the VM only for groups
  Reverse,  // the reverse searches (from a required literal, from the end), else as Dfa
};
inline constexpr Engine kAllEngines[] = {Engine::Auto, Engine::Vm, Engine::OnePass, Engine::Dfa,
                                         Engine::Reverse};
void force_engine(Engine e);
Engine forced_engine();
const char* engine_name(Engine e);

class Strategy {
 public:
  // `tree` and `program` must outlive the Strategy. The analysis's needle
  // moves into the prefilter.
  Strategy(const Node& tree, const Program& program, Analysis analysis, size_t group_count);
  ~Strategy();
  Strategy(const Strategy&) = delete;
  Strategy& operator=(const Strategy&) = delete;

  enum class Op : uint8_t {
    IsMatch,   // whether a match starts at or after s0 (no spans)
    Find,      // the leftmost-first match starting at or after s0
    Anchored,  // the match starting at s0
    Full,      // the match starting at s0 and ending at the end
    Partial,   // the first start whose match reaches or is cut by the end
  };
  struct Answer {
    bool found = false;
    size_t start = 0;   // Partial: where the result starts
    bool full = false;  // Partial: whether it is a full match
  };
  // On Find, Anchored and Full, st.caps holds the match with group 0 set.
  Status search(Op op, State& st, size_t s0, const SearchControl& ctl, Answer& out) const;
  const Analysis& analysis() const { return an_; }
  // For streams: the reverse scan that bounds the starts a search reaching
  // the end of what has arrived leaves undecided (Dfa::build_prefixes);
  // null when the pattern is not regular.
  const Dfa* prefixes() const;

 private:
  friend struct Search;
  const Dfa* dfa() const;
  const OnePass* onepass() const;

  const Node& tree_;
  const Program& program_;
  Analysis an_;
  size_t group_count_ = 0;
  std::unique_ptr<const Prefilter> prefilter_;  // the required literal, if any
  // The literal that ends right before every match (Analysis::behind), if any.
  std::unique_ptr<const Prefilter> behind_;
  size_t behind_len_ = 0;
  // The pattern is one string, case-insensitive in places, and the
  // prefilter's one literal: its occurrences are the matches.
  bool literal_ = false;
  // The pattern is one code point test (no groups), found by a scan for it.
  std::unique_ptr<const OneChar> one_char_;
  // The test of every match's first code point, where the first set takes
  // code points above 255 and the test tells them apart (`\p{Lu}\p{Ll}+`):
  // the scans for a start read wide texts with it.
  std::unique_ptr<const OneChar> first_char_;
  // The pattern is an alternation of strings, matched by the prefilter and it.
  std::unique_ptr<const LiteralAlternation> alternation_;
  // Without groups, an attempt of a pattern that leads with a greedy loop is
  // a scan for the VM, whose failure skips the loop's run; the one-pass
  // matcher would scan it twice.
  bool vm_scans_ = false;
  // The leading word assertion and the first code point are checked in one
  // pass over word runs and the gaps between them (the first set is broad).
  bool hop_words_ = false;
  // The program's lead loop accepts word characters only: inside the run a
  // failed attempt scanned, the leading word assertion cannot hold.
  bool word_runs_ = false;
  // 1 when the program begins with the leading word assertion itself: an
  // attempt at a start the skip has checked it at begins past it. Else 0.
  uint32_t lead_entry_ = 0;
  StartSet starts_;                        // where the DFA's matches can begin
  std::unique_ptr<const Prefilter> ends_;  // starts_.ends, if any
  bool skips_ = false;                     // whether `starts_` rules anything out
  Lazy<Dfa> dfa_;
  Lazy<Dfa> prefixes_;
  Lazy<OnePass> onepass_;
  std::unique_ptr<const ReverseSearch> reverse_;  // null when it does not apply
  // Without reverse_, a regular pattern's needle at no fixed distance from
  // the start bounds the forward scans by the prefixes' reverse DFA.
  bool inner_window_ = false;
  // With reverse_: the needle is far rarer than the reverse search's
  // literal, so its windows come first unless a walk finds it dense.
  bool windows_first_ = false;
  // A pattern that starts lines, with a one-unit needle at no fixed
  // distance: the needle's windows, unless a walk finds the line starts
  // cheaper (the needle on every line).
  bool windows_or_lines_ = false;
  // A regular pattern with no needle whose matches end at line ends:
  // windows from line end to line end, each passed over
  // unless the code point before it is in `line_last_` (below 256) or, above
  // 255, `line_last_high_` allows it.
  bool line_windows_ = false;
  std::bitset<256> line_last_;
  bool line_last_high_ = false;
  // A literal every match ends with, much rarer than the needle: a find
  // ends at once when none occurs ahead. Null when it would not pay.
  std::unique_ptr<const Prefilter> required_;
};

}  // namespace kordal
