// Cross-checks between the search operations of one pattern over one
// haystack (see invariants.hpp for the list and the cost).
//
// Every operation runs with its own Budget; an operation that was cancelled
// or ran too deep yields no result, and every property that needs it is
// skipped. Positions are checked in both units the engine reports, byte
// offsets and code-point indices, against an index of the haystack built
// here independently of the engine's own decoding.
#include "invariants.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "escape.hpp"
#include "iterators.hpp"
#include "match_obj.hpp"
#include "template.hpp"

namespace kordal::fuzz {

namespace {

void check_span(const TextIndex& ti, const Span& s, const char* op, const char* what, size_t g) {
  if (!s.set()) {
    FUZZ_CHECK(s.end == kUnset && s.cstart == kUnset && s.cend == kUnset,
               "%s: %s of group %zu half unset", op, what, g);
    return;
  }
  FUZZ_CHECK(s.start <= s.end && s.end <= ti.bytes(), "%s: %s of group %zu is (%zu, %zu), text %zu",
             op, what, g, s.start, s.end, ti.bytes());
  FUZZ_CHECK(ti.boundary(s.start) && ti.boundary(s.end),
             "%s: %s of group %zu (%zu, %zu) splits a character", op, what, g, s.start, s.end);
  FUZZ_CHECK(s.cstart == ti.cp_of(s.start) && s.cend == ti.cp_of(s.end),
             "%s: %s of group %zu: bytes (%zu, %zu) but code points (%zu, %zu)", op, what, g,
             s.start, s.end, s.cstart, s.cend);
}

bool same_span(const Span& a, const Span& b) {
  return a.start == b.start && a.end == b.end;
}

// A search result: `done` is false when the operation was cancelled.
template <class T>
struct Outcome {
  bool done = false;
  T value{};
};

class Checker {
 public:
  Checker(const Input& in, const Regex& re) : in_(in), re_(re), ti_(in.hay) {}

  void run() {
    (void)re_.dump();
    const Outcome<bool> hit = is_match();
    hit_ = hit;
    const Outcome<std::optional<Match>> first = search("find", &Regex::find);
    if (hit.done && first.done) {
      FUZZ_CHECK(hit.value == first.value.has_value(), "is_match says %d, find says %d", hit.value,
                 first.value.has_value());
    }
    if (first.done && first.value) check_templates(*first.value);
    check_find_at(first);
    check_anchored(first);
    const Outcome<std::vector<Match>> all = findall(first);
    if (all.done) {
      check_split(all.value);
      check_replace_all(all.value);
      check_ahead(all.value);
    }
    check_replace(first);
    for (int mode = 0; mode < 3; ++mode) check_escape(mode != 0, mode == 2);
    check_text_forms(first, all);
  }

 private:
  using SearchFn = Status (Regex::*)(AnyText, std::optional<Match>&, const SearchControl&) const;

  Outcome<bool> is_match() {
    Budget b;
    Outcome<bool> r;
    r.done = completed(re_.is_match(in_.hay, r.value, b.control()), "is_match");
    return r;
  }

  Outcome<std::optional<Match>> search(const char* op, SearchFn fn) {
    Budget b;
    Outcome<std::optional<Match>> r;
    r.done = completed((re_.*fn)(in_.hay, r.value, b.control()), op);
    if (r.done && r.value) check_match(re_, in_.hay, *r.value, op);
    return r;
  }

  Outcome<std::optional<Match>> find_at(size_t byte_start) {
    Budget b;
    Outcome<std::optional<Match>> r;
    r.done = completed(re_.find_at(in_.hay, byte_start, r.value, b.control()), "find_at");
    if (r.done && r.value) {
      check_match(re_, in_.hay, *r.value, "find_at");
      FUZZ_CHECK(r.value->caps[0].start >= std::min(byte_start, ti_.bytes()),
                 "find_at(%zu) found a match starting at %zu", byte_start, r.value->caps[0].start);
    }
    return r;
  }

