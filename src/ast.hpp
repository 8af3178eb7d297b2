// The syntax tree of a compiled pattern and its printed forms.
//
// A Node is a tagged record with one field set per variant; the parser's
// node-building helpers are the only way trees get built, so the shape
// invariants (a Sequence holds two or more items and never Empty or another
// Sequence, a Branch two or more alternatives) hold everywhere. Nesting depth
// is bounded by the parser's group-nesting limit, which bounds the recursion
// of dump, the matcher and destruction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "unicode.hpp"

namespace kordal {

enum class NodeKind : uint8_t {
  Empty,
  Lit,
  LitStr,
  Any,
  Class,
  Predef,
  Prop,
  StartLine,
  EndLine,
  StartText,
  EndText,
  WordBoundary,
  WordEdge,
  Grapheme,
  Group,
  NonCap,
  Atomic,
  Branch,
  Sequence,
  Repeat,
  BackRef,
  Look,
};
inline constexpr int kNodeKindCount = 22;

// Whether a node of this kind never consumes: the empty node, anchors,
// word assertions and lookaround.
constexpr bool zero_width(NodeKind k) {
  switch (k) {
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
    case NodeKind::Look:
      return true;
    default:
      return false;
  }
}

enum class Predef : uint8_t { Digit, Word, Space };

struct Property {
  std::string name;  // as written, without a leading '^'
  bool negated = false;
  unicode::Pred pred = nullptr;
};

struct CharSet {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;  // inclusive
};

struct ClassItem {
  enum class Kind : uint8_t { Set, Predef, Prop };
  Kind kind = Kind::Set;
  Predef pkind = Predef::Digit;  // Predef items
  bool negated = false;          // Predef and Prop items
  bool ascii = false;            // Predef items
  unicode::Pred pred = nullptr;  // Prop items
  CharSet set;                   // Set items
};

struct CharClass {
  std::vector<ClassItem> items;
  bool negated = false;
  // Whether each ASCII code point is in the class, filled once after parsing
  // (annotate) so the matcher answers ASCII without walking the items.
  std::array<uint64_t, 2> ascii_bits{};
  bool ascii_ready = false;
};

struct Node {
  NodeKind kind = NodeKind::Empty;
  bool ign = false;                // Lit, LitStr, BackRef
  bool dotall = false;             // Any
  bool multiline = false;          // StartLine, EndLine
  bool negated = false;            // Predef, WordBoundary
  bool ascii = false;              // Predef, WordBoundary, WordEdge
  bool end = false;                // WordEdge
  bool greedy = true;              // Repeat
  bool behind = false;             // Look
  bool positive = true;            // Look
  Predef pkind = Predef::Digit;    // Predef
  char32_t ch = 0;                 // Lit
  uint32_t min = 0;                // Repeat
  std::optional<uint32_t> max;     // Repeat; absent means unbounded
  uint64_t index = 0;              // Group
  uint64_t group = 0;              // BackRef
  std::vector<Node> kids;          // the child (Group, NonCap, Atomic, Repeat, Look), alts, items
  std::vector<char32_t> chars;     // LitStr
  std::unique_ptr<CharClass> cc;   // Class
  std::unique_ptr<Property> prop;  // Prop
  // Length of every match when the node matches deterministically (one way,
  // no captures), else -1; filled after parsing (annotate).
  int64_t det_len = -1;

  const Node& child() const { return kids[0]; }

  // Appends the indented text dump of this node and its subtree.
  void dump(std::string& out, size_t depth) const;
  // Record-style rendering for diagnostics.
  std::string debug() const;
};

// `{ch}` rendering: the code point in single quotes with debugging escapes.
void write_quoted_char(std::string& out, char32_t c);
// A text between double quotes with debugging escapes (the quoted-text
// rendering used in messages and reprs). The input is UTF-8.
void write_quoted_text(std::string& out, std::string_view utf8);
void write_quoted_text(std::string& out, const std::u32string& text);

}  // namespace kordal
