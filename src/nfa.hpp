// The automaton the lazy DFA and the one-pass matcher run: a small Thompson
// NFA compiled from the tree (character tests, ordered splits, jumps,
// zero-width assertions, capture saves, match), and the classes of code
// points below 256 (equal answers to every test, equal context bits).
// Tests: through its two users, tests/cpp/test_dfa.cpp, test_onepass.cpp and
// test_corpus.cpp.
//
// It is built from the tree, not from the VM's Program, because counted
// repetitions must be expanded into copies, which the Program encodes as
// counters; copies are capped at kMaxNfa instructions and 256 distinct
// tests, beyond which (and for \X, lookaround, atomic groups and back
// references) the pattern is refused. Building costs O(NFA size x tests) for
// the 256 low classes.
//
// Invariants: splits list the higher-priority branch first; the classes
// split every test and every context bit an assertion reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ast.hpp"
#include "char_test.hpp"

namespace kordal {

// Context of a position's neighbour: bits, so a plain enum of masks.
enum Ctx : uint8_t {
  kEdge = 1,     // no character: the start or end of the text
  kNl = 2,       // a line feed
  kFinalNl = 4,  // a line feed that is the last character
  kAsciiW = 8,   // an ASCII word character
  kUniW = 16,    // a Unicode word character
};

enum class NOp : uint8_t { Test, Split, Jump, Assert, Save, Match };

enum class AKind : uint8_t {
  StartLine,
  StartLineM,
  EndLine,
  EndLineM,
  StartText,
  EndText,
  WordB,
  NotWordB,
  WordStart,
  WordEnd,
};

struct NInst {
  NOp op = NOp::Match;
  AKind ak = AKind::StartText;
  bool ascii = false;  // word assertions
  uint32_t x = 0;      // Test: test; Split: first; Jump / Assert / Save: target
  uint32_t y = 0;      // Test: next; Split: second; Save: slot (2 x group, + 1 at its end)
};

// Whether an assertion holds between neighbours of contexts l and r.
bool holds(const NInst& in, uint8_t l, uint8_t r);

struct Nfa {
  std::vector<NInst> code;
  uint32_t start = 0;       // anchored entry
  uint32_t unanchored = 0;  // lazy any-character loop, then the start
};

struct Automaton {
  // Built from the tree's leaves and literal code points, so that matching
  // (the classes of code points above 255) never reads the tree.
  std::vector<CharTest> tests;  // tests[0] accepts every code point
  Nfa fwd, rev;
  uint8_t ctx_mask = 0;
  // Classes: the low code points', then the end of text, then the final line
  // feed; high classes are added per cache after these.
  std::array<uint16_t, 256> low{};
  uint32_t fixed = 0;  // number of classes known at build
  uint32_t eot = 0;
  uint32_t final_nl = 0;
  uint32_t nl = 0;  // the line feed's class
  // The class of every code point above 255 where they all fall in one
  // (each test takes all or none of them, no assertion reads the Unicode
  // word context); -1 otherwise.
  int32_t high = -1;
  // Whether 0xFF is in that class too: a scan may then read a wide text's
  // narrow copy (text.hpp), where every code point from 0xFF up is 0xFF.
  bool narrow_alike = false;
  size_t words = 0;           // 64-bit words per class signature
  std::vector<uint64_t> sig;  // fixed * words: the tests each class passes
  std::vector<uint8_t> ctx;   // fixed: each class's context bits (masked)
};

// Context bits of code point c, masked.
uint8_t char_ctx(char32_t c, uint8_t mask);

// nullptr when the tree holds something the automaton cannot express or
// its NFA would exceed the caps. `reverse` builds the reverse NFA too;
// `saves` puts capture saves around groups in the forward one.
std::unique_ptr<Automaton> build_automaton(const Node& root, bool reverse, bool saves);

}  // namespace kordal