  // A later start sees the same match as an earlier one as long as that
  // match starts at or after it, and nothing once the earlier start saw
  // nothing; offset 0 is find itself.
  void check_find_at(const Outcome<std::optional<Match>>& first) {
    const size_t n = ti_.chars();
    std::vector<size_t> offsets = {0,
                                   ti_.byte_of(std::min<size_t>(1, n)),
                                   ti_.byte_of(n / 2),
                                   ti_.byte_of(n > 0 ? n - 1 : 0),
                                   ti_.bytes(),
                                   ti_.bytes() + 3};
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    std::vector<std::pair<size_t, Outcome<std::optional<Match>>>> seen;
    if (first.done) seen.emplace_back(0, first);
    for (size_t b : offsets) {
      Outcome<std::optional<Match>> r = find_at(b);
      if (!r.done) continue;
      for (const auto& [earlier_b, earlier] : seen) {
        if (earlier_b > b) continue;
        if (!earlier.value) {
          FUZZ_CHECK(!r.value, "find_at(%zu) found nothing but find_at(%zu) found (%zu, %zu)",
                     earlier_b, b, r.value->caps[0].start, r.value->caps[0].end);
        } else if (earlier.value->caps[0].start >= b) {
          FUZZ_CHECK(r.value && same_match(*r.value, *earlier.value),
                     "find_at(%zu) differs from find_at(%zu), whose match starts at %zu", b,
                     earlier_b, earlier.value->caps[0].start);
        }
      }
      seen.emplace_back(b, std::move(r));
    }
  }

  // match_at_start is find restricted to start 0. fullmatch tries the same
  // paths in the same order and only refuses those that do not end at the
  // end, so: a full match implies an anchored one, an anchored match that
  // reaches the end is the full match, and the partial search at start 0
  // reports exactly the full match first.
  void check_anchored(const Outcome<std::optional<Match>>& first) {
    const Outcome<std::optional<Match>> anchored = search("match_at_start", &Regex::match_at_start);
    const Outcome<std::optional<Match>> full = search("fullmatch", &Regex::fullmatch);
    anchored_ = anchored;
    full_ = full;
    if (anchored.done && first.done) {
      if (first.value && first.value->caps[0].start == 0) {
        FUZZ_CHECK(anchored.value && same_match(*anchored.value, *first.value),
                   "find matched at 0 but match_at_start differs");
      } else {
        FUZZ_CHECK(!anchored.value, "match_at_start found (0, %zu) but find did not start at 0",
                   anchored.value->caps[0].end);
      }
    }
    if (full.done && full.value) {
      FUZZ_CHECK(full.value->caps[0].start == 0 && full.value->caps[0].end == ti_.bytes(),
                 "fullmatch spans (%zu, %zu) of %zu bytes", full.value->caps[0].start,
                 full.value->caps[0].end, ti_.bytes());
    }
    if (full.done && anchored.done) {
      if (full.value) FUZZ_CHECK(anchored.value, "fullmatch matched but match_at_start did not");
      if (anchored.value && anchored.value->caps[0].end == ti_.bytes()) {
        FUZZ_CHECK(full.value && same_match(*full.value, *anchored.value),
                   "match_at_start reached the end but fullmatch differs");
      }
    }
    check_partial(full);
  }

