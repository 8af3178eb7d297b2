// The lazy DFA (see dfa.hpp for its role).
//
// The tree is compiled twice into a small Thompson NFA (nfa.hpp): forward,
// and with every sequence reversed for the reverse scan.
//
// A DFA state is an ordered list of NFA "seeds" (instructions reached right
// after a character was consumed, in priority order), the context of that
// character (line feed, final line feed, ASCII / Unicode word character, or
// no character at a text edge) and whether a match was reached at the
// previous position. A transition on the class of the next character first
// follows the epsilon closure of the seeds, evaluating assertions with the
// context on both sides of the position, then consumes the character. So a
// match is seen one character late, and the text's end is one more
// transition on a class of its own. Forward closures stop at the first
// match reached (leftmost-first: lower-priority threads, including the
// restart thread of an unanchored scan, are dropped); reverse closures keep
// every thread (the longest reverse match is the leftmost start).
//
// Code points map to classes: a 256-entry table for the low ones, and above
// that a direct-mapped per-cache table filled on a miss by testing the code
// point against every test (a high class per distinct answer, at most
// kMaxHigh, else the DFA gives up for the call). A line feed at the last
// position is a class of its own, since `$` without MULTILINE accepts
// before it.
//
// While only the restart thread is alive, the forward scan jumps to the next
// code point that can begin a match (the analysis's first-character set).
//
// A transition table entry is the target state's row offset (its id times
// the row width), with the target's flags in the bits above kFlagShift, or
// -1 while unknown: a scan step is one load and one add, with no multiply
// and no second load for the flags.
//
// Cost: each transition is built once per cache at O(NFA size); a scan is
// one table load per code point, so a search is linear in the text whatever
// the pattern. Memory: at most dfa_cache_limit() bytes of states (default
// 2 MB, both directions) per cache, and kSlots (4) caches per thread, each
// tied to one Dfa by a serial number that is never reused. When a cache
// fills it is cleared; when that happens with too little progress between
// clears, the call gives up and the search falls back to the VM.
//
// Invariants: seeds are in priority order, and a forward closure stops at
// the first match; keeping a lower-priority thread past a match would report
// a later, wrong end. The classes must split every test and every context
// bit an assertion reads, or a transition is shared by code points that
// behave differently.
#include "dfa.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "char_test.hpp"
#include "nfa.hpp"
#include "one_char.hpp"
#include "poll.hpp"
#include "prefilter.hpp"
#include "scan.hpp"
#include "simd.hpp"
#include "state.hpp"

namespace kordal {

namespace {

constexpr uint32_t kMaxHigh = 32;        // classes added for code points >= 256
constexpr size_t kHighSlots = 1024;      // direct-mapped cache of high code points
constexpr size_t kMinCharsPerState = 8;  // progress a cache clear must show
constexpr size_t kSlots = 4;
// Start-state skips are checked after kSkipProbe of them: if they moved
// fewer than kSkipMin code points each on average, the scan stops skipping
// (a restart costs more than the steps such a skip saves).
constexpr size_t kSkipProbe = 64;
constexpr size_t kSkipMin = 4;
// A search for a set of literals costs what the scan spends on tens of code
// points: its skips must be longer to pay, and are judged sooner.
constexpr size_t kNeedleSkipProbe = 16;
constexpr size_t kNeedleSkipMin = 64;
// Code units a scan reads without skips after a verdict against them,
// before it tries them again: a stretch where matches begin densely (a
// paragraph naming a name again and again) need not last. Each verdict in a
// row against them doubles the stretch, up to kMaxRetryShift times, so that
// trials cost a few per cent of the steps in a text where they never pay.
constexpr size_t kSkipRetry = 2048;
constexpr unsigned kMaxRetryShift = 5;
// The same for jumps through a looping state, which cost a vector scan.
constexpr size_t kJumpMin = 8;

std::atomic<size_t> limit_bytes{size_t(2) << 20};
std::atomic<uint64_t> next_id{1};

// --- the per-thread cache ---

struct Side {
  std::vector<int32_t> trans;  // states * width: encode(target), or -1 unknown
  std::vector<uint8_t> flags;  // per state: kMatched, kDead, kStart
  // Per forward state: whether it loops on all but at most four code points
  // below 256 (kAccelUnknown, kAccelNo, kAccelYes), and those.
  std::vector<uint8_t> acc;
  std::vector<simd::FewUnits> esc;
  std::vector<uint8_t> sctx;  // per state: context of the consumed character
  std::vector<uint32_t> off;  // per state: its seeds in `seeds`, [off[i], off[i+1])
  std::vector<uint32_t> seeds;
  std::unordered_map<std::string, int32_t> index;
  std::array<int32_t, 64> starts{};  // (ctx, anchored) -> state, -1 unknown
  size_t bytes = 0;
};

constexpr uint8_t kMatched = 1;
constexpr uint8_t kDead = 2;
constexpr uint8_t kStart = 4;  // forward: only the unanchored restart thread, no match
// Only on a forward entry from a state to itself: the state loops on every
// code point but its escapes (Side::esc), so a scan jumps to the next one.
constexpr uint8_t kAccel = 8;

constexpr uint8_t kAccelUnknown = 0, kAccelNo = 1, kAccelYes = 2;

// Table entries: a row offset below 2^kFlagShift, the flags above it; the
// sign bit stays clear, as -1 means unknown.
constexpr int kFlagShift = 27;
constexpr uint32_t kOffsetMask = (uint32_t(1) << kFlagShift) - 1;
inline int32_t encode(size_t row, uint8_t flags) {
  return int32_t(uint32_t(row) | uint32_t(flags) << kFlagShift);
}
inline size_t row_of(int32_t entry) {
  return uint32_t(entry) & kOffsetMask;
}
inline uint8_t flags_of(int32_t entry) {
  return uint8_t(uint32_t(entry) >> kFlagShift);
}

struct DfaCache {
  uint64_t owner = 0;
  bool in_use = false;
  uint64_t last_use = 0;
  uint32_t width = 0;
  uint32_t classes = 0;
  std::vector<uint64_t> sig;  // classes * words
  std::vector<uint8_t> ctx;   // classes
  std::array<std::pair<uint32_t, uint16_t>, kHighSlots> high{};
  Side fwd, rev;
  // Closure scratch: a sparse set and a stack over NFA instructions.
  std::vector<uint32_t> sparse, dense, stack, consumers, next_seeds, seen_next;
  size_t dense_n = 0;
  std::string key;
  std::vector<uint64_t> scratch_sig;
  // Thrash detection within one call.
  size_t clears = 0;
  size_t scanned_at_clear = 0;
  // Start-state skips carried from call to call: a walk over many short
  // matches makes too few skips per call to judge them in one. After a
  // verdict against skipping, the next skip_off code units scanned, in this
  // call or the next ones, go without it.
  size_t skips = 0, skipped = 0;
  size_t skip_off = 0;
  unsigned retry_shift = 0;  // verdicts in a row against skipping, capped

