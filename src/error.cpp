// Error kinds and their texts. The name table is indexed by ErrorKind, so its
// size is checked against the enumeration.
#include "error.hpp"

#include <array>

namespace kordal {

namespace {
constexpr std::array<const char*, 9> kKindNames = {
    "Syntax", "Escape", "Class", "Repeat", "GroupRef", "Flags", "Property", "Limit", "TimedOut",
};
static_assert(kKindNames.size() == static_cast<size_t>(ErrorKind::TimedOut) + 1);
}  // namespace

const char* error_kind_name(ErrorKind kind) {
  return kKindNames[static_cast<size_t>(kind)];
}

std::string Error::text() const {
  if (kind == ErrorKind::TimedOut) return "regex timed out";
  return message;
}

}  // namespace kordal
