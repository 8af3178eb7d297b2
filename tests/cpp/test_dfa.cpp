// The lazy DFA against the reference matcher: for every start position, the
// forward scan's end and the reverse scan's start must give the reference's
// leftmost-first span, the earliest scan must agree on whether any match
// exists, and the anchored scan on the match at that start. Patterns are
// generated (pairs of regular units under each flag set, and random ones),
// texts are exhaustive over small alphabets with spaces and line feeds, and
// a second set is read in place in all three code-unit widths. A tiny cache
// limit forces clears and give-ups, which must never change an answer.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "all_texts.hpp"
#include "analysis.hpp"
#include "backtracker.hpp"
#include "dfa.hpp"
#include "reference_matcher.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal {
namespace {

struct Span2 {
  bool found = false;
  size_t s = 0, e = 0;
  bool operator==(const Span2&) const = default;
};

std::string show(const Span2& x) {
  if (!x.found) return "none";
  std::string out = "(";
  out += std::to_string(x.s);
  out += ',';
  out += std::to_string(x.e);
  out += ')';
  return out;
}

Span2 ref_find(const Regex& re, State& st, size_t s0, bool anchored) {
  for (size_t s = s0; s <= st.n; ++s) {
    st.reset(s);
    if (reference::try_match(re.tree(), st)) return Span2{true, s, st.pos};
    if (anchored) break;
  }
  return {};
}

struct Tally {
  int bad = 0;
  int checked = 0;  // regular patterns the DFA accepted
  int gave_up = 0;  // scans that gave up (tiny cache)
};

// Compares every scan on one state; false on the first mismatch.
bool compare_state(const Regex& re, const Dfa& dfa, State& st, const std::string& what,
                   Tally& tally) {
  for (size_t s0 = 0; s0 <= st.n; ++s0) {
    const Span2 want = ref_find(re, st, s0, false);
    Span2 got;
    size_t e = 0, s = 0;
    Dfa::Outcome o = dfa.find_end(st, s0, false, false, e);
    if (o == Dfa::Outcome::Found) {
      o = dfa.find_start(st, s0, e, s);
      got = Span2{o == Dfa::Outcome::Found, s, e};
      if (o == Dfa::Outcome::NotFound) got = Span2{true, SIZE_MAX, e};
    }
    if (o == Dfa::Outcome::GaveUp) {
      ++tally.gave_up;
      continue;
    }
    size_t early = 0;
    const Dfa::Outcome oe = dfa.find_end(st, s0, false, true, early);
    const Span2 want_a = ref_find(re, st, s0, true);
    size_t ea = 0;
    const Dfa::Outcome oa = dfa.find_end(st, s0, true, false, ea);
    const Span2 got_a{oa == Dfa::Outcome::Found, want_a.found ? s0 : 0,
                      oa == Dfa::Outcome::Found ? ea : 0};
    const bool early_ok = oe == Dfa::Outcome::GaveUp || (oe == Dfa::Outcome::Found) == want.found;
    const bool anch_ok = oa == Dfa::Outcome::GaveUp || got_a == want_a;
    if (got != want || !early_ok || !anch_ok) {
      ADD_FAILURE() << "/" << re.pattern() << "/ flags " << re.flags() << " on " << what << " from "
                    << s0 << ": reference " << show(want) << ", dfa " << show(got)
                    << (early_ok ? "" : ", earliest disagrees") << ", anchored reference "
                    << show(want_a) << ", dfa " << show(got_a);
      ++tally.bad;
      return false;
    }
  }
  return true;
}

// Compiles `pattern`; for a regular pattern the DFA accepts, compares it on
// every text.
void check(const std::string& pattern, uint32_t flags, const std::vector<std::string>& texts,
           Tally& tally) {
  auto compiled = Regex::new_with_flags(pattern, flags);
  if (!compiled.ok()) return;
  const Regex& re = compiled.value();
  if (!analyze(re.tree()).regular) return;
  const auto dfa = Dfa::build(re.tree());
  if (!dfa) return;
  ++tally.checked;
  for (const std::string& t : texts) {
    State st = build_state(re.group_count(), t);
    std::string what = "\"";
    what += t;
    what += '"';
    if (!compare_state(re, *dfa, st, what, tally)) return;
  }
}

const std::vector<std::string>& small_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b"}, 5);
    std::vector<std::string> u = all_texts({"a", " ", "\n", "\xC3\xA9"}, 3);
    t.insert(t.end(), u.begin() + 1, u.end());
    t.push_back("A");
    t.push_back("aBAb\n");
    return t;
  }();
  return texts;
}

