// Pickling and copying of Regex, Match and PartialMatch, so they travel to
// worker processes (multiprocessing, process pools, Dask) and back.
//
// A Regex reduces to `compile(pattern, flags)` with its resolved flags;
// compiling with resolved flags adds nothing more, so the copy has the same
// pattern, flags, groups and behaviour. A Match or PartialMatch reduces to
// its haystack plus code-point spans, histories, names (and lastindex), and a
// private module function rebuilds it. The classes carry no module of their
// own ("builtins.Match"), so pickle could not find a class to call; module
// functions it can.
//
// Rebuilding trusts nothing in the state: every index is checked against the
// haystack and the group count before an object is made, since a Match reads
// its spans without further checks. Byte offsets are recomputed from the
// code points in one pass over the haystack, O(n + spans log spans).
// All three classes are immutable, so copy.copy and copy.deepcopy return the
// object itself, as `re` does for its patterns.
#include <algorithm>
#include <numeric>

#include "binding.hpp"
#include "utf8.hpp"

namespace kordal::py {

namespace {

// The module function `name`, for pickle to store by reference.
PyObject* module_function(const char* name) {
  PyObject* mod = PyImport_ImportModule("kordal_python");
  if (mod == nullptr) return nullptr;
  PyObject* fn = PyObject_GetAttrString(mod, name);
  Py_DECREF(mod);
  return fn;
}

PyObject* reduce_to(const char* fn_name, PyObject* state) {
  if (state == nullptr) return nullptr;
  PyObject* fn = module_function(fn_name);
  PyObject* r = fn != nullptr ? Py_BuildValue("(O(O))", fn, state) : nullptr;
  Py_XDECREF(fn);
  Py_DECREF(state);
  return r;
}

PyObject* names_to_dict(const kordal::Names& names) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [name, g] : names) {
    PyObject* k = str_from_utf8(name);
    PyObject* v = k != nullptr ? PyLong_FromSize_t(g) : nullptr;
    const int rc = v != nullptr ? PyDict_SetItem(dict, k, v) : -1;
    Py_XDECREF(k);
    Py_XDECREF(v);
    if (rc < 0) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

PyObject* cp_pair(const kordal::Span& s) {
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(s.cstart), static_cast<Py_ssize_t>(s.cend));
}

// --- reading a state back ---

bool bad_state(const char* what) {
  PyErr_Format(PyExc_ValueError, "invalid pickled state: %s", what);
  return false;
}

bool read_size(PyObject* o, size_t limit, size_t& out) {
  if (!PyLong_Check(o)) return bad_state("expected an int");
  out = PyLong_AsSize_t(o);
  if (out == static_cast<size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return bad_state("index out of range");
  }
  if (out > limit) return bad_state("index out of range");
  return true;
}

// A (start, end) pair of code points within a text of `len` code points.
bool read_pair(PyObject* o, size_t len, kordal::Span& out) {
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != 2) return bad_state("expected a span");
  size_t s = 0, e = 0;
  if (!read_size(PyTuple_GET_ITEM(o, 0), len, s) || !read_size(PyTuple_GET_ITEM(o, 1), len, e)) {
    return false;
  }
  if (s > e) return bad_state("span ends before it starts");
  out = kordal::Span{0, 0, s, e};
  return true;
}

bool read_names(PyObject* o, std::shared_ptr<const kordal::Names>& out) {
  if (!PyDict_Check(o)) return bad_state("expected a dict of group names");
  auto names = std::make_shared<kordal::Names>();
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(o, &pos, &k, &v)) {
    if (!PyUnicode_Check(k)) return bad_state("group name is not a str");
    Py_ssize_t n = 0;
    const char* data = PyUnicode_AsUTF8AndSize(k, &n);
    if (data == nullptr) return false;
    size_t g = 0;
    if (!read_size(v, static_cast<size_t>(-2), g)) return false;
    names->emplace(std::string(data, static_cast<size_t>(n)), g);
  }
  out = std::move(names);
  return true;
}

