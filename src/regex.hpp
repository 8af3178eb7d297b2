// The compiled pattern and every search built on it.
//
// A Regex is immutable after compilation and may serve any number of
// searches at once; each search owns a State for its haystack (decoded once
// per call) and runs the backtracking VM at successive start positions.
// Searches report a Status besides their result: matching cannot fail, but it
// can be cancelled through the poll hook or exhaust the VM's backtrack stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ast.hpp"
#include "error.hpp"
#include "match_obj.hpp"

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
}  // namespace flags

enum class Status : uint8_t {
  Ok,
  Interrupted,  // the poll hook asked to stop
  TooDeep,      // the match needed more backtrack stack than the cap allows
  NoMemory,     // an allocation failed
};

// How a long search hands control back. poll is called every few thousand VM
// steps; returning true cancels the search.
struct SearchControl {
  bool (*poll)(void* ctx) = nullptr;
  void* ctx = nullptr;
};

struct State;
struct PartialCandidate;
struct Analysis;
struct Program;

class Regex {
 public:
  static Result<Regex> new_with_flags(std::string_view pattern, uint32_t flags);

  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  ~Regex();

  const std::string& pattern() const { return pattern_; }
  uint32_t flags() const { return flags_; }
  size_t group_count() const { return group_count_; }
  const Names& names() const { return *names_; }
  const std::shared_ptr<const Names>& names_shared() const { return names_; }
  std::shared_ptr<const Names> names_clone() const { return names_; }
  const Node& tree() const { return *tree_; }
  const Program& program() const { return *program_; }
  std::string dump() const;

  // Searches. `text` must be well-formed UTF-8.
  Status is_match(std::string_view text, bool& out, const SearchControl& ctl = {}) const;
  Status find(std::string_view text, std::optional<Match>& out,
              const SearchControl& ctl = {}) const;
  // First match starting at or after byte offset `byte_start` (clamped to the
  // length). The caller ensures the offset is not inside a character.
  Status find_at(std::string_view text, size_t byte_start, std::optional<Match>& out,
                 const SearchControl& ctl = {}) const;
  Status match_at_start(std::string_view text, std::optional<Match>& out,
                        const SearchControl& ctl = {}) const;
  Status fullmatch(std::string_view text, std::optional<Match>& out,
                   const SearchControl& ctl = {}) const;
  Status find_partial(std::string_view text, std::optional<PartialMatch>& out,
                      const SearchControl& ctl = {}) const;
  Status replace(std::string_view text, std::string_view repl, std::string& out,
                 const SearchControl& ctl = {}) const;
  Status replace_all(std::string_view text, std::string_view repl, std::string& out,
                     const SearchControl& ctl = {}) const;

  // Building blocks of the searches.
  std::unique_ptr<State> build_state(std::string_view text) const;
  // Leftmost match starting at code-point index >= s0; fills `span` (code
  // points) on success.
  Status find_from(State& st, size_t s0, bool& found, const SearchControl& ctl) const;
  Match match_from_state(std::string_view text, const State& st) const;
  // The same into an existing Match, reusing its storage.
  void fill_match(Match& m, std::string_view text, const State& st) const;
  // The partial-match result for a start index and the candidate that ended
  // the attempt (for a full match: the caps with group 0 set, no open groups).
  PartialMatch build_partial_match(const State& st, bool full, size_t start,
                                   const PartialCandidate& cand) const;

 private:
  Regex();
  Status run_one(std::string_view text, size_t byte_start, int mode, std::optional<Match>& out,
                 const SearchControl& ctl) const;
  std::string pattern_;
  std::unique_ptr<Node> tree_;
  std::shared_ptr<const Names> names_;
  size_t group_count_ = 0;
  uint32_t flags_ = 0;
  std::unique_ptr<Analysis> analysis_;  // derived facts for fast paths
  std::unique_ptr<const Program> program_;
  friend struct Searcher;
};

// Successive matches; an empty match moves the next search one code point on.
class FindIter {
 public:
  FindIter(const Regex& re, std::string_view text);
  ~FindIter();
  Status next(std::optional<Match>& out, const SearchControl& ctl = {});

 private:
  const Regex& re_;
  std::string_view text_;
  std::unique_ptr<State> state_;
  size_t next_start_ = 0;
  bool exhausted_ = false;
};

// Segments between matches, each followed by the texts of the separator's
// groups (empty for a group that did not take part). Segments are slices of
// the haystack.
class SplitIter {
 public:
  SplitIter(const Regex& re, std::string_view text);
  ~SplitIter();
  Status next(std::optional<std::string_view>& out, const SearchControl& ctl = {});

 private:
  const Regex& re_;
  std::string_view text_;
  std::unique_ptr<State> state_;
  std::deque<std::string_view> pending_;
  size_t next_start_ = 0;
  bool done_ = false;
};

namespace regex {
// Expands a replacement template against a match; never fails.
void expand(std::string_view tmpl, const Match& m, std::string& out);
std::string expand(std::string_view tmpl, const Match& m);
// Appends the group a reference (number or name) designates, or nothing.
void append_group(std::string& out, const Match& m, std::string_view ref);
}  // namespace regex

}  // namespace kordal
