// Every engine forced in turn against the reference matcher: each strategy
// must give the same answer as the tree-walking reference for is_match, find,
// match at start, full match, all successive matches and the partial search,
// on every text up to length 5 over {a, b} and up to length 3 over a mixed
// alphabet (non-ASCII, space, line feed). Patterns are generated units (with
// groups, so the VM or the one-pass matcher fills them after the DFA) and
// random regular ones; the DFA runs once more with a cache so small that it
// must give up mid-search, where the VM takes over. Patterns of the shape
// the reverse search takes (a prefix, a literal, a rest) are checked the
// same way, and its cost is counted in steps: it touches little more than
// the matches, and its guard keeps a literal that occurs everywhere linear.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "all_texts.hpp"
#include "dfa.hpp"
#include "iterators.hpp"
#include "reference_search.hpp"
#include "regex.hpp"
#include "reverse.hpp"
#include "state.hpp"
#include "strategy.hpp"

namespace kordal {
namespace {

using reference::Captures;
using reference::Mode;

// "(a,b)", appended piece by piece: operator+ chains trip a false
// -Wrestrict of GCC 12.
void put_span(std::string& out, size_t a, size_t b) {
  out += '(';
  out += std::to_string(a);
  out += ',';
  out += std::to_string(b);
  out += ')';
}

// An answer as text, for comparison and failure messages.
std::string show(const std::optional<Captures>& c) {
  if (!c) return "none";
  std::string out;
  for (size_t g = 0; g < c->caps.size(); ++g) {
    const CpSpan s = c->caps[g];
    if (s.set()) {
      put_span(out, s.start, s.end);
    } else {
      out += '-';
    }
    out += "[";
    for (const CpSpan& h : c->history[g]) put_span(out, h.start, h.end);
    out += "] ";
  }
  return out;
}

Captures captures(const Match& m) {
  Captures c;
  c.caps.resize(m.caps.size());
  c.history.resize(m.caps.size());
  for (size_t g = 0; g < m.caps.size(); ++g) {
    if (m.caps[g].set()) c.caps[g] = CpSpan{m.caps[g].cstart, m.caps[g].cend};
    const Span* h = m.history_of(g);
    for (size_t i = 0; i < m.history_size(g); ++i) {
      c.history[g].push_back(CpSpan{h[i].cstart, h[i].cend});
    }
  }
  return c;
}

std::string ref_one(const Regex& re, const std::string& text, Mode mode, size_t s0 = 0) {
  State st = build_state(re.group_count(), text);
  if (!reference::search(re.tree(), st, s0, mode)) return "none";
  return show(reference::captures_of(st));
}

std::string ref_all(const Regex& re, const std::string& text) {
  State st = build_state(re.group_count(), text);
  std::string out;
  for (size_t next = 0; next <= st.n && reference::search(re.tree(), st, next, Mode::Find);) {
    out += show(reference::captures_of(st));
    out += "| ";
    const CpSpan w = st.caps()[0];
    next = w.end > w.start ? w.end : w.end + 1;
  }
  return out;
}

std::string partial_text(const std::optional<PartialMatch>& pm) {
  if (!pm) return "none";
  std::string out = pm->is_full ? "full " : "partial ";
  for (const PartialGroup& g : pm->groups) {
    out += std::to_string(int(g.state));
    if (g.state != GroupState::None) put_span(out, g.span.cstart, g.span.cend);
    out += " ";
  }
  return out;
}

std::string engine_one(const Regex& re, const std::string& text, Mode mode) {
  std::optional<Match> m;
  const Status s = mode == Mode::Find       ? re.find(text, m)
                   : mode == Mode::Anchored ? re.match_at_start(text, m)
                                            : re.fullmatch(text, m);
  if (s != Status::Ok) return "status";
  return m ? show(captures(*m)) : "none";
}

std::string engine_all(const Regex& re, const std::string& text) {
  FindIter it(re, text);
  std::string out;
  for (;;) {
    std::optional<Match> m;
    if (it.next(m) != Status::Ok) return "status";
    if (!m) return out;
    out += show(captures(*m));
    out += "| ";
  }
}

// Compares every operation of `pattern` under the engine currently forced;
// returns the number of mismatches (at most one per text).
int compare(const std::string& pattern, const std::vector<std::string>& texts) {
  auto compiled = Regex::new_with_flags(pattern, 0);
  if (!compiled.ok()) return 0;
  const Regex& re = compiled.value();
  int bad = 0;
  for (const std::string& t : texts) {
    bool exists = false;
    const std::string ref_find = ref_one(re, t, Mode::Find);
    std::optional<PartialMatch> pm;
    State pst = build_state(re.group_count(), t);
    struct Check {
      const char* what;
      std::string want, got;
    };
    const Check checks[] = {
        {"is_match", ref_find == "none" ? "no" : "yes",
         re.is_match(t, exists) != Status::Ok ? "status"
         : exists                             ? "yes"
                                              : "no"},
        {"find", ref_find, engine_one(re, t, Mode::Find)},
        {"match_at_start", ref_one(re, t, Mode::Anchored), engine_one(re, t, Mode::Anchored)},
        {"fullmatch", ref_one(re, t, Mode::Full), engine_one(re, t, Mode::Full)},
        {"findall", ref_all(re, t), engine_all(re, t)},
        {"find_partial", partial_text(reference::search_partial(re, pst)),
         re.find_partial(t, pm) != Status::Ok ? "status" : partial_text(pm)},
    };
    for (const Check& c : checks) {
      if (c.want != c.got) {
        ADD_FAILURE() << engine_name(forced_engine()) << ": " << c.what << " of /" << pattern
                      << "/ on \"" << t << "\"\n  reference: " << c.want
                      << "\n  engine:    " << c.got;
        ++bad;
        break;
      }
    }
    if (bad > 0) return bad;
  }
  return bad;
}

const std::vector<std::string>& small_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b"}, 5);
    std::vector<std::string> u = all_texts({"a", "\xC3\xA9", "\n", " "}, 3);
    t.insert(t.end(), u.begin() + 1, u.end());
    t.push_back("bbbbbbbbab");  // more failed starts than the VM's turns
    t.push_back("ab ba\nab aab b");
    return t;
  }();
  return texts;
}

