// The Python class Match (PyMatch): a successful match, self-contained.
//
// A Match keeps the haystack as one exact str (shared with the other results
// of the same call), every group's span in bytes and in code points, and
// every group's capture history as code-point spans (their byte offsets are
// never reported). Texts are cut from the str on demand with
// PyUnicode_Substring, which needs no decoding; so building a Match costs
// O(groups + history) and nothing proportional to the haystack. The byte
// length of the input, reported for groups that did not take part, is
// counted from the end of the match on first use and kept. Besides its
// spans a Match holds the str, the Regex that found it (for its names and
// group nesting; none when unpickled, which owns its names instead) and
// its class; none of them can refer back to a Match, so it is not tracked by
// the garbage collector. Its methods include those `re` users know
// (groupdict, expand, lastindex, lastgroup, spans in str indexes).
//
// A walk over a long text keeps every Match of the call alive at once, and
// the collector visits each one whenever it traverses the result list, so a
// Match is kept small: the header, the str, the Regex, a pointer to the
// rarely needed parts (owned names, stream offset, the input's byte length),
// then the spans in one allocation of its own size (no per-item size). A
// span is four fields (byte and code-point bounds), 32 bits wide when every
// offset fits (64 bytes in all for one group), 64 bits otherwise, or two
// 32-bit fields where bytes are code points; unless each history is its group's
// span, G + 1 history offsets and the history spans follow. Reading past
// those bounds would read another object's memory, so every index is checked
// against G before use.
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "state.hpp"
#include "template.hpp"

