// Pattern analysis (see analysis.hpp for the scheme).
#include "analysis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <utility>

#include "char_test.hpp"
#include "program.hpp"
#include "unicode.hpp"

namespace kordal {
namespace {

constexpr size_t kMaxSet = 4096;  // literals in one set: a dictionary alternation fits
constexpr size_t kMaxCross = 64;  // literals a concatenation may produce
constexpr size_t kMaxClass = 8;   // a class with more members is not expanded
constexpr size_t kMaxHighs = 16;  // code points above 255 listed in a FirstSet
constexpr size_t kMaxRun = 64;    // items one literal run may cross in a sequence

uint64_t sat_add(uint64_t a, uint64_t b) {
  return a > kUnbounded - b ? kUnbounded : a + b;
}
uint64_t sat_mul(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kUnbounded / b ? kUnbounded : a * b;
}
uint64_t sat_sub(uint64_t a, uint64_t b) {
  if (a == kUnbounded) return a;
  return a > b ? a - b : 0;
}

// --- case classes ---

// --- literal sets ---

// A finite set of literals, or unknown (`known` false). As a prefix set:
// every match of the node is one of the exact literals or starts with one of
// the others; as a suffix set likewise at the end.
struct LitSet {
  bool known = false;
  std::vector<Literal> lits;

