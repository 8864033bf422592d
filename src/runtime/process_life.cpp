// SPDX-License-Identifier: MIT
#include "runtime/process_life.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

namespace vornlib::runtime {
namespace {

// Trivially destructible, so that it stays usable while static destructors run.
std::atomic<bool> exiting{false};
std::once_flag exitWatch;

constexpr std::size_t kMaxForkSafeMutexes = 16;
std::array<std::atomic<ForkSafeMutex*>, kMaxForkSafeMutexes> forkSafeMutexes{};
std::atomic<std::size_t> forkSafeCount{0};

// The mutexes the prepare handler took, for the two others to give back; only the forking
// thread touches it.
std::array<ForkSafeMutex*, kMaxForkSafeMutexes> taken{};

void takeAll() {
  taken = {};
  const std::size_t count = std::min(forkSafeCount.load(), kMaxForkSafeMutexes);
  for (std::size_t i = 0; i < count; ++i) {
    taken[i] = forkSafeMutexes[i].load();  // null while its registration is still under way
    if (taken[i] != nullptr) taken[i]->lock();
  }
}

void giveAllBack() {
  for (ForkSafeMutex* mutex : taken) {
    if (mutex != nullptr) mutex->unlock();
  }
}

}  // namespace

ForkSafeMutex::ForkSafeMutex() noexcept {
  static std::once_flag handlers;
  try {
    std::call_once(handlers, [] { onFork(takeAll, giveAllBack, giveAllBack); });
  } catch (...) {  // NOLINT(bugprone-empty-catch): not followed across forks then
  }
  const std::size_t slot = forkSafeCount.fetch_add(1);
  if (slot < kMaxForkSafeMutexes) forkSafeMutexes[slot].store(this);
}

void watchForExit() noexcept {
  try {
    std::call_once(exitWatch, [] { std::atexit([] { exiting = true; }); });
  } catch (...) {  // NOLINT(bugprone-empty-catch): call_once throws only what the call throws
  }
}

bool exitBegun() noexcept {
  return exiting.load(std::memory_order_acquire);
}

void onFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  // Fails only for want of memory; the object then simply does not follow forks.
  static_cast<void>(::pthread_atfork(prepare, parent, child));
}

}  // namespace vornlib::runtime
