// Which matcher the searches run: the backtracking VM or the tree-walking
// matcher it replaces. A per-thread choice, so tests can run both engines
// from one build and compare them; the VM is the default.
#pragma once

#include <cstdint>

namespace kordal {

enum class Engine : uint8_t { Vm, Tree };

Engine current_engine();
void set_engine(Engine e);

}  // namespace kordal