namespace kordal::py {

namespace {

// lastindex, kept in 32 bits: not worked out yet, or no group closed.
constexpr uint32_t kLazy = 0xFFFFFFFE;
constexpr uint32_t kNoGroup = 0xFFFFFFFF;
// The group count shares its word with the layout and a flag.
constexpr size_t kMaxGroups = (size_t{1} << 29) - 1;
// A narrow span's field for "not set"; every value it holds is below it.
constexpr uint32_t kUnset32 = 0xFFFFFFFF;

// What few Matches need: names of their own (unpickled), the stream offset,
// the input's byte length once counted.
struct MatchExtra {
  std::shared_ptr<const kordal::Names> owned_names;
  size_t input_len = kordal::kUnset;
  size_t cbase = 0;
};

struct PyMatch {
  PyObject_HEAD PyObject* input;  // exact str
  // The Regex that found it (its names and group nesting), or null for a
  // Match rebuilt by unpickling, which owns its names. A reference costs
  // less than a shared_ptr copy, whose count is atomic.
  PyObject* regex;
  MatchExtra* extra;      // null until needed
  uint32_t ngroups : 29;  // G
  uint32_t layout : 2;    // of the spans: a Layout
  uint32_t flat : 1;      // each history is the group's span: no history words
  uint32_t lastindex;     // the group that closed last, kNoGroup, or kLazy
};

static_assert(sizeof(PyMatch) % alignof(size_t) == 0);

PyMatch* as_match(PyObject* self) {
  return reinterpret_cast<PyMatch*>(self);
}

char* tail(PyMatch* m) {
  return reinterpret_cast<char*>(m) + sizeof(PyMatch);
}

// How the spans are stored: four fields each (start, end, cstart, cend) of
// 64 or 32 bits, or, where byte offsets and code-point indices coincide (an
// ASCII input), two 32-bit fields.
enum Layout : uint32_t { kWide = 0, kNarrow = 1, kSame = 2 };

size_t span_bytes(size_t G, uint32_t layout) {
  switch (layout) {
    case kWide:
      return G * 4 * sizeof(size_t);
    case kNarrow:
      return G * 4 * sizeof(uint32_t);
    default:
      return G * 2 * sizeof(uint32_t);
  }
}

// A field as the engine's size_t: kUnset32 widens to kUnset.
size_t widen(uint32_t v) {
  return v == kUnset32 ? kordal::kUnset : v;
}
size_t widen(size_t v) {
  return v;
}

// The layouts of the spans, one code: W is uint32_t or size_t, N the fields
// per span (4, or 2 when byte offsets are code-point indices).
template <class W, size_t N>
kordal::Span read_span(const PyMatch* m, size_t g) {
  const W* w =
      reinterpret_cast<const W*>(reinterpret_cast<const char*>(m) + sizeof(PyMatch)) + N * g;
  if constexpr (N == 2) {
    return kordal::Span{widen(w[0]), widen(w[1]), widen(w[0]), widen(w[1])};
  } else {
    return kordal::Span{widen(w[0]), widen(w[1]), widen(w[2]), widen(w[3])};
  }
}

template <class W, size_t N, class SpanOf>
void write_spans_as(PyMatch* m, size_t G, const SpanOf& span) {
  W* w = reinterpret_cast<W*>(tail(m));
  for (size_t g = 0; g < G; ++g, w += N) {
    const kordal::Span s = span(g);
    // kUnset narrows to kUnset32; a set value is below it (fits_narrow).
    w[0] = static_cast<W>(s.start);
    w[1] = static_cast<W>(s.end);
    if constexpr (N == 4) {
      w[2] = static_cast<W>(s.cstart);
      w[3] = static_cast<W>(s.cend);
    }
  }
}

kordal::Span group_span(PyMatch* m, size_t g) {
  switch (m->layout) {
    case kWide:
      return read_span<size_t, 4>(m, g);
    case kNarrow:
      return read_span<uint32_t, 4>(m, g);
    default:
      return read_span<uint32_t, 2>(m, g);
  }
}

// Writes the spans of `G` groups, span(g) giving each.
template <class SpanOf>
void write_spans(PyMatch* m, size_t G, const SpanOf& span) {
  switch (m->layout) {
    case kWide:
      return write_spans_as<size_t, 4>(m, G, span);
    case kNarrow:
      return write_spans_as<uint32_t, 4>(m, G, span);
    default:
      return write_spans_as<uint32_t, 2>(m, G, span);
  }
}

// Histories (only when not flat), after the spans: G + 1 offsets, then two
// code-point words per history span.
size_t* hist_offsets(PyMatch* m) {
  return reinterpret_cast<size_t*>(tail(m) + span_bytes(m->ngroups, m->layout));
}
size_t* hist_spans(PyMatch* m) {
  return hist_offsets(m) + m->ngroups + 1;
}

// The bytes a Match of G groups and nhist history spans takes.
size_t match_bytes(size_t G, uint32_t layout, bool flat, size_t nhist) {
  return sizeof(PyMatch) + span_bytes(G, layout) +
         (flat ? 0 : (G + 1 + 2 * nhist) * sizeof(size_t));
}

const kordal::Names& names_of(PyMatch* m) {
  return m->regex != nullptr ? regex_of(m->regex).names() : *m->extra->owned_names;
}

// The extra part, made on first use; null (with MemoryError set) when it
// cannot be.
MatchExtra* extra_of(PyMatch* m) {
  if (m->extra == nullptr) {
    m->extra = new (std::nothrow) MatchExtra();
    if (m->extra == nullptr) PyErr_NoMemory();
  }
  return m->extra;
}

// The byte length of the input's UTF-8 form: its length when it is ASCII,
// else counted from the end of the match (whose byte offset is known) on
// first use and kept.
bool input_bytes(PyMatch* m, size_t& out) {
  if (PyUnicode_IS_ASCII(m->input)) {
    out = static_cast<size_t>(PyUnicode_GET_LENGTH(m->input));
    return true;
  }
  MatchExtra* x = extra_of(m);
  if (x == nullptr) return false;
  if (x->input_len == kordal::kUnset) {
    const kordal::Text t = text_of(m->input);
    kordal::TextPos from;
    if (m->ngroups > 0 && group_span(m, 0).set()) {
      const kordal::Span s = group_span(m, 0);
      from = kordal::TextPos{s.cend, s.end};
    }
    x->input_len = from.byte + kordal::utf8_length(t, from.index, t.n);
  }
  out = x->input_len;
  return true;
}

PyObject* cp_text(PyMatch* m, size_t cstart, size_t cend) {
  return PyUnicode_Substring(m->input, static_cast<Py_ssize_t>(cstart),
                             static_cast<Py_ssize_t>(cend));
}

PyObject* span_text(PyMatch* m, const kordal::Span& s) {
  return cp_text(m, s.cstart, s.cend);
}

// Group g's text, or None when it did not take part (or does not exist).
PyObject* group_text(PyMatch* m, size_t g) {
  if (g >= m->ngroups) Py_RETURN_NONE;
  kordal::Span s = group_span(m, g);
  if (!s.set()) Py_RETURN_NONE;
  return span_text(m, s);
}

PyObject* history_list(PyMatch* m, size_t g) {
  if (g >= m->ngroups) return PyList_New(0);
  if (m->flat) {
    const kordal::Span s = group_span(m, g);
    if (!s.set()) return PyList_New(0);
    PyObject* t = span_text(m, s);
    if (t == nullptr) return nullptr;
    PyObject* list = PyList_New(1);
    if (list == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyList_SET_ITEM(list, 0, t);
    return list;
  }
  size_t* off = hist_offsets(m);
  size_t n = off[g + 1] - off[g];
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) return nullptr;
  const size_t* w = hist_spans(m) + off[g] * 2;
  for (size_t i = 0; i < n; ++i, w += 2) {
    PyObject* s = cp_text(m, w[0], w[1]);
    if (s == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  return list;
}

void match_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyMatch* m = as_match(self);
  delete m->extra;
  Py_XDECREF(m->input);
  Py_XDECREF(m->regex);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The `lookup` shared by group() and m[key].
PyObject* lookup(PyMatch* m, PyObject* key) {
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data != nullptr) {
      const kordal::Names& names = names_of(m);
      auto it = names.find(std::string(data, static_cast<size_t>(size)));
      if (it == names.end()) {
        PyErr_Format(PyExc_IndexError, "no such group: %U", key);
        return nullptr;
      }
      return group_text(m, it->second);
    }
    // A name that cannot be encoded is no valid key at all.
    PyErr_Clear();
  }
  long long i = -1;
  bool ok = false;
  if (!PyUnicode_Check(key)) {
    if (PyLong_Check(key)) {
      i = PyLong_AsLongLong(key);
    } else if (PyObject* num = PyNumber_Index(key)) {
      i = PyLong_AsLongLong(num);
      Py_DECREF(num);
    }
    ok = !(i == -1 && PyErr_Occurred());
  }
  if (!ok) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "group index must be int or str");
    return nullptr;
  }
  long long g = i;
  const long long count = static_cast<long long>(m->ngroups);
  if (g < 0) g += count;
  if (g < 0 || g >= count) {
    PyErr_Format(PyExc_IndexError, "no such group: %lld", i);
    return nullptr;
  }
  return group_text(m, static_cast<size_t>(g));
}

