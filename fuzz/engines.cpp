// The engines against the reference matcher (see engines.hpp).
//
// The reference side is a table with one attempt per start position, each
// under its own step allowance drawn from one allowance for the whole case.
// An attempt's outcome does not depend on where the search began (lookbehind
// sees the whole text), so the leftmost match from s is the first attempt at
// or after s that matched, and find from every start, find-all, split and
// the replacements all read the one table. An attempt that gave up makes
// every answer that needs it unknown; those comparisons are skipped, as are
// engine calls that spent their Budget. A walk (find-all, split) is compared
// up to the first step either side could not decide.
//
// Answers are compared field by field: every group's span in code points
// and bytes, then its history; they are rendered as text only for a failure.
// Expected byte offsets come from TextIndex, never from the engine; history
// spans of a search on a Text carry no byte offsets, so there they are
// compared in code points only.
//
// Cost, for n code points: n + 2 reference attempts of at most kAttemptSteps
// steps each and kCaseSteps in all, the partial search under kCaseSteps of
// its own; per form of the haystack (up to four) about n + 12 engine
// operations, under kCasePolls polls in all.
#include "engines.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "iterators.hpp"
#include "reference_chars.hpp"
#include "reference_matcher.hpp"
#include "reference_search.hpp"
#include "regex.hpp"
#include "state.hpp"
#include "strategy.hpp"
#include "text.hpp"

namespace kordal::fuzz {

namespace {

constexpr uint64_t kAttemptSteps = 20'000;
constexpr uint64_t kCaseSteps = 300'000;
// Polls (of a few thousand engine steps each) for all engine operations of
// a case together; each operation still gets at most Budget::kDefaultPolls,
// and none is started once they are spent.
constexpr int kCasePolls = 32;

enum class Verdict : uint8_t { NoMatch, Match, GaveUp };

struct Attempt {
  Verdict verdict = Verdict::GaveUp;
  reference::Captures caps;
};

// "(cs,ce;bs,be)": a span in code points and bytes; bytes left out when
// `bytes` is false.
void put_span(std::string& out, size_t cs, size_t ce, size_t bs, size_t be, bool bytes) {
  char buf[96];
  if (bytes) {
    std::snprintf(buf, sizeof buf, "(%zu,%zu;%zu,%zu)", cs, ce, bs, be);
  } else {
    std::snprintf(buf, sizeof buf, "(%zu,%zu)", cs, ce);
  }
  out += buf;
}

// The reference's answers for one case.
class Reference {
 public:
  Reference(const Regex& re, std::string_view hay)
      : re_(re), st_(build_state(re.group_count(), hay)), left_(kCaseSteps) {
    attempts_.reserve(st_.n + 1);
    for (size_t s = 0; s <= st_.n; ++s) attempts_.push_back(run(s, reference::Mode::Anchored));
    full_ = run(0, reference::Mode::Full);
    State pst = build_state(re.group_count(), hay);
    const reference::Limits lim(kCaseSteps, reference::Limits::kDefaultDepth);
    partial_ = reference::search_partial(re, pst);
    partial_known_ = pst.status == Status::Ok;
  }

  size_t n() const { return st_.n; }
  const Attempt& at(size_t s) const { return attempts_[std::min(s, st_.n)]; }
  const Attempt& full() const { return full_; }
  // The leftmost match starting at or after s (clamped to n): an attempt
  // that matched or gave up, or nullptr when none matches.
  const Attempt* from(size_t s) const {
    for (size_t t = std::min(s, st_.n); t <= st_.n; ++t) {
      if (attempts_[t].verdict != Verdict::NoMatch) return &attempts_[t];
    }
    return nullptr;
  }
  bool partial_known() const { return partial_known_; }
  const std::optional<PartialMatch>& partial() const { return partial_; }

 private:
  Attempt run(size_t s, reference::Mode mode) {
    Attempt a;
    st_.status = Status::Ok;
    const uint64_t allowance = std::min(kAttemptSteps, left_);
    const reference::Limits lim(allowance, reference::Limits::kDefaultDepth);
    const bool ok = reference::search(re_.tree(), st_, s, mode);
    left_ -= allowance - lim.steps_left();
    if (st_.status != Status::Ok) return a;
    a.verdict = ok ? Verdict::Match : Verdict::NoMatch;
    if (ok) a.caps = reference::captures_of(st_);
    return a;
  }

