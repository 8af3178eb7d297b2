// The texts of kordal_python.re: a str, bytes or other bytes-like haystack
// read in place as the engine's Text, slices of it, and results built back
// as str or bytes.
//
// A str is read in its own storage (1, 2 or 4 bytes per code point), with a
// lone surrogate a character like any other, as in `re`; bytes and buffers
// are 1-byte text, one character per byte. Reading costs O(1) (a buffer
// request for bytes-likes other than bytes); slices and results cost their
// length.
#include "haystack.hpp"
#include "re_binding.hpp"

namespace kordal::py::re {

bool to_re_text(PyObject* o, ReText& out) {
  out.obj = o;
  if (PyUnicode_Check(o)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(o) < 0) return false;
#endif
    // A lone surrogate is a character like any other here, as in `re`.
    out.text = text_of(o);
    out.bytes = false;
    return true;
  }
  out.bytes = true;
  if (PyBytes_Check(o)) {
    out.text = kordal::Text::of(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o)),
                                static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
  }
  if (!PyObject_CheckBuffer(o) || PyObject_GetBuffer(o, &out.view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%s'",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  out.has_view = true;
  out.text = kordal::Text::of(static_cast<const uint8_t*>(out.view.buf),
                              static_cast<size_t>(out.view.len));
  return true;
}

void walk_narrow(ReText& h) {
  if (!h.bytes) narrow_for_re_walk(h.obj, h.text, h.narrow);
}

bool haystack_for(const RePattern* p, PyObject* o, ReText& out) {
  if (!to_re_text(o, out)) return false;
  if (out.bytes == p->bytes) return true;
  PyErr_SetString(PyExc_TypeError, p->bytes ? "cannot use a bytes pattern on a string-like object"
                                            : "cannot use a string pattern on a bytes-like object");
  return false;
}

PyObject* slice(PyObject* string, Py_ssize_t a, Py_ssize_t b) {
  if (PyUnicode_Check(string)) return PyUnicode_Substring(string, a, b);
  if (PyBytes_Check(string)) {
    if (a == 0 && b == PyBytes_GET_SIZE(string) && PyBytes_CheckExact(string)) {
      return Py_NewRef(string);
    }
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(string) + a, b - a);
  }
  Py_buffer view;
  if (PyObject_GetBuffer(string, &view, PyBUF_SIMPLE) < 0) return nullptr;
  // A buffer may have shrunk since the match was found.
  const Py_ssize_t len = view.len;
  if (a > len) a = len;
  if (b > len) b = len;
  PyObject* r = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf) + a, b - a);
  PyBuffer_Release(&view);
  return r;
}

PyObject* build_result(const std::u32string& s, bool bytes) {
  if (bytes) {
    PyObject* r = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(s.size()));
    if (r == nullptr) return nullptr;
    char* d = PyBytes_AS_STRING(r);
    for (size_t i = 0; i < s.size(); ++i) d[i] = static_cast<char>(s[i]);
    return r;
  }
  return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(),
                                   static_cast<Py_ssize_t>(s.size()));
}

}  // namespace kordal::py::re
