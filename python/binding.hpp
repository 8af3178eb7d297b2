// Internal header of the kordal_python module: its per-module state, what
// each class's file offers the others, and the guard that keeps C++
// exceptions from crossing into the interpreter.
//
// Every module object (one per interpreter, or more after a fresh import)
// owns its type objects, its internal-failure class and its pattern cache in
// its module state, so module objects share nothing. The state is reached
// from a module function's `self`; an object that needs it on every call (a
// Regex, to build its results) keeps a pointer to it, valid for its life:
// the object holds its type, and the type holds the module.
// Every C entry point the interpreter can call goes through `guarded`, which
// turns std::bad_alloc into MemoryError and any other C++ exception into the
// internal-failure exception, so a broken invariant never aborts the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <string_view>
#include <type_traits>
#include <vector>

#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
#endif

#include "match_obj.hpp"
#include "regex.hpp"

namespace kordal::py {

// The state of one kordal_python module object; strong references, filled
// by the execution step (module.cpp), null before it.
struct ModuleState {
  PyTypeObject* regex_type;
  PyTypeObject* match_type;
  PyTypeObject* partial_type;
  PyTypeObject* find_iter_type;
  PyTypeObject* stream_type;
  PyTypeObject* time_limit_type;
  PyObject* internal_error;  // kordal_python.InternalError, not a public name
  PyObject* pattern_cache;   // dict of the module-level is_match, or null
};

// The state of a kordal_python module object (a module function's self).
ModuleState* module_state(PyObject* module);
// The state of the module a type of this module belongs to.
ModuleState* state_of_type(PyTypeObject* tp);

// The nesting of groups, for lastindex: parents[g] is the innermost capture
// group around group g (0 at top level), look[g] the innermost lookaround
// (numbered in tree order, 0 for none).
struct GroupNesting {
  std::vector<uint32_t> parents;
  std::vector<uint32_t> look;
};

// --- module.cpp and pattern_cache.cpp: the module's functions ---

// Compiled patterns of the module-level is_match, keyed by the pattern str;
// new reference, or nullptr with the compile error set.
PyObject* cached_regex(ModuleState* st, PyObject* pattern);

// --- py_regex.cpp: Regex ---

PyObject* make_regex_type(PyObject* module);
// Compiles `pattern` (a text) with `flags` (a flags value or nullptr) into
// a new Regex instance, converting both by the module's conventions.
PyObject* new_regex(ModuleState* st, PyObject* pattern, PyObject* flags);
// The engine Regex of a Regex instance, and its group nesting.
const kordal::Regex& regex_of(PyObject* regex);
const GroupNesting& group_nesting_of(PyObject* regex);
// How every Regex object begins: its module's state, read for the types of
// its results on every search.
struct RegexHead {
  PyObject_HEAD ModuleState* state;
};
inline ModuleState* regex_state(PyObject* regex) {
  return reinterpret_cast<RegexHead*>(regex)->state;
}

// --- py_match.cpp: Match ---

PyObject* make_match_type(PyObject* module);
// A Match built from an engine result. `input` must be an exact str with
// the contents of the haystack the result was found in (a search on its own
// storage); it is shared, not copied, by every result made in one call.
// `lastindex` is the group that closed last (kUnset: none), from
// `last_closed_group`; with `regex` given it is ignored and worked out from
// that Regex's group nesting when first asked for.
PyObject* new_match(ModuleState* st, PyObject* input, const kordal::Match& m, size_t lastindex,
                    PyObject* regex = nullptr);
// A Match for `m`, found by `regex` in `input`.
inline PyObject* match_for(PyObject* regex, PyObject* input, const kordal::Match& m) {
  return new_match(regex_state(regex), input, m, kordal::kUnset, regex);
}
// A Match for the match that a search by `regex` left in `st`, read from
// the State without an engine Match in between.
PyObject* match_from_state(PyObject* regex, PyObject* input, const kordal::State& st);
// A Match of `groups` spans and no histories (a pattern whose groups close at
// most once per match), found by `regex` in `input`.
PyObject* match_from_spans(PyObject* regex, PyObject* input, const kordal::Span* spans,
                           size_t groups);
PyObject* match_input(PyObject* match);  // borrowed, exact str
size_t match_lastindex(PyObject* match);
// Caps, histories and names as an engine Match whose text is left empty.
kordal::Match match_snapshot(PyObject* match);
// A streamed match's code-point spans are relative to its input, which
// begins `cbase` code points into the stream; char_span adds it. False,
// with MemoryError set, when there is no room to keep it.
bool set_match_base(PyObject* match, size_t cbase);

// --- py_partial_match.cpp: PartialMatch ---

PyObject* make_partial_type(PyObject* module);
// A PartialMatch built from an engine result; `input` as for new_match.
PyObject* new_partial_match(ModuleState* st, PyObject* input, const kordal::PartialMatch& pm);
kordal::PartialMatch partial_snapshot(PyObject* partial);
PyObject* partial_input(PyObject* partial);  // borrowed, exact str

// --- py_find_iter.cpp: Regex.finditer and its iterator type ---

PyObject* make_find_iter_type(PyObject* module);
PyObject* regex_finditer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// --- py_stream.cpp: Regex.stream and its Stream type ---

PyObject* make_stream_type(PyObject* module);
PyObject* regex_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// --- py_time_limit.cpp: the time_limit scope type ---

PyObject* make_time_limit_type(PyObject* module);

// --- pickling.cpp: pickle and copy support of Regex, Match and
// PartialMatch, and the private module functions that rebuild results from
// their pickled state ---

PyObject* regex_reduce(PyObject* self, PyObject*);
PyObject* match_reduce(PyObject* self, PyObject*);
PyObject* partial_reduce(PyObject* self, PyObject*);
PyObject* copy_self(PyObject* self, PyObject*);
extern PyMethodDef restore_functions[];

// --- group_nesting.cpp: group nesting and lastindex, for both interfaces ---

GroupNesting group_nesting(const kordal::Regex& re);
// Whether group g (ending at g_end) closed after group b (ending at b_end),
// both having taken part in one match.
bool closes_after(const GroupNesting& nest, size_t g, size_t g_end, size_t b, size_t b_end);
// The group that closed last of a match, as `re` reports it in lastindex, or
// kUnset when no group took part. end_of(g) is the end of group g (any unit),
// or kUnset when it did not take part.
template <class EndOf>
size_t last_closed_group(size_t ngroups, const GroupNesting& nest, const EndOf& end_of) {
  size_t best = kordal::kUnset, best_end = 0;
  for (size_t g = 1; g < ngroups; ++g) {
    const size_t e = end_of(g);
    if (e == kordal::kUnset) continue;
    if (best == kordal::kUnset || closes_after(nest, g, e, best, best_end)) {
      best = g;
      best_end = e;
    }
  }
  return best;
}

// --- compat_flags.cpp: flags of the `re` and `regex` modules' own flag
// types, translated to this module's bits. 1: translated into `out`; 0: not
// such a flag (use the int as it is); -1: an error is set. ---
int translate_foreign_flags(PyObject* o, uint32_t& out);

// An exact str with the same contents as `s` (a str or subclass): `s` itself
// when it is exact, else one copy. New reference.
inline PyObject* exact_str(PyObject* s) {
  if (PyUnicode_CheckExact(s)) return Py_NewRef(s);
  return PyUnicode_Substring(s, 0, PyUnicode_GET_LENGTH(s));
}

// The tuple (a, b) of two offsets: what every span getter returns, once per
// match in a loop over matches, so built without Py_BuildValue's format walk.
inline PyObject* offset_pair(size_t a, size_t b) {
  PyObject* t = PyTuple_New(2);
  if (t == nullptr) return nullptr;
  PyObject* x = PyLong_FromSize_t(a);
  PyObject* y = x != nullptr ? PyLong_FromSize_t(b) : nullptr;
  if (y == nullptr) {
    Py_XDECREF(x);
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SET_ITEM(t, 0, x);
  PyTuple_SET_ITEM(t, 1, y);
  return t;
}

// Engine texts are always valid UTF-8 cut at code-point boundaries.
inline PyObject* str_from_utf8(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// Sets the Python exception for the std::exception being handled: the
// internal-failure class of the module that `context` (a module, a type or
// an instance, may be null) belongs to, or SystemError without one.
void translate_current_exception(PyObject* context) noexcept;

// The internal-failure class of the module `context` belongs to, or null.
PyObject* internal_error_of(PyObject* context);

// What an entry point's first argument says about its module: `self`, the
// module of a module function, the type of tp_new.
inline PyObject* context_of() {
  return nullptr;
}
template <class T, class... Rest>
PyObject* context_of(T first, Rest...) {
  if constexpr (std::is_same_v<T, PyObject*>) {
    return first;
  } else if constexpr (std::is_same_v<T, PyTypeObject*>) {
    return reinterpret_cast<PyObject*>(first);
  } else {
    return nullptr;
  }
}

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
  // Not noexcept, and no catch (...): when a daemon thread retakes the
  // interpreter lock during finalisation the interpreter ends it with a
  // forced unwind, which must pass through to the thread's exit. Swallowing
  // it (or meeting a noexcept frame) aborts the process.
  static R call(A... a) {
    try {
      return F(a...);
    } catch (const std::exception&) {
      translate_current_exception(context_of(a...));
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
