// Compilation glue, and every search with the choice of engine for it.
//
// Each search call wraps the haystack in a State (read in place; a UTF-8
// haystack from C++ is decoded once unless it is ASCII) and tries start
// positions left to right; the first start at which an attempt succeeds
// wins. An attempt is made by the one-pass matcher when the pattern allows
// it, else by the backtracking VM; after a few failed or long attempts the
// lazy DFA finds the next match in one pass, and an attempt from its start
// fills the groups. A pattern that is one string is found by its literal
// searcher alone. Starts are skipped, with scans that are templates over the
// code-unit width, where the pattern's required literal (the analysis's
// needle) cannot lie within reach, where the first code point cannot begin a
// match, and where too little text is left; a search whose needle does not
// occur ends after one scan. Skipping a start that can match would change
// results, so each rule is one the analysis proves. Byte offsets are
// computed only for the spans reported, from the last position converted, so
// a search that stops early costs nothing proportional to the rest of the
// text. Iteration, split and replacement keep one State for the whole walk,
// so their conversions add up to one pass. Cancellation and an exhausted
// backtrack stack end a search with a Status. No exception leaves this file:
// allocation failure becomes Status::NoMemory.
#include "regex.hpp"

#include <atomic>
#include <bitset>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "analysis.hpp"
#include "ascii_fold.hpp"
#include "backtracker.hpp"
#include "dfa.hpp"
#include "onepass.hpp"
#include "parser.hpp"
#include "prefilter.hpp"
#include "program.hpp"
#include "state.hpp"

namespace kordal {

namespace {

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

// Runs a search that writes `out`, which keeps its storage across calls (a
// caller that reuses it allocates nothing per match) and is emptied on a miss
// or an error.
template <class T, class F>
Status into(std::optional<T>& out, F&& f) {
  const Status status = guarded(std::forward<F>(f));
  if (status != Status::Ok) out.reset();
  return status;
}

}  // namespace

struct Regex::DfaSlot {
  std::once_flag once;
  std::atomic<bool> ready{false};  // spares every later search the once-flag's cost
  std::unique_ptr<const Dfa> dfa;  // null when the pattern is beyond the DFA
  // Null unless the pattern is one-pass and its groups close at most once.
  std::unique_ptr<const OnePass> onepass;
  StartSet starts;
  bool skips = false;  // whether `starts` rules anything out
};

const Dfa* Regex::dfa() const {
  if (!dfa_) return nullptr;
  if (dfa_->ready.load(std::memory_order_acquire)) return dfa_->dfa.get();
  std::call_once(dfa_->once, [this] {
    DfaSlot& d = *dfa_;
    d.dfa = Dfa::build(*tree_);
    const Analysis& an = *analysis_;
    if (an.flat_groups) d.onepass = OnePass::build(*tree_, group_count_);
    StartSet& ss = d.starts;
    switch (an.skip) {
      case Analysis::Skip::None:
        return;
      case Analysis::Skip::Byte:
        ss.lo[an.byte] = true;
        ss.only = an.byte;
        break;
      case Analysis::Skip::Char:
        if (an.ch < 256) {
          ss.lo[an.ch] = true;
          ss.only = int(an.ch);
        } else {
          ss.high = true;
        }
        break;
      case Analysis::Skip::Set:
        for (size_t c = 0; c < 256; ++c) ss.lo[c] = an.lo[c];
        ss.high = an.high;
        break;
    }
    d.skips = true;
  });
  dfa_->ready.store(true, std::memory_order_release);
  return dfa_->dfa.get();
}

const OnePass* Regex::onepass() const {
  return dfa_ ? dfa_->onepass.get() : nullptr;
}

const StartSet* Regex::dfa_starts() const {
  return dfa_ && dfa_->skips ? &dfa_->starts : nullptr;
}

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
  bool exists = false;     // Find: only whether a match exists (no spans)
  Backtracker* vm = nullptr;
  const Dfa* dfa = nullptr;  // Find: the DFA, until it gives up for this call
  // Find and Anchored: the one-pass matcher, until it gives up.
  const OnePass* onepass = nullptr;
  bool literal = false;  // Find: the pattern is one string, its needle
  bool vm_only = false;  // the VM alone: st->no_empty_at is set

