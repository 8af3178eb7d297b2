// The cascades of every search operation (see strategy.hpp).
//
// Find tries start positions left to right; the first at which an attempt
// succeeds wins. Per start: the one-pass matcher when the pattern allows it
// (found: done; not found: next start; over budget: the DFA; gave up: the
// VM), else the VM under a step budget (found: done; not found: next start;
// abandoned: the DFA). After a few failed starts, or one long attempt, the
// lazy DFA finds the next match in one pass (found: an attempt from its start
// fills the groups; not found: done; gave up: the VM goes on for the rest of
// the call). A pattern that is one string, or an alternation of strings, is
// found by its literal searcher alone (each candidate checked). A pattern that reverse.hpp takes is
// searched from its literal first (found: the groups as after the DFA; not found: done; gave up:
// the start loop from the least start not ruled out); one whose prefix can hold that literal, in
// windows the prefixes' reverse DFA bounds (find_in_windows); where the needle is far rarer than
// that literal, the windows come first, and a walk keeps whichever of the two costs it fewer steps
// per code unit (windows_or_reverse). A pattern whose matches all end at
// the end of the text is searched from there by the reverse DFA (found: the groups as after the
// DFA; not found: done; gave up: the start loop). One whose matches end at line ends is searched in
// the same windows from line end to line end, passing over lines whose last code point cannot end a
// match (find_line_windows; a walk weighs them against the start loop). A rare suffix that no text
// ahead holds ends a find after one scan; a short pattern's suffixes, rare near the start, are
// looked for near each needle occurrence the DFA would skip to (StartSet::ends). Without the DFA,
// the VM goes from start to start itself (run_starts). Starts are skipped, with scans that are
// templates over the code-unit width, where the required literal (the needle) cannot lie within
// reach, where the first code point cannot begin a match, where a leading word assertion cannot
// hold (inside the word run a failed attempt's first loop scanned, too) or a leading lookbehind's
// literal does not end, and where too little text is left; a search whose needle does not occur
// ends after one scan. An attempt at a start whose leading word assertion the skip checked begins
// past it. Skipping a start that can match would change results, so each rule is one the analysis
// proves. Anchored and full searches make one attempt: one-pass, else the VM. The partial search
// runs the VM at each start its skip rule allows.
//
// Cost: a find is one DFA pass (two scans) plus one attempt for the groups
// once the DFA has taken over; before that, at most kVmTurns attempts of
// kVmTurnBudget steps. Without the DFA (irregular patterns, or a thrashing
// cache) the VM's cost per start, bounded by its memo for regular programs.
#include "strategy.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>

#include "backtracker.hpp"
#include "one_char.hpp"
#include "onepass.hpp"
#include "poll.hpp"
#include "prefilter.hpp"
#include "program.hpp"
#include "reverse.hpp"
#include "scan.hpp"
#include "simd.hpp"
#include "state.hpp"

