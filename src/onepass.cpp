// The one-pass matcher (see onepass.hpp for the scheme).
#include "onepass.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "nfa.hpp"
#include "poll.hpp"
#include "simd.hpp"
#include "state.hpp"

namespace kordal {

namespace {

constexpr size_t kMaxTable = size_t(1) << 16;  // transitions (28 bytes each)
// Instructions visited by all closures of one build: a large pattern that
// stays one-pass for many states is refused before its build costs more
// than a search would.
constexpr size_t kMaxWork = size_t(1) << 21;
// The left context never needs kFinalNl: no assertion reads it on the left.
constexpr uint8_t kLeftBits = uint8_t(~kFinalNl);

}  // namespace

std::unique_ptr<const OnePass> OnePass::build(const Node& root, size_t group_count) {
  if (group_count >= kMaxGroups) return nullptr;
  const std::unique_ptr<Automaton> aut = build_automaton(root, false, true);
  if (!aut) return nullptr;
  const Automaton& a = *aut;
  const Nfa& nfa = a.fwd;
  std::unique_ptr<OnePass> op(new OnePass());
  op->classes_ = a.fixed;
  op->eot_ = a.eot;
  op->final_nl_ = a.final_nl;
  op->ctx_mask_ = a.ctx_mask;
  op->low_ = a.low;
  op->slots_ = 2 * (group_count + 1);
  const uint32_t C = a.fixed;

  // States by (NFA instruction, left context); discovered breadth first.
  std::map<std::pair<uint32_t, uint8_t>, int32_t> ids;
  std::vector<std::pair<uint32_t, uint8_t>> states;
  bool ok = true;
  auto intern = [&](uint32_t pc, uint8_t lctx) {
    const auto key = std::make_pair(pc, lctx);
    auto it = ids.find(key);
    if (it != ids.end()) return it->second;
    if (states.size() >= kMaxStates || (states.size() + 1) * C > kMaxTable) {
      ok = false;
      return int32_t(-1);
    }
    const int32_t id = int32_t(states.size());
    ids.emplace(key, id);
    states.push_back(key);
    return id;
  };
  op->start_.assign(32, -1);
  for (uint32_t c = 0; c < 32 && ok; ++c) {
    const uint8_t l = uint8_t(c) & a.ctx_mask & kLeftBits;
    if (l == c) op->start_[c] = intern(nfa.start, l);
  }
  for (uint32_t c = 0; c < 32; ++c) op->start_[c] = op->start_[c & a.ctx_mask & kLeftBits];

  // Closure scratch: threads (an instruction and the slots written on the
  // way to it), stacked so that the higher-priority one is on top.
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> stack;
  std::vector<uint32_t> seen(nfa.code.size(), UINT32_MAX);
  uint32_t epoch = 0;
  size_t work = 0;
  for (size_t si = 0; si < states.size() && ok; ++si) {
    const auto [from, lctx] = states[si];
    for (uint32_t k = 0; k < C && ok; ++k) {
      const uint8_t rctx = a.ctx[k];
      const uint64_t* sig = a.sig.data() + size_t(k) * a.words;
      ++epoch;
      Trans t;
      bool consumer = false;
      std::vector<uint32_t> consume_slots;
      stack.clear();
      stack.emplace_back(from, std::vector<uint32_t>{});
      // The first match ends the closure: every thread after it ranks lower.
      bool matched = false;
      while (!stack.empty() && !matched && ok) {
        const uint32_t pc = stack.back().first;
        std::vector<uint32_t> slots = std::move(stack.back().second);
        stack.pop_back();
        if (seen[pc] == epoch) continue;  // a higher-priority thread got here first
        seen[pc] = epoch;
        if (++work > kMaxWork) {
          ok = false;
          break;
        }
        const NInst& in = nfa.code[pc];
        switch (in.op) {
          case NOp::Test:
            if (k == a.eot || !((sig[in.x >> 6] >> (in.x & 63)) & 1)) break;
            if (consumer) {
              ok = false;  // two threads consume the same code point
              break;
            }
            consumer = true;
            consume_slots = std::move(slots);
            t.next = intern(in.y, rctx & kLeftBits);
            break;
          case NOp::Match:
            matched = true;
            t.flags = consumer ? kFallback : kMatchHere;
            t.match = uint32_t(op->pool_.size());
            op->pool_.insert(op->pool_.end(), slots.begin(), slots.end());
            t.match_end = uint32_t(op->pool_.size());
            break;
          case NOp::Save:
            slots.push_back(in.y);
            stack.emplace_back(in.x, std::move(slots));
            break;
          case NOp::Jump:
            stack.emplace_back(in.x, std::move(slots));
            break;
          case NOp::Split:
            stack.emplace_back(in.y, slots);
            stack.emplace_back(in.x, std::move(slots));
            break;
          case NOp::Assert:
            if (holds(in, lctx, rctx)) stack.emplace_back(in.x, std::move(slots));
            break;
        }
      }
      if (!ok) break;
      if (t.flags & kMatchHere) {
        t.next = -1;  // nothing ranks above the match
      } else if (consumer && !consume_slots.empty()) {
        t.flags |= kSaves;
        t.nsaves = uint8_t(std::min<size_t>(consume_slots.size(), 255));
        t.save[0] = uint16_t(consume_slots[0]);
        t.save[1] = uint16_t(consume_slots[consume_slots.size() > 1 ? 1 : 0]);
        t.saves = uint32_t(op->pool_.size());
        op->pool_.insert(op->pool_.end(), consume_slots.begin(), consume_slots.end());
        t.saves_end = uint32_t(op->pool_.size());
      }
      op->table_.push_back(t);
    }
  }
  if (!ok) return nullptr;
  // Code points below 256 that a state consumes without a save and stays in
  // (the body of a loop over a class): the scan passes over them in a tight
  // loop. The last code point is left to the table (it may be a final line
  // feed, which has a class of its own). A loop whose every step leaves a
  // match to fall back on (a trailing greedy loop) stays too, with the match
  // path's slots in the state's `stay_match_`. A state stays either way, not
  // both, and with the same slots for every code point: staying means the
  // code point's context is the state's, and the match path reads nothing
  // else (checked anyway; a code point that breaks it does not stay).
  op->stay_.assign(states.size() * 256, 0);
  op->stay_match_.assign(states.size(), {0, 0});
  op->stay_fallback_.assign(states.size(), 0);
  for (size_t si = 0; si < states.size(); ++si) {
    int kind = -1;  // flags of the first transition that stays
    for (uint32_t ch = 0; ch < 256; ++ch) {
      const Trans& tr = op->table_[si * C + a.low[ch]];
      if (tr.next != int32_t(si) || (tr.flags != 0 && tr.flags != kFallback)) continue;
      if (kind < 0) {
        kind = tr.flags;
        op->stay_fallback_[si] = tr.flags == kFallback;
        op->stay_match_[si] = {tr.match, tr.match_end};
      }
      const auto& l = op->stay_match_[si];
      if (tr.flags != kind ||
          !std::equal(op->pool_.begin() + tr.match, op->pool_.begin() + tr.match_end,
                      op->pool_.begin() + l.first, op->pool_.begin() + l.second)) {
        continue;
      }
      op->stay_[si * 256 + ch] = 1;
    }
  }
  // Code points above 255 alike for every test and context: the class of a
  // code point below 256 that is taken the same way.
  bool alike = !(a.ctx_mask & kUniW);
  for (const CharTest& t : a.tests) {
    alike = alike &&
            (t.high_kind == CharTest::HighKind::None || t.high_kind == CharTest::HighKind::All);
  }
  const uint8_t high_ctx = char_ctx(0x100, a.ctx_mask);
  auto same_as_high = [&](uint32_t ch) {
    bool same = alike && ch != '\n' && char_ctx(ch, a.ctx_mask) == high_ctx;
    for (const CharTest& t : a.tests) {
      same = same && t.accepts_low(ch) == (t.high_kind == CharTest::HighKind::All);
    }
    return same;
  };
  for (uint32_t ch = 0; alike && ch < 256 && op->high_rep_ < 0; ++ch) {
    if (same_as_high(ch)) op->high_rep_ = int32_t(ch);
  }
  op->narrow_alike_ = same_as_high(0xFF);
  op->leave_.assign(states.size(), Leave{});
  for (size_t si = 0; si < states.size(); ++si) {
    Leave& l = op->leave_[si];
    int count = 0;
    for (uint32_t ch = 0; ch < 256 && count <= 4; ++ch) {
      if (!op->stay_[si * 256 + ch]) l.units[count++ & 3] = uint8_t(ch);
    }
    if (count > 4) continue;
    l.vector = true;
    l.any = count > 0;
    for (int i = count; i > 0 && i < 4; ++i) l.units[i] = l.units[0];
  }
  return op;
}

template <class U>
size_t OnePass::skip_stays(const Leave& l, const uint8_t* stay, const U* text, size_t from,
                           size_t stop) const {
  size_t end = stop;
  if (l.any) {
    const std::array<U, 4> units{U(l.units[0]), U(l.units[1]), U(l.units[2]), U(l.units[3])};
    end = simd::find_any4(text, from, stop, units);
  }
  if constexpr (sizeof(U) > 1) {
    if (high_rep_ < 0 || !stay[high_rep_]) {
      end = simd::find_range(text, from, end, U(256), std::numeric_limits<U>::max());
    }
  }
  return end;
}

OnePass::Outcome OnePass::match_at(State& st, OnePassCache& cache, size_t s, size_t budget) const {
  if (s > st.n) return Outcome::NotFound;
  // A wide text's narrow copy, where every code point from 0xFF up reads
  // 0xFF, is read in its place when the table takes them all as it takes
  // 0xFF: a quarter or half the bytes, and what the literal scans read.
  if (narrow_alike_ && st.text.width > 1 && st.text.narrow != nullptr &&
      st.text.narrow->units != nullptr) {
    return run(st, cache, st.text.narrow->units, s, budget);
  }
  return with_units(st.text, [&](const auto* text) { return run(st, cache, text, s, budget); });
}

template <class U>
OnePass::Outcome OnePass::run(State& st, OnePassCache& cache, const U* text, size_t s,
                              size_t budget) const {
  const size_t n = st.n;
  const size_t S = slots_;
  size_t* cur = cache.slots(2 * S);
  size_t* fb = cur + S;
  std::fill(cur, cur + S, kUnset);
  // The latest match to fall back on ends at fb_end. While `fb_pending`, its
  // slots are cur's (nothing was saved since) plus [fb_from, fb_to) of the
  // pool; a save first copies them to fb. So a loop that leaves a match on
  // every step costs no copy per step.
  bool have_fb = false, fb_pending = false;
  size_t fb_end = 0;
  uint32_t fb_from = 0, fb_to = 0;
  uint8_t lctx = kEdge;
  if (s > 0) {
    // Word classes only when an assertion reads them.
    const char32_t c = char32_t(text[s - 1]);
    lctx = ctx_mask_ & (kAsciiW | kUniW) ? char_ctx(c, ctx_mask_)
                                         : uint8_t(c == '\n' ? kNl & ctx_mask_ : 0);
  }
  int32_t state = start_[lctx & 31];
  const Trans* table = table_.data();
  const uint32_t* pool = pool_.data();
  size_t pos = s;
  size_t poll_at = s + kFirstSlice;
  const size_t give_up_at = budget == 0 || budget > n - s ? n + 1 : s + budget;
  const size_t* result = nullptr;
  size_t end = 0;
  for (;;) {
    uint32_t k;
    if (pos == n) {
      k = eot_;
    } else {
      const uint32_t ch = uint32_t(text[pos]);
      if (ch < 256) {
        k = ch == '\n' && pos + 1 == n ? final_nl_ : low_[ch];
      } else if (high_rep_ >= 0) {
        k = low_[size_t(high_rep_)];
      } else {
        return Outcome::GaveUp;
      }
    }
    const Trans& t = table[size_t(state) * classes_ + k];
    if (t.flags) {
      if (t.flags & kMatchHere) {
        for (uint32_t i = t.match; i < t.match_end; ++i) cur[pool[i]] = pos;
        result = cur;
        end = pos;
        break;
      }
      if (t.flags & kFallback) {
        have_fb = fb_pending = true;
        fb_end = pos;
        fb_from = t.match;
        fb_to = t.match_end;
      }
      if (t.flags & kSaves) {
        if (fb_pending) {
          std::copy(cur, cur + S, fb);
          for (uint32_t i = fb_from; i < fb_to; ++i) fb[pool[i]] = fb_end;
          fb_pending = false;
        }
        if (t.nsaves <= 2) {
          // Most transitions close one group and open the next.
          cur[t.save[0]] = pos;
          cur[t.save[1]] = pos;
        } else {
          for (uint32_t i = t.saves; i < t.saves_end; ++i) cur[pool[i]] = pos;
        }
      }
    }
    if (t.next < 0) {
      if (!have_fb) {
        st.steps += pos - s + 1;
        return Outcome::NotFound;
      }
      if (fb_pending) {
        for (uint32_t i = fb_from; i < fb_to; ++i) cur[pool[i]] = fb_end;
        result = cur;
      } else {
        result = fb;
      }
      end = fb_end;
      break;
    }
    state = t.next;
    ++pos;
    // The run of code points the new state loops on.
    const uint8_t* stay = stay_.data() + size_t(state) * 256;
    const size_t stop = std::min({n - 1, poll_at, give_up_at});  // n >= pos >= 1
    const size_t from = pos;
    // A short run is cheaper to walk than to search.
    const size_t walk_to = stop > pos + kWalkFirst ? pos + kWalkFirst : stop;
    const bool high_stays = high_rep_ >= 0 && stay[high_rep_];
    while (pos < walk_to && (sizeof(U) == 1 || text[pos] < 256 ? stay[text[pos]] : high_stays)) {
      ++pos;
    }
    if (pos == walk_to && pos < stop && leave_[size_t(state)].vector) {
      pos = skip_stays(leave_[size_t(state)], stay, text, pos, stop);
    }
    if (pos > from && stay_fallback_[size_t(state)]) {
      have_fb = fb_pending = true;
      fb_end = pos - 1;  // the last step's
      fb_from = stay_match_[size_t(state)].first;
      fb_to = stay_match_[size_t(state)].second;
    }
    if (pos >= give_up_at) {
      st.steps += pos - s;
      return Outcome::OverBudget;
    }
    if (pos >= poll_at) {
      poll_at = pos + kScanSlice;
      if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
        st.status = Status::Interrupted;
        return Outcome::Stopped;
      }
    }
  }
  st.steps += pos - s + 1;
  st.pos = end;
  for (size_t g = 1; 2 * g + 1 < S; ++g) {
    const size_t a = result[2 * g], b = result[2 * g + 1];
    if (a != kUnset && b != kUnset) st.close_group(g, a, b);
  }
  return Outcome::Found;
}

}  // namespace kordal
