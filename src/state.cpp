// Building, resetting and unwinding the per-search State.
#include "state.hpp"

#include <cstring>

namespace kordal {

namespace {

// Decoding buffers of finished searches, kept per thread so that the next
// search over a text of similar size neither faults in fresh pages nor hands
// them back to the system. Bounded, so one huge text does not pin memory.
constexpr size_t kKeepMax = size_t(4) << 20;      // code points
constexpr size_t kKeepSmall = 4096;               // entries of the per-path arrays
constexpr size_t kKeepVmWords = size_t(1) << 17;  // the VM's backtrack stack (1 MiB)
struct Spare {
  std::vector<char32_t> chars;
  std::vector<uint32_t> offsets32;
  // The per-path arrays too: a short search then allocates nothing.
  std::vector<CpSpan> caps;
  std::vector<std::vector<CpSpan>> history;
  std::vector<State::TrailEntry> trail;
  std::vector<OpenEntry> open;
  State::VmScratch vm;
};
thread_local Spare spare;

template <class T>
void reuse(std::vector<T>& into, std::vector<T>& from, size_t n) {
  if (from.capacity() >= n) {
    into = std::move(from);
    into.clear();
  }
  into.resize(n);
}

template <class T>
void keep(std::vector<T>& from, std::vector<T>& into, size_t limit = kKeepMax) {
  if (from.capacity() <= limit && from.capacity() > into.capacity()) into = std::move(from);
}

// Moves a kept array out of the spare, empty but with its capacity.
template <class T>
std::vector<T> take(std::vector<T>& from) {
  std::vector<T> v = std::move(from);
  v.clear();
  return v;
}

}  // namespace

State::~State() {
  keep(chars, spare.chars);
  keep(offsets32, spare.offsets32);
  keep(caps, spare.caps, kKeepSmall);
  keep(trail, spare.trail, kKeepSmall);
  keep(open, spare.open, kKeepSmall);
  if (vm.words <= kKeepVmWords && vm.words > spare.vm.words) spare.vm = std::move(vm);
  if (spare.history.empty() && history.size() <= kKeepSmall) {
    bool small = true;
    for (const auto& h : history) small = small && h.capacity() <= kKeepSmall;
    if (small) spare.history = std::move(history);
  }
}

State build_state(size_t group_count, std::string_view text) {
  State st;
  st.text = text;
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t len = text.size();
  size_t i = 0;
  while (i < len && b[i] < 0x80) ++i;
  if (i == len) {
    st.ascii = true;
    st.bytes = b;
    st.n = len;
  } else {
    st.ascii = false;
    // Count code points first so both arrays are allocated exactly once.
    size_t n = 0;
    for (size_t j = 0; j < len; ++j) n += (b[j] & 0xC0) != 0x80;
    st.n = n;
    reuse(st.chars, spare.chars, n);
    const bool wide = len > 0xFFFFFFFFull;
    if (wide) {
      st.offsets64.resize(n + 1);
    } else {
      reuse(st.offsets32, spare.offsets32, n + 1);
    }
    size_t k = 0;
    size_t j = 0;
    while (j < len) {
      if (wide) {
        st.offsets64[k] = j;
      } else {
        st.offsets32[k] = uint32_t(j);
      }
      unsigned char c = b[j];
      char32_t cp;
      if (c < 0x80) {
        cp = c;
        j += 1;
      } else if (c < 0xE0) {
        cp = char32_t(c & 0x1F) << 6 | (b[j + 1] & 0x3F);
        j += 2;
      } else if (c < 0xF0) {
        cp = char32_t(c & 0x0F) << 12 | char32_t(b[j + 1] & 0x3F) << 6 | (b[j + 2] & 0x3F);
        j += 3;
      } else {
        cp = char32_t(c & 0x07) << 18 | char32_t(b[j + 1] & 0x3F) << 12 |
             char32_t(b[j + 2] & 0x3F) << 6 | (b[j + 3] & 0x3F);
        j += 4;
      }
      st.chars[k++] = cp;
    }
    if (wide) {
      st.offsets64[n] = len;
    } else {
      st.offsets32[n] = uint32_t(len);
    }
  }
  st.group_count = group_count;
  st.caps = take(spare.caps);
  st.caps.assign(group_count + 1, CpSpan{});
  st.history = std::move(spare.history);
  spare.history.clear();
  for (auto& h : st.history) h.clear();
  st.history.resize(group_count + 1);
  st.trail = take(spare.trail);
  st.open = take(spare.open);
  st.vm = std::move(spare.vm);
  return st;
}

size_t State::index_of_byte(size_t b) const {
  if (b >= text.size()) return n;
  if (ascii) return b;
  // Binary search the offset table.
  size_t lo = 0, hi = n;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    if (offset(mid) < b) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void State::undo_to(size_t mark) {
  while (trail.size() > mark) {
    const TrailEntry& e = trail.back();
    switch (e.kind) {
      case Undo::Close: {
        auto& h = history[e.group];
        h.pop_back();
        caps[e.group] = h.empty() ? CpSpan{} : h.back();
        break;
      }
      case Undo::OpenPush:
        open.pop_back();
        break;
      case Undo::OpenPop:
        open.push_back(OpenEntry{e.group, e.start});
        break;
    }
    trail.pop_back();
  }
}

void State::reset(size_t s) {
  pos = s;
  start = s;
  // Every capture write since the last reset is on the trail, so unwinding it
  // costs what the last attempt wrote rather than the number of groups. Group
  // 0 is written by the search loops, outside the trail.
  if (trail_dropped) {
    for (auto& c : caps) c = CpSpan{};
    for (auto& h : history) h.clear();
    trail_dropped = false;
  } else {
    undo_to(0);
  }
  caps[0] = CpSpan{};
  history[0].clear();
  open.clear();
  best_partial.reset();
}

void State::drop_large_trail() {
  if (trail.capacity() < (size_t(1) << 16)) return;
  std::vector<TrailEntry>().swap(trail);
  trail_dropped = true;
}

void State::record_partial_block() {
  size_t set_count = 0;
  for (const auto& c : caps) set_count += c.set();
  if (best_partial) {
    const PartialCandidate& b = *best_partial;
    if (!(pos > b.pos || (pos == b.pos && set_count > b.set_count))) return;
  }
  PartialCandidate c;
  c.caps = caps;
  c.open = open;
  c.pos = pos;
  c.set_count = set_count;
  best_partial = std::move(c);
}

}  // namespace kordal
