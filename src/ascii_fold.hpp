// ASCII-only case folding, as `re` folds bytes patterns and patterns under
// re.ASCII: a rewrite of the syntax tree between parsing and compilation.
//
// The parser, asked to (Parser::ascii_case), marks every case-insensitive
// literal and bracket class written under the ASCII flag (`ign` and `ascii`
// both set) and leaves such classes unfolded. fold_ascii_case turns each
// marked node into a case-sensitive one: an ASCII letter becomes the class of
// its two cases, any other character matches only itself, and a class gains
// the other case of each ASCII letter among its members. Unmarked nodes, and
// backreferences (which compare at match time), are left as they are, so no
// engine sees anything new. Cost: O(nodes + class ranges); the recursion is
// one level per tree level, bounded by the parser's nesting limit. The
// sequence invariants hold afterwards: a case-insensitive string inside a
// Sequence is spliced into it rather than nested.
#pragma once

#include "ast.hpp"

namespace kordal {

void fold_ascii_case(Node& root);

}  // namespace kordal
