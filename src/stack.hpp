// Running the matcher without overflowing the native stack.
//
// The matcher recurses once per node and per consumed code point on its
// general path, so a long match needs a deep stack. A search first runs on the
// caller's stack with a modest budget; if the matcher reports TooDeep there,
// the search is rerun from scratch on a private stack: a large, lazily
// committed thread-local mapping with a guard page, entered through a small
// register-switching routine (x86-64 System V). Only if that is exhausted too
// does the search end with TooDeep.
//
// The poll hook calls into the interpreter, which may inspect the C stack
// pointer, so it always runs on the caller's stack: on the private stack the
// matcher switches back, polls, and switches in again. No C++ exception
// crosses a switch: the entry function turns allocation failure into a
// status, and the poll (the one place a thread can be ended) runs on the
// caller's stack.
#pragma once

#include <cstdint>

namespace kordal {

struct State;

namespace stack {

using Body = void (*)(void* arg);

// Runs body(arg), which searches with `st` and leaves its outcome in
// st.status. Sets st.stack_limit and st.private_stack for the matcher.
void run(State& st, Body body, void* arg);

// Calls the poll hook on the caller's stack; true means stop.
bool poll(State& st);

}  // namespace stack
}  // namespace kordal
