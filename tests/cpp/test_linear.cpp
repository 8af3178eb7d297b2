// Linearity of the backtracking VM on regular programs, measured in steps
// (State::steps), never in time; and the memo's invisibility.
//
// Each catastrophic case runs on inputs of n, 2n, 4n and 8n code points and
// must cost at most a constant factor more per doubling: without the memo
// these searches take exponential or polynomial steps, so a memo that stops
// pruning (or a loop form it misses) fails here long before it would time
// out. The equality tests run random regular patterns over {a, b} with the
// memo forced on from the first step and forced off, and compare every span
// and capture history of find, match at start, full match and findall.
//
// KORDAL_MEMO=always (or never) runs the whole test binary with that memo
// mode, so the differential tests against the reference matcher can check
// the memo too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <string_view>

#include "backtracker.hpp"
#include "iterators.hpp"
#include "program.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal {
namespace {

MemoMode mode_from_env() {
  const char* v = std::getenv("KORDAL_MEMO");
  if (!v) return MemoMode::Auto;
  const std::string_view s = v;
  return s == "always" ? MemoMode::Always : s == "never" ? MemoMode::Never : MemoMode::Auto;
}
const MemoMode kEnvMode = [] {
  set_memo_mode(mode_from_env());
  return mode_from_env();
}();

// Sets the memo mode for one scope.
class ModeScope {
 public:
  explicit ModeScope(MemoMode m) { set_memo_mode(m); }
  ~ModeScope() { set_memo_mode(kEnvMode); }
};

Regex compile(const std::string& pattern) {
  auto r = Regex::new_with_flags(pattern, 0);
  EXPECT_TRUE(r.ok()) << pattern;
  return std::move(r.value());
}

enum class Op { Find, Full, FindAll };

struct Measure {
  uint64_t steps = 0;
  std::string result;  // spans of group 0, to check the searches did their work
};

Measure measure(const Regex& re, const std::string& text, Op op) {
  std::unique_ptr<State> st = re.build_state(text);
  Measure m;
  st->steps = 0;
  auto record = [&] {
    for (const CpSpan& c : st->caps()) {
      m.result += c.set() ? std::to_string(c.start) + "-" + std::to_string(c.end) : "u";
      m.result += ' ';
    }
    m.result += ';';
  };
  switch (op) {
    case Op::Find: {
      bool found = false;
      EXPECT_EQ(re.find_from(*st, 0, found, {}), Status::Ok);
      if (found) record();
      break;
    }
    case Op::Full: {
      // What a full-match search runs: the VM once, from 0, to the end.
      Backtracker vm(re.program());
      st->reset(0);
      if (vm.run(*st, true)) record();
      EXPECT_EQ(st->status, Status::Ok);
      break;
    }
    case Op::FindAll: {
      size_t next = 0;
      for (;;) {
        bool found = false;
        EXPECT_EQ(re.find_from(*st, next, found, {}), Status::Ok);
        if (!found) break;
        record();
        const CpSpan w = st->caps()[0];
        next = w.end > w.start ? w.end : w.end + 1;
        if (next > st->n) break;
      }
      break;
    }
  }
  m.steps = st->steps;
  return m;
}

struct LinearCase {
  const char* pattern;
  Op op;
  std::function<std::string(size_t)> text;  // input of about n code points
  bool matches;                             // whether the search finds something
};

std::string rep(std::string_view unit, size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

// Texts end with the pattern's required literal, when it has one, so that
// the literal search cannot rule the starts out.
const LinearCase kLinearCases[] = {
    // Nested and overlapping repetitions.
    {"(a+)+b", Op::Find, [](size_t n) { return rep("a", n) + "cb"; }, false},
    {"(a|aa)+$", Op::Find, [](size_t n) { return rep("a", n) + "b"; }, false},
    {"(x+x+)+y", Op::Find, [](size_t n) { return rep("x", n) + "zy"; }, false},
    {"(\\w+\\s?)+$", Op::Find, [](size_t n) { return rep("a", n) + "!"; }, false},
    {"(?:a|b)*c", Op::Find, [](size_t n) { return rep("ab", n / 2) + "dc"; }, true},
    {"a*b", Op::Find, [](size_t n) { return rep("a", n) + "cb"; }, true},
    {"(a|ab|b)*\\d", Op::Find, [](size_t n) { return rep("ab", n / 2); }, false},
    // Loops that can each take the same text.
    {".*.*\\d.*", Op::Find, [](size_t n) { return rep("y", n); }, false},
    {"(?:ab)*(?:ab)*\\d", Op::Find, [](size_t n) { return rep("ab", n / 2); }, false},
    {"(?:ab)*?(?:ab)*?\\d", Op::Find, [](size_t n) { return rep("ab", n / 2); }, false},
    {"(a+?)+?\\d", Op::Find, [](size_t n) { return rep("a", n); }, false},
    // Counted repetitions: the count is part of the memo's key.
    {"(a|aa){2,}$", Op::Find, [](size_t n) { return rep("a", n) + "b"; }, false},
    {"(x+x+){3,}y", Op::Find, [](size_t n) { return rep("x", n) + "zy"; }, false},
    {"(?:(a|aa){2,5})+$", Op::Find, [](size_t n) { return rep("a", n) + "b"; }, false},
    // Capture extraction after the failures: the match comes last.
    {"((?:a|aa)+)(b)", Op::Find, [](size_t n) { return rep("a", n) + "cab"; }, true},
    {"(\\w+\\s?)+(!)", Op::Find, [](size_t n) { return rep("ab ", n / 3) + ".a!"; }, true},
    {"(a|aa)+", Op::Full, [](size_t n) { return rep("a", n) + "b"; }, false},
    {"((\\w+)\\s?)+", Op::Full, [](size_t n) { return rep("ab ", n / 3) + "!"; }, false},
    {"(x+x+)+(y)", Op::Full, [](size_t n) { return rep("x", n) + "y"; }, true},
    {"((?:a|aa)+)b", Op::FindAll, [](size_t n) { return rep(rep("a", 40) + "cab", n / 43); }, true},
    {"(\\w+\\s?)+;", Op::FindAll, [](size_t n) { return rep(rep("a", 30) + " !x;", n / 35); },
     true},
};

class Linear : public testing::TestWithParam<LinearCase> {};

TEST_P(Linear, StepsGrowLinearly) {
  const LinearCase& c = GetParam();
  const ModeScope auto_mode(MemoMode::Auto);
  const Regex re = compile(c.pattern);
  constexpr size_t kN = 2000;
  // Room for the steps taken before the memo starts and per-call constants.
  constexpr double kSlack = 40000;
  Measure prev;
  for (size_t k = 0; k < 4; ++k) {
    const size_t n = kN << k;
    const Measure m = measure(re, c.text(n), c.op);
    EXPECT_EQ(!m.result.empty(), c.matches) << c.pattern << " n=" << n;
    if (k > 0) {
      EXPECT_LE(double(m.steps), 2.2 * double(prev.steps) + kSlack)
          << c.pattern << " from n=" << n / 2 << " to n=" << n << ": " << prev.steps << " -> "
          << m.steps << " steps";
    }
    prev = m;
  }
}

INSTANTIATE_TEST_SUITE_P(Catastrophic, Linear, testing::ValuesIn(kLinearCases));

// --- memo on and off give the same results ---

std::string describe(const std::optional<Match>& m) {
  if (!m) return "none";
  std::string out;
  for (size_t g = 0; g < m->caps.size(); ++g) {
    const Span& c = m->caps[g];
    out += c.set() ? std::to_string(c.cstart) + "-" + std::to_string(c.cend) : "u";
    out += '[';
    const Span* h = m->history_of(g);
    for (size_t i = 0; i < m->history_size(g); ++i) {
      out += std::to_string(h[i].cstart) + "-" + std::to_string(h[i].cend) + ",";
    }
    out += "] ";
  }
  return out;
}

// Stops a search after a number of polls: without the memo, some random
// patterns take exponential time on longer texts.
struct PollBudget {
  int left = 0;
  static bool poll(void* ctx) { return --static_cast<PollBudget*>(ctx)->left < 0; }
};

// Every search of `re` on `text`, rendered; "status" when one was stopped.
std::string all_results(const Regex& re, const std::string& text, int polls = 1 << 20) {
  PollBudget budget{polls};
  const SearchControl ctl{&PollBudget::poll, &budget};
  std::string out;
  std::optional<Match> m;
  out += re.find(text, m, ctl) == Status::Ok ? describe(m) : "status";
  out += " | ";
  out += re.match_at_start(text, m, ctl) == Status::Ok ? describe(m) : "status";
  out += " | ";
  out += re.fullmatch(text, m, ctl) == Status::Ok ? describe(m) : "status";
  out += " | ";
  FindIter it(re, text);
  for (;;) {
    if (it.next(m, ctl) != Status::Ok) {
      out += "status";
      break;
    }
    if (!m) break;
    out += describe(m) + "; ";
  }
  return out;
}

// Runs `search` with the memo forced on and off: 1 when the results agree,
// -1 (and a failure naming `what`) when they differ, 0 when the search
// without memo ran out of its poll budget.
template <class F>
int on_off(const std::string& what, F&& search) {
  std::string on, off;
  {
    const ModeScope m(MemoMode::Always);
    on = search();
  }
  {
    const ModeScope m(MemoMode::Never);
    off = search();
  }
  if (off.find("status") != std::string::npos) return 0;
  if (on == off) return 1;
  ADD_FAILURE() << what << "\n  memo:    " << on << "\n  no memo: " << off;
  return -1;
}

std::string case_name(const std::string& pattern, const std::string& text) {
  return "/" + pattern + "/ on \"" + text + "\"";
}

// Random patterns: regular ones (every loop form, counted and lazy
// repetitions, branches, anchors, groups) and now and then a feature that
// rules the memo out.
class Gen {
 public:
  explicit Gen(uint32_t seed) : rng_(seed) {}

  std::string pattern(bool regular) {
    regular_ = regular;
    return node(4);
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

  std::string atom() {
    static const char* const atoms[] = {"a", "b", "a", "b", "ab", ".", "[ab]", "$", "^", "\\b"};
    static const char* const others[] = {"\\1", "(?=a)", "(?!b)", "(?<=a)", "(?>a|ab)", "a*+"};
    if (!regular_ && pick(6) == 0) return others[pick(std::size(others))];
    return atoms[pick(std::size(atoms))];
  }

  std::string node(int depth) {
    static const char* const quants[] = {"*",   "+",     "?",     "*?",   "+?",    "??",
                                         "{2}", "{0,2}", "{1,3}", "{2,}", "{2,}?", "{1,3}?"};
    if (depth == 0 || pick(4) == 0) return atom();
    switch (pick(6)) {
      case 0: {
        const std::string x = node(depth - 1);
        return x + node(depth - 1);
      }
      case 1: {
        const std::string x = node(depth - 1);
        return x + "|" + node(depth - 1);
      }
      case 2:
        return "(" + node(depth - 1) + ")";
      case 3:
      case 4: {
        // Bodies that can match empty are not regular: give them a letter.
        std::string body = node(depth - 1);
        if (regular_) body = "(?:" + body + ")" + (pick(2) ? "a" : "b");
        return (pick(2) ? "(" : "(?:") + body + ")" + quants[pick(std::size(quants))];
      }
      default:
        return atom() + quants[pick(std::size(quants))];
    }
  }

  std::mt19937 rng_;
  bool regular_ = true;
};

std::vector<std::string> texts(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (size_t len : {0, 1, 2, 3, 5, 8, 13, 21, 40}) {
    for (int i = 0; i < 3; ++i) {
      std::string t;
      for (size_t j = 0; j < len; ++j) t += "aab"[rng() % 3];
      out.push_back(t);
    }
  }
  // Runs that several loops can share, with the ends that make them give back.
  for (size_t k : {2, 3, 5}) {
    for (const char* end : {"", "a", "b", "aa"}) {
      out.push_back(rep("ab", k) + end);
      out.push_back(rep("a", 2 * k) + end);
    }
  }
  return out;
}

TEST(Memo, SameResultsOnAndOff) {
  Gen gen(2024);
  const std::vector<std::string> ts = texts(7);
  int memoised = 0, bad = 0;
  for (int i = 0; i < 400 && bad < 10; ++i) {
    const bool regular = i % 5 != 0;
    const std::string pattern = gen.pattern(regular);
    auto r = Regex::new_with_flags(pattern, 0);
    if (!r.ok()) continue;
    const Regex& re = r.value();
    memoised += re.program().memo_slots > 0;
    for (const std::string& t : ts) {
      if (on_off(case_name(pattern, t), [&] { return all_results(re, t, 50); }) < 0) {
        ++bad;
        break;
      }
    }
  }
  // Most regular patterns are memoised, so the comparison covers the memo.
  EXPECT_GT(memoised, 150);
}

// Every text over {a, b} up to `max_len`.
std::vector<std::string> all_texts(size_t max_len) {
  std::vector<std::string> out{""};
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i].size() < max_len) {
      out.push_back(out[i] + "a");
      out.push_back(out[i] + "b");
    }
  }
  return out;
}

