// Properties every search of one compiled pattern over one haystack must
// have, checked against each other: the engine's own operations serve as
// each other's oracle (find against find-all, find-all against split and
// replace-all, full match against match-at-start and the partial search, an
// escaped text against itself). A broken property is a hard failure
// (harness.hpp's `fail`).
//
// Cost: a fixed number of budgeted searches per case plus one find-at per
// early find-all match, so at most a few dozen matcher runs of at most
// Budget::kDefaultPolls polls each.
#pragma once

#include <string_view>

#include "harness.hpp"
#include "regex.hpp"

namespace kordal::fuzz {

// Compiles the case and checks every operation; a compile error is checked
// for a sane message and position instead.
void check_invariants(const Input& in);

// Structural checks of one Match found in `hay` by `re`: spans and histories
// inside the haystack on character boundaries, byte and code-point positions
// in agreement, each group's current span the last of its history, group 0
// set once. `op` names the operation in the failure message.
void check_match(const Regex& re, std::string_view hay, const Match& m, const char* op);

// Whether two matches report the same spans and histories for every group.
bool same_match(const Match& a, const Match& b);

}  // namespace kordal::fuzz
