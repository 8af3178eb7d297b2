// Haystacks read in place, the surrogate check and the per-thread memo (see
// haystack.hpp).
#include "haystack.hpp"

#include <new>

#include "arguments.hpp"
#include "errors.hpp"

namespace kordal::py {

namespace {

// Texts shorter than this are rescanned rather than memoised: the scan costs
// less than the memo's bookkeeping.
constexpr Py_ssize_t kMemoMin = 4096;

// Below this, a text's byte offsets are counted afresh: marks would save
// less than a search's own pass over it.
constexpr size_t kMarksMin = size_t(1) << 15;

// Below this, a wide str gets no narrow copy: its scans are short anyway.
constexpr size_t kNarrowMin = size_t(1) << 16;

const char kCapsuleName[] = "kordal_python.memo";
const char kDictKey[] = "kordal_python.memo";

}  // namespace

// What is known about one large str. Owned by a capsule in the thread
// state's dict; `str` is a strong reference.
struct Memo {
  PyThreadState* tstate = nullptr;
  PyObject* str = nullptr;
  bool clean = false;    // checked: holds no lone surrogate
  bool has_pos = false;  // pos is a known (index, byte) pair of str
  // `marks` are lent to a search of `str` (MarksLease): until it ends, the
  // memo keeps describing `str`, whatever a nested search asks.
  bool lent = false;
  kordal::TextPos pos;
  kordal::ByteMarks marks;  // of `str`
  // The narrow copy of `str` once built, and until then the code points
  // its literal scans have read in the wide form.
  std::shared_ptr<const uint8_t[]> narrow;
  size_t narrow_high = 0;  // units of `narrow` that read 0xFF
  size_t wide_scanned = 0;

  void forget() {
    clean = false;
    has_pos = false;
    marks.clear();
    narrow.reset();
    narrow_high = 0;
    wide_scanned = 0;
  }
};

namespace {

// This thread's memo, or null. The capsule's destructor clears it, so it
// never outlives the thread state that owns the memo.
thread_local Memo* memo = nullptr;

void destroy_memo(PyObject* capsule) {
  auto* m = static_cast<Memo*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (m == nullptr) {
    PyErr_Clear();
    return;
  }
  if (memo == m) memo = nullptr;
  Py_CLEAR(m->str);
  delete m;
}

// The memo of the running thread state, created on first use; null (with no
// error set) if it cannot be made, which only costs speed.
Memo* current_memo() {
  PyThreadState* ts = PyThreadState_Get();
  if (memo != nullptr && memo->tstate == ts) return memo;
  PyObject* dict = PyThreadState_GetDict();
  if (dict == nullptr) return nullptr;
  auto* m = new (std::nothrow) Memo;
  if (m == nullptr) return nullptr;
  m->tstate = ts;
  PyObject* capsule = PyCapsule_New(m, kCapsuleName, destroy_memo);
  if (capsule == nullptr) {
    delete m;
    PyErr_Clear();
    return nullptr;
  }
  const int rc = PyDict_SetItemString(dict, kDictKey, capsule);
  Py_DECREF(capsule);  // on failure this destroys m
  if (rc < 0) {
    PyErr_Clear();
    return nullptr;
  }
  memo = m;
  return m;
}

// Makes the memo describe `str` (forgetting what it knew of another one);
// false while its marks are lent for another str.
bool adopt(Memo* m, PyObject* str) {
  if (m->str == str) return true;
  if (m->lent) return false;
  Py_INCREF(str);
  Py_XSETREF(m->str, str);
  m->forget();
  return true;
}

// Lets go of a str that nobody but the memo holds any more.
void release_if_unused(PyObject* current) {
  Memo* m = memo;
  if (m != nullptr && m->str != nullptr && m->str != current && !m->lent &&
      Py_REFCNT(m->str) == 1 && m->tstate == PyThreadState_Get()) {
    Py_CLEAR(m->str);
    m->forget();
  }
}

// Raises the interpreter's own error for a str with a lone surrogate: the
// one its strict UTF-8 encoder raises, as PyUnicode_AsUTF8AndSize would.
void raise_encode_error(PyObject* o) {
  PyObject* bytes = PyUnicode_AsUTF8String(o);
  if (bytes != nullptr) {  // cannot happen: the scan found a surrogate
    Py_DECREF(bytes);
    PyErr_SetString(PyExc_SystemError, "kordal: surrogate scan disagrees with the encoder");
  }
}

// Points h at the memo's narrow copy (or where it will be) when the memo
// holds h's str, checked clean.
void lend_narrow(Memo* m, Haystack& h) {
  if (m == nullptr || m->str != h.obj || !m->clean) return;
  h.narrow_units = m->narrow;
  h.narrow.units = m->narrow.get();
  h.narrow.high = m->narrow_high;
  h.text.narrow = &h.narrow;
}

}  // namespace

kordal::Text text_of(PyObject* str) {
  kordal::Text t;
  t.data = PyUnicode_DATA(str);
  t.n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  t.width = static_cast<uint8_t>(PyUnicode_KIND(str));
  t.ascii = PyUnicode_MAX_CHAR_VALUE(str) < 0x80;
  return t;
}

bool to_haystack(PyObject* o, const char* param, Haystack& out) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(o)->tp_name);
    add_param_note(param);
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(o) < 0) {
    add_param_note(param);
    return false;
  }
