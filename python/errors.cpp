// Engine errors and search outcomes as Python exceptions; also the
// translation of stray C++ exceptions at the module's entry points.
#include "errors.hpp"

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

// Besides running signal handlers, a long match briefly lets other threads
// take the interpreter lock: otherwise a timer thread could never deliver the
// signal meant to stop it, and a match in a worker thread would freeze the
// main thread (and its Ctrl-C) until it ends.
static bool poll_signals(void*) {
  if (PyErr_CheckSignals() != 0) return true;
  PyEval_RestoreThread(PyEval_SaveThread());
  return PyErr_CheckSignals() != 0;
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
  } catch (...) {
    PyErr_SetString(internal_error != nullptr ? internal_error : PyExc_SystemError,
                    "unknown C++ exception");
  }
}

}  // namespace kordal::py