const uint32_t kFlagSets[] = {0, flags::MULTILINE, flags::IGNORECASE, flags::ASCII,
                              flags::DOTALL | flags::MULTILINE};

const std::vector<std::string> kUnits = {
    "a",  "b",   ".",       "[ab]", "[^a]",   "\\w",     "\\W",    "\\s", "\\b", "\\B",
    "^",  "$",   "\\A",     "\\z",  "\\m",    "\\M",     "A",      "ab",  "a|b", "(a|ab)",
    "a*", "a+?", "(?:ab)*", "a{2}", "a{1,3}", "b{0,2}?", "(a|b)+", "\\n", "é",   "(?:a|\\b)"};

TEST(Dfa, PairsOfUnitsUnderEachFlagSet) {
  Tally tally;
  for (uint32_t f : kFlagSets) {
    for (const std::string& u : kUnits) {
      check(u, f, small_texts(), tally);
      for (const std::string& v : kUnits) {
        if (tally.bad > 10) break;
        check(u + v, f, small_texts(), tally);
        if ((u.size() + v.size()) % 3 == 0)
          check("(?:" + u + "|" + v + ")+", f, small_texts(), tally);
      }
    }
  }
  EXPECT_EQ(tally.bad, 0);
  EXPECT_GT(tally.checked, 4000);
  EXPECT_EQ(tally.gave_up, 0);
}

// Random regular patterns from a small grammar.
std::string random_pattern(std::mt19937& rng, int depth) {
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  const char* const atoms[] = {"a", "b",   ".",   "[ab]", "[^b]", "\\w", "\\b", "\\B", "^",
                               "$", "\\A", "\\z", "\\m",  "\\M",  "A",   "\\n", "é",   "\\s"};
  const char* const quants[] = {"*", "+", "?", "*?", "+?", "??", "{2}", "{0,2}", "{1,3}?", "{2,}"};
  if (depth == 0 || pick(4) == 0) return atoms[pick(std::size(atoms))];
  std::string out;
  switch (pick(6)) {
    case 0:
    case 1:
      out = random_pattern(rng, depth - 1);
      out += random_pattern(rng, depth - 1);
      return out;
    case 2:
      out = random_pattern(rng, depth - 1);
      out += '|';
      out += random_pattern(rng, depth - 1);
      return out;
    case 3:
      out = "(";
      out += random_pattern(rng, depth - 1);
      out += ')';
      out += quants[pick(std::size(quants))];
      return out;
    case 4:
      out = "(?i:";
      out += random_pattern(rng, depth - 1);
      out += ')';
      return out;
    default:
      out = atoms[pick(std::size(atoms))];
      out += quants[pick(std::size(quants))];
      return out;
  }
}

TEST(Dfa, RandomPatterns) {
  std::mt19937 rng(2024);
  std::vector<std::string> texts;
  const char* const letters[] = {"a", "b", "A", " ", "\n", "\xC3\xA9", "c", "a"};
  for (int i = 0; i < 30; ++i) {
    std::string t;
    const size_t len = rng() % 14;
    for (size_t j = 0; j < len; ++j) t += letters[rng() % 8];
    texts.push_back(t);
  }
  Tally tally;
  for (int i = 0; i < 1500 && tally.bad < 10; ++i) {
    check(random_pattern(rng, 4), kFlagSets[rng() % std::size(kFlagSets)], texts, tally);
  }
  EXPECT_EQ(tally.bad, 0);
  EXPECT_GT(tally.checked, 500);
}

