// libFuzzer target: the pattern analysis and the literal searchers must
// never rule out a match. Compiles the input's pattern, finds every start at
// which the backtracking VM matches (cut off through the poll hook, as in
// fuzz_regex), and checks each against the analysis: length bounds, anchors,
// first set, and the needle's windows in every code-unit width that can hold
// the haystack. A violated check aborts, which libFuzzer reports.
//
// Input layout as fuzz_regex: 4 bytes of flags, then pattern and haystack
// separated by the first 0xFF byte, both forced to valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "backtracker.hpp"
#include "harness.hpp"
#include "prefilter.hpp"
#include "regex.hpp"
#include "state.hpp"
#include "utf8.hpp"

namespace {

struct Budget {
  int polls = 0;
};

bool poll(void* ctx) {
  return ++static_cast<Budget*>(ctx)->polls > 64;
}

void check(bool ok, const char* what, const std::string& pattern, size_t at) {
  if (ok) return;
  std::fprintf(stderr, "prefilter soundness: %s, pattern of %zu bytes, match at %zu\n", what,
               pattern.size(), at);
  std::abort();
}

// Every start the needle's windows leave in a text of this width.
template <class U>
std::vector<bool> covered(const kordal::Prefilter& pf, const std::u32string& text) {
  const std::vector<U> t(text.begin(), text.end());
  std::vector<bool> out(t.size() + 1, false);
  size_t s = 0, lo = 0, hi = 0;
  while (s <= t.size() && pf.next_window(t.data(), t.size(), s, lo, hi)) {
    for (size_t i = lo; i <= hi; ++i) out[i] = true;
    s = hi + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t flags;
  std::memcpy(&flags, data, 4);
  data += 4;
  size -= 4;
  const uint8_t* sep = static_cast<const uint8_t*>(std::memchr(data, 0xFF, size));
  const size_t plen = sep ? static_cast<size_t>(sep - data) : size;
  const std::string pattern = kordal::fuzz::valid_utf8(data, plen);
  const std::string hay =
      sep ? kordal::fuzz::valid_utf8(sep + 1, size - plen - 1) : std::string("abc");

  auto compiled = kordal::Regex::new_with_flags(pattern, flags);
  if (!compiled.ok()) return 0;
  const kordal::Regex& re = compiled.value();
  const kordal::Analysis an = kordal::analyze(re.tree());
  const std::u32string text = kordal::decode_utf8(hay);
  char32_t top = 0;
  for (char32_t c : text) top = std::max(top, c);
  std::vector<bool> cov1, cov2, cov4;
  std::unique_ptr<kordal::Prefilter> pf;
  if (an.needle) {
    pf = std::make_unique<kordal::Prefilter>(*an.needle);
    if (top < 0x100) cov1 = covered<uint8_t>(*pf, text);
    if (top < 0x10000) cov2 = covered<uint16_t>(*pf, text);
    cov4 = covered<uint32_t>(*pf, text);
  }

  // Every start at which some match begins, by the VM run at each start
  // directly (the search loops themselves use the needle).
  Budget budget;
  const kordal::SearchControl ctl{poll, &budget};
  auto st = re.build_state(hay);
  st->ctl = &ctl;
  kordal::Backtracker vm(re.program());
  for (size_t q = 0; q <= text.size(); ++q) {
    st->reset(q);
    if (!vm.run(*st, false)) {
      if (st->status != kordal::Status::Ok) break;
      continue;
    }
    const size_t e = st->pos;
    check(e - q >= an.min_len && e - q <= an.max_len, "length bounds", pattern, q);
    check(!an.anchored_start || q == 0, "start anchor", pattern, q);
    check(an.anchored_end != kordal::EndAnchor::Text || e == text.size(), "end anchor", pattern, q);
    check(an.anchored_end != kordal::EndAnchor::Line || e == text.size() ||
              (e + 1 == text.size() && text[e] == '\n'),
          "line end anchor", pattern, q);
    check(an.first.nullable || (q < text.size() && an.first.contains(text[q])), "first set",
          pattern, q);
    if (pf) {
      check(cov1.empty() || cov1[q], "needle, 1-byte text", pattern, q);
      check(cov2.empty() || cov2[q], "needle, 2-byte text", pattern, q);
      check(cov4[q], "needle, 4-byte text", pattern, q);
    }
  }
  return 0;
}