// Sets a forced engine (and a DFA cache limit) for one scope.
class Forced {
 public:
  explicit Forced(Engine e, size_t cache = 0) : saved_cache_(dfa_cache_limit()) {
    force_engine(e);
    if (cache) set_dfa_cache_limit(cache);
  }
  ~Forced() {
    force_engine(Engine::Auto);
    set_dfa_cache_limit(saved_cache_);
  }

 private:
  size_t saved_cache_;
};

struct Config {
  Engine engine;
  size_t cache;  // 0: the default
};

void PrintTo(const Config& c, std::ostream* os) {
  *os << engine_name(c.engine);
  if (c.cache) *os << ", DFA cache " << c.cache << " bytes";
}

class Strategies : public ::testing::TestWithParam<Config> {};

// Units with and without groups: literals (the literal searcher, needles),
// one-pass shapes, loops the VM skips by, anchors, and irregular ones that
// only the VM can run.
const std::vector<std::string> kUnits = {
    "ab",      "(a)(b)",    "a|b",     "(a|ab)(c|bcd)?", "a*",      "(a+)b",   "(a|b)*?b", "[ab]+$",
    "\\bab",   "^a|b$",     "(?i:A)b", "a{2,3}",         "(?:ab)+", "(a)|(b)", "é",        "\\s",
    "(.)\\1",  "(?=a)b?",   "(?<=a)b", "(?>a|ab)",       "a\\nb",   "(?m)^b",  "a.?b",     "(a*)*",
    "b{0,2}a", "(?:a|b b)", "a(?:b|)", "[ab]+ab",        "\\w+ b",  "a+ (b)"};

TEST_P(Strategies, UnitsAndPairs) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  int bad = 0;
  for (const std::string& u : kUnits) {
    bad += compare(u, small_texts());
    for (const std::string& v : kUnits) {
      if (bad > 10) break;
      if ((u.size() + v.size()) % 2 == 0) bad += compare(u + v, small_texts());
      if ((u.size() * v.size()) % 5 == 0) bad += compare("(" + u + "|" + v + ")+", small_texts());
    }
  }
  EXPECT_EQ(bad, 0);
}

std::string random_pattern(std::mt19937& rng, int depth) {
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  const char* const atoms[] = {"a", "b", ".", "[ab]", "[^b]", "\\w", "\\b",
                               "^", "$", "A", "\\n",  "é",    " ",   "ab"};
  const char* const quants[] = {"*", "+", "?", "*?", "+?", "{2}", "{0,2}", "{1,3}?"};
  if (depth == 0 || pick(4) == 0) return atoms[pick(std::size(atoms))];
  switch (pick(5)) {
    case 0:
    case 1:
      return random_pattern(rng, depth - 1) + random_pattern(rng, depth - 1);
    case 2:
      return random_pattern(rng, depth - 1) + "|" + random_pattern(rng, depth - 1);
    case 3:
      return "(" + random_pattern(rng, depth - 1) + ")" + quants[pick(std::size(quants))];
    default:
      return std::string(atoms[pick(std::size(atoms))]) + quants[pick(std::size(quants))];
  }
}

TEST_P(Strategies, RandomRegularPatterns) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(4242);
  int bad = 0;
  for (int i = 0; i < 300 && bad < 10; ++i) bad += compare(random_pattern(rng, 3), small_texts());
  EXPECT_EQ(bad, 0);
}

// Patterns that begin with a word assertion: starts found by hopping over
// word runs, a failed attempt's word run skipped, and the loops' eight-unit
// scan (long runs, a wide letter inside one). An ASCII assertion before a
// Unicode \w, or a loop that takes spaces, keeps its run from being
// skipped.
TEST_P(Strategies, WordLeads) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b", " ", "\xC3\xA9", "\xE2\x99\xAB"}, 4);
    for (const char* s : {"aaaaaaaaab aaaaaaaaab", "abababababab abababababab b",
                          "ba ba ba ba ba ba ba ba", "a a-a", "ab ba-ba",
                          "aaaaaaa\xD0\x96"
                          "aaaa aaaaaaa\xD0\x96"
                          "aaaa",
                          "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                          "b",
                          "a\xE2\x99\xAB"
                          "a \xE2\x99\xAB\xE2\x99\xAB aaaaaaaaa\xE2\x99\xAB"
                          "aaaaaaaaa"}) {
      t.push_back(s);
    }
    return t;
  }();
  const char* const patterns[] = {
      "\\b(\\w+)\\s+\\1\\b", "\\b\\w+b",       "\\m\\w+",        "\\b(\\w+) ",
      "\\b[\\w ]+b",         "\\b[^a]\\w*",    "(?a:\\b)(\\w+)", "\\b(?a:\\w)+",
      "\\b(\\w)\\w*\\1",     "\\b\\w{2}",      "\\b\\w*?b",      "\\m(?:\\w+|\xC3\xA9)",
      "(?a)\\b\\w+",         "\\b(?>\\w+)\\b", "\\b\\w++a",      "\\b([a ]+)-\\1"};
  int bad = 0;
  for (const char* p : patterns) bad += compare(p, texts);
  EXPECT_EQ(bad, 0);
}