TEST(Memo, LoopsReachedAtSeveralPositions) {
  // A prefix that can end at two positions reaches the loop at both, the
  // later one first, so the second arrival runs into what the first recorded
  // part of the way through the loop.
  const char* const prefixes[] = {"(?:bab|b)", "(?:ab|a)", "(?:aab|a)"};
  const char* const loops[] = {
      "(?:ab)*",      "(?:ab)+",     "(?:ab)*?", "(?:ab)+?",   "(ab)*",
      "a*",           "a+",          "a*?",      "a+?",        "(?:a|b)*",
      "(a|ab)*?",     "(?:ab){0,2}", "a{1,3}",   "(a|ab){2,}", "(?:a|ab){1,3}?",
      "(?:ab|a){0,2}"};
  const char* const rests[] = {"ab", "abb", "a$", "b", "aab"};
  const std::vector<std::string> ts = all_texts(7);
  int bad = 0;
  for (const char* pre : prefixes) {
    for (const char* loop : loops) {
      for (const char* rest : rests) {
        const std::string pattern = std::string(pre) + loop + rest;
        const Regex re = compile(pattern);
        for (const std::string& t : ts) {
          if (on_off(case_name(pattern, t), [&] { return all_results(re, t); }) < 0) {
            if (++bad == 10) return;
            break;
          }
        }
      }
    }
  }
}

