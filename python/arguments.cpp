// Argument binding and conversion shared by every callable (see the header).
#include "arguments.hpp"

#include <string>

#include "binding.hpp"

namespace kordal::py {

namespace {

// Python's grammar for the count messages: "1 positional argument",
// "2 positional arguments".
const char* plural(Py_ssize_t n) {
  return n == 1 ? "" : "s";
}

void too_many(const Params& p, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  const Py_ssize_t most = p.positional();
  if (p.required == most) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                 p.callable, most, plural(most), given, was);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", p.callable,
                 p.required, most, given, was);
  }
}

void missing(const Params& p, PyObject* const* out) {
  std::string list;
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < p.required; ++i) n += out[i] == nullptr;
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < p.required; ++i) {
    if (out[i] != nullptr) continue;
    if (seen > 0) list += n == 2 ? " and " : (seen + 1 == n ? ", and " : ", ");
    list += '\'';
    list += p.names[i];
    list += '\'';
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", p.callable,
               n, plural(n), list.c_str());
}

Py_ssize_t find_param(const Params& p, PyObject* key) {
  for (Py_ssize_t i = 0; i < p.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return i;
  }
  return -1;
}

// Places one keyword argument; false with TypeError set if it has no place.
bool place_keyword(const Params& p, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   PyObject** out) {
  Py_ssize_t i = PyUnicode_Check(key) ? find_param(p, key) : -1;
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", p.callable, key);
    return false;
  }
  if (i < nargs || out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.callable,
                 p.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool finish(const Params& p, PyObject** out) {
  for (Py_ssize_t i = 0; i < p.required; ++i) {
    if (out[i] == nullptr) {
      missing(p, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  if (nargs > p.positional()) {
    too_many(p, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t i = nargs; i < p.count; ++i) out[i] = nullptr;
  if (kwnames == nullptr) {
    if (nargs >= p.required) return true;
    return finish(p, out);
  }
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
  }
  return finish(p, out);
}

bool bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > p.positional()) {
    too_many(p, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  for (Py_ssize_t i = nargs; i < p.count; ++i) out[i] = nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(p, key, value, nargs, out)) return false;
    }
  }
  return finish(p, out);
}

bool reject_keywords(const char* callable, PyObject* kwnames) {
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", callable,
               PyTuple_GET_ITEM(kwnames, 0));
  return false;
}

void add_param_note(const char* param) {
#if PY_VERSION_HEX >= 0x030B0000
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
#else
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &exc, &tb);
  if (tb != nullptr && exc != nullptr) PyException_SetTraceback(exc, tb);
#endif
  if (exc != nullptr) {
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    PyObject* r = note != nullptr ? PyObject_CallMethod(exc, "add_note", "O", note) : nullptr;
    Py_XDECREF(note);
    // A failing note must not replace the exception it was meant to explain.
    if (r == nullptr) PyErr_Clear();
    Py_XDECREF(r);
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(type, exc, tb);
#endif
#else
  (void)param;
#endif
}

bool to_text(PyObject* o, const char* param, Text& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(o)->tp_name);
    add_param_note(param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) {
    add_param_note(param);
    return false;
  }
  out.obj = o;
  out.utf8 = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_flags(PyObject* o, const char* param, uint32_t& out) {
  if (o == nullptr || o == Py_None) {
    out = 0;
    return true;
  }
  if (const int foreign = translate_foreign_flags(o, out); foreign != 0) {
    if (foreign < 0) add_param_note(param);
    return foreign > 0;
  }
  PyObject* num = PyNumber_Index(o);
  if (num == nullptr) {
    add_param_note(param);
    return false;
  }
  long long v = PyLong_AsLongLong(num);
  Py_DECREF(num);
  if (v == -1 && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  if (v < 0 || v > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    add_param_note(param);
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_index(PyObject* o, const char* param, size_t& out) {
  if (PyLong_CheckExact(o)) {
    size_t v = PyLong_AsSize_t(o);
    if (v == static_cast<size_t>(-1) && PyErr_Occurred()) {
      add_param_note(param);
      return false;
    }
    out = v;
    return true;
  }
  PyObject* num = PyNumber_Index(o);
  if (num == nullptr) {
    add_param_note(param);
    return false;
  }
  size_t v = PyLong_AsSize_t(num);
  Py_DECREF(num);
  if (v == static_cast<size_t>(-1) && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  out = v;
  return true;
}

bool optional_index(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    size_t& index) {
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return false;
  index = 0;
  return a[0] == nullptr || to_index(a[0], p.names[0], index);
}

bool convert_ssize(PyObject* o, const char* param, Py_ssize_t& out) {
  if (PyLong_CheckExact(o)) {
    const Py_ssize_t v = PyLong_AsSsize_t(o);
    if (v != -1 || !PyErr_Occurred()) {
      out = v;
      return true;
    }
    PyErr_Clear();  // too large: the general path below raises OverflowError
  }
  const Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  out = v;
  return true;
}

bool convert_timeout(PyObject* o, const char* param, double& seconds) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1 && PyErr_Occurred()) {
    add_param_note(param);
    return false;
  }
  if (!(v >= 0)) {  // NaN too
    PyErr_SetString(PyExc_ValueError, "timeout must be None or a number of seconds >= 0");
    return false;
  }
  seconds = v;
  return true;
}

}  // namespace kordal::py