namespace kordal {

namespace {

std::atomic<Engine> g_forced{Engine::Auto};

// How much rarer than the needle (by the frequency table) a suffix set must
// be for its check to pay for a second scan.
constexpr double kRarer = 4;
// The longest pattern whose suffixes are checked near a needle occurrence
// (StartSet::ends), and the most occurrences of them expected in that
// stretch of ordinary text.
constexpr uint64_t kEndsWindow = 64;
constexpr double kEndsRate = 0.25;

// How often, by the frequency table, one of the needle's literals begins at
// a position.
double needle_rate(const Needle& nd) {
  double sum = 0;
  for (const Literal& l : nd.lits) {
    double r = 1;
    for (const LitChar& c : l.chars) r *= char_frequency(c);
    sum += r;
  }
  return sum;
}

}  // namespace

void force_engine(Engine e) {
  g_forced.store(e, std::memory_order_relaxed);
}
Engine forced_engine() {
  return g_forced.load(std::memory_order_relaxed);
}

const char* engine_name(Engine e) {
  switch (e) {
    case Engine::Auto:
      return "auto";
    case Engine::Vm:
      return "vm";
    case Engine::OnePass:
      return "onepass";
    case Engine::Dfa:
      return "dfa";
    case Engine::Reverse:
      return "reverse";
  }
  return "?";
}

namespace {

// Whether the pattern is exactly the string `lit`, position by position as
// the needle compares it (a case-insensitive character stands for its case
// class, as the matchers take it): its searcher then finds the matches.
bool is_string(const Node& n, const LitChars& lit, size_t& at) {
  auto one = [&](char32_t c) { return at < lit.size() && lit[at++] == lit_char(c, n.ign); };
  switch (n.kind) {
    case NodeKind::Empty:
      return true;
    case NodeKind::Lit:
      return !n.ascii && one(n.ch);
    case NodeKind::LitStr:
      if (n.ascii) return false;
      for (char32_t c : n.chars) {
        if (!one(c)) return false;
      }
      return true;
    case NodeKind::NonCap:
    case NodeKind::Sequence:
      for (const Node& kid : n.kids) {
        if (!is_string(kid, lit, at)) return false;
      }
      return true;
    default:
      return false;
  }
}

// The share of text positions holding a code point of a set, by the
// frequency table.
double set_share(const std::bitset<256>& lo, bool high) {
  double share = high ? 0.03 : 0;
  for (char32_t c = 0; c < 256; ++c) {
    if (lo[c]) share += char_frequency(lit_char(c, false));
  }
  return std::min(share, 1.0);
}

// How much rarer than the first code point the run must be for its scan,
// several table lookups a unit, to replace a vectorised scan for that.
constexpr double kRunGain = 64;

// Whether the DFA's restart state should skip to where the leading run of
// the analysis begins rather than as `ss` would: where nothing cheaper rules
// starts out, where a prefix needle's literals are shorter than the run and
// match more often, or where the run is far rarer than its first code
// point (`[a-z]{3}\d{3}`), by the frequency table.
bool run_filters_better(const Analysis& an, const StartSet& ss) {
  if (an.run < 2) return false;
  double rate = 1;
  for (size_t i = 0; i < an.run; ++i) rate *= set_share(an.run_pos[i].lo, an.run_pos[i].high);
  if (ss.needle == nullptr) {
    if (ss.only < 0 && ss.range_lo < 0 && ss.few == 0) return true;
    std::bitset<256> first;
    for (size_t c = 0; c < 256; ++c) first[c] = ss.lo[c];
    return rate * kRunGain < set_share(first, ss.high);
  }
  const Needle& nd = ss.needle->needle();
  for (const Literal& l : nd.lits) {
    if (l.chars.size() >= an.run) return false;
  }
  return rate < needle_rate(nd);
}

// Sets ss.run to the analysis's run, with probes at the positions whose sets
// are narrower than the union, rarest first (`[a-z]{3}\d{3}`: the digits,
// then a letter, which rules out runs of digits).
void set_run(const Analysis& an, StartSet& ss) {
  ss.run.set([&](uint32_t c) { return bool(an.run_lo[c]); }, an.run_high, an.run);
  std::vector<std::pair<double, size_t>> narrow;
  for (size_t i = 0; i < an.run; ++i) {
    const double share = set_share(an.run_pos[i].lo, an.run_pos[i].high);
    if (an.run_pos[i].lo != an.run_lo || an.run_pos[i].high != an.run_high) {
      narrow.emplace_back(share, i);
    }
  }
  std::sort(narrow.begin(), narrow.end());
  if (narrow.size() > simd::RunSet::kMaxProbes) narrow.resize(simd::RunSet::kMaxProbes);
  for (const auto& [share, i] : narrow) {
    const Analysis::RunPos& p = an.run_pos[i];
    ss.run.add_probe(
        i, [&](uint32_t c) { return bool(p.lo[c]); }, p.high);
  }
}

// The node that consumes every match's first code point, where it is one
// code point test: through groups, leading zero-width items and repeats
// taken at least once; null otherwise.
const Node* leading_test(const Node& nd) {
  switch (nd.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      return &nd;
    case NodeKind::Group:
    case NodeKind::NonCap:
    case NodeKind::Atomic:
      return leading_test(nd.child());
    case NodeKind::Repeat:
      return nd.min >= 1 ? leading_test(nd.child()) : nullptr;
    case NodeKind::Sequence:
      for (const Node& kid : nd.kids) {
        // Past zero-width items, the next item consumes first.
        if (!zero_width(kid.kind)) return leading_test(kid);
      }
      return nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

Strategy::Strategy(const Node& tree, const Program& program, Analysis analysis, size_t group_count)
    : tree_(tree), program_(program), an_(std::move(analysis)), group_count_(group_count) {
  switch (tree.kind) {
    case NodeKind::Lit:
    case NodeKind::Any:
    case NodeKind::Class:
    case NodeKind::Predef:
    case NodeKind::Prop:
      if (group_count == 0) one_char_ = std::make_unique<const OneChar>(char_test(tree));
      break;
    default:
      break;
  }
  if (an_.needle) {
    const Needle& nd = *an_.needle;
    size_t at = 0;
    literal_ = nd.is_prefix() && nd.lits.size() == 1 && is_string(tree, nd.lits[0].chars, at) &&
               at == nd.lits[0].chars.size();
    if (nd.is_prefix() && LiteralAlternation::suits(an_.alternatives)) {
      alternation_ = std::make_unique<const LiteralAlternation>(std::move(an_.alternatives));
    }
    prefilter_ = std::make_unique<const Prefilter>(std::move(*an_.needle));
    an_.needle.reset();  // the prefilter holds it
  }
  if (an_.behind) {
    Needle nd;
    nd.lits.push_back(*an_.behind);
    behind_len_ = an_.behind->chars.size();
    behind_ = std::make_unique<const Prefilter>(std::move(nd));
  }
  vm_scans_ = group_count_ == 0 && Backtracker::leads_with_loop(program_);
  StartSet& ss = starts_;
  skips_ = true;
  switch (an_.skip) {
    case Analysis::Skip::None:
      skips_ = false;
      break;
    case Analysis::Skip::Byte:
      ss.lo[an_.byte] = true;
      break;
    case Analysis::Skip::Char:
      if (an_.ch < 256) {
        ss.lo[an_.ch] = true;
      } else {
        ss.high = true;
      }
      break;
    case Analysis::Skip::Set:
      for (size_t c = 0; c < 256; ++c) ss.lo[c] = an_.lo[c];
      ss.high = an_.high;
      break;
  }
  ss.summarise();
  if (an_.skip == Analysis::Skip::Set && an_.high && !one_char_) {
    if (const Node* lead = leading_test(tree)) {
      first_char_ = std::make_unique<const OneChar>(char_test(*lead));
      ss.first = first_char_.get();
    }
  }
  if (prefilter_ && prefilter_->needle().is_prefix()) {
    ss.needle = prefilter_.get();
    // A short pattern ends with one of its suffixes within its length of
    // the start: where they are rare there, a check of that stretch spares
    // the DFA a walk from an occurrence of the needle that begins nothing.
    size_t lmin = SIZE_MAX, lmax = 0;
    Needle ends;
    for (const Literal& l : an_.suffixes) {
      lmin = std::min(lmin, l.chars.size());
      lmax = std::max(lmax, l.chars.size());
      ends.lits.push_back(Literal{l.chars, false});
    }
    if (!ends.lits.empty() && an_.max_len <= kEndsWindow && lmin > 0) {
      const size_t from = an_.min_len > lmax ? size_t(an_.min_len) - lmax : 0;
      const size_t to = size_t(an_.max_len) - lmin;
      if (needle_rate(ends) * double(to - from + 1) < kEndsRate) {
        ends_ = std::make_unique<const Prefilter>(std::move(ends));
        ss.ends = ends_.get();
        ss.ends_from = from;
        ss.ends_to = to;
      }
    }
  }
  if (run_filters_better(an_, ss)) {
    set_run(an_, ss);
    skips_ = true;
  }
  if (an_.lead == Analysis::Lead::LineStart && an_.skip != Analysis::Skip::None && !ss.needle &&
      ss.run.k < 2) {
    std::bitset<256> first;
    for (size_t c = 0; c < 256; ++c) first[c] = ss.lo[c];
    ss.lines = char_frequency(lit_char(U'\n', false)) < set_share(first, ss.high);
  }
  const bool word_lead =
      an_.lead == Analysis::Lead::WordBoundary || an_.lead == Analysis::Lead::WordStart;
  hop_words_ = word_lead && an_.skip == Analysis::Skip::Set && ss.range_lo < 0 && ss.few == 0;
  if (word_lead && !program_.code.empty()) {
    const Inst& in = program_.code[0];
    const bool ascii = in.ascii() == an_.lead_ascii;
    if ((in.op == kordal::Op::WordB && !in.negated() && an_.lead == Analysis::Lead::WordBoundary &&
         ascii) ||
        (in.op == kordal::Op::WordEdge && !in.word_end() && an_.lead == Analysis::Lead::WordStart &&
         ascii)) {
      lead_entry_ = 1;
    }
  }
  if (word_lead && program_.lead_loop != kNone) {
    const RepInfo& r = program_.reps[program_.code[program_.lead_loop].a];
    word_runs_ = r.exact ? word_char(r.ch, an_.lead_ascii)
                         : program_.tests[r.test].within_words(an_.lead_ascii);
  }
  // A pattern that starts lines tries one start per line; a one-unit
  // literal it must contain may filter no better (fields of a line split by
  // `;`) or far better (the `:` of `(?m)^\w+:`). Where the table rates it
  // far rarer than a line feed, its windows go first and a walk weighs them
  // against the line starts; no reverse scan is planned.
  bool short_needle = true;
  if (prefilter_) {
    for (const Literal& l : prefilter_->needle().lits) short_needle &= l.chars.size() <= 1;
  }
  const bool windows = prefilter_ && !prefilter_->needle().is_prefix() && an_.regular &&
                       !an_.anchored_start && !behind_;
  if (an_.lead == Analysis::Lead::LineStart && short_needle) {
    windows_or_lines_ = windows && kRarer * needle_rate(prefilter_->needle()) <
                                       char_frequency(lit_char(U'\n', false));
  } else {
    reverse_ = ReverseSearch::plan(tree_, an_, prefilter_ && prefilter_->needle().is_prefix());
    // The reverse search splits the pattern at a literal of its own; where
    // the needle is far rarer (the `;` of `[0-9A-F]+;[^;]*;Lu;` against
    // `;Lu;`), each occurrence of that literal costs two automaton scans
    // the needle's windows would spare. The table may misjudge a text
    // (`;N;` is on every line of UnicodeData), so a walk measures both
    // (windows_or_reverse).
    if (reverse_ && windows) {
      double rev_rate = 1;
      for (char32_t c : reverse_->literal()) rev_rate *= char_frequency(lit_char(c, false));
      windows_first_ = rev_rate > kRarer * needle_rate(prefilter_->needle());
    }
    inner_window_ = !reverse_ && windows;
  }
  // Line ends serve where no needle is rarer than a line feed.
  const bool rare_needle =
      prefilter_ && (!prefilter_->needle().is_prefix() ||
                     needle_rate(prefilter_->needle()) < char_frequency(lit_char(U'\n', false)));
  if (!rare_needle && !literal_ && !alternation_ && an_.regular && an_.ends_lines &&
      an_.anchored_end == EndAnchor::None && !an_.anchored_start &&
      an_.lead != Analysis::Lead::LineStart && !one_char_) {
    const FirstSet last = last_set(tree_);
    line_windows_ = true;
    line_last_ = last.lo;
    line_last_high_ = last.high;
  }
  // The needle is chosen for the starts it pins down: a prefix such as the
  // `a` of `(a+)+b` wins over a rarer suffix that pins down none. The
  // suffixes' common end still tells whether any match lies ahead, for one
  // scan of one literal that never reads past the end of the first match.
  // (The reverse search checks its own literal; an end anchor reads from
  // the end.)
  if (prefilter_ && !reverse_ && !literal_ && !alternation_ && !an_.suffixes.empty() &&
      an_.anchored_end == EndAnchor::None) {
    const LitChars& first = an_.suffixes[0].chars;
    size_t common = first.size();
    for (const Literal& l : an_.suffixes) {
      size_t k = 0;
      while (k < common && k < l.chars.size() &&
             l.chars[l.chars.size() - 1 - k] == first[first.size() - 1 - k]) {
        ++k;
      }
      common = k;
    }
    Literal tail;
    tail.exact = false;
    tail.chars.append(first.end() - common, first.end());
    Needle tail_only;
    tail_only.lits.push_back(tail);
    if (common > 0 && needle_rate(tail_only) * kRarer < needle_rate(prefilter_->needle())) {
      Needle nd;
      nd.lits.push_back(tail);
      required_ = std::make_unique<const Prefilter>(std::move(nd));
    }
  }
}

Strategy::~Strategy() = default;

const Dfa* Strategy::prefixes() const {
  return prefixes_.get([this] { return Dfa::build_prefixes(tree_); });
}

const Dfa* Strategy::dfa() const {
  if (!an_.regular) return nullptr;
  return dfa_.get([this] { return Dfa::build(tree_); });
}

const OnePass* Strategy::onepass() const {
  if (!an_.regular || !an_.flat_groups) return nullptr;
  return onepass_.get([this] { return OnePass::build(tree_, group_count_); });
}

// One search: the engines' state for one call, and the cascades.
struct Search {
  const Strategy& sg;
  State& st;
  const size_t s0;
  size_t start_at;  // Find: the least start not yet ruled out
  Engine forced = forced_engine();
  Backtracker vm{sg.program_};
  bool found = false;
  bool exists = false;  // IsMatch: only whether a match exists (no spans)
  // Find: the DFA, once it has been consulted and until it gives up.
  const Dfa* dfa = nullptr;
  bool dfa_live = false;  // whether the DFA is still in the cascade
  // The VM or the one-pass matcher ran long at the start the DFA takes next:
  // a match there is likely, and found anchored it needs no reverse scan.
  bool long_attempt = false;
  const OnePass* onepass = nullptr;
  OnePassCache onepass_cache;

  Search(const Strategy& s, State& t, size_t from) : sg(s), st(t), s0(from), start_at(from) {}

  // Next start >= s that can begin a match, or n + 1: by the first code
  // point, then (with `lead`) where the leading assertion holds. The first
  // start of a call is not worth a word check: an attempt makes it at once,
  // and most such starts pass it. Line hops stop past `until` (the needle's
  // window), returning a start no match lies before.
  template <class U>
  size_t skip(const U* p, size_t s, bool lead, size_t until = kNoPos) const {
    if (lead && sg.hop_words_) return hop_words(p, s);
    if (lead && sg.an_.lead == Analysis::Lead::LineStart) return skip_lines(p, s, until);
    const size_t at = skip_first(p, s);
    if (!lead || sg.an_.lead == Analysis::Lead::None || at >= st.n || lead_holds(p, at)) {
      return at;
    }
    return skip_lead(p, at);
  }

  // skip() with the lead for a word assertion and a broad first set: each
  // word run and each gap between runs is crossed by one loop, and only
  // the positions where the assertion holds have their first code point
  // looked up. Read in polled slices; n + 1 when nothing is left (a match
  // needs a code point) or the poll hook stopped the scan.
  template <class U>
  size_t hop_words(const U* p, size_t s) const {
    const Analysis& an = sg.an_;
    const size_t n = st.n;
    const bool ascii = an.lead_ascii;
    const uint8_t* tab = word_table(ascii).data();
    const bool ends = an.lead == Analysis::Lead::WordBoundary;  // word ends start matches too
    auto first = [&](U u) {
      const char32_t c = u;
      return sizeof(U) == 1 ? an.lo[c] : c < 256 ? an.lo[c] : an.high;
    };
    bool prev = s > 0 && s <= n && word_unit(tab, ascii, p[s - 1]);
    for (size_t slice = kFirstSlice; s < n; slice = kScanSlice) {
      const size_t until = n - s > slice ? s + slice : n;
      while (s < until) {
        if (prev) {
          while (s < until && word_unit(tab, ascii, p[s])) ++s;
          if (s == until) break;
          if (ends && first(p[s])) return s;
          prev = false;
          ++s;
        }
        while (s < until && !word_unit(tab, ascii, p[s])) ++s;
        if (s == until) break;
        if (first(p[s])) return s;
        prev = true;
        ++s;
      }
      if (s < n && st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
        st.status = Status::Interrupted;
        break;
      }
    }
    return n + 1;
  }

  // Whether the text cannot hold the one code point every match begins
  // with: an ASCII text, or units too narrow for it.
  template <class U>
  bool holds_no_first() const {
    const Analysis& an = sg.an_;
    return an.skip == Analysis::Skip::Char && (st.text.ascii || an.ch > char32_t(U(~U(0))));
  }

  // skip() for a pattern that starts lines: from line start to line start,
  // each checked for the first code point, rather than a scan for the
  // first code point in the middle of lines followed by one for the line
  // feed. n + 1 when none is left or the poll hook stopped the scan; a line
  // start past `until` when the hops get there.
  template <class U>
  size_t skip_lines(const U* p, size_t s, size_t until) const {
    const size_t n = st.n;
    const Analysis& an = sg.an_;
    if (holds_no_first<U>()) return n + 1;
    while (s <= n) {
      if (s > until) return s;
      if (s > 0 && p[s - 1] != U('\n')) {
        s = next_line(p, s);
        continue;
      }
      if (an.skip == Analysis::Skip::None) return s;
      if (s < n && skip_in(p, s, s + 1) == s) return s;
      if (s == n) break;  // a match needs at least one code point
      s = next_line(p, s + 1);
    }
    return n + 1;
  }

  // The next start after `at` where both the first code point and the
  // leading word assertion allow a match, or n + 1.
  template <class U>
  size_t skip_lead(const U* p, size_t at) const {
    do {
      at = skip_first(p, next_edge(p, at + 1));
    } while (at < st.n && !lead_holds(p, at));
    return at;
  }

  // next_word_edge from `from`, read in polled slices; n + 1 when the poll
  // hook stopped the scan.
  template <class U>
  size_t next_edge(const U* p, size_t from) const {
    if (sg.an_.lead == Analysis::Lead::LineStart) return next_line(p, from);
    const bool ascii = sg.an_.lead_ascii;
    const uint8_t* tab = word_table(ascii).data();
    const size_t n = st.n;
    for (size_t slice = kFirstSlice;; slice = kScanSlice) {
      const size_t until = n - from > slice ? from + slice : n;
      const size_t i = next_word_edge(p, until, from, tab, ascii);
      if (i < until || until == n) return i;
      if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
        st.status = Status::Interrupted;
        return n + 1;
      }
      from = until;
    }
  }

  // The first start >= from (from >= 1) just after a line feed, or n + 1
  // (also when the poll hook stopped the scan).
  template <class U>
  size_t next_line(const U* p, size_t from) const {
    const size_t n = st.n;
    for (size_t i = from - 1, slice = kFirstSlice; i < n; slice = kScanSlice) {
      const size_t until = n - i > slice ? i + slice : n;
      const size_t j = simd::find_unit(p, i, until, U('\n'));
      if (j < until) return j + 1;
      if (until == n) break;
      if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
        st.status = Status::Interrupted;
        break;
      }
      i = until;
    }
    return n + 1;
  }

  template <class U>
  bool lead_holds(const U* p, size_t s) const {
    if (sg.an_.lead == Analysis::Lead::LineStart) return s == 0 || p[s - 1] == U('\n');
    const bool ascii = sg.an_.lead_ascii;
    const uint8_t* tab = word_table(ascii).data();
    const bool prev = s > 0 && word_unit(tab, ascii, p[s - 1]);
    const bool cur = s < st.n && word_unit(tab, ascii, p[s]);
    return sg.an_.lead == Analysis::Lead::WordBoundary ? prev != cur : !prev && cur;
  }

  // Next start >= s whose first code point can begin a match, or n + 1
  // (also when the poll hook stopped the scan: st.status says so). Read in
  // slices with a poll between them, as every long scan.
  template <class U>
  size_t skip_first(const U* p, size_t s) const {
    const Analysis& an = sg.an_;
    const size_t n = st.n;
    if (an.skip == Analysis::Skip::None) return s;
    if (s >= n) return n + 1;  // a match needs at least one code point
    if (holds_no_first<U>()) return n + 1;
    for (size_t slice = kFirstSlice;; slice = kScanSlice) {
      const size_t until = n - s > slice ? s + slice : n;
      const size_t i = skip_in(p, s, until);
      if (i < until) return i;
      if (until == n) return n + 1;
      if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
        st.status = Status::Interrupted;
        return n + 1;
      }
      s = until;
    }
  }