// The VM run at every start in turn, as a caller enumerating match starts
// does: runs after a success must not trust what that success recorded.
std::string every_start(const Regex& re, const std::string& text) {
  std::unique_ptr<State> st = re.build_state(text);
  Backtracker vm(re.program());
  std::string out;
  for (size_t q = 0; q <= st->n; ++q) {
    st->reset(q);
    if (vm.run(*st, false)) out += std::to_string(q) + "-" + std::to_string(st->pos) + " ";
  }
  return out;
}

TEST(Memo, EveryStartAfterASuccess) {
  const std::vector<std::string> ts = all_texts(6);
  int bad = 0;
  for (const char* p : {"(a|ab)+b", "(?:ab)*a", "a+b?", "(a|b)*?b", "(?:a|ab)(?:ab)*b"}) {
    const Regex re = compile(p);
    for (const std::string& t : ts) {
      if (on_off(case_name(p, t), [&] { return every_start(re, t); }) < 0 && ++bad == 5) return;
    }
  }
}

TEST(Memo, OnlyWherePositionDecides) {
  // Features whose outcome depends on more than (instruction, position).
  for (const char* p :
       {"(a)\\1", "(?=a)a*", "(?<!b)a+", "(?>a|ab)+c", "a++b", "(a?)*b", "(?:a|b?)+c"}) {
    EXPECT_EQ(compile(p).program().memo_slots, 0u) << p;
  }
  for (const char* p : {"(a+)+b", "(a|aa)+$", "(?:ab)*c", "a{2,5}b", "(?:x(a|b))+"}) {
    EXPECT_GT(compile(p).program().memo_slots, 0u) << p;
  }
}

TEST(Memo, SameResultsBeyondTheWindow) {
  // A window of a few positions: the search slides it and leaves positions
  // unrecorded.
  const size_t cap = memo_cap();
  set_memo_cap(16);
  Gen gen(99);
  std::mt19937 rng(5);
  int compared = 0, bad = 0;
  for (int i = 0; i < 200 && bad < 5; ++i) {
    const std::string pattern = gen.pattern(true);
    auto r = Regex::new_with_flags(pattern, 0);
    if (!r.ok()) continue;
    std::string t;
    for (int j = 0; j < 300; ++j) t += "aab"[rng() % 3];
    const int same = on_off(case_name(pattern, t), [&] { return all_results(r.value(), t, 200); });
    compared += same != 0;
    bad += same < 0;
  }
  set_memo_cap(cap);
  EXPECT_GT(compared, 100);
}

}  // namespace
}  // namespace kordal
