// The haystack as the engine reads it: a view of code units of one width.
//
// A Text is a pointer to n code points stored as 1, 2 or 4 bytes each (the
// three layouts of a CPython str, PyUnicode_KIND), never copied or converted.
// Positions inside the engine are code-point indices; results report byte
// offsets into the UTF-8 form of the text, which is never built. A ByteCursor
// converts between the two from the nearest known (index, byte) pair, so a
// conversion costs the distance walked, and a walk over increasing positions
// (iteration, split, replacement) costs one pass over the text in total.
//
// The counting loops are templates over the code-unit type, vectorised by
// the compiler or, for UTF-8 lengths of 2- and 4-byte text, by the explicit
// loops of simd.hpp; UTF-8 lengths follow from
// the code point alone (a text is well-formed: a Python caller checks that it
// holds no lone surrogate first, see python/haystack.cpp). If a Text holds a
// surrogate anyway, offsets still come out consistent (3 bytes each), they
// just describe no real encoding.
//
// From C++ a UTF-8 text is read in place when it is ASCII and otherwise
// decoded once into 32-bit code points (utf8_text).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kordal {

struct NarrowCopy;

struct Text {
  const void* data = nullptr;
  size_t n = 0;        // code points
  uint8_t width = 1;   // bytes per code unit: 1, 2 or 4
  bool ascii = false;  // every code point is below 0x80: byte offset == index
  // Of a 2- or 4-byte text whose caller keeps a 1-byte copy for literal
  // scans, or means to (see NarrowCopy); null otherwise.
  NarrowCopy* narrow = nullptr;

  static Text of(const uint8_t* p, size_t n, bool ascii = false) { return Text{p, n, 1, ascii}; }
  static Text of(const uint16_t* p, size_t n) { return Text{p, n, 2, false}; }
  static Text of(const char32_t* p, size_t n) { return Text{p, n, 4, false}; }

  const uint8_t* u8() const { return static_cast<const uint8_t*>(data); }
  const uint16_t* u16() const { return static_cast<const uint16_t*>(data); }
  const uint32_t* u32() const { return static_cast<const uint32_t*>(data); }

  // Code point i (i < n). The width is fixed for a whole search, so the
  // branch is perfectly predicted; the search loops that scan many code
  // points are templates over the unit type instead (see with_units).
  char32_t at(size_t i) const {
    if (width == 1) return u8()[i];
    if (width == 2) return u16()[i];
    return u32()[i];
  }
};

// Calls f(const Unit* units) with the text's code units as their own type.
template <class F>
decltype(auto) with_units(const Text& t, F&& f) {
  if (t.width == 1) return f(t.u8());
  if (t.width == 2) return f(t.u16());
  return f(t.u32());
}

// Number of UTF-8 bytes of code points [a, b) of t.
size_t utf8_length(const Text& t, size_t a, size_t b);

// Whether t holds a lone surrogate (U+D800..U+DFFF), which has no UTF-8 form.
bool has_surrogate(const Text& t);

// A 1-byte copy of a 2- or 4-byte text with every code point above 0xFE as
// 0xFF, so that a literal scan whose units are all below 0xFF reads a
// quarter (or half) of the bytes and finds exactly the same positions. The
// caller owns it and builds it once the wide scans it would have served add
// up to more than it costs, or at once for a walk over the whole text
// (python/haystack.cpp); a search reads `units`, adds to `wide_scanned`
// and calls `build` where the caller set it.
struct NarrowCopy {
  const uint8_t* units = nullptr;  // n units, or null: not built
  size_t wide_scanned = 0;         // code points scanned wide that `units` would have served
  size_t high = 0;                 // units that read 0xFF, once built
  // Set by a caller that walks the whole text, which reads all of it
  // anyway: the first scan that could read the copy calls it once, and it
  // builds `units` then (or leaves them null).
  void (*build)(void* owner) = nullptr;
  void* owner = nullptr;
};

// Fills out[0, t.n) with t's code points, those above 0xFE as 0xFF, and
// returns how many read 0xFF.
size_t narrow_copy(const Text& t, uint8_t* out);

// Whether a scan that must tell code points from 0xFF up apart may still
// read the copy, looking the wide text up where it reads 0xFF: where at
// most one unit in kSparseHigh does, those lookups cost less than reading
// every wide unit.
inline bool sparse_high(const NarrowCopy& c, size_t n) {
  constexpr size_t kSparseHigh = 8;
  return c.units != nullptr && c.high <= n / kSparseHigh;
}

// A code-point index with its byte offset in the UTF-8 form.
struct TextPos {
  size_t index = 0;
  size_t byte = 0;
};

enum class ByteIndex : uint8_t {
  Exact,   // the offset is the start of code point `index` (or the end)
  Inside,  // the offset falls inside a multi-byte character
  Beyond,  // the offset is past the end; index is n and byte the byte length
};

