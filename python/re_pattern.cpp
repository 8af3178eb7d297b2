// kordal_python.re.Pattern: a compiled pattern with `re`'s methods, and the
// walks behind them that the module's functions share.
//
// Every search reads the haystack in place, cut at endpos (the text ends
// there for every assertion), and starts at pos without cutting the text
// before it (^, \b and lookbehind still see it). Positions are code-point
// indices, the engine's own, so results need no conversion. Walks over many
// matches (findall, finditer, sub, split) follow `re`'s empty-match rule:
// after an empty match at s the next match may start at s only if it is not
// empty (the engine's nonempty search), and a match may be empty right after
// a non-empty one. Each call costs its searches plus O(groups) per match.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "arguments.hpp"
#include "errors.hpp"
#include "re_binding.hpp"
#include "thread_cache.hpp"
// After Python.h, which re_binding.hpp brings.
#include <structmember.h>

namespace kordal::py::re {

namespace {

// One search of a walk; false with the exception set on failure.
bool step(const RePattern* p, kordal::State& st, size_t s, bool nonempty, bool& found) {
  const kordal::Status status =
      p->c->re.search_state(st, s, kordal::Regex::Anchor::None, nonempty, found, search_control());
  return check_status(status);
}

}  // namespace

PyObject* pattern_search_op(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos,
                            Op op) {
  ReText h;
  if (!haystack_for(p, string, h)) return nullptr;
  clamp(Py_ssize_t(h.text.n), pos, endpos);
  if (pos > endpos) Py_RETURN_NONE;
  kordal::Text t = h.text;
  t.n = size_t(endpos);
  kordal::StateLease lease(p->c->re.group_count(), t);
  bool found = false;
  const kordal::Status status =
      p->c->re.search_state(*lease, size_t(pos), anchor_of(op), false, found, search_control());
  if (!check_status(status)) return nullptr;
  if (!found) Py_RETURN_NONE;
  return new_match(p, string, *lease, pos, endpos);
}

PyObject* pattern_findall_impl(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos) {
  ReText h;
  if (!haystack_for(p, string, h)) return nullptr;
  walk_narrow(h);
  clamp(Py_ssize_t(h.text.n), pos, endpos);
  PyObject* list = PyList_New(0);
  if (list == nullptr || pos > endpos) return list;
  kordal::Text t = h.text;
  t.n = size_t(endpos);
  const size_t groups = p->c->re.group_count();
  kordal::StateLease lease(groups, t);
  kordal::State& st = *lease;
  size_t s = size_t(pos);
  bool nonempty = false;
  while (s <= t.n) {
    bool found = false;
    if (!step(p, st, s, nonempty, found)) {
      Py_DECREF(list);
      return nullptr;
    }
    if (!found) break;
    const kordal::CpSpan whole = st.caps()[0];
    PyObject* item = nullptr;
    auto group_text = [&](size_t g) {
      const kordal::CpSpan c = st.caps()[g];
      return c.set() ? slice(string, Py_ssize_t(c.start), Py_ssize_t(c.end)) : slice(string, 0, 0);
    };
    if (groups == 0) {
      item = group_text(0);
    } else if (groups == 1) {
      item = group_text(1);
    } else {
      item = PyTuple_New(Py_ssize_t(groups));
      for (size_t g = 1; item != nullptr && g <= groups; ++g) {
        PyObject* v = group_text(g);
        if (v == nullptr)
          Py_CLEAR(item);
        else
          PyTuple_SET_ITEM(item, Py_ssize_t(g - 1), v);
      }
    }
    if (item == nullptr || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
    nonempty = whole.start == whole.end;
    s = whole.end;
  }
  return list;
}

// --- sub and subn ---

namespace {

// Appends code points [a, b) of the haystack.
void append_text(std::u32string& out, const kordal::Text& t, size_t a, size_t b) {
  kordal::with_units(t, [&](const auto* u) { out.append(u + a, u + b); });
}

// Appends what a replacement function returned (str or bytes as the pattern,
// or None for nothing).
bool append_result(std::u32string& out, PyObject* r, bool bytes) {
  if (r == Py_None) return true;
  ReText rt;
  if ((bytes ? !PyUnicode_Check(r) : PyUnicode_Check(r)) && to_re_text(r, rt)) {
    append_text(out, rt.text, 0, rt.text.n);
    return true;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "expected %s instance, %.200s found", bytes ? "bytes" : "str",
               Py_TYPE(r)->tp_name);
  return false;
}

// The output of sub is built in the thread's buffer, which a call takes
// over from the last: growing a fresh one to the size of the text would
// cost a page fault per page on every call. One that grew past kKeepBytes
// is freed after its call; a call made from a replacement function gets
// its own.
struct SubBuffer {
  static constexpr size_t kKeepBytes = size_t(16) << 20;
  std::u32string text;
  void trim() {
    if (text.capacity() * sizeof(char32_t) > kKeepBytes) {
      std::u32string().swap(text);
    } else {
      text.clear();
    }
  }
};

// The parsed template, shared: a call from within a replacement function
// may parse another one while this call still uses it.
std::shared_ptr<const Template> template_for(RePattern* p, PyObject* repl) {
  if (p->tmpl != nullptr && p->tmpl_src == repl) return *p->tmpl;
  std::shared_ptr<const Template> t(parse_template(p, repl));
  if (!t) return t;
  if (p->tmpl == nullptr) p->tmpl = new std::shared_ptr<const Template>;
  *p->tmpl = t;
  Py_XSETREF(p->tmpl_src, Py_NewRef(repl));
  return t;
}

}  // namespace

PyObject* pattern_subn_impl(RePattern* p, PyObject* repl, PyObject* string, Py_ssize_t count,
                            bool with_count) {
  ReText h;
  if (!haystack_for(p, string, h)) return nullptr;
  if (count == 0) walk_narrow(h);
  const bool call = PyCallable_Check(repl);
  std::shared_ptr<const Template> tmpl;
  if (!call && !(tmpl = template_for(p, repl))) return nullptr;
  const kordal::Text& t = h.text;
  const size_t groups = p->c->re.group_count();
  kordal::StateLease lease(groups, t);
  kordal::State& st = *lease;
  kordal::ThreadCache<SubBuffer> buffer;
  std::u32string& out = buffer.get().text;
  out.clear();
  out.reserve(t.n);
  std::vector<Py_ssize_t> spans(2 * (groups + 1));
  size_t s = 0, last = 0;
  Py_ssize_t n = 0;
  bool nonempty = false;
  if (count < 0) count = -1;  // no replacement at all, as in `re`
  while (s <= t.n && count >= 0 && (count == 0 || n < count)) {
    bool found = false;
    if (!step(p, st, s, nonempty, found)) return nullptr;
    if (!found) break;
    const kordal::CpSpan whole = st.caps()[0];
    append_text(out, t, last, whole.start);
    if (call) {
      PyObject* m = new_match(p, string, st, 0, Py_ssize_t(t.n));
      if (m == nullptr) return nullptr;
      PyObject* r = PyObject_CallOneArg(repl, m);
      Py_DECREF(m);
      if (r == nullptr) return nullptr;
      const bool ok = append_result(out, r, p->bytes);
      Py_DECREF(r);
      if (!ok) return nullptr;
    } else {
      for (size_t g = 0; g <= groups; ++g) {
        const kordal::CpSpan c = st.caps()[g];
        spans[2 * g] = c.set() ? Py_ssize_t(c.start) : -1;
        spans[2 * g + 1] = c.set() ? Py_ssize_t(c.end) : -1;
      }
      expand_into(*tmpl, t, spans.data(), out);
    }
    last = whole.end;
    nonempty = whole.start == whole.end;
    s = whole.end;
    ++n;
  }
  PyObject* result;
  if (n == 0 && (PyUnicode_CheckExact(string) || PyBytes_CheckExact(string))) {
    result = Py_NewRef(string);
  } else {
    append_text(out, t, last, t.n);
    result = build_result(out, p->bytes);
  }
  if (!with_count || result == nullptr) return result;
  PyObject* pair = Py_BuildValue("(Nn)", result, n);
  return pair;
}

PyObject* pattern_split_impl(RePattern* p, PyObject* string, Py_ssize_t maxsplit) {
  ReText h;
  if (!haystack_for(p, string, h)) return nullptr;
  if (maxsplit == 0) walk_narrow(h);
  const kordal::Text& t = h.text;
  const size_t groups = p->c->re.group_count();
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  auto push = [&](PyObject* v) {
    if (v == nullptr) return false;
    const int rc = PyList_Append(list, v);
    Py_DECREF(v);
    return rc == 0;
  };
  kordal::StateLease lease(groups, t);
  kordal::State& st = *lease;
  size_t s = 0, last = 0;
  Py_ssize_t n = 0;
  bool nonempty = false;
  while (s <= t.n && maxsplit >= 0 && (maxsplit == 0 || n < maxsplit)) {
    bool found = false;
    if (!step(p, st, s, nonempty, found)) {
      Py_DECREF(list);
      return nullptr;
    }
    if (!found) break;
    const kordal::CpSpan whole = st.caps()[0];
    bool ok = push(slice(string, Py_ssize_t(last), Py_ssize_t(whole.start)));
    for (size_t g = 1; ok && g <= groups; ++g) {
      const kordal::CpSpan c = st.caps()[g];
      ok = push(c.set() ? slice(string, Py_ssize_t(c.start), Py_ssize_t(c.end))
                        : Py_NewRef(Py_None));
    }
    if (!ok) {
      Py_DECREF(list);
      return nullptr;
    }
    last = whole.end;
    nonempty = whole.start == whole.end;
    s = whole.end;
    ++n;
  }
  if (!push(slice(string, Py_ssize_t(last), Py_ssize_t(t.n)))) {
    Py_DECREF(list);
    return nullptr;
  }
  return list;
}

// --- the Pattern type ---

namespace {

void pattern_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  RePattern* p = as_pattern(self);
  if (p->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  delete p->c;
  delete p->tmpl;  // the shared_ptr slot
  Py_CLEAR(p->tmpl_src);
  Py_CLEAR(p->pattern);
  Py_CLEAR(p->groupindex);
  Py_CLEAR(p->names);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Tracked for the module's caches, which hold Patterns (their classes refer
// to the module), and for a pattern or template given as a str subclass
// whose attributes refer back to the Pattern.
int pattern_traverse(PyObject* self, visitproc visit, void* arg) {
  RePattern* p = as_pattern(self);
  Py_VISIT(p->pattern);
  Py_VISIT(p->groupindex);
  Py_VISIT(p->names);
  Py_VISIT(p->tmpl_src);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

const char* const kSearchParams[] = {"string", "pos", "endpos", "timeout"};

template <Op O>
PyObject* pattern_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Params prm{O == Op::Search  ? "Pattern.search"
                          : O == Op::Match ? "Pattern.match"
                                           : "Pattern.fullmatch",
                          kSearchParams, 4, 1, 1};
  PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
  // Positional calls, the usual ones in loops, need no binding.
  if (kwnames == nullptr && nargs >= 1 && nargs <= 3) {
    for (Py_ssize_t i = 0; i < nargs; ++i) a[i] = args[i];
  } else if (!bind(prm, args, nargs, kwnames, a)) {
    return nullptr;
  }
  Py_ssize_t pos = 0, endpos = PY_SSIZE_T_MAX;
  double timeout = -1;
  if (!to_ssize(a[1], "pos", pos) || !to_ssize(a[2], "endpos", endpos) ||
      !to_timeout(prm, a, timeout)) {
    return nullptr;
  }
  TimeoutScope limit(timeout);
  return pattern_search_op(as_pattern(self), a[0], pos, endpos, O);
}

PyObject* pattern_findall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params prm{"Pattern.findall", kSearchParams, 4, 1, 1};
  PyObject* a[4];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t pos = 0, endpos = PY_SSIZE_T_MAX;
  double timeout = -1;
  if (!to_ssize(a[1], "pos", pos) || !to_ssize(a[2], "endpos", endpos) ||
      !to_timeout(prm, a, timeout)) {
    return nullptr;
  }
  TimeoutScope limit(timeout);
  return pattern_findall_impl(as_pattern(self), a[0], pos, endpos);
}

template <bool Scan>
PyObject* pattern_finditer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Params prm{Scan ? "Pattern.scanner" : "Pattern.finditer", kSearchParams, 4, 1, 1};
  PyObject* a[4];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t pos = 0, endpos = PY_SSIZE_T_MAX;
  double timeout = -1;
  if (!to_ssize(a[1], "pos", pos) || !to_ssize(a[2], "endpos", endpos) ||
      !to_timeout(prm, a, timeout)) {
    return nullptr;
  }
  return pattern_finditer_impl(as_pattern(self), a[0], pos, endpos, Scan, timeout);
}

const char* const kSubParams[] = {"repl", "string", "count", "timeout"};

template <bool WithCount>
PyObject* pattern_sub(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params prm{WithCount ? "Pattern.subn" : "Pattern.sub", kSubParams, 4, 2, 1};
  PyObject* a[4];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t count = 0;
  double timeout = -1;
  if (!to_ssize(a[2], "count", count) || !to_timeout(prm, a, timeout)) return nullptr;
  TimeoutScope limit(timeout);
  return pattern_subn_impl(as_pattern(self), a[0], a[1], count, WithCount);
}

const char* const kSplitParams[] = {"string", "maxsplit", "timeout"};

PyObject* pattern_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const Params prm{"Pattern.split", kSplitParams, 3, 1, 1};
  PyObject* a[3];
  if (!bind(prm, args, nargs, kwnames, a)) return nullptr;
  Py_ssize_t maxsplit = 0;
  double timeout = -1;
  if (!to_ssize(a[1], "maxsplit", maxsplit) || !to_timeout(prm, a, timeout)) return nullptr;
  TimeoutScope limit(timeout);
  return pattern_split_impl(as_pattern(self), a[0], maxsplit);
}

PyObject* get_pattern(PyObject* self, void*) {
  return Py_NewRef(as_pattern(self)->pattern);
}
PyObject* get_groups(PyObject* self, void*) {
  return PyLong_FromSize_t(as_pattern(self)->c->re.group_count());
}
PyObject* get_groupindex(PyObject* self, void*) {
  return Py_NewRef(as_pattern(self)->groupindex);
}

PyObject* get_flags(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_pattern(self)->flags);
}

