// The vectorised scans of simd.hpp: a scalar version of each, a 16-byte one
// (SSE2 or NEON) and, on x86-64, a 32-byte AVX2 one compiled with the target
// attribute and chosen at run time.
//
// Mask extraction is the only place the instruction sets differ: SSE2 and
// AVX2 have a byte mask (one bit per byte); NEON narrows each 16-bit pair to
// a byte, which leaves four bits per byte. A lane index is the count of
// trailing zero bits divided by the bits per unit. The tail of a scan is one
// more vector loaded so that it ends at n: its lanes below the scan's
// position were already found not to match, so its first set lane is the
// answer.
#include "simd.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__SSE2__)
#include <immintrin.h>
#define KORDAL_SIMD_X86 1
#elif defined(__aarch64__) && defined(__ARM_NEON) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <arm_neon.h>
#define KORDAL_SIMD_NEON 1
#endif

namespace kordal::simd {
namespace {

// --- Scalar ---

template <class U>
size_t find_unit_scalar(const U* p, size_t i, size_t n, U c) {
  while (i < n && p[i] != c) ++i;
  return i;
}

template <class U>
size_t find_range_scalar(const U* p, size_t i, size_t n, U lo, U span) {
  while (i < n && U(p[i] - lo) > span) ++i;
  return i;
}

template <class U>
size_t find_pair_scalar(const U* p, size_t i, size_t n, size_t o1, U c1, size_t o2, U c2) {
  while (i < n && !(p[i + o1] == c1 && p[i + o2] == c2)) ++i;
  return i;
}

template <class U>
inline bool equal_units(const U* a, const U* b, size_t m) {
  for (size_t k = 0; k < m; ++k) {
    if (a[k] != b[k]) return false;
  }
  return true;
}

template <class U>
size_t find_literal_scalar(const U* p, size_t i, size_t n, const U* lit, size_t m, size_t o1,
                           size_t o2) {
  const U c1 = lit[o1], c2 = lit[o2];
  for (; i < n; ++i) {
    if (p[i + o1] == c1 && p[i + o2] == c2 && equal_units(p + i, lit, m)) return i;
  }
  return n;
}

// The first start whose lane is set in the movemask `bits` (w bits per
// unit, lanes from `base`) where the literal occurs, in `out`.
template <class U>
inline bool first_literal(uint64_t bits, unsigned w, const U* p, size_t base, const U* lit,
                          size_t m, size_t& out) {
  while (bits != 0) {
    const unsigned lane = unsigned(std::countr_zero(bits)) / w;
    if (equal_units(p + base + lane, lit, m)) {
      out = base + lane;
      return true;
    }
    const unsigned next = (lane + 1) * w;
    bits = next >= 64 ? 0 : bits & (~uint64_t(0) << next);
  }
  return false;
}

template <class U>
size_t find_range_pair_scalar(const U* p, size_t i, size_t n, U lo, U span, ptrdiff_t o, U c) {
  while (i < n && !(U(p[i] - lo) <= span && p[ptrdiff_t(i) + o] == c)) ++i;
  return i;
}

template <class U>
size_t find_pair4_scalar(const U* p, size_t i, size_t n, size_t o1, const std::array<U, 4>& u1,
                         size_t o2, const std::array<U, 4>& u2) {
  auto in = [](U c, const std::array<U, 4>& u) {
    return c == u[0] || c == u[1] || c == u[2] || c == u[3];
  };
  while (i < n && !(in(p[i + o1], u1) && in(p[i + o2], u2))) ++i;
  return i;
}

template <class U>
size_t find_run_scalar(const U* p, size_t i, size_t stop, size_t n, const RunSet& s) {
  size_t run = 0;  // units of the set ending at j
  for (size_t j = i; j < n; ++j) {
    // A run from here begins too late.
    if (std::max(j - run, j + 1 - std::min(j + 1, s.k)) >= stop) return stop;
    run = s.has(p[j]) ? run + 1 : 0;
    if (run >= s.k && s.probes_hold(p, j + 1 - s.k)) return j + 1 - s.k;
  }
  return stop;
}

template <class U>
size_t find_any4_scalar(const U* p, size_t i, size_t n, const std::array<U, 4>& u) {
  for (; i < n; ++i) {
    const U c = p[i];
    if (c == u[0] || c == u[1] || c == u[2] || c == u[3]) break;
  }
  return i;
}

template <class U>
size_t extra_scalar(const U* p, size_t n) {
  size_t total = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = p[i];
    total += size_t(c >= 0x80) + size_t(c >= 0x800) + size_t(c >= 0x10000);
  }
  return total;
}

// Wider units are looked up by their low byte: a unit equal to a literal's
// has the literal's low byte, so no occurrence is lost; the others only add
// candidates, which the caller rejects.
template <class U>
size_t packed_scalar(const U* p, size_t i, size_t n, const PackedTables& t, uint8_t& buckets) {
  const size_t m = t.m;
  if (n < m) return n;
  for (; i + m <= n; ++i) {
    uint8_t b = 0xFF;
    for (size_t k = 0; k < m; ++k) {
      const uint8_t c = uint8_t(p[i + k]);
      b &= t.lo[k][c & 15] & t.hi[k][c >> 4];
    }
    if (b != 0) {
      buckets = b;
      return i;
    }
  }
  return n;
}

#if defined(KORDAL_SIMD_NEON)
// The low bytes of the 16 units at q.
inline uint8x16_t low_bytes_neon(const uint8_t* q) {
  return vld1q_u8(q);
}
inline uint8x16_t low_bytes_neon(const uint16_t* q) {
  return vcombine_u8(vmovn_u16(vld1q_u16(q)), vmovn_u16(vld1q_u16(q + 8)));
}
inline uint8x16_t low_bytes_neon(const uint32_t* q) {
  const uint16x8_t a = vcombine_u16(vmovn_u32(vld1q_u32(q)), vmovn_u32(vld1q_u32(q + 4)));
  const uint16x8_t b = vcombine_u16(vmovn_u32(vld1q_u32(q + 8)), vmovn_u32(vld1q_u32(q + 12)));
  return vcombine_u8(vmovn_u16(a), vmovn_u16(b));
}

// 16 starts per step: the table lookups are vqtbl1q_u8.
template <class U>
size_t packed_neon(const U* p, size_t i, size_t n, const PackedTables& t, uint8_t& buckets) {
  const size_t m = t.m;
  uint8x16_t lo[4], hi[4];
  for (size_t k = 0; k < m; ++k) {
    lo[k] = vld1q_u8(t.lo[k]);
    hi[k] = vld1q_u8(t.hi[k]);
  }
  const uint8x16_t nib = vdupq_n_u8(15);
  while (n >= m + 15 && i <= n - m - 15) {
    uint8x16_t acc = vdupq_n_u8(0xFF);
    for (size_t k = 0; k < m; ++k) {
      const uint8x16_t v = low_bytes_neon(p + i + k);
      acc = vandq_u8(
          acc, vandq_u8(vqtbl1q_u8(lo[k], vandq_u8(v, nib)), vqtbl1q_u8(hi[k], vshrq_n_u8(v, 4))));
    }
    const uint64_t bits = vget_lane_u64(
        vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(vtstq_u8(acc, acc)), 4)), 0);
    if (bits != 0) {
      const size_t j = size_t(std::countr_zero(bits)) / 4;
      uint8_t lanes[16];
      vst1q_u8(lanes, acc);
      buckets = lanes[j];
      return i + j;
    }
    i += 16;
  }
  return packed_scalar(p, i, n, t, buckets);
}
#endif

