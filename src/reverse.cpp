// The reverse search (see reverse.hpp).
#include "reverse.hpp"

#include <limits>
#include <type_traits>
#include <vector>

#include "prefilter.hpp"
#include "program.hpp"
#include "scan.hpp"
#include "simd.hpp"
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

// One item of a pattern read as a flat sequence: a node, or (`less`) a
// counted repetition X{n,m} with one iteration fewer, X{n-1,m-1}, the rest
// of it once its first iteration stands before it as items of its own.
struct Item {
  const Node* node = nullptr;
  bool less = false;
};

// Appends the items of `n` read as a flat sequence of the same language:
// sequences, groups and non-capturing groups opened, empty nodes dropped, and
// a counted repetition whose body is more than one character and must run
// once (X{n,m} with n >= 1) split into X X{n-1,m-1}, its first X opened in
// turn. Only the language matters here: the items are read to find a prefix
// and a literal, never matched as they stand. Recursion is one level per tree
// level, bounded by the parser's nesting limit.
void flatten(const Node& n, std::vector<Item>& out) {
  switch (n.kind) {
    case NodeKind::Empty:
      return;
    case NodeKind::Sequence:
      for (const Node& k : n.kids) flatten(k, out);
      return;
    case NodeKind::Group:
    case NodeKind::NonCap:
      flatten(n.child(), out);
      return;
    case NodeKind::Repeat:
      if (n.min >= 1 && !is_single(n.child())) {
        flatten(n.child(), out);
        if (!n.max || *n.max > 1) out.push_back(Item{&n, true});
        return;
      }
      break;
    default:
      break;
  }
  out.push_back(Item{&n, false});
}

Node clone_item(const Item& it) {
  if (!it.less) return clone(*it.node);
  Node r;
  r.kind = NodeKind::Repeat;
  r.greedy = it.node->greedy;
  r.min = it.node->min - 1;
  if (it.node->max) r.max = *it.node->max - 1;
  r.kids.push_back(clone(it.node->child()));
  return r;
}

bool is_lit(const Item& it) {
  return !it.less && it.node->kind == NodeKind::Lit && !it.node->ign;
}

// The first literal of `items` at which the pattern splits as P L S with
// one of the facts of reverse.hpp: P = items[0, k), L = `lit`. Both facts
// hold for the flat items as for the sequence they came from, since both
// have the same language and only the languages of P, L and S enter them.
// Split at the literal, X{n,m} R = Y L Z X{n-1,m-1} R with X = Y L Z gives
// P = Y and S = Z X{n-1,m-1} R: disjoint when nothing Y consumes is L's first
// character; the loop prefix needs Y to be one class repeated, whatever
// Z X{n-1,m-1} R is.
bool split_at_literal(const std::vector<Item>& items, size_t& k, std::u32string& lit,
                      bool& disjoint) {
  for (k = 1; k < items.size(); ++k) {
    if (!is_lit(items[k])) continue;
    lit.clear();
    size_t j = k;
    while (j < items.size() && is_lit(items[j]) && lit.size() < kMaxLitLen) {
      lit.push_back(items[j++].node->ch);
    }
    disjoint = true;
    for (size_t i = 0; i < k && disjoint; ++i) disjoint = !may_consume(*items[i].node, lit[0]);
    bool loop = false;
    if (!disjoint && k == 1 && !items[0].less) {
      const Node& r = *items[0].node;
      loop = r.kind == NodeKind::Repeat && !r.max && is_single(r.child());
      for (size_t i = 0; loop && i < lit.size(); ++i) loop = single_accepts(r.child(), lit[i]);
    }
    if (disjoint || loop) return true;
    k = j - 1;
  }
  return false;
}

// Where the scans for a unit above 255 before the literal have got to: the
// next such occurrence at or after `from` is `hit` when hit >= from, and
// there is none in [from, to) otherwise.
struct HighPairs {
  size_t to = 0;
  size_t hit = kNoPos;
};

