// The compiled patterns of the module-level is_match, so a pattern used
// again is not parsed again (as `re` caches its module-level functions).
//
// A dict from the pattern str to its compiled Regex object: a hit costs one
// dict lookup with the str's cached hash. At most kMax entries; when full,
// the oldest entry is dropped (dicts keep insertion order), so memory stays
// bounded whatever patterns a program makes up. Only exact str patterns are
// cached: a subclass could redefine equality. The caller gets its own
// reference, so an entry dropped by another thread while this one searches
// (long searches lend the interpreter lock) stays alive until it is done.
// Compile errors are not cached; they are raised again each time. Each
// module object has its own cache, in its state.
#include "binding.hpp"

namespace kordal::py {

namespace {

constexpr Py_ssize_t kMax = 512;

bool drop_oldest(PyObject* cache) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  if (!PyDict_Next(cache, &pos, &key, &value)) return true;
  Py_INCREF(key);
  const int rc = PyDict_DelItem(cache, key);
  Py_DECREF(key);
  return rc == 0;
}

}  // namespace

PyObject* cached_regex(ModuleState* st, PyObject* pattern) {
  if (!PyUnicode_CheckExact(pattern)) return new_regex(st, pattern, nullptr);
  if (st->pattern_cache == nullptr && (st->pattern_cache = PyDict_New()) == nullptr) return nullptr;
  PyObject* cache = st->pattern_cache;
  PyObject* hit = PyDict_GetItemWithError(cache, pattern);
  if (hit != nullptr) return Py_NewRef(hit);
  if (PyErr_Occurred()) return nullptr;
  PyObject* rx = new_regex(st, pattern, nullptr);
  if (rx == nullptr) return nullptr;
  if ((PyDict_GET_SIZE(cache) >= kMax && !drop_oldest(cache)) ||
      PyDict_SetItem(cache, pattern, rx) < 0) {
    // The cache is an optimisation: a failure to store is no failure.
    PyErr_Clear();
  }
  return rx;
}

}  // namespace kordal::py
