// The behaviour corpus (tests/data/*.json, read by corpus.hpp) through every
// engine the tests can drive on their own: the whole Regex through its public
// API, the backtracking VM, the one-pass matcher, the lazy DFA, and the
// reference matcher itself. Each engine answers what it can: a leftmost
// search from a start (find, anchored, full), and, where it offers them
// itself, find-all, split, replace and partial search; the rest is derived
// from its searches (find-all, split and replace from successive finds, the
// templates expanded by the reference's own expander), or skipped
// where an engine cannot answer (the DFA reports no groups, the one-pass
// matcher gives up above code point 255). Every check and skip is counted,
// and each engine must have checked a floor of expectations, so an engine
// that stops taking patterns fails rather than passing silently.
//
// To run the corpus through another engine or a forced search strategy, add
// an entry to kEngines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis.hpp"
#include "backtracker.hpp"
#include "corpus.hpp"
#include "dfa.hpp"
#include "iterators.hpp"
#include "onepass.hpp"
#include "reference_chars.hpp"
#include "reference_search.hpp"
#include "regex.hpp"
#include "state.hpp"
#include "strategy.hpp"

namespace kordal {
namespace {

using corpus::ByteSpan;
using corpus::Case;

// --- code points and bytes of the case's text, decoded here ---

class Offsets {
 public:
  explicit Offsets(std::string_view text) : text_(text) {
    for (size_t b = 0; b < text.size();) {
      starts_.push_back(b);
      const unsigned char c = static_cast<unsigned char>(text[b]);
      b += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    }
    starts_.push_back(text.size());
  }
  size_t n() const { return starts_.size() - 1; }
  // An index past the text (an engine's fault) reads as SIZE_MAX, so that
  // it fails the comparison rather than the test binary.
  size_t byte(size_t cp) const { return cp < starts_.size() ? starts_[cp] : SIZE_MAX; }
  std::string slice(CpSpan s) const {
    const size_t b = byte(s.start), e = byte(s.end);
    if (e > text_.size() || b > e) return "<outside the text>";
    return std::string(text_.substr(b, e - b));
  }
  ByteSpan bytes(CpSpan s) const { return ByteSpan{byte(s.start), byte(s.end)}; }

 private:
  std::string_view text_;
  std::vector<size_t> starts_;
};

// --- what an engine answers ---

enum class Mode : uint8_t { Find, Anchored, Full };
enum class Verdict : uint8_t { Found, NotFound, GaveUp, Unsupported };

struct Answer {
  std::vector<CpSpan> caps;  // group 0 first, in code points
  std::vector<std::vector<CpSpan>> history;
  bool groups = true;     // caps past group 0 are the engine's
  bool histories = true;  // history is the engine's
};

struct PartialAnswer {
  bool full = false;
  CpSpan span;
  std::vector<std::pair<GroupState, CpSpan>> groups;
};

class Searcher {
 public:
  virtual ~Searcher() = default;
  // The leftmost match starting at or after code point s (Find), at s
  // (Anchored), or at s and ending at the end of the text (Full).
  virtual Verdict search(size_t s, Mode mode, Answer& out) = 0;
  // Operations an engine offers itself; nullopt where it does not (then the
  // check derives them from search, or skips).
  virtual std::optional<bool> is_match() { return std::nullopt; }
  virtual std::optional<std::vector<CpSpan>> find_all() { return std::nullopt; }
  virtual std::optional<std::vector<std::string>> split() { return std::nullopt; }
  virtual std::optional<std::string> replace(std::string_view, bool) { return std::nullopt; }
  // Outer nullopt: not offered; inner: no partial match.
  virtual std::optional<std::optional<PartialAnswer>> partial() { return std::nullopt; }
};

CpSpan cp_span(const Span& s) {
  return s.set() ? CpSpan{s.cstart, s.cend} : CpSpan{};
}

void answer_from_state(const State& st, size_t s, Answer& out, bool histories) {
  out.caps = st.caps();
  out.caps[0] = CpSpan{s, st.pos};
  out.histories = histories;
  out.history.clear();
  if (!histories) return;
  out.history.resize(out.caps.size());
  for (size_t g = 1; g < out.caps.size(); ++g) out.history[g] = st.history(g);
  out.history[0] = {out.caps[0]};
}

// The whole Regex, through its public API on the UTF-8 text.
class RegexSearcher : public Searcher {
 public:
  RegexSearcher(const Regex& re, const std::string& text) : re_(re), text_(text), at_(text) {}