#endif
  release_if_unused(o);
  out.obj = o;
  out.text = text_of(o);
  if (out.text.width == 1) return true;  // no surrogates in 1-byte strs
  Memo* m = PyUnicode_GET_LENGTH(o) >= kMemoMin ? current_memo() : nullptr;
  if (m == nullptr || m->str != o || !m->clean) {
    if (kordal::has_surrogate(out.text)) {
      raise_encode_error(o);
      add_param_note(param);
      return false;
    }
    if (m == nullptr || !adopt(m, o)) return true;
    m->clean = true;
  }
  if (out.text.n >= kNarrowMin) lend_narrow(m, out);
  return true;
}

void attach_narrow(Haystack& h) {
  if (h.text.width > 1 && h.text.n >= kNarrowMin) lend_narrow(current_memo(), h);
}

namespace {

// The memo's narrow copy of its str, built now if it has none; null if it
// cannot be made, which only costs speed. Whether other threads may run
// meanwhile is the caller's to arrange.
const std::shared_ptr<const uint8_t[]>& build_narrow(Memo* m, const kordal::Text& text) {
  if (m->narrow) return m->narrow;
  std::unique_ptr<uint8_t[]> units(new (std::nothrow) uint8_t[text.n]);
  if (!units) return m->narrow;
  const size_t high = kordal::narrow_copy(text, units.get());
  // Sharing it allocates too; on failure `units` still owns the copy (a
  // shared_ptr made from a raw pointer would have freed it already).
  try {
    m->narrow = std::shared_ptr<const uint8_t[]>(std::move(units));
  } catch (const std::bad_alloc&) {
    return m->narrow;
  }
  m->narrow_high = high;
  return m->narrow;
}

// The memo's copy of `str` for a walk's scan, built now (the interpreter
// lock lent meanwhile) if the memo still describes str and has none. It may
// run without the lock (a poll lent it), so it touches no Python object:
// only this thread uses the memo, and the memo holds the str.
std::shared_ptr<const uint8_t[]> copy_for_walk(PyObject* str, const kordal::Text& text,
                                               kordal::NarrowCopy& copy) {
  Memo* m = memo;
  if (m == nullptr || m->str != str) return nullptr;
  if (!m->narrow) lend_lock();
  std::shared_ptr<const uint8_t[]> units = build_narrow(m, text);
  copy.units = units.get();
  copy.high = m->narrow_high;
  return units;
}

// NarrowCopy::build of a walk's haystack.
void build_for_walk(void* owner) {
  Haystack& h = *static_cast<Haystack*>(owner);
  h.narrow_units = copy_for_walk(h.obj, h.text, h.narrow);
}

// NarrowCopy::build of a kordal_python.re walk: the whole str, whatever end
// position the walk was given.
void build_for_re_walk(void* owner) {
  ReNarrow& r = *static_cast<ReNarrow*>(owner);
  kordal::Text whole = text_of(r.str);
  r.units = copy_for_walk(r.str, whole, r.copy);
}

}  // namespace