// The texts of all groups in order, None for a group that did not take
// part, into a list or tuple; the layout is looked at once, not per group.
template <class W, size_t N>
PyObject* group_texts_as(PyMatch* m, bool as_list) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(m->ngroups);
  PyObject* seq = as_list ? PyList_New(n) : PyTuple_New(n);
  if (seq == nullptr) return nullptr;
  const W* w = reinterpret_cast<const W*>(tail(m));
  for (Py_ssize_t g = 0; g < n; ++g, w += N) {
    PyObject* t;
    if (widen(w[0]) == kordal::kUnset) {
      t = Py_NewRef(Py_None);
    } else {
      // Code-point bounds: the last two fields, or the only two.
      t = cp_text(m, w[N - 2], w[N - 1]);
      if (t == nullptr) {
        Py_DECREF(seq);
        return nullptr;
      }
    }
    if (as_list) {
      PyList_SET_ITEM(seq, g, t);
    } else {
      PyTuple_SET_ITEM(seq, g, t);
    }
  }
  return seq;
}

PyObject* all_group_texts(PyMatch* m, bool as_list) {
  switch (m->layout) {
    case kWide:
      return group_texts_as<size_t, 4>(m, as_list);
    case kNarrow:
      return group_texts_as<uint32_t, 4>(m, as_list);
    default:
      return group_texts_as<uint32_t, 2>(m, as_list);
  }
}

PyObject* match_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!reject_keywords("Match.group", kwnames)) return nullptr;
  PyMatch* m = as_match(self);
  if (nargs == 0) return all_group_texts(m, false);
  if (nargs == 1) return lookup(m, args[0]);
  PyObject* tuple = PyTuple_New(nargs);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* t = lookup(m, args[i]);
    if (t == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, t);
  }
  return tuple;
}

const char* const kIndex[] = {"index"};
const char* const kName[] = {"name"};

