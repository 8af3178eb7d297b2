// The reference matcher (see reference_matcher.hpp for the scheme).
#include "reference_matcher.hpp"

#include <cstring>

#include "reference_chars.hpp"

namespace kordal::reference {
namespace {

// The thread's active Limits (none: unbounded) and the current nesting of
// m_node and run_cont, which every recursion passes through.
thread_local Limits* t_limits = nullptr;
thread_local size_t t_depth = 0;

inline bool stack_ok(State& st) {
  return st.status == Status::Ok;
}

// The reference never polls; it only spends from its Limits, if any.
inline bool charge(State& st, size_t n) {
  if (t_limits != nullptr && st.status == Status::Ok && !t_limits->spend(n)) {
    st.status = Status::Interrupted;
  }
  return st.status == Status::Ok;
}
constexpr size_t kScanChunk = size_t(1) << 16;
constexpr size_t kScanPerStep = 16;

// One level of nesting for the lifetime of the frame that holds it; the
// status says whether the frame may go on.
class Nest {
 public:
  explicit Nest(State& st) {
    ++t_depth;
    if (t_limits != nullptr && st.status == Status::Ok && !t_limits->allows(t_depth)) {
      st.status = Status::TooDeep;
    }
  }
  Nest(const Nest&) = delete;
  Nest& operator=(const Nest&) = delete;
  ~Nest() { --t_depth; }
};

inline bool enter(State& st) {
  return charge(st, 1);
}

bool assert_at(const Node& nd, const State& st) {
  const size_t pos = st.pos;
  const size_t n = st.n;
  switch (nd.kind) {
    case NodeKind::StartLine:
      return pos == 0 || (nd.multiline && st.at(pos - 1) == '\n');
    case NodeKind::EndLine:
      if (pos == n) return true;
      if (nd.multiline) return st.at(pos) == '\n';
      return pos + 1 == n && st.at(pos) == '\n';
    case NodeKind::StartText:
      return pos == 0;
    case NodeKind::EndText:
      return pos == n;
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge: {
      const bool prev = pos > 0 && word(st.at(pos - 1), nd.ascii);
      const bool cur = pos < n && word(st.at(pos), nd.ascii);
      if (nd.kind == NodeKind::WordBoundary) return (prev != cur) != nd.negated;
      return nd.end ? (prev && !cur) : (!prev && cur);
    }
    default:
      return false;
  }
}

inline void end_of_input(State& st) {
  if (st.partial) st.record_partial_block();
}

// Matches a deterministic node (deterministic_length >= 0) at st.pos, advancing it.
// On false st.pos is unspecified; the caller puts it back.
bool match_det(const Node& nd, State& st) {
  switch (nd.kind) {
    case NodeKind::Empty:
      return true;
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
      return assert_at(nd, st);
    case NodeKind::LitStr:
      for (char32_t ch : nd.chars) {
        if (st.pos >= st.n) {
          end_of_input(st);
          return false;
        }
        const char32_t c = st.at(st.pos);
        if (c != ch && !(nd.ign && same_ignoring_case(c, ch))) return false;
        ++st.pos;
      }
      return true;
    case NodeKind::Sequence:
      for (const Node& it : nd.kids) {
        if (!match_det(it, st)) return false;
      }
      return true;
    case NodeKind::Repeat:
      for (uint32_t j = 0; j < nd.min; ++j) {
        if (!charge(st, 1) || !match_det(nd.child(), st)) return false;
      }
      return true;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      if (one_char(nd)) break;
      return match_det(nd.child(), st);
    default:
      break;
  }
  if (st.pos >= st.n) {
    end_of_input(st);
    return false;
  }
  if (!accepts(nd, st.at(st.pos))) return false;
  ++st.pos;
  return true;
}

// Greedy scan of a single-character node: how many code points from st.pos
// (at most `limit`) it matches; st.pos ends after them. Records the
// end-of-input event when the scan stopped at the end with room left.
// Scans in chunks, charging steps between them; on cancellation st.status
// says so and the count is meaningless.
size_t scan_single(const Node& child, State& st, size_t limit) {
  const size_t start = st.pos;
  const size_t room = st.n - start;
  const size_t cap = room < limit ? room : limit;
  size_t count = 0;
  if (child.kind == NodeKind::Any && child.dotall) {
    count = cap;
  } else {
    for (;;) {
      const size_t from = count;
      const size_t end = cap - count > kScanChunk ? count + kScanChunk : cap;
      if (child.kind == NodeKind::Any && st.text.width == 1) {
        const unsigned char* p = st.text.u8() + start;
        const void* nl = std::memchr(p + count, '\n', end - count);
        count = nl ? size_t(static_cast<const unsigned char*>(nl) - p) : end;
      } else if (child.kind == NodeKind::Lit && !child.ign) {
        while (count < end && st.at(start + count) == child.ch) ++count;
      } else {
        while (count < end && accepts(child, st.at(start + count))) ++count;
      }
      if (!charge(st, 1 + (count - from) / kScanPerStep)) return 0;
      if (count < end || count == cap) break;
    }
  }
  st.pos = start + count;
  if (count < limit && st.pos == st.n) end_of_input(st);
  return count;
}

// A repetition whose child matches deterministically with length len > 0,
// run as a loop: same priority order and end-of-input events as m_rep.
[[gnu::noinline]] bool rep_loop(const Node& rep, size_t len, State& st, const Cont& k) {
  const Node& child = rep.child();
  const size_t entry = st.pos;
  const size_t min = rep.min;
  const size_t limit = rep.max ? size_t(*rep.max) : SIZE_MAX;
  const size_t mark = st.mark();
  if (rep.greedy) {
    size_t count = 0;
    if (len == 1 && one_char(child)) {
      count = scan_single(child, st, limit);
      if (st.status != Status::Ok) return false;
    } else {
      while (count < limit) {
        const size_t p0 = st.pos;
        if (!charge(st, 1)) return false;
        if (!match_det(child, st)) {
          st.pos = p0;
          break;
        }
        ++count;
      }
    }
    if (count >= min) {
      for (size_t c = count;; --c) {
        st.pos = entry + c * len;
        if (!charge(st, 1)) break;
        if (run_cont(k, st)) return true;
        if (st.status != Status::Ok) break;
        st.undo_to(mark);
        if (c == min) break;
      }
    }
    st.pos = entry;
    return false;
  }
  size_t count = 0;
  for (;;) {
    if (!charge(st, 1)) break;
    if (count >= min) {
      if (run_cont(k, st)) return true;
      if (st.status != Status::Ok) break;
      st.undo_to(mark);
      st.pos = entry + count * len;
    }
    if (count >= limit || !match_det(child, st)) break;
    if (st.status != Status::Ok) break;
    ++count;
  }
  st.pos = entry;
  return false;
}

[[gnu::noinline]] bool m_look(const Node& nd, State& st, const Cont& k) {
  const Node& child = nd.child();
  const Snapshot snap = st.snapshot();
  const size_t p = st.pos;
  bool found = false;
  if (!nd.behind) {
    const Cont t{};
    found = m_node(child, st, t);
    st.pos = p;
    if (st.status != Status::Ok) return false;
    // A failed child may have closed groups before failing; drop them.
    if (!found) st.restore(snap);
  } else {
    const Cont end{ContKind::EndCheck, nullptr, nullptr, p, 0};
    const Lengths w = match_lengths(child);
    // Starts nearer than the child's minimum width cannot reach p; in
    // partial mode they are still tried, since they may record a candidate.
    bool any = true;
    size_t hi = p;
    if (!st.partial) {
      if (w.least > p) {
        any = false;
      } else {
        hi = p - size_t(w.least);
      }
    }
    const size_t lo = w.most < p ? p - size_t(w.most) : 0;
    if (any && hi >= lo) {
      for (size_t s = hi;; --s) {
        st.restore(snap);
        st.pos = s;
        if (m_node(child, st, end)) {
          found = true;
          break;
        }
        if (st.status != Status::Ok) return false;
        if (s == lo) break;
      }
    }
    st.restore(snap);
  }
  if (found != nd.positive) {
    st.restore(snap);
    return false;
  }
  if (run_cont(k, st)) return true;
  st.restore(snap);
  return false;
}

[[gnu::noinline]] bool m_backref(const Node& nd, State& st, const Cont& k) {
  const size_t g = nd.group;
  if (g >= st.caps().size() || !st.caps()[g].set() || st.caps()[g].start == st.caps()[g].end) {
    return run_cont(k, st);
  }
  const CpSpan span = st.caps()[g];
  const size_t entry = st.pos;
  if (!charge(st, 1 + (span.end - span.start) / kScanPerStep)) return false;
  for (size_t i = span.start; i < span.end; ++i) {
    if (st.pos >= st.n) {
      end_of_input(st);
      st.pos = entry;
      return false;
    }
    const char32_t c = st.at(st.pos);
    const char32_t r = st.at(i);
    if (c != r && !(nd.ign && same_ignoring_case(c, r))) {
      st.pos = entry;
      return false;
    }
    ++st.pos;
  }
  if (run_cont(k, st)) return true;
  st.pos = entry;
  return false;
}

// The cases of m_node that need locals live in their own frames, so that the
// frame of m_node, which every consumed code point adds on the general path,
// stays small.

[[gnu::noinline]] bool m_litstr(const Node& nd, State& st, const Cont& k) {
  const size_t entry = st.pos;
  if (match_det(nd, st) && run_cont(k, st)) return true;
  st.pos = entry;
  return false;
}

bool basic_single(NodeKind kind) {
  return kind == NodeKind::Lit || kind == NodeKind::Any || kind == NodeKind::Class ||
         kind == NodeKind::Predef || kind == NodeKind::Prop || kind == NodeKind::Grapheme;
}

// Partial-mode bookkeeping, out of line so it costs the hot frames nothing.
[[gnu::noinline]] void open_push(State& st, size_t g, size_t s) {
  st.open_push(g, s);
}
[[gnu::noinline]] void open_pop_if(State& st, size_t g) {
  st.open_pop_if(g);
}
[[gnu::noinline]] void close_group(State& st, size_t g, size_t s) {
  st.close_group(g, s, st.pos);
}

[[gnu::noinline]] bool m_group(const Node& nd, State& st, const Cont& k) {
  const size_t g = nd.index;
  const size_t start = st.pos;
  if (st.partial) open_push(st, g, start);
  const Cont close{ContKind::GroupClose, &k, nullptr, start, g};
  const Node& child = nd.child();
  bool ok;
  if (basic_single(child.kind)) {
    // A one-character group: no frame for the child.
    if (st.pos >= st.n) {
      end_of_input(st);
      ok = false;
    } else if (!accepts(child, st.at(st.pos))) {
      ok = false;
    } else {
      ++st.pos;
      ok = run_cont(close, st);
      if (!ok) --st.pos;
    }
  } else {
    ok = m_node(child, st, close);
  }
  if (!ok && st.partial) open_pop_if(st, g);
  return ok;
}

[[gnu::noinline]] bool m_atomic(const Node& nd, State& st, const Cont& k) {
  const Snapshot s = st.snapshot();
  const Cont t{};
  if (m_node(nd.child(), st, t) && run_cont(k, st)) return true;
  st.restore(s);
  return false;
}

[[gnu::noinline]] bool m_branch(const Node& nd, State& st, const Cont& k) {
  const Snapshot s = st.snapshot();
  bool first = true;
  for (const Node& alt : nd.kids) {
    if (!first) st.restore(s);
    first = false;
    if (m_node(alt, st, k)) return true;
    if (st.status != Status::Ok) break;
  }
  st.restore(s);
  return false;
}

}  // namespace

bool run_cont(const Cont& k0, State& st) {
  const Nest nest(st);
  if (!charge(st, 1)) [[unlikely]]
    return false;
  const Cont* k = &k0;
  for (;;) {
    switch (k->kind) {
      case ContKind::True:
        return true;
      case ContKind::EndCheck:
        return st.pos == k->a;
      case ContKind::SeqStep:
        return m_seq(*k->node, k->a + 1, st, *k->next);
      case ContKind::RepStep:
        // An iteration that consumed nothing ends the repetition.
        if (st.pos == k->a) {
          k = k->next;
          continue;
        }
        return m_rep(*k->node, k->b + 1, st, *k->next);
      case ContKind::GroupClose:
        if (st.partial) open_pop_if(st, k->b);
        if (k->b < st.caps().size()) close_group(st, k->b, k->a);
        k = k->next;
        continue;
    }
    return false;
  }
}

bool m_seq(const Node& seq, size_t i, State& st, const Cont& k) {
  if (!stack_ok(st)) return false;
  const auto& items = seq.kids;
  const size_t count = items.size();
  const size_t entry = st.pos;
  // Deterministic items have no choice points: match them in place.
  while (i < count && deterministic_length(items[i]) >= 0) {
    if (!charge(st, 1) || !match_det(items[i], st)) {
      st.pos = entry;
      return false;
    }
    ++i;
  }
  bool ok;
  if (i >= count) {
    ok = run_cont(k, st);
  } else if (i + 1 == count) {
    ok = m_node(items[i], st, k);
  } else {
    const Cont step{ContKind::SeqStep, &k, &seq, i, 0};
    ok = m_node(items[i], st, step);
  }
  if (!ok) st.pos = entry;
  return ok;
}

bool m_rep(const Node& rep, size_t count, State& st, const Cont& k) {
  const Node& child = rep.child();
  if (count == 0) {
    const int64_t len = deterministic_length(child);
    if (len > 0) return rep_loop(rep, size_t(len), st, k);
  }
  if (!stack_ok(st)) return false;
  const size_t entry = st.pos;
  const bool at_max = rep.max && count >= *rep.max;
  const Cont step{ContKind::RepStep, &k, &rep, entry, count};
  if (rep.greedy) {
    if (!at_max) {
      const Snapshot s = st.snapshot();
      if (m_node(child, st, step)) return true;
      st.restore(s);
      if (st.status != Status::Ok) return false;
    }
    return count >= rep.min && run_cont(k, st);
  }
  if (count >= rep.min) {
    const Snapshot s = st.snapshot();
    if (run_cont(k, st)) return true;
    st.restore(s);
  }
  if (!at_max) {
    const Snapshot s = st.snapshot();
    if (m_node(child, st, step)) return true;
    st.restore(s);
  }
  return false;
}

bool m_node(const Node& node, State& st, const Cont& k) {
  const Nest nest(st);
  if (!enter(st)) return false;
  const Node* nd = &node;
  for (;;) {
    switch (nd->kind) {
      case NodeKind::Empty:
        return run_cont(k, st);
      case NodeKind::Lit:
      case NodeKind::Any:
      case NodeKind::Class:
      case NodeKind::Predef:
      case NodeKind::Prop:
      case NodeKind::Grapheme:
        if (st.pos >= st.n) {
          end_of_input(st);
          return false;
        }
        if (!accepts(*nd, st.at(st.pos))) return false;
        ++st.pos;
        if (run_cont(k, st)) return true;
        --st.pos;
        return false;
      case NodeKind::LitStr:
        return m_litstr(*nd, st, k);
      case NodeKind::StartLine:
      case NodeKind::EndLine:
      case NodeKind::StartText:
      case NodeKind::EndText:
      case NodeKind::WordBoundary:
      case NodeKind::WordEdge:
        return assert_at(*nd, st) && run_cont(k, st);
      case NodeKind::Group:
        return m_group(*nd, st, k);
      case NodeKind::NonCap:
        nd = &nd->child();
        continue;
      case NodeKind::Atomic:
        return m_atomic(*nd, st, k);
      case NodeKind::Branch:
        return m_branch(*nd, st, k);
      case NodeKind::Sequence:
        return m_seq(*nd, 0, st, k);
      case NodeKind::Repeat:
        return m_rep(*nd, 0, st, k);
      case NodeKind::BackRef:
        return m_backref(*nd, st, k);
      case NodeKind::Look:
        return m_look(*nd, st, k);
    }
    return false;
  }
}

Limits::Limits(uint64_t steps, size_t depth)
    : steps_left_(steps), max_depth_(depth), outer_(t_limits) {
  t_limits = this;
}

Limits::~Limits() {
  t_limits = outer_;
}

bool Limits::spend(uint64_t n) {
  if (exceeded_ || n > steps_left_) {
    exceeded_ = true;
    return false;
  }
  steps_left_ -= n;
  return true;
}

bool Limits::allows(size_t depth) {
  if (depth <= max_depth_) return true;
  exceeded_ = true;
  return false;
}

bool try_match(const Node& root, State& st) {
  const Cont t{};
  return m_node(root, st, t) && st.status == Status::Ok;
}

bool try_match_to(const Node& root, State& st, size_t target) {
  const Cont end{ContKind::EndCheck, nullptr, nullptr, target, 0};
  return m_node(root, st, end) && st.status == Status::Ok;
}

}  // namespace kordal::reference
