// Match and PartialMatch methods for people coming from `re`: groupdict,
// expand, lastindex, lastgroup, and spans in code points (str indexes).
//
// Everything reads the fields the class stores (spans in bytes and in code
// points, names, the group that closed last); nothing searches again.
// groupdict is O(named groups log named groups) for its ordering, expand
// O(template + inserted text), the rest O(1) or O(names).
#include <algorithm>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "binding.hpp"

namespace kordal::py {

namespace {

const char* const kDefault[] = {"default"};
const char* const kTemplate[] = {"template"};
const char* const kIndex[] = {"index"};

PyObject* span_tuple(size_t start, size_t end) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end));
}

}  // namespace

PyObject* match_groupdict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params p{"Match.groupdict", kDefault, 1, 0};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  PyObject* dflt = a[0] != nullptr ? a[0] : Py_None;
  // Group order, as `re` gives it, instead of the names map's.
  std::vector<std::pair<size_t, const std::string*>> named;
  for (const auto& [name, g] : match_names(self)) named.emplace_back(g, &name);
  std::sort(named.begin(), named.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first < y.first : *x.second < *y.second;
  });
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  PyObject* input = match_input(self);
  for (const auto& [g, name] : named) {
    const kordal::Span s = match_span(self, g);
    PyObject* v = s.set() ? PyUnicode_Substring(input, static_cast<Py_ssize_t>(s.cstart),
                                                static_cast<Py_ssize_t>(s.cend))
                          : Py_NewRef(dflt);
    PyObject* k = v != nullptr ? str_from_utf8(*name) : nullptr;
    const int rc = k != nullptr ? PyDict_SetItem(dict, k, v) : -1;
    Py_XDECREF(k);
    Py_XDECREF(v);
    if (rc < 0) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

PyObject* match_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Match.expand", kTemplate, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text tmpl;
  if (!to_text(a[0], "template", tmpl)) return nullptr;
  const kordal::Match em = match_snapshot(self);
  PyObject* input = match_input(self);
  // Group texts are cut from the str by code points, so the haystack's
  // UTF-8 form is never built; only the (short) group texts are encoded.
  std::string out;
  bool ok = true;
  kordal::regex::expand_with(
      tmpl.utf8, em.caps.size(), em.names.get(), [&](std::string_view lit) { out += lit; },
      [&](size_t g) {
        const kordal::Span& s = em.caps[g];
        if (!ok || !s.set() || s.cstart == s.cend) return;
        PyObject* sub = PyUnicode_Substring(input, static_cast<Py_ssize_t>(s.cstart),
                                            static_cast<Py_ssize_t>(s.cend));
        Py_ssize_t n = 0;
        const char* data = sub != nullptr ? PyUnicode_AsUTF8AndSize(sub, &n) : nullptr;
        if (data == nullptr) {
          ok = false;
        } else {
          out.append(data, static_cast<size_t>(n));
        }
        Py_XDECREF(sub);
      });
  if (!ok) return nullptr;
  return str_from_utf8(out);
}

PyObject* match_char_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params p{"Match.char_span", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  const kordal::Span s = match_span(self, g);
  if (!s.set()) Py_RETURN_NONE;
  const size_t base = match_base(self);
  return span_tuple(s.cstart + base, s.cend + base);
}

PyObject* partial_char_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const Params p{"PartialMatch.char_span", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  const kordal::PartialMatch pm = partial_snapshot(self);
  if (g >= pm.groups.size() || pm.groups[g].state == kordal::GroupState::None) Py_RETURN_NONE;
  return span_tuple(pm.groups[g].span.cstart, pm.groups[g].span.cend);
}

PyObject* match_get_lastindex(PyObject* self, void*) {
  const size_t g = match_lastindex(self);
  if (g == kordal::kUnset) Py_RETURN_NONE;
  return PyLong_FromSize_t(g);
}

PyObject* match_get_lastgroup(PyObject* self, void*) {
  const size_t g = match_lastindex(self);
  if (g == kordal::kUnset) Py_RETURN_NONE;
  // Several names can share a number; the map's order is arbitrary, so take
  // the smallest name for a stable answer.
  const std::string* best = nullptr;
  for (const auto& [name, index] : match_names(self)) {
    if (index == g && (best == nullptr || name < *best)) best = &name;
  }
  if (best == nullptr) Py_RETURN_NONE;
  return str_from_utf8(*best);
}

}  // namespace kordal::py
