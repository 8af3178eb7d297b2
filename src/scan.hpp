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

#include "poll.hpp"
#include "prefilter.hpp"
#include "state.hpp"
#include "status.hpp"

namespace kordal {

// The leftmost occurrence at or after `from`, or kNoPos when there is none
// or the poll hook stopped the search (st.status says so).
template <class U>
size_t scan_polled(const Prefilter& pf, State& st, const U* p, size_t from) {
  const size_t n = st.n;
  size_t slice = kFirstSlice;
  while (from < n) {
    const size_t until = n - from > slice ? from + slice : n;
    slice = kScanSlice;
    const size_t hit = pf.find_before(p, n, from, until);
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

}  // namespace kordal
