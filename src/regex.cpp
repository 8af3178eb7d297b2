// Compilation glue, and every search of the public API over the strategy.
//
// Each search call wraps the haystack in a State (read in place; a UTF-8
// haystack from C++ is decoded once unless it is ASCII) and hands it to the
// pattern's Strategy (strategy.hpp), which decides the engines. Byte offsets
// are computed only for the spans reported, from the last position
// converted, so a search that stops early costs nothing proportional to the
// rest of the text. Replacement, like the iterators (iterators.hpp), keeps
// one State for the whole walk, so its conversions add up to one pass. Cancellation and an
// exhausted backtrack stack end a search with a Status. No exception leaves
// this file: allocation failure becomes Status::NoMemory.
#include "regex.hpp"

#include "ascii_fold.hpp"
#include "parser.hpp"
#include "poll.hpp"
#include "program.hpp"
#include "state.hpp"
#include "strategy.hpp"
#include "template.hpp"

namespace kordal {

namespace {

// Runs f(State&) on the thread's pooled State leased for `text`. The lease is
// made in two places, one per form of haystack: a branch inside the lease
// would cost a search an extra thread-local lookup (GCC hoists it). A Text
// is what the Python module passes, so it is the straight path.
template <class F>
Status with_lease(size_t group_count, AnyText text, F&& f) {
  if (text.is_text()) [[likely]] {
    StateLease lease(group_count, text.text());
    return f(*lease);
  }
  StateLease lease(group_count, text.utf8());
  return f(*lease);
}

}  // namespace

Regex::Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;
Regex::~Regex() = default;

Result<Regex> Regex::new_with_flags(std::string_view pattern, uint32_t f,
                                    const CompileOptions& options) {
  if ((f & flags::kCharsetFlags) == 0) f |= flags::UNICODE;
  Parser p(pattern, f & flags::kParserFlags);
  p.ascii_case = options.ascii_case;
  Result<ParseOutput> r = p.run();
  if (!r.ok()) return r.error();
  if ((f & flags::kVersionFlags) == 0) f |= flags::VERSION1;
  Regex re;
  re.pattern_ = std::string(pattern);
  re.tree_ = std::make_unique<Node>(std::move(r.value().tree));
  re.names_ = std::make_shared<const Names>(std::move(r.value().names));
  re.group_count_ = r.value().group_count;
  re.flags_ = f;
  if (options.ascii_case) fold_ascii_case(*re.tree_);
  annotate(*re.tree_);
  re.program_ = std::make_unique<const Program>(compile_program(*re.tree_));
  re.strategy_ = std::make_unique<const Strategy>(*re.tree_, *re.program_, analyze(*re.tree_),
                                                  re.group_count_);
  return re;
}

const Analysis& Regex::analysis() const {
  return strategy_->analysis();
}

std::string Regex::dump() const {
  std::string out;
  tree_->dump(out, 0);
  return out;
}

std::unique_ptr<State> Regex::build_state(AnyText text) const {
  return std::make_unique<State>(text.is_text() ? kordal::build_state(group_count_, text.text())
                                                : kordal::build_state(group_count_, text.utf8()));
}

Status Regex::find_from(State& st, size_t s0, bool& found, const SearchControl& ctl) const {
  Strategy::Answer a;
  const Status status = strategy_->search(Strategy::Op::Find, st, s0, ctl, a);
  found = a.found;
  return status;
}

Status Regex::search_state(State& st, size_t s0, Anchor anchor, bool nonempty, bool& found,
                           const SearchControl& ctl) const {
  return guarded([&] {
    found = false;
    if (s0 > st.n) return Status::Ok;
    const Strategy::Op op = anchor == Anchor::Full    ? Strategy::Op::Full
                            : anchor == Anchor::Start ? Strategy::Op::Anchored
                                                      : Strategy::Op::Find;
    Strategy::Answer a;
    if (nonempty) {
      // The attempt at s0 (on the VM alone, which honours no_empty_at), then
      // for Find an ordinary search from the next position, where empty
      // matches are allowed again.
      st.no_empty_at = s0;
      const Status status =
          strategy_->search(op == Strategy::Op::Find ? Strategy::Op::Anchored : op, st, s0, ctl, a);
      st.no_empty_at = kUnset;
      if (status != Status::Ok || a.found || op != Strategy::Op::Find) {
        found = a.found;
        return status;
      }
      if (++s0 > st.n) return Status::Ok;
    }
    const Status status = strategy_->search(op, st, s0, ctl, a);
    found = a.found;
    return status;
  });
}

void Regex::fill_match(Match& m, std::string_view text, const State& st) const {
  const size_t g_count = st.caps().size();
  m.text = text;
  m.caps.resize(g_count);
  for (size_t g = 0; g < g_count; ++g) {
    const CpSpan c = st.caps()[g];
    m.caps[g] = c.set() ? Span{st.offset(c.start), st.offset(c.end), c.start, c.end} : Span{};
  }
  m.history.clear();
  m.flat_history = st.flat;
  if (m.names != names_) m.names = names_;
  if (st.flat) {
    m.history_starts.clear();
    return;
  }
  m.history_starts.resize(g_count + 1);
  size_t total = 0;
  for (size_t g = 0; g < g_count; ++g) total += st.history(g).size();
  m.history.reserve(total);
  // Byte offsets of history spans are reported only by the C++ API; the
  // Python module cuts their texts by code points.
  const bool bytes = st.from_utf8;
  for (size_t g = 0; g < g_count; ++g) {
    m.history_starts[g] = m.history.size();
    for (const CpSpan& c : st.history(g)) {
      m.history.push_back(bytes ? Span{st.offset(c.start), st.offset(c.end), c.start, c.end}
                                : Span{kUnset, kUnset, c.start, c.end});
    }
  }
  m.history_starts[g_count] = m.history.size();
}

Status Regex::run_one(State& st, size_t index, int mode, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  Strategy::Answer a;
  const Status status = strategy_->search(Strategy::Op(mode), st, index, ctl, a);
  if (status == Status::Ok && a.found) {
    if (!out) out.emplace();
    fill_match(*out, st.utf8, st);
  } else {
    out.reset();
  }
  return status;
}

Status Regex::is_match(AnyText text, bool& out, const SearchControl& ctl) const {
  out = false;
  return guarded([&] {
    return with_lease(group_count_, text, [&](State& st) {
      Strategy::Answer a;
      const Status status = strategy_->search(Strategy::Op::IsMatch, st, 0, ctl, a);
      out = a.found;
      return status;
    });
  });
}

Status Regex::find(AnyText text, std::optional<Match>& out, const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text,
                      [&](State& st) { return run_one(st, 0, int(Strategy::Op::Find), out, ctl); });
  });
}