  void init(const Automaton& p, uint64_t id) {
    owner = id;
    skips = skipped = 0;
    skip_off = 0;
    retry_shift = 0;
    width = p.fixed + kMaxHigh;
    classes = p.fixed;
    sig.assign(p.sig.begin(), p.sig.end());
    ctx.assign(p.ctx.begin(), p.ctx.end());
    for (auto& h : high) h = {0, 0};  // 0 is never a high code point: empty slot
    const size_t nmax = std::max(p.fwd.code.size(), p.rev.code.size());
    sparse.assign(nmax, 0);
    dense.assign(nmax, 0);
    seen_next.assign(nmax, 0);
    scratch_sig.assign(p.words, 0);
    clear_side(fwd);
    clear_side(rev);
  }
  void clear_side(Side& s) {
    s.trans.clear();
    s.flags.clear();
    s.sctx.clear();
    s.off.assign(1, 0);
    s.seeds.clear();
    s.index.clear();
    s.starts.fill(-1);
    s.bytes = 0;
    s.acc.clear();
    s.esc.clear();
    // State 0: dead (no seeds, no match).
    s.trans.assign(width, encode(0, kDead));
    s.flags.push_back(kDead);
    s.acc.push_back(kAccelNo);
    s.esc.push_back({});
    s.sctx.push_back(0);
    s.off.push_back(0);
  }
  bool set_has(uint32_t pc) const { return sparse[pc] < dense_n && dense[sparse[pc]] == pc; }
  void set_add(uint32_t pc) {
    sparse[pc] = uint32_t(dense_n);
    dense[dense_n++] = pc;
  }
};

struct CacheSlots {
  std::array<std::unique_ptr<DfaCache>, kSlots> slots;
  DfaCache* last = nullptr;  // the slot used last, tried first
  uint64_t clock = 0;
};
thread_local CacheSlots tl_slots;

// The thread's cache for a Dfa, or a private one when all are busy (a search
// started from the poll hook inside a search).
class CacheLease {
 public:
  CacheLease(const Automaton& p, uint64_t id) {
    CacheSlots& s = tl_slots;
    ++s.clock;
    DfaCache* victim = nullptr;
    if (s.last && s.last->owner == id && !s.last->in_use) c_ = s.last;
    for (auto& slot : s.slots) {
      if (c_) break;
      if (slot && slot->owner == id && !slot->in_use) {
        c_ = slot.get();
        break;
      }
      if (!slot) {
        slot = std::make_unique<DfaCache>();
        slot->owner = 0;
      }
      if (!slot->in_use && (!victim || slot->last_use < victim->last_use)) victim = slot.get();
    }
    if (!c_) {
      if (victim) {
        c_ = victim;
      } else {
        own_ = std::make_unique<DfaCache>();
        c_ = own_.get();
      }
      c_->init(p, id);
    }
    if (!own_) s.last = c_;
    c_->in_use = true;
    c_->last_use = s.clock;
    c_->clears = 0;
    c_->scanned_at_clear = 0;
  }
  ~CacheLease() { c_->in_use = false; }
  DfaCache& operator*() const { return *c_; }

