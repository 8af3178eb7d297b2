// Pattern analysis: the literals, lengths, anchors and regularity found for
// patterns picked for their shape, case classes, and a randomized check that
// no match ever starts where the analysis or a prefilter says none can.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "iterators.hpp"
#include "prefilter.hpp"
#include "program.hpp"
#include "reference_chars.hpp"
#include "reference_matcher.hpp"
#include "regex.hpp"
#include "state.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace kordal {
namespace {

Analysis analysis_of(const std::string& pattern, uint32_t flags = 0) {
  auto r = Regex::new_with_flags(pattern, flags);
  EXPECT_TRUE(r.ok()) << pattern;
  if (!r.ok()) return {};
  return analyze(r.value().tree());
}

// A literal as text: a case-insensitive position shows its smallest member
// in braces.
std::string show(const Literal& l) {
  std::string out;
  for (const LitChar& c : l.chars) {
    if (c.fold) out += '{';
    append_utf8(out, c.ch);
    if (c.fold) out += '}';
  }
  return out;
}

std::string show(const std::vector<Literal>& lits) {
  std::string out;
  for (const Literal& l : lits) {
    if (!out.empty()) out += '|';
    out += show(l);
  }
  return out;
}

std::string show(const std::optional<Needle>& n) {
  if (!n) return "none";
  auto num = [](uint64_t v) { return v == kUnbounded ? std::string("inf") : std::to_string(v); };
  return show(n->lits) + " @" + num(n->min_off) + ".." + num(n->max_off);
}

struct NeedleRow {
  const char* pattern;
  const char* needle;
  const char* prefixes;
};

class Needles : public ::testing::TestWithParam<NeedleRow> {};

TEST_P(Needles, Chosen) {
  const NeedleRow& row = GetParam();
  const Analysis an = analysis_of(row.pattern);
  EXPECT_EQ(show(an.needle), row.needle) << row.pattern;
  EXPECT_EQ(show(an.prefixes), row.prefixes) << row.pattern;
}

const NeedleRow kNeedleRows[] = {
    {"Sherlock Holmes", "Sherlock Holmes @0..0", "Sherlock Holmes"},
    {"(?i)Holmes", "{H}{O}{L}{M}{E}{S} @0..0", "{H}{O}{L}{M}{E}{S}"},
    // Only the letters have case variants; U+212A joins k, U+017F stays alone.
    {"(?i)k-\u017f", "{K}-\u017f @0..0", "{K}-\u017f"},
    {"(?i)stra\u00dfe", "{S}{T}{R}{A}{\u00df}{E} @0..0", "{S}{T}{R}{A}{\u00df}{E}"},
    {"(?i)\u0130x", "\u0130{X} @0..0", "\u0130{X}"},
    // The rare inner literal of the email and IPv4 patterns.
    {"[\\w\\.+-]+@[\\w\\.-]+\\.[\\w\\.-]+", "@ @1..inf", ""},
    {"(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9])\\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9])",
     ". @2..3", ""},
    // Optional pieces and alternatives multiply out while they stay small.
    {"colou?r", "colo @0..0", "color|colour"},
    // A set whose literals share their beginning: that beginning is one
    // literal, which a single scan finds.
    {"LATIN (?:SMALL|CAPITAL) LETTER [A-Z]", "LATIN  @0..0",
     "LATIN CAPITAL LETTER |LATIN SMALL LETTER "},
    {"\\d+ Sherlock (?:Holmes|Watson)", " Sherlock  @1..inf", ""},
    // A common word is no better than the set.
    {"the (?:man|woman)", "the man|the woman @0..0", "the man|the woman"},
    {"(?:ab|cd)e", "abe|cde @0..0", "abe|cde"},
    {"(?:ab|cd)x", "x @2..2", "abx|cdx"},  // one rare character is cheaper to find
    {"a|b", "a|b @0..0", "a|b"},
    {"x*yz", "yz @0..inf", "x|yz"},
    {"(?:foo|bar)\\d+", "bar|foo @0..0", "bar|foo"},
    {"\\w+foo", "foo @1..inf", ""},
    {"\\d{3}-\\d{4}", "- @3..3", ""},
    {"a.{2,5}q", "q @3..6", "a"},
    // Repetitions: a fixed count is one literal, {0} nothing, a minimum a prefix.
    {"(?:ab){3}", "ababab @0..0", "ababab"},
    {"a{0}zz", "zz @0..0", "zz"},
    {"(?:xy){2,}", "xyxy @0..0", "xyxy"},
    {"(x)+y", "x @0..0", "x"},
    // A suffix of one item joined to the next item's literal, and a set
    // that follows an unbounded item.
    {"(?:\\d+a|\\d+b)cd", "acd|bcd @1..inf", ""},
    {"(?:\\d{1,3}e|\\d{1,3}t)ee", "eee|tee @1..3", ""},
    {"\\d+(?:a|b)cd", "acd|bcd @1..inf", ""},
    // Zero-width items neither consume nor break a run; lookaround contents
    // are not part of the match.
    {"\\bfoo\\b", "foo @0..0", "foo"},
    {"(?=abc)x", "x @0..0", "x"},
    {"(?<=q)zz", "zz @0..0", "zz"},
    {"(?!a)b", "b @0..0", "b"},
    {"^abc$", "abc @0..0", "abc"},
    // Nothing required.
    {"a|", "none", ""},
    {"x*", "none", ""},
    {"(?:)", "none", ""},
    {"\\w+", "none", ""},
    {"(a)\\1", "a @0..0", "a"},
    {"(\\w)\\1*b", "b @1..inf", ""},
    // Small classes are spelled out; one whole case class is one position.
    {"[ab]e", "ae|be @0..0", "ae|be"},
    {"[Kk\u212a]x", "{K}x @0..0", "{K}x"},
    {"(?i)[k]e", "K|k @0..0", "K{E}|k{E}"},
    {"[^a]x", "x @1..1", ""},
    // Mixed sensitivity within one literal.
    {"a(?i:b)c", "a{B}c @0..0", "a{B}c"},
};

INSTANTIATE_TEST_SUITE_P(Analysis, Needles, ::testing::ValuesIn(kNeedleRows));

TEST(Analysis, LongLiteralIsCut) {
  const std::string p(100, 'q');
  const Analysis an = analysis_of(p);
  ASSERT_TRUE(an.needle);
  ASSERT_EQ(an.needle->lits.size(), 1u);
  EXPECT_EQ(an.needle->lits[0].chars.size(), kMaxLitLen);
  EXPECT_EQ(an.min_len, 100u);
  EXPECT_EQ(an.max_len, 100u);
}

TEST(Analysis, DictionaryAlternationIsOneSet) {
  std::string p;
  std::mt19937 rng(7);
  std::vector<std::string> words;
  for (int i = 0; i < 2000; ++i) {
    std::string w;
    for (int j = 0; j < 12; ++j) w += char('a' + rng() % 26);
    words.push_back(w);
    p += (i ? "|" : "") + w;
  }
  const Analysis an = analysis_of(p);
  ASSERT_TRUE(an.needle);
  EXPECT_EQ(an.needle->lits.size(), 2000u);
  EXPECT_EQ(an.prefixes.size(), 2000u);
  EXPECT_TRUE(an.needle->is_prefix());
}

TEST(Analysis, WideCrossProductsAreShortened) {
  // 16^4 combinations: too many to list, so the set is cut to a prefix.
  const Analysis an = analysis_of("[a-p][a-p][a-p][a-p]z");
  ASSERT_TRUE(an.needle);
  EXPECT_LE(an.needle->lits.size(), 256u);
  for (const Literal& l : an.prefixes) EXPECT_LE(l.chars.size(), 2u);
}

struct ShapeRow {
  const char* pattern;
  uint64_t min_len;
  uint64_t max_len;
  bool regular;
  bool anchored_start;
  EndAnchor anchored_end;
};

class Shapes : public ::testing::TestWithParam<ShapeRow> {};

TEST_P(Shapes, LengthsAnchorsRegularity) {
  const ShapeRow& row = GetParam();
  const Analysis an = analysis_of(row.pattern);
  EXPECT_EQ(an.min_len, row.min_len) << row.pattern;
  EXPECT_EQ(an.max_len, row.max_len) << row.pattern;
  EXPECT_EQ(an.regular, row.regular) << row.pattern;
  EXPECT_EQ(an.anchored_start, row.anchored_start) << row.pattern;
  EXPECT_EQ(int(an.anchored_end), int(row.anchored_end)) << row.pattern;
}

constexpr uint64_t inf = kUnbounded;
constexpr EndAnchor kNone = EndAnchor::None, kText = EndAnchor::Text, kLine = EndAnchor::Line;

const ShapeRow kShapeRows[] = {
    {"abc", 3, 3, true, false, kNone},         {"a{2,5}b?", 2, 6, true, false, kNone},
    {"(?:ab|c)*", 0, inf, true, false, kNone}, {"a{0}", 0, 0, true, false, kNone},
    {"(?:a?){3}", 0, 3, false, false, kNone},  // the body can match empty
    {"(?:a|)+", 0, inf, false, false, kNone},  {"(?:\\b)*a", 1, 1, false, false, kNone},
    {"(a)\\1", 1, inf, false, false, kNone},   {"(?=a)a", 1, 1, false, false, kNone},
    {"(?<=a)b", 1, 1, false, false, kNone},    {"(?>ab)", 2, 2, false, false, kNone},
    {"a++", 1, inf, false, false, kNone},      {"\\X.", 2, 2, true, false, kNone},
    {"^a", 1, 1, true, true, kNone},           {"(?m)^a", 1, 1, true, false, kNone},
    {"\\Aa|\\Ab", 1, 1, true, true, kNone},    {"\\Aa|b", 1, 1, true, false, kNone},
    {"\\b^a", 1, 1, true, true, kNone},        {"(?:^a)+", 1, inf, true, true, kNone},
    {"(?:^a)*", 0, inf, true, false, kNone},   {"a$", 1, 1, true, false, kLine},
    {"(?m)a$", 1, 1, true, false, kNone},      {"a\\Z", 1, 1, true, false, kText},
    {"a\\Z\\b", 1, 1, true, false, kText},     {"a\\Z|b$", 1, 1, true, false, kLine},
    {"a\\Z|b", 1, 1, true, false, kNone},      {"^$", 0, 0, true, true, kLine},
};

INSTANTIATE_TEST_SUITE_P(Analysis, Shapes, ::testing::ValuesIn(kShapeRows));

TEST(CaseClass, MatchesTheMatchersEquality) {
  // Groups every code point by its full lowercase mapping (what the matcher
  // compares), then checks the class of every member of every group with
  // more than one member, and of a few that stand alone.
  std::vector<std::pair<uint64_t, char32_t>> keyed;
  for (char32_t x = 0; x <= 0x10FFFF; ++x) {
    if (x >= 0xD800 && x < 0xE000) continue;
    char32_t low[3] = {0, 0, 0};
    unicode::to_lower_full(x, low);
    keyed.emplace_back(uint64_t(low[0]) << 42 | uint64_t(low[1]) << 21 | low[2], x);
  }
  std::sort(keyed.begin(), keyed.end());
  size_t checked = 0;
  for (size_t i = 0; i < keyed.size();) {
    size_t j = i;
    std::vector<char32_t> cps;
    while (j < keyed.size() && keyed[j].first == keyed[i].first) cps.push_back(keyed[j++].second);
    i = j;
    if (cps.size() == 1) continue;
    ASSERT_LE(cps.size(), 3u);
    for (char32_t c : cps) {
      ASSERT_EQ(case_class(c), cps) << std::hex << uint32_t(c);
      ++checked;
    }
  }
  EXPECT_GT(checked, 2000u);
  for (char32_t c : {char32_t(0x17F), char32_t(0x130), char32_t(U'1'), char32_t(0x10FFFF)}) {
    EXPECT_EQ(case_class(c), std::vector<char32_t>{c}) << std::hex << uint32_t(c);
  }
  EXPECT_EQ(case_class(U'k'), (std::vector<char32_t>{U'K', U'k', 0x212A}));
  EXPECT_EQ(case_class(0x1E9E), (std::vector<char32_t>{0xDF, 0x1E9E}));
}

TEST(FirstSets, ListCodePointsAboveLatin1) {
  FirstSet f = first_set(Regex::new_with_flags("(?i:k)|\u0416", 0).value().tree());
  EXPECT_TRUE(f.lo['k'] && f.lo['K']);
  EXPECT_TRUE(f.high && !f.high_any);
  EXPECT_EQ(f.highs, (std::vector<char32_t>{0x416, 0x212A}));
  EXPECT_TRUE(f.contains(0x212A));
  EXPECT_FALSE(f.contains(0x436));
  f = first_set(Regex::new_with_flags("[\u0400-\u04ff]", 0).value().tree());
  EXPECT_TRUE(f.high_any);
  f = first_set(Regex::new_with_flags("[@]x", 0).value().tree());
  ASSERT_TRUE(f.only);
  EXPECT_EQ(*f.only, U'@');
}

TEST(FirstSets, LastSetsReadSequencesFromTheEnd) {
  FirstSet f = last_set(Regex::new_with_flags("x(?:a|\\Qbc\\E)\\b(?:d\\.){0,2}", 0).value().tree());
  EXPECT_FALSE(f.nullable);
  EXPECT_TRUE(f.lo['a'] && f.lo['c'] && f.lo['.']);
  EXPECT_FALSE(f.lo['b'] || f.lo['d'] || f.lo['x']);
  f = last_set(Regex::new_with_flags("a?(?:b|)", 0).value().tree());
  EXPECT_TRUE(f.nullable);
  EXPECT_TRUE(f.lo['a'] && f.lo['b']);
}

// ---------------------------------------------------------------------------
// Soundness: no match the matcher finds is ruled out.

const char32_t kAlphabet[] = {U'a',   U'b',  U'k', U'K', 0x212A, U's',  0x17F, U'S', 0xDF,
                              0x1E9E, U'\n', U'x', 0xE9, U'i',   0x130, U'I',  0xC9, 0x1F600};

std::string random_pattern(std::mt19937& rng, int depth) {
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  const char* atoms[] = {"a",
                         "b",
                         "k",
                         "s",
                         "x",
                         ".",
                         "[ab]",
                         "[^a]",
                         "\\w",
                         "\\b",
                         "^",
                         "$",
                         "\\A",
                         "\\Z",
                         "K",
                         "\u017f",
                         "\u00df",
                         "\u212a",
                         "\u00e9",
                         "\\n",
                         "(?i:k)",
                         "(?i:s)",
                         "(?i:\u00df)",
                         "\\Qab\\E",
                         "(?i)\\Qks\\E",
                         "[a-z]",
                         "\\X",
                         "(?m:^)",
                         "(?m:$)",
                         "\\p{L}",
                         "[^\\n]",
                         "(?s:.)",
                         "\\m",
                         "\\M",
                         "\\B",
                         "[\\x{212a}s]",
                         "(?i:\u0130)",
                         "\u0130",
                         "i"};
  if (depth <= 0 || pick(3) == 0) return atoms[pick(std::size(atoms))];
  std::string out;
  switch (pick(7)) {
    case 0: {  // sequence
      const size_t n = 2 + pick(3);
      for (size_t i = 0; i < n; ++i) out += random_pattern(rng, depth - 1);
      return out;
    }
    case 1:
      return "(?:" + random_pattern(rng, depth - 1) + "|" + random_pattern(rng, depth - 1) + ")";
    case 2: {
      const char* q[] = {"*", "+", "?", "{0}", "{2}", "{1,3}", "*?", "++", "{0,2}", "{3,}", "??"};
      return "(?:" + random_pattern(rng, depth - 1) + ")" + q[pick(std::size(q))];
    }
    case 3:
      return "(" + random_pattern(rng, depth - 1) + ")";
    case 4: {
      const char* look[] = {"(?=", "(?!", "(?<=", "(?<!", "(?>"};
      return look[pick(std::size(look))] + random_pattern(rng, depth - 1) + ")";
    }
    case 5:
      return "(?i:" + random_pattern(rng, depth - 1) + ")";
    default:
      return "(a|b)" + random_pattern(rng, depth - 1) + "\\1";
  }
}

template <class U>
std::vector<U> units(const std::u32string& s) {
  return std::vector<U>(s.begin(), s.end());
}

// Every start the prefilter's windows let the search try.
template <class U>
std::vector<bool> covered(const Prefilter& pf, const std::u32string& text) {
  const std::vector<U> t = units<U>(text);
  const size_t n = t.size();
  std::vector<bool> out(n + 1, false);
  size_t s = 0, lo = 0, hi = 0;
  while (s <= n && pf.next_window(t.data(), n, s, lo, hi)) {
    EXPECT_GE(lo, s);
    EXPECT_GE(hi, lo);
    for (size_t i = lo; i <= hi; ++i) out[i] = true;
    s = hi + 1;
  }
  return out;
}

bool lit_at(const std::u32string& t, size_t p, const Literal& l) {
  if (p + l.chars.size() > t.size()) return false;
  for (size_t j = 0; j < l.chars.size(); ++j) {
    const LitChar& c = l.chars[j];
    if (t[p + j] != c.ch && !(c.fold && chars_equal_ci(t[p + j], c.ch))) return false;
  }
  return true;
}

TEST(Soundness, RandomPatternsNeverLoseAMatch) {
  std::mt19937 rng(12345);
  int checked = 0, leads = 0, behinds = 0, runs = 0;
  for (int iter = 0; iter < 6000; ++iter) {
    const std::string pat = random_pattern(rng, 3);
    auto r = Regex::new_with_flags(pat, 0);
    if (!r.ok()) continue;
    const Regex& re = r.value();
    const Analysis an = analyze(re.tree());
    const FirstSet last = last_set(re.tree());
    std::unique_ptr<Prefilter> pf;
    if (an.needle) pf = std::make_unique<Prefilter>(*an.needle);
    for (int t = 0; t < 8; ++t) {
      std::u32string text;
      const size_t len = rng() % 14;
      for (size_t i = 0; i < len; ++i) text += kAlphabet[rng() % std::size(kAlphabet)];
      std::string utf8;
      for (char32_t c : text) append_utf8(utf8, c);
      char32_t top = 0;
      for (char32_t c : text) top = std::max(top, c);
      std::vector<bool> cov1, cov2, cov4;
      if (pf) {
        if (top < 0x100) cov1 = covered<uint8_t>(*pf, text);
        if (top < 0x10000) cov2 = covered<uint16_t>(*pf, text);
        cov4 = covered<uint32_t>(*pf, text);
      }
      // Every start at which some match begins, by the reference matcher
      // (the search loops themselves use the needle).
      State st = build_state(re.group_count(), utf8);
      for (size_t q = 0; q <= text.size(); ++q) {
        st.reset(q);
        if (!reference::try_match(re.tree(), st)) continue;
        const size_t e = st.pos;
        const std::string where = "pattern " + pat + " match at " + std::to_string(q);
        ++checked;
        EXPECT_GE(e - q, an.min_len) << where;
        EXPECT_LE(e - q, an.max_len) << where;
        if (an.anchored_start) {
          EXPECT_EQ(q, 0u) << where;
        }
        if (an.anchored_end == EndAnchor::Text) {
          EXPECT_EQ(e, text.size()) << where;
        }
        if (an.anchored_end == EndAnchor::Line) {
          EXPECT_TRUE(e == text.size() || (e + 1 == text.size() && text[e] == '\n')) << where;
        }
        if (!an.first.nullable) {
          ASSERT_LT(q, text.size()) << where;
          EXPECT_TRUE(an.first.contains(text[q])) << where;
        }
        if (e > q) {
          EXPECT_TRUE(last.contains(text[e - 1])) << where;
        } else {
          EXPECT_TRUE(last.nullable) << where;
        }
        if (an.lead != Analysis::Lead::None) {
          ++leads;
          const bool prev = q > 0 && reference::word(text[q - 1], an.lead_ascii);
          const bool cur = q < text.size() && reference::word(text[q], an.lead_ascii);
          if (an.lead == Analysis::Lead::LineStart) {
            EXPECT_TRUE(q == 0 || text[q - 1] == '\n') << where;
          } else {
            EXPECT_TRUE(an.lead == Analysis::Lead::WordBoundary ? prev != cur : !prev && cur)
                << where;
          }
        }
        if (an.run > 0) {
          ++runs;
          ASSERT_LE(q + an.run, text.size()) << where;
          for (size_t j = q; j < q + an.run; ++j) {
            EXPECT_TRUE(text[j] < 256 ? bool(an.run_lo[text[j]]) : an.run_high) << where;
          }
        }
        if (an.behind) {
          ++behinds;
          const size_t len = an.behind->chars.size();
          EXPECT_TRUE(q >= len && lit_at(text, q - len, *an.behind)) << where;
        }
        if (!an.prefixes.empty()) {
          bool any = false;
          for (const Literal& l : an.prefixes)
            any = any || (lit_at(text, q, l) && !l.exact) ||
                  (l.exact && lit_at(text, q, l) && e - q == l.chars.size());
          EXPECT_TRUE(any) << where;
        }
        if (!an.suffixes.empty()) {
          bool any = false;
          for (const Literal& l : an.suffixes) {
            any = any || (e >= l.chars.size() && lit_at(text, e - l.chars.size(), l) &&
                          (!l.exact || e - q == l.chars.size()));
          }
          EXPECT_TRUE(any) << where;
        }
        if (an.needle) {
          bool any = false;
          for (const Literal& l : an.needle->lits) {
            for (size_t p = q + an.needle->min_off; p <= e && p - q <= an.needle->max_off && !any;
                 ++p) {
              any = p + l.chars.size() <= e && lit_at(text, p, l);
            }
          }
          EXPECT_TRUE(any) << where;
          if (!cov1.empty()) {
            EXPECT_TRUE(cov1[q]) << where << " (1-byte text)";
          }
          if (!cov2.empty()) {
            EXPECT_TRUE(cov2[q]) << where << " (2-byte text)";
          }
          EXPECT_TRUE(cov4[q]) << where << " (4-byte text)";
        }
      }
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(checked, 5000);
  // The start rules of the search loop were checked too.
  EXPECT_GT(leads, 500);
  EXPECT_GT(behinds, 50);
  EXPECT_GT(runs, 500);
}

}  // namespace
}  // namespace kordal

namespace kordal {
namespace {

// ---------------------------------------------------------------------------
// The search loops with the prefilter on, over texts read in place at each
// width, against the reference matcher's leftmost-first loops.

std::string spans(const std::vector<std::pair<size_t, size_t>>& v) {
  std::string out;
  for (const auto& [a, b] : v) {
    out += std::to_string(a);
    out += '-';
    out += std::to_string(b);
    out += ' ';
  }
  return out;
}

// Every successive match (findall) and the partial match, by the reference.
std::string reference_searches(const Regex& re, const std::string& utf8) {
  State st = build_state(re.group_count(), utf8);
  std::vector<std::pair<size_t, size_t>> all;
  for (size_t next = 0; next <= st.n;) {
    bool hit = false;
    for (size_t s = next; s <= st.n && !hit; ++s) {
      st.reset(s);
      if (reference::try_match(re.tree(), st)) {
        all.emplace_back(s, st.pos);
        hit = true;
      }
    }
    if (!hit) break;
    next = all.back().second > all.back().first ? all.back().second : all.back().second + 1;
  }
  std::string out = spans(all) + "| ";
  st.partial = true;
  for (size_t s = 0; s <= st.n; ++s) {
    st.reset(s);
    if (reference::try_match_to(re.tree(), st, st.n)) {
      return out + "full " + std::to_string(s);
    }
    if (st.best_partial && st.best_partial->pos == st.n && s < st.n) {
      return out + "partial " + std::to_string(s);
    }
  }
  return out + "none";
}

template <class U>
std::string prefiltered_searches(const Regex& re, const std::u32string& text) {
  const std::vector<U> units(text.begin(), text.end());
  Text t;
  if constexpr (sizeof(U) == 1) {
    t = Text::of(units.data(), units.size());
  } else if constexpr (sizeof(U) == 2) {
    t = Text::of(units.data(), units.size());
  } else {
    t = Text::of(reinterpret_cast<const char32_t*>(units.data()), units.size());
  }
  std::vector<std::pair<size_t, size_t>> all;
  FindIter it(re, t);
  for (;;) {
    std::optional<Match> m;
    if (it.next(m) != Status::Ok) return "status";
    if (!m) break;
    all.emplace_back(m->caps[0].cstart, m->caps[0].cend);
  }
  bool any = false;
  if (re.is_match(t, any) != Status::Ok || any != !all.empty()) return "is_match disagrees";
  std::string out = spans(all) + "| ";
  std::optional<PartialMatch> pm;
  if (re.find_partial(t, pm) != Status::Ok) return "status";
  if (!pm) return out + "none";
  return out + (pm->is_full ? "full " : "partial ") + std::to_string(pm->span.cstart);
}

TEST(Search, PrefilteredSearchesAgreeWithTheReferenceAtEveryWidth) {
  std::mt19937 rng(2024);
  int compared = 0;
  for (int iter = 0; iter < 800; ++iter) {
    const std::string pat = random_pattern(rng, 3);
    auto r = Regex::new_with_flags(pat, 0);
    if (!r.ok()) continue;
    const Regex& re = r.value();
    for (int k = 0; k < 4; ++k) {
      std::u32string text;
      // Some long enough for the vector loops (16 units and more).
      const size_t len = rng() % 28;
      for (size_t i = 0; i < len; ++i) text += kAlphabet[rng() % std::size(kAlphabet)];
      std::string utf8;
      for (char32_t c : text) append_utf8(utf8, c);
      char32_t top = 0;
      for (char32_t c : text) top = std::max(top, c);
      const std::string want = reference_searches(re, utf8);
      if (top < 0x100) {
        EXPECT_EQ(prefiltered_searches<uint8_t>(re, text), want) << pat;
      }
      if (top < 0x10000) {
        EXPECT_EQ(prefiltered_searches<uint16_t>(re, text), want) << pat;
      }
      EXPECT_EQ(prefiltered_searches<uint32_t>(re, text), want) << pat;
      ++compared;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(compared, 2000);
}

// A pattern counts as flat only when no group can close twice in one match;
// a flat pattern's histories are derived from its spans, so a wrong verdict
// loses history entries. Each case: pattern, verdict, haystack, group 1's
// history length.
TEST(Analysis, FlatGroupsOnlyWhenNoGroupClosesTwice) {
  struct Case {
    const char* pattern;
    bool flat;
    const char* text;
    size_t history;
  };
  const Case cases[] = {
      {"(a)(b)?c", true, "ac", 1},          {"(?:(a)|(b))c", true, "bc", 0},
      {"(a){0,1}b", true, "ab", 1},         {"(?=(a))a", true, "a", 1},
      {"(?<=(a))b", true, "ab", 0},  // a lookbehind keeps no captures
      {"(?:(a)b)+", false, "abab", 2},      {"(a)*", false, "aaa", 3},
      {"(?:x(a)){2}", false, "xaxa", 2},    {"(?:(a)|b){1,3}", false, "aba", 2},
      {"(?P<n>a)(?P<n>b)", false, "ab", 2}, {"(?P<n>a)|(?P<n>b)", false, "b", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(analysis_of(c.pattern).flat_groups, c.flat) << c.pattern;
    const auto r = Regex::new_with_flags(c.pattern, 0);
    ASSERT_TRUE(r.ok()) << c.pattern;
    std::optional<Match> m;
    ASSERT_EQ(r.value().find(c.text, m), Status::Ok);
    ASSERT_TRUE(m.has_value()) << c.pattern;
    EXPECT_EQ(m->flat_history, c.flat) << c.pattern;
    EXPECT_EQ(m->history_size(1), c.history) << c.pattern;
    EXPECT_EQ(m->history_size(0), 1u) << c.pattern;
  }
}

}  // namespace
}  // namespace kordal
