// Tree facts and the compiler from tree to Program (see
// program.hpp for the scheme).
#include "program.hpp"

#include <unordered_map>

namespace kordal {

namespace {

uint64_t sat_add(uint64_t a, uint64_t b) {
  return a > kInfWidth - b ? kInfWidth : a + b;
}
uint64_t sat_mul(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kInfWidth / b ? kInfWidth : a * b;
}

}  // namespace

bool is_single(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return true;
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return is_single(nd.child());
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        if (!is_single(alt)) return false;
      }
      return true;
    default:
      return false;
  }
}

int64_t det_length(const Node& nd) {
  constexpr int64_t kCap = int64_t(1) << 40;
  switch (nd.kind) {
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
      return 0;
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return 1;
    case NodeKind::LitStr:
      return int64_t(nd.chars.size());
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return nd.child().det_len;
    case NodeKind::Branch:
      return is_single(nd) ? 1 : -1;
    case NodeKind::Sequence: {
      int64_t sum = 0;
      for (const Node& it : nd.kids) {
        const int64_t l = it.det_len;
        if (l < 0) return -1;
        sum += l;
        if (sum > kCap) return -1;
      }
      return sum;
    }
    case NodeKind::Repeat: {
      if (!nd.max || *nd.max != nd.min) return -1;
      const int64_t l = nd.child().det_len;
      if (l < 0 || (l > 0 && int64_t(nd.min) > kCap / l)) return -1;
      return l * nd.min;
    }
    default:
      return -1;
  }
}

void annotate(Node& node) {
  for (Node& kid : node.kids) annotate(kid);
  node.det_len = det_length(node);
  if (node.kind == NodeKind::Class) {
    CharClass& cc = *node.cc;
    for (char32_t c = 0; c < 128; ++c) {
      if (class_matches(cc, c)) cc.ascii_bits[c >> 6] |= uint64_t(1) << (c & 63);
    }
    cc.ascii_ready = true;
  }
}

Width width(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      return {1, 1};
    case NodeKind::LitStr:
      return {nd.chars.size(), nd.chars.size()};
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return width(nd.child());
    case NodeKind::Branch: {
      Width w{kInfWidth, 0};
      for (const Node& alt : nd.kids) {
        Width a = width(alt);
        if (a.min < w.min) w.min = a.min;
        if (a.max > w.max) w.max = a.max;
      }
      return w;
    }
    case NodeKind::Sequence: {
      Width w{0, 0};
      for (const Node& it : nd.kids) {
        Width a = width(it);
        w.min = sat_add(w.min, a.min);
        w.max = sat_add(w.max, a.max);
      }
      return w;
    }
    case NodeKind::Repeat: {
      Width c = width(nd.child());
      Width w;
      w.min = sat_mul(c.min, nd.min);
      w.max = nd.max ? sat_mul(c.max, *nd.max) : (c.max == 0 ? 0 : kInfWidth);
      return w;
    }
    case NodeKind::BackRef:
      return {0, kInfWidth};
    default:  // Empty, assertions, Look
      return {0, 0};
  }
}

namespace {

struct Facts {
  Width w;
  bool single = false;
  bool straight = false;
};

class Compiler {
 public:
  explicit Compiler(Program& p) : p_(p) {}

