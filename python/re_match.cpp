// kordal_python.re.Match: one match, with `re`'s members.
//
// A Match holds the haystack object it was found in, its Pattern, pos and
// endpos, and every group's span as two code-point indices in its variable
// part (-1 for a group that did not take part). Texts are cut on demand, so
// building one costs O(groups); lastindex is worked out on first use from
// the spans and the pattern's group nesting. Reading spans past 2 * ngroups
// would read another object's memory, so every group index is checked first.
#include "arguments.hpp"
#include "re_binding.hpp"

namespace kordal::py::re {

namespace {

RePattern* pattern_of(ReMatch* m) {
  return reinterpret_cast<RePattern*>(m->pattern);
}

void match_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyObject_GC_IsTracked(self)) PyObject_GC_UnTrack(self);
  Py_CLEAR(as_match(self)->string);
  Py_CLEAR(as_match(self)->pattern);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int match_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_match(self)->string);
  Py_VISIT(as_match(self)->pattern);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int match_clear(PyObject* self) {
  Py_CLEAR(as_match(self)->string);
  Py_CLEAR(as_match(self)->pattern);
  return 0;
}

// The group number of `key` (an int-like or a group name), or -1 with
// IndexError set.
Py_ssize_t group_index(ReMatch* m, PyObject* key) {
  if (PyLong_CheckExact(key)) {
    const Py_ssize_t g = PyLong_AsSsize_t(key);
    if (g >= 0 && g < m->ngroups) return g;
    PyErr_Clear();
  } else if (PyLong_Check(key) || (!PyUnicode_Check(key) && PyIndex_Check(key))) {
    const Py_ssize_t g = PyNumber_AsSsize_t(key, nullptr);
    if (g == -1 && PyErr_Occurred()) {
      PyErr_Clear();
    } else if (g >= 0 && g < m->ngroups) {
      return g;
    }
  } else if (PyUnicode_Check(key)) {
    PyObject* gi = pattern_of(m)->groupindex;
    PyObject* v = PyObject_GetItem(gi, key);
    if (v != nullptr) {
      const Py_ssize_t g = PyLong_AsSsize_t(v);
      Py_DECREF(v);
      if (g >= 0 && g < m->ngroups) return g;
    }
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_IndexError, "no such group");
  return -1;
}

PyObject* group_or(ReMatch* m, Py_ssize_t g, PyObject* dflt) {
  const Py_ssize_t a = m->spans[2 * g], b = m->spans[2 * g + 1];
  if (a < 0) return Py_NewRef(dflt);
  return slice(m->string, a, b);
}

PyObject* match_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!reject_keywords("Match.group", kwnames)) return nullptr;
  ReMatch* m = as_match(self);
  if (nargs == 0) return group_or(m, 0, Py_None);
  if (nargs == 1) {
    const Py_ssize_t g = group_index(m, args[0]);
    return g < 0 ? nullptr : group_or(m, g, Py_None);
  }
  PyObject* t = PyTuple_New(nargs);
  if (t == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    const Py_ssize_t g = group_index(m, args[i]);
    PyObject* v = g < 0 ? nullptr : group_or(m, g, Py_None);
    if (v == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, v);
  }
  return t;
}

PyObject* match_getitem(PyObject* self, PyObject* key) {
  ReMatch* m = as_match(self);
  const Py_ssize_t g = group_index(m, key);
  return g < 0 ? nullptr : group_or(m, g, Py_None);
}

const char* const kDefault[] = {"default"};

PyObject* match_groups(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Match.groups", kDefault, 1, 0};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  PyObject* dflt = a[0] != nullptr ? a[0] : Py_None;
  ReMatch* m = as_match(self);
  PyObject* t = PyTuple_New(m->ngroups - 1);
  if (t == nullptr) return nullptr;
  for (Py_ssize_t g = 1; g < m->ngroups; ++g) {
    PyObject* v = group_or(m, g, dflt);
    if (v == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, g - 1, v);
  }
  return t;
}