PyObject* match_captures(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Params p{"Match.captures", kIndex, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  size_t index = 0;
  if (!to_index(a[0], "index", index)) return nullptr;
  return history_list(as_match(self), index);
}

PyObject* match_captures_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const Params p{"Match.captures_by_name", kName, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text name;
  if (!to_text(a[0], "name", name)) return nullptr;
  PyMatch* m = as_match(self);
  const kordal::Names& names = names_of(m);
  auto it = names.find(std::string(name.utf8));
  if (it == names.end()) return PyList_New(0);
  return history_list(m, it->second);
}

PyObject* match_span_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const Params p{"Match.span_of", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  PyMatch* m = as_match(self);
  if (g >= m->ngroups) Py_RETURN_NONE;
  kordal::Span s = group_span(m, g);
  if (!s.set()) Py_RETURN_NONE;
  return offset_pair(s.start, s.end);
}

// Start (or end) byte of group g as an int; the input length when it did
// not take part.
PyObject* bound_of(PyMatch* m, size_t g, bool end) {
  if (g < m->ngroups) {
    kordal::Span s = group_span(m, g);
    if (s.set()) return PyLong_FromSize_t(end ? s.end : s.start);
  }
  size_t n = 0;
  if (!input_bytes(m, n)) return nullptr;
  return PyLong_FromSize_t(n);
}

template <bool End>
PyObject* match_bound_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Params p{End ? "Match.end_of" : "Match.start_of", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  return bound_of(as_match(self), g, End);
}

Py_ssize_t match_length(PyObject* self) {
  return static_cast<Py_ssize_t>(as_match(self)->ngroups);
}

PyObject* match_subscript(PyObject* self, PyObject* key) {
  return lookup(as_match(self), key);
}

PyObject* match_repr(PyObject* self) {
  PyMatch* m = as_match(self);
  size_t start = 0, end = 0;
  std::string_view text;
  // Group 0's text encoded on its own into a bytes object: the substring
  // may be the input itself, whose UTF-8 form must not be cached.
  PyObject* matched = nullptr;
  if (m->ngroups > 0 && group_span(m, 0).set()) {
    kordal::Span s = group_span(m, 0);
    PyObject* sub = span_text(m, s);
    if (sub == nullptr) return nullptr;
    matched = PyUnicode_AsUTF8String(sub);
    Py_DECREF(sub);
    if (matched == nullptr) return nullptr;
    start = s.start;
    end = s.end;
    text = std::string_view(PyBytes_AS_STRING(matched),
                            static_cast<size_t>(PyBytes_GET_SIZE(matched)));
  }
  std::string out = "Match(matched=";
  kordal::write_quoted_text(out, text);
  Py_XDECREF(matched);
  out += ", span=(" + std::to_string(start) + ", " + std::to_string(end) +
         "), groups=" + std::to_string(m->ngroups > 0 ? m->ngroups - 1 : 0) + ")";
  return str_from_utf8(out);
}

PyObject* get_matched(PyObject* self, void*) {
  PyMatch* m = as_match(self);
  if (m->ngroups > 0 && group_span(m, 0).set()) return span_text(m, group_span(m, 0));
  return PyUnicode_FromStringAndSize("", 0);
}

PyObject* get_input(PyObject* self, void*) {
  return Py_NewRef(as_match(self)->input);
}

PyObject* get_start(PyObject* self, void*) {
  return bound_of(as_match(self), 0, false);
}

PyObject* get_end(PyObject* self, void*) {
  return bound_of(as_match(self), 0, true);
}

PyObject* get_span(PyObject* self, void*) {
  PyMatch* m = as_match(self);
  if (m->ngroups > 0) {
    const kordal::Span s = group_span(m, 0);
    if (s.set()) return offset_pair(s.start, s.end);
  }
  size_t n = 0;
  if (!input_bytes(m, n)) return nullptr;
  return offset_pair(n, n);
}

PyObject* get_capture_count(PyObject* self, void*) {
  size_t g = as_match(self)->ngroups;
  return PyLong_FromSize_t(g > 0 ? g - 1 : 0);
}

PyObject* get_groups(PyObject* self, void*) {
  return all_group_texts(as_match(self), true);
}

// A dict over the named groups; `value` gives each entry, or nullptr with no
// error set to leave the name out.
template <class F>
PyObject* names_dict(PyMatch* m, F value) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [name, g] : names_of(m)) {
    PyObject* v = value(g);
    if (v == nullptr) {
      if (PyErr_Occurred()) break;
      continue;
    }
    PyObject* k = str_from_utf8(name);
    int rc = k != nullptr ? PyDict_SetItem(dict, k, v) : -1;
    Py_XDECREF(k);
    Py_DECREF(v);
    if (rc < 0) break;
  }
  if (PyErr_Occurred()) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* get_named_groups(PyObject* self, void*) {
  PyMatch* m = as_match(self);
  return names_dict(m, [m](size_t g) -> PyObject* {
    if (g >= m->ngroups || !group_span(m, g).set()) return nullptr;
    return span_text(m, group_span(m, g));
  });
}

