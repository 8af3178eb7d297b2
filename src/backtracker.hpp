// The backtracking VM: runs a Program at one start position.
// Tests: tests/cpp/test_state.cpp (hand-built trees), test_vm_differential.cpp and
// test_linear.cpp (against the reference matcher; step counts), test_corpus.cpp (the
// corpus, engine "backtracker"), and the fuzz_engines target through the Regex.
//
// Depth-first search over the program's choices in priority order, with an
// explicit backtrack stack instead of native recursion: a choice point is a
// frame holding where to resume, the position and the length of the State's
// undo trail; failure pops the top frame, undoes the trail back to its mark
// and resumes there. Register writes (group starts, iteration counts and
// entry positions) are logged on the same stack and undone when popped.
// Loops over single characters and over straight bodies keep one frame for
// the whole loop; a loop over a class reads its run eight units at a time
// through a byte table (below 256), so that a short run of uneven length
// ends without a mispredicted branch. Atomic groups and lookarounds cut the stack back to the
// frame they pushed on entry.
//
// Cost: exponential in the worst case, like any backtracker, but the native
// stack stays flat whatever the input or the pattern's nesting. The backtrack
// stack grows until backtrack_cap() bytes, after which the search ends with
// Status::TooDeep. A pending choice point costs 24 bytes, a logged register
// write 16. The poll hook is called every few thousand steps (backtracks,
// iterations, and characters scanned by loops and back references).
//
// On programs that may be memoised (Program::memo_slots), a search whose
// steps outgrow the text it has covered starts to record the (instruction,
// position) states it visits and never explores one twice, which bounds the
// rest of the search by the program size times the text length (see
// backtracker.cpp for why it leaves every result unchanged).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "program.hpp"
#include "thread_cache.hpp"

namespace kordal {

struct State;

// Default bound on the backtrack stack of one search.
inline constexpr size_t kDefaultBacktrackCap = size_t(2) << 30;
size_t backtrack_cap();
void set_backtrack_cap(size_t bytes);  // for tests
// Lowers (or raises) the cap for a scope, for tests.
struct BacktrackCapScope {
  explicit BacktrackCapScope(size_t bytes) : old(backtrack_cap()) { set_backtrack_cap(bytes); }
  ~BacktrackCapScope() { set_backtrack_cap(old); }
  BacktrackCapScope(const BacktrackCapScope&) = delete;
  BacktrackCapScope& operator=(const BacktrackCapScope&) = delete;
  size_t old;
};

// When searches memoise visited states: once their steps outgrow the text
// (Auto), from their first step (Always), or never; for tests and benchmarks.
enum class MemoMode : uint8_t { Auto, Always, Never };
MemoMode memo_mode();
void set_memo_mode(MemoMode mode);

// Default bound on the memo bitmap of one search; beyond it, positions go
// unrecorded.
inline constexpr size_t kDefaultMemoCap = size_t(32) << 20;
size_t memo_cap();
void set_memo_cap(size_t bytes);  // for tests

// The VM's scratch: its backtrack stack, registers and memo bitmap.
struct VmCache {
  std::unique_ptr<uint64_t[]> stack;  // backtrack stack, uninitialised words
  size_t words = 0;                   // its size; 0 whenever stack is null
  std::vector<size_t> regs;
  std::vector<uint64_t> memo;  // visited (instruction, position) states, one bit each
  void trim();                 // frees a stack or memo grown past the kept bounds
};

// The VM for one search. A shallow search keeps its stack and registers in
// the object itself; a deeper one, or one that memoises, borrows the
// thread's scratch (thread_cache.hpp) and keeps it until the object dies, so
// neither allocates once the thread has searched before. Not copyable: the
// stack pointer may point into the object.
class Backtracker {
 public:
  explicit Backtracker(const Program& prog) : prog_(prog) {}
  Backtracker(const Backtracker&) = delete;
  Backtracker& operator=(const Backtracker&) = delete;

  // Matches from st.pos (the State reset for this start). With `to_end` the
  // match must end at the end of the text. On success st.pos is the end of
  // the match and the captures are those of the first successful path. On
  // failure or when st.status is set (interrupted, too deep), returns false.
  // Runs after a failed one, on the same State with the same `to_end` and a
  // start no lower, share its memo: what failed from one start fails from
  // any other. `entry` is the instruction to begin at: 0, or past leading
  // zero-width checks the caller has made at this start itself.
  bool run(State& st, bool to_end, uint32_t entry = 0);

