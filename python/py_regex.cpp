// The Python class Regex (PyRegex): one compiled engine Regex and every
// search on it.
//
// Each method binds its arguments, runs one engine search on the haystack's
// own storage (haystack.hpp) with the signal poll installed, and converts the
// result. Match and PartialMatch results of one call share a single exact str
// of the haystack; their texts are sliced from it lazily, so a call costs the
// search plus O(groups) per result, and nothing proportional to the parts of
// the text the search did not reach.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "iterators.hpp"
#include "poll.hpp"
#include "state.hpp"
#include "thread_cache.hpp"
#include "utf8.hpp"

namespace kordal::py {

namespace {

struct PyRegex {
  RegexHead head;
  // Built in place once compilation succeeded, destroyed in dealloc.
  union {
    kordal::Regex re;
  };
  // Which group encloses which, for Match.lastindex; built with `re`.
  union {
    GroupNesting nesting;
  };
};

const kordal::Regex& re_of(PyObject* self) {
  return reinterpret_cast<PyRegex*>(self)->re;
}

void regex_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  reinterpret_cast<PyRegex*>(self)->re.~Regex();
  reinterpret_cast<PyRegex*>(self)->nesting.~GroupNesting();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A Regex refers to no object but its class. It is tracked by the collector
// all the same: the module's pattern cache holds Regex objects, and only
// through them can the collector see that the module's classes, which refer
// to the module, are referred to from the module alone.
int regex_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* make_regex(PyTypeObject* tp, PyObject* pattern, PyObject* flags) {
  Text pat;
  if (!to_text(pattern, "pattern", pat)) return nullptr;
  uint32_t f = 0;
  if (!to_flags(flags, "flags", f)) return nullptr;
  kordal::Result<kordal::Regex> r = kordal::Regex::new_with_flags(pat.utf8, f);
  if (!r.ok()) return map_err(r.error());
  GroupNesting nesting = group_nesting(r.value());
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<PyRegex*>(self)->head.state = state_of_type(tp);
  new (&reinterpret_cast<PyRegex*>(self)->re) kordal::Regex(std::move(r.value()));
  new (&reinterpret_cast<PyRegex*>(self)->nesting) GroupNesting(std::move(nesting));
  return self;
}

const char* const kCtorNames[] = {"pattern", "flags"};
const Params kCtor{"Regex", kCtorNames, 2, 1};

PyObject* regex_tp_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_tuple(kCtor, args, kwargs, a)) return nullptr;
  return make_regex(tp, a[0], a[1]);
}

PyObject* regex_vectorcall(PyObject* tp, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind(kCtor, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
  return make_regex(reinterpret_cast<PyTypeObject*>(tp), a[0], a[1]);
}

// One search of `hay` from code point from.index (whose byte offset is
// from.byte); its match, if any, is built straight from the search's State.
// With `remember`, where the match ends is kept for the next find_at.
PyObject* search_once(PyObject* self, const Haystack& hay, kordal::Regex::Anchor anchor,
                      kordal::TextPos from = {}, bool remember = false) {
  const kordal::Regex& re = re_of(self);
  kordal::StateLease lease(re.group_count(), hay.text);
  kordal::State& st = *lease;
  MarksLease marks(hay, st.cursor);
  if (from.index > 0 && from.index <= st.n) st.cursor.learn(from);
  const size_t s0 = from.index < st.n ? from.index : st.n;
  bool found = false;
  if (!check_status(re.search_state(st, s0, anchor, false, found, search_control()))) {
    return nullptr;
  }
  if (!found) Py_RETURN_NONE;
  if (remember) {
    remember_position(hay, kordal::TextPos{st.caps()[0].end, st.offset(st.caps()[0].end)});
  }
  PyObject* input = exact_str(hay.obj);
  if (input == nullptr) return nullptr;
  PyObject* r = match_from_state(self, input, st);
  Py_DECREF(input);
  return r;
}

// Binds a single `haystack` argument and converts it.
bool one_haystack(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Haystack& hay) {
  PyObject* a[1];
  if (nargs == 1 && kwnames == nullptr) {
    a[0] = args[0];  // the usual call binds nothing
  } else if (!bind(p, args, nargs, kwnames, a)) {
    return false;
  }
  return to_haystack(a[0], "haystack", hay);
}

const char* const kHaystack[] = {"haystack"};
const char* const kHaystackRepl[] = {"haystack", "repl"};
const char* const kHaystackStart[] = {"haystack", "start"};
const char* const kName[] = {"name"};

PyObject* regex_group_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const Params p{"Regex.group_names", nullptr, 0, 0};
  if (!bind(p, args, nargs, kwnames, nullptr)) return nullptr;
  const kordal::Names& names = re_of(self).names();
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& [name, index] : names) {
    PyObject* s = str_from_utf8(name);
    if (s == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i++, s);
  }
  return list;
}