PyObject* pattern_repr(PyObject* self) {
  RePattern* p = as_pattern(self);
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {
      {kTemplate, "re.TEMPLATE"},   {kIgnoreCase, "re.IGNORECASE"}, {kLocale, "re.LOCALE"},
      {kMultiline, "re.MULTILINE"}, {kDotAll, "re.DOTALL"},         {kUnicode, "re.UNICODE"},
      {kVerbose, "re.VERBOSE"},     {kDebug, "re.DEBUG"},           {kAscii, "re.ASCII"}};
  uint32_t f = p->flags;
  // Written as `re` writes it (the module is used as `re`); the default
  // flag is not shown.
  if (!p->bytes && (f & (kUnicode | kAscii | kLocale)) == kUnicode) f &= ~kUnicode;
  std::string shown;
  for (const auto& n : kNames) {
    if (f & n.bit) {
      if (!shown.empty()) shown += '|';
      shown += n.name;
      f &= ~n.bit;
    }
  }
  if (f != 0) {
    if (!shown.empty()) shown += '|';
    shown += "0x" + [&] {
      char buf[16];
      std::snprintf(buf, sizeof buf, "%x", f);
      return std::string(buf);
    }();
  }
  PyObject* pr = PyObject_Repr(p->pattern);
  if (pr == nullptr) return nullptr;
  PyObject* r = shown.empty() ? PyUnicode_FromFormat("re.compile(%.200U)", pr)
                              : PyUnicode_FromFormat("re.compile(%.200U, %s)", pr, shown.c_str());
  Py_DECREF(pr);
  return r;
}