  void check_partial(const Outcome<std::optional<Match>>& full) {
    Budget b;
    std::optional<PartialMatch> pm;
    if (!completed(re_.find_partial(in_.hay, pm, b.control()), "find_partial")) return;
    partial_ = Outcome<std::optional<PartialMatch>>{true, pm};
    if (pm) {
      const char* op = "find_partial";
      check_span(ti_, pm->span, op, "span", 0);
      FUZZ_CHECK(pm->span.set() && pm->span.end == ti_.bytes(), "%s: ends at %zu of %zu bytes", op,
                 pm->span.end, ti_.bytes());
      FUZZ_CHECK(pm->is_full || pm->span.start < pm->span.end, "%s: an empty partial match", op);
      FUZZ_CHECK(pm->names != nullptr, "%s: no names", op);
      FUZZ_CHECK(pm->groups.size() == re_.group_count() + 1, "%s: %zu group entries for %zu groups",
                 op, pm->groups.size(), re_.group_count());
      FUZZ_CHECK(
          pm->groups[0].state == GroupState::Matched && same_span(pm->groups[0].span, pm->span),
          "%s: group 0 is not the matched span", op);
      for (size_t g = 1; g < pm->groups.size(); ++g) {
        const PartialGroup& pg = pm->groups[g];
        check_span(ti_, pg.span, op, "span", g);
        FUZZ_CHECK(pg.span.set() == (pg.state != GroupState::None),
                   "%s: group %zu state %d disagrees with its span", op, g, int(pg.state));
        if (pg.state == GroupState::Partial) {
          FUZZ_CHECK(pg.span.end == ti_.bytes(), "%s: partial group %zu ends at %zu", op, g,
                     pg.span.end);
        }
      }
    }
    if (!full.done) return;
    if (full.value) {
      FUZZ_CHECK(pm && pm->is_full && pm->span.start == 0,
                 "fullmatch matched but find_partial did not report a full match at 0");
      for (size_t g = 1; g < pm->groups.size(); ++g) {
        const Span& want = full.value->caps[g];
        const PartialGroup& got = pm->groups[g];
        FUZZ_CHECK(want.set() ? got.state == GroupState::Matched && same_span(got.span, want)
                              : got.state == GroupState::None,
                   "find_partial's full match differs from fullmatch in group %zu", g);
      }
    } else {
      FUZZ_CHECK(!(pm && pm->is_full && pm->span.start == 0),
                 "find_partial reports a full match at 0 that fullmatch did not find");
    }
  }

  // Successive matches are ordered and do not overlap: each starts at or
  // after the previous end, one code point later after an empty match (so
  // an empty match may touch the end of a non-empty one). The first is
  // find's; each early one is what find_at returns from where it resumed.
  Outcome<std::vector<Match>> findall(const Outcome<std::optional<Match>>& first) {
    Outcome<std::vector<Match>> r;
    FindIter it(re_, in_.hay);
    Budget b;
    const size_t n = ti_.chars();
    size_t next_start = 0;
    for (;;) {
      std::optional<Match> m;
      if (!completed(it.next(m, b.control()), "findall")) return r;
      if (!m) break;
      check_match(re_, in_.hay, *m, "findall");
      const size_t s = m->caps[0].cstart, e = m->caps[0].cend;
      FUZZ_CHECK(s >= next_start, "findall: match %zu at (%zu, %zu) starts before %zu",
                 r.value.size(), s, e, next_start);
      if (r.value.size() < 8 && next_start <= n) {
        const Outcome<std::optional<Match>> again = find_at(ti_.byte_of(next_start));
        if (again.done) {
          FUZZ_CHECK(again.value && same_match(*again.value, *m),
                     "findall match %zu differs from find_at(%zu)", r.value.size(),
                     ti_.byte_of(next_start));
        }
      }
      next_start = e > s ? e : e + 1;
      r.value.push_back(std::move(*m));
      FUZZ_CHECK(r.value.size() <= n + 1, "findall: more than %zu matches", n + 1);
    }
    std::optional<Match> more;
    if (completed(it.next(more, b.control()), "findall") && more) {
      fail("findall: a match after the end at (%zu, %zu)", more->caps[0].start, more->caps[0].end);
    }
    if (r.value.empty() && next_start <= n) {
      const Outcome<std::optional<Match>> again = find_at(ti_.byte_of(next_start));
      FUZZ_CHECK(!again.done || !again.value, "findall found nothing but find_at(0) did");
    }
    if (first.done) {
      FUZZ_CHECK(first.value.has_value() == !r.value.empty(), "find %s, findall found %zu",
                 first.value ? "matched" : "found nothing", r.value.size());
      if (first.value) {
        FUZZ_CHECK(same_match(*first.value, r.value.front()), "find differs from findall's first");
      }
    }
    r.done = true;
    return r;
  }