PyObject* regex_group_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const Params p{"Regex.group_index", kName, 1, 1};
  PyObject* a[1];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Text name;
  if (!to_text(a[0], "name", name)) return nullptr;
  const kordal::Names& names = re_of(self).names();
  auto it = names.find(std::string(name.utf8));
  if (it == names.end()) Py_RETURN_NONE;
  return PyLong_FromSize_t(it->second);
}

PyObject* regex_is_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Params p{"Regex.is_match", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  bool found = false;
  if (!check_status(re_of(self).is_match(hay.text, found, search_control()))) return nullptr;
  return PyBool_FromLong(found);
}

PyObject* regex_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Regex.find", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  return search_once(self, hay, kordal::Regex::Anchor::None);
}

PyObject* regex_find_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const Params p{"Regex.find_at", kHaystackStart, 2, 2};
  PyObject* a[2];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  Haystack hay;
  if (!to_haystack(a[0], "haystack", hay)) return nullptr;
  size_t start = 0;
  if (!to_index(a[1], "start", start)) return nullptr;
  // An offset inside a character has no code-point index to start from.
  kordal::TextPos pos;
  if (!haystack_index(hay, start, pos)) return nullptr;
  // The next find_at on this text most likely starts where this match ends.
  return search_once(self, hay, kordal::Regex::Anchor::None, pos, true);
}

PyObject* regex_match_at_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const Params p{"Regex.match_at_start", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  return search_once(self, hay, kordal::Regex::Anchor::Start);
}

PyObject* regex_fullmatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Params p{"Regex.fullmatch", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  return search_once(self, hay, kordal::Regex::Anchor::Full);
}

// findall over a long text, a batch at a time (find_batch): the searches
// of a batch run without the interpreter lock, byte offsets included, and
// the batch's Match objects are built once the lock is back, so two threads
// each walking a text hand the lock over once per batch, not once per match.
PyObject* findall_batched(PyObject* self, const Haystack& hay, PyObject* list) {
  const kordal::Regex& re = re_of(self);
  kordal::StateLease lease(re.group_count(), hay.text);
  MarksLease marks(hay, lease->cursor);
  const kordal::SearchControl& ctl = search_control();
  const size_t n = hay.text.n;
  kordal::FindBatch batch;
  PyObject* input = nullptr;  // made at the first match, shared by all
  size_t next = 0;
  for (bool more = true; more;) {
    // The poll lends the lock (check_status takes it back); near the end of
    // the text the batch is short and runs on the lock.
    const kordal::Status status =
        kordal::lend_for_batch(next < n ? n - next : 0) && ctl.poll(ctl.ctx)
            ? kordal::Status::Interrupted
            : kordal::find_batch(re, *lease, next, batch, more, ctl);
    if (!check_status(status)) break;
    if (batch.count > 0 && input == nullptr && (input = exact_str(hay.obj)) == nullptr) break;
    size_t i = 0;
    for (; i < batch.count; ++i) {
      PyObject* obj = batch.flat ? match_from_spans(self, input, batch.spans_of(i), batch.groups)
                                 : match_for(self, input, batch.matches[i]);
      if (obj == nullptr) break;
      const int rc = PyList_Append(list, obj);
      Py_DECREF(obj);
      if (rc < 0) break;
    }
    if (i < batch.count) break;
    if (!more) {
      Py_XDECREF(input);
      return list;
    }
  }
  Py_XDECREF(input);
  Py_DECREF(list);
  return nullptr;
}

