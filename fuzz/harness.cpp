// Input decoding, budget bookkeeping and failure reports for the fuzz
// targets (see harness.hpp).
#include "harness.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kordal::fuzz {

namespace {

const Input* g_current = nullptr;

void print_escaped(const char* label, std::string_view s) {
  std::fprintf(stderr, "  %s (%zu bytes): \"", label, s.size());
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      std::fprintf(stderr, "\\%c", c);
    } else if (c >= 0x20 && c < 0x7F) {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", c);
    }
  }
  std::fprintf(stderr, "\"\n");
}

}  // namespace

std::string valid_utf8(const uint8_t* p, size_t n) {
  std::string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    const uint8_t c = p[i];
    const size_t len = c < 0x80         ? 1
                       : (c >> 5) == 6  ? 2
                       : (c >> 4) == 14 ? 3
                       : (c >> 3) == 30 ? 4
                                        : 0;
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

TextIndex::TextIndex(std::string_view t) : text_(t) {
  for (size_t b = 0; b < t.size(); ++b) {
    if ((static_cast<unsigned char>(t[b]) & 0xC0) != 0x80) starts_.push_back(b);
  }
  starts_.push_back(t.size());
}

bool TextIndex::boundary(size_t b) const {
  return b == text_.size() ||
         (b < text_.size() && (static_cast<unsigned char>(text_[b]) & 0xC0) != 0x80);
}

size_t TextIndex::cp_of(size_t b) const {
  return static_cast<size_t>(std::lower_bound(starts_.begin(), starts_.end(), b) - starts_.begin());
}

TextForms::TextForms(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    cps_.push_back(cp);
    i += len;
  }
  char32_t top = 0;
  for (char32_t c : cps_) top = std::max(top, c);
  narrowest_ = top < 0x100 ? 1 : top < 0x10000 ? 2 : 4;
  ascii_ = top < 0x80;
  for (char32_t c : cps_) {
    if (narrowest_ == 1) u8_.push_back(static_cast<uint8_t>(c));
    if (narrowest_ <= 2) u16_.push_back(static_cast<uint16_t>(c));
  }
}

Text TextForms::as(int width) const {
  if (width < narrowest_) fail("a %d-byte Text cannot hold this text", width);
  if (width == 1) return Text::of(u8_.data(), u8_.size(), ascii_);
  if (width == 2) return Text::of(u16_.data(), u16_.size());
  return Text::of(cps_.data(), cps_.size());
}

bool decode_input(const uint8_t* data, size_t size, Input& out) {
  if (size < 4) return false;
  std::memcpy(&out.flags, data, 4);
  data += 4;
  size -= 4;
  const auto* sep = static_cast<const uint8_t*>(std::memchr(data, 0xFF, size));
  const size_t plen = sep ? static_cast<size_t>(sep - data) : size;
  out.pattern = valid_utf8(data, plen);
  out.hay = sep ? valid_utf8(sep + 1, size - plen - 1) : std::string("abc");
  return true;
}

bool completed(Status st, const char* op) {
  switch (st) {
    case Status::Ok:
      return true;
    case Status::Interrupted:
    case Status::TooDeep:
      return false;
    case Status::NoMemory:
      fail("%s: out of memory on a fuzz-sized input", op);
  }
  fail("%s: unknown status %d", op, static_cast<int>(st));
}

void set_current(const Input* in) {
  g_current = in;
}

void fail(const char* fmt, ...) {
  std::fprintf(stderr, "\n==== invariant violated: ");
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "\n");
  if (g_current != nullptr) {
    std::fprintf(stderr, "  flags: 0x%x\n", g_current->flags);
    print_escaped("pattern", g_current->pattern);
    print_escaped("haystack", g_current->hay);
  }
  std::fflush(stderr);
  std::abort();
}

}  // namespace kordal::fuzz
