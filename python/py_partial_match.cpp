// The Python class PartialMatch (PyPartialMatch): the result of
// Regex.find_partial, a match that runs to the end of the haystack and is
// either complete or was cut short by the end of the input.
//
// Like Match it keeps the haystack as a shared exact str plus, per group, a
// state code and a code-point span; texts are sliced from the str on demand.
// Group g's record lives at words[3g .. 3g+3); indexes are checked against G
// before any read.
#include <memory>
#include <string>

#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"

namespace kordal::py {

namespace {

constexpr size_t kGroupWords = 3;  // state, cstart, cend

struct PyPartialMatch {
  PyObject_VAR_HEAD PyObject* input;  // exact str
  size_t start;                       // bytes
  size_t end;                         // bytes: always the haystack's byte length
  size_t cstart;                      // code points, for `matched`
  size_t cend;
  size_t ngroups;  // G
  bool is_full;
  union {
    std::shared_ptr<const kordal::Names> names;
  };
};

static_assert(sizeof(PyPartialMatch) % alignof(size_t) == 0);

PyPartialMatch* as_partial(PyObject* self) {
  return reinterpret_cast<PyPartialMatch*>(self);
}

size_t* group_words(PyPartialMatch* m, size_t g) {
  return reinterpret_cast<size_t*>(reinterpret_cast<char*>(m) + sizeof(PyPartialMatch)) +
         g * kGroupWords;
}

const char* const kStateNames[] = {"matched", "partial", "none"};
static_assert(static_cast<size_t>(kordal::GroupState::None) + 1 ==
              sizeof kStateNames / sizeof kStateNames[0]);

void partial_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyPartialMatch* m = as_partial(self);
  m->names.~shared_ptr();
  Py_XDECREF(m->input);
  tp->tp_free(self);
  Py_DECREF(tp);
}

kordal::GroupState state_of(PyPartialMatch* m, size_t g) {
  if (g >= m->ngroups) return kordal::GroupState::None;
  return static_cast<kordal::GroupState>(group_words(m, g)[0]);
}

PyObject* text_of(PyPartialMatch* m, size_t g) {
  if (state_of(m, g) == kordal::GroupState::None) Py_RETURN_NONE;
  const size_t* w = group_words(m, g);
  return PyUnicode_Substring(m->input, static_cast<Py_ssize_t>(w[1]),
                             static_cast<Py_ssize_t>(w[2]));
}

const char* const kIndex[] = {"index"};
const char* const kName[] = {"name"};

PyObject* partial_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const Params p{"PartialMatch.group", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  return text_of(as_partial(self), g);
}

PyObject* partial_named_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const Params p{"PartialMatch.named_group", kName, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text name;
  if (!to_text(a[0], "name", name)) return nullptr;
  PyPartialMatch* m = as_partial(self);
  auto it = m->names->find(std::string(name.utf8));
  if (it == m->names->end()) Py_RETURN_NONE;
  return text_of(m, it->second);
}

PyObject* partial_group_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const Params p{"PartialMatch.group_state", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  return PyUnicode_FromString(kStateNames[static_cast<size_t>(state_of(as_partial(self), g))]);
}

PyObject* partial_char_span(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const Params p{"PartialMatch.char_span", kIndex, 1, 0};
  size_t g = 0;
  if (!optional_index(p, args, nargs, kwnames, g)) return nullptr;
  if (state_of(as_partial(self), g) == kordal::GroupState::None) Py_RETURN_NONE;
  const size_t* w = group_words(as_partial(self), g);
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(w[1]), static_cast<Py_ssize_t>(w[2]));
}

PyObject* partial_repr(PyObject* self) {
  PyPartialMatch* m = as_partial(self);
  // The matched text encoded on its own into a bytes object: the substring
  // may be the input itself, whose UTF-8 form must not be cached.
  PyObject* sub = PyUnicode_Substring(m->input, static_cast<Py_ssize_t>(m->cstart),
                                      static_cast<Py_ssize_t>(m->cend));
  if (sub == nullptr) return nullptr;
  PyObject* matched = PyUnicode_AsUTF8String(sub);
  Py_DECREF(sub);
  if (matched == nullptr) return nullptr;
  std::string out = "PartialMatch(matched=";
  kordal::write_quoted_text(out, std::string_view(PyBytes_AS_STRING(matched),
                                                  static_cast<size_t>(PyBytes_GET_SIZE(matched))));
  Py_DECREF(matched);
  out += ", status=";
  kordal::write_quoted_text(out, m->is_full ? "full" : "partial");
  out += ", span=(" + std::to_string(m->start) + ", " + std::to_string(m->end) + "))";
  return str_from_utf8(out);
}

PyObject* get_status(PyObject* self, void*) {
  return PyUnicode_FromString(as_partial(self)->is_full ? "full" : "partial");
}
PyObject* get_is_full(PyObject* self, void*) {
  return PyBool_FromLong(as_partial(self)->is_full);
}
PyObject* get_is_partial(PyObject* self, void*) {
  return PyBool_FromLong(!as_partial(self)->is_full);
}
PyObject* get_matched(PyObject* self, void*) {
  PyPartialMatch* m = as_partial(self);
  return PyUnicode_Substring(m->input, static_cast<Py_ssize_t>(m->cstart),
                             static_cast<Py_ssize_t>(m->cend));
}
PyObject* get_start(PyObject* self, void*) {
  return PyLong_FromSize_t(as_partial(self)->start);
}
PyObject* get_end(PyObject* self, void*) {
  return PyLong_FromSize_t(as_partial(self)->end);
}
PyObject* get_capture_count(PyObject* self, void*) {
  size_t g = as_partial(self)->ngroups;
  return PyLong_FromSize_t(g > 0 ? g - 1 : 0);
}