  // The walk read ahead (FindIter::next_ahead, Python's finditer) hands out
  // findall's matches, from spans or whole matches as its batches hold them.
  void check_ahead(const std::vector<Match>& all) {
    FindIter it(re_, in_.hay);
    Budget b;
    size_t i = 0;
    for (;;) {
      size_t at = 0;
      bool found = false;
      if (!completed(it.next_ahead(at, found, b.control()), "findall ahead")) return;
      if (!found) break;
      FUZZ_CHECK(i < all.size(), "findall ahead: more than findall's %zu matches", all.size());
      const FindBatch& fb = it.batch();
      if (fb.flat) {
        FUZZ_CHECK(fb.groups == all[i].caps.size(), "findall ahead: %zu spans per match",
                   fb.groups);
        for (size_t g = 0; g < fb.groups; ++g) {
          const Span& s = fb.spans_of(at)[g];
          const Span& w = all[i].caps[g];
          FUZZ_CHECK(
              s.start == w.start && s.end == w.end && s.cstart == w.cstart && s.cend == w.cend,
              "findall ahead: match %zu differs in group %zu", i, g);
        }
      } else {
        FUZZ_CHECK(same_match(fb.matches[at], all[i]), "findall ahead: match %zu differs", i);
      }
      ++i;
    }
    FUZZ_CHECK(i == all.size(), "findall ahead: %zu matches, findall %zu", i, all.size());
  }

  // Split yields the text before each separator match, then the texts of its
  // groups, then (for an empty match inside the text) the code point it sits
  // on; then the rest after the last match. Rebuilt here from find-all.
  void check_split(const std::vector<Match>& all) {
    std::vector<std::string_view> want;
    const size_t n = ti_.chars();
    size_t p = 0;
    for (const Match& m : all) {
      const size_t s = m.caps[0].cstart, e = m.caps[0].cend;
      want.push_back(ti_.slice(p, s));
      for (size_t g = 1; g < m.caps.size(); ++g) {
        want.push_back(m.group(g).value_or(std::string_view()));
      }
      if (s == e && s < n) want.push_back(ti_.slice(s, s + 1));
      p = e > s ? e : e + 1;
    }
    want.push_back(p <= n ? ti_.slice(p, n) : std::string_view());

    SplitIter it(re_, in_.hay);
    Budget b;
    std::vector<std::string_view> got;
    for (;;) {
      std::optional<std::string_view> seg;
      if (!completed(it.next(seg, b.control()), "split")) return;
      if (!seg) break;
      FUZZ_CHECK(seg->empty() || (seg->data() >= in_.hay.data() &&
                                  seg->data() + seg->size() <= in_.hay.data() + in_.hay.size()),
                 "split: a segment outside the haystack");
      got.push_back(*seg);
      FUZZ_CHECK(got.size() <= want.size(), "split: more than the %zu expected segments",
                 want.size());
    }
    FUZZ_CHECK(got.size() == want.size(), "split: %zu segments, expected %zu", got.size(),
               want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      FUZZ_CHECK(got[i] == want[i], "split: segment %zu differs", i);
    }
    std::optional<std::string_view> more;
    if (completed(it.next(more, b.control()), "split")) {
      FUZZ_CHECK(!more, "split: a segment after the end");
    }
  }