  // Next start >= s that can begin a match, or n + 1.
  template <class U>
  size_t skip(const U* p, size_t s) const {
    const Analysis& an = *re->analysis_;
    const size_t n = st->n;
    if (an.skip == Analysis::Skip::None) return s;
    if (s >= n) return n + 1;  // a match needs at least one code point
    switch (an.skip) {
      case Analysis::Skip::Byte:
        return find_unit(p, s, n, U(an.byte));
      case Analysis::Skip::Char:
        // A text without such code points (ASCII, or too narrow) holds none.
        if (st->text.ascii || an.ch > char32_t(U(~U(0)))) return n + 1;
        return find_unit(p, s, n, U(an.ch));
      default:
        break;
    }
    for (; s < n; ++s) {
      const char32_t c = p[s];
      if (sizeof(U) == 1 ? an.lo[c] : c < 256 ? an.lo[c] : an.high) return s;
    }
    return n + 1;
  }

  // First index >= s in [s, n) whose unit is c, or n + 1.
  template <class U>
  static size_t find_unit(const U* p, size_t s, size_t n, U c) {
    if constexpr (sizeof(U) == 1) {
      const void* hit = std::memchr(p + s, c, n - s);
      return hit ? size_t(static_cast<const U*>(hit) - p) : n + 1;
    } else {
      constexpr size_t kBlock = 32;
      while (n - s >= kBlock) {
        U hit = 0;
        for (size_t j = 0; j < kBlock; ++j) hit |= U(p[s + j] == c);
        if (hit) break;
        s += kBlock;
      }
      while (s < n && p[s] != c) ++s;
      return s < n ? s : n + 1;
    }
  }

  // One attempt at t.pos, given up after about `budget` steps (0: never).
  bool attempt(bool to_end, uint64_t budget = 0) {
    vm->set_run_budget(budget);
    return vm->run(*st, to_end);
  }

  // Text is scanned for the needle in slices of this many code points, with
  // a poll between slices, so that a long scan can still be interrupted.
  static constexpr size_t kScanSlice = size_t(1) << 20;

  // The leftmost occurrence of the needle at or after `from`, or kNoPos when
  // there is none or the poll hook stopped the search (st->status says so).
  template <class U>
  size_t next_occurrence(const U* p, size_t from) {
    const Prefilter& pf = *re->prefilter_;
    const size_t n = st->n;
    while (from < n) {
      const size_t until = n - from > kScanSlice ? from + kScanSlice : n;
      const size_t hit = pf.find_before(p, n, from, until);
      if (hit != kNoPos) return hit;
      if (until == n) break;
      if (st->ctl && st->ctl->poll && st->ctl->poll(st->ctl->ctx)) {
        st->status = Status::Interrupted;
        return kNoPos;
      }
      from = until;
    }
    return kNoPos;
  }

  static constexpr size_t kVmTurns = 4;
  // Steps after which a turn is handed to the DFA (a loop over single
  // characters counts one step per 16 it scans): a match that needs more
  // costs the VM more than the DFA's scans (the cloud-flare `.*.*=.*` does
  // tens of thousands before its memo starts).
  static constexpr uint64_t kVmTurnBudget = 4096;