  static LitSet unknown() { return {}; }
  static LitSet empty_match() {
    LitSet s;
    s.known = true;
    s.lits.push_back(Literal{});
    return s;
  }
  bool any_exact() const {
    for (const Literal& l : lits) {
      if (l.exact) return true;
    }
    return false;
  }
  bool all_exact() const {
    for (const Literal& l : lits) {
      if (!l.exact) return false;
    }
    return known;
  }
  size_t min_len() const {
    size_t m = SIZE_MAX;
    for (const Literal& l : lits) m = std::min(m, l.chars.size());
    return m == SIZE_MAX ? 0 : m;
  }
  size_t max_len() const {
    size_t m = 0;
    for (const Literal& l : lits) m = std::max(m, l.chars.size());
    return m;
  }
};

void make_inexact(LitSet& s) {
  for (Literal& l : s.lits) l.exact = false;
}

// Sorts, drops duplicates; an inexact empty literal says nothing.
void normalize(LitSet& s) {
  if (!s.known) return;
  // Products of sorted sets often come out sorted already.
  const auto disorder = std::adjacent_find(
      s.lits.begin(), s.lits.end(), [](const Literal& a, const Literal& b) { return !(a < b); });
  if (disorder != s.lits.end()) {
    std::sort(s.lits.begin(), s.lits.end());
    s.lits.erase(std::unique(s.lits.begin(), s.lits.end()), s.lits.end());
  }
  for (const Literal& l : s.lits) {
    if (!l.exact && l.chars.empty()) {
      s = LitSet::unknown();
      return;
    }
  }
  if (s.lits.empty()) s = LitSet::unknown();
}

// Shortens the literals until at most `cap` distinct ones remain.
void shrink(LitSet& s, size_t cap, bool front) {
  normalize(s);
  while (s.known && s.lits.size() > cap) {
    const size_t len = s.max_len();
    if (len <= 1) {
      s = LitSet::unknown();
      return;
    }
    for (Literal& l : s.lits) {
      if (l.chars.size() < len) continue;
      if (front) {
        l.chars.pop_back();
      } else {
        l.chars.pop_front();
      }
      l.exact = false;
    }
    normalize(s);
  }
}

// Prefix set of A followed by B: exact members of A are extended by B's.
LitSet cross_pre(const LitSet& a, const LitSet& b) {
  if (!a.known || !a.any_exact()) return a;
  size_t count = 0;
  for (const Literal& x : a.lits) count += x.exact ? b.lits.size() : 1;
  if (!b.known || count > kMaxCross) {
    LitSet out = a;
    make_inexact(out);
    return out;
  }
  LitSet out;
  out.known = true;
  out.lits.reserve(count);
  for (const Literal& x : a.lits) {
    if (!x.exact) {
      out.lits.push_back(x);
      continue;
    }
    for (const Literal& y : b.lits) {
      Literal& z = out.lits.emplace_back(x);
      z.exact = z.chars.append(y.chars.begin(), y.chars.end()) && y.exact;
    }
  }
  normalize(out);
  return out;
}

// Suffix set of A followed by B, given A's and B's suffix sets.
LitSet cross_suf(const LitSet& a, const LitSet& b) {
  if (!b.known || !b.any_exact()) return b;
  size_t count = 0;
  for (const Literal& y : b.lits) count += y.exact ? a.lits.size() : 1;
  if (!a.known || count > kMaxCross) {
    LitSet out = b;
    make_inexact(out);
    return out;
  }
  LitSet out;
  out.known = true;
  out.lits.reserve(count);
  for (const Literal& y : b.lits) {
    if (!y.exact) {
      out.lits.push_back(y);
      continue;
    }
    for (const Literal& x : a.lits) {
      Literal& z = out.lits.emplace_back(y);
      z.exact = z.chars.prepend(x.chars.begin(), x.chars.end()) && x.exact;
    }
  }
  normalize(out);
  return out;
}

// --- needle candidates ---

// A literal set every match of a node contains, its first character between
// lo and hi code points after the node's start.
struct Cand {
  LitSet set;
  uint64_t lo = 0;
  uint64_t hi = 0;
  double cost = 0;  // score()
};

double literal_rate(const Literal& l) {
  double r = 1.0;
  for (const LitChar& c : l.chars) r *= char_frequency(c);
  return std::max(r, 1e-12);
}

// Lower is better: a rough cost per text position of searching the set
// plus that of trying the match starts its occurrences leave, which an
// occurrence pins down only as far as the offsets are bounded. The scan costs
// follow the searchers' measured speeds: a vector scan for one literal or a
// few units (~20 GB/s), a table scan for more units or a bit-parallel scan
// for a few short literals (~1 GB/s), an automaton for a larger set
// (~0.2 GB/s).
double score(const LitSet& set, uint64_t lo, uint64_t hi) {
  const std::vector<Literal>& lits = set.lits;
  double scan = 0.02;
  if (lits.size() > 1) {
    size_t firsts = 0, total = 0;
    for (const Literal& l : lits) {
      firsts += l.chars[0].fold ? 3 : 1;
      total += l.chars.size();
    }
    if (total == lits.size()) {
      scan = firsts > 4 ? 0.4 : 0.02;
    } else {
      scan = total <= 64 ? 0.4 : 2.0;
    }
  }
  double rate = 0;
  for (const Literal& l : lits) rate += literal_rate(l);
  const double window = hi == kUnbounded ? 256.0 : double(std::min<uint64_t>(hi - lo, 255) + 1);
  return scan + rate * window * 20;
}

bool usable(const LitSet& set) {
  if (!set.known || set.lits.empty()) return false;
  for (const Literal& l : set.lits) {
    if (l.chars.empty()) return false;
  }
  return true;
}

// Keeps the candidate (set, lo, hi) if it beats `best`; copies only then.
template <class Set>
void consider(std::optional<Cand>& best, Set&& set, uint64_t lo, uint64_t hi) {
  if (!usable(set)) return;
  const double cost = score(set, lo, hi);
  if (best && best->cost <= cost) return;
  best = Cand{std::forward<Set>(set), lo, hi, cost};
}

// --- per-node facts ---

struct Info {
  uint64_t min = 0, max = 0;
  LitSet pre, suf;
  std::optional<Cand> best;
  bool regular = true;
  bool astart = false;  // every match starts at position 0
  EndAnchor aend = EndAnchor::None;
  bool eline = false;  // every match ends at a line end ($, \Z or \z)
};

Info zero_width() {
  Info i;
  i.pre = LitSet::empty_match();
  i.suf = LitSet::empty_match();
  return i;
}

Info single(LitSet s) {
  Info i;
  i.min = i.max = 1;
  i.pre = s;
  i.suf = std::move(s);
  return i;
}

LitSet one_literal(const LitChar* first, const LitChar* last, bool front) {
  LitSet s;
  s.known = true;
  Literal& l = s.lits.emplace_back();
  l.exact = front ? l.chars.append(first, last) : l.chars.prepend(first, last);
  return s;
}

LitSet one_char(LitChar c) {
  return one_literal(&c, &c + 1, true);
}

// The members of a plain class, when it is small enough to list.
LitSet class_set(const CharClass& cc) {
  if (cc.negated) return LitSet::unknown();
  std::vector<char32_t> cps;
  for (const ClassItem& it : cc.items) {
    if (it.kind != ClassItem::Kind::Set) return LitSet::unknown();
    for (const auto& [lo, hi] : it.set.ranges) {
      if (hi - lo >= kMaxClass || cps.size() + (hi - lo) >= kMaxClass) return LitSet::unknown();
      for (char32_t c = lo; c <= hi; ++c) cps.push_back(c);
    }
  }
  std::sort(cps.begin(), cps.end());
  cps.erase(std::unique(cps.begin(), cps.end()), cps.end());
  if (cps.empty()) return LitSet::unknown();
  // A class that is exactly one case class, as `[Kk\x{212A}]`, is one position.
  if (cps.size() > 1 && cps.size() <= 3 && case_class(cps[0]) == cps) {
    return one_char(LitChar{cps[0], true});
  }
  LitSet s;
  s.known = true;
  for (char32_t c : cps) s.lits.push_back(Literal{{LitChar{c, false}}, true});
  return s;
}

Info info_of(const Node& nd);

// Literal items of a sequence (the common case: `abc` is three Lit items)
// are kept as plain characters, so a run of them costs no set operations.
bool fixed_chars(const Node& nd, std::vector<LitChar>& buf) {
  if (nd.kind == NodeKind::Lit) {
    buf.push_back(lit_char(nd.ch, nd.ign));
    return true;
  }
  if (nd.kind == NodeKind::LitStr && !nd.chars.empty()) {
    for (char32_t c : nd.chars) buf.push_back(lit_char(c, nd.ign));
    return true;
  }
  return false;
}

// The longest literal every literal of `set` begins with, as a set of one,
// when the set has two or more and that beginning is rare on its own;
// unknown otherwise. The table rates common words far too rare (the `the `
// of `the (?:man|woman)` starts a line's every other word), and each of
// their hits would cost a check that the set's own scan does not make.
LitSet shared_prefix(const LitSet& set) {
  constexpr double kRareBeginning = 1e-5;
  if (!set.known || set.lits.size() < 2) return LitSet::unknown();
  const LitChars& first = set.lits[0].chars;
  size_t n = first.size();
  for (const Literal& l : set.lits) {
    n = size_t(
        std::mismatch(first.begin(), first.begin() + std::min(n, l.chars.size()), l.chars.begin())
            .first -
        first.begin());
  }
  if (n == 0) return LitSet::unknown();
  LitSet out;
  out.known = true;
  Literal& l = out.lits.emplace_back();
  l.chars.append(first.begin(), first.begin() + n);
  l.exact = false;
  if (literal_rate(l) >= kRareBeginning) return LitSet::unknown();
  return out;
}

Info seq_info(const std::vector<Node>& items) {
  const size_t n = items.size();
  std::vector<Info> infos(n);
  std::vector<LitChar> buf;
  std::vector<size_t> off(n + 1, 0);
  std::vector<bool> fixed(n, false);
  for (size_t i = 0; i < n; ++i) {
    fixed[i] = fixed_chars(items[i], buf);
    off[i + 1] = buf.size();
    if (fixed[i]) {
      infos[i].min = infos[i].max = off[i + 1] - off[i];
    } else {
      infos[i] = info_of(items[i]);
    }
  }
  std::vector<uint64_t> acc_min(n + 1, 0), acc_max(n + 1, 0);
  for (size_t i = 0; i < n; ++i) {
    acc_min[i + 1] = sat_add(acc_min[i], infos[i].min);
    acc_max[i + 1] = sat_add(acc_max[i], infos[i].max);
  }
  auto item_set = [&](size_t j, bool front) {
    return one_literal(buf.data() + off[j], buf.data() + off[j + 1], front);
  };
  // Prefix set of items[i..]: stops where no literal is exact any more.
  auto run_from = [&](size_t i) {
    LitSet cur = LitSet::empty_match();
    for (size_t j = i; j < n && cur.known && cur.any_exact(); ++j) {
      if (j - i >= kMaxRun) {
        make_inexact(cur);
        break;
      }
      if (fixed[j] && cur.lits.size() == 1) {
        Literal& l = cur.lits[0];
        l.exact = l.chars.append(buf.data() + off[j], buf.data() + off[j + 1]);
        continue;
      }
      cur = cross_pre(cur, fixed[j] ? item_set(j, true) : infos[j].pre);
    }
    return cur;
  };
  Info out;
  out.min = acc_min[n];
  out.max = acc_max[n];
  for (const Info& it : infos) out.regular = out.regular && it.regular;
  for (size_t i = 0; i < n && !out.astart; ++i) {
    out.astart = infos[i].astart;
    if (infos[i].max != 0) break;
  }
  for (size_t i = n; i-- > 0 && out.aend == EndAnchor::None;) {
    out.aend = infos[i].aend;
    if (infos[i].max != 0) break;
  }
  for (size_t i = n; i-- > 0 && !out.eline;) {
    out.eline = infos[i].eline;
    if (infos[i].max != 0) break;
  }
  out.pre = run_from(0);
  LitSet suf = LitSet::empty_match();
  for (size_t j = n; j-- > 0 && suf.known && suf.any_exact();) {
    if (n - j > kMaxRun) {
      make_inexact(suf);
      break;
    }
    if (fixed[j] && suf.lits.size() == 1) {
      Literal& l = suf.lits[0];
      l.exact = l.chars.prepend(buf.data() + off[j], buf.data() + off[j + 1]);
      continue;
    }
    suf = cross_suf(fixed[j] ? item_set(j, false) : infos[j].suf, suf);
  }
  out.suf = std::move(suf);

  for (size_t i = 0; i < n; ++i) {
    const Info& it = infos[i];
    if (it.best) {
      consider(out.best, it.best->set, sat_add(acc_min[i], it.best->lo),
               sat_add(acc_max[i], it.best->hi));
    }
    // A run that starts right after an item that is one fixed string is
    // contained in the run that starts at that item.
    const Info* prev = i > 0 ? &infos[i - 1] : nullptr;
    const bool prev_fixed =
        prev && (fixed[i - 1] || (prev->pre.all_exact() && prev->pre.lits.size() == 1));
    if ((!fixed[i] && !it.pre.known) || prev_fixed) continue;
    const LitSet run = i == 0 ? out.pre : run_from(i);
    consider(out.best, run, acc_min[i], acc_max[i]);
    // Their shared beginning, one literal a single scan finds
    // (`LATIN (?:SMALL|CAPITAL) LETTER` gives `LATIN `).
    if (LitSet common = shared_prefix(run); common.known) {
      consider(out.best, std::move(common), acc_min[i], acc_max[i]);
    }
    // The end of the previous item joined to the run.
    if (!prev || !prev->suf.known || prev->suf.all_exact() || !run.known) continue;
    if (prev->suf.lits.size() * run.lits.size() > kMaxCross) continue;
    LitSet joined;
    joined.known = true;
    for (const Literal& a : prev->suf.lits) {
      for (const Literal& r : run.lits) {
        Literal& z = joined.lits.emplace_back(a);
        z.chars.append(r.chars.begin(), r.chars.end());
        z.exact = false;
      }
    }
    normalize(joined);
    const uint64_t lo = sat_sub(acc_min[i], prev->suf.max_len());
    const uint64_t hi = sat_sub(acc_max[i], prev->suf.min_len());
    consider(out.best, std::move(joined), lo, hi);
  }
  return out;
}

// Appends b's literals to a, both built from alternatives; normalised once
// all are in, so a long alternation costs one sort.
void gather(LitSet& a, const LitSet& b) {
  if (!a.known) return;
  if (!b.known) {
    a = LitSet::unknown();
    return;
  }
  a.lits.insert(a.lits.end(), b.lits.begin(), b.lits.end());
}

Info branch_info(const std::vector<Node>& alts) {
  Info out;
  out.min = kUnbounded;
  out.astart = true;
  out.aend = EndAnchor::Text;
  out.eline = !alts.empty();
  out.pre.known = out.suf.known = true;
  Cand joined;
  joined.set.known = true;
  joined.lo = kUnbounded;
  for (const Node& alt : alts) {
    const Info a = info_of(alt);
    out.min = std::min(out.min, a.min);
    out.max = std::max(out.max, a.max);
    out.regular = out.regular && a.regular;
    out.astart = out.astart && a.astart;
    out.eline = out.eline && a.eline;
    if (a.aend == EndAnchor::None || out.aend == EndAnchor::None) {
      out.aend = EndAnchor::None;
    } else if (a.aend == EndAnchor::Line) {
      out.aend = EndAnchor::Line;
    }
    gather(out.pre, a.pre);
    gather(out.suf, a.suf);
    if (!a.best) {
      joined.set = LitSet::unknown();
    } else {
      gather(joined.set, a.best->set);
      joined.lo = std::min(joined.lo, a.best->lo);
      joined.hi = std::max(joined.hi, a.best->hi);
    }
  }
  shrink(out.pre, kMaxSet, true);
  shrink(out.suf, kMaxSet, false);
  shrink(joined.set, kMaxSet, true);
  consider(out.best, std::move(joined.set), joined.lo, joined.hi);
  return out;
}

Info repeat_info(const Node& nd) {
  const Info c = info_of(nd.child());
  if (nd.max && *nd.max == 0) return zero_width();
  Info out;
  out.min = sat_mul(c.min, nd.min);
  out.max = nd.max ? sat_mul(c.max, *nd.max) : (c.max == 0 ? 0 : kUnbounded);
  // An automaton cannot stop a repetition at an empty iteration the way the
  // matcher does.
  out.regular = c.regular && c.min > 0;
  const bool fixed = nd.max && *nd.max == nd.min;
  if (nd.min == 0) {
    out.pre = c.pre;
    out.suf = c.suf;
    if (!fixed && !(nd.max && *nd.max == 1)) {
      make_inexact(out.pre);
      make_inexact(out.suf);
    }
    if (out.pre.known) out.pre.lits.push_back(Literal{});
    if (out.suf.known) out.suf.lits.push_back(Literal{});
    normalize(out.pre);
    normalize(out.suf);
    return out;
  }
  out.pre = c.pre;
  out.suf = c.suf;
  for (uint32_t k = 1; k < nd.min && out.pre.known && out.pre.any_exact(); ++k) {
    if (k > kMaxLitLen) {
      make_inexact(out.pre);
      break;
    }
    out.pre = cross_pre(out.pre, c.pre);
  }
  for (uint32_t k = 1; k < nd.min && out.suf.known && out.suf.any_exact(); ++k) {
    if (k > kMaxLitLen) {
      make_inexact(out.suf);
      break;
    }
    out.suf = cross_suf(c.suf, out.suf);
  }
  if (!fixed) {
    make_inexact(out.pre);
    make_inexact(out.suf);
    normalize(out.pre);
    normalize(out.suf);
  }
  // The first iteration always takes place and starts where the node does.
  out.best = c.best;
  out.astart = c.astart;
  out.aend = c.aend;
  out.eline = c.eline;
  return out;
}

Info info_of(const Node& nd) {
  Info out;
  switch (nd.kind) {
    case NodeKind::Empty:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
      return zero_width();
    case NodeKind::StartLine:
    case NodeKind::StartText:
      out = zero_width();
      out.astart = nd.kind == NodeKind::StartText || !nd.multiline;
      return out;
    case NodeKind::EndLine:
      out = zero_width();
      out.aend = nd.multiline ? EndAnchor::None : EndAnchor::Line;
      out.eline = true;
      return out;
    case NodeKind::EndText:
      out = zero_width();
      out.aend = EndAnchor::Text;
      out.eline = true;
      return out;
    case NodeKind::Look:
      out = zero_width();
      out.regular = false;
      return out;
    case NodeKind::Lit:
      out = single(one_char(lit_char(nd.ch, nd.ign)));
      break;
    case NodeKind::LitStr: {
      if (nd.chars.empty()) return zero_width();
      std::vector<LitChar> cs;
      for (char32_t c : nd.chars) cs.push_back(lit_char(c, nd.ign));
      out.min = out.max = cs.size();
      out.pre = one_literal(cs.data(), cs.data() + cs.size(), true);
      out.suf = one_literal(cs.data(), cs.data() + cs.size(), false);
      break;
    }
    case NodeKind::Class:
      out = single(class_set(*nd.cc));
      break;
    case NodeKind::Any:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return single(LitSet::unknown());
    case NodeKind::BackRef:
      out.max = kUnbounded;
      out.regular = false;
      return out;
    case NodeKind::Group:
    case NodeKind::NonCap:
      return info_of(nd.child());
    case NodeKind::Atomic:
      out = info_of(nd.child());
      out.regular = false;
      return out;
    case NodeKind::Branch:
      out = branch_info(nd.kids);
      break;
    case NodeKind::Sequence:
      out = seq_info(nd.kids);
      break;
    case NodeKind::Repeat:
      out = repeat_info(nd);
      break;
  }
  consider(out.best, out.pre, 0, 0);
  return out;
}

// --- first sets ---

void add_high(FirstSet& f, char32_t c) {
  f.high = true;
  if (f.high_any) return;
  auto it = std::lower_bound(f.highs.begin(), f.highs.end(), c);
  if (it == f.highs.end() || *it != c) f.highs.insert(it, c);
  if (f.highs.size() > kMaxHighs) {
    f.high_any = true;
    f.highs.clear();
  }
}

void add_code(FirstSet& f, char32_t c) {
  if (c < 256) {
    f.lo[c] = true;
  } else {
    add_high(f, c);
  }
}

void set_any_high(FirstSet& f) {
  f.high = f.high_any = true;
  f.highs.clear();
}

void add_set(FirstSet& f, const FirstSet& o) {
  if (o.empty()) return;
  if (!f.empty() && f.only != o.only) f.only.reset();
  if (f.empty()) f.only = o.only;
  f.lo |= o.lo;
  if (o.high_any) {
    set_any_high(f);
  } else {
    for (char32_t c : o.highs) add_high(f, c);
  }
}

FirstSet anything() {
  FirstSet f;
  f.lo.set();
  set_any_high(f);
  f.nullable = true;
  return f;
}

FirstSet of_char(char32_t ch, bool ign) {
  FirstSet f;
  if (!ign) {
    add_code(f, ch);
    f.only = ch;
    return f;
  }
  const std::vector<char32_t> cls = case_class(ch);
  for (char32_t c : cls) add_code(f, c);
  if (cls.size() == 1) f.only = ch;
  return f;
}

FirstSet of_class(const Node& nd) {
  FirstSet f;
  bool sets_only = nd.kind == NodeKind::Class;
  size_t count = 0;  // members above 255
  if (sets_only) {
    for (const ClassItem& it : nd.cc->items) {
      if (it.kind != ClassItem::Kind::Set) {
        sets_only = false;
        break;
      }
      for (const auto& [lo, hi] : it.set.ranges) {
        for (char32_t c = lo; c <= hi && c < 256; ++c) f.lo[c] = true;
        if (hi >= 256) count += hi - std::max<char32_t>(lo, 256) + 1;
      }
    }
  }
  if (!sets_only) {
    for (char32_t c = 0; c < 256; ++c) f.lo[c] = single_accepts(nd, c);
  } else if (nd.cc->negated) {
    f.lo.flip();
  }
  if (!sets_only || nd.cc->negated || count > kMaxHighs) {
    set_any_high(f);
    return f;
  }
  for (const ClassItem& it : nd.cc->items) {
    for (const auto& [lo, hi] : it.set.ranges) {
      for (char32_t c = std::max<char32_t>(lo, 256); c <= hi && hi >= 256; ++c) add_high(f, c);
    }
  }
  if (f.lo.count() == 1 && !f.high) {
    for (char32_t c = 0; c < 256; ++c) {
      if (f.lo[c]) f.only = c;
    }
  }
  return f;
}

// The first set of `nd`, or with `last` the code points a non-empty match
// can end with: the same walk with sequences read from their end.
FirstSet first_of(const Node& nd, bool last) {
  FirstSet f;
  switch (nd.kind) {
    case NodeKind::Lit:
      return of_char(nd.ch, nd.ign);
    case NodeKind::LitStr:
      if (nd.chars.empty()) {
        f.nullable = true;
        return f;
      }
      return of_char(last ? nd.chars.back() : nd.chars[0], nd.ign);
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return of_class(nd);
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
    case NodeKind::Look:
      // Zero-width: the match begins with whatever follows.
      f.nullable = true;
      return f;
    case NodeKind::BackRef:
      return anything();
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return first_of(nd.child(), last);
    case NodeKind::Repeat:
      if (nd.max && *nd.max == 0) {
        f.nullable = true;
        return f;
      }
      f = first_of(nd.child(), last);
      if (nd.min == 0) f.nullable = true;
      return f;
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        FirstSet a = first_of(alt, last);
        add_set(f, a);
        f.nullable |= a.nullable;
      }
      return f;
    case NodeKind::Sequence:
      for (size_t i = 0; i < nd.kids.size(); ++i) {
        FirstSet a = first_of(nd.kids[last ? nd.kids.size() - 1 - i : i], last);
        add_set(f, a);
        if (!a.nullable) return f;
      }
      f.nullable = true;
      return f;
  }
  return anything();
}

// Whether `nd` matches exactly one code point, whichever.
bool one_code_point(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      return true;
    case NodeKind::LitStr:
      return nd.chars.size() == 1;
    case NodeKind::NonCap:
      return one_code_point(nd.child());
    case NodeKind::Sequence:
      return nd.kids.size() == 1 && one_code_point(nd.kids[0]);
    default:
      return false;
  }
}

