// Name lookups and the hand-written predicates of the unicode module.
//
// property() normalises a `\p{...}` name into a small fixed buffer (no valid
// name is longer than it, so a longer one is rejected without allocating),
// splits it at the first '=' and looks the parts up in short linear tables;
// cost is linear in the name. posix_class() is the same table walk over the
// `[:name:]` names. The predicate pointers handed out are the inline functions
// of unicode.hpp, so the parser and the tests can compare them by address; a
// name mapped to the wrong function silently changes what a pattern matches.
#include "unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kordal::unicode {
namespace {

struct Named {
  std::string_view name;
  Pred pred;
};

// Plain property names, already normalised.
constexpr Named kPlainNames[] = {
    {"l", is_alphabetic},
    {"letter", is_alphabetic},
    {"alpha", is_alphabetic},
    {"alphabetic", is_alphabetic},
    {"lu", is_uppercase},
    {"upper", is_uppercase},
    {"uppercase", is_uppercase},
    {"uppercaseletter", is_uppercase},
    {"ll", is_lowercase},
    {"lower", is_lowercase},
    {"lowercase", is_lowercase},
    {"lowercaseletter", is_lowercase},
    {"n", is_numeric},
    {"nd", is_numeric},
    {"nl", is_numeric},
    {"no", is_numeric},
    {"digit", is_numeric},
    {"number", is_numeric},
    {"decimalnumber", is_numeric},
    {"letternumber", is_numeric},
    {"othernumber", is_numeric},
    {"posixdigit", is_numeric},
    {"alnum", is_alnum},
    {"alphanumeric", is_alnum},
    {"posixalnum", is_alnum},
    {"word", is_word},
    {"space", is_whitespace},
    {"whitespace", is_whitespace},
    {"blank", is_blank},
    {"cntrl", is_control},
    {"control", is_control},
    {"print", is_print},
    {"printable", is_print},
    {"graph", is_graph},
    {"p", is_punctuation},
    {"punctuation", is_punctuation},
    {"posixpunct", is_posix_punct},
    {"z", is_separator},
    {"separator", is_separator},
    {"c", is_other},
    {"other", is_other},
    {"xdigit", is_hex_digit},
    {"hexdigit", is_hex_digit},
    {"posixxdigit", is_hex_digit},
    {"ascii", is_ascii},
};

// The values accepted after "gc="; each means what the plain name means.
constexpr std::string_view kGcValues[] = {"c", "l", "n", "p", "z", "lu", "ll", "nd", "nl", "no"};

constexpr Named kPosixNames[] = {
    {"alpha", is_alphabetic},  {"alnum", is_alnum},      {"word", is_word},
    {"digit", is_ascii_digit}, {"xdigit", is_hex_digit}, {"lower", is_lowercase},
    {"upper", is_uppercase},   {"space", is_whitespace}, {"blank", is_blank},
    {"punct", is_ascii_punct}, {"graph", is_graph},      {"print", is_print},
    {"cntrl", is_control},     {"ascii", is_ascii},
};

// Longer than every name in the tables above ("generalcategory=nd").
constexpr std::size_t kMaxName = 24;

bool same(std::u32string_view text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != static_cast<unsigned char>(ascii[i])) return false;
  }
  return true;
}

template <std::size_t N>
Pred find(const Named (&table)[N], std::u32string_view name) {
  for (const Named& e : table) {
    if (same(name, e.name)) return e.pred;
  }
  return nullptr;
}

constexpr uint64_t ascii_mask(std::string_view chars, unsigned half) {
  uint64_t mask = 0;
  for (char ch : chars) {
    if (static_cast<unsigned>(ch) >> 6 == half) mask |= uint64_t{1} << (ch & 63);
  }
  return mask;
}

constexpr std::string_view kAsciiPunctuation = "!\"'(),-./:;?[\\]`{}";
constexpr uint64_t kPunctuationMask[2] = {ascii_mask(kAsciiPunctuation, 0),
                                          ascii_mask(kAsciiPunctuation, 1)};

}  // namespace

bool is_punctuation(char32_t c) {
  if (c < 0x80) return (kPunctuationMask[c >> 6] >> (c & 63)) & 1;
  return c == 0x2014 || c == 0x2025 || c == 0x2026;
}

Pred property(std::u32string_view name) {
  char32_t buf[kMaxName];
  std::size_t n = 0;
  for (char32_t c : name) {
    if (c == ' ' || c == '-' || c == '_') continue;
    char32_t mapped[3] = {c};
    int count = 1;
    if (c - 'A' < 26) {
      mapped[0] = c | 0x20;
    } else if (c >= 0xC0) {
      count = to_lower_full(c, mapped);
    }
    if (n + count > kMaxName) return nullptr;
    for (int i = 0; i < count; ++i) buf[n++] = mapped[i];
  }
  std::u32string_view norm(buf, n);

  std::size_t eq = norm.find(U'=');
  if (eq == std::u32string_view::npos) return find(kPlainNames, norm);
  std::u32string_view key = norm.substr(0, eq);
  std::u32string_view value = norm.substr(eq + 1);
  if (key.empty()) return find(kPlainNames, value);
  if (same(key, "gc")) {
    for (std::string_view v : kGcValues) {
      if (same(value, v)) return find(kPlainNames, value);
    }
    return nullptr;
  }
  if (same(key, "generalcategory") && same(value, "nd")) return is_numeric;
  return nullptr;
}

Pred posix_class(std::u32string_view name) {
  return find(kPosixNames, name);
}

bool is_shown_verbatim(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c != 0x7F;
  switch (general_category(c)) {
    case Gc::Cc:
    case Gc::Cf:
    case Gc::Cs:
    case Gc::Co:
    case Gc::Cn:
    case Gc::Zl:
    case Gc::Zp:
    case Gc::Zs:
      return false;
    default:
      return !has_grapheme_extend(c);
  }
}

}  // namespace kordal::unicode