// The least q >= from (from >= 1) with lo <= p[q - 1] <= hi and p[q] == c,
// or with `rest` >= 0, also p[q - 1] >= rest and ends(p[q - 1]); read in
// polled slices as scan_polled reads; kNoPos when there is none or the poll
// hook stopped the scan. The second kind is found by a second pair scan,
// whose hit is kept in `hp` for the next calls, so that each scan reads the
// text once in all; it checks ends() itself, as in a narrow copy it stops
// after every wide unit (a word of another script before a `.`).
template <class U, class Ends>
size_t next_pair(State& st, const U* p, size_t from, U lo, U hi, U c, int64_t rest, HighPairs& hp,
                 const Ends& ends) {
  return scan_narrowed(st, p, from, hi < 0xFF && c < 0xFF, [&](const auto* q, size_t a, size_t b) {
    using V = std::remove_cv_t<std::remove_pointer_t<decltype(q)>>;
    size_t i = simd::find_range_pair(q, a - 1, b - 1, V(lo), V(hi), 1, V(c));
    if (rest >= 0) {
      // In the narrow copy every unit above 0xFE reads 0xFF.
      const V rlo = V(std::min<int64_t>(rest, std::numeric_limits<V>::max()));
      if (hp.hit == kNoPos || hp.hit < a) {
        size_t start = hp.to > a && hp.hit == kNoPos ? hp.to : a;
        size_t j = b - 1;
        while (start < b) {
          j = simd::find_range_pair(q, start - 1, b - 1, rlo, std::numeric_limits<V>::max(), 1,
                                    V(c));
          if (j >= b - 1 || ends(p[j])) break;
          start = j + 2;
          j = b - 1;
        }
        hp.hit = j < b - 1 ? j + 1 : kNoPos;
        hp.to = std::max(hp.to, b);
      }
      if (hp.hit != kNoPos && hp.hit < b && hp.hit - 1 < i) i = hp.hit - 1;
    }
    return i < b - 1 ? i + 1 : kNoPos;
  });
}

// The least q >= from at which the literal (len units) may occur: p[q +
// len - 1] == c, its last unit, and lo <= p[q + len] <= hi, read in polled
// slices as scan_polled reads; kNoPos when there is none or the poll hook
// stopped the scan.
template <class U>
size_t next_pair_after(State& st, const U* p, size_t from, U lo, U hi, U c, size_t len) {
  const size_t n = st.n;
  if (from >= n || n - from <= len) return kNoPos;
  return scan_narrowed(st, p, from, hi < 0xFF && c < 0xFF, [&](const auto* q, size_t a, size_t b) {
    using V = std::remove_cv_t<std::remove_pointer_t<decltype(q)>>;
    const size_t stop = std::min(b + len, n);
    const size_t i = simd::find_range_pair(q, a + len, stop, V(lo), V(hi), -1, V(c));
    return i < stop ? i - len : kNoPos;
  });
}

}  // namespace

