// State decoding, snapshots through the undo trail, the VM on trees built by
// hand, and the backtrack stack's cap (what Python cannot reach directly).
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "backtracker.hpp"
#include "program.hpp"
#include "regex.hpp"
#include "state.hpp"
#include "thread_cache.hpp"

namespace kordal {
namespace {

TEST(State, DecodesMultiByteText) {
  const std::string text =
      "a\xC3\xA9\xF0\x9F\x98\x80"
      "b";  // a é 😀 b
  State st = build_state(0, text);
  ASSERT_EQ(st.n, 4u);
  EXPECT_FALSE(st.ascii);
  EXPECT_EQ(st.at(0), U'a');
  EXPECT_EQ(st.at(1), U'\u00e9');
  EXPECT_EQ(st.at(2), U'\U0001F600');
  EXPECT_EQ(st.at(3), U'b');
  const size_t want[] = {0, 1, 3, 7, 8};
  for (size_t i = 0; i <= 4; ++i) EXPECT_EQ(st.offset(i), want[i]) << i;
  EXPECT_EQ(st.index_of_byte(3), 2u);
  EXPECT_EQ(st.index_of_byte(100), 4u);
}

TEST(State, AsciiAndEmptyTexts) {
  State e = build_state(0, "");
  EXPECT_EQ(e.n, 0u);
  EXPECT_EQ(e.offset(0), 0u);
  ASSERT_EQ(e.caps().size(), 1u);
  EXPECT_TRUE(e.history(0).empty());
  State a = build_state(2, "xyz");
  EXPECT_TRUE(a.ascii);
  EXPECT_EQ(a.n, 3u);
  EXPECT_EQ(a.offset(3), 3u);
  EXPECT_EQ(a.caps().size(), 3u);
}

TEST(State, RestoreTruncatesHistoryAndKeepsOlderEntries) {
  State st = build_state(2, "abcdef");
  st.close_group(1, 0, 1);
  st.pos = 1;
  const Snapshot snap = st.snapshot();
  st.close_group(1, 1, 2);
  st.close_group(1, 2, 3);
  st.close_group(1, 3, 4);
  st.close_group(2, 0, 4);
  st.pos = 4;
  EXPECT_EQ(st.history(1).size(), 4u);
  st.restore(snap);
  EXPECT_EQ(st.pos, 1u);
  ASSERT_EQ(st.history(1).size(), 1u);
  EXPECT_EQ(st.history(1)[0], (CpSpan{0, 1}));
  EXPECT_EQ(st.caps()[1], (CpSpan{0, 1}));
  EXPECT_FALSE(st.caps()[2].set());
  EXPECT_TRUE(st.history(2).empty());
}

TEST(State, RestoreUndoesOpenStackPushesAndPops) {
  State st = build_state(3, "abc");
  st.open_push(1, 0);
  const Snapshot snap = st.snapshot();
  st.open_pop_if(2);  // not on top: nothing happens
  EXPECT_EQ(st.open().size(), 1u);
  st.open_pop_if(1);
  st.open_push(3, 2);
  st.open_push(2, 2);
  st.restore(snap);
  ASSERT_EQ(st.open().size(), 1u);
  EXPECT_EQ(st.open()[0], (OpenEntry{1, 0}));
}

TEST(State, ResetClearsEverythingTheLastAttemptWrote) {
  State st = build_state(2, "abc");
  st.open_push(1, 0);
  st.close_group(2, 0, 2);
  st.set_match(0, 2);
  st.partial = true;
  st.record_partial_block();
  st.reset(1);
  EXPECT_EQ(st.pos, 1u);
  EXPECT_EQ(st.start, 1u);
  for (const auto& c : st.caps()) EXPECT_FALSE(c.set());
  for (size_t g = 0; g <= 2; ++g) EXPECT_TRUE(st.history(g).empty());
  EXPECT_TRUE(st.open().empty());
  EXPECT_FALSE(st.best_partial);
  EXPECT_TRUE(st.partial);
}

TEST(State, PartialCandidatePrefersMoreSetGroupsThenTheFirst) {
  State st = build_state(2, "ab");
  st.pos = 2;
  st.record_partial_block();
  EXPECT_EQ(st.best_partial->set_count, 0u);
  st.close_group(1, 0, 1);
  st.record_partial_block();
  EXPECT_EQ(st.best_partial->set_count, 1u);
  const std::vector<CpSpan> first = st.best_partial->caps;
  st.undo_to(0);
  st.close_group(2, 1, 2);
  st.record_partial_block();  // a tie: the first stays
  EXPECT_EQ(st.best_partial->caps, first);
}

// Hand-built trees.
Node lit(char32_t c) {
  Node n;
  n.kind = NodeKind::Lit;
  n.ch = c;
  return n;
}
Node wrap(NodeKind kind, Node child) {
  Node n;
  n.kind = kind;
  n.kids.push_back(std::move(child));
  return n;
}
Node group(uint64_t index, Node child) {
  Node n = wrap(NodeKind::Group, std::move(child));
  n.index = index;
  return n;
}
Node repeat(Node child, uint32_t min, std::optional<uint32_t> max, bool greedy = true) {
  Node n = wrap(NodeKind::Repeat, std::move(child));
  n.min = min;
  n.max = max;
  n.greedy = greedy;
  return n;
}
Node many(NodeKind kind, std::vector<Node> kids) {
  Node n;
  n.kind = kind;
  n.kids = std::move(kids);
  return n;
}

// The VM over a hand-built tree at st.pos.
bool vm_match(const Node& tree, State& st, bool to_end = false) {
  const Program prog = compile_program(tree);
  Backtracker bt(prog);
  return bt.run(st, to_end);
}

TEST(Matcher, GroupInRepeatRecordsEveryIteration) {
  // (a)+ on aaa
  std::vector<Node> items;
  Node tree = repeat(group(1, lit('a')), 1, std::nullopt);
  State st = build_state(1, "aaa");
  ASSERT_TRUE(vm_match(tree, st));
  EXPECT_EQ(st.pos, 3u);
  EXPECT_EQ(st.caps()[1], (CpSpan{2, 3}));
  EXPECT_EQ(st.history(1).size(), 3u);
}

TEST(Matcher, BranchRestoresCapturesOfFailedAlternative) {
  // (?:(a)x|ab) on ab: group 1 must not survive the first alternative.
  std::vector<Node> first;
  first.push_back(group(1, lit('a')));
  first.push_back(lit('x'));
  std::vector<Node> second;
  second.push_back(lit('a'));
  second.push_back(lit('b'));
  std::vector<Node> alts;
  alts.push_back(many(NodeKind::Sequence, std::move(first)));
  alts.push_back(many(NodeKind::Sequence, std::move(second)));
  Node tree = many(NodeKind::Branch, std::move(alts));
  State st = build_state(1, "ab");
  ASSERT_TRUE(vm_match(tree, st));
  EXPECT_EQ(st.pos, 2u);
  EXPECT_FALSE(st.caps()[1].set());
  EXPECT_TRUE(st.history(1).empty());
}

TEST(Matcher, EmptyIterationEndsRepetition) {
  // (a?){5} on the empty text and (?:)* terminate.
  Node t1 = repeat(group(1, repeat(lit('a'), 0, 1)), 5, 5);
  State st = build_state(1, "");
  ASSERT_TRUE(vm_match(t1, st));
  EXPECT_EQ(st.history(1).size(), 1u);
  Node t2 = repeat(Node{}, 0, std::nullopt);
  State s2 = build_state(0, "xyz");
  EXPECT_TRUE(vm_match(t2, s2));
  EXPECT_EQ(s2.pos, 0u);
}

TEST(Matcher, TryMatchToRequiresTheTarget) {
  Node tree = repeat(lit('a'), 0, std::nullopt, false);  // a*?
  State st = build_state(0, "aaab");
  EXPECT_TRUE(vm_match(tree, st));
  EXPECT_EQ(st.pos, 0u);
  State three = build_state(0, "aaa");
  EXPECT_TRUE(vm_match(tree, three, true));
  EXPECT_EQ(three.pos, 3u);
  st.reset(0);
  EXPECT_FALSE(vm_match(tree, st, true));
}

TEST(Matcher, AbortedStateFailsEverything) {
  Node tree = repeat(lit('a'), 0, std::nullopt);
  State st = build_state(0, "aaa");
  st.status = Status::Interrupted;
  EXPECT_FALSE(vm_match(tree, st));
}

TEST(Matcher, DeterministicShapes) {
  EXPECT_EQ(det_length(lit('a')), 1);
  std::vector<Node> alts;
  alts.push_back(lit('a'));
  alts.push_back(lit('b'));
  Node br = many(NodeKind::Branch, std::move(alts));
  EXPECT_TRUE(is_single(br));
  Node fixed = repeat(lit('a'), 3, 3);
  EXPECT_EQ(det_length(fixed), -1);  // children not annotated yet: the slow path
  annotate(fixed);
  EXPECT_EQ(fixed.det_len, 3);
  Node ranged = repeat(lit('a'), 3, 4);
  annotate(ranged);
  EXPECT_EQ(ranged.det_len, -1);
  Node grouped = group(1, lit('a'));
  annotate(grouped);
  EXPECT_EQ(grouped.det_len, -1);
}

TEST(Matcher, CaseInsensitiveEquality) {
  EXPECT_TRUE(chars_equal_ci(U'K', U'k'));
  EXPECT_TRUE(chars_equal_ci(U'\u212A', U'k'));   // Kelvin sign
  EXPECT_FALSE(chars_equal_ci(U'\u017F', U's'));  // long s
  EXPECT_FALSE(chars_equal_ci(U'\u0130', U'i'));
  EXPECT_TRUE(chars_equal_ci(U'\u00C9', U'\u00E9'));
  EXPECT_FALSE(chars_equal_ci(U'[', U'{'));  // only letters fold
}

TEST(Search, DeepMatchesNeedNoNativeStack) {
  // A million-entry history, and a loop with a choice point per iteration.
  auto re = Regex::new_with_flags("(a)*", 0);
  ASSERT_TRUE(re.ok());
  const std::string text(1000000, 'a');
  std::optional<Match> m;
  ASSERT_EQ(re.value().fullmatch(text, m), Status::Ok);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->caps[0].end, text.size());
  EXPECT_EQ(m->history_size(1), text.size());
  auto alt = Regex::new_with_flags("(?:a|bc)*d", 0);
  ASSERT_TRUE(alt.ok());
  std::string hay;
  for (int i = 0; i < 300000; ++i) hay += "abc";
  hay += 'd';
  ASSERT_EQ(alt.value().find(hay, m), Status::Ok);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->caps[0].end, hay.size());
}

