// The names of a pattern's groups, as the parser collects them: each name
// to its group number. Shared by the compiled pattern and every match made
// from it (read-only once parsing ends), so a match never copies it.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace kordal {

using Names = std::unordered_map<std::string, size_t>;

}  // namespace kordal
