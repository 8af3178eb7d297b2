// The automaton (see nfa.hpp for the scheme).
#include "nfa.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "char_test.hpp"
#include "unicode.hpp"

namespace kordal {

namespace {

constexpr size_t kMaxNfa = 10000;  // NFA instructions
constexpr size_t kMaxTests = 256;  // distinct character tests

uint8_t ctx_bits_needed(AKind k) {
  switch (k) {
    case AKind::StartLine:
    case AKind::StartText:
    case AKind::EndText:
      return kEdge;
    case AKind::StartLineM:
    case AKind::EndLineM:
      return kEdge | kNl;
    case AKind::EndLine:
      return kEdge | kFinalNl;
    default:
      return 0;  // word bits are added by the caller
  }
}

struct Builder {
  explicit Builder(Automaton& prog) : p(prog) {}
  Automaton& p;
  std::unordered_map<const Node*, uint32_t> leaf_ids;
  std::unordered_map<uint64_t, uint32_t> lit_ids;
  Nfa* nfa = nullptr;
  bool rev = false;
  bool saves = false;  // capture saves around groups (forward only)
  bool ok = true;
  bool word_ascii = false, word_uni = false;

  uint32_t add(NInst in) {
    if (nfa->code.size() >= kMaxNfa) {
      ok = false;
      return 0;
    }
    nfa->code.push_back(in);
    return uint32_t(nfa->code.size() - 1);
  }
  // A leaf's test (leaf set), or a literal code point's.
  struct TestKey {
    const Node* leaf = nullptr;
    char32_t ch = 0;
    bool ign = false;
  };
  uint32_t test_id(TestKey t) {
    uint32_t* slot;
    if (t.leaf) {
      slot = &leaf_ids[t.leaf];
    } else {
      slot = &lit_ids[uint64_t(t.ch) << 1 | t.ign];
    }
    if (*slot == 0) {
      if (p.tests.size() >= kMaxTests) {
        ok = false;
        return 0;
      }
      p.tests.push_back(t.leaf ? char_test(*t.leaf) : char_test(t.ch, t.ign));
      *slot = uint32_t(p.tests.size() - 1);
    }
    return *slot;
  }
  uint32_t test(TestKey t, uint32_t next) {
    const uint32_t id = test_id(t);
    NInst in;
    in.op = NOp::Test;
    in.x = id;
    in.y = next;
    return add(in);
  }
  uint32_t split(uint32_t a, uint32_t b) {
    NInst in;
    in.op = NOp::Split;
    in.x = a;
    in.y = b;
    return add(in);
  }
  uint32_t save(uint32_t slot, uint32_t next) {
    NInst in;
    in.op = NOp::Save;
    in.x = next;
    in.y = slot;
    return add(in);
  }
  uint32_t assert_(AKind k, bool ascii, uint32_t next) {
    NInst in;
    in.op = NOp::Assert;
    in.ak = k;
    in.ascii = ascii;
    in.x = next;
    p.ctx_mask |= ctx_bits_needed(k);
    if (k == AKind::WordB || k == AKind::NotWordB || k == AKind::WordStart || k == AKind::WordEnd) {
      (ascii ? word_ascii : word_uni) = true;
    }
    return add(in);
  }

  // Code for `nd` that continues at `next`; returns its entry.
  uint32_t emit(const Node& nd, uint32_t next) {
    if (!ok) return 0;
    switch (nd.kind) {
      case NodeKind::Empty:
        return next;
      case NodeKind::Lit:
        return test(TestKey{nullptr, nd.ch, nd.ign}, next);
      case NodeKind::Any:
      case NodeKind::Class:
      case NodeKind::Predef:
      case NodeKind::Prop:
        return test(TestKey{&nd, 0, false}, next);
      case NodeKind::LitStr: {
        const size_t k = nd.chars.size();
        for (size_t i = 0; i < k && ok; ++i) {
          const char32_t c = rev ? nd.chars[i] : nd.chars[k - 1 - i];
          next = test(TestKey{nullptr, c, nd.ign}, next);
        }
        return next;
      }
      case NodeKind::StartLine:
        return assert_(nd.multiline ? AKind::StartLineM : AKind::StartLine, false, next);
      case NodeKind::EndLine:
        return assert_(nd.multiline ? AKind::EndLineM : AKind::EndLine, false, next);
      case NodeKind::StartText:
        return assert_(AKind::StartText, false, next);
      case NodeKind::EndText:
        return assert_(AKind::EndText, false, next);
      case NodeKind::WordBoundary:
        return assert_(nd.negated ? AKind::NotWordB : AKind::WordB, nd.ascii, next);
      case NodeKind::WordEdge:
        return assert_(nd.end ? AKind::WordEnd : AKind::WordStart, nd.ascii, next);
      case NodeKind::Group:
        if (saves && !rev) {
          const uint32_t close = save(uint32_t(2 * nd.index + 1), next);
          return save(uint32_t(2 * nd.index), emit(nd.child(), close));
        }
        return emit(nd.child(), next);
      case NodeKind::NonCap:
        return emit(nd.child(), next);
      case NodeKind::Sequence: {
        const size_t k = nd.kids.size();
        for (size_t i = 0; i < k && ok; ++i) next = emit(nd.kids[rev ? i : k - 1 - i], next);
        return next;
      }
      case NodeKind::Branch: {
        uint32_t entry = emit(nd.kids.back(), next);
        for (size_t i = nd.kids.size() - 1; i-- > 0 && ok;) {
          entry = split(emit(nd.kids[i], next), entry);
        }
        return entry;
      }
      case NodeKind::Repeat:
        return repeat(nd, next);
      default:  // Grapheme, Atomic, BackRef, Look
        ok = false;
        return 0;
    }
  }