  // Leftmost-first search from s0. Start positions are ruled out by the
  // needle (every match contains one of its literals, beginning min_off to
  // max_off code points after the match start, so an occurrence at q allows
  // the starts [q - max_off, q - min_off] and no occurrence allows none), by
  // the first code point, by the least match length and by a start anchor.
  template <class U>
  void find_units(const U* p) {
    State& t = *st;
    const Analysis& an = *re->analysis_;
    const Prefilter* pf = re->prefilter_.get();
    if (an.min_len > t.n || (an.anchored_start && s0 > 0)) return;
    if (literal) {
      find_literal(p);
      return;
    }
    const size_t last = t.n - size_t(an.min_len);  // the last start that leaves room
    size_t hi = 0;                                 // the current window's last start
    bool window = false;
    // The VM tries the first few starts the skips allow: a match found there
    // costs it less than the DFA's two scans and their setup, and many
    // searches end there (anchored patterns, literals, one match per line,
    // a start just past the previous match). After a few failed starts the
    // DFA finds the next match, if any, in one pass.
    size_t vm_turns = kVmTurns;
    // A start-anchored pattern has one start: the VM's first turn settles it
    // for less than a needle scan would cost, and a turn that runs long is
    // handed to the DFA, which consults the needle first.
    const bool needle_first = !(an.anchored_start && dfa);
    for (size_t s = s0;;) {
      if (pf && (!window || s > hi) && (needle_first || vm_turns == 0)) {
        const Needle& nd = pf->needle();
        if (s > last || nd.min_off > t.n - s) return;
        const size_t q = next_occurrence(p, s + size_t(nd.min_off));
        if (q == kNoPos) return;
        if (nd.max_off != kUnbounded && q - s > nd.max_off) s = q - size_t(nd.max_off);
        hi = q - size_t(nd.min_off);
        window = true;
      }
      s = skip(p, s);
      if (s > last || (an.anchored_start && s > 0)) return;
      if (pf && window && s > hi) continue;
      if (dfa && vm_turns == 0 && dfa_find(s)) return;
      t.reset(s);
      // Under the VM's turn budget (a loop's step is 16 code points), and
      // only with the DFA to hand an attempt over it to.
      if (onepass && dfa) {
        const OnePass::Outcome o = onepass->match_at(t, s, kVmTurnBudget * 16);
        if (o == OnePass::Outcome::Found) {
          set_whole(s);
          return;
        }
        if (o == OnePass::Outcome::Stopped) return;
        if (o == OnePass::Outcome::NotFound) {
          if (vm_turns > 0) --vm_turns;
          const size_t run_end = Backtracker::lead_run_end(*re->program_, t, s);
          s = run_end != kUnset && run_end >= s + 1 ? run_end + 1 : s + 1;
          continue;
        }
        if (o == OnePass::Outcome::OverBudget) {
          vm_turns = 0;  // the DFA answers from this same start
          continue;
        }
        onepass = nullptr;  // a code point it has no class for
      }
      if (attempt(false, dfa ? kVmTurnBudget : 0)) {
        set_whole(s);
        return;
      }
      if (t.status != Status::Ok) return;
      if (vm->abandoned()) {
        vm_turns = 0;  // a long attempt: the DFA answers from this same start
        continue;
      }
      if (vm_turns > 0) --vm_turns;
      // A failed attempt that began with a greedy unbounded loop tried the
      // rest of the pattern at every position the loop reached; a start
      // inside that run reaches a subset of them, so it fails too.
      const size_t run_end = vm->lead_end();
      s = run_end != kUnset && run_end >= s + 1 ? run_end + 1 : s + 1;
    }
  }

  // A pattern that is one string: its leftmost occurrence is the match. The
  // needle searcher finds candidates (the string is the needle's one
  // literal); each is checked here, so the searcher need not be exact.
  template <class U>
  void find_literal(const U* p) {
    State& t = *st;
    const std::u32string& lit = re->analysis_->literal;
    const size_t len = lit.size();
    for (size_t from = s0; from + len <= t.n;) {
      const size_t q = next_occurrence(p, from);
      if (q == kNoPos || q + len > t.n) return;
      size_t i = 0;
      while (i < len && char32_t(p[q + i]) == lit[i]) ++i;
      if (i == len) {
        t.reset(q);
        t.pos = q + len;
        set_whole(q);
        return;
      }
      from = q + 1;
    }
  }