  Verdict search(size_t s, Mode mode, Answer& out) override {
    std::optional<Match> m;
    Status st;
    if (mode == Mode::Find) {
      st = re_.find_at(text_, at_.byte(s), m);
    } else if (s != 0) {
      return Verdict::Unsupported;  // the API anchors at the start only
    } else {
      st = mode == Mode::Anchored ? re_.match_at_start(text_, m) : re_.fullmatch(text_, m);
    }
    if (st != Status::Ok) return Verdict::GaveUp;
    if (!m) return Verdict::NotFound;
    out.caps.clear();
    out.history.assign(m->caps.size(), {});
    for (size_t g = 0; g < m->caps.size(); ++g) {
      out.caps.push_back(cp_span(m->caps[g]));
      const Span* h = m->history_of(g);
      for (size_t i = 0; i < m->history_size(g); ++i) out.history[g].push_back(cp_span(h[i]));
    }
    return Verdict::Found;
  }

  std::optional<bool> is_match() override {
    bool out = false;
    if (re_.is_match(text_, out) != Status::Ok) return std::nullopt;
    return out;
  }

  std::optional<std::vector<CpSpan>> find_all() override {
    FindIter it(re_, text_);
    std::vector<CpSpan> out;
    for (;;) {
      std::optional<Match> m;
      if (it.next(m) != Status::Ok) return std::nullopt;
      if (!m) return out;
      out.push_back(cp_span(m->caps[0]));
    }
  }

  std::optional<std::vector<std::string>> split() override {
    SplitIter it(re_, text_);
    std::vector<std::string> out;
    for (;;) {
      std::optional<std::string_view> seg;
      if (it.next(seg) != Status::Ok) return std::nullopt;
      if (!seg) return out;
      out.emplace_back(*seg);
    }
  }

  std::optional<std::string> replace(std::string_view with, bool all) override {
    std::string out;
    const Status st = all ? re_.replace_all(text_, with, out) : re_.replace(text_, with, out);
    if (st != Status::Ok) return std::nullopt;
    return out;
  }

  std::optional<std::optional<PartialAnswer>> partial() override {
    std::optional<PartialMatch> pm;
    if (re_.find_partial(text_, pm) != Status::Ok) return std::nullopt;
    if (!pm) return std::optional<PartialAnswer>();
    PartialAnswer a;
    a.full = pm->is_full;
    a.span = cp_span(pm->span);
    for (const PartialGroup& g : pm->groups) a.groups.emplace_back(g.state, cp_span(g.span));
    return std::optional<PartialAnswer>(std::move(a));
  }

 private:
  const Regex& re_;
  const std::string& text_;
  Offsets at_;
};

// The backtracking VM over the Program, one attempt per start.
class BacktrackerSearcher : public Searcher {
 public:
  BacktrackerSearcher(const Regex& re, const std::string& text)
      : st_(re.build_state(text)), vm_(re.program()) {}

  Verdict search(size_t s, Mode mode, Answer& out) override {
    State& st = *st_;
    st.status = Status::Ok;
    st.flat = false;
    const size_t last = mode == Mode::Find ? st.n : s;
    for (size_t q = s; q <= last; ++q) {
      st.reset(q);
      if (vm_.run(st, mode == Mode::Full)) {
        answer_from_state(st, q, out, true);
        return Verdict::Found;
      }
      if (st.status != Status::Ok) return Verdict::GaveUp;
    }
    return Verdict::NotFound;
  }

 private:
  std::unique_ptr<State> st_;
  Backtracker vm_;
};

// The one-pass matcher, one attempt per start. It keeps no histories: where
// each group closes at most once (the patterns the Regex gives it) they are
// the spans; elsewhere only the spans are checked.
class OnePassSearcher : public Searcher {
 public:
  OnePassSearcher(std::unique_ptr<const OnePass> op, const Regex& re, const std::string& text)
      : op_(std::move(op)), st_(re.build_state(text)), flat_(analyze(re.tree()).flat_groups) {}