PyObject* get_all_captures(PyObject* self, void*) {
  PyMatch* m = as_match(self);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(m->ngroups));
  if (list == nullptr) return nullptr;
  for (size_t g = 0; g < m->ngroups; ++g) {
    PyObject* h = history_list(m, g);
    if (h == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(g), h);
  }
  return list;
}

PyObject* get_captures_dict(PyObject* self, void*) {
  PyMatch* m = as_match(self);
  return names_dict(m, [m](size_t g) { return history_list(m, g); });
}

// --- For people coming from `re`: groupdict, expand, char_span (spans in
// code points, str indexes), lastindex, lastgroup. groupdict costs
// O(named groups log named groups) for its ordering, expand O(template +
// inserted text), the rest O(1) or O(names). ---

const char* const kDefault[] = {"default"};
const char* const kTemplate[] = {"template"};

PyObject* span_tuple(size_t start, size_t end) {
  return offset_pair(start, end);
}

PyObject* match_groupdict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params p{"Match.groupdict", kDefault, 1, 0};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  PyObject* dflt = a[0] != nullptr ? a[0] : Py_None;
  PyMatch* m = as_match(self);
  // Group order, as `re` gives it, instead of the names map's.
  std::vector<std::pair<size_t, const std::string*>> named;
  for (const auto& [name, g] : names_of(m)) named.emplace_back(g, &name);
  std::sort(named.begin(), named.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first < y.first : *x.second < *y.second;
  });
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [g, name] : named) {
    const kordal::Span s = g < m->ngroups ? group_span(m, g) : kordal::Span{};
    PyObject* v = s.set() ? span_text(m, s) : Py_NewRef(dflt);
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
  PyMatch* m = as_match(self);
  // Group texts are cut from the str by code points, so the haystack's
  // UTF-8 form is never built; only the (short) group texts are encoded.
  std::string out;
  bool ok = true;
  kordal::regex::expand_with(
      tmpl.utf8, em.caps.size(), em.names.get(), [&](std::string_view lit) { out += lit; },
      [&](size_t g) {
        const kordal::Span& s = em.caps[g];
        if (!ok || !s.set() || s.cstart == s.cend) return;
        PyObject* sub = span_text(m, s);
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
  PyMatch* m = as_match(self);
  if (g >= m->ngroups || !group_span(m, g).set()) Py_RETURN_NONE;
  const kordal::Span s = group_span(m, g);
  const size_t base = m->extra != nullptr ? m->extra->cbase : 0;
  return span_tuple(s.cstart + base, s.cend + base);
}

PyObject* get_lastindex(PyObject* self, void*) {
  const size_t g = match_lastindex(self);
  if (g == kordal::kUnset) Py_RETURN_NONE;
  return PyLong_FromSize_t(g);
}

PyObject* get_lastgroup(PyObject* self, void*) {
  const size_t g = match_lastindex(self);
  if (g == kordal::kUnset) Py_RETURN_NONE;
  // Several names can share a number; the map's order is arbitrary, so take
  // the smallest name for a stable answer.
  const std::string* best = nullptr;
  for (const auto& [name, index] : names_of(as_match(self))) {
    if (index == g && (best == nullptr || name < *best)) best = &name;
  }
  if (best == nullptr) Py_RETURN_NONE;
  return str_from_utf8(*best);
}

PyObject* match_sizeof(PyObject* self, PyObject*) {
  PyMatch* m = as_match(self);
  const size_t nhist = m->flat ? 0 : hist_offsets(m)[m->ngroups];
  return PyLong_FromSize_t(match_bytes(m->ngroups, m->layout, m->flat, nhist) +
                           (m->extra != nullptr ? sizeof(MatchExtra) : 0));
}

#define KORDAL_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    KORDAL_METHOD("group", match_group,
                  "group($self, *args)\n--\n\n"
                  "Text of one or more groups.\n\n"
                  "With no args: ``(whole_match, group1, group2, ...)``.\n"
                  "With one int: text of that group (``0`` = whole match), or ``None``.\n"
                  "With one str: text of that named group, or ``None``.\n"
                  "With multiple args: a tuple of the per-arg results."),
    KORDAL_METHOD("captures", match_captures,
                  "captures($self, index)\n--\n\n"
                  "All captures (repeated-capture history) of group ``index``."),
    KORDAL_METHOD("captures_by_name", match_captures_by_name,
                  "captures_by_name($self, name)\n--\n\nAll captures of a named group."),
    KORDAL_METHOD("span_of", match_span_of,
                  "span_of($self, index=0)\n--\n\n"
                  "``(start, end)`` byte span of group ``index``, or ``None`` if it did\n"
                  "not participate."),
    KORDAL_METHOD("start_of", match_bound_of<false>,
                  "start_of($self, index=0)\n--\n\n"
                  "Start byte offset of group ``index`` (default 0). Returns the input\n"
                  "length if the group did not participate (Python semantics)."),
    KORDAL_METHOD("end_of", match_bound_of<true>,
                  "end_of($self, index=0)\n--\n\nEnd byte offset of group ``index`` (default 0)."),
    KORDAL_METHOD("groupdict", match_groupdict,
                  "groupdict($self, default=None)\n--\n\n"
                  "Map of every named group to its text; ``default`` for the groups that\n"
                  "did not participate."),
    KORDAL_METHOD("expand", match_expand,
                  "expand($self, template)\n--\n\n"
                  "Expand a replacement template (``$1``, ``${name}``, ``\\g<name>`` ...)\n"
                  "against this match, as :meth:`Regex.replace` does."),
    KORDAL_METHOD("char_span", match_char_span,
                  "char_span($self, index=0)\n--\n\n"
                  "``(start, end)`` span of group ``index`` in code points (``str``\n"
                  "indexes, so ``m.input[start:end]`` is the group's text), or ``None`` if\n"
                  "it did not participate."),
    {"__reduce__", guarded<match_reduce>, METH_NOARGS, "Pickle support."},
    {"__sizeof__", guarded<match_sizeof>, METH_NOARGS, "Size of the object in memory, in bytes."},
    {"__copy__", guarded<copy_self>, METH_NOARGS, "A Match is immutable: returns itself."},
    {"__deepcopy__", guarded<copy_self>, METH_O, "A Match is immutable: returns itself."},
    {nullptr, nullptr, 0, nullptr},
};

