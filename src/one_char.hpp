// The engine for a pattern that is one code point test and nothing else
// (`\p{Lu}`, `[aeiou]`, `.`, `\d`) and has no groups: its match at or after
// s is the next code point the test accepts. The general engines pay for a
// start, a scan to the match's end and one back to its start on every such
// match; this is one loop.
//
// The scan is vectorised (simd.hpp) where the test accepts at most four code
// points, or one range, all below 256, and none above or the text has no
// unit above 255; or one range up to 255 and every code point above
// (`[^\x00-\x7F]`), one range of units in any width. Otherwise it is a
// loop of one table load per code point below 256. Above 255, tests whose
// answer there is not a compare or two (properties, several ranges) are
// answered from a bitmap of the BMP filled 256 code points at a time, on
// first need, by CharTest::accepts_high (a bisection); the blocks are
// atomics, so threads sharing the pattern may fill one at the same time
// (with the same bits). Astral code points ask the test.
//
// Cost: linear in the code points scanned, plus 256 tests per block of the
// BMP the texts touch, once per pattern. Memory: 10 KB for such tests.
// Invariant: the result is the test's answer at each code point, so it is
// the VM's match.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "char_test.hpp"
#include "simd.hpp"

namespace kordal {

class OneChar {
 public:
  explicit OneChar(CharTest test);

  // Whether the test accepts c, a code point above 255.
  bool accepts(char32_t c) const { return accepts_high(uint32_t(c)); }

  // The first i in [from, stop) whose code point the test accepts, or stop.
  template <class U>
  size_t find(const U* p, size_t from, size_t stop) const {
    if (vec_ != Vec::None && (sizeof(U) == 1 || test_.high_kind == CharTest::HighKind::None)) {
      return vec_ == Vec::Few ? few_.find(p, from, stop)
                              : simd::find_range(p, from, stop, U(lo_), U(hi_));
    }
    if (upward_) return simd::find_range(p, from, stop, U(lo_), U(~U(0)));
    // Text of one script stays in one block: its bits are looked up once.
    uint32_t block = 0;  // block 0 holds no code point above 255
    const std::atomic<uint64_t>* bits = nullptr;
    for (size_t i = from; i < stop; ++i) {
      const uint32_t ch = uint32_t(p[i]);
      if (ch < 256) {
        if (test_.accepts_low(ch)) return i;
      } else if (blocks_ && ch <= 0xFFFF) {
        if (ch >> 8 != block) {
          block = ch >> 8;
          bits = block_bits(ch);
        }
        if ((bits[(ch >> 6) & 3].load(std::memory_order_relaxed) >> (ch & 63)) & 1) return i;
      } else if (accepts_high(ch)) {
        return i;
      }
    }
    return stop;
  }

 private:
  struct Block {
    std::atomic<bool> ready{false};
    std::atomic<uint64_t> bits[4] = {};
  };

  bool accepts_high(uint32_t ch) const {
    if (!blocks_ || ch > 0xFFFF) return test_.accepts_high(char32_t(ch));
    return (block_bits(ch)[(ch >> 6) & 3].load(std::memory_order_relaxed) >> (ch & 63)) & 1;
  }

  // The bits of the block of ch (256 < ch <= 0xFFFF, with blocks_), filled
  // on first use.
  const std::atomic<uint64_t>* block_bits(uint32_t ch) const {
    Block& b = blocks_[ch >> 8];
    if (!b.ready.load(std::memory_order_acquire)) fill(b, ch & ~uint32_t(0xFF));
    return b.bits;
  }

  void fill(Block& b, uint32_t base) const {
    for (uint32_t w = 0; w < 4; ++w) {
      uint64_t bits = 0;
      for (uint32_t j = 0; j < 64; ++j) {
        if (test_.accepts_high(char32_t(base + w * 64 + j))) bits |= uint64_t(1) << j;
      }
      b.bits[w].store(bits, std::memory_order_relaxed);
    }
    b.ready.store(true, std::memory_order_release);
  }

  enum class Vec : uint8_t { None, Few, Range };
  CharTest test_;
  Vec vec_ = Vec::None;
  simd::FewUnits few_;       // Vec::Few: the code points it accepts
  uint8_t lo_ = 0, hi_ = 0;  // Vec::Range: the range
  bool upward_ = false;      // the range ends at 255 and every code point above passes
  // The BMP in blocks of 256 code points (block 0 unused), where answers
  // above 255 are looked up; null where they are a compare or two.
  std::unique_ptr<Block[]> blocks_;
};

inline OneChar::OneChar(CharTest test) : test_(std::move(test)) {
  const CharTest::HighKind h = test_.high_kind;
  if (h == CharTest::HighKind::Prop || h == CharTest::HighKind::Parts) {
    blocks_ = std::make_unique<Block[]>(256);
  }
  const auto accepts = [this](uint32_t c) { return test_.accepts_low(c); };
  if (few_.set(accepts)) {
    if (few_.n > 0) vec_ = Vec::Few;
    return;
  }
  int lo = -1, hi = -1;
  for (uint32_t c = 0; c < 256; ++c) {
    if (!accepts(c)) continue;
    if (hi >= 0 && hi != int(c) - 1) return;  // not one range
    if (lo < 0) lo = int(c);
    hi = int(c);
  }
  vec_ = Vec::Range;
  lo_ = uint8_t(lo);
  hi_ = uint8_t(hi);
  upward_ = hi == 0xFF && h == CharTest::HighKind::All;
}

}  // namespace kordal