  const Regex& re_;
  State st_;
  uint64_t left_;
  std::vector<Attempt> attempts_;
  Attempt full_;
  std::optional<PartialMatch> partial_;
  bool partial_known_ = false;
};

// One engine operation's Budget, drawn from the allowance of the whole
// case, which pays for the polls it took. A case whose searches all run
// into their budgets (a slow lookbehind at every start) stops costing
// seconds; cases whose operations never poll are unaffected.
class Charged {
 public:
  explicit Charged(int& left) : left_(left), budget_(std::min(Budget::kDefaultPolls, left)) {}
  Charged(const Charged&) = delete;
  Charged& operator=(const Charged&) = delete;
  ~Charged() { left_ -= std::min(left_, budget_.polls()); }
  const SearchControl& control() const { return budget_.control(); }

 private:
  int& left_;
  Budget budget_;
};

// One form of the haystack: the UTF-8 string or a Text of one width.
struct Form {
  const char* name;
  std::optional<Text> text;  // none: the UTF-8 API
};

// Collects a replacement made on a Text as UTF-8.
class Collect : public ReplaceSink {
 public:
  explicit Collect(const TextIndex& ti) : ti_(ti) {}
  void copy(size_t a, size_t b) override {
    FUZZ_CHECK(a <= b && b <= ti_.chars(), "replace on a Text copies (%zu, %zu) of %zu", a, b,
               ti_.chars());
    out.append(ti_.slice(a, b));
  }
  void literal(std::string_view utf8) override { out.append(utf8); }
  std::string out;

 private:
  const TextIndex& ti_;
};

class Comparer {
 public:
  Comparer(const Input& in, const Regex& re)
      : in_(in), re_(re), ti_(in.hay), ref_(re, in.hay), tmpl_(make_template(re)) {}

  void run() {
    const TextForms forms(in_.hay);
    check(Form{"UTF-8", std::nullopt});
    static const char* const kNames[] = {"", "1-byte Text", "2-byte Text", "", "4-byte Text"};
    for (int w : {1, 2, 4}) {
      if (w >= forms.narrowest()) check(Form{kNames[w], forms.as(w)});
    }
    // Wide Texts again with their narrow copy built, which scans may read
    // in their place. The 4-byte copy claims no unit reads 0xFF, so that
    // every automaton reads it, with escapes where it must.
    static const char* const kNarrowed[] = {"", "", "2-byte Text, narrow copy", "",
                                            "4-byte Text, narrow copy read with escapes"};
    for (int w : {2, 4}) {
      if (w < forms.narrowest()) continue;
      Text t = forms.as(w);
      std::vector<uint8_t> units(t.n);
      const size_t high = narrow_copy(t, units.data());
      NarrowCopy copy{units.data(), 0, w == 2 ? high : 0};
      t.narrow = &copy;
      check(Form{kNarrowed[w], t});
    }
    // Each engine forced in turn, on the UTF-8 form.
    static const char* const kForced[] = {"", "UTF-8, VM forced", "UTF-8, one-pass forced",
                                          "UTF-8, DFA forced", "UTF-8, reverse search forced"};
    static_assert(std::size(kForced) == std::size(kAllEngines));
    struct Restore {
      ~Restore() { force_engine(Engine::Auto); }
    } restore;
    for (size_t i = 1; i < std::size(kAllEngines); ++i) {
      force_engine(kAllEngines[i]);
      check(Form{kForced[i], std::nullopt});
    }
  }

 private:
  // Group references in every spelling, by number and by name.
  static std::string make_template(const Regex& re) {
    std::string t = "<$&|$1|\\2|${3}";
    size_t named = 0;
    for (const auto& kv : re.names()) {
      if (named++ == 2) break;
      t += "|\\g<" + kv.first + ">";
    }
    return t + ">";
  }

  // --- renderings ---

  std::string render(const reference::Captures& c, bool history_bytes) const {
    std::string out;
    for (size_t g = 0; g < c.caps.size(); ++g) {
      const CpSpan s = c.caps[g];
      if (s.set()) {
        put_span(out, s.start, s.end, ti_.byte_of(s.start), ti_.byte_of(s.end), true);
      } else {
        out += '-';
      }
      out += '[';
      for (const CpSpan& h : c.history[g]) {
        put_span(out, h.start, h.end, ti_.byte_of(h.start), ti_.byte_of(h.end), history_bytes);
      }
      out += "] ";
    }
    return out;
  }

  static std::string render(const Match& m, bool history_bytes) {
    std::string out;
    for (size_t g = 0; g < m.caps.size(); ++g) {
      const Span& s = m.caps[g];
      if (s.set()) {
        put_span(out, s.cstart, s.cend, s.start, s.end, true);
      } else {
        out += '-';
      }
      out += '[';
      const size_t n = m.history_size(g);
      for (size_t i = 0; i < n; ++i) {
        const Span& h = m.history_of(g)[i];
        put_span(out, h.cstart, h.cend, h.start, h.end, history_bytes);
      }
      out += "] ";
    }
    return out;
  }