PyObject* regex_findall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const Params p{"Regex.findall", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  narrow_for_walk(hay);
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  if (kordal::lend_for_batch(hay.text.n)) return findall_batched(self, hay, list);
  // A short text: the walk of FindIter on the lock, each Match built
  // straight from the State. After an empty match the next search starts
  // one code point on.
  const kordal::Regex& re = re_of(self);
  kordal::StateLease lease(re.group_count(), hay.text);
  PyObject* input = nullptr;  // made at the first match, shared by all
  size_t next = 0;
  const kordal::SearchControl& ctl = search_control();
  for (;;) {
    bool found = false;
    if (!check_status(
            re.search_state(*lease, next, kordal::Regex::Anchor::None, false, found, ctl))) {
      break;
    }
    if (!found) {
      Py_XDECREF(input);
      return list;
    }
    const kordal::CpSpan whole = lease->caps()[0];
    next = whole.end > whole.start ? whole.end : whole.end + 1;
    if (input == nullptr && (input = exact_str(hay.obj)) == nullptr) break;
    PyObject* obj = match_from_state(self, input, *lease);
    if (obj == nullptr) break;
    int rc = PyList_Append(list, obj);
    Py_DECREF(obj);
    if (rc < 0) break;
  }
  Py_XDECREF(input);
  Py_DECREF(list);
  return nullptr;
}

PyObject* regex_find_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const Params p{"Regex.find_partial", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  std::optional<kordal::PartialMatch> pm;
  if (!check_status(re_of(self).find_partial(hay.text, pm, search_control()))) return nullptr;
  if (!pm) Py_RETURN_NONE;
  PyObject* input = exact_str(hay.obj);
  if (input == nullptr) return nullptr;
  PyObject* r = new_partial_match(regex_state(self), input, *pm);
  Py_DECREF(input);
  return r;
}

// Replacement output in code units of type Unit, wide enough for both the
// haystack and the template.
// The template's literal pieces come back once per match as the same views
// (of the template or of static strings) during one call: each is decoded
// once and then copied as code units.
// The units of a replacement's output are built in the thread's buffer,
// which a call takes over from the last: a fresh one the size of the text
// would cost a page fault per page on every call. One that grew past
// kKeepBytes is freed after its call.
template <class Unit>
struct OutBuffer {
  static constexpr size_t kKeepBytes = size_t(16) << 20;
  std::vector<Unit> units;
  void trim() {
    if (units.capacity() * sizeof(Unit) > kKeepBytes) {
      std::vector<Unit>().swap(units);
    } else {
      units.clear();
    }
  }
};

template <class Unit>
class StrSink final : public kordal::ReplaceSink {
 public:
  explicit StrSink(const kordal::Text& hay) : hay_(hay) {
    out_.clear();
    out_.reserve(hay.n);
  }
  void copy(size_t a, size_t b) override {
    if (a >= b) return;
    kordal::with_units(hay_, [&](const auto* p) { out_.insert(out_.end(), p + a, p + b); });
  }
  void literal(std::string_view utf8) override {
    for (const Decoded& d : decoded_) {
      if (d.utf8.data() == utf8.data() && d.utf8.size() == utf8.size()) {
        out_.insert(out_.end(), d.units.begin(), d.units.end());
        return;
      }
    }
    Decoded d{utf8, {}};
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* e = p + utf8.size();
    while (p < e) d.units.push_back(static_cast<Unit>(kordal::next_utf8(p, e)));
    out_.insert(out_.end(), d.units.begin(), d.units.end());
    if (decoded_.size() < kMaxDecoded) decoded_.push_back(std::move(d));
  }
  PyObject* result() const {
    constexpr int kind = sizeof(Unit) == 1   ? PyUnicode_1BYTE_KIND
                         : sizeof(Unit) == 2 ? PyUnicode_2BYTE_KIND
                                             : PyUnicode_4BYTE_KIND;
    return PyUnicode_FromKindAndData(kind, out_.data(), static_cast<Py_ssize_t>(out_.size()));
  }

 private:
  struct Decoded {
    std::string_view utf8;
    std::vector<Unit> units;
  };
  static constexpr size_t kMaxDecoded = 8;
  const kordal::Text& hay_;
  kordal::ThreadCache<OutBuffer<Unit>> buffer_;
  std::vector<Unit>& out_ = buffer_.get().units;
  std::vector<Decoded> decoded_;
};

template <class Unit>
PyObject* replace_with(const kordal::Regex& re, const Haystack& hay, const Text& repl, bool all) {
  StrSink<Unit> sink(hay.text);
  bool replaced = false;
  if (!check_status(re.replace(hay.text, repl.utf8, all, sink, replaced, search_control()))) {
    return nullptr;
  }
  if (!replaced) return exact_str(hay.obj);
  return sink.result();
}

