// Compilation glue and every search built on the backtracking VM.
//
// Each search call decodes the haystack once into a State and tries start
// positions left to right; the first start at which the backtracking VM
// succeeds wins. Iteration, split and replacement keep one State for the
// whole walk, so their cost is one decoding plus the VM runs. Cancellation
// and an exhausted backtrack stack end a search with a Status. No exception
// leaves this file: allocation failure becomes Status::NoMemory.
#include "regex.hpp"

#include <bitset>
#include <cstring>
#include <exception>
#include <new>

#include "backtracker.hpp"
#include "parser.hpp"
#include "program.hpp"
#include "state.hpp"

namespace kordal {

namespace {

// The code points that can begin a non-empty match of a node: exact for
// code points below 256, one flag for everything above. `nullable` means the
// node can match the empty string, so what follows it may begin the match
// too. Anything unsure errs towards "could start here": skipping a position
// that can match would change results, trying one more costs only time.
struct FirstSet {
  std::bitset<256> lo;
  bool high = false;
  bool nullable = false;
  std::optional<char32_t> only;  // the set is exactly this one code point

  bool empty() const { return !high && lo.none(); }
  void add(const FirstSet& o) {
    if (o.empty()) return;
    if (!empty() && only != o.only) only.reset();
    if (empty()) only = o.only;
    lo |= o.lo;
    high |= o.high;
  }
  static FirstSet anything() {
    FirstSet f;
    f.lo.set();
    f.high = true;
    f.nullable = true;
    return f;
  }
};

FirstSet first_set(const Node& nd, int depth = 0) {
  if (depth > 200) return FirstSet::anything();
  FirstSet f;
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::LitStr: {
      if (nd.kind == NodeKind::LitStr && nd.chars.empty()) {
        f.nullable = true;
        return f;
      }
      const char32_t ch = nd.kind == NodeKind::Lit ? nd.ch : nd.chars[0];
      if (nd.ign) {
        for (char32_t c = 0; c < 256; ++c) f.lo[c] = c == ch || chars_equal_ci(c, ch);
        f.high = true;  // a letter may have equals above 255 (the Kelvin sign)
      } else {
        f.only = ch;
        if (ch < 256) {
          f.lo[ch] = true;
        } else {
          f.high = true;
        }
      }
      return f;
    }
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
    case NodeKind::Grapheme:
      for (char32_t c = 0; c < 256; ++c) f.lo[c] = single_accepts(nd, c);
      f.high = true;
      return f;
    case NodeKind::Empty:
    case NodeKind::StartLine:
    case NodeKind::EndLine:
    case NodeKind::StartText:
    case NodeKind::EndText:
    case NodeKind::WordBoundary:
    case NodeKind::WordEdge:
    case NodeKind::Look:
      // Zero-width: the match begins with whatever follows.
      f.nullable = true;
      return f;
    case NodeKind::BackRef:
      return FirstSet::anything();
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return first_set(nd.child(), depth + 1);
    case NodeKind::Repeat:
      f = first_set(nd.child(), depth + 1);
      if (nd.min == 0) f.nullable = true;
      return f;
    case NodeKind::Branch:
      for (const Node& alt : nd.kids) {
        FirstSet a = first_set(alt, depth + 1);
        f.add(a);
        f.nullable |= a.nullable;
      }
      return f;
    case NodeKind::Sequence:
      for (const Node& it : nd.kids) {
        FirstSet a = first_set(it, depth + 1);
        f.add(a);
        if (!a.nullable) return f;
      }
      f.nullable = true;
      return f;
  }
  return FirstSet::anything();
}

template <class F>
Status guarded(F&& f) {
  try {
    return f();
  } catch (const std::exception&) {
    // Only allocation can throw in the engine. Anything else (the forced
    // unwind that ends a thread inside the poll hook) must pass through.
    return Status::NoMemory;
  }
}

}  // namespace

// Facts derived from the tree once, for the search loops.
struct Analysis {
  enum class Skip : uint8_t { None, Byte, Char, Set };
  Skip skip = Skip::None;  // how find skips start positions that cannot match
  unsigned char byte = 0;  // Skip::Byte: every match starts with this ASCII character
  char32_t ch = 0;         // Skip::Char: every match starts with this other code point
  std::bitset<256> lo;     // Skip::Set: code points below 256 that can start a match
  bool high = false;       // Skip::Set: whether code points above 255 can
};