  // replace_all visits exactly find-all's matches; "$0" gives the text back.
  void check_replace_all(const std::vector<Match>& all) {
    static constexpr std::string_view kTemplate = "<$0|$1|\\2|${name}>";
    std::string want;
    const size_t n = ti_.chars();
    size_t p = 0;
    for (const Match& m : all) {
      const size_t s = m.caps[0].cstart, e = m.caps[0].cend;
      want.append(ti_.slice(p, s));
      regex::expand(kTemplate, m, want);
      if (e > s) {
        p = e;
      } else {
        if (s < n) want.append(ti_.slice(s, s + 1));
        p = s + 1;
      }
    }
    if (p <= n) want.append(ti_.slice(p, n));
    std::string got;
    Budget b1;
    if (completed(re_.replace_all(in_.hay, kTemplate, got, b1.control()), "replace_all")) {
      FUZZ_CHECK(got == want, "replace_all differs from find-all with the same template");
    }
    Budget b2;
    if (completed(re_.replace_all(in_.hay, "$0", got, b2.control()), "replace_all")) {
      FUZZ_CHECK(got == in_.hay, "replace_all with $0 changed the text");
    }
  }

  void check_replace(const Outcome<std::optional<Match>>& first) {
    static constexpr std::string_view kTemplate = "[$&$2${1}\\g<0>]";
    std::string got;
    Budget b1;
    if (completed(re_.replace(in_.hay, "$0", got, b1.control()), "replace")) {
      FUZZ_CHECK(got == in_.hay, "replace with $0 changed the text");
    }
    Budget b2;
    if (!completed(re_.replace(in_.hay, kTemplate, got, b2.control()), "replace") || !first.done) {
      return;
    }
    std::string want(in_.hay);
    if (first.value) {
      const Span& s = first.value->caps[0];
      want = in_.hay.substr(0, s.start) + regex::expand(kTemplate, *first.value) +
             in_.hay.substr(s.end);
    }
    FUZZ_CHECK(got == want, "replace differs from find with the same template");
  }

  // Every spelling of a group reference expands to that group's text.
  void check_templates(const Match& m) {
    const std::string whole(m.group(0).value_or(""));
    for (std::string_view t : {"$0", "$&", "${0}", "\\0", "\\g<0>", "\\g'0'", "$00"}) {
      FUZZ_CHECK(regex::expand(t, m) == whole, "template %.*s is not the whole match",
                 int(t.size()), t.data());
    }
    FUZZ_CHECK(regex::expand("$$", m) == "$" && regex::expand("\\\\", m) == "\\",
               "escaped $ or \\ in a template");
    const size_t limit = std::min<size_t>(m.caps.size() + 1, 12);
    for (size_t g = 0; g < limit; ++g) {
      const std::string want(m.group(g).value_or(""));
      const std::string num = std::to_string(g);
      for (const std::string& t : {"$" + num, "${" + num + "}", "\\" + num, "\\g<" + num + ">"}) {
        FUZZ_CHECK(regex::expand(t, m) == want, "template %s is not group %zu", t.c_str(), g);
      }
    }
    for (const auto& [name, g] : re_.names()) {
      const std::string want(m.group(g).value_or(""));
      FUZZ_CHECK(regex::expand("${" + name + "}", m) == want, "${%s} is not group %zu",
                 name.c_str(), g);
    }
  }

  static bool escaped_in(unsigned char c, bool special_only, bool literal_spaces) {
    static constexpr std::string_view kMeta = "$()*+.?[\\]^{|}";
    static constexpr std::string_view kPunct = "!\"#%&',/:;<=>@`~";
    if (kMeta.find(char(c)) != std::string_view::npos) return true;
    if (kPunct.find(char(c)) != std::string_view::npos) return !special_only;
    return c == ' ' && !literal_spaces;
  }

