// Group nesting, for lastindex in both interfaces: which capture group and
// which lookaround encloses each group, and from that the group whose
// closing parenthesis was passed last.
//
// A match keeps only the final span of each group, not the order in which
// groups closed. Of two groups, an enclosing one closes after the groups
// inside it, even when a lookahead took those further. Two groups that do
// not enclose each other but sit in different lookarounds (or one in a
// lookaround and one outside) have ends that say nothing about time: the
// one further right in the pattern (the higher number) closed later.
// Otherwise ends order them, and at equal ends the higher number. The
// nesting comes from the syntax tree once per compiled pattern: one walk,
// O(nodes), recursion bounded by the parser's nesting limit. Per match the
// choice costs O(groups x nesting depth).
//
// A group number used by several groups (a repeated name) takes the nesting
// of its first occurrence.
#include "binding.hpp"

namespace kordal::py {

namespace {

struct Walk {
  GroupNesting& out;
  std::vector<bool> seen;
  uint32_t looks = 0;  // lookarounds numbered in tree order, from 1

  void walk(const kordal::Node& n, uint32_t group, uint32_t look) {
    if (n.kind == kordal::NodeKind::Group && n.index < out.parents.size()) {
      const auto g = static_cast<uint32_t>(n.index);
      if (!seen[g]) {
        seen[g] = true;
        out.parents[g] = group;
        out.look[g] = look;
      }
      group = g;
    } else if (n.kind == kordal::NodeKind::Look) {
      look = ++looks;
    }
    for (const kordal::Node& kid : n.kids) walk(kid, group, look);
  }
};

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

GroupNesting group_nesting(const kordal::Regex& re) {
  GroupNesting out;
  out.parents.assign(re.group_count() + 1, 0);
  out.look.assign(out.parents.size(), 0);
  Walk w{out, std::vector<bool>(out.parents.size(), false)};
  w.walk(re.tree(), 0, 0);
  return out;
}

bool closes_after(const GroupNesting& nest, size_t g, size_t g_end, size_t b, size_t b_end) {
  if (encloses(nest.parents, b, g)) return false;
  if (encloses(nest.parents, g, b)) return true;
  if (g < nest.look.size() && b < nest.look.size() && nest.look[g] != nest.look[b]) return g > b;
  return g_end > b_end || (g_end == b_end && g > b);
}

}  // namespace kordal::py