PyObject* match_groupdict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params p{"Match.groupdict", kDefault, 1, 0};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  PyObject* dflt = a[0] != nullptr ? a[0] : Py_None;
  ReMatch* m = as_match(self);
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  PyObject* items = PyMapping_Items(pattern_of(m)->groupindex);
  if (items == nullptr) {
    Py_DECREF(d);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
    PyObject* kv = PyList_GET_ITEM(items, i);
    const Py_ssize_t g = PyLong_AsSsize_t(PyTuple_GET_ITEM(kv, 1));
    PyObject* v = group_or(m, g, dflt);
    if (v == nullptr || PyDict_SetItem(d, PyTuple_GET_ITEM(kv, 0), v) < 0) {
      Py_XDECREF(v);
      Py_DECREF(items);
      Py_DECREF(d);
      return nullptr;
    }
    Py_DECREF(v);
  }
  Py_DECREF(items);
  return d;
}

const char* const kGroup[] = {"group"};

// The group of an optional argument; -1 with the error set.
Py_ssize_t optional_group(ReMatch* m, const char* callable, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  // m.end() and m.start(1) in a loop: no binding needed.
  if (kwnames == nullptr && nargs <= 1) return nargs == 0 ? 0 : group_index(m, args[0]);
  const Params p{callable, kGroup, 1, 0};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return -1;
  return a[0] == nullptr ? 0 : group_index(m, a[0]);
}

PyObject* match_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ReMatch* m = as_match(self);
  const Py_ssize_t g = optional_group(m, "Match.start", args, nargs, kwnames);
  return g < 0 ? nullptr : PyLong_FromSsize_t(m->spans[2 * g]);
}

PyObject* match_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ReMatch* m = as_match(self);
  const Py_ssize_t g = optional_group(m, "Match.end", args, nargs, kwnames);
  return g < 0 ? nullptr : PyLong_FromSsize_t(m->spans[2 * g + 1]);
}

PyObject* span_tuple(ReMatch* m, Py_ssize_t g) {
  return Py_BuildValue("(nn)", m->spans[2 * g], m->spans[2 * g + 1]);
}

PyObject* match_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ReMatch* m = as_match(self);
  const Py_ssize_t g = optional_group(m, "Match.span", args, nargs, kwnames);
  return g < 0 ? nullptr : span_tuple(m, g);
}

const char* const kTemplateParam[] = {"template"};

PyObject* match_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Match.expand", kTemplateParam, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  ReMatch* m = as_match(self);
  std::unique_ptr<Template> t(parse_template(pattern_of(m), a[0]));
  if (!t) return nullptr;
  ReText h;
  if (!to_re_text(m->string, h)) return nullptr;
  std::u32string out;
  expand_into(*t, h.text, m->spans, out);
  return build_result(out, h.bytes);
}

// The group that closed last, computed once on first use.
Py_ssize_t lastindex_of(ReMatch* m) {
  if (m->lastindex != -2) return m->lastindex;
  const size_t last = last_closed_group(
      size_t(m->ngroups), pattern_of(m)->c->nesting,
      [&](size_t g) { return m->spans[2 * g] < 0 ? kordal::kUnset : size_t(m->spans[2 * g + 1]); });
  m->lastindex = last == kordal::kUnset ? -1 : Py_ssize_t(last);
  return m->lastindex;
}

PyObject* get_lastindex(PyObject* self, void*) {
  const Py_ssize_t li = lastindex_of(as_match(self));
  if (li < 0) Py_RETURN_NONE;
  return PyLong_FromSsize_t(li);
}

PyObject* get_lastgroup(PyObject* self, void*) {
  ReMatch* m = as_match(self);
  const Py_ssize_t li = lastindex_of(m);
  if (li < 0) Py_RETURN_NONE;
  return Py_NewRef(PyTuple_GET_ITEM(pattern_of(m)->names, li));
}

PyObject* get_pos(PyObject* self, void*) {
  return PyLong_FromSsize_t(as_match(self)->pos);
}
PyObject* get_endpos(PyObject* self, void*) {
  return PyLong_FromSsize_t(as_match(self)->endpos);
}
PyObject* get_re(PyObject* self, void*) {
  return Py_NewRef(as_match(self)->pattern);
}
PyObject* get_string(PyObject* self, void*) {
  return Py_NewRef(as_match(self)->string);
}

