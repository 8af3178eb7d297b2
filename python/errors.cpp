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

// When the current search first polled or last stepped aside; 0 until its
// first poll, so that a short search, which never polls, reads no clock.
thread_local int64_t last_lent_us = 0;
constexpr int64_t kLendEveryUs = 5000;
constexpr long kStepAsideNs = 50000;

// Besides running signal handlers, a search that has run for a while steps
// aside from the interpreter lock for a moment every few milliseconds:
// otherwise a timer thread could never deliver the signal meant to stop it,
// and a match in a worker thread would freeze the main thread (and its
// Ctrl-C) until it ends. Releasing and retaking at once is not enough: the
// waiting thread is woken but loses the race and restarts its wait.
bool poll_signals(void*) {
  if (PyErr_CheckSignals() != 0) return true;
  const int64_t now = now_us();
  if (last_lent_us == 0) last_lent_us = now;
  if (now - last_lent_us < kLendEveryUs) return false;
  PyThreadState* ts = PyEval_SaveThread();
  const timespec pause{0, kStepAsideNs};
  nanosleep(&pause, nullptr);
  PyEval_RestoreThread(ts);
  last_lent_us = now_us();
  return PyErr_CheckSignals() != 0;
}

}  // namespace

const kordal::SearchControl& search_control() {
  static const kordal::SearchControl ctl{&poll_signals, nullptr};
  last_lent_us = 0;  // the first poll starts the clock
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
