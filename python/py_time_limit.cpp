// kordal_python.time_limit: a thread-local bound on the time of searches.
//
// `with time_limit(seconds):` sets the calling thread's deadline to now +
// seconds, or keeps the enclosing scope's when that is sooner, and restores
// it on leaving (the stack of enclosing limits is thread-local, in
// errors.cpp, so one object may be entered by several threads or nested in
// itself). Searches read the deadline only where they already poll (every
// few thousand engine steps, or every slice of a long scan), so a search
// without a limit pays nothing, and a search that finishes before its first
// poll is never stopped. Past the deadline the search stops at its next
// poll, its State is released as after any other outcome, and TimeoutError
// is raised. Entering and leaving cost O(1).
#include <cmath>

#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"

namespace kordal::py {

namespace {

struct PyTimeLimit {
  PyObject_HEAD double seconds;
};

PyTimeLimit* as_limit(PyObject* self) {
  return reinterpret_cast<PyTimeLimit*>(self);
}

PyObject* time_limit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"seconds"};
  static const Params prm{"time_limit", kNames, 1, 1};
  PyObject* a[1];
  if (!bind_tuple(prm, args, kwargs, a)) return nullptr;
  const double seconds = PyFloat_AsDouble(a[0]);
  if (seconds == -1 && PyErr_Occurred()) {
    add_param_note("seconds");
    return nullptr;
  }
  if (std::isnan(seconds) || seconds < 0) {
    PyErr_SetString(PyExc_ValueError, "time_limit: seconds must be a number >= 0");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_limit(self)->seconds = seconds;
  return self;
}

void time_limit_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* time_limit_enter(PyObject* self, PyObject*) {
  enter_time_limit(as_limit(self)->seconds);
  return Py_NewRef(self);
}

PyObject* time_limit_exit(PyObject*, PyObject* const*, Py_ssize_t) {
  exit_time_limit();
  Py_RETURN_FALSE;
}

PyObject* time_limit_repr(PyObject* self) {
  PyObject* v = PyFloat_FromDouble(as_limit(self)->seconds);
  if (v == nullptr) return nullptr;
  PyObject* r = PyUnicode_FromFormat("time_limit(%R)", v);
  Py_DECREF(v);
  return r;
}

PyObject* time_limit_seconds(PyObject* self, void*) {
  return PyFloat_FromDouble(as_limit(self)->seconds);
}

PyMethodDef kMethods[] = {
    {"__enter__", time_limit_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(time_limit_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"seconds", time_limit_seconds, nullptr, "The limit, in seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "time_limit(seconds)\n--\n\n"
    "A scope that bounds every search the calling thread makes inside it.\n\n"
    "A search still running `seconds` after the scope was entered raises\n"
    "TimeoutError; the Regex stays usable. Scopes nest: an inner scope can\n"
    "only shorten the deadline.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(time_limit_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(time_limit_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(time_limit_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {"kordal_python.time_limit", sizeof(PyTimeLimit), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

PyObject* make_time_limit_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

}  // namespace kordal::py
