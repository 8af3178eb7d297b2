// Vectorised scans over arrays of 1-, 2- or 4-byte code units: the next unit
// equal to one value or to one of four, the next pair of units at two
// offsets, the next occurrence of a literal, the next run of units from one
// set, and the UTF-8 length of a run of units.
//
// One plain interface, its implementation chosen once per process: AVX2
// where the x86-64 CPU has it (those functions alone are compiled for it, so
// the library still runs on any x86-64), SSE2 on every other x86-64, NEON on
// aarch64; a scalar loop elsewhere (and on big-endian targets, where the
// lane order of the bit masks differs). The vector code is written with the
// compilers' vector extensions plus the one mask-extraction intrinsic per
// instruction set, never assembly.
//
// Cost: linear in the units scanned, one vector per 16 or 32 bytes; a scan
// reads no unit outside [from, n) (the last block is an overlapping load
// that ends at n, never a read past it), so it may run up to the end of a
// mapping. Results are exact: every implementation returns the same answer,
// which the tests check by forcing each level in turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kordal::simd {

// The first i in [from, n) with p[i] == c, or n.
size_t find_unit(const uint8_t* p, size_t from, size_t n, uint8_t c);
size_t find_unit(const uint16_t* p, size_t from, size_t n, uint16_t c);
size_t find_unit(const uint32_t* p, size_t from, size_t n, uint32_t c);

// The first i in [from, n) with lo <= p[i] <= hi, or n (lo <= hi).
size_t find_range(const uint8_t* p, size_t from, size_t n, uint8_t lo, uint8_t hi);
size_t find_range(const uint16_t* p, size_t from, size_t n, uint16_t lo, uint16_t hi);
size_t find_range(const uint32_t* p, size_t from, size_t n, uint32_t lo, uint32_t hi);

// The first i in [from, n) with p[i + o1] == c1 and p[i + o2] == c2, or n;
// the caller makes sure p[n - 1 + max(o1, o2)] is inside the text.
size_t find_pair(const uint8_t* p, size_t from, size_t n, size_t o1, uint8_t c1, size_t o2,
                 uint8_t c2);
size_t find_pair(const uint16_t* p, size_t from, size_t n, size_t o1, uint16_t c1, size_t o2,
                 uint16_t c2);
size_t find_pair(const uint32_t* p, size_t from, size_t n, size_t o1, uint32_t c1, size_t o2,
                 uint32_t c2);

// The first i in [from, n) where p[i, i + m) equals lit[0, m), or n: a pair
// scan for lit[o1] and lit[o2] (o1 < o2 < m) that checks its candidates
// itself, so that a pair which recurs often costs a compare, not a call.
// The caller makes sure p[n - 2 + m] is inside the text.
size_t find_literal(const uint8_t* p, size_t from, size_t n, const uint8_t* lit, size_t m,
                    size_t o1, size_t o2);
size_t find_literal(const uint16_t* p, size_t from, size_t n, const uint16_t* lit, size_t m,
                    size_t o1, size_t o2);
size_t find_literal(const uint32_t* p, size_t from, size_t n, const uint32_t* lit, size_t m,
                    size_t o1, size_t o2);

// The first i in [from, n) with lo <= p[i] <= hi and p[i + o] == c, or n
// (lo <= hi, o != 0); the caller makes sure p[i + o] is inside the text for
// every such i.
size_t find_range_pair(const uint8_t* p, size_t from, size_t n, uint8_t lo, uint8_t hi, ptrdiff_t o,
                       uint8_t c);
size_t find_range_pair(const uint16_t* p, size_t from, size_t n, uint16_t lo, uint16_t hi,
                       ptrdiff_t o, uint16_t c);
size_t find_range_pair(const uint32_t* p, size_t from, size_t n, uint32_t lo, uint32_t hi,
                       ptrdiff_t o, uint32_t c);

// The same with each position one of four units (a set of fewer repeats
// one of them): a case-insensitive character's case class.
size_t find_pair4(const uint8_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint8_t, 4>& u1, size_t o2, const std::array<uint8_t, 4>& u2);
size_t find_pair4(const uint16_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint16_t, 4>& u1, size_t o2, const std::array<uint16_t, 4>& u2);
size_t find_pair4(const uint32_t* p, size_t from, size_t n, size_t o1,
                  const std::array<uint32_t, 4>& u1, size_t o2, const std::array<uint32_t, 4>& u2);

// The first i in [from, n) with p[i] one of u[0..3], or n. A set of fewer
// units repeats one of them.
size_t find_any4(const uint8_t* p, size_t from, size_t n, const std::array<uint8_t, 4>& u);
size_t find_any4(const uint16_t* p, size_t from, size_t n, const std::array<uint16_t, 4>& u);
size_t find_any4(const uint32_t* p, size_t from, size_t n, const std::array<uint32_t, 4>& u);

// Up to four code units below 256 searched together: one with find_unit,
// more with find_any4 (the first repeated to fill). None: nothing is found.
struct FewUnits {
  std::array<uint8_t, 4> u{};
  uint8_t n = 0;

  // The units c < 256 with has(c); false, and none kept, for more than four.
  template <class Has>
  bool set(Has&& has) {
    n = 0;
    for (uint32_t c = 0; c < 256; ++c) {
      if (!has(c)) continue;
      if (n == 4) {
        n = 0;
        return false;
      }
      u[n++] = uint8_t(c);
    }
    for (size_t i = n; n > 0 && i < u.size(); ++i) u[i] = u[0];
    return true;
  }