#undef KORDAL_METHOD

PyGetSetDef kGetSet[] = {
    {"matched", guarded<get_matched>, nullptr, "The whole match text (group 0).", nullptr},
    {"group0", guarded<get_matched>, nullptr,
     "Alias of ``matched``, for familiarity with the ``re`` module's ``group(0)``.", nullptr},
    {"input", guarded<get_input>, nullptr, "The original input string this match was found in.",
     nullptr},
    {"start", guarded<get_start>, nullptr, "Byte offset where the whole match starts.", nullptr},
    {"end", guarded<get_end>, nullptr, "Byte offset where the whole match ends.", nullptr},
    {"span", guarded<get_span>, nullptr, "The ``(start, end)`` byte span of the whole match.",
     nullptr},
    {"capture_count", guarded<get_capture_count>, nullptr,
     "The number of capturing groups (group 0 not counted).", nullptr},
    {"groups", guarded<get_groups>, nullptr,
     "Current text of every group (group 0 first). Groups that did not\n"
     "participate are ``None``.",
     nullptr},
    {"named_groups", guarded<get_named_groups>, nullptr,
     "Map of named-group name to its current text.", nullptr},
    {"all_captures", guarded<get_all_captures>, nullptr,
     "Captures of every group (group 0 first); each entry is a group's\n"
     "repeated-capture history. Non-participating iterations are ``None``.",
     nullptr},
    {"captures_dict", guarded<get_captures_dict>, nullptr,
     "Map of named-group name to its repeated-capture history.", nullptr},
    {"lastindex", guarded<get_lastindex>, nullptr,
     "Number of the capturing group that closed last, or ``None`` if no group\n"
     "participated (as in ``re``).",
     nullptr},
    {"lastgroup", guarded<get_lastgroup>, nullptr,
     "Name of the group ``lastindex`` refers to, or ``None`` if it has no name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "A successful match, carrying the full capture state.\n\n"
    "Supports ``len(m)``, ``m[index]`` (integer \xe2\x86\x92 group by number, string \xe2\x86\x92\n"
    "named group), and ``m.matched`` / ``m.start`` / ``m.end`` etc.";

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT;
// Without the flag, refuse construction by hand: a half-built object would
// be destroyed with garbage fields.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.Match' instances");
  return nullptr;
}
#endif

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<match_repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
#endif
    {Py_mp_length, reinterpret_cast<void*>(guarded<match_length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(guarded<match_subscript>)},
    {0, nullptr},
};

// Each Match is allocated at its own size (match_bytes), so the class has no
// per-item size; __sizeof__ reports the real one.
PyType_Spec kSpec = {"builtins.Match", sizeof(PyMatch), 0, kFlags, kSlots};

}  // namespace