  Verdict search(size_t s, Mode mode, Answer& out) override {
    if (mode == Mode::Full) return Verdict::Unsupported;
    State& st = *st_;
    st.status = Status::Ok;
    st.flat = true;
    const size_t last = mode == Mode::Find ? st.n : s;
    for (size_t q = s; q <= last; ++q) {
      st.reset(q);
      const OnePass::Outcome o = op_->match_at(st, cache_, q);
      if (o == OnePass::Outcome::GaveUp) return Verdict::GaveUp;
      if (o == OnePass::Outcome::Found) {
        answer_from_state(st, q, out, false);
        if (flat_) {
          out.history.assign(out.caps.size(), {});
          for (size_t g = 0; g < out.caps.size(); ++g) {
            if (out.caps[g].set()) out.history[g].push_back(out.caps[g]);
          }
          out.histories = true;
        }
        return Verdict::Found;
      }
    }
    return Verdict::NotFound;
  }

 private:
  std::unique_ptr<const OnePass> op_;
  std::unique_ptr<State> st_;
  OnePassCache cache_;
  bool flat_;
};

// The lazy DFA's forward and reverse scans: the whole match only.
class DfaSearcher : public Searcher {
 public:
  DfaSearcher(std::unique_ptr<const Dfa> dfa, const Regex& re, const std::string& text)
      : dfa_(std::move(dfa)), st_(re.build_state(text)) {}

  Verdict search(size_t s, Mode mode, Answer& out) override {
    if (mode == Mode::Full) return Verdict::Unsupported;
    State& st = *st_;
    st.status = Status::Ok;
    size_t start = 0, end = 0;
    const Dfa::Outcome o = dfa_->find_span(st, s, mode == Mode::Anchored, start, end);
    if (o == Dfa::Outcome::NotFound) return Verdict::NotFound;
    if (o != Dfa::Outcome::Found) return Verdict::GaveUp;
    out.caps.assign(1, CpSpan{start, end});
    out.history.clear();
    out.groups = false;
    out.histories = false;
    return Verdict::Found;
  }

 private:
  std::unique_ptr<const Dfa> dfa_;
  std::unique_ptr<State> st_;
};

// The tree-walking reference matcher (tests/cpp/reference).
class ReferenceSearcher : public Searcher {
 public:
  ReferenceSearcher(const Regex& re, const std::string& text)
      : re_(re), st_(re.build_state(text)) {}

  Verdict search(size_t s, Mode mode, Answer& out) override {
    State& st = *st_;
    st.status = Status::Ok;
    const reference::Mode m = mode == Mode::Find       ? reference::Mode::Find
                              : mode == Mode::Anchored ? reference::Mode::Anchored
                                                       : reference::Mode::Full;
    if (!reference::search(re_.tree(), st, s, m)) {
      return st.status == Status::Ok ? Verdict::NotFound : Verdict::GaveUp;
    }
    const reference::Captures c = reference::captures_of(st);
    out.caps = c.caps;
    out.history = c.history;
    out.history[0] = {out.caps[0]};
    out.groups = out.histories = true;
    return Verdict::Found;
  }

  std::optional<std::optional<PartialAnswer>> partial() override {
    State& st = *st_;
    st.status = Status::Ok;
    const std::optional<PartialMatch> pm = reference::search_partial(re_, st);
    if (st.status != Status::Ok) return std::nullopt;
    if (!pm) return std::optional<PartialAnswer>();
    PartialAnswer a;
    a.full = pm->is_full;
    a.span = cp_span(pm->span);
    for (const PartialGroup& g : pm->groups) a.groups.emplace_back(g.state, cp_span(g.span));
    return std::optional<PartialAnswer>(std::move(a));
  }

