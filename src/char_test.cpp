// Character tests (see char_test.hpp for the scheme).
#include "char_test.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

namespace kordal {

bool predef_test(Predef kind, bool ascii, char32_t c) {
  switch (kind) {
    case Predef::Digit:
      return ascii ? (c - '0') < 10 : unicode::is_numeric(c);
    case Predef::Word:
      return word_char(c, ascii);
    case Predef::Space:
      if (ascii) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
      return unicode::is_whitespace(c);
  }
  return false;
}

namespace {

bool set_contains(const CharSet& set, char32_t c) {
  const auto& r = set.ranges;
  if (r.size() <= 8) {
    for (const auto& [lo, hi] : r) {
      if (c >= lo && c <= hi) return true;
    }
    return false;
  }
  // Ranges are sorted and disjoint: bisect on the low ends.
  size_t lo = 0, hi = r.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (r[mid].first <= c) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo > 0 && c <= r[lo - 1].second;
}

using Key = std::array<char32_t, 3>;

Key lower_key(char32_t c) {
  Key k{};
  unicode::to_lower_full(c, k.data());
  return k;
}

// Every code point with a lowercase mapping other than itself, by mapping.
const std::vector<std::pair<Key, char32_t>>& inverse_lower() {
  static const std::vector<std::pair<Key, char32_t>> table = [] {
    std::vector<std::pair<Key, char32_t>> t;
    const size_t n = unicode::lower_mapped_count();
    t.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const char32_t c = unicode::lower_mapped_at(i);
      t.emplace_back(lower_key(c), c);
    }
    std::sort(t.begin(), t.end());
    return t;
  }();
  return table;
}

// --- ranges above 255 ---

constexpr char32_t kHighFirst = 256;

void normalise(std::vector<CodeRange>& r) {
  std::sort(r.begin(), r.end(), [](CodeRange a, CodeRange b) { return a.lo < b.lo; });
  size_t w = 0;
  for (size_t i = 0; i < r.size(); ++i) {
    if (w > 0 && r[i].lo <= r[w - 1].hi + 1) {
      r[w - 1].hi = std::max(r[w - 1].hi, r[i].hi);
    } else {
      r[w++] = r[i];
    }
  }
  r.resize(w);
}

// The code points above 255 that normalised `r` leaves out.
std::vector<CodeRange> complement(const std::vector<CodeRange>& r) {
  std::vector<CodeRange> out;
  char32_t next = kHighFirst;
  for (const CodeRange& x : r) {
    if (x.lo > next) out.push_back({next, x.lo - 1});
    next = x.hi + 1;
  }
  if (next <= kMaxCodePoint) out.push_back({next, kMaxCodePoint});
  return out;
}

void add_range(std::vector<CodeRange>& r, char32_t lo, char32_t hi) {
  if (hi < kHighFirst) return;
  r.push_back({std::max(lo, kHighFirst), hi});
}

// The members above 255 of property P, which has few: a scan with P inlined.
// Each of these answers the same for every code point past the Basic
// Multilingual Plane (tests/cpp/test_reference_chars.cpp checks every code
// point), so the scan stops there.
template <bool (*P)(char32_t)>
void scan_property(std::vector<CodeRange>& out) {
  constexpr char32_t kScanEnd = 0x10000;
  auto add = [&out](char32_t lo, char32_t hi) {
    if (!out.empty() && out.back().hi + 1 == lo) {
      out.back().hi = hi;
    } else {
      out.push_back({lo, hi});
    }
  };
  for (char32_t c = kHighFirst; c < kScanEnd; ++c) {
    if (P(c)) add(c, c);
  }
  if (P(kScanEnd)) add(kScanEnd, kMaxCodePoint);
}

// The members above 255 of a property that has few, scanned once per
// process; nullptr for the large properties, which stay calls.
const std::vector<CodeRange>* small_property(unicode::Pred pred) {
  struct Entry {
    unicode::Pred pred;
    void (*scan)(std::vector<CodeRange>&);
    std::once_flag once;
    std::vector<CodeRange> ranges;
  };
  using namespace unicode;
  static Entry table[] = {
      {is_whitespace, scan_property<is_whitespace>, {}, {}},
      {is_blank, scan_property<is_blank>, {}, {}},
      {is_control, scan_property<is_control>, {}, {}},
      {is_print, scan_property<is_print>, {}, {}},
      {is_separator, scan_property<is_separator>, {}, {}},
      {is_hex_digit, scan_property<is_hex_digit>, {}, {}},
      {is_ascii, scan_property<is_ascii>, {}, {}},
      {is_ascii_digit, scan_property<is_ascii_digit>, {}, {}},
      {is_ascii_punct, scan_property<is_ascii_punct>, {}, {}},
      {is_posix_punct, scan_property<is_posix_punct>, {}, {}},
      {is_punctuation, scan_property<is_punctuation>, {}, {}},
  };
  for (Entry& e : table) {
    if (e.pred != pred) continue;
    std::call_once(e.once, [&e] { e.scan(e.ranges); });
    return &e.ranges;
  }
  return nullptr;
}

using Part = CharTest::Part;

bool accepts_nothing(const Part& p) {
  return !p.negated && p.ranges.empty() && p.props.empty();
}
bool accepts_all(const Part& p) {
  if (p.negated) return p.ranges.empty() && p.props.empty();
  return p.props.empty() && p.ranges.size() == 1 && p.ranges[0].lo == kHighFirst &&
         p.ranges[0].hi == kMaxCodePoint;
}

// A part from members written as ranges and properties (each possibly
// negated), the whole negated or not: small properties become ranges, and
// the negation is folded into them where it can be.
Part make_part(std::vector<CodeRange> ranges, const std::vector<CharTest::Prop>& props,
               bool negated) {
  Part p;
  for (const CharTest::Prop& pr : props) {
    if (const std::vector<CodeRange>* r = small_property(pr.pred)) {
      if (pr.negated) {
        const std::vector<CodeRange> c = complement(*r);
        ranges.insert(ranges.end(), c.begin(), c.end());
      } else {
        ranges.insert(ranges.end(), r->begin(), r->end());
      }
    } else {
      p.props.push_back(pr);
    }
  }
  normalise(ranges);
  if (p.props.empty() && negated) {
    p.ranges = complement(ranges);
    return p;
  }
  if (p.props.size() == 1 && ranges.empty() && negated) {
    p.props[0].negated = !p.props[0].negated;
    return p;
  }
  p.ranges = std::move(ranges);
  p.negated = negated;
  return p;
}

// Merges the parts that are not negated into one, drops those that accept
// nothing, and keeps one part when some part accepts everything.
std::vector<Part> merge(std::vector<Part> parts) {
  std::vector<Part> out;
  Part plain;
  for (Part& p : parts) {
    if (accepts_all(p)) return {make_part({{kHighFirst, kMaxCodePoint}}, {}, false)};
    if (accepts_nothing(p)) continue;
    if (p.negated) {
      out.push_back(std::move(p));
      continue;
    }
    plain.ranges.insert(plain.ranges.end(), p.ranges.begin(), p.ranges.end());
    for (const CharTest::Prop& pr : p.props) {
      const bool dup = std::any_of(plain.props.begin(), plain.props.end(), [&](const auto& q) {
        return q.pred == pr.pred && q.negated == pr.negated;
      });
      if (!dup) plain.props.push_back(pr);
    }
  }
  normalise(plain.ranges);
  if (accepts_all(plain)) return {plain};
  if (!accepts_nothing(plain)) out.insert(out.begin(), std::move(plain));
  return out;
}

// The high part of one leaf.
Part leaf_part(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit: {
      std::vector<CodeRange> r;
      if (nd.ign) {
        for (char32_t c : case_class(nd.ch)) add_range(r, c, c);
      } else {
        add_range(r, nd.ch, nd.ch);
      }
      return make_part(std::move(r), {}, false);
    }
    case NodeKind::Any:
    case NodeKind::Grapheme:
      return make_part({}, {}, true);
    case NodeKind::Predef: {
      // An ASCII \d, \w or \s has no member above 255.
      if (nd.ascii) return make_part({}, {}, nd.negated);
      const unicode::Pred pred = nd.pkind == Predef::Digit  ? unicode::is_numeric
                                 : nd.pkind == Predef::Word ? unicode::is_word
                                                            : unicode::is_whitespace;
      return make_part({}, {{pred, nd.negated}}, false);
    }
    case NodeKind::Prop:
      return make_part({}, {{nd.prop->pred, nd.prop->negated}}, false);
    case NodeKind::Class: {
      std::vector<CodeRange> r;
      std::vector<CharTest::Prop> props;
      for (const ClassItem& it : nd.cc->items) {
        switch (it.kind) {
          case ClassItem::Kind::Set:
            for (const auto& [lo, hi] : it.set.ranges) add_range(r, lo, hi);
            break;
          case ClassItem::Kind::Predef:
            if (it.ascii) {
              if (it.negated) add_range(r, kHighFirst, kMaxCodePoint);
            } else {
              props.push_back({it.pkind == Predef::Digit  ? unicode::is_numeric
                               : it.pkind == Predef::Word ? unicode::is_word
                                                          : unicode::is_whitespace,
                               it.negated});
            }
            break;
          case ClassItem::Kind::Prop:
            props.push_back({it.pred, it.negated});
            break;
        }
      }
      return make_part(std::move(r), props, nd.cc->negated);
    }
    default:
      return Part{};
  }
}

