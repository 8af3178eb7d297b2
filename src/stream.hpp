// Searching text that arrives in pieces: the matches of one find-all over
// the concatenation of every piece, each reported as soon as more text
// cannot change it.
//
// Algorithm: the stream keeps a buffer of code points (StreamBuffer). After each piece it
// searches the buffer from where the next match may begin, exactly as
// find-all would, in two phases. First, for regular patterns, a reverse scan
// from the buffer's end (Dfa::build_prefixes) finds the least start u from
// which some thread of the pattern can consume everything up to the end
// (up to a final line feed, which `$` reads as well); attempts from earlier
// starts end before the end, so they end alike whatever follows, and the
// ordinary search (every engine of the strategy) reports the matches that
// begin before u as final. Then, from u (from the first start for other
// patterns), the backtracking VM tries start by start; it sets
// State::hit_end whenever an answer depended on where the text ends (a read
// at the end, or an end-of-text assertion evaluated there). A match is
// final when no attempt since the VM took over set it. Otherwise the search
// stops at the first start whose attempt set it and waits for more text;
// starts before it have failed for good. At close the text's end is known
// and the ordinary search reports the rest.
//
// Invariants: `next_` is the stream position (code points) where the next
// search begins; the buffer holds the stream from `base_`, which is
// `next_` minus the context the pattern can look back at (its lookbehind
// reach plus one code point, for `\b`, `^` and for telling the stream's
// start from the buffer's). A pattern whose lookbehind reach is unbounded
// keeps the whole stream. Matches carry stream positions: code points since
// the stream began and UTF-8 byte offsets since it began.
//
// Cost: each piece costs a reverse scan over the undecided tail and a search
// of the retained text; while a match stays undecided across many pieces (a
// long line for `.*$`), every piece rescans it, which is quadratic in the
// length of that one match, never in the stream. Memory: the retained text, the context, and the
// last piece.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dfa.hpp"
#include "match_obj.hpp"
#include "regex.hpp"
#include "text.hpp"

namespace kordal {

// The retained text, in the narrowest code units that hold every piece so
// far (so searches of Latin-1 text run on bytes); widened when a piece needs
// wider units, never narrowed.
class StreamBuffer {
 public:
  void append(const Text& piece);
  void drop_front(size_t n);
  void clear();
  size_t size() const { return n_; }
  char32_t at(size_t i) const { return text().at(i); }
  Text text() const;

 private:
  void widen(uint8_t width);
  std::vector<uint8_t> b1_;
  std::vector<uint16_t> b2_;
  std::vector<char32_t> b4_;
  size_t n_ = 0;
  uint8_t width_ = 1;
  bool ascii_ = true;  // every code point of b1_ is below 0x80
};

class Stream {
 public:
  explicit Stream(const Regex& re);

  // Appends `chunk`; found() then lists the matches now final. Their
  // code-point spans are relative to buffer() until the next trim(), their
  // byte spans are stream offsets. A search stopped by the poll hook (or out
  // of stack) finds nothing and keeps the piece; the next feed, even of
  // nothing, or close searches again. After close(), feed finds nothing.
  Status feed(const Text& chunk, const SearchControl& ctl = {});
  // Ends the text: the rest of the matches, as feed reports them.
  Status close(const SearchControl& ctl = {});
  // The matches of the last feed or close; their storage is reused by the
  // next one, so a long stream allocates nothing per match.
  std::span<const Match> found() const { return {found_.data(), nfound_}; }
  // The same, appending copies of found() to `out`.
  Status feed(const Text& chunk, std::vector<Match>& out, const SearchControl& ctl = {});
  Status close(std::vector<Match>& out, const SearchControl& ctl = {});

  // Drops the text no later search needs; the caller reads the matches of
  // a feed against buffer() first. feed and close trim before searching.
  void trim();

  // The retained text and the stream position of its first code point.
  Text buffer() const { return buf_.text(); }
  size_t base() const { return base_; }
  bool closed() const { return closed_; }
  // The code points the stream holds (for tests of memory).
  size_t retained() const { return buf_.size(); }

  // How far behind a start position the pattern can look, in code points, or
  // kUnset when it is unbounded. Exposed for tests.
  static size_t lookbehind_reach(const Node& root);

 private:
  Status search(bool final, const SearchControl& ctl);

  const Regex& re_;
  // Bounds the starts left undecided at the buffer's end; null when the
  // pattern is not regular, and the VM decides every start.
  const Dfa* prefixes_;  // the Regex's, built once for all its streams
  StreamBuffer buf_;
  size_t base_ = 0;        // stream position of buf_[0]
  size_t base_bytes_ = 0;  // its UTF-8 offset in the stream
  size_t next_ = 0;        // stream position where the next search begins
  size_t context_ = 1;     // code points kept before next_; kUnset: keep all
  bool closed_ = false;
  std::vector<Match> found_;  // the first nfound_ are the last search's
  size_t nfound_ = 0;
};

}  // namespace kordal