  std::string render(const Attempt* a, bool history_bytes) const {
    return a == nullptr ? "none" : render(a->caps, history_bytes);
  }

  static std::string render(const std::optional<Match>& m, bool history_bytes) {
    return m ? render(*m, history_bytes) : "none";
  }

  // Spans of a partial match; `expected` takes byte offsets from TextIndex.
  std::string render(const std::optional<PartialMatch>& pm, bool expected) const {
    if (!pm) return "none";
    auto span = [&](std::string& out, const Span& s) {
      if (!s.set()) {
        out += '-';
      } else if (expected) {
        put_span(out, s.cstart, s.cend, ti_.byte_of(s.cstart), ti_.byte_of(s.cend), true);
      } else {
        put_span(out, s.cstart, s.cend, s.start, s.end, true);
      }
    };
    std::string out = pm->is_full ? "full " : "partial ";
    span(out, pm->span);
    for (const PartialGroup& g : pm->groups) {
      out += ' ';
      out += std::to_string(int(g.state));
      span(out, g.span);
    }
    return out;
  }

  void mismatch(const Form& f, const std::string& method, const std::string& want,
                const std::string& got) const {
    fail("%s on %s differs from the reference\n  expected: %s\n  got:      %s", method.c_str(),
         f.name, want.c_str(), got.c_str());
  }

  // --- the operations on one form ---

  // Once the case's polls are spent, even a Budget of none would let every
  // remaining operation run a poll interval: stop issuing them.
  bool spent() const { return polls_left_ <= 0; }

  void check(const Form& f) {
    const bool hb = !f.text;  // history byte offsets exist for UTF-8 only
    check_is_match(f);
    using SearchFn = Status (Regex::*)(AnyText, std::optional<Match>&, const SearchControl&) const;
    const struct {
      const char* method;
      SearchFn fn;
      const Attempt* want;
    } searches[] = {
        {"find", &Regex::find, ref_.from(0)},
        {"match_at_start", &Regex::match_at_start, anchored(ref_.at(0))},
        {"fullmatch", &Regex::fullmatch, anchored(ref_.full())},
    };
    for (const auto& s : searches) {
      if (spent()) return;
      if (s.want != nullptr && s.want->verdict == Verdict::GaveUp) continue;
      Charged b(polls_left_);
      std::optional<Match> m;
      const Status st =
          f.text ? (re_.*s.fn)(*f.text, m, b.control()) : (re_.*s.fn)(in_.hay, m, b.control());
      if (!completed(st, s.method)) continue;
      compare(f, s.method, std::nullopt, s.want, m, hb);
    }
    check_find_at(f);
    const std::optional<std::vector<const Attempt*>> walk = check_findall(f);
    check_split(f);
    if (walk) check_replace(f, *walk, true);
    const Attempt* first = ref_.from(0);
    if (first == nullptr || first->verdict == Verdict::Match) {
      check_replace(f, first ? std::vector<const Attempt*>{first} : std::vector<const Attempt*>{},
                    false);
    }
    check_partial(f);
  }

  // An anchored attempt as an expected answer: nullptr for no match.
  static const Attempt* anchored(const Attempt& a) {
    return a.verdict == Verdict::NoMatch ? nullptr : &a;
  }

  bool same_span(const CpSpan& want, const Span& got, bool bytes) const {
    if (!want.set()) return got.cstart == kUnset && got.cend == kUnset && got.start == kUnset;
    return got.cstart == want.start && got.cend == want.end &&
           (!bytes || (got.start == ti_.byte_of(want.start) && got.end == ti_.byte_of(want.end)));
  }

  // Structural comparison first: rendering every answer would cost more
  // than the searches.
  bool same(const Attempt* want, const std::optional<Match>& got, bool hb) const {
    if ((want == nullptr) != !got) return false;
    if (!got) return true;
    const reference::Captures& c = want->caps;
    const Match& m = *got;
    const size_t groups = c.caps.size();
    if (m.caps.size() != groups) return false;
    if (m.flat_history ? !m.history.empty() || !m.history_starts.empty()
                       : m.history_starts.size() != groups + 1 ||
                             m.history_starts.back() != m.history.size()) {
      return false;
    }
    for (size_t g = 0; g < groups; ++g) {
      if (!same_span(c.caps[g], m.caps[g], true) || m.history_size(g) != c.history[g].size()) {
        return false;
      }
      const Span* h = m.history_of(g);
      for (size_t i = 0; i < c.history[g].size(); ++i) {
        if (!c.history[g][i].set() || !same_span(c.history[g][i], h[i], hb)) return false;
      }
    }
    return true;
  }