// Analysis::doubled.
bool doubled_lead(const Node& root) {
  const Node* nd = &root;
  while (nd->kind == NodeKind::NonCap) nd = &nd->child();
  if (nd->kind != NodeKind::Sequence || nd->kids.size() < 2) return false;
  const Node& group = nd->kids[0];
  const Node* ref = &nd->kids[1];
  if (ref->kind == NodeKind::Repeat && ref->min >= 1) ref = &ref->child();
  return group.kind == NodeKind::Group && one_code_point(group.child()) &&
         ref->kind == NodeKind::BackRef && ref->group == group.index && !ref->ign;
}

// Drops the literals that begin with an inexact literal of the set: the
// shorter one already stands for them.
std::vector<Literal> minimal(std::vector<Literal> lits) {
  std::sort(lits.begin(), lits.end());
  lits.erase(std::unique(lits.begin(), lits.end()), lits.end());
  std::vector<Literal> out;
  size_t cover = SIZE_MAX;  // the last inexact literal kept
  for (Literal& l : lits) {
    // Sorted order puts every extension of a literal right after it.
    if (cover != SIZE_MAX) {
      const LitChars& c = out[cover].chars;
      if (c.size() <= l.chars.size() && std::equal(c.begin(), c.end(), l.chars.begin())) continue;
    }
    out.push_back(std::move(l));
    cover = out.back().exact ? SIZE_MAX : out.size() - 1;
  }
  return out;
}

