// The search loops over the reference matcher: what find, match_at_start,
// fullmatch and the partial search answer when the reference decides every
// attempt. Shared by the differential tests and the engines fuzz target, so
// both hold the engines to one reading of the search rules.
//
// A search tries the starts in increasing order and stops at the first that
// matches (leftmost-first); the anchored forms try one start. The partial
// search stops at the first start that either matches up to the end or
// leaves a candidate blocked by the end of the text, which the engine's own
// builder turns into a PartialMatch.
//
// Cost: one matcher attempt per start tried, each exponential in the worst
// case; bound them with a reference::Limits. A search that gave up leaves
// st.status other than Ok, and its answer means nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "ast.hpp"
#include "match_obj.hpp"
#include "regex.hpp"
#include "state.hpp"

namespace kordal::reference {

enum class Mode : uint8_t {
  Find,      // every start from s0 on
  Anchored,  // s0 only
  Full,      // s0 only, ending at the end of the text
};

// Leftmost-first search from code point s0. On a match, st holds its
// captures with group 0 set. False when there is none or the search gave up.
bool search(const Node& root, State& st, size_t s0, Mode mode);

// A match as the reference reports it: each group's last span and its whole
// history, in code points.
struct Captures {
  std::vector<CpSpan> caps;
  std::vector<std::vector<CpSpan>> history;
  bool operator==(const Captures&) const = default;
};

// The captures of the match st holds.
Captures captures_of(const State& st);

// The partial search over the whole text (st is switched to partial mode).
// None when no start qualifies or the search gave up.
std::optional<PartialMatch> search_partial(const Regex& re, State& st);

}  // namespace kordal::reference
