// ASCII-only case folding of a parsed tree; see ascii_fold.hpp.
#include "ascii_fold.hpp"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace kordal {

namespace {

bool marked(const Node& n) {
  return n.ign && n.ascii;
}

bool is_ascii_letter(char32_t c) {
  return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
}

void merge_ranges(std::vector<std::pair<uint32_t, uint32_t>>& r) {
  std::sort(r.begin(), r.end());
  size_t w = 0;
  for (size_t i = 1; i < r.size(); ++i) {
    if (r[i].first <= r[w].second + 1) {
      r[w].second = std::max(r[w].second, r[i].second);
    } else {
      r[++w] = r[i];
    }
  }
  r.resize(w + 1);
}

// Adds the other case of each ASCII letter in the set: per range, at most
// the two letter blocks it overlaps, shifted by 0x20.
void fold_set(CharSet& set) {
  const size_t n = set.ranges.size();
  for (size_t i = 0; i < n; ++i) {
    const auto [low, high] = set.ranges[i];
    for (const uint32_t base : {uint32_t('A'), uint32_t('a')}) {
      const uint32_t lo = std::max(low, base), hi = std::min(high, base + 25);
      if (lo > hi) continue;
      const uint32_t other = base ^ 0x20;
      set.ranges.emplace_back(lo - base + other, hi - base + other);
    }
  }
  if (set.ranges.size() > n) merge_ranges(set.ranges);
}

// The case-sensitive node for one character of a case-insensitive literal.
Node char_node(char32_t c) {
  Node n;
  if (!is_ascii_letter(c)) {
    n.kind = NodeKind::Lit;
    n.ch = c;
    return n;
  }
  n.kind = NodeKind::Class;
  n.cc = std::make_unique<CharClass>();
  ClassItem it;
  const char32_t upper = c & ~char32_t(0x20);
  it.set.ranges = {{upper, upper}, {upper | 0x20, upper | 0x20}};
  n.cc->items.push_back(std::move(it));
  return n;
}

// Appends the rewritten form of `n` to `out`, one node per character for a
// marked string.
void fold_into(Node& n, std::vector<Node>& out);

void fold_node(Node& n) {
  switch (n.kind) {
    case NodeKind::Lit:
      if (marked(n)) n = char_node(n.ch);
      return;
    case NodeKind::LitStr: {
      if (!marked(n)) return;
      std::vector<Node> items;
      items.reserve(n.chars.size());
      for (char32_t c : n.chars) items.push_back(char_node(c));
      if (items.size() == 1) {
        n = std::move(items[0]);
      } else {
        Node seq;
        seq.kind = NodeKind::Sequence;
        seq.kids = std::move(items);
        n = std::move(seq);
      }
      return;
    }
    case NodeKind::Class:
      if (!marked(n)) return;
      for (ClassItem& it : n.cc->items) {
        if (it.kind == ClassItem::Kind::Set) fold_set(it.set);
      }
      n.ign = false;
      n.ascii = false;
      return;
    case NodeKind::Sequence: {
      std::vector<Node> kids;
      kids.reserve(n.kids.size());
      for (Node& k : n.kids) fold_into(k, kids);
      n.kids = std::move(kids);
      return;
    }
    default:
      for (Node& k : n.kids) fold_node(k);
      return;
  }
}

void fold_into(Node& n, std::vector<Node>& out) {
  fold_node(n);
  if (n.kind != NodeKind::Sequence) {
    out.push_back(std::move(n));
    return;
  }
  for (Node& k : n.kids) out.push_back(std::move(k));
}

}  // namespace

void fold_ascii_case(Node& root) {
  fold_node(root);
}

}  // namespace kordal
