// The reference's own character tests (reference_chars.hpp) against the
// engine's, over every code point: the two are written apart so that either
// one's fault shows, and here they must agree everywhere. Templates are
// checked through the corpus (test_corpus.cpp derives replacements with the
// reference's expander for every engine that reports groups).
#include <gtest/gtest.h>

#include <string>

#include "char_test.hpp"
#include "program.hpp"
#include "reference_chars.hpp"
#include "regex.hpp"
#include "unicode.hpp"

namespace kordal {
namespace {

constexpr char32_t kLast = 0x10FFFF;

TEST(ReferenceChars, PredefinedClassesAgreeWithTheEngine) {
  size_t bad = 0;
  for (char32_t c = 0; c <= kLast; ++c) {
    for (bool ascii : {false, true}) {
      bad += reference::digit(c, ascii) != predef_test(Predef::Digit, ascii, c);
      bad += reference::word(c, ascii) != predef_test(Predef::Word, ascii, c);
      bad += reference::word(c, ascii) != word_char(c, ascii);
      bad += reference::space(c, ascii) != predef_test(Predef::Space, ascii, c);
    }
    if (bad > 0) {
      ADD_FAILURE() << "first disagreement at U+" << std::hex << uint32_t(c);
      return;
    }
  }
}

TEST(ReferenceChars, CaseInsensitiveEqualityAgreesWithTheEngine) {
  // Every code point against itself, its lowercase and uppercase mappings'
  // first code points, and the code points that lowercase to something else.
  size_t bad = 0, pairs = 0;
  auto check = [&](char32_t a, char32_t b) {
    ++pairs;
    if (reference::same_ignoring_case(a, b) != chars_equal_ci(a, b)) {
      if (bad++ < 5) ADD_FAILURE() << std::hex << "U+" << uint32_t(a) << " U+" << uint32_t(b);
    }
  };
  for (char32_t c = 0; c <= kLast; ++c) {
    char32_t m[3];
    unicode::to_lower_full(c, m);
    check(c, m[0]);
    check(m[0], c);
    unicode::to_upper_full(c, m);
    check(c, m[0]);
    check(c, c ^ 0x20);
  }
  for (size_t i = 0; i < unicode::lower_mapped_count(); ++i) {
    const char32_t c = unicode::lower_mapped_at(i);
    for (char32_t d : {U'k', U's', U'i', U'\u03c3', U'\u00e5', U'\u01c6'}) check(c, d);
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_GT(pairs, 4u * 0x110000);
}

// Classes as the parser builds them, over a range of code points that
// crosses the ASCII table the engine precomputes.
class ReferenceClass : public ::testing::TestWithParam<const char*> {};

TEST_P(ReferenceClass, AgreesWithTheEngine) {
  auto re = Regex::new_with_flags(GetParam(), 0);
  ASSERT_TRUE(re.ok());
  const Node* nd = &re.value().tree();
  while (nd->kind == NodeKind::Group || nd->kind == NodeKind::NonCap) nd = &nd->child();
  ASSERT_TRUE(reference::one_char(*nd)) << GetParam();
  for (char32_t c = 0; c < 0x3000; ++c) {
    ASSERT_EQ(reference::accepts(*nd, c), single_accepts(*nd, c))
        << GetParam() << " U+" << std::hex << uint32_t(c);
  }
  // The tables the engines match with, over every code point.
  const CharTest t = char_test(*nd);
  for (char32_t c = 0; c <= kLast; ++c) {
    ASSERT_EQ(reference::accepts(*nd, c), t.accepts(c))
        << GetParam() << " U+" << std::hex << uint32_t(c);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, ReferenceClass,
    ::testing::Values("[a-z_]", "[^\\d\\s]", "[\\w\\-.]", "(?i)[k-m]", "(?a)[^\\w]", "[\\p{Lu}0-9]",
                      "(?i)\\u00c5", "\\D", "(?:a|[^b]|\\s)",
                      // one range above 255, alone or excluded
                      "[\\u0430-\\u044f]", "[^\\u0430-\\u044f]", "[a-z\\u0400-\\u04ff]",
                      // members above 255, case-folded ones among them
                      "(?i)[\\u0100-\\u0180\\u212a]", "(?i)\\u212a", "(?i)[^k\\u03a3]",
                      "[\\u4e00-\\u9fff\\p{Lu}]", "[^\\x00-\\uffff]", "(?i)\\u1e9e",
                      // negated parts, alone and beside others
                      "(?:[^a\\w]|\\p{Lu})", "(?:[^\\s\\p{P}]|\\d)", "[^\\S\\n]", "[\\P{L}x]",
                      "[[:punct:][:space:]]", "[^[:cntrl:]\\d]", "(?s).", ".",
                      // the properties expanded into ranges
                      "\\p{print}", "\\p{Z}", "[[:blank:][:xdigit:]]", "\\p{ascii}",
                      "\\p{posixpunct}", "[^\\p{cntrl}]", "\\P{space}"));

TEST(CharTests, DisjointOnlyWhereNoCodePointPassesBoth) {
  auto test_of = [](const char* p) {
    auto re = Regex::new_with_flags(p, 0);
    EXPECT_TRUE(re.ok()) << p;
    const Node* nd = &re.value().tree();
    while (nd->kind == NodeKind::Group || nd->kind == NodeKind::NonCap) nd = &nd->child();
    return char_test(*nd);
  };
  struct Case {
    const char* a;
    const char* b;
    bool disjoint;  // what the test must answer (false: overlapping or unknown)
  };
  const Case cases[] = {
      {"\\w", "\\s", true},
      {"[a-z]", "[0-9]", true},
      {"\\w", "[.,]", true},
      {"[\\u0400-\\u04ff]", "\\s", true},
      {"\\w", "\\d", false},
      {"\\S", "\\s", true},
      {"(?i)k", "\\u212a", false},
      {"[^a]", "a", true},
      {"\\p{L}", "\\w", false},
      {".", "\\n", true},
      {"[\\u2000-\\u2100]", "\\w", false},
  };
  for (const Case& c : cases) {
    const CharTest a = test_of(c.a), b = test_of(c.b);
    EXPECT_EQ(a.disjoint(b), c.disjoint) << c.a << " " << c.b;
    EXPECT_EQ(b.disjoint(a), c.disjoint) << c.b << " " << c.a;
    if (!a.disjoint(b)) continue;
    for (char32_t ch = 0; ch <= kLast; ++ch) {
      ASSERT_FALSE(a.accepts(ch) && b.accepts(ch))
          << c.a << " " << c.b << " U+" << std::hex << uint32_t(ch);
    }
  }
}

TEST(CharTests, WithinWordsOnlyWhereEveryMemberIsAWordCharacter) {
  struct Case {
    const char* cls;
    bool ascii;  // the word definition asked about
    bool within;
  };
  const Case cases[] = {
      {"\\w", false, true},     {"\\w", true, false},       {"(?a)\\w", true, true},
      {"[a-z_]", true, true},   {"\\p{L}", false, true},    {"\\d", false, true},
      {"[\\w ]", false, false}, {"[\\w\\-]", false, false}, {"\\p{Lu}", false, false},
      {"\\u00e9", false, true}, {"\\u00e9", true, false},   {"[^\\W]", false, true},
      {"(?i)k", true, false}};  // the Kelvin sign: not an ASCII word character
  for (const Case& c : cases) {
    auto re = Regex::new_with_flags(c.cls, 0);
    ASSERT_TRUE(re.ok()) << c.cls;
    const Node* nd = &re.value().tree();
    while (nd->kind == NodeKind::Group || nd->kind == NodeKind::NonCap) nd = &nd->child();
    const CharTest t = char_test(*nd);
    EXPECT_EQ(t.within_words(c.ascii), c.within) << c.cls << " ascii " << c.ascii;
    if (!t.within_words(c.ascii)) continue;
    for (char32_t ch = 0; ch <= kLast; ++ch) {
      ASSERT_TRUE(!t.accepts(ch) || reference::word(ch, c.ascii))
          << c.cls << " U+" << std::hex << uint32_t(ch);
    }
  }
}

TEST(ReferenceLengths, MatchTheEngineWidths) {
  for (const char* p : {"a", "abc", "a{2,5}", "(?:ab|c)*", "(a|bcd)e?", "\\1?(x)", "(?=ab)c",
                        "(?:a{3}){2}", "[ab]{0}", "(?:)*"}) {
    auto re = Regex::new_with_flags(p, 0);
    if (!re.ok()) continue;  // \1 before its group may be refused
    const reference::Lengths got = reference::match_lengths(re.value().tree());
    const Width want = width(re.value().tree());
    EXPECT_EQ(got.least, want.min) << p;
    EXPECT_EQ(got.most, want.max) << p;
    EXPECT_EQ(reference::deterministic_length(re.value().tree()), re.value().tree().det_len) << p;
  }
}

}  // namespace
}  // namespace kordal