// One search: the start positions a mode tries, each run by the VM.
struct Searcher {
  enum class Mode : uint8_t { Find, Anchored, Full, Partial };
  const Regex* re;
  State* st;
  size_t s0;
  Mode mode;
  bool found = false;
  size_t match_start = 0;  // Partial: the start of the result
  bool full = false;       // Partial: whether it is a full match
  Backtracker* vm = nullptr;

  // Next start >= s that can begin a match, or n + 1.
  size_t skip(size_t s) const {
    const Analysis& an = *re->analysis_;
    const State& t = *st;
    if (an.skip == Analysis::Skip::None) return s;
    if (s >= t.n) return t.n + 1;  // a match needs at least one code point
    if (an.skip == Analysis::Skip::Char) {
      if (t.bytes) return t.n + 1;  // an ASCII text holds no such code point
      while (s < t.n && t.chars[s] != an.ch) ++s;
      return s < t.n ? s : t.n + 1;
    }
    if (t.bytes) {
      if (an.skip == Analysis::Skip::Byte) {
        const void* hit = std::memchr(t.bytes + s, an.byte, t.n - s);
        return hit ? size_t(static_cast<const unsigned char*>(hit) - t.bytes) : t.n + 1;
      }
      while (s < t.n && !an.lo[t.bytes[s]]) ++s;
      return s < t.n ? s : t.n + 1;
    }
    while (s < t.n) {
      const char32_t c = t.chars[s];
      if (c < 256 ? an.lo[c] : an.high) return s;
      ++s;
    }
    return t.n + 1;
  }

  // One attempt at t.pos.
  bool attempt(bool to_end) { return vm->run(*st, to_end); }

  void run() {
    State& t = *st;
    found = false;
    switch (mode) {
      case Mode::Find:
        for (size_t s = skip(s0); s <= t.n;) {
          t.reset(s);
          if (attempt(false)) {
            set_whole(s);
            return;
          }
          if (t.status != Status::Ok) return;
          // A failed attempt that began with a greedy unbounded loop tried the
          // rest of the pattern at every position the loop reached; a start
          // inside that run reaches a subset of them, so it fails too.
          const size_t run_end = vm->lead_end();
          s = skip(run_end != kUnset && run_end >= s + 1 ? run_end + 1 : s + 1);
        }
        return;
      case Mode::Anchored:
      case Mode::Full:
        if (s0 > t.n) return;
        t.reset(s0);
        if (attempt(mode == Mode::Full)) {
          set_whole(s0);
        }
        return;
      case Mode::Partial:
        for (size_t s = s0; s <= t.n; ++s) {
          t.reset(s);
          if (attempt(true)) {
            set_whole(s);
            full = true;
            match_start = s;
            return;
          }
          if (t.status != Status::Ok) return;
          if (t.best_partial && t.best_partial->pos == t.n && s < t.n) {
            found = true;
            full = false;
            match_start = s;
            return;
          }
        }
        return;
    }
  }

  void set_whole(size_t s) {
    State& t = *st;
    t.drop_large_trail();
    t.caps[0] = CpSpan{s, t.pos};
    t.history[0].push_back(CpSpan{s, t.pos});
    found = true;
  }

  Status go(const SearchControl& ctl) {
    st->ctl = &ctl;
    st->status = Status::Ok;
    Backtracker bt(*re->program_);
    vm = &bt;
    run();
    vm = nullptr;
    if (st->status != Status::Ok) found = false;
    return st->status;
  }
};

Regex::Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;
Regex::~Regex() = default;

Result<Regex> Regex::new_with_flags(std::string_view pattern, uint32_t f) {
  if ((f & 0x118) == 0) f |= flags::UNICODE;
  Parser p(pattern, f & 0x1ff);
  Result<ParseOutput> r = p.run();
  if (!r.ok()) return r.error();
  if ((f & 0x30000) == 0) f |= flags::VERSION1;
  Regex re;
  re.pattern_ = std::string(pattern);
  re.tree_ = std::make_unique<Node>(std::move(r.value().tree));
  re.names_ = std::make_shared<const Names>(std::move(r.value().names));
  re.group_count_ = r.value().group_count;
  re.flags_ = f;
  re.analysis_ = std::make_unique<Analysis>();
  annotate(*re.tree_);
  re.program_ = std::make_unique<const Program>(compile_program(*re.tree_));
  const FirstSet first = first_set(*re.tree_);
  Analysis& an = *re.analysis_;
  if (!first.nullable) {
    an.lo = first.lo;
    an.high = first.high;
    an.skip = Analysis::Skip::Set;
    if (first.only && *first.only < 0x80) {
      an.skip = Analysis::Skip::Byte;
      an.byte = static_cast<unsigned char>(*first.only);
    } else if (first.only) {
      an.skip = Analysis::Skip::Char;
      an.ch = *first.only;
    }
  }
  return re;
}