// Patterns that are one code point test: each kind of test, over texts of
// each width with code points that fold, digits and letters of other
// scripts, astral ones and line feeds (a scan of its own under Auto).
TEST_P(Strategies, OneCodePoint) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "K", "\n", "\xC3\xA9", "\xD0\xB0"}, 3);
    for (const char* s : {"x@y#z\xE2\x84\xAA k \xC5\xBF s S 9\xD9\xA3",
                          "\xF0\x9F\x98\x80"
                          "a\xF0\x9D\x90\x80\xD0\x96\xD0\xB6 \xEF\xBC\x93\n",
                          "\xE4\xB8\xAD\xE6\x96\x87, \xC3\x80\xC3\xA0 1234 \xD0\xBE\xD0\xB5"}) {
      t.push_back(s);
    }
    return t;
  }();
  const char* const patterns[] = {
      "\\p{Lu}", "\\P{L}", ".", "(?s).", "(?i)k", "(?i)s", "[@#]", "[@#$z]", "[@#$zy]", "[a-f]",
      "\\d", "\\W", "[^\\n]", "[\xD0\xB0-\xD1\x8F]",
      "[\xD0\xB0\xD0\xB5\xD0\xBE"
      "a]",
      "(?a)\\w", "[^a\xD0\xB0]", "\xC3\xA9", "(?i)\xC3\xA9", "\\p{Han}",
      // Every code point from one up: a range scan.
      "[^\\x00-\\x7F]+", "[^\\x00-\\xE8] ?\\w", "[\\x{100}-\\x{10FFFF}]{2}"};
  int bad = 0;
  for (const char* p : patterns) bad += compare(p, texts);
  EXPECT_EQ(bad, 0);
}

// Sets of every code point from one up, found by a range scan: long
// stretches of ASCII with a few code points of each width between them.
TEST_P(Strategies, HighRanges) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(43);
  const char* const rare[] = {"\xC3\xA9", "\xC3\xBF", "\xD0\xB6", "\xF0\x9F\x98\x80", "\xC4\x80"};
  std::vector<std::string> texts;
  for (int i = 0; i < 8; ++i) {
    std::string t;
    while (t.size() < 2000) {
      t += rng() % 40 ? "plain words " : rare[rng() % 5];
      if (rng() % 60 == 0) t += rare[rng() % 5];
    }
    texts.push_back(t);
  }
  int bad = 0;
  for (const char* p : {"[^\\x00-\\x7F]+", "[^\\x00-\\xE8] ?\\w", "[\\x{100}-\\x{10FFFF}]{1,2}"}) {
    bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Patterns whose first code point is one test that tells code points above
// 255 apart, which the scans for a start apply to wide texts: Cyrillic and
// Greek of both cases, astral letters, and leads that consume nothing.
TEST_P(Strategies, FirstCodePointTests) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(47);
  const char* const pieces[] = {"\xD0\x96",         "\xD0\xB6", "\xCE\xA3", "\xCF\x83", " ",
                                "\xF0\x9D\x90\x80", "a",        "B",        "\xC3\x89", "\n"};
  std::vector<std::string> texts;
  for (int i = 0; i < 8; ++i) {
    std::string t;
    const size_t len = 50 + rng() % 1500;
    while (t.size() < len) t += pieces[rng() % (i % 2 ? 10 : 5)];
    texts.push_back(t);
  }
  int bad = 0;
  for (const char* p : {"\\p{Lu}\\p{Ll}+", "(?:\\p{Lu})+ ?\\w", "\\b[\\x{410}-\\x{42F}]\\w*",
                        "(?=\\w)\\p{Lu}{2}", "(\\p{Ll})\\1", "(?i)\\x{416}\\s"}) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Strings that are case-insensitive in places, whose needle finds their
// matches: case classes with members above 255 (K and the Kelvin sign, s
// and the long s), and texts long enough for the vector scans.
TEST_P(Strategies, CaseInsensitiveStrings) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::vector<std::string> texts = all_texts({"s", "K", "\xC5\xBF", "k"}, 3);
  std::string words;
  for (int i = 0; i < 40; ++i) {
    words += i % 7 == 0   ? "THE \xE2\x84\xAAS tHe "
             : i % 5 == 0 ? "\xC3\x89t\xC3\xA9 sK "
                          : "other ";
  }
  texts.push_back(words);
  texts.push_back("ask \xE2\x84\xAA SK sk\xC5\xBF \xC3\x89T\xC3\xA9 THE the tHe");
  int bad = 0;
  for (const char* p : {"(?i)sk", "(?i)ks", "(?i)the", "(?i)\xC3\xA9t\xC3\xA9", "(?i)s(?-i)k",
                        "(?i)kkk", "(?i)t(?:)he", "(?i:th)e", "(?i)the "}) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Shapes where a search that starts from a literal inside or at the end of
// the match, rather than from the match start, would go wrong.
TEST_P(Strategies, InnerAndSuffixLiterals) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  struct Case {
    const char* pattern;
    const char* text;
    size_t start, end;
  };
  const Case cases[] = {
      {"(?:(\\d+)[:.])?(\\d{1,2})[:.](\\d{2})", "888:77:66", 0, 9},
      {"a|.aa", "-#aa", 1, 4},
      {"[a-z]+ing", "a bring things", 2, 7},
      {"x..c|ac", "xacc", 0, 4},
      {"\\w+@\\w+\\.com", "me@x ab@cd.com", 5, 14},
      {"[^\\n]*ab[^\\n]*", "xy\nx ab b\n", 3, 9},
      {"[ab]*ab[ab]*c", "aabab abc", 6, 9},
      // Not one class repeated: the prefix of the match at 0 ends at 4 but
      // not at 2, where another match starts at 1.
      {"(?:a|bb)+ba", "bbbbaba", 0, 7},
  };
  for (const Case& k : cases) {
    auto re = Regex::new_with_flags(k.pattern, 0);
    ASSERT_TRUE(re.ok()) << k.pattern;
    std::optional<Match> m;
    ASSERT_EQ(re.value().find(k.text, m), Status::Ok);
    ASSERT_TRUE(m) << k.pattern;
    EXPECT_EQ(m->caps[0].cstart, k.start) << engine_name(c.engine) << " " << k.pattern;
    EXPECT_EQ(m->caps[0].cend, k.end) << engine_name(c.engine) << " " << k.pattern;
    EXPECT_EQ(compare(k.pattern, {k.text}), 0);
  }
}

