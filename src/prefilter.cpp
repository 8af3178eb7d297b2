// Literal searchers (see prefilter.hpp for the scheme).
#include "prefilter.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

#include "simd.hpp"

namespace kordal {
namespace {

template <class U>
constexpr char32_t kMaxUnit = char32_t(U(~U(0)));

template <class U>
bool fits(char32_t c) {
  if constexpr (sizeof(U) == 4) {
    return true;
  } else {
    return c <= kMaxUnit<U>;
  }
}

// 16-byte vectors through the GCC/Clang vector extensions: SSE2 on x86-64,
// NEON on aarch64, plain code elsewhere. A lane index is read from the
// comparison mask as two 64-bit words, which assumes little-endian lanes.
template <class U>
struct VecOf;
template <>
struct VecOf<uint8_t> {
  typedef uint8_t type __attribute__((vector_size(16)));
};
template <>
struct VecOf<uint16_t> {
  typedef uint16_t type __attribute__((vector_size(16)));
};
template <>
struct VecOf<uint32_t> {
  typedef uint32_t type __attribute__((vector_size(16)));
};
template <class U>
using Vec = typename VecOf<U>::type;
typedef uint64_t Mask __attribute__((vector_size(16)));

constexpr bool kVectors = std::endian::native == std::endian::little;

template <class U>
constexpr size_t kLanes = 16 / sizeof(U);

template <class U>
inline Vec<U> load(const U* p) {
  Vec<U> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class U>
inline Vec<U> splat(U c) {
  Vec<U> v;
  for (size_t i = 0; i < kLanes<U>; ++i) v[i] = c;
  return v;
}

inline bool any(Mask m) {
  return (m[0] | m[1]) != 0;
}

// Index of the first lane set in a non-zero mask.
template <class U>
inline size_t first_lane(Mask m) {
  constexpr unsigned bits = 8 * sizeof(U);
  if (m[0] != 0) return size_t(std::countr_zero(m[0])) / bits;
  return kLanes<U> / 2 + size_t(std::countr_zero(m[1])) / bits;
}

// Lanes of v equal to one of the units (all four compared; a set of fewer
// repeats its last unit).
template <class U, bool Single>
inline Mask eq_set(Vec<U> v, const Vec<U>* s) {
  if constexpr (Single) {
    return (Mask)(v == s[0]);
  } else {
    return (Mask)((v == s[0]) | (v == s[1]) | (v == s[2]) | (v == s[3]));
  }
}

// The first start i in [i, end) where t[i + o1] is in p1, t[i + o2] in p2
// and verify(i) holds. The caller guarantees i + o1 and i + o2 stay inside
// the text for every start below `end`, and o1 < o2.
template <class U, bool S1, bool S2, class Verify>
size_t scan_pair(const U* t, size_t i, size_t end, size_t o1, const PosSet<U>& p1, size_t o2,
                 const PosSet<U>& p2, const Verify& verify) {
  constexpr size_t L = kLanes<U>;
  constexpr unsigned bits = 8 * sizeof(U);
  constexpr uint64_t lane_mask = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
  if constexpr (kVectors) {
    if (end - i >= L) {
      const Vec<U> s1[4] = {splat(p1.u[0]), splat(p1.u[1]), splat(p1.u[2]), splat(p1.u[3])};
      const Vec<U> s2[4] = {splat(p2.u[0]), splat(p2.u[1]), splat(p2.u[2]), splat(p2.u[3])};
      auto pair_at = [&](size_t at) {
        return eq_set<U, S1>(load(t + at + o1), s1) & eq_set<U, S2>(load(t + at + o2), s2);
      };
      // The first lane of m (starting at `base`) that verifies, or kNoPos.
      auto first_verified = [&](Mask m, size_t base) {
        for (int half = 0; half < 2; ++half) {
          uint64_t w = m[half];
          while (w != 0) {
            const unsigned bit = unsigned(std::countr_zero(w));
            const size_t at = base + size_t(half) * (L / 2) + bit / bits;
            if (verify(at)) return at;
            w &= ~(lane_mask << (bit / bits * bits));
          }
        }
        return kNoPos;
      };
      for (; i + 2 * L <= end; i += 2 * L) {
        const Mask a = pair_at(i), b = pair_at(i + L);
        if (!any(a | b)) [[likely]]
          continue;
        size_t at = any(a) ? first_verified(a, i) : kNoPos;
        if (at == kNoPos && any(b)) at = first_verified(b, i + L);
        if (at != kNoPos) return at;
      }
      for (; i + L <= end; i += L) {
        const Mask m = pair_at(i);
        if (!any(m)) continue;
        const size_t at = first_verified(m, i);
        if (at != kNoPos) return at;
      }
    }
  }
  for (; i < end; ++i) {
    if (p1.has(t[i + o1]) && p2.has(t[i + o2]) && verify(i)) return i;
  }
  return kNoPos;
}

template <class U>
PosSet<U> pos_set(const LitChar& c) {
  PosSet<U> p;
  for (char32_t m : members(c)) {
    if (!fits<U>(m)) continue;
    // A case class has at most three members.
    if (p.n < 4) p.u[p.n++] = U(m);
  }
  for (size_t k = p.n; k < 4 && p.n > 0; ++k) p.u[k] = p.u[p.n - 1];
  return p;
}

}  // namespace

// Built at load time, so that a lookup costs no initialisation guard.
const std::array<std::array<uint8_t, 256>, 2> kWordTables = [] {
  std::array<std::array<uint8_t, 256>, 2> t{};
  for (char32_t c = 0; c < 256; ++c) {
    t[0][c] = word_char(c, false);
    t[1][c] = word_char(c, true);
  }
  return t;
}();

// --- UnitScanner ---

template <class U>
UnitScanner<U>::UnitScanner(const std::vector<char32_t>& cps) {
  for (char32_t c : cps) {
    if (!fits<U>(c)) continue;
    if (c < 256) {
      add_lo(c);
    } else {
      highs_.push_back(U(c));
    }
  }
  finish();
}

template <class U>
UnitScanner<U>::UnitScanner(const FirstSet& f) {
  for (uint32_t c = 0; c < 256; ++c) {
    if (f.lo[c]) add_lo(c);
  }
  if (sizeof(U) > 1 && f.high) {
    if (f.high_any) {
      high_any_ = true;
    } else {
      for (char32_t c : f.highs) {
        if (fits<U>(c)) highs_.push_back(U(c));
      }
    }
  }
  finish();
}

template <class U>
void UnitScanner<U>::finish() {
  std::sort(highs_.begin(), highs_.end());
  highs_.erase(std::unique(highs_.begin(), highs_.end()), highs_.end());
  size_t lo_count = 0;
  for (uint64_t w : table_) lo_count += size_t(std::popcount(w));
  const size_t total = lo_count + highs_.size();
  if (high_any_ || total > 4) {
    mode_ = Mode::Table;
    return;
  }
  if (total == 0) {
    mode_ = Mode::None;
    return;
  }
  count_ = 0;
  for (uint32_t c = 0; c < 256; ++c) {
    if (table_[c >> 6] >> (c & 63) & 1) few_[count_++] = U(c);
  }
  for (U c : highs_) few_[count_++] = c;
  for (size_t k = count_; k < 4; ++k) few_[k] = few_[count_ - 1];
  mode_ = count_ == 1 ? Mode::One : Mode::Few;
}

template <class U>
bool UnitScanner<U>::contains(U u) const {
  if constexpr (sizeof(U) > 1) {
    if (u >= 256) return high_any_ || std::binary_search(highs_.begin(), highs_.end(), u);
  }
  return table_[u >> 6] >> (u & 63) & 1;
}

template <class U>
size_t UnitScanner<U>::find(const U* t, size_t n, size_t from) const {
  if (from >= n) return kNoPos;
  switch (mode_) {
    case Mode::None:
      return kNoPos;
    case Mode::One: {
      const size_t i = simd::find_unit(t, from, n, few_[0]);
      return i < n ? i : kNoPos;
    }
    case Mode::Few: {
      const size_t i = simd::find_any4(t, from, n, few_);
      return i < n ? i : kNoPos;
    }
    case Mode::Table:
      break;
  }
  size_t i = from;
  if constexpr (sizeof(U) == 1) {
    const uint64_t* tab = table_.data();
    auto hit = [tab](uint8_t c) { return (tab[c >> 6] >> (c & 63)) & 1; };
    for (; i + 4 <= n; i += 4) {
      if (hit(t[i])) return i;
      if (hit(t[i + 1])) return i + 1;
      if (hit(t[i + 2])) return i + 2;
      if (hit(t[i + 3])) return i + 3;
    }
    for (; i < n; ++i) {
      if (hit(t[i])) return i;
    }
    return kNoPos;
  } else {
    for (; i < n; ++i) {
      if (contains(t[i])) return i;
    }
    return kNoPos;
  }
}

// --- LiteralSearcher ---

template <class U>
LiteralSearcher<U>::LiteralSearcher(const Literal& lit) {
  for (const LitChar& c : lit.chars) {
    pos_.push_back(pos_set<U>(c));
    if (pos_.back().n == 0) never_ = true;
  }
  if (never_ || pos_.empty()) {
    never_ = true;
    return;
  }
  if (pos_.size() == 1) {
    one_ = UnitScanner<U>(members(lit.chars[0]));
    return;
  }
  bool single = true;
  for (const PosSet<U>& p : pos_) single = single && p.n == 1;
  for (size_t j = 0; single && j < pos_.size(); ++j) units_.push_back(pos_[j].u[0]);
  // The two rarest positions, compared together over whole vectors.
  std::vector<std::pair<double, size_t>> rank;
  for (size_t j = 0; j < pos_.size(); ++j) rank.emplace_back(char_frequency(lit.chars[j]), j);
  std::stable_sort(rank.begin(), rank.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // The second position holds another character where the literal has one:
  // a pair of equal units (the `;`s of `;Lu;`) also matches wherever they
  // recur at that distance, which in delimited text is everywhere.
  size_t second = 1;
  while (second < rank.size() && lit.chars[rank[second].second] == lit.chars[rank[0].second]) {
    ++second;
  }
  if (second == rank.size()) second = 1;
  r0_ = rank[0].second;
  r1_ = std::min(rank[0].second, rank[second].second);
  r2_ = std::max(rank[0].second, rank[second].second);
}

template <class U>
bool LiteralSearcher<U>::verify(const U* p) const {
  for (size_t j = 0; j < pos_.size(); ++j) {
    if (!pos_[j].has(p[j])) return false;
  }
  return true;
}

template <class U>
size_t LiteralSearcher<U>::find(const U* t, size_t n, size_t from) const {
  const size_t m = pos_.size();
  if (never_ || n < m || from > n - m) return kNoPos;
  if (m == 1) return one_.find(t, n, from);
  const size_t end = n - m + 1;
  auto verify = [this, t](size_t at) { return this->verify(t + at); };
  const PosSet<U>& a = pos_[r1_];
  const PosSet<U>& b = pos_[r2_];
  size_t i = from;
  if constexpr (sizeof(U) == 1) {
    // The C library's memchr is wider than the 16-byte loops: while the
    // rarest byte is rare in this text, jump from one to the next, and turn
    // to the pair scan once hits come closer than every 256 bytes or so.
    const size_t ro = r0_, rk = r0_ == r1_ ? r2_ : r1_;
    if (pos_[ro].n == 1) {
      const U rare = pos_[ro].u[0];
      const PosSet<U>& check = pos_[rk];
      size_t hits = 0, since = i;
      while (i < end) {
        const void* hit = std::memchr(t + i + ro, rare, end - i);
        if (hit == nullptr) return kNoPos;
        const size_t p = size_t(static_cast<const U*>(hit) - t) - ro;
        if (check.has(t[p + rk]) && verify(p)) return p;
        i = p + 1;
        if (++hits >= 4) {
          if (i - since < hits * 256) break;
          hits = 0;
          since = i;
        }
      }
      if (i >= end) return kNoPos;
    }
  }
  if (!units_.empty()) {
    const size_t q = simd::find_literal(t, i, end, units_.data(), m, r1_, r2_);
    return q < end ? q : kNoPos;
  }
  if (a.n == 1 && b.n == 1) {
    // Two single units: the vectorised pair scan of simd.hpp, as wide as
    // the CPU allows.
    for (;; ++i) {
      i = simd::find_pair(t, i, end, r1_, a.u[0], r2_, b.u[0]);
      if (i >= end) return kNoPos;
      if (verify(i)) return i;
    }
  }
  if (simd::level() == simd::Level::Avx2) {
    // Case classes: twice the width of the loop below, a compare per member.
    for (;; ++i) {
      i = simd::find_pair4(t, i, end, r1_, a.u, r2_, b.u);
      if (i >= end) return kNoPos;
      if (verify(i)) return i;
    }
  }
  if (a.n == 1) return scan_pair<U, true, false>(t, i, end, r1_, a, r2_, b, verify);
  if (b.n == 1) return scan_pair<U, false, true>(t, i, end, r1_, a, r2_, b, verify);
  return scan_pair<U, false, false>(t, i, end, r1_, a, r2_, b, verify);
}

// --- UnitMasks and BitSearcher ---

template <class U>
void UnitMasks<U>::set(char32_t u, uint64_t bits) {
  if (u < 256) {
    lo_[u] = bits;
    return;
  }
  if (sizeof(U) == 1) return;
  const size_t page = size_t(u) >> 8;
  if (page >= dir_.size()) dir_.resize(page + 1, 0);
  if (pages_.empty()) pages_.assign(256, 0);  // page 0: the all-zero page
  if (dir_[page] == 0) {
    dir_[page] = uint32_t(pages_.size() / 256);
    pages_.resize(pages_.size() + 256, 0);
  }
  pages_[size_t(dir_[page]) * 256 + (u & 0xFF)] = bits;
}

template <class U>
bool BitSearcher<U>::small_enough(const std::vector<Literal>& lits) {
  size_t total = 0;
  for (const Literal& l : lits) total += l.chars.size();
  return total <= 64;
}

template <class U>
BitSearcher<U>::BitSearcher(const std::vector<Literal>& lits) {
  std::vector<std::pair<char32_t, uint64_t>> bits;  // unit, bit; merged below
  std::vector<char32_t> first;
  unsigned at = 0;
  for (const Literal& l : lits) {
    std::vector<std::vector<char32_t>> pos;
    bool ok = !l.chars.empty();
    for (const LitChar& c : l.chars) {
      std::vector<char32_t> u;
      for (char32_t m : members(c)) {
        if (fits<U>(m)) u.push_back(m);
      }
      ok = ok && !u.empty();
      pos.push_back(std::move(u));
    }
    if (!ok) continue;  // cannot occur in a text of this width
    starts_ |= uint64_t(1) << at;
    for (size_t j = 0; j < pos.size(); ++j) {
      for (char32_t u : pos[j]) bits.emplace_back(u, uint64_t(1) << (at + j));
    }
    for (char32_t u : pos[0]) first.push_back(u);
    at += unsigned(pos.size());
    ends_ |= uint64_t(1) << (at - 1);
    len_[at - 1] = uint8_t(pos.size());
    max_len_ = std::max(max_len_, pos.size());
  }
  std::sort(bits.begin(), bits.end());
  for (size_t i = 0; i < bits.size();) {
    uint64_t m = 0;
    size_t j = i;
    for (; j < bits.size() && bits[j].first == bits[i].first; ++j) m |= bits[j].second;
    masks_.set(bits[i].first, m);
    i = j;
  }
  first_ = UnitScanner<U>(first);
}

template <class U>
size_t BitSearcher<U>::find(const U* t, size_t n, size_t from) const {
  if (from >= n || first_.empty()) return kNoPos;
  int skips = first_.few() ? 16 : 0;
  const uint64_t starts = starts_, ends = ends_;
  uint64_t d = 0;  // bit k: the literal position k matched the text ending here
  size_t i = from;
  for (;;) {
    // skips first: once it is 0 the test is predictable, d == 0 is not.
    if (skips > 0 && d == 0) {
      const size_t j = first_.find(t, n, i);
      if (j == kNoPos) return kNoPos;
      if (j - i < 8) --skips;
      i = j;
    }
    if (i >= n) return kNoPos;
    d = ((d << 1) | starts) & masks_.get(t[i]);
    if (d & ends) break;
    ++i;
  }
  // Literals end at i; one that starts earlier may still be open and ends
  // within max_len_ units of the best start.
  auto best_start = [&](uint64_t e, size_t at) {
    size_t best = kNoPos;
    for (; e != 0; e &= e - 1) best = std::min(best, at + 1 - len_[std::countr_zero(e)]);
    return best;
  };
  size_t best = best_start(d & ends, i);
  const size_t stop = std::min(n, best + max_len_ - 1);
  for (++i; i < stop && d != 0; ++i) {
    d = ((d << 1) | starts) & masks_.get(t[i]);
    if (d & ends) best = std::min(best, best_start(d & ends, i));
  }
  return best;
}

// --- MultiSearcher ---

template <class U>
MultiSearcher<U>::MultiSearcher(const std::vector<Literal>& input) {
  // A set that mixes case-sensitive and case-insensitive characters is
  // searched with every character insensitive: the automaton's alphabet is
  // then the case classes, and the occurrences found a superset.
  bool fold = false;
  for (const Literal& l : input) {
    for (const LitChar& c : l.chars) fold = fold || c.fold;
  }
  std::vector<std::vector<std::vector<U>>> lits;
  for (const Literal& l : input) {
    std::vector<std::vector<U>> units;
    bool ok = !l.chars.empty();
    for (const LitChar& c : l.chars) {
      std::vector<U> u;
      for (char32_t m : members(fold ? lit_char(c.ch, true) : c)) {
        if (fits<U>(m)) u.push_back(U(m));
      }
      if (u.empty()) ok = false;
      units.push_back(std::move(u));
    }
    if (ok) lits.push_back(std::move(units));
  }
  if (lits.empty()) return;
  std::vector<char32_t> first;
  for (const auto& l : lits) {
    for (U u : l[0]) first.push_back(u);
  }
  first_ = UnitScanner<U>(first);
  size_t cut = 0;
  for (const auto& l : lits) cut = std::max(cut, l.size());
  // Shorter literals need fewer states; at one unit the first units are the
  // whole search.
  while (cut > 1 && !build(lits, cut)) cut = cut > 8 ? cut * 3 / 4 : cut - 1;
  if (states_ != 0) build_prefix_filter(lits);
}

namespace {
constexpr uint64_t kPrefixHash = 0x9E3779B97F4A7C15u;
// The two bits a key sets in its word, from the twelve bits of its hash h
// below those that chose the word (h >> shift): one multiply for both.
inline uint64_t prefix_mask(uint64_t h, unsigned shift) {
  return uint64_t(1) << ((h >> (shift - 6)) & 63) | uint64_t(1) << ((h >> (shift - 12)) & 63);
}
// The low bytes of the first `w` units at p as a key, with bit 5 of every
// byte set: case pairs in byte text (A-Z, U+00C0-U+00DE) differ in that
// bit alone. Equal units make equal keys, whatever else collides.
template <class U>
inline uint64_t prefix_key(const U* p, unsigned w) {
  uint8_t b[8] = {};
  for (unsigned k = 0; k < w && k < 8; ++k) b[k] = uint8_t(uint8_t(p[k]) | 0x20);
  uint64_t x;
  std::memcpy(&x, b, 8);
  return x;
}
}  // namespace

template <class U>
void MultiSearcher<U>::KeyFilter::build(const std::vector<uint64_t>& keys, size_t bits_per_key) {
  // A blocked filter: each key sets two bits of one 64-bit word, so a test
  // reads one word. The table is kept small enough to sit in the
  // first-level cache: a search over a short text pays a cache miss per
  // table line it touches, and that, not the test, is what a large table
  // costs.
  unsigned log2 = 12;
  while (log2 < 22 && (size_t(1) << log2) < keys.size() * bits_per_key) ++log2;
  words.assign((size_t(1) << log2) / 64, 0);
  shift = 64 - (log2 - 6);
  for (uint64_t x : keys) {
    const uint64_t h = x * kPrefixHash;
    words[h >> shift] |= prefix_mask(h, shift);
  }
}

template <class U>
inline bool MultiSearcher<U>::KeyFilter::has(uint64_t x) const {
  const uint64_t h = x * kPrefixHash;
  const uint64_t m = prefix_mask(h, shift);
  return (words[h >> shift] & m) == m;
}

template <class U>
void MultiSearcher<U>::build_prefix_filter(const std::vector<std::vector<std::vector<U>>>& lits) {
  // Every literal is at least `least` units long (as far as the trie holds
  // it): any window of `stride` starts then holds exactly one sampled
  // position, and a match starting in the window covers the w bytes there.
  size_t least = cut_;
  for (const auto& l : lits) least = std::min(least, l.size());
  const size_t w = std::min<size_t>(8, least);
  if (w < 2) return;
  const size_t stride = least - w + 1;
  // Every spelling of every literal's w bytes at each offset below the
  // stride, case merged.
  std::vector<uint64_t> keys, starts;
  keys.reserve(lits.size() * stride);
  std::vector<std::vector<uint8_t>> pos(least);  // reused: no allocation per literal
  for (const auto& l : lits) {
    for (size_t k = 0; k < least; ++k) {
      pos[k].clear();
      for (U u : l[k]) pos[k].push_back(uint8_t(u | 0x20));
      std::sort(pos[k].begin(), pos[k].end());
      pos[k].erase(std::unique(pos[k].begin(), pos[k].end()), pos[k].end());
    }
    for (size_t off = 0; off < stride; ++off) {
      std::array<size_t, 8> at{};
      for (;;) {
        uint8_t b[8];
        for (size_t k = 0; k < w; ++k) b[k] = pos[off + k][at[k]];
        keys.push_back(prefix_key(b, unsigned(w)));
        if (off == 0) starts.push_back(keys.back());
        size_t k = 0;
        while (k < w && ++at[k] == pos[off + k].size()) at[k++] = 0;
        if (k == w) break;
        if (keys.size() > (size_t(1) << 20)) return;
      }
    }
  }
  // Samples are tested against every offset's keys; a start in the window
  // of a sample that passes, against the keys at offset 0 (fewer, so rarer
  // false hits), before the trie is walked from it: the trie is large, and
  // on a short text each walk is a cache miss or two. The samples' filter
  // is kept to 6 bits a key: on a text searched with cold caches, each of
  // its lines is a miss, which costs more than the extra false hits.
  sampled_.build(keys, 6);
  starts_.build(starts, 16);
  const uint8_t ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  key_mask_ = prefix_key(ones, unsigned(w));
  w_ = unsigned(w);
  stride_ = stride;
}

template <class U>
bool MultiSearcher<U>::starts_at(const U* t, size_t n, size_t j) const {
  uint32_t row = 0;
  for (size_t k = 0; k < max_len_ && j + k < n; ++k) {
    const uint32_t e = trans_[row + class_of(t[j + k])];
    if (((e >> kDepthShift) & kDepthMask) != k + 1) return false;  // off the path from j
    row = e & kRow;
    // A literal ends here; it started at j if it is as long as the path.
    if ((e & kEnds) && match_len_[row / classes_] == k + 1) return true;
  }
  return false;
}

template <class U>
size_t MultiSearcher<U>::find_by_prefix(const U* t, size_t n, size_t from) const {
  if (n < w_ || from > n - w_) return kNoPos;
  const size_t last = n - w_;
  const uint64_t mask = key_mask_;
  auto key = [&](size_t i) {
    if (n - i >= 8) {
      // Eight units whatever w_ is, so that the narrowing vectorises.
      uint64_t x;
      if constexpr (sizeof(U) == 1) {
        std::memcpy(&x, t + i, 8);
      } else {
        uint8_t b[8];
        for (size_t k = 0; k < 8; ++k) b[k] = uint8_t(t[i + k]);
        std::memcpy(&x, b, 8);
      }
      return (x | 0x2020202020202020u) & mask;
    }
    return prefix_key(t + i, w_);
  };
  // The starts whose sampled position is p: (p - stride_, p], from on.
  // Each is at most p <= last, so its w_ units are in the text. A literal
  // starting at j also has its w_ units at j + stride_ - 1 among the
  // samples' keys: a second test, on a table the samples keep warm, before
  // a walk in the trie, which on a short text is a cache miss or two.
  const size_t far = stride_ - 1;
  auto window = [&](size_t p) {
    for (size_t j = p + 1 - std::min(stride_, p + 1 - from); j <= p; ++j) {
      if (starts_.has(key(j)) && last - j >= far && sampled_.has(key(j + far)) &&
          starts_at(t, n, j)) {
        return j;
      }
    }
    return kNoPos;
  };
  for (size_t p = from; p <= last; p += stride_) {
    if (sampled_.has(key(p))) {
      const size_t j = window(p);
      if (j != kNoPos) return j;
    }
  }
  return kNoPos;
}

template <class U>
uint32_t MultiSearcher<U>::class_of(U u) const {
  if constexpr (sizeof(U) == 1) {
    return lo_class_[u];
  } else if (u < 256) {
    return lo_class_[u];
  }
  auto it = std::lower_bound(hi_class_.begin(), hi_class_.end(), std::make_pair(u, uint16_t(0)));
  return it != hi_class_.end() && it->first == u ? it->second : 0;
}

template <class U>
bool MultiSearcher<U>::build(const std::vector<std::vector<std::vector<U>>>& lits, size_t cut) {
  states_ = 0;
  trans_.clear();
  match_len_.clear();
  hi_class_.clear();
  lo_class_.fill(0);
  // Classes: every unit of a position shares the position's class (the
  // positions are single units or whole case classes, which never overlap).
  std::map<U, uint32_t> cls;
  uint32_t next = 1;
  for (const auto& l : lits) {
    for (size_t j = 0; j < l.size() && j < cut; ++j) {
      auto it = cls.find(l[j][0]);
      if (it != cls.end()) continue;
      for (U u : l[j]) cls[u] = next;
      ++next;
    }
  }
  if (next > 0xFFFF) return false;
  classes_ = next;
  for (const auto& [u, c] : cls) {
    if (u < 256) {
      lo_class_[u] = uint16_t(c);
    } else {
      hi_class_.emplace_back(u, uint16_t(c));
    }
  }
  // The trie.
  std::vector<std::map<uint32_t, uint32_t>> kids(1);
  std::vector<uint16_t> own(1, 0);
  std::vector<uint16_t> depth(1, 0);
  max_len_ = 0;
  for (const auto& l : lits) {
    const size_t len = std::min(l.size(), cut);
    uint32_t s = 0;
    for (size_t j = 0; j < len; ++j) {
      const uint32_t c = cls[l[j][0]];
      auto it = kids[s].find(c);
      if (it == kids[s].end()) {
        if (size_t(kids.size() + 1) * classes_ > kMaxTable) return false;
        kids[s][c] = uint32_t(kids.size());
        depth.push_back(uint16_t(depth[s] + 1));
        s = uint32_t(kids.size());
        kids.emplace_back();
        own.push_back(0);
      } else {
        s = it->second;
      }
    }
    own[s] = uint16_t(len);
    max_len_ = std::max(max_len_, len);
  }
  // Breadth-first: failure links and the dense table.
  const size_t count = kids.size();
  std::vector<uint32_t> fail(count, 0);
  trans_.assign(count * classes_, 0);
  match_len_.assign(count, 0);
  std::deque<uint32_t> queue;
  for (const auto& [c, kid] : kids[0]) {
    trans_[c] = kid;
    queue.push_back(kid);
  }
  match_len_[0] = 0;
  while (!queue.empty()) {
    const uint32_t s = queue.front();
    queue.pop_front();
    match_len_[s] = std::max(own[s], match_len_[fail[s]]);
    for (uint32_t c = 0; c < classes_; ++c) {
      trans_[size_t(s) * classes_ + c] = trans_[size_t(fail[s]) * classes_ + c];
    }
    for (const auto& [c, kid] : kids[s]) {
      fail[kid] = trans_[size_t(fail[s]) * classes_ + c];
      trans_[size_t(s) * classes_ + c] = kid;
      queue.push_back(kid);
    }
  }
  // Entries become the next state's row offset, with the top bit set when a
  // literal ends there: the scan loop then needs one load per unit.
  // The target's depth rides along in the middle bits, for the walks from
  // a start (starts_at).
  for (uint32_t& e : trans_) {
    e = e * classes_ | uint32_t(std::min<size_t>(depth[e], kDepthMask)) << kDepthShift |
        (match_len_[e] != 0 ? kEnds : 0);
  }
  states_ = uint32_t(count);
  cut_ = cut;
  return true;
}

template <class U>
size_t MultiSearcher<U>::find(const U* t, size_t n, size_t from) const {
  if (states_ == 0) return first_.find(t, n, from);
  if (from >= n) return kNoPos;
  if (w_ != 0) return find_by_prefix(t, n, from);
  const uint32_t* tr = trans_.data();
  // While at the root, skip ahead to the next first unit, unless they turn
  // out to be so frequent that the skips cost more than they save.
  int skips = first_.few() ? 16 : 0;
  uint32_t s = 0;
  size_t i = from;
  for (;;) {
    if (skips > 0 && s == 0) {
      const size_t j = first_.find(t, n, i);
      if (j == kNoPos) return kNoPos;
      if (j - i < 8) --skips;
      i = j;
    }
    if (i >= n) return kNoPos;
    const uint32_t e = tr[s + class_of(t[i])];
    s = e & kRow;
    if (e & kEnds) break;
    ++i;
  }
  // A literal ends at i. One that starts earlier may still be open; it ends
  // within max_len_ units of `best`.
  size_t best = i + 1 - match_len_[s / classes_];
  const size_t stop = std::min(n, best + max_len_ - 1);
  for (++i; i < stop && s != 0; ++i) {
    const uint32_t e = tr[s + class_of(t[i])];
    s = e & kRow;
    if (e & kEnds) best = std::min(best, i + 1 - match_len_[s / classes_]);
  }
  return best;
}

// --- PackedSearcher ---

template <class U>
bool PackedSearcher<U>::suits(const std::vector<Literal>& lits) {
  return simd::packed_vectorised() && lits.size() >= 2 && lits.size() <= kMaxLiterals;
}

template <class U>
PackedSearcher<U>::PackedSearcher(const std::vector<Literal>& input) {
  for (const Literal& l : input) {
    std::vector<PosSet<U>> pos;
    bool ok = !l.chars.empty();
    for (const LitChar& c : l.chars) {
      pos.push_back(pos_set<U>(c));
      ok = ok && pos.back().n > 0;
    }
    if (ok) lits_.push_back(std::move(pos));
  }
  if (lits_.empty()) return;
  // Four positions make a fingerprint rare even over a four-letter
  // alphabet (DNA); shorter literals bound it.
  size_t m = 4;
  for (const auto& l : lits_) m = std::min(m, l.size());
  tab_.m = uint8_t(m);
  // Literals sharing their fingerprint share a bucket, so that a bucket's
  // candidates are as few as the set allows; the rest go round the eight.
  std::map<std::vector<std::array<uint8_t, 4>>, size_t> seen;
  size_t next = 0;
  for (size_t i = 0; i < lits_.size(); ++i) {
    std::vector<std::array<uint8_t, 4>> key;
    for (size_t k = 0; k < m; ++k) {
      const auto& u = lits_[i][k].u;
      key.push_back({uint8_t(u[0]), uint8_t(u[1]), uint8_t(u[2]), uint8_t(u[3])});
    }
    auto [it, fresh] = seen.emplace(key, next % 8);
    if (fresh) ++next;
    const size_t b = it->second;
    bucket_[b].push_back(uint16_t(i));
    for (size_t k = 0; k < m; ++k) {
      const PosSet<U>& ps = lits_[i][k];
      for (size_t u = 0; u < ps.n; ++u) {
        const uint8_t low = uint8_t(ps.u[u]);  // what find_packed looks up
        tab_.lo[k][low & 15] |= uint8_t(1u << b);
        tab_.hi[k][low >> 4] |= uint8_t(1u << b);
      }
    }
  }
}

template <class U>
bool PackedSearcher<U>::verify(const std::vector<PosSet<U>>& lit, const U* t, size_t n,
                               size_t at) const {
  if (n - at < lit.size()) return false;
  for (size_t j = 0; j < lit.size(); ++j) {
    if (!lit[j].has(t[at + j])) return false;
  }
  return true;
}

template <class U>
size_t PackedSearcher<U>::find(const U* t, size_t n, size_t from) const {
  while (from < n) {
    uint8_t b = 0;
    const size_t j = simd::find_packed(t, from, n, tab_, b);
    if (j >= n) return kNoPos;
    for (; b != 0; b &= uint8_t(b - 1)) {
      for (uint16_t i : bucket_[std::countr_zero(b)]) {
        if (verify(lits_[i], t, n, j)) return j;
      }
    }
    from = j + 1;
  }
  return kNoPos;
}

// --- LiteralAlternation ---

bool LiteralAlternation::suits(const std::vector<std::u32string>& alts) {
  return alts.size() >= 2 && alts.size() <= kMaxAlternatives;
}

LiteralAlternation::LiteralAlternation(std::vector<std::u32string> alts) {
  shortest_ = alts.empty() ? 0 : SIZE_MAX;
  // A map per node while building, flattened breadth-first after, so that
  // a node's children are adjacent and sorted.
  std::vector<std::map<char32_t, uint32_t>> kids(1);
  std::vector<uint32_t> best(1, kNone);
  for (size_t i = 0; i < alts.size(); ++i) {
    shortest_ = std::min(shortest_, alts[i].size());
    if (!alts[i].empty()) {
      const char32_t c = alts[i][0];
      if (c < 256) {
        first_lo_[c] = true;
      } else {
        first_high_ = true;
      }
    }
    uint32_t s = 0;
    for (char32_t c : alts[i]) {
      auto it = kids[s].find(c);
      if (it == kids[s].end()) {
        it = kids[s].emplace(c, uint32_t(kids.size())).first;
        kids.emplace_back();
        best.push_back(kNone);
      }
      s = it->second;
    }
    best[s] = std::min(best[s], uint32_t(i));
  }
  // Breadth-first numbering: old index -> new.
  std::vector<uint32_t> order(1, 0), renum(kids.size(), 0);
  for (size_t k = 0; k < order.size(); ++k) {
    for (const auto& [c, kid] : kids[order[k]]) {
      renum[kid] = uint32_t(order.size());
      order.push_back(kid);
    }
  }
  nodes_.resize(kids.size());
  for (size_t k = 0; k < order.size(); ++k) {
    TrieNode& nd = nodes_[k];
    nd.first = uint32_t(edge_ch_.size());
    nd.count = uint32_t(kids[order[k]].size());
    nd.best = best[order[k]];
    for (const auto& [c, kid] : kids[order[k]]) {
      edge_ch_.push_back(c);
      edge_to_.push_back(renum[kid]);
    }
  }
}

template <class U>
size_t LiteralAlternation::match_at(const U* t, size_t n, size_t q) const {
  // Every alternative that occurs at q ends on the path walked; the first
  // in pattern order among them is the match.
  uint32_t best = kNone;
  size_t len = kNoPos;
  const TrieNode* nd = &nodes_[0];
  for (size_t i = q;; ++i) {
    if (nd->best < best) {
      best = nd->best;
      len = i - q;
    }
    if (i >= n || nd->count == 0) break;
    const char32_t c = t[i];
    const char32_t* lo = edge_ch_.data() + nd->first;
    const char32_t* hi = lo + nd->count;
    const char32_t* at = nd->count <= 8 ? std::find(lo, hi, c) : std::lower_bound(lo, hi, c);
    if (at == hi || *at != c) break;
    nd = &nodes_[edge_to_[size_t(at - edge_ch_.data())]];
  }
  return len;
}

template size_t LiteralAlternation::match_at(const uint8_t*, size_t, size_t) const;
template size_t LiteralAlternation::match_at(const uint16_t*, size_t, size_t) const;
template size_t LiteralAlternation::match_at(const uint32_t*, size_t, size_t) const;

// --- Prefilter ---

// Up to this many literals of three or more units are searched one by one,
// in texts of at least kFewMinText units from the search's start.
constexpr size_t kFewLiterals = 4;
constexpr size_t kFewMinText = 256;
// The joint scan of the few literals' rare units gives way to the
// literals' own scans once its hits come closer than this on average.
constexpr size_t kJointSpacing = 128;

template <class U>
struct Prefilter::Impl {
  enum class Kind : uint8_t { Never, One, Few, Units, Packed, Bits, Multi };
  Kind kind = Kind::Never;
  std::unique_ptr<LiteralSearcher<U>> one;
  std::vector<LiteralSearcher<U>> few;
  UnitScanner<U> units;
  std::unique_ptr<PackedSearcher<U>> packed;
  std::unique_ptr<BitSearcher<U>> bits;
  std::unique_ptr<MultiSearcher<U>> multi;

  explicit Impl(const Needle& nd) {
    if (nd.lits.size() == 1) {
      one = std::make_unique<LiteralSearcher<U>>(nd.lits[0]);
      kind = one->never() ? Kind::Never : Kind::One;
      return;
    }
    bool singles = true;
    for (const Literal& l : nd.lits) singles = singles && l.chars.size() == 1;
    if (singles) {
      std::vector<char32_t> cps;
      for (const Literal& l : nd.lits) {
        for (char32_t m : members(l.chars[0])) cps.push_back(m);
      }
      units = UnitScanner<U>(cps);
      kind = units.empty() ? Kind::Never : Kind::Units;
      return;
    }
    // A few literals of some length: each found by its own rare-pair scan,
    // which reads a text faster than the packed search.
    bool few_long = nd.lits.size() <= kFewLiterals;
    for (const Literal& l : nd.lits) {
      few_long = few_long && l.chars.size() >= 3;
      for (const LitChar& c : l.chars) few_long = few_long && !c.fold;
    }
    if (few_long) {
      for (const Literal& l : nd.lits) {
        LiteralSearcher<U> ls(l);
        if (!ls.never()) few.push_back(std::move(ls));
      }
      kind = few.empty() ? Kind::Never : Kind::Few;
      plan_joint();
      // Short texts go to the packed search: one call, not one per literal.
      if (kind == Kind::Few && PackedSearcher<U>::suits(nd.lits)) {
        packed = std::make_unique<PackedSearcher<U>>(nd.lits);
      }
      return;
    }
    if (PackedSearcher<U>::suits(nd.lits)) {
      packed = std::make_unique<PackedSearcher<U>>(nd.lits);
      kind = packed->never() ? Kind::Never : Kind::Packed;
      return;
    }
    if (BitSearcher<U>::small_enough(nd.lits)) {
      bits = std::make_unique<BitSearcher<U>>(nd.lits);
      kind = bits->never() ? Kind::Never : Kind::Bits;
      return;
    }
    multi = std::make_unique<MultiSearcher<U>>(nd.lits);
    kind = multi->never() ? Kind::Never : Kind::Multi;
  }

  size_t find(const U* t, size_t n, size_t from) const {
    switch (kind) {
      case Kind::Never:
        return kNoPos;
      case Kind::One:
        return one->find(t, n, from);
      case Kind::Few:
        if (packed && n - from < kFewMinText) return packed->find(t, n, from);
        return joint ? find_joint(t, n, from) : find_few(t, n, from);
      case Kind::Units:
        return units.find(t, n, from);
      case Kind::Packed:
        return packed->find(t, n, from);
      case Kind::Bits:
        return bits->find(t, n, from);
      case Kind::Multi:
        return multi->find(t, n, from);
    }
    return kNoPos;
  }

  // Each literal's rarest position, where every one is a single unit: the
  // literals are then found by one scan for any of those units.
  bool joint = false;
  std::array<U, 4> joint_units{};
  std::array<U, kFewLiterals> rare{};
  std::array<size_t, kFewLiterals> rare_at{};
  size_t max_rare_at = 0;

  void plan_joint() {
    // Bytes: the C library's memchr, one literal at a time, reads a text
    // several times faster than the joint scan, and its hops are as few.
    if (sizeof(U) == 1) return;
    for (size_t k = 0; k < few.size(); ++k) {
      if (!few[k].rare_unit(rare_at[k], rare[k])) return;
      max_rare_at = std::max(max_rare_at, rare_at[k]);
      joint_units[k] = rare[k];
    }
    for (size_t k = few.size(); k < 4; ++k) joint_units[k] = rare[0];
    joint = few.size() > 1;
  }

  // The leftmost of the literals' next occurrences, by one scan for their
  // rare units. Hits come in text order: once a literal is found at s, a
  // literal starting before s has its rare unit at most max_rare_at past s,
  // so the scan ends there. While hits come densely, the literals' own
  // scans read the text faster.
  size_t find_joint(const U* t, size_t n, size_t from) const {
    size_t best = kNoPos;
    size_t i = from;
    size_t hits = 0, since = i;
    for (;;) {
      const size_t limit = best == kNoPos ? n : std::min(n, best + max_rare_at + 1);
      if (i >= limit) return best;
      const size_t h = simd::find_any4(t, i, limit, joint_units);
      if (h >= limit) return best;
      for (size_t k = 0; k < few.size(); ++k) {
        const size_t r = rare_at[k];
        if (t[h] == rare[k] && h - from >= r && h - r < best && few[k].at(t, n, h - r)) {
          best = h - r;
        }
      }
      i = h + 1;
      if (best == kNoPos && ++hits >= 16) {
        // Every start before i - max_rare_at has had its rare unit read.
        if (i - since < hits * kJointSpacing) {
          return find_few(t, n, std::max(from, i > max_rare_at ? i - max_rare_at : 0));
        }
        hits = 0;
        since = i;
      }
    }
  }

  // The leftmost of the literals' next occurrences. Each literal after the
  // first is searched only before the best found so far, so that a search
  // reads each stretch of text once per literal, however many calls walk it.
  size_t find_few(const U* t, size_t n, size_t from) const {
    size_t best = kNoPos;
    for (const LiteralSearcher<U>& ls : few) {
      const size_t limit = best == kNoPos ? n : std::min(n, best + ls.size() - 1);
      const size_t q = ls.find(t, limit, from);
      if (q != kNoPos && q < best) best = q;
    }
    return best;
  }
};

Prefilter::Prefilter(Needle needle) : needle_(std::move(needle)) {
  for (const Literal& l : needle_.lits) {
    longest_ = std::max(longest_, l.chars.size());
    for (const LitChar& c : l.chars) {
      for (char32_t m : members(c)) narrowable_ = narrowable_ && m < 0xFF;
    }
  }
}
Prefilter::~Prefilter() = default;

template <class U>
const Prefilter::Impl<U>& Prefilter::impl() const {
  auto build = [this](std::once_flag& once, std::atomic<bool>& ready, auto& impl) {
    if (ready.load(std::memory_order_acquire)) return;
    std::call_once(once, [&] {
      impl = std::make_unique<Impl<U>>(needle_);
      ready.store(true, std::memory_order_release);
    });
  };
  if constexpr (sizeof(U) == 1) {
    build(once1_, ready1_, impl1_);
    return *impl1_;
  } else if constexpr (sizeof(U) == 2) {
    build(once2_, ready2_, impl2_);
    return *impl2_;
  } else {
    build(once4_, ready4_, impl4_);
    return *impl4_;
  }
}

template <class U>
size_t Prefilter::find(const U* t, size_t n, size_t from) const {
  return impl<U>().find(t, n, from);
}

template <class U>
size_t Prefilter::find_before(const U* t, size_t n, size_t from, size_t until) const {
  // An occurrence that starts before `until` ends before until + longest_ - 1.
  const size_t end = until >= n || n - until < longest_ ? n : until + longest_ - 1;
  const size_t hit = find(t, end, from);
  return hit < until ? hit : kNoPos;
}

template <class U>
bool Prefilter::next_window(const U* t, size_t n, size_t s, size_t& lo, size_t& hi) const {
  if (s > n || needle_.min_off >= n - s) return false;
  const size_t p = find(t, n, s + size_t(needle_.min_off));
  if (p == kNoPos) return false;
  const uint64_t back = needle_.max_off;
  lo = back == kUnbounded || p - s <= back ? s : p - size_t(back);
  hi = p - size_t(needle_.min_off);
  return true;
}

size_t Prefilter::partial_tail() const {
  return longest_ > 0 ? longest_ - 1 : 0;
}

template class UnitScanner<uint8_t>;
template class UnitScanner<uint16_t>;
template class UnitScanner<uint32_t>;
template class LiteralSearcher<uint8_t>;
template class LiteralSearcher<uint16_t>;
template class LiteralSearcher<uint32_t>;
template class UnitMasks<uint8_t>;
template class UnitMasks<uint16_t>;
template class UnitMasks<uint32_t>;
template class BitSearcher<uint8_t>;
template class BitSearcher<uint16_t>;
template class BitSearcher<uint32_t>;
template class MultiSearcher<uint8_t>;
template class MultiSearcher<uint16_t>;
template class MultiSearcher<uint32_t>;
template class PackedSearcher<uint8_t>;
template class PackedSearcher<uint16_t>;
template class PackedSearcher<uint32_t>;
template size_t Prefilter::find(const uint8_t*, size_t, size_t) const;
template size_t Prefilter::find(const uint16_t*, size_t, size_t) const;
template size_t Prefilter::find(const uint32_t*, size_t, size_t) const;
template size_t Prefilter::find_before(const uint8_t*, size_t, size_t, size_t) const;
template size_t Prefilter::find_before(const uint16_t*, size_t, size_t, size_t) const;
template size_t Prefilter::find_before(const uint32_t*, size_t, size_t, size_t) const;
template bool Prefilter::next_window(const uint8_t*, size_t, size_t, size_t&, size_t&) const;
template bool Prefilter::next_window(const uint16_t*, size_t, size_t, size_t&, size_t&) const;
template bool Prefilter::next_window(const uint32_t*, size_t, size_t, size_t&, size_t&) const;

}  // namespace kordal