TEST(Search, ExceedingTheBacktrackCapEndsTheSearch) {
  // (?:a|bc)* keeps one 24-byte choice point per iteration: 100000
  // iterations need about 2.4 MB, over a 1 MB cap. (The lookahead keeps
  // the pattern off the DFA, which needs no stack.)
  auto re = Regex::new_with_flags("(?:a|bc)*d(?!x)", 0);
  ASSERT_TRUE(re.ok());
  std::string hay;
  for (int i = 0; i < 50000; ++i) hay += "abc";
  std::optional<Match> m;
  {
    BacktrackCapScope cap(1 << 20);
    EXPECT_EQ(re.value().find(hay + "d", m), Status::TooDeep);
    EXPECT_FALSE(m);
    // Below the cap the same pattern still works on a shorter text.
    ASSERT_EQ(re.value().find("abcabcd", m), Status::Ok);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->caps[0].end, 7u);
  }
  // The default cap is far above that.
  ASSERT_EQ(re.value().find(hay + "d", m), Status::Ok);
  ASSERT_TRUE(m);
}

bool always_stop(void*) {
  return true;
}

int count_polls(void* ctx) {
  return ++*static_cast<int*>(ctx), 0;
}
bool counting_poll(void* ctx) {
  return count_polls(ctx) != 0;
}

