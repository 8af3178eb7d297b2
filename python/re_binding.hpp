// Internal header of kordal_python.re, the interface of Python's `re` over
// the same engine: its object layouts and the helpers its files share.
//
// Positions are code-point indices throughout (str indexes; for bytes one
// byte is one character), which is what the engine works in, so nothing is
// ever converted to byte offsets. A haystack is read in place: a str's own
// storage, or the buffer of a bytes-like object as 1-byte text. Patterns
// are compiled from text: a bytes pattern is read as Latin-1, one code point
// per byte, and gets the ASCII flag, so \w, \d, \s and \b see ASCII only.
// The module object keeps its types, error class, flag enum and caches in
// its state; a Pattern keeps a pointer to that state for its searches (its
// type, which it holds, holds the module), and a Match or Scanner reaches it
// through its Pattern.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "binding.hpp"
#include "errors.hpp"
#include "haystack.hpp"
#include "state.hpp"

namespace kordal::py::re {

// `re`'s flag values (re.RegexFlag).
inline constexpr uint32_t kTemplate = 1;
inline constexpr uint32_t kIgnoreCase = 2;
inline constexpr uint32_t kLocale = 4;
inline constexpr uint32_t kMultiline = 8;
inline constexpr uint32_t kDotAll = 16;
inline constexpr uint32_t kUnicode = 32;
inline constexpr uint32_t kVerbose = 64;
inline constexpr uint32_t kDebug = 128;
inline constexpr uint32_t kAscii = 256;

// One piece of a parsed replacement template: literal text, or a group.
struct Piece {
  std::u32string lit;  // used when group == kNoGroup
  size_t group = kNoGroup;
  static constexpr size_t kNoGroup = static_cast<size_t>(-1);
};

// A replacement template parsed once; `literal` when it has no group.
struct Template {
  std::vector<Piece> pieces;
  bool literal = true;
};

struct Compiled {
  kordal::Regex re;
  GroupNesting nesting;  // for lastindex
};

// The state of one kordal_python.re module object; strong references.
struct ReState {
  PyTypeObject* pattern_type;
  PyTypeObject* match_type;
  PyTypeObject* scanner_type;
  PyObject* error_type;
  PyObject* flag_enum;
  PyObject* cache_plain;     // pattern -> Pattern, flags 0; null until used
  PyObject* cache_flags;     // (type, pattern, flags) -> Pattern; null until used
  PyObject* internal_error;  // the parent module's
};

// The state of a kordal_python.re module object (a module function's self).
ReState* re_state(PyObject* module);

struct RePattern {
  PyObject_HEAD ReState* state;
  Compiled* c;
  PyObject* pattern;     // the str or bytes given
  PyObject* groupindex;  // mappingproxy of name -> number
  PyObject* names;       // tuple: group number -> name or None
  uint32_t flags;        // `re` flags, inline ones included
  uint32_t given_flags;  // the flags argument of compile
  bool bytes;
  // The last template used with sub, parsed (a loop over one template
  // parses it once).
  PyObject* tmpl_src;
  std::shared_ptr<const Template>* tmpl;  // null until the first sub
  PyObject* weakrefs;
};

struct ReMatch {
  PyObject_VAR_HEAD PyObject* string;  // the haystack as given
  PyObject* pattern;                   // the RePattern
  Py_ssize_t pos;
  Py_ssize_t endpos;
  Py_ssize_t lastindex;  // -1: none; -2: not worked out yet
  Py_ssize_t ngroups;    // groups + 1
  Py_ssize_t spans[1];   // 2 * ngroups, -1 for a group that did not take part
};

// Type objects for the module `module`; new references.
PyObject* make_pattern_type(PyObject* module);
PyObject* make_match_type(PyObject* module);
PyObject* make_scanner_type(PyObject* module);

inline RePattern* as_pattern(PyObject* o) {
  return reinterpret_cast<RePattern*>(o);
}

// A haystack read in place. Holds a buffer view for bytes-likes other than
// bytes, released with it.
struct ReText {
  PyObject* obj = nullptr;
  kordal::Text text;
  bool bytes = false;
  Py_buffer view{};
  bool has_view = false;
  ReNarrow narrow;  // a walk's narrow copy (walk_narrow)
  ReText() = default;
  ReText(const ReText&) = delete;
  ReText& operator=(const ReText&) = delete;
  ~ReText() {
    if (has_view) PyBuffer_Release(&view);
  }
};

// --- re_text.cpp: haystacks, slices and results as str or bytes ---

// For a walk over all of h (findall, finditer, sub, split) whose searches
// run with search_control: its scans may read a 1-byte copy of a large
// wide str (haystack.hpp, narrow_for_re_walk). Call before h.text is copied.
void walk_narrow(ReText& h);

// Accepts a str or a bytes-like object as `re` does; TypeError otherwise.
bool to_re_text(PyObject* o, ReText& out);
// The same, also checking that it is of the pattern's kind.
bool haystack_for(const RePattern* p, PyObject* o, ReText& out);
// The text [a, b) of a haystack: str, or bytes for a bytes-like.
PyObject* slice(PyObject* string, Py_ssize_t a, Py_ssize_t b);
// Builds a str or bytes from code points (all below 256 for bytes).
PyObject* build_result(const std::u32string& s, bool bytes);

// --- re_module.cpp: the module's functions, its cache and its error ---

// The Pattern for (pattern, flags) from the module's cache, compiled on a
// miss; `pattern` may already be a Pattern. New reference.
PyObject* cached_pattern(ReState* st, PyObject* pattern, PyObject* flags);
void purge_cache(ReState* st);
// re-flags from an argument (int, IntFlag, None).
bool to_re_flags(PyObject* o, uint32_t& out);
// Raises error(msg, pattern, pos) with `re`'s attributes. pos < 0: none.
void raise_error(ReState* st, const std::string& msg, PyObject* pattern, Py_ssize_t pos);

// --- re_pattern.cpp: Pattern, and the walks its methods and the module's
// functions share ---

// Compiles as compile() does (pattern: str or bytes; flags: re flags).
PyObject* new_pattern(ReState* st, PyObject* pattern, uint32_t flags);
enum class Op { Search, Match, Full };
inline kordal::Regex::Anchor anchor_of(Op op) {
  switch (op) {
    case Op::Match:
      return kordal::Regex::Anchor::Start;
    case Op::Full:
      return kordal::Regex::Anchor::Full;
    default:
      return kordal::Regex::Anchor::None;
  }
}
// pos and endpos as `re` reads them: clamped into the text.
inline void clamp(Py_ssize_t len, Py_ssize_t& pos, Py_ssize_t& endpos) {
  if (pos < 0) pos = 0;
  if (pos > len) pos = len;
  if (endpos < 0) endpos = 0;
  if (endpos > len) endpos = len;
}
PyObject* pattern_search_op(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos,
                            Op op);
PyObject* pattern_findall_impl(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos);
PyObject* pattern_subn_impl(RePattern* p, PyObject* repl, PyObject* string, Py_ssize_t count,
                            bool with_count);
PyObject* pattern_split_impl(RePattern* p, PyObject* string, Py_ssize_t maxsplit);

// --- re_scanner.cpp: the iterator of finditer and Pattern.scanner ---

// `timeout` (seconds; negative: none) bounds each of its steps.
PyObject* pattern_finditer_impl(RePattern* p, PyObject* string, Py_ssize_t pos, Py_ssize_t endpos,
                                bool scanner, double timeout);

// --- re_match.cpp: Match ---

// A Match for the groups in st.caps (found in `string`, searched from pos to
// endpos).
PyObject* new_match(RePattern* p, PyObject* string, const kordal::State& st, Py_ssize_t pos,
                    Py_ssize_t endpos);
// The private _rebuild_match(pattern, string, pos, endpos, spans) of pickle.
PyObject* rebuild_match(PyObject* self, PyObject* args);
inline ReMatch* as_match(PyObject* o) {
  return reinterpret_cast<ReMatch*>(o);
}

// --- re_template.cpp: replacement templates ---

// nullptr with re.error or IndexError set on a malformed template.
Template* parse_template(RePattern* p, PyObject* repl);
// Appends the expansion of `t` for the match whose spans are `spans` (two
// per group, -1 when unset) of text `h`.
void expand_into(const Template& t, const kordal::Text& h, const Py_ssize_t* spans,
                 std::u32string& out);

// Registers kordal_python.re as a submodule of `parent` (module.cpp), whose
// internal-failure class it shares.
int add_re_module(PyObject* parent, PyObject* internal_error);
// The internal-failure class of a kordal_python.re module object, or null.
PyObject* internal_error_of_module(PyObject* module);

}  // namespace kordal::py::re