// --- replace / replace_all with a function instead of a template: the
// function is called with each Match and returns the text to put in its
// place, taken literally (no template expansion). The walk is the one
// findall makes (an engine FindIter), so the matches replaced are exactly
// those a template would replace; an empty match leaves the character after
// it in the text before the next match. The pieces (the text between
// matches and the function's results) are collected and joined once:
// O(text + output) besides the searches and the calls. The function may run
// any Python code, other searches with this Regex included; the walk keeps
// its own state and the haystack alive. ---

// Appends input[from:to) (code points) unless it is empty.
bool append_slice(PyObject* pieces, PyObject* input, size_t from, size_t to) {
  if (from >= to) return true;
  PyObject* s =
      PyUnicode_Substring(input, static_cast<Py_ssize_t>(from), static_cast<Py_ssize_t>(to));
  if (s == nullptr) return false;
  const int rc = PyList_Append(pieces, s);
  Py_DECREF(s);
  return rc == 0;
}

PyObject* replace_walk(PyObject* regex, PyObject* input, PyObject* fn, bool all) {
  // The iterator reads the exact str `input`, which this call holds.
  Haystack hay{input, text_of(input)};
  attach_narrow(hay);
  if (all) narrow_for_walk(hay);
  kordal::FindIter it(regex_of(regex), hay.text);
  // Searches in `fn` go without the marks, and leave them describing input.
  MarksLease marks(hay, it.cursor());
  PyObject* pieces = PyList_New(0);
  if (pieces == nullptr) return nullptr;
  size_t done = 0;  // code points already copied or replaced
  bool any = false;
  std::optional<kordal::Match> m;
  for (;;) {
    if (!check_status(it.next(m, search_control()))) goto fail;
    if (!m) break;
    any = true;
    {
      const kordal::Span whole = m->caps[0];
      if (!append_slice(pieces, input, done, whole.cstart)) goto fail;
      PyObject* match = match_for(regex, input, *m);
      if (match == nullptr) goto fail;
      PyObject* rep = PyObject_CallOneArg(fn, match);
      Py_DECREF(match);
      if (rep == nullptr) goto fail;
      if (!PyUnicode_Check(rep)) {
        PyErr_Format(PyExc_TypeError, "replacement function must return str, not %.200s",
                     Py_TYPE(rep)->tp_name);
        Py_DECREF(rep);
        goto fail;
      }
      const int rc = PyList_Append(pieces, rep);
      Py_DECREF(rep);
      if (rc < 0) goto fail;
      done = whole.cend;
    }
    if (!all) break;
  }
  if (!any) {
    Py_DECREF(pieces);
    return Py_NewRef(input);
  }
  if (!append_slice(pieces, input, done, static_cast<size_t>(PyUnicode_GET_LENGTH(input)))) {
    goto fail;
  }
  {
    PyObject* empty = PyUnicode_FromStringAndSize("", 0);
    PyObject* out = empty != nullptr ? PyUnicode_Join(empty, pieces) : nullptr;
    Py_XDECREF(empty);
    Py_DECREF(pieces);
    return out;
  }
fail:
  Py_DECREF(pieces);
  return nullptr;
}

PyObject* replace_with_function(PyObject* regex, PyObject* haystack, PyObject* fn, bool all) {
  Haystack hay;
  if (!to_haystack(haystack, "haystack", hay)) return nullptr;
  PyObject* input = exact_str(hay.obj);
  if (input == nullptr) return nullptr;
  PyObject* r = replace_walk(regex, input, fn, all);
  Py_DECREF(input);
  return r;
}

template <bool All>
PyObject* regex_replace_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const Params p{All ? "Regex.replace_all" : "Regex.replace", kHaystackRepl, 2, 2};
  PyObject* a[2];
  if (!bind(p, args, nargs, kwnames, a)) return nullptr;
  if (!PyUnicode_Check(a[1]) && PyCallable_Check(a[1])) {
    return replace_with_function(self, a[0], a[1], All);
  }
  Haystack hay;
  Text repl;
  if (!to_haystack(a[0], "haystack", hay) || !to_text(a[1], "repl", repl)) return nullptr;
  if (All) narrow_for_walk(hay);
  // The output holds haystack text and template text: as wide as the wider.
  const int width = std::max<int>(hay.text.width, PyUnicode_KIND(repl.obj));
  const kordal::Regex& re = re_of(self);
  if (width == 1) return replace_with<uint8_t>(re, hay, repl, All);
  if (width == 2) return replace_with<uint16_t>(re, hay, repl, All);
  return replace_with<uint32_t>(re, hay, repl, All);
}

