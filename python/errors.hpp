// The one place where engine outcomes become Python exceptions.
//
// map_err renders a compile Error as the ValueError every failing compile
// raises; check_status does the same for the outcomes a search can end with
// besides its result (interrupted by a signal, too deep, out of memory).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error.hpp"
#include "regex.hpp"

namespace kordal::py {

// Sets ValueError("kordal error at position N: text") or, without a
// position, ValueError("kordal error: text"). Always returns nullptr.
PyObject* map_err(const kordal::Error& err);

// True for Status::Ok; otherwise sets the matching exception and returns
// false. An interrupted search already has its exception set by the signal
// handler that asked it to stop.
bool check_status(kordal::Status st);

// The control every search runs with: a long search releases the
// interpreter lock at its first poll and retakes it briefly every few
// milliseconds to run the signal handlers, so Ctrl-C stops a runaway match.
// A search that ran with it must be followed by check_status (or
// reacquire_lock) before anything else touches the interpreter.
const kordal::SearchControl& search_control();

// Releases the interpreter lock as search_control's first poll does, for
// work of a search that touches no Python object: the same rule holds, the
// search must be followed by check_status (or reacquire_lock).
void lend_lock();

// The thread's time limit: entering a scope of `seconds` (finite, >= 0)
// shortens the thread's deadline to now + seconds unless it is sooner
// already; exit_time_limit restores the enclosing scope's. A search that
// polls past the deadline stops, and check_status raises TimeoutError.
void enter_time_limit(double seconds);
void exit_time_limit();

// The searches of a call under a time limit of `seconds`, unless it is
// negative (the `timeout=` of kordal_python.re's callables).
class TimeoutScope {
 public:
  explicit TimeoutScope(double seconds) : on_(seconds >= 0) {
    if (on_) enter_time_limit(seconds);
  }
  ~TimeoutScope() {
    if (on_) exit_time_limit();
  }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;

 private:
  bool on_;
};

// Retakes the interpreter lock if the last search released it.
void reacquire_lock();

}  // namespace kordal::py