// Texts read in place in each width, with non-ASCII letters, digits, spaces
// and case pairs whose folding leaves ASCII (K and the Kelvin sign, s and
// the long s).
// compare_state on each text in every width that holds it.
void compare_widths(const Regex& re, const Dfa& dfa, const std::vector<std::u32string>& texts,
                    const std::string& label, Tally& tally) {
  for (const std::u32string& t : texts) {
    uint32_t top = 0;
    for (char32_t c : t) top = std::max<uint32_t>(top, c);
    std::vector<uint8_t> w1(t.begin(), t.end());
    std::vector<uint16_t> w2(t.begin(), t.end());
    std::vector<Text> views = {Text::of(t.data(), t.size())};
    if (top < 0x10000) views.push_back(Text::of(w2.data(), w2.size()));
    if (top < 0x100) views.push_back(Text::of(w1.data(), w1.size()));
    for (const Text& v : views) {
      State st = build_state(re.group_count(), v);
      compare_state(re, dfa, st, label + "width " + std::to_string(v.width), tally);
    }
  }
}

// Every pattern (the DFA must take each) against the reference on every
// text, in each width.
void check_widths(const std::vector<std::pair<std::string, uint32_t>>& patterns,
                  const std::vector<std::u32string>& texts) {
  Tally tally;
  for (const auto& [pat, f] : patterns) {
    auto compiled = Regex::new_with_flags(pat, f);
    ASSERT_TRUE(compiled.ok()) << pat;
    const Regex& re = compiled.value();
    const auto dfa = Dfa::build(re.tree());
    ASSERT_TRUE(dfa) << pat;
    ++tally.checked;
    compare_widths(re, *dfa, texts, pat + " ", tally);
  }
  EXPECT_EQ(tally.bad, 0);
}

TEST(Dfa, EveryCodeUnitWidth) {
  const std::vector<std::u32string> texts = {U"",
                                             U"k\u212Aa",
                                             U"\u017Fs S\u212A",
                                             U"Stra\u00DFe \u0416\u0436x",
                                             U"\u0661\u0662 12\n",
                                             U"\U0001F600a\U0001F600\n",
                                             U"caf\u00E9 CAF\u00C9\n\u00E9",
                                             U"x\u2028y z_\u0394\u03B4"};
  const std::vector<std::pair<std::string, uint32_t>> patterns = {
      {"k+", flags::IGNORECASE},
      {"[a-z]+", flags::IGNORECASE},
      {"\\w+", 0},
      {"\\w+", flags::ASCII},
      {"\\b\\w", 0},
      {"\\b\\w", flags::ASCII},
      {"\\d+", 0},
      {"\\s+", 0},
      {"\\p{L}+\\P{L}", 0},
      {"[\\p{Lu}\\d]+", 0},
      {"\\M.", 0},
      {"caf\u00e9", flags::IGNORECASE},
      {"stra\u00dfe|\u0436+", flags::IGNORECASE},
      {".$", 0},
      {"^.", flags::MULTILINE},
      {"[^\\W\\d]+", 0},
      {"\U0001F600.", flags::DOTALL},
  };
  check_widths(patterns, texts);
}

// States that loop on all but a few code points are scanned through to the
// next of those: runs of every length, matches that end anywhere in a run,
// code points above 255 inside runs and line feeds at the end, in each
// width (a cache keeps its loops between texts of different widths).
TEST(Dfa, LoopsScannedThroughAgree) {
  // Mostly code points the loops keep, now and then one of any kind.
  const std::u32string body = U"xyz ab\u00E9\u0416\U0001F600", any = U"\"'\nabz ";
  std::mt19937 rng(11);
  std::vector<std::u32string> texts;
  for (int i = 0; i < 24; ++i) {
    std::u32string t;
    const size_t len = 20 + rng() % 70;
    for (size_t j = 0; j < len; ++j)
      t += rng() % 6 ? body[rng() % body.size()] : any[rng() % any.size()];
    if (i % 3 == 0) t += U'\n';
    texts.push_back(t);
  }
  const std::vector<std::pair<std::string, uint32_t>> patterns = {
      {"\"[^\"]*\"", 0},       {"'[^'\n]*'", 0},
      {"[^\n]*ab[^\n]*", 0},   {"a[^\"'b]*[\"']", 0},
      {"a.*b", flags::DOTALL}, {"a[^b]*$", 0},
      {"x[^\n]*\\z", 0},       {"^[^\n]*$", flags::MULTILINE},
      {"[^ ]*\u00e9", 0},      {"a[^\u0416]*b", 0},
      {"\"[^x]*", 0},          {"k[^z]*\"", flags::IGNORECASE},
      {"\\b[^ ]*\\b", 0},      {"(?:\"[^\"]*\"|'[^']*')+", 0},
      {"a[\\x00-\\xff]*b", 0},
  };
  check_widths(patterns, texts);
}