// Appends hay[seg] to `list`.
bool append_segment(PyObject* list, PyObject* hay, const kordal::Segment& seg) {
  PyObject* s = PyUnicode_Substring(hay, static_cast<Py_ssize_t>(seg.start),
                                    static_cast<Py_ssize_t>(seg.end));
  if (s == nullptr) return false;
  const int rc = PyList_Append(list, s);
  Py_DECREF(s);
  return rc == 0;
}

// split over a long text, a batch of segments at a time, as findall_batched:
// the searches without the interpreter lock, then the batch's strings.
PyObject* split_batched(kordal::SplitIter& it, const Haystack& hay, PyObject* list) {
  const kordal::SearchControl& ctl = search_control();
  const size_t n = hay.text.n;
  std::vector<kordal::Segment> batch;
  size_t at = 0;  // how far the walk has come
  for (bool more = true; more;) {
    batch.clear();
    const kordal::Status status =
        kordal::lend_for_batch(n - at) && ctl.poll(ctl.ctx)
            ? kordal::Status::Interrupted
            : kordal::guarded([&] {
                const size_t until = at + kordal::kBatchText;
                std::optional<kordal::Segment> seg;
                while (batch.size() < kordal::kBatchMatches && at < until) {
                  const kordal::Status st = it.next_segment(seg, ctl);
                  if (st != kordal::Status::Ok) return st;
                  if (!seg) {
                    more = false;
                    break;
                  }
                  batch.push_back(*seg);
                  at = std::max(at, seg->end);
                }
                return kordal::Status::Ok;
              });
    if (!check_status(status)) break;
    size_t i = 0;
    while (i < batch.size() && append_segment(list, hay.obj, batch[i])) ++i;
    if (i < batch.size()) break;
    if (!more) return list;
  }
  Py_DECREF(list);
  return nullptr;
}

PyObject* regex_split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Regex.split", kHaystack, 1, 1};
  Haystack hay;
  if (!one_haystack(p, args, nargs, kwnames, hay)) return nullptr;
  narrow_for_walk(hay);
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  kordal::SplitIter it(re_of(self), hay.text);
  if (kordal::lend_for_batch(hay.text.n)) return split_batched(it, hay, list);
  std::optional<kordal::Segment> seg;
  for (;;) {
    if (!check_status(it.next_segment(seg, search_control()))) break;
    if (!seg) return list;
    if (!append_segment(list, hay.obj, *seg)) break;
  }
  Py_DECREF(list);
  return nullptr;
}

PyObject* regex_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Params p{"Regex.dump", nullptr, 0, 0};
  if (!bind(p, args, nargs, kwnames, nullptr)) return nullptr;
  return str_from_utf8(re_of(self).dump());
}

PyObject* regex_repr(PyObject* self) {
  const kordal::Regex& re = re_of(self);
  std::string out = "Regex(pattern=";
  kordal::write_quoted_text(out, re.pattern());
  char buf[64];
  snprintf(buf, sizeof buf, ", flags=0x%x, groups=%zu)", static_cast<unsigned>(re.flags()),
           re.group_count());
  out += buf;
  return str_from_utf8(out);
}

PyObject* get_pattern(PyObject* self, void*) {
  return str_from_utf8(re_of(self).pattern());
}
PyObject* get_flags(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(re_of(self).flags());
}
PyObject* get_capture_count(PyObject* self, void*) {
  return PyLong_FromSize_t(re_of(self).group_count());
}

#define KORDAL_METHOD(name, fn, doc) \
  { name, fastcall_method<fn>(), METH_FASTCALL | METH_KEYWORDS, doc }