  // The escaped text is the text with a backslash before exactly the chosen
  // characters, and as a pattern (not verbose) it matches the whole text.
  void check_escape(bool special_only, bool literal_spaces) {
    const std::string e = escape::escape_impl(in_.hay, special_only, literal_spaces);
    std::string unescaped;
    for (size_t i = 0; i < e.size(); ++i) {
      const auto c = static_cast<unsigned char>(e[i]);
      if (c == '\\') {
        FUZZ_CHECK(i + 1 < e.size() && escaped_in(static_cast<unsigned char>(e[i + 1]),
                                                  special_only, literal_spaces),
                   "escape: backslash before a character that needs none at %zu", i);
        unescaped.push_back(e[++i]);
      } else {
        FUZZ_CHECK(!escaped_in(c, special_only, literal_spaces), "escape: '%c' left unescaped", c);
        unescaped.push_back(e[i]);
      }
    }
    FUZZ_CHECK(unescaped == in_.hay, "escape: removing the backslashes does not give the text");
    const uint32_t f = in_.flags & ~flags::VERBOSE;
    auto re = Regex::new_with_flags(e, f);
    if (!re.ok()) {
      FUZZ_CHECK(!Regex::new_with_flags("", f).ok(), "escaped text does not compile: %s",
                 re.error().text().c_str());
      return;
    }
    Budget b;
    std::optional<Match> m;
    if (!completed(re.value().fullmatch(in_.hay, m, b.control()), "escape fullmatch")) return;
    FUZZ_CHECK(m.has_value(), "the escaped text (mode %d%d) does not fullmatch the text",
               special_only, literal_spaces);
  }

  // The same searches on the haystack held as code units of one width (as
  // the Python module passes a str) must report what they report on UTF-8:
  // the same spans in code points and bytes. Checked for the narrowest width
  // that holds the text, as a str would store it, and for 4 bytes.
  void check_text_forms(const Outcome<std::optional<Match>>& first,
                        const Outcome<std::vector<Match>>& all) {
    const TextForms forms(in_.hay);
    const int narrow = forms.narrowest();
    check_text_form(forms.as(narrow), narrow, first, all);
    if (narrow != 4) check_text_form(forms.as(4), 4, first, all);
  }

  // Spans of a match on a Text against the same match on UTF-8: group spans
  // in both units, histories in code points (a Text match carries no byte
  // offsets for them).
  static bool same_as_utf8(const std::optional<Match>& t, const std::optional<Match>& u) {
    if (t.has_value() != u.has_value()) return false;
    if (!t) return true;
    if (t->caps.size() != u->caps.size()) return false;
    for (size_t g = 0; g < t->caps.size(); ++g) {
      const Span &a = t->caps[g], &b = u->caps[g];
      if (a.start != b.start || a.end != b.end || a.cstart != b.cstart || a.cend != b.cend) {
        return false;
      }
      const size_t h = t->history_size(g);
      if (h != u->history_size(g)) return false;
      for (size_t i = 0; i < h; ++i) {
        const Span &x = t->history_of(g)[i], &y = u->history_of(g)[i];
        if (x.cstart != y.cstart || x.cend != y.cend) return false;
      }
    }
    return true;
  }

  class Utf8Sink : public ReplaceSink {
   public:
    Utf8Sink(const TextIndex& ti, std::string_view hay) : ti_(ti), hay_(hay) {}
    void copy(size_t a, size_t b) override {
      out.append(hay_.substr(ti_.byte_of(a), ti_.byte_of(b) - ti_.byte_of(a)));
    }
    void literal(std::string_view utf8) override { out.append(utf8); }
    std::string out;

   private:
    const TextIndex& ti_;
    std::string_view hay_;
  };