  // The first index in [s, until) that can begin a match, or until.
  template <class U>
  size_t skip_in(const U* p, size_t s, size_t until) const {
    if (!sg.an_.doubled) return skip_to_first(p, s, until);
    // Equal neighbours are rarer than the first set: they lead.
    const size_t last = std::min(until, st.n - 1);
    for (;; ++s) {
      while (s < last && p[s] != p[s + 1]) ++s;
      if (s >= last) return until;
      if (skip_to_first(p, s, s + 1) == s) return s;
    }
  }

  // skip_in() by the first code point alone.
  template <class U>
  size_t skip_to_first(const U* p, size_t s, size_t until) const {
    const Analysis& an = sg.an_;
    auto unit = [&](char32_t c) {
      // Read in the narrow copy where it tells c apart, as the literal scans.
      const size_t q =
          find_narrowed(st, p, s, until, c < 0xFF, [&](const auto* v, size_t a, size_t b) {
            using V = std::remove_cvref_t<decltype(*v)>;
            const size_t r = simd::find_unit(v, a, b, V(c));
            return r < b ? r : kNoPos;
          });
      return q < until ? q : until;
    };
    switch (an.skip) {
      case Analysis::Skip::Byte:
        return unit(an.byte);
      case Analysis::Skip::Char:
        return unit(an.ch);
      default:
        break;
    }
    const StartSet& ss = sg.starts_;
    if (ss.range_lo >= 0) return simd::find_range(p, s, until, U(ss.range_lo), ss.range_top<U>());
    if (ss.few > 0) {
      const std::array<U, 4> u = {U(ss.units[0]), U(ss.units[1]), U(ss.units[2]), U(ss.units[3])};
      return simd::find_any4(p, s, until, u);
    }
    // Code points above 255 go to the first code point's test where there
    // is one; the rest stay inline, as most skips are short.
    const OneChar* first = ss.first;
    for (; s < until; ++s) {
      const char32_t c = p[s];
      if (sizeof(U) == 1 || c < 256) {
        if (an.lo[c]) return s;
      } else if (an.high && (first == nullptr || first->accepts(c))) {
        return s;
      }
    }
    return until;
  }