 private:
  const Regex& re_;
  std::unique_ptr<State> st_;
};

struct Engine {
  const char* name;
  // A searcher over the text, or nullptr where the engine does not take the
  // pattern.
  std::unique_ptr<Searcher> (*open)(const Regex& re, const std::string& text);
  size_t floor;  // expectations it must have checked over the whole corpus
};

// The whole Regex with its strategy forced to one engine for as long as the
// searcher lives; the runner keeps one searcher at a time.
template <kordal::Engine E>
class ForcedSearcher : public RegexSearcher {
 public:
  ForcedSearcher(const Regex& re, const std::string& text) : RegexSearcher(re, text) {
    force_engine(E);
  }
  ~ForcedSearcher() override { force_engine(kordal::Engine::Auto); }
};

template <kordal::Engine E>
std::unique_ptr<Searcher> open_forced(const Regex& re, const std::string& text) {
  return std::make_unique<ForcedSearcher<E>>(re, text);
}

// The engines the corpus runs through. A forced search strategy is one more
// entry: a Searcher whose search calls the Regex with that strategy.
const Engine kEngines[] = {
    {"regex",
     [](const Regex& re, const std::string& text) -> std::unique_ptr<Searcher> {
       return std::make_unique<RegexSearcher>(re, text);
     },
     190},
    {"backtracker",
     [](const Regex& re, const std::string& text) -> std::unique_ptr<Searcher> {
       return std::make_unique<BacktrackerSearcher>(re, text);
     },
     165},
    {"onepass",
     [](const Regex& re, const std::string& text) -> std::unique_ptr<Searcher> {
       auto op = OnePass::build(re.tree(), re.group_count());
       if (!op) return nullptr;
       return std::make_unique<OnePassSearcher>(std::move(op), re, text);
     },
     95},
    {"dfa",
     [](const Regex& re, const std::string& text) -> std::unique_ptr<Searcher> {
       if (!analyze(re.tree()).regular) return nullptr;
       auto dfa = Dfa::build(re.tree());
       if (!dfa) return nullptr;
       return std::make_unique<DfaSearcher>(std::move(dfa), re, text);
     },
     80},
    {"reference",
     [](const Regex& re, const std::string& text) -> std::unique_ptr<Searcher> {
       return std::make_unique<ReferenceSearcher>(re, text);
     },
     190},
    {"forced_vm", open_forced<kordal::Engine::Vm>, 190},
    {"forced_onepass", open_forced<kordal::Engine::OnePass>, 190},
    {"forced_dfa", open_forced<kordal::Engine::Dfa>, 190},
    {"forced_reverse", open_forced<kordal::Engine::Reverse>, 190},
};

// --- the checks ---

struct Tally {
  size_t checked = 0;
  size_t skipped = 0;  // the engine could not answer (no groups, gave up, ...)
  std::vector<std::string> failures;
};

// Built by appending: operator+ chains trip a false -Wrestrict of GCC 12.
std::string in_quotes(std::string_view s) {
  std::string out(1, '"');
  out.append(s);
  out += '"';
  return out;
}

std::string show(const std::optional<std::string>& s) {
  return s ? in_quotes(*s) : "null";
}

std::string show(ByteSpan s) {
  std::string out = "[";
  out += std::to_string(s.start);
  out += ',';
  out += std::to_string(s.end);
  out += ']';
  return out;
}

const char* state_name(GroupState s) {
  return s == GroupState::Matched ? "matched" : s == GroupState::Partial ? "partial" : "none";
}

class CaseRun {
 public:
  CaseRun(const Case& c, const Regex& re, Searcher& eng, Tally& tally)
      : c_(c), re_(re), eng_(eng), at_(c.text), tally_(tally) {}

  void run() {
    if (c_.find) check_find();
    if (c_.history) check_history();
    if (c_.found) check_found();
    if (c_.findall) check_findall();
    if (c_.split) check_split();
    for (const corpus::ReplaceWant& r : c_.replace) check_replace(r);
    if (c_.partial) check_partial();
  }

 private:
  void fail(const std::string& what, const std::string& want, const std::string& got) {
    tally_.failures.push_back(c_.where + " [" + what + "] expected " + want + ", got " + got);
  }
  void skip() { ++tally_.skipped; }

  std::optional<std::string> group_text(CpSpan s) const {
    if (!s.set()) return std::nullopt;
    return at_.slice(s);
  }