  uint32_t repeat(const Node& nd, uint32_t next) {
    const Node& body = nd.child();
    uint32_t cur = next;
    if (!nd.max) {
      const uint32_t loop = split(0, 0);
      const uint32_t b = emit(body, loop);
      if (!ok) return 0;
      nfa->code[loop].x = nd.greedy ? b : next;
      nfa->code[loop].y = nd.greedy ? next : b;
      cur = loop;
    } else {
      for (uint32_t i = nd.min; i < *nd.max && ok; ++i) {
        const uint32_t b = emit(body, cur);
        cur = nd.greedy ? split(b, next) : split(next, b);
      }
    }
    for (uint32_t i = 0; i < nd.min && ok; ++i) cur = emit(body, cur);
    return cur;
  }

  bool compile(const Node& root, Nfa& out, bool reverse) {
    nfa = &out;
    rev = reverse;
    NInst m;
    m.op = NOp::Match;
    const uint32_t match = add(m);
    out.start = emit(root, match);
    if (!ok) return false;
    // Unanchored entry: (?s:.)*? before the pattern.
    NInst t;
    t.op = NOp::Test;  // test 0: any code point
    const uint32_t any = add(t);
    out.unanchored = split(out.start, any);
    if (!ok) return false;
    out.code[any].y = out.unanchored;
    return true;
  }
};

}  // namespace

bool holds(const NInst& in, uint8_t l, uint8_t r) {
  const uint8_t w = in.ascii ? kAsciiW : kUniW;
  const bool lw = l & w, rw = r & w;
  switch (in.ak) {
    case AKind::StartLine:
    case AKind::StartText:
      return l & kEdge;
    case AKind::StartLineM:
      return l & (kEdge | kNl);
    case AKind::EndLine:
      return r & (kEdge | kFinalNl);
    case AKind::EndLineM:
      return r & (kEdge | kNl);
    case AKind::EndText:
      return r & kEdge;
    case AKind::WordB:
      return lw != rw;
    case AKind::NotWordB:
      return lw == rw;
    case AKind::WordStart:
      return !lw && rw;
    case AKind::WordEnd:
      return lw && !rw;
  }
  return false;
}

uint8_t char_ctx(char32_t c, uint8_t mask) {
  uint8_t b = 0;
  if (c == '\n') b |= kNl;
  if (ascii_word(c)) b |= kAsciiW;
  if (unicode::is_word(c)) b |= kUniW;
  return b & mask;
}

std::unique_ptr<Automaton> build_automaton(const Node& root, bool reverse, bool saves) {
  auto prog = std::make_unique<Automaton>();
  Automaton& p = *prog;
  p.tests.push_back(any_char_test());  // 0: any code point (the unanchored loop)
  Builder b(p);
  b.leaf_ids.reserve(16);
  b.saves = saves;
  if (!b.compile(root, p.fwd, false)) return nullptr;
  if (reverse && !b.compile(root, p.rev, true)) return nullptr;
  if (b.word_ascii) p.ctx_mask |= kAsciiW;
  if (b.word_uni) p.ctx_mask |= kUniW;
  // Classes of the low code points: equal test signatures and contexts.
  p.words = (p.tests.size() + 63) / 64;
  std::vector<uint64_t> s(p.words);
  std::unordered_map<std::string, uint32_t> seen;
  auto add_class = [&](const std::vector<uint64_t>& bits, uint8_t cx, bool fresh) {
    std::string key(1, char(cx));
    key.append(reinterpret_cast<const char*>(bits.data()), bits.size() * sizeof(uint64_t));
    if (!fresh) {
      auto it = seen.find(key);
      if (it != seen.end()) return it->second;
    }
    const uint32_t k = uint32_t(p.ctx.size());
    p.sig.insert(p.sig.end(), bits.begin(), bits.end());
    p.ctx.push_back(cx);
    if (!fresh) seen.emplace(key, k);
    return k;
  };
  for (uint32_t ch = 0; ch < 256; ++ch) {
    std::fill(s.begin(), s.end(), 0);
    s[0] |= 1;
    for (size_t t = 1; t < p.tests.size(); ++t) {
      if (p.tests[t].accepts(ch)) s[t >> 6] |= uint64_t(1) << (t & 63);
    }
    p.low[ch] = uint16_t(add_class(s, char_ctx(ch, p.ctx_mask), false));
  }
  p.nl = p.low['\n'];
  bool alike = !(p.ctx_mask & kUniW);
  std::fill(s.begin(), s.end(), 0);
  s[0] |= 1;
  for (size_t t = 1; alike && t < p.tests.size(); ++t) {
    const CharTest::HighKind h = p.tests[t].high_kind;
    alike = h == CharTest::HighKind::None || h == CharTest::HighKind::All;
    if (h == CharTest::HighKind::All) s[t >> 6] |= uint64_t(1) << (t & 63);
  }
  if (alike) p.high = int32_t(add_class(s, char_ctx(0x100, p.ctx_mask), false));
  p.narrow_alike = alike && p.low[0xFF] == uint16_t(p.high);
  // The line feed at the last position: the line feed's tests, its own context.
  std::vector<uint64_t> nl_sig(p.sig.begin() + size_t(p.nl) * p.words,
                               p.sig.begin() + size_t(p.nl + 1) * p.words);
  p.final_nl = add_class(nl_sig, uint8_t((kNl | kFinalNl) & p.ctx_mask), true);
  std::fill(s.begin(), s.end(), 0);
  p.eot = add_class(s, uint8_t(kEdge & p.ctx_mask), true);
  p.fixed = uint32_t(p.ctx.size());
  return prog;
}

}  // namespace kordal