#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)

// --- 16 bytes: SSE2 or NEON ---

template <class U>
struct Vec16Of {
  typedef U type __attribute__((vector_size(16)));
};
template <class U>
using V16 = typename Vec16Of<U>::type;

#if defined(KORDAL_SIMD_X86)
constexpr unsigned kBitsPerByte16 = 1;
template <class M>
inline uint64_t bits16(M m) {
  return uint32_t(_mm_movemask_epi8((__m128i)m));
}
#else
constexpr unsigned kBitsPerByte16 = 4;
template <class M>
inline uint64_t bits16(M m) {
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16((uint16x8_t)m, 4)), 0);
}
#endif

template <class U>
inline size_t lane16(uint64_t m) {
  return size_t(std::countr_zero(m)) / (kBitsPerByte16 * sizeof(U));
}

template <class U>
inline V16<U> load16(const U* p) {
  V16<U> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class U>
inline V16<U> splat16(U c) {
  V16<U> v;
  for (size_t k = 0; k < 16 / sizeof(U); ++k) v[k] = c;
  return v;
}

template <class U>
size_t find_unit_base(const U* p, size_t i, size_t n, U c) {
  constexpr size_t L = 16 / sizeof(U);
  if (n - i < L) return find_unit_scalar(p, i, n, c);
  const V16<U> s = splat16(c);
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = bits16(load16(p + i) == s);
    const uint64_t b = bits16(load16(p + i + L) == s);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint64_t a = bits16(load16(p + j) == s);
    if (a != 0) return j + lane16<U>(a);
    if (j == i && i + L < n) {
      const uint64_t b = bits16(load16(p + n - L) == s);
      if (b != 0) return n - L + lane16<U>(b);
    }
  }
  return n;
}

// Unsigned lanes: c is in [lo, lo + span] iff c - lo <= span, wrapping.
template <class U>
inline uint64_t range16(const V16<U>& v, const V16<U>& lo, const V16<U>& span) {
  return bits16((v - lo) <= span);
}

template <class U>
size_t find_range_base(const U* p, size_t i, size_t n, U lo, U span) {
  constexpr size_t L = 16 / sizeof(U);
  if (n - i < L) return find_range_scalar(p, i, n, lo, span);
  const V16<U> l = splat16(lo), w = splat16(span);
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = range16<U>(load16(p + i), l, w);
    const uint64_t b = range16<U>(load16(p + i + L), l, w);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint64_t a = range16<U>(load16(p + j), l, w);
    if (a != 0) return j + lane16<U>(a);
    if (j == i && i + L < n) {
      const uint64_t b = range16<U>(load16(p + n - L), l, w);
      if (b != 0) return n - L + lane16<U>(b);
    }
  }
  return n;
}

template <class U>
size_t find_pair_base(const U* p, size_t i, size_t n, size_t o1, U c1, size_t o2, U c2) {
  constexpr size_t L = 16 / sizeof(U);
  const V16<U> s1 = splat16(c1), s2 = splat16(c2);
  auto bits = [&](size_t at) {
    return bits16((load16(p + at + o1) == s1) & (load16(p + at + o2) == s2));
  };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = bits(i), b = bits(i + L);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  return find_pair_scalar(p, i, n, o1, c1, o2, c2);
}

