// Counting over code units: UTF-8 lengths, surrogate scans, byte-to-index
// walks (see text.hpp).
//
// Every loop over many units is a template over the unit type with a fixed
// trip count per block and no early exit inside a block, which is the shape
// the compiler vectorises; early exits happen between blocks only.
#include "text.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "simd.hpp"
#include "utf8.hpp"

namespace kordal {

namespace {

// UTF-8 length of one code point, minus one.
template <class U>
inline uint32_t extra(U u) {
  const uint32_t c = u;
  if constexpr (sizeof(U) == 1) {
    return c >> 7;
  } else if constexpr (sizeof(U) == 2) {
    return uint32_t(c >= 0x80) + uint32_t(c >= 0x800);
  } else {
    return uint32_t(c >= 0x80) + uint32_t(c >= 0x800) + uint32_t(c >= 0x10000);
  }
}

// Below this many units the count stays inline (extra_short).
constexpr size_t kShortCount = 1024;

// Sum of extra() over p[0, n) for n < kShortCount, 16 bytes at a time in
// lanes of the unit's width, written with the compilers' generic vector
// types (SSE2, NEON or plain code, whatever the target has). A comparison
// that holds is -1 in its lane; a 16-bit lane counts down by at most 2 per
// step, which stays in range for fewer than 1024 units. The last part block
// is one load ending at n, its lanes counted already masked off.
template <class U>
size_t extra_short(const U* p, size_t n) {
  using S = std::conditional_t<sizeof(U) == 2, int16_t, int32_t>;
  typedef U UV __attribute__((vector_size(16)));
  typedef S SV __attribute__((vector_size(16)));
  constexpr size_t L = 16 / sizeof(U);
  auto count = [](const U* q) {
    UV v;
    std::memcpy(&v, q, sizeof v);
    SV c = (SV)(v > 0x7F) + (SV)(v > 0x7FF);
    if constexpr (sizeof(U) == 4) c += (SV)(v > 0xFFFF);
    return c;
  };
  if (n < L) {
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) total += extra(p[i]);
    return total;
  }
  SV acc = {};
  size_t i = 0;
  for (; n - i >= L; i += L) acc += count(p + i);
  if (i < n) {
    // Lanes k >= L - (n - i) of the load at n - L are the units not yet counted.
    SV lane;
    for (size_t k = 0; k < L; ++k) lane[k] = S(k);
    acc += count(p + n - L) & (SV)(lane >= S(L - (n - i)));
  }
  int64_t sum = 0;
  for (size_t k = 0; k < L; ++k) sum += acc[k];
  return size_t(-sum);
}

// Sum of extra() over p[0, n). Bytes are summed in blocks the compiler
// vectorises; 2- and 4-byte units by the explicit vector loops of simd.hpp.
template <class U>
size_t extra_bytes(const U* p, size_t n) {
  if constexpr (sizeof(U) == 1) {
    constexpr size_t kBlock = size_t(1) << 20;
    size_t total = 0;
    for (size_t i = 0; i < n; i += kBlock) {
      const size_t m = std::min(kBlock, n - i);
      uint32_t s = 0;
      for (size_t j = 0; j < m; ++j) s += extra(p[i + j]);
      total += s;
    }
    return total;
  } else {
    // Most reported spans are short: below a thousand units an inline loop
    // beats the call and its dispatch (a findall of lines over 2-byte text
    // took 1.7x as long through the dispatched count).
    if (n < kShortCount) return extra_short(p, n);
    return simd::utf8_extra(p, n);
  }
}

template <class U>
bool any_surrogate(const U* p, size_t n) {
  constexpr size_t kBlock = 4096;
  for (size_t i = 0; i < n; i += kBlock) {
    const size_t m = std::min(kBlock, n - i);
    const U* q = p + i;
    U hit = 0;
    for (size_t j = 0; j < m; ++j) hit |= U((q[j] & U(~U(0x7FF))) == U(0xD800));
    if (hit) return true;
  }
  return false;
}

template <class U>
bool all_ascii(const U* p, size_t n) {
  constexpr size_t kBlock = 4096;
  for (size_t i = 0; i < n; i += kBlock) {
    const size_t m = std::min(kBlock, n - i);
    const U* q = p + i;
    U bits = 0;
    for (size_t j = 0; j < m; ++j) bits |= q[j];
    if (bits >= 0x80) return false;
  }
  return true;
}

// Block of the byte-to-index walks: long enough to vectorise, short enough
// that the unit-by-unit finish is cheap.
constexpr size_t kWalkBlock = 256;

template <class U>
ByteIndex walk(const U* p, size_t n, size_t byte, TextPos from, TextPos& out) {
  size_t i = from.index;
  size_t b = from.byte;
  if (b <= byte) {
    while (b < byte) {
      if (n - i >= kWalkBlock) {
        const size_t len = kWalkBlock + extra_bytes(p + i, kWalkBlock);
        if (b + len <= byte) {
          b += len;
          i += kWalkBlock;
          continue;
        }
      }
      // Unit by unit up to the target (at most one block).
      while (b < byte && i < n) b += 1 + extra(p[i++]);
      if (b < byte) {  // i == n: past the end
        out = TextPos{n, b};
        return ByteIndex::Beyond;
      }
    }
    out = TextPos{i, b};
    return b == byte ? ByteIndex::Exact : ByteIndex::Inside;
  }
  while (b > byte) {
    if (i >= kWalkBlock) {
      const size_t len = kWalkBlock + extra_bytes(p + i - kWalkBlock, kWalkBlock);
      if (b - len >= byte) {
        b -= len;
        i -= kWalkBlock;
        continue;
      }
    }
    while (b > byte) b -= 1 + extra(p[--i]);
  }
  out = TextPos{i, b};
  return b == byte ? ByteIndex::Exact : ByteIndex::Inside;
}

}  // namespace