 private:
  DfaCache* c_ = nullptr;
  std::unique_ptr<DfaCache> own_;
};

// One scan direction over one cache.
class Runner {
 public:
  Runner(const Automaton& p, DfaCache& c, bool reverse)
      : p_(p),
        c_(c),
        nfa_(reverse ? p.rev : p.fwd),
        side_(reverse ? c.rev : c.fwd),
        reverse_(reverse) {}

  // Class of the code point at i (the text has n of them); -1: too many classes.
  int32_t classify(char32_t ch, size_t i, size_t n) {
    if (ch < 256) {
      return ch == '\n' && i + 1 == n ? int32_t(p_.final_nl) : int32_t(p_.low[ch]);
    }
    auto& slot = c_.high[ch & (kHighSlots - 1)];
    if (slot.first == ch) return slot.second;
    const int32_t k = high_class(ch);
    if (k >= 0) slot = {uint32_t(ch), uint16_t(k)};
    return k;
  }

  int32_t start_state(uint8_t ctx, bool anchored) {
    ctx &= p_.ctx_mask;
    int32_t& s = side_.starts[size_t(ctx) * 2 + anchored];
    if (s >= 0) return s;
    c_.next_seeds.clear();
    c_.next_seeds.push_back(anchored ? nfa_.start : nfa_.unanchored);
    const int32_t id = intern(ctx, false);
    side_.starts[size_t(ctx) * 2 + anchored] = id;  // intern may have cleared
    return id;
  }

  // The transition of `from` on class k; -1 when the DFA gives up.
  int32_t step(int32_t from, uint32_t k, size_t scanned) {
    scanned_ = scanned;
    const bool matched = advance(from, k);
    const uint8_t kctx = c_.ctx[k];
    const int32_t to = intern(kctx, matched);
    if (to < 0) return -1;
    // `from` is gone if intern cleared the cache.
    if (!cleared_) {
      int32_t e = entry(to);
      if (to == from && !reverse_) {
        if (side_.acc[size_t(from)] == kAccelUnknown) check_accel(from);
        if (side_.acc[size_t(from)] == kAccelYes) e = encode(row_of(e), flags_of(e) | kAccel);
      }
      side_.trans[size_t(from) * c_.width + k] = e;
    }
    cleared_ = false;
    return to;
  }

  // The transition from the table, or built.
  int32_t next(int32_t from, uint32_t k, size_t scanned) {
    const int32_t to = side_.trans[size_t(from) * c_.width + k];
    return to >= 0 ? int32_t(row_of(to) / c_.width) : step(from, k, scanned);
  }

  // The table entry of state id.
  int32_t entry(int32_t id) const { return encode(size_t(id) * c_.width, side_.flags[size_t(id)]); }

  bool gave_up() const { return gave_up_; }
  const Side& side() const { return side_; }

 private:
  // The seeds (c_.next_seeds) of the state `from` goes to on class k, and
  // whether a match was reached before the character; changes no state.
  bool advance(int32_t from, uint32_t k) {
    const uint8_t sctx = side_.sctx[size_t(from)];
    const uint8_t kctx = c_.ctx[k];
    const uint8_t l = reverse_ ? kctx : sctx;
    const uint8_t r = reverse_ ? sctx : kctx;
    // Closure in priority order.
    c_.dense_n = 0;
    c_.consumers.clear();
    bool matched = false;
    for (uint32_t i = side_.off[size_t(from)]; i < side_.off[size_t(from) + 1]; ++i) {
      c_.stack.clear();
      c_.stack.push_back(side_.seeds[i]);
      while (!c_.stack.empty()) {
        const uint32_t pc = c_.stack.back();
        c_.stack.pop_back();
        if (c_.set_has(pc)) continue;
        c_.set_add(pc);
        const NInst& in = nfa_.code[pc];
        switch (in.op) {
          case NOp::Test:
            c_.consumers.push_back(pc);
            break;
          case NOp::Match:
            matched = true;
            break;
          case NOp::Jump:
          case NOp::Save:  // not in the DFA's automaton; a jump if it were
            c_.stack.push_back(in.x);
            break;
          case NOp::Split:
            c_.stack.push_back(in.y);
            c_.stack.push_back(in.x);
            break;
          case NOp::Assert:
            if (holds(in, l, r)) c_.stack.push_back(in.x);
            break;
        }
        if (matched && !reverse_) break;
      }
      if (matched && !reverse_) break;
    }
    // Consume the character.
    c_.next_seeds.clear();
    if (k != p_.eot) {
      const uint64_t* s = c_.sig.data() + size_t(k) * p_.words;
      c_.dense_n = 0;
      for (uint32_t pc : c_.consumers) {
        const NInst& in = nfa_.code[pc];
        if (!((s[in.x >> 6] >> (in.x & 63)) & 1)) continue;
        if (c_.set_has(in.y)) continue;
        c_.set_add(in.y);
        c_.next_seeds.push_back(in.y);
      }
    }
    return matched;
  }

  // Whether `from` goes to itself on class k.
  bool loops(int32_t from, uint32_t k) {
    const bool matched = advance(from, k);
    const size_t f = size_t(from);
    if (matched != bool(side_.flags[f] & kMatched) || c_.ctx[k] != side_.sctx[f]) return false;
    const uint32_t* a = side_.seeds.data() + side_.off[f];
    const size_t na = side_.off[f + 1] - side_.off[f];
    return na == c_.next_seeds.size() && std::equal(a, a + na, c_.next_seeds.begin());
  }

