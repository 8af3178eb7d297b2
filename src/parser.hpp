// Recursive-descent parser from pattern text to syntax tree.
//
// One cursor over the pattern's code points, no tokenizer; the sub-parsers
// for groups, bracket classes, escapes and quantifiers share the Parser
// record and read the flags in force at the cursor, turning them into node
// fields so the matcher never sees the bitset. Cost is linear in the pattern
// length, except that case-folding a bracket class looks at up to 4097 code
// points per range. Recursion is one level per group nesting level (never per
// character, alternative or item), limited to kMaxNesting, so the parser's
// stack, the tree's depth, its dump, the matcher's descent and destruction
// all stay bounded; raising the limit without checking those breaks them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ast.hpp"
#include "error.hpp"
#include "names.hpp"

namespace kordal {

inline constexpr size_t kMaxNesting = 1000;
inline constexpr uint64_t kMaxRepeat = 65535;

struct ParseOutput {
  Node tree;
  Names names;
  size_t group_count = 0;
};

struct Quantifier {
  uint64_t min = 0;
  std::optional<uint64_t> max;
  bool greedy = true;
  bool possessive = false;
};

class Parser {
 public:
  // `flags` are the parser's flags (already normalised and masked).
  Parser(std::string_view pattern, uint32_t flags);
  // The whole compilation: the tree, the group names and count, or the first
  // error. Call once.
  Result<ParseOutput> run();

  // Sub-parsers. Each returns false after storing the error in error_; the
  // first error ends the parse. Positions passed in are code-point indices.
  bool parse_alternation(Node& out);
  bool parse_sequence(Node& out);
  bool parse_atom(Node& out);
  bool parse_quantified(Node& atom);  // attaches a quantifier, if any
  bool parse_group(Node& out);
  // Parses a group body into group's child with `body_flags` in force,
  // restores the flags and requires the closing ')'. The only place the
  // nesting depth grows.
  bool parse_group_body(size_t open, uint32_t body_flags, Node& group);
  bool parse_named_group_body(size_t open, Node& out);
  bool parse_inline_flags(size_t open, Node& out);
  bool expect_close(size_t open);
  bool read_group_name(char32_t terminator, size_t open, std::string& name);
  bool lookup_name(const std::string& name, size_t position, uint64_t& group);
  bool parse_class(Node& out);
  int try_posix_class(ClassItem& item);  // -1 error, 0 not a POSIX class, 1 read
  bool parse_escape(bool in_class, Node& out);
  bool parse_hex_escape(size_t letter, char32_t& out);
  bool read_fixed_hex(size_t letter, int digits, char32_t& out);
  bool parse_g_ref(size_t letter, std::u32string& text);
  bool parse_property(size_t letter, bool upper, Node& out);
  int parse_quant(Quantifier& q);        // -1 error, 0 none (pos unchanged), 1 found
  int parse_brace_quant(Quantifier& q);  // same, with pos on the '{'

  bool err(ErrorKind kind, std::string message);  // at the cursor
  bool err_at(size_t index, ErrorKind kind, std::string message);

  std::u32string chars;
  std::vector<size_t> offsets;  // byte offset of each code point, then the byte length
  Names names;
  size_t pos = 0;
  size_t group_count = 0;
  uint32_t flags = 0;
  size_t depth = 0;  // group bodies open at the cursor
  std::optional<Error> error_;
  // Marks the case-insensitive literals and classes written under the ASCII
  // flag (field `ascii`) and leaves such classes unfolded, for
  // fold_ascii_case (ascii_fold.hpp). Off for the native interface.
  bool ascii_case = false;

 private:
  bool at(char32_t c) const { return pos < chars.size() && chars[pos] == c; }
  size_t byte_at(size_t index) const { return offsets[std::min(index, chars.size())]; }
  std::string utf8(size_t from, size_t to) const;
  void read_suffix(Quantifier& q);
  void mark_ascii_case(Node& n) const;
};

}  // namespace kordal