std::string Regex::dump() const {
  std::string out;
  tree_->dump(out, 0);
  return out;
}

std::unique_ptr<State> Regex::build_state(std::string_view text) const {
  return std::make_unique<State>(kordal::build_state(group_count_, text));
}

Status Regex::find_from(State& st, size_t s0, bool& found, const SearchControl& ctl) const {
  Searcher s{this, &st, s0, Searcher::Mode::Find};
  const Status status = s.go(ctl);
  found = s.found;
  return status;
}

void Regex::fill_match(Match& m, std::string_view text, const State& st) const {
  const size_t g_count = st.caps.size();
  m.text = text;
  m.caps.resize(g_count);
  for (size_t g = 0; g < g_count; ++g) {
    const CpSpan c = st.caps[g];
    m.caps[g] = c.set() ? Span{st.offset(c.start), st.offset(c.end), c.start, c.end} : Span{};
  }
  m.history.clear();
  m.history_starts.resize(g_count + 1);
  size_t total = 0;
  for (size_t g = 0; g < g_count; ++g) total += st.history[g].size();
  m.history.reserve(total);
  for (size_t g = 0; g < g_count; ++g) {
    m.history_starts[g] = m.history.size();
    for (const CpSpan& c : st.history[g]) {
      m.history.push_back(Span{st.offset(c.start), st.offset(c.end), c.start, c.end});
    }
  }
  m.history_starts[g_count] = m.history.size();
  m.names = names_;
}

Match Regex::match_from_state(std::string_view text, const State& st) const {
  Match m;
  fill_match(m, text, st);
  return m;
}

Status Regex::run_one(std::string_view text, size_t byte_start, int mode, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  out.reset();
  return guarded([&] {
    State st = kordal::build_state(group_count_, text);
    Searcher s{this, &st, st.index_of_byte(byte_start), Searcher::Mode(mode)};
    const Status status = s.go(ctl);
    if (status == Status::Ok && s.found) out = match_from_state(text, st);
    return status;
  });
}

Status Regex::is_match(std::string_view text, bool& out, const SearchControl& ctl) const {
  out = false;
  return guarded([&] {
    State st = kordal::build_state(group_count_, text);
    return find_from(st, 0, out, ctl);
  });
}

Status Regex::find(std::string_view text, std::optional<Match>& out,
                   const SearchControl& ctl) const {
  return run_one(text, 0, int(Searcher::Mode::Find), out, ctl);
}

Status Regex::find_at(std::string_view text, size_t byte_start, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  return run_one(text, byte_start, int(Searcher::Mode::Find), out, ctl);
}

Status Regex::match_at_start(std::string_view text, std::optional<Match>& out,
                             const SearchControl& ctl) const {
  return run_one(text, 0, int(Searcher::Mode::Anchored), out, ctl);
}

Status Regex::fullmatch(std::string_view text, std::optional<Match>& out,
                        const SearchControl& ctl) const {
  return run_one(text, 0, int(Searcher::Mode::Full), out, ctl);
}

PartialMatch Regex::build_partial_match(const State& st, bool full, size_t start,
                                        const PartialCandidate& cand) const {
  PartialMatch pm;
  const size_t n = st.n;
  auto span = [&](size_t a, size_t b) { return Span{st.offset(a), st.offset(b), a, b}; };
  pm.span = span(start, n);
  pm.is_full = full;
  pm.names = names_;
  const size_t g_count = group_count_ + 1;
  pm.groups.resize(g_count);
  pm.groups[0] = PartialGroup{GroupState::Matched, pm.span};
  for (size_t g = 1; g < g_count; ++g) {
    PartialGroup& out = pm.groups[g];
    bool open = false;
    for (size_t i = cand.open.size(); i-- > 0;) {
      if (cand.open[i].group == g) {
        out = PartialGroup{GroupState::Partial, span(cand.open[i].start, n)};
        open = true;
        break;
      }
    }
    if (open) continue;
    if (g < cand.caps.size() && cand.caps[g].set()) {
      out = PartialGroup{GroupState::Matched, span(cand.caps[g].start, cand.caps[g].end)};
    }
  }
  return pm;
}