  void check_find() {
    Answer a;
    const Verdict v = eng_.search(0, Mode::Find, a);
    if (v == Verdict::GaveUp || v == Verdict::Unsupported) return skip();
    ++tally_.checked;
    const std::optional<corpus::FindWant>& want = *c_.find;
    if (!want) {
      if (v == Verdict::Found) fail("find", "no match", show(at_.bytes(a.caps[0])));
      return;
    }
    if (v != Verdict::Found) return fail("find", show(want->span), "no match");
    if (at_.bytes(a.caps[0]) != want->span) {
      return fail("find", show(want->span), show(at_.bytes(a.caps[0])));
    }
    if (!want->has_groups || !a.groups) return;
    std::vector<std::optional<std::string>> got;
    for (const CpSpan& g : a.caps) got.push_back(group_text(g));
    if (got != want->groups) {
      for (size_t g = 0; g < std::max(got.size(), want->groups.size()); ++g) {
        const auto w = g < want->groups.size() ? want->groups[g] : std::nullopt;
        const auto o = g < got.size() ? got[g] : std::nullopt;
        if (w != o) return fail("find group " + std::to_string(g), show(w), show(o));
      }
    }
  }

  void check_history() {
    Answer a;
    const Verdict v = eng_.search(0, Mode::Find, a);
    if (v == Verdict::GaveUp || v == Verdict::Unsupported || (v == Verdict::Found && !a.histories))
      return skip();
    ++tally_.checked;
    if (v != Verdict::Found) return fail("history", "a match", "no match");
    std::vector<std::vector<std::string>> got;
    for (const auto& h : a.history) {
      got.emplace_back();
      for (const CpSpan& s : h) got.back().push_back(at_.slice(s));
    }
    if (got != *c_.history) {
      for (size_t g = 0; g < got.size(); ++g) {
        std::string w, o;
        if (g < c_.history->size()) {
          for (const auto& s : (*c_.history)[g]) w += in_quotes(s) + " ";
        }
        for (const auto& s : got[g]) o += in_quotes(s) + " ";
        if (w != o) return fail("history of group " + std::to_string(g), w, o);
      }
      fail("history", std::to_string(c_.history->size()) + " groups", std::to_string(got.size()));
    }
  }

  void check_found() {
    std::optional<bool> got = eng_.is_match();
    if (!got) {
      Answer a;
      const Verdict v = eng_.search(0, Mode::Find, a);
      if (v == Verdict::GaveUp || v == Verdict::Unsupported) return skip();
      got = v == Verdict::Found;
    }
    ++tally_.checked;
    if (*got != *c_.found) fail("found", *c_.found ? "true" : "false", *got ? "true" : "false");
  }

  // Successive matches derived from the engine's searches, as the find-all
  // walk makes them: after an empty match the next search starts one code
  // point on. nullopt when some search could not be answered.
  std::optional<std::vector<Answer>> walk() {
    std::vector<Answer> out;
    for (size_t s = 0; s <= at_.n();) {
      Answer a;
      const Verdict v = eng_.search(s, Mode::Find, a);
      if (v == Verdict::GaveUp || v == Verdict::Unsupported) return std::nullopt;
      if (v == Verdict::NotFound) break;
      s = a.caps[0].end > a.caps[0].start ? a.caps[0].end : a.caps[0].end + 1;
      out.push_back(std::move(a));
    }
    return out;
  }

  void check_findall() {
    std::optional<std::vector<CpSpan>> spans = eng_.find_all();
    if (!spans) {
      const std::optional<std::vector<Answer>> w = walk();
      if (!w) return skip();
      spans.emplace();
      for (const Answer& a : *w) spans->push_back(a.caps[0]);
    }
    ++tally_.checked;
    std::string want, got;
    for (const ByteSpan& s : *c_.findall) want += show(s);
    for (const CpSpan& s : *spans) got += show(at_.bytes(s));
    if (want != got) fail("findall", want, got);
  }