void narrow_for_walk(Haystack& h) {
  if (h.text.narrow != &h.narrow || h.narrow.units != nullptr) return;
  h.narrow.build = build_for_walk;
  h.narrow.owner = &h;
}

void narrow_for_re_walk(PyObject* str, kordal::Text& text, ReNarrow& r) {
  if (!PyUnicode_Check(str) || text.width == 1 || size_t(PyUnicode_GET_LENGTH(str)) < kNarrowMin) {
    return;
  }
  Memo* m = current_memo();
  if (m == nullptr || !adopt(m, str)) return;
  r.str = str;
  r.units = m->narrow;
  r.copy.units = r.units.get();
  r.copy.high = m->narrow_high;
  if (r.copy.units == nullptr) {
    r.copy.build = build_for_re_walk;
    r.copy.owner = &r;
  }
  text.narrow = &r.copy;
}

Haystack::~Haystack() {
  const size_t scanned = narrow.wide_scanned;
  Memo* m = memo;
  if (scanned == 0 || m == nullptr || m->str != obj || m->narrow ||
      m->tstate != PyThreadState_Get()) {
    return;
  }
  m->wide_scanned += scanned;
  // The copy costs about one scan and a half. Built once the wide scans
  // have read the text that much (a second search of it, as a rule; a
  // literal scan stops at the last match), it saves more than it cost by
  // the next two.
  if (m->wide_scanned / 3 * 2 < text.n) return;
  // The str is the memo's and immutable, and only this thread uses the
  // memo: other threads may run while the copy is made.
  Py_BEGIN_ALLOW_THREADS build_narrow(m, text);
  Py_END_ALLOW_THREADS
}

bool haystack_index(const Haystack& h, size_t byte, kordal::TextPos& pos) {
  const kordal::Text& t = h.text;
  if (t.ascii) {
    const size_t index = byte < t.n ? byte : t.n;
    pos = kordal::TextPos{index, index};
    return true;
  }
  Memo* m = nullptr;
  kordal::TextPos from;
  if (PyUnicode_GET_LENGTH(h.obj) >= kMemoMin) {
    m = current_memo();
    if (m != nullptr && m->str == h.obj) {
      // The nearest of the last position and the marks below the offset.
      from = m->marks.floor_byte(byte);
      const kordal::TextPos p = m->pos;
      if (m->has_pos && (p.byte <= byte ? p.byte > from.byte : p.byte - byte < byte - from.byte)) {
        from = p;
      }
    }
  }
  kordal::TextPos at;
  if (kordal::index_of_byte(t, byte, from, at) == kordal::ByteIndex::Inside) {
    PyErr_Format(PyExc_ValueError, "start offset %zu is inside a multi-byte character", byte);
    return false;
  }
  pos = at;
  if (m != nullptr && adopt(m, h.obj)) {
    m->pos = at;
    m->has_pos = true;
  }
  return true;
}

void remember_position(const Haystack& h, kordal::TextPos pos) {
  Memo* m = memo;
  if (h.text.ascii || m == nullptr || m->str != h.obj || m->tstate != PyThreadState_Get()) return;
  m->pos = pos;
  m->has_pos = true;
}

MarksLease::MarksLease(const Haystack& h, kordal::ByteCursor& cursor) {
  const kordal::Text& t = h.text;
  if (t.ascii || t.n < kMarksMin) return;
  Memo* m = current_memo();
  if (m == nullptr || m->lent || !adopt(m, h.obj)) return;
  try {
    m->marks.prepare(t.n);
  } catch (const std::bad_alloc&) {
    return;  // only costs speed
  }
  m->lent = true;
  memo_ = m;
  cursor_ = &cursor;
  cursor.use_marks(&m->marks);
}

MarksLease::~MarksLease() {
  if (memo_ == nullptr) return;
  cursor_->use_marks(nullptr);
  memo_->lent = false;
}

}  // namespace kordal::py