  // The search from s, the first start not ruled out, with the DFA: true
  // when it has the answer, false when it gave up (the VM goes on from s).
  bool dfa_find(size_t s) {
    State& t = *st;
    const bool anchored = re->analysis_->anchored_start;
    size_t e = 0, ms = 0;
    Dfa::Outcome o;
    if (exists) {
      o = dfa->find_end(t, s, anchored, true, e, re->dfa_starts());
    } else {
      o = dfa->find_span(t, s, anchored, ms, e, re->dfa_starts());
    }
    if (o == Dfa::Outcome::GaveUp) {
      dfa = nullptr;
      return false;
    }
    if (o != Dfa::Outcome::Found) return true;  // no match, or stopped
    if (exists) {
      found = true;
      return true;
    }
    t.reset(ms);
    if (re->group_count_ == 0) {
      t.pos = e;
      set_whole(ms);
      return true;
    }
    // The priority-first path from ms ends at e, so the VM from ms alone
    // gives the groups.
    if (onepass) {
      const OnePass::Outcome o = onepass->match_at(t, ms);
      if (o == OnePass::Outcome::Found) {
        set_whole(ms);
        return true;
      }
      if (o == OnePass::Outcome::Stopped) return true;
      onepass = nullptr;
    }
    if (attempt(false)) {
      set_whole(ms);
      return true;
    }
    if (t.status != Status::Ok) return true;
    dfa = nullptr;
    return false;
  }

  // The next start >= s that a partial search must try, or n + 1. Only for
  // patterns without lookaround, back references or atomic groups: there a
  // partial match at s < n has consumed t[s..n), so t[s] begins a match and
  // t[s..n) either holds a prefix literal or is cut short inside one, and a
  // start anchor fails before anything is consumed. (A lookahead can reach
  // the end of the text from any start.)
  template <class U>
  size_t partial_start(const U* p, size_t s) {
    const Analysis& an = *re->analysis_;
    const size_t n = st->n;
    if (!an.regular) return s;
    if (an.anchored_start && s > 0) return n + 1;
    const Prefilter* pf = re->prefilter_.get();
    if (pf && pf->needle().is_prefix()) {
      const size_t tail = n - std::min(n, pf->partial_tail());
      if (s < tail) {
        const size_t q = next_occurrence(p, s);
        if (st->status != Status::Ok) return n + 1;
        s = q < tail ? q : tail;
      }
    }
    return skip(p, s);
  }

  void run() {
    with_units(st->text, [this](const auto* p) { run_units(p); });
  }

