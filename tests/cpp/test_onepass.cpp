// The one-pass matcher against the reference matcher: at every start of
// every text, a pattern it accepts must give the reference's match at that
// start, with every group's span. Patterns are sequences of group-bearing
// units (the shapes of field parsers, with loops that meet their delimiter,
// optional parts that leave a fallback match, assertions) under each flag
// set; a pattern it refuses is only counted. Texts are exhaustive over small
// alphabets, and a set with code points above 255 checks that it gives up
// exactly there, in every code-unit width.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "all_texts.hpp"
#include "onepass.hpp"
#include "reference_matcher.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal {
namespace {

std::string show_caps(const std::vector<CpSpan>& caps) {
  std::string out;
  for (const CpSpan& c : caps) {
    if (!c.set()) {
      out += '-';
      continue;
    }
    out += '(';
    out += std::to_string(c.start);
    out += ',';
    out += std::to_string(c.end);
    out += ')';
  }
  return out;
}

struct Tally {
  int bad = 0;
  int accepted = 0;
  int refused = 0;
};

// The reference's answer at s as a string ("none", or the end and caps).
std::string reference_at(const Regex& re, State& st, size_t s) {
  st.reset(s);
  if (!reference::try_match(re.tree(), st)) return "none";
  std::vector<CpSpan> caps = st.caps();
  caps[0] = CpSpan{s, st.pos};
  return show_caps(caps);
}

// The one-pass answer at s in the same form; "gave up" when it did.
std::string onepass_at(const OnePass& op, State& st, size_t s) {
  OnePassCache cache;
  st.reset(s);
  st.flat = true;
  const OnePass::Outcome o = op.match_at(st, cache, s);
  if (o == OnePass::Outcome::GaveUp) return "gave up";
  if (o != OnePass::Outcome::Found) return "none";
  std::vector<CpSpan> caps = st.caps();
  caps[0] = CpSpan{s, st.pos};
  return show_caps(caps);
}

void check(const std::string& pattern, uint32_t flags, const std::vector<std::string>& texts,
           Tally& tally) {
  auto compiled = Regex::new_with_flags(pattern, flags);
  if (!compiled.ok()) return;
  const Regex& re = compiled.value();
  const auto op = OnePass::build(re.tree(), re.group_count());
  if (!op) {
    ++tally.refused;
    return;
  }
  ++tally.accepted;
  for (const std::string& t : texts) {
    State st = build_state(re.group_count(), t);
    for (size_t s = 0; s <= st.n; ++s) {
      const std::string want = reference_at(re, st, s);
      const std::string got = onepass_at(*op, st, s);
      if (got != want) {
        ADD_FAILURE() << "/" << pattern << "/ flags " << flags << " on \"" << t << "\" at " << s
                      << ": reference " << want << ", one-pass " << got;
        ++tally.bad;
        return;
      }
    }
  }
}

const uint32_t kFlagSets[] = {0, flags::MULTILINE, flags::IGNORECASE, flags::ASCII,
                              flags::DOTALL | flags::MULTILINE};

const std::vector<std::string> kUnits = {
    "(a)",  "(a+)", "(b*)", "([^;]*)", "([^;]+)", ";",     "(\\w+)", "(a|b)",   "(a)?", "(ab|b)",
    "(a?)", "$",    "^",    "\\b",     "(.)",     "(b)??", "(;|$)",  "(?:a|b)", "a*?",  "(\\s*)"};

TEST(OnePass, TriplesOfUnitsUnderEachFlagSet) {
  std::vector<std::string> texts = all_texts({"a", "b", ";"}, 5);
  const std::vector<std::string> more = all_texts({"a", " ", "\n", "A"}, 3);
  texts.insert(texts.end(), more.begin() + 1, more.end());
  Tally tally;
  std::mt19937 rng(11);
  for (uint32_t f : kFlagSets) {
    for (const std::string& u : kUnits) {
      for (const std::string& v : kUnits) {
        check(u + v, f, texts, tally);
        check(u + v + kUnits[rng() % kUnits.size()], f, texts, tally);
        if (tally.bad > 5) break;
      }
    }
  }
  EXPECT_EQ(tally.bad, 0);
  // Both verdicts must be common, or the comparison proves little.
  EXPECT_GT(tally.accepted, 1000);
  EXPECT_GT(tally.refused, 200);
}

TEST(OnePass, Verdicts) {
  const char* const accepted[] = {
      "^([A-Z0-9]+);([^;]+);([^;]*)$",  // a field parser
      "(\\w+)\\s(\\w+)",                // loops that meet their delimiter
      "(a+)(b)?",                       // an optional tail: a match to fall back on
      "(?m)^(\\d+)$",
      "(a)(?:b|c)(d)",
  };
  const char* const refused[] = {
      "(a|ab)(c)",  // both alternatives consume the a
      "(a*)(a)",    // the loop and its continuation consume the same a
      "(a)\\1",     // beyond the automaton
      "(?=(a))",
  };
  for (const char* p : accepted) {
    auto r = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(r.ok()) << p;
    EXPECT_TRUE(OnePass::build(r.value().tree(), r.value().group_count())) << p;
  }
  for (const char* p : refused) {
    auto r = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(r.ok()) << p;
    EXPECT_FALSE(OnePass::build(r.value().tree(), r.value().group_count())) << p;
  }
}

// Code points above 255 have no class: the matcher gives up when its scan
// reaches one and answers otherwise, in every width.
TEST(OnePass, GivesUpOnlyAtCodePointsWithoutAClass) {
  auto r = Regex::new_with_flags("(\\w+);(\\w*)", 0);
  ASSERT_TRUE(r.ok());
  const Regex& re = r.value();
  const auto op = OnePass::build(re.tree(), re.group_count());
  ASSERT_TRUE(op);
  const std::u32string texts[] = {U"ab;cd", U"ab;\u00e9x", U"ab;c\u0416", U"\u0416b;c", U"a;b;"};
  for (const std::u32string& t : texts) {
    std::vector<uint8_t> w1;
    std::vector<uint16_t> w2(t.begin(), t.end());
    bool narrow = true;
    for (char32_t c : t) narrow = narrow && c < 256;
    if (narrow) w1.assign(t.begin(), t.end());
    std::vector<Text> views = {Text::of(t.data(), t.size()), Text::of(w2.data(), w2.size())};
    if (narrow) views.push_back(Text::of(w1.data(), w1.size()));
    for (const Text& v : views) {
      State st = build_state(re.group_count(), v);
      for (size_t s = 0; s <= st.n; ++s) {
        const std::string want = reference_at(re, st, s);
        const std::string got = onepass_at(*op, st, s);
        if (got == "gave up") {
          // Only where the scan from s would read a code point above 255.
          bool wide = false;
          for (size_t i = s; i < t.size(); ++i) wide = wide || t[i] >= 256;
          EXPECT_TRUE(wide) << "at " << s << " width " << v.width;
        } else {
          EXPECT_EQ(got, want) << "at " << s << " width " << v.width;
        }
      }
    }
  }
}

// Where every test takes all code points above 255 alike (and no assertion
// reads the Unicode word context), they share a class: attempts over them
// never give up, and agree with the reference at every start, in runs a
// state stays on (walked and vector-skipped) and out of them, in 2- and
// 4-byte text. Patterns that tell such code points apart still give up.
TEST(OnePass, CodePointsAbove255ShareAClassWhereEveryTestAgrees) {
  const struct {
    const char* pattern;
    bool alike;
  } cases[] = {{"(.)", true},        {"(a)([^;]*);", true}, {R"p("([^"]*)")p", true},
               {"(?m)^(.*)$", true}, {"(x)([^y]*)y", true}, {"(a)(.+)", true},
               {"a(b|c)d", true},    {"(a)(\\d*)", false},  {"(a)\\b", false},
               {"(?i)(k)", false},   {"(\\W)(.)", false}};
  const char32_t fills[] = {U'b', U'\u0436', U'\U0001F600'};
  const std::u32string tails[] = {U"", U";", U"\n", U"\"", U"y", U"bd", U"\u0436;"};
  int checked = 0;
  for (const auto& c : cases) {
    auto compiled = Regex::new_with_flags(c.pattern, 0);
    ASSERT_TRUE(compiled.ok()) << c.pattern;
    const Regex& re = compiled.value();
    const auto op = OnePass::build(re.tree(), re.group_count());
    ASSERT_TRUE(op) << c.pattern;
    for (size_t len : {0, 1, 5, 17, 40, 75}) {
      for (const std::u32string& tail : tails) {
        std::u32string t = len % 2 ? U"xa" : U"xa\"";
        for (size_t i = 0; i < len; ++i) t += fills[(i * 7 + len) % 3];
        t += tail;
        bool astral = false;
        for (char32_t ch : t) astral = astral || ch > 0xFFFF;
        std::vector<uint16_t> w2(t.begin(), t.end());
        std::vector<Text> views = {Text::of(t.data(), t.size())};
        if (!astral) views.push_back(Text::of(w2.data(), w2.size()));
        for (const Text& v : views) {
          State st = build_state(re.group_count(), v);
          for (size_t s = 0; s <= st.n; ++s) {
            const std::string got = onepass_at(*op, st, s);
            if (!c.alike && got == "gave up") continue;
            ASSERT_EQ(got, reference_at(re, st, s))
                << c.pattern << " len " << len << " width " << v.width << " at " << s;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 5000);
}

// A budget bounds the code points one attempt scans; the search hands an
// attempt over it to the DFA.
TEST(OnePass, BudgetBoundsTheScan) {
  auto r = Regex::new_with_flags("(a*)b", 0);
  ASSERT_TRUE(r.ok());
  const auto op = OnePass::build(r.value().tree(), r.value().group_count());
  ASSERT_TRUE(op);
  const std::string text(100, 'a');
  State st = build_state(r.value().group_count(), text);
  OnePassCache cache;
  st.reset(0);
  EXPECT_EQ(op->match_at(st, cache, 0, 10), OnePass::Outcome::OverBudget);
  EXPECT_LE(st.steps, 20u);
  st.reset(0);
  EXPECT_EQ(op->match_at(st, cache, 0), OnePass::Outcome::NotFound);
  const std::string with_b = text + "b";
  State hit = build_state(r.value().group_count(), with_b);
  hit.reset(0);
  EXPECT_EQ(op->match_at(hit, cache, 0, 1000), OnePass::Outcome::Found);
  EXPECT_EQ(hit.pos, 101u);
}

// States that stay on all but a few units skip long runs with a vector
// search: runs of every length around the walked prefix and the vector
// blocks, ended by each leaving unit, by the text's end or by a final line
// feed, in each width. A code point of 256 or more ends the run too where
// it has no class (the attempt then gives up: the VM takes over).
TEST(OnePass, LongStayRunsMatchTheReference) {
  const char* patterns[] = {R"p((a)([^;]*))p",       R"p((?m)^(.*)$)p",  R"p("([^"]*)")p",
                            R"p((a)([^;,\n"]+)\b)p", R"p((x)(?s:.*)y)p", R"p((a)(.*?);)p"};
  const std::u32string tails[] = {U"", U";", U"\n", U"\"", U";b", U"\nb", U"y", U"\u0436b;"};
  int checked = 0;
  for (const char* pattern : patterns) {
    auto compiled = Regex::new_with_flags(pattern, 0);
    ASSERT_TRUE(compiled.ok()) << pattern;
    const Regex& re = compiled.value();
    const auto op = OnePass::build(re.tree(), re.group_count());
    if (!op) continue;
    for (size_t len = 0; len <= 80; len += len < 20 ? 1 : 7) {
      for (const std::u32string& tail : tails) {
        std::u32string t = U"xa\"" + std::u32string(len, U'b') + tail;
        const bool high = t.find(U'\u0436') != std::u32string::npos;
        std::vector<uint8_t> w1;
        std::vector<uint16_t> w2(t.begin(), t.end());
        for (char32_t c : t) w1.push_back(uint8_t(c));
        const Text texts[] = {Text::of(w1.data(), w1.size()), Text::of(w2.data(), w2.size()),
                              Text::of(t.data(), t.size())};
        for (int w = high ? 1 : 0; w < 3; ++w) {
          State st = build_state(re.group_count(), texts[w]);
          for (size_t s = 0; s <= st.n; ++s) {
            const std::string want = reference_at(re, st, s);
            const std::string got = onepass_at(*op, st, s);
            if (got == "gave up" && high) continue;
            ASSERT_EQ(got, want) << pattern << " len " << len << " width " << texts[w].width
                                 << " at " << s;
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 10000);
}

}  // namespace
}  // namespace kordal
