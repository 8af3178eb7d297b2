// The ASCII-only folding rewrite: the tree it leaves (shape invariants, class
// members), that it is reached only through the compile option, and matches
// under it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "regex.hpp"

namespace kordal {
namespace {

constexpr uint32_t kAsciiI = flags::ASCII | flags::IGNORECASE;

Regex compile(const std::string& p, uint32_t f, bool ascii_case) {
  CompileOptions o;
  o.ascii_case = ascii_case;
  auto r = Regex::new_with_flags(p, f, o);
  EXPECT_TRUE(r.ok()) << p;
  return std::move(r.value());
}

// No Sequence inside a Sequence, none with fewer than two items, and no
// case-insensitive literal or class left.
void check_shape(const Node& n, bool in_sequence) {
  if (n.kind == NodeKind::Sequence) {
    EXPECT_FALSE(in_sequence);
    EXPECT_GE(n.kids.size(), 2u);
  }
  if (n.kind == NodeKind::Lit || n.kind == NodeKind::LitStr || n.kind == NodeKind::Class) {
    EXPECT_FALSE(n.ign);
  }
  for (const Node& k : n.kids) check_shape(k, n.kind == NodeKind::Sequence);
}

TEST(AsciiFold, TreeKeepsItsShape) {
  for (const char* p : {"a\\Qb1\\Ec", "\\Qab\\E", "\\Qa\\E", "x|\\Q-k-\\E+", "(?:\\Q12\\E)*k",
                        "[a-z]\\Q\xc3\xa9\\E(k)"}) {
    Regex re = compile(p, kAsciiI, true);
    check_shape(re.tree(), false);
  }
}

TEST(AsciiFold, OptionIsInvisibleInFlagsAndDump) {
  for (const char* p : {"k", "(?i)[a-z]", "a\\Qbc\\E"}) {
    Regex plain = compile(p, kAsciiI, false);
    Regex folded = compile(p, kAsciiI, true);
    EXPECT_EQ(plain.flags(), folded.flags()) << p;
    // Without the option the tree is the parser's own.
    Regex again = compile(p, kAsciiI, false);
    EXPECT_EQ(plain.dump(), again.dump());
  }
  EXPECT_EQ(compile("k", kAsciiI, false).dump(), "Lit 'k' ign=true\n");
}

struct ClassRow {
  const char* pattern;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

TEST(AsciiFold, ClassGainsOnlyAsciiCounterparts) {
  const std::vector<ClassRow> rows = {
      {"k", {{'K', 'K'}, {'k', 'k'}}},
      {"[k]", {{'K', 'K'}, {'k', 'k'}}},
      {"[Z-a]", {{'A', 'A'}, {'Z', 'a'}, {'z', 'z'}}},
      {"[x-\\x{e9}]", {{'X', 'Z'}, {'x', 0xE9}}},
      {"[\\x{e0}-\\x{ff}]", {{0xE0, 0xFF}}},
      {"[0-9]", {{'0', '9'}}},
      {"[A-z]", {{'A', 'z'}}},
  };
  for (const ClassRow& row : rows) {
    Regex re = compile(row.pattern, kAsciiI, true);
    const Node& n = re.tree();
    ASSERT_EQ(n.kind, NodeKind::Class) << row.pattern;
    ASSERT_EQ(n.cc->items.size(), 1u);
    EXPECT_EQ(n.cc->items[0].set.ranges, row.ranges) << row.pattern;
  }
}

struct MatchRow {
  const char* pattern;
  uint32_t flags;
  const char* text;
  bool folded;  // with the option
  bool plain;   // without it
};

TEST(AsciiFold, Matches) {
  const std::vector<MatchRow> rows = {
      {"k", kAsciiI, "\xe2\x84\xaa", false, true},           // U+212A
      {"k", flags::IGNORECASE, "\xe2\x84\xaa", true, true},  // no ASCII: Unicode rules
      {"(?a)(?i:k)", 0, "\xe2\x84\xaa", false, true},
      {"(?i)(?a:k)", 0, "K", true, true},
      {"\xc3\xa9", kAsciiI, "\xc3\x89", false, true},
      {"[^k]", kAsciiI, "K", false, false},
      {"[^k]", kAsciiI, "\xe2\x84\xaa", true, true},
      {"(?-i:k)", kAsciiI, "K", false, false},
      {"(a)\\1", kAsciiI, "aA", true, true},
      {"(\\x{e9})\\1", kAsciiI, "\xc3\xa9\xc3\x89", true, true},  // backreferences fold fully
  };
  for (const MatchRow& row : rows) {
    bool out = false;
    ASSERT_EQ(compile(row.pattern, row.flags, true).is_match(row.text, out), Status::Ok);
    EXPECT_EQ(out, row.folded) << row.pattern;
    ASSERT_EQ(compile(row.pattern, row.flags, false).is_match(row.text, out), Status::Ok);
    EXPECT_EQ(out, row.plain) << row.pattern;
  }
}

}  // namespace
}  // namespace kordal