  // Limits each later run to about `steps` steps (0: no limit). A run that
  // reaches the limit returns false with abandoned() set: it has decided
  // nothing, and the next run begins a new memo.
  void set_run_budget(uint64_t steps) { run_budget_ = steps; }
  bool abandoned() const { return abandoned_; }

  // Where the scan of the last run's leading loop ended, when the program
  // begins with a greedy unbounded single-character loop; else kUnset.
  size_t lead_end() const { return lead_end_; }
  // The same for an attempt at s made by another engine: where that loop,
  // entered at s, stops; kUnset when the program does not begin with one.
  static size_t lead_run_end(const Program& p, const State& st, size_t s);
  // Where the greedy scan of the program's lead_loop stopped in the last
  // run (every code point from the start up to it passed the loop's test);
  // kUnset when the run did not scan it.
  size_t lead_loop_end() const { return lead_loop_end_; }
  static bool leads_with_loop(const Program& p);

  // The same over a text of any code-unit width.
  template <class U>
  bool run_text(State& st, const U* text, size_t n, bool to_end, uint32_t entry = 0);

  // run() from st.pos, then, after each failed attempt, from the next start
  // (one past it, or past the leading loop's run) while that start is at
  // most `last` and its code point is in `lo` (below 256; nullptr for every
  // code point) or, above 255, `high` allows it, and with `doubled` the
  // code point after it is the same. Each start after the first costs a
  // step (the caller counts the first). On success
  // st.start is the match's start; on failure next_start() is the first
  // start not tried. Spares a busy start loop a return, a reset and a skip
  // per start.
  bool run_starts(State& st, size_t last, const bool* lo, bool high, bool doubled);
  size_t next_start() const { return next_start_; }

 private:
  bool grow(size_t live, size_t need, State& st);
  bool tick(uint32_t k, State& st, size_t pos);
  bool poll(State& st, size_t pos);
  void begin_search(State& st, bool to_end);
  void start_memo();
  // Whether the memo's window holds position `at`, widening it if the
  // budget allows.
  bool covers(size_t at);
  bool widen(size_t at);
  // Whether state (slot, at) was visited before; records it if not.
  bool seen(uint32_t slot, size_t at);

  static constexpr uint32_t kPollEvery = 4096;
  // While the memo may still start, the steps are weighed this often, so a
  // short runaway on a short text is caught early.
  static constexpr uint32_t kMemoCheckEvery = 256;

  VmCache& cache() {
    if (vm_ == nullptr) vm_ = &cache_.get();
    return *vm_;
  }

  static constexpr size_t kInlineWords = 128;
  static constexpr size_t kInlineRegs = 16;

  const Program& prog_;
  ThreadCache<VmCache> cache_;
  VmCache* vm_ = nullptr;  // cache_'s, once borrowed
  uint64_t* stack_ = inline_stack_;
  size_t words_ = kInlineWords;  // stack_'s size
  uint64_t inline_stack_[kInlineWords];
  size_t inline_regs_[kInlineRegs];
  uint64_t run_budget_ = 0;
  uint64_t steps_at_run_ = 0;  // st.steps when the current run began
  bool abandoned_ = false;
  uint32_t steps_ = 0;       // since the last check
  uint32_t since_poll_ = 0;  // steps since the poll hook was last called
  uint32_t check_every_ = kPollEvery;
  size_t lead_end_ = SIZE_MAX;
  size_t lead_loop_end_ = SIZE_MAX;
  // run_starts: the last start, the start set (lo null: all), what is next.
  bool starts_ = false;
  size_t starts_last_ = 0;
  const bool* starts_lo_ = nullptr;
  bool starts_high_ = false;
  bool starts_doubled_ = false;
  size_t next_start_ = 0;

  // The memo of the current search (its runs on one State).
  const State* memo_state_ = nullptr;
  bool memo_allowed_ = false;
  bool memo_ = false;  // states are being recorded
  bool memo_to_end_ = false;
  size_t first_start_ = 0;  // start of the search's first run
  size_t low_start_ = 0;    // runs from below it begin a new search
  size_t run_start_ = 0;
  size_t reach_ = 0;             // furthest position seen at a poll
  uint64_t steps_at_first_ = 0;  // st.steps when the search began
  size_t memo_base_ = 0;         // first position the bitmap holds
  size_t memo_width_ = 0;        // positions it holds
};

}  // namespace kordal