// Frequencies per mille of ASCII in typical English text and source code.
constexpr std::array<uint8_t, 128> kAsciiFreq = [] {
  std::array<uint8_t, 128> f{};
  for (auto& x : f) x = 1;
  const char* lower = "etaoinshrdlucmwfgypbvkjxqz";
  const uint8_t lower_f[] = {90, 65, 60, 60, 55, 55, 50, 45, 45, 32, 30, 22, 20,
                             19, 17, 16, 15, 14, 13, 11, 7,  6,  2,  2,  1,  1};
  for (int i = 0; i < 26; ++i) {
    f[size_t(lower[i])] = lower_f[i];
    f[size_t(lower[i] - 32)] = uint8_t(lower_f[i] / 10 + 2);
  }
  for (char c = '0'; c <= '9'; ++c) f[size_t(c)] = 5;
  f[' '] = 160;
  f['\n'] = 20;
  f['\r'] = 8;
  f['\t'] = 4;
  f['.'] = 12;
  f[','] = 10;
  f['"'] = 4;
  f['\''] = 4;
  f['-'] = 4;
  f['('] = 3;
  f[')'] = 3;
  f['_'] = 3;
  f['='] = 3;
  f['/'] = 3;
  f[':'] = 3;
  f[';'] = 2;
  f['*'] = 2;
  f['#'] = 2;
  f['<'] = 2;
  f['>'] = 2;
  f['{'] = 2;
  f['}'] = 2;
  f['['] = 2;
  f[']'] = 2;
  f['!'] = 2;
  f['?'] = 2;
  return f;
}();