  // Facts of every node, children first; the same rules as width() and
  // is_single(), computed once per node.
  const Facts& analyze(const Node& nd) {
    Facts f;
    switch (nd.kind) {
      case NodeKind::Lit:
      case NodeKind::Any:
      case NodeKind::Class:
      case NodeKind::Predef:
      case NodeKind::Prop:
      case NodeKind::Grapheme:
        f.w = {1, 1};
        f.single = f.straight = true;
        break;
      case NodeKind::LitStr:
        f.w = {nd.chars.size(), nd.chars.size()};
        f.straight = true;
        break;
      case NodeKind::Empty:
      case NodeKind::StartLine:
      case NodeKind::EndLine:
      case NodeKind::StartText:
      case NodeKind::EndText:
      case NodeKind::WordBoundary:
      case NodeKind::WordEdge:
        f.straight = true;
        break;
      case NodeKind::Group:
      case NodeKind::NonCap:
      case NodeKind::Atomic: {
        const Facts& c = analyze(nd.child());
        f.w = c.w;
        f.single = nd.kind != NodeKind::Group && c.single;
        f.straight = c.straight;
        break;
      }
      case NodeKind::Branch: {
        f.w = {kInfWidth, 0};
        f.single = true;
        for (const Node& alt : nd.kids) {
          const Facts& a = analyze(alt);
          if (a.w.min < f.w.min) f.w.min = a.w.min;
          if (a.w.max > f.w.max) f.w.max = a.w.max;
          f.single = f.single && a.single;
        }
        f.straight = f.single;
        break;
      }
      case NodeKind::Sequence:
        f.straight = true;
        for (const Node& it : nd.kids) {
          const Facts& a = analyze(it);
          f.w.min = sat_add(f.w.min, a.w.min);
          f.w.max = sat_add(f.w.max, a.w.max);
          f.straight = f.straight && a.straight;
        }
        break;
      case NodeKind::Repeat: {
        const Facts& c = analyze(nd.child());
        f.w.min = sat_mul(c.w.min, nd.min);
        f.w.max = nd.max ? sat_mul(c.w.max, *nd.max) : (c.w.max == 0 ? 0 : kInfWidth);
        // A fixed count of a straight body pushes its loop frame and pops it
        // again; a width-0 body would need logged registers instead.
        f.straight =
            (nd.max && *nd.max == 0) || (nd.max && *nd.max == nd.min && c.straight && c.w.min > 0);
        break;
      }
      case NodeKind::BackRef:
        f.w = {0, kInfWidth};
        break;
      case NodeKind::Look:
        analyze(nd.child());
        f.w = {0, 0};
        break;
    }
    return facts_[&nd] = f;
  }

  void node(const Node& nd) {
    const Facts& f = facts_.at(&nd);
    if (f.single) {
      const Node& leaf = strip(nd);
      if (leaf.kind == NodeKind::Lit && !leaf.ign) {
        emit(Op::Char, 0, uint32_t(leaf.ch));
      } else {
        emit(Op::Test, 0, make_test(nd));
      }
      return;
    }
    switch (nd.kind) {
      case NodeKind::Empty:
        return;
      case NodeKind::LitStr:
        if (nd.chars.empty()) return;
        emit(Op::Str, nd.ign ? Inst::kIgnoreCase : 0, uint32_t(p_.strs.size()));
        p_.strs.emplace_back(nd.chars.begin(), nd.chars.end());
        return;
      case NodeKind::StartLine:
        emit(Op::StartLine, nd.multiline ? Inst::kMultiline : 0);
        return;
      case NodeKind::EndLine:
        emit(Op::EndLine, nd.multiline ? Inst::kMultiline : 0);
        return;
      case NodeKind::StartText:
        emit(Op::StartText);
        return;
      case NodeKind::EndText:
        emit(Op::EndText);
        return;
      case NodeKind::WordBoundary:
        emit(Op::WordB, uint8_t((nd.negated ? Inst::kNegated : 0) | (nd.ascii ? Inst::kAscii : 0)));
        return;
      case NodeKind::WordEdge:
        emit(Op::WordEdge, uint8_t((nd.end ? Inst::kWordEnd : 0) | (nd.ascii ? Inst::kAscii : 0)));
        return;
      case NodeKind::Group: {
        const uint32_t g = uint32_t(nd.index);
        const Width w = facts_.at(&nd.child()).w;
        if (w.min == w.max && w.max < kNone) {
          // The child always consumes w code points: the start is pos - w.
          emit(Op::Open, 0, g, kNone);
          node(nd.child());
          emit(Op::Close, Inst::kFixedWidth, g, uint32_t(w.max));
        } else {
          const uint32_t reg = p_.num_regs++;
          emit(Op::Open, 0, g, reg);
          node(nd.child());
          emit(Op::Close, 0, g, reg);
        }
        return;
      }
      case NodeKind::NonCap:
        node(nd.child());
        return;
      case NodeKind::Atomic: {
        // Without choice points inside, an atomic group is its child.
        if (facts_.at(&nd.child()).straight) {
          node(nd.child());
          return;
        }
        const uint32_t slot = p_.num_regs++;
        emit(Op::AtomicBegin, 0, slot);
        node(nd.child());
        emit(Op::AtomicEnd, 0, slot);
        return;
      }
      case NodeKind::Branch: {
        std::vector<uint32_t> jumps;
        const size_t count = nd.kids.size();
        for (size_t i = 0; i < count; ++i) {
          if (i + 1 < count) {
            const uint32_t split = emit(Op::Split);
            node(nd.kids[i]);
            jumps.push_back(emit(Op::Jump));
            p_.code[split].a = here();
          } else {
            node(nd.kids[i]);
          }
        }
        for (uint32_t j : jumps) p_.code[j].a = here();
        return;
      }
      case NodeKind::Sequence:
        for (const Node& it : nd.kids) node(it);
        return;
      case NodeKind::Repeat:
        repeat(nd);
        return;
      case NodeKind::BackRef:
        emit(Op::BackRef, nd.ign ? Inst::kIgnoreCase : 0, uint32_t(nd.group));
        return;
      case NodeKind::Look: {
        const uint32_t idx = uint32_t(p_.looks.size());
        LookInfo info;
        info.behind = nd.behind;
        info.positive = nd.positive;
        info.slot = p_.num_regs++;
        info.w = facts_.at(&nd.child()).w;
        p_.looks.push_back(info);
        emit(nd.behind ? Op::BehindBegin : Op::LookBegin, 0, idx);
        p_.looks[idx].body = here();
        node(nd.child());
        emit(nd.behind ? Op::BehindEnd : Op::LookEnd, 0, idx);
        p_.looks[idx].after = here();
        return;
      }
      default:
        return;
    }
  }

