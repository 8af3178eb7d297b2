// Results of searches: Match and PartialMatch.
//
// A Match owns its spans, already converted to byte offsets (and kept as
// code-point indices too), and a flat copy of every group's capture history.
// A search on UTF-8 refers to the haystack by view (`text`), so the caller
// keeps the text alive; a search on a Text leaves `text` empty, and the
// caller cuts group texts by code points from its own string (the Python
// layer shares one immutable str per call). History spans of a search on a
// Text carry code-point indices only: their byte offsets are never reported,
// so they are never computed. Nothing in a Match is proportional to the
// haystack, which keeps find-all over a large text linear in the number of
// matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "names.hpp"

namespace kordal {

inline constexpr size_t kUnset = static_cast<size_t>(-1);

// A group's span, both as byte offsets into the UTF-8 haystack (what Python
// sees) and as code-point indices (so the binding can slice a str without
// decoding). start == kUnset means the group did not take part.
struct Span {
  size_t start = kUnset;
  size_t end = kUnset;
  size_t cstart = kUnset;
  size_t cend = kUnset;
  bool set() const { return start != kUnset; }
};

class Match {
 public:
  std::string_view text;               // the UTF-8 haystack searched (empty for a Text)
  std::vector<Span> caps;              // current span per group, 0 = whole match
  std::vector<Span> history;           // all groups' histories, group by group
  std::vector<size_t> history_starts;  // group g's history is [starts[g], starts[g+1])
  // Every group's history is its span when set, and empty otherwise (no group
  // can close twice in the pattern): `history` and `history_starts` are empty.
  bool flat_history = false;
  std::shared_ptr<const Names> names;

  size_t group_count() const { return caps.size(); }  // including group 0
  // The text of group g, or none if g does not exist or did not take part.
  // Only for a search on UTF-8 (it slices `text`).
  std::optional<std::string_view> group(size_t g) const;
  size_t history_size(size_t g) const {
    if (flat_history) return g < caps.size() && caps[g].set() ? 1 : 0;
    return g + 1 < history_starts.size() ? history_starts[g + 1] - history_starts[g] : 0;
  }
  const Span* history_of(size_t g) const {
    return flat_history ? &caps[g] : history.data() + history_starts[g];
  }
};

enum class GroupState : uint8_t { Matched = 0, Partial = 1, None = 2 };

struct PartialGroup {
  GroupState state = GroupState::None;
  Span span;  // into the haystack; unset for None
};

struct PartialMatch {
  std::vector<PartialGroup> groups;  // 0 to group count
  std::shared_ptr<const Names> names;
  Span span;  // the whole match; its end is always the end of the haystack
  bool is_full = false;
};

}  // namespace kordal