  template <class U>
  void run_units(const U* p) {
    State& t = *st;
    found = false;
    switch (mode) {
      case Mode::Find:
        find_units(p);
        return;
      case Mode::Anchored:
      case Mode::Full:
        if (s0 > t.n) return;
        t.reset(s0);
        if (onepass) {
          const OnePass::Outcome o = onepass->match_at(t, s0);
          if (o == OnePass::Outcome::Found) set_whole(s0);
          if (o != OnePass::Outcome::GaveUp) return;
        }
        if (attempt(mode == Mode::Full)) {
          set_whole(s0);
        }
        return;
      case Mode::Partial:
        for (size_t s = s0; s <= t.n; ++s) {
          s = partial_start(p, s);
          if (s > t.n) return;
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
    if (!t.flat) t.history[0].push_back(CpSpan{s, t.pos});
    found = true;
  }

  Status go(const SearchControl& ctl) {
    st->ctl = &ctl;
    st->status = Status::Ok;
    st->flat = re->analysis_->flat_groups;
    Backtracker bt(*re->program_);
    vm = &bt;
    if (mode == Mode::Find) literal = re->literal_;
    if (!literal && !vm_only && (mode == Mode::Find || mode == Mode::Anchored)) {
      const Dfa* d = re->dfa();
      if (mode == Mode::Find) dfa = d;
      // Without groups, an attempt of a pattern that leads with a greedy loop
      // is a scan for the VM, whose failure skips the loop's run; the one-pass
      // matcher would scan it twice.
      const bool scan = re->group_count_ == 0 && Backtracker::leads_with_loop(*re->program_);
      if (!scan) onepass = re->onepass();
    }
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

Result<Regex> Regex::new_with_flags(std::string_view pattern, uint32_t f,
                                    const CompileOptions& options) {
  if ((f & 0x118) == 0) f |= flags::UNICODE;
  Parser p(pattern, f & 0x1ff);
  p.ascii_case = options.ascii_case;
  Result<ParseOutput> r = p.run();
  if (!r.ok()) return r.error();
  if ((f & 0x30000) == 0) f |= flags::VERSION1;
  Regex re;
  re.pattern_ = std::string(pattern);
  re.tree_ = std::make_unique<Node>(std::move(r.value().tree));
  re.names_ = std::make_shared<const Names>(std::move(r.value().names));
  re.group_count_ = r.value().group_count;
  re.flags_ = f;
  if (options.ascii_case) fold_ascii_case(*re.tree_);
  annotate(*re.tree_);
  re.program_ = std::make_unique<const Program>(compile_program(*re.tree_));
  re.analysis_ = std::make_unique<Analysis>(analyze(*re.tree_));
  if (re.analysis_->regular) re.dfa_ = std::make_unique<DfaSlot>();
  if (re.analysis_->needle) {
    const Needle& nd = *re.analysis_->needle;
    const std::u32string& lit = re.analysis_->literal;
    // Whether the needle is exactly the string the pattern is.
    re.literal_ = !lit.empty() && nd.is_prefix() && nd.lits.size() == 1 &&
                  nd.lits[0].chars.size() == lit.size();
    for (size_t i = 0; re.literal_ && i < lit.size(); ++i) {
      re.literal_ = !nd.lits[0].chars[i].fold && nd.lits[0].chars[i].ch == lit[i];
    }
    re.prefilter_ = std::make_unique<const Prefilter>(std::move(*re.analysis_->needle));
    re.analysis_->needle.reset();  // the prefilter holds it
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

std::unique_ptr<State> Regex::build_state(const Text& text) const {
  return std::make_unique<State>(kordal::build_state(group_count_, text));
}

Status Regex::find_from(State& st, size_t s0, bool& found, const SearchControl& ctl) const {
  Searcher s{this, &st, s0, Searcher::Mode::Find};
  const Status status = s.go(ctl);
  found = s.found;
  return status;
}

Status Regex::search_state(State& st, size_t s0, Anchor anchor, bool nonempty, bool& found,
                           const SearchControl& ctl) const {
  return guarded([&] {
    found = false;
    if (s0 > st.n) return Status::Ok;
    const Searcher::Mode mode = anchor == Anchor::Full    ? Searcher::Mode::Full
                                : anchor == Anchor::Start ? Searcher::Mode::Anchored
                                                          : Searcher::Mode::Find;
    if (nonempty) {
      // The attempt at s0 on the VM alone, then (for Find) an ordinary search
      // from the next position, where empty matches are allowed again.
      st.no_empty_at = s0;
      Searcher s{this, &st, s0, mode == Searcher::Mode::Find ? Searcher::Mode::Anchored : mode};
      s.vm_only = true;
      const Status status = s.go(ctl);
      st.no_empty_at = kUnset;
      if (status != Status::Ok || s.found || mode != Searcher::Mode::Find) {
        found = s.found;
        return status;
      }
      if (++s0 > st.n) return Status::Ok;
    }
    Searcher s{this, &st, s0, mode};
    const Status status = s.go(ctl);
    found = s.found;
    return status;
  });
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
  m.flat_history = st.flat;
  if (m.names != names_) m.names = names_;
  if (st.flat) {
    m.history_starts.clear();
    return;
  }
  m.history_starts.resize(g_count + 1);
  size_t total = 0;
  for (size_t g = 0; g < g_count; ++g) total += st.history[g].size();
  m.history.reserve(total);
  // Byte offsets of history spans are reported only by the C++ API; the
  // Python module cuts their texts by code points.
  const bool bytes = st.from_utf8;
  for (size_t g = 0; g < g_count; ++g) {
    m.history_starts[g] = m.history.size();
    for (const CpSpan& c : st.history[g]) {
      m.history.push_back(bytes ? Span{st.offset(c.start), st.offset(c.end), c.start, c.end}
                                : Span{kUnset, kUnset, c.start, c.end});
    }
  }
  m.history_starts[g_count] = m.history.size();
}

Match Regex::match_from_state(std::string_view text, const State& st) const {
  Match m;
  fill_match(m, text, st);
  return m;
}

Status Regex::run_one(State& st, size_t index, int mode, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  Searcher s{this, &st, index, Searcher::Mode(mode)};
  const Status status = s.go(ctl);
  if (status == Status::Ok && s.found) {
    if (!out) out.emplace();
    fill_match(*out, st.utf8, st);
  } else {
    out.reset();
  }
  return status;
}

Status Regex::is_match_in(State& st, bool& out, const SearchControl& ctl) const {
  Searcher s{this, &st, 0, Searcher::Mode::Find};
  s.exists = true;
  const Status status = s.go(ctl);
  out = s.found;
  return status;
}

Status Regex::is_match(std::string_view text, bool& out, const SearchControl& ctl) const {
  out = false;
  return guarded([&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return is_match_in(st, out, ctl);
  });
}

Status Regex::is_match(const Text& text, bool& out, const SearchControl& ctl) const {
  out = false;
  return guarded([&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return is_match_in(st, out, ctl);
  });
}

Status Regex::find(std::string_view text, std::optional<Match>& out,
                   const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Find), out, ctl);
  });
}

Status Regex::find(const Text& text, std::optional<Match>& out, const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Find), out, ctl);
  });
}

