// Escaping text for literal use in a pattern. Every escaped character reads
// as itself after a backslash, so the only decision is which to escape.
#include "escape.hpp"

namespace kordal::escape {

namespace {
bool is_meta(unsigned char c) {
  switch (c) {
    case '$':
    case '(':
    case ')':
    case '*':
    case '+':
    case '.':
    case '?':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '{':
    case '|':
    case '}':
      return true;
    default:
      return false;
  }
}
bool is_other_punct(unsigned char c) {
  switch (c) {
    case '!':
    case '"':
    case '#':
    case '%':
    case '&':
    case '\'':
    case ',':
    case '/':
    case ':':
    case ';':
    case '<':
    case '=':
    case '>':
    case '@':
    case '`':
    case '~':
      return true;
    default:
      return false;
  }
}
}  // namespace

std::string escape_impl(std::string_view text, bool special_only, bool literal_spaces) {
  std::string out;
  out.reserve(text.size() * 2);
  // Bytes of multi-byte characters are >= 0x80 and never escaped, so a
  // byte-wise pass is a character-wise pass.
  for (unsigned char c : text) {
    if (is_meta(c) || (!special_only && is_other_punct(c)) || (c == ' ' && !literal_spaces)) {
      out.push_back('\\');
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

}  // namespace kordal::escape