// Converts byte offset `byte` to a code-point index, walking from `from`
// (any known pair, typically the nearest one). The walk costs the distance
// in code points, vectorised by blocks.
ByteIndex index_of_byte(const Text& t, size_t byte, TextPos from, TextPos& out);

// Byte offsets of the code points at every kStep-th index of one text,
// recorded in order from the start by the conversions that pass them, so
// that a later search of the same text converts any position by walking at
// most kStep code points. The owner keeps them with the text they describe
// (python/haystack.cpp: with the str, in the per-thread memo).
class ByteMarks {
 public:
  // A conversion walks half a step on average: 512 code points keep that
  // below a search's own cost per match, for 1/64 of a byte per code point.
  static constexpr size_t kShift = 9;
  static constexpr size_t kStep = size_t(1) << kShift;
  // Room for every mark of a text of n code points, so that recording
  // never allocates inside a search. Throws std::bad_alloc.
  void prepare(size_t n) {
    bytes_.reserve((n >> kShift) + 1);
    if (bytes_.empty()) bytes_.push_back(0);
  }
  void clear() { bytes_.clear(); }
  // The last recorded mark at or before i.
  TextPos floor(size_t i) const {
    if (bytes_.empty()) return TextPos{};
    const size_t k = std::min(i >> kShift, bytes_.size() - 1);
    return TextPos{k << kShift, bytes_[k]};
  }
  // The last recorded mark at or before byte offset b.
  TextPos floor_byte(size_t b) const {
    if (bytes_.empty()) return TextPos{};
    const size_t k = size_t(std::upper_bound(bytes_.begin(), bytes_.end(), b) - bytes_.begin()) - 1;
    return TextPos{k << kShift, bytes_[k]};
  }
  // Byte offset of code point i from the marks alone, when they give it:
  // i is a mark, or lies between two marks one step of bytes apart, a
  // stretch that is all ASCII. Mostly-ASCII texts convert in O(1) this way.
  bool known(size_t i, size_t& b) const {
    const size_t k = i >> kShift;
    if (k + 1 < bytes_.size() && bytes_[k + 1] - bytes_[k] == kStep) {
      b = bytes_[k] + (i & (kStep - 1));
      return true;
    }
    if (k < bytes_.size() && (i & (kStep - 1)) == 0) {
      b = bytes_[k];
      return true;
    }
    return false;
  }
  // Byte offset of code point i >= from.index, counted from `from`. Marks
  // are recorded on the way when `from` is not past the first unrecorded
  // one, so that they stay a gapless prefix.
  size_t count_from(const Text& t, TextPos from, size_t i);

 private:
  std::vector<size_t> bytes_;  // bytes_[k]: byte offset of code point k << kShift
};

// Byte offsets of code-point indices, from a cursor that remembers the last
// position converted. Each conversion walks from whichever of the start of
// the text (or the nearest mark, when the cursor has marks) and the last
// position is nearer.
class ByteCursor {
 public:
  ByteCursor() = default;
  explicit ByteCursor(const Text& t) : t_(t) {}
  void reset(const Text& t) {
    t_ = t;
    last_ = TextPos{};
    marks_ = nullptr;
  }
  // Marks of this text to read and extend (null: none); they must outlive
  // their use here.
  void use_marks(ByteMarks* m) { marks_ = m; }
  // Byte offset of code point i (i <= n).
  size_t byte_of(size_t i) {
    if (t_.ascii) return i;
    return slow_byte_of(i);
  }
  // A pair known from elsewhere (for example a position memo).
  void learn(TextPos p) { last_ = p; }
  TextPos last() const { return last_; }

 private:
  size_t slow_byte_of(size_t i);
  Text t_;
  TextPos last_;
  ByteMarks* marks_ = nullptr;
};

// A well-formed UTF-8 text as a Text: in place when it is ASCII, otherwise
// decoded once into `storage` (which must outlive the Text).
Text utf8_text(std::string_view utf8, std::vector<char32_t>& storage);

// What a search of the public API reads, as its caller holds it: a Text read
// in place (the Python module), or well-formed UTF-8 (C++ callers, tests and
// fuzzers), which the search decodes once unless it is ASCII. Every search
// takes one, so each has one signature and one path for both forms. A view
// for the length of one call; two words, passed in registers.
class AnyText {
 public:
  AnyText(const Text& text) : p_(&text), len_(kText) {}
  AnyText(std::string_view utf8) : p_(utf8.data()), len_(utf8.size()) {}
  AnyText(const std::string& utf8) : AnyText(std::string_view(utf8)) {}
  AnyText(const char* utf8) : AnyText(std::string_view(utf8)) {}

  bool is_text() const { return len_ == kText; }
  const Text& text() const { return *static_cast<const Text*>(p_); }              // is_text()
  std::string_view utf8() const { return {static_cast<const char*>(p_), len_}; }  // !is_text()

 private:
  static constexpr size_t kText = SIZE_MAX;  // no UTF-8 string is this long
  const void* p_;
  size_t len_;
};

}  // namespace kordal