  // One VM attempt at st.pos, given up after about `budget` steps (0: never),
  // from instruction `entry`.
  bool attempt(bool to_end, uint64_t budget = 0, uint32_t entry = 0) {
    vm.set_run_budget(budget);
    return vm.run(st, to_end, entry);
  }

  template <class U>
  size_t next_occurrence(const U* p, size_t from) {
    return scan_polled(*sg.prefilter_, st, p, from);
  }

  // An occurrence at or after `from` of a needle that may begin anywhere
  // past its least offset: any one admits every start before it, so the
  // farther the better, and the walk remembers it (State::reach). A walk
  // that keeps scanning (a frequent needle, each window ending at its
  // next occurrence, a few units on) first looks `probe` units ahead, in a
  // slice as long; the probe doubles while it finds one and halves when
  // not, so a rare needle wastes at most one slice per scan.
  template <class U>
  size_t reach_occurrence(const U* p, size_t from) {
    const Prefilter* pf = sg.prefilter_.get();
    NeedleReach& nr = st.reach;
    if (!nr.of(pf, st.text.data, st.n)) {
      nr = NeedleReach{pf, st.text.data, st.n};
    }
    size_t q = kNoPos;
    if (++nr.scans > kScansBeforeProbe) {
      nr.probe = std::max(nr.probe, kMinProbe);
      // Near the end, the second half of what is left.
      const size_t left = st.n > from ? st.n - from : 0;
      const size_t x = from + std::min(nr.probe, left / 2);
      if (x > from) {
        const size_t until = st.n - x > nr.probe ? x + nr.probe : st.n;
        q = find_narrowed(
            st, p, x, until, pf->narrowable(),
            [&](const auto* u, size_t a, size_t b) { return pf->find_before(u, st.n, a, b); });
        nr.probe =
            q != kNoPos ? std::min(2 * nr.probe, kMaxProbe) : std::max(nr.probe / 2, kMinProbe);
      }
    }
    if (q == kNoPos) q = next_occurrence(p, from);
    if (q != kNoPos) nr.at = q;
    return q;
  }
  static constexpr uint32_t kScansBeforeProbe = 2;
  static constexpr size_t kMinProbe = 256, kMaxProbe = size_t(1) << 16;

