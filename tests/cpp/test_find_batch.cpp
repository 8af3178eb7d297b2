// find_batch: a walk made a batch at a time gives FindIter's matches, with
// every batch within its bounds, whatever falls on a batch's edge.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

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

}  // namespace
}  // namespace kordal