template <class U>
size_t find_literal_base(const U* p, size_t i, size_t n, const U* lit, size_t m, size_t o1,
                         size_t o2) {
  constexpr size_t L = 16 / sizeof(U);
  const V16<U> s1 = splat16(lit[o1]), s2 = splat16(lit[o2]);
  size_t out = n;
  for (; n - i >= L; i += L) {
    const uint64_t a = bits16((load16(p + i + o1) == s1) & (load16(p + i + o2) == s2));
    if (a != 0 && first_literal(a, unsigned(kBitsPerByte16 * sizeof(U)), p, i, lit, m, out)) {
      return out;
    }
  }
  return find_literal_scalar(p, i, n, lit, m, o1, o2);
}

template <class U>
size_t find_range_pair_base(const U* p, size_t i, size_t n, U lo, U span, ptrdiff_t o, U c) {
  constexpr size_t L = 16 / sizeof(U);
  const V16<U> l = splat16(lo), w = splat16(span), s = splat16(c);
  auto bits = [&](size_t at) {
    return bits16(((load16(p + at) - l) <= w) & (load16(p + at + o) == s));
  };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = bits(i), b = bits(i + L);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  return find_range_pair_scalar(p, i, n, lo, span, o, c);
}

template <class U>
inline uint64_t any4_16(const V16<U>& v, const V16<U>* s) {
  return bits16((v == s[0]) | (v == s[1]) | (v == s[2]) | (v == s[3]));
}

template <class U>
size_t find_pair4_base(const U* p, size_t i, size_t n, size_t o1, const std::array<U, 4>& u1,
                       size_t o2, const std::array<U, 4>& u2) {
  constexpr size_t L = 16 / sizeof(U);
  const V16<U> s1[4] = {splat16(u1[0]), splat16(u1[1]), splat16(u1[2]), splat16(u1[3])};
  const V16<U> s2[4] = {splat16(u2[0]), splat16(u2[1]), splat16(u2[2]), splat16(u2[3])};
  auto bits = [&](size_t at) {
    return any4_16<U>(load16(p + at + o1), s1) & any4_16<U>(load16(p + at + o2), s2);
  };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = bits(i), b = bits(i + L);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  return find_pair4_scalar(p, i, n, o1, u1, o2, u2);
}

template <class U>
size_t find_any4_base(const U* p, size_t i, size_t n, const std::array<U, 4>& u) {
  constexpr size_t L = 16 / sizeof(U);
  if (n - i < L) return find_any4_scalar(p, i, n, u);
  const V16<U> s[4] = {splat16(u[0]), splat16(u[1]), splat16(u[2]), splat16(u[3])};
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint64_t a = any4_16<U>(load16(p + i), s);
    const uint64_t b = any4_16<U>(load16(p + i + L), s);
    if ((a | b) != 0) return a != 0 ? i + lane16<U>(a) : i + L + lane16<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint64_t a = any4_16<U>(load16(p + j), s);
    if (a != 0) return j + lane16<U>(a);
    if (j == i && i + L < n) {
      const uint64_t b = any4_16<U>(load16(p + n - L), s);
      if (b != 0) return n - L + lane16<U>(b);
    }
  }
  return n;
}

// A comparison that holds is -1 in its lane, so the lanes count down; they
// are summed before they can overflow (two per 16-bit lane per vector,
// three per 32-bit lane).
template <class U>
size_t extra_base(const U* p, size_t n) {
  using S = std::conditional_t<sizeof(U) == 2, int16_t, int32_t>;
  typedef S SV __attribute__((vector_size(16)));
  constexpr size_t L = 16 / sizeof(U);
  constexpr size_t kFlush = sizeof(U) == 2 ? 16000 : size_t(1) << 26;
  size_t total = 0, i = 0;
  while (n - i >= L) {
    const size_t stop = i + std::min((n - i) / L, kFlush) * L;
    SV acc = {};
    for (; i < stop; i += L) {
      const V16<U> v = load16(p + i);
      if constexpr (sizeof(U) == 2) {
        acc += (SV)(v > 0x7F) + (SV)(v > 0x7FF);
      } else {
        acc += (SV)(v > 0x7F) + (SV)(v > 0x7FF) + (SV)(v > 0xFFFF);
      }
    }
    int64_t sum = 0;
    for (size_t k = 0; k < L; ++k) sum += acc[k];
    total += size_t(-sum);
  }
  return total + extra_scalar(p + i, n - i);
}

#endif  // 16-byte vectors

#if defined(KORDAL_SIMD_X86)

// --- 32 bytes: AVX2, compiled for it alone and called only where the CPU
// has it. Everything these functions call is inlined into them or carries
// the same attribute. ---

// Also on the lambdas inside AVX2 functions: a lambda does not take its
// enclosing function's target, and would then call the vector helpers out
// of line.
#define KORDAL_AVX2 __attribute__((target("avx2")))

template <class U>
struct Vec32Of {
  typedef U type __attribute__((vector_size(32)));
};
template <class U>
using V32 = typename Vec32Of<U>::type;

template <class U>
KORDAL_AVX2 inline size_t lane32(uint32_t m) {
  return size_t(std::countr_zero(m)) / sizeof(U);
}

template <class U>
KORDAL_AVX2 inline uint32_t eq_bits32(const U* q, const V32<U>& s) {
  V32<U> v;
  std::memcpy(&v, q, sizeof v);
  return uint32_t(_mm256_movemask_epi8((__m256i)(v == s)));
}

template <class U>
KORDAL_AVX2 inline uint32_t any4_bits32(const U* q, const V32<U>& s0, const V32<U>& s1,
                                        const V32<U>& s2, const V32<U>& s3) {
  V32<U> v;
  std::memcpy(&v, q, sizeof v);
  return uint32_t(_mm256_movemask_epi8((__m256i)((v == s0) | (v == s1) | (v == s2) | (v == s3))));
}

