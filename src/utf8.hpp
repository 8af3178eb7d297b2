// UTF-8 encoding and decoding of single code points and whole strings, the
// engine's only UTF-8 code outside the counting loops of text.cpp.
//
// The decoder trusts its input to be well-formed (the Python layer hands in
// strings it has checked, and C++ callers promise it): it reads the length
// from the lead byte and validates nothing, but a sequence cut off by the end
// of the buffer becomes U+FFFD and it never reads past the end. Every
// function costs O(1) per code point.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kordal {

void append_utf8(std::string& out, char32_t c);
inline size_t utf8_len(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}
// The code point at p (p < e), advancing p past it. Meant for well-formed
// UTF-8; a sequence cut off by e becomes U+FFFD and never reads past e.
inline char32_t next_utf8(const unsigned char*& p, const unsigned char* e) {
  const unsigned char c = *p;
  const size_t need = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  if (need > static_cast<size_t>(e - p)) {
    p += 1;
    return 0xFFFD;
  }
  char32_t cp;
  if (need == 1) {
    cp = c;
  } else if (need == 2) {
    cp = char32_t(c & 0x1F) << 6 | (p[1] & 0x3F);
  } else if (need == 3) {
    cp = char32_t(c & 0x0F) << 12 | char32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
  } else {
    cp = char32_t(c & 0x07) << 18 | char32_t(p[1] & 0x3F) << 12 | char32_t(p[2] & 0x3F) << 6 |
         (p[3] & 0x3F);
  }
  p += need;
  return cp;
}
// Decodes well-formed UTF-8 (no validation).
std::u32string decode_utf8(std::string_view s);

}  // namespace kordal
