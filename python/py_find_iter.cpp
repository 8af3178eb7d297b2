// Regex.finditer: the matches of findall, found a batch ahead.
//
// The iterator owns one engine FindIter (one search state for the whole
// walk, reading the haystack str's own storage) and references to the Regex
// and that str, which keep what the FindIter reads alive. It walks with
// FindIter::next_ahead, which finds the next matches a batch at a time, so
// the setup of a search (haystack, marks, poll) is paid once per batch, and
// each Match is built when it is asked for: a walk costs what findall's
// costs. A batch over a long text runs without the interpreter lock.
//
// A long batch lends the interpreter lock to other threads, so a second
// thread could enter the same iterator while its state is in use; `running`
// refuses that, as a generator does. Once exhausted the state is freed and
// the iterator stays exhausted. It holds no objects that can refer back to
// it, so it needs no garbage-collector support.
#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "iterators.hpp"

namespace kordal::py {

namespace {

struct PyFindIter {
  PyObject_HEAD PyObject* regex;  // the Regex searched with
  PyObject* input;                // exact str, whose storage `it` reads
  kordal::FindIter* it;           // nullptr once exhausted
  bool running;
};

PyFindIter* as_iter(PyObject* self) {
  return reinterpret_cast<PyFindIter*>(self);
}

void find_iter_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyFindIter* fi = as_iter(self);
  delete fi->it;
  Py_XDECREF(fi->input);
  Py_XDECREF(fi->regex);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* find_iter_next(PyObject* self) {
  PyFindIter* fi = as_iter(self);
  if (fi->it == nullptr) return nullptr;  // exhausted: StopIteration
  if (fi->running) {
    PyErr_SetString(PyExc_ValueError, "FindIter already executing");
    return nullptr;
  }
  size_t at = 0;
  bool found = false;
  if (fi->it->ready()) {
    fi->it->next_ahead(at, found);
  } else {
    fi->running = true;
    // The haystack outlives the search: its end may build the memo's copy,
    // which needs the lock check_status retakes.
    Haystack hay{fi->input, text_of(fi->input)};
    attach_narrow(hay);
    narrow_for_walk(hay);
    kordal::Status st;
    {
      fi->it->lend_narrow(hay.text.narrow);
      MarksLease marks(hay, fi->it->cursor());
      st = fi->it->next_ahead(at, found, search_control());
      fi->it->lend_narrow(nullptr);
    }
    const bool ok = check_status(st);  // retakes the lock before the flag is touched
    fi->running = false;
    // An interrupted batch leaves the walk where it was; the next call retries.
    if (!ok) return nullptr;
    if (!found) {
      delete fi->it;
      fi->it = nullptr;
      return nullptr;
    }
  }
  const kordal::FindBatch& b = fi->it->batch();
  return b.flat ? match_from_spans(fi->regex, fi->input, b.spans_of(at), b.groups)
                : match_for(fi->regex, fi->input, b.matches[at]);
}

const char kDoc[] = "Iterator over successive matches, returned by :meth:`Regex.finditer`.";

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT;
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.FindIter' instances");
  return nullptr;
}
#endif

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(find_iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(guarded<find_iter_next>)},
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
#endif
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.FindIter", sizeof(PyFindIter), 0, kFlags, kSlots};

const char* const kHaystack[] = {"haystack"};

}  // namespace

PyObject* make_find_iter_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* regex_finditer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Params p{"Regex.finditer", kHaystack, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Haystack hay;
  if (!to_haystack(a[0], "haystack", hay)) return nullptr;
  PyObject* input = exact_str(hay.obj);
  if (input == nullptr) return nullptr;
  PyFindIter* fi = PyObject_New(PyFindIter, regex_state(self)->find_iter_type);
  if (fi == nullptr) {
    Py_DECREF(input);
    return nullptr;
  }
  fi->regex = Py_NewRef(self);
  fi->input = input;
  fi->running = false;
  fi->it = nullptr;
  try {
    fi->it = new kordal::FindIter(regex_of(self), text_of(input));
  } catch (...) {
    Py_DECREF(reinterpret_cast<PyObject*>(fi));
    throw;
  }
  return reinterpret_cast<PyObject*>(fi);
}

}  // namespace kordal::py