template <class U>
KORDAL_AVX2 size_t find_unit_avx2(const U* p, size_t i, size_t n, U c) {
  constexpr size_t L = 32 / sizeof(U);
  if (n - i < L) return find_unit_base(p, i, n, c);
  V32<U> s;
  for (size_t k = 0; k < L; ++k) s[k] = c;
  auto bits = [&s](const U* q) KORDAL_AVX2 { return eq_bits32(q, s); };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(p + i), b = bits(p + i + L);
    if ((a | b) != 0) return a != 0 ? i + lane32<U>(a) : i + L + lane32<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint32_t a = bits(p + j);
    if (a != 0) return j + lane32<U>(a);
    if (j == i && i + L < n) {
      const uint32_t b = bits(p + n - L);
      if (b != 0) return n - L + lane32<U>(b);
    }
  }
  return n;
}

template <class U>
KORDAL_AVX2 inline uint32_t range_bits32(const U* q, const V32<U>& lo, const V32<U>& span) {
  V32<U> v;
  std::memcpy(&v, q, sizeof v);
  return uint32_t(_mm256_movemask_epi8((__m256i)((v - lo) <= span)));
}

template <class U>
KORDAL_AVX2 size_t find_range_avx2(const U* p, size_t i, size_t n, U lo, U span) {
  constexpr size_t L = 32 / sizeof(U);
  if (n - i < L) return find_range_base(p, i, n, lo, span);
  V32<U> l, w;
  for (size_t k = 0; k < L; ++k) {
    l[k] = lo;
    w[k] = span;
  }
  auto bits = [&](const U* q) KORDAL_AVX2 { return range_bits32(q, l, w); };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(p + i), b = bits(p + i + L);
    if ((a | b) != 0) return a != 0 ? i + lane32<U>(a) : i + L + lane32<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint32_t a = bits(p + j);
    if (a != 0) return j + lane32<U>(a);
    if (j == i && i + L < n) {
      const uint32_t b = bits(p + n - L);
      if (b != 0) return n - L + lane32<U>(b);
    }
  }
  return n;
}

template <class U>
KORDAL_AVX2 inline uint32_t pair_bits32(const U* q1, const U* q2, const V32<U>& s1,
                                        const V32<U>& s2) {
  V32<U> a, b;
  std::memcpy(&a, q1, sizeof a);
  std::memcpy(&b, q2, sizeof b);
  return uint32_t(_mm256_movemask_epi8((__m256i)((a == s1) & (b == s2))));
}

template <class U>
KORDAL_AVX2 size_t find_pair_avx2(const U* p, size_t i, size_t n, size_t o1, U c1, size_t o2,
                                  U c2) {
  constexpr size_t L = 32 / sizeof(U);
  V32<U> s1, s2;
  for (size_t k = 0; k < L; ++k) {
    s1[k] = c1;
    s2[k] = c2;
  }
  auto bits = [&](size_t at) KORDAL_AVX2 { return pair_bits32(p + at + o1, p + at + o2, s1, s2); };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(i), b = bits(i + L);
    if ((a | b) != 0) return a != 0 ? i + lane32<U>(a) : i + L + lane32<U>(b);
  }
  return find_pair_base(p, i, n, o1, c1, o2, c2);
}

template <class U>
KORDAL_AVX2 size_t find_literal_avx2(const U* p, size_t i, size_t n, const U* lit, size_t m,
                                     size_t o1, size_t o2) {
  constexpr size_t L = 32 / sizeof(U);
  V32<U> s1, s2;
  for (size_t k = 0; k < L; ++k) {
    s1[k] = lit[o1];
    s2[k] = lit[o2];
  }
  auto bits = [&](size_t at) KORDAL_AVX2 { return pair_bits32(p + at + o1, p + at + o2, s1, s2); };
  size_t out = n;
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(i), b = bits(i + L);
    if ((a | b) == 0) [[likely]]
      continue;
    if (a != 0 && first_literal(a, unsigned(sizeof(U)), p, i, lit, m, out)) return out;
    if (b != 0 && first_literal(b, unsigned(sizeof(U)), p, i + L, lit, m, out)) return out;
  }
  return find_literal_base(p, i, n, lit, m, o1, o2);
}

template <class U>
KORDAL_AVX2 inline uint32_t range_pair_bits32(const U* q1, const U* q2, const V32<U>& lo,
                                              const V32<U>& span, const V32<U>& s) {
  V32<U> a, b;
  std::memcpy(&a, q1, sizeof a);
  std::memcpy(&b, q2, sizeof b);
  return uint32_t(_mm256_movemask_epi8((__m256i)(((a - lo) <= span) & (b == s))));
}

template <class U>
KORDAL_AVX2 size_t find_range_pair_avx2(const U* p, size_t i, size_t n, U lo, U span, ptrdiff_t o,
                                        U c) {
  constexpr size_t L = 32 / sizeof(U);
  V32<U> l, w, s;
  for (size_t k = 0; k < L; ++k) {
    l[k] = lo;
    w[k] = span;
    s[k] = c;
  }
  auto bits = [&](size_t at) KORDAL_AVX2 { return range_pair_bits32(p + at, p + at + o, l, w, s); };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(i), b = bits(i + L);
    if ((a | b) != 0) return a != 0 ? i + lane32<U>(a) : i + L + lane32<U>(b);
  }
  return find_range_pair_base(p, i, n, lo, span, o, c);
}