PyObject* get_regs(PyObject* self, void*) {
  ReMatch* m = as_match(self);
  PyObject* t = PyTuple_New(m->ngroups);
  if (t == nullptr) return nullptr;
  for (Py_ssize_t g = 0; g < m->ngroups; ++g) {
    PyObject* s = span_tuple(m, g);
    if (s == nullptr) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, g, s);
  }
  return t;
}

PyObject* match_repr(PyObject* self) {
  ReMatch* m = as_match(self);
  PyObject* g = group_or(m, 0, Py_None);
  if (g == nullptr) return nullptr;
  // Written as `re` writes it, so programs that print matches print the same.
  PyObject* r = PyUnicode_FromFormat("<re.Match object; span=(%zd, %zd), match=%.50R>", m->spans[0],
                                     m->spans[1], g);
  Py_DECREF(g);
  return r;
}

PyObject* match_copy(PyObject* self, PyObject*) {
  return Py_NewRef(self);
}

// Pickled as its pattern, haystack, pos, endpos and spans; rebuilt by the
// module's private _rebuild_match, which checks them.
PyObject* match_reduce(PyObject* self, PyObject*) {
  ReMatch* m = as_match(self);
  PyObject* mod = PyImport_ImportModule("kordal_python.re");
  if (mod == nullptr) return nullptr;
  PyObject* fn = PyObject_GetAttrString(mod, "_rebuild_match");
  Py_DECREF(mod);
  if (fn == nullptr) return nullptr;
  PyObject* spans = PyTuple_New(2 * m->ngroups);
  if (spans == nullptr) {
    Py_DECREF(fn);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < 2 * m->ngroups; ++i) {
    PyObject* v = PyLong_FromSsize_t(m->spans[i]);
    if (v == nullptr) {
      Py_DECREF(spans);
      Py_DECREF(fn);
      return nullptr;
    }
    PyTuple_SET_ITEM(spans, i, v);
  }
  return Py_BuildValue("(N(OOnnN))", fn, m->pattern, m->string, m->pos, m->endpos, spans);
}

#define RE_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    RE_METHOD("group", match_group,
              "group($self, /, *args)\n--\n\n"
              "The text of one group, or a tuple of several; group 0 is the whole match."),
    RE_METHOD("groups", match_groups,
              "groups($self, /, default=None)\n--\n\n"
              "A tuple of every group's text, ``default`` for those that did not take part."),
    RE_METHOD("groupdict", match_groupdict,
              "groupdict($self, /, default=None)\n--\n\n"
              "A dict from each group name to its text (``default`` if it did not take part)."),
    RE_METHOD("start", match_start,
              "start($self, group=0, /)\n--\n\n"
              "Where the group begins, a str index; -1 if it did not take part."),
    RE_METHOD("end", match_end,
              "end($self, group=0, /)\n--\n\n"
              "Where the group ends, a str index; -1 if it did not take part."),
    RE_METHOD("span", match_span,
              "span($self, group=0, /)\n--\n\n"
              "(start, end) of the group; (-1, -1) if it did not take part."),
    RE_METHOD("expand", match_expand,
              "expand($self, /, template)\n--\n\n"
              "The template with its group references replaced by this match's groups."),
    {"__copy__", guarded<match_copy>, METH_NOARGS, nullptr},
    {"__deepcopy__", guarded<match_copy>, METH_O, nullptr},
    {"__reduce__", guarded<match_reduce>, METH_NOARGS, nullptr},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef RE_METHOD