// The reverse search passes over an occurrence whose next unit begins no
// match of the rest: rests of one class, of several, of a literal, and
// occurrences at the end of the text, in long texts of near misses.
TEST_P(Strategies, ReverseRests) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(53);
  const char* const pieces[] = {"ab", "Cd", " ", ".", "@", "7", "b.", " E", "x@y.z", "\xC3\x89"};
  std::vector<std::string> texts;
  for (int i = 0; i < 10; ++i) {
    std::string t;
    const size_t len = 100 + rng() % 900;
    while (t.size() < len) t += pieces[rng() % 10];
    texts.push_back(t);
    texts.push_back(t + " ");  // an occurrence that ends the text
  }
  int bad = 0;
  for (const char* p : {"\\w+ [A-Z]\\w*", "[a-z]+@[a-z]+\\.[a-z]+", "\\d+\\.[ab]", "[a-z]+ (?:C|E)",
                        "\\w+\\.\\w", "[a-d]+ \\p{Lu}"}) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// A prefix, a literal and a rest, each from a list that mixes the shapes
// the reverse search accepts (a prefix that cannot hold the literal's first
// character; a repeated class that holds all of the literal, before any
// rest) with near misses (optional parts, bounded loops, classes that
// overlap the literal, assertions).
TEST_P(Strategies, PrefixLiteralRest) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  const char* const prefixes[] = {"[ab]+",    "\\w+",  "[a ]*",    "(a|b)+", "[^ ]+",  "b+?",
                                  "\\b[ab]+", "(b)?a", "[ab]{2,}", "a{1,2}", "\\w* ?", "[ab]{1,2}"};
  const char* const lits[] = {"a", "ab", " a", "b ", "\\n"};
  const char* const rests[] = {"", "b", "[ab]+", " ?b", "$", "(a|b)*?\\b", ".*a"};
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b", " "}, 5);
    t.push_back("ab ab\nba aab abab b");
    t.push_back("bbbbbbbbbbbbbbbbab a");
    return t;
  }();
  int bad = 0;
  for (const char* p : prefixes) {
    for (const char* l : lits) {
      for (const char* r : rests) {
        if (bad > 10) break;
        bad += compare(std::string(p) + l + r, texts);
      }
    }
  }
  EXPECT_EQ(bad, 0);
}

// A literal inside a counted repetition, found once the repetition is
// split into its first iteration and the rest: shapes the reverse search
// takes that way (nested, lazy, with groups, the literal run longer than
// one), and near misses it must refuse or that are not regular (a body that
// can hold the literal's first character, a count that may run no time, a
// body that can match empty, a literal in one alternative only).
const char* const kCounted[] = {
    "(?:a+\\.){2}a",          "(?:ab?\\.){1,3}b",      "(?:(?:b[ab]|a)\\.){3}(?:b[ab]|a)",
    "(?:(?:a+\\.){2}b){1,2}", "(?:(?:a\\.){2}b){1,2}", "(?:(?:[ab]b){2}\\.)+",
    "(?:a+\\.){1,3}?b",       "(?:a\\.b){2,}?",        "(a+\\.){2}(b)",
    "((a)\\.){2,3}",          "(?:[ab]\\.\\.){2}",     "(?:\\ba+\\.){2}",
    "(?:a+\\.){2}$",          "(?:b\\.|a){2}",         "(?:[a.]+\\.){2}a",
    "(?:a\\.){0,2}\\.b",      "(?:a?\\.?){2}b",        "(?:a*|b\\.){2}",
    "b(?:a+\\.){2}",          "(?:[a\u0101]+\\.){2}a"};

TEST_P(Strategies, CountedRepetitions) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b", "."}, 6);
    t.push_back("ab.a.b..a.a.a.b.ba.a.a");
    t.push_back("a.b.bb.a.ab.aa.aaa.b");
    for (const char* u : {"a\u0101.a.a", "\u0101.\u0101.a.a", "a.\u0101.a", "\u0101a.a.ab"}) {
      t.push_back(u);
    }
    return t;
  }();
  int bad = 0;
  for (const char* p : kCounted) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// The reverse search takes the shapes it can (else the forced runs above
// would check the forward search twice) and refuses the near misses.
TEST(ReversePlan, CountedShapes) {
  const std::pair<const char*, bool> cases[] = {
      {"(?:a+\\.){2}a", true},        {"(?:ab?\\.){1,3}b", true}, {"(?:(?:a+\\.){2}b){1,2}", true},
      {"(?:(?:[ab]b){2}\\.)+", true}, {"(?:a+\\.){1,3}?b", true}, {"(a+\\.){2}(b)", true},
      {"(?:\\d+\\.){3}\\d+", true},   {"(?:b\\.|a){2}", false},   {"(?:[a.]+\\.){2}a", true},
      {"(?:a\\.){0,2}\\.b", false},   {"(?:a?\\.?){2}b", false},  {"(?:a*|b\\.){2}", false},
      {"(?:a\\.)*a", false},
  };
  for (const auto& [pattern, taken] : cases) {
    auto re = Regex::new_with_flags(pattern, 0);
    ASSERT_TRUE(re.ok()) << pattern;
    const Analysis an = analyze(re.value().tree());
    const bool prefix = an.needle && an.needle->is_prefix();
    EXPECT_EQ(ReverseSearch::plan(re.value().tree(), an, prefix) != nullptr, taken) << pattern;
  }
}

// Patterns whose matches all end at the end of the text, or before a final
// line feed, where both ends can match from one start, and near misses.
TEST_P(Strategies, EndAnchored) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  const char* const patterns[] = {"(a|aa)+$",      "(\\w+\\s?)+$", "a*$",          "(a|ab)(b*)$",
                                  "a\\Z",          "(?:a|b\\n?)$", "(a|a\\n)$",    "(?:a\\n|a)$",
                                  "(?:a|a\\n)$",   "a\\n??$",      "a\\n?$",       "^a+$",
                                  "(a+)+$|b",      "(?m)a$",       "\\b\\w$",      "a(?=b)|b$",
                                  "(?:(a)|b)+\\z", "[^a]*$",       "(a\\n)?\\n?$", "a$|b\\Z"};
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b", "\n", " "}, 5);
    t.push_back("aaaaaaaaab");
    t.push_back("aaaa aaaa\n");
    return t;
  }();
  int bad = 0;
  for (const char* p : patterns) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// A rare suffix set that does not occur ends the search: its patterns,
