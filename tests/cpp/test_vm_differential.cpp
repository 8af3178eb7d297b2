// The backtracking VM against the tree-walking reference matcher: generated
// patterns over a small alphabet, every construct, every text up to length 5
// over {a, b} plus non-ASCII and longer random texts. Every observable is
// compared: match or not, every group's span and full history, for find,
// match at start, full match, all successive matches, and partial matching
// (status, group states, spans).
//
// KORDAL_DIFF_SCALE multiplies the number of patterns; it defaults to 4, or to
// 1 in unoptimised builds, where the sanitizers make each run much slower.
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "all_texts.hpp"
#include "iterators.hpp"
#include "reference_search.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal {
namespace {

// --- the reference side: the search loops over the reference matcher ---

// "(a,b)" without operator+ chains (which trip a -Wrestrict false positive).
void put_span(std::string& out, size_t a, size_t b) {
  out += '(';
  out += std::to_string(a);
  out += ',';
  out += std::to_string(b);
  out += ')';
}

std::string describe(const reference::Captures& st) {
  std::string out;
  for (size_t g = 0; g < st.caps.size(); ++g) {
    const CpSpan c = st.caps[g];
    if (c.set()) {
      put_span(out, c.start, c.end);
    } else {
      out += '-';
    }
    out += "[";
    for (const CpSpan& h : st.history[g]) put_span(out, h.start, h.end);
    out += "] ";
  }
  return out;
}

std::string describe_match(const std::optional<Match>& m) {
  if (!m) return "none";
  std::string out;
  for (size_t g = 0; g < m->caps.size(); ++g) {
    const Span& c = m->caps[g];
    if (c.set()) {
      put_span(out, c.cstart, c.cend);
    } else {
      out += '-';
    }
    out += "[";
    const Span* h = m->history_of(g);
    for (size_t i = 0; i < m->history_size(g); ++i) put_span(out, h[i].cstart, h[i].cend);
    out += "] ";
  }
  return out;
}

std::string describe_partial(const std::optional<PartialMatch>& pm) {
  if (!pm) return "none";
  std::string out = pm->is_full ? "full " : "partial ";
  for (const PartialGroup& g : pm->groups) {
    out += std::to_string(int(g.state));
    if (g.state != GroupState::None) {
      put_span(out, g.span.cstart, g.span.cend);
    }
    out += " ";
  }
  return out;
}

using reference::Mode;

std::string ref_describe(const Regex& re, std::string_view text, Mode mode) {
  State st = build_state(re.group_count(), text);
  return reference::search(re.tree(), st, 0, mode) ? describe(reference::captures_of(st)) : "none";
}

std::string vm_describe(const Regex& re, std::string_view text, Mode mode) {
  std::optional<Match> m;
  Status s = mode == Mode::Find       ? re.find(text, m)
             : mode == Mode::Anchored ? re.match_at_start(text, m)
                                      : re.fullmatch(text, m);
  if (s != Status::Ok) return "status";
  if (!m) return "none";
  // The same rendering as the reference's, from the Match.
  reference::Captures c;
  c.caps.resize(m->caps.size());
  c.history.resize(m->caps.size());
  for (size_t g = 0; g < m->caps.size(); ++g) {
    if (m->caps[g].set()) c.caps[g] = CpSpan{m->caps[g].cstart, m->caps[g].cend};
    const Span* h = m->history_of(g);
    for (size_t i = 0; i < m->history_size(g); ++i) {
      c.history[g].push_back(CpSpan{h[i].cstart, h[i].cend});
    }
  }
  return describe(c);
}

std::string ref_all(const Regex& re, std::string_view text) {
  State st = build_state(re.group_count(), text);
  std::string out;
  size_t next = 0;
  while (next <= st.n && reference::search(re.tree(), st, next, Mode::Find)) {
    out += describe(reference::captures_of(st));
    out += "| ";
    const CpSpan w = st.caps()[0];
    next = w.end > w.start ? w.end : w.end + 1;
  }
  return out;
}

std::string vm_all(const Regex& re, std::string_view text) {
  FindIter it(re, text);
  std::string out;
  for (;;) {
    std::optional<Match> m;
    if (it.next(m) != Status::Ok) return "status";
    if (!m) return out;
    out += describe_match(m);
    out += "| ";
  }
}

std::string ref_partial(const Regex& re, std::string_view text) {
  State st = build_state(re.group_count(), text);
  return describe_partial(reference::search_partial(re, st));
}

std::string vm_partial(const Regex& re, std::string_view text) {
  std::optional<PartialMatch> pm;
  if (re.find_partial(text, pm) != Status::Ok) return "status";
  return describe_partial(pm);
}

// Compares every search of `pattern` over every text; returns the number of
// mismatches (each reported once).
int compare(const std::string& pattern, const std::vector<std::string>& texts) {
  auto compiled = Regex::new_with_flags(pattern, 0);
  if (!compiled.ok()) return 0;
  const Regex& re = compiled.value();
  int bad = 0;
  for (const std::string& t : texts) {
    struct Check {
      const char* what;
      std::string ref, vm;
    };
    const Check checks[] = {
        {"find", ref_describe(re, t, Mode::Find), vm_describe(re, t, Mode::Find)},
        {"match_at_start", ref_describe(re, t, Mode::Anchored), vm_describe(re, t, Mode::Anchored)},
        {"fullmatch", ref_describe(re, t, Mode::Full), vm_describe(re, t, Mode::Full)},
        {"findall", ref_all(re, t), vm_all(re, t)},
        {"find_partial", ref_partial(re, t), vm_partial(re, t)},
    };
    for (const Check& c : checks) {
      if (c.ref != c.vm) {
        ADD_FAILURE() << c.what << " of /" << pattern << "/ on \"" << t
                      << "\"\n  reference: " << c.ref << "\n  vm:        " << c.vm;
        ++bad;
      }
    }
    if (bad > 0) return bad;
  }
  return bad;
}

// Exhaustive over {a, b} up to length 5, and over {a, é, newline} (decoded
// text, line anchors) up to length 3.
const std::vector<std::string>& small_texts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b"}, 5);
    std::vector<std::string> u = all_texts({"a", "\xC3\xA9", "\n"}, 3);
    t.insert(t.end(), u.begin() + 1, u.end());
    t.push_back("A");
    t.push_back("aBAb");
    return t;
  }();
  return texts;
}

