// The syntax tree compiled to a flat array of instructions for the
// backtracking VM, plus the character tests and tree facts both need.
//
// Compilation is one walk over the tree after a pre-pass that computes, per
// node, its width (least and most code points it can consume), whether it
// consumes exactly one code point in one way ("single") and whether its code
// never leaves a choice point behind ("straight"). Those facts pick the
// instruction forms: single-character tests with a 256-entry bitmap, loops
// over single characters and over straight bodies that keep one backtrack
// frame for the whole loop instead of one per iteration, and group closes that
// compute the start from a fixed width instead of keeping a register.
// Cost: linear in the tree plus 256 tests per character class.
//
// Invariants the VM relies on: the code of a straight node pushes no frame
// that outlives it (a loop whose body is straight finds its own frame on top
// of the stack after each iteration), and every register is written before it
// is read on every path into the node that owns it. Breaking the first
// corrupts loops; breaking the second reads stale positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ast.hpp"

namespace kordal {

// --- character tests shared by the engines ---

inline bool ascii_word(char32_t c) {
  return ((c | 0x20) - 'a') < 26 || (c - '0') < 10 || c == '_';
}
inline bool word_char(char32_t c, bool ascii) {
  return ascii ? ascii_word(c) : unicode::is_word(c);
}
bool predef_test(Predef kind, bool ascii, char32_t c);
bool class_matches(const CharClass& cc, char32_t c);
// Case-insensitive equality of two code points (full lowercase mappings).
bool chars_equal_ci(char32_t a, char32_t b);
// Whether a node that consumes exactly one code point (is_single) accepts c.
bool single_accepts(const Node& node, char32_t c);

// --- tree facts ---

// Whether `node` always consumes exactly one code point, deterministically:
// Lit, Any, Class, Predef, Prop, Grapheme, and NonCap, Atomic or Branch made
// only of such nodes (alternatives that each take one code point and capture
// nothing are interchangeable after the first that matches).
bool is_single(const Node& node);
// Length of every match of `node` when it matches deterministically (at most
// one way at any position, no captures), or -1. Reads the children's det_len,
// so it is exact only on an annotated tree (else it errs towards -1).
int64_t det_length(const Node& node);
// Fills det_len and the classes' ASCII tables, children first. Called once
// after parsing; an unannotated tree matches the same, only slower.
void annotate(Node& root);

// Bounds on the number of code points a node can consume.
inline constexpr uint64_t kInfWidth = UINT64_MAX;
struct Width {
  uint64_t min = 0;
  uint64_t max = 0;  // kInfWidth: unbounded
};
Width width(const Node& node);

// --- the program ---

enum class Op : uint8_t {
  Match,      // success; with an end target, only at that position
  Char,       // a: code point, compared exactly
  Test,       // a: index into tests
  Str,        // a: index into strs; f: ignore case
  StartLine,  // f: multiline
  EndLine,    // f: multiline
  StartText,
  EndText,
  WordB,        // f: bit 0 negated, bit 1 ascii
  WordEdge,     // f: bit 0 end of word, bit 1 ascii
  Open,         // a: group; b: start register, or kNone when the close computes it
  Close,        // a: group; b: start register, or the fixed width when f is 1
  Jump,         // a: target
  Split,        // a: the alternative tried on backtracking; falls through first
  RepInit,      // a: rep; general repetition, body follows
  RepTail,      // a: rep; end of the body, exit follows
  Loop1,        // a: rep; repetition of one single-character test, no body code
  LoopInit,     // a: rep; repetition of a straight body, which follows
  LoopNext,     // a: rep; end of that body, exit follows
  AtomicBegin,  // a: slot
  AtomicEnd,    // a: slot
  LookBegin,    // a: look (ahead)
  LookEnd,      // a: look
  BehindBegin,  // a: look (behind)
  BehindEnd,    // a: look
  BackRef,      // a: group; f: ignore case
};

inline constexpr uint32_t kNone = UINT32_MAX;

struct Inst {
  Op op = Op::Match;
  uint8_t f = 0;
  uint32_t a = 0;
  uint32_t b = 0;
};

// A single-character test: exact for code points below 256 through the
// bitmap; above, any of the leaf nodes (Lit, Any, Class, Predef, Prop,
// Grapheme) accepts.
struct CharTest {
  enum class Shape : uint8_t { General, All, NotNewline };
  uint64_t lo[4] = {0, 0, 0, 0};
  uint32_t first = 0;  // leaves [first, first + count) in Program::leaves
  uint32_t count = 0;
  Shape shape = Shape::General;  // lets loops scan with memchr or not at all
  bool accepts_low(uint32_t c) const { return (lo[c >> 6] >> (c & 63)) & 1; }
};

struct RepInfo {
  uint32_t min = 0;
  uint32_t max = kNone;  // kNone: unbounded
  bool greedy = true;
  uint32_t body = 0;       // first instruction of the body
  uint32_t exit = 0;       // first instruction after the loop
  uint32_t reg_c = kNone;  // iteration count (saturating at min when unbounded)
  uint32_t reg_e = kNone;  // entry position of the iteration (bodies that can match empty)
  uint64_t width = 0;      // Loop1 / LoopInit: code points per iteration
  // Loop1: the test (Char when `exact`, code point in `ch`; else tests[test]).
  bool exact = false;
  char32_t ch = 0;
  uint32_t test = 0;
  // The literal the rest of the pattern begins with (past group opens,
  // closes and jumps), or kNone: the loops only stop where it stands.
  uint32_t follow = kNone;
  // Loop1, greedy: false when its test rejects `follow`, so that giving back
  // code points can never let the rest match and no frame is kept.
  bool give_back = true;
};

struct LookInfo {
  bool behind = false;
  bool positive = true;
  uint32_t slot = 0;   // register holding the stack index of the look's frame
  uint32_t body = 0;   // first instruction of the child
  uint32_t after = 0;  // first instruction after the look
  Width w;             // the child's width (lookbehind start range)
};

struct Program {
  std::vector<Inst> code;
  std::vector<CharTest> tests;
  std::vector<const Node*> leaves;
  std::vector<const std::vector<char32_t>*> strs;
  std::vector<RepInfo> reps;
  std::vector<LookInfo> looks;
  uint32_t num_regs = 0;  // positions, counts and frame indexes
  // The VM's memo slots (see backtracker.cpp), one per instruction, kNone
  // where the instruction has none; empty when the program has lookaround,
  // atomic groups, back references or a repetition whose body can match
  // empty, where (instruction, position) does not decide the rest. Where
  // memo_reg is not kNone, the key is the slot plus that count register.
  std::vector<uint32_t> memo_slot;
  std::vector<uint32_t> memo_reg;
  uint32_t memo_slots = 0;
};

// Compiles an annotated tree. The program points into the tree (leaves,
// literal runs), so the tree must outlive it and stay unchanged.
Program compile_program(const Node& root);

}  // namespace kordal