  void check_split() {
    std::optional<std::vector<std::string>> got = eng_.split();
    if (!got) {
      // The text before each match, the match's groups (empty when not
      // set), the code point an empty match sits on, then the rest.
      const std::optional<std::vector<Answer>> w = walk();
      if (!w || (re_.group_count() > 0 && !w->empty() && !(*w)[0].groups)) return skip();
      got.emplace();
      size_t p = 0;
      const size_t n = at_.n();
      for (const Answer& a : *w) {
        const size_t s = a.caps[0].start, e = a.caps[0].end;
        got->push_back(at_.slice(CpSpan{std::min(p, n), std::max(std::min(p, n), s)}));
        for (size_t g = 1; g < a.caps.size(); ++g)
          got->push_back(group_text(a.caps[g]).value_or(""));
        if (s == e && s < n) got->push_back(at_.slice(CpSpan{s, s + 1}));
        p = e > s ? e : e + 1;
      }
      got->push_back(at_.slice(CpSpan{std::min(p, n), n}));
    }
    ++tally_.checked;
    std::string want, out;
    for (const std::string& s : *c_.split) want += in_quotes(s) + " ";
    for (const std::string& s : *got) out += in_quotes(s) + " ";
    if (want != out) fail("split", want, out);
  }

  // The text with the first (or every) match replaced, derived from the
  // engine's matches and the reference's template expander.
  std::optional<std::string> derive_replace(std::string_view with, bool all) {
    const std::optional<std::vector<Answer>> w = walk();
    if (!w || (re_.group_count() > 0 && !w->empty() && !(*w)[0].groups)) return std::nullopt;
    const size_t n = at_.n();
    std::string out;
    size_t p = 0;
    for (const Answer& a : *w) {
      const size_t s = a.caps[0].start, e = a.caps[0].end;
      out += at_.slice(CpSpan{p, s});
      out += reference::expand_template(with, a.caps.size(), re_.names(),
                                        [&](std::string& o, size_t g) {
                                          if (a.caps[g].set()) o += at_.slice(a.caps[g]);
                                        });
      if (e > s) {
        p = e;
      } else {
        if (s < n) out += at_.slice(CpSpan{s, s + 1});
        p = s + 1;
      }
      if (!all) break;
    }
    if (p <= n) out += at_.slice(CpSpan{p, n});
    return out;
  }

  void check_replace(const corpus::ReplaceWant& r) {
    std::optional<std::string> first = eng_.replace(r.with, false);
    if (!first) first = derive_replace(r.with, false);
    if (!first) return skip();
    ++tally_.checked;
    if (*first != r.first) fail("replace " + r.with, in_quotes(r.first), in_quotes(*first));
    if (!r.every) return;
    std::optional<std::string> every = eng_.replace(r.with, true);
    if (!every) every = derive_replace(r.with, true);
    if (!every) return;
    if (*every != *r.every) {
      fail("replace_all " + r.with, in_quotes(*r.every), in_quotes(*every));
    }
  }

  void check_partial() {
    const std::optional<std::optional<PartialAnswer>> got = eng_.partial();
    if (!got) return skip();
    ++tally_.checked;
    const std::optional<corpus::PartialWant>& want = *c_.partial;
    auto render = [](const std::string& status, ByteSpan span,
                     const std::vector<std::pair<std::string, std::optional<std::string>>>& gs) {
      std::string out = status + " " + show(span);
      for (const auto& [state, text] : gs) out += " " + state + ":" + show(text);
      return out;
    };
    const std::string w = want ? render(want->status, want->span, want->groups) : "none";
    std::string o = "none";
    if (*got) {
      const PartialAnswer& a = **got;
      std::vector<std::pair<std::string, std::optional<std::string>>> gs;
      for (const auto& [state, span] : a.groups) {
        gs.emplace_back(state_name(state),
                        state == GroupState::None ? std::nullopt : group_text(span));
      }
      o = render(a.full ? "full" : "partial", at_.bytes(a.span), gs);
    }
    if (w != o) fail("partial", w, o);
  }