void collect_leaves(const Node& nd, std::vector<const Node*>& out) {
  if (nd.kind == NodeKind::NonCap || nd.kind == NodeKind::Atomic) {
    collect_leaves(nd.child(), out);
  } else if (nd.kind == NodeKind::Branch) {
    for (const Node& alt : nd.kids) collect_leaves(alt, out);
  } else {
    out.push_back(&nd);
  }
}

void set_shape(CharTest& t) {
  const bool high_all = t.high.size() == 1 && accepts_all(t.high[0]);
  if (t.high.empty()) {
    t.high_kind = CharTest::HighKind::None;
  } else if (high_all) {
    t.high_kind = CharTest::HighKind::All;
  } else if (t.high.size() == 1 && !t.high[0].negated && t.high[0].ranges.empty() &&
             t.high[0].props.size() == 1) {
    t.high_kind = CharTest::HighKind::Prop;
    t.high_prop = t.high[0].props[0];
  } else if (t.high.size() == 1 && t.high[0].ranges.size() == 1 && t.high[0].props.empty()) {
    // A block of one script, or a class that excludes one (a test per code
    // point in the VM's and one-pass matcher's loops).
    t.high_kind = CharTest::HighKind::Range;
    t.high_range = t.high[0].ranges[0];
    t.high_range_out = t.high[0].negated;
  } else {
    t.high_kind = CharTest::HighKind::Parts;
  }
  const bool rest_all =
      t.lo[1] == ~uint64_t(0) && t.lo[2] == ~uint64_t(0) && t.lo[3] == ~uint64_t(0);
  if (high_all && rest_all && t.lo[0] == ~uint64_t(0)) {
    t.shape = CharTest::Shape::All;
  } else if (high_all && rest_all && t.lo[0] == ~(uint64_t(1) << '\n')) {
    t.shape = CharTest::Shape::NotNewline;
  }
}

