// How often the engines poll the caller's hook (SearchControl::poll), in code
// points read. The first slice is short: the first poll is where a long
// search lends the interpreter lock to other threads, and it should come
// before most of the work, while a short search never polls at all. Later
// slices are long, so polling costs nothing measurable. The backtracking VM
// polls by steps instead (backtracker.cpp), as its steps are not reads.
#pragma once

#include <cstddef>

namespace kordal {

inline constexpr size_t kFirstSlice = size_t(1) << 14;
inline constexpr size_t kScanSlice = size_t(1) << 20;

}  // namespace kordal
