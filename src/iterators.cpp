// FindIter and SplitIter over the Regex's building blocks (iterators.hpp).
#include "iterators.hpp"

#include <algorithm>
#include <exception>

#include "poll.hpp"
#include "state.hpp"

namespace kordal {

namespace {

// What a read-ahead batch holds at most: spans where matches are just their
// groups' spans (32 bytes each), whole matches (histories included) else.
constexpr size_t kAheadSpans = 4096;
constexpr size_t kAheadMatches = 64;

// The poll of a search made ahead of need: its first poll ends it.
bool cut_short(void*) {
  return true;
}

}  // namespace

FindIter::FindIter(const Regex& re, AnyText text) : re_(re) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
FindIter::~FindIter() = default;

void FindIter::lend_narrow(NarrowCopy* narrow) {
  if (state_) state_->text.narrow = narrow;
}

ByteCursor& FindIter::cursor() {
  return state_->cursor;
}

Status FindIter::next(std::optional<Match>& out, const SearchControl& ctl) {
  if (!state_) {
    out.reset();
    return Status::NoMemory;
  }
  return guarded(out, [&] {
    if (poll_before_step(last_step_, next_start_ < state_->n ? state_->n - next_start_ : 0) &&
        ctl.poll && ctl.poll(ctl.ctx)) {
      out.reset();
      return Status::Interrupted;
    }
    bool found = false;
    const uint64_t steps0 = state_->steps;
    const Status status = re_.find_from(*state_, next_start_, found, ctl);
    if (status != Status::Ok || !found) {
      out.reset();
      return status;
    }
    const CpSpan whole = state_->caps()[0];
    if (!out) out.emplace();
    re_.fill_match(*out, state_->utf8, *state_);
    last_step_ = state_->steps - steps0;
    next_start_ = whole.end > whole.start ? whole.end : whole.end + 1;
    return status;
  });
}

Status FindIter::next_ahead(size_t& at, bool& found, const SearchControl& ctl) {
  found = false;
  if (taken_ < batch_.count) {
    at = taken_++;
    found = true;
    return Status::Ok;
  }
  if (exhausted_) return Status::Ok;
  if (!state_) return Status::NoMemory;
  batch_.count = taken_ = 0;
  const size_t n = state_->n;
  // A live iterator keeps its batch: bound what one holds.
  const size_t spans = state_->caps().size();
  const size_t most = batch_.flat ? std::max<size_t>(1, kAheadSpans / spans) : kAheadMatches;
  const size_t limit = quiet_ > 0 ? 1 : std::min(ahead_, most);
  // A batch of a few searches lends the lock first only where the last
  // batch worked long: a hand-over costs as much as a short search, and a
  // long one lends at its own first poll.
  const size_t ahead = next_start_ < n ? n - next_start_ : 0;
  const bool lend =
      limit >= kLendBatch ? lend_for_batch(ahead) : poll_before_step(last_step_, ahead);
  if (lend && ctl.poll && ctl.poll(ctl.ctx)) return Status::Interrupted;
  bool more = true;
  const uint64_t steps0 = state_->steps;
  const Status status = find_batch(re_, *state_, next_start_, batch_, more, ctl, limit, true);
  last_step_ = state_->steps - steps0;
  if (quiet_ > 0) {
    --quiet_;
  } else if (batch_.cut) {
    quiet_ = backoff_;
    backoff_ = backoff_ < (size_t(1) << 20) ? 2 * backoff_ : backoff_;
  } else if (ahead_ < kBatchMatches) {
    ahead_ *= 2;
  }
  if (status == Status::Ok) exhausted_ = !more;
  if (batch_.count == 0) return status;
  at = taken_++;
  found = true;
  return Status::Ok;
}

SplitIter::SplitIter(const Regex& re, AnyText text) : re_(re) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
SplitIter::~SplitIter() = default;

Status SplitIter::next(std::optional<std::string_view>& out, const SearchControl& ctl) {
  out.reset();
  std::optional<Segment> seg;
  const Status status = next_segment(seg, ctl);
  if (status == Status::Ok && seg) {
    if (seg->start >= seg->end) {
      out = std::string_view();
    } else {
      const size_t a = state_->offset(seg->start);
      out = state_->utf8.substr(a, state_->offset(seg->end) - a);
    }
  }
  return status;
}

Status SplitIter::next_segment(std::optional<Segment>& out, const SearchControl& ctl) {
  out.reset();
  if (!pending_.empty()) {
    out = pending_.front();
    pending_.pop_front();
    return Status::Ok;
  }
  if (done_) return Status::Ok;
  if (!state_) return Status::NoMemory;
  return guarded([&] {
    State& st = *state_;
    const size_t p = next_start_ <= st.n ? next_start_ : st.n;
    bool found = false;
    const Status status = re_.find_from(st, next_start_, found, ctl);
    if (status != Status::Ok) return status;
    if (!found) {
      out = Segment{p, st.n};
      done_ = true;
      return status;
    }
    const size_t s = st.caps()[0].start, e = st.caps()[0].end;
    out = Segment{p, s};
    for (size_t g = 1; g < st.caps().size(); ++g) {
      const CpSpan c = st.caps()[g];
      pending_.push_back(c.set() ? Segment{c.start, c.end} : Segment{});
    }
    if (s == e && s < st.n) pending_.push_back(Segment{s, s + 1});
    next_start_ = e > s ? e : e + 1;
    return status;
  });
}

Status find_batch(const Regex& re, State& st, size_t& next, FindBatch& out, bool& more,
                  const SearchControl& ctl, size_t limit, bool ahead) {
  out.count = 0;
  out.cut = false;
  out.groups = st.caps().size();
  const SearchControl cut{&cut_short, nullptr};
  return guarded([&] {
    const size_t until = next + kBatchText;
    const size_t G = out.groups;
    size_t most = limit < kBatchMatches ? limit : kBatchMatches;
    while (out.count < most) {
      bool found = false;
      const bool speculative = ahead && out.count > 0;
      const uint64_t steps0 = st.steps;
      const size_t from = next;
      const Status status =
          re.search_state(st, next, Regex::Anchor::None, false, found, speculative ? cut : ctl);
      // A long search made ahead is left for the next batch to make again.
      if (status == Status::Interrupted && speculative) {
        out.cut = true;
        return Status::Ok;
      }
      if (status != Status::Ok) return status;
      // Where the searches are long, reading ahead saves nothing.
      if (ahead && !speculative &&
          (st.steps - steps0 >= kFirstSlice / 2 ||
           (found && st.caps()[0].end - from >= kFirstSlice / 4))) {
        most = 1;
      }
      if (!found) {
        more = false;
        return status;
      }
      const CpSpan whole = st.caps()[0];
      // A search sets `flat`, the same for every search with one pattern.
      if (out.count == 0) out.flat = st.flat;
      if (out.flat) {
        if (out.spans.size() < (out.count + 1) * G) out.spans.resize((out.count + 1) * G);
        Span* w = out.spans.data() + out.count * G;
        for (size_t g = 0; g < G; ++g) {
          const CpSpan c = st.caps()[g];
          w[g] = c.set() ? Span{st.offset(c.start), st.offset(c.end), c.start, c.end} : Span{};
        }
      } else {
        if (out.count == out.matches.size()) out.matches.emplace_back();
        re.fill_match(out.matches[out.count], st.utf8, st);
      }
      ++out.count;
      next = whole.end > whole.start ? whole.end : whole.end + 1;
      if (next >= until) break;
    }
    return Status::Ok;
  });
}

}  // namespace kordal