template <class U>
KORDAL_AVX2 size_t find_pair4_avx2(const U* p, size_t i, size_t n, size_t o1,
                                   const std::array<U, 4>& u1, size_t o2,
                                   const std::array<U, 4>& u2) {
  constexpr size_t L = 32 / sizeof(U);
  V32<U> a[4], b[4];
  for (size_t k = 0; k < L; ++k) {
    for (size_t j = 0; j < 4; ++j) {
      a[j][k] = u1[j];
      b[j][k] = u2[j];
    }
  }
  auto bits = [&](size_t at) KORDAL_AVX2 {
    return any4_bits32(p + at + o1, a[0], a[1], a[2], a[3]) &
           any4_bits32(p + at + o2, b[0], b[1], b[2], b[3]);
  };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t x = bits(i), y = bits(i + L);
    if ((x | y) != 0) return x != 0 ? i + lane32<U>(x) : i + L + lane32<U>(y);
  }
  return find_pair4_base(p, i, n, o1, u1, o2, u2);
}

template <class U>
KORDAL_AVX2 size_t find_any4_avx2(const U* p, size_t i, size_t n, const std::array<U, 4>& u) {
  constexpr size_t L = 32 / sizeof(U);
  if (n - i < L) return find_any4_base(p, i, n, u);
  V32<U> s0, s1, s2, s3;
  for (size_t k = 0; k < L; ++k) {
    s0[k] = u[0];
    s1[k] = u[1];
    s2[k] = u[2];
    s3[k] = u[3];
  }
  auto bits = [&](const U* q) KORDAL_AVX2 { return any4_bits32(q, s0, s1, s2, s3); };
  for (; n - i >= 2 * L; i += 2 * L) {
    const uint32_t a = bits(p + i), b = bits(p + i + L);
    if ((a | b) != 0) return a != 0 ? i + lane32<U>(a) : i + L + lane32<U>(b);
  }
  if (i < n) {
    const size_t j = n - i >= L ? i : n - L;
    const uint32_t a = bits(p + j);
    if (a != 0) return j + lane32<U>(a);
    if (j == i && i + L < n) {
      const uint32_t b = bits(p + n - L);
      if (b != 0) return n - L + lane32<U>(b);
    }
  }
  return n;
}

// The extra UTF-8 bytes of each of the 16 units at q.
KORDAL_AVX2 inline __m256i extra16_avx2(const uint16_t* q, const __m256i& one) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
  return _mm256_add_epi16(_mm256_min_epu16(_mm256_srli_epi16(v, 7), one),
                          _mm256_min_epu16(_mm256_srli_epi16(v, 11), one));
}

template <class U>
KORDAL_AVX2 size_t extra_avx2(const U* p, size_t n) {
  if constexpr (sizeof(U) == 2) {
    // A unit's extra bytes are min(u >> 7, 1) + min(u >> 11, 1): shifts and
    // unsigned minimums, cheaper than the unsigned compares AVX2 lacks; two
    // accumulators of 16-bit lanes, summed before they can overflow.
    const __m256i one = _mm256_set1_epi16(1);
    size_t total = 0, i = 0;
    while (n - i >= 32) {
      const size_t stop = i + std::min<size_t>((n - i) / 32, 8000) * 32;
      __m256i a = _mm256_setzero_si256(), b = a;
      for (; i < stop; i += 32) {
        a = _mm256_add_epi16(a, extra16_avx2(p + i, one));
        b = _mm256_add_epi16(b, extra16_avx2(p + i + 16, one));
      }
      alignas(32) int32_t lanes[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                         _mm256_madd_epi16(_mm256_add_epi16(a, b), one));
      for (int32_t x : lanes) total += size_t(x);
    }
    return total + extra_base(p + i, n - i);
  }
  using S = std::conditional_t<sizeof(U) == 2, int16_t, int32_t>;
  typedef S SV __attribute__((vector_size(32)));
  constexpr size_t L = 32 / sizeof(U);
  constexpr size_t kFlush = sizeof(U) == 2 ? 16000 : size_t(1) << 26;
  size_t total = 0, i = 0;
  while (n - i >= L) {
    const size_t stop = i + std::min((n - i) / L, kFlush) * L;
    SV acc = {};
    for (; i < stop; i += L) {
      V32<U> v;
      std::memcpy(&v, p + i, sizeof v);
      if constexpr (sizeof(U) == 2) {
        acc += (SV)(v > 0x7F) + (SV)(v > 0x7FF);
      } else {
        acc += (SV)(v > 0x7F) + (SV)(v > 0x7FF) + (SV)(v > 0xFFFF);
      }
    }
    int64_t sum = 0;
    for (size_t k = 0; k < L; ++k) sum += acc[k];
    total += size_t(-sum);
  }
  return total + extra_base(p + i, n - i);
}

// 32 starts per step: vpshufb looks up each half of the vector in the same
// 16-byte table, so the tables are broadcast to both halves. The last starts
// (fewer than 32) are one more step over a zero-padded copy of the rest of
// the text, its lanes past the last start ignored: a short haystack costs
// one step, not a table walk per byte.
struct PackedAvx2 {
  __m256i lo[4], hi[4];
  size_t m;
};

