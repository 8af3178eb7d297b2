// Results of searches: Match and PartialMatch.
//
// A Match owns its spans, already converted to byte offsets, and a flat copy
// of every group's capture history; it refers to the haystack by view, so the
// caller keeps the text alive (the Python layer shares one immutable str per
// call). Nothing in it is proportional to the haystack, which keeps find-all
// over a large text linear in the number of matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kordal {

using Names = std::unordered_map<std::string, size_t>;

inline constexpr size_t kUnset = static_cast<size_t>(-1);

// A byte span; start == kUnset means the group did not take part.
struct ByteSpan {
  size_t start = kUnset;
  size_t end = kUnset;
  bool set() const { return start != kUnset; }
};

class Match {
 public:
  std::string_view text;                // the haystack searched
  std::vector<ByteSpan> caps;           // current span per group, 0 = whole match
  std::vector<ByteSpan> history;        // all groups' histories, group by group
  std::vector<size_t> history_starts;   // group g's history is [starts[g], starts[g+1])
  std::shared_ptr<const Names> names;

  size_t group_count() const { return caps.size(); }  // including group 0
  // The text of group g, or none if g does not exist or did not take part.
  std::optional<std::string_view> group(size_t g) const;
  size_t history_size(size_t g) const {
    return g + 1 < history_starts.size() ? history_starts[g + 1] - history_starts[g] : 0;
  }
  const ByteSpan* history_of(size_t g) const { return history.data() + history_starts[g]; }
};

enum class GroupState : uint8_t { Matched = 0, Partial = 1, None = 2 };

struct PartialGroup {
  GroupState state = GroupState::None;
  ByteSpan span;  // byte offsets into the haystack; unset for None
};

struct PartialMatch {
  std::vector<PartialGroup> groups;  // 0 to group count
  std::shared_ptr<const Names> names;
  size_t start = 0;  // byte offset
  size_t end = 0;    // byte offset, always the haystack's byte length
  bool is_full = false;
};

}  // namespace kordal
