// libFuzzer target: arbitrary bytes become flags, a pattern and a haystack
// (layout in harness.hpp); the pattern is compiled and every search
// operation is run and checked against the others (invariants.hpp). Besides
// a crash, a sanitizer report or a leak, any broken invariant is a finding:
// it prints the case and aborts. Catastrophic backtracking is legal, so each
// operation runs under a step budget and is skipped when it is spent.
//
// The same entry point is linked, without libFuzzer, into the C++ tests,
// which replay the seed corpus and every committed regression through it.
#include <cstddef>
#include <cstdint>

#include "harness.hpp"
#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kordal::fuzz::Input in;
  if (!kordal::fuzz::decode_input(data, size, in)) return 0;
  kordal::fuzz::set_current(&in);
  kordal::fuzz::check_invariants(in);
  kordal::fuzz::set_current(nullptr);
  return 0;
}
