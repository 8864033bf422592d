// SPDX-License-Identifier: MIT
#include "platform/runner/scheduler.hpp"

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "runtime/immortal.hpp"
#include "runtime/process_life.hpp"

namespace vornlib::platform::runner {
namespace {

// Calls the callback once and releases it; whatever it throws is dropped.
void report(FFmpegCompleteCallback callback, std::shared_ptr<FFmpegSession> session) noexcept {
  try {
    if (callback) callback(std::move(session));
  } catch (...) {  // NOLINT(bugprone-empty-catch): the host's exception has nowhere to go here
  }
}

}  // namespace

Scheduler::Scheduler() : program_(VORNLIB_DEFAULT_FFMPEG) {
  runtime::watchForExit();
  runtime::onFork([] { scheduler().forkPrepare(); }, [] { scheduler().forkParent(); },
                  [] { scheduler().forkChild(); });
}

void Scheduler::forkChild() noexcept {
  // The parent's runs and their threads are not the child's: never started, never reported,
  // and not destroyed either (what they hold is the parent's business).
  try {
    for (PendingRun& run : queue_) leftAlone_.push_back(std::move(run));
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory: the rest are destroyed
  }
  queue_.clear();
  active_ = 0;
  mutex_.unlock();
}

void Scheduler::leaveAlone(PendingRun run) noexcept {
  const std::lock_guard lock(mutex_);
  try {
    leftAlone_.push_back(std::move(run));
  } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory: then it is destroyed after all
  }
}

void Scheduler::submit(std::string arguments, FFmpegCompleteCallback callback, RunOptions options) {
  const std::lock_guard lock(mutex_);
  queue_.push_back(
      PendingRun{std::move(arguments), std::move(callback), program_, std::move(options)});
  launchReady();
  if (runtime::exitBegun()) return;  // kept, never started: the process is going away
  if (active_ == 0) {
    // No thread could be started and none is running that would take the run later. Reporting
    // it on the caller's thread is not allowed, so the run is refused instead.
    queue_.pop_back();
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "cannot start a thread for an ffmpeg run");
  }
}

void Scheduler::setLimit(std::size_t count) {
  const std::lock_guard lock(mutex_);
  requestedLimit_ = count;
  launchReady();
}

std::size_t Scheduler::limit() {
  const std::lock_guard lock(mutex_);
  return effectiveLimit();
}

void Scheduler::setProgram(std::filesystem::path program) {
  const std::lock_guard lock(mutex_);
  program_ = std::move(program);
}

std::filesystem::path Scheduler::program() {
  const std::lock_guard lock(mutex_);
  return program_;
}

std::size_t Scheduler::effectiveLimit() const noexcept {
  if (requestedLimit_ != 0) return requestedLimit_;
  return std::max(1U, std::thread::hardware_concurrency());
}

void Scheduler::launchReady() noexcept {
  while (!queue_.empty() && active_ < effectiveLimit() && !runtime::exitBegun()) {
    try {
      // Kept apart from the thread's copy, so that a thread that fails to start leaves the run
      // intact to be put back.
      auto run = std::make_shared<PendingRun>(std::move(queue_.front()));
      queue_.pop_front();
      try {
        std::thread([this, run] { work(std::move(*run)); }).detach();
        ++active_;
      } catch (...) {
        queue_.push_front(std::move(*run));
        return;
      }
    } catch (...) {  // Out of memory: stop here; queued runs wait for a running thread.
      return;
    }
  }
}

void Scheduler::work(PendingRun run) noexcept {
  for (;;) {
    std::shared_ptr<FFmpegSession> session;
    if (!runtime::exitBegun()) session = runToEnd(run);
    {
      const std::lock_guard lock(mutex_);
      --active_;
      launchReady();
    }
    if (runtime::exitBegun()) {
      // Its callback and options are left alone: destroying them could reach a static of the
      // host's that is already gone.
      leaveAlone(std::move(run));
      return;
    }
    report(std::move(run.callback), std::move(session));
    const std::lock_guard lock(mutex_);
    if (queue_.empty() || active_ >= effectiveLimit() || runtime::exitBegun()) return;
    run = std::move(queue_.front());
    queue_.pop_front();
    ++active_;
  }
}

Scheduler& scheduler() noexcept {
  static runtime::Immortal<Scheduler> instance;
  return instance.get();
}

}  // namespace vornlib::platform::runner
