// The reference matcher's Limits: a search that needs more steps or deeper
// nesting than allowed gives up with the matching status instead of running
// away or overflowing the stack, a search within them answers as an
// unbounded one does, and the limits end with their object. The engines
// fuzz target relies on all three to run the reference on arbitrary input.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "reference_matcher.hpp"
#include "reference_search.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal {
namespace {

constexpr size_t kDepth = reference::Limits::kDefaultDepth;

struct Outcome {
  bool found;
  Status status;
  CpSpan span;
};

Outcome find(const Regex& re, const std::string& text) {
  State st = build_state(re.group_count(), text);
  const bool found = reference::search(re.tree(), st, 0, reference::Mode::Find);
  return Outcome{found, st.status, found ? st.caps()[0] : CpSpan{}};
}

Regex compile(const char* pattern) {
  auto re = Regex::new_with_flags(pattern, 0);
  EXPECT_TRUE(re.ok()) << pattern;
  return std::move(re.value());
}

TEST(ReferenceLimits, StepsStopCatastrophicBacktracking) {
  const Regex re = compile("(a|aa)*c");
  const std::string text(60, 'a');  // ~fib(60) paths without a limit
  const reference::Limits lim(100'000, kDepth);
  const Outcome o = find(re, text);
  EXPECT_FALSE(o.found);
  EXPECT_EQ(o.status, Status::Interrupted);
  EXPECT_TRUE(lim.exceeded());
  EXPECT_EQ(lim.steps_left(), 0u);
  // The allowance is shared: a later search under the same object gives up.
  EXPECT_EQ(find(re, "ac").status, Status::Interrupted);
}

TEST(ReferenceLimits, DepthStopsDeepRecursionButNotLoops) {
  // Each iteration of an alternation nests further; a repeated single
  // character is matched in a loop and does not.
  const std::string text(2000, 'a');
  const reference::Limits lim(UINT64_MAX, 200);
  const Outcome deep = find(compile("(?:ab|a)*$"), text);
  EXPECT_EQ(deep.status, Status::TooDeep);
  EXPECT_TRUE(lim.exceeded());
  const reference::Limits fresh(UINT64_MAX, 200);
  const Outcome flat = find(compile("a*$"), text);
  EXPECT_EQ(flat.status, Status::Ok);
  EXPECT_TRUE(flat.found);
  EXPECT_EQ(flat.span, (CpSpan{0, 2000}));
  EXPECT_FALSE(fresh.exceeded());
}

TEST(ReferenceLimits, WithinLimitsTheAnswerIsTheUnboundedOne) {
  const char* const patterns[] = {"(a|ab)(c|bcd)(d*)", "(?<=b)c+", "(a)(?:b\\1)+", "x|(?!a).$"};
  const std::string text = "xabcdabab cc";
  for (const char* p : patterns) {
    const Regex re = compile(p);
    const Outcome free = find(re, text);
    const reference::Limits lim(1'000'000, kDepth);
    const Outcome bounded = find(re, text);
    EXPECT_EQ(bounded.status, Status::Ok) << p;
    EXPECT_EQ(bounded.found, free.found) << p;
    EXPECT_EQ(bounded.span, free.span) << p;
    EXPECT_FALSE(lim.exceeded()) << p;
    EXPECT_LT(lim.steps_left(), 1'000'000u) << p;  // the search was counted
  }
}

TEST(ReferenceLimits, EndWithTheirObjectAndNest) {
  const Regex re = compile("(a|aa)*c");
  const std::string text = std::string(18, 'a') + "c";
  {
    const reference::Limits outer(UINT64_MAX, kDepth);
    {
      const reference::Limits inner(10, kDepth);
      EXPECT_EQ(find(re, text).status, Status::Interrupted);
      EXPECT_TRUE(inner.exceeded());
    }
    const Outcome o = find(re, text);  // the outer limits again
    EXPECT_TRUE(o.found);
    EXPECT_FALSE(outer.exceeded());
  }
  EXPECT_TRUE(find(re, text).found);  // unbounded again
}

}  // namespace
}  // namespace kordal