PyGetSetDef kGetSet[] = {
    {"lastindex", guarded<get_lastindex>, nullptr,
     "The number of the group that closed last, or None.", nullptr},
    {"lastgroup", guarded<get_lastgroup>, nullptr,
     "The name of the group that closed last, or None.", nullptr},
    {"pos", guarded<get_pos>, nullptr, "Where the search began.", nullptr},
    {"endpos", guarded<get_endpos>, nullptr, "Where the searched text ended.", nullptr},
    {"re", guarded<get_re>, nullptr, "The Pattern that found this match.", nullptr},
    {"string", guarded<get_string>, nullptr, "The text searched.", nullptr},
    {"regs", guarded<get_regs>, nullptr, "The span of every group.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
PyObject* refuse_new(PyTypeObject* tp, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", tp->tp_name);
  return nullptr;
}
#endif

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The result of a successful search.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(match_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(match_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<match_repr>)},
    {Py_mp_subscript, reinterpret_cast<void*>(guarded<match_getitem>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
#endif
    {0, nullptr},
};

PyType_Spec kSpec = {"kordal_python.re.Match", offsetof(ReMatch, spans), sizeof(Py_ssize_t), kFlags,
                     kSlots};

}  // namespace

PyObject* make_match_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* rebuild_match(PyObject* module, PyObject* args) {
  PyObject *pattern, *string, *spans;
  Py_ssize_t pos, endpos;
  ReState* st = re_state(module);
  if (!PyArg_ParseTuple(args, "O!OnnO!", st->pattern_type, &pattern, &string, &pos, &endpos,
                        &PyTuple_Type, &spans)) {
    return nullptr;
  }
  auto* p = reinterpret_cast<RePattern*>(pattern);
  ReText h;
  if (!haystack_for(p, string, h)) return nullptr;
  const Py_ssize_t g = Py_ssize_t(p->c->re.group_count()) + 1;
  const Py_ssize_t len = Py_ssize_t(h.text.n);
  bool ok = PyTuple_GET_SIZE(spans) == 2 * g && 0 <= pos && pos <= endpos && endpos <= len;
  ReMatch* m = ok ? PyObject_GC_NewVar(ReMatch, st->match_type, 2 * g) : nullptr;
  if (m == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "inconsistent match state");
    return nullptr;
  }
  m->string = Py_NewRef(string);
  m->pattern = Py_NewRef(pattern);
  m->pos = pos;
  m->endpos = endpos;
  m->lastindex = g > 1 ? -2 : -1;
  m->ngroups = g;
  for (Py_ssize_t i = 0; i < g; ++i) {
    const Py_ssize_t a = PyLong_AsSsize_t(PyTuple_GET_ITEM(spans, 2 * i));
    const Py_ssize_t b = PyLong_AsSsize_t(PyTuple_GET_ITEM(spans, 2 * i + 1));
    // Unset is (-1, -1); a set span lies in the text, group 0 always set.
    const bool unset = a == -1 && b == -1 && i > 0;
    if (!unset && !(0 <= a && a <= b && b <= len)) ok = false;
    m->spans[2 * i] = unset ? -1 : a;
    m->spans[2 * i + 1] = unset ? -1 : b;
  }
  PyObject_GC_Track(m);
  if (!ok || PyErr_Occurred()) {
    Py_DECREF(m);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "inconsistent match state");
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(m);
}

PyObject* new_match(RePattern* p, PyObject* string, const kordal::State& st, Py_ssize_t pos,
                    Py_ssize_t endpos) {
  const Py_ssize_t g = static_cast<Py_ssize_t>(st.caps().size());
  ReMatch* m = PyObject_GC_NewVar(ReMatch, p->state->match_type, 2 * g);
  if (m == nullptr) return nullptr;
  m->string = Py_NewRef(string);
  m->pattern = Py_NewRef(reinterpret_cast<PyObject*>(p));
  m->pos = pos;
  m->endpos = endpos;
  m->lastindex = g > 1 ? -2 : -1;
  m->ngroups = g;
  for (Py_ssize_t i = 0; i < g; ++i) {
    const kordal::CpSpan& c = st.caps()[size_t(i)];
    m->spans[2 * i] = c.set() ? Py_ssize_t(c.start) : -1;
    m->spans[2 * i + 1] = c.set() ? Py_ssize_t(c.end) : -1;
  }
  // A match can only be part of a cycle through its haystack (a str or bytes
  // subclass, or a buffer object, that refers back to it): matches of exact
  // str and bytes stay out of the collector's lists, so its collections in
  // a loop that makes one per call have nothing of them to traverse.
  if (!PyUnicode_CheckExact(string) && !PyBytes_CheckExact(string)) PyObject_GC_Track(m);
  return reinterpret_cast<PyObject*>(m);
}

}  // namespace kordal::py::re