double unit_frequency(char32_t c) {
  if (c < 128) return kAsciiFreq[c] / 1000.0;
  if (c < 256) return 0.001;
  if (unicode::is_lowercase(c)) return 0.03;
  if (unicode::is_alphabetic(c)) return 0.005;
  return 0.002;
}

// The zero-width items every match begins with (through groups and the
// leading items of sequences), up to the first that may consume: records a
// word assertion or multiline `^`, and a lookbehind literal among them. False once something
// that consumes, or may, is reached.
bool lead_walk(const Node& nd, Analysis& an) {
  switch (nd.kind) {
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return lead_walk(nd.child(), an);
    case NodeKind::Sequence:
      for (const Node& it : nd.kids) {
        if (!lead_walk(it, an)) return false;
      }
      return true;
    case NodeKind::WordBoundary:
      if (!nd.negated && an.lead == Analysis::Lead::None) {
        an.lead = Analysis::Lead::WordBoundary;
        an.lead_ascii = nd.ascii;
      }
      return true;
    case NodeKind::WordEdge:
      if (!nd.end && an.lead == Analysis::Lead::None) {
        an.lead = Analysis::Lead::WordStart;
        an.lead_ascii = nd.ascii;
      }
      return true;
    case NodeKind::Look:
      if (nd.behind && nd.positive && !an.behind) {
        const Info child = info_of(nd.child());
        if (child.suf.known && child.suf.lits.size() == 1 && !child.suf.lits[0].chars.empty()) {
          an.behind = child.suf.lits[0];
          an.behind->exact = false;
        }
      }
      return true;
    case NodeKind::StartLine:
      if (nd.multiline && an.lead == Analysis::Lead::None) an.lead = Analysis::Lead::LineStart;
      return true;
    case NodeKind::Empty:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool FirstSet::contains(char32_t c) const {
  if (c < 256) return lo[c];
  if (!high) return false;
  return high_any || std::binary_search(highs.begin(), highs.end(), c);
}

LitChar lit_char(char32_t c, bool ign) {
  if (!ign) return LitChar{c, false};
  const std::vector<char32_t> cls = case_class(c);
  if (cls.size() == 1) return LitChar{c, false};
  return LitChar{cls[0], true};
}

std::vector<char32_t> members(const LitChar& c) {
  if (!c.fold) return {c.ch};
  return case_class(c.ch);
}

double char_frequency(const LitChar& c) {
  if (!c.fold) return unit_frequency(c.ch);
  double sum = 0;
  for (char32_t m : case_class(c.ch)) sum += unit_frequency(m);
  return sum;
}

FirstSet first_set(const Node& root) {
  return first_of(root, false);
}

FirstSet last_set(const Node& root) {
  return first_of(root, true);
}

namespace {

// Recursion is bounded by the parser's nesting limit.
bool flat_walk(const Node& n, bool repeated, std::vector<bool>& seen) {
  if (n.kind == NodeKind::Group) {
    if (repeated) return false;
    if (n.index >= seen.size()) seen.resize(n.index + 1, false);
    if (seen[n.index]) return false;
    seen[n.index] = true;
  }
  const bool inner = repeated || (n.kind == NodeKind::Repeat && !(n.max && *n.max <= 1));
  for (const Node& kid : n.kids) {
    if (!flat_walk(kid, inner, seen)) return false;
  }
  return true;
}

// Appends the string `n` stands for, when it is a case-sensitive literal.
bool literal_walk(const Node& n, std::u32string& out) {
  switch (n.kind) {
    case NodeKind::Empty:
      return true;
    case NodeKind::Lit:
      if (n.ign) return false;
      out += n.ch;
      return true;
    case NodeKind::LitStr:
      if (n.ign) return false;
      out.append(n.chars.begin(), n.chars.end());
      return true;
    case NodeKind::NonCap:
    case NodeKind::Sequence:
      for (const Node& kid : n.kids) {
        if (!literal_walk(kid, out)) return false;
      }
      return true;
    default:
      return false;
  }
}

// The strings of a pattern that is an alternation of case-sensitive strings
// (see Analysis::alternatives), and the one group around it if any; empty
// when it is anything else.
std::vector<std::u32string> alternatives_of(const Node& root, uint64_t& group) {
  const Node* n = &root;
  group = 0;
  while ((n->kind == NodeKind::NonCap || (n->kind == NodeKind::Group && group == 0)) &&
         n->kids.size() == 1) {
    if (n->kind == NodeKind::Group) group = n->index;
    n = &n->kids[0];
  }
  std::vector<std::u32string> out;
  if (n->kind != NodeKind::Branch || n->kids.size() < 2) return out;
  for (const Node& kid : n->kids) {
    std::u32string s;
    if (!literal_walk(kid, s) || s.empty()) return {};
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

namespace {

// Whether nd always consumes exactly one code point.
bool single_code_point(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      return true;
    case NodeKind::Group:
    case NodeKind::NonCap:
      return single_code_point(nd.child());
    default:
      return false;
  }
}

// The code points every match consumes first, each in one set: walks the
// leading sequence through groups and fixed repeats of one code point,
// past zero-width items, until a node whose length varies. `set` gathers
// the positions' sets, `pos` each one's, and `len` counts them; false where
// the walk stops.
struct RunWalk {
  FirstSet set;
  std::array<Analysis::RunPos, Analysis::kMaxRun> pos{};
  size_t len = 0;
  // Adds o as the set of the next `count` positions (those that fit).
  void add(const FirstSet& o, size_t count = 1) {
    add_set(set, o);
    for (size_t i = 0; i < count && len < Analysis::kMaxRun; ++i, ++len) {
      pos[len].lo |= o.lo;
      pos[len].high = pos[len].high || o.high;
    }
  }
};

bool run_walk(const Node& nd, RunWalk& w) {
  if (w.len >= Analysis::kMaxRun) return false;
  if (single_code_point(nd)) {
    w.add(first_of(nd, false));
    return true;
  }
  switch (nd.kind) {
    case NodeKind::LitStr:
      for (char32_t c : nd.chars) {
        if (w.len >= Analysis::kMaxRun) return false;
        w.add(of_char(c, nd.ign));
      }
      return true;
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
    case NodeKind::Look:
      return true;  // zero-width
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return run_walk(nd.child(), w);
    case NodeKind::Repeat:
      if (nd.min == 0) return false;
      if (!single_code_point(nd.child())) {
        run_walk(nd.child(), w);  // its first pass at least
        return false;
      }
      w.add(first_of(nd.child(), false), nd.min);
      return nd.max && (*nd.max == nd.min);
    case NodeKind::Sequence:
      for (const Node& k : nd.kids) {
        if (!run_walk(k, w)) return false;
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

Analysis analyze(const Node& root) {
  Analysis an;
  std::vector<bool> seen;
  an.flat_groups = flat_walk(root, false, seen);
  if (!literal_walk(root, an.literal)) an.literal.clear();
  if (an.literal.empty()) an.alternatives = alternatives_of(root, an.alternatives_group);
  if (an.alternatives.empty()) an.alternatives_group = 0;
  const Info info = info_of(root);
  an.min_len = info.min;
  an.max_len = info.max;
  an.regular = info.regular;
  an.anchored_start = info.astart;
  an.anchored_end = info.aend;
  an.ends_lines = info.eline;
  an.doubled = doubled_lead(root);
  an.first = first_set(root);
  if (info.pre.known && info.pre.min_len() > 0) an.prefixes = minimal(info.pre.lits);
  if (info.suf.known && info.suf.min_len() > 0) an.suffixes = info.suf.lits;
  if (info.best) {
    Needle nd;
    std::vector<Literal> lits = info.best->set.lits;
    for (Literal& l : lits) l.exact = false;
    nd.lits = minimal(std::move(lits));
    nd.min_off = info.best->lo;
    nd.max_off = info.best->hi;
    an.needle = std::move(nd);
  }
  lead_walk(root, an);
  RunWalk run;
  run_walk(root, run);
  if (run.len >= 2 && !run.set.lo.all()) {
    an.run = run.len;
    an.run_lo = run.set.lo;
    an.run_high = run.set.high;
    an.run_pos = run.pos;
  }
  const FirstSet& first = an.first;
  if (!first.nullable) {
    an.lo = first.lo;
    an.high = first.high;
    an.skip = Analysis::Skip::Set;
    if (first.only && *first.only < 0x80) {
      an.skip = Analysis::Skip::Byte;
      an.byte = static_cast<unsigned char>(*first.only);
    } else if (first.only) {
      an.skip = Analysis::Skip::Char;
      an.ch = *first.only;
    }
  }
  return an;
}

}  // namespace kordal