// Fills in the byte offsets of `spans` from their code-point indices into
// `text`, in one pass over the text.
bool fill_bytes(PyObject* text, std::vector<kordal::Span*>& spans) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return false;
#endif
  if (PyUnicode_IS_ASCII(text)) {
    for (kordal::Span* s : spans) {
      s->start = s->cstart;
      s->end = s->cend;
    }
    return true;
  }
  std::vector<std::pair<size_t, size_t*>> points;  // code point, byte offset to fill
  points.reserve(spans.size() * 2);
  for (kordal::Span* s : spans) {
    points.emplace_back(s->cstart, &s->start);
    points.emplace_back(s->cend, &s->end);
  }
  std::sort(points.begin(), points.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  size_t cp = 0, byte = 0;
  for (const auto& [at, out] : points) {
    for (; cp < at; ++cp) byte += kordal::utf8_len(PyUnicode_READ(kind, data, cp));
    *out = byte;
  }
  return true;
}

// The haystack of a state, as an exact str (new reference) and its length.
PyObject* read_input(PyObject* o, size_t& len) {
  if (!PyUnicode_Check(o)) {
    bad_state("input is not a str");
    return nullptr;
  }
  PyObject* s = exact_str(o);
  if (s == nullptr) return nullptr;
  len = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  // No search accepts a lone surrogate, so no real result holds one; the
  // byte offsets of one would not exist.
  const int kind = PyUnicode_KIND(s);
  if (kind != PyUnicode_1BYTE_KIND) {
    const void* data = PyUnicode_DATA(s);
    for (size_t i = 0; i < len; ++i) {
      const Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (c >= 0xD800 && c <= 0xDFFF) {
        Py_DECREF(s);
        bad_state("input holds a lone surrogate");
        return nullptr;
      }
    }
  }
  return s;
}

bool unpack(PyObject* state, Py_ssize_t n, PyObject** out) {
  if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != n) return bad_state("wrong shape");
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyTuple_GET_ITEM(state, i);
  return true;
}

// State: (input, spans, histories, names, lastindex); spans holds one
// (start, end) or None per group, histories one flat tuple
// (start0, end0, start1, end1, ...) per group, all in code points.
PyObject* restore_match(PyObject* module, PyObject* state) {
  PyObject* f[5];
  if (!unpack(state, 5, f)) return nullptr;
  size_t len = 0;
  PyObject* input = read_input(f[0], len);
  if (input == nullptr) return nullptr;
  kordal::Match em;
  size_t lastindex = kordal::kUnset;
  std::vector<kordal::Span*> all;
  bool ok = PyTuple_Check(f[1]) && PyTuple_GET_SIZE(f[1]) > 0 && PyTuple_Check(f[2]) &&
            PyTuple_GET_SIZE(f[2]) == PyTuple_GET_SIZE(f[1]);
  if (!ok) bad_state("groups do not match histories");
  const size_t G = ok ? static_cast<size_t>(PyTuple_GET_SIZE(f[1])) : 0;
  em.caps.resize(G);
  for (size_t g = 0; ok && g < G; ++g) {
    PyObject* sp = PyTuple_GET_ITEM(f[1], static_cast<Py_ssize_t>(g));
    if (sp != Py_None) ok = read_pair(sp, len, em.caps[g]);
  }
  for (size_t g = 0; ok && g < G; ++g) {
    em.history_starts.push_back(em.history.size());
    PyObject* h = PyTuple_GET_ITEM(f[2], static_cast<Py_ssize_t>(g));
    if (!PyTuple_Check(h) || PyTuple_GET_SIZE(h) % 2 != 0) {
      ok = bad_state("history is not a tuple of pairs");
      break;
    }
    for (Py_ssize_t i = 0; ok && i < PyTuple_GET_SIZE(h); i += 2) {
      size_t s = 0, e = 0;
      ok = read_size(PyTuple_GET_ITEM(h, i), len, s) &&
           read_size(PyTuple_GET_ITEM(h, i + 1), len, e) &&
           (s <= e || bad_state("span ends before it starts"));
      if (ok) em.history.push_back(kordal::Span{0, 0, s, e});
    }
  }
  em.history_starts.push_back(em.history.size());
  ok = ok && read_names(f[3], em.names);
  if (ok && f[4] != Py_None) {
    ok = read_size(f[4], G - 1, lastindex) &&
         ((lastindex > 0 && em.caps[lastindex].set()) || bad_state("lastindex"));
  }
  if (ok) {
    for (kordal::Span& s : em.caps) {
      if (s.set()) all.push_back(&s);
    }
    for (kordal::Span& s : em.history) all.push_back(&s);
    ok = fill_bytes(input, all);
  }
  PyObject* r = ok ? new_match(module_state(module), input, em, lastindex) : nullptr;
  Py_DECREF(input);
  return r;
}

