// SPDX-License-Identifier: MIT
// System calls made without the C library, for code that runs in a process sharing the host's
// memory (the keeper): such code may not touch the C library's state (errno, locks), nor the
// sanitizers', which belong to the thread that started it.
#pragma once

#include <sys/syscall.h>

// Code that runs in the keeper: not instrumented by a sanitizer, no stack protector (whose guard
// lives in the starting thread's memory).
#define VORNLIB_KEEPER_CODE \
  __attribute__((no_sanitize("address", "undefined", "thread"), no_stack_protector, noinline))

namespace vornlib::platform::posix::raw {

#if defined(__x86_64__) || defined(__aarch64__)
inline constexpr bool kAvailable = true;

// The raw call: the result, or -errno.
__attribute__((always_inline)) inline long call(long number, long a = 0, long b = 0, long c = 0,
                                                long d = 0, long e = 0, long f = 0) noexcept {
#if defined(__x86_64__)
  long result;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  register long r9 __asm__("r9") = f;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return result;
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  register long x5 __asm__("x5") = f;
  __asm__ volatile("svc 0"
                   : "+r"(x0)
                   : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                   : "memory");
  return x0;
#endif
}
#else
inline constexpr bool kAvailable = false;
#endif

}  // namespace vornlib::platform::posix::raw

// clone(2) with a stack of the caller's: the new process starts in `run(argument)` on
// `stackTop` (16-byte aligned by the call) and ends with SYS_exit of what it returns; it never
// returns into the code that started it. `parentTid` receives a pidfd under CLONE_PIDFD. Gives
// the new process's pid, or -errno. Defined in keeper.cpp for x86_64 and aarch64 only.
extern "C" long vornlib_clone_on_stack(unsigned long flags, void* stackTop, int* parentTid,
                                       int (*run)(void*), void* argument) noexcept;
