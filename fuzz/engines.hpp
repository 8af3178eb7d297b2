// The engines against the reference matcher: every search of the public
// Regex API on one fuzz case, compared observable by observable with what
// the reference matcher (tests/cpp/reference) answers. The public API goes
// through the pattern's strategy, so whichever engine it picks for a call is
// checked; the UTF-8 haystack is then searched again with each engine forced
// in turn (strategy.hpp), so that every engine meets every case.
//
// A disagreement is a hard failure (harness.hpp's `fail`) naming the method,
// the form of the haystack, the expected and the observed answer.
#pragma once

#include "harness.hpp"

namespace kordal::fuzz {

// Compiles the case (a compile error ends it) and compares every search on
// the UTF-8 haystack and on the haystack as code units of every width that
// holds it.
void check_engines(const Input& in);

}  // namespace kordal::fuzz