// State: (input, (start, end), is_full, groups, names); groups holds None
// for a group with nothing, else (state code, start, end) in code points.
PyObject* restore_partial(PyObject* module, PyObject* state) {
  PyObject* f[5];
  if (!unpack(state, 5, f)) return nullptr;
  size_t len = 0;
  PyObject* input = read_input(f[0], len);
  if (input == nullptr) return nullptr;
  kordal::PartialMatch pm;
  bool ok = read_pair(f[1], len, pm.span) &&
            (pm.span.cend == len || bad_state("a partial match ends at the end of its input"));
  const int full = PyObject_IsTrue(f[2]);
  if (full < 0) ok = false;
  pm.is_full = full == 1;
  if (ok && (!PyTuple_Check(f[3]) || PyTuple_GET_SIZE(f[3]) == 0)) ok = bad_state("groups");
  const size_t G = ok ? static_cast<size_t>(PyTuple_GET_SIZE(f[3])) : 0;
  pm.groups.resize(G);
  std::vector<kordal::Span*> all{&pm.span};
  for (size_t g = 0; ok && g < G; ++g) {
    PyObject* o = PyTuple_GET_ITEM(f[3], static_cast<Py_ssize_t>(g));
    if (o == Py_None) continue;
    size_t code = 0;
    ok = (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 3) || bad_state("expected a group");
    ok = ok && read_size(PyTuple_GET_ITEM(o, 0), 1, code);
    PyObject* pair = ok ? PyTuple_GetSlice(o, 1, 3) : nullptr;
    ok = ok && pair != nullptr && read_pair(pair, len, pm.groups[g].span);
    Py_XDECREF(pair);
    if (ok) {
      pm.groups[g].state = static_cast<kordal::GroupState>(code);
      all.push_back(&pm.groups[g].span);
    }
  }
  ok = ok && read_names(f[4], pm.names) && fill_bytes(input, all);
  PyObject* r = ok ? new_partial_match(module_state(module), input, pm) : nullptr;
  Py_DECREF(input);
  return r;
}

}  // namespace

PyObject* regex_reduce(PyObject* self, PyObject*) {
  const kordal::Regex& re = regex_of(self);
  PyObject* fn = module_function("compile");
  if (fn == nullptr) return nullptr;
  PyObject* pattern = str_from_utf8(re.pattern());
  PyObject* r = pattern != nullptr
                    ? Py_BuildValue("(O(Ok))", fn, pattern, static_cast<unsigned long>(re.flags()))
                    : nullptr;
  Py_XDECREF(pattern);
  Py_DECREF(fn);
  return r;
}