int scale() {
#ifdef NDEBUG
  constexpr int kDefault = 4;
#else
  constexpr int kDefault = 1;
#endif
  const char* s = std::getenv("KORDAL_DIFF_SCALE");
  const int v = s ? std::atoi(s) : kDefault;
  return v > 0 ? v : kDefault;
}

const char* const kQuants[] = {"*",     "+",     "?",   "*?",     "+?",    "??",
                               "*+",    "++",    "?+",  "{2}",    "{0,2}", "{1,2}",
                               "{2,}?", "{,2}+", "{0}", "{1,3}?", "{2,3}+"};

std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out.append(p);
  return out;
}

// Every unit: an atom, alone, quantified, grouped, wrapped.
std::vector<std::string> units() {
  const char* const atoms[] = {"a",      "b",  ".",  "[ab]", "[^a]", "\\w", "\\b",
                               "\\B",    "^",  "$",  "\\A",  "\\z",  "\\m", "\\M",
                               "(?i:A)", "ab", "a?", "a|b",  "(?:)"};
  std::vector<std::string> out;
  for (const char* a : atoms) {
    const std::string_view x = a;
    out.emplace_back(x);
    out.push_back(cat({"(", x, ")"}));
    out.push_back(cat({"(?>", x, ")"}));
    for (const char* w : {"(?=", "(?!", "(?<=", "(?<!"}) out.push_back(cat({w, x, ")"}));
    for (const char* q : kQuants) {
      out.push_back(cat({"(?:", x, ")", q}));
      out.push_back(cat({"(", x, ")", q}));
    }
  }
  return out;
}

TEST(VmDifferential, EveryUnit) {
  int bad = 0;
  for (const std::string& u : units()) {
    bad += compare(u, small_texts());
    bad += compare(cat({u, "\\1"}), small_texts());
    if (bad > 20) break;
  }
  EXPECT_EQ(bad, 0);
}