std::unique_ptr<const ReverseSearch> ReverseSearch::plan(const Node& root, const Analysis& an,
                                                         bool prefix_needle) {
  if (!an.regular || an.anchored_start || prefix_needle) return nullptr;
  // The top-level sequence as it stands first, then flattened: a literal
  // inside a group or a counted repetition.
  std::vector<Item> items;
  size_t k = 0;
  std::u32string lit;
  bool disjoint = false;
  bool split = false;
  if (root.kind == NodeKind::Sequence) {
    for (const Node& kid : root.kids) items.push_back(Item{&kid, false});
    split = split_at_literal(items, k, lit, disjoint);
  }
  if (!split) {
    items.clear();
    flatten(root, items);
    split = split_at_literal(items, k, lit, disjoint);
  }
  if (!split) return nullptr;
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
    rev->prefix_ = std::make_unique<const Node>(clone_item(items[0]));
  } else {
    auto seq = std::make_unique<Node>();
    seq->kind = NodeKind::Sequence;
    for (size_t i = 0; i < k; ++i) seq->kids.push_back(clone_item(items[i]));
    rev->prefix_ = std::move(seq);
  }
  rev->last_ = last_set(*rev->prefix_);
  Node rest;
  rest.kind = NodeKind::Sequence;
  for (size_t i = k + lit.size(); i < items.size(); ++i) rest.kids.push_back(clone_item(items[i]));
  rev->next_ = first_set(rest);
  const FirstSet& last = rev->last_;
  if (!last.nullable && last.lo.any()) {
    int a = 0, b = 255;
    while (!last.lo[size_t(a)]) ++a;
    while (!last.lo[size_t(b)]) --b;
    // The run from the least member, and the rest from the next one up,
    // unless that is ASCII: the second scan would stop at most occurrences.
    int r = a;
    while (r < b && last.lo[size_t(r + 1)]) ++r;
    int rest = -1;
    if (r < b) {
      rest = r + 1;
      while (!last.lo[size_t(rest)]) ++rest;
    }
    // The pair scan stops at the literal's first unit after the run; the
    // literal scan at its rarest units. The pair scan, one vector pass,
    // unless it would stop far more often (an `@` after a word character
    // or `h` then `t` keep it; a space after a letter does not).
    constexpr double kPairMargin = 8;
    double run = 0;
    auto freq = [](char32_t c) { return char_frequency(lit_char(c, false)); };
    for (int u = a; u <= r; ++u) run += freq(char32_t(u));
    double f1 = 1, f2 = 1;  // the literal's two rarest units
    for (char32_t c : lit) {
      const double f = freq(c);
      if (f < f1) {
        f2 = f1;
        f1 = f;
      } else if (f < f2) {
        f2 = f;
      }
    }
    const bool pays = freq(lit[0]) * run <= kPairMargin * (lit.size() == 1 ? f1 : f1 * f2);
    if (pays && (rest < 0 || rest >= 0x80)) {
      rev->pair_lo_ = a;
      rev->pair_hi_ = r;
      rev->pair_rest_ = rest;
    }
    // What follows the literal, where it is one range of units below 0xFF
    // and rarer than what ends P (a capital after the space of
    // `[A-Z][a-z]+ [A-Z]`, where a space after a letter is everywhere).
    const FirstSet& next = rev->next_;
    if (!next.nullable && !next.high && next.lo.any() && lit.back() < 0xFF) {
      int c = 0, d = 0xFE;
      while (!next.lo[size_t(c)]) ++c;
      while (d > c && !next.lo[size_t(d)]) --d;
      double after = 0;
      bool one_range = !next.lo[0xFF];
      for (int u = c; u <= d; ++u) {
        one_range = one_range && next.lo[size_t(u)];
        after += freq(char32_t(u));
      }
      const double before = rev->pair_lo_ >= 0 ? run : 1.0;
      if (one_range && after < before &&
          freq(lit.back()) * after <= kPairMargin * (lit.size() == 1 ? f1 : f1 * f2)) {
        rev->pair_lo_ = rev->pair_hi_ = rev->pair_rest_ = -1;
        rev->after_lo_ = c;
        rev->after_hi_ = d;
      }
    }
  }
  return rev;
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
  // Units above 255 that can end a P-match occur only in wider text.
  const bool pair = pair_lo_ >= 0 && char32_t(U(lit_[0])) == lit_[0];
  const bool after = after_lo_ >= 0;
  const int64_t rest = pair_rest_ >= 0 ? pair_rest_ : sizeof(U) > 1 && last_.high ? 256 : -1;
  HighPairs hp;
  for (size_t from = lo;;) {
    const size_t q =
        pair ? next_pair(st, p, std::max(from, lo + 1), U(pair_lo_), U(pair_hi_), U(lit_[0]), rest,
                         hp, [this](U u) { return ends_prefix(u); })
        : after ? next_pair_after(st, p, from, U(after_lo_), U(after_hi_), U(lit_.back()), len)
                : scan_polled(*pf_, st, p, from);
    if (st.status != Status::Ok) return Outcome::Stopped;
    if (q == kNoPos || q + len > n) return Outcome::NotFound;
    // A wide text's candidates are checked in its narrow copy, which the
    // scan has just read, where it has one; a unit 0xFF there sends the
    // check to the text.
    const NarrowCopy* nc = sizeof(U) > 1 ? st.text.narrow : nullptr;
    const uint8_t* nu = nc != nullptr ? nc->units : nullptr;
    auto at = [&](size_t j) { return nu != nullptr && nu[j] != 0xFF ? U(nu[j]) : p[j]; };
    size_t i = 0;
    while (i < len && char32_t(at(q + i)) == lit_[i]) ++i;
    from = q + 1;
    if (i < len) continue;  // a candidate, not an occurrence
    // The unit before q ends no P-match: one lookup instead of a reverse
    // scan, and no automaton work for either guard to count. (The pair
    // scan has checked it, but for a unit above 255.)
    if ((!pair || rest >= 0) && !last_.nullable && (q == lo || !ends_prefix(at(q - 1)))) {
      if (disjoint_) lo = q + 1;
      continue;
    }
    // Nor does the unit after it begin an S-match: one lookup again.
    if (!next_.nullable && (q + len == n || !begins_rest(at(q + len)))) {
      if (disjoint_) lo = q + 1;
      continue;
    }
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