TEST(Search, LongScansAndBacktracksPoll) {
  // One greedy scan over 10M code points, and one failure that backtracks
  // through 400000 choice points: both are charged as steps, so the hook
  // runs many times, not once at the end. (The scan's pattern requires no
  // literal, which would let the search skip the text. The lookaheads keep
  // the patterns on the VM; the DFA's own scan is checked after them.)
  auto scan = Regex::new_with_flags(".*(?=\\d)", 0);
  auto walk = Regex::new_with_flags("\\A(?:a|bc)*(?=d)", 0);
  ASSERT_TRUE(scan.ok() && walk.ok());
  const std::string text(10000000, 'a');
  int polls = 0;
  SearchControl ctl{&counting_poll, &polls};
  bool found = true;
  ASSERT_EQ(scan.value().is_match(text, found, ctl), Status::Ok);
  EXPECT_FALSE(found);
  EXPECT_GE(polls, 50);
  polls = 0;
  ASSERT_EQ(walk.value().is_match(text.substr(0, 200000), found, ctl), Status::Ok);
  EXPECT_FALSE(found);
  EXPECT_GE(polls, 50);
  // The DFA polls between slices of a million code points.
  auto dfa_scan = Regex::new_with_flags(".*\\d", 0);
  ASSERT_TRUE(dfa_scan.ok());
  polls = 0;
  ASSERT_EQ(dfa_scan.value().is_match(text, found, ctl), Status::Ok);
  EXPECT_FALSE(found);
  EXPECT_GE(polls, 5);
  // So does the one-pass matcher, on a match that spans the whole text.
  auto fields = Regex::new_with_flags("(a+)(b?)", 0);
  ASSERT_TRUE(fields.ok());
  polls = 0;
  std::optional<Match> m;
  ASSERT_EQ(fields.value().match_at_start(text, m, ctl), Status::Ok);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->caps[1].end, text.size());
  EXPECT_GE(polls, 5);
}