TEST(Dfa, RefusesWhatItCannotExpress) {
  for (const char* p : {"\\X", "a{5000}b{5000}"}) {
    auto compiled = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(compiled.ok()) << p;
    EXPECT_FALSE(Dfa::build(compiled.value().tree())) << p;
  }
}

// A cache too small for the pattern's states is cleared or given up on, and
// either way no answer changes.
TEST(Dfa, TinyCacheKeepsResults) {
  const size_t saved = dfa_cache_limit();
  Tally tally;
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  for (int i = 0; i < 20; ++i) {
    std::string t;
    for (size_t j = 0, len = 10 + rng() % 30; j < len; ++j) t += "ab \n"[rng() % 4];
    texts.push_back(t);
  }
  for (size_t limit : {size_t(600), size_t(2000), size_t(8000)}) {
    set_dfa_cache_limit(limit);
    for (const char* p : {"(a|b)*a(a|b){3}", "\\b[ab]+\\b", "(?:ab|ba|a b)+$", "a.{2,5}b"}) {
      check(p, flags::MULTILINE, texts, tally);
    }
  }
  set_dfa_cache_limit(saved);
  EXPECT_EQ(tally.bad, 0);
  EXPECT_GT(tally.gave_up, 0);
}

// Scans count one step per code point: a pattern that would make the VM
// backtrack exponentially costs the DFA a bounded number per character.
TEST(Dfa, StepsAreLinear) {
  for (const char* p : {"(x+x+)+y", "(a|aa)+$", "(?:a*)*b"}) {
    auto compiled = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(compiled.ok());
    const auto dfa = Dfa::build(compiled.value().tree());
    if (!analyze(compiled.value().tree()).regular) continue;
    ASSERT_TRUE(dfa) << p;
    for (size_t n : {size_t(100), size_t(10000)}) {
      const std::string text(n, p[1] == 'x' ? 'x' : 'a');
      State st = build_state(0, text);
      size_t e = 0;
      const Dfa::Outcome o = dfa->find_end(st, 0, false, false, e);
      EXPECT_NE(o, Dfa::Outcome::GaveUp);
      EXPECT_LE(st.steps, 2 * n + 2) << p << " " << n;
    }
  }
}

// A first attempt that runs long is handed to the DFA from the same start:
// the answers (spans and groups) stay those of the VM alone, under every memo
// mode, whether the match begins at that start or later.
TEST(Selection, LongFirstAttemptHandedToTheDfa) {
  struct Case {
    const char* pattern;
    std::string text;
    std::vector<std::pair<size_t, size_t>> want;  // group spans, 0 first
  };
  const std::string xs(20000, 'x');
  const Case cases[] = {
      {".*.*=.*", "x=" + xs, {{0, 20002}}},
      {"(.*)(.*)=(.*)", "x=" + xs, {{0, 20002}, {0, 1}, {1, 1}, {2, 20002}}},
      {"(.*)(.*)=(.*);",
       xs + "\na=;",
       {{20001, 20004}, {20001, 20002}, {20002, 20002}, {20003, 20003}}},
      {"(x+x+)+=", xs + "=", {{0, 20001}, {0, 20000}}},
  };
  for (MemoMode mode : {MemoMode::Auto, MemoMode::Always, MemoMode::Never}) {
    set_memo_mode(mode);
    for (const Case& c : cases) {
      auto re = Regex::new_with_flags(c.pattern, 0);
      ASSERT_TRUE(re.ok());
      std::optional<Match> m;
      ASSERT_EQ(re.value().find(c.text, m), Status::Ok) << c.pattern;
      ASSERT_TRUE(m) << c.pattern;
      ASSERT_EQ(m->caps.size(), c.want.size()) << c.pattern;
      for (size_t g = 0; g < c.want.size(); ++g) {
        EXPECT_EQ(m->caps[g].cstart, c.want[g].first) << c.pattern << " group " << g;
        EXPECT_EQ(m->caps[g].cend, c.want[g].second) << c.pattern << " group " << g;
      }
    }
  }
  set_memo_mode(MemoMode::Auto);
}

}  // namespace
}  // namespace kordal
