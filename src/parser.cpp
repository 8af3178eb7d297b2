// Placeholder until the recursive-descent parser lands: every pattern parses
// to Empty.
#include "parser.hpp"

namespace kordal {

Parser::Parser(std::string_view pattern, uint32_t f) : flags(f) {
  chars = decode_utf8(pattern);
  (void)pattern;
}

Result<ParseOutput> Parser::run() {
  ParseOutput out;
  return out;
}

}  // namespace kordal
