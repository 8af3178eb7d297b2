// FindIter and SplitIter over the Regex's building blocks (iterators.hpp).
#include "iterators.hpp"

#include <exception>

#include "poll.hpp"
#include "state.hpp"

namespace kordal {

FindIter::FindIter(const Regex& re, AnyText text) : re_(re) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
FindIter::~FindIter() = default;

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
                  const SearchControl& ctl) {
  out.count = 0;
  out.groups = st.caps().size();
  return guarded([&] {
    const size_t until = next + kBatchText;
    const size_t G = out.groups;
    while (out.count < kBatchMatches) {
      bool found = false;
      const Status status = re.search_state(st, next, Regex::Anchor::None, false, found, ctl);
      if (status != Status::Ok) return status;
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