  void check_text_form(const Text& t, int width, const Outcome<std::optional<Match>>& first,
                       const Outcome<std::vector<Match>>& all) {
    {
      Budget b;
      bool hit = false;
      if (completed(re_.is_match(t, hit, b.control()), "is_match on a Text") && hit_.done) {
        FUZZ_CHECK(hit == hit_.value, "is_match on a %d-byte Text differs", width);
      }
    }
    const struct {
      const char* op;
      SearchFn fn;
      const Outcome<std::optional<Match>>* utf8;
    } searches[] = {{"find", &Regex::find, &first},
                    {"match_at_start", &Regex::match_at_start, &anchored_},
                    {"fullmatch", &Regex::fullmatch, &full_}};
    for (const auto& s : searches) {
      Budget b;
      std::optional<Match> m;
      if (!completed((re_.*s.fn)(t, m, b.control()), s.op) || !s.utf8->done) continue;
      FUZZ_CHECK(same_as_utf8(m, s.utf8->value), "%s on a %d-byte Text differs from UTF-8", s.op,
                 width);
    }
    const size_t n = ti_.chars();
    for (size_t idx : {size_t(0), n / 2, n}) {
      Budget b1, b2;
      std::optional<Match> mt, mu;
      if (completed(re_.find_at_index(t, TextPos{idx, ti_.byte_of(idx)}, mt, b1.control()),
                    "find_at_index") &&
          completed(re_.find_at(in_.hay, ti_.byte_of(idx), mu, b2.control()), "find_at")) {
        FUZZ_CHECK(same_as_utf8(mt, mu), "find_at_index(%zu) on a %d-byte Text differs", idx,
                   width);
      }
    }
    if (partial_.done) {
      Budget b;
      std::optional<PartialMatch> pm;
      if (completed(re_.find_partial(t, pm, b.control()), "find_partial on a Text")) {
        const std::optional<PartialMatch>& pu = partial_.value;
        bool same = pm.has_value() == pu.has_value();
        if (same && pm) {
          same = pm->is_full == pu->is_full && pm->span.start == pu->span.start &&
                 pm->span.cstart == pu->span.cstart && pm->groups.size() == pu->groups.size();
          for (size_t g = 0; same && g < pm->groups.size(); ++g) {
            const PartialGroup &a = pm->groups[g], &c = pu->groups[g];
            same = a.state == c.state && a.span.cstart == c.span.cstart &&
                   a.span.cend == c.span.cend && a.span.start == c.span.start;
          }
        }
        FUZZ_CHECK(same, "find_partial on a %d-byte Text differs from UTF-8", width);
      }
    }
    if (all.done) {
      FindIter it(re_, t);
      Budget b;
      size_t i = 0;
      for (;; ++i) {
        std::optional<Match> m;
        if (!completed(it.next(m, b.control()), "findall on a Text")) break;
        if (!m) {
          FUZZ_CHECK(i == all.value.size(), "findall on a %d-byte Text: %zu matches, UTF-8 %zu",
                     width, i, all.value.size());
          break;
        }
        FUZZ_CHECK(i < all.value.size() && same_as_utf8(m, all.value[i]),
                   "findall match %zu on a %d-byte Text differs from UTF-8", i, width);
      }
      SplitIter su(re_, in_.hay), st(re_, t);
      Budget bu, bt;
      for (;;) {
        std::optional<Segment> a, c;
        if (!completed(st.next_segment(a, bt.control()), "split on a Text") ||
            !completed(su.next_segment(c, bu.control()), "split")) {
          break;
        }
        FUZZ_CHECK(
            a.has_value() == c.has_value() && (!a || (a->start == c->start && a->end == c->end)),
            "split on a %d-byte Text differs from UTF-8", width);
        if (!a) break;
      }
    }
    static constexpr std::string_view kTemplate = "<$0|$1|\\2|${name}>";
    for (bool every : {false, true}) {
      Utf8Sink sink(ti_, in_.hay);
      bool replaced = false;
      Budget b1, b2;
      std::string want;
      if (!completed(re_.replace(t, kTemplate, every, sink, replaced, b1.control()),
                     "replace on a Text")) {
        continue;
      }
      const Status su = every ? re_.replace_all(in_.hay, kTemplate, want, b2.control())
                              : re_.replace(in_.hay, kTemplate, want, b2.control());
      if (!completed(su, "replace")) continue;
      FUZZ_CHECK(sink.out == want, "replace%s on a %d-byte Text differs from UTF-8",
                 every ? "_all" : "", width);
    }
  }

