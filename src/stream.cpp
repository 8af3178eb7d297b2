// Streaming search; see stream.hpp for the algorithm and its invariants.
#include "stream.hpp"

#include <algorithm>

#include "analysis.hpp"
#include "ast.hpp"
#include "backtracker.hpp"
#include "dfa.hpp"
#include "state.hpp"
#include "strategy.hpp"

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

template <class V>
void give_back(V& v) {
  // A buffer that once held a large piece gives its memory back.
  if (v.capacity() > 4 * v.size() + 4096) v.shrink_to_fit();
}

}  // namespace

void StreamBuffer::widen(uint8_t width) {
  if (width_ == 1 && width == 2) {
    b2_.assign(b1_.begin(), b1_.end());
  } else if (width_ == 1) {
    b4_.assign(b1_.begin(), b1_.end());
  } else {
    b4_.assign(b2_.begin(), b2_.end());
  }
  b1_ = {};
  if (width == 4) b2_ = {};
  width_ = width;
  ascii_ = false;
}

void StreamBuffer::append(const Text& piece) {
  if (piece.width > width_) widen(piece.width);
  if (width_ == 1) ascii_ = ascii_ && (piece.ascii || piece.n == 0);
  with_units(piece, [&](const auto* p) {
    if (width_ == 1) {
      b1_.insert(b1_.end(), p, p + piece.n);
    } else if (width_ == 2) {
      b2_.insert(b2_.end(), p, p + piece.n);
    } else {
      b4_.insert(b4_.end(), p, p + piece.n);
    }
  });
  n_ += piece.n;
}

void StreamBuffer::drop_front(size_t n) {
  auto drop = [n](auto& v) {
    v.erase(v.begin(), v.begin() + std::ptrdiff_t(n));
    give_back(v);
  };
  if (width_ == 1) drop(b1_);
  if (width_ == 2) drop(b2_);
  if (width_ == 4) drop(b4_);
  n_ -= n;
  if (n_ == 0 && width_ == 1) ascii_ = true;
}

void StreamBuffer::clear() {
  b1_ = {};
  b2_ = {};
  b4_ = {};
  n_ = 0;
  width_ = 1;
  ascii_ = true;
}

Text StreamBuffer::text() const {
  if (width_ == 1) return Text::of(b1_.data(), n_, ascii_);
  if (width_ == 2) return Text::of(b2_.data(), n_);
  return Text::of(b4_.data(), n_);
}

size_t Stream::lookbehind_reach(const Node& n) {
  size_t reach = 0;
  for (const Node& k : n.kids) reach = std::max(reach, lookbehind_reach(k));
  if (n.kind == NodeKind::Look && n.behind && !n.kids.empty()) {
    // A lookbehind nested in this one starts at most its width further back.
    reach = add_sat(reach, max_width(n.kids[0]));
  }
  return reach;
}

Stream::Stream(const Regex& re) : re_(re), prefixes_(re.strategy().prefixes()) {
  const size_t reach = lookbehind_reach(re.tree());
  context_ = add_sat(reach, 1);
}

Status Stream::feed(const Text& chunk, const SearchControl& ctl) {
  nfound_ = 0;
  if (closed_) return Status::Ok;
  trim();
  buf_.append(chunk);
  // An empty piece changes nothing, but retries a search that was stopped.
  return search(false, ctl);
}

Status Stream::close(const SearchControl& ctl) {
  nfound_ = 0;
  if (closed_) return Status::Ok;
  trim();
  const Status st = search(true, ctl);
  if (st == Status::Ok) closed_ = true;
  return st;
}

Status Stream::feed(const Text& chunk, std::vector<Match>& out, const SearchControl& ctl) {
  const Status st = feed(chunk, ctl);
  out.insert(out.end(), found_.begin(), found_.begin() + std::ptrdiff_t(nfound_));
  return st;
}

Status Stream::close(std::vector<Match>& out, const SearchControl& ctl) {
  const Status st = close(ctl);
  out.insert(out.end(), found_.begin(), found_.begin() + std::ptrdiff_t(nfound_));
  return st;
}

