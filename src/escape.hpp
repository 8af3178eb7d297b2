// Escaping text so that it matches itself as a pattern.
//
// One pass over the UTF-8 input; the output is reserved once at twice the
// input length (at most one backslash per input byte).
#pragma once

#include <string>
#include <string_view>

namespace kordal::escape {

std::string escape_impl(std::string_view text, bool special_only, bool literal_spaces);

}  // namespace kordal::escape
