// Building, resetting and unwinding the per-search State.
#include "state.hpp"

#include <cstring>

namespace kordal {

namespace {

// Arrays of finished States (decoding buffers of UTF-8 haystacks, the
// per-path arrays), kept per thread so that the next State built by value
// (iterators, tests) allocates nothing and faults in no fresh pages; single
// searches lease the pooled State below instead. Bounded, so one huge text
// does not pin memory.
constexpr size_t kKeepMax = size_t(4) << 20;        // code points
constexpr size_t kKeepSmall = 4096;                 // entries of the per-path arrays
constexpr size_t kKeepVmWords = size_t(1) << 17;    // the VM's backtrack stack (1 MiB)
constexpr size_t kKeepMemoWords = size_t(1) << 17;  // the VM's memo bitmap (1 MiB)
struct Spare {
  std::vector<char32_t> chars;
  // The per-path arrays too: a short search then allocates nothing.
  std::vector<CpSpan> caps;
  std::vector<std::vector<CpSpan>> history;
  std::vector<State::TrailEntry> trail;
  std::vector<OpenEntry> open;
  State::VmScratch vm;
};
thread_local Spare spare;

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
  if (!recycle) return;
  keep(chars, spare.chars);
  keep(caps, spare.caps, kKeepSmall);
  keep(trail, spare.trail, kKeepSmall);
  keep(open, spare.open, kKeepSmall);
  if (vm.memo.capacity() > kKeepMemoWords) std::vector<uint64_t>().swap(vm.memo);
  if (vm.words <= kKeepVmWords && vm.words > spare.vm.words) spare.vm = std::move(vm);
  if (spare.history.empty() && history.size() <= kKeepSmall) {
    bool small = true;
    for (const auto& h : history) small = small && h.capacity() <= kKeepSmall;
    if (small) spare.history = std::move(history);
  }
}

namespace {

// Everything but the haystack.
void init_paths(State& st, size_t group_count) {
  st.n = st.text.n;
  st.ascii = st.text.ascii;
  st.cursor.reset(st.text);
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
}

}  // namespace

namespace {

// The pooled State of this thread.
struct Pool {
  Pool() { state.recycle = false; }
  State state;
  bool busy = false;
};
thread_local Pool pool;

// Resets a used State for a new search, keeping the capacity of its arrays.
void reinit(State& st, size_t group_count) {
  st.n = st.text.n;
  st.ascii = st.text.ascii;
  st.cursor.reset(st.text);
  st.group_count = group_count;
  st.caps.assign(group_count + 1, CpSpan{});
  // Histories are empty since the last reinit unless a search kept them.
  if (!st.flat) {
    for (auto& h : st.history) h.clear();
  }
  st.history.resize(group_count + 1);
  st.open.clear();
  st.best_partial.reset();
  st.pos = 0;
  st.start = 0;
  st.partial = false;
  st.trail.clear();
  st.trail_dropped = false;
  st.status = Status::Ok;
  st.ctl = nullptr;
}

// Releases what a search grew beyond the bounds kept between searches.
template <class T>
void trim(std::vector<T>& v, size_t limit) {
  if (v.capacity() > limit) std::vector<T>().swap(v);
}

void trim(State& st) {
  trim(st.chars, kKeepMax);
  trim(st.caps, kKeepSmall);
  trim(st.trail, kKeepSmall);
  trim(st.open, kKeepSmall);
  // A flat search left the lists as the last reinit made them.
  bool small = st.history.size() <= kKeepSmall;
  if (!st.flat) {
    for (const auto& h : st.history) small = small && h.capacity() <= kKeepSmall;
  }
  if (!small) std::vector<std::vector<CpSpan>>().swap(st.history);
  if (st.vm.words > kKeepVmWords) st.vm = State::VmScratch{};
  trim(st.vm.memo, kKeepMemoWords);
  st.best_partial.reset();
  st.text = Text{};
  st.utf8 = {};
}

}  // namespace

// The pool is looked up once per lease: in a shared library each access to a
// thread-local costs a call.
StateLease::StateLease(size_t group_count, std::string_view utf8) {
  Pool& pl = pool;
  if (pl.busy) {
    st_ = new State(build_state(group_count, utf8));
    return;
  }
  pl.busy = true;
  busy_ = &pl.busy;
  st_ = &pl.state;
  st_->utf8 = utf8;
  st_->from_utf8 = true;
  st_->text = utf8_text(utf8, st_->chars);
  reinit(*st_, group_count);
}

StateLease::StateLease(size_t group_count, const Text& text) {
  Pool& pl = pool;
  if (pl.busy) {
    st_ = new State(build_state(group_count, text));
    return;
  }
  pl.busy = true;
  busy_ = &pl.busy;
  st_ = &pl.state;
  st_->utf8 = {};
  st_->from_utf8 = false;
  st_->text = text;
  reinit(*st_, group_count);
}

StateLease::~StateLease() {
  if (busy_ == nullptr) {
    delete st_;
    return;
  }
  trim(*st_);
  *busy_ = false;
}

State build_state(size_t group_count, std::string_view text) {
  State st;
  st.utf8 = text;
  st.from_utf8 = true;
  st.chars = take(spare.chars);
  st.text = utf8_text(text, st.chars);
  init_paths(st, group_count);
  return st;
}

State build_state(size_t group_count, const Text& text) {
  State st;
  st.text = text;
  init_paths(st, group_count);
  return st;
}

size_t State::index_of_byte(size_t b) const {
  TextPos at;
  const ByteIndex r = kordal::index_of_byte(text, b, cursor.last(), at);
  if (r == ByteIndex::Beyond) return n;
  // Inside a character (the callers rule it out): the next character.
  if (r == ByteIndex::Inside && at.byte < b) ++at.index;
  if (r == ByteIndex::Exact) cursor.learn(at);
  return at.index;
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
      case Undo::CloseFlat:
        caps[e.group] = CpSpan{};
        break;
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
