// How a search ends besides its result, and how a caller stops a long one.
//
// Matching cannot fail, but a search can be cancelled through the poll hook,
// exhaust the backtracking VM's stack cap or run out of memory; every engine
// and every search of the public API reports which with a Status. The poll
// hook is the only way into a running search from outside: the engines call
// it every few thousand steps, never per character. No exception leaves a
// search of the public API: `guarded` turns allocation failure into NoMemory.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

namespace kordal {

enum class Status : uint8_t {
  Ok,
  Interrupted,  // the poll hook asked to stop
  TooDeep,      // the match needed more backtrack stack than the cap allows
  NoMemory,     // an allocation failed
};

// How a long search hands control back. poll is called every few thousand VM
// steps; returning true cancels the search.
struct SearchControl {
  bool (*poll)(void* ctx) = nullptr;
  void* ctx = nullptr;
};

// Runs a search that returns a Status, so that no exception leaves the public
// API: only allocation can throw in the engine, and it becomes NoMemory.
template <class F>
Status guarded(F&& f) {
  try {
    return f();
  } catch (const std::exception&) {
    // Anything else (the forced unwind that ends a thread inside the poll
    // hook) must pass through.
    return Status::NoMemory;
  }
}

// The same for a search that writes `out`, which keeps its storage across
// calls (a caller that reuses it allocates nothing per match) and is emptied
// on a miss or an error.
template <class T, class F>
Status guarded(std::optional<T>& out, F&& f) {
  const Status status = guarded(std::forward<F>(f));
  if (status != Status::Ok) out.reset();
  return status;
}

}  // namespace kordal
