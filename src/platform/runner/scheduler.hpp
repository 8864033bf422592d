// SPDX-License-Identifier: MIT
// The process runner's queue: the settings (program, bound) and the threads that carry runs.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/runner/run.hpp"

namespace vornlib::platform::runner {

// Each run that holds a slot has a detached thread of its own. When its process has ended, the
// slot is freed and the next queued runs get threads before the run's callback is called, so
// that a callback that waits (for another run, say) holds no slot. After the callback, the
// thread takes a queued run that no thread could be started for, if the bound allows, and ends
// otherwise. Safe to use from any thread. Once the exit has begun, no queued run starts and no
// callback is called; in a forked child, no run of the parent's is started or reported.
class Scheduler {
 public:
  // The program is the one found when Vornlib was built.
  Scheduler();

  // Queues a run of the current program. Throws std::system_error when no thread could be
  // started for it and none is running that would take it later (the run is then dropped, its
  // callback never called), std::bad_alloc.
  void submit(std::string arguments, FFmpegCompleteCallback callback, RunOptions options);

  void setLimit(std::size_t count);
  std::size_t limit();
  void setProgram(std::filesystem::path program);
  std::filesystem::path program();

  // Around a fork (runtime::onFork).
  void forkPrepare() noexcept { mutex_.lock(); }
  void forkParent() noexcept { mutex_.unlock(); }
  void forkChild() noexcept;

 private:
  std::size_t effectiveLimit() const noexcept;
  // Starts threads for queued runs while the bound allows. Called with mutex_ held.
  void launchReady() noexcept;
  void work(PendingRun run) noexcept;
  // Keeps a run that is never to be reported, never destroyed (the scheduler is immortal).
  void leaveAlone(PendingRun run) noexcept;

  std::mutex mutex_;
  std::deque<PendingRun> queue_;
  std::deque<PendingRun> leftAlone_;  // runs of a parent, or ended during the exit
  std::size_t active_ = 0;
  std::size_t requestedLimit_ = 0;
  std::filesystem::path program_;
};

// The process-wide scheduler; never destroyed.
Scheduler& scheduler() noexcept;

}  // namespace vornlib::platform::runner