Status Regex::find_at(std::string_view text, size_t byte_start, std::optional<Match>& out,
                      const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, st.index_of_byte(byte_start), int(Searcher::Mode::Find), out, ctl);
  });
}

Status Regex::find_at_index(const Text& text, TextPos start, std::optional<Match>& out,
                            const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    if (start.index <= st.n) st.cursor.learn(start);
    return run_one(st, start.index < st.n ? start.index : st.n, int(Searcher::Mode::Find), out,
                   ctl);
  });
}

Status Regex::match_at_start(std::string_view text, std::optional<Match>& out,
                             const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Anchored), out, ctl);
  });
}

Status Regex::match_at_start(const Text& text, std::optional<Match>& out,
                             const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Anchored), out, ctl);
  });
}

Status Regex::fullmatch(std::string_view text, std::optional<Match>& out,
                        const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Full), out, ctl);
  });
}

Status Regex::fullmatch(const Text& text, std::optional<Match>& out,
                        const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return run_one(st, 0, int(Searcher::Mode::Full), out, ctl);
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

Status Regex::find_partial_in(State& st, std::optional<PartialMatch>& out,
                              const SearchControl& ctl) const {
  st.partial = true;
  Searcher s{this, &st, 0, Searcher::Mode::Partial};
  const Status status = s.go(ctl);
  if (status != Status::Ok || !s.found) {
    out.reset();
    return status;
  }
  if (s.full) {
    PartialCandidate c;
    c.caps = st.caps;
    c.pos = st.n;
    out = build_partial_match(st, true, s.match_start, c);
  } else {
    out = build_partial_match(st, false, s.match_start, *st.best_partial);
  }
  return status;
}

Status Regex::find_partial(std::string_view text, std::optional<PartialMatch>& out,
                           const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return find_partial_in(st, out, ctl);
  });
}