  // Decides whether forward state `from` can be scanned through to its next
  // escape: it loops on every code point but at most four below 256 (the
  // final line feed and those above 255 must loop, or be the line feed).
  void check_accel(int32_t from) {
    const size_t f = size_t(from);
    side_.acc[f] = kAccelNo;
    if (p_.high < 0 || (side_.flags[f] & (kDead | kStart))) return;
    if (!loops(from, uint32_t(p_.high))) return;
    std::array<int8_t, 512> cls;  // per class below p_.fixed: -1 unknown, else loops
    if (p_.fixed > cls.size()) return;
    cls.fill(-1);
    auto loop_of = [&](uint32_t k) {
      if (cls[k] < 0) cls[k] = int8_t(loops(from, k));
      return cls[k] == 1;
    };
    simd::FewUnits e;
    const bool few = e.set(
        [&](uint32_t ch) { return !loop_of(p_.low[ch]) || (ch == '\n' && !loop_of(p_.final_nl)); });
    if (!few) return;
    side_.esc[f] = e;
    side_.acc[f] = kAccelYes;
  }

  int32_t high_class(char32_t ch) {
    const size_t w = p_.words;
    uint64_t* s = c_.scratch_sig.data();
    std::memset(s, 0, w * sizeof(uint64_t));
    for (size_t t = 0; t < p_.tests.size(); ++t) {
      if (t == 0 || p_.tests[t].accepts(ch)) s[t >> 6] |= uint64_t(1) << (t & 63);
    }
    const uint8_t cx = char_ctx(ch, p_.ctx_mask);
    for (uint32_t k = 0; k < c_.classes; ++k) {
      if (k == p_.eot || k == p_.final_nl) continue;
      if (c_.ctx[k] == cx && std::memcmp(c_.sig.data() + k * w, s, w * sizeof(uint64_t)) == 0) {
        return int32_t(k);
      }
    }
    if (c_.classes >= p_.fixed + kMaxHigh) {
      // The next call starts over with a fresh cache and no high classes.
      c_.owner = 0;
      gave_up_ = true;
      return -1;
    }
    c_.sig.insert(c_.sig.end(), s, s + w);
    c_.ctx.push_back(cx);
    return int32_t(c_.classes++);
  }

  // The state (ctx, matched, next_seeds), made if new; -1 on giving up.
  int32_t intern(uint8_t ctx, bool matched) {
    const std::vector<uint32_t>& sd = c_.next_seeds;
    if (sd.empty() && !matched) return 0;
    std::string& key = c_.key;
    key.assign(1, char(ctx << 1 | matched));
    key.append(reinterpret_cast<const char*>(sd.data()), sd.size() * sizeof(uint32_t));
    auto it = side_.index.find(key);
    if (it != side_.index.end()) return it->second;
    const size_t cost = c_.width * sizeof(int32_t) + 2 * key.size() + 64;
    // Row offsets must fit below the flags: a table that large counts as full.
    const bool rows_full = side_.trans.size() + c_.width > kOffsetMask;
    if (rows_full ||
        c_.fwd.bytes + c_.rev.bytes + cost > limit_bytes.load(std::memory_order_relaxed)) {
      // Full: clear, unless clears come too often for the progress made.
      const size_t states = side_.flags.size();
      if (c_.clears > 0 && scanned_ - c_.scanned_at_clear < kMinCharsPerState * states) {
        gave_up_ = true;
        return -1;
      }
      ++c_.clears;
      c_.scanned_at_clear = scanned_;
      // Both directions: the other one may hold most of the memory. Only
      // this direction's scan is running.
      c_.clear_side(c_.fwd);
      c_.clear_side(c_.rev);
      cleared_ = true;
      if (cost > limit_bytes.load(std::memory_order_relaxed)) {
        gave_up_ = true;
        return -1;
      }
    }
    const int32_t id = int32_t(side_.flags.size());
    side_.trans.resize(side_.trans.size() + c_.width, -1);
    const bool start = !reverse_ && !matched && sd.size() == 1 && sd[0] == nfa_.unanchored;
    side_.flags.push_back(
        uint8_t((matched ? kMatched : 0) | (sd.empty() ? kDead : 0) | (start ? kStart : 0)));
    side_.sctx.push_back(ctx);
    side_.acc.push_back(kAccelUnknown);
    side_.esc.push_back({});
    side_.seeds.insert(side_.seeds.end(), sd.begin(), sd.end());
    side_.off.push_back(uint32_t(side_.seeds.size()));
    side_.index.emplace(key, id);
    side_.bytes += cost;
    return id;
  }