  // `arg`, when given, is the method's argument (a start offset, an index).
  void compare(const Form& f, const char* method, std::optional<size_t> arg, const Attempt* want,
               const std::optional<Match>& got, bool hb) const {
    if (same(want, got, hb)) return;
    std::string name = method;
    if (arg) {
      name += ' ';
      name += std::to_string(*arg);
    }
    mismatch(f, name, render(want, hb), render(got, hb));
  }

  void check_is_match(const Form& f) {
    if (spent()) return;
    const Attempt* want = ref_.from(0);
    if (want != nullptr && want->verdict == Verdict::GaveUp) return;
    Charged b(polls_left_);
    bool hit = false;
    const Status st =
        f.text ? re_.is_match(*f.text, hit, b.control()) : re_.is_match(in_.hay, hit, b.control());
    if (!completed(st, "is_match")) return;
    if (hit != (want != nullptr)) {
      mismatch(f, "is_match", want ? "true" : "false", hit ? "true" : "false");
    }
  }

  // Every start, and on UTF-8 offsets past the end, which clamp.
  void check_find_at(const Form& f) {
    const bool hb = !f.text;
    const size_t n = ref_.n();
    const size_t last = f.text ? n : n + 2;
    for (size_t s = 0; s <= last; ++s) {
      if (spent()) return;
      const Attempt* want = ref_.from(s);
      if (want != nullptr && want->verdict == Verdict::GaveUp) continue;
      Charged b(polls_left_);
      std::optional<Match> m;
      Status st;
      size_t byte;
      if (f.text) {
        byte = ti_.byte_of(s);
        st = re_.find_at_index(*f.text, TextPos{s, byte}, m, b.control());
      } else {
        byte = s <= n ? ti_.byte_of(s) : ti_.bytes() + (s - n);
        st = re_.find_at(in_.hay, byte, m, b.control());
      }
      if (!completed(st, "find_at")) continue;
      compare(f, "find_at byte", byte, want, m, hb);
    }
  }

  // The reference's successive matches, as FindIter walks them: the prefix
  // it could decide, and whether that is all of them.
  struct Walk {
    std::vector<const Attempt*> matches;
    bool complete = false;
  };

  Walk walk() const {
    Walk w;
    const size_t n = ref_.n();
    size_t next = 0;
    while (next <= n) {
      const Attempt* a = ref_.from(next);
      if (a == nullptr) break;
      if (a->verdict == Verdict::GaveUp) return w;
      w.matches.push_back(a);
      const CpSpan m = a->caps.caps[0];
      next = m.end > m.start ? m.end : m.end + 1;
    }
    w.complete = true;
    return w;
  }

  // An iterator over the form's text: a Text, or the UTF-8 haystack.
  template <class It>
  void start(std::optional<It>& it, const Form& f) const {
    if (f.text) {
      it.emplace(re_, *f.text);
    } else {
      it.emplace(re_, in_.hay);
    }
  }

  // Returns the expected matches when both sides decided all of them.
  std::optional<std::vector<const Attempt*>> check_findall(const Form& f) {
    if (spent()) return std::nullopt;
    const bool hb = !f.text;
    const Walk want = walk();
    std::optional<FindIter> it;
    start(it, f);
    Charged b(polls_left_);
    for (size_t i = 0;; ++i) {
      if (i == want.matches.size() && !want.complete) return std::nullopt;
      std::optional<Match> m;
      if (!completed(it->next(m, b.control()), "findall")) return std::nullopt;
      const Attempt* w = i < want.matches.size() ? want.matches[i] : nullptr;
      compare(f, "findall match", i, w, m, hb);
      if (!m) break;
    }
    return want.matches;
  }

