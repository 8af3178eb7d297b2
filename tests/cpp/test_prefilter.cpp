// Literal searchers against a naive search, over random texts in all three
// code-unit widths (long enough for the vector loops and their tails), and
// the windows a needle leaves for the search.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "prefilter.hpp"
#include "program.hpp"
#include "simd.hpp"

namespace kordal {
namespace {

// 0x212A and 0x416/0x436 need two bytes, 0x1F600 four.
const char32_t kAlphabet[] = {U'a', U'b',   U'c',  U'A',  U'K',   U'k',
                              0xE9, 0x212A, 0x416, 0x436, 0x1F600};

bool char_ok(char32_t t, const LitChar& c) {
  return t == c.ch || (c.fold && chars_equal_ci(t, c.ch));
}

bool occurs_at(const std::u32string& t, size_t p, const Literal& l) {
  if (p + l.chars.size() > t.size()) return false;
  for (size_t j = 0; j < l.chars.size(); ++j) {
    if (!char_ok(t[p + j], l.chars[j])) return false;
  }
  return true;
}

size_t naive(const std::u32string& t, const std::vector<Literal>& lits, size_t from) {
  for (size_t p = from; p < t.size(); ++p) {
    for (const Literal& l : lits) {
      if (occurs_at(t, p, l)) return p;
    }
  }
  return kNoPos;
}

template <class U>
std::vector<U> units(const std::u32string& s) {
  return std::vector<U>(s.begin(), s.end());
}

template <class U>
bool fits(const std::u32string& s) {
  for (char32_t c : s) {
    if (sizeof(U) < 4 && c >= (char32_t(1) << (8 * sizeof(U)))) return false;
  }
  return true;
}

std::u32string random_text(std::mt19937& rng, size_t alphabet, size_t max_len) {
  std::u32string t;
  const size_t len = rng() % (max_len + 1);
  for (size_t i = 0; i < len; ++i) t += kAlphabet[rng() % alphabet];
  return t;
}

Literal random_literal(std::mt19937& rng, size_t alphabet, size_t max_len, bool fold) {
  Literal l;
  const size_t len = 1 + rng() % max_len;
  for (size_t i = 0; i < len; ++i) {
    const LitChar c = lit_char(kAlphabet[rng() % alphabet], fold && rng() % 2 == 0);
    l.chars.append(&c, &c + 1);
  }
  return l;
}

Literal lit(const std::u32string& s) {
  Literal l;
  for (char32_t c : s) {
    const LitChar lc{c, false};
    l.chars.append(&lc, &lc + 1);
  }
  return l;
}

// Runs `check` on the text in every width that can hold it.
template <class F>
void each_width(const std::u32string& text, F&& check) {
  if (fits<uint8_t>(text)) check(units<uint8_t>(text));
  if (fits<uint16_t>(text)) check(units<uint16_t>(text));
  check(units<uint32_t>(text));
}

// The searcher S<U> built from `lits` finds what the naive search finds,
// from every start of `text`, in every width that can hold the text.
template <template <class> class S>
void agrees_with_naive(const std::u32string& text, const std::vector<Literal>& lits, int iter) {
  each_width(text, [&](const auto& t) {
    using U = typename std::decay_t<decltype(t)>::value_type;
    const S<U> searcher(lits);
    for (size_t from = 0; from <= t.size() + 1; ++from) {
      ASSERT_EQ(searcher.find(t.data(), t.size(), from), naive(text, lits, from))
          << "width " << sizeof(U) << " iter " << iter << " from " << from;
    }
  });
}

TEST(UnitScanner, AgreesWithNaive) {
  std::mt19937 rng(1);
  for (int iter = 0; iter < 400; ++iter) {
    std::vector<char32_t> set;
    const size_t k = 1 + rng() % 6;
    for (size_t i = 0; i < k; ++i) set.push_back(kAlphabet[rng() % std::size(kAlphabet)]);
    const std::u32string text = random_text(rng, std::size(kAlphabet), 200);
    each_width(text, [&](const auto& t) {
      using U = typename std::decay_t<decltype(t)>::value_type;
      const UnitScanner<U> sc(set);
      for (size_t from = 0; from <= t.size() + 1; ++from) {
        size_t want = kNoPos;
        for (size_t p = from; p < t.size() && want == kNoPos; ++p) {
          if (std::find(set.begin(), set.end(), char32_t(t[p])) != set.end()) want = p;
        }
        ASSERT_EQ(sc.find(t.data(), t.size(), from), want)
            << "width " << sizeof(U) << " set size " << k << " from " << from;
      }
    });
  }
}

TEST(UnitScanner, FromFirstSet) {
  FirstSet f;
  f.lo['x'] = f.lo[0xE9] = true;
  f.high = true;
  f.highs = {0x416};
  const std::u32string text = U"abc\u0436\u00e9\u0416x";
  const auto t1 = units<uint16_t>(text);
  const UnitScanner<uint16_t> sc(f);
  EXPECT_EQ(sc.find(t1.data(), t1.size(), 0), 4u);
  EXPECT_EQ(sc.find(t1.data(), t1.size(), 5), 5u);
  EXPECT_EQ(sc.find(t1.data(), t1.size(), 6), 6u);
  f.high_any = true;
  const UnitScanner<uint16_t> any(f);
  EXPECT_EQ(any.find(t1.data(), t1.size(), 0), 3u);
}

TEST(LiteralSearcher, AgreesWithNaive) {
  std::mt19937 rng(2);
  for (int iter = 0; iter < 1500; ++iter) {
    // Small alphabets make occurrences and near misses frequent.
    const size_t alphabet = 2 + rng() % (std::size(kAlphabet) - 1);
    const Literal lit = random_literal(rng, alphabet, 1 + rng() % 6, true);
    const std::u32string text = random_text(rng, alphabet, 120);
    each_width(text, [&](const auto& t) {
      using U = typename std::decay_t<decltype(t)>::value_type;
      const LiteralSearcher<U> ls(lit);
      for (size_t from = 0; from <= t.size() + 1; ++from) {
        ASSERT_EQ(ls.find(t.data(), t.size(), from), naive(text, {lit}, from))
            << "width " << sizeof(U) << " iter " << iter << " from " << from;
      }
    });
  }
}

TEST(LiteralSearcher, CharactersBeyondTheWidth) {
  const LitChar kelvin{0x212A, false};
  const Literal exact{{LitChar{U'a', false}, kelvin}, false};
  const Literal folded{{LitChar{U'a', false}, lit_char(U'k', true)}, false};
  const std::u32string text = U"ak aK a\u212a";
  const auto t1 = units<uint8_t>(U"ak aK");
  EXPECT_TRUE(LiteralSearcher<uint8_t>(exact).never());
  EXPECT_EQ(LiteralSearcher<uint8_t>(exact).find(t1.data(), t1.size(), 0), kNoPos);
  EXPECT_EQ(LiteralSearcher<uint8_t>(folded).find(t1.data(), t1.size(), 1), 3u);
  const auto t2 = units<uint16_t>(text);
  EXPECT_EQ(LiteralSearcher<uint16_t>(exact).find(t2.data(), t2.size(), 0), 6u);
  EXPECT_EQ(LiteralSearcher<uint16_t>(folded).find(t2.data(), t2.size(), 4), 6u);
  // The long s is not an s, nor ß two s.
  const Literal s{{lit_char(U's', true)}, false};
  const auto t3 = units<uint16_t>(U"\u017f\u00dfS");
  EXPECT_EQ(LiteralSearcher<uint16_t>(s).find(t3.data(), t3.size(), 0), 2u);
}

TEST(MultiSearcher, AgreesWithNaive) {
  std::mt19937 rng(3);
  for (int iter = 0; iter < 800; ++iter) {
    const size_t alphabet = 2 + rng() % (std::size(kAlphabet) - 1);
    // Either every position case-sensitive or every one insensitive: then
    // the automaton is exact.
    const bool fold = rng() % 3 == 0;
    std::vector<Literal> lits;
    const size_t count = 2 + rng() % 12;
    for (size_t i = 0; i < count; ++i) {
      Literal l = random_literal(rng, alphabet, 1 + rng() % 7, false);
      if (fold) {
        Literal f;
        for (const LitChar& c : l.chars) {
          const LitChar g = lit_char(c.ch, true);
          f.chars.append(&g, &g + 1);
        }
        l = f;
      }
      lits.push_back(l);
    }
    const std::u32string text = random_text(rng, alphabet, 150);
    agrees_with_naive<MultiSearcher>(text, lits, iter);
  }
}

TEST(BitSearcher, AgreesWithNaive) {
  // Exact for any mix of sensitive and insensitive positions.
  std::mt19937 rng(7);
  for (int iter = 0; iter < 800; ++iter) {
    const size_t alphabet = 2 + rng() % (std::size(kAlphabet) - 1);
    std::vector<Literal> lits;
    size_t total = 0;
    while (true) {
      Literal l = random_literal(rng, alphabet, 1 + rng() % 8, true);
      if (total + l.chars.size() > 64 || (lits.size() >= 2 && rng() % 3 == 0)) break;
      total += l.chars.size();
      lits.push_back(l);
    }
    ASSERT_TRUE(BitSearcher<uint8_t>::small_enough(lits));
    const std::u32string text = random_text(rng, alphabet, 150);
    agrees_with_naive<BitSearcher>(text, lits, iter);
  }
}

TEST(MultiSearcher, MixedSensitivityFindsASuperset) {
  std::mt19937 rng(4);
  for (int iter = 0; iter < 300; ++iter) {
    std::vector<Literal> lits, folded;
    for (int i = 0; i < 4; ++i) {
      Literal l = random_literal(rng, 6, 4, true);
      Literal f;
      for (const LitChar& c : l.chars) {
        const LitChar g = lit_char(c.ch, true);
        f.chars.append(&g, &g + 1);
      }
      lits.push_back(l);
      folded.push_back(f);
    }
    bool any_fold = false;
    for (const Literal& l : lits) {
      for (const LitChar& c : l.chars) any_fold = any_fold || c.fold;
    }
    const std::u32string text = random_text(rng, 6, 100);
    const auto t = units<uint16_t>(text);
    const MultiSearcher<uint16_t> ms(lits);
    for (size_t from = 0; from <= t.size(); ++from) {
      const size_t got = ms.find(t.data(), t.size(), from);
      ASSERT_LE(got, naive(text, lits, from));
      ASSERT_EQ(got, naive(text, any_fold ? folded : lits, from));
    }
  }
}

TEST(MultiSearcher, OverBudgetSetsStillFindEveryOccurrence) {
  // 3000 literals of 40 characters over 64 letters overflow the automaton's
  // table, so they are cut; what is found may be only a prefix, never later
  // than a real occurrence.
  std::mt19937 rng(5);
  std::vector<Literal> lits;
  for (int i = 0; i < 3000; ++i) {
    Literal l;
    for (int j = 0; j < 40; ++j) {
      const LitChar c{char32_t(0x400 + rng() % 64), 0};
      l.chars.append(&c, &c + 1);
    }
    lits.push_back(l);
  }
  std::u32string text;
  for (int i = 0; i < 3000; ++i) text += char32_t(0x400 + rng() % 64);
  for (int k = 0; k < 5; ++k) {
    const Literal& l = lits[rng() % lits.size()];
    const size_t at = size_t(k) * 600 + rng() % 500;
    for (size_t j = 0; j < 40; ++j) text[at + j] = l.chars[j].ch;
  }
  const auto t = units<uint16_t>(text);
  const MultiSearcher<uint16_t> ms(lits);
  size_t from = 0;
  int found = 0;
  while (from < t.size()) {
    const size_t want = naive(text, lits, from);
    const size_t got = ms.find(t.data(), t.size(), from);
    ASSERT_LE(got, want);
    if (want == kNoPos) break;
    ++found;
    from = want + 1;
  }
  EXPECT_GE(found, 5);
}

// Byte text with literals of two bytes or more takes the hashed prefix
// filter. Letters whose bytes differ only in bit 5 ('@' and '`', 'K' and
// 'k', U+00C9 and U+00E9) are merged by its keys: a sensitive literal must
// still reject its merged twin, a folded one accept every case, and
// occurrences shorter than the filter's window at the end must not be read
// past, and a sample must find the leftmost start of its window.
TEST(MultiSearcher, PrefixFilterAgreesWithNaive) {
  // Wider text is keyed by its units' low bytes: U+0161 and U+1F160 share
  // theirs with 'a' and '`', U+0149 with 'I' (and, case merged, 'i').
  const char32_t letters[] = {U'a', U'b', U'@',  U'`',  U'K',   U'k',
                              0xC9, 0xE9, 0x161, 0x149, 0x1F160};
  std::mt19937 rng(12);
  for (int iter = 0; iter < 800; ++iter) {
    const size_t alphabet = 2 + rng() % (std::size(letters) - 1);
    const bool fold = rng() % 2 == 0;
    std::vector<Literal> lits;
    const size_t count = 2 + rng() % 40;
    for (size_t i = 0; i < count; ++i) {
      Literal l;
      // Odd rounds: long literals only, so the filter samples with long
      // strides (every position but one in each window unread).
      const size_t len = iter % 2 ? 9 + rng() % 12 : 2 + rng() % 9;
      for (size_t k = 0; k < len; ++k) {
        const LitChar c = lit_char(letters[rng() % alphabet], fold);
        l.chars.append(&c, &c + 1);
      }
      lits.push_back(l);
    }
    std::u32string text;
    const size_t len = rng() % 120;
    for (size_t i = 0; i < len; ++i) text += letters[rng() % alphabet];
    if (rng() % 2 == 0) {
      for (const LitChar& c : lits[rng() % lits.size()].chars) text += c.ch;
    }
    agrees_with_naive<MultiSearcher>(text, lits, iter);
  }
}

// Every level the CPU has: the vector fingerprint scans and the scalar
// walk they fall back to must find the same candidates.
class PackedAtLevel : public ::testing::TestWithParam<simd::Level> {
 protected:
  void SetUp() override {
    if (GetParam() > simd::best_level()) GTEST_SKIP() << "not on this CPU";
    saved_ = simd::level();
    simd::set_level(GetParam());
  }
  void TearDown() override { simd::set_level(saved_); }
  simd::Level saved_ = simd::Level::Scalar;
};

// Wider text is looked up by its units' low bytes: 0x161 and 0x141 share
// theirs with 'a' and 'A', 0x1F600 with NUL, so the fingerprints hold at
// many starts that verification must reject.
const char32_t kLowByteTwins[] = {U'a',  U'b',  U'c', U'A',  U'K',   U'k',
                                  0x161, 0x141, 0xE9, 0x416, 0x1F600};

TEST_P(PackedAtLevel, AgreesWithNaive) {
  std::mt19937 rng(9);
  for (int iter = 0; iter < 600; ++iter) {
    // Few letters, many near misses; the first six fit in a byte.
    const size_t alphabet = 2 + rng() % (std::size(kLowByteTwins) - 1);
    auto letter = [&] { return kLowByteTwins[rng() % alphabet]; };
    std::vector<Literal> lits;
    const size_t count = 2 + rng() % (PackedSearcher<uint8_t>::kMaxLiterals - 1);
    for (size_t i = 0; i < count; ++i) {
      Literal l;
      const size_t len = 1 + rng() % 6;
      for (size_t j = 0; j < len; ++j) {
        const LitChar c = lit_char(letter(), rng() % 4 == 0);
        l.chars.append(&c, &c + 1);
      }
      lits.push_back(l);
    }
    std::u32string text;
    for (size_t i = rng() % 131; i > 0; --i) text += letter();
    // An occurrence that ends the text exactly.
    const Literal& last = lits[rng() % lits.size()];
    for (const LitChar& c : last.chars) text += c.ch;
    agrees_with_naive<PackedSearcher>(text, lits, iter);
  }
}

// One occurrence at every offset around the 16- and 32-unit blocks, in a
// filler whose low bytes match the literals' fingerprints but not the
// literals; the set has literals that are prefixes of each other.
TEST_P(PackedAtLevel, EveryOffsetAroundTheBlocks) {
  const std::vector<Literal> lits = {lit(U"Holmes"), lit(U"Hol"), lit(U"Watson")};
  for (size_t len = 3; len <= 80; ++len) {
    for (size_t at = 0; at + 3 <= len; ++at) {
      // U+0148 and U+0157 have the low bytes of 'H' and 'W'.
      std::u32string text(len, U'\u0148');
      for (size_t i = 1; i < len; i += 2) text[i] = U'\u0157';
      const std::u32string word = at % 2 ? U"Watson" : U"Holmes";
      for (size_t j = 0; j < word.size() && at + j < len; ++j) text[at + j] = word[j];
      const size_t want = naive(text, lits, 0);
      each_width(text, [&](const auto& t) {
        using U = typename std::decay_t<decltype(t)>::value_type;
        const PackedSearcher<U> ps(lits);
        ASSERT_EQ(ps.find(t.data(), t.size(), 0), want)
            << "width " << sizeof(U) << " len " << len << " at " << at;
        ASSERT_EQ(ps.find(t.data(), t.size(), at + 1), kNoPos)
            << "width " << sizeof(U) << " len " << len << " at " << at;
      });
    }
  }
}

TEST_P(PackedAtLevel, LiteralsBeyondTheByteRangeNeverOccur) {
  // The Kelvin sign has no byte form: its literal is dropped, its folded
  // twin keeps the ASCII letters.
  const Literal kelvin{{LitChar{0x212A, false}, LitChar{U'a', false}}, false};
  const Literal folded{{lit_char(U'k', true), LitChar{U'b', false}}, false};
  const Literal plain{{LitChar{U'x', false}, LitChar{U'y', false}}, false};
  std::u32string text(40, U'-');
  text += U"ka Kb xy";
  const auto t = units<uint8_t>(text);
  const PackedSearcher<uint8_t> ps({kelvin, folded, plain});
  EXPECT_EQ(ps.find(t.data(), t.size(), 0), 43u);
  EXPECT_EQ(ps.find(t.data(), t.size(), 44), 46u);
  const PackedSearcher<uint8_t> none({kelvin, Literal{{LitChar{0x416, false}}, false}});
  EXPECT_TRUE(none.never());
}

INSTANTIATE_TEST_SUITE_P(Levels, PackedAtLevel,
                         ::testing::Values(simd::Level::Scalar, simd::Level::Base,
                                           simd::Level::Avx2),
                         [](const ::testing::TestParamInfo<simd::Level>& info) {
                           return std::string(simd::level_name(info.param));
                         });

// The first alternative in pattern order that occurs at a start, against
// trying each in turn, with alternatives that are prefixes of each other in
// both orders, repeated ones, and texts in every width.
TEST(LiteralAlternation, FirstInPatternOrder) {
  std::mt19937 rng(12);
  for (int iter = 0; iter < 400; ++iter) {
    const size_t alphabet = 2 + rng() % 4;
    std::vector<std::u32string> alts;
    const size_t count = 2 + rng() % (iter % 4 == 0 ? 200 : 8);
    for (size_t i = 0; i < count; ++i) {
      std::u32string a;
      for (size_t j = 1 + rng() % 5; j > 0; --j) a += kAlphabet[2 * (rng() % alphabet)];
      alts.push_back(a);
    }
    const LiteralAlternation la(alts);
    size_t shortest = SIZE_MAX;
    for (const auto& a : alts) shortest = std::min(shortest, a.size());
    EXPECT_EQ(la.shortest(), shortest);
    std::u32string text;
    for (size_t j = rng() % 40; j > 0; --j) text += kAlphabet[2 * (rng() % alphabet)];
    each_width(text, [&](const auto& t) {
      using U = typename std::decay_t<decltype(t)>::value_type;
      for (size_t q = 0; q <= t.size(); ++q) {
        size_t want = kNoPos;
        for (const auto& a : alts) {
          if (text.compare(q, a.size(), a) == 0 && q + a.size() <= text.size()) {
            want = a.size();
            break;
          }
        }
        ASSERT_EQ(la.match_at(t.data(), t.size(), q), want)
            << "width " << sizeof(U) << " iter " << iter << " q " << q;
      }
    });
  }
}

TEST(Prefilter, DispatchesByShape) {
  std::mt19937 rng(6);
  for (int iter = 0; iter < 300; ++iter) {
    Needle nd;
    const size_t count = 1 + rng() % 4;
    const bool singles = rng() % 3 == 0;
    for (size_t i = 0; i < count; ++i) {
      nd.lits.push_back(random_literal(rng, 8, singles ? 1 : 4, i == 0 && count == 1));
    }
    const Prefilter pf(nd);
    const std::u32string text = random_text(rng, 8, 80);
    each_width(text, [&](const auto& t) {
      for (size_t from = 0; from <= t.size(); ++from) {
        ASSERT_EQ(pf.find(t.data(), t.size(), from), naive(text, nd.lits, from));
      }
    });
  }
}

// Two to four case-sensitive literals of three units or more, each found
// by its own scan in long texts: from every start, the leftmost occurrence
// of any, also where the literals overlap or one holds another.
TEST(Prefilter, FewLongLiteralsInLongTexts) {
  std::mt19937 rng(9);
  for (int iter = 0; iter < 60; ++iter) {
    Needle nd;
    const size_t count = 2 + rng() % 3;
    for (size_t i = 0; i < count; ++i) {
      Literal l = random_literal(rng, 4, 4, false);
      while (l.chars.size() < 3) {
        const LitChar c{kAlphabet[rng() % 4], false};
        l.chars.append(&c, &c + 1);
      }
      nd.lits.push_back(l);
    }
    if (iter % 5 == 0) {  // one literal inside another
      Literal inner;
      inner.chars.append(nd.lits[0].chars.begin() + 1, nd.lits[0].chars.end());
      if (inner.chars.size() >= 3) nd.lits[1] = inner;
    }
    const Prefilter pf(nd);
    const std::u32string text = random_text(rng, 5, 1500) + random_text(rng, 8, 300);
    each_width(text, [&](const auto& t) {
      for (size_t from = 0; from <= t.size(); ++from) {
        ASSERT_EQ(pf.find(t.data(), t.size(), from), naive(text, nd.lits, from))
            << "iter " << iter << " width " << sizeof(t[0]) << " from " << from;
      }
    });
  }
}

// Few long literals whose rare units are scarce in a text of filler: the
// joint scan of those units, where the literals' rarest positions lie at
// different offsets, so that a later hit can start an earlier occurrence.
TEST(Prefilter, FewLongLiteralsFarApart) {
  const std::u32string parts = U"qzxQZX\u0416\u0436";  // rare in any text
  std::mt19937 rng(12);
  for (int iter = 0; iter < 80; ++iter) {
    Needle nd;
    const size_t count = 2 + rng() % 3;
    for (size_t i = 0; i < count; ++i) {
      std::u32string s;
      const size_t len = 3 + rng() % 4;
      // Common letters with one or two rare ones anywhere among them.
      for (size_t j = 0; j < len; ++j) s += U"etaoin"[rng() % 6];
      s[rng() % len] = parts[rng() % parts.size()];
      if (rng() % 2) s[rng() % len] = parts[rng() % parts.size()];
      nd.lits.push_back(lit(s));
    }
    if (iter % 3 == 0) {
      // One literal inside another, before the outer one's rarest unit
      // when r is the rarer: its hit comes first, the outer one starts first.
      const char32_t p = parts[rng() % parts.size()], r = parts[rng() % parts.size()];
      nd.lits[0] = lit(std::u32string(U"t") + p + U"en" + r);
      nd.lits[1] = lit(std::u32string(1, p) + U"en");
    }
    const Prefilter pf(nd);
    std::u32string text;
    while (text.size() < 2000) {
      const size_t gap = rng() % 4 == 0 ? rng() % 3 : 100 + rng() % 200;
      for (size_t j = 0; j < gap; ++j) text += U"etaoin "[rng() % 7];
      std::u32string occ;
      for (const LitChar& c : nd.lits[rng() % count].chars) occ += c.ch;
      if (rng() % 3 == 0) occ[rng() % occ.size()] = U'e';  // a near miss
      text += occ;
    }
    each_width(text, [&](const auto& t) {
      for (size_t from = 0; from <= t.size(); ++from) {
        ASSERT_EQ(pf.find(t.data(), t.size(), from), naive(text, nd.lits, from))
            << "iter " << iter << " width " << sizeof(t[0]) << " from " << from;
      }
    });
  }
}

TEST(Prefilter, PartialTailCoversCutLiterals) {
  // "abc" cut by the end of "xxab": a partial match may start at 2, within
  // partial_tail() of the end, though no occurrence exists.
  Needle nd;
  nd.lits.push_back(Literal{{LitChar{U'a', 0}, LitChar{U'b', 0}, LitChar{U'c', 0}}, false});
  nd.lits.push_back(Literal{{LitChar{U'q', 0}}, false});
  const Prefilter pf(nd);
  const auto t = units<uint8_t>(U"xxab");
  EXPECT_EQ(pf.find(t.data(), t.size(), 0), kNoPos);
  EXPECT_EQ(pf.partial_tail(), 2u);
}

TEST(Prefilter, WindowsFollowTheOffsets) {
  Needle nd;
  nd.lits.push_back(Literal{{LitChar{U'@', 0}}, false});
  nd.min_off = 2;
  nd.max_off = 4;
  const auto t = units<uint8_t>(U"ab@cdefgh@ij@");
  const Prefilter pf(nd);
  size_t lo = 0, hi = 0;
  ASSERT_TRUE(pf.next_window(t.data(), t.size(), 0, lo, hi));
  EXPECT_EQ(lo, 0u);  // '@' at 2: starts 2-4 (clamped to 0) to 2-2
  EXPECT_EQ(hi, 0u);
  ASSERT_TRUE(pf.next_window(t.data(), t.size(), 1, lo, hi));
  EXPECT_EQ(lo, 5u);  // '@' at 9
  EXPECT_EQ(hi, 7u);
  ASSERT_TRUE(pf.next_window(t.data(), t.size(), 8, lo, hi));
  EXPECT_EQ(lo, 8u);  // '@' at 12: 8 to 10
  EXPECT_EQ(hi, 10u);
  EXPECT_FALSE(pf.next_window(t.data(), t.size(), 11, lo, hi));
  nd.max_off = kUnbounded;
  const Prefilter open(nd);
  ASSERT_TRUE(open.next_window(t.data(), t.size(), 1, lo, hi));
  EXPECT_EQ(lo, 1u);
  EXPECT_EQ(hi, 7u);
  EXPECT_FALSE(open.next_window(t.data(), t.size(), 12, lo, hi));
  EXPECT_FALSE(open.next_window(t.data(), t.size(), 14, lo, hi));
}

}  // namespace
}  // namespace kordal