  const Automaton& p_;
  DfaCache& c_;
  const Nfa& nfa_;
  Side& side_;
  bool reverse_;
  bool gave_up_ = false;
  bool cleared_ = false;
  size_t scanned_ = 0;
};

bool poll_stop(State& st) {
  if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
    st.status = Status::Interrupted;
    return true;
  }
  return false;
}

// next_start() for a needle with StartSet::ends: occurrences without a
// suffix in reach are passed over. Out of line, so that the scan loops
// that inline next_start keep their shape.
template <class U>
[[gnu::noinline]] size_t next_start_near_ends(State& st, const U* text, size_t i, size_t stop,
                                              const StartSet& ss) {
  const Prefilter* pf = ss.needle;
  for (;;) {
    const size_t q = find_narrowed(
        st, text, i, stop, pf->narrowable(),
        [&](const auto* u, size_t a, size_t b) { return pf->find_before(u, st.n, a, b); });
    if (q >= stop) return stop;
    const size_t a = q + ss.ends_from;
    const size_t b = std::min(q + ss.ends_to + 1, st.n);
    if (a < b && find_narrowed(st, text, a, b, ss.ends->narrowable(),
                               [&](const auto* u, size_t x, size_t y) {
                                 return ss.ends->find_before(u, st.n, x, y);
                               }) < b) {
      return q;
    }
    i = q + 1;
  }
}

// Next index in [i, stop) whose code point can begin a match, or stop.
template <class U>
size_t next_start(State& st, const U* text, size_t i, size_t stop, const StartSet& ss) {
  if (ss.lines) {
    if (i == 0 || text[i - 1] == U('\n')) return i;
    const size_t q = simd::find_unit(text, i, stop, U('\n'));
    return q < stop ? q + 1 : stop;
  }
  if (ss.run.k >= 2) return simd::find_run(text, i, stop, st.n, ss.run);
  if (const Prefilter* pf = ss.needle) {
    if (ss.ends != nullptr) return next_start_near_ends(st, text, i, stop, ss);
    const size_t q = find_narrowed(
        st, text, i, stop, pf->narrowable(),
        [&](const auto* u, size_t a, size_t b) { return pf->find_before(u, st.n, a, b); });
    return q < stop ? q : stop;
  }
  if (ss.only >= 0) return simd::find_unit(text, i, stop, U(ss.only));
  if (ss.range_lo >= 0) {
    return simd::find_range(text, i, stop, U(ss.range_lo), ss.range_top<U>());
  }
  if (ss.few > 0) {
    const std::array<U, 4> u = {U(ss.units[0]), U(ss.units[1]), U(ss.units[2]), U(ss.units[3])};
    return simd::find_any4(text, i, stop, u);
  }
  // Code points above 255 go to the first code point's test where there is
  // one: in the text's own units only (a narrow copy's 0xFF is read as
  // U+00FF, where ss.lo answers for every code point from 0xFF up).
  const OneChar* first = sizeof(U) > 1 ? ss.first : nullptr;
  for (; i < stop; ++i) {
    const uint32_t c = text[i];
    if (c < 256 ? ss.lo[c] : ss.high && (first == nullptr || first->accepts(c))) return i;
  }
  return stop;
}

// The code point at i of a scan's units. In a narrow copy read with
// escapes (Esc), 0xFF stands for any code point from 0xFF up: the text
// tells which.
template <bool Esc, class U>
char32_t code_at(const State& st, const U* text, size_t i) {
  if constexpr (Esc) {
    if (text[i] == 0xFF) return st.text.at(i);
  }
  return char32_t(text[i]);
}

template <class U, bool Esc = false>
Dfa::Outcome forward(const Automaton& p, DfaCache& c, State& st, const U* text, size_t s,
                     bool anchored, bool earliest, size_t& end, const StartSet* ss,
                     size_t last = kNoPos, size_t* resume = nullptr) {
  const size_t n = st.n;
  Runner run(p, c, false);
  auto ctx_before = [&](size_t i) -> int {
    if (p.ctx_mask == 0) return 0;  // no assertion reads it
    if (i == 0) return kEdge;
    const int32_t k = run.classify(code_at<Esc>(st, text, i - 1), i - 1, n);
    return k < 0 ? -1 : c.ctx[size_t(k)];
  };
  if (resume) *resume = kNoPos;
  const int ctx0 = ctx_before(s);
  if (ctx0 < 0) return Dfa::Outcome::GaveUp;
  int32_t cur = run.start_state(uint8_t(ctx0), anchored);
  if (cur < 0) return Dfa::Outcome::GaveUp;
  bool accel = ss && !anchored;
  // Where skips switched off by a verdict come back, or kNoPos.
  size_t retry_at = kNoPos;
  if (accel && c.skip_off > 0) {
    accel = false;
    retry_at = s + c.skip_off;
  }
  // A window of starts: the restart state past `last` ends the scan.
  const bool window = last != kNoPos && !anchored;
  // The flags that stop the plain step: a match, the dead state, a loop to
  // scan through, and with `accel` or a window the restart state, whose
  // skip (or the window's end) comes before the next step.
  uint8_t special = uint8_t(kMatched | kDead | kAccel | (accel || window ? kStart : 0));
  bool skip = accel && (c.fwd.flags[size_t(cur)] & kStart);
  bool found = false;
  // With a window, the restart state past `last` ends the scan: no thread
  // lives before that position, which is where the caller resumes.
  const size_t win_end = window ? last : kNoPos;
  size_t i = s;
  // The tally and the units left without skips go on from the previous
  // calls and back to the cache on every return.
  size_t skips = c.skips, skipped = c.skipped;
  struct Keep {
    DfaCache& c;
    size_t& skips;
    size_t& skipped;
    const size_t& retry_at;
    const size_t& i;
    ~Keep() {
      c.skips = skips;
      c.skipped = skipped;
      c.skip_off = retry_at != kNoPos && retry_at > i ? retry_at - i : 0;
    }
  } keep{c, skips, skipped, retry_at, i};
  // A set of literals is a costly search per skip; one literal is a
  // memchr and a check, as cheap as a skip to a start character.
  const bool needle = ss && ss->needle && ss->needle->needle().lits.size() > 1;
  const size_t skip_probe = needle ? kNeedleSkipProbe : kSkipProbe;
  const size_t skip_min = needle ? kNeedleSkipMin : kSkipMin;
  size_t jumps = 0, jumped = 0;
  const uint16_t* low = p.low.data();
  const size_t w = c.width;
  size_t row = size_t(cur) * w;  // the current state's row offset
  size_t slice = kFirstSlice;
  while (i < n) {
    const size_t slice_end = n - i > slice ? i + slice : n;
    size_t stop = std::min(slice_end, retry_at);
    slice = kScanSlice;
    const size_t from = i;
    const int32_t* trans = c.fwd.trans.data();
    for (; i < stop; ++i) {
      if (skip) {
        // Only the restart thread is alive: skip what cannot begin a match.
        skip = false;
        const size_t j = next_start(st, text, i, stop, *ss);
        skipped += j - i;
        st.skipped += j - i;
        if (++skips == skip_probe) {
          if (skipped < skip_probe * skip_min) {
            accel = false;
            if (!window) special &= uint8_t(~kStart);
            retry_at = j + (kSkipRetry << c.retry_shift);
            stop = std::min(stop, retry_at);
            c.retry_shift = std::min(c.retry_shift + 1, kMaxRetryShift);
          } else {
            c.retry_shift = 0;
          }
          skips = skipped = 0;
        }
        if (j > win_end && !found) {
          st.steps += j - from;
          if (resume) *resume = j;
          return Dfa::Outcome::NotFound;
        }
        if (j != i) {
          i = j;
          const int cx = ctx_before(i);
          if (cx < 0) return Dfa::Outcome::GaveUp;
          const int32_t id = run.start_state(uint8_t(cx), false);
          if (id < 0) return Dfa::Outcome::GaveUp;
          row = size_t(id) * w;
          trans = c.fwd.trans.data();
          if (i == stop) break;
        }
      }
      const uint32_t ch = text[i];
      int32_t k;
      if (ch < (Esc ? 0xFF : 256) && ch != '\n') {
        k = low[ch];
      } else {
        k = run.classify(code_at<Esc>(st, text, i), i, n);
        if (k < 0) return Dfa::Outcome::GaveUp;
      }
      int32_t nx = trans[row + size_t(k)];
      if (nx < 0) {
        const int32_t id = run.step(int32_t(row / w), uint32_t(k), i - s);
        if (id < 0) return Dfa::Outcome::GaveUp;
        trans = c.fwd.trans.data();
        nx = run.entry(id);
      }
      row = row_of(nx);
      const uint8_t f = flags_of(nx) & special;
      if (f) {
        if (f & kMatched) {
          found = true;
          end = i;
          if (earliest) break;
        }
        if (f & kDead) break;
        if (f & kStart) {
          if (i + 1 > win_end && !found) {
            st.steps += i + 1 - from;
            if (resume) *resume = i + 1;
            return Dfa::Outcome::NotFound;
          }
          skip = accel;
        }
        if (f & kAccel) {
          // A loop: every code point up to its next escape keeps the state
          // (and each is a match's end if this one was).
          const size_t id = row / w;
          const size_t j = c.fwd.esc[id].find(text, i + 1, stop);
          if (j > i + 1) {
            if (f & kMatched) end = j - 1;
            jumped += j - i - 1;
            i = j - 1;
          }
          // Jumps too short to pay for the call end them for this scan.
          if (++jumps == kSkipProbe) {
            if (jumped < kSkipProbe * kJumpMin) special &= uint8_t(~kAccel);
            jumps = jumped = 0;
          }
        }
      }
    }
    st.steps += i - from;
    if (i < stop) return found ? Dfa::Outcome::Found : Dfa::Outcome::NotFound;
    if (i == retry_at) {
      retry_at = kNoPos;
      accel = true;
      special |= kStart;
      skip = (c.fwd.flags[row / w] & kStart) != 0;
      if (i < slice_end) continue;
    }
    if (i < n && poll_stop(st)) return Dfa::Outcome::Stopped;
  }
  const int32_t nx = run.next(int32_t(row / w), p.eot, n - s);
  if (nx < 0) return Dfa::Outcome::GaveUp;
  st.steps += 1;
  if (c.fwd.flags[size_t(nx)] & kMatched) {
    found = true;
    end = n;
  }
  return found ? Dfa::Outcome::Found : Dfa::Outcome::NotFound;
}

template <class U, bool Esc = false>
Dfa::Outcome backward(const Automaton& p, DfaCache& c, State& st, const U* text, size_t lo,
                      size_t e, size_t& start) {
  const size_t n = st.n;
  Runner run(p, c, true);
  uint8_t ctx0 = kEdge;
  if (e < n) {
    const int32_t k = run.classify(code_at<Esc>(st, text, e), e, n);
    if (k < 0) return Dfa::Outcome::GaveUp;
    ctx0 = c.ctx[size_t(k)];
  }
  int32_t cur = run.start_state(ctx0, true);
  if (cur < 0) return Dfa::Outcome::GaveUp;
  bool found = false;
  const uint16_t* low = p.low.data();
  const size_t w = c.width;
  size_t row = size_t(cur) * w;  // the current state's row offset
  size_t i = e;                  // the position the current state stands at
  size_t slice = kFirstSlice;
  while (i > lo) {
    const size_t stop = i - lo > slice ? i - slice : lo;
    slice = kScanSlice;
    const size_t from = i;
    const int32_t* trans = c.rev.trans.data();
    for (; i > stop; --i) {
      const uint32_t ch = text[i - 1];
      int32_t k;
      if (ch < (Esc ? 0xFF : 256) && ch != '\n') {
        k = low[ch];
      } else {
        k = run.classify(code_at<Esc>(st, text, i - 1), i - 1, n);
        if (k < 0) return Dfa::Outcome::GaveUp;
      }
      int32_t nx = trans[row + size_t(k)];
      if (nx < 0) {
        const int32_t id = run.step(int32_t(row / w), uint32_t(k), e - i);
        if (id < 0) return Dfa::Outcome::GaveUp;
        trans = c.rev.trans.data();
        nx = run.entry(id);
      }
      row = row_of(nx);
      const uint8_t f = flags_of(nx);
      if (f) {
        if (f & kMatched) {
          found = true;
          start = i;
        }
        if (f & kDead) break;
      }
    }
    st.steps += from - i;
    if (i > stop) return found ? Dfa::Outcome::Found : Dfa::Outcome::NotFound;
    if (i > lo && poll_stop(st)) return Dfa::Outcome::Stopped;
  }
  // At the limit: whether a match reaches back to lo, seen by a transition on
  // the character before it (or the text's start).
  uint32_t k = p.eot;
  if (lo > 0) {
    const int32_t kk = run.classify(code_at<Esc>(st, text, lo - 1), lo - 1, n);
    if (kk < 0) return Dfa::Outcome::GaveUp;
    k = uint32_t(kk);
  }
  const int32_t nx = run.next(int32_t(row / w), k, e - lo);
  if (nx < 0) return Dfa::Outcome::GaveUp;
  st.steps += 1;
  if (c.rev.flags[size_t(nx)] & kMatched) {
    found = true;
    start = lo;
  }
  return found ? Dfa::Outcome::Found : Dfa::Outcome::NotFound;
}

}  // namespace