  static constexpr size_t kVmTurns = 4;
  static constexpr size_t kStartsPerPoll = 4096;
  // Code points below which a find goes forward from the start.
  static constexpr size_t kShortHaystack = 64;
  // Steps after which a turn is handed to the DFA (a loop over single
  // characters counts one step per 16 it scans): a match that needs more
  // costs the VM more than the DFA's scans (the cloud-flare `.*.*=.*` does
  // tens of thousands before its memo starts).
  static constexpr uint64_t kVmTurnBudget = 4096;

  // Find and IsMatch. A pattern that is one string goes to its literal
  // searcher; one with a reverse search to it; everything else (and what
  // the reverse search gave up) to the start loop.
  template <class U>
  void find(const U* p) {
    const Analysis& an = sg.an_;
    if (an.min_len > st.n || (an.anchored_start && s0 > 0)) return;
    if (sg.literal_ && forced == Engine::Auto) {
      find_literal(p);
      return;
    }
    if (sg.one_char_ && forced == Engine::Auto) {
      find_one_char(p);
      return;
    }
    if (sg.alternation_ && forced == Engine::Auto) {
      find_alternation(p);
      return;
    }
    if (forced != Engine::Vm) dfa = sg.dfa();
    dfa_live = dfa != nullptr;
    if (!sg.vm_scans_ && (forced == Engine::Auto || forced == Engine::OnePass)) {
      onepass = sg.onepass();
    }
    // On a short haystack the reverse search's three scans and their setup
    // cost more than the forward search they would spare.
    const bool worth_reversing =
        forced == Engine::Reverse || (forced == Engine::Auto && start_at + kShortHaystack <= st.n);
    if (dfa_live && sg.an_.anchored_end != EndAnchor::None &&
        (forced == Engine::Auto || forced == Engine::Reverse)) {
      if (from_end()) return;
    } else if (sg.required_ && forced == Engine::Auto &&
               scan_polled(*sg.required_, st, p, start_at) == kNoPos) {
      return;  // no match lies ahead (or the poll hook stopped the scan)
    } else if (dfa_live && sg.windows_first_ && forced == Engine::Auto && worth_reversing) {
      if (windows_or_reverse(p)) return;
    } else if (dfa_live && sg.reverse_ && worth_reversing) {
      if (reverse()) return;
    } else if (dfa_live && sg.inner_window_ && worth_reversing) {
      if (find_in_windows(p)) return;
    } else if (dfa_live && sg.windows_or_lines_ && worth_reversing) {
      if (forced == Engine::Reverse ? find_in_windows(p) : windows_or_starts(p)) return;
    } else if (dfa_live && sg.reverse_ && forced == Engine::Auto &&
               !sg.reverse_->may_occur(st, start_at)) {
      return;  // the forward needle may not rule out what this literal does
    } else if (dfa_live && sg.line_windows_ && worth_reversing) {
      if (forced == Engine::Reverse ? find_line_windows(p) : line_windows_or_starts(p)) return;
    }
    find_starts(p);
  }

  // The reverse search from start_at: true when it has the answer (a
  // match, none, or stopped); false when the forward search must go on from
  // start_at, which it has moved past every start ruled out.
  bool reverse() {
    // With the one-pass matcher at hand, a start is confirmed by it, which
    // fills the groups in the same scan; else by the forward DFA.
    struct OnePassCheck final : StartCheck {
      const OnePass* op = nullptr;
      OnePassCache* cache = nullptr;
      Dfa::Outcome at(State& t, size_t s, size_t& end) override {
        t.reset(s);
        switch (op->match_at(t, *cache, s)) {
          case OnePass::Outcome::Found:
            end = t.pos;
            return Dfa::Outcome::Found;
          case OnePass::Outcome::NotFound:
            return Dfa::Outcome::NotFound;
          case OnePass::Outcome::Stopped:
            return Dfa::Outcome::Stopped;
          default:
            return Dfa::Outcome::GaveUp;
        }
      }
    } check;
    check.op = onepass;
    if (onepass && !exists) check.cache = &onepass_cache;
    StartCheck* use = onepass && !exists ? &check : nullptr;
    size_t s = 0, e = 0;
    switch (sg.reverse_->find(st, *dfa, start_at, exists, use, s, e)) {
      case ReverseSearch::Outcome::Checked:
        set_whole(s);
        return true;
      case ReverseSearch::Outcome::Found:
        return take_span(s, e);
      case ReverseSearch::Outcome::GaveUp:
        start_at = s;
        return false;
      case ReverseSearch::Outcome::NotFound:
      case ReverseSearch::Outcome::Stopped:
        return true;
    }
    return true;
  }

  // The needle's windows or the reverse search, whichever has cost this
  // walk fewer engine steps per code unit it covered (State::inner). The
  // windows go first; once they have covered kJudgeUnits, a rate above one
  // step per unit (the needle occurs on every line, each match costing
  // three scans) tries the reverse search, and the walk keeps whichever
  // measured cheaper. Older costs count half at each judgement.
  template <class U>
  bool windows_or_reverse(const U* p) {
    return cheaper_of([&] { return find_in_windows(p); }, [&] { return reverse(); });
  }

  // The line ends' windows or the start loop, weighed the same way.
  template <class U>
  bool line_windows_or_starts(const U* p) {
    return cheaper_of([&] { return find_line_windows(p); },
                      [&] {
                        find_starts(p);
                        return true;
                      });
  }

  // The needle's windows or the start loop, weighed the same way but over
  // a quarter of the units (where the needle is dense, a window costs
  // several times the line starts' work per unit), and settled once both
  // have been measured: the searches of a walk with a match on every line
  // would otherwise pay for the measuring.
  template <class U>
  bool windows_or_starts(const U* p) {
    return cheaper_of([&] { return find_in_windows(p); },
                      [&] {
                        find_starts(p);
                        return true;
                      },
                      kJudgeUnits / 4, true);
  }

  // Runs the first search or the second, whichever has cost this walk fewer
  // steps per code unit covered; each returns whether it settled the
  // search (else the start loop goes on from start_at). The second is tried
  // once the first has cost more than a step per unit. With `settle`, the
  // first judgement that keeps a choice after both were tried ends the
  // weighing for the walk.
  template <class First, class Second>
  bool cheaper_of(First first, Second second, uint64_t judge = kJudgeUnits, bool settle = false) {
    InnerCosts& ic = st.inner;
    if (ic.settled) return ic.second ? second() : first();
    const bool sec = ic.second;
    const uint64_t steps0 = st.steps;
    const size_t from = start_at;
    const bool done = sec ? second() : first();
    if (exists || st.status != Status::Ok) return done;
    const size_t to = !done ? start_at : found ? st.caps()[0].end : st.n;
    InnerCosts::Cost& c = ic.cost[sec];
    InnerCosts::Cost& o = ic.cost[!sec];
    c.steps += st.steps - steps0;
    c.units += to > from ? to - from : 1;
    if (c.units >= judge) {
      const bool tried = o.units > 0;
      if (tried ? o.steps * c.units < c.steps * o.units : c.steps > c.units) {
        ic.second = !sec;
        o = {};
      } else {
        ic.settled = settle && tried;
      }
      c.steps /= 2;
      c.units /= 2;
    }
    return done;
  }
  static constexpr uint64_t kJudgeUnits = 8192;

