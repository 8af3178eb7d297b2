// Walks over every match of a pattern in one haystack: FindIter (successive
// matches), SplitIter (the text between them) and find_batch (the matches of
// a walk a batch at a time, for a caller that builds its results apart from
// the searches).
//
// Each iterator keeps one State for the whole walk and resumes each search
// where the last match ended (one code point on after an empty match), so a
// walk costs one search pass over the text, and the byte offsets it reports
// are converted from the previous match on: one pass in total. A search
// stopped by the poll hook or out of stack reports its Status, and the next
// call searches again from the same place. An iterator refers to its Regex
// and its haystack, which must outlive it.
// Tests: tests/test_iteration.py, tests/cpp/test_text.cpp (Text against
// UTF-8), test_corpus.cpp (the corpus's find-all rows), and the fuzz_regex
// and fuzz_engines targets (find-all against find_at and the reference).
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "match_obj.hpp"
#include "poll.hpp"
#include "regex.hpp"
#include "status.hpp"
#include "text.hpp"

namespace kordal {

struct State;

// A segment of a haystack in code-point indices.
struct Segment {
  size_t start = 0;
  size_t end = 0;
};

// The matches of one batch of a find-all walk, in storage reused from batch
// to batch. Where the pattern's groups close at most once per match
// (State::flat) a match is just its groups' spans, `groups` of them per
// match in `spans`; otherwise each is a whole Match, histories included.
struct FindBatch {
  size_t count = 0;   // matches in this batch
  size_t groups = 0;  // spans per match, group 0 included
  bool flat = true;   // whether the matches are in `spans` or in `matches`
  bool cut = false;   // whether it ended at a search made ahead that ran long
  std::vector<Span> spans;
  std::vector<Match> matches;

  const Span* spans_of(size_t i) const { return spans.data() + i * groups; }
};

// Successive matches; an empty match moves the next search one code point on.
// Byte offsets are converted from the previous match on, so a whole walk
// costs one pass over the text.
class FindIter {
 public:
  FindIter(const Regex& re, AnyText text);
  ~FindIter();
  Status next(std::optional<Match>& out, const SearchControl& ctl = {});
  // The same walk read ahead, for a caller that pays per search call (the
  // Python iterator): each time its batch runs out, the next 1, 2, 4, ...
  // up to kBatchMatches matches are found at once (find_batch with
  // `ahead`: only the first search of a batch may run long). On Ok,
  // `found` tells whether batch().spans_of(at) or batch().matches[at] is
  // the next match. An error after some matches of a batch is reported once
  // they have been handed out (the batch drops it, and the next meets it
  // again), so the walk reports everything in text order, as `next` would.
  // A long batch polls first: the Python caller lends the interpreter lock
  // there. Not to be mixed with `next`.
  Status next_ahead(size_t& at, bool& found, const SearchControl& ctl = {});
  // Whether next_ahead would hand out a match found ahead, searching nothing.
  bool ready() const { return taken_ < batch_.count; }
  const FindBatch& batch() const { return batch_; }
  // Lends the walk a 1-byte copy of its text for literal scans (NarrowCopy),
  // or takes it back (null); the caller keeps it alive while lent.
  void lend_narrow(NarrowCopy* narrow);
  // The walk's byte cursor, for a caller that lends it marks (ByteMarks).
  ByteCursor& cursor();

 private:
  const Regex& re_;
  std::unique_ptr<State> state_;
  size_t next_start_ = 0;
  uint64_t last_step_ = 0;  // engine steps the last step took
  bool exhausted_ = false;
  FindBatch batch_;  // next_ahead's matches, handed out from taken_ on
  size_t taken_ = 0;
  size_t ahead_ = 1;  // matches the next batch looks for
  // After a search made ahead ran long (a cut: up to a poll's worth of work
  // lost), the next `quiet_` batches make only the search asked for, so
  // that cuts stay rare against the searches reading ahead saves; each cut
  // doubles the wait after the next.
  size_t quiet_ = 0;
  size_t backoff_ = 32;
};

// Segments between matches, each followed by the texts of the separator's
// groups (empty for a group that did not take part). Segments are slices of
// the haystack: UTF-8 views (next, for a UTF-8 haystack) or code-point
// ranges (next_segment, for either kind).
class SplitIter {
 public:
  SplitIter(const Regex& re, AnyText text);
  ~SplitIter();
  Status next(std::optional<std::string_view>& out, const SearchControl& ctl = {});
  Status next_segment(std::optional<Segment>& out, const SearchControl& ctl = {});

 private:
  const Regex& re_;
  std::unique_ptr<State> state_;
  std::deque<Segment> pending_;
  size_t next_start_ = 0;
  bool done_ = false;
};

// One batch of the walk FindIter makes, over `st` from code point `next`,
// into `out`: until `limit` matches (at most kBatchMatches) or until the walk has moved
// kBatchText code points on (poll.hpp). `next` moves past each match, one
// code point on after an empty one; `more` turns false once no match is
// left. A search stopped by the poll hook or out of stack reports its
// Status; the batch then holds the matches found before it. With `ahead`,
// only the first match was asked for: the searches after it get no poll
// hook but are cut at their first poll (a few thousand steps, or
// kFirstSlice code points), which ends the batch with Ok, so reading ahead
// never runs a long search, nor one that never ends, that was not needed.
Status find_batch(const Regex& re, State& st, size_t& next, FindBatch& out, bool& more,
                  const SearchControl& ctl = {}, size_t limit = kBatchMatches, bool ahead = false);

}  // namespace kordal