#define KORDAL_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    KORDAL_METHOD("group", partial_group,
                  "group($self, index=0)\n--\n\n"
                  "Text of group ``index`` (matched or partial), or ``None`` if it did\n"
                  "not participate."),
    KORDAL_METHOD("named_group", partial_named_group,
                  "named_group($self, name)\n--\n\n"
                  "Text of a named group (matched or partial), or ``None``."),
    KORDAL_METHOD("group_state", partial_group_state,
                  "group_state($self, index=0)\n--\n\n"
                  "``\"matched\"``, ``\"partial\"``, or ``\"none\"`` for group ``index``."),
    KORDAL_METHOD("char_span", partial_char_span,
                  "char_span($self, index=0)\n--\n\n"
                  "``(start, end)`` span of group ``index`` (matched or partial) in code\n"
                  "points, or ``None`` if it did not participate."),
    {"__reduce__", guarded<partial_reduce>, METH_NOARGS, "Pickle support."},
    {"__copy__", guarded<copy_self>, METH_NOARGS, "A PartialMatch is immutable: returns itself."},
    {"__deepcopy__", guarded<copy_self>, METH_O, "A PartialMatch is immutable: returns itself."},
    {nullptr, nullptr, 0, nullptr},
};

#undef KORDAL_METHOD

PyGetSetDef kGetSet[] = {
    {"status", guarded<get_status>, nullptr, "``\"full\"`` or ``\"partial\"``.", nullptr},
    {"is_full", guarded<get_is_full>, nullptr, "``True`` if the match is fully satisfied.",
     nullptr},
    {"is_partial", guarded<get_is_partial>, nullptr,
     "``True`` if the match was cut short by end-of-input.", nullptr},
    {"matched", guarded<get_matched>, nullptr, "The whole matched text.", nullptr},
    {"start", guarded<get_start>, nullptr, "Byte offset where the match starts.", nullptr},
    {"end", guarded<get_end>, nullptr,
     "Byte offset where the match ends (always the input length).", nullptr},
    {"capture_count", guarded<get_capture_count>, nullptr,
     "The number of capturing groups (group 0 not counted).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "A partial (or full) end-anchored match, the result of\n"
    ":meth:`Regex.find_partial`. (``None`` from ``find_partial`` \xe2\x80\x94 not this\n"
    "object \xe2\x80\x94 means the input cannot be a prefix of any match.)";

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT;
// Without the flag, refuse construction by hand: a half-built object would
// be destroyed with garbage fields.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.PartialMatch' instances");
  return nullptr;
}
#endif

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(partial_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<partial_repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
#endif
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.PartialMatch", sizeof(PyPartialMatch), sizeof(size_t), kFlags,
                     kSlots};

}  // namespace

PyObject* make_partial_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* new_partial_match(ModuleState* st, PyObject* input, const kordal::PartialMatch& pm) {
  const size_t G = pm.groups.size();
  PyPartialMatch* m =
      PyObject_NewVar(PyPartialMatch, st->partial_type, static_cast<Py_ssize_t>(G * kGroupWords));
  if (m == nullptr) return nullptr;
  m->input = Py_NewRef(input);
  m->start = pm.span.start;
  m->end = pm.span.end;
  m->cstart = pm.span.cstart;
  m->cend = pm.span.cend;
  m->ngroups = G;
  m->is_full = pm.is_full;
  new (&m->names) std::shared_ptr<const kordal::Names>(pm.names);
  if (!m->names) {
    static const auto empty = std::make_shared<const kordal::Names>();
    m->names = empty;
  }
  for (size_t g = 0; g < G; ++g) {
    const kordal::PartialGroup& pg = pm.groups[g];
    size_t* w = group_words(m, g);
    const bool has_text = pg.state != kordal::GroupState::None && pg.span.set();
    w[0] = static_cast<size_t>(has_text ? pg.state : kordal::GroupState::None);
    w[1] = pg.span.cstart;
    w[2] = pg.span.cend;
  }
  return reinterpret_cast<PyObject*>(m);
}

kordal::PartialMatch partial_snapshot(PyObject* partial) {
  PyPartialMatch* m = as_partial(partial);
  kordal::PartialMatch pm;
  pm.names = m->names;
  pm.span = kordal::Span{m->start, m->end, m->cstart, m->cend};
  pm.is_full = m->is_full;
  pm.groups.resize(m->ngroups);
  for (size_t g = 0; g < m->ngroups; ++g) {
    const size_t* w = group_words(m, g);
    pm.groups[g].state = static_cast<kordal::GroupState>(w[0]);
    // Only code-point spans are stored; byte offsets are not needed to rebuild.
    if (pm.groups[g].state != kordal::GroupState::None) {
      pm.groups[g].span = kordal::Span{0, 0, w[1], w[2]};
    }
  }
  return pm;
}

PyObject* partial_input(PyObject* partial) {
  return as_partial(partial)->input;
}

}  // namespace kordal::py