  // For a pattern with an inner needle (inner_window_): with q the next
  // occurrence at or after lo plus the needle's least offset, every match
  // starting in [lo, q] holds its literal at q or later, so it reaches past
  // q and [start, q) begins a match. The prefixes' reverse DFA from q finds
  // the least such start s >= lo; the forward DFA from s, stopped once the
  // last thread begun at or before q has died, finds the leftmost match or
  // rules out the starts up to where it stopped, and lo moves there. No
  // scan reads before lo, and lo passes where each forward scan stopped, so
  // each scan reads a code unit once. True when that settles the search;
  // false when the start loop must go on from start_at.
  template <class U>
  bool find_in_windows(const U* p) {
    const Needle& nd = sg.prefilter_->needle();
    return in_windows([&](size_t lo) {
      return nd.min_off > st.n - lo ? kNoPos : next_occurrence(p, lo + size_t(nd.min_off));
    });
  }

  // For a pattern with line windows: with q the first line end at or after
  // lo plus the least match length, every match starting in [lo, q] ends
  // at q or past it (at a line end at least that far from its start, whose
  // last code point can end a match), so the windows of find_in_windows
  // apply. Where empty matches are not possible, a line end whose code
  // point before it cannot end a match is passed over within the scan. A
  // window costs kWindowSteps besides its scans' steps, which the walk
  // weighs against the start loop's.
  template <class U>
  bool find_line_windows(const U* p) {
    const bool filter = sg.an_.min_len > 0;
    auto ends = [&](uint32_t u, bool narrow) {
      // A narrow copy's 0xFF stands for every code point from 0xFF up.
      if (u >= 256 || (narrow && u == 0xFF)) return sg.line_last_high_ || sg.line_last_[0xFF];
      return bool(sg.line_last_[u]);
    };
    return in_windows([&](size_t lo) {
      st.steps += kWindowSteps;
      const size_t from = lo + size_t(sg.an_.min_len);
      const size_t q = scan_narrowed(st, p, from, true, [&](const auto* u, size_t a, size_t b) {
        using V = std::remove_cv_t<std::remove_reference_t<decltype(u[0])>>;
        const bool narrow = sizeof(V) == 1 && sizeof(U) > 1;
        for (size_t i = a;; ++i) {
          i = std::min(simd::find_unit(u, i, b, V('\n')), b);
          if (i == b) return kNoPos;
          if (!filter || ends(u[i - 1], narrow)) return i;
        }
      });
      if (q != kNoPos || st.status != Status::Ok) return q;
      // The end of the text is a line end too.
      return !filter || ends(uint32_t(p[st.n - 1]), false) ? st.n : kNoPos;
    });
  }

  static constexpr uint64_t kWindowSteps = 32;

  // The windows: next(lo) gives the q of the window from lo (kNoPos: no
  // match lies ahead, or the search was stopped).
  template <class Next>
  bool in_windows(Next next) {
    const Dfa* pre = sg.prefixes();
    if (pre == nullptr) return false;
    State& t = st;
    const size_t last = t.n - size_t(sg.an_.min_len);
    const StartSet* starts = sg.skips_ ? &sg.starts_ : nullptr;
    for (size_t lo = start_at;;) {
      if (lo > last) return true;
      const size_t q = next(lo);
      if (q == kNoPos) return true;  // none ahead, or stopped
      size_t s = q;
      switch (pre->find_start(t, lo, q, s)) {
        case Dfa::Outcome::Found:
          break;
        case Dfa::Outcome::NotFound:  // only the empty beginning at q
          s = q;
          break;
        case Dfa::Outcome::Stopped:
          return true;
        case Dfa::Outcome::GaveUp:
          start_at = lo;
          return false;
      }
      size_t ms = s, e = 0;
      // The least start mostly begins the match: a scan anchored there
      // finds its end, without the scan back over the match that a span
      // costs. Where none begins there, the window's scan reads what this
      // one read again, at most.
      Dfa::Outcome o = dfa->find_end(t, s, true, false, e);
      if (o == Dfa::Outcome::NotFound) o = dfa->find_span_within(t, s, q, ms, e, starts);
      switch (o) {
        case Dfa::Outcome::Found:
          return take_span(ms, e);
        case Dfa::Outcome::NotFound:
          if (ms == kNoPos) return true;
          lo = ms;
          break;
        case Dfa::Outcome::Stopped:
          return true;
        case Dfa::Outcome::GaveUp:
          dfa_live = false;
          start_at = lo;
          return false;
      }
    }
  }

  // The match [s, e) the automata found: true when that settles the search,
  // false when the groups could not be confirmed (the search goes on from s).
  bool take_span(size_t s, size_t e) {
    if (exists) {
      found = true;
      return true;
    }
    if (fill_groups(s, e)) return true;
    start_at = s;
    return false;
  }

  // The search from the end of the text, for a pattern anchored there: true
  // when it has the answer, false when the forward search must go on from
  // start_at.
  bool from_end() {
    size_t s = 0, e = 0;
    const bool need_end = !exists && sg.group_count_ == 0;
    switch (find_from_end(st, *dfa, start_at, sg.an_.anchored_end, need_end, s, e)) {
      case Dfa::Outcome::Found:
        return take_span(s, e);
      case Dfa::Outcome::GaveUp:
        return false;
      case Dfa::Outcome::NotFound:
      case Dfa::Outcome::Stopped:
        return true;
    }
    return true;
  }

  // The groups of the match [s, e) that the DFA found; false when the
  // attempt could not confirm it (the caller searches on from s).
  bool fill_groups(size_t s, size_t e) {
    State& t = st;
    t.reset(s);
    if (sg.group_count_ == 0) {
      t.pos = e;
      set_whole(s);
      return true;
    }
    // The priority-first path from s ends at e, so an attempt from s alone
    // gives the groups.
    if (onepass) {
      const OnePass::Outcome op = onepass->match_at(t, onepass_cache, s);
      if (op == OnePass::Outcome::Found) {
        set_whole(s);
        return true;
      }
      if (op == OnePass::Outcome::Stopped) return true;
      onepass = nullptr;
    }
    if (attempt(false)) {
      set_whole(s);
      return true;
    }
    return t.status != Status::Ok;
  }