PyObject* match_reduce(PyObject* self, PyObject*) {
  const kordal::Match em = match_snapshot(self);
  const size_t G = em.caps.size();
  PyObject* spans = PyTuple_New(static_cast<Py_ssize_t>(G));
  PyObject* hist = PyTuple_New(static_cast<Py_ssize_t>(G));
  bool ok = spans != nullptr && hist != nullptr;
  for (size_t g = 0; ok && g < G; ++g) {
    PyObject* sp = em.caps[g].set() ? cp_pair(em.caps[g]) : Py_NewRef(Py_None);
    const size_t n = em.history_size(g);
    PyObject* h = PyTuple_New(static_cast<Py_ssize_t>(2 * n));
    for (size_t i = 0; h != nullptr && i < n; ++i) {
      const kordal::Span& s = em.history_of(g)[i];
      PyObject* a = PyLong_FromSize_t(s.cstart);
      PyObject* b = PyLong_FromSize_t(s.cend);
      if (a == nullptr || b == nullptr) {
        Py_XDECREF(a);
        Py_XDECREF(b);
        Py_CLEAR(h);
        break;
      }
      PyTuple_SET_ITEM(h, static_cast<Py_ssize_t>(2 * i), a);
      PyTuple_SET_ITEM(h, static_cast<Py_ssize_t>(2 * i + 1), b);
    }
    ok = sp != nullptr && h != nullptr;
    if (sp != nullptr) PyTuple_SET_ITEM(spans, static_cast<Py_ssize_t>(g), sp);
    if (h != nullptr) PyTuple_SET_ITEM(hist, static_cast<Py_ssize_t>(g), h);
  }
  PyObject* names = ok ? names_to_dict(*em.names) : nullptr;
  const size_t last = match_lastindex(self);
  PyObject* state = nullptr;
  if (names != nullptr) {
    PyObject* li = last == kordal::kUnset ? Py_NewRef(Py_None) : PyLong_FromSize_t(last);
    if (li != nullptr) state = PyTuple_Pack(5, match_input(self), spans, hist, names, li);
    Py_XDECREF(li);
  }
  Py_XDECREF(spans);
  Py_XDECREF(hist);
  Py_XDECREF(names);
  return reduce_to("_restore_match", state);
}

PyObject* partial_reduce(PyObject* self, PyObject*) {
  const kordal::PartialMatch pm = partial_snapshot(self);
  const size_t G = pm.groups.size();
  PyObject* groups = PyTuple_New(static_cast<Py_ssize_t>(G));
  bool ok = groups != nullptr;
  for (size_t g = 0; ok && g < G; ++g) {
    const kordal::PartialGroup& pg = pm.groups[g];
    PyObject* o = pg.state == kordal::GroupState::None
                      ? Py_NewRef(Py_None)
                      : Py_BuildValue("(inn)", static_cast<int>(pg.state),
                                      static_cast<Py_ssize_t>(pg.span.cstart),
                                      static_cast<Py_ssize_t>(pg.span.cend));
    ok = o != nullptr;
    if (ok) PyTuple_SET_ITEM(groups, static_cast<Py_ssize_t>(g), o);
  }
  PyObject* names = ok ? names_to_dict(*pm.names) : nullptr;
  PyObject* span = names != nullptr ? cp_pair(pm.span) : nullptr;
  PyObject* state = span != nullptr ? Py_BuildValue("(OOOOO)", partial_input(self), span,
                                                    pm.is_full ? Py_True : Py_False, groups, names)
                                    : nullptr;
  Py_XDECREF(span);
  Py_XDECREF(groups);
  Py_XDECREF(names);
  return reduce_to("_restore_partial_match", state);
}

PyObject* copy_self(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

PyMethodDef restore_functions[] = {
    {"_restore_match", guarded<restore_match>, METH_O,
     "_restore_match(state)\n--\n\nRebuild a pickled Match (private)."},
    {"_restore_partial_match", guarded<restore_partial>, METH_O,
     "_restore_partial_match(state)\n--\n\nRebuild a pickled PartialMatch (private)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kordal::py
