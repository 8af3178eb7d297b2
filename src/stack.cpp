// Private matcher stacks and the switch between them and the caller's stack.
#include "stack.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <exception>
#include <new>

#include "state.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define KORDAL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORDAL_ASAN 1
#endif
#endif
#ifdef KORDAL_ASAN
#include <sanitizer/asan_interface.h>
#endif

// kordal_stack_switch(save, to): pushes the callee-saved registers, stores the
// stack pointer in *save, loads `to` and pops the registers saved there.
// kordal_stack_trampoline is where a fresh private stack starts: it calls
// r13(r12) and never returns.
asm(R"(
  .text
  .globl kordal_stack_switch
  .type kordal_stack_switch, @function
kordal_stack_switch:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size kordal_stack_switch, .-kordal_stack_switch

  .globl kordal_stack_trampoline
  .type kordal_stack_trampoline, @function
kordal_stack_trampoline:
  .cfi_startproc
  .cfi_undefined rip
  movq %r12, %rdi
  callq *%r13
  ud2
  .cfi_endproc
  .size kordal_stack_trampoline, .-kordal_stack_trampoline
)");

extern "C" void kordal_stack_switch(void** save, void* to);
extern "C" void kordal_stack_trampoline();

namespace kordal::stack {
namespace {

constexpr size_t kNativeBudget = 256 * 1024;
constexpr size_t kNativeMinimum = 512 * 1024;  // below this much room, go private at once
constexpr size_t kGuard = 64 * 1024;
constexpr size_t kMargin = 256 * 1024;         // room for malloc, unwinding, the entry frame
constexpr size_t kKeepResident = 1024 * 1024;  // not released after a deep run
constexpr int kMaxPrivate = 4;                 // nesting through the poll hook

enum class Request : uint8_t { Done, Poll };

struct PrivateStack {
  char* base = nullptr;  // lowest address of the mapping
  size_t size = 0;
  bool busy = false;
  void* caller_sp = nullptr;
  void* callee_sp = nullptr;
  Request request = Request::Done;
  bool poll_result = false;
  State* st = nullptr;
  Body body = nullptr;
  void* arg = nullptr;

  uintptr_t top() const { return (reinterpret_cast<uintptr_t>(base) + size) & ~uintptr_t(15); }

  bool map() {
    static constexpr size_t kSizes[] = {size_t(8) << 30, size_t(2) << 30, size_t(512) << 20,
                                        size_t(64) << 20};
    for (size_t sz : kSizes) {
      void* p = mmap(nullptr, sz, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
      if (p == MAP_FAILED) continue;
      if (mprotect(p, kGuard, PROT_NONE) != 0) {
        munmap(p, sz);
        continue;
      }
      base = static_cast<char*>(p);
      size = sz;
      return true;
    }
    return false;
  }
};

struct Pool {
  PrivateStack stacks[kMaxPrivate];
  ~Pool() {
    for (auto& s : stacks) {
      if (s.base) munmap(s.base, s.size);
    }
  }
};

thread_local Pool pool;
thread_local uintptr_t native_low = 1;  // 1: not yet known; 0: unknown

uintptr_t native_stack_low() {
  if (native_low == 1) {
    native_low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t sz = 0;
      if (pthread_attr_getstack(&attr, &addr, &sz) == 0) {
        native_low = reinterpret_cast<uintptr_t>(addr);
      }
      pthread_attr_destroy(&attr);
    }
  }
  return native_low;
}

extern "C" void kordal_private_entry(void* p) {
  auto* ps = static_cast<PrivateStack*>(p);
  try {
    ps->body(ps->arg);
  } catch (const std::exception&) {
    // Only allocation can throw in the engine; the poll hook never runs here.
    ps->st->status = Status::NoMemory;
  }
  ps->request = Request::Done;
  void* dead = nullptr;
  kordal_stack_switch(&dead, ps->caller_sp);
  __builtin_unreachable();
}

void run_private(State& st, Body body, void* arg) {
  PrivateStack* ps = nullptr;
  for (auto& s : pool.stacks) {
    if (!s.busy) {
      ps = &s;
      break;
    }
  }
  if (!ps || (!ps->base && !ps->map())) {
    st.status = Status::TooDeep;
    return;
  }
  ps->busy = true;
  ps->st = &st;
  ps->body = body;
  ps->arg = arg;
  ps->request = Request::Done;

  const uintptr_t top = ps->top();
  st.status = Status::Ok;
  st.private_stack = ps;
  st.stack_limit = reinterpret_cast<uintptr_t>(ps->base) + kGuard + kMargin;
  st.low_water = top;

  // Initial frame: six callee-saved registers for kordal_stack_switch to pop
  // (r13 = entry, r12 = its argument) and the trampoline as return address,
  // placed so the trampoline starts with a 16-byte aligned stack.
  auto* frame = reinterpret_cast<void**>(top - 72);
  frame[0] = nullptr;                                            // r15
  frame[1] = nullptr;                                            // r14
  frame[2] = reinterpret_cast<void*>(&kordal_private_entry);     // r13
  frame[3] = ps;                                                 // r12
  frame[4] = nullptr;                                            // rbx
  frame[5] = nullptr;                                            // rbp
  frame[6] = reinterpret_cast<void*>(&kordal_stack_trampoline);  // return address
  kordal_stack_switch(&ps->caller_sp, frame);
  while (ps->request == Request::Poll) {
    ps->poll_result = st.ctl->poll(st.ctl->ctx);
    kordal_stack_switch(&ps->caller_sp, ps->callee_sp);
  }

  // Give back the pages a deep run touched.
  const long page = sysconf(_SC_PAGESIZE);
  const uintptr_t low = st.low_water & ~uintptr_t(page - 1);
#ifdef KORDAL_ASAN
  // The entry frame never returns, so its redzones would stay poisoned and
  // trip the next run on this stack.
  const uintptr_t floor = reinterpret_cast<uintptr_t>(ps->base) + kGuard;
  const uintptr_t from = low > floor + kMargin ? low - kMargin : floor;
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(from), top - from);
#endif
  if (top > low + kKeepResident) {
    madvise(reinterpret_cast<void*>(low), (top - kKeepResident) - low, MADV_DONTNEED);
  }
  st.private_stack = nullptr;
  ps->busy = false;
}

}  // namespace

void run(State& st, Body body, void* arg) {
  st.status = Status::Ok;
  st.private_stack = nullptr;
  if (!st.use_private) {
    const uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t low = native_stack_low();
    if (low == 0 || (sp > low && sp - low >= kNativeMinimum)) {
      st.stack_limit = sp - kNativeBudget;
      st.low_water = sp;
      try {
        body(arg);
      } catch (const std::exception&) {
        st.status = Status::NoMemory;
        return;
      }
      if (st.status != Status::TooDeep) return;
      // Later searches with this State are likely as deep: go private at once.
      st.use_private = true;
    }
  }
  run_private(st, body, arg);
}

bool poll(State& st) {
  if (!st.ctl || !st.ctl->poll) return false;
  if (!st.private_stack) return st.ctl->poll(st.ctl->ctx);
  auto* ps = static_cast<PrivateStack*>(st.private_stack);
  ps->request = Request::Poll;
  kordal_stack_switch(&ps->callee_sp, ps->caller_sp);
  return ps->poll_result;
}

}  // namespace kordal::stack
