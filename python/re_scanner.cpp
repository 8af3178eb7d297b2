// kordal_python.re.Scanner: the iterator finditer returns, and the object of
// Pattern.scanner with its search() and match().
//
// A Scanner holds its Pattern, the haystack object and a view of it cut at
// endpos (a bytes-like's buffer stays held while the Scanner lives). Each
// step is one search from where the last match ended, with `re`'s
// empty-match rule (an empty match at s lets the next one start at s only
// if it is not empty), under the call's timeout; it costs that search plus
// O(groups) for the Match. Once a search finds nothing the Scanner stays
// done. It is tracked by the collector: the haystack may be an object that
// refers back to it.
#include <memory>

#include "errors.hpp"
#include "re_binding.hpp"

namespace kordal::py::re {

namespace {

struct Scanner {
  PyObject_HEAD PyObject* pattern;
  PyObject* string;
  ReText* h;       // the haystack, cut at endpos; its buffer is held while the scanner lives
  Py_ssize_t pos;  // as given (clamped), for the matches' pos
  Py_ssize_t endpos;
  size_t next;    // where the next search starts
  bool nonempty;  // the last match was empty at `next`
  bool done;
  double timeout;  // seconds each step may take; negative: no limit
};

Scanner* as_scanner(PyObject* o) {
  return reinterpret_cast<Scanner*>(o);
}

void scanner_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Scanner* sc = as_scanner(self);
  delete sc->h;
  Py_CLEAR(sc->pattern);
  Py_CLEAR(sc->string);
  tp->tp_free(self);
  Py_DECREF(tp);
}

int scanner_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_scanner(self)->pattern);
  Py_VISIT(as_scanner(self)->string);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* scanner_step(PyObject* self, Op op) {
  Scanner* sc = as_scanner(self);
  if (sc->done) Py_RETURN_NONE;
  RePattern* p = as_pattern(sc->pattern);
  const kordal::Text& t = sc->h->text;
  kordal::StateLease lease(p->c->re.group_count(), t);
  bool found = false;
  kordal::Status status;
  {
    TimeoutScope limit(sc->timeout);
    status = p->c->re.search_state(*lease, sc->next, anchor_of(op), sc->nonempty, found,
                                   search_control());
    if (!check_status(status)) return nullptr;
  }
  if (!found) {
    sc->done = true;
    Py_RETURN_NONE;
  }
  const kordal::CpSpan whole = lease->caps()[0];
  sc->nonempty = whole.start == whole.end;
  sc->next = whole.end;
  return new_match(p, sc->string, *lease, sc->pos, sc->endpos);
}

PyObject* scanner_search(PyObject* self, PyObject*) {
  return scanner_step(self, Op::Search);
}
PyObject* scanner_match(PyObject* self, PyObject*) {
  return scanner_step(self, Op::Match);
}

PyObject* scanner_next(PyObject* self) {
  PyObject* m = scanner_step(self, Op::Search);
  if (m == Py_None) {
    Py_DECREF(m);
    return nullptr;  // StopIteration
  }
  return m;
}

PyObject* scanner_get_pattern(PyObject* self, void*) {
  return Py_NewRef(as_scanner(self)->pattern);
}

PyMethodDef kScannerMethods[] = {
    {"search", guarded<scanner_search>, METH_NOARGS, "The next match, or None."},
    {"match", guarded<scanner_match>, METH_NOARGS,
     "The next match if it starts where the last one ended, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kScannerGetSet[] = {
    {"pattern", guarded<scanner_get_pattern>, nullptr, "The Pattern.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
// Before 3.10 a heap type without tp_new would inherit object's.
PyObject* refuse_scanner_new(PyTypeObject* tp, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", tp->tp_name);
  return nullptr;
}
#endif

PyType_Slot kScannerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scanner_traverse)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<scanner_next>)},
    {Py_tp_methods, kScannerMethods},
    {Py_tp_getset, kScannerGetSet},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_scanner_new)},
#endif
    {0, nullptr},
};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kScannerFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kScannerFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#endif

PyType_Spec kScannerSpec = {"kordal_python.re.Scanner", sizeof(Scanner), 0, kScannerFlags,
                            kScannerSlots};

}  // namespace

PyObject* make_scanner_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kScannerSpec, nullptr);
}

PyObject* pattern_finditer_impl(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos,
                                bool, double timeout) {
  auto h = std::make_unique<ReText>();
  if (!haystack_for(p, string, *h)) return nullptr;
  walk_narrow(*h);
  clamp(Py_ssize_t(h->text.n), pos, endpos);
  Scanner* sc = PyObject_GC_New(Scanner, p->state->scanner_type);
  if (sc == nullptr) return nullptr;
  sc->pattern = Py_NewRef(reinterpret_cast<PyObject*>(p));
  sc->string = Py_NewRef(string);
  h->text.n = size_t(endpos);
  sc->h = h.release();
  sc->pos = pos;
  sc->endpos = endpos;
  sc->timeout = timeout;
  sc->next = size_t(pos);
  sc->nonempty = false;
  sc->done = pos > endpos;
  PyObject_GC_Track(sc);
  return reinterpret_cast<PyObject*>(sc);
}

}  // namespace kordal::py::re