PyObject* make_match_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

namespace {

// A Match of G groups with its spans left to the caller (and its histories,
// unless flat), found by `regex` (with its names and lastindex worked out
// lazily) or, without one, owning `names` and given `lastindex`.
PyMatch* alloc_match(ModuleState* st, PyObject* input, size_t G, uint32_t layout, bool flat,
                     size_t nhist, PyObject* regex,
                     const std::shared_ptr<const kordal::Names>* names = nullptr,
                     size_t lastindex = kordal::kUnset) {
  if (G > kMaxGroups) {
    PyErr_NoMemory();
    return nullptr;
  }
  void* mem = PyObject_Malloc(match_bytes(G, layout, flat, nhist));
  if (mem == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  PyMatch* m =
      reinterpret_cast<PyMatch*>(PyObject_Init(static_cast<PyObject*>(mem), st->match_type));
  m->input = Py_NewRef(input);
  m->extra = nullptr;
  m->ngroups = static_cast<uint32_t>(G);
  m->layout = layout;
  m->flat = flat;
  if (regex != nullptr) {
    m->regex = Py_NewRef(regex);
    m->lastindex = G > 1 ? kLazy : kNoGroup;
    return m;
  }
  m->regex = nullptr;
  m->lastindex = lastindex < G ? static_cast<uint32_t>(lastindex) : kNoGroup;
  m->extra = new (std::nothrow) MatchExtra();
  if (m->extra == nullptr) {
    Py_DECREF(reinterpret_cast<PyObject*>(m));
    PyErr_NoMemory();
    return nullptr;
  }
  m->extra->owned_names = names != nullptr ? *names : nullptr;
  if (!m->extra->owned_names) {
    static const auto empty = std::make_shared<const kordal::Names>();
    m->extra->owned_names = empty;
  }
  return m;
}

// The layout for the spans of a search of `input`: byte offsets are at most
// four per code point, and equal to code-point indices in ASCII.
uint32_t layout_for(PyObject* input) {
  if (static_cast<size_t>(PyUnicode_GET_LENGTH(input)) >= (size_t{1} << 30)) return kWide;
  return PyUnicode_IS_ASCII(input) ? kSame : kNarrow;
}

bool fits_narrow(const kordal::Span& s) {
  return !s.set() ||
         (s.start < kUnset32 && s.end < kUnset32 && s.cstart < kUnset32 && s.cend < kUnset32);
}

// The layout that holds every span of `caps`.
uint32_t layout_for(const std::vector<kordal::Span>& caps) {
  bool narrow = true, same = true;
  for (const kordal::Span& s : caps) {
    narrow = narrow && fits_narrow(s);
    same = same && (!s.set() || (s.start == s.cstart && s.end == s.cend));
  }
  return !narrow ? kWide : same ? kSame : kNarrow;
}

}  // namespace

PyObject* new_match(ModuleState* st, PyObject* input, const kordal::Match& em, size_t lastindex,
                    PyObject* regex) {
  const size_t G = em.caps.size();
  // A streamed match's byte offsets count from the stream's start, so the
  // layout follows the values, not the input.
  const uint32_t layout = layout_for(em.caps);
  const auto span = [&](size_t g) { return em.caps[g]; };
  if (em.flat_history) {
    PyMatch* m = alloc_match(st, input, G, layout, true, 0, regex, &em.names, lastindex);
    if (m == nullptr) return nullptr;
    write_spans(m, G, span);
    return reinterpret_cast<PyObject*>(m);
  }
  size_t nhist = 0;
  for (size_t g = 0; g < G; ++g) nhist += em.history_size(g);
  // Group 0's history is the whole match once, whether or not the engine
  // recorded it.
  const bool synth0 = G > 0 && em.caps[0].set() && em.history_size(0) == 0;
  nhist += synth0;
  PyMatch* m = alloc_match(st, input, G, layout, false, nhist, regex, &em.names, lastindex);
  if (m == nullptr) return nullptr;
  write_spans(m, G, span);
  size_t* off = hist_offsets(m);
  size_t* hs = hist_spans(m);
  size_t k = 0;
  const auto put = [&](const kordal::Span& s) {
    hs[2 * k] = s.cstart;
    hs[2 * k + 1] = s.cend;
    ++k;
  };
  for (size_t g = 0; g < G; ++g) {
    off[g] = k;
    if (g == 0 && synth0) {
      put(em.caps[0]);
      continue;
    }
    const size_t n = em.history_size(g);
    const kordal::Span* src = n > 0 ? em.history_of(g) : nullptr;
    for (size_t i = 0; i < n; ++i) put(src[i]);
  }
  off[G] = k;
  return reinterpret_cast<PyObject*>(m);
}

PyObject* match_from_state(PyObject* regex, PyObject* input, const kordal::State& st) {
  if (!st.flat) {
    kordal::Match em;
    try {
      regex_of(regex).fill_match(em, {}, st);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    return new_match(regex_state(regex), input, em, kordal::kUnset, regex);
  }
  // No histories: the spans alone, converted straight from the State.
  const size_t G = st.caps().size();
  PyMatch* m = alloc_match(regex_state(regex), input, G, layout_for(input), true, 0, regex);
  if (m == nullptr) return nullptr;
  const kordal::CpSpan* caps = st.caps().data();
  if (m->layout == kSame) {
    // Byte offsets are the indices: no conversion to look up.
    uint32_t* w = reinterpret_cast<uint32_t*>(tail(m));
    for (size_t g = 0; g < G; ++g, w += 2) {
      w[0] = caps[g].set() ? static_cast<uint32_t>(caps[g].start) : kUnset32;
      w[1] = caps[g].set() ? static_cast<uint32_t>(caps[g].end) : kUnset32;
    }
    return reinterpret_cast<PyObject*>(m);
  }
  write_spans(m, G, [&](size_t g) {
    const kordal::CpSpan c = caps[g];
    return c.set() ? kordal::Span{st.offset(c.start), st.offset(c.end), c.start, c.end}
                   : kordal::Span{};
  });
  return reinterpret_cast<PyObject*>(m);
}

PyObject* match_from_spans(PyObject* regex, PyObject* input, const kordal::Span* spans,
                           size_t groups) {
  PyMatch* m = alloc_match(regex_state(regex), input, groups, layout_for(input), true, 0, regex);
  if (m == nullptr) return nullptr;
  write_spans(m, groups, [&](size_t g) { return spans[g]; });
  return reinterpret_cast<PyObject*>(m);
}

bool set_match_base(PyObject* match, size_t cbase) {
  MatchExtra* x = extra_of(as_match(match));
  if (x == nullptr) return false;
  x->cbase = cbase;
  return true;
}

PyObject* match_input(PyObject* match) {
  return as_match(match)->input;
}

size_t match_lastindex(PyObject* match) {
  PyMatch* m = as_match(match);
  if (m->lastindex == kLazy) {
    const size_t last = last_closed_group(m->ngroups, group_nesting_of(m->regex), [&](size_t g) {
      const kordal::Span s = group_span(m, g);
      return s.set() ? s.cend : kordal::kUnset;
    });
    m->lastindex = last < m->ngroups ? static_cast<uint32_t>(last) : kNoGroup;
  }
  return m->lastindex == kNoGroup ? kordal::kUnset : m->lastindex;
}

kordal::Match match_snapshot(PyObject* match) {
  PyMatch* m = as_match(match);
  kordal::Match em;
  em.names = m->regex != nullptr ? regex_of(m->regex).names_shared() : m->extra->owned_names;
  em.caps.reserve(m->ngroups);
  for (size_t g = 0; g < m->ngroups; ++g) em.caps.push_back(group_span(m, g));
  if (m->flat) {
    em.flat_history = true;
    return em;
  }
  const size_t* off = hist_offsets(m);
  const size_t nhist = off[m->ngroups];
  em.history_starts.assign(off, off + m->ngroups + 1);
  em.history.reserve(nhist);
  const size_t* w = hist_spans(m);
  // Histories keep code-point spans only; their byte offsets are never read.
  for (size_t i = 0; i < nhist; ++i, w += 2) {
    em.history.push_back(kordal::Span{kordal::kUnset, kordal::kUnset, w[0], w[1]});
  }
  return em;
}

}  // namespace kordal::py
