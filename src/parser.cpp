// The pattern parser: structure and groups, bracket classes, escapes and
// quantifiers.
//
// parse_alternation -> parse_sequence -> parse_atom -> parse_group ->
// parse_group_body -> parse_alternation is the only recursion; alternatives
// and sequence items are collected in loops. Nodes are made only through the
// helpers below, which keep the tree's shape invariants (a Sequence holds two
// or more items and never Empty or another Sequence, a Branch two or more
// alternatives, a possessive repetition is Atomic(Repeat)). Errors are stored
// in error_ with the byte offset of the code point they are reported at; the
// first one ends the parse.
#include "parser.hpp"

#include <algorithm>
#include <utility>

#include "flags.hpp"
#include "unicode.hpp"
#include "utf8.hpp"

namespace kordal {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_scalar(uint64_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}
bool is_octal(char32_t c) {
  return c >= '0' && c <= '7';
}
bool is_digit(char32_t c) {
  return c >= '0' && c <= '9';
}
bool is_hex(char32_t c) {
  return unicode::is_hex_digit(c);
}
unsigned hex_value(char32_t c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

std::string quoted_char(char32_t c) {
  std::string s;
  write_quoted_char(s, c);
  return s;
}

std::string quoted_text(const std::u32string& text) {
  std::string s;
  write_quoted_text(s, text);
  return s;
}

std::string to_utf8(std::u32string_view text) {
  std::string s;
  for (char32_t c : text) append_utf8(s, c);
  return s;
}

// Decimal digits to a 64-bit value; false when it does not fit.
bool parse_decimal(std::u32string_view digits, uint64_t& out) {
  uint64_t v = 0;
  for (char32_t c : digits) {
    uint64_t d = c - '0';
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

// Node-building helpers: the only places nodes are made.

Node make(NodeKind kind) {
  Node n;
  n.kind = kind;
  return n;
}

Node make_lit(char32_t c, bool ign) {
  Node n = make(NodeKind::Lit);
  n.ch = c;
  n.ign = ign;
  return n;
}

Node wrap(NodeKind kind, Node child) {
  Node n = make(kind);
  n.kids.push_back(std::move(child));
  return n;
}

// Empty items are dropped; atoms are never Sequences, so nothing nests.
Node make_sequence(std::vector<Node> items) {
  std::erase_if(items, [](const Node& n) { return n.kind == NodeKind::Empty; });
  if (items.empty()) return make(NodeKind::Empty);
  if (items.size() == 1) return std::move(items[0]);
  Node n = make(NodeKind::Sequence);
  n.kids = std::move(items);
  return n;
}

Node make_branch(std::vector<Node> alts) {
  if (alts.size() == 1) return std::move(alts[0]);
  Node n = make(NodeKind::Branch);
  n.kids = std::move(alts);
  return n;
}

// Counts were checked against kMaxRepeat, so they fit the node's fields.
Node make_repeat(Node atom, const Quantifier& q) {
  Node n = wrap(NodeKind::Repeat, std::move(atom));
  n.min = static_cast<uint32_t>(q.min);
  if (q.max) n.max = static_cast<uint32_t>(*q.max);
  n.greedy = q.greedy;
  if (q.possessive) return wrap(NodeKind::Atomic, std::move(n));
  return n;
}

Node make_predef(Predef kind, bool negated, bool ascii) {
  Node n = make(NodeKind::Predef);
  n.pkind = kind;
  n.negated = negated;
  n.ascii = ascii;
  return n;
}

ClassItem set_item(char32_t low, char32_t high) {
  ClassItem it;
  it.kind = ClassItem::Kind::Set;
  it.set.ranges.emplace_back(low, high);
  return it;
}

// Adds the full upper- and lower-case mappings of c, other than c itself.
void collect_case_variants(char32_t c, std::vector<char32_t>& out) {
  char32_t m[3];
  int k = unicode::to_upper_full(c, m);
  for (int i = 0; i < k; ++i) {
    if (m[i] != c) out.push_back(m[i]);
  }
  k = unicode::to_lower_full(c, m);
  for (int i = 0; i < k; ++i) {
    if (m[i] != c) out.push_back(m[i]);
  }
}

// Widens a Set item with the case variants of its letters. Narrow ranges
// fold every Alphabetic member; wide ones only their endpoints, which bounds
// the work per range.
void fold_set(CharSet& set) {
  std::vector<char32_t> extra;
  for (auto [low, high] : set.ranges) {
    if (high - low <= 4096) {
      for (uint32_t c = low;; ++c) {
        if (is_scalar(c) && unicode::is_alphabetic(c)) collect_case_variants(c, extra);
        if (c == high) break;
      }
    } else {
      if (is_scalar(low)) collect_case_variants(low, extra);
      if (is_scalar(high)) collect_case_variants(high, extra);
    }
  }
  if (extra.empty()) return;
  auto& r = set.ranges;
  for (char32_t c : extra) r.emplace_back(c, c);
  std::sort(r.begin(), r.end());
  size_t w = 0;
  for (size_t i = 1; i < r.size(); ++i) {
    if (r[i].first <= r[w].second + 1) {
      r[w].second = std::max(r[w].second, r[i].second);
    } else {
      r[++w] = r[i];
    }
  }
  r.resize(w + 1);
}

}  // namespace

Parser::Parser(std::string_view pattern, uint32_t f) : flags(f) {
  // Malformed UTF-8 never reaches here from Python; a C++ caller's stray
  // bytes become U+FFFD one byte each rather than reads past the end.
  chars.reserve(pattern.size());
  offsets.reserve(pattern.size() + 1);
  const auto* s = reinterpret_cast<const unsigned char*>(pattern.data());
  size_t n = pattern.size();
  size_t i = 0;
  while (i < n) {
    offsets.push_back(i);
    unsigned char b = s[i];
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool ok = len != 0 && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (ok && len > 1) {
      static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
      ok = c >= kMin[len] && is_scalar(c);
    }
    if (!ok) {
      c = kReplacement;
      len = 1;
    }
    chars.push_back(c);
    i += len;
  }
  offsets.push_back(n);
}

std::string Parser::utf8(size_t from, size_t to) const {
  return to_utf8(std::u32string_view(chars).substr(from, to - from));
}

bool Parser::err(ErrorKind kind, std::string message) {
  return err_at(pos, kind, std::move(message));
}

bool Parser::err_at(size_t index, ErrorKind kind, std::string message) {
  error_ = Error{byte_at(index), kind, std::move(message)};
  return false;
}

Result<ParseOutput> Parser::run() {
  ParseOutput out;
  if (!parse_alternation(out.tree)) return std::move(*error_);
  // Alternation stops only at the end or at a ')' that closes nothing here.
  if (pos < chars.size()) {
    err(ErrorKind::Syntax, "unexpected " + quoted_char(chars[pos]));
    return std::move(*error_);
  }
  out.names = std::move(names);
  out.group_count = group_count;
  return out;
}

// ---------------------------------------------------------------------------
// Structure and groups

bool Parser::parse_alternation(Node& out) {
  if (!parse_sequence(out)) return false;
  if (!at('|')) return true;
  std::vector<Node> alts;
  alts.push_back(std::move(out));
  while (at('|')) {
    ++pos;
    alts.emplace_back();
    if (!parse_sequence(alts.back())) return false;
  }
  out = make_branch(std::move(alts));
  return true;
}

bool Parser::parse_sequence(Node& out) {
  std::vector<Node> items;
  const size_t n = chars.size();
  while (pos < n) {
    char32_t x = chars[pos];
    if (x == '|' || x == ')') break;
    // Read afresh per atom so that (?x) takes effect at once; verbose mode
    // never applies between an atom and its quantifier.
    if (flags & flags::VERBOSE) {
      if ((x >= 0x09 && x <= 0x0D) || x == ' ') {
        ++pos;
        continue;
      }
      if (x == '#') {
        while (pos < n && chars[pos] != '\n') ++pos;
        continue;
      }
    }
    items.emplace_back();
    if (!parse_atom(items.back())) return false;
    if (items.back().kind == NodeKind::Empty) {
      items.pop_back();  // comments and flag groups take no quantifier
      continue;
    }
    if (!parse_quantified(items.back())) return false;
  }
  out = make_sequence(std::move(items));
  return true;
}

// Kept out of parse_sequence so the quantifier's temporaries do not sit in
// the frame of every nesting level.
[[gnu::noinline]] bool Parser::parse_quantified(Node& atom) {
  Quantifier q;
  int r = parse_quant(q);
  if (r <= 0) return r == 0;
  atom = make_repeat(std::move(atom), q);
  Quantifier again;
  r = parse_quant(again);
  if (r < 0) return false;
  if (r > 0) return err(ErrorKind::Repeat, "multiple quantifiers");
  return true;
}

bool Parser::parse_atom(Node& out) {
  char32_t x = chars[pos];
  switch (x) {
    case '(':
      return parse_group(out);
    case '[':
      return parse_class(out);
    case '\\':
      ++pos;
      return parse_escape(false, out);
    case '.':
      out = make(NodeKind::Any);
      out.dotall = flags & flags::DOTALL;
      break;
    case '^':
      out = make(NodeKind::StartLine);
      out.multiline = flags & flags::MULTILINE;
      break;
    case '$':
      out = make(NodeKind::EndLine);
      out.multiline = flags & flags::MULTILINE;
      break;
    case '*':
    case '+':
    case '?':
      return err(ErrorKind::Repeat, "nothing to repeat before " + quoted_char(x));
    default:
      out = make_lit(x, flags & flags::IGNORECASE);
      mark_ascii_case(out);
      break;
  }
  ++pos;
  return true;
}

bool Parser::parse_group(Node& out) {
  const size_t o = pos;
  const size_t n = chars.size();
  ++pos;
  auto peek = [&](size_t k) -> char32_t { return pos + k < n ? chars[pos + k] : 0; };
  auto has = [&](size_t k) { return pos + k < n; };

  if (at('*')) {
    return err_at(o, ErrorKind::Syntax,
                  "backtracking verbs (*PRUNE *SKIP *FAIL ...) are not yet supported");
  }
  if (!at('?')) {
    out = make(NodeKind::Group);
    out.index = ++group_count;
    return parse_group_body(o, flags, out);
  }
  ++pos;  // past '?'
  if (!has(0)) return parse_inline_flags(o, out);
  char32_t c = peek(0);
  switch (c) {
    case ':':
      ++pos;
      out = make(NodeKind::NonCap);
      return parse_group_body(o, flags, out);
    case '>':
      ++pos;
      out = make(NodeKind::Atomic);
      return parse_group_body(o, flags, out);
    case '=':
    case '!':
    case '<': {
      bool behind = c == '<';
      if (behind && !(has(1) && (peek(1) == '=' || peek(1) == '!'))) {
        ++pos;
        return parse_named_group_body(o, out);
      }
      bool positive = (behind ? peek(1) : c) == '=';
      pos += behind ? 2 : 1;
      out = make(NodeKind::Look);
      out.behind = behind;
      out.positive = positive;
      return parse_group_body(o, flags, out);
    }
    case '#': {
      ++pos;
      while (pos < n && chars[pos] != ')') ++pos;
      if (pos >= n) return err_at(o, ErrorKind::Syntax, "unterminated (?#...) comment");
      ++pos;
      out = make(NodeKind::Empty);
      return true;
    }
    case '(':
      return err(ErrorKind::Syntax,
                 "conditional (?(...)) and (?(DEFINE)...) are not yet supported");
    case 'P': {
      ++pos;
      char32_t d = peek(0);
      if (has(0) && d == '<') {
        ++pos;
        return parse_named_group_body(o, out);
      }
      if (has(0) && d == '=') {
        ++pos;
        std::string name;
        uint64_t group = 0;
        if (!read_group_name(')', o, name) || !lookup_name(name, o, group)) return false;
        out = make(NodeKind::BackRef);
        out.group = group;
        out.ign = flags & flags::IGNORECASE;
        return true;
      }
      if (has(0) && (d == '>' || d == '&')) {
        return err(ErrorKind::Syntax, "recursive subpattern calls (?P>...) are not yet supported");
      }
      return err(ErrorKind::Syntax, "bad (?P...) extension");
    }
    default:
      return parse_inline_flags(o, out);
  }
}

bool Parser::parse_group_body(size_t open, uint32_t body_flags, Node& group) {
  if (depth >= kMaxNesting) {
    return err_at(open, ErrorKind::Limit, "group nesting exceeds " + std::to_string(kMaxNesting));
  }
  const uint32_t saved = flags;
  flags = body_flags;
  ++depth;
  group.kids.emplace_back();
  bool ok = parse_alternation(group.kids.back());
  --depth;
  flags = saved;
  return ok && expect_close(open);
}

bool Parser::expect_close(size_t open) {
  if (!at(')')) return err_at(open, ErrorKind::Syntax, "missing closing ')'");
  ++pos;
  return true;
}

bool Parser::parse_named_group_body(size_t open, Node& out) {
  std::string name;
  if (!read_group_name('>', open, name)) return false;
  uint64_t index;
  auto it = names.find(name);
  if (it != names.end()) {
    index = it->second;
  } else {
    index = ++group_count;
    names.emplace(std::move(name), index);
  }
  out = make(NodeKind::Group);
  out.index = index;
  return parse_group_body(open, flags, out);
}

bool Parser::read_group_name(char32_t terminator, size_t open, std::string& name) {
  const size_t start = pos;
  for (;; ++pos) {
    if (pos >= chars.size()) return err_at(open, ErrorKind::Syntax, "missing group name");
    char32_t c = chars[pos];
    if (c == terminator) break;
    if (!unicode::is_alnum(c) && c != '_') {
      return err_at(open, ErrorKind::Syntax, "bad character " + quoted_char(c) + " in group name");
    }
  }
  if (pos == start) return err_at(open, ErrorKind::Syntax, "missing group name");
  name = utf8(start, pos);
  ++pos;
  return true;
}

bool Parser::lookup_name(const std::string& name, size_t position, uint64_t& group) {
  auto it = names.find(name);
  if (it == names.end()) {
    std::string msg = "unknown group name ";
    write_quoted_text(msg, name);
    return err_at(position, ErrorKind::GroupRef, std::move(msg));
  }
  group = it->second;
  return true;
}

bool Parser::parse_inline_flags(size_t open, Node& out) {
  uint32_t on = 0;
  uint32_t off = 0;
  bool minus = false;
  for (;;) {
    if (pos >= chars.size()) {
      return err_at(open, ErrorKind::Flags, "expected ':' or ')' after flags");
    }
    char32_t c = chars[pos];
    uint32_t bit = 0;
    switch (c) {
      case ')':
      case ':': {
        ++pos;
        uint32_t updated = (flags | on) & ~off;
        if (c == ')') {
          flags = updated;
          out = make(NodeKind::Empty);
          return true;
        }
        out = make(NodeKind::NonCap);
        return parse_group_body(open, updated, out);
      }
      case '-':
        minus = true;
        ++pos;
        continue;
      case 'V':
        ++pos;
        if (at('0') || at('1')) {
          on |= at('0') ? flags::VERSION0 : flags::VERSION1;  // versions only add
          ++pos;
          continue;
        }
        return err(ErrorKind::Flags, "expected V0 or V1");
      case 'i':
        bit = flags::IGNORECASE;
        break;
      case 'm':
        bit = flags::MULTILINE;
        break;
      case 's':
        bit = flags::DOTALL;
        break;
      case 'u':
        bit = flags::UNICODE;
        break;
      case 'a':
        bit = flags::ASCII;
        break;
      case 'x':
        bit = flags::VERBOSE;
        break;
      case 'f':
        bit = flags::FULLCASE;
        break;
      case 'w':
        bit = flags::WORD;
        break;
      case 'L':
        bit = flags::LOCALE;
        break;
      default:
        return err(ErrorKind::Flags, "unknown flag " + quoted_char(c));
    }
    (minus ? off : on) |= bit;
    ++pos;
  }
}

// ---------------------------------------------------------------------------
// Bracket classes

bool Parser::parse_class(Node& out) {
  const size_t o = pos;
  const size_t n = chars.size();
  auto cc = std::make_unique<CharClass>();
  ++pos;
  if (at('^')) {
    cc->negated = true;
    ++pos;
  }
  if (at(']')) {
    cc->items.push_back(set_item(']', ']'));
    ++pos;
  }
  for (;;) {
    if (pos >= n) return err_at(o, ErrorKind::Class, "unterminated character class");
    const char32_t x = chars[pos];
    if (x == ']') {
      ++pos;
      break;
    }
    const size_t p = pos;
    if (pos + 1 < n) {
      char32_t y = chars[pos + 1];
      if (x == y && (x == '&' || x == '-' || x == '|' || x == '~')) {
        return err(ErrorKind::Class, "nested set operations (&& -- || ~~) are not yet supported");
      }
      if (x == '[' && y == ':') {
        ClassItem item;
        int r = try_posix_class(item);
        if (r < 0) return false;
        if (r > 0) {
          cc->items.push_back(std::move(item));
          continue;
        }
      }
    }
    char32_t ch;
    if (x == '\\') {
      ++pos;
      Node e;
      if (!parse_escape(true, e)) return false;
      if (e.kind == NodeKind::Predef) {
        ClassItem it;
        it.kind = ClassItem::Kind::Predef;
        it.pkind = e.pkind;
        it.negated = e.negated;
        it.ascii = e.ascii;
        cc->items.push_back(std::move(it));
        continue;
      }
      if (e.kind == NodeKind::Prop) {
        ClassItem it;
        it.kind = ClassItem::Kind::Prop;
        it.pred = e.prop->pred;
        it.negated = e.prop->negated;
        cc->items.push_back(std::move(it));
        continue;
      }
      ch = e.ch;
    } else {
      ch = x;
      ++pos;
    }
    if (!at('-')) {
      cc->items.push_back(set_item(ch, ch));
      continue;
    }
    if (pos + 1 >= n) {
      ++pos;
      return err(ErrorKind::Class, "unterminated character class");
    }
    if (chars[pos + 1] == ']') {  // the '-' is a member of its own
      cc->items.push_back(set_item(ch, ch));
      continue;
    }
    ++pos;
    char32_t end = chars[pos++];
    if (end == '\\') {
      Node e;
      if (!parse_escape(true, e)) return false;
      if (e.kind != NodeKind::Lit) return err_at(p, ErrorKind::Class, "bad range endpoint");
      end = e.ch;
    }
    if (end < ch) {
      return err_at(p, ErrorKind::Class, "bad range " + quoted_char(ch) + "-" + quoted_char(end));
    }
    cc->items.push_back(set_item(ch, end));
  }
  const bool ascii_fold = ascii_case && (flags & flags::ASCII);
  if ((flags & flags::IGNORECASE) && !ascii_fold) {
    for (ClassItem& it : cc->items) {
      if (it.kind == ClassItem::Kind::Set) fold_set(it.set);
    }
  }
  out = make(NodeKind::Class);
  out.cc = std::move(cc);
  // Left unfolded for fold_ascii_case, which needs the members as written.
  out.ign = ascii_fold && (flags & flags::IGNORECASE);
  out.ascii = out.ign;
  return true;
}

void Parser::mark_ascii_case(Node& n) const {
  n.ascii = ascii_case && n.ign && (flags & flags::ASCII);
}

int Parser::try_posix_class(ClassItem& item) {
  const size_t open = pos;
  const size_t n = chars.size();
  size_t i = pos + 2;
  bool negated = i < n && chars[i] == '^';
  if (negated) ++i;
  const size_t start = i;
  while (i < n && chars[i] != ':') ++i;
  if (i + 1 >= n || chars[i + 1] != ']') return 0;  // read '[' as a plain member
  std::u32string name(chars, start, i - start);
  std::u32string lowered = name;
  for (char32_t& c : lowered) {
    if (c >= 'A' && c <= 'Z') c |= 0x20;
  }
  unicode::Pred pred = unicode::posix_class(lowered);
  if (!pred) {
    err_at(open, ErrorKind::Class, "unknown POSIX class [:" + to_utf8(name) + ":]");
    return -1;
  }
  pos = i + 2;
  item.kind = ClassItem::Kind::Prop;
  item.pred = pred;
  item.negated = negated;
  return 1;
}

// ---------------------------------------------------------------------------
// Escapes and references

bool Parser::parse_escape(bool in_class, Node& out) {
  const size_t n = chars.size();
  if (pos >= n) return err_at(n, ErrorKind::Escape, "trailing backslash");
  const size_t letter = pos;
  const char32_t c = chars[pos++];
  const bool ign = flags & flags::IGNORECASE;
  const bool ascii = flags & flags::ASCII;
  auto lit = [&](char32_t v) {
    out = make_lit(v, ign);
    mark_ascii_case(out);
    return true;
  };
  switch (c) {
    case 'a':
      return lit(0x07);
    case 'e':
      return lit(0x1B);
    case 'f':
      return lit(0x0C);
    case 'n':
      return lit(0x0A);
    case 'r':
      return lit(0x0D);
    case 't':
      return lit(0x09);
    case 'v':
      return lit(0x0B);
    case 'b':
    case 'B':
      if (in_class) return lit(c == 'b' ? 0x08 : 'B');
      out = make(NodeKind::WordBoundary);
      out.negated = c == 'B';
      out.ascii = ascii;
      return true;
    case 'd':
    case 'D':
      out = make_predef(Predef::Digit, c == 'D', ascii);
      return true;
    case 'w':
    case 'W':
      out = make_predef(Predef::Word, c == 'W', ascii);
      return true;
    case 's':
    case 'S':
      out = make_predef(Predef::Space, c == 'S', ascii);
      return true;
    case 'A':
      if (in_class) return lit(c);
      out = make(NodeKind::StartText);
      return true;
    case 'Z':
    case 'z':
      if (in_class) return lit(c);
      out = make(NodeKind::EndText);
      return true;
    case 'm':
    case 'M':
      if (in_class) return lit(c);
      out = make(NodeKind::WordEdge);
      out.end = c == 'M';
      out.ascii = ascii;
      return true;
    case 'X':
      if (in_class) return lit(c);
      out = make(NodeKind::Grapheme);
      return true;
    case 'Q': {
      if (in_class) return lit(c);
      std::vector<char32_t> run;
      while (pos < n) {
        if (chars[pos] == '\\' && pos + 1 < n && chars[pos + 1] == 'E') {
          pos += 2;
          break;
        }
        run.push_back(chars[pos++]);
      }
      if (run.empty()) {
        out = make(NodeKind::Empty);
      } else {
        out = make(NodeKind::LitStr);
        out.chars = std::move(run);
        out.ign = ign;
        mark_ascii_case(out);
      }
      return true;
    }
    case '0': {
      char32_t v = 0;
      for (int k = 0; k < 3 && pos < n && is_octal(chars[pos]); ++k)
        v = v * 8 + (chars[pos++] - '0');
      return lit(v);
    }
    case 'x': {
      char32_t v;
      return parse_hex_escape(letter, v) && lit(v);
    }
    case 'u':
    case 'U': {
      char32_t v;
      return read_fixed_hex(letter, c == 'u' ? 4 : 8, v) && lit(v);
    }
    case 'p':
    case 'P':
      return parse_property(letter, c == 'P', out);
    case 'g':
    case 'k': {
      if (in_class) return lit(c);
      std::u32string text;
      if (!parse_g_ref(letter, text)) return false;
      bool digits = std::all_of(text.begin(), text.end(), is_digit);
      uint64_t group = 0;
      if (digits && c == 'k') return err_at(letter, ErrorKind::GroupRef, "\\k<> expects a name");
      if (digits) {
        if (!parse_decimal(text, group)) {
          return err_at(letter, ErrorKind::GroupRef, "bad \\g<number>");
        }
        if (group == 0 || group > group_count) {
          return err_at(letter, ErrorKind::GroupRef, "unknown group " + std::to_string(group));
        }
      } else if (!lookup_name(to_utf8(text), letter, group)) {
        return false;
      }
      out = make(NodeKind::BackRef);
      out.group = group;
      out.ign = ign;
      return true;
    }
    case 'G':
      if (in_class) return lit(c);
      return err_at(letter, ErrorKind::Syntax, "\\G (search anchor) is not yet supported");
    case 'K':
      if (in_class) return lit(c);
      return err_at(letter, ErrorKind::Syntax, "\\K (keep) is not yet supported");
    case 'N':
      if (in_class) return lit(c);
      return err_at(letter, ErrorKind::Escape, "\\N{name} is not yet supported");
    case 'L':
      return err_at(letter, ErrorKind::Syntax, "\\L<name> named lists are not yet supported");
    default:
      break;
  }
  if (c >= '1' && c <= '9') {
    if (in_class) return lit(c);
    unsigned d = c - '0';
    // \8 and \9 never start an octal code: \81 is group 8 then '1'.
    if (d <= 7 && pos < n && is_octal(chars[pos])) {
      char32_t v = d * 8 + (chars[pos++] - '0');
      if (pos < n && is_octal(chars[pos])) v = v * 8 + (chars[pos++] - '0');
      return lit(v);
    }
    if (d > group_count) {
      return err_at(letter, ErrorKind::GroupRef,
                    "backreference to unknown group " + std::to_string(d));
    }
    out = make(NodeKind::BackRef);
    out.group = d;
    out.ign = ign;
    return true;
  }
  return lit(c);
}

bool Parser::parse_hex_escape(size_t letter, char32_t& out) {
  if (!at('{')) return read_fixed_hex(letter, 2, out);
  const size_t n = chars.size();
  size_t start = ++pos;
  while (pos < n && chars[pos] != '}') ++pos;
  if (pos >= n || pos == start) return err_at(letter, ErrorKind::Escape, "bad \\x{...} escape");
  size_t end = pos++;
  size_t i = start;
  if (chars[i] == '+') ++i;
  if (i == end) return err_at(letter, ErrorKind::Escape, "bad hex digits");
  uint64_t v = 0;
  for (; i < end; ++i) {
    if (!is_hex(chars[i])) return err_at(letter, ErrorKind::Escape, "bad hex digits");
    v = v * 16 + hex_value(chars[i]);
    if (v > UINT32_MAX) return err_at(letter, ErrorKind::Escape, "bad hex digits");
  }
  if (!is_scalar(v)) return err_at(letter, ErrorKind::Escape, "invalid codepoint");
  out = static_cast<char32_t>(v);
  return true;
}

bool Parser::read_fixed_hex(size_t letter, int digits, char32_t& out) {
  uint64_t v = 0;
  int count = 0;
  while (count < digits && pos < chars.size() && is_hex(chars[pos])) {
    v = v * 16 + hex_value(chars[pos++]);
    ++count;
  }
  if (count == 0) return err_at(letter, ErrorKind::Escape, "expected hex digits");
  if (!is_scalar(v)) return err_at(letter, ErrorKind::Escape, "invalid codepoint");
  out = static_cast<char32_t>(v);
  return true;
}

bool Parser::parse_g_ref(size_t letter, std::u32string& text) {
  char32_t close;
  if (at('<')) {
    close = '>';
  } else if (at('\'')) {
    close = '\'';
  } else {
    return err_at(letter, ErrorKind::GroupRef, "expected '<' or '\\'' after \\g");
  }
  const size_t n = chars.size();
  size_t start = ++pos;
  while (pos < n && chars[pos] != close) ++pos;
  if (pos >= n || pos == start) {
    return err_at(letter, ErrorKind::GroupRef, "empty or unterminated \\g<>");
  }
  text.assign(chars, start, pos - start);
  ++pos;
  return true;
}

bool Parser::parse_property(size_t letter, bool upper, Node& out) {
  char32_t close;
  if (at('{')) {
    close = '}';
  } else if (at(':')) {
    close = ':';
  } else {
    return err_at(letter, ErrorKind::Property, "expected '{' after \\p");
  }
  const size_t n = chars.size();
  size_t start = ++pos;
  while (pos < n && chars[pos] != close) ++pos;
  if (pos >= n) return err_at(letter, ErrorKind::Property, "unterminated \\p{...}");
  std::u32string name(chars, start, pos - start);
  ++pos;
  bool caret = !name.empty() && name[0] == '^';
  if (caret) name.erase(0, 1);
  unicode::Pred pred = unicode::property(name);
  if (!pred) return err_at(letter, ErrorKind::Property, "unknown property " + quoted_text(name));
  out = make(NodeKind::Prop);
  out.prop = std::make_unique<Property>();
  out.prop->name = to_utf8(name);
  out.prop->negated = upper != caret;
  out.prop->pred = pred;
  return true;
}

// ---------------------------------------------------------------------------
// Quantifiers

void Parser::read_suffix(Quantifier& q) {
  if (at('+')) {
    q.possessive = true;
    ++pos;
  } else if (at('?')) {
    q.greedy = false;
    ++pos;
  }
}

int Parser::parse_quant(Quantifier& q) {
  if (pos >= chars.size()) return 0;
  switch (chars[pos]) {
    case '*':
      q.min = 0;
      q.max.reset();
      break;
    case '+':
      q.min = 1;
      q.max.reset();
      break;
    case '?':
      q.min = 0;
      q.max = 1;
      break;
    case '{':
      return parse_brace_quant(q);
    default:
      return 0;
  }
  ++pos;
  read_suffix(q);
  return 1;
}

int Parser::parse_brace_quant(Quantifier& q) {
  const size_t b = pos;
  const size_t n = chars.size();
  ++pos;
  if (pos + 1 < n) {
    static constexpr std::u32string_view kFirst = U"deis";
    static constexpr std::u32string_view kSecond = U"+,<deis}";
    if (kFirst.find(chars[pos]) != kFirst.npos && kSecond.find(chars[pos + 1]) != kSecond.npos) {
      err_at(b, ErrorKind::Syntax, "fuzzy matching ({...}) is not yet supported");
      return -1;
    }
  }
  auto digit_run = [&]() {
    size_t start = pos;
    while (pos < n && is_digit(chars[pos])) ++pos;
    return std::u32string_view(chars).substr(start, pos - start);
  };
  auto none = [&]() {
    pos = b;
    return 0;
  };
  std::u32string_view first = digit_run();
  if (pos >= n) return none();
  bool comma = chars[pos] == ',';
  if (comma) ++pos;
  std::u32string_view second = digit_run();
  if (pos >= n || chars[pos] != '}') return none();
  if (!comma && first.empty()) return none();
  ++pos;
  uint64_t lo = 0;
  uint64_t hi = 0;
  if (!first.empty() && !parse_decimal(first, lo)) {
    err(ErrorKind::Repeat, "bad repeat count");
    return -1;
  }
  if (!second.empty() && !parse_decimal(second, hi)) {
    err(ErrorKind::Repeat, "bad repeat count");
    return -1;
  }
  q.min = lo;
  if (!comma) {
    q.max = lo;
  } else if (second.empty()) {
    q.max.reset();
  } else {
    q.max = hi;
  }
  if (q.max && *q.max < q.min) {
    err(ErrorKind::Repeat, "min greater than max in {m,n}");
    return -1;
  }
  if (q.min > kMaxRepeat || (q.max && *q.max > kMaxRepeat)) {
    err(ErrorKind::Limit, "repeat count exceeds " + std::to_string(kMaxRepeat));
    return -1;
  }
  read_suffix(q);
  return 1;
}

}  // namespace kordal