void StartSet::summarise() {
  only = range_lo = range_hi = -1;
  few = 0;
  if (high) {
    // Every code point from some c up (`[^\x00-\x7F]`): one range too.
    int first = 0xFF;
    while (first > 0 && lo[first - 1]) --first;
    if (!lo[0xFF]) return;
    for (int c = 0; c < first; ++c) {
      if (lo[c]) return;
    }
    range_lo = first;
    range_hi = kRangeTop;
    return;
  }
  int first = -1, last = -1, count = 0;
  for (int c = 0; c < 256; ++c) {
    if (!lo[c]) continue;
    if (first < 0) first = c;
    last = c;
    if (count < 4) units[size_t(count)] = uint8_t(c);
    ++count;
  }
  if (count == 0) return;
  if (count == 1) {
    only = first;
  } else if (last - first + 1 == count) {
    range_lo = first;
    range_hi = last;
  } else if (count <= 4) {
    few = count;
    for (int k = count; k < 4; ++k) units[size_t(k)] = units[0];
  }
}

Dfa::~Dfa() = default;

std::unique_ptr<const Dfa> Dfa::build(const Node& root) {
  std::unique_ptr<Automaton> prog = build_automaton(root, true, false);
  if (!prog) return nullptr;
  std::unique_ptr<Dfa> d(new Dfa());
  d->prog_ = std::move(prog);
  d->id_ = next_id.fetch_add(1, std::memory_order_relaxed);
  return d;
}