PyMethodDef kMethods[] = {
    KORDAL_METHOD("group_names", regex_group_names,
                  "group_names($self)\n--\n\nNames of all named groups."),
    KORDAL_METHOD("group_index", regex_group_index,
                  "group_index($self, name)\n--\n\nIndex (1-based) of a named group, or "
                  "``None`` if it does not exist."),
    KORDAL_METHOD("is_match", regex_is_match,
                  "is_match($self, haystack)\n--\n\n``True`` if the pattern matches anywhere in "
                  "``haystack``."),
    KORDAL_METHOD("find", regex_find,
                  "find($self, haystack)\n--\n\nFirst match anywhere in ``haystack``, or "
                  "``None``."),
    KORDAL_METHOD("find_at", regex_find_at,
                  "find_at($self, haystack, start)\n--\n\nFirst match at or after byte offset "
                  "``start``, or ``None``."),
    KORDAL_METHOD("match_at_start", regex_match_at_start,
                  "match_at_start($self, haystack)\n--\n\nMatch anchored at the start of "
                  "``haystack`` (like :func:`re.match`)."),
    KORDAL_METHOD("fullmatch", regex_fullmatch,
                  "fullmatch($self, haystack)\n--\n\nMatch covering the whole ``haystack`` (like "
                  ":func:`re.fullmatch`)."),
    KORDAL_METHOD("findall", regex_findall,
                  "findall($self, haystack)\n--\n\nAll non-overlapping matches."),
    KORDAL_METHOD("find_partial", regex_find_partial,
                  "find_partial($self, haystack)\n--\n\nPartial / end-anchored match. Returns "
                  "``None`` if the input cannot be\na prefix of any full match."),
    KORDAL_METHOD("replace", regex_replace_impl<false>,
                  "replace($self, haystack, repl)\n--\n\nReplace the first match using template "
                  "``repl``\n(``$1``, ``${name}``, ``$$``)."),
    KORDAL_METHOD("replace_all", regex_replace_impl<true>,
                  "replace_all($self, haystack, repl)\n--\n\nReplace every non-overlapping match "
                  "using template ``repl``."),
    KORDAL_METHOD("split", regex_split,
                  "split($self, haystack)\n--\n\nSplit ``haystack`` by this pattern, returning the "
                  "parts."),
    KORDAL_METHOD("dump", regex_dump,
                  "dump($self)\n--\n\nPretty-print the parsed AST (debug aid)."),
    KORDAL_METHOD("finditer", regex_finditer,
                  "finditer($self, haystack)\n--\n\n"
                  "Iterator over the matches :meth:`findall` would return, each found\n"
                  "only when it is asked for."),
    KORDAL_METHOD("stream", regex_stream,
                  "stream($self)\n--\n\n"
                  "A Stream: the matches :meth:`findall` would return on the\n"
                  "concatenation of the pieces fed to it, each as soon as it is final."),
    {"__reduce__", guarded<regex_reduce>, METH_NOARGS, "Pickle support."},
    {"__copy__", guarded<copy_self>, METH_NOARGS, "A Regex is immutable: returns itself."},
    {"__deepcopy__", guarded<copy_self>, METH_O, "A Regex is immutable: returns itself."},
    {nullptr, nullptr, 0, nullptr},
};

#undef KORDAL_METHOD

PyGetSetDef kGetSet[] = {
    {"pattern", guarded<get_pattern>, nullptr, "The original pattern string.", nullptr},
    {"flags", guarded<get_flags>, nullptr, "The resolved flags as a bitset.", nullptr},
    {"capture_count", guarded<get_capture_count>, nullptr,
     "The number of capturing groups (group 0 is the whole match and is not\ncounted here).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] =
    "Regex(pattern, flags=None)\n--\n\n"
    "A compiled regular expression.\n\n"
    "Compile once with ``Regex(pattern)`` or ``Regex(pattern, flags)``, where\n"
    "``flags`` is a bitwise OR of the module-level flag constants (or the\n"
    "result of ``parse_flags(\"ims\")``), then reuse it across many inputs via\n"
    "methods like :meth:`find`, :meth:`is_match`, :meth:`findall`,\n"
    ":meth:`find_partial`, :meth:`replace`, :meth:`replace_all`, and\n"
    ":meth:`split`.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(guarded<regex_tp_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(regex_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(regex_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<regex_repr>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned kImmutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned kImmutable = 0;
#endif

PyType_Spec kSpec = {"builtins.Regex", sizeof(PyRegex), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | kImmutable, kSlots};

}  // namespace

const kordal::Regex& regex_of(PyObject* regex) {
  return re_of(regex);
}

const GroupNesting& group_nesting_of(PyObject* regex) {
  return reinterpret_cast<PyRegex*>(regex)->nesting;
}

PyObject* new_regex(ModuleState* st, PyObject* pattern, PyObject* flags) {
  return make_regex(st->regex_type, pattern, flags);
}

PyObject* make_regex_type(PyObject* module) {
  PyObject* tp = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (tp == nullptr) return nullptr;
  // Calls to the class skip the tuple-and-dict protocol of tp_new.
  reinterpret_cast<PyTypeObject*>(tp)->tp_vectorcall = guarded<regex_vectorcall>;
  return tp;
}

}  // namespace kordal::py