Status Regex::find_at(AnyText text, size_t byte_start, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text, [&](State& st) {
      return run_one(st, st.index_of_byte(byte_start), int(Strategy::Op::Find), out, ctl);
    });
  });
}

Status Regex::find_at_index(AnyText text, TextPos start, std::optional<Match>& out,
                            const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text, [&](State& st) {
      if (start.index <= st.n) st.cursor.learn(start);
      return run_one(st, start.index < st.n ? start.index : st.n, int(Strategy::Op::Find), out,
                     ctl);
    });
  });
}

Status Regex::match_at_start(AnyText text, std::optional<Match>& out,
                             const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text, [&](State& st) {
      return run_one(st, 0, int(Strategy::Op::Anchored), out, ctl);
    });
  });
}

Status Regex::fullmatch(AnyText text, std::optional<Match>& out, const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text,
                      [&](State& st) { return run_one(st, 0, int(Strategy::Op::Full), out, ctl); });
  });
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

Status Regex::find_partial(AnyText text, std::optional<PartialMatch>& out,
                           const SearchControl& ctl) const {
  return guarded(out, [&] {
    return with_lease(group_count_, text, [&](State& st) {
      Strategy::Answer a;
      const Status status = strategy_->search(Strategy::Op::Partial, st, 0, ctl, a);
      if (status != Status::Ok || !a.found) {
        out.reset();
        return status;
      }
      if (a.full) {
        PartialCandidate c;
        c.caps = st.caps();
        c.pos = st.n;
        out = build_partial_match(st, true, a.start, c);
      } else {
        out = build_partial_match(st, false, a.start, *st.best_partial);
      }
      return status;
    });
  });
}

