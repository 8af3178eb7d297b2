// Shared pieces of the engine's fuzz targets: how arbitrary bytes become a
// (flags, pattern, haystack) case, the step budget that keeps catastrophic
// patterns from stalling a campaign, and the hard-failure report.
//
// Input layout: 4 bytes of flags (little-endian as read by memcpy), then the
// pattern and the haystack separated by the first 0xFF byte (no 0xFF: the
// haystack is "abc"). Both are made valid UTF-8 by replacing every byte that
// does not start a well-formed sequence with '?', as a Python str would
// guarantee. Cost: linear in the input.
//
// The budget works only through the engine's poll hook: the engine polls
// every few thousand matcher steps, the budget counts polls and cancels after
// its limit. A cancelled (or too deep) operation is simply not checked; the
// hook exists in every build, so nothing here changes the engine itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "regex.hpp"

namespace kordal::fuzz {

struct Input {
  uint32_t flags = 0;
  std::string pattern;
  std::string hay;
};

// Replaces every byte that does not begin a well-formed UTF-8 sequence by '?'.
std::string valid_utf8(const uint8_t* p, size_t n);

// False when the input is too short to hold the flags.
bool decode_input(const uint8_t* data, size_t size, Input& out);

// Byte offset of every code point of a valid UTF-8 text, plus its length:
// positions checked against an index built here, not by the engine.
class TextIndex {
 public:
  explicit TextIndex(std::string_view t);
  size_t chars() const { return starts_.size() - 1; }
  size_t bytes() const { return text_.size(); }
  size_t byte_of(size_t cp) const { return starts_[cp]; }
  bool boundary(size_t b) const;
  // Code-point index of a boundary offset.
  size_t cp_of(size_t b) const;
  std::string_view slice(size_t cp_a, size_t cp_b) const {
    return text_.substr(starts_[cp_a], starts_[cp_b] - starts_[cp_a]);
  }

 private:
  std::string_view text_;
  std::vector<size_t> starts_;
};

// A valid UTF-8 text as the engine reads a Python str: code units of the
// narrowest width that holds every code point (1 byte, flagged ASCII when
// it is), and of every wider width, as the fuzzers force.
class TextForms {
 public:
  explicit TextForms(std::string_view utf8);
  int narrowest() const { return narrowest_; }
  // The text in units of `width` (1, 2 or 4, at least narrowest()); valid
  // as long as this object is.
  Text as(int width) const;

 private:
  std::vector<char32_t> cps_;
  std::vector<uint8_t> u8_;
  std::vector<uint16_t> u16_;
  int narrowest_ = 1;
  bool ascii_ = true;
};

// One operation's allowance of polls. Each operation gets a fresh Budget.
class Budget {
 public:
  explicit Budget(int max_polls = kDefaultPolls) : max_polls_(max_polls) {}
  // Valid as long as the Budget is.
  const SearchControl& control() const { return ctl_; }
  // Polls taken so far (one more than the limit once it cancelled).
  int polls() const { return polls_; }

  static constexpr int kDefaultPolls = 8;

 private:
  static bool poll(void* ctx) {
    auto* b = static_cast<Budget*>(ctx);
    return ++b->polls_ > b->max_polls_;
  }
  int max_polls_;
  int polls_ = 0;
  SearchControl ctl_{&Budget::poll, this};
};

// Whether a search's outcome can be checked. Interrupted (budget spent) and
// TooDeep are legitimate ends; NoMemory on a fuzz-sized input is a finding.
bool completed(Status st, const char* op);

// The case being checked, so a failure can print it; set by the entry point.
void set_current(const Input* in);

// Prints the message and the current case (flags, pattern, haystack, with C
// escapes) to stderr and aborts, which every fuzzing engine reports as a
// crash with the input saved.
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// `fail` unless `cond` holds; the message names the broken invariant.
#define FUZZ_CHECK(cond, ...)                       \
  do {                                              \
    if (!(cond)) ::kordal::fuzz::fail(__VA_ARGS__); \
  } while (0)

}  // namespace kordal::fuzz
