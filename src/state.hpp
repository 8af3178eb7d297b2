// The mutable record of one search: the haystack, the cursor, the captures and
// the undo trail that makes choice points cheap.
//
// The haystack is a Text (text.hpp): code units of the caller's string read
// in place, 1, 2 or 4 bytes each, never converted. A UTF-8 haystack from C++
// is read in place when ASCII and decoded once into `chars` otherwise. The
// VM reads the code units as an array of their own type (with_units); the
// search loops convert the positions they report with `offset`, which walks
// from the last position converted (ByteCursor), so nothing proportional to
// the text is built.
//
// Choice points never copy captures. Every write to `caps`, `history` or
// `open` pushes its inverse on `trail`; a Snapshot is the trail length plus
// the cursor, and restoring undoes the trail back to that length. A snapshot
// therefore costs O(1) and a restore O(writes since the snapshot), whatever
// the number of groups. If an undo is skipped or applied twice the captures
// of a later path are corrupted, so only the helpers below touch the trail.
// A group's `caps` entry is always the last entry of its `history` (unset when
// that is empty), so undoing a close needs no saved span: a trail entry is 16
// bytes. When `flat` is on (a pattern whose groups close at most once per
// match) histories are not kept at all and undoing a close unsets the group.
//
// The `open` stack (groups entered but not closed) is read only by partial
// matching, so it is maintained only while `partial` is on.
//
// The captures, histories, `open` and the trail are private: engines read
// them and write them only through the mutators below, which keep the trail
// whole. What only one engine needs (the VM's stack and memo, the one-pass
// slots, the DFA's states) lives in that engine's own cache, not here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "match_obj.hpp"
#include "status.hpp"
#include "text.hpp"

namespace kordal {

// A capture span in code-point indices; start == kUnset when unset.
struct CpSpan {
  size_t start = kUnset;
  size_t end = kUnset;
  bool set() const { return start != kUnset; }
  bool operator==(const CpSpan&) const = default;
};

struct OpenEntry {
  size_t group;
  size_t start;
  bool operator==(const OpenEntry&) const = default;
};

struct Snapshot {
  size_t mark;  // trail length
  size_t pos;
};

struct PartialCandidate {
  std::vector<CpSpan> caps;
  std::vector<OpenEntry> open;
  size_t pos = 0;
  size_t set_count = 0;
};

// Engine steps, and the code units they covered, of the two searches a
// pattern may use: [0] windows (a needle's, or line ends'), [1] the reverse
// search from the pattern's own literal, or the start loop; whether the
// second is in use, and whether the choice is settled for this walk.
struct InnerCosts {
  struct Cost {
    uint64_t steps = 0, units = 0;
  };
  Cost cost[2];
  bool second = false;
  bool settled = false;
};

// The farthest occurrence of the start loop's needle that this walk has
// found (strategy.cpp). A needle that may begin anywhere past its least
// offset admits every start up to that occurrence, so later searches of the
// walk, each starting past the previous match, need not scan again.
struct NeedleReach {
  const void* needle = nullptr;  // whose occurrence `at` is
  const void* data = nullptr;    // and in which text
  size_t n = 0;
  size_t at = 0;
  size_t probe = 0;  // how far ahead the next scan looks first; 0: not yet
  uint32_t scans = 0;
  bool of(const void* nd, const void* d, size_t len) const {
    return needle == nd && data == d && n == len;
  }
};

struct State {
  State() = default;
  State(State&&) = default;
  State& operator=(State&&) = default;
  ~State();  // hands its arrays to the next State built on this thread

  // Whether the destructor hands the arrays on. Off for the thread's pooled
  // State, which is destroyed at thread exit, possibly after the arrays'
  // keeper (thread-local objects die in reverse order of first use).
  bool recycle = true;

  // --- the haystack ---
  Text text;                    // what the matcher reads
  std::string_view utf8;        // the UTF-8 haystack of a search made from C++
  bool from_utf8 = false;       // whether `utf8` is the haystack
  std::vector<char32_t> chars;  // decoded storage of a non-ASCII UTF-8 haystack
  size_t n = 0;                 // number of code points
  bool ascii = true;            // every code point is ASCII: offsets are indices
  mutable ByteCursor cursor;    // byte offsets of reported positions

  // --- the current path ---
  std::optional<PartialCandidate> best_partial;
  size_t pos = 0;
  size_t start = 0;
  size_t group_count = 0;
  bool partial = false;
  bool flat = false;  // histories are the caps: `history` is not kept
  // Set by the VM whenever an answer depended on where the text ends (a read
  // at the end, or `$ \Z \z \b \B \M` evaluated there); never cleared by
  // it. A stream's search waits for more text when it is set.
  bool hit_end = false;

  // --- control of the running search (set by the search driver) ---
  Status status = Status::Ok;
  uint64_t steps = 0;  // engine steps in this search, for tests of linearity
  // Code units the DFA passed over by start-state skips (counted in steps
  // too), for tests that skipping goes on where it pays.
  uint64_t skipped = 0;
  // What the searches of this walk cost a pattern that may be searched
  // from its needle's windows or by the reverse search (strategy.cpp).
  InnerCosts inner;
  NeedleReach reach;
  // An attempt that starts here may not end here: the VM backtracks past an
  // empty match at this position (the rule that keeps iteration moving after
  // an empty match). kUnset: no such position. Only the VM honours it, so a
  // search with it set runs on the VM alone.
  size_t no_empty_at = kUnset;
  const SearchControl* ctl = nullptr;