  // Leftmost-first search from s0. Start positions are ruled out by the
  // needle (every match contains one of its literals, beginning min_off to
  // max_off code points after the match start, so an occurrence at q allows
  // the starts [q - max_off, q - min_off] and no occurrence allows none), by
  // the first code point, by the least match length and by a start anchor.
  template <class U>
  void find_starts(const U* p) {
    State& t = st;
    const Analysis& an = sg.an_;
    const Prefilter* pf = sg.prefilter_.get();
    const size_t last = t.n - size_t(an.min_len);  // the last start that leaves room
    size_t hi = 0;                                 // the current window's last start
    bool window = false;
    // The VM tries the first few starts the skips allow: a match found there
    // costs it less than the DFA's two scans and their setup, and many
    // searches end there (anchored patterns, literals, one match per line,
    // a start just past the previous match). After a few failed starts the
    // DFA finds the next match, if any, in one pass.
    size_t vm_turns = forced == Engine::Dfa || forced == Engine::Reverse ? 0 : kVmTurns;
    // The forced DFA takes its first start as a long attempt's, so that the
    // exhaustive tests cover the anchored try.
    long_attempt = forced == Engine::Dfa;
    // A start-anchored pattern has one start: the VM's first turn settles it
    // for less than a needle scan would cost, and a turn that runs long is
    // handed to the DFA, which consults the needle first.
    const bool needle_first = !(an.anchored_start && dfa_live);
    // An unbounded needle's farthest occurrence found by this walk's
    // earlier searches admits every start up to it. (A short text is
    // scanned as it comes.)
    const bool unbounded = pf && pf->needle().max_off == kUnbounded && t.n > kShortHaystack;
    const NeedleReach& nr = t.reach;
    if (unbounded && nr.of(pf, t.text.data, t.n) &&
        nr.at >= start_at + size_t(pf->needle().min_off)) {
      hi = nr.at - size_t(pf->needle().min_off);
      window = true;
    }
    // The lookbehind literal: an occurrence ending at q allows the start q.
    const Prefilter* bf = sg.behind_.get();
    const size_t blen = sg.behind_len_;
    size_t bstart = 0;  // the start the current occurrence allows
    bool bwindow = false;
    // Without the DFA, the one-pass matcher or a leading assertion to pass
    // on, the VM goes from start to start itself while the next one is in
    // the start set and the current windows.
    const bool vm_steps_on = !dfa_live && !(onepass && forced == Engine::OnePass) &&
                             an.lead == Analysis::Lead::None && !sg.word_runs_ && !t.partial;
    const bool* first_lo = an.skip == Analysis::Skip::None ? nullptr : sg.starts_.lo;
    size_t starts_unpolled = 0;
    for (size_t s = start_at;;) {
      if (pf && (!window || s > hi) && (needle_first || vm_turns == 0)) {
        const Needle& nd = pf->needle();
        if (s > last || nd.min_off > t.n - s) return;
        const size_t from = s + size_t(nd.min_off);
        const size_t q = unbounded ? reach_occurrence(p, from) : next_occurrence(p, from);
        if (q == kNoPos) return;
        if (!unbounded && q - s > nd.max_off) s = q - size_t(nd.max_off);
        hi = q - size_t(nd.min_off);
        window = true;
      }
      if (bf && (!bwindow || s > bstart)) {
        if (s > last) return;
        const size_t q = scan_polled(*bf, st, p, s >= blen ? s - blen : 0);
        if (q == kNoPos) return;
        s = bstart = q + blen;
        bwindow = true;
      }
      // A line start costs one comparison to check, and a walk resumes
      // where the last line's match ended, rarely at a line start.
      const bool lead = s > start_at || an.lead == Analysis::Lead::LineStart;
      s = skip(p, s, lead, pf && window ? hi : kNoPos);
      if (s > last || (an.anchored_start && s > 0)) return;
      if (pf && window && s > hi) continue;
      if (bf && s > bstart) continue;
      if (dfa_live && vm_turns == 0 && dfa_find(s)) return;
      t.reset(s);
      // A start costs a step, and a loop of starts whose attempts fail at
      // once, without a step of their own, still polls.
      ++t.steps;
      if (++starts_unpolled == kStartsPerPoll) {
        starts_unpolled = 0;
        if (t.ctl && t.ctl->poll && t.ctl->poll(t.ctl->ctx)) {
          t.status = Status::Interrupted;
          return;
        }
      }
      // The one-pass matcher only with the DFA to hand a long attempt to,
      // unless forced.
      if (onepass && (dfa_live || forced == Engine::OnePass)) {
        // Without the DFA to hand a long attempt to, it runs to the end.
        const OnePass::Outcome o =
            onepass->match_at(t, onepass_cache, s, dfa_live ? kVmTurnBudget * 16 : 0);
        if (o == OnePass::Outcome::Found) {
          set_whole(s);
          return;
        }
        if (o == OnePass::Outcome::Stopped) return;
        if (o == OnePass::Outcome::NotFound) {
          if (vm_turns > 0) --vm_turns;
          const size_t run_end = Backtracker::lead_run_end(sg.program_, t, s);
          s = run_end != kUnset && run_end >= s + 1 ? run_end + 1 : s + 1;
          continue;
        }
        if (o == OnePass::Outcome::OverBudget) {
          vm_turns = 0;  // the DFA answers from this same start
          long_attempt = true;
          continue;
        }
        onepass = nullptr;  // a code point it has no class for: the VM from now on
      }
      if (vm_steps_on) {
        size_t limit = last;
        if (pf && window) limit = std::min(limit, hi);
        if (bf) limit = std::min(limit, bstart);
        vm.set_run_budget(0);
        if (vm.run_starts(t, limit, first_lo, sg.starts_.high, an.doubled)) {
          set_whole(t.start);
          return;
        }
        if (t.status != Status::Ok) return;
        s = vm.next_start();
        continue;
      }
      // A start below n that the skip returned with the lead has it.
      if (attempt(false, dfa_live ? kVmTurnBudget : 0, lead && s < t.n ? sg.lead_entry_ : 0)) {
        set_whole(s);
        return;
      }
      if (t.status != Status::Ok) return;
      if (vm.abandoned()) {
        vm_turns = 0;  // a long attempt: the DFA answers from this same start
        long_attempt = true;
        continue;
      }
      if (vm_turns > 0) --vm_turns;
      // No start inside the word run the lead loop scanned has the leading
      // word assertion: both its neighbours are word characters.
      if (sg.word_runs_) {
        const size_t e = vm.lead_loop_end();
        if (e != kUnset && e > s + 1) {
          s = e;
          continue;
        }
      }
      // A failed attempt that began with a greedy unbounded loop tried the
      // rest of the pattern at every position the loop reached; a start
      // inside that run reaches a subset of them, so it fails too.
      const size_t run_end = vm.lead_end();
      s = run_end != kUnset && run_end >= s + 1 ? run_end + 1 : s + 1;
    }
  }

  // A pattern that is one string (case-insensitive in places): its leftmost
  // occurrence is the match, and the needle, whose one literal the string
  // is, finds exactly its occurrences.
  template <class U>
  void find_literal(const U* p) {
    State& t = st;
    const size_t len = sg.prefilter_->needle().lits[0].chars.size();
    if (s0 > t.n || t.n - s0 < len) return;
    const size_t q = next_occurrence(p, s0);
    if (q == kNoPos) return;
    t.reset(q);
    t.pos = q + len;
    set_whole(q);
  }

  // A pattern that is one code point test: the next code point it accepts.
  template <class U>
  void find_one_char(const U* p) {
    const size_t hit = scan_slices(st, s0, [&](size_t a, size_t b) {
      const size_t i = sg.one_char_->find(p, a, b);
      return i < b ? i : kNoPos;
    });
    if (hit == kNoPos) return;
    st.reset(hit);
    st.pos = hit + 1;
    set_whole(hit);
  }

  // A pattern that is an alternation of strings: the needle's leftmost
  // candidate that some alternative matches at is the leftmost match.
  template <class U>
  void find_alternation(const U* p) {
    State& t = st;
    const LiteralAlternation& alt = *sg.alternation_;
    const size_t shortest = alt.shortest();
    if (s0 <= t.n && t.n - s0 <= kShortAlternation) {
      // A few units: a check of each, cheaper than the needle scan's setup.
      for (size_t q = s0; q + shortest <= t.n; ++q) {
        if (q < t.n && !alt.may_start(p[q])) continue;
        const size_t len = alt.match_at(p, t.n, q);
        if (len != kNoPos) {
          take_alternative(q, len);
          return;
        }
      }
      return;
    }
    for (size_t from = s0; from + shortest <= t.n;) {
      const size_t q = next_occurrence(p, from);
      if (q == kNoPos) return;
      const size_t len = alt.match_at(p, t.n, q);
      if (len != kNoPos) {
        take_alternative(q, len);
        return;
      }
      from = q + 1;
    }
  }

