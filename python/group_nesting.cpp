// Group nesting, for Match.lastindex: which capture group encloses which,
// and from that the group whose closing parenthesis was passed last.
//
// A match keeps only the final span of each group, not the order in which
// groups closed. Ends order most of it; at equal ends an enclosing group
// closes after the groups inside it, and of two groups that do not enclose
// each other the one further right in the pattern (the higher number)
// closes later. The nesting comes from the syntax tree once per compiled
// pattern: one walk, O(nodes), recursion bounded by the parser's nesting
// limit. Per match the choice costs O(groups x nesting depth).
//
// A group number used by several groups (a repeated name) takes the nesting
// of its first occurrence.
#include "binding.hpp"

namespace kordal::py {

namespace {

void walk(const kordal::Node& n, uint32_t enclosing, std::vector<uint32_t>& parents,
          std::vector<bool>& seen) {
  uint32_t inner = enclosing;
  if (n.kind == kordal::NodeKind::Group && n.index < parents.size()) {
    const auto g = static_cast<uint32_t>(n.index);
    if (!seen[g]) {
      seen[g] = true;
      parents[g] = enclosing;
    }
    inner = g;
  }
  for (const kordal::Node& kid : n.kids) walk(kid, inner, parents, seen);
}

// Whether group `outer` encloses group `g`. Parents form a forest whose
// chains are at most `parents.size()` long, which bounds the loop even if a
// repeated name made a group its own ancestor.
bool encloses(const std::vector<uint32_t>& parents, size_t outer, size_t g) {
  for (size_t steps = 0; g != 0 && g < parents.size() && steps < parents.size(); ++steps) {
    g = parents[g];
    if (g == outer) return true;
  }
  return false;
}

}  // namespace

std::vector<uint32_t> group_parents(const kordal::Regex& re) {
  std::vector<uint32_t> parents(re.group_count() + 1, 0);
  std::vector<bool> seen(parents.size(), false);
  walk(re.tree(), 0, parents, seen);
  return parents;
}

size_t last_closed_group(const std::vector<kordal::Span>& caps,
                         const std::vector<uint32_t>& parents) {
  size_t best = kordal::kUnset;
  for (size_t g = 1; g < caps.size(); ++g) {
    if (!caps[g].set()) continue;
    if (best == kordal::kUnset) {
      best = g;
      continue;
    }
    const size_t e = caps[g].cend, be = caps[best].cend;
    // g > best, so at equal ends g closes later unless best encloses it.
    if (e > be || (e == be && !encloses(parents, best, g))) best = g;
  }
  return best;
}

}  // namespace kordal::py
