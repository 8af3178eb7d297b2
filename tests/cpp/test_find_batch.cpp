// find_batch: a walk made a batch at a time gives FindIter's matches, with
// every batch within its bounds, whatever falls on a batch's edge; and
// FindIter's read-ahead walk, which reports errors in text order.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "backtracker.hpp"
#include "iterators.hpp"
#include "poll.hpp"
#include "state.hpp"

namespace kordal {
namespace {

using Spans = std::vector<std::tuple<size_t, size_t, size_t, size_t>>;

void add(Spans& out, const Span& s) {
  out.emplace_back(s.start, s.end, s.cstart, s.cend);
}

// Every match's group spans, then its histories (code points only).
Spans walk_one_by_one(const Regex& re, const std::string& text) {
  Spans out;
  FindIter it(re, text);
  std::optional<Match> m;
  while (it.next(m) == Status::Ok && m) {
    for (const Span& s : m->caps) add(out, s);
    for (const Span& s : m->history) out.emplace_back(0, 0, s.cstart, s.cend);
  }
  return out;
}

Spans walk_in_batches(const Regex& re, const std::string& text) {
  Spans out;
  std::unique_ptr<State> st = re.build_state(text);
  FindBatch batch;
  size_t next = 0;
  for (bool more = true; more;) {
    const size_t from = next;
    EXPECT_EQ(find_batch(re, *st, next, batch, more), Status::Ok);
    EXPECT_LE(batch.count, kBatchMatches);
    // A batch ends early only at the end of the walk or a long way on.
    if (more && batch.count < kBatchMatches) {
      EXPECT_GE(next - from, kBatchText);
    }
    for (size_t i = 0; i < batch.count; ++i) {
      if (batch.flat) {
        for (size_t g = 0; g < batch.groups; ++g) add(out, batch.spans_of(i)[g]);
        continue;
      }
      for (const Span& s : batch.matches[i].caps) add(out, s);
      for (const Span& s : batch.matches[i].history) out.emplace_back(0, 0, s.cstart, s.cend);
    }
  }
  return out;
}

void add_match(Spans& out, const FindBatch& b, size_t i) {
  if (b.flat) {
    for (size_t g = 0; g < b.groups; ++g) add(out, b.spans_of(i)[g]);
    return;
  }
  for (const Span& s : b.matches[i].caps) add(out, s);
  for (const Span& s : b.matches[i].history) out.emplace_back(0, 0, s.cstart, s.cend);
}

Spans walk_ahead(const Regex& re, const std::string& text) {
  Spans out;
  FindIter it(re, text);
  size_t at = 0;
  for (bool found = true; found;) {
    EXPECT_EQ(it.next_ahead(at, found), Status::Ok);
    if (found) add_match(out, it.batch(), at);
  }
  return out;
}

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(FindBatch, AgreesWithFindIter) {
  const std::string e = "\xC3\xA9", astral = "\xF0\x9F\x98\x80";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\\w+", repeat("ab c" + e + " ", 5000)},                     // batches ended by count
      {"@\\w", repeat(std::string(1500, 'z') + "@" + e, 1400)},     // and by text covered
      {"x*", repeat("xxy" + astral, 3000)},                         // empty matches
      {"(a)?b(c)?", repeat("ab b bc" + e, 2000)},                   // unset groups
      {"(?:(a)|(b)|\\w)+", repeat("aab ba" + astral + " ", 2000)},  // histories
      {"\\b(\\w+)\\s+\\1\\b", repeat("the the end " + e + " ", 2000)},
  };
  for (const auto& [pattern, text] : cases) {
    auto re = Regex::new_with_flags(pattern, 0);
    ASSERT_TRUE(re.ok()) << pattern;
    const Spans expected = walk_one_by_one(re.value(), text);
    EXPECT_GT(expected.size(), 1000u) << pattern;
    EXPECT_EQ(walk_in_batches(re.value(), text), expected) << pattern;
    EXPECT_EQ(walk_ahead(re.value(), text), expected) << pattern;
  }
}

bool stop(void*) {
  return true;
}

TEST(FindBatch, ReportsAStoppedSearch) {
  // The second search is long enough to poll; the batch keeps the first match.
  auto re = Regex::new_with_flags("@", 0);
  ASSERT_TRUE(re.ok());
  const std::string text = "@" + std::string(size_t(3) << 20, 'z') + "@";
  std::unique_ptr<State> st = re.value().build_state(text);
  FindBatch batch;
  size_t next = 0;
  bool more = true;
  const SearchControl ctl{&stop, nullptr};
  EXPECT_EQ(find_batch(re.value(), *st, next, batch, more, ctl), Status::Interrupted);
  EXPECT_TRUE(more);
  ASSERT_EQ(batch.count, 1u);
  EXPECT_EQ(batch.spans_of(0)[0].cstart, 0u);
  EXPECT_EQ(next, 1u);
}

bool counting_poll(void* ctx) {
  ++*static_cast<int*>(ctx);
  return false;
}

// Returns true at its `stop_at`-th call only.
struct OnePoll {
  int calls = 0;
  int stop_at = 0;
  static bool poll(void* ctx) {
    auto* p = static_cast<OnePoll*>(ctx);
    return ++p->calls == p->stop_at;
  }
};

TEST(FindAhead, AnInterruptionLosesAndRepeatsNoMatch) {
  // Batches of 1, 2 and 4 matches, then the long scan and the last match:
  // the poll stops each of the walk's polls in turn (the long scan's, one
  // per slice; the short batches before it lend nothing first).
  auto re = Regex::new_with_flags("@", 0);
  ASSERT_TRUE(re.ok());
  const std::string text = "@@@@@@" + std::string(size_t(3) << 20, 'z') + "@";
  const Spans expected = walk_one_by_one(re.value(), text);
  ASSERT_EQ(expected.size(), 7u);
  int polls = 0;
  {
    const SearchControl counting{&counting_poll, &polls};
    FindIter it(re.value(), text);
    size_t at = 0;
    for (bool found = true; found;) ASSERT_EQ(it.next_ahead(at, found, counting), Status::Ok);
  }
  ASSERT_GE(polls, 3);
  for (int stop_at = 1; stop_at <= polls; ++stop_at) {
    OnePoll p{0, stop_at};
    const SearchControl ctl{&OnePoll::poll, &p};
    FindIter it(re.value(), text);
    Spans got;
    int interrupted = 0;
    size_t at = 0;
    for (bool found = true; found;) {
      const Status st = it.next_ahead(at, found, ctl);
      if (st == Status::Interrupted) {
        ++interrupted;
        EXPECT_FALSE(it.ready());
        found = true;
        continue;
      }
      ASSERT_EQ(st, Status::Ok);
      if (found) add_match(got, it.batch(), at);
    }
    EXPECT_EQ(got, expected) << stop_at;
    EXPECT_EQ(interrupted, 1) << stop_at;
  }
}

TEST(FindAhead, ReadsNoLongSearchAhead) {
  // After four matches the fourth batch looks for up to eight, but the
  // search after the fourth match is long (2^24 ways to split the run): it
  // is left to the next call, after its first poll. It polls the caller's
  // hook only once it is asked for.
  auto re = Regex::new_with_flags("y|(?:x+x+)+(?<=y)", 0);
  ASSERT_TRUE(re.ok());
  const std::string text = "y y y y " + std::string(24, 'x');
  int polls = 0;
  const SearchControl ctl{&counting_poll, &polls};
  FindIter it(re.value(), text);
  size_t at = 0;
  bool found = false;
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(it.next_ahead(at, found, ctl), Status::Ok);
    ASSERT_TRUE(found);
    EXPECT_EQ(it.batch().spans_of(at)[0].cstart, 2 * i);
  }
  EXPECT_FALSE(it.ready());
  EXPECT_EQ(polls, 0);  // a short text: no batch polled before it began
}

