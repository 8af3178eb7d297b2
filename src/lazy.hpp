// A part of a compiled pattern built on its first use, once, however many
// threads ask for it at the same time (a compiled Regex is shared).
//
// Cost: the build once; every later call one acquire load. Invariant: the
// value never changes after the build, so readers need no lock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace kordal {

template <class T>
class Lazy {
 public:
  // `build` returns a std::unique_ptr<const T>, possibly null; an exception
  // leaves the part unbuilt for the next caller to try.
  template <class Build>
  const T* get(Build&& build) const {
    if (ready_.load(std::memory_order_acquire)) return value_.get();
    std::call_once(once_, [&] { value_ = build(); });
    ready_.store(true, std::memory_order_release);
    return value_.get();
  }

 private:
  mutable std::once_flag once_;
  mutable std::atomic<bool> ready_{false};
  mutable std::unique_ptr<const T> value_;
};

}  // namespace kordal
