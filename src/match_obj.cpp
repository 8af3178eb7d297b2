// Group texts of a Match, as slices of the haystack.
#include "match_obj.hpp"

namespace kordal {

std::optional<std::string_view> Match::group(size_t g) const {
  if (g >= caps.size() || !caps[g].set()) return std::nullopt;
  return text.substr(caps[g].start, caps[g].end - caps[g].start);
}

}  // namespace kordal
