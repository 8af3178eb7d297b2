// Parser internals that Python cannot see: error kinds, class item contents
// after case folding, the predicates chosen, tree invariants over random
// patterns, and the nesting limit and malformed input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "flags.hpp"
#include "parser.hpp"

namespace kordal {
namespace {

constexpr uint32_t kDefault = flags::UNICODE;  // as compilation passes it

Result<ParseOutput> parse(const std::string& p, uint32_t flags = kDefault) {
  Parser parser(p, flags);
  return parser.run();
}

std::string dump(const std::string& p, uint32_t flags = kDefault) {
  auto r = parse(p, flags);
  if (!r.ok()) return "error: " + r.error().message;
  std::string s;
  r.value().tree.dump(s, 0);
  return s;
}

std::string rep(const std::string& s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// ---------------------------------------------------------------------------
// Error kinds, messages and byte positions.

struct ErrorRow {
  const char* pattern;
  ErrorKind kind;
  size_t position;
  const char* message;
};

class ParserErrors : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(ParserErrors, KindPositionMessage) {
  const ErrorRow& row = GetParam();
  auto r = parse(row.pattern);
  ASSERT_FALSE(r.ok()) << row.pattern;
  EXPECT_EQ(r.error().message, row.message) << row.pattern;
  EXPECT_EQ(error_kind_name(r.error().kind), std::string(error_kind_name(row.kind))) << row.pattern;
  ASSERT_TRUE(r.error().position.has_value());
  EXPECT_EQ(*r.error().position, row.position) << row.pattern;
}

const ErrorRow kErrorRows[] = {
    {")", ErrorKind::Syntax, 0, "unexpected ')'"},
    {"(a))", ErrorKind::Syntax, 3, "unexpected ')'"},
    {"x(?:a", ErrorKind::Syntax, 1, "missing closing ')'"},
    {"\xc3\xa9(", ErrorKind::Syntax, 2, "missing closing ')'"},
    {"(?#abc", ErrorKind::Syntax, 0, "unterminated (?#...) comment"},
    {"(*FAIL)", ErrorKind::Syntax, 0,
     "backtracking verbs (*PRUNE *SKIP *FAIL ...) are not yet supported"},
    {"(?(1)a|b)", ErrorKind::Syntax, 2,
     "conditional (?(...)) and (?(DEFINE)...) are not yet supported"},
    {"(?P>n)", ErrorKind::Syntax, 3, "recursive subpattern calls (?P>...) are not yet supported"},
    {"(?P&n)", ErrorKind::Syntax, 3, "recursive subpattern calls (?P>...) are not yet supported"},
    {"(?Px)", ErrorKind::Syntax, 3, "bad (?P...) extension"},
    {"(?P", ErrorKind::Syntax, 3, "bad (?P...) extension"},
    {"a(?P=)", ErrorKind::Syntax, 1, "missing group name"},
    {"a(?<ab", ErrorKind::Syntax, 1, "missing group name"},
    {"(?P<a-b>x)", ErrorKind::Syntax, 0, "bad character '-' in group name"},
    {"(?P=x)(?P<x>a)", ErrorKind::GroupRef, 0, "unknown group name \"x\""},
    {"(?i", ErrorKind::Flags, 0, "expected ':' or ')' after flags"},
    {"(?I)", ErrorKind::Flags, 2, "unknown flag 'I'"},
    {"(?'n'x)", ErrorKind::Flags, 2, "unknown flag '\\''"},
    {"(?V", ErrorKind::Flags, 3, "expected V0 or V1"},
    {"(?-V2)", ErrorKind::Flags, 4, "expected V0 or V1"},
    {"a|?", ErrorKind::Repeat, 2, "nothing to repeat before '?'"},
    {"a*?+", ErrorKind::Repeat, 4, "multiple quantifiers"},
    {"[]", ErrorKind::Class, 0, "unterminated character class"},
    {"x[a-", ErrorKind::Class, 4, "unterminated character class"},
    {"[\xc3\xa9-a]", ErrorKind::Class, 1, "bad range '\xc3\xa9'-'a'"},
    {"[a-\\w]", ErrorKind::Class, 1, "bad range endpoint"},
    {"[[:Foo:]]", ErrorKind::Class, 1, "unknown POSIX class [:Foo:]"},
    {"[\\w--\\d]", ErrorKind::Class, 3,
     "nested set operations (&& -- || ~~) are not yet supported"},
    {"ab\\", ErrorKind::Escape, 3, "trailing backslash"},
    {"\\N{DASH}", ErrorKind::Escape, 1, "\\N{name} is not yet supported"},
    {"\\x{}", ErrorKind::Escape, 1, "bad \\x{...} escape"},
    {"\\x{+}", ErrorKind::Escape, 1, "bad hex digits"},
    {"\\x{100000000}", ErrorKind::Escape, 1, "bad hex digits"},
    {"\\U", ErrorKind::Escape, 1, "expected hex digits"},
    {"\\x{D800}", ErrorKind::Escape, 1, "invalid codepoint"},
    {"\\G", ErrorKind::Syntax, 1, "\\G (search anchor) is not yet supported"},
    {"\\K", ErrorKind::Syntax, 1, "\\K (keep) is not yet supported"},
    {"[\\L]", ErrorKind::Syntax, 2, "\\L<name> named lists are not yet supported"},
    {"(a)\\2", ErrorKind::GroupRef, 4, "backreference to unknown group 2"},
    {"\\g<1>", ErrorKind::GroupRef, 1, "unknown group 1"},
    {"\\g<18446744073709551616>", ErrorKind::GroupRef, 1, "bad \\g<number>"},
    {"\\k<n>", ErrorKind::GroupRef, 1, "unknown group name \"n\""},
    {"\\k<1>", ErrorKind::GroupRef, 1, "\\k<> expects a name"},
    {"\\k{n}", ErrorKind::GroupRef, 1, "expected '<' or '\\'' after \\g"},
    {"\\g'", ErrorKind::GroupRef, 1, "empty or unterminated \\g<>"},
    {"\\P", ErrorKind::Property, 1, "expected '{' after \\p"},
    {"\\p:L", ErrorKind::Property, 1, "unterminated \\p{...}"},
    {"\\p{^Foo}", ErrorKind::Property, 1, "unknown property \"Foo\""},
    {"a{18446744073709551616}", ErrorKind::Repeat, 23, "bad repeat count"},
    {"a{3,2}b", ErrorKind::Repeat, 6, "min greater than max in {m,n}"},
    {"a{e<=1}", ErrorKind::Syntax, 1, "fuzzy matching ({...}) is not yet supported"},
    {"a{0,65536}", ErrorKind::Limit, 10, "repeat count exceeds 65535"},
};

INSTANTIATE_TEST_SUITE_P(Table, ParserErrors, ::testing::ValuesIn(kErrorRows));

// ---------------------------------------------------------------------------
// Class items, especially after case folding.

std::string items(const std::string& p) {
  auto r = parse(p);
  if (!r.ok()) return "error: " + r.error().message;
  const Node& n = r.value().tree;
  if (n.kind != NodeKind::Class) return "not a class";
  std::string out = n.cc->negated ? "^" : "";
  for (const ClassItem& it : n.cc->items) {
    out += "[";
    switch (it.kind) {
      case ClassItem::Kind::Set:
        for (auto [lo, hi] : it.set.ranges) {
          out += ' ';
          out += std::to_string(lo);
          if (hi != lo) {
            out += '-';
            out += std::to_string(hi);
          }
        }
        break;
      case ClassItem::Kind::Predef:
        out += it.negated ? " predef!" : " predef";
        break;
      case ClassItem::Kind::Prop:
        out += it.negated ? " prop!" : " prop";
        break;
    }
    out += " ]";
  }
  return out;
}

TEST(ParserClass, Items) {
  EXPECT_EQ(items("[abc]"), "[ 97 ][ 98 ][ 99 ]");
  EXPECT_EQ(items("[^]a]"), "^[ 93 ][ 97 ]");
  EXPECT_EQ(items("[a-z-9]"), "[ 97-122 ][ 45 ][ 57 ]");
  EXPECT_EQ(items("[\\d-z]"), "[ predef ][ 45 ][ 122 ]");
  EXPECT_EQ(items("[\\b\\1\\A\\Q]"), "[ 8 ][ 49 ][ 65 ][ 81 ]");
  EXPECT_EQ(items("[\\P{^L}\\W[:^alpha:]]"), "[ prop ][ predef! ][ prop! ]");
  EXPECT_EQ(items("[[:a:b:]"), "[ 91 ][ 58 ][ 97 ][ 58 ][ 98 ][ 58 ]");
  EXPECT_EQ(items("[a-\\x{7a}]"), "[ 97-122 ]");
}

TEST(ParserClass, CaseFolding) {
  EXPECT_EQ(items("(?i)[a-c]"), "[ 65-67 97-99 ]");
  EXPECT_EQ(items("(?i)[k]"), "[ 75 107 ]");              // no Kelvin sign
  EXPECT_EQ(items("(?i)[\\x{212A}]"), "[ 107 8490 ]");    // its lower case only
  EXPECT_EQ(items("(?i)[\xc3\x9f]"), "[ 83 223 ]");       // sharp s upper-cases to SS
  EXPECT_EQ(items("(?i)[\\x{130}]"), "[ 105 304 775 ]");  // i + combining dot
  EXPECT_EQ(items("(?i)[a-\\x{2000}]"), "[ 65 97-8192 ]");
  EXPECT_EQ(items("(?i)[a-z]"), "[ 65-90 97-122 ]");
  EXPECT_EQ(items("(?i)[A-Za]"), "[ 65-90 97-122 ][ 65 97 ]");
  EXPECT_EQ(items("(?i)[1-9_]"), "[ 49-57 ][ 95 ]");  // nothing alphabetic
  EXPECT_EQ(items("(?i)[\\d\\p{Lu}]"), "[ predef ][ prop ]");
}

TEST(ParserClass, PredicatesChosen) {
  auto pred_of = [](const std::string& p) {
    auto r = parse(p);
    EXPECT_TRUE(r.ok()) << p;
    const Node& n = r.value().tree;
    return n.kind == NodeKind::Prop ? n.prop->pred : n.cc->items.at(0).pred;
  };
  EXPECT_EQ(pred_of("\\p{Nd}"), &unicode::is_numeric);
  EXPECT_EQ(pred_of("\\p{General Category = Nd}"), &unicode::is_numeric);
  EXPECT_EQ(pred_of("[[:digit:]]"), &unicode::is_ascii_digit);
  EXPECT_EQ(pred_of("[[:PUNCT:]]"), &unicode::is_ascii_punct);
  EXPECT_EQ(pred_of("[\\p{posixpunct}]"), &unicode::is_posix_punct);
  EXPECT_EQ(pred_of("\\p{=L}"), &unicode::is_alphabetic);
}

// ---------------------------------------------------------------------------
// Groups and names.

TEST(ParserGroups, NamesAndNumbers) {
  auto r = parse("(?P<x>a)(b)(?<x>c)(?<\xc3\xa9_1>d)");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().group_count, 3u);
  EXPECT_EQ(r.value().names.size(), 2u);
  EXPECT_EQ(r.value().names.at("x"), 1u);
  EXPECT_EQ(r.value().names.at("\xc3\xa9_1"), 3u);
}

TEST(ParserGroups, FlagsScopeAndVersionLetters) {
  EXPECT_EQ(dump("(?i-i)a"), "Lit 'a' ign=false\n");
  EXPECT_EQ(dump("(?V0a)\\w", flags::UNICODE), "Predef Word neg=false ascii=true\n");
  EXPECT_EQ(dump("(?-V1)b", flags::IGNORECASE), "Lit 'b' ign=true\n");
  EXPECT_EQ(dump("(?m)^$", 0), "Sequence\n  StartLine ml=true\n  EndLine ml=true\n");
  EXPECT_EQ(dump(".(?s).", 0), "Sequence\n  Any dotall=false\n  Any dotall=true\n");
  EXPECT_EQ(dump("(?-s:.).", flags::DOTALL),
            "Sequence\n  NonCap\n    Any dotall=false\n  Any dotall=true\n");
}

// ---------------------------------------------------------------------------
// Limits and hostile input.

TEST(ParserLimits, NestingLimitForEveryGroupForm) {
  for (const char* open : {"(", "(?:", "(?i:", "(?=", "(?<!", "(?>", "(?P<n>", "(?<m>"}) {
    std::string ok = rep(open, kMaxNesting) + "a" + rep(")", kMaxNesting);
    EXPECT_TRUE(parse(ok).ok()) << open;
    std::string deep = rep(open, kMaxNesting + 1) + "a" + rep(")", kMaxNesting + 1);
    auto r = parse(deep);
    ASSERT_FALSE(r.ok()) << open;
    EXPECT_EQ(r.error().kind, ErrorKind::Limit);
    EXPECT_EQ(r.error().message, "group nesting exceeds 1000");
    EXPECT_EQ(*r.error().position, kMaxNesting * std::string(open).size()) << open;
  }
  // Groups without a body do not nest.
  EXPECT_TRUE(parse(rep("(?i)", 5000) + rep("(?#x)", 5000)).ok());
  auto r = parse(rep("(", 100000));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(*r.error().position, 1000u);
}

TEST(ParserLimits, LongPatternsDoNotRecurse) {
  auto r = parse(rep("a|", 200000) + rep("b*", 200000));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().tree.kind, NodeKind::Branch);
  EXPECT_EQ(r.value().tree.kids.size(), 200001u);
  EXPECT_TRUE(parse(rep("(?:a)", 200000)).ok());
  EXPECT_EQ(*parse(rep("x", 100000) + "\\").error().position, 100001u);
  EXPECT_EQ(*parse(rep("(?x) #c\n", 1000) + "\\x{").error().position, 8001u);
}

TEST(ParserLimits, MalformedUtf8IsReadAsReplacementCharacters) {
  std::string bad("\xff\xc3(\xe2\x82", 5);
  auto r = parse(bad);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(*r.error().position, 2u);
  EXPECT_EQ(dump(std::string("\xed\xa0\x80", 3)),
            "Sequence\n  Lit '\xef\xbf\xbd' ign=false\n  Lit '\xef\xbf\xbd' ign=false\n"
            "  Lit '\xef\xbf\xbd' ign=false\n");
}

// ---------------------------------------------------------------------------
// Tree invariants over random patterns from a small alphabet.

void check_tree(const Node& n, size_t groups, const std::string& p) {
  SCOPED_TRACE(p);
  switch (n.kind) {
    case NodeKind::Sequence:
      ASSERT_GE(n.kids.size(), 2u);
      for (const Node& k : n.kids) {
        EXPECT_NE(k.kind, NodeKind::Empty);
        EXPECT_NE(k.kind, NodeKind::Sequence);
      }
      break;
    case NodeKind::Branch:
      ASSERT_GE(n.kids.size(), 2u);
      break;
    case NodeKind::Group:
      EXPECT_GE(n.index, 1u);
      EXPECT_LE(n.index, groups);
      ASSERT_EQ(n.kids.size(), 1u);
      break;
    case NodeKind::Repeat:
      ASSERT_EQ(n.kids.size(), 1u);
      EXPECT_NE(n.child().kind, NodeKind::Empty);
      EXPECT_LE(n.min, kMaxRepeat);
      if (n.max) {
        EXPECT_LE(n.min, *n.max);
        EXPECT_LE(*n.max, kMaxRepeat);
      }
      break;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
    case NodeKind::Look:
      ASSERT_EQ(n.kids.size(), 1u);
      break;
    case NodeKind::BackRef:
      EXPECT_GE(n.group, 1u);
      EXPECT_LE(n.group, groups);
      break;
    case NodeKind::LitStr:
      EXPECT_FALSE(n.chars.empty());
      break;
    case NodeKind::Class:
      ASSERT_FALSE(n.cc->items.empty());
      for (const ClassItem& it : n.cc->items) {
        if (it.kind != ClassItem::Kind::Set) continue;
        const auto& r = it.set.ranges;
        ASSERT_FALSE(r.empty());
        for (size_t i = 0; i < r.size(); ++i) {
          EXPECT_LE(r[i].first, r[i].second);
          if (i > 0) {
            EXPECT_GT(r[i].first, r[i - 1].second + 1);  // sorted and merged
          }
        }
      }
      break;
    default:
      EXPECT_TRUE(n.kids.empty());
      break;
  }
  for (const Node& k : n.kids) check_tree(k, groups, p);
}

TEST(ParserInvariants, RandomPatterns) {
  static const char* const kPieces[] = {
      "a",   "B",      "|",       "(",      ")",      "(?:",       "(?i)",   "(?x)",
      " ",   "#",      "\n",      "*",      "+",      "?",         "{2}",    "{1,3}",
      "{,}", "[",      "]",       "-",      "^",      "$",         ".",      "\\",
      "\\Q", "\\E",    "\\1",     "(?P<n>", "(?P=n)", "\\k<n>",    "\\g<1>", "[:alpha:]",
      "\\d", "\\p{L}", "\\x{41}", "(?#c)",  "(?=",    "(?<!",      "(?>",    "\xc3\x9f",
      "k",   "Z",      "(?-i)",   "\\b",    "&&",     "\\x{212A}", "}",      "{",
  };
  std::mt19937 rng(12345);
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1);
  std::uniform_int_distribution<int> len(0, 14);
  int ok = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string p;
    for (int k = len(rng); k > 0; --k) p += kPieces[piece(rng)];
    auto r = parse(p);
    if (!r.ok()) {
      ASSERT_TRUE(r.error().position.has_value()) << p;
      EXPECT_LE(*r.error().position, p.size()) << p;
      EXPECT_FALSE(r.error().message.empty()) << p;
      continue;
    }
    ++ok;
    check_tree(r.value().tree, r.value().group_count, p);
    for (const auto& [name, g] : r.value().names) EXPECT_LE(g, r.value().group_count) << p;
  }
  EXPECT_GT(ok, 2000);  // the generator must reach the interesting shapes
}

}  // namespace
}  // namespace kordal