TEST(FindAhead, ShortBatchesLendNothingFirst) {
  // A search made ahead runs long and is cut, so the next batches make one
  // search each; those are short, and a batch of one lends the lock (polls
  // first) only after one that worked long. The long searches poll on
  // their own.
  auto re = Regex::new_with_flags("ab", 0);
  ASSERT_TRUE(re.ok());
  const std::string gap(20000, 'c');
  std::string text = "ab ab " + gap;
  for (int i = 0; i < 2000; ++i) text += "ab ";
  text += gap + "ab";
  int polls = 0;
  const SearchControl ctl{&counting_poll, &polls};
  FindIter it(re.value(), text);
  size_t at = 0, count = 0;
  for (bool found = true; found; count += found) {
    ASSERT_EQ(it.next_ahead(at, found, ctl), Status::Ok);
  }
  EXPECT_EQ(count, 2003u);
  EXPECT_LE(polls, 8);
}

TEST(FindAhead, AnErrorComesAfterTheMatchesBeforeIt) {
  // The seventh search needs more backtrack stack than the cap; it falls in
  // the third batch (1, 2, 4), after three matches found with it.
  auto re = Regex::new_with_flags("y|(?:a|bc)*d(?!x)", 0);
  ASSERT_TRUE(re.ok());
  const std::string text = "y y y y y y " + repeat("abc", 50000) + "d";
  BacktrackCapScope cap(1 << 20);
  FindIter it(re.value(), text);
  size_t at = 0;
  bool found = false;
  for (size_t i = 0; i < 6; ++i) {
    ASSERT_EQ(it.next_ahead(at, found), Status::Ok) << i;
    ASSERT_TRUE(found);
    EXPECT_EQ(it.batch().spans_of(at)[0].cstart, 2 * i);
  }
  EXPECT_EQ(it.next_ahead(at, found), Status::TooDeep);
  EXPECT_FALSE(found);
  // As with one search at a time, the walk stays there.
  EXPECT_EQ(it.next_ahead(at, found), Status::TooDeep);
}

}  // namespace
}  // namespace kordal
