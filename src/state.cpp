// Building, resetting and unwinding the per-search State.
#include "state.hpp"

#include <cstring>

namespace kordal {

namespace {

// Bounds on what a finished search keeps for the next one, so one huge text
// does not pin memory.
constexpr size_t kKeepMax = size_t(4) << 20;  // code points
constexpr size_t kKeepSmall = 4096;           // entries of the per-path arrays

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

template <class T>
void trim_to(std::vector<T>& v, size_t limit) {
  if (v.capacity() > limit) std::vector<T>().swap(v);
}

}  // namespace

// Arrays of finished States (decoding buffers of UTF-8 haystacks, the
// per-path arrays), kept per thread so that the next State built by value
// (iterators, tests) allocates nothing and faults in no fresh pages; single
// searches lease the pooled State below instead.
struct State::Spare {
  std::vector<char32_t> chars;
  std::vector<CpSpan> caps;
  std::vector<std::vector<CpSpan>> history;
  std::vector<TrailEntry> trail;
  std::vector<OpenEntry> open;
};

State::Spare& State::spare() {
  thread_local Spare s;
  return s;
}

State::~State() {
  if (!recycle) return;
  Spare& sp = spare();
  keep(chars, sp.chars);
  keep(caps_, sp.caps, kKeepSmall);
  keep(trail_, sp.trail, kKeepSmall);
  keep(open_, sp.open, kKeepSmall);
  if (sp.history.empty() && history_.size() <= kKeepSmall) {
    bool small = true;
    for (const auto& h : history_) small = small && h.capacity() <= kKeepSmall;
    if (small) sp.history = std::move(history_);
  }
}

inline void State::init_paths(size_t groups) {
  Spare& sp = spare();
  n = text.n;
  ascii = text.ascii;
  cursor.reset(text);
  group_count = groups;
  caps_ = take(sp.caps);
  caps_.assign(groups + 1, CpSpan{});
  history_ = std::move(sp.history);
  sp.history.clear();
  for (auto& h : history_) h.clear();
  history_.resize(groups + 1);
  trail_ = take(sp.trail);
  open_ = take(sp.open);
}

// Resets a used State for a new search, keeping the capacity of its arrays.
inline void State::reinit(size_t groups) {
  n = text.n;
  ascii = text.ascii;
  cursor.reset(text);
  group_count = groups;
  caps_.assign(groups + 1, CpSpan{});
  // Histories are empty since the last reinit unless a search kept them.
  if (!flat) {
    for (auto& h : history_) h.clear();
  }
  history_.resize(groups + 1);
  open_.clear();
  best_partial.reset();
  pos = 0;
  start = 0;
  partial = false;
  trail_.clear();
  trail_dropped_ = false;
  status = Status::Ok;
  ctl = nullptr;
}

inline void State::trim() {
  trim_to(chars, kKeepMax);
  trim_to(caps_, kKeepSmall);
  trim_to(trail_, kKeepSmall);
  trim_to(open_, kKeepSmall);
  // A flat search left the lists as the last reinit made them.
  bool small = history_.size() <= kKeepSmall;
  if (!flat) {
    for (const auto& h : history_) small = small && h.capacity() <= kKeepSmall;
  }
  if (!small) std::vector<std::vector<CpSpan>>().swap(history_);
  best_partial.reset();
  text = Text{};
  utf8 = {};
  inner = {};
  reach = {};
}

namespace {

// The pooled State of this thread.
struct Pool {
  Pool() { state.recycle = false; }
  State state;
  bool busy = false;
};
thread_local Pool pool;

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
  st_->reinit(group_count);
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
  st_->reinit(group_count);
}

StateLease::~StateLease() {
  if (busy_ == nullptr) {
    delete st_;
    return;
  }
  st_->trim();
  *busy_ = false;
}

State build_state(size_t group_count, std::string_view text) {
  State st;
  st.utf8 = text;
  st.from_utf8 = true;
  st.chars = take(State::spare().chars);
  st.text = utf8_text(text, st.chars);
  st.init_paths(group_count);
  return st;
}

State build_state(size_t group_count, const Text& text) {
  State st;
  st.text = text;
  st.init_paths(group_count);
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
  while (trail_.size() > mark) {
    const TrailEntry& e = trail_.back();
    switch (e.kind) {
      case Undo::Close: {
        auto& h = history_[e.group];
        h.pop_back();
        caps_[e.group] = h.empty() ? CpSpan{} : h.back();
        break;
      }
      case Undo::CloseFlat:
        caps_[e.group] = CpSpan{};
        break;
      case Undo::OpenPush:
        open_.pop_back();
        break;
      case Undo::OpenPop:
        open_.push_back(OpenEntry{e.group, e.start});
        break;
    }
    trail_.pop_back();
  }
}

void State::reset(size_t s) {
  pos = s;
  start = s;
  // Every capture write since the last reset is on the trail, so unwinding it
  // costs what the last attempt wrote rather than the number of groups. Group
  // 0 is written by the search loops, outside the trail.
  if (trail_dropped_) {
    for (auto& c : caps_) c = CpSpan{};
    for (auto& h : history_) h.clear();
    trail_dropped_ = false;
  } else {
    undo_to(0);
  }
  caps_[0] = CpSpan{};
  history_[0].clear();
  open_.clear();
  best_partial.reset();
}

void State::drop_large_trail() {
  if (trail_.capacity() < (size_t(1) << 16)) return;
  std::vector<TrailEntry>().swap(trail_);
  trail_dropped_ = true;
}

void State::record_partial_block() {
  size_t set_count = 0;
  for (const auto& c : caps_) set_count += c.set();
  if (best_partial) {
    const PartialCandidate& b = *best_partial;
    if (!(pos > b.pos || (pos == b.pos && set_count > b.set_count))) return;
  }
  PartialCandidate c;
  c.caps = caps_;
  c.open = open_;
  c.pos = pos;
  c.set_count = set_count;
  best_partial = std::move(c);
}

}  // namespace kordal
