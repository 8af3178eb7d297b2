// The polled literal scan every search uses: the leftmost occurrence of a
// prefilter's needle, read in slices with a poll between them.
//
// A scan over a long text without a hit would otherwise never reach the
// poll hook, so a search could not be interrupted nor lend the interpreter
// lock. Cost: the prefilter's, plus one poll after kFirstSlice code points
// and one per kScanSlice after that. Sets st.status to Interrupted when the
// hook stops it.
#pragma once

#include <cstddef>
#include <utility>

#include "poll.hpp"
#include "prefilter.hpp"
#include "state.hpp"
#include "status.hpp"

namespace kordal {

// The first hit of find(a, b), a search of the slice [a, b) that gives a
// position or kNoPos, over the slices from `from` to the end; kNoPos when
// there is none or the poll hook stopped the scan (st.status says so).
template <class Find>
size_t scan_slices(State& st, size_t from, Find&& find) {
  const size_t n = st.n;
  size_t slice = kFirstSlice;
  while (from < n) {
    const size_t until = n - from > slice ? from + slice : n;
    slice = kScanSlice;
    const size_t hit = find(from, until);
    if (hit != kNoPos) return hit;
    if (until == n) break;
    if (st.ctl && st.ctl->poll && st.ctl->poll(st.ctl->ctx)) {
      st.status = Status::Interrupted;
      return kNoPos;
    }
    from = until;
  }
  return kNoPos;
}

// find(units, a, b) once, over [a, b): with the 1-byte units of a wide
// text's narrow copy where `narrowable` (whatever find looks for is below
// 0xFF) and the text has one (or its owner builds it now), else with p,
// counting for the copy's owner what the copy would have served.
template <class U, class Find>
size_t find_narrowed(State& st, const U* p, size_t a, size_t b, bool narrowable, Find&& find) {
  NarrowCopy* nc = sizeof(U) > 1 && narrowable ? st.text.narrow : nullptr;
  if (nc != nullptr && nc->units == nullptr && nc->build != nullptr) {
    auto* build = std::exchange(nc->build, nullptr);
    build(nc->owner);
  }
  if (nc != nullptr && nc->units != nullptr) return find(nc->units, a, b);
  const size_t hit = find(p, a, b);
  if (nc != nullptr) nc->wide_scanned += (hit < b ? hit : b) - a;
  return hit;
}

// find(units, a, b) over the slices from `from`, as scan_slices, each slice
// read as find_narrowed reads it.
template <class U, class Find>
size_t scan_narrowed(State& st, const U* p, size_t from, bool narrowable, Find&& find) {
  return scan_slices(
      st, from, [&](size_t a, size_t b) { return find_narrowed(st, p, a, b, narrowable, find); });
}

// The leftmost occurrence at or after `from`, or kNoPos when there is none
// or the poll hook stopped the search (st.status says so).
template <class U>
size_t scan_polled(const Prefilter& pf, State& st, const U* p, size_t from) {
  return scan_narrowed(st, p, from, pf.narrowable(), [&](const auto* q, size_t a, size_t b) {
    return pf.find_before(q, st.n, a, b);
  });
}

}  // namespace kordal
