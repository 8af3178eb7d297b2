// The compiled pattern and every search built on it.
// Tests: the Python suite (tests/), tests/cpp/test_corpus.cpp (the corpus, engine
// "regex"), test_vm_differential.cpp, test_fuzz_replay.cpp, and the fuzz_regex and
// fuzz_engines targets.
//
// A Regex is immutable after compilation and may serve any number of
// searches at once; each search owns a State for its haystack and runs the
// backtracking VM at successive start positions. Every search reads an
// AnyText (text.hpp): a Text, code units read in place, which is what the
// Python module uses, or UTF-8, for C++ callers, tests and fuzzers, decoded
// once when it is not ASCII. Searches report a Status besides their result:
// matching cannot fail, but it can be cancelled through the poll hook or
// exhaust the VM's backtrack stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ast.hpp"
#include "error.hpp"
#include "flags.hpp"
#include "match_obj.hpp"
#include "status.hpp"
#include "text.hpp"

namespace kordal {

struct Analysis;
struct State;
struct PartialCandidate;
struct Program;
class Strategy;

// Where a replacement puts its output, piece by piece, in order. The pieces
// may come between polls of a long walk, so a sink must not need what the
// poll hook lends (the interpreter lock, for the Python module).
class ReplaceSink {
 public:
  virtual ~ReplaceSink() = default;
  // Code points [a, b) of the haystack, unchanged.
  virtual void copy(size_t a, size_t b) = 0;
  // Literal text from the template (UTF-8).
  virtual void literal(std::string_view utf8) = 0;
};

// Compile options beside the flags: never stored in flags(), and invisible in
// dump(), so an interface may ask for them without changing what the native
// one reports.
struct CompileOptions {
  // Case-insensitive literals and classes under the ASCII flag fold the ASCII
  // letters only (ascii_fold.hpp); backreferences still fold fully.
  bool ascii_case = false;
};

class Regex {
 public:
  static Result<Regex> new_with_flags(std::string_view pattern, uint32_t flags,
                                      const CompileOptions& options = {});

  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;
  ~Regex();

  const std::string& pattern() const { return pattern_; }
  uint32_t flags() const { return flags_; }
  size_t group_count() const { return group_count_; }
  const Names& names() const { return *names_; }
  const std::shared_ptr<const Names>& names_shared() const { return names_; }
  const Node& tree() const { return *tree_; }
  const Program& program() const { return *program_; }
  const Analysis& analysis() const;  // facts derived once from the tree
  const Strategy& strategy() const { return *strategy_; }
  std::string dump() const;

  // Searches, each on either form of haystack (AnyText, text.hpp). A result
  // slot `out` holds the result afterwards, or is empty after a miss or an
  // error; a Match already in it has its storage reused, so a caller that
  // keeps the slot across calls allocates nothing per match. Matches report
  // byte offsets into the UTF-8 form for the groups' spans (computed for
  // those positions only) and code-point spans for everything. On a Text,
  // Match::text stays empty and history spans carry code-point indices only
  // (their byte fields are kUnset).
  Status is_match(AnyText text, bool& out, const SearchControl& ctl = {}) const;
  Status find(AnyText text, std::optional<Match>& out, const SearchControl& ctl = {}) const;
  // First match starting at or after byte offset `byte_start` (clamped to the
  // length). The caller ensures the offset is not inside a character.
  Status find_at(AnyText text, size_t byte_start, std::optional<Match>& out,
                 const SearchControl& ctl = {}) const;
  // The same from code-point index start.index (clamped to n), whose byte
  // offset is start.byte: for a caller that remembers positions between
  // calls, so that no conversion walks the text from its start.
  Status find_at_index(AnyText text, TextPos start, std::optional<Match>& out,
                       const SearchControl& ctl = {}) const;
  Status match_at_start(AnyText text, std::optional<Match>& out,
                        const SearchControl& ctl = {}) const;
  Status fullmatch(AnyText text, std::optional<Match>& out, const SearchControl& ctl = {}) const;
  Status find_partial(AnyText text, std::optional<PartialMatch>& out,
                      const SearchControl& ctl = {}) const;
  // Replaces the first match (all = false) or every match; the output goes
  // to `sink`. `replaced` tells whether any match was found.
  Status replace(AnyText text, std::string_view repl, bool all, ReplaceSink& sink, bool& replaced,
                 const SearchControl& ctl = {}) const;
  // The same into a string, for UTF-8 only: the output is slices of the
  // haystack's own bytes, which a Text does not have.
  Status replace(std::string_view text, std::string_view repl, std::string& out,
                 const SearchControl& ctl = {}) const;
  Status replace_all(std::string_view text, std::string_view repl, std::string& out,
                     const SearchControl& ctl = {}) const;

  // Building blocks of the searches.
  std::unique_ptr<State> build_state(AnyText text) const;
  // Leftmost match starting at code-point index >= s0; on success `found` is
  // set and the match is in st.caps() (code points).
  Status find_from(State& st, size_t s0, bool& found, const SearchControl& ctl) const;
  // The searches of an interface that reads positions as code-point indices
  // (nothing is converted to bytes; the result is st.caps): Find from s0,
  // or one attempt anchored at s0 (Anchored), also reaching the end (Full).
  // With `nonempty`, a match may not be empty at s0 (it may be later on); an
  // attempt at s0 then runs on the VM alone.
  enum class Anchor : uint8_t { None, Start, Full };
  Status search_state(State& st, size_t s0, Anchor anchor, bool nonempty, bool& found,
                      const SearchControl& ctl) const;
  // The match in `st` (st.caps, group 0 set) into an existing Match, reusing
  // its storage. Byte offsets of history spans are filled only when the
  // State was built from UTF-8.
  void fill_match(Match& m, std::string_view text, const State& st) const;
  // The partial-match result for a start index and the candidate that ended
  // the attempt (for a full match: the caps with group 0 set, no open groups).
  PartialMatch build_partial_match(const State& st, bool full, size_t start,
                                   const PartialCandidate& cand) const;

 private:
  Regex();
  Status run_one(State& st, size_t index, int mode, std::optional<Match>& out,
                 const SearchControl& ctl) const;
  Status replace_in(State& st, std::string_view repl, bool all, ReplaceSink& sink, bool& replaced,
                    const SearchControl& ctl) const;
  std::string pattern_;
  std::unique_ptr<Node> tree_;
  std::shared_ptr<const Names> names_;
  size_t group_count_ = 0;
  uint32_t flags_ = 0;
  std::unique_ptr<const Program> program_;
  // Which engines each search runs; holds the analysis and the prefilter.
  // Declared after the tree and the program, which it refers to.
  std::unique_ptr<const Strategy> strategy_;
};

}  // namespace kordal