Status Regex::find_partial(std::string_view text, std::optional<PartialMatch>& out,
                           const SearchControl& ctl) const {
  out.reset();
  return guarded([&] {
    State st = kordal::build_state(group_count_, text);
    st.partial = true;
    Searcher s{this, &st, 0, Searcher::Mode::Partial};
    const Status status = s.go(ctl);
    if (status != Status::Ok || !s.found) return status;
    if (s.full) {
      PartialCandidate c;
      c.caps = st.caps;
      c.pos = st.n;
      out = build_partial_match(st, true, s.match_start, c);
    } else {
      out = build_partial_match(st, false, s.match_start, *st.best_partial);
    }
    return status;
  });
}

Status Regex::replace(std::string_view text, std::string_view repl, std::string& out,
                      const SearchControl& ctl) const {
  out.clear();
  return guarded([&] {
    State st = kordal::build_state(group_count_, text);
    bool found = false;
    const Status status = find_from(st, 0, found, ctl);
    if (status != Status::Ok) return status;
    if (!found) {
      out.assign(text);
      return status;
    }
    Match m;
    fill_match(m, text, st);
    out.reserve(text.size());
    out.append(text.substr(0, m.caps[0].start));
    regex::expand(repl, m, out);
    out.append(text.substr(m.caps[0].end));
    return status;
  });
}

Status Regex::replace_all(std::string_view text, std::string_view repl, std::string& out,
                          const SearchControl& ctl) const {
  out.clear();
  return guarded([&] {
    State st = kordal::build_state(group_count_, text);
    out.reserve(text.size());
    Match m;
    size_t p = 0;
    const size_t n = st.n;
    for (;;) {
      bool found = false;
      const Status status = find_from(st, p, found, ctl);
      if (status != Status::Ok) {
        out.clear();
        return status;
      }
      if (!found) {
        out.append(text.substr(st.offset(p)));
        return Status::Ok;
      }
      const size_t s = st.caps[0].start, e = st.caps[0].end;
      fill_match(m, text, st);
      out.append(text.substr(st.offset(p), st.offset(s) - st.offset(p)));
      regex::expand(repl, m, out);
      if (e > s) {
        p = e;
        continue;
      }
      if (s < n) out.append(text.substr(st.offset(s), st.offset(s + 1) - st.offset(s)));
      p = s + 1;
      if (p > n) return Status::Ok;
    }
  });
}

FindIter::FindIter(const Regex& re, std::string_view text) : re_(re), text_(text) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
FindIter::~FindIter() = default;

Status FindIter::next(std::optional<Match>& out, const SearchControl& ctl) {
  out.reset();
  if (!state_) return Status::NoMemory;
  return guarded([&] {
    bool found = false;
    const Status status = re_.find_from(*state_, next_start_, found, ctl);
    if (status != Status::Ok || !found) return status;
    const CpSpan whole = state_->caps[0];
    out.emplace();
    re_.fill_match(*out, text_, *state_);
    next_start_ = whole.end > whole.start ? whole.end : whole.end + 1;
    return status;
  });
}

SplitIter::SplitIter(const Regex& re, std::string_view text) : re_(re), text_(text) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
SplitIter::~SplitIter() = default;

Status SplitIter::next(std::optional<std::string_view>& out, const SearchControl& ctl) {
  out.reset();
  if (!pending_.empty()) {
    out = pending_.front();
    pending_.pop_front();
    return Status::Ok;
  }
  if (done_) return Status::Ok;
  if (!state_) return Status::NoMemory;
  return guarded([&] {
    State& st = *state_;
    const size_t p = next_start_;
    bool found = false;
    const Status status = re_.find_from(st, p, found, ctl);
    if (status != Status::Ok) return status;
    const size_t pb = p <= st.n ? st.offset(p) : text_.size();
    if (!found) {
      out = text_.substr(pb);
      done_ = true;
      return status;
    }
    const size_t s = st.caps[0].start, e = st.caps[0].end;
    out = text_.substr(pb, st.offset(s) - pb);
    for (size_t g = 1; g < st.caps.size(); ++g) {
      const CpSpan c = st.caps[g];
      pending_.push_back(
          c.set() ? text_.substr(st.offset(c.start), st.offset(c.end) - st.offset(c.start))
                  : std::string_view());
    }
    if (s == e && s < st.n) {
      pending_.push_back(text_.substr(st.offset(s), st.offset(s + 1) - st.offset(s)));
    }
    next_start_ = e > s ? e : e + 1;
    return status;
  });
}