  // Units below which find_alternation checks each start.
  static constexpr size_t kShortAlternation = 32;

  void take_alternative(size_t q, size_t len) {
    State& t = st;
    t.reset(q);
    t.pos = q + len;
    if (const uint64_t g = sg.an_.alternatives_group) t.close_group(size_t(g), q, q + len);
    set_whole(q);
  }

  // The search from s, the first start not ruled out, with the DFA: true
  // when it has the answer, false when it gave up (the VM goes on from s,
  // without the DFA for the rest of the call).
  bool dfa_find(size_t s) {
    State& t = st;
    const bool anchored = sg.an_.anchored_start;
    const StartSet* starts = sg.skips_ || sg.starts_.needle ? &sg.starts_ : nullptr;
    size_t e = 0, ms = 0;
    if (long_attempt && !exists && !anchored) {
      // s is the least start not ruled out: a match from it is the answer.
      // A failure costs what the attempt scanned, as the VM's turn did.
      long_attempt = false;
      const Dfa::Outcome o = dfa->find_end(t, s, true, false, e);
      if (o == Dfa::Outcome::Found) return dfa_groups(s, e);
      if (o == Dfa::Outcome::Stopped) return true;
      if (o == Dfa::Outcome::NotFound && ++s > t.n) return true;
    }
    const Dfa::Outcome o = exists ? dfa->find_end(t, s, anchored, true, e, starts)
                                  : dfa->find_span(t, s, anchored, ms, e, starts);
    if (o == Dfa::Outcome::GaveUp) {
      dfa_live = false;
      return false;
    }
    if (o != Dfa::Outcome::Found) return true;  // no match, or stopped
    if (exists) {
      found = true;
      return true;
    }
    return dfa_groups(ms, e);
  }

  // The groups of the DFA's match [s, e); false, with the DFA out of the
  // cascade, when they could not be confirmed.
  bool dfa_groups(size_t s, size_t e) {
    if (fill_groups(s, e)) return true;
    dfa_live = false;
    return false;
  }

  // Anchored and Full: one attempt at s0, one-pass first where it applies.
  // A VM attempt that runs long is handed to the automata, as in find.
  void anchored(bool full) {
    State& t = st;
    if (s0 > t.n) return;
    t.reset(s0);
    // The one-pass matcher answers anchored searches only: a full match
    // needs the VM's to-the-end attempt. Only the VM can pass over an empty
    // match it may not end with.
    if (!full && !sg.vm_scans_ && forced != Engine::Vm && t.no_empty_at == kUnset) {
      if (const OnePass* op = sg.onepass()) {
        const OnePass::Outcome o = op->match_at(t, onepass_cache, s0);
        if (o == OnePass::Outcome::Found) set_whole(s0);
        if (o != OnePass::Outcome::GaveUp) return;
      }
    }
    const bool automata =
        forced != Engine::Vm && t.no_empty_at == kUnset && !t.partial && sg.an_.regular;
    if (!automata || (forced != Engine::Dfa && forced != Engine::Reverse)) {
      if (attempt(full, automata ? kVmTurnBudget : 0)) {
        set_whole(s0);
        return;
      }
      if (!automata || t.status != Status::Ok || !vm.abandoned()) return;
    }
    dfa = sg.dfa();
    if (dfa != nullptr && dfa_anchored(full)) return;
    t.reset(s0);
    if (attempt(full)) set_whole(s0);
  }

  // The match at s0 by the automata: true when that settles the search. A
  // full match is a match from s0 that the reverse DFA, anchored at the end,
  // reaches back to; the forward DFA's leftmost-first closure may drop it.
  bool dfa_anchored(bool full) {
    State& t = st;
    size_t e = t.n;
    Dfa::Outcome o;
    if (full) {
      size_t s = 0;
      o = dfa->find_start(t, s0, t.n, s);
      if (o == Dfa::Outcome::Found && s != s0) o = Dfa::Outcome::NotFound;
    } else {
      o = dfa->find_end(t, s0, true, false, e);
    }
    if (o == Dfa::Outcome::GaveUp) return false;
    if (o != Dfa::Outcome::Found) return true;  // no match, or stopped
    if (!full || sg.group_count_ == 0) return fill_groups(s0, e);
    // The groups of the first path in priority order that reaches the end.
    t.reset(s0);
    if (attempt(true)) set_whole(s0);
    return true;
  }

  // The next start >= s that a partial search must try, or n + 1. Only for
  // patterns without lookaround, back references or atomic groups: there a
  // partial match at s < n has consumed t[s..n), so t[s] begins a match and
  // t[s..n) either holds a prefix literal or is cut short inside one, and a
  // start anchor fails before anything is consumed. (A lookahead can reach
  // the end of the text from any start.)
  template <class U>
  size_t partial_start(const U* p, size_t s) {
    const Analysis& an = sg.an_;
    const size_t n = st.n;
    if (!an.regular) return s;
    if (an.anchored_start && s > 0) return n + 1;
    const Prefilter* pf = sg.prefilter_.get();
    if (pf && pf->needle().is_prefix()) {
      const size_t tail = n - std::min(n, pf->partial_tail());
      if (s < tail) {
        const size_t q = next_occurrence(p, s);
        if (st.status != Status::Ok) return n + 1;
        s = q < tail ? q : tail;
      }
    }
    return skip(p, s, false);
  }

  // Partial: the VM at every start the skip rule allows.
  template <class U>
  void partial(const U* p, Strategy::Answer& out) {
    State& t = st;
    for (size_t s = s0; s <= t.n; ++s) {
      s = partial_start(p, s);
      if (s > t.n) return;
      t.reset(s);
      if (attempt(true)) {
        set_whole(s);
        out.full = true;
        out.start = s;
        return;
      }
      if (t.status != Status::Ok) return;
      if (t.best_partial && t.best_partial->pos == t.n && s < t.n) {
        found = true;
        out.full = false;
        out.start = s;
        return;
      }
    }
  }

  void set_whole(size_t s) {
    State& t = st;
    t.drop_large_trail();
    t.set_match(s, t.pos);
    found = true;
  }
};

Status Strategy::search(Op op, State& st, size_t s0, const SearchControl& ctl, Answer& out) const {
  st.ctl = &ctl;
  st.status = Status::Ok;
  st.flat = an_.flat_groups;
  if (op == Op::Partial) st.partial = true;
  Search s(*this, st, s0);
  s.exists = op == Op::IsMatch;
  with_units(st.text, [&](const auto* p) {
    switch (op) {
      case Op::IsMatch:
      case Op::Find:
        s.find(p);
        return;
      case Op::Anchored:
      case Op::Full:
        s.anchored(op == Op::Full);
        return;
      case Op::Partial:
        s.partial(p, out);
        return;
    }
  });
  out.found = s.found && st.status == Status::Ok;
  return st.status;
}

}  // namespace kordal
