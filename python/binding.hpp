// Internal header of the kordal_python module: the object layouts of the
// three classes, the type objects made at module execution, and the guard
// that keeps C++ exceptions from crossing into the interpreter.
//
// The module has no per-module state; the type objects live in a few globals
// set once by the execution step and kept alive for the interpreter's life.
// Every C entry point the interpreter can call goes through `guarded`, which
// turns std::bad_alloc into MemoryError and any other C++ exception into the
// internal-failure exception, so a broken invariant never aborts the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <type_traits>

#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
#endif

#include "match_obj.hpp"
#include "regex.hpp"

namespace kordal::py {

// Set by the module's execution step (module.cpp).
extern PyTypeObject* regex_type;
extern PyTypeObject* match_type;
extern PyTypeObject* partial_type;
extern PyObject* internal_error;

// Type objects, created from their specs; new references.
PyObject* make_regex_type();
PyObject* make_match_type();
PyObject* make_partial_type();

// Compiles `pattern` (a text) with `flags` (a flags value or nullptr) into
// a new Regex instance, converting both by the module's conventions.
PyObject* new_regex(PyObject* pattern, PyObject* flags);

// New objects built from engine results. `input` must be an exact str with
// the contents of the haystack the result was found in (a search on its own
// storage); it is shared, not copied, by every result made in one call.
PyObject* new_match(PyObject* input, const kordal::Match& m);
PyObject* new_partial_match(PyObject* input, const kordal::PartialMatch& pm);

// An exact str with the same contents as `s` (a str or subclass): `s` itself
// when it is exact, else one copy. New reference.
inline PyObject* exact_str(PyObject* s) {
  return PyUnicode_Substring(s, 0, PyUnicode_GET_LENGTH(s));
}

// Engine texts are always valid UTF-8 cut at code-point boundaries.
inline PyObject* str_from_utf8(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// Sets the Python exception for the C++ exception being handled.
void translate_current_exception() noexcept;

template <class R>
R error_value() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <auto F>
struct Guard;
template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
  static R call(A... a) noexcept {
    try {
      return F(a...);
    } catch (...) {
      translate_current_exception();
      return error_value<R>();
    }
  }
};

// The function pointer the interpreter gets for entry point F.
template <auto F>
inline constexpr auto guarded = &Guard<F>::call;

// A guarded METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that
// PyMethodDef stores; the detour through void (*)() marks the cast as meant.
template <auto F>
inline PyCFunction fastcall_method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>));
}

}  // namespace kordal::py
