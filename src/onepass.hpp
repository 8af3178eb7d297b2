// The one-pass matcher: groups of an anchored attempt in one scan, for
// patterns where the next code point always decides the path.
// Tests: tests/cpp/test_onepass.cpp (every start against the reference matcher),
// test_corpus.cpp (the corpus, engine "onepass"), and fuzz_engines through the Regex.
//
// A pattern is one-pass when, from every point the automaton (nfa.hpp) can
// reach after consuming a code point, and for every class of the next code
// point, at most one thread consumes it. Then an attempt at a start never
// backtracks: it follows a transition table, writing capture slots as it
// goes. A match reached by a thread of lower priority than the consuming one
// is remembered (slots copied) and reported if the consuming thread dies;
// the latest one remembered always has the highest priority. That is the
// whole of leftmost-first semantics on such a pattern, so results equal the
// VM's.
//
// The table is built eagerly from the tree, once per pattern: a state is an
// NFA instruction reached after a consumed code point plus the context of
// that code point (line feed, word character); a transition on a class
// evaluates the assertions along each path with the contexts on both sides,
// which the state and the class fix. Building costs O(states x classes x
// NFA size), refused past kMaxStates states or 2M instructions visited, so
// the table is at most 1.8 MB and built in milliseconds. Code points below
// 256 have classes; those above share one when every test of the pattern
// takes them all alike and no assertion reads the Unicode word context
// (`.`, `[^"]`, ASCII literals). Otherwise an attempt meeting one gives up
// (the VM runs).
//
// Cost of an attempt: one table load per code point plus one store per
// capture slot written, and a copy of the slots per remembered match; no
// allocation. Only for patterns whose groups close at most once (histories
// are the spans).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "ast.hpp"
#include "thread_cache.hpp"

namespace kordal {

struct State;

// The matcher's scratch: the current and the fallback capture slots, in the
// object for patterns of up to 15 groups, else in the thread's (bounded by
// kMaxGroups, so never trimmed). One per search; not copyable.
class OnePassCache {
 public:
  size_t* slots(size_t n) {
    if (n <= kInline) return inline_;
    std::vector<size_t>& v = big_.get().slots;
    if (v.size() < n) v.resize(n);
    return v.data();
  }

 private:
  struct Big {
    std::vector<size_t> slots;
    void trim() {}
  };
  static constexpr size_t kInline = 64;
  size_t inline_[kInline];
  ThreadCache<Big> big_;
};

class OnePass {
 public:
  // nullptr unless the pattern is one-pass, fits the caps and has at most
  // kMaxGroups groups.
  static std::unique_ptr<const OnePass> build(const Node& root, size_t group_count);

  enum class Outcome : uint8_t {
    Found,
    NotFound,
    GaveUp,      // a code point without a class: use the VM
    OverBudget,  // the scan passed `budget` code points
    Stopped,     // the poll hook cancelled (st.status says so)
  };

  // The leftmost-first match starting exactly at s in a State just reset at
  // s. Found: st.pos is its end and every group that took part is closed in
  // st, as the VM would leave them. Otherwise st is untouched. A budget
  // (0: none) bounds the code points scanned. `cache` is the search's.
  Outcome match_at(State& st, OnePassCache& cache, size_t s, size_t budget = 0) const;

  static constexpr size_t kMaxStates = 1024;
  // Code points a stay loop walks before it searches for the run's end.
  static constexpr size_t kWalkFirst = 16;
  static constexpr size_t kMaxGroups = 128;

 private:
  OnePass() = default;
  template <class U>
  Outcome run(State& st, OnePassCache& cache, const U* text, size_t s, size_t budget) const;

  static constexpr uint8_t kMatchHere = 1;  // a match here outranks every thread
  static constexpr uint8_t kFallback = 2;   // a match here, if the consumer dies
  static constexpr uint8_t kSaves = 4;      // the consuming path writes slots

  struct Trans {
    int32_t next = -1;   // the state after consuming, or -1: no thread consumes
    uint8_t flags = 0;   // kMatchHere, kFallback, kSaves
    uint8_t nsaves = 0;  // slots the consuming path writes; the first two are in `save`
    // Unused entries repeat the first, so writing both is always right.
    std::array<uint16_t, 2> save{};
    uint32_t saves = 0;  // all of them, in `pool_`: [saves, saves_end)
    uint32_t saves_end = 0;
    uint32_t match = 0;  // the matching path's slots, in `pool_`
    uint32_t match_end = 0;
  };

  std::vector<Trans> table_;    // states x classes_
  std::vector<uint32_t> pool_;  // slot lists
  std::vector<int32_t> start_;  // by the masked context of the code point before the start
  // states x 256: consumed in place with nothing written, each step leaving
  // a match to fall back on when the state's stay_fallback_ is set, with the
  // slots of its stay_match_ (in `pool_`).
  std::vector<uint8_t> stay_;
  std::vector<uint8_t> stay_fallback_;
  std::vector<std::pair<uint32_t, uint32_t>> stay_match_;
  // States that stay on all but at most four units below 256 (`.*`, `[^"]*`)
  // skip a long run with a vector search for those units (and, in wider
  // text, for a unit of 256 or more, which ends the attempt anyway).
  struct Leave {
    bool vector = false;
    bool any = false;                // whether some unit below 256 leaves
    std::array<uint8_t, 4> units{};  // those that do, repeated to fill
  };
  std::vector<Leave> leave_;
  template <class U>
  size_t skip_stays(const Leave& l, const uint8_t* stay, const U* text, size_t from,
                    size_t stop) const;
  std::array<uint16_t, 256> low_{};
  // A code point below 256 that every test and context takes as it takes
  // each code point above 255 (whose class and stays are then its), or -1:
  // an attempt meeting one above 255 gives up.
  int32_t high_rep_ = -1;
  // Whether 0xFF is such a code point: a narrow copy (text.hpp) reads the same.
  bool narrow_alike_ = false;
  uint32_t classes_ = 0;
  uint32_t eot_ = 0;
  uint32_t final_nl_ = 0;
  uint8_t ctx_mask_ = 0;
  size_t slots_ = 0;  // 2 x (groups + 1)
};

}  // namespace kordal