namespace {

// Replacement output as UTF-8: code-point ranges become byte slices.
class Utf8Sink final : public ReplaceSink {
 public:
  Utf8Sink(std::string& out, const State& st) : out_(out), st_(st) {}
  void copy(size_t a, size_t b) override {
    if (a >= b) return;
    const size_t ba = st_.offset(a);
    out_.append(st_.utf8.substr(ba, st_.offset(b) - ba));
  }
  void literal(std::string_view utf8) override { out_.append(utf8); }

 private:
  std::string& out_;
  const State& st_;
};

}  // namespace

Status Regex::replace_in(State& st, std::string_view repl, bool all, ReplaceSink& sink,
                         bool& replaced, const SearchControl& ctl) const {
  replaced = false;
  size_t p = 0;
  const size_t n = st.n;
  // The template is parsed once, into literal pieces (views of it, or of
  // static strings, adjacent ones joined) and group references.
  struct Piece {
    std::string_view text;
    size_t group;  // kUnset for literal text
  };
  std::vector<Piece> pieces;
  regex::expand_with(
      repl, st.caps().size(), names_.get(),
      [&](std::string_view t) {
        if (!pieces.empty() && pieces.back().group == kUnset &&
            pieces.back().text.data() + pieces.back().text.size() == t.data()) {
          pieces.back().text =
              std::string_view(pieces.back().text.data(), pieces.back().text.size() + t.size());
        } else if (!t.empty()) {
          pieces.push_back(Piece{t, kUnset});
        }
      },
      [&](size_t g) {
        pieces.push_back(Piece{{}, g});
      });
  // Polled as a find-all walk is: a walk of short steps would otherwise
  // never poll, and the first poll is where a long one lends the lock.
  size_t poll_at = p;
  for (;;) {
    if (p >= poll_at && lend_for_batch(n - p)) {
      if (ctl.poll && ctl.poll(ctl.ctx)) return Status::Interrupted;
      poll_at = p + kBatchText;
    }
    bool found = false;
    const Status status = find_from(st, p, found, ctl);
    if (status != Status::Ok) return status;
    if (!found) {
      sink.copy(p, n);
      return Status::Ok;
    }
    replaced = true;
    const size_t s = st.caps()[0].start, e = st.caps()[0].end;
    sink.copy(p, s);
    for (const Piece& piece : pieces) {
      if (piece.group == kUnset) {
        sink.literal(piece.text);
      } else if (piece.group < st.caps().size() && st.caps()[piece.group].set()) {
        sink.copy(st.caps()[piece.group].start, st.caps()[piece.group].end);
      }
    }
    if (!all) {
      sink.copy(e, n);
      return Status::Ok;
    }
    if (e > s) {
      p = e;
      continue;
    }
    if (s < n) sink.copy(s, s + 1);
    p = s + 1;
    if (p > n) return Status::Ok;
  }
}

Status Regex::replace(std::string_view text, std::string_view repl, std::string& out,
                      const SearchControl& ctl) const {
  out.clear();
  return guarded([&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    out.reserve(text.size());
    Utf8Sink sink(out, st);
    bool replaced = false;
    const Status status = replace_in(st, repl, false, sink, replaced, ctl);
    if (status != Status::Ok) out.clear();
    return status;
  });
}

Status Regex::replace_all(std::string_view text, std::string_view repl, std::string& out,
                          const SearchControl& ctl) const {
  out.clear();
  return guarded([&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    out.reserve(text.size());
    Utf8Sink sink(out, st);
    bool replaced = false;
    const Status status = replace_in(st, repl, true, sink, replaced, ctl);
    if (status != Status::Ok) out.clear();
    return status;
  });
}

Status Regex::replace(AnyText text, std::string_view repl, bool all, ReplaceSink& sink,
                      bool& replaced, const SearchControl& ctl) const {
  replaced = false;
  return guarded([&] {
    return with_lease(group_count_, text,
                      [&](State& st) { return replace_in(st, repl, all, sink, replaced, ctl); });
  });
}

}  // namespace kordal
