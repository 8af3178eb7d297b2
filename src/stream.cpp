// Streaming search; see stream.hpp for the algorithm and its invariants.
#include "stream.hpp"

#include <algorithm>

#include "analysis.hpp"
#include "ast.hpp"
#include "backtracker.hpp"
#include "state.hpp"

namespace kordal {

namespace {

constexpr size_t kNoBound = kUnset;

size_t add_sat(size_t a, size_t b) {
  return a == kNoBound || b == kNoBound || a + b < a ? kNoBound : a + b;
}

size_t mul_sat(size_t a, size_t b) {
  if (a == 0 || b == 0) return 0;
  if (a == kNoBound || b == kNoBound || a > kNoBound / b) return kNoBound;
  return a * b;
}

// The most code points a node can consume. A case-insensitive character may
// match a full case folding of up to three code points, so every character
// counts three: the bound only sizes the kept context.
size_t max_width(const Node& n) {
  constexpr size_t kChar = 3;
  switch (n.kind) {
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
    case NodeKind::Look:
      return 0;
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      return kChar;
    case NodeKind::LitStr:
      return mul_sat(n.chars.size(), kChar);
    case NodeKind::Grapheme:
    case NodeKind::BackRef:
      return kNoBound;
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return n.kids.empty() ? 0 : max_width(n.kids[0]);
    case NodeKind::Branch: {
      size_t w = 0;
      for (const Node& k : n.kids) w = std::max(w, max_width(k));
      return w;
    }
    case NodeKind::Sequence: {
      size_t w = 0;
      for (const Node& k : n.kids) w = add_sat(w, max_width(k));
      return w;
    }
    case NodeKind::Repeat: {
      const size_t body = n.kids.empty() ? 0 : max_width(n.kids[0]);
      return mul_sat(body, n.max ? size_t(*n.max) : kNoBound);
    }
  }
  return kNoBound;
}

}  // namespace

size_t Stream::lookbehind_reach(const Node& n) {
  size_t reach = 0;
  for (const Node& k : n.kids) reach = std::max(reach, lookbehind_reach(k));
  if (n.kind == NodeKind::Look && n.behind && !n.kids.empty()) {
    // A lookbehind nested in this one starts at most its width further back.
    reach = add_sat(reach, max_width(n.kids[0]));
  }
  return reach;
}

Stream::Stream(const Regex& re) : re_(re) {
  const size_t reach = lookbehind_reach(re.tree());
  context_ = add_sat(reach, 1);
}

Status Stream::feed(const Text& chunk, std::vector<Match>& out, const SearchControl& ctl) {
  if (closed_) return Status::Ok;
  trim();
  const size_t old = buf_.size();
  buf_.resize(old + chunk.n);
  with_units(chunk, [&](const auto* p) {
    char32_t* d = buf_.data() + old;
    for (size_t i = 0; i < chunk.n; ++i) d[i] = char32_t(p[i]);
  });
  // An empty piece changes nothing, but retries a search that was stopped.
  return search(false, out, ctl);
}

Status Stream::close(std::vector<Match>& out, const SearchControl& ctl) {
  if (closed_) return Status::Ok;
  trim();
  const Status st = search(true, out, ctl);
  if (st == Status::Ok) closed_ = true;
  return st;
}

void Stream::trim() {
  if (closed_) {
    base_ += buf_.size();
    buf_.clear();
    buf_.shrink_to_fit();
    return;
  }
  if (context_ == kNoBound || next_ <= base_) return;
  const size_t keep_from = next_ - base_ > context_ ? next_ - base_ - context_ : 0;
  const size_t drop = std::min(keep_from, buf_.size());
  if (drop == 0) return;
  const size_t bytes = utf8_length(Text::of(buf_.data(), buf_.size()), 0, drop);
  buf_.erase(0, drop);
  base_ += drop;
  base_bytes_ += bytes;
  // A buffer that once held a large piece gives its memory back.
  if (buf_.capacity() > 4 * buf_.size() + 4096) buf_.shrink_to_fit();
}

Status Stream::search(bool final, std::vector<Match>& out, const SearchControl& ctl) {
  const size_t n = buf_.size();
  if (next_ > base_ + n) return Status::Ok;
  // A stopped search reports nothing: the next one finds the same matches.
  const size_t next0 = next_;
  const size_t out0 = out.size();
  auto stopped = [&](Status st) {
    next_ = next0;
    out.resize(out0);
    return st;
  };
  const Text text = Text::of(buf_.data(), n);
  State st = build_state(re_.group_count(), text);
  const Analysis& an = re_.analysis();
  auto may_start = [&an](char32_t c) {
    switch (an.skip) {
      case Analysis::Skip::None:
        return true;
      case Analysis::Skip::Byte:
        return c == char32_t(an.byte);
      case Analysis::Skip::Char:
        return c == an.ch;
      case Analysis::Skip::Set:
        return c < 256 ? an.lo[c] : an.high;
    }
    return true;
  };
  st.ctl = &ctl;
  st.status = Status::Ok;
  st.flat = an.flat_groups;
  Backtracker vm(re_.program());
  size_t s = next_ - base_;
  while (s <= n) {
    size_t undecided = kUnset;  // the first start whose attempt read the end
    size_t at = s;
    bool found = false;
    for (; at <= n; ++at) {
      // Starts the analysis rules out fail on their first code point, or at
      // the stream's start anchor, whatever follows; too close to the end
      // for the least match length, a start waits without an attempt.
      if (at < n && !may_start(buf_[at])) continue;
      if (an.anchored_start && base_ + at > 0) {
        at = n;
        break;
      }
      if (n - at < an.min_len || (at == n && an.skip != Analysis::Skip::None)) {
        if (undecided == kUnset) undecided = at;
        at = n;
        break;
      }
      st.hit_end = false;
      st.reset(at);
      found = vm.run(st, false);
      if (st.status != Status::Ok) return stopped(st.status);
      if (st.hit_end && undecided == kUnset) {
        undecided = at;
        if (!final) break;  // no later match can be final before this start is
      }
      if (found) break;
      // A failed attempt that began with a greedy unbounded loop tried the
      // rest at every position of the loop's run, none at the end: starts
      // inside the run reach a subset of those and fail as decidedly.
      const size_t run_end = vm.lead_end();
      if (run_end != kUnset && run_end > at && run_end < n) at = run_end;
    }
    if (!final && undecided != kUnset) {
      next_ = base_ + undecided;
      return Status::Ok;
    }
    if (!found) {
      // Every start up to n failed whatever follows; n itself is retried.
      next_ = base_ + (final ? n + 1 : n);
      return Status::Ok;
    }
    const size_t end = st.pos;
    st.caps[0] = CpSpan{at, end};
    if (!st.flat) st.history[0].push_back(CpSpan{at, end});
    Match& m = out.emplace_back();
    re_.fill_match(m, {}, st);
    for (Span& sp : m.caps) {
      if (!sp.set()) continue;
      sp.start += base_bytes_;
      sp.end += base_bytes_;
    }
    s = end > at ? end : end + 1;
    next_ = base_ + s;
  }
  return Status::Ok;
}

}  // namespace kordal