namespace regex {

void append_group(std::string& out, const Match& m, std::string_view ref) {
  bool digits = !ref.empty();
  for (char c : ref) digits = digits && c >= '0' && c <= '9';
  if (digits) {
    uint64_t v = 0;
    bool fits = true;
    for (char c : ref) {
      const uint64_t d = uint64_t(c - '0');
      if (v > (UINT64_MAX - d) / 10) {
        fits = false;
        break;
      }
      v = v * 10 + d;
    }
    if (fits) {
      if (v < m.caps.size()) {
        if (auto t = m.group(size_t(v))) out.append(*t);
      }
      return;
    }
  }
  if (!m.names) return;
  auto it = m.names->find(std::string(ref));
  if (it == m.names->end()) return;
  if (auto t = m.group(it->second)) out.append(*t);
}

void expand(std::string_view tmpl, const Match& m, std::string& out) {
  // Every character with a meaning here is ASCII, so the template is walked
  // byte by byte and other bytes are copied through.
  const size_t len = tmpl.size();
  auto is_digit = [&](size_t i) { return i < len && tmpl[i] >= '0' && tmpl[i] <= '9'; };
  auto digit_run = [&](size_t i) {
    size_t j = i;
    while (is_digit(j)) ++j;
    return j;
  };
  // A reference up to `closer`; returns the index after the closer, or len.
  auto reference = [&](size_t i, char closer) {
    const size_t close = tmpl.find(closer, i);
    const size_t end = close == std::string_view::npos ? len : close;
    append_group(out, m, tmpl.substr(i, end - i));
    return close == std::string_view::npos ? len : close + 1;
  };
  // Copies the whole UTF-8 character at i; returns the index after it.
  auto copy_char = [&](size_t i) {
    size_t j = i + 1;
    while (j < len && (static_cast<unsigned char>(tmpl[j]) & 0xC0) == 0x80) ++j;
    out.append(tmpl.substr(i, j - i));
    return j;
  };
  size_t i = 0;
  while (i < len) {
    const char c = tmpl[i];
    if (c == '$') {
      if (i + 1 >= len) {
        out.push_back('$');
        ++i;
        continue;
      }
      const char d = tmpl[i + 1];
      if (d == '$') {
        out.push_back('$');
        i += 2;
      } else if (d == '&') {
        if (auto t = m.group(0)) out.append(*t);
        i += 2;
      } else if (d == '{') {
        i = reference(i + 2, '}');
      } else if (is_digit(i + 1)) {
        const size_t j = digit_run(i + 1);
        append_group(out, m, tmpl.substr(i + 1, j - i - 1));
        i = j;
      } else {
        out.push_back('$');
        i = copy_char(i + 1);
      }
    } else if (c == '\\') {
      if (i + 1 >= len) {
        out.push_back('\\');
        ++i;
        continue;
      }
      const char d = tmpl[i + 1];
      if (d == '\\') {
        out.push_back('\\');
        i += 2;
      } else if (d == 'n') {
        out.push_back('\n');
        i += 2;
      } else if (d == 'r') {
        out.push_back('\r');
        i += 2;
      } else if (d == 't') {
        out.push_back('\t');
        i += 2;
      } else if (d == 'g') {
        if (i + 2 < len && (tmpl[i + 2] == '<' || tmpl[i + 2] == '\'')) {
          i = reference(i + 3, tmpl[i + 2] == '<' ? '>' : '\'');
        } else {
          i += 2;
        }
      } else if (is_digit(i + 1)) {
        const size_t j = digit_run(i + 1);
        append_group(out, m, tmpl.substr(i + 1, j - i - 1));
        i = j;
      } else {
        out.push_back('\\');
        i = copy_char(i + 1);
      }
    } else {
      out.push_back(c);
      ++i;
    }
  }
}

std::string expand(std::string_view tmpl, const Match& m) {
  std::string out;
  expand(tmpl, m, out);
  return out;
}

}  // namespace regex

}  // namespace kordal
