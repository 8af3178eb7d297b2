// libFuzzer target: arbitrary bytes become flags, a pattern and a haystack
// (the layout of harness.hpp, shared with fuzz_regex, so the two targets
// share their corpora), and every search of the public API is compared with
// the reference matcher (engines.hpp). A disagreement prints the case, the
// method, the expected and the observed answer, and aborts. Both sides run
// under step budgets; a search either side gave up on is not compared.
//
// The C++ tests replay the corpora through check_engines without libFuzzer.
#include <cstddef>
#include <cstdint>

#include "engines.hpp"
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kordal::fuzz::Input in;
  if (!kordal::fuzz::decode_input(data, size, in)) return 0;
  kordal::fuzz::set_current(&in);
  kordal::fuzz::check_engines(in);
  kordal::fuzz::set_current(nullptr);
  return 0;
}
