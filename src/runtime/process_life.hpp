// SPDX-License-Identifier: MIT
// The two events of the host's process that Vornlib's process-wide state must follow: the start
// of its exit, and a fork.
#pragma once

#include <mutex>

namespace vornlib::runtime {

// Installs, once, the hook that marks the start of the exit (std::atexit): it runs before the
// destructors of every static built before the first call of this function, the host's among
// them. Called by every process-wide object that runs work on threads of its own.
void watchForExit() noexcept;

// True once the process has begun to exit (returned from main, or called exit): from then on no
// queued work starts and no host callback is called.
bool exitBegun() noexcept;

// What a process-wide object does around a fork: `prepare` (in the forking thread, before the
// fork) takes its lock, so that the state is whole when copied; `parent` gives the lock back;
// `child` (in the new process, where only the forking thread exists) forgets the threads and
// queued work of the parent and makes its lock and conditions new. Registered with
// pthread_atfork; the prepare handlers run in the reverse order of registration.
void onFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// The mutex of a process-wide object that is never destroyed and holds nothing a forked child
// must forget: taken before a fork, so that what it guards is whole when copied, and given back
// in both processes after it. At most 16 of them in a process.
class ForkSafeMutex {
 public:
  ForkSafeMutex() noexcept;
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;
  ~ForkSafeMutex() = default;  // never run: it lives in an Immortal

  void lock() { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

}  // namespace vornlib::runtime