Status Regex::find_partial(const Text& text, std::optional<PartialMatch>& out,
                           const SearchControl& ctl) const {
  return into(out, [&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return find_partial_in(st, out, ctl);
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
  const Names* names = names_.get();
  auto lit = [&](std::string_view t) { sink.literal(t); };
  auto group = [&](size_t g) {
    if (g < st.caps.size() && st.caps[g].set()) sink.copy(st.caps[g].start, st.caps[g].end);
  };
  for (;;) {
    bool found = false;
    const Status status = find_from(st, p, found, ctl);
    if (status != Status::Ok) return status;
    if (!found) {
      sink.copy(p, n);
      return Status::Ok;
    }
    replaced = true;
    const size_t s = st.caps[0].start, e = st.caps[0].end;
    sink.copy(p, s);
    regex::expand_with(repl, st.caps.size(), names, lit, group);
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

Status Regex::replace(const Text& text, std::string_view repl, bool all, ReplaceSink& sink,
                      bool& replaced, const SearchControl& ctl) const {
  replaced = false;
  return guarded([&] {
    StateLease lease(group_count_, text);
    State& st = *lease;
    return replace_in(st, repl, all, sink, replaced, ctl);
  });
}

FindIter::FindIter(const Regex& re, std::string_view text) : re_(re), text_(text) {
  try {
    state_ = re.build_state(text);
  } catch (const std::exception&) {
    state_.reset();
  }
}
FindIter::FindIter(const Regex& re, const Text& text) : re_(re) {
  try {
    state_ = re.build_state(text);
  } catch (...) {
    state_.reset();
  }
}
FindIter::~FindIter() = default;

Status FindIter::next(std::optional<Match>& out, const SearchControl& ctl) {
  if (!state_) {
    out.reset();
    return Status::NoMemory;
  }
  return into(out, [&] {
    bool found = false;
    const Status status = re_.find_from(*state_, next_start_, found, ctl);
    if (status != Status::Ok || !found) {
      out.reset();
      return status;
    }
    const CpSpan whole = state_->caps[0];
    if (!out) out.emplace();
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
SplitIter::SplitIter(const Regex& re, const Text& text) : re_(re) {
  try {
    state_ = re.build_state(text);
  } catch (...) {
    state_.reset();
  }
}
SplitIter::~SplitIter() = default;

Status SplitIter::next(std::optional<std::string_view>& out, const SearchControl& ctl) {
  out.reset();
  std::optional<Segment> seg;
  const Status status = next_segment(seg, ctl);
  if (status == Status::Ok && seg) {
    if (seg->start >= seg->end) {
      out = std::string_view();
    } else {
      const size_t a = state_->offset(seg->start);
      out = text_.substr(a, state_->offset(seg->end) - a);
    }
  }
  return status;
}

Status SplitIter::next_segment(std::optional<Segment>& out, const SearchControl& ctl) {
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
    const size_t p = next_start_ <= st.n ? next_start_ : st.n;
    bool found = false;
    const Status status = re_.find_from(st, next_start_, found, ctl);
    if (status != Status::Ok) return status;
    if (!found) {
      out = Segment{p, st.n};
      done_ = true;
      return status;
    }
    const size_t s = st.caps[0].start, e = st.caps[0].end;
    out = Segment{p, s};
    for (size_t g = 1; g < st.caps.size(); ++g) {
      const CpSpan c = st.caps[g];
      pending_.push_back(c.set() ? Segment{c.start, c.end} : Segment{});
    }
    if (s == e && s < st.n) pending_.push_back(Segment{s, s + 1});
    next_start_ = e > s ? e : e + 1;
    return status;
  });
}

namespace regex {

std::optional<size_t> resolve_ref(std::string_view ref, size_t groups, const Names* names) {
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
    // A number that fits is a group number, never a name.
    if (fits) return v < groups ? std::optional<size_t>(size_t(v)) : std::nullopt;
  }
  if (!names) return std::nullopt;
  auto it = names->find(std::string(ref));
  if (it == names->end() || it->second >= groups) return std::nullopt;
  return it->second;
}

void append_group(std::string& out, const Match& m, std::string_view ref) {
  if (auto g = resolve_ref(ref, m.caps.size(), m.names.get())) {
    if (auto t = m.group(*g)) out.append(*t);
  }
}

void expand(std::string_view tmpl, const Match& m, std::string& out) {
  expand_with(
      tmpl, m.caps.size(), m.names.get(), [&](std::string_view t) { out.append(t); },
      [&](size_t g) {
        if (auto t = m.group(g)) out.append(*t);
      });
}

std::string expand(std::string_view tmpl, const Match& m) {
  std::string out;
  expand(tmpl, m, out);
  return out;
}

}  // namespace regex

}  // namespace kordal
