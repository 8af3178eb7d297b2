// Regex.stream() and its Stream type: find-all over text fed in pieces.
//
// The engine Stream (src/stream.hpp) keeps the text a later match may still
// need and reports each match once it is final. Each feed or close makes one
// str of the retained text, shared as `input` by the matches it returns; their
// spans and char_spans are positions in the whole stream. A feed that raises
// (TimeoutError, KeyboardInterrupt) has still taken its piece: the matches it
// had not returned come with the next feed or close. A long feed lends the
// interpreter lock to other threads, so `running` refuses a second thread
// entering the same stream meanwhile.
#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "stream.hpp"

namespace kordal::py {

namespace {

struct PyStream {
  PyObject_HEAD PyObject* regex;
  kordal::Stream* s;
  bool running;
};

PyStream* as_stream(PyObject* self) {
  return reinterpret_cast<PyStream*>(self);
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyStream* ps = as_stream(self);
  delete ps->s;
  Py_XDECREF(ps->regex);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Runs feed or close, then turns its matches into a list.
template <class Run>
PyObject* step(PyObject* self, Run&& run) {
  PyStream* ps = as_stream(self);
  if (ps->running) {
    PyErr_SetString(PyExc_ValueError, "Stream already executing");
    return nullptr;
  }
  ps->running = true;
  kordal::Status st;
  try {
    st = run(*ps->s);
  } catch (...) {
    reacquire_lock();
    ps->running = false;
    throw;
  }
  const bool ok = check_status(st);
  ps->running = false;
  if (!ok) return nullptr;
  const std::span<const kordal::Match> found = ps->s->found();
  PyObject* list = PyList_New(Py_ssize_t(found.size()));
  if (list == nullptr) return nullptr;
  if (!found.empty()) {
    const kordal::Text buf = ps->s->buffer();
    const int kind = buf.width == 1   ? PyUnicode_1BYTE_KIND
                     : buf.width == 2 ? PyUnicode_2BYTE_KIND
                                      : PyUnicode_4BYTE_KIND;
    PyObject* input = PyUnicode_FromKindAndData(kind, buf.data, static_cast<Py_ssize_t>(buf.n));
    if (input == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    for (size_t i = 0; i < found.size(); ++i) {
      PyObject* m = match_for(ps->regex, input, found[i]);
      if (m != nullptr && !set_match_base(m, ps->s->base())) Py_CLEAR(m);
      if (m == nullptr) {
        Py_DECREF(input);
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, Py_ssize_t(i), m);
    }
    Py_DECREF(input);
  }
  ps->s->trim();
  return list;
}

PyObject* stream_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"chunk"};
  static const Params p{"Stream.feed", kNames, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Haystack hay;
  if (!to_haystack(a[0], "chunk", hay)) return nullptr;
  if (as_stream(self)->s->closed()) {
    PyErr_SetString(PyExc_ValueError, "Stream.feed: the stream is closed");
    return nullptr;
  }
  // The chunk is copied before any search, so it need not outlive the call.
  return step(self, [&](kordal::Stream& s) { return s.feed(hay.text, search_control()); });
}

PyObject* stream_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Stream.close", nullptr, 0, 0};
  if (!bind(p, args, nargs, kwnames, nullptr)) return nullptr;
  return step(self, [&](kordal::Stream& s) { return s.close(search_control()); });
}

PyObject* stream_retained(PyObject* self, void*) {
  return PyLong_FromSize_t(as_stream(self)->s->retained());
}

PyObject* stream_position(PyObject* self, void*) {
  const kordal::Stream& s = *as_stream(self)->s;
  return PyLong_FromSize_t(s.base() + s.buffer().n);
}

PyObject* stream_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_stream(self)->s->closed());
}

#define KORDAL_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    KORDAL_METHOD("feed", stream_feed,
                  "feed($self, chunk)\n--\n\n"
                  "Append ``chunk`` to the stream; return the matches that more text can\n"
                  "no longer change, in order."),
    KORDAL_METHOD("close", stream_close,
                  "close($self)\n--\n\n"
                  "End the stream; return the rest of the matches."),
    {nullptr, nullptr, 0, nullptr},
};

#undef KORDAL_METHOD

PyGetSetDef kGetSet[] = {
    {"retained", guarded<stream_retained>, nullptr,
     "Code points of text the stream holds for later matches.", nullptr},
    {"position", guarded<stream_position>, nullptr, "Code points fed so far.", nullptr},
    {"closed", guarded<stream_closed>, nullptr, "Whether close() has been called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("The matches of a Regex in text fed in pieces.")},
    {0, nullptr},
};

PyType_Spec kSpec = {"kordal_python.Stream", sizeof(PyStream), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* make_stream_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* regex_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Regex.stream", nullptr, 0, 0};
  if (!bind(p, args, nargs, kwnames, nullptr)) return nullptr;
  PyStream* ps = PyObject_New(PyStream, regex_state(self)->stream_type);
  if (ps == nullptr) return nullptr;
  ps->regex = Py_NewRef(self);
  ps->running = false;
  ps->s = nullptr;
  try {
    ps->s = new kordal::Stream(regex_of(self));
  } catch (...) {
    Py_DECREF(reinterpret_cast<PyObject*>(ps));
    throw;
  }
  return reinterpret_cast<PyObject*>(ps);
}

}  // namespace kordal::py
