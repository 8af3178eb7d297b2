// The reference's character tests and templates (see reference_chars.hpp).
#include "reference_chars.hpp"

#include <algorithm>
#include <optional>

#include "unicode.hpp"

namespace kordal::reference {

bool same_ignoring_case(char32_t a, char32_t b) {
  char32_t la[3], lb[3];
  const int na = unicode::to_lower_full(a, la);
  const int nb = unicode::to_lower_full(b, lb);
  if (na != nb) return false;
  for (int i = 0; i < na; ++i) {
    if (la[i] != lb[i]) return false;
  }
  return true;
}

bool digit(char32_t c, bool ascii) {
  if (ascii) return c >= '0' && c <= '9';
  const unicode::Gc g = unicode::general_category(c);
  return g == unicode::Gc::Nd || g == unicode::Gc::Nl || g == unicode::Gc::No;
}

bool word(char32_t c, bool ascii) {
  if (c == '_') return true;
  if (ascii) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  return unicode::has_alphabetic(c) || digit(c, false);
}

bool space(char32_t c, bool ascii) {
  if (ascii) return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  return unicode::has_white_space(c);
}

namespace {

bool predef(Predef kind, bool ascii, char32_t c) {
  switch (kind) {
    case Predef::Digit:
      return digit(c, ascii);
    case Predef::Word:
      return word(c, ascii);
    case Predef::Space:
      return space(c, ascii);
  }
  return false;
}

}  // namespace

bool in_class(const CharClass& cc, char32_t c) {
  bool in = false;
  for (const ClassItem& it : cc.items) {
    switch (it.kind) {
      case ClassItem::Kind::Set:
        for (const auto& [lo, hi] : it.set.ranges) in = in || (lo <= c && c <= hi);
        break;
      case ClassItem::Kind::Predef:
        in = in || predef(it.pkind, it.ascii, c) != it.negated;
        break;
      case ClassItem::Kind::Prop:
        in = in || it.pred(c) != it.negated;
        break;
    }
  }
  return in != cc.negated;
}

bool one_char(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return true;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return one_char(nd.child());
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        if (!one_char(alt)) return false;
      }
      return true;
    default:
      return false;
  }
}

bool accepts(const Node& nd, char32_t c) {
  switch (nd.kind) {
    case NodeKind::Lit:
      return c == nd.ch || (nd.ign && same_ignoring_case(c, nd.ch));
    case NodeKind::Any:
      return nd.dotall || c != '\n';
    case NodeKind::Class:
      return in_class(*nd.cc, c);
    case NodeKind::Predef:
      return predef(nd.pkind, nd.ascii, c) != nd.negated;
    case NodeKind::Prop:
      return nd.prop->pred(c) != nd.prop->negated;
    case NodeKind::Grapheme:
      return true;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return accepts(nd.child(), c);
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        if (accepts(alt, c)) return true;
      }
      return false;
    default:
      return false;
  }
}

int64_t deterministic_length(const Node& nd) {
  // Beyond this a length is not worth a loop: treat it as a choice.
  constexpr int64_t kLongest = int64_t(1) << 40;
  switch (nd.kind) {
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
      return 0;
    case NodeKind::LitStr:
      return int64_t(nd.chars.size());
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      if (one_char(nd)) return 1;
      return deterministic_length(nd.child());
    case NodeKind::Sequence: {
      int64_t total = 0;
      for (const Node& it : nd.kids) {
        const int64_t len = deterministic_length(it);
        if (len < 0 || total + len > kLongest) return -1;
        total += len;
      }
      return total;
    }
    case NodeKind::Repeat: {
      if (!nd.max || *nd.max != nd.min) return -1;
      const int64_t len = deterministic_length(nd.child());
      if (len < 0) return -1;
      if (len > 0 && int64_t(nd.min) > kLongest / len) return -1;
      return len * int64_t(nd.min);
    }
    default:
      return one_char(nd) ? 1 : -1;
  }
}

namespace {

uint64_t plus(uint64_t a, uint64_t b) {
  return a == kUnbounded || b == kUnbounded || a + b < a ? kUnbounded : a + b;
}

uint64_t times(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  if (a == kUnbounded || b == kUnbounded || a > kUnbounded / b) return kUnbounded;
  return a * b;
}

}  // namespace

