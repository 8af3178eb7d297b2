// Printed forms of the syntax tree: the indented dump that Regex.dump()
// returns, the record-style debugging rendering, and the quoting helpers that
// error messages and reprs share. Dump and debug recurse once per tree level,
// which the parser's nesting limit bounds.
#include "ast.hpp"

#include <array>
#include <cstdio>

#include "utf8.hpp"

namespace kordal {

namespace {

constexpr std::array<const char*, kNodeKindCount> kKindNames = {
    "Empty",    "Lit",       "LitStr",  "Any",       "Class",   "Predef",
    "Prop",     "StartLine", "EndLine", "StartText", "EndText", "WordBoundary",
    "WordEdge", "Grapheme",  "Group",   "NonCap",    "Atomic",  "Branch",
    "Sequence", "Repeat",    "BackRef", "Look",
};
static_assert(kKindNames.size() == static_cast<size_t>(NodeKind::Look) + 1);

const char* predef_name(Predef p) {
  switch (p) {
    case Predef::Digit:
      return "Digit";
    case Predef::Word:
      return "Word";
    case Predef::Space:
      return "Space";
  }
  return "?";
}

const char* b(bool v) {
  return v ? "true" : "false";
}

void write_hex_escape(std::string& out, char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
  out += buf;
}

// Shared by both quoting styles; `quote` is the delimiter that gets a backslash.
void write_escaped(std::string& out, char32_t c, char quote) {
  switch (c) {
    case '\t':
      out += "\\t";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\n':
      out += "\\n";
      return;
    case 0:
      out += "\\0";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (c == static_cast<char32_t>(quote)) {
    out.push_back('\\');
    out.push_back(quote);
    return;
  }
  if (c >= 0x20 && c < 0x7F) {
    out.push_back(static_cast<char>(c));
    return;
  }
  if (unicode::is_shown_verbatim(c)) {
    append_utf8(out, c);
  } else {
    write_hex_escape(out, c);
  }
}

}  // namespace

void write_quoted_char(std::string& out, char32_t c) {
  out.push_back('\'');
  write_escaped(out, c, '\'');
  out.push_back('\'');
}

void write_quoted_text(std::string& out, const std::u32string& text) {
  out.push_back('"');
  for (char32_t c : text) write_escaped(out, c, '"');
  out.push_back('"');
}

void write_quoted_text(std::string& out, std::string_view utf8) {
  write_quoted_text(out, decode_utf8(utf8));
}

void Node::dump(std::string& out, size_t depth) const {
  out.append(depth * 2, ' ');
  switch (kind) {
    case NodeKind::Empty:
      out += "Empty";
      break;
    case NodeKind::Lit:
      out += "Lit ";
      write_quoted_char(out, ch);
      out += " ign=";
      out += b(ign);
      break;
    case NodeKind::LitStr:
      out += "LitStr [";
      for (size_t i = 0; i < chars.size(); ++i) {
        if (i) out += ", ";
        write_quoted_char(out, chars[i]);
      }
      out += "] ign=";
      out += b(ign);
      break;
    case NodeKind::Any:
      out += "Any dotall=";
      out += b(dotall);
      break;
    case NodeKind::Class:
      out += "Class negated=";
      out += b(cc->negated);
      out += " (" + std::to_string(cc->items.size()) + " items)";
      break;
    case NodeKind::Predef:
      out += "Predef ";
      out += predef_name(pkind);
      out += " neg=";
      out += b(negated);
      out += " ascii=";
      out += b(ascii);
      break;
    case NodeKind::Prop:
      out += "Prop " + prop->name + " neg=";
      out += b(prop->negated);
      break;
    case NodeKind::StartLine:
      out += "StartLine ml=";
      out += b(multiline);
      break;
    case NodeKind::EndLine:
      out += "EndLine ml=";
      out += b(multiline);
      break;
    case NodeKind::StartText:
      out += "StartText";
      break;
    case NodeKind::EndText:
      out += "EndText";
      break;
    case NodeKind::WordBoundary:
      out += "WordBoundary neg=";
      out += b(negated);
      out += " ascii=";
      out += b(ascii);
      break;
    case NodeKind::WordEdge:
      out += "WordEdge end=";
      out += b(end);
      out += " ascii=";
      out += b(ascii);
      break;
    case NodeKind::Grapheme:
      out += "Grapheme";
      break;
    case NodeKind::Group:
      out += "Group " + std::to_string(index);
      break;
    case NodeKind::NonCap:
      out += "NonCap";
      break;
    case NodeKind::Atomic:
      out += "Atomic";
      break;
    case NodeKind::Branch:
      out += "Branch";
      break;
    case NodeKind::Sequence:
      out += "Sequence";
      break;
    case NodeKind::Repeat:
      out += "Repeat min=" + std::to_string(min) + " max=";
      out += max ? "Some(" + std::to_string(*max) + ")" : std::string("None");
      out += " greedy=";
      out += b(greedy);
      break;
    case NodeKind::BackRef:
      out += "BackRef " + std::to_string(group) + " ign=";
      out += b(ign);
      break;
    case NodeKind::Look:
      out += "Look behind=";
      out += b(behind);
      out += " positive=";
      out += b(positive);
      break;
  }
  out.push_back('\n');
  for (const Node& k : kids) k.dump(out, depth + 1);
}

namespace {

std::string debug_ranges(const CharSet& set) {
  std::string out = "CharSet { ranges: [";
  for (size_t i = 0; i < set.ranges.size(); ++i) {
    if (i) out += ", ";
    out += '(';
    out += std::to_string(set.ranges[i].first);
    out += ", ";
    out += std::to_string(set.ranges[i].second);
    out += ')';
  }
  return out + "] }";
}

std::string debug_pred(unicode::Pred p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", reinterpret_cast<void*>(p));
  return buf;
}

std::string debug_item(const ClassItem& it) {
  switch (it.kind) {
    case ClassItem::Kind::Set:
      return "Set(" + debug_ranges(it.set) + ")";
    case ClassItem::Kind::Predef:
      return std::string("Predef { kind: ") + predef_name(it.pkind) +
             ", negated: " + b(it.negated) + ", ascii: " + b(it.ascii) + " }";
    case ClassItem::Kind::Prop:
      return "Prop { pred: " + debug_pred(it.pred) + ", negated: " + b(it.negated) + " }";
  }
  return "?";
}

std::string debug_kids(const std::vector<Node>& kids) {
  std::string out = "[";
  for (size_t i = 0; i < kids.size(); ++i) {
    if (i) out += ", ";
    out += kids[i].debug();
  }
  return out + "]";
}

}  // namespace

std::string Node::debug() const {
  std::string name = kKindNames[static_cast<size_t>(kind)];
  std::string q;
  switch (kind) {
    case NodeKind::Empty:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::Grapheme:
      return name;
    case NodeKind::Lit:
      write_quoted_char(q, ch);
      return name + " { ch: " + q + ", ign: " + b(ign) + " }";
    case NodeKind::LitStr:
      q = "[";
      for (size_t i = 0; i < chars.size(); ++i) {
        if (i) q += ", ";
        write_quoted_char(q, chars[i]);
      }
      return name + " { chars: " + q + "], ign: " + b(ign) + " }";
    case NodeKind::Any:
      return name + " { dotall: " + b(dotall) + " }";
    case NodeKind::Class: {
      std::string items = "[";
      for (size_t i = 0; i < cc->items.size(); ++i) {
        if (i) items += ", ";
        items += debug_item(cc->items[i]);
      }
      return name + "(CharClass { items: " + items + "], negated: " + b(cc->negated) + " })";
    }
    case NodeKind::Predef:
      return name + " { kind: " + predef_name(pkind) + ", negated: " + b(negated) +
             ", ascii: " + b(ascii) + " }";
    case NodeKind::Prop:
      write_quoted_text(q, prop->name);
      return name + "(Property { name: " + q + ", negated: " + b(prop->negated) +
             ", pred: " + debug_pred(prop->pred) + " })";
    case NodeKind::StartLine:
    case NodeKind::EndLine:
      return name + " { multiline: " + b(multiline) + " }";
    case NodeKind::WordBoundary:
      return name + " { negated: " + b(negated) + ", ascii: " + b(ascii) + " }";
    case NodeKind::WordEdge:
      return name + " { end: " + b(end) + ", ascii: " + b(ascii) + " }";
    case NodeKind::Group:
      return name + " { index: " + std::to_string(index) + ", node: " + child().debug() + " }";
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return name + "(" + child().debug() + ")";
    case NodeKind::Branch:
      return name + " { alts: " + debug_kids(kids) + " }";
    case NodeKind::Sequence:
      return name + " { items: " + debug_kids(kids) + " }";
    case NodeKind::Repeat:
      return name + " { node: " + child().debug() + ", min: " + std::to_string(min) +
             ", max: " + (max ? "Some(" + std::to_string(*max) + ")" : std::string("None")) +
             ", greedy: " + b(greedy) + " }";
    case NodeKind::BackRef:
      return name + " { group: " + std::to_string(group) + ", ign: " + b(ign) + " }";
    case NodeKind::Look:
      return name + " { behind: " + b(behind) + ", positive: " + b(positive) +
             ", node: " + child().debug() + " }";
  }
  return name;
}

}  // namespace kordal