std::unique_ptr<const Dfa> Dfa::build_prefixes(const Node& root) {
  std::unique_ptr<Automaton> prog = build_automaton(root, true, false);
  if (!prog) return nullptr;
  // Enter the reverse NFA at every test of the pattern (not the unanchored
  // loop's, which follows it): reading back from e, each is where a thread
  // that consumed the character before e may stand.
  Nfa& rev = prog->rev;
  const uint32_t loop_test = rev.code[rev.unanchored].y;
  constexpr uint32_t kNone = ~uint32_t{0};
  uint32_t entry = kNone;
  for (uint32_t i = 0; i < loop_test; ++i) {
    if (rev.code[i].op != NOp::Test) continue;
    if (entry == kNone) {
      entry = i;
      continue;
    }
    NInst in;
    in.op = NOp::Split;
    in.x = i;
    in.y = entry;
    rev.code.push_back(in);
    entry = uint32_t(rev.code.size() - 1);
  }
  if (entry == kNone) return nullptr;
  rev.start = entry;
  std::unique_ptr<Dfa> d(new Dfa());
  d->prog_ = std::move(prog);
  d->id_ = next_id.fetch_add(1, std::memory_order_relaxed);
  return d;
}

namespace {

// A wide text's narrow copy when a scan may read it instead of the text.
// The start set must take 0xFF wherever it takes the code points above it.
// Where the automaton puts 0xFF and every code point above it in one class,
// the copy is read as it is; where it tells them apart but 0xFF is rare in
// the copy, it is read with escapes (code_at). The copy is a quarter or
// half the bytes, and it is what the literal scans read, so what a scan
// verifies near their hits is already in the cache.
struct NarrowRead {
  const uint8_t* units = nullptr;
  bool esc = false;
};

NarrowRead narrow_read(const Automaton& p, const State& st, const StartSet* ss) {
  NarrowCopy* nc = st.text.narrow;
  if (st.text.width == 1 || nc == nullptr) return {};
  // The run scan is vectorised over bytes only: a walk's copy is worth
  // building for it, as for a literal scan (find_narrowed).
  if (nc->units == nullptr && nc->build != nullptr && ss != nullptr && ss->run.k >= 2) {
    auto* build = std::exchange(nc->build, nullptr);
    build(nc->owner);
  }
  if (nc->units == nullptr) return {};
  if (ss != nullptr && ss->high && !ss->lo[0xFF]) return {};
  // The skips search the units the scan reads: a literal with a code point
  // from 0xFF up is not in the copy.
  if (ss != nullptr &&
      ((ss->needle && !ss->needle->narrowable()) || (ss->ends && !ss->ends->narrowable()))) {
    return {};
  }
  if (p.narrow_alike) return {nc->units, false};
  if (sparse_high(*nc, st.text.n)) return {nc->units, true};
  return {};
}

// Calls f(units, esc) with the units a scan reads: the narrow copy, with
// escapes when esc (a std::bool_constant) holds, or the text's own.
template <class F>
decltype(auto) with_scan_units(const Automaton& p, const State& st, const StartSet* ss, F&& f) {
  const NarrowRead nr = narrow_read(p, st, ss);
  if (nr.esc) return f(nr.units, std::true_type{});
  if (nr.units) return f(nr.units, std::false_type{});
  return with_units(st.text, [&](const auto* text) { return f(text, std::false_type{}); });
}

template <class P>
using UnitOf = std::remove_cvref_t<decltype(*std::declval<P>())>;

}  // namespace

