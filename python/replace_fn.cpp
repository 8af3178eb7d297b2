// Regex.replace / replace_all with a function as the replacement: the
// function is called with each Match and returns the text to put in its
// place, taken literally (no template expansion).
//
// The walk is the one findall makes (an engine FindIter), so the matches
// replaced are exactly those a template would replace; an empty match leaves
// the character after it in the text before the next match. The pieces (the
// text between matches and the function's results) are collected and joined
// once: O(text + output) besides the searches and the calls. The function
// may run any Python code, other searches with this Regex included; the walk
// keeps its own state and the haystack alive.
#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "iterators.hpp"

namespace kordal::py {

namespace {

// Appends input[from:to) (code points) unless it is empty.
bool append_slice(PyObject* pieces, PyObject* input, size_t from, size_t to) {
  if (from >= to) return true;
  PyObject* s =
      PyUnicode_Substring(input, static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to));
  if (s == nullptr) return false;
  const int rc = PyList_Append(pieces, s);
  Py_DECREF(s);
  return rc == 0;
}

PyObject* walk(PyObject* regex, PyObject* input, PyObject* fn, bool all) {
  // The iterator reads the exact str `input`, which this call holds.
  kordal::FindIter it(regex_of(regex), text_of(input));
  PyObject* pieces = PyList_New(0);
  if (pieces == nullptr) return nullptr;
  size_t done = 0;  // code points already copied or replaced
  bool any = false;
  std::optional<kordal::Match> m;
  for (;;) {
    if (!check_status(it.next(m, search_control()))) goto fail;
    if (!m) break;
    any = true;
    {
      const kordal::Span whole = m->caps[0];
      if (!append_slice(pieces, input, done, whole.cstart)) goto fail;
      PyObject* match = match_for(regex, input, *m);
      if (match == nullptr) goto fail;
      PyObject* rep = PyObject_CallOneArg(fn, match);
      Py_DECREF(match);
      if (rep == nullptr) goto fail;
      if (!PyUnicode_Check(rep)) {
        PyErr_Format(PyExc_TypeError, "replacement function must return str, not %.200s",
                     Py_TYPE(rep)->tp_name);
        Py_DECREF(rep);
        goto fail;
      }
      const int rc = PyList_Append(pieces, rep);
      Py_DECREF(rep);
      if (rc < 0) goto fail;
      done = whole.cend;
    }
    if (!all) break;
  }
  if (!any) {
    Py_DECREF(pieces);
    return Py_NewRef(input);
  }
  if (!append_slice(pieces, input, done, static_cast<size_t>(PyUnicode_GET_LENGTH(input)))) {
    goto fail;
  }
  {
    PyObject* empty = PyUnicode_FromStringAndSize("", 0);
    PyObject* out = empty != nullptr ? PyUnicode_Join(empty, pieces) : nullptr;
    Py_XDECREF(empty);
    Py_DECREF(pieces);
    return out;
  }
fail:
  Py_DECREF(pieces);
  return nullptr;
}

}  // namespace

PyObject* replace_with_function(PyObject* regex, PyObject* haystack, PyObject* fn, bool all) {
  Haystack hay;
  if (!to_haystack(haystack, "haystack", hay)) return nullptr;
  PyObject* input = exact_str(hay.obj);
  if (input == nullptr) return nullptr;
  PyObject* r = walk(regex, input, fn, all);
  Py_DECREF(input);
  return r;
}

}  // namespace kordal::py
