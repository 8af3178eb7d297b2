// The backtracking VM (see backtracker.hpp for the scheme).
//
// Frames on the backtrack stack are runs of 64-bit words with a header word on
// top: the frame kind in the low byte and an instruction index (or, for a
// register log, the register) in the high half. Failure reads the header of
// the top frame and acts on its kind; most kinds pop themselves, loop frames
// stay while they have alternatives left.
//
// The memo. Without back references, lookaround and atomic groups, whether
// the rest of the match succeeds from a point depends on the instruction, the
// position and the repetition counts in play, never on the captures or the
// start. The program gives memo slots to the entries of repetitions, the
// RepTails, the joins of branches (checked at their jumps) and loops; inside
// one counted repetition the key adds its count register, and inside two of
// them or a straight loop's body nothing is keyed. An unbounded loop is keyed
// by its position once its minimum is met, where more iterations no longer
// change anything: a greedy loop's scan stops at the first position an
// earlier visit covered, since every longer run and every exit from it were
// tried then. A state is recorded on its first visit. Exploring it either
// ends the search with a match or fails as a whole, so a second visit can
// only fail: it is not explored again. It cannot come back while the first
// visit is still being explored, because every cycle of such a program
// consumes a code point. Priority order and the captures of the first
// successful path are those of the search without memo, which differs only
// in skipping subtrees that fail. The records hold for every later start of
// the same search (same end condition, starts increasing) but not past a
// match: the next run after a success starts afresh.
//
// Cost: a search memoises once its steps exceed kMemoFactor times the text
// it has covered plus kMemoSlack (weighed every kMemoCheckEvery steps until
// then), so short and linear searches never touch the bitmap; from then on each state is explored
// once, and the search costs O(program size x text reached) steps. The bitmap holds memo_slots bits
// per position, from the start of the run in which it began, up to memo_cap() bytes; positions
// beyond it go unrecorded (the search without memo) until later starts let the window slide
// forward.
#include "backtracker.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>

#include "state.hpp"

