// Reader of the behaviour corpus (tests/data/*.json), which pytest runs
// through the module (tests/test_corpus.py documents the fields) and
// test_corpus.cpp through each engine. JSON because every supported Python
// reads it without a dependency; the reader takes the subset the files use
// (objects, arrays, strings with \u escapes and surrogate pairs, integers,
// true, false, null) and rejects anything else with a message naming the
// file and offset, so a malformed file fails the tests rather than thinning
// them. Cost: linear in the file; recursion one level per nesting level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kordal::corpus {

// A byte span of the text, as the module reports spans.
struct ByteSpan {
  size_t start = 0;
  size_t end = 0;
  bool operator==(const ByteSpan&) const = default;
};

struct FindWant {
  ByteSpan span;
  bool has_groups = false;
  std::vector<std::optional<std::string>> groups;  // group 0 first; nullopt: not set
};

struct ReplaceWant {
  std::string with;
  std::string first;
  std::optional<std::string> every;
};

struct PartialWant {
  std::string status;  // "partial" or "full"
  ByteSpan span;
  // Per group, from 0: state ("matched", "partial", "none") and text.
  std::vector<std::pair<std::string, std::optional<std::string>>> groups;
};

struct Case {
  std::string where;  // "file.json case N: pattern", for failure messages
  std::string pattern;
  uint32_t flags = 0;
  std::string text;
  // Each expectation is checked only when present; a present find or
  // partial may expect no match (the inner nullopt).
  std::optional<std::optional<FindWant>> find;
  std::optional<std::vector<std::vector<std::string>>> history;
  std::optional<bool> found;
  std::optional<std::vector<ByteSpan>> findall;
  std::optional<std::vector<std::string>> split;
  std::vector<ReplaceWant> replace;
  std::optional<std::optional<PartialWant>> partial;

  // How many expectations the case holds (each replace entry counts).
  size_t expectations() const;
};

// Every case of every *.json file in dir, in file-name order. Errors (an
// unreadable or malformed file, an unknown field or flag) go to `error`,
// and the result is then empty.
std::vector<Case> load_dir(const std::string& dir, std::string& error);

// One file's cases; for tests of the reader itself, `name` labels them.
std::vector<Case> load_text(const std::string& json, const std::string& name, std::string& error);

}  // namespace kordal::corpus