  uint32_t emit(Op op, uint8_t f = 0, uint32_t a = 0, uint32_t b = 0) {
    p_.code.push_back(Inst{op, f, a, b});
    return uint32_t(p_.code.size() - 1);
  }

 private:
  uint32_t here() const { return uint32_t(p_.code.size()); }

  static const Node& strip(const Node& nd) {
    const Node* n = &nd;
    while (n->kind == NodeKind::NonCap || n->kind == NodeKind::Atomic) n = &n->child();
    return *n;
  }

  uint32_t make_test(const Node& nd) {
    p_.tests.push_back(char_test(nd));
    return uint32_t(p_.tests.size() - 1);
  }

  void repeat(const Node& nd) {
    if (nd.max && *nd.max == 0) return;  // matches the empty string only
    const Node& child = nd.child();
    const Facts& c = facts_.at(&child);
    const uint32_t idx = uint32_t(p_.reps.size());
    RepInfo r;
    r.min = nd.min;
    r.max = nd.max ? *nd.max : kNone;
    r.greedy = nd.greedy;
    if (c.straight && c.w.min > 0) {
      r.width = c.w.min;
      if (c.single) {
        const Node& leaf = strip(child);
        if (leaf.kind == NodeKind::Lit && !leaf.ign) {
          r.exact = true;
          r.ch = leaf.ch;
        } else {
          r.test = make_test(child);
        }
        p_.reps.push_back(r);
        emit(Op::Loop1, 0, idx);
        p_.reps[idx].exit = here();
        return;
      }
      p_.reps.push_back(r);
      emit(Op::LoopInit, 0, idx);
      p_.reps[idx].body = here();
      node(child);
      emit(Op::LoopNext, 0, idx);
      p_.reps[idx].exit = here();
      return;
    }
    const bool bounded = r.max != kNone;
    if (r.min >= 2 || (bounded && r.max >= 2)) r.reg_c = p_.num_regs++;
    if (c.w.min == 0) r.reg_e = p_.num_regs++;
    p_.reps.push_back(r);
    emit(Op::RepInit, 0, idx);
    p_.reps[idx].body = here();
    node(child);
    emit(Op::RepTail, 0, idx);
    p_.reps[idx].exit = here();
  }