uint64_t range_size(const std::vector<CodeRange>& r) {
  uint64_t n = 0;
  for (const CodeRange& x : r) n += uint64_t(x.hi - x.lo) + 1;
  return n;
}

bool ranges_meet(const std::vector<CodeRange>& a, const std::vector<CodeRange>& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].hi < b[j].lo) {
      ++i;
    } else if (b[j].hi < a[i].lo) {
      ++j;
    } else {
      return true;
    }
  }
  return false;
}

// Whether no code point passes both parts; false when it cannot tell.
bool parts_disjoint(const Part& a, const Part& b) {
  constexpr uint64_t kMaxChecked = 4096;  // members checked one by one
  if (accepts_nothing(a) || accepts_nothing(b)) return true;
  const bool a_plain = !a.negated && a.props.empty();
  const bool b_plain = !b.negated && b.props.empty();
  if (a_plain && b_plain) return !ranges_meet(a.ranges, b.ranges);
  const Part* small = a_plain && range_size(a.ranges) <= kMaxChecked   ? &a
                      : b_plain && range_size(b.ranges) <= kMaxChecked ? &b
                                                                       : nullptr;
  if (small == nullptr) return false;
  const Part& other = small == &a ? b : a;
  for (const CodeRange& r : small->ranges) {
    for (char32_t c = r.lo;; ++c) {
      if (other.accepts(c)) return false;
      if (c == r.hi) break;
    }
  }
  return true;
}

}  // namespace

bool class_matches(const CharClass& cc, char32_t c) {
  if (c < 128 && cc.ascii_ready) return (cc.ascii_bits[c >> 6] >> (c & 63)) & 1;
  bool found = false;
  for (const ClassItem& it : cc.items) {
    switch (it.kind) {
      case ClassItem::Kind::Set:
        found = set_contains(it.set, c);
        break;
      case ClassItem::Kind::Predef:
        found = predef_test(it.pkind, it.ascii, c) != it.negated;
        break;
      case ClassItem::Kind::Prop:
        found = it.pred(c) != it.negated;
        break;
    }
    if (found) break;
  }
  return found != cc.negated;
}