// The low bytes of the 32 units at q, in order. The packs work within
// each 128-bit half, so the halves' quarters are put back in order after.
KORDAL_AVX2 inline __m256i low_bytes_avx2(const uint8_t* q) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}
KORDAL_AVX2 inline __m256i low_bytes_avx2(const uint16_t* q) {
  const __m256i low = _mm256_set1_epi16(0xFF);
  const __m256i a = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), low);
  const __m256i b =
      _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 16)), low);
  return _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
}
KORDAL_AVX2 inline __m256i low_bytes_avx2(const uint32_t* q) {
  const __m256i low = _mm256_set1_epi32(0xFF);
  __m256i v[4];
  for (int k = 0; k < 4; ++k) {
    v[k] = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 8 * k)), low);
  }
  const __m256i bytes =
      _mm256_packus_epi16(_mm256_packus_epi32(v[0], v[1]), _mm256_packus_epi32(v[2], v[3]));
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

// The candidates among the 32 starts at q as a bit mask, their buckets in acc.
template <class U>
KORDAL_AVX2 inline uint32_t packed_step_avx2(const PackedAvx2& pk, const U* q, __m256i& acc) {
  const __m256i nib = _mm256_set1_epi8(15);
  acc = _mm256_set1_epi8(-1);
  for (size_t k = 0; k < pk.m; ++k) {
    const __m256i v = low_bytes_avx2(q + k);
    const __m256i l = _mm256_shuffle_epi8(pk.lo[k], _mm256_and_si256(v, nib));
    const __m256i h = _mm256_shuffle_epi8(pk.hi[k], _mm256_and_si256(_mm256_srli_epi16(v, 4), nib));
    acc = _mm256_and_si256(acc, _mm256_and_si256(l, h));
  }
  return ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(acc, _mm256_setzero_si256())));
}

KORDAL_AVX2 inline uint8_t lane_of(const __m256i& acc, size_t j) {
  alignas(32) uint8_t lanes[32];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  return lanes[j];
}

template <class U>
KORDAL_AVX2 size_t packed_avx2(const U* p, size_t i, size_t n, const PackedTables& t,
                               uint8_t& buckets) {
  const size_t m = t.m;
  if (n < m || i > n - m) return n;
  PackedAvx2 pk;
  pk.m = m;
  for (size_t k = 0; k < m; ++k) {
    pk.lo[k] =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.lo[k])));
    pk.hi[k] =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.hi[k])));
  }
  __m256i acc;
  for (; n - i >= m + 31; i += 32) {
    const uint32_t bits = packed_step_avx2(pk, p + i, acc);
    if (bits != 0) {
      const size_t j = size_t(std::countr_zero(bits));
      buckets = lane_of(acc, j);
      return i + j;
    }
  }
  if (n - i < m) return n;
  const size_t starts = n - i - m + 1;  // 1 to 31
  alignas(32) U tail[64] = {};
  std::memcpy(tail, p + i, (n - i) * sizeof(U));
  const uint32_t bits = packed_step_avx2(pk, tail, acc) & ((uint32_t(1) << starts) - 1);
  if (bits == 0) return n;
  const size_t j = size_t(std::countr_zero(bits));
  buckets = lane_of(acc, j);
  return i + j;
}

// Bit j of the result: bits j to j + k - 1 of w all set (k >= 1).
KORDAL_AVX2 inline uint64_t runs_of(uint64_t w, size_t k) {
  for (size_t have = 1; have < k;) {
    const size_t step = std::min(have, k - have);
    w &= w >> step;
    have += step;
  }
  return w;
}

// Runs over 32 starts at a time: the set's bits of 64 bytes, the second 32
// carried over to the next step, so a run of up to 33 is seen whole.
KORDAL_AVX2 size_t find_run_avx2(const uint8_t* p, size_t i, size_t stop, size_t n,
                                 const RunSet& s) {
  const __m256i lo =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.lo.data())));
  const __m256i hi =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.hi.data())));
  const __m256i nib = _mm256_set1_epi8(15);
  auto member = [&](const __m256i& v, const __m256i& tl, const __m256i& th) KORDAL_AVX2 {
    const __m256i l = _mm256_shuffle_epi8(tl, _mm256_and_si256(v, nib));
    const __m256i h = _mm256_shuffle_epi8(th, _mm256_and_si256(_mm256_srli_epi16(v, 4), nib));
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(l, h), _mm256_setzero_si256());
    return ~uint32_t(_mm256_movemask_epi8(none));
  };
  auto bits = [&](const uint8_t* q) KORDAL_AVX2 {
    return uint64_t(member(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)), lo, hi));
  };
  __m256i plo[RunSet::kMaxProbes], phi[RunSet::kMaxProbes];
  for (size_t j = 0; j < s.probes; ++j) {
    plo[j] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.plo[j].data())));
    phi[j] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.phi[j].data())));
  }
  if (i < stop && n - i >= 64) {
    uint64_t m0 = bits(p + i);
    while (i < stop && n - i >= 64) {
      const uint64_t m1 = bits(p + i + 32);
      uint32_t c = uint32_t(runs_of(m0 | m1 << 32, s.k));
      // Offsets are below k <= 32, so each probe's 32 units are in reach.
      for (size_t j = 0; j < s.probes && c != 0; ++j) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + s.at[j]));
        c &= member(v, plo[j], phi[j]);
      }
      // The tables may take a unit the set does not hold: check each start.
      while (c != 0) {
        const size_t j = i + size_t(std::countr_zero(c));
        if (j >= stop) return stop;
        size_t t = 0;
        while (t < s.k && s.in[p[j + t]]) ++t;
        if (t == s.k && s.probes_hold(p, j)) return j;
        c &= c - 1;
      }
      m0 = m1;
      i += 32;
    }
  }
  return find_run_scalar(p, i, stop, n, s);
}

