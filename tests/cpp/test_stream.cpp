// Stream: the lookbehind context it keeps, and its matches against FindIter
// over every cut of short texts into up to three pieces (empty ones too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iterators.hpp"
#include "regex.hpp"
#include "stream.hpp"

namespace kordal {
namespace {

Regex compile(const char* pattern) {
  auto r = Regex::new_with_flags(pattern, 0);
  EXPECT_TRUE(r.ok()) << pattern;
  return std::move(r.value());
}

TEST(Stream, LookbehindReach) {
  struct Case {
    const char* pattern;
    size_t reach;
  };
  const Case cases[] = {
      {"abc", 0},        {"(?<=ab)c", 6}, {"(?<=a{2,4})c", 12}, {"(?<=a(?<=bc))d", 9},
      {"(?<!x|yz)w", 6}, {"(?=abc)", 0},  {"(?<=a+)b", kUnset}, {"(?<=(a)\\1)b", kUnset},
  };
  for (const Case& c : cases) {
    const Regex re = compile(c.pattern);
    EXPECT_EQ(Stream::lookbehind_reach(re.tree()), c.reach) << c.pattern;
  }
}

struct Found {
  size_t start, end, cstart, cend;
  bool operator==(const Found&) const = default;
};

std::vector<Found> whole(const Regex& re, const std::u32string& text) {
  FindIter it(re, Text::of(text.data(), text.size()));
  std::vector<Found> out;
  std::optional<Match> m;
  while (it.next(m) == Status::Ok && m) {
    out.push_back({m->caps[0].start, m->caps[0].end, m->caps[0].cstart, m->caps[0].cend});
  }
  return out;
}

std::vector<Found> streamed(const Regex& re, const std::vector<std::u32string>& pieces) {
  Stream s(re);
  std::vector<Found> out;
  auto take = [&](std::vector<Match>& ms) {
    for (const Match& m : ms) {
      const Span& w = m.caps[0];
      out.push_back({w.start, w.end, w.cstart + s.base(), w.cend + s.base()});
    }
    ms.clear();
    s.trim();
  };
  std::vector<Match> ms;
  for (const std::u32string& p : pieces) {
    EXPECT_EQ(s.feed(Text::of(p.data(), p.size()), ms), Status::Ok);
    take(ms);
  }
  EXPECT_EQ(s.close(ms), Status::Ok);
  take(ms);
  return out;
}

TEST(Stream, EveryCutGivesTheWholeTextMatches) {
  const char* patterns[] = {"<[^>]*>|\\w+",  "a\\b",    "a$", "a\\Z", "a(?=b)", "(?<=a)b|b", "x*",
                            "(a|ab)(c|bcd)", "(\\w)\\1"};
  const std::u32string texts[] = {U"<a b> c", U"abab a", U"aab\u00e9ba", U"abcd xx yy", U""};
  for (const char* p : patterns) {
    const Regex re = compile(p);
    for (const std::u32string& t : texts) {
      const std::vector<Found> want = whole(re, t);
      for (size_t i = 0; i <= t.size(); ++i) {
        for (size_t j = i; j <= t.size(); ++j) {
          const std::vector<std::u32string> pieces = {t.substr(0, i), t.substr(i, j - i),
                                                      t.substr(j)};
          EXPECT_EQ(streamed(re, pieces), want) << p << " cut at " << i << "," << j;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kordal