size_t utf8_length(const Text& t, size_t a, size_t b) {
  if (b <= a) return 0;
  if (t.ascii) return b - a;
  return (b - a) + with_units(t, [&](const auto* p) { return extra_bytes(p + a, b - a); });
}

bool has_surrogate(const Text& t) {
  if (t.width == 1) return false;
  if (t.width == 2) return any_surrogate(t.u16(), t.n);
  return any_surrogate(t.u32(), t.n);
}

namespace {

template <class U>
size_t narrow_units(const U* p, size_t n, uint8_t* out) {
  constexpr size_t kBlock = 4096;
  size_t high = 0;
  for (size_t i = 0; i < n; i += kBlock) {
    const size_t m = std::min(kBlock, n - i);
    const U* q = p + i;
    uint8_t* o = out + i;
    uint32_t h = 0;
    for (size_t j = 0; j < m; ++j) {
      o[j] = uint8_t(std::min<U>(q[j], U(0xFF)));
      h += q[j] >= U(0xFF);
    }
    high += h;
  }
  return high;
}

}  // namespace

size_t narrow_copy(const Text& t, uint8_t* out) {
  return with_units(t, [&](const auto* p) { return narrow_units(p, t.n, out); });
}

ByteIndex index_of_byte(const Text& t, size_t byte, TextPos from, TextPos& out) {
  if (t.ascii) {
    if (byte > t.n) {
      out = TextPos{t.n, t.n};
      return ByteIndex::Beyond;
    }
    out = TextPos{byte, byte};
    return ByteIndex::Exact;
  }
  // Start from whichever of `from` and the beginning is nearer in bytes.
  if (byte < from.byte && byte < from.byte - byte) from = TextPos{};
  return with_units(t, [&](const auto* p) { return walk(p, t.n, byte, from, out); });
}

size_t ByteMarks::count_from(const Text& t, TextPos from, size_t i) {
  size_t at = from.index, b = from.byte;
  size_t next = bytes_.size() << kShift;  // the first unrecorded mark
  if (!bytes_.empty() && at <= next) {
    // prepare() reserved every mark up to the end, so this never allocates.
    for (; next <= i && bytes_.size() < bytes_.capacity(); next += kStep) {
      b += utf8_length(t, at, next);
      at = next;
      bytes_.push_back(b);
    }
  }
  return b + utf8_length(t, at, i);
}

namespace {

// A step forward this short (the next match of a walk over many short ones)
// is counted in place.
constexpr size_t kShortStep = 16;

}  // namespace

size_t ByteCursor::slow_byte_of(size_t i) {
  if (size_t b; marks_ != nullptr && marks_->known(i, b)) {
    last_ = TextPos{i, b};
    return b;
  }
  // Forward within one mark's stretch: no mark to record on the way.
  const size_t d = i - last_.index;  // huge when i is behind
  if (d <= kShortStep &&
      (marks_ == nullptr || (i >> ByteMarks::kShift) == (last_.index >> ByteMarks::kShift))) {
    const size_t a = last_.index;
    const size_t b = last_.byte + d + with_units(t_, [&](const auto* p) {
                       size_t e = 0;
                       for (size_t k = a; k < i; ++k) e += extra(p[k]);
                       return e;
                     });
    last_ = TextPos{i, b};
    return b;
  }
  TextPos from = last_;
  if (i < from.index) {
    const TextPos base = marks_ != nullptr ? marks_->floor(i) : TextPos{};
    if (i - base.index <= from.index - i) from = base;
  } else if (marks_ != nullptr) {
    const TextPos m = marks_->floor(i);
    if (m.index > from.index) from = m;
  }
  size_t b;
  if (i < from.index) {
    b = from.byte - utf8_length(t_, i, from.index);
  } else if (marks_ != nullptr) {
    b = marks_->count_from(t_, from, i);
  } else {
    b = from.byte + utf8_length(t_, from.index, i);
  }
  last_ = TextPos{i, b};
  return b;
}

Text utf8_text(std::string_view utf8, std::vector<char32_t>& storage) {
  const auto* b = reinterpret_cast<const uint8_t*>(utf8.data());
  const size_t len = utf8.size();
  if (all_ascii(b, len)) return Text::of(b, len, true);
  size_t n = 0;
  for (size_t j = 0; j < len; ++j) n += (b[j] & 0xC0) != 0x80;
  storage.clear();
  storage.reserve(n);
  for (const uint8_t* p = b; p < b + len;) storage.push_back(next_utf8(p, b + len));
  return Text::of(storage.data(), storage.size());
}

}  // namespace kordal
