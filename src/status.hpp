// How a search ends besides its result, and how a caller stops a long one.
//
// Matching cannot fail, but a search can be cancelled through the poll hook,
// exhaust the backtracking VM's stack cap or run out of memory; every engine
// and every search of the public API reports which with a Status. The poll
// hook is the only way into a running search from outside: the engines call
// it every few thousand steps, never per character.
#pragma once

#include <cstdint>

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

}  // namespace kordal