TEST(VmDifferential, PairsOfUnits) {
  // Pairs over a smaller unit set: sequences, alternations, both wrapped in
  // quantified groups (bodies with choices inside) and in lookarounds (groups
  // closed before the lookaround's child fails).
  const std::vector<std::string> core = {
      "a",     "b",    ".",     "\\b",      "(a)",    "(a|b)", "(a?)",   "a*",     "a*?",
      "a*+",   "(a)*", "(a)+?", "(?>a|ab)", "(?=a)",  "(?!b)", "(?<=a)", "(?<!a)", "(ab|a)",
      "(a?)*", "a{2}", "(b)?",  "\\1",      "(?i:A)", "$",     "[^b]+"};
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t = all_texts({"a", "b"}, 4);
    std::vector<std::string> u = all_texts({"a", "\xC3\xA9", "\n"}, 2);
    t.insert(t.end(), u.begin() + 1, u.end());
    return t;
  }();
  int bad = 0;
  size_t i = 0;
  const size_t stride = 4 / size_t(scale() < 4 ? scale() : 4);
  for (const std::string& u : core) {
    for (const std::string& v : core) {
      if (i++ % stride != 0) continue;
      const std::string forms[] = {cat({u, v}),
                                   cat({u, "|", v}),
                                   cat({"(?:", u, v, ")*"}),
                                   cat({"(", u, "|", v, ")+?"}),
                                   cat({"(?:", u, v, "){1,2}"}),
                                   cat({"(?>", u, "|", v, ")b"}),
                                   cat({"(?=", u, v, ")"}),
                                   cat({"(?!", u, v, ")"}),
                                   cat({"(?<=", u, v, ")"}),
                                   cat({"(?<!", u, v, ")."})};
      for (const std::string& p : forms) bad += compare(p, texts);
      if (bad > 20) break;
    }
  }
  EXPECT_EQ(bad, 0);
}

// Random patterns from a small grammar, depth up to 4.
class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}

  std::string pattern() {
    groups_ = 0;
    std::string body = node(4);
    const char* const flags[] = {"", "", "", "(?i)", "(?m)", "(?s)"};
    return cat({flags[pick(6)], body});
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  std::string atom() {
    const char* const atoms[] = {"a", "b", "a",   "b",   ".",   "[ab]", "[^b]", "\\w", "\\b", "\\B",
                                 "^", "$", "\\A", "\\z", "\\m", "\\M",  "A",    "\\X", "\\n"};
    if (groups_ > 0 && pick(8) == 0) return cat({"\\", std::to_string(1 + pick(groups_))});
    return atoms[pick(sizeof(atoms) / sizeof(atoms[0]))];
  }

  std::string node(int depth) {
    if (depth == 0 || pick(4) == 0) return atom();
    switch (pick(10)) {
      case 0:
      case 1: {
        const std::string x = node(depth - 1);
        return cat({x, node(depth - 1)});
      }
      case 2: {
        const std::string x = node(depth - 1);
        return cat({x, "|", node(depth - 1)});
      }
      case 3: {
        ++groups_;
        return cat({"(", node(depth - 1), ")"});
      }
      case 4:
      case 5: {
        const std::string inner = node(depth - 1);
        const bool capture = pick(2) == 0;
        if (capture) ++groups_;
        return cat({capture ? "(" : "(?:", inner, ")", kQuants[pick(std::size(kQuants))]});
      }
      case 6:
        return cat({"(?>", node(depth - 1), ")"});
      case 7: {
        const char* const looks[] = {"(?=", "(?!", "(?<=", "(?<!"};
        const char* look = looks[pick(4)];
        return cat({look, node(depth - 1), ")"});
      }
      case 8:
        return cat({"(?i:", node(depth - 1), ")"});
      default: {
        const std::string x = atom();
        return cat({x, kQuants[pick(std::size(kQuants))]});
      }
    }
  }

  std::mt19937 rng_;
  size_t groups_ = 0;
};

TEST(VmDifferential, RandomPatternsOnSmallTexts) {
  Gen gen(12345);
  int bad = 0;
  const int count = 400 * scale();
  for (int i = 0; i < count && bad < 20; ++i) bad += compare(gen.pattern(), small_texts());
  EXPECT_EQ(bad, 0);
}

TEST(VmDifferential, RandomPatternsOnLongerTexts) {
  Gen gen(777);
  std::mt19937 rng(99);
  const char* const letters[] = {"a", "b", "a", "b", "c", "A", "\n", "\xC3\xA9"};
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) {
    std::string t;
    const size_t len = 6 + rng() % 20;
    for (size_t j = 0; j < len; ++j) t += letters[rng() % 8];
    texts.push_back(t);
  }
  int bad = 0;
  const int count = 200 * scale();
  for (int i = 0; i < count && bad < 20; ++i) bad += compare(gen.pattern(), texts);
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace kordal