PyObject* pattern_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, as_pattern(a)->state->pattern_type)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  RePattern* x = as_pattern(a);
  RePattern* y = as_pattern(b);
  int eq = 1;
  if (a != b) {
    eq = x->flags == y->flags && x->bytes == y->bytes;
    if (eq) {
      eq = PyObject_RichCompareBool(x->pattern, y->pattern, Py_EQ);
      if (eq < 0) return nullptr;
    }
  }
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

Py_hash_t pattern_hash(PyObject* self) {
  RePattern* p = as_pattern(self);
  Py_hash_t h = PyObject_Hash(p->pattern);
  if (h == -1) return -1;
  h ^= Py_hash_t(p->flags) * 1000003;
  return h == -1 ? -2 : h;
}

PyObject* pattern_copy(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

PyObject* pattern_reduce(PyObject* self, PyObject*) {
  RePattern* p = as_pattern(self);
  PyObject* mod = PyImport_ImportModule("kordal_python.re");
  if (mod == nullptr) return nullptr;
  PyObject* compile = PyObject_GetAttrString(mod, "compile");
  Py_DECREF(mod);
  if (compile == nullptr) return nullptr;
  return Py_BuildValue("(N(Ok))", compile, p->pattern, (unsigned long)p->given_flags);
}

#define RE_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    RE_METHOD("search", pattern_search<Op::Search>,
              "search($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "The first match in string[:endpos] starting at or after pos, or None."),
    RE_METHOD("match", pattern_search<Op::Match>,
              "match($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "The match starting exactly at pos, or None."),
    RE_METHOD("fullmatch", pattern_search<Op::Full>,
              "fullmatch($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "The match spanning string[pos:endpos] exactly, or None."),
    RE_METHOD("findall", pattern_findall,
              "findall($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "Every match's text (or its groups) as a list."),
    RE_METHOD("finditer", pattern_finditer<false>,
              "finditer($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "An iterator over every match."),
    RE_METHOD("scanner", pattern_finditer<true>,
              "scanner($self, /, string, pos=0, endpos=sys.maxsize, *, timeout=None)\n--\n\n"
              "A scanner whose search() and match() return successive matches."),
    RE_METHOD("sub", pattern_sub<false>,
              "sub($self, /, repl, string, count=0, *, timeout=None)\n--\n\n"
              "The string with matches replaced by repl (a template or a function)."),
    RE_METHOD("subn", pattern_sub<true>,
              "subn($self, /, repl, string, count=0, *, timeout=None)\n--\n\n"
              "Like sub(), returning (new string, number of replacements)."),
    RE_METHOD("split", pattern_split,
              "split($self, /, string, maxsplit=0, *, timeout=None)\n--\n\n"
              "The string split at the matches, with the groups' texts between."),
    {"__copy__", guarded<pattern_copy>, METH_NOARGS, nullptr},
    {"__deepcopy__", guarded<pattern_copy>, METH_O, nullptr},
    {"__reduce__", guarded<pattern_reduce>, METH_NOARGS, nullptr},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef RE_METHOD

PyGetSetDef kGetSet[] = {
    {"pattern", guarded<get_pattern>, nullptr, "The pattern as given.", nullptr},
    {"flags", guarded<get_flags>, nullptr, "The flags, inline ones included.", nullptr},
    {"groups", guarded<get_groups>, nullptr, "The number of capturing groups.", nullptr},
    {"groupindex", guarded<get_groupindex>, nullptr, "Group names and their numbers.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(RePattern, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
PyObject* refuse_new(PyTypeObject* tp, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", tp->tp_name);
  return nullptr;
}
#endif

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A compiled pattern.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(pattern_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pattern_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<pattern_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<pattern_richcompare>)},
    {Py_tp_hash, reinterpret_cast<void*>(guarded<pattern_hash>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
#endif
    {0, nullptr},
};

PyType_Spec kSpec = {"kordal_python.re.Pattern", sizeof(RePattern), 0, kFlags, kSlots};

// Global inline flags written in the pattern, `(?aiLmsux)`, as re flags.
uint32_t inline_flags(std::string_view pat) {
  uint32_t f = 0;
  for (size_t i = 0; i + 2 < pat.size(); ++i) {
    if (pat[i] == '\\') {
      ++i;
      continue;
    }
    if (pat[i] != '(' || pat[i + 1] != '?') continue;
    uint32_t here = 0;
    size_t j = i + 2;
    for (; j < pat.size(); ++j) {
      const char c = pat[j];
      const uint32_t bit = c == 'i'   ? kIgnoreCase
                           : c == 'm' ? kMultiline
                           : c == 's' ? kDotAll
                           : c == 'x' ? kVerbose
                           : c == 'a' ? kAscii
                           : c == 'u' ? kUnicode
                           : c == 'L' ? kLocale
                                      : 0;
      if (bit == 0) break;
      here |= bit;
    }
    if (j < pat.size() && pat[j] == ')' && j > i + 2) f |= here;
  }
  return f;
}

}  // namespace

PyObject* make_pattern_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* new_pattern(ReState* st, PyObject* pattern, uint32_t flags) {
  const bool bytes = PyBytes_Check(pattern);
  if (!bytes && !PyUnicode_Check(pattern)) {
    PyErr_SetString(PyExc_TypeError, "first argument must be string or compiled pattern");
    return nullptr;
  }
  if (bytes && (flags & kUnicode)) {
    PyErr_SetString(PyExc_ValueError, "cannot use UNICODE flag with a bytes pattern");
    return nullptr;
  }
  if (!bytes && (flags & kLocale)) {
    PyErr_SetString(PyExc_ValueError, "cannot use LOCALE flag with a str pattern");
    return nullptr;
  }
  if ((flags & kAscii) && (flags & (kUnicode | kLocale))) {
    PyErr_SetString(PyExc_ValueError, (flags & kUnicode)
                                          ? "ASCII and UNICODE flags are incompatible"
                                          : "ASCII and LOCALE flags are incompatible");
    return nullptr;
  }
  // A bytes pattern as text, one code point per byte.
  PyObject* text =
      bytes ? PyUnicode_DecodeLatin1(PyBytes_AS_STRING(pattern), PyBytes_GET_SIZE(pattern), nullptr)
            : Py_NewRef(pattern);
  if (text == nullptr) return nullptr;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    Py_DECREF(text);
    return nullptr;
  }
  const std::string_view utf8(data, size_t(size));
  uint32_t kf = 0;
  if (flags & kIgnoreCase) kf |= kordal::flags::IGNORECASE;
  if (flags & kMultiline) kf |= kordal::flags::MULTILINE;
  if (flags & kDotAll) kf |= kordal::flags::DOTALL;
  if (flags & kVerbose) kf |= kordal::flags::VERBOSE;
  if ((flags & kAscii) || bytes) kf |= kordal::flags::ASCII;
  // `re` folds only the ASCII letters where ASCII is in force (bytes, re.ASCII, (?a)).
  kordal::CompileOptions options;
  options.ascii_case = true;
  kordal::Result<kordal::Regex> r = kordal::Regex::new_with_flags(utf8, kf, options);
  if (!r.ok()) {
    const kordal::Error& e = r.error();
    Py_ssize_t pos = -1;
    if (e.position) {
      // The byte offset into the UTF-8 form as a code-point index.
      pos = 0;
      for (size_t i = 0; i < *e.position && i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) ++pos;
      }
    }
    Py_DECREF(text);
    raise_error(st, e.text(), pattern, pos);
    return nullptr;
  }
  uint32_t reported = flags | inline_flags(utf8);
  if (!bytes && !(reported & kAscii)) reported |= kUnicode;
  auto c = std::make_unique<Compiled>(Compiled{std::move(r.value()), {}});
  c->nesting = group_nesting(c->re);
  Py_DECREF(text);
  // groupindex (sorted by number) and the names by number.
  const size_t groups = c->re.group_count();
  PyObject* names = PyTuple_New(Py_ssize_t(groups + 1));
  PyObject* dict = PyDict_New();
  if (names == nullptr || dict == nullptr) {
    Py_XDECREF(names);
    Py_XDECREF(dict);
    return nullptr;
  }
  for (size_t g = 0; g <= groups; ++g) PyTuple_SET_ITEM(names, Py_ssize_t(g), Py_NewRef(Py_None));
  std::vector<std::pair<size_t, std::string>> sorted;
  for (const auto& [name, g] : c->re.names()) sorted.emplace_back(g, name);
  std::sort(sorted.begin(), sorted.end());
  for (const auto& [g, name] : sorted) {
    PyObject* k = str_from_utf8(name);
    PyObject* v = PyLong_FromSize_t(g);
    if (k == nullptr || v == nullptr || PyDict_SetItem(dict, k, v) < 0) {
      Py_XDECREF(k);
      Py_XDECREF(v);
      Py_DECREF(names);
      Py_DECREF(dict);
      return nullptr;
    }
    if (g <= groups) PyTuple_SetItem(names, Py_ssize_t(g), Py_NewRef(k));
    Py_DECREF(k);
    Py_DECREF(v);
  }
  PyObject* proxy = PyDictProxy_New(dict);
  Py_DECREF(dict);
  if (proxy == nullptr) {
    Py_DECREF(names);
    return nullptr;
  }
  RePattern* p = PyObject_GC_New(RePattern, st->pattern_type);
  if (p == nullptr) {
    Py_DECREF(names);
    Py_DECREF(proxy);
    return nullptr;
  }
  p->state = st;
  p->c = c.release();
  p->pattern = Py_NewRef(pattern);
  p->groupindex = proxy;
  p->names = names;
  p->flags = reported;
  p->given_flags = flags;
  p->bytes = bytes;
  p->tmpl_src = nullptr;
  p->tmpl = nullptr;
  p->weakrefs = nullptr;
  PyObject_GC_Track(p);
  return reinterpret_cast<PyObject*>(p);
}

}  // namespace kordal::py::re
