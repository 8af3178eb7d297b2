// Stream: the lookbehind context it keeps, and its matches against FindIter
// over every cut of short texts into up to three pieces (empty ones too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dfa.hpp"
#include "iterators.hpp"
#include "regex.hpp"
#include "state.hpp"
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

// The starts the prefix scan reports bound those of every thread that can
// consume the text up to e: a full match of text + w from p is such a thread.
TEST(Stream, PrefixScanBoundsEveryLiveStart) {
  const char* patterns[] = {"\\w+@\\w+", "a b|ab",     "(?:ab)*a", "\\ba+\\b", "(?m)^b+$",
                            "a$|b\\Z",   "(a|b a)+ $", "[^a]*a",   "ab|a\\n"};
  const char32_t alphabet[] = {U'a', U'b', U' ', U'\n'};
  for (const char* p : patterns) {
    const Regex re = compile(p);
    const auto pre = Dfa::build_prefixes(re.tree());
    ASSERT_TRUE(pre) << p;
    std::vector<std::u32string> texts = {U""};
    for (size_t i = 0; i < texts.size() && texts[i].size() < 5; ++i) {
      for (char32_t c : alphabet) texts.push_back(texts[i] + c);
    }
    for (const std::u32string& t : texts) {
      const size_t e = t.size();
      size_t brute = e;
      for (size_t q = 0; q < e && brute == e; ++q) {
        for (size_t i = 0; i < texts.size() && texts[i].size() <= 2 && brute == e; ++i) {
          const std::u32string full = t + texts[i];
          State st = build_state(re.group_count(), Text::of(full.data(), full.size()));
          bool found = false;
          ASSERT_EQ(re.search_state(st, q, Regex::Anchor::Full, false, found, {}), Status::Ok);
          if (found) brute = q;
        }
      }
      State st = build_state(re.group_count(), Text::of(t.data(), t.size()));
      size_t start = e;
      const Dfa::Outcome o = pre->find_start(st, 0, e, start);
      ASSERT_NE(o, Dfa::Outcome::GaveUp);
      if (o == Dfa::Outcome::NotFound) start = e;
      EXPECT_LE(start, brute) << p << " on " << std::string(t.begin(), t.end());
    }
  }
  // And it is not the trivial bound: text no match can hold ends the scan.
  const Regex mail = compile("\\w+@\\w+\\.com");
  const auto pre = Dfa::build_prefixes(mail.tree());
  const std::u32string t = U"x@y.com ab cd@e";
  State st = build_state(mail.group_count(), Text::of(t.data(), t.size()));
  size_t start = 0;
  ASSERT_EQ(pre->find_start(st, 0, t.size(), start), Dfa::Outcome::Found);
  EXPECT_EQ(start, 11u);
}

}  // namespace
}  // namespace kordal
