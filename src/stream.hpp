// Searching text that arrives in pieces: the matches of one find-all over
// the concatenation of every piece, each reported as soon as more text
// cannot change it.
//
// Algorithm: the stream keeps a buffer of code points. After each piece it
// searches the buffer with the backtracking VM, start by start from where
// the next match may begin, exactly as find-all would. The VM sets
// State::hit_end whenever an answer depended on where the text ends (a read
// at the end, or an end-of-text assertion evaluated there). A match is final
// when no attempt since the search began set it: neither the failed attempts
// at earlier starts, nor the higher-priority paths at its own start, nor its
// own path. Otherwise the search stops at the first start whose attempt set
// it and waits for more text; starts before it have failed for good.
//
// Invariants: `next_` is the stream position (code points) where the next
// search begins; the buffer holds the stream from `base_`, which is
// `next_` minus the context the pattern can look back at (its lookbehind
// reach plus one code point, for `\b`, `^` and for telling the stream's
// start from the buffer's). A pattern whose lookbehind reach is unbounded
// keeps the whole stream. Matches carry stream positions: code points since
// the stream began and UTF-8 byte offsets since it began.
//
// Cost: each piece costs a search of the retained text; while a match stays
// undecided across many pieces (a long line for `.*$`), every piece rescans
// it, which is quadratic in the length of that one match, never in the
// stream. Memory: the retained text, the context, and the last piece.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "match_obj.hpp"
#include "regex.hpp"
#include "text.hpp"

namespace kordal {

class Stream {
 public:
  explicit Stream(const Regex& re);

  // Appends `chunk` and appends to `out` the matches now final. Their
  // code-point spans are relative to buffer() until the next trim(), their
  // byte spans are stream offsets. After close(), feed appends nothing.
  Status feed(const Text& chunk, std::vector<Match>& out, const SearchControl& ctl = {});
  // A search stopped by the poll hook (or out of stack) reports no match and
  // keeps the piece; the next feed, even of nothing, or close searches again.
  // Ends the text: the rest of the matches, as feed reports them.
  Status close(std::vector<Match>& out, const SearchControl& ctl = {});

  // Drops the text no later search needs; the caller reads the matches of
  // a feed against buffer() first. feed and close trim before searching.
  void trim();

  // The retained text and the stream position of its first code point.
  const std::u32string& buffer() const { return buf_; }
  size_t base() const { return base_; }
  bool closed() const { return closed_; }
  // The code points the stream holds (for tests of memory).
  size_t retained() const { return buf_.size(); }

  // How far behind a start position the pattern can look, in code points, or
  // kUnset when it is unbounded. Exposed for tests.
  static size_t lookbehind_reach(const Node& root);

 private:
  Status search(bool final, std::vector<Match>& out, const SearchControl& ctl);

  const Regex& re_;
  std::u32string buf_;
  size_t base_ = 0;        // stream position of buf_[0]
  size_t base_bytes_ = 0;  // its UTF-8 offset in the stream
  size_t next_ = 0;        // stream position where the next search begins
  size_t context_ = 1;     // code points kept before next_; kUnset: keep all
  bool closed_ = false;
};

}  // namespace kordal
