// Text views of each code-unit width: UTF-8 lengths, the byte-to-index walk
// from any known position (forwards, backwards, across block boundaries) and
// the byte cursor, all checked against offsets computed one code point at a
// time; and the surrogate scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "iterators.hpp"
#include "regex.hpp"
#include "text.hpp"

namespace kordal {
namespace {

size_t utf8_len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Code points of each width's range, mixing UTF-8 lengths where possible.
std::vector<char32_t> random_text(std::mt19937& rng, size_t n, int width) {
  static const char32_t kPool1[] = {'a', 'b', ' ', 0xE9, 0xFF, 0x80};
  static const char32_t kPool2[] = {'a', 0xE9, 0x416, 0x20AC, 0xFFFD, 0x7FF, 0x800};
  static const char32_t kPool4[] = {'a', 0xE9, 0x416, 0x20AC, 0x1F600, 0x10000, 0x10FFFF};
  std::vector<char32_t> out(n);
  for (auto& c : out) {
    if (width == 1) c = kPool1[rng() % 6];
    if (width == 2) c = kPool2[rng() % 7];
    if (width == 4) c = kPool4[rng() % 7];
  }
  return out;
}

struct Stored {
  std::vector<uint8_t> u8;
  std::vector<uint16_t> u16;
  std::vector<char32_t> u32;
  Text text;
  std::vector<size_t> offsets;  // byte offset of every index, and the length
};

Stored store(const std::vector<char32_t>& cps, int width) {
  Stored s;
  s.offsets.push_back(0);
  for (char32_t c : cps) s.offsets.push_back(s.offsets.back() + utf8_len(c));
  if (width == 1) {
    s.u8.assign(cps.begin(), cps.end());
    s.text = Text::of(s.u8.data(), s.u8.size());
  } else if (width == 2) {
    s.u16.assign(cps.begin(), cps.end());
    s.text = Text::of(s.u16.data(), s.u16.size());
  } else {
    s.u32 = cps;
    s.text = Text::of(s.u32.data(), s.u32.size());
  }
  return s;
}

class TextWidth : public ::testing::TestWithParam<int> {};

TEST_P(TextWidth, Utf8LengthOfEveryRange) {
  std::mt19937 rng(7);
  for (size_t n : {0u, 1u, 7u, 300u, 1500u, 40000u}) {
    const Stored s = store(random_text(rng, n, GetParam()), GetParam());
    for (int k = 0; k < 200; ++k) {
      size_t a = n ? rng() % (n + 1) : 0, b = n ? rng() % (n + 1) : 0;
      if (a > b) std::swap(a, b);
      ASSERT_EQ(utf8_length(s.text, a, b), s.offsets[b] - s.offsets[a]) << a << " " << b;
    }
  }
  // The largest code point of the width throughout: the counts are summed in
  // blocks whose partial sums must not overflow.
  const char32_t top = GetParam() == 1 ? 0xFF : GetParam() == 2 ? 0xFFFD : 0x10FFFF;
  const Stored s = store(std::vector<char32_t>(70000, top), GetParam());
  ASSERT_EQ(utf8_length(s.text, 0, 70000), s.offsets[70000]);
  ASSERT_EQ(utf8_length(s.text, 3, 69999), s.offsets[69999] - s.offsets[3]);
}

// Short spans are counted inline a vector at a time and longer ones by the
// dispatched scans: every start alignment, every length around the vector
// widths and around the switch between the two, on units at the UTF-8
// length boundaries, and the widest units throughout for the lane counters.
TEST_P(TextWidth, Utf8LengthAtEveryAlignmentAndLength) {
  const int w = GetParam();
  std::vector<char32_t> pool = {0x41, 0x7F, 0x80, 0xFF};
  if (w > 1) pool.insert(pool.end(), {0x7FF, 0x800, 0xFFFF});
  if (w > 2) pool.insert(pool.end(), {0x10000, 0x10FFFF});
  std::mt19937 rng(17);
  std::vector<char32_t> cps(1100);
  for (auto& c : cps) c = pool[rng() % pool.size()];
  const Stored s = store(cps, w);
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 70; ++len) lengths.push_back(len);
  for (size_t len = 1015; len <= 1030; ++len) lengths.push_back(len);
  for (size_t a = 0; a < 20; ++a) {
    for (size_t len : lengths) {
      ASSERT_EQ(utf8_length(s.text, a, a + len), s.offsets[a + len] - s.offsets[a])
          << "start " << a << " length " << len;
    }
  }
  const char32_t top = w == 1 ? 0xFF : w == 2 ? 0xFFFF : 0x10FFFF;
  const Stored wide = store(std::vector<char32_t>(1100, top), w);
  for (size_t len : {1022u, 1023u, 1024u, 1025u}) {
    ASSERT_EQ(utf8_length(wide.text, 1, 1 + len), wide.offsets[len]) << len;
  }
}

TEST_P(TextWidth, IndexOfByteFromAnyKnownPosition) {
  std::mt19937 rng(11);
  for (size_t n : {0u, 3u, 255u, 256u, 257u, 1000u, 3000u}) {
    const Stored s = store(random_text(rng, n, GetParam()), GetParam());
    const size_t len = s.offsets.back();
    for (int k = 0; k < 400; ++k) {
      const size_t fi = n ? rng() % (n + 1) : 0;
      const TextPos from{fi, s.offsets[fi]};
      const size_t byte = rng() % (len + 8);
      TextPos at;
      const ByteIndex r = index_of_byte(s.text, byte, from, at);
      if (byte > len) {
        ASSERT_EQ(r, ByteIndex::Beyond);
        ASSERT_EQ(at.index, n);
        ASSERT_EQ(at.byte, len);
        continue;
      }
      auto it = std::lower_bound(s.offsets.begin(), s.offsets.end(), byte);
      if (*it == byte) {
        ASSERT_EQ(r, ByteIndex::Exact) << byte << " from " << fi;
        ASSERT_EQ(at.index, size_t(it - s.offsets.begin()));
        ASSERT_EQ(at.byte, byte);
      } else {
        ASSERT_EQ(r, ByteIndex::Inside) << byte << " from " << fi;
      }
    }
  }
}

TEST_P(TextWidth, CursorForwardsAndBackwards) {
  std::mt19937 rng(13);
  const size_t n = 5000;
  const Stored s = store(random_text(rng, n, GetParam()), GetParam());
  ByteCursor cur(s.text);
  for (int k = 0; k < 2000; ++k) {
    // Mostly small steps either way, sometimes a jump.
    size_t i = k % 7 == 0 ? rng() % (n + 1) : std::min(n, cur.last().index + rng() % 50);
    if (k % 3 == 0 && i >= 40) i -= 40;
    ASSERT_EQ(cur.byte_of(i), s.offsets[i]) << i;
  }
}

// Marks recorded by one cursor serve later ones, whatever order they ask in;
// a cursor that learned a position past the recorded marks leaves no gap.
TEST_P(TextWidth, CursorsSharingMarks) {
  std::mt19937 rng(29);
  const size_t n = 9 * ByteMarks::kStep + 123;
  const Stored s = store(random_text(rng, n, GetParam()), GetParam());
  ByteMarks marks;
  marks.prepare(n);
  for (int walk = 0; walk < 6; ++walk) {
    ByteCursor cur(s.text);
    cur.use_marks(&marks);
    if (walk == 0)
      cur.learn(TextPos{5 * ByteMarks::kStep + 7, s.offsets[5 * ByteMarks::kStep + 7]});
    for (int k = 0; k < 400; ++k) {
      size_t i;
      if (walk < 2) {
        i = std::min(n, cur.last().index + rng() % 300);  // a walk forwards
      } else if (k % 2 == 0) {
        i = rng() % (n + 1);  // jumps anywhere
      } else {
        i = cur.last().index - std::min(cur.last().index, size_t(rng() % 2000));
      }
      ASSERT_EQ(cur.byte_of(i), s.offsets[i]) << "walk " << walk << " at " << i;
    }
    for (size_t k = 0; k * ByteMarks::kStep <= n; ++k) {
      const TextPos m = marks.floor(k * ByteMarks::kStep);
      ASSERT_EQ(m.byte, s.offsets[m.index]);
    }
  }
  // The forward walks recorded every mark up to where they reached.
  EXPECT_EQ(marks.floor(n).index, (n / ByteMarks::kStep) * ByteMarks::kStep);
  // By byte offset: the last mark at or before it.
  for (int k = 0; k < 300; ++k) {
    const size_t b = rng() % (s.offsets[n] + 1);
    const TextPos m = marks.floor_byte(b);
    ASSERT_EQ(m.index % ByteMarks::kStep, 0u);
    ASSERT_EQ(m.byte, s.offsets[m.index]);
    ASSERT_LE(m.byte, b);
    const size_t next = m.index + ByteMarks::kStep;
    if (next <= n) {
      ASSERT_GT(s.offsets[next], b) << b;
    }
  }
}

// Stretches between marks that are all ASCII convert from the marks alone;
// a wider code point at either edge of a stretch, or inside it, must not be
// taken for ASCII.
TEST_P(TextWidth, MarksOverMostlyAsciiText) {
  constexpr size_t K = ByteMarks::kStep;
  const size_t n = 8 * K + 77;
  std::vector<char32_t> cps(n, 'a');
  const char32_t wide = GetParam() == 1 ? 0xE9 : GetParam() == 2 ? 0x20AC : 0x1F600;
  for (size_t at : {K, 3 * K + K - 1, 5 * K + 200, 8 * K + 3}) cps[at] = wide;
  const Stored s = store(cps, GetParam());
  ByteMarks marks;
  marks.prepare(n);
  ByteCursor first(s.text);
  first.use_marks(&marks);
  ASSERT_EQ(first.byte_of(n), s.offsets[n]);
  std::mt19937 rng(31);
  ByteCursor cur(s.text);
  cur.use_marks(&marks);
  for (size_t k = 0; k <= 8; ++k) {
    for (size_t i : {k * K, k * K + 1, k * K + K - 1}) {
      if (i <= n) {
        ASSERT_EQ(cur.byte_of(i), s.offsets[i]) << i;
      }
    }
  }
  for (int k = 0; k < 2000; ++k) {
    const size_t i = rng() % (n + 1);
    ASSERT_EQ(cur.byte_of(i), s.offsets[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, TextWidth, ::testing::Values(1, 2, 4));

TEST(Text, SurrogateScan) {
  std::vector<uint16_t> w2(10000, 0x416);
  EXPECT_FALSE(has_surrogate(Text::of(w2.data(), w2.size())));
  for (size_t pos : {0u, 4095u, 4096u, 9999u}) {
    for (uint16_t c : {0xD800, 0xDBFF, 0xDC00, 0xDFFF}) {
      w2[pos] = c;
      EXPECT_TRUE(has_surrogate(Text::of(w2.data(), w2.size()))) << pos;
      w2[pos] = 0x416;
    }
  }
  w2[5] = 0xD7FF;
  w2[6] = 0xE000;
  EXPECT_FALSE(has_surrogate(Text::of(w2.data(), w2.size())));
  std::vector<char32_t> w4(5000, 0x1F600);
  EXPECT_FALSE(has_surrogate(Text::of(w4.data(), w4.size())));
  w4[4999] = 0xDABC;
  EXPECT_TRUE(has_surrogate(Text::of(w4.data(), w4.size())));
  w4[4999] = 0x1D800;  // not a surrogate: only the low 16 bits look like one
  EXPECT_FALSE(has_surrogate(Text::of(w4.data(), w4.size())));
}

TEST(Text, Utf8TextIsInPlaceWhenAscii) {
  std::vector<char32_t> storage;
  const std::string ascii = "plain text";
  const Text a = utf8_text(ascii, storage);
  EXPECT_TRUE(a.ascii);
  EXPECT_EQ(a.width, 1);
  EXPECT_EQ(a.data, static_cast<const void*>(ascii.data()));
  const Text d = utf8_text("a\xC3\xA9\xF0\x9F\x98\x80", storage);
  EXPECT_EQ(d.width, 4);
  EXPECT_EQ(d.n, 3u);
  EXPECT_EQ(d.at(2), U'\U0001F600');
}

// Spans of every match of `re` over t, as (start, end) byte offsets.
std::vector<size_t> all_spans(const Regex& re, const Text& t) {
  std::vector<size_t> spans;
  FindIter it(re, t);
  std::optional<Match> m;
  while (it.next(m) == Status::Ok && m) {
    spans.push_back(m->caps[0].start);
    spans.push_back(m->caps[0].end);
  }
  return spans;
}

TEST(Text, NarrowCopyScansAgreeWithTheWideText) {
  // Code points whose low byte is a literal's unit (0x140 '@', 0x12E '.',
  // 0x161 'a', 0x10040) and the edges of the 0xFF stand-in must not be
  // found in its place.
  const std::vector<char32_t> pool2 = {'a',   'b',   '@',   '.',   '1',   '2',   ' ',   0xFE,  0xFF,
                                       0x100, 0x140, 0x12E, 0x131, 0x161, 0x1FF, 0x416, 0x3000};
  std::vector<char32_t> pool4 = pool2;
  pool4.insert(pool4.end(), {0x10040, 0x1F600, 0x1002E});
  // counted: whether the wide scans are counted for the copy (1), must not
  // be (0: a unit the copy cannot tell apart), or either (-1).
  const struct {
    const char* pattern;
    int counted;
  } cases[] = {{"ab@", 1},
               {"(?i)ab", 1},
               {"a|b@|\\.1", -1},
               {"[\\w.]+@\\w+\\.[\\w.]+", 1},
               {"(?:[12]{1,2}\\.){2}[12]", 1},
               {"\\w+\\.b", -1},
               {"a\u00fe", 1},
               {"\u00ff", 0},
               {"@\u0140?a", -1},
               {"(?i)\u0161", 0},
               // Automaton scans, which read the copy only where 0xFF and
               // every code point above it are one class.
               {"a.{0,3}@", -1},
               {"[^@ ]+@[^ ]*", -1},
               {"[^a]{2,}\\.", -1},
               {"[^\u0140]{2,}", -1},
               {"\u00ff[^b]+", -1},
               {"[\u0100-\u0200]{2}.", -1},
               {"\\w\\W{2,}", -1},
               // A range scan for every code point from one up.
               {"[^\\x00-\\x7F]+", -1},
               {"[^\\x00-\\xFE]a", -1},
               // A run scan with probes, over the copy it has built.
               {"[ab@]{2}[12]{2}", -1},
               {"[ab\u0140]{2}[12.]", -1},
               // Automata that tell code points from 0xFF up apart (U+3000
               // is a space), which read the copy with escapes.
               {"\\S+@\\S*", -1},
               {"[^\\s\u0416]{2,}\\.", -1},
               {"\\s\\S+\\s", -1},
               // The start loop's skip to a first code point, and the
               // one-pass matcher after it.
               {"\u0161(?=[ab])", -1},
               {"\u0140[^@]*@", -1},
               {"@[^@]*@", -1},
               {"\u00ff[^@]*\u0140", -1}};
  std::mt19937 rng(7);
  for (int width : {2, 4}) {
    const std::vector<char32_t>& pool = width == 2 ? pool2 : pool4;
    for (int round = 0; round < 4; ++round) {
      std::vector<char32_t> cps(3000);
      for (auto& c : cps) c = pool[rng() % pool.size()];
      const Stored s = store(cps, width);
      std::vector<uint8_t> units(cps.size());
      const size_t high = narrow_copy(s.text, units.data());
      for (size_t i = 0; i < cps.size(); ++i) {
        ASSERT_EQ(units[i], cps[i] < 0xFF ? cps[i] : 0xFF) << i;
      }
      ASSERT_EQ(high, size_t(std::count_if(cps.begin(), cps.end(),
                                           [](char32_t c) { return c >= 0xFF; })));
      for (const auto& c : cases) {
        auto re = Regex::new_with_flags(c.pattern, 0);
        ASSERT_TRUE(re.ok()) << c.pattern;
        const std::vector<size_t> want = all_spans(re.value(), s.text);
        NarrowCopy unbuilt;
        Text wide = s.text;
        wide.narrow = &unbuilt;
        EXPECT_EQ(all_spans(re.value(), wide), want) << c.pattern << " width " << width;
        NarrowCopy built{units.data(), 0, high};
        Text narrowed = s.text;
        narrowed.narrow = &built;
        EXPECT_EQ(all_spans(re.value(), narrowed), want) << c.pattern << " width " << width;
        EXPECT_EQ(built.wide_scanned, 0u) << c.pattern;
        // Counted as holding no 0xFF, the copy is read with escapes by every
        // automaton, however many its units are.
        NarrowCopy sparse{units.data(), 0, 0};
        narrowed.narrow = &sparse;
        EXPECT_EQ(all_spans(re.value(), narrowed), want) << c.pattern << " width " << width;
        if (c.counted == 1) {
          EXPECT_GT(unbuilt.wide_scanned, 0u) << c.pattern;
        } else if (c.counted == 0) {
          EXPECT_EQ(unbuilt.wide_scanned, 0u) << c.pattern;
        }
      }
    }
  }
}

TEST(Text, SearchesAgreeAcrossWidths) {
  // The same code points stored at each width give the same spans.
  auto re = Regex::new_with_flags("(\\w)(\\w)|\u00e9+|x*", 0);
  ASSERT_TRUE(re.ok());
  const std::vector<char32_t> cps = {'a', 0xE9, 0xE9, ' ', 'b', 'c', 0xFF, ' ', 0xE9};
  std::vector<std::vector<size_t>> results;
  for (int width : {1, 2, 4}) {
    const Stored s = store(cps, width);
    std::vector<size_t> spans;
    FindIter it(re.value(), s.text);
    std::optional<Match> m;
    while (it.next(m) == Status::Ok && m) {
      for (const Span& sp : m->caps) {
        spans.push_back(sp.start);
        spans.push_back(sp.end);
        spans.push_back(sp.cstart);
      }
    }
    results.push_back(spans);
  }
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(results[0], results[2]);
  // And the UTF-8 form agrees with them.
  const std::string utf8 = "a\xC3\xA9\xC3\xA9 bc\xC3\xBF \xC3\xA9";
  std::vector<size_t> spans;
  FindIter it(re.value(), utf8);
  std::optional<Match> m;
  while (it.next(m) == Status::Ok && m) {
    for (const Span& sp : m->caps) {
      spans.push_back(sp.start);
      spans.push_back(sp.end);
      spans.push_back(sp.cstart);
    }
  }
  EXPECT_EQ(results[0], spans);
}

TEST(Text, ThreadsExitAfterPooledAndRecycledStates) {
  // A thread's pooled State and the keeper of recycled arrays are both
  // thread-local; they die in reverse order of first use, in either order.
  auto re = Regex::new_with_flags("(a)+", 0);
  ASSERT_TRUE(re.ok());
  for (int order = 0; order < 2; ++order) {
    std::thread t([&] {
      std::optional<Match> m;
      auto iterate = [&] {
        FindIter it(re.value(), std::string_view("baa"));
        EXPECT_EQ(it.next(m), Status::Ok);
      };
      if (order == 0) iterate();
      EXPECT_EQ(re.value().find(std::string_view("xaa"), m), Status::Ok);
      EXPECT_TRUE(m);
      if (order == 1) iterate();
    });
    t.join();
  }
}

}  // namespace
}  // namespace kordal