TEST(Search, PollStopsTheSearch) {
  // Lookaheads keep these exponential (regular patterns take the DFA or the memo).
  auto re = Regex::new_with_flags("(x+x+)+(?=y)", 0);
  ASSERT_TRUE(re.ok());
  SearchControl ctl{&always_stop, nullptr};
  std::optional<Match> m;
  EXPECT_EQ(re.value().find(std::string(40, 'x') + "zy", m, ctl), Status::Interrupted);
  EXPECT_FALSE(m);
  // Deep and interrupted: the poll is reached with a long backtrack stack.
  auto deep = Regex::new_with_flags("(?:(a)|b)*(x+x+)+(?=y)", 0);
  ASSERT_TRUE(deep.ok());
  std::string hay;
  for (int i = 0; i < 100000; ++i) hay += "ab";
  hay += std::string(30, 'x') + "zy";
  EXPECT_EQ(deep.value().find(hay, m, ctl), Status::Interrupted);
}

// A result slot reused across searches (as the Python module does) holds
// exactly what a fresh one would: nothing of an earlier, larger result stays.
TEST(ResultSlot, ReusedSlotEqualsFreshResult) {
  auto spans = [](const std::vector<Span>& v) {
    std::vector<std::array<size_t, 4>> out;
    for (const Span& s : v) out.push_back({s.start, s.end, s.cstart, s.cend});
    return out;
  };
  const auto big = Regex::new_with_flags(R"((?:(\w)(\d)?-)+(x)?)", 0);
  const auto small = Regex::new_with_flags(R"(b(\w))", 0);
  ASSERT_TRUE(big.ok() && small.ok());
  std::optional<Match> slot;
  for (const char* text : {"a1-b-c2-x", "zz bq", "\xC3\xA9-b\xC3\xA9", "none"}) {
    for (const Regex* re : {&big.value(), &small.value()}) {
      std::optional<Match> fresh;
      ASSERT_EQ(re->find(text, fresh), Status::Ok);
      ASSERT_EQ(re->find(text, slot), Status::Ok);
      ASSERT_EQ(slot.has_value(), fresh.has_value()) << text;
      if (!fresh) continue;
      EXPECT_EQ(spans(slot->caps), spans(fresh->caps)) << text;
      EXPECT_EQ(spans(slot->history), spans(fresh->history)) << text;
      EXPECT_EQ(slot->history_starts, fresh->history_starts) << text;
      EXPECT_EQ(slot->flat_history, fresh->flat_history) << text;
      EXPECT_EQ(slot->names, fresh->names) << text;
    }
  }
}

// The thread's scratch is lent to one search at a time: a cache taken while
// it is lent is a private one, and the pooled one comes back trimmed.
struct Counted {
  int trims = 0;
  void trim() { ++trims; }
};

TEST(ThreadCache, LendsThePooledScratchToOneSearchAtATime) {
  Counted* pooled = nullptr;
  {
    ThreadCache<Counted> outer;
    pooled = &outer.get();
    EXPECT_EQ(&outer.get(), pooled);
    ThreadCache<Counted> inner;
    EXPECT_NE(&inner.get(), pooled);
  }
  EXPECT_EQ(pooled->trims, 1);  // the private one is not the pool's
  ThreadCache<Counted> again;
  EXPECT_EQ(&again.get(), pooled);
}

// A search started from the poll hook of a deep VM search (its stack on the
// thread's scratch) must leave that stack alone.
TEST(ThreadCache, SearchInsideTheVmsPollHookKeepsTheOuterStack) {
  // The first branch backtracks through every frame to the second's.
  auto r = Regex::new_with_flags(R"((a)(?:\1|b)*(x)?y|a+z)", 0);
  ASSERT_TRUE(r.ok());
  const Regex& re = r.value();
  const std::string outer_text = std::string(20000, 'a') + "z";
  const std::string inner_text = "zz" + std::string(9000, 'a') + "z";
  struct Ctx {
    const Regex* re;
    const std::string* text;
    int runs = 0;
    std::optional<Match> m;
  } ctx{&re, &inner_text, 0, std::nullopt};
  SearchControl ctl;
  ctl.ctx = &ctx;
  ctl.poll = [](void* p) {
    auto* c = static_cast<Ctx*>(p);
    if (c->runs++ == 0) {
      EXPECT_EQ(c->re->find(*c->text, c->m), Status::Ok);
    }
    return false;
  };
  std::optional<Match> m;
  ASSERT_EQ(re.find(outer_text, m, ctl), Status::Ok);
  ASSERT_GT(ctx.runs, 0);
  ASSERT_TRUE(m && ctx.m);
  EXPECT_EQ(m->caps[0].start, 0u);
  EXPECT_EQ(m->caps[0].end, outer_text.size());
  EXPECT_EQ(ctx.m->caps[0].start, 2u);
  EXPECT_EQ(ctx.m->caps[0].end, inner_text.size());
  // And a later search on the same thread still finds the whole match.
  std::optional<Match> again;
  ASSERT_EQ(re.find(outer_text, again), Status::Ok);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->caps[0].start, 0u);
  EXPECT_EQ(again->caps[0].end, outer_text.size());
}

}  // namespace
}  // namespace kordal