Dfa::Outcome Dfa::find_end(State& st, size_t s, bool anchored, bool earliest, size_t& end,
                           const StartSet* starts) const {
  CacheLease lease(*prog_, id_);
  return with_scan_units(*prog_, st, starts, [&](const auto* text, auto esc) {
    return forward<UnitOf<decltype(text)>, decltype(esc)::value>(*prog_, *lease, st, text, s,
                                                                 anchored, earliest, end, starts);
  });
}

Dfa::Outcome Dfa::find_span(State& st, size_t s, bool anchored, size_t& start, size_t& end,
                            const StartSet* starts) const {
  return span(st, s, anchored, kNoPos, start, end, starts);
}

Dfa::Outcome Dfa::find_span_within(State& st, size_t s, size_t last, size_t& start, size_t& end,
                                   const StartSet* starts) const {
  return span(st, s, false, last, start, end, starts);
}

Dfa::Outcome Dfa::span(State& st, size_t s, bool anchored, size_t last, size_t& start, size_t& end,
                       const StartSet* starts) const {
  CacheLease lease(*prog_, id_);
  return with_scan_units(*prog_, st, starts, [&](const auto* text, auto esc) {
    using U = UnitOf<decltype(text)>;
    const Outcome o = forward<U, decltype(esc)::value>(*prog_, *lease, st, text, s, anchored, false,
                                                       end, starts, last, &start);
    if (o != Outcome::Found) return o;
    const Outcome r = backward<U, decltype(esc)::value>(*prog_, *lease, st, text, s, end, start);
    // A match the forward scan saw has a start: NotFound would be a fault.
    return r == Outcome::NotFound ? Outcome::GaveUp : r;
  });
}

Dfa::Outcome Dfa::find_start(State& st, size_t lo, size_t e, size_t& start) const {
  CacheLease lease(*prog_, id_);
  return with_scan_units(*prog_, st, nullptr, [&](const auto* text, auto esc) {
    return backward<UnitOf<decltype(text)>, decltype(esc)::value>(*prog_, *lease, st, text, lo, e,
                                                                  start);
  });
}

size_t dfa_cache_limit() {
  return limit_bytes.load(std::memory_order_relaxed);
}
void set_dfa_cache_limit(size_t bytes) {
  limit_bytes.store(bytes, std::memory_order_relaxed);
}

}  // namespace kordal
