// The vectorised scans against plain loops, at every implementation level
// the CPU has, on all three code-unit widths, at every start and length
// around the vector widths and with hits at both ends. Each text lives in a
// buffer of exactly its size, so a read past the end shows under ASan.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "simd.hpp"

namespace kordal {
namespace {

using simd::Level;

class SimdLevel : public ::testing::TestWithParam<Level> {
 protected:
  void SetUp() override {
    if (GetParam() > simd::best_level()) GTEST_SKIP() << "not on this CPU";
    saved_ = simd::level();
    simd::set_level(GetParam());
    ASSERT_EQ(simd::level(), GetParam());
  }
  void TearDown() override { simd::set_level(saved_); }
  Level saved_ = Level::Scalar;
};

template <class U>
size_t naive_find(const U* p, size_t from, size_t n, const std::array<U, 4>& u) {
  for (size_t i = from; i < n; ++i) {
    if (p[i] == u[0] || p[i] == u[1] || p[i] == u[2] || p[i] == u[3]) return i;
  }
  return n;
}

template <class U>
size_t naive_extra(const U* p, size_t n) {
  size_t e = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = p[i];
    e += c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  }
  return e;
}

// A filler unit and the units searched for, differing in high and low bytes
// so that a scan comparing the wrong bytes of a lane would be caught.
template <class U>
constexpr std::array<U, 4> kTargets = {U(0x41), U(sizeof(U) > 1 ? 0x141 : 0xC1),
                                       U(sizeof(U) > 2 ? 0x10041 : 0x7A), U(0xFF)};
template <class U>
constexpr U kFill = U(sizeof(U) > 1 ? 0x4100 : 0x61);

template <class U>
void check_finds_every_placement() {
  const std::array<U, 4> one = {kTargets<U>[0], kTargets<U>[0], kTargets<U>[0], kTargets<U>[0]};
  for (size_t n = 0; n <= 100; ++n) {
    std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
    U* p = buf.get();
    for (size_t i = 0; i < n; ++i) p[i] = kFill<U>;
    // No hit anywhere, then one hit (or two) at each place, from each start.
    for (size_t hit = 0; hit <= n; ++hit) {
      if (hit < n) p[hit] = kTargets<U>[hit % 4];
      if (n > 0 && hit + 7 < n) p[n - 1] = kTargets<U>[0];
      for (size_t from = 0; from <= n; ++from) {
        ASSERT_EQ(simd::find_unit(p, from, n, kTargets<U>[0]), naive_find(p, from, n, one))
            << "n=" << n << " hit=" << hit << " from=" << from;
        ASSERT_EQ(simd::find_any4(p, from, n, kTargets<U>), naive_find(p, from, n, kTargets<U>))
            << "n=" << n << " hit=" << hit << " from=" << from;
      }
      if (hit < n) p[hit] = kFill<U>;
      if (n > 0) p[n - 1] = kFill<U>;
    }
  }
}

TEST_P(SimdLevel, FindsEveryPlacementBytes) {
  check_finds_every_placement<uint8_t>();
}
TEST_P(SimdLevel, FindsEveryPlacementTwoByteUnits) {
  check_finds_every_placement<uint16_t>();
}
TEST_P(SimdLevel, FindsEveryPlacementFourByteUnits) {
  check_finds_every_placement<uint32_t>();
}

template <class U>
void check_random_texts(std::mt19937& rng) {
  // Dense hits and sparse ones, at random offsets into one buffer.
  for (int round = 0; round < 300; ++round) {
    const size_t n = rng() % 300;
    std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
    const unsigned density = 1 + rng() % 64;
    for (size_t i = 0; i < n; ++i) {
      buf[i] = rng() % density == 0 ? kTargets<U>[rng() % 4] : U(kFill<U> + rng() % 3);
    }
    const size_t from = n == 0 ? 0 : rng() % (n + 1);
    const std::array<U, 4> one = {kTargets<U>[1], kTargets<U>[1], kTargets<U>[1], kTargets<U>[1]};
    ASSERT_EQ(simd::find_unit(buf.get(), from, n, kTargets<U>[1]),
              naive_find(buf.get(), from, n, one));
    ASSERT_EQ(simd::find_any4(buf.get(), from, n, kTargets<U>),
              naive_find(buf.get(), from, n, kTargets<U>));
  }
}

TEST_P(SimdLevel, RandomTextsAllWidths) {
  std::mt19937 rng(7);
  check_random_texts<uint8_t>(rng);
  check_random_texts<uint16_t>(rng);
  check_random_texts<uint32_t>(rng);
}

// Ranges with units just inside and just outside each bound, including the
// extremes of the unit type, where an unsigned lane comparison wraps.
template <class U>
void check_find_range(std::mt19937& rng) {
  const U top = U(~U(0));
  const std::array<std::pair<U, U>, 5> ranges = {std::pair<U, U>{U('0'), U('9')},
                                                 {U(0), U(5)},
                                                 {U(top - 3), top},
                                                 {U(0x41), U(0x41)},
                                                 {U(1), U(top - 1)}};
  for (const auto& [lo, hi] : ranges) {
    const std::array<U, 6> pool = {U(lo - 1), lo, hi, U(hi + 1), U(lo + (hi - lo) / 2), U(0x61)};
    for (int round = 0; round < 400; ++round) {
      const size_t n = rng() % 140;
      std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
      const unsigned density = 1 + rng() % 40;
      for (size_t i = 0; i < n; ++i) {
        const U c = pool[rng() % pool.size()];
        const bool in = c >= lo && c <= hi;
        buf[i] = in && rng() % density != 0 ? U(hi + 1) : c;
      }
      const size_t from = n == 0 ? 0 : rng() % (n + 1);
      size_t want = from;
      while (want < n && !(buf[want] >= lo && buf[want] <= hi)) ++want;
      ASSERT_EQ(simd::find_range(buf.get(), from, n, lo, hi), want)
          << "n=" << n << " from=" << from << " lo=" << uint32_t(lo) << " hi=" << uint32_t(hi);
    }
  }
}

TEST_P(SimdLevel, FindRangeAllWidths) {
  std::mt19937 rng(11);
  check_find_range<uint8_t>(rng);
  check_find_range<uint16_t>(rng);
  check_find_range<uint32_t>(rng);
}

// Runs of k units from a set, k from 2 to 32, in texts whose units are in
// the set about half the time (so runs of every length occur), searched
// from every start with every stop; sets that mix high nibbles h and h ^ 8
// make the nibble tables take units the set lacks. Half the rounds add up
// to four probes, each a part of the set at an offset of its own.
template <class U>
void check_find_run(std::mt19937& rng) {
  const U pool[] = {U('a'),
                    U('e'),
                    U('q'),
                    U(0xE1),
                    U(0xE5),
                    U(0xFF),
                    U(sizeof(U) > 1 ? 0x141 : 'z'),
                    U(sizeof(U) > 1 ? 0x1FF : 'Z')};
  for (int round = 0; round < 300; ++round) {
    bool member[8];
    for (bool& m : member) m = rng() % 2;
    const bool high = rng() % 2;
    simd::RunSet set;
    set.set(
        [&](uint32_t c) {
          for (size_t j = 0; j < 8; ++j) {
            if (member[j] && pool[j] == c) return true;
          }
          return false;
        },
        high, 2 + rng() % (round % 4 == 0 ? 31 : 4));
    bool probe[simd::RunSet::kMaxProbes][8];
    bool probe_above[simd::RunSet::kMaxProbes];
    const size_t probes = round % 2 ? rng() % (simd::RunSet::kMaxProbes + 1) : 0;
    for (size_t j = 0; j < probes; ++j) {
      const bool above = high && rng() % 2;
      probe_above[j] = above;
      for (size_t m = 0; m < 8; ++m) probe[j][m] = member[m] && rng() % 3 != 0;
      set.add_probe(
          rng() % set.k,
          [&](uint32_t c) {
            for (size_t m = 0; m < 8; ++m) {
              if (probe[j][m] && pool[m] == c) return true;
            }
            return false;
          },
          above);
    }
    const size_t n = rng() % 200;
    std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
    U* p = buf.get();
    for (size_t i = 0; i < n; ++i) p[i] = pool[rng() % 8];
    auto naive = [&](size_t from, size_t stop) {
      for (size_t i = from; i < stop && i + set.k <= n; ++i) {
        size_t t = 0;
        while (t < set.k && set.has(p[i + t])) ++t;
        for (size_t j = 0; t == set.k && j < probes; ++j) {
          const U u = p[i + set.at[j]];
          // Units above 255 are in where the probe takes high ones, as in
          // the set; so is 0xFF, which stands for them in a narrow copy.
          bool in = u >= 0xFF && probe_above[j];
          for (size_t m = 0; m < 8 && u < 256; ++m) in = in || (probe[j][m] && pool[m] == u);
          if (!in) t = 0;
        }
        if (t == set.k) return i;
      }
      return stop;
    };
    for (size_t from = 0; from <= n; ++from) {
      for (size_t stop = from; stop <= n; stop += 1 + stop / 16) {
        ASSERT_EQ(simd::find_run(p, from, stop, n, set), naive(from, stop))
            << "round " << round << " n=" << n << " from=" << from << " stop=" << stop
            << " k=" << set.k << " probes=" << set.probes;
      }
    }
  }
}

TEST_P(SimdLevel, FindRunAllWidths) {
  std::mt19937 rng(17);
  check_find_run<uint8_t>(rng);
  check_find_run<uint16_t>(rng);
  check_find_run<uint32_t>(rng);
}

// Pairs at every pair of offsets up to 5 apart, in texts of two units with
// many near misses; the buffer ends exactly where the last start's second
// unit is.
template <class U>
void check_find_pair(std::mt19937& rng) {
  const U x = kTargets<U>[1], y = kTargets<U>[2];
  for (int round = 0; round < 600; ++round) {
    const size_t o1 = rng() % 3, o2 = o1 + 1 + rng() % 3;
    const size_t n = rng() % 150;
    std::unique_ptr<U[]> buf(new U[n + o2]);
    const unsigned density = 1 + rng() % 6;
    for (size_t i = 0; i < n + o2; ++i) buf[i] = rng() % density == 0 ? x : y;
    const size_t from = n == 0 ? 0 : rng() % (n + 1);
    size_t want = from;
    while (want < n && !(buf[want + o1] == x && buf[want + o2] == y)) ++want;
    ASSERT_EQ(simd::find_pair(buf.get(), from, n, o1, x, o2, y), want)
        << "n=" << n << " from=" << from << " o1=" << o1 << " o2=" << o2;
  }
}

// The same with sets of units at each position, of one to four members
// (the last repeated), over texts of the four targets and a filler.
template <class U>
void check_find_pair4(std::mt19937& rng) {
  const auto& tg = kTargets<U>;
  for (int round = 0; round < 600; ++round) {
    const size_t o1 = rng() % 3, o2 = o1 + 1 + rng() % 3;
    std::array<U, 4> u1, u2;
    const size_t k1 = 1 + rng() % 4, k2 = 1 + rng() % 4;
    for (size_t j = 0; j < 4; ++j) {
      u1[j] = tg[std::min(j, k1 - 1)];
      u2[j] = tg[3 - std::min(j, k2 - 1)];
    }
    const size_t n = rng() % 150;
    std::unique_ptr<U[]> buf(new U[n + o2]);
    const unsigned density = 1 + rng() % 6;
    for (size_t i = 0; i < n + o2; ++i) buf[i] = rng() % density == 0 ? tg[rng() % 4] : kFill<U>;
    auto in = [](U c, const std::array<U, 4>& u) {
      return std::find(u.begin(), u.end(), c) != u.end();
    };
    const size_t from = n == 0 ? 0 : rng() % (n + 1);
    size_t want = from;
    while (want < n && !(in(buf[want + o1], u1) && in(buf[want + o2], u2))) ++want;
    ASSERT_EQ(simd::find_pair4(buf.get(), from, n, o1, u1, o2, u2), want)
        << "n=" << n << " from=" << from << " o1=" << o1 << " o2=" << o2;
  }
}

// A range at one position and a unit at another, before it or after it,
// over texts of units just inside and outside the range's bounds (the
// extremes of the unit type included) and of the unit; the buffer ends
// where the last start's unit is, and the first start's unit before it is
// the buffer's first.
template <class U>
void check_find_range_pair(std::mt19937& rng) {
  const U top = U(~U(0));
  const std::array<std::pair<U, U>, 4> ranges = {
      std::pair<U, U>{U('0'), U('9')}, {U(0), U(2)}, {U(top - 2), top}, {U('.'), U('.')}};
  for (const auto& [lo, hi] : ranges) {
    const U c = U('.');
    const std::array<U, 6> pool = {U(lo - 1), lo, hi, U(hi + 1), c, U('a')};
    for (int round = 0; round < 600; ++round) {
      const size_t d = 1 + rng() % 3;
      const ptrdiff_t o = round % 2 ? -ptrdiff_t(d) : ptrdiff_t(d);
      const size_t n = d + rng() % 150;
      std::unique_ptr<U[]> buf(new U[n + d]);
      for (size_t i = 0; i < n + d; ++i) buf[i] = pool[rng() % pool.size()];
      const size_t least = o < 0 ? d : 0;
      const size_t from = least + rng() % (n - least + 1);
      size_t want = from;
      while (want < n && !(buf[want] >= lo && buf[want] <= hi && buf[ptrdiff_t(want) + o] == c)) {
        ++want;
      }
      ASSERT_EQ(simd::find_range_pair(buf.get(), from, n, lo, hi, o, c), want)
          << "n=" << n << " from=" << from << " o=" << o << " lo=" << uint32_t(lo);
    }
  }
}

// Literals over a pool of their own units, so that the pair recurs far more
// often than the literal (`;` `;` three apart in `;Lu;;;;`); the buffer ends
// where the last start's literal ends.
template <class U>
void check_find_literal(std::mt19937& rng) {
  const std::vector<std::vector<U>> lits = {{U(';'), U('L'), U('u'), U(';')},
                                            {U('a'), U('b')},
                                            {U('x'), U('x'), U('y')},
                                            {U(~U(0)), U(0), U('a'), U(~U(0)), U(1)}};
  for (const std::vector<U>& lit : lits) {
    const size_t m = lit.size();
    for (int round = 0; round < 300; ++round) {
      const size_t o1 = rng() % (m - 1);
      const size_t o2 = o1 + 1 + rng() % (m - 1 - o1);
      const size_t n = rng() % 200;
      std::unique_ptr<U[]> buf(new U[n + m - 1]);
      for (size_t i = 0; i < n + m - 1; ++i) buf[i] = lit[rng() % m];
      const size_t from = n == 0 ? 0 : rng() % (n + 1);
      size_t want = from;
      while (want < n && !std::equal(lit.begin(), lit.end(), buf.get() + want)) ++want;
      ASSERT_EQ(simd::find_literal(buf.get(), from, n, lit.data(), m, o1, o2), want)
          << "n=" << n << " from=" << from << " o1=" << o1 << " o2=" << o2;
    }
  }
}

TEST_P(SimdLevel, FindLiteralAllWidths) {
  std::mt19937 rng(17);
  check_find_literal<uint8_t>(rng);
  check_find_literal<uint16_t>(rng);
  check_find_literal<uint32_t>(rng);
}

TEST_P(SimdLevel, FindPairAllWidths) {
  std::mt19937 rng(13);
  check_find_range_pair<uint8_t>(rng);
  check_find_range_pair<uint16_t>(rng);
  check_find_range_pair<uint32_t>(rng);
  check_find_pair<uint8_t>(rng);
  check_find_pair<uint16_t>(rng);
  check_find_pair<uint32_t>(rng);
  check_find_pair4<uint8_t>(rng);
  check_find_pair4<uint16_t>(rng);
  check_find_pair4<uint32_t>(rng);
}

// Code points at every UTF-8 length boundary.
constexpr uint32_t kBoundaries[] = {0x00, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};

template <class U>
void check_utf8_extra(std::mt19937& rng) {
  std::vector<U> pool;
  for (uint32_t c : kBoundaries) {
    if (sizeof(U) == 4 || c <= 0xFFFF) pool.push_back(U(c));
  }
  for (size_t n = 0; n <= 200; ++n) {
    std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
    for (size_t i = 0; i < n; ++i) buf[i] = pool[rng() % pool.size()];
    for (size_t off = 0; off <= std::min<size_t>(n, 9); ++off) {
      ASSERT_EQ(simd::utf8_extra(buf.get() + off, n - off), naive_extra(buf.get() + off, n - off))
          << "n=" << n << " off=" << off;
    }
  }
}

TEST_P(SimdLevel, Utf8LengthAtEveryBoundary) {
  std::mt19937 rng(11);
  check_utf8_extra<uint16_t>(rng);
  check_utf8_extra<uint32_t>(rng);
}

// Long runs of the widest characters: the per-lane counters must be summed
// before they overflow.
TEST_P(SimdLevel, Utf8LengthOfLongRunsDoesNotOverflow) {
  const size_t n = 1000003;
  std::vector<uint16_t> w(n, 0xFFFF);
  EXPECT_EQ(simd::utf8_extra(w.data(), n), 2 * n);
  std::vector<uint32_t> d(n, 0x10FFFF);
  EXPECT_EQ(simd::utf8_extra(d.data(), n), 3 * n);
}

// The packed search against a walk over its own tables, on texts of every
// length around the vector widths (the last starts of a text are searched in
// a padded copy) and from every start, with candidates ending the text.
// Wider units are looked up by their low byte, so units that differ above
// it are candidates alike.
template <class U>
size_t naive_packed(const U* p, size_t from, size_t n, const simd::PackedTables& t,
                    uint8_t& buckets) {
  for (size_t j = from; j + t.m <= n; ++j) {
    uint8_t b = 0xFF;
    for (size_t k = 0; k < t.m; ++k) {
      const uint8_t c = uint8_t(p[j + k]);
      b &= t.lo[k][c & 15] & t.hi[k][c >> 4];
    }
    if (b != 0) {
      buckets = b;
      return j;
    }
  }
  return n;
}

template <class U>
void check_packed(std::mt19937& rng) {
  for (int round = 0; round < 40; ++round) {
    simd::PackedTables t;
    t.m = uint8_t(1 + round % 4);
    // Sparse tables over a small alphabet, so most starts are no candidate.
    for (size_t k = 0; k < t.m; ++k) {
      for (int b = 0; b < 3; ++b) {
        const uint8_t c = uint8_t('a' + rng() % 6), bucket = uint8_t(1u << (rng() % 8));
        t.lo[k][c & 15] |= bucket;
        t.hi[k][c >> 4] |= bucket;
      }
    }
    for (size_t n = 0; n <= 70; ++n) {
      std::unique_ptr<U[]> buf(new U[n == 0 ? 1 : n]);
      for (size_t i = 0; i < n; ++i) {
        const uint32_t high = sizeof(U) == 1 ? 0 : (rng() % 3) << (sizeof(U) == 2 ? 8 : 20);
        buf[i] = U('a' + rng() % 8 + high);
      }
      for (size_t from = 0; from <= n; ++from) {
        uint8_t want_b = 0, got_b = 0;
        const size_t want = naive_packed(buf.get(), from, n, t, want_b);
        ASSERT_EQ(simd::find_packed(buf.get(), from, n, t, got_b), want)
            << "width " << sizeof(U) << " m=" << int(t.m) << " n=" << n << " from=" << from;
        if (want < n) {
          EXPECT_EQ(got_b, want_b);
        }
      }
    }
  }
}

TEST_P(SimdLevel, PackedFindsEveryCandidateNearTheEnd) {
  std::mt19937 rng(5);
  check_packed<uint8_t>(rng);
  check_packed<uint16_t>(rng);
  check_packed<uint32_t>(rng);
}

INSTANTIATE_TEST_SUITE_P(Levels, SimdLevel,
                         ::testing::Values(Level::Scalar, Level::Base, Level::Avx2),
                         [](const ::testing::TestParamInfo<Level>& info) {
                           return std::string(simd::level_name(info.param));
                         });

TEST(Simd, LevelIsClampedToTheCpu) {
  const Level saved = simd::level();
  simd::set_level(Level::Avx2);
  EXPECT_EQ(simd::level(), simd::best_level());
  simd::set_level(saved);
}

}  // namespace
}  // namespace kordal