  Program& p_;
  std::unordered_map<const Node*, Facts> facts_;
};

// Which instructions the VM may memoise, and under which slot. A state
// (instruction, position) may be keyed only where nothing else the rest of
// the match reads can differ between two arrivals. Inside the body of a
// counted general repetition its RepTail reads the count register, which
// holds at most kMaxCountKeys values there: the count is then part of the
// key (a run of slots, one per value). Inside two of them, or inside a
// straight loop's body (its LoopNext reads the count in its frame), nothing
// is keyed. Jumps share the slot of their target, the join of a branch.
constexpr uint32_t kMaxCountKeys = 32;

void assign_memo_slots(Program& p) {
  for (const Inst& in : p.code) {
    switch (in.op) {
      case Op::AtomicBegin:
      case Op::LookBegin:
      case Op::BehindBegin:
      case Op::BackRef:
        return;
      default:
        break;
    }
  }
  for (const RepInfo& r : p.reps) {
    if (r.reg_e != kNone) return;
  }
  const size_t size = p.code.size();
  std::vector<bool> unkeyed(size, false);
  std::vector<uint32_t> owner(size, kNone);  // the counted repetition around it
  for (uint32_t k = 0; k < p.reps.size(); ++k) {
    const RepInfo& r = p.reps[k];
    const Op last = p.code[r.exit - 1].op;
    if (last == Op::LoopNext) {
      // LoopNext itself is keyed where the count no longer matters.
      for (size_t i = r.body; i + 1 < r.exit; ++i) unkeyed[i] = true;
      continue;
    }
    if (last != Op::RepTail || r.reg_c == kNone) continue;
    // The register holds 0..min (saturating) or 0..max-1 inside the body.
    const uint32_t values = r.max == kNone ? r.min + 1 : r.max;
    for (size_t i = r.body; i < r.exit; ++i) {
      if (owner[i] != kNone || values > kMaxCountKeys) unkeyed[i] = true;
      owner[i] = k;
    }
  }
  p.memo_slot.assign(size, kNone);
  p.memo_reg.assign(size, kNone);
  std::unordered_map<uint32_t, uint32_t> joins;
  uint32_t next = 0;
  for (size_t i = 0; i < size; ++i) {
    if (unkeyed[i]) continue;
    const Inst& in = p.code[i];
    bool keyed = false;
    switch (in.op) {
      case Op::RepInit:
      case Op::RepTail:
      case Op::Loop1:
        keyed = true;
        break;
      case Op::LoopInit:
      case Op::LoopNext:
        // An unbounded straight loop is keyed at LoopNext once its minimum
        // is met (and at LoopInit through LoopNext's slot when that minimum
        // is 0); a bounded one on entry only.
        keyed = (p.reps[in.a].max == kNone) == (in.op == Op::LoopNext);
        break;
      case Op::Jump:
        keyed = true;
        break;
      default:
        break;
    }
    if (!keyed) continue;
    uint32_t width = 1;
    if (owner[i] != kNone) {
      const RepInfo& r = p.reps[owner[i]];
      width = r.max == kNone ? r.min + 1 : r.max;
      p.memo_reg[i] = r.reg_c;
    }
    if (in.op == Op::Jump) {
      auto [it, fresh] = joins.emplace(in.a, next);
      if (fresh) next += width;
      p.memo_slot[i] = it->second;
    } else {
      p.memo_slot[i] = next;
      next += width;
    }
  }
  p.memo_slots = next;
  if (next == 0) {
    p.memo_slot.clear();
    p.memo_reg.clear();
  }
}

}  // namespace

Program compile_program(const Node& root) {
  Program p;
  Compiler c(p);
  c.analyze(root);
  c.node(root);
  c.emit(Op::Match);
  for (RepInfo& r : p.reps) {
    // Opens, closes and jumps neither fail nor record, so the literal or
    // test after them (or the first iteration of a loop that needs one)
    // decides at once whether the rest can start at a position.
    const CharTest* follow_test = nullptr;
    uint32_t at = r.exit;
    for (int steps = 0; steps < 64; ++steps) {
      const Inst& in = p.code[at];
      if (in.op == Op::Open || in.op == Op::Close) {
        ++at;
      } else if (in.op == Op::Jump) {
        at = in.a;
      } else {
        if (in.op == Op::Char) {
          r.follow = in.a;
        } else if (in.op == Op::Test) {
          follow_test = &p.tests[in.a];
          r.follow_test = in.a;
        } else if (in.op == Op::Loop1 && p.reps[in.a].min > 0) {
          const RepInfo& next = p.reps[in.a];
          if (next.exact) {
            r.follow = uint32_t(next.ch);
          } else {
            follow_test = &p.tests[next.test];
            r.follow_test = next.test;
          }
        }
        break;
      }
    }
    if (p.code[r.exit - 1].op != Op::Loop1) continue;
    if (!r.exact) {
      r.table = uint32_t(p.unit_tables.size());
      std::array<uint8_t, 256>& row = p.unit_tables.emplace_back();
      for (uint32_t c = 0; c < 256; ++c) row[c] = p.tests[r.test].accepts_low(c);
    }
    if (r.follow != kNone) {
      r.give_back = r.exact ? r.follow == uint32_t(r.ch) : p.tests[r.test].accepts(r.follow);
    } else if (follow_test) {
      r.give_back = r.exact ? follow_test->accepts(r.ch) : !p.tests[r.test].disjoint(*follow_test);
    }
  }
  for (uint32_t at = 0; at < p.code.size(); ++at) {
    const Op op = p.code[at].op;
    if (op == Op::Loop1) p.lead_loop = at;
    if (op != Op::Open && op != Op::Close && op != Op::StartLine && op != Op::EndLine &&
        op != Op::StartText && op != Op::EndText && op != Op::WordB && op != Op::WordEdge) {
      break;
    }
  }
  assign_memo_slots(p);
  return p;
}

}  // namespace kordal