  char32_t at(size_t i) const { return text.at(i); }
  size_t size() const { return n; }
  // Byte offset of code point i (i <= n) in the UTF-8 form of the haystack.
  size_t offset(size_t i) const { return cursor.byte_of(i); }
  // Code-point index of a byte offset that is on a character boundary (or the
  // length); clamps to the length.
  size_t index_of_byte(size_t b) const;

  // The captures of the current path: group_count + 1 spans, each the last
  // of its group's history (unset when that is empty).
  const std::vector<CpSpan>& caps() const { return caps_; }
  const std::vector<CpSpan>& history(size_t g) const { return history_[g]; }
  // Groups entered and not closed, kept only while `partial` is on.
  const std::vector<OpenEntry>& open() const { return open_; }
  // The trail's length: restoring to it undoes every later capture write.
  size_t mark() const { return trail_.size(); }

  Snapshot snapshot() const { return Snapshot{trail_.size(), pos}; }
  void restore(const Snapshot& s) {
    undo_to(s.mark);
    pos = s.pos;
  }
  void undo_to(size_t mark);

  // Resets for an attempt at start position s.
  void reset(size_t s);
  // reset() between attempts of one search that is not partial and has not
  // matched yet: the captures on the trail are all an attempt wrote.
  void restart(size_t s) {
    pos = s;
    start = s;
    if (trail_.empty()) return;
    if (flat) {
      for (const TrailEntry& e : trail_) caps_[e.group] = CpSpan{};
      trail_.clear();
      return;
    }
    undo_to(0);
  }
  // After a successful attempt the trail is only needed to reset the State:
  // a large one is released at once, before the result is copied out.
  void drop_large_trail();

  // Group close: sets caps[g] and appends to its history.
  void close_group(size_t g, size_t s, size_t e) {
    caps_[g] = CpSpan{s, e};
    trail_.push_back(TrailEntry{uint32_t(g), flat ? Undo::CloseFlat : Undo::Close, 0});
    if (!flat) history_[g].push_back(CpSpan{s, e});
  }
  void open_push(size_t g, size_t s) {
    trail_.push_back(TrailEntry{uint32_t(g), Undo::OpenPush, 0});
    open_.push_back(OpenEntry{g, s});
  }
  // Pops the top of `open` if it belongs to group g.
  void open_pop_if(size_t g) {
    if (open_.empty() || open_.back().group != g) return;
    trail_.push_back(TrailEntry{uint32_t(g), Undo::OpenPop, open_.back().start});
    open_.pop_back();
  }
  // The whole match [s, e), found by an engine that reports no groups. Group
  // 0 is written outside the trail: reset clears it.
  void set_match(size_t s, size_t e) {
    caps_[0] = CpSpan{s, e};
    if (!flat) history_[0].push_back(CpSpan{s, e});
  }

  // A consuming node ran out of input in partial mode.
  void record_partial_block();

 private:
  friend class StateLease;
  friend State build_state(size_t, std::string_view);
  friend State build_state(size_t, const Text&);
  struct Spare;
  static Spare& spare();
  // Everything but the haystack, for a new State or a used one.
  void init_paths(size_t group_count);
  void reinit(size_t group_count);
  // Releases what a search grew beyond the bounds kept between searches.
  void trim();

  // Every write to caps_, history_ or open_ pushes its inverse on trail_
  // (set_match excepted, see there), which is why they are private.
  enum class Undo : uint8_t { Close, CloseFlat, OpenPush, OpenPop };
  struct TrailEntry {
    uint32_t group;
    Undo kind;
    size_t start;  // OpenPop: the popped entry's start
  };
  std::vector<CpSpan> caps_;                  // group_count + 1 entries
  std::vector<std::vector<CpSpan>> history_;  // group_count + 1 lists
  std::vector<OpenEntry> open_;
  std::vector<TrailEntry> trail_;
  bool trail_dropped_ = false;  // the trail was released after a match: reset clears all
};

// A State for one search call: the thread's pooled State, reset in place,
// when it is free (a search started from within a search, through the poll
// hook, gets a fresh one). Reusing it spares every call the setting up and
// tearing down of the per-path arrays; arrays grown beyond a bound are
// released when the lease ends, so one huge search does not pin memory.
class StateLease {
 public:
  // One constructor per form of haystack, not one taking an AnyText: a
  // branch in here costs each search an extra thread-local lookup.
  StateLease(size_t group_count, std::string_view utf8);
  StateLease(size_t group_count, const Text& text);
  StateLease(const StateLease&) = delete;
  StateLease& operator=(const StateLease&) = delete;
  ~StateLease();
  State& operator*() const { return *st_; }
  State* operator->() const { return st_; }

 private:
  State* st_;
  bool* busy_ = nullptr;  // the pool's flag when the State is the pool's, else null
};

// A fresh State for `text` (well-formed UTF-8) and a pattern with
// `group_count` capturing groups. The text must outlive the State.
State build_state(size_t group_count, std::string_view text);
// The same for a Text read in place; its storage must outlive the State.
State build_state(size_t group_count, const Text& text);

}  // namespace kordal
