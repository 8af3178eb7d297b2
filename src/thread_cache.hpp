// An engine's scratch (the VM's backtrack stack and memo, the one-pass
// matcher's slots), kept per thread and lent to one search at a time, so a
// search allocates nothing once its thread has searched before. The compiled
// engines stay immutable and shared by threads; everything a search writes
// lives in its own scratch or in the State.
//
// A search takes the thread's scratch on first use and gives it back when it
// ends. A search started while the thread's scratch is lent (from the poll
// hook, inside another search) gets a private one, freed when it ends. On
// return the scratch drops what it grew beyond its kept bounds (T::trim), so
// one huge search does not pin memory. Cost: one thread-local lookup per
// search that uses the engine.
#pragma once

#include <memory>

namespace kordal {

// T: default-constructible, with `void trim()`.
template <class T>
class ThreadCache {
 public:
  ThreadCache() = default;
  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;
  ~ThreadCache() {
    if (pool_ == nullptr) return;
    c_->trim();
    pool_->busy = false;
  }

  T& get() {
    if (c_ == nullptr) acquire();
    return *c_;
  }

 private:
  struct Pooled {
    T cache;
    bool busy = false;
  };
  static Pooled& pooled() {
    thread_local Pooled p;
    return p;
  }
  void acquire() {
    Pooled& p = pooled();
    if (p.busy) {
      own_ = std::make_unique<T>();
      c_ = own_.get();
      return;
    }
    p.busy = true;
    pool_ = &p;
    c_ = &p.cache;
  }

  T* c_ = nullptr;
  Pooled* pool_ = nullptr;  // the thread's, when c_ is its cache
  std::unique_ptr<T> own_;
};

}  // namespace kordal