  const Case& c_;
  const Regex& re_;
  Searcher& eng_;
  Offsets at_;
  Tally& tally_;
};

// Runs the cases through one engine.
Tally run_engine(const Engine& engine, const std::vector<Case>& cases) {
  Tally tally;
  for (const Case& c : cases) {
    auto compiled = Regex::new_with_flags(c.pattern, c.flags);
    if (!compiled.ok()) {
      tally.failures.push_back(c.where + ": does not compile");
      continue;
    }
    const std::unique_ptr<Searcher> eng = engine.open(compiled.value(), c.text);
    if (!eng) {
      tally.skipped += c.expectations();
      continue;
    }
    CaseRun(c, compiled.value(), *eng, tally).run();
  }
  return tally;
}

std::vector<Case> load_corpus() {
  std::string error;
  std::vector<Case> cases = corpus::load_dir(KORDAL_DATA_DIR, error);
  EXPECT_EQ(error, "");
  return cases;
}

class Corpus : public ::testing::TestWithParam<size_t> {};

TEST_P(Corpus, EveryCaseThroughTheEngine) {
  static const std::vector<Case> cases = load_corpus();
  ASSERT_GE(cases.size(), 150u);
  const Engine& engine = kEngines[GetParam()];
  const Tally t = run_engine(engine, cases);
  for (size_t i = 0; i < t.failures.size() && i < 20; ++i) ADD_FAILURE() << t.failures[i];
  EXPECT_TRUE(t.failures.empty()) << t.failures.size() << " failures";
  EXPECT_GE(t.checked, engine.floor) << engine.name << " checked too little";
  std::printf("[ corpus   ] %-12s %zu checked, %zu skipped\n", engine.name, t.checked, t.skipped);
}

INSTANTIATE_TEST_SUITE_P(Engines, Corpus, ::testing::Range(size_t(0), std::size(kEngines)),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(kEngines[info.param].name);
                         });

// The checks can fail: every engine rejects wrong expectations.
TEST(CorpusChecks, WrongExpectationsFailOnEveryEngine) {
  std::string error;
  const std::vector<Case> wrong = corpus::load_text(R"([{"about": "wrong on purpose", "cases": [
    {"pattern": "ab", "text": "xab", "find": {"span": [0, 2]}},
    {"pattern": "a", "text": "b", "found": true},
    {"pattern": "a*", "text": "baa", "findall": [[0, 0], [1, 3]]},
    {"pattern": "(a)+", "text": "aa", "history": [["aa"], ["a"]]},
    {"pattern": ",", "text": "a,b", "split": ["a", "c"]},
    {"pattern": "a", "text": "ab", "replace": [{"with": "x", "first": "ab"}]},
    {"pattern": "abc", "text": "ab", "partial": null}
  ]}])",
                                                    "wrong", error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(wrong.size(), 7u);
  for (const Engine& engine : kEngines) {
    const Tally t = run_engine(engine, wrong);
    // Exactly the expectations the engine could answer failed.
    EXPECT_EQ(t.failures.size(), t.checked) << engine.name;
    EXPECT_GE(t.checked, 3u) << engine.name;
  }
}

TEST(CorpusReader, RejectsMalformedFiles) {
  const char* bad[] = {
      R"([{"about": "x", "cases": [{"pattern": "a", "text": "a"}]}])",  // no expectation
      R"([{"about": "x", "cases": [{"pattern": "a", "text": "a", "fnd": null}]}])",
      R"([{"about": "x", "cases": [{"pattern": "a", "flags": ["NOSUCH"], "text": "a", "found": true}]}])",
      R"([{"about": "x", "cases": [{"pattern": "\ud800", "text": "a", "found": true}]}])",
      R"([{"about": "x", "cases": [{"pattern": "a", "text": "a", "found": true}]})",
      R"([{"about": "x", "cases": [{"pattern": "a", "text": "a", "findall": [[2, 1]]}]}])",
  };
  for (const char* text : bad) {
    std::string error;
    EXPECT_TRUE(corpus::load_text(text, "bad", error).empty()) << text;
    EXPECT_NE(error, "") << text;
  }
  std::string error;
  const auto ok = corpus::load_text(
      R"([{"about": "x", "cases": [{"pattern": "\u00e9\ud83d\ude00", "text": "\t", "found": false}]}])",
      "ok", error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_EQ(ok[0].pattern, "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(ok[0].text, "\t");
}

}  // namespace
}  // namespace kordal