  // The first i in [from, stop) with p[i] one of the units, or stop.
  template <class U>
  size_t find(const U* p, size_t from, size_t stop) const {
    if (n == 0 || from >= stop) return stop;
    if (n == 1) return find_unit(p, from, stop, U(u[0]));
    return find_any4(p, from, stop, std::array<U, 4>{U(u[0]), U(u[1]), U(u[2]), U(u[3])});
  }
};

// The sum over p[0, n) of each code point's UTF-8 length minus one, so the
// UTF-8 length of the run is n plus this.
size_t utf8_extra(const uint16_t* p, size_t n);
size_t utf8_extra(const uint32_t* p, size_t n);

// Packed multi-literal search (over bytes; see find_packed for wider units): each literal is put in
// one of eight buckets, and its first `m` positions (1 to 4) are recorded in nibble tables, lo[k][b
// & 15] and hi[k][b >> 4] holding the buckets whose literals allow a byte with that nibble at
// position k. A start j is a candidate for the buckets set in the and, over k, of the two tables at
// t[j + k]: every literal occurrence is a candidate for its bucket, and a
// candidate may be none (the caller verifies). Vectorised with a byte
// shuffle (AVX2, NEON); without one it is a table walk per byte.
struct PackedTables {
  uint8_t lo[4][16] = {};
  uint8_t hi[4][16] = {};
  uint8_t m = 1;
};

// Whether this CPU runs find_packed with vectors; the prefilter prefers its
// other searchers where it does not.
bool packed_vectorised();

// The first candidate start j in [from, n - m], with its buckets in
// `buckets`, or n (buckets untouched). Wider units are looked up by their
// low byte, which only adds candidates.
size_t find_packed(const uint8_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets);
size_t find_packed(const uint16_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets);
size_t find_packed(const uint32_t* p, size_t from, size_t n, const PackedTables& t,
                   uint8_t& buckets);

// Runs of units from one set: `in` says which units below 256 are in it
// and `high` whether those above 255 are; in a 1-byte copy of a wider text
// 0xFF stands for them, so set() puts 0xFF in when `high`. lo and hi are
// nibble tables for byte shuffles, a unit's bucket (bit) per high nibble
// h & 7: u can be in the set only where lo[u & 15] & hi[u >> 4] is not
// zero (exact when no two high nibbles h, h ^ 8 both hold members).
//
// Probes: up to four positions of the run whose own sets are narrower than
// the union (the digits of `[a-z]{3}\d{3}`), each checked at its offset
// from a start as well, with tables of its own.
struct RunSet {
  static constexpr size_t kMaxProbes = 4;
  std::array<bool, 256> in{};
  bool high = false;
  size_t k = 0;  // the run's length, 2 to 32
  std::array<uint8_t, 16> lo{}, hi{};
  size_t probes = 0;
  std::array<uint8_t, kMaxProbes> at{};  // offsets from the start, below k
  std::array<std::array<bool, 256>, kMaxProbes> pin{};
  std::array<bool, kMaxProbes> phigh{};
  std::array<std::array<uint8_t, 16>, kMaxProbes> plo{}, phi{};

  template <class Has>
  void set(Has&& has, bool above, size_t len) {
    high = above;
    k = len;
    probes = 0;
    fill(has, above, in, lo, hi);
  }
  // Call after set(), offset < k, at most kMaxProbes times.
  template <class Has>
  void add_probe(size_t offset, Has&& has, bool above) {
    at[probes] = uint8_t(offset);
    phigh[probes] = above;
    fill(has, above, pin[probes], plo[probes], phi[probes]);
    ++probes;
  }
  template <class U>
  bool has(U u) const {
    return u < 256 ? in[u] : high;
  }
  // Whether the probes' units of a start at b are in their sets.
  template <class U>
  bool probes_hold(const U* p, size_t b) const {
    for (size_t j = 0; j < probes; ++j) {
      const U u = p[b + at[j]];
      if (!(u < 256 ? pin[j][u] : phigh[j])) return false;
    }
    return true;
  }

 private:
  template <class Has>
  static void fill(Has&& has, bool above, std::array<bool, 256>& in, std::array<uint8_t, 16>& lo,
                   std::array<uint8_t, 16>& hi) {
    for (uint32_t c = 0; c < 256; ++c) in[c] = has(c) || (c == 0xFF && above);
    lo = {};
    hi = {};
    for (uint32_t c = 0; c < 256; ++c) {
      if (!in[c]) continue;
      lo[c & 15] |= uint8_t(1u << ((c >> 4) & 7));
      hi[c >> 4] = uint8_t(1u << ((c >> 4) & 7));
    }
  }
};

// The first i in [from, stop) where k units of the set begin, all before
// n, or stop (from <= stop <= n).
size_t find_run(const uint8_t* p, size_t from, size_t stop, size_t n, const RunSet& s);
size_t find_run(const uint16_t* p, size_t from, size_t stop, size_t n, const RunSet& s);
size_t find_run(const uint32_t* p, size_t from, size_t stop, size_t n, const RunSet& s);

// Which implementation runs. Tests and benchmarks may lower it to compare
// the levels; it never rises above what the CPU supports.
enum class Level : uint8_t { Scalar, Base, Avx2 };  // Base: SSE2 or NEON
Level level();
Level best_level();
void set_level(Level l);  // clamped to best_level()
const char* level_name(Level l);

}  // namespace kordal::simd