// and near misses whose suffix is common or absent.
TEST_P(Strategies, RareSuffixes) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  const char* const patterns[] = {"(a+)+b",    "(a|b)+ba", "a\\w*(b|ab)", "(a+)+(?:bb|ab)",
                                  "(?i)a+(B)", "a+b(?=a)", "a+(?<=a)b",   "(a)+\\1b",
                                  "a[ab]*b?",  "a.*\\bb",  "a+(?:b|\\n)"};
  int bad = 0;
  for (const char* p : patterns) {
    if (bad < 10) bad += compare(p, small_texts());
  }
  EXPECT_EQ(bad, 0);
}

// Start characters so dense that the DFA stops skipping to them part way
// through a long text (after its probe of skips), with matches before,
// across and after that point. (Rare letters, so that the analysis has the
// DFA skip to them at all.)
TEST_P(Strategies, DenseStartsLongTexts) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(11);
  std::vector<std::string> texts;
  for (const char* filler : {"qz x", "z q "}) {
    std::string t;
    for (int i = 0; i < 200; ++i) t += filler;
    texts.push_back(t + "qqzzqz" + t.substr(0, 300) + "qzqz");
    for (char& ch : t) ch = "qz x"[rng() % 4];
    texts.push_back(t);
  }
  std::string sparse(600, ' ');
  for (size_t i = 0; i < sparse.size(); i += 37) sparse[i] = 'q';
  texts.push_back(sparse + "qzqz" + sparse);
  int bad = 0;
  // Runs whose positions take narrower sets than the whole run (probes).
  for (const char* p : {"[qz]{4,}", "q[qz]z(?:q|x)", "(?:qz|zq){2}", "[qz]+ ?x", "[qz]{3}x{2}",
                        "[qz ]{2}z[qx]", "[qz]{2}(?:q|x)[z ]"}) {
    bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Steps (State::steps) a find-all costs.
uint64_t findall_steps(const Regex& re, const std::string& text, std::string& spans) {
  std::unique_ptr<State> st = re.build_state(text);
  st->steps = 0;
  for (size_t next = 0; next <= st->n;) {
    bool found = false;
    EXPECT_EQ(re.find_from(*st, next, found, {}), Status::Ok);
    if (!found) break;
    const CpSpan w = st->caps()[0];
    put_span(spans, w.start, w.end);
    next = w.end > w.start ? w.end : w.end + 1;
  }
  return st->steps;
}

// Patterns whose matches end at line ends, with and without line feeds
// inside them, empty matches, groups, and code points above 255.
TEST_P(Strategies, LineEnds) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::vector<std::string> texts = small_texts();
  texts.push_back("a \nb a\n\na  \n a\xC3\xA9\nab");
  texts.push_back(" b\n\nab a\nba  ");
  texts.push_back("a\n\n\na \n \nb\n\n");
  texts.push_back("\n\na\n a\n\n ");
  int bad = 0;
  for (const char* p :
       {"(?m)[ a]+$",    "(?m)\\w+$",    "(?m)a$",        "(?m)(a|b )+$",  "(?m)[^\\n]*a$",
        "(?m)a*$",       "(?m)\u00e9+$", "(?m)(?:a$|b$)", "(?m)a$\\b",     "(?m)(a)(b?)$",
        "(?m)a\\Z",      "(?m)[ab]{2}$", "(?m)\\ba$",     "(?m)(?:ab|a)$", "(?m)\\s+$",
        "(?m)a$|b",      "(?m) $",       "(?m)[^a]$",     "(?m)(a\\n)+$",  "(?m)[a\\n]+$",
        "(?m)a\\n\\s*$", "(?m)\\n$",     "(?m)\\s*\\n$"}) {
    bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Line windows read the few lines whose last code point can end a match,
// also where a match may hold line feeds.
TEST(Strategy, LineWindowsReadFewLines) {
  std::string text, want;
  for (int i = 0; i < 20000; ++i) {
    text += "a line of text, as lines go";
    if (i % 1000 == 500) {
      put_span(want, text.size(), text.size() + 2);
      text += " \t";
    }
    text += '\n';
  }
  text.pop_back();  // else `\s+$` matches the last line feed
  for (const char* p : {"(?m)[ \t]+$", "(?m)\\s+$"}) {
    auto re = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(re.ok());
    std::string spans;
    EXPECT_LT(findall_steps(re.value(), text, spans), text.size() / 8) << p;
    EXPECT_EQ(spans, want) << p;
  }
}

// Patterns that start lines: the DFA's skip to line starts, and a rare
// needle's windows weighed against the line starts, with matches that
// cross lines and lines that begin with the needle.
TEST_P(Strategies, LineStarts) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(41);
  const char* const pieces[] = {"ab", "a:", "\n", ":b", " ", "b,a", "\n:", "a\n"};
  std::vector<std::string> texts = small_texts();
  for (int i = 0; i < 10; ++i) {
    std::string t;
    const size_t len = 100 + rng() % 3000;
    while (t.size() < len) t += pieces[rng() % (i % 2 ? 8 : 6)];
    texts.push_back(t);
  }
  int bad = 0;
  for (const char* p : {"(?m)^\\w+:", "(?m)^[ab]\\w*,", "(?m)^(?:ab|b)\\s*:", "(?m)^a[^:]*:",
                        "(?m)^(a|b)+\\n?:", "(?m)^:", "(?m)^\\w*:"}) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// Line starts are skipped to, and a rare needle's windows pass over the
// lines without it.
TEST(Strategy, LineStartsReadFewUnits) {
  std::string text, want_colon, want_comma;
  for (int i = 0; i < 20000; ++i) {
    if (i % 1000 == 500) {
      put_span(want_colon, text.size(), text.size() + 5);
      text += "note: ";
    }
    if (i % 1000 == 700) {
      put_span(want_comma, text.size(), text.size() + 5);
      text += "Anne, ";
    }
    text += "a line of text, as lines go\n";
  }
  for (const auto& [p, want] :
       {std::pair{"(?m)^\\w+:", want_colon}, std::pair{"(?m)^[A-Z]\\w*,", want_comma}}) {
    auto re = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(re.ok());
    std::string spans;
    EXPECT_LT(findall_steps(re.value(), text, spans), text.size() / 8) << p;
    EXPECT_EQ(spans, want) << p;
  }
}

// A needle that may lie anywhere past the match start, in texts where it
// is dense in stretches and absent in others: the walk's remembered
// occurrence, and its probes ahead, both find one and miss.
TEST_P(Strategies, FarNeedles) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(31);
  const char* const dense[] = {";", "ab", "a", "\n", " ", "b;a", "a;\n"};
  const char* const sparse[] = {"a", "aaaaaaaaaaaaaaaaaaaaaaaa", "\n", " b", "ab\n"};
  std::vector<std::string> texts;
  for (int i = 0; i < 12; ++i) {
    std::string t;
    const size_t len = 300 + rng() % 1500;
    while (t.size() < len) {
      const bool thick = rng() % 2 == 0;
      const size_t stretch = t.size() + rng() % 600;
      while (t.size() < stretch) t += thick ? dense[rng() % 7] : sparse[rng() % 5];
    }
    texts.push_back(t);
  }
  int bad = 0;
  for (const char* p : {"(?m)^(a+);([^;]*);", "(?m)^a[^\\n]*;", "(?m)^(b|a )a*;", "\\n(a*);"}) {
    if (bad < 10) bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// A frequent needle that may lie anywhere past the match start costs a
// walk few scans: one found well ahead admits every start before it.
TEST(Strategy, FarNeedleScansAreFew) {
  auto re = Regex::new_with_flags("(?m)^([0-9A-F]+);([^;]*);", 0);
  ASSERT_TRUE(re.ok());
  std::string text, want;
  for (int i = 0; i < 2000; ++i) {
    put_span(want, text.size(), text.size() + 10);
    text += "00A1;name;Lu;0;L;;;;;N;;;;\n";
  }
  std::unique_ptr<State> st = re.value().build_state(text);
  std::string spans;
  for (size_t next = 0;;) {
    bool found = false;
    ASSERT_EQ(re.value().find_from(*st, next, found, {}), Status::Ok);
    if (!found) break;
    put_span(spans, st->caps()[0].start, st->caps()[0].end);
    next = st->caps()[0].end;
  }
  EXPECT_EQ(spans, want);
  EXPECT_LT(st->reach.scans, 2000u / 16);
}

// A window's least start mostly begins its match: the match is read once
// forward from there, not again backwards for its start. Long matches,
// each its needle's only occurrence, far enough apart that the windows
// stay cheaper than the reverse search, cost about their length each.
TEST(Strategy, WindowMatchesAreReadOnce) {
  auto re = Regex::new_with_flags("https?://[^\\s]+", 0);
  ASSERT_TRUE(re.ok());
  const std::string path(200, 'p');
  std::string filler;
  for (int i = 0; i < 300; ++i) filler += "word ";
  std::string text, want;
  for (int i = 0; i < 500; ++i) {
    text += filler;
    put_span(want, text.size(), text.size() + 8 + path.size());
    text += "https://" + path + " here\n";
  }
  std::string spans;
  const uint64_t steps = findall_steps(re.value(), text, spans);
  EXPECT_EQ(spans, want);
  EXPECT_LT(steps, 500 * (path.size() * 3 / 2));
}

// Short patterns with a prefix needle, whose suffixes are looked for near
// each occurrence: texts with the needle often, with and without a suffix
// in reach, the suffix inside the needle, the text ending within reach.
TEST_P(Strategies, SuffixesNearNeedles) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::mt19937 rng(77);
  const char* const pieces[] = {"Holmes", "Watson", "ab", "b", " ", "xyz", "\n", "Wat"};
  std::vector<std::string> texts = small_texts();
  for (int i = 0; i < 24; ++i) {
    std::string t;
    const size_t len = 20 + rng() % 400;
    while (t.size() < len) t += pieces[rng() % std::size(pieces)];
    texts.push_back(t);
  }
  int bad = 0;
  for (const char* p :
       {"Holmes.{0,25}Watson|Watson.{0,25}Holmes", "Holmes.{0,9}(Wat|b)",
        "(Hol|Wat)[a-z ]{1,8}(son|b)", "ab.{0,3}b", "Holmes ?(xyz)?", "Wats(on)?.{2}s"}) {
    bad += compare(p, texts);
  }
  EXPECT_EQ(bad, 0);
}

// An occurrence of the needle with none of the suffixes within the
// pattern's length costs the DFA no walk: its steps are nearly all skips.
TEST(Strategy, NeedleWithoutSuffixNearCostsNoWalk) {
  auto re = Regex::new_with_flags("Holmes.{0,25}Watson|Watson.{0,25}Holmes", 0);
  ASSERT_TRUE(re.ok());
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "Holmes said so, and the inspector agreed. ";
  const size_t at = text.size();
  text += "Holmes met Watson.";
  std::unique_ptr<State> st = re.value().build_state(text);
  bool found = false;
  ASSERT_EQ(re.value().find_from(*st, 0, found, {}), Status::Ok);
  ASSERT_TRUE(found);
  EXPECT_EQ(st->caps()[0].start, at);
  EXPECT_LT(st->steps - st->skipped, 2000u);
}

// A burst of short skips (to needle occurrences, or to a first character)
// makes the DFA stop skipping; the skips come back after a stretch, so the
// long text after the burst is passed over, not stepped through.
TEST(Strategy, DfaSkipsAgainAfterABurstOfNeedles) {
  const std::pair<const char*, const char*> cases[] = {
      {"Holmes.{0,25}Watson|Watson.{0,25}Holmes", "Holmes was here, said the inspector, at last. "},
      {"H[a-z]+s.{0,9}W[a-z]+n", "Ha "}};
  for (const auto& [p, near] : cases) {
    auto re = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(re.ok());
    std::string text;
    for (int i = 0; i < 200; ++i) text += near;
    const size_t burst = text.size();
    for (int i = 0; i < 20000; ++i) text += "a clue. ";
    text += "Holmes met Watson.";
    std::unique_ptr<State> st = re.value().build_state(text);
    bool found = false;
    ASSERT_EQ(re.value().find_from(*st, 0, found, {}), Status::Ok);
    ASSERT_TRUE(found) << p;
    EXPECT_EQ(st->caps()[0].end, text.size() - 1) << p;
    EXPECT_GT(st->skipped, (text.size() - burst) * 9 / 10) << p;
  }
}

// A pattern whose needle is rarer than the reverse search's literal by the
// frequency table starts from the needle's windows; where the needle is on
// every line after all, the walk turns to the reverse search, which reads
// each line about once where the windows read it three times.
TEST(Strategy, DenseNeedleTurnsToTheReverseSearch) {
  const char* p = "(?m)^([0-9A-F]+);([^;]*);([^;]*);[^;]*;([YN]);([^;]*)$";
  auto re = Regex::new_with_flags(p, 0);
  ASSERT_TRUE(re.ok());
  std::string text, want;
  for (int i = 0; i < 3000; ++i) {
    if (i > 0) text += '\n';
    const std::string line = "00" + std::to_string(10 + i % 90) + ";LETTER NUMBER " +
                             std::to_string(i) + ";Lu;0;N;" + std::string(i % 7, 'x');
    put_span(want, text.size(), text.size() + line.size());
    text += line;
  }
  std::string spans;
  const uint64_t steps = findall_steps(re.value(), text, spans);
  EXPECT_EQ(spans, want);
  EXPECT_LT(steps, 2 * text.size());
}

struct CostCase {
  const char* pattern;
  std::string filler;  // repeated to lengthen the text
  std::string tail;    // ends the text
  const char* spans;   // the matches in the text with one filler
};

void PrintTo(const CostCase& c, std::ostream* os) {
  *os << c.pattern;
}

class ReverseCost : public ::testing::TestWithParam<CostCase> {};

// Far from a match, the reverse search reads only the literal scan's text,
// which costs no steps: a forward scan would cost one per code point.
TEST_P(ReverseCost, FewStepsAwayFromMatches) {
  const CostCase& c = GetParam();
  auto re = Regex::new_with_flags(c.pattern, 0);
  ASSERT_TRUE(re.ok());
  std::string text;
  for (int i = 0; i < 20000; ++i) text += c.filler;
  std::string spans;
  const uint64_t steps = findall_steps(re.value(), text + c.tail, spans);
  EXPECT_LT(steps, 2000u) << c.pattern;
  std::string one;
  findall_steps(re.value(), c.filler + c.tail, one);
  EXPECT_EQ(one, c.spans) << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ReverseCost,
    ::testing::Values(CostCase{"[\\w.+-]+@[\\w.-]+\\.[\\w.-]+", "word, ", "x a.b@c.d", "(8,15)"},
                      CostCase{"[a-z]+ing", "word ", "king", "(5,9)"},
                      CostCase{"\\w+://[^ ]+", "a: b/ ", "x://y", "(6,11)"},
                      CostCase{"(?:\\d+\\.){3}\\d+", "1 word. ", "1.2.3.4", "(8,15)"},
                      CostCase{"[^\\n]*Holmes[^\\n]*", "a line\n", "the Holmes way\n", "(7,21)"},
                      // The reverse search does not take this one (its
                      // prefix can hold the literal): the prefixes bound
                      // the forward scans.
                      CostCase{"\\w+\\s+Holmes", "word, ", "x  Holmes", "(6,15)"},
                      // Nor this one: its literal, the first `;`, is far
                      // commoner than the needle `;Lu;`.
                      CostCase{"[0-9A-F]+;[^;]*;Lu;", "0041;NAME;Ll;0;L;;;;\n", "0042;B;Lu;",
                               "(21,31)"}));

// Searches that a pattern's end anchor or rare suffix settle at once: a
// failed find of a nested loop costs a few steps (or none), not one VM
// attempt per start; an anchored match costs its own length.
TEST(AnchorAndSuffixCost, FewSteps) {
  struct Case {
    const char* pattern;
    std::string text;
    uint64_t most;
    const char* spans;
  };
  const std::string as(20000, 'a');
  const Case cases[] = {
      {"(a|aa)+$", as + "b", 4, ""},
      {"(\\w+\\s?)+$", as + "!", 4, ""},
      {"(a+)+b", as, 0, ""},
      {"(a+)+(?:bb|ab)", as, 0, ""},
      {"\\w+$", "x " + as + " abc", 8, "(20003,20006)"},
      {"\\w+$", "x " + as + " abc\n", 16, "(20003,20006)"},
  };
  for (const Case& k : cases) {
    auto re = Regex::new_with_flags(k.pattern, 0);
    ASSERT_TRUE(re.ok()) << k.pattern;
    std::string spans;
    EXPECT_LE(findall_steps(re.value(), k.text, spans), k.most) << k.pattern;
    EXPECT_EQ(spans, k.spans) << k.pattern;
  }
}

// A greedy loop gives back, in one backward scan, to where the test the
// rest begins with holds: a failed give-back costs a step per 16 code
// points, not several per code point.
TEST(GiveBackCost, ToWhereTheRestCanStart) {
  Forced f(Engine::Vm);
  std::string abc;
  for (int i = 0; i < 3000; ++i) abc += "abc";
  const struct {
    const char* pattern;
    std::string text;
    const char* spans;
  } cases[] = {
      {"\\w*\\d", abc + " ", ""},
      {"\\w*\\d", abc + "1 ", "(0,9001)"},
      {"[a-c]*[^a-c]x", abc + "x", ""},
      {"(?:[a-c]*)(?:[^a-c]+)y", abc + "xx", ""},
  };
  for (const auto& k : cases) {
    auto re = Regex::new_with_flags(k.pattern, 0);
    ASSERT_TRUE(re.ok()) << k.pattern;
    std::string spans;
    EXPECT_LE(findall_steps(re.value(), k.text, spans), 2000u) << k.pattern;
    EXPECT_EQ(spans, k.spans) << k.pattern;
  }
}

// An anchored attempt that runs long is handed to the automata: its cost
// is the VM's budget plus their scans, whether or not it matches, where the
// VM alone takes several steps per code point.
TEST(AnchoredCost, LongAttemptsGoToTheAutomata) {
  auto re = Regex::new_with_flags(".*.*=.*", 0);
  ASSERT_TRUE(re.ok());
  const std::string body = "x=" + std::string(20000, 'x');
  struct Case {
    std::string text;
    Regex::Anchor anchor;
    bool found;
  };
  const Case cases[] = {{body, Regex::Anchor::Start, true},
                        {body + "\n", Regex::Anchor::Start, true},
                        {body, Regex::Anchor::Full, true},
                        {body + "\n", Regex::Anchor::Full, false},
                        {std::string(20001, 'x') + "\n=", Regex::Anchor::Full, false}};
  for (const Case& c : cases) {
    uint64_t steps[2] = {0, 0};
    for (int vm = 0; vm < 2; ++vm) {
      Forced f(vm ? Engine::Vm : Engine::Auto);
      std::unique_ptr<State> st = re.value().build_state(c.text);
      st->steps = 0;
      bool found = false;
      ASSERT_EQ(re.value().search_state(*st, 0, c.anchor, false, found, {}), Status::Ok);
      EXPECT_EQ(found, c.found) << c.text.size() << (vm ? " vm" : "");
      if (found) {
        EXPECT_EQ(st->caps()[0].end, body.size());
      }
      steps[vm] = st->steps;
    }
    EXPECT_LE(steps[0], 2 * body.size()) << c.text.size() << " " << int(c.anchor);
    EXPECT_LT(4 * steps[0], steps[1]) << c.text.size() << " " << int(c.anchor);
  }
}

// A literal that occurs everywhere, with a rest that fails late, would make
// each candidate rescan the text after it; the guard hands the search to the
// forward scan, so doubling the text at most doubles the steps.
TEST(ReverseCost, DenseLiteralStaysLinear) {
  const std::pair<const char*, const char*> cases[] = {
      {"[a-z]+@.*x", "a@"},          {"\\w+:[^x]*x", "a:"},   {"[ab]{3,}ab", "ab"},
      {"(?:[a-z]+\\.){2}.*x", "a."}, {"\\w+\\s+ab", "b.ab "}, {"\\w+ \\w+ ab", "a ab "}};
  for (const auto& [p, filler] : cases) {
    auto re = Regex::new_with_flags(p, 0);
    ASSERT_TRUE(re.ok());
    uint64_t prev = 0;
    for (size_t n : {4000, 8000, 16000}) {
      std::string text;
      for (size_t i = 0; i < n; ++i) text += filler;
      std::string spans;
      const uint64_t steps = findall_steps(re.value(), text, spans);
      if (prev) {
        EXPECT_LE(double(steps), 2.2 * double(prev) + 20000) << p << " at " << n;
      }
      prev = steps;
    }
  }
}

// A find and an is_match of pattern p in `text` whose poll hook stops the
// search at its first poll: both must poll, once.
void expect_stopped_at_first_poll(const char* p, const std::string& text) {
  struct Counter {
    int polls = 0;
    static bool stop(void* self) {
      ++static_cast<Counter*>(self)->polls;
      return true;
    }
  };
  auto re = Regex::new_with_flags(p, 0);
  ASSERT_TRUE(re.ok()) << p;
  for (int op = 0; op < 2; ++op) {
    Counter k;
    const SearchControl ctl{&Counter::stop, &k};
    Status st;
    if (op == 0) {
      std::optional<Match> m;
      st = re.value().find(text, m, ctl);
    } else {
      bool found = false;
      st = re.value().is_match(text, found, ctl);
    }
    EXPECT_EQ(st, Status::Interrupted) << p << " op " << op;
    EXPECT_EQ(k.polls, 1) << p << " op " << op;
  }
}

// Every path that reads a long text without a result polls, early: the
// first poll is where a search can be stopped and lends the interpreter
// lock. Patterns cover the literal searcher, the needle scan, the start
// skip (one unit, a set), the DFA, one-pass, the reverse search and the VM.
TEST_P(Strategies, LongReadsPollEarly) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  const char* patterns[] = {"Holmes",           "Holmes|Watson",    "b(?=c)",
                            "[bc](?=d)",        "(b+)(c)",          "\\w+@\\w+",
                            "[bc]\\d+",         "(?:x|y)\\d",       "\\d+z(?=z)",
                            "(\\w)\\1z",        "(?<=x)y",          "\\bq\\w+\\b",
                            "[b-z](?=1)",       "[^a](?=1)",        "\\W(?=1)",
                            "\u00e9(?=1)",      "(?:b|\\d)c?(?=1)", "(?:[0-9]+\\.){2}[0-9]",
                            "(?:\\w+\\.){2}\\w"};
  const std::string text(300000, 'a');
  for (const char* p : patterns) expect_stopped_at_first_poll(p, text);
}

// A search whose every start is tried and fails at once, with no literal
// to scan for, polls too: each start counts a step. In the spaced text a
// leading word assertion holds at every start.
TEST_P(Strategies, BusyStartLoopsPoll) {
  const Config c = GetParam();
  Forced f(c.engine, c.cache);
  std::string text, spaced;
  for (int i = 0; i < 150000; ++i) {
    text += "ab";
    spaced += "a ";
  }
  for (const char* p : {"(.)\\1", "(\\w)\\1", "(?<!x)(.)\\1", "([ab])(?!\\1)\\1"}) {
    expect_stopped_at_first_poll(p, text);
  }
  expect_stopped_at_first_poll("\\b(.)\\1", spaced);
}

INSTANTIATE_TEST_SUITE_P(Forced, Strategies,

                         ::testing::Values(Config{Engine::Auto, 0}, Config{Engine::Vm, 0},
                                           Config{Engine::OnePass, 0}, Config{Engine::Dfa, 0},
                                           Config{Engine::Dfa, 600}, Config{Engine::Reverse, 0},
                                           Config{Engine::Reverse, 600}),
                         [](const ::testing::TestParamInfo<Config>& info) {
                           std::string name = engine_name(info.param.engine);
                           if (info.param.cache) name += "_tiny_cache";
                           return name;
                         });

}  // namespace
}  // namespace kordal