Lengths match_lengths(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::LitStr:
      return {nd.chars.size(), nd.chars.size()};
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return match_lengths(nd.child());
    case NodeKind::Branch: {
      Lengths all{kUnbounded, 0};
      for (const Node& alt : nd.kids) {
        const Lengths l = match_lengths(alt);
        all.least = std::min(all.least, l.least);
        all.most = std::max(all.most, l.most);
      }
      return all;
    }
    case NodeKind::Sequence: {
      Lengths all{0, 0};
      for (const Node& it : nd.kids) {
        const Lengths l = match_lengths(it);
        all.least = plus(all.least, l.least);
        all.most = plus(all.most, l.most);
      }
      return all;
    }
    case NodeKind::Repeat: {
      const Lengths l = match_lengths(nd.child());
      const uint64_t most = !nd.max ? (l.most == 0 ? 0 : kUnbounded) : times(l.most, *nd.max);
      return {times(l.least, nd.min), most};
    }
    case NodeKind::BackRef:
      return {0, kUnbounded};
    default:
      if (one_char(nd)) return {1, 1};
      return {0, 0};  // the empty node, assertions, lookaround
  }
}

namespace {

// "18446744073709551615" and shorter digit strings name a group by number.
bool fits_u64(std::string_view digits) {
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  constexpr std::string_view kMax = "18446744073709551615";
  return digits.size() < kMax.size() || (digits.size() == kMax.size() && digits <= kMax);
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<size_t> group_named(std::string_view ref, size_t groups, const Names& names) {
  if (all_digits(ref) && fits_u64(ref)) {
    // Any number past the last group designates nothing; compare as text
    // so that no conversion can wrap.
    const std::string last = std::to_string(groups - 1);
    std::string_view n = ref;
    while (n.size() > 1 && n[0] == '0') n.remove_prefix(1);
    if (n.size() > last.size() || (n.size() == last.size() && n > std::string_view(last))) {
      return std::nullopt;
    }
    size_t g = 0;
    for (char c : n) g = g * 10 + size_t(c - '0');
    return g;
  }
  const auto it = names.find(std::string(ref));
  if (it == names.end() || it->second >= groups) return std::nullopt;
  return it->second;
}

size_t utf8_length(char lead) {
  const unsigned char b = static_cast<unsigned char>(lead);
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

}  // namespace

std::string expand_template(std::string_view t, size_t groups, const Names& names,
                            const std::function<void(std::string& out, size_t g)>& group) {
  std::string out;
  auto use = [&](std::string_view ref) {
    if (const auto g = group_named(ref, groups, names)) group(out, *g);
  };
  // A reference closed by `closer`, or running to the end when unclosed;
  // returns what follows it.
  auto closed = [&](std::string_view rest, char closer) {
    const size_t end = rest.find(closer);
    if (end == std::string_view::npos) {
      use(rest);
      return std::string_view();
    }
    use(rest.substr(0, end));
    return rest.substr(end + 1);
  };
  auto digits_then = [&](std::string_view rest) {
    size_t n = 0;
    while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') ++n;
    use(rest.substr(0, n));
    return rest.substr(n);
  };
  while (!t.empty()) {
    const char c = t[0];
    if ((c != '$' && c != '\\') || t.size() == 1) {
      const size_t n = utf8_length(c);
      out.append(t.substr(0, n));
      t.remove_prefix(std::min(n, t.size()));
      continue;
    }
    const char d = t[1];
    std::string_view rest = t.substr(2);
    if (c == '$' && d == '$') {
      out += '$';
    } else if (c == '$' && d == '&') {
      group(out, 0);
    } else if (c == '$' && d == '{') {
      rest = closed(rest, '}');
    } else if (d >= '0' && d <= '9') {  // $N or \N
      rest = digits_then(t.substr(1));
    } else if (c == '\\' && d == '\\') {
      out += '\\';
    } else if (c == '\\' && (d == 'n' || d == 'r' || d == 't')) {
      out += d == 'n' ? '\n' : d == 'r' ? '\r' : '\t';
    } else if (c == '\\' && d == 'g') {
      // \g<name> or \g'name'; a bare \g stands for nothing.
      if (!rest.empty() && (rest[0] == '<' || rest[0] == '\'')) {
        rest = closed(rest.substr(1), rest[0] == '<' ? '>' : '\'');
      }
    } else {
      // Not an escape: both characters stay as written.
      const size_t n = 1 + utf8_length(d);
      out.append(t.substr(0, n));
      rest = t.substr(std::min(n, t.size()));
    }
    t = rest;
  }
  return out;
}

}  // namespace kordal::reference
