// Every text over an alphabet up to a length, for the exhaustive
// differential tests: the empty text, then layer by layer, each text of a
// layer extended by each letter. A letter may be several bytes (UTF-8).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kordal {

inline std::vector<std::string> all_texts(const std::vector<std::string>& alphabet,
                                          size_t max_len) {
  std::vector<std::string> out{""};
  std::vector<std::string> layer{""};
  for (size_t len = 1; len <= max_len; ++len) {
    std::vector<std::string> next;
    for (const std::string& t : layer) {
      for (const std::string& a : alphabet) next.push_back(t + a);
    }
    out.insert(out.end(), next.begin(), next.end());
    layer = std::move(next);
  }
  return out;
}

}  // namespace kordal
