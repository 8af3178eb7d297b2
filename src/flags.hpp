// The pattern flags: one bit each, as Regex::flags() reports them, and the
// groups of them that compilation reads together.
//
// The parser reads the bits of kParserFlags; the versions only choose the
// dialect a pattern is reported under. Compilation completes the charset
// (UNICODE when none of kCharsetFlags is given) and the version (VERSION1
// when neither is), so a compiled pattern always has one of each.
#pragma once

#include <cstdint>

namespace kordal {

namespace flags {
inline constexpr uint32_t IGNORECASE = 0x1;
inline constexpr uint32_t MULTILINE = 0x2;
inline constexpr uint32_t DOTALL = 0x4;
inline constexpr uint32_t UNICODE = 0x8;
inline constexpr uint32_t ASCII = 0x10;
inline constexpr uint32_t VERBOSE = 0x20;
inline constexpr uint32_t FULLCASE = 0x40;
inline constexpr uint32_t WORD = 0x80;
inline constexpr uint32_t LOCALE = 0x100;
inline constexpr uint32_t VERSION0 = 0x10000;
inline constexpr uint32_t VERSION1 = 0x20000;

// The flags that choose what a character class and a shorthand mean.
inline constexpr uint32_t kCharsetFlags = UNICODE | ASCII | LOCALE;
// Every flag the parser reads.
inline constexpr uint32_t kParserFlags =
    IGNORECASE | MULTILINE | DOTALL | UNICODE | ASCII | VERBOSE | FULLCASE | WORD | LOCALE;
inline constexpr uint32_t kVersionFlags = VERSION0 | VERSION1;
}  // namespace flags

}  // namespace kordal
