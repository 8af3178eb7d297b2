// How often the engines poll the caller's hook (SearchControl::poll), in code
// points read. The first slice is short: the first poll is where a long
// search lends the interpreter lock to other threads, and it should come
// before most of the work, while a short search never polls at all. Later
// slices are long, so polling costs nothing measurable. The backtracking VM
// polls by steps instead (backtracker.cpp), as its steps are not reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kordal {

inline constexpr size_t kFirstSlice = size_t(1) << 14;
inline constexpr size_t kScanSlice = size_t(1) << 20;

// Whether a find-all walk polls before its next step, given the work of its
// last step (engine steps: code units read by the automata, instructions
// run by the VM) and how much text is ahead: where the last step worked
// long, this one likely will, and polling first lends the interpreter lock
// for the whole step. Walks whose steps are short never poll and keep it:
// handing the lock to and fro costs more than a short step.
inline bool poll_before_step(uint64_t last_work, size_t ahead) {
  return last_work >= kFirstSlice / 2 && ahead >= kFirstSlice;
}

// A find-all walk that builds a result per match (findall, split) runs its
// searches in batches and builds the results of a batch afterwards, so the
// module can lend the interpreter lock once per batch rather than per
// match: a hand-over per short step costs more than the step. A batch ends
// after kBatchMatches matches or once it has moved kBatchText code points
// on, which bounds its buffer and how long the walk goes without a poll
// (signals, time limits). A walk with output of its own (a replacement)
// polls by the same measure. Only a walk with a long text ahead lends.
inline constexpr size_t kBatchMatches = 1024;
inline constexpr size_t kBatchText = kScanSlice;

// Searches a batch must be allowed for the walk to lend the lock before it
// whatever the last batch cost (FindIter::next_ahead).
inline constexpr size_t kLendBatch = 64;

inline bool lend_for_batch(size_t ahead) {
  return ahead >= kFirstSlice;
}

}  // namespace kordal