#endif  // AVX2

// --- Dispatch ---

constexpr uint8_t kUnknown = 0xFF;
std::atomic<uint8_t> g_best{kUnknown};
std::atomic<uint8_t> g_level{kUnknown};

Level detect() {
#if defined(KORDAL_SIMD_X86)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? Level::Avx2 : Level::Base;
#elif defined(KORDAL_SIMD_NEON)
  return Level::Base;
#else
  return Level::Scalar;
#endif
}

inline Level current() {
  const uint8_t l = g_level.load(std::memory_order_relaxed);
  if (l != kUnknown) [[likely]]
    return Level(l);
  return level();
}

template <class U>
size_t find_unit_any(const U* p, size_t from, size_t n, U c) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      if constexpr (sizeof(U) == 1) break;
      return find_unit_avx2(p, from, n, c);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      if constexpr (sizeof(U) == 1) break;
      return find_unit_base(p, from, n, c);
#endif
    default:
      return find_unit_scalar(p, from, n, c);
  }
  // Bytes: the C library's memchr is as wide as the machine allows.
  const void* hit = std::memchr(p + from, c, n - from);
  return hit != nullptr ? size_t(static_cast<const U*>(hit) - p) : n;
}

template <class U>
size_t find_any4_any(const U* p, size_t from, size_t n, const std::array<U, 4>& u) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_any4_avx2(p, from, n, u);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_any4_base(p, from, n, u);
#endif
    default:
      return find_any4_scalar(p, from, n, u);
  }
}

template <class U>
size_t find_range_any(const U* p, size_t from, size_t n, U lo, U hi) {
  if (from >= n) return n;
  const U span = U(hi - lo);
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_range_avx2(p, from, n, lo, span);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_range_base(p, from, n, lo, span);
#endif
    default:
      return find_range_scalar(p, from, n, lo, span);
  }
}

template <class U>
size_t find_pair4_any(const U* p, size_t from, size_t n, size_t o1, const std::array<U, 4>& u1,
                      size_t o2, const std::array<U, 4>& u2) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_pair4_avx2(p, from, n, o1, u1, o2, u2);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_pair4_base(p, from, n, o1, u1, o2, u2);
#endif
    default:
      return find_pair4_scalar(p, from, n, o1, u1, o2, u2);
  }
}

template <class U>
size_t find_pair_any(const U* p, size_t from, size_t n, size_t o1, U c1, size_t o2, U c2) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_pair_avx2(p, from, n, o1, c1, o2, c2);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_pair_base(p, from, n, o1, c1, o2, c2);
#endif
    default:
      return find_pair_scalar(p, from, n, o1, c1, o2, c2);
  }
}

template <class U>
size_t find_literal_any(const U* p, size_t from, size_t n, const U* lit, size_t m, size_t o1,
                        size_t o2) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_literal_avx2(p, from, n, lit, m, o1, o2);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_literal_base(p, from, n, lit, m, o1, o2);
#endif
    default:
      return find_literal_scalar(p, from, n, lit, m, o1, o2);
  }
}

template <class U>
size_t find_range_pair_any(const U* p, size_t from, size_t n, U lo, U hi, ptrdiff_t o, U c) {
  if (from >= n) return n;
  const U span = U(hi - lo);
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return find_range_pair_avx2(p, from, n, lo, span, o, c);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return find_range_pair_base(p, from, n, lo, span, o, c);
#endif
    default:
      return find_range_pair_scalar(p, from, n, lo, span, o, c);
  }
}

template <class U>
size_t extra_any(const U* p, size_t n) {
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return extra_avx2(p, n);
#endif
#if defined(KORDAL_SIMD_X86) || defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return extra_base(p, n);
#endif
    default:
      return extra_scalar(p, n);
  }
}

}  // namespace

