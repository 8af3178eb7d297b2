// The reference search loops (see reference_search.hpp).
#include "reference_search.hpp"

#include "reference_matcher.hpp"

namespace kordal::reference {

bool search(const Node& root, State& st, size_t s0, Mode mode) {
  const size_t last = mode == Mode::Find ? st.n : s0;
  for (size_t s = s0; s <= last && s <= st.n; ++s) {
    st.reset(s);
    const bool ok = mode == Mode::Full ? try_match_to(root, st, st.n) : try_match(root, st);
    if (st.status != Status::Ok) return false;
    if (ok) {
      st.set_match(s, st.pos);
      return true;
    }
  }
  return false;
}

Captures captures_of(const State& st) {
  Captures c{st.caps(), {}};
  for (size_t g = 0; g < st.caps().size(); ++g) c.history.push_back(st.history(g));
  return c;
}

std::optional<PartialMatch> search_partial(const Regex& re, State& st) {
  st.partial = true;
  for (size_t s = 0; s <= st.n; ++s) {
    st.reset(s);
    const bool full = try_match_to(re.tree(), st, st.n);
    if (st.status != Status::Ok) return std::nullopt;
    if (full) {
      PartialCandidate c;
      c.caps = st.caps();
      c.caps[0] = CpSpan{s, st.n};
      c.pos = st.n;
      return re.build_partial_match(st, true, s, c);
    }
    // A blocked candidate counts when it reached the end from a start before it.
    if (st.best_partial && st.best_partial->pos == st.n && s < st.n) {
      return re.build_partial_match(st, false, s, *st.best_partial);
    }
  }
  return std::nullopt;
}

}  // namespace kordal::reference
