// Replays the seed corpus and every committed regression input through the
// fuzz targets' checks (fuzz_regex's entry point, linked here without
// libFuzzer, and fuzz_engines' check_engines), so a fixed crash or broken
// invariant stays fixed; also checks that the harness itself can
// fail and that its budget stops a catastrophic search.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engines.hpp"
#include "harness.hpp"
#include "invariants.hpp"
#include "regex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kordal {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const fs::path& dir) {
  std::vector<fs::path> out;
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

using Target = void (*)(const uint8_t* data, size_t size);

void engines_target(const uint8_t* data, size_t size) {
  fuzz::Input in;
  if (!fuzz::decode_input(data, size, in)) return;
  fuzz::set_current(&in);
  fuzz::check_engines(in);
  fuzz::set_current(nullptr);
}

void regex_target(const uint8_t* data, size_t size) {
  LLVMFuzzerTestOneInput(data, size);
}

size_t replay(const fs::path& dir, Target target = regex_target) {
  size_t count = 0;
  for (const fs::path& p : inputs_in(dir)) {
    std::ifstream f(p, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // A broken invariant aborts with the case printed.
    target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  return count;
}

TEST(FuzzReplay, Regressions) {
  // A moved or emptied directory would replay nothing and pass.
  EXPECT_GE(replay(fs::path(KORDAL_FUZZ_DIR) / "regressions" / "regex"), 1u);
}

TEST(FuzzReplay, SeedCorpus) {
  EXPECT_GT(replay(fs::path(KORDAL_FUZZ_DIR) / "corpus"), 100u);
}

// fuzz_engines reads the same layout: every input, against the reference.
TEST(FuzzReplay, EnginesAgainstReference) {
  EXPECT_GE(replay(fs::path(KORDAL_FUZZ_DIR) / "regressions" / "regex", engines_target), 1u);
  EXPECT_GT(replay(fs::path(KORDAL_FUZZ_DIR) / "corpus", engines_target), 100u);
}

TEST(FuzzHarness, DecodesTheInputLayout) {
  const std::string raw(
      "\x01\x00\x00\x00"
      "a\xC3(\xFF"
      "x\xF0\x9F\x98\x80\xED\xA0\x80",
      16);
  fuzz::Input in;
  ASSERT_TRUE(fuzz::decode_input(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), in));
  EXPECT_EQ(in.flags, 1u);
  EXPECT_EQ(in.pattern, "a?(");               // a lone lead byte
  EXPECT_EQ(in.hay, "x\xF0\x9F\x98\x80???");  // an encoded surrogate
  EXPECT_FALSE(fuzz::decode_input(reinterpret_cast<const uint8_t*>("abc"), 3, in));
}

TEST(FuzzHarness, BudgetCancelsCatastrophicSearch) {
  // The required "b" occurs, so the search cannot end at once without it.
  auto re = Regex::new_with_flags("(a*)*b\\d", 0);
  ASSERT_TRUE(re.ok());
  fuzz::Budget budget(4);
  bool hit = true;
  EXPECT_EQ(re.value().is_match(std::string(40, 'a') + "bx", hit, budget.control()),
            Status::Interrupted);
  fuzz::Budget fresh(4);
  std::optional<Match> m;
  EXPECT_EQ(re.value().find("aab1", m, fresh.control()), Status::Ok);
  EXPECT_TRUE(m.has_value());
}

// The checks must be able to fail: a corrupted match is rejected.
TEST(FuzzHarnessDeathTest, CheckMatchRejectsBrokenMatches) {
  auto re = Regex::new_with_flags("(\\w)+", 0);
  ASSERT_TRUE(re.ok());
  const std::string hay = "x\xC3\xA9y";
  std::optional<Match> m;
  ASSERT_EQ(re.value().find(hay, m), Status::Ok);
  ASSERT_TRUE(m.has_value());
  fuzz::check_match(re.value(), hay, *m, "find");  // the genuine match passes

  Match inside = *m;
  inside.caps[0].end = 2;  // inside é
  EXPECT_DEATH(fuzz::check_match(re.value(), hay, inside, "find"), "splits a character");
  Match stale = *m;
  stale.caps[1] = stale.history[1];  // not the last capture
  EXPECT_DEATH(fuzz::check_match(re.value(), hay, stale, "find"), "not the last of its history");
  Match units = *m;
  units.caps[0].cend = 4;
  EXPECT_DEATH(fuzz::check_match(re.value(), hay, units, "find"), "code points");
}

}  // namespace
}  // namespace kordal