  const Input& in_;
  const Regex& re_;
  TextIndex ti_;
  Outcome<bool> hit_;
  Outcome<std::optional<Match>> anchored_, full_;
  Outcome<std::optional<PartialMatch>> partial_;
};

void check_error(const Input& in, const Error& err) {
  const std::string text = err.text();
  FUZZ_CHECK(!text.empty(), "compile error without a message");
  if (err.position) {
    const size_t p = *err.position;
    const TextIndex ti(in.pattern);
    FUZZ_CHECK(p <= in.pattern.size() && ti.boundary(p), "compile error at %zu of %zu bytes: %s", p,
               in.pattern.size(), text.c_str());
  }
}

}  // namespace

bool same_match(const Match& a, const Match& b) {
  if (a.caps.size() != b.caps.size()) return false;
  for (size_t g = 0; g < a.caps.size(); ++g) {
    if (!same_span(a.caps[g], b.caps[g])) return false;
    const size_t h = a.history_size(g);
    if (h != b.history_size(g)) return false;
    for (size_t i = 0; i < h; ++i) {
      if (!same_span(a.history_of(g)[i], b.history_of(g)[i])) return false;
    }
  }
  return true;
}

void check_match(const Regex& re, std::string_view hay, const Match& m, const char* op) {
  const TextIndex ti(hay);
  FUZZ_CHECK(m.text.data() == hay.data() && m.text.size() == hay.size(),
             "%s: the match does not refer to the haystack", op);
  const size_t groups = re.group_count() + 1;
  FUZZ_CHECK(m.caps.size() == groups, "%s: %zu caps for %zu groups", op, m.caps.size(), groups);
  if (m.flat_history) {
    FUZZ_CHECK(m.history.empty() && m.history_starts.empty(),
               "%s: a flat history with stored entries", op);
  } else {
    FUZZ_CHECK(m.history_starts.size() == groups + 1 && m.history_starts[0] == 0 &&
                   m.history_starts.back() == m.history.size() &&
                   std::is_sorted(m.history_starts.begin(), m.history_starts.end()),
               "%s: malformed history index", op);
  }
  FUZZ_CHECK(m.names != nullptr, "%s: no names", op);
  for (size_t g = 0; g < groups; ++g) {
    const Span& c = m.caps[g];
    check_span(ti, c, op, "span", g);
    const size_t h = m.history_size(g);
    for (size_t i = 0; i < h; ++i) {
      FUZZ_CHECK(m.history_of(g)[i].set(), "%s: unset history entry in group %zu", op, g);
      check_span(ti, m.history_of(g)[i], op, "history", g);
    }
    if (g == 0) {
      FUZZ_CHECK(c.set() && h == 1 && same_span(m.history_of(0)[0], c),
                 "%s: group 0 must be set once, history %zu", op, h);
    } else {
      FUZZ_CHECK(c.set() == (h > 0), "%s: group %zu set=%d with %zu history entries", op, g,
                 c.set(), h);
      if (c.set()) {
        FUZZ_CHECK(same_span(m.history_of(g)[h - 1], c),
                   "%s: group %zu's span is not the last of its history", op, g);
      }
    }
    const std::optional<std::string_view> t = m.group(g);
    FUZZ_CHECK(t.has_value() == c.set(), "%s: group(%zu) presence", op, g);
    if (t) FUZZ_CHECK(*t == hay.substr(c.start, c.end - c.start), "%s: group(%zu) text", op, g);
  }
  FUZZ_CHECK(!m.group(groups).has_value(), "%s: a group beyond the last", op);
  for (const auto& [name, g] : *m.names) {
    FUZZ_CHECK(g >= 1 && g < groups, "%s: name %s maps to group %zu", op, name.c_str(), g);
  }
}

void check_invariants(const Input& in) {
  auto compiled = Regex::new_with_flags(in.pattern, in.flags);
  if (!compiled.ok()) {
    check_error(in, compiled.error());
    return;
  }
  Checker(in, compiled.value()).run();
}

}  // namespace kordal::fuzz
