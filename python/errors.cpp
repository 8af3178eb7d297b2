// Engine errors and search outcomes as Python exceptions; also the
// translation of stray C++ exceptions at the module's entry points.
#include "errors.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding.hpp"

namespace kordal::py {

PyObject* map_err(const kordal::Error& err) {
  std::string msg = "kordal error";
  if (err.position) {
    msg += " at position ";
    msg += std::to_string(*err.position);
  }
  msg += ": ";
  msg += err.text();
  PyObject* text = str_from_utf8(msg);
  if (text != nullptr) {
    PyErr_SetObject(PyExc_ValueError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

namespace {
// The innermost time_limit scope of this thread: its deadline (kNoDeadline
// outside any scope) and its length in seconds, for the message. Read only
// at polls, so a search without a limit pays nothing for it.
constexpr int64_t kNoDeadline = INT64_MAX;
thread_local int64_t deadline_us = kNoDeadline;
thread_local double limit_seconds = 0;
thread_local bool timed_out = false;
// The enclosing scopes' limits, restored as the scopes end.
struct SavedLimit {
  int64_t deadline_us;
  double seconds;
};
thread_local std::vector<SavedLimit> saved_limits;

}  // namespace

namespace {
// Reported as an internal failure by the entry point's guard; out of line,
// so that check_status, called after every search, needs no unwinding code.
[[noreturn, gnu::noinline, gnu::cold]] void unknown_status() {
  throw std::logic_error("unknown search status");
}
}  // namespace

bool check_status(kordal::Status st) {
  reacquire_lock();
  switch (st) {
    case kordal::Status::Ok:
      return true;
    case kordal::Status::Interrupted:
      if (timed_out) {
        timed_out = false;
        char msg[96];
        std::snprintf(msg, sizeof msg, "search exceeded the time limit of %g s", limit_seconds);
        PyErr_SetString(PyExc_TimeoutError, msg);
        return false;
      }
      // The poll returned true only because a signal handler raised.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return false;
    case kordal::Status::TooDeep:
      PyErr_SetString(PyExc_RecursionError,
                      "match too deep: the pattern needs more backtracking stack than is "
                      "available");
      return false;
    case kordal::Status::NoMemory:
      PyErr_NoMemory();
      return false;
  }
  unknown_status();
}

namespace {

int64_t now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// A search that polls at all (a few thousand steps in) is a long one: at
// its first poll it releases the interpreter lock and runs on without it, so
// other threads, searching too or not, run in parallel. The engine touches
// no Python object (the str and the Regex are immutable and referenced by the
// call). Every few milliseconds the poll retakes the lock briefly to run the
// signal handlers, so Ctrl-C still stops a runaway match; check_status, which
// follows every search, retakes it for good. Short searches never poll and
// keep the lock: releasing it would cost more than they do.
thread_local PyThreadState* released = nullptr;
thread_local int64_t released_at_us = 0;
constexpr int64_t kCheckEveryUs = 5000;

void release_lock() {
  released = PyEval_SaveThread();
  released_at_us = now_us();
}

bool poll_signals(void*) {
  if (deadline_us != kNoDeadline && now_us() >= deadline_us) {
    timed_out = true;
    return true;  // check_status retakes the lock and raises
  }
  if (released != nullptr) {
    const int64_t now = now_us();
    if (now - released_at_us < kCheckEveryUs) return false;
    PyEval_RestoreThread(released);
    released = nullptr;
  }
  if (PyErr_CheckSignals() != 0) return true;  // stop, holding the lock
  release_lock();
  return false;
}

}  // namespace

void enter_time_limit(double seconds) {
  saved_limits.push_back(SavedLimit{deadline_us, limit_seconds});
  // Beyond about 292,000 years the deadline would overflow: no limit then.
  const double us = seconds * 1e6;
  const int64_t now = now_us();
  const int64_t mine = us >= double(kNoDeadline - now) ? kNoDeadline : now + int64_t(us);
  if (mine < deadline_us) {
    deadline_us = mine;
    limit_seconds = seconds;
  }
}

void exit_time_limit() {
  timed_out = false;  // a stop never reported must not outlive its scope
  if (saved_limits.empty()) return;
  deadline_us = saved_limits.back().deadline_us;
  limit_seconds = saved_limits.back().seconds;
  saved_limits.pop_back();
}

void reacquire_lock() {
  if (released == nullptr) return;
  PyThreadState* ts = released;
  released = nullptr;
  PyEval_RestoreThread(ts);
}

void lend_lock() {
  if (released == nullptr) release_lock();
}

const kordal::SearchControl& search_control() {
  static const kordal::SearchControl ctl{&poll_signals, nullptr};
  return ctl;
}

void translate_current_exception(PyObject* context) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyObject* cls = internal_error_of(context);
    PyErr_SetString(cls != nullptr ? cls : PyExc_SystemError, e.what());
  }
}

}  // namespace kordal::py
