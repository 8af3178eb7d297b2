// libFuzzer target: compile arbitrary bytes as a pattern (with flags taken
// from the input) and run every search kind over a haystack taken from the
// input. Searches are cut off through the poll hook after a fixed number of
// polls, since exponential backtracking is legal and would otherwise hang
// the fuzzer. Any crash, sanitizer report or leak is a finding.
//
// Input layout: 4 bytes of flags, then pattern and haystack separated by the
// first 0xFF byte; both are forced to valid UTF-8 first, as Python would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "regex.hpp"

namespace {

std::string valid_utf8(const uint8_t* p, size_t n) {
  std::string out;
  size_t i = 0;
  while (i < n) {
    uint8_t c = p[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = len > 0 && i + len <= n;
    char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    for (size_t k = 1; ok && k < len; ++k) {
      ok = (p[i + k] & 0xC0) == 0x80;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (ok) {
      static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= kMin[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (ok) {
      out.append(reinterpret_cast<const char*>(p + i), len);
      i += len;
    } else {
      out.push_back('?');
      i += 1;
    }
  }
  return out;
}

struct Budget {
  int polls = 0;
};

bool poll(void* ctx) {
  return ++static_cast<Budget*>(ctx)->polls > 64;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t flags;
  std::memcpy(&flags, data, 4);
  data += 4;
  size -= 4;
  const uint8_t* sep = static_cast<const uint8_t*>(std::memchr(data, 0xFF, size));
  size_t plen = sep ? static_cast<size_t>(sep - data) : size;
  std::string pattern = valid_utf8(data, plen);
  std::string hay = sep ? valid_utf8(sep + 1, size - plen - 1) : std::string("abc");

  auto compiled = kordal::Regex::new_with_flags(pattern, flags);
  if (!compiled.ok()) {
    (void)compiled.error().text();
    return 0;
  }
  const kordal::Regex& re = compiled.value();
  (void)re.dump();
  Budget budget;
  kordal::SearchControl ctl{poll, &budget};
  bool hit = false;
  if (re.is_match(hay, hit, ctl) != kordal::Status::Ok) return 0;
  std::optional<kordal::Match> m;
  if (re.find(hay, m, ctl) != kordal::Status::Ok) return 0;
  if (m) {
    std::string out;
    kordal::regex::expand("$0-${1}\\g<2>$$\\n", *m, out);
  }
  (void)re.fullmatch(hay, m, ctl);
  size_t mid = hay.size() / 2;
  while (mid > 0 && mid < hay.size() && (static_cast<uint8_t>(hay[mid]) & 0xC0) == 0x80) --mid;
  (void)re.find_at(hay, mid, m, ctl);
  std::optional<kordal::PartialMatch> pm;
  (void)re.find_partial(hay, pm, ctl);
  std::string replaced;
  (void)re.replace_all(hay, "<$0>", replaced, ctl);
  kordal::FindIter it(re, hay);
  for (int i = 0; i < 64; ++i) {
    if (it.next(m, ctl) != kordal::Status::Ok || !m) break;
  }
  kordal::SplitIter sp(re, hay);
  std::optional<std::string_view> seg;
  for (int i = 0; i < 64; ++i) {
    if (sp.next(seg, ctl) != kordal::Status::Ok || !seg) break;
  }
  return 0;
}
