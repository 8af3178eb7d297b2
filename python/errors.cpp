// Engine errors and search outcomes as Python exceptions; also the
// translation of stray C++ exceptions at the module's entry points.
#include "errors.hpp"

#include <time.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>

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

bool check_status(kordal::Status st) {
  reacquire_lock();
  switch (st) {
    case kordal::Status::Ok:
      return true;
    case kordal::Status::Interrupted:
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
  PyErr_SetString(internal_error, "unknown search status");
  return false;
}

namespace {

int64_t now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
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

bool poll_signals(void*) {
  if (released != nullptr) {
    const int64_t now = now_us();
    if (now - released_at_us < kCheckEveryUs) return false;
    PyEval_RestoreThread(released);
    released = nullptr;
  }
  if (PyErr_CheckSignals() != 0) return true;  // stop, holding the lock
  released = PyEval_SaveThread();
  released_at_us = now_us();
  return false;
}

}  // namespace

void reacquire_lock() {
  if (released == nullptr) return;
  PyThreadState* ts = released;
  released = nullptr;
  PyEval_RestoreThread(ts);
}

const kordal::SearchControl& search_control() {
  static const kordal::SearchControl ctl{&poll_signals, nullptr};
  return ctl;
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(internal_error != nullptr ? internal_error : PyExc_SystemError, e.what());
  }
}

}  // namespace kordal::py