bool chars_equal_ci(char32_t a, char32_t b) {
  if (a == b) return true;
  if (a < 0xC0 && b < 0xC0) {
    const char32_t la = (a - 'A') < 26 ? (a | 0x20) : a;
    const char32_t lb = (b - 'A') < 26 ? (b | 0x20) : b;
    return la == lb;
  }
  char32_t x[3], y[3];
  const int nx = unicode::to_lower_full(a, x);
  const int ny = unicode::to_lower_full(b, y);
  if (nx != ny) return false;
  for (int i = 0; i < nx; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

std::vector<char32_t> case_class(char32_t c) {
  std::vector<char32_t> out{c};
  char32_t low[3];
  const int n = unicode::to_lower_full(c, low);
  if (n == 1 && low[0] != c) {
    char32_t again[3];
    if (unicode::to_lower_full(low[0], again) == 1 && again[0] == low[0]) out.push_back(low[0]);
  }
  const Key key = lower_key(c);
  const auto& inv = inverse_lower();
  auto it = std::lower_bound(inv.begin(), inv.end(), std::make_pair(key, char32_t(0)));
  for (; it != inv.end() && it->first == key; ++it) out.push_back(it->second);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool single_accepts(const Node& nd, char32_t c) {
  switch (nd.kind) {
    case NodeKind::Lit:
      return c == nd.ch || (nd.ign && chars_equal_ci(c, nd.ch));
    case NodeKind::Any:
      return nd.dotall || c != '\n';
    case NodeKind::Class:
      return class_matches(*nd.cc, c);
    case NodeKind::Predef:
      return predef_test(nd.pkind, nd.ascii, c) != nd.negated;
    case NodeKind::Prop:
      return nd.prop->pred(c) != nd.prop->negated;
    case NodeKind::Grapheme:
      return true;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return single_accepts(nd.child(), c);
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        if (single_accepts(alt, c)) return true;
      }
      return false;
    default:
      return false;
  }
}

bool CharTest::Part::accepts(char32_t c) const {
  bool in = false;
  if (!ranges.empty()) {
    // Sorted and disjoint: the last range starting at or below c.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                               [](char32_t x, const CodeRange& r) { return x < r.lo; });
    in = it != ranges.begin() && c <= (it - 1)->hi;
  }
  for (size_t i = 0; !in && i < props.size(); ++i) in = props[i].pred(c) != props[i].negated;
  return in != negated;
}

bool CharTest::within_words(bool ascii) const {
  for (char32_t c = 0; c < 256; ++c) {
    if (accepts_low(c) && !word_char(c, ascii)) return false;
  }
  switch (high_kind) {
    case HighKind::None:
      return true;
    case HighKind::Prop:
      // Letters and numbers are word characters, by definition.
      return !ascii && !high_prop.negated &&
             (high_prop.pred == unicode::is_word || high_prop.pred == unicode::is_alphabetic ||
              high_prop.pred == unicode::is_numeric);
    default:
      return false;
  }
}

bool CharTest::disjoint(const CharTest& o) const {
  for (int i = 0; i < 4; ++i) {
    if (lo[i] & o.lo[i]) return false;
  }
  for (const Part& a : high) {
    for (const Part& b : o.high) {
      if (!parts_disjoint(a, b)) return false;
    }
  }
  return true;
}

CharTest char_test(const Node& single) {
  std::vector<const Node*> leaves;
  collect_leaves(single, leaves);
  CharTest t;
  std::vector<Part> parts;
  for (const Node* leaf : leaves) {
    if (leaf->kind == NodeKind::Class && leaf->cc->ascii_ready) {
      // The ASCII half was computed once after parsing.
      t.lo[0] |= leaf->cc->ascii_bits[0];
      t.lo[1] |= leaf->cc->ascii_bits[1];
      for (uint32_t c = 128; c < 256; ++c) {
        if (class_matches(*leaf->cc, c)) t.lo[c >> 6] |= uint64_t(1) << (c & 63);
      }
    } else {
      for (uint32_t c = 0; c < 256; ++c) {
        if (single_accepts(*leaf, c)) t.lo[c >> 6] |= uint64_t(1) << (c & 63);
      }
    }
    parts.push_back(leaf_part(*leaf));
  }
  t.high = merge(std::move(parts));
  set_shape(t);
  return t;
}

CharTest char_test(char32_t c, bool ign) {
  CharTest t;
  std::vector<CodeRange> r;
  const std::vector<char32_t> members = ign ? case_class(c) : std::vector<char32_t>{c};
  for (char32_t m : members) {
    if (m < kHighFirst) {
      t.lo[m >> 6] |= uint64_t(1) << (m & 63);
    } else {
      r.push_back({m, m});
    }
  }
  t.high = merge({make_part(std::move(r), {}, false)});
  set_shape(t);
  return t;
}

CharTest any_char_test() {
  CharTest t;
  for (uint64_t& w : t.lo) w = ~uint64_t(0);
  t.high = merge({make_part({}, {}, true)});
  set_shape(t);
  return t;
}

}  // namespace kordal