namespace kordal {
namespace {

constexpr uint64_t kMemoFactor = 8;
constexpr uint64_t kMemoSlack = 512;
constexpr size_t kChunk = size_t(1) << 16;  // characters scanned between step counts

enum Kind : uint8_t {
  kChoice,    // [pos][mark][H]: resume at H's instruction
  kReg,       // [old][H]: restore register H.pc, keep failing
  kBarrier,   // [H]: start of an atomic group, keep failing
  kAhead,     // [pos][mark][H]: lookahead whose child is running
  kBehind,    // [p][mark][s][lo][H]: lookbehind trying start s, down to lo
  kLoop1G,    // [entry][count][mark][H]: greedy single-character loop, gives back
  kLoop1L,    // [entry][count][mark][H]: lazy single-character loop, extends
  kLoopRun,   // [entry][count][mark][W][H]: straight loop, body running
  kLoopWait,  // [entry][count][mark][W][H]: straight loop, rest of the pattern running
};

constexpr uint64_t header(Kind k, uint32_t pc) {
  return uint64_t(pc) << 32 | k;
}
constexpr Kind kind_of(uint64_t h) {
  return Kind(h & 0xff);
}
constexpr uint32_t pc_of(uint64_t h) {
  return uint32_t(h >> 32);
}

std::atomic<size_t> cap_bytes{kDefaultBacktrackCap};
std::atomic<MemoMode> memo_setting{MemoMode::Auto};
std::atomic<size_t> memo_cap_bytes{kDefaultMemoCap};

inline bool test_char(const CharTest& t, uint32_t c) {
  return c < 256 ? t.accepts_low(c) : t.accepts_high(c);
}

template <class U>
inline bool rep_accepts(const Program& p, const RepInfo& r, U c) {
  return r.exact ? uint32_t(c) == uint32_t(r.ch) : test_char(p.tests[r.test], uint32_t(c));
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t load8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
// Whether some byte of w is zero (exact).
inline bool has_zero(uint64_t w) {
  return ((w - kOnes) & ~w & kHighs) != 0;
}

// First i in [from, to) with s[i] != c, or `to`; eight bytes at a time.
inline size_t span_byte(const uint8_t* s, size_t from, size_t to, uint8_t c) {
  const uint64_t pat = kOnes * c;
  while (to - from >= 8 && load8(s + from) == pat) from += 8;
  while (from < to && s[from] == c) ++from;
  return from;
}

// Last i in [lo, hi) with s[i] == c, or SIZE_MAX.
inline size_t rfind_byte(const uint8_t* s, size_t lo, size_t hi, uint8_t c) {
  const uint64_t pat = kOnes * c;
  while (hi - lo >= 8 && !has_zero(load8(s + hi - 8) ^ pat)) hi -= 8;
  while (hi > lo) {
    if (s[--hi] == c) return hi;
  }
  return SIZE_MAX;
}

// First i in [from, to) with s[i] == c, or `to`.
template <class U>
inline size_t find_unit(const U* s, size_t from, size_t to, uint32_t c) {
  if constexpr (sizeof(U) == 1) {
    if (c > 0xff) return to;
    const void* hit = std::memchr(s + from, int(c), to - from);
    return hit ? size_t(static_cast<const U*>(hit) - s) : to;
  } else {
    while (from < to && uint32_t(s[from]) != c) ++from;
    return from;
  }
}

// The first index in [i, to) whose unit the loop's test rejects, or `to`,
// for a run that goes on past two units: eight units at a time while they
// are below 256, their bits looked up in the loop's byte table without a
// branch and the first rejected one counted to, so a run of uneven length
// (a word) does not end in a mispredicted loop exit; wider code points unit
// by unit. Kept out of line so that scan_raw, which most short runs leave
// before calling it, stays small enough to inline.
template <class U>
[[gnu::noinline]] size_t scan_blocks(const Program& p, const RepInfo& r, const U* text, size_t i,
                                     size_t to) {
  const CharTest& t = p.tests[r.test];
  const uint8_t* row = p.unit_tables[r.table].data();
  while (to - i >= 8 && uint32_t(text[i]) < 256) {
    uint32_t bits = 0, high = 0;
    for (unsigned k = 0; k < 8; ++k) {
      const uint32_t c = text[i + k];
      high |= c >> 8;
      bits |= uint32_t(row[c & 0xff]) << k;
    }
    if (high) break;
    if (bits != 0xff) return i + size_t(std::countr_zero(~bits));
    i += 8;
  }
  while (i < to && test_char(t, uint32_t(text[i]))) ++i;
  return i;
}

// How many code points from `from` (at most `cap`) the loop's test accepts.
template <class U>
size_t scan_raw(const Program& p, const RepInfo& r, const U* text, size_t from, size_t cap) {
  const size_t to = from + cap;
  if (r.exact) {
    if constexpr (sizeof(U) == 1) {
      if (r.ch > 0xff) return 0;
      return span_byte(text, from, to, uint8_t(r.ch)) - from;
    }
    size_t i = from;
    while (i < to && uint32_t(text[i]) == uint32_t(r.ch)) ++i;
    return i - from;
  }
  const CharTest& t = p.tests[r.test];
  switch (t.shape) {
    case CharTest::Shape::All:
      return cap;
    case CharTest::Shape::NotNewline:
      return find_unit(text, from, to, '\n') - from;
    case CharTest::Shape::General:
      break;
  }
  // The first two units one at a time: runs of one code point (a space)
  // end there, predictably. Longer runs of units below 256 go by blocks.
  size_t i = from;
  for (int k = 0; k < 2; ++k) {
    if (i == to || !test_char(t, uint32_t(text[i]))) return i - from;
    ++i;
  }
  if (to - i >= 8 && uint32_t(text[i]) < 256) return scan_blocks(p, r, text, i, to) - from;
  while (i < to && test_char(t, uint32_t(text[i]))) ++i;
  return i - from;
}

// Last i in [lo, hi) with text[i] == c, or SIZE_MAX.
template <class U>
size_t rfind_unit(const U* text, size_t lo, size_t hi, uint32_t c) {
  if constexpr (sizeof(U) == 1) {
    return c > 0xff ? SIZE_MAX : rfind_byte(text, lo, hi, uint8_t(c));
  } else {
    while (hi > lo) {
      if (uint32_t(text[--hi]) == c) return hi;
    }
    return SIZE_MAX;
  }
}

// Last i in [lo, hi) whose code point passes t, or SIZE_MAX.
template <class U>
size_t rfind_test(const U* text, size_t lo, size_t hi, const CharTest& t) {
  while (hi > lo) {
    if (test_char(t, uint32_t(text[--hi]))) return hi;
  }
  return SIZE_MAX;
}

// Steps charged for scanning k code points in a fast loop.
inline uint32_t scan_steps(size_t k) {
  return uint32_t(1 + (k < (size_t(1) << 30) ? k : size_t(1) << 30) / 16);
}

inline bool is_word_at(const auto* text, size_t i, bool ascii) {
  return word_char(char32_t(text[i]), ascii);
}

}  // namespace

size_t backtrack_cap() {
  return cap_bytes.load(std::memory_order_relaxed);
}
void set_backtrack_cap(size_t bytes) {
  cap_bytes.store(bytes, std::memory_order_relaxed);
}
MemoMode memo_mode() {
  return memo_setting.load(std::memory_order_relaxed);
}
void set_memo_mode(MemoMode mode) {
  memo_setting.store(mode, std::memory_order_relaxed);
}
size_t memo_cap() {
  return memo_cap_bytes.load(std::memory_order_relaxed);
}
void set_memo_cap(size_t bytes) {
  memo_cap_bytes.store(bytes, std::memory_order_relaxed);
}

// What a thread keeps between searches: a larger stack or memo is freed.
constexpr size_t kKeepVmWords = size_t(1) << 17;    // the backtrack stack (1 MiB)
constexpr size_t kKeepMemoWords = size_t(1) << 17;  // the memo bitmap (1 MiB)

void VmCache::trim() {
  if (words > kKeepVmWords) {
    stack.reset();
    words = 0;
  }
  if (memo.capacity() > kKeepMemoWords) std::vector<uint64_t>().swap(memo);
}

bool Backtracker::grow(size_t live, size_t need, State& st) {
  const size_t limit = backtrack_cap() / sizeof(uint64_t);
  if (need > limit) {
    st.status = Status::TooDeep;
    return false;
  }
  VmCache& vm = cache();
  if (vm.words < need) {
    size_t size = vm.words < 2 * kInlineWords ? 2 * kInlineWords : vm.words * 2;
    if (size < need) size = need;
    if (size > limit) size = limit;
    // Only the words below `live` are copied; the rest stays uninitialised.
    std::unique_ptr<uint64_t[]> bigger(new uint64_t[size]);
    if (live) std::memcpy(bigger.get(), stack_, live * sizeof(uint64_t));
    vm.stack = std::move(bigger);
    vm.words = size;
  } else if (live && stack_ != vm.stack.get()) {
    std::memcpy(vm.stack.get(), stack_, live * sizeof(uint64_t));
  }
  stack_ = vm.stack.get();
  words_ = vm.words;
  return true;
}

inline bool Backtracker::tick(uint32_t k, State& st, size_t pos) {
  steps_ += k;
  st.steps += k;
  return steps_ < check_every_ || poll(st, pos);
}

inline bool Backtracker::covers(size_t at) {
  return at - memo_base_ < memo_width_ || widen(at);
}

inline bool Backtracker::seen(uint32_t slot, size_t at) {
  if (!covers(at)) return false;
  const size_t bit = (at - memo_base_) * prog_.memo_slots + slot;
  uint64_t& w = vm_->memo[bit >> 6];
  const uint64_t mask = uint64_t(1) << (bit & 63);
  if (w & mask) return true;
  w |= mask;
  return false;
}

bool Backtracker::poll(State& st, size_t pos) {
  since_poll_ += steps_;
  steps_ = 0;
  if (pos > reach_) reach_ = pos;
  if (run_budget_ != 0 && st.steps - steps_at_run_ > run_budget_) {
    // States entered on the way were not fully explored: drop the memo.
    abandoned_ = true;
    memo_state_ = nullptr;
    return false;
  }
  if (memo_allowed_ && !memo_) {
    const size_t covered = (reach_ > run_start_ ? reach_ : run_start_) - first_start_ + 1;
    if (st.steps - steps_at_first_ > kMemoFactor * covered + kMemoSlack) start_memo();
  }
  check_every_ = memo_allowed_ && !memo_ ? kMemoCheckEvery : kPollEvery;
  if (since_poll_ < kPollEvery) return true;
  since_poll_ = 0;
  if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
    st.status = Status::Interrupted;
    return false;
  }
  return true;
}

void Backtracker::begin_search(State& st, bool to_end) {
  const size_t s = st.pos;
  run_start_ = s;
  memo_state_ = &st;
  memo_to_end_ = to_end;
  first_start_ = s;
  low_start_ = s;
  reach_ = s;
  steps_at_first_ = st.steps;
  memo_ = false;
  const MemoMode mode = memo_mode();
  // Partial matching records candidates on paths that fail.
  memo_allowed_ = prog_.memo_slots > 0 && !st.partial && mode != MemoMode::Never;
  check_every_ = memo_allowed_ ? kMemoCheckEvery : kPollEvery;
  if (memo_allowed_ && mode == MemoMode::Always) start_memo();
}

void Backtracker::start_memo() {
  memo_ = true;
  memo_base_ = run_start_;
  low_start_ = memo_base_;
  memo_width_ = 0;
  cache().memo.clear();
}

bool Backtracker::widen(size_t at) {
  if (at < memo_base_) return false;
  const size_t m = prog_.memo_slots;
  const size_t cap = memo_cap() * 8 / m;  // positions
  std::vector<uint64_t>& bits = cache().memo;
  size_t off = at - memo_base_;
  if (off >= cap) {
    // No run reaches below its start: slide past the positions before the
    // current one, by a multiple of 64 so rows stay word-aligned, and only
    // by half the window or more so the copying stays linear overall.
    const size_t d = (run_start_ - memo_base_) & ~size_t(63);
    if (d < cap / 2 || off - d >= cap) return false;
    if (d >= memo_width_) {
      bits.clear();
      memo_width_ = 0;
    } else {
      const size_t dw = d * m / 64;
      std::memmove(bits.data(), bits.data() + dw, (bits.size() - dw) * sizeof(uint64_t));
      std::fill(bits.end() - ptrdiff_t(dw), bits.end(), 0);
      memo_width_ -= d;
    }
    memo_base_ += d;
    low_start_ = memo_base_;
    off -= d;
    if (off < memo_width_) return true;
  }
  size_t width = memo_width_ * 2;
  if (width < 1024) width = 1024;
  if (cap == 0) return false;
  if (width <= off) width = off + 1;
  if (width > cap) width = cap;
  try {
    bits.resize((width * m + 63) / 64, 0);
  } catch (const std::bad_alloc&) {
    return false;  // the search goes on without recording
  }
  memo_width_ = width;
  return true;
}

bool Backtracker::leads_with_loop(const Program& p) {
  if (p.code.empty() || p.code[0].op != Op::Loop1) return false;
  const RepInfo& r = p.reps[p.code[0].a];
  return r.greedy && r.max == kNone;
}

size_t Backtracker::lead_run_end(const Program& p, const State& st, size_t s) {
  if (!leads_with_loop(p) || s > st.n) return kUnset;
  const RepInfo& r = p.reps[p.code[0].a];
  return with_units(st.text,
                    [&](const auto* text) { return s + scan_raw(p, r, text, s, st.n - s); });
}

bool Backtracker::run(State& st, bool to_end, uint32_t entry) {
  return with_units(st.text, [&](const auto* p) { return run_text(st, p, st.n, to_end, entry); });
}

bool Backtracker::run_starts(State& st, size_t last, const bool* lo, bool high, bool doubled) {
  starts_ = true;
  starts_last_ = last;
  starts_lo_ = lo;
  starts_high_ = high;
  starts_doubled_ = doubled;
  next_start_ = st.pos + 1;
  const bool ok = run(st, false, 0);
  starts_ = false;
  return ok;
}

template <class U>
bool Backtracker::run_text(State& st, const U* text, const size_t n, const bool to_end,
                           const uint32_t entry) {
  if (st.status != Status::Ok) return false;
  // Runs of one search share the memo; anything else begins a new one.
  if (memo_state_ != &st || memo_to_end_ != to_end || st.pos < low_start_) {
    begin_search(st, to_end);
  }
  run_start_ = st.pos;
  abandoned_ = false;
  steps_at_run_ = st.steps;
  const Program& p = prog_;
  const Inst* code = p.code.data();
  const uint32_t* slots = p.memo_slot.data();
  const uint32_t* slot_regs = p.memo_reg.data();
  size_t* regs = inline_regs_;
  if (p.num_regs > kInlineRegs) {
    std::vector<size_t>& big = cache().regs;
    if (big.size() < p.num_regs) big.resize(p.num_regs);
    regs = big.data();
  }
  uint64_t* stk = stack_;
  size_t sp = 0;
  size_t start = st.pos;
  size_t pos = start;
  uint32_t pc = entry;
  lead_end_ = SIZE_MAX;
  lead_loop_end_ = SIZE_MAX;

  // Room for k more words on the stack; false ends the search.
  auto room = [&](size_t k) {
    if (sp + k <= words_) return true;
    if (!grow(sp, sp + k, st)) return false;
    stk = stack_;
    return true;
  };
  auto eoi = [&] {
    st.hit_end = true;
    if (st.partial) {
      st.pos = pos;
      st.record_partial_block();
    }
  };
  // A register write is logged for the frames below it; with none, the old
  // value can never be read again (registers are written before they are
  // read on every path into their node).
  auto set_reg = [&](uint32_t r, size_t v) {
    if (sp == 0) {
      regs[r] = v;
      return true;
    }
    if (!room(2)) return false;
    stk[sp] = regs[r];
    stk[sp + 1] = header(kReg, r);
    sp += 2;
    regs[r] = v;
    return true;
  };
  auto push3 = [&](Kind k, uint32_t at, uint64_t a, uint64_t b) {
    if (!room(3)) return false;
    stk[sp] = a;
    stk[sp + 1] = b;
    stk[sp + 2] = header(k, at);
    sp += 3;
    return true;
  };
  // The frame of a single-character loop at pc that can give back (greedy)
  // or take more (lazy): where it began, how far it got, the trail length.
  auto push_loop1 = [&](Kind k, size_t entry, size_t count) {
    if (!room(4)) return false;
    stk[sp] = entry;
    stk[sp + 1] = count;
    stk[sp + 2] = st.mark();
    stk[sp + 3] = header(k, pc);
    sp += 4;
    return true;
  };
  // Code points a single-character loop accepts from `from`, counting steps.
  auto scan = [&](const RepInfo& r, size_t from, size_t cap, size_t& count) {
    count = 0;
    while (count < cap) {
      const size_t m = cap - count < kChunk ? cap - count : kChunk;
      const size_t k = scan_raw(p, r, text, from + count, m);
      count += k;
      if (!tick(scan_steps(k), st, from + count)) return false;
      if (k < m) break;
    }
    return true;
  };
  // The rest of a repetition decision after `count` iterations (the head of
  // the next iteration): sets the entry register, pushes the alternative and
  // picks where to go.
  auto rep_head = [&](const RepInfo& r, size_t count) {
    if (r.reg_e != kNone && !set_reg(r.reg_e, pos)) return false;
    const bool at_max = r.max != kNone && count >= r.max;
    if (r.greedy) {
      if (at_max) {
        pc = r.exit;
        return true;
      }
      if (count >= r.min && !push3(kChoice, r.exit, pos, st.mark())) return false;
      pc = r.body;
      return true;
    }
    if (count >= r.min) {
      if (!at_max && !push3(kChoice, r.body, pos, st.mark())) return false;
      pc = r.exit;
      return true;
    }
    pc = r.body;
    return true;
  };
  // Whether the rest of the pattern after a loop fails at once at `at`: it
  // begins with a literal the text does not hold there (inside the text, so
  // nothing is recorded either).
  auto exit_fails = [&](const RepInfo& r, size_t at) {
    return r.follow != kNone && at < n && uint32_t(text[at]) != r.follow;
  };
  // The same for a rest that begins with a test.
  auto exit_test_fails = [&](const RepInfo& r, size_t at) {
    return r.follow_test != kNone && at < n && !test_char(p.tests[r.follow_test], text[at]);
  };
  // The memo key of instruction `at_pc` (which has a slot) now.
  auto key = [&](uint32_t at_pc) {
    const uint32_t r = slot_regs[at_pc];
    return slots[at_pc] + (r == kNone ? 0 : uint32_t(regs[r]));
  };
  // Whether the memo knows the state of instruction `at_pc` at `at` fails.
  auto known = [&](uint32_t at_pc, size_t at) {
    return memo_ && slots[at_pc] != kNone && seen(key(at_pc), at);
  };

dispatch:
  for (;;) {
    const Inst& in = code[pc];
    switch (in.op) {
      case Op::Match:
        if (to_end && pos != n) goto fail;
        if (pos == start && start == st.no_empty_at) goto fail;
        st.pos = pos;
        // The states on this path are recorded but did not fail.
        memo_state_ = nullptr;
        return true;
      case Op::Char:
        if (pos < n && uint32_t(text[pos]) == in.a) {
          ++pos;
          ++pc;
          continue;
        }
        if (pos >= n) eoi();
        goto fail;
      case Op::Test:
        if (pos < n && test_char(p.tests[in.a], uint32_t(text[pos]))) {
          ++pos;
          ++pc;
          continue;
        }
        if (pos >= n) eoi();
        goto fail;
      case Op::Str: {
        const std::u32string& s = p.strs[in.a];
        for (char32_t ch : s) {
          if (pos >= n) {
            eoi();
            goto fail;
          }
          const char32_t c = char32_t(text[pos]);
          if (c != ch && !(in.ignore_case() && chars_equal_ci(c, ch))) goto fail;
          ++pos;
        }
        ++pc;
        continue;
      }
      case Op::StartLine:
        if (pos == 0 || (in.multiline() && text[pos - 1] == '\n')) {
          ++pc;
          continue;
        }
        goto fail;
      case Op::EndLine:
        if (pos + 1 >= n) st.hit_end = true;
        if (pos == n || (in.multiline() ? text[pos] == '\n' : pos + 1 == n && text[pos] == '\n')) {
          ++pc;
          continue;
        }
        goto fail;
      case Op::StartText:
        if (pos != 0) goto fail;
        ++pc;
        continue;
      case Op::EndText:
        if (pos != n) goto fail;
        st.hit_end = true;
        ++pc;
        continue;
      case Op::WordB:
      case Op::WordEdge: {
        const bool ascii = in.ascii();
        const bool prev = pos > 0 && is_word_at(text, pos - 1, ascii);
        const bool cur = pos < n && is_word_at(text, pos, ascii);
        if (pos == n) st.hit_end = true;
        bool ok;
        if (in.op == Op::WordB) {
          ok = (prev != cur) != in.negated();
        } else {
          ok = in.word_end() ? (prev && !cur) : (!prev && cur);
        }
        if (!ok) goto fail;
        ++pc;
        continue;
      }
      case Op::Open:
        if (st.partial) st.open_push(in.a, pos);
        if (in.b != kNone && !set_reg(in.b, pos)) return false;
        ++pc;
        continue;
      case Op::Close: {
        const size_t s = in.fixed_width() ? pos - in.b : regs[in.b];
        if (st.partial) st.open_pop_if(in.a);
        if (in.a < st.caps().size()) st.close_group(in.a, s, pos);
        ++pc;
        continue;
      }
      case Op::Jump:
        if (known(pc, pos)) goto fail;
        pc = in.a;
        continue;
      case Op::Split:
        if (!push3(kChoice, in.a, pos, st.mark())) return false;
        ++pc;
        continue;
      case Op::RepInit: {
        const RepInfo& r = p.reps[in.a];
        if (known(pc, pos)) goto fail;
        if (r.reg_c != kNone && !set_reg(r.reg_c, 0)) return false;
        if (!rep_head(r, 0)) return false;
        continue;
      }
      case Op::RepTail: {
        const RepInfo& r = p.reps[in.a];
        // An iteration that consumed nothing ends the repetition.
        if (r.reg_e != kNone && pos == regs[r.reg_e]) {
          pc = r.exit;
          continue;
        }
        if (known(pc, pos)) goto fail;
        size_t count = 1;
        if (r.reg_c != kNone) {
          count = regs[r.reg_c] + 1;
          if (r.max == kNone && count > r.min) count = r.min;  // only compared with min
          if (!set_reg(r.reg_c, count)) return false;
        }
        if (!tick(1, st, pos)) return false;
        if (!rep_head(r, count)) return false;
        continue;
      }
      case Op::Loop1: {
        const RepInfo& r = p.reps[in.a];
        const size_t entry = pos;
        const size_t limit = r.max == kNone ? SIZE_MAX : r.max;
        const size_t avail = n - entry;
        size_t count;
        // Bounded loops are keyed on entry, unbounded ones once their
        // minimum is met.
        const bool keyed = memo_ && slots[pc] != kNone;
        if (keyed && r.max != kNone && seen(key(pc), pos)) goto fail;
        if (keyed && r.max == kNone && r.greedy) {
          if (!scan(r, entry, avail < r.min ? avail : r.min, count)) return false;
          if (count < r.min) {
            if (entry + count == n) st.hit_end = true;
            goto fail;
          }
          const size_t from = entry + count;
          const uint32_t slot = key(pc);
          if (seen(slot, from)) goto fail;
          // Extend while the next position is new to the memo; beyond the
          // memo's window, as without it.
          size_t top = from;
          size_t ticked = from;
          bool stopped = false;
          while (top < n && rep_accepts(p, r, text[top])) {
            if (!covers(top + 1)) {
              size_t more;
              if (!scan(r, top, n - top, more)) return false;
              ticked = top += more;
              break;
            }
            if (seen(slot, top + 1)) {
              stopped = true;
              break;
            }
            if (++top - ticked == kChunk) {
              if (!tick(scan_steps(kChunk), st, top)) return false;
              ticked = top;
            }
          }
          if (!tick(scan_steps(top - ticked), st, top)) return false;
          if (top == n) st.hit_end = true;
          pos = top;
          count = top - entry;
          if (pc == 0) lead_end_ = pos;
          if (pc == p.lead_loop) lead_loop_end_ = pos;
          // Short of the run's end, only giving back can let the rest start.
          if (stopped && !r.give_back) goto fail;
          if (count > r.min && r.give_back) {
            if (!push_loop1(kLoop1G, entry, count)) return false;
          }
          pc = r.exit;
          continue;
        }
        if (r.greedy) {
          if (!scan(r, entry, avail < limit ? avail : limit, count)) return false;
          pos = entry + count;
          if (pc == 0 && r.max == kNone) lead_end_ = pos;
          if (pc == p.lead_loop) lead_loop_end_ = pos;
          if (count < limit && pos == n) eoi();
          if (count < r.min) goto fail;
          if (count > r.min && r.give_back) {
            if (!push_loop1(kLoop1G, entry, count)) return false;
          }
        } else {
          const size_t want = r.min;
          if (!scan(r, entry, avail < want ? avail : want, count)) return false;
          pos = entry + count;
          if (count < want) {
            if (pos == n) eoi();
            goto fail;
          }
          if (keyed && r.max == kNone && seen(key(pc), pos)) goto fail;
          if (count < limit) {
            if (!push_loop1(kLoop1L, entry, count)) return false;
          }
        }
        pc = r.exit;
        continue;
      }
      case Op::LoopInit: {
        const RepInfo& r = p.reps[in.a];
        // An unbounded loop is keyed at LoopNext once its minimum is met.
        if (r.max == kNone) {
          if (r.min == 0 && known(r.exit - 1, pos)) goto fail;
        } else if (known(pc, pos)) {
          goto fail;
        }
        if (!room(5)) return false;
        const bool wait = !r.greedy && r.min == 0;
        stk[sp] = pos;
        stk[sp + 1] = 0;
        stk[sp + 2] = st.mark();
        stk[sp + 3] = 0;
        stk[sp + 4] = header(wait ? kLoopWait : kLoopRun, pc);
        sp += 5;
        pc = wait ? r.exit : r.body;
        continue;
      }
      case Op::LoopNext: {
        const RepInfo& r = p.reps[in.a];
        uint64_t* f = stk + sp - 5;
        const size_t count = ++f[1];
        if (count == 1) f[3] = st.mark() - f[2];
        if (!tick(1, st, pos)) return false;
        if (count >= r.min && known(pc, pos)) {
          // Every longer run and the exit here were tried before: go on with
          // the exits after fewer iterations (greedy) or fail (lazy, whose
          // frame holds only longer runs).
          if (!r.greedy || count == r.min) {
            sp -= 5;
          } else {
            f[4] = header(kLoopWait, pc);
          }
          goto fail;
        }
        const bool at_max = r.max != kNone && count >= r.max;
        if (r.greedy ? !at_max : count < r.min) {
          pc = r.body;
          continue;
        }
        if (r.greedy ? count == r.min : at_max) {
          sp -= 5;  // nothing left to try
        } else {
          f[4] = header(kLoopWait, pc);
        }
        pc = r.exit;
        continue;
      }
      case Op::AtomicBegin:
        if (!room(1)) return false;
        regs[in.a] = sp;
        stk[sp++] = header(kBarrier, pc);
        ++pc;
        continue;
      case Op::AtomicEnd:
        // The child matched: drop its alternatives, keep its captures.
        sp = regs[in.a];
        ++pc;
        continue;
      case Op::LookBegin: {
        const LookInfo& l = p.looks[in.a];
        regs[l.slot] = sp;
        if (!push3(kAhead, pc, pos, st.mark())) return false;
        pc = l.body;
        continue;
      }
      case Op::LookEnd: {
        const LookInfo& l = p.looks[in.a];
        const size_t at = regs[l.slot];
        const size_t p0 = stk[at];
        const size_t mark = stk[at + 1];
        sp = at;
        pos = p0;
        if (l.positive) {
          pc = l.after;
          continue;
        }
        st.undo_to(mark);
        goto fail;
      }
      case Op::BehindBegin: {
        const LookInfo& l = p.looks[in.a];
        const size_t p0 = pos;
        // Starts nearer than the child's least width cannot end at p0; in
        // partial mode they are still tried, since they may record.
        bool any = true;
        size_t hi = p0;
        if (!st.partial) {
          if (l.w.min > p0) {
            any = false;
          } else {
            hi = p0 - size_t(l.w.min);
          }
        }
        const size_t lo = (l.w.max != kInfWidth && l.w.max < p0) ? p0 - size_t(l.w.max) : 0;
        if (!any || hi < lo) {
          if (l.positive) goto fail;
          pc = l.after;
          continue;
        }
        if (!room(5)) return false;
        regs[l.slot] = sp;
        stk[sp] = p0;
        stk[sp + 1] = st.mark();
        stk[sp + 2] = hi;
        stk[sp + 3] = lo;
        stk[sp + 4] = header(kBehind, pc);
        sp += 5;
        pos = hi;
        pc = l.body;
        continue;
      }
      case Op::BehindEnd: {
        const LookInfo& l = p.looks[in.a];
        const size_t at = regs[l.slot];
        const size_t p0 = stk[at];
        if (pos != p0) goto fail;
        // Captures made inside a lookbehind are always discarded.
        st.undo_to(stk[at + 1]);
        sp = at;
        if (!l.positive) goto fail;
        pc = l.after;
        continue;
      }
      case Op::BackRef: {
        const size_t g = in.a;
        if (g >= st.caps().size() || !st.caps()[g].set() ||
            st.caps()[g].start == st.caps()[g].end) {
          ++pc;
          continue;
        }
        const CpSpan span = st.caps()[g];
        for (size_t i = span.start; i < span.end; ++i) {
          if (pos >= n) {
            eoi();
            goto fail;
          }
          const char32_t c = char32_t(text[pos]);
          const char32_t r = char32_t(text[i]);
          if (c != r && !(in.ignore_case() && chars_equal_ci(c, r))) goto fail;
          ++pos;
          if (((i - span.start) & (kChunk - 1)) == kChunk - 1 && !tick(uint32_t(kChunk), st, pos)) {
            return false;
          }
        }
        ++pc;
        continue;
      }
    }
    return false;  // not reached: every instruction continues or fails

  fail:
    for (;;) {
      if (sp == 0) {
        if (starts_) {
          // run_starts: on to the next start, without leaving the loop.
          const size_t next =
              lead_end_ != SIZE_MAX && lead_end_ > start ? lead_end_ + 1 : start + 1;
          next_start_ = next;
          const bool try_next =
              next <= starts_last_ &&
              (!starts_doubled_ || (next + 1 < n && text[next] == text[next + 1])) &&
              (starts_lo_ == nullptr ||
               (next < n &&
                (uint32_t(text[next]) < 256 ? starts_lo_[uint32_t(text[next])] : starts_high_)));
          if (try_next) {
            st.restart(next);
            start = pos = next;
            pc = entry;
            run_start_ = next;
            steps_at_run_ = st.steps;
            lead_end_ = SIZE_MAX;
            lead_loop_end_ = SIZE_MAX;
            if (!tick(1, st, pos)) return false;
            goto dispatch;
          }
        }
        st.pos = start;
        return false;
      }
      if (!tick(1, st, pos)) return false;
      const uint64_t h = stk[sp - 1];
      switch (kind_of(h)) {
        case kChoice:
          sp -= 3;
          st.undo_to(stk[sp + 1]);
          pos = stk[sp];
          pc = pc_of(h);
          break;
        case kReg:
          sp -= 2;
          regs[pc_of(h)] = stk[sp];
          continue;
        case kBarrier:
          sp -= 1;
          continue;
        case kAhead: {
          // The child failed.
          sp -= 3;
          st.undo_to(stk[sp + 1]);
          pos = stk[sp];
          const LookInfo& l = p.looks[code[pc_of(h)].a];
          if (l.positive) continue;
          pc = l.after;
          break;
        }
        case kBehind: {
          uint64_t* f = stk + sp - 5;
          const LookInfo& l = p.looks[code[pc_of(h)].a];
          st.undo_to(f[1]);
          if (f[2] > f[3]) {
            pos = --f[2];
            pc = l.body;
            break;
          }
          pos = f[0];
          sp -= 5;
          if (l.positive) continue;
          pc = l.after;
          break;
        }
        case kLoop1G: {
          uint64_t* f = stk + sp - 4;
          const RepInfo& r = p.reps[code[pc_of(h)].a];
          const size_t entry = f[0];
          size_t count = f[1] - 1;
          st.undo_to(f[2]);
          // Give back until the rest of the pattern can start.
          const bool unit = exit_fails(r, entry + count);
          if (unit || exit_test_fails(r, entry + count)) {
            const size_t lo = entry + r.min, hi = entry + count + 1;
            const size_t at = unit ? rfind_unit(text, lo, hi, r.follow)
                                   : rfind_test(text, lo, hi, p.tests[r.follow_test]);
            if (!tick(scan_steps(entry + count + 1 - (at == SIZE_MAX ? entry + r.min : at)), st,
                      entry + count)) {
              return false;
            }
            if (at == SIZE_MAX) {
              sp -= 4;
              continue;
            }
            count = at - entry;
          }
          if (count == r.min) {
            sp -= 4;
          } else {
            f[1] = count;
          }
          pos = entry + count;
          pc = r.exit;
          break;
        }
        case kLoop1L: {
          uint64_t* f = stk + sp - 4;
          const RepInfo& r = p.reps[code[pc_of(h)].a];
          const size_t limit = r.max == kNone ? SIZE_MAX : r.max;
          size_t count = f[1];
          pos = f[0] + count;
          st.undo_to(f[2]);
          if (pos >= n) {
            eoi();
            sp -= 4;
            continue;
          }
          if (!rep_accepts(p, r, text[pos])) {
            sp -= 4;
            continue;
          }
          ++count;
          ++pos;
          // Extend while the rest of the pattern would fail at once: to the
          // next occurrence of its literal, if the loop accepts all before it.
          if (exit_fails(r, pos)) {
            const size_t entry = f[0];
            const size_t bound = limit - count < n - pos ? pos + (limit - count) : n;
            const size_t q = find_unit(text, pos, bound, r.follow);
            const size_t ok = scan_raw(p, r, text, pos, q - pos);
            if (!tick(scan_steps(q - pos), st, q)) return false;
            if (ok < q - pos) {
              sp -= 4;
              continue;
            }
            pos = q;
            count = q - entry;
            if (exit_fails(r, pos)) {
              sp -= 4;
              continue;
            }
          }
          if (memo_ && r.max == kNone && slots[pc_of(h)] != kNone && seen(key(pc_of(h)), pos)) {
            sp -= 4;
            continue;
          }
          if (count >= limit) {
            sp -= 4;
          } else {
            f[1] = count;
          }
          pc = r.exit;
          break;
        }
        case kLoopRun: {
          // The body failed in iteration count + 1.
          uint64_t* f = stk + sp - 5;
          const RepInfo& r = p.reps[code[pc_of(h)].a];
          const size_t count = f[1];
          if (!r.greedy || count < r.min) {
            sp -= 5;
            continue;
          }
          st.undo_to(f[2] + count * f[3]);
          pos = f[0] + count * r.width;
          if (count == r.min) {
            sp -= 5;
          } else {
            f[4] = header(kLoopWait, pc_of(h));
          }
          pc = r.exit;
          break;
        }
        case kLoopWait: {
          // The rest of the pattern failed after count iterations.
          uint64_t* f = stk + sp - 5;
          const RepInfo& r = p.reps[code[pc_of(h)].a];
          size_t count = f[1];
          if (!r.greedy) {
            st.undo_to(f[2] + count * f[3]);
            pos = f[0] + count * r.width;
            f[4] = header(kLoopRun, pc_of(h));
            pc = r.body;
            break;
          }
          --count;
          const size_t before = count;
          while (count > r.min && exit_fails(r, f[0] + count * r.width)) --count;
          if (!tick(scan_steps(before - count), st, pos)) return false;
          st.undo_to(f[2] + count * f[3]);
          pos = f[0] + count * r.width;
          if (count == r.min) {
            sp -= 5;
            if (exit_fails(r, pos)) continue;
          } else {
            f[1] = count;
          }
          pc = r.exit;
          break;
        }
      }
      break;
    }
  }
}

template bool Backtracker::run_text<uint8_t>(State&, const uint8_t*, size_t, bool, uint32_t);
template bool Backtracker::run_text<uint16_t>(State&, const uint16_t*, size_t, bool, uint32_t);
template bool Backtracker::run_text<uint32_t>(State&, const uint32_t*, size_t, bool, uint32_t);

}  // namespace kordal
