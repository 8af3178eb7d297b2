// The argument binding every callable of the module uses.
//
// `bind` matches vectorcall arguments (positional array plus keyword names)
// against a parameter list with the rules of a plain Python function: every
// parameter positional-or-keyword, required ones first. Its TypeErrors use
// the interpreter's wording and name the callable ("Regex.find()").
// The converters turn one bound argument into a C++ value; when a conversion
// fails its own exception propagates with the note "while processing 'name'"
// attached, so the caller can tell which argument was wrong.
//
// Cost: binding is linear in the number of arguments, with a fast path for
// purely positional calls; nothing is allocated unless an error is raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kordal::py {

struct Params {
  const char* callable;         // as shown in messages, without "()"
  const char* const* names;     // parameter names, in order
  Py_ssize_t count;             // number of parameters
  Py_ssize_t required;          // the first `required` ones have no default
  Py_ssize_t keyword_only = 0;  // the last ones, which only a keyword can pass
  Py_ssize_t positional() const { return count - keyword_only; }
};

// Fills out[0..count) with borrowed references; an omitted optional parameter
// is left as nullptr. Returns false with TypeError set on a mismatch.
bool bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// Refuses every keyword argument (for callables taking *args only).
bool reject_keywords(const char* callable, PyObject* kwnames);

// Same binding from a tuple and a dict (the tp_new path of a class).
bool bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// A text argument: the str it came from and its UTF-8 form, which the str
// owns (valid as long as `obj` is).
struct Text {
  PyObject* obj = nullptr;
  std::string_view utf8;
};

// A str or str subclass, encoded strictly to UTF-8.
bool to_text(PyObject* o, const char* param, Text& out);
// None (0), or an integer in 0 ..= 4294967295.
bool to_flags(PyObject* o, const char* param, uint32_t& out);
// A non-negative integer, via __index__.
bool to_index(PyObject* o, const char* param, size_t& out);
// Binds a callable's one optional parameter, a group index (default 0), and
// converts it as to_index does.
bool optional_index(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    size_t& index);
// Any integer that fits a Py_ssize_t, via __index__ (OverflowError beyond);
// an omitted one (nullptr) leaves `out` as it is.
bool convert_ssize(PyObject* o, const char* param, Py_ssize_t& out);
inline bool to_ssize(PyObject* o, const char* param, Py_ssize_t& out) {
  return o == nullptr || convert_ssize(o, param, out);  // omitted: inline, as in loops
}
// The keyword-only `timeout` that ends the parameters `p` of every searching
// callable of kordal_python.re, from the arguments bound for `p`: seconds
// >= 0, or -1 (no limit) when omitted or None.
bool convert_timeout(PyObject* o, const char* param, double& seconds);
inline bool to_timeout(const Params& p, PyObject* const* bound, double& seconds) {
  PyObject* o = bound[p.count - 1];
  seconds = -1;
  return o == nullptr || o == Py_None || convert_timeout(o, p.names[p.count - 1], seconds);
}

// Attaches "while processing '<param>'" to the exception being raised, where
// the interpreter supports notes; keeps the exception unchanged otherwise.
void add_param_note(const char* param);

}  // namespace kordal::py