void Stream::trim() {
  if (closed_) {
    base_ += buf_.size();
    buf_.clear();
    return;
  }
  if (context_ == kNoBound || next_ <= base_) return;
  const size_t keep_from = next_ - base_ > context_ ? next_ - base_ - context_ : 0;
  const size_t drop = std::min(keep_from, buf_.size());
  if (drop == 0) return;
  const size_t bytes = utf8_length(buf_.text(), 0, drop);
  buf_.drop_front(drop);
  base_ += drop;
  base_bytes_ += bytes;
}

Status Stream::search(bool final, const SearchControl& ctl) {
  const size_t n = buf_.size();
  if (next_ > base_ + n) return Status::Ok;
  // A stopped search reports nothing: the next one finds the same matches.
  const size_t next0 = next_;
  auto stopped = [&](Status st) {
    next_ = next0;
    nfound_ = 0;
    return st;
  };
  const Text text = buf_.text();
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
  size_t s = next_ - base_;
  auto emit = [&](size_t at, size_t end) {
    if (nfound_ == found_.size()) found_.emplace_back();
    Match& m = found_[nfound_++];
    re_.fill_match(m, {}, st);
    for (Span& sp : m.caps) {
      if (!sp.set()) continue;
      sp.start += base_bytes_;
      sp.end += base_bytes_;
    }
    s = end > at ? end : end + 1;
    next_ = base_ + s;
  };
  // Starts before `undecided_from` cannot reach the buffer's end, so their
  // attempts end alike whatever follows: any engine decides them. At close
  // the buffer's end is the text's.
  size_t undecided_from = n + 1;
  if (!final) {
    undecided_from = s;
    // `$` before a line feed asks whether it is the last character, so a
    // thread that reached that line feed depends on the end as well.
    const size_t e = n > 0 && text.at(n - 1) == '\n' ? n - 1 : n;
    if (prefixes_ && s < e) {
      size_t start = e;
      switch (prefixes_->find_start(st, s, e, start)) {
        case Dfa::Outcome::Found:
          undecided_from = start;
          break;
        case Dfa::Outcome::NotFound:
          undecided_from = e;
          break;
        case Dfa::Outcome::GaveUp:
          break;
        case Dfa::Outcome::Stopped:
          return stopped(st.status);
      }
    }
  }
  while (s < undecided_from && s <= n) {
    bool found = false;
    const Status status = re_.search_state(st, s, Regex::Anchor::None, false, found, ctl);
    if (status != Status::Ok) return stopped(status);
    if (!found || st.caps()[0].start >= undecided_from) {
      if (final) {
        next_ = base_ + n + 1;
        return Status::Ok;
      }
      s = std::max(s, undecided_from);
      break;
    }
    emit(st.caps()[0].start, st.caps()[0].end);
  }
  if (final) return Status::Ok;
  // From here the VM, which says whether an attempt read the end.
  Backtracker vm(re_.program());
  while (s <= n) {
    size_t undecided = kUnset;  // the first start whose attempt read the end
    size_t at = s;
    bool found = false;
    for (; at <= n; ++at) {
      // Starts the analysis rules out fail on their first code point, or at
      // the stream's start anchor, whatever follows; too close to the end
      // for the least match length, a start waits without an attempt.
      if (at < n && !may_start(text.at(at))) continue;
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
      if (st.hit_end) {
        undecided = at;
        break;  // no later match can be final before this start is
      }
      if (found) break;
      // A failed attempt that began with a greedy unbounded loop tried the
      // rest at every position of the loop's run, none at the end: starts
      // inside the run reach a subset of those and fail as decidedly.
      const size_t run_end = vm.lead_end();
      if (run_end != kUnset && run_end > at && run_end < n) at = run_end;
    }
    if (undecided != kUnset) {
      next_ = base_ + undecided;
      return Status::Ok;
    }
    if (!found) {
      // Every start up to n failed whatever follows; n itself is retried.
      next_ = base_ + n;
      return Status::Ok;
    }
    const size_t end = st.pos;
    st.set_match(at, end);
    emit(at, end);
  }
  return Status::Ok;
}

}  // namespace kordal
