// The reference's own character tests and replacement templates, written
// apart from the engine's so that a fault in the engine's (a fast path for
// ASCII, a precomputed class table, a determinism annotation, the template
// walker) shows up as a disagreement instead of being shared by both sides.
//
// Every test is the plainest reading of its rule: case-insensitive equality
// compares full lowercase mappings, the Unicode classes read the raw property
// and category tables (unicode.hpp's table lookups, no ASCII shortcut), a
// character class walks its items in order. A named property is still its
// predicate from unicode.hpp: the pattern names that function.
//
// Cost: a table bisection or two per test; a class is linear in its items;
// deterministic_length is linear in the subtree, recomputed at each call;
// a template is expanded in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ast.hpp"
#include "match_obj.hpp"

namespace kordal::reference {

bool same_ignoring_case(char32_t a, char32_t b);
bool digit(char32_t c, bool ascii);
bool word(char32_t c, bool ascii);
bool space(char32_t c, bool ascii);
bool in_class(const CharClass& cc, char32_t c);

// Whether the node always takes exactly one code point and `accepts` c.
bool one_char(const Node& node);
bool accepts(const Node& node, char32_t c);

// Length of every match of the node when it can match in one way only (no
// choice, no capture), else -1.
int64_t deterministic_length(const Node& node);

// Fewest and most code points a match of the node can take; `most` is
// kUnbounded when there is no limit.
inline constexpr uint64_t kUnbounded = UINT64_MAX;
struct Lengths {
  uint64_t least = 0;
  uint64_t most = 0;
};
Lengths match_lengths(const Node& node);

// The replacement template expanded for one match; `group` appends group
// g's text, or nothing when the group did not take part. `groups` counts
// group 0.
std::string expand_template(std::string_view tmpl, size_t groups, const Names& names,
                            const std::function<void(std::string& out, size_t g)>& group);

}  // namespace kordal::reference