size_t find_unit(const uint8_t* p, size_t from, size_t n, uint8_t c) {
  return find_unit_any(p, from, n, c);
}
size_t find_unit(const uint16_t* p, size_t from, size_t n, uint16_t c) {
  return find_unit_any(p, from, n, c);
}
size_t find_unit(const uint32_t* p, size_t from, size_t n, uint32_t c) {
  return find_unit_any(p, from, n, c);
}
size_t find_range(const uint8_t* p, size_t from, size_t n, uint8_t lo, uint8_t hi) {
  return find_range_any(p, from, n, lo, hi);
}
size_t find_range(const uint16_t* p, size_t from, size_t n, uint16_t lo, uint16_t hi) {
  return find_range_any(p, from, n, lo, hi);
}
size_t find_range(const uint32_t* p, size_t from, size_t n, uint32_t lo, uint32_t hi) {
  return find_range_any(p, from, n, lo, hi);
}
size_t find_pair(const uint8_t* p, size_t from, size_t n, size_t o1, uint8_t c1, size_t o2,
                 uint8_t c2) {
  return find_pair_any(p, from, n, o1, c1, o2, c2);
}
size_t find_pair(const uint16_t* p, size_t from, size_t n, size_t o1, uint16_t c1, size_t o2,
                 uint16_t c2) {
  return find_pair_any(p, from, n, o1, c1, o2, c2);
}
size_t find_pair(const uint32_t* p, size_t from, size_t n, size_t o1, uint32_t c1, size_t o2,
                 uint32_t c2) {
  return find_pair_any(p, from, n, o1, c1, o2, c2);
}
size_t find_literal(const uint8_t* p, size_t from, size_t n, const uint8_t* lit, size_t m,
                    size_t o1, size_t o2) {
  return find_literal_any(p, from, n, lit, m, o1, o2);
}
size_t find_literal(const uint16_t* p, size_t from, size_t n, const uint16_t* lit, size_t m,
                    size_t o1, size_t o2) {
  return find_literal_any(p, from, n, lit, m, o1, o2);
}
size_t find_literal(const uint32_t* p, size_t from, size_t n, const uint32_t* lit, size_t m,
                    size_t o1, size_t o2) {
  return find_literal_any(p, from, n, lit, m, o1, o2);
}
size_t find_range_pair(const uint8_t* p, size_t from, size_t n, uint8_t lo, uint8_t hi, ptrdiff_t o,
                       uint8_t c) {
  return find_range_pair_any(p, from, n, lo, hi, o, c);
}
size_t find_range_pair(const uint16_t* p, size_t from, size_t n, uint16_t lo, uint16_t hi,
                       ptrdiff_t o, uint16_t c) {
  return find_range_pair_any(p, from, n, lo, hi, o, c);
}
size_t find_range_pair(const uint32_t* p, size_t from, size_t n, uint32_t lo, uint32_t hi,
                       ptrdiff_t o, uint32_t c) {
  return find_range_pair_any(p, from, n, lo, hi, o, c);
}
size_t find_pair4(const uint8_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint8_t, 4>& u1, size_t o2, const std::array<uint8_t, 4>& u2) {
  return find_pair4_any(p, from, n, o1, u1, o2, u2);
}
size_t find_pair4(const uint16_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint16_t, 4>& u1, size_t o2, const std::array<uint16_t, 4>& u2) {
  return find_pair4_any(p, from, n, o1, u1, o2, u2);
}
size_t find_pair4(const uint32_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint32_t, 4>& u1, size_t o2, const std::array<uint32_t, 4>& u2) {
  return find_pair4_any(p, from, n, o1, u1, o2, u2);
}
size_t find_any4(const uint8_t* p, size_t from, size_t n, const std::array<uint8_t, 4>& u) {
  return find_any4_any(p, from, n, u);
}
size_t find_any4(const uint16_t* p, size_t from, size_t n, const std::array<uint16_t, 4>& u) {
  return find_any4_any(p, from, n, u);
}
size_t find_any4(const uint32_t* p, size_t from, size_t n, const std::array<uint32_t, 4>& u) {
  return find_any4_any(p, from, n, u);
}
size_t find_run(const uint8_t* p, size_t from, size_t stop, size_t n, const RunSet& s) {
  if (from >= stop) return stop;
#if defined(KORDAL_SIMD_X86)
  if (current() == Level::Avx2) return find_run_avx2(p, from, stop, n, s);
#endif
  return find_run_scalar(p, from, stop, n, s);
}
size_t find_run(const uint16_t* p, size_t from, size_t stop, size_t n, const RunSet& s) {
  return from >= stop ? stop : find_run_scalar(p, from, stop, n, s);
}
size_t find_run(const uint32_t* p, size_t from, size_t stop, size_t n, const RunSet& s) {
  return from >= stop ? stop : find_run_scalar(p, from, stop, n, s);
}
size_t utf8_extra(const uint16_t* p, size_t n) {
  return extra_any(p, n);
}
size_t utf8_extra(const uint32_t* p, size_t n) {
  return extra_any(p, n);
}

bool packed_vectorised() {
#if defined(KORDAL_SIMD_X86)
  return current() == Level::Avx2;
#elif defined(KORDAL_SIMD_NEON)
  return current() == Level::Base;
#else
  return false;
#endif
}

template <class U>
size_t find_packed_any(const U* p, size_t from, size_t n, const PackedTables& t, uint8_t& buckets) {
  if (from >= n) return n;
  switch (current()) {
#if defined(KORDAL_SIMD_X86)
    case Level::Avx2:
      return packed_avx2(p, from, n, t, buckets);
#endif
#if defined(KORDAL_SIMD_NEON)
    case Level::Base:
      return packed_neon(p, from, n, t, buckets);
#endif
    default:
      return packed_scalar(p, from, n, t, buckets);
  }
}

size_t find_packed(const uint8_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets) {
  return find_packed_any(p, from, n, t, buckets);
}
size_t find_packed(const uint16_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets) {
  return find_packed_any(p, from, n, t, buckets);
}
size_t find_packed(const uint32_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets) {
  return find_packed_any(p, from, n, t, buckets);
}

Level best_level() {
  uint8_t b = g_best.load(std::memory_order_relaxed);
  if (b == kUnknown) {
    b = uint8_t(detect());
    g_best.store(b, std::memory_order_relaxed);
  }
  return Level(b);
}

Level level() {
  const uint8_t l = g_level.load(std::memory_order_relaxed);
  if (l != kUnknown) return Level(l);
  const Level b = best_level();
  uint8_t expected = kUnknown;
  g_level.compare_exchange_strong(expected, uint8_t(b), std::memory_order_relaxed);
  return Level(g_level.load(std::memory_order_relaxed));
}

void set_level(Level l) {
  g_level.store(uint8_t(std::min(l, best_level())), std::memory_order_relaxed);
}

const char* level_name(Level l) {
  switch (l) {
    case Level::Avx2:
      return "avx2";
    case Level::Base:
#if defined(KORDAL_SIMD_NEON)
      return "neon";
#else
      return "sse2";
#endif
    case Level::Scalar:
      break;
  }
  return "scalar";
}

}  // namespace kordal::simd
