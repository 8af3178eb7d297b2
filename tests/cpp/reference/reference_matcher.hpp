// The reference matcher: continuation-passing over the syntax tree, the
// engine the backtracking VM replaced. It lives on only in the tests, as the
// oracle the VM is compared with on small inputs; it is never linked into the
// library or the module.
//
// Every node is matched together with a continuation standing for the rest of
// the pattern; a node succeeds only if the continuation then succeeds, so the
// first path that reaches the final continuation is the match, and the order
// in which choice points try their options (alternatives left to right, more
// iterations first when greedy) is the priority order. Continuations are
// small records on the stack of the frame that built them, passed by
// reference: a continuation is only ever called while that frame is live.
//
// Cost: exponential in the worst case. The native stack grows with the match
// on the general path (runs of deterministic items are matched in loops).
// Unbounded by default, which is what the exhaustive tests on small inputs
// want; a Limits object bounds both the steps and the nesting, so that the
// reference can also run on arbitrary (fuzz) input and give up instead. It
// fails at once, trying nothing further, when State::status is not Ok.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ast.hpp"
#include "state.hpp"

namespace kordal::reference {

enum class ContKind : uint8_t {
  True,        // k_true: the match is complete
  EndCheck,    // succeeds only at a target position
  SeqStep,     // the rest of a sequence
  RepStep,     // the next decision of a repetition
  GroupClose,  // records a group's span, then the rest
};

struct Cont {
  ContKind kind = ContKind::True;
  const Cont* next = nullptr;  // the outer continuation
  const Node* node = nullptr;  // SeqStep: the Sequence; RepStep: the Repeat
  size_t a = 0;                // EndCheck: target; SeqStep: item index; RepStep: entry pos;
                               // GroupClose: group start
  size_t b = 0;                // RepStep: iteration count; GroupClose: group index
};

// Bounds every reference search this thread runs while the object lives.
// A step is a node entered, a continuation run or a chunk of a greedy scan;
// the depth counts nested matcher calls, the native stack's real consumer.
// A search that needs more steps fails with st.status Interrupted, one that
// nests deeper with TooDeep: it gave up, and its answer means nothing. The
// steps are shared by every search under the object (give each operation its
// own); an inner Limits replaces the outer one until it ends. Not movable:
// the thread refers to it.
class Limits {
 public:
  Limits(uint64_t steps, size_t depth);
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;
  ~Limits();

  // Whether a search gave up under these limits.
  bool exceeded() const { return exceeded_; }
  uint64_t steps_left() const { return steps_left_; }

  // Fits in 2 MiB of stack in an unoptimised ASan build, a quarter of the
  // usual 8 MiB; deeper than fuzz-sized input needs short of deliberate
  // nesting.
  static constexpr size_t kDefaultDepth = 4000;

  // The matcher's side: takes n steps / checks a nesting depth; false once
  // the limit is passed (and from then on).
  bool spend(uint64_t n);
  bool allows(size_t depth);

 private:
  uint64_t steps_left_;
  size_t max_depth_;
  bool exceeded_ = false;
  Limits* outer_;
};

// Whether the rest of the match succeeds from st.pos.
bool run_cont(const Cont& k, State& st);

// One node at st.pos, then k. On false, st.pos is back at its entry value.
bool m_node(const Node& node, State& st, const Cont& k);
// Items i.. of a Sequence node, then k.
bool m_seq(const Node& seq, size_t i, State& st, const Cont& k);
// One decision of the Repeat node `rep` after `count` completed iterations.
bool m_rep(const Node& rep, size_t count, State& st, const Cont& k);

// Matches the tree at st.pos with k_true / with an end check at `target`.
bool try_match(const Node& root, State& st);
bool try_match_to(const Node& root, State& st, size_t target);

}  // namespace kordal::reference