  // Split's segments: the text before each match, the match's groups (an
  // empty segment for a group that did not take part), the code point an
  // empty match sits on, then the rest.
  void check_split(const Form& f) {
    if (spent()) return;
    const Walk w = walk();
    const size_t n = ref_.n();
    std::vector<Segment> want;
    size_t p = 0;
    for (const Attempt* a : w.matches) {
      const size_t s = a->caps.caps[0].start, e = a->caps.caps[0].end;
      want.push_back(Segment{std::min(p, n), s});
      for (size_t g = 1; g < a->caps.caps.size(); ++g) {
        const CpSpan c = a->caps.caps[g];
        want.push_back(c.set() ? Segment{c.start, c.end} : Segment{});
      }
      if (s == e && s < n) want.push_back(Segment{s, s + 1});
      p = e > s ? e : e + 1;
    }
    if (w.complete) want.push_back(Segment{std::min(p, n), n});
    // Built by appending: operator+ chains trip a false -Wrestrict of GCC 12.
    auto quoted = [](std::string_view t) {
      std::string out(1, '"');
      out.append(t);
      out += '"';
      return out;
    };
    auto put = [](const Segment& s) {
      std::string out;
      put_span(out, s.start, s.end, 0, 0, false);
      return out;
    };
    std::optional<SplitIter> it;
    start(it, f);
    Charged b(polls_left_);
    for (size_t i = 0;; ++i) {
      if (i == want.size() && !w.complete) return;
      const bool end = i == want.size();
      bool ok;
      std::string ws, gs;
      if (f.text) {
        std::optional<Segment> seg;
        if (!completed(it->next_segment(seg, b.control()), "split")) return;
        ok = end ? !seg : seg && seg->start == want[i].start && seg->end == want[i].end;
        if (!ok) {
          ws = end ? "none" : put(want[i]);
          gs = seg ? put(*seg) : "none";
        }
        if (ok && !seg) return;
      } else {
        std::optional<std::string_view> seg;
        if (!completed(it->next(seg, b.control()), "split")) return;
        const std::string_view wt =
            end ? std::string_view()
                : ti_.slice(want[i].start, std::max(want[i].start, want[i].end));
        ok = end ? !seg : seg && *seg == wt;
        if (!ok) {
          ws = end ? "none" : quoted(wt);
          gs = seg ? quoted(*seg) : "none";
        }
        if (ok && !seg) return;
      }
      if (!ok) mismatch(f, "split segment " + std::to_string(i), ws, gs);
    }
  }

  // replace_all (all) or replace with a template of group references,
  // against the text rebuilt from the reference's matches.
  void check_replace(const Form& f, const std::vector<const Attempt*>& matches, bool all) {
    if (spent()) return;
    const size_t n = ref_.n();
    std::string want;
    size_t p = 0;
    for (const Attempt* a : matches) {
      const size_t s = a->caps.caps[0].start, e = a->caps.caps[0].end;
      want.append(ti_.slice(p, s));
      want += reference::expand_template(tmpl_, a->caps.caps.size(), re_.names(),
                                         [&](std::string& out, size_t g) {
                                           const CpSpan c = a->caps.caps[g];
                                           if (c.set()) out.append(ti_.slice(c.start, c.end));
                                         });
      if (e > s) {
        p = e;
      } else {
        if (s < n) want.append(ti_.slice(s, s + 1));
        p = s + 1;
      }
    }
    if (p <= n) want.append(ti_.slice(p, n));
    const char* method = all ? "replace_all" : "replace";
    Charged b(polls_left_);
    std::string got;
    if (f.text) {
      Collect sink(ti_);
      bool replaced = false;
      if (!completed(re_.replace(*f.text, tmpl_, all, sink, replaced, b.control()), method)) return;
      if (replaced != !matches.empty()) {
        mismatch(f, std::string(method) + " (whether replaced)", matches.empty() ? "no" : "yes",
                 replaced ? "yes" : "no");
      }
      got = std::move(sink.out);
    } else {
      const Status st = all ? re_.replace_all(in_.hay, tmpl_, got, b.control())
                            : re_.replace(in_.hay, tmpl_, got, b.control());
      if (!completed(st, method)) return;
    }
    if (got != want) mismatch(f, std::string(method) + " with " + tmpl_, want, got);
  }

  void check_partial(const Form& f) {
    if (spent()) return;
    if (!ref_.partial_known()) return;
    Charged b(polls_left_);
    std::optional<PartialMatch> pm;
    const Status st = f.text ? re_.find_partial(*f.text, pm, b.control())
                             : re_.find_partial(in_.hay, pm, b.control());
    if (!completed(st, "find_partial")) return;
    const std::string w = render(ref_.partial(), true);
    const std::string g = render(pm, false);
    if (w != g) mismatch(f, "find_partial", w, g);
  }

  const Input& in_;
  const Regex& re_;
  TextIndex ti_;
  Reference ref_;
  std::string tmpl_;
  int polls_left_ = kCasePolls;
};

}  // namespace

void check_engines(const Input& in) {
  auto compiled = Regex::new_with_flags(in.pattern, in.flags);
  if (!compiled.ok()) return;
  Comparer(in, compiled.value()).run();
}

}  // namespace kordal::fuzz
