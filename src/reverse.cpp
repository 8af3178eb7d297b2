// The reverse search (see reverse.hpp).
#include "reverse.hpp"

#include <vector>

#include "prefilter.hpp"
#include "program.hpp"
#include "scan.hpp"
#include "state.hpp"

namespace kordal {

namespace {

// A deep copy of a subtree, for an automaton over part of a pattern.
Node clone(const Node& n) {
  Node c;
  c.kind = n.kind;
  c.ign = n.ign;
  c.dotall = n.dotall;
  c.multiline = n.multiline;
  c.negated = n.negated;
  c.ascii = n.ascii;
  c.end = n.end;
  c.greedy = n.greedy;
  c.behind = n.behind;
  c.positive = n.positive;
  c.pkind = n.pkind;
  c.ch = n.ch;
  c.min = n.min;
  c.max = n.max;
  c.index = n.index;
  c.group = n.group;
  c.kids.reserve(n.kids.size());
  for (const Node& k : n.kids) c.kids.push_back(clone(k));
  c.chars = n.chars;
  if (n.cc) c.cc = std::make_unique<CharClass>(*n.cc);
  if (n.prop) c.prop = std::make_unique<Property>(*n.prop);
  c.det_len = n.det_len;
  return c;
}

// Whether some match of `n` can consume the code point c. Errs towards yes:
// a wrong no would let the reverse search skip a match.
bool may_consume(const Node& n, char32_t c) {
  switch (n.kind) {
    case NodeKind::Lit:
      return single_accepts(n, c);
    case NodeKind::LitStr:
      for (char32_t x : n.chars) {
        if (x == c || (n.ign && chars_equal_ci(x, c))) return true;
      }
      return false;
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      // Every case variant too, whatever the class's own folding.
      for (char32_t x : case_class(c)) {
        if (single_accepts(n, x)) return true;
      }
      return single_accepts(n, c);
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
      return false;
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
    case NodeKind::Branch:
    case NodeKind::Sequence:
    case NodeKind::Repeat:
      if (n.kind == NodeKind::Repeat && n.max && *n.max == 0) return false;
      for (const Node& k : n.kids) {
        if (may_consume(k, c)) return true;
      }
      return false;
    default:
      return true;  // graphemes, back references, lookaround
  }
}

}  // namespace

std::unique_ptr<const ReverseSearch> ReverseSearch::plan(const Node& root, const Analysis& an,
                                                         bool prefix_needle) {
  if (!an.regular || an.anchored_start || prefix_needle || root.kind != NodeKind::Sequence) {
    return nullptr;
  }
  const std::vector<Node>& items = root.kids;
  for (size_t k = 1; k < items.size(); ++k) {
    if (items[k].kind != NodeKind::Lit || items[k].ign) continue;
    std::u32string lit;
    size_t j = k;
    while (j < items.size() && items[j].kind == NodeKind::Lit && !items[j].ign &&
           lit.size() < kMaxLitLen) {
      lit.push_back(items[j++].ch);
    }
    bool disjoint = true;
    for (size_t i = 0; i < k && disjoint; ++i) disjoint = !may_consume(items[i], lit[0]);
    bool loop = false;
    if (!disjoint && j == items.size() && k == 1) {
      const Node& r = items[0];
      loop = r.kind == NodeKind::Repeat && !r.max && is_single(r.child());
      for (size_t i = 0; loop && i < lit.size(); ++i) loop = single_accepts(r.child(), lit[i]);
    }
    if (!disjoint && !loop) {
      k = j - 1;
      continue;
    }
    std::unique_ptr<ReverseSearch> rev(new ReverseSearch());
    rev->lit_ = lit;
    rev->disjoint_ = disjoint;
    Needle nd;
    Literal l;
    for (char32_t c : lit) {
      const LitChar lc = lit_char(c, false);
      l.chars.append(&lc, &lc + 1);
    }
    nd.lits.push_back(l);
    rev->pf_ = std::make_unique<const Prefilter>(std::move(nd));
    if (k == 1) {
      rev->prefix_ = std::make_unique<const Node>(clone(items[0]));
    } else {
      auto seq = std::make_unique<Node>();
      seq->kind = NodeKind::Sequence;
      for (size_t i = 0; i < k; ++i) seq->kids.push_back(clone(items[i]));
      rev->prefix_ = std::move(seq);
    }
    return rev;
  }
  return nullptr;
}

ReverseSearch::~ReverseSearch() = default;

ReverseSearch::Outcome ReverseSearch::find(State& st, const Dfa& whole, size_t lo, bool earliest,
                                           StartCheck* check, size_t& start, size_t& end) const {
  const Dfa* pre = prefix_dfa_.get([this] { return Dfa::build(*prefix_); });
  if (!pre) {
    start = lo;
    return Outcome::GaveUp;
  }
  return with_units(st.text, [&](const auto* p) {
    return run(st, p, whole, *pre, lo, earliest, check, start, end);
  });
}

template <class U>
ReverseSearch::Outcome ReverseSearch::run(State& st, const U* p, const Dfa& whole, const Dfa& pre,
                                          size_t lo, bool earliest, StartCheck* check,
                                          size_t& start, size_t& end) const {
  const size_t n = st.n, len = lit_.size();
  const uint64_t steps0 = st.steps;
  const size_t base = lo;  // no match starts in [base, lo)
  size_t fails = 0;
  for (size_t from = lo;;) {
    const size_t q = scan_polled(*pf_, st, p, from);
    if (st.status != Status::Ok) return Outcome::Stopped;
    if (q == kNoPos || q + len > n) return Outcome::NotFound;
    size_t i = 0;
    while (i < len && char32_t(p[q + i]) == lit_[i]) ++i;
    from = q + 1;
    if (i < len) continue;  // a candidate, not an occurrence
    // Rescans or a literal met at nearly every step cost more than one
    // forward pass: hand over.
    if (st.steps - steps0 > 2 * (q - base) + kSlack ||
        (fails > kDenseFails && q - base < fails * kDense)) {
      start = lo;
      return Outcome::GaveUp;
    }
    size_t s = 0, e = 0;
    Dfa::Outcome o = pre.find_start(st, lo, q, s);
    bool checked = false;
    if (o == Dfa::Outcome::Found && check) {
      const Dfa::Outcome c = check->at(st, s, e);
      if (c != Dfa::Outcome::GaveUp) {
        o = c;
        checked = c == Dfa::Outcome::Found;
      }
    }
    if (o == Dfa::Outcome::Found && !checked) o = whole.find_end(st, s, true, earliest, e);
    switch (o) {
      case Dfa::Outcome::Found:
        start = s;
        end = e;
        return checked ? Outcome::Checked : Outcome::Found;
      case Dfa::Outcome::NotFound:
        ++fails;
        if (disjoint_) lo = q + 1;
        break;
      case Dfa::Outcome::GaveUp:
        start = lo;
        return Outcome::GaveUp;
      case Dfa::Outcome::Stopped:
        return Outcome::Stopped;
    }
  }
}

Dfa::Outcome find_from_end(State& st, const Dfa& whole, size_t lo, EndAnchor anchor, bool need_end,
                           size_t& start, size_t& end) {
  const size_t n = st.n;
  size_t ends[2] = {n, n};
  size_t count = 1;
  if (anchor == EndAnchor::Line && n > 0 && st.text.at(n - 1) == '\n') ends[count++] = n - 1;
  bool found = false, tie = false;
  for (size_t k = 0; k < count; ++k) {
    if (ends[k] < lo) continue;
    size_t s = 0;
    const Dfa::Outcome o = whole.find_start(st, lo, ends[k], s);
    if (o == Dfa::Outcome::GaveUp || o == Dfa::Outcome::Stopped) return o;
    if (o != Dfa::Outcome::Found) continue;
    if (!found || s < start) {
      start = s;
      end = ends[k];
      tie = false;
    } else if (s == start) {
      tie = true;
    }
    found = true;
  }
  if (!found) return Dfa::Outcome::NotFound;
  if (!tie || !need_end) return Dfa::Outcome::Found;
  // Matches from `start` end at both: the priority order picks one.
  const Dfa::Outcome o = whole.find_end(st, start, true, false, end);
  return o == Dfa::Outcome::NotFound ? Dfa::Outcome::GaveUp : o;
}

bool ReverseSearch::may_occur(State& st, size_t from) const {
  return with_units(st.text,
                    [&](const auto* p) { return scan_polled(*pf_, st, p, from) != kNoPos; });
}

}  // namespace kordal
