// The syntax tree compiled to a flat array of instructions for the
// backtracking VM, plus the tree facts the compilers need.
//
// Where each representation of a pattern is built, and why. The parser
// builds the tree, which stays as written (dump, errors) and is read only at
// compile time. From it, once per pattern: the analysis (analysis.hpp: the
// literals and sets that let a search skip text); this Program, for the VM,
// which keeps counted repetitions as counters and has every feature; and,
// on first use, the Automaton (nfa.hpp) for the lazy DFA and the one-pass
// matcher, which expands counted repetitions into copies and refuses what
// an automaton cannot express, so it cannot be derived from this Program.
// The character tests of both are tables (char_test.hpp) that they own:
// no engine reads the tree while matching.
//
// Compilation is one walk over the tree after a pre-pass that computes, per
// node, its width (least and most code points it can consume), whether it
// consumes exactly one code point in one way ("single") and whether its code
// never leaves a choice point behind ("straight"). Those facts pick the
// instruction forms: single-character tests, loops over single characters
// and over straight bodies that keep one backtrack frame for the whole loop
// instead of one per iteration, and group closes that compute the start from
// a fixed width instead of keeping a register.
// Cost: linear in the tree plus 256 predicate calls per character test.
//
// Invariants the VM relies on: the code of a straight node pushes no frame
// that outlives it (a loop whose body is straight finds its own frame on top
// of the stack after each iteration), and every register is written before it
// is read on every path into the node that owns it. Breaking the first
// corrupts loops; breaking the second reads stale positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ast.hpp"
#include "char_test.hpp"

namespace kordal {

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
  Str,        // a: index into strs; flag kIgnoreCase
  StartLine,  // flag kMultiline
  EndLine,    // flag kMultiline
  StartText,
  EndText,
  WordB,        // flags kNegated, kAscii
  WordEdge,     // flags kWordEnd (else the start of a word), kAscii
  Open,         // a: group; b: start register, or kNone when the close computes it
  Close,        // a: group; b: start register, or with kFixedWidth the width
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
  BackRef,      // a: group; flag kIgnoreCase
};

inline constexpr uint32_t kNone = UINT32_MAX;

struct Inst {
  // The bits of `f`; what each means depends on the op (see Op).
  static constexpr uint8_t kIgnoreCase = 1;  // Str, BackRef
  static constexpr uint8_t kMultiline = 1;   // StartLine, EndLine
  static constexpr uint8_t kNegated = 1;     // WordB
  static constexpr uint8_t kWordEnd = 1;     // WordEdge
  static constexpr uint8_t kFixedWidth = 1;  // Close: b is the width, not a register
  static constexpr uint8_t kAscii = 2;       // WordB, WordEdge

  Op op = Op::Match;
  uint8_t f = 0;
  uint32_t a = 0;
  uint32_t b = 0;

  bool ignore_case() const { return f & kIgnoreCase; }
  bool multiline() const { return f & kMultiline; }
  bool negated() const { return f & kNegated; }
  bool word_end() const { return f & kWordEnd; }
  bool fixed_width() const { return f & kFixedWidth; }
  bool ascii() const { return f & kAscii; }
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
  // Loop1 over tests[test]: its row in Program::unit_tables, else kNone.
  uint32_t table = kNone;
  // The literal the rest of the pattern begins with (past group opens,
  // closes and jumps, or as the first iteration of a loop), or kNone: the
  // loops only stop where it stands.
  uint32_t follow = kNone;
  // Else the test it begins with (an index into tests), or kNone.
  uint32_t follow_test = kNone;
  // Loop1, greedy: false when its test rejects `follow` (or shares no code
  // point with the test the rest begins with), so that giving back code
  // points can never let the rest match and no frame is kept.
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
  std::vector<std::u32string> strs;
  std::vector<RepInfo> reps;
  std::vector<LookInfo> looks;
  // Per loop over a test, whether each code point below 256 passes it (1 or
  // 0): a block of units is looked up one load each, without a branch.
  std::vector<std::array<uint8_t, 256>> unit_tables;
  uint32_t num_regs = 0;  // positions, counts and frame indexes
  // The single-character loop every attempt enters at its start position,
  // past zero-width instructions only (group marks, anchors, word
  // assertions), or kNone: what it accepts from the start is known to be a
  // run of its test's code points.
  uint32_t lead_loop = kNone;
  // The VM's memo slots (see backtracker.cpp), one per instruction, kNone
  // where the instruction has none; empty when the program has lookaround,
  // atomic groups, back references or a repetition whose body can match
  // empty, where (instruction, position) does not decide the rest. Where
  // memo_reg is not kNone, the key is the slot plus that count register.
  std::vector<uint32_t> memo_slot;
  std::vector<uint32_t> memo_reg;
  uint32_t memo_slots = 0;
};

// Compiles an annotated tree. The program owns everything it reads while
// matching; the tree is not read after this.
Program compile_program(const Node& root);

}  // namespace kordal
