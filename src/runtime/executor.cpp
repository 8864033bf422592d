// SPDX-License-Identifier: MIT
#include "runtime/executor.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/immortal.hpp"
#include "runtime/process_life.hpp"

namespace vornlib::runtime {

namespace {

// Trivially destructible, so that it stays usable while static destructors run.
std::atomic<int> threadStartBudget{-1};

constexpr std::chrono::seconds kLinger{5};

bool mayStartThread() noexcept {
  int budget = threadStartBudget.load();
  while (budget >= 0) {
    if (budget == 0) return false;
    if (threadStartBudget.compare_exchange_weak(budget, budget - 1)) return true;
  }
  return true;
}

// Detached workers around one queue. `waiting_` counts the workers that are idle or just
// starting: a job is queued only while there are at least as many of them as queued jobs, or,
// with a bound, when the bound is reached or no further thread can be had but a worker runs.
class Pool {
 public:
  explicit Pool(std::size_t bound) : bound_(bound) {}

  // False, with `job` left to the caller, when no worker will ever take it.
  bool post(std::function<void()>& job) noexcept {
    const std::lock_guard lock(mutex_);
    try {
      jobs_.push_back(std::move(job));
    } catch (...) {
      return false;  // out of memory: `job` was not moved from
    }
    if (exitBegun()) return true;  // kept, never run: the process is going away
    if (waiting_ >= jobs_.size()) {
      ready_.notify_one();
      return true;
    }
    if ((bound_ == 0 || threads_ < bound_) && startThread()) return true;
    if (bound_ != 0 && threads_ > 0) return true;  // a running worker takes it when done
    job = std::move(jobs_.back());
    jobs_.pop_back();
    return false;
  }

  // Around a fork (see runtime::onFork): the child has none of the parent's threads, and the
  // parent's queued work is not the child's to run (nor to destroy: it is left alone).
  void forkPrepare() noexcept { mutex_.lock(); }
  void forkParent() noexcept { mutex_.unlock(); }
  void forkChild() noexcept {
    try {
      for (auto& job : jobs_) leftAlone_.push_back(std::move(job));
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory: the rest are destroyed
    }
    jobs_.clear();
    threads_ = 0;
    waiting_ = 0;
    std::construct_at(&ready_);  // the parent's waiters left it in a state of theirs
    mutex_.unlock();
  }

 private:
  // Called with mutex_ held; the new thread waits for it before it looks at the queue.
  bool startThread() noexcept {
    if (!mayStartThread()) return false;
    try {
      std::thread([this] { work(); }).detach();
    } catch (...) {
      return false;
    }
    ++threads_;
    ++waiting_;
    return true;
  }

  void work() noexcept {
    std::unique_lock lock(mutex_);
    while (ready_.wait_for(lock, kLinger, [this] { return !jobs_.empty() && !exitBegun(); })) {
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      --waiting_;
      lock.unlock();
      try {
        job();
      } catch (...) {
        // The job's own business; the worker carries on.
      }
      job = nullptr;  // what it holds may post work of its own: not under the lock
      lock.lock();
      ++waiting_;
    }
    --waiting_;
    --threads_;
  }

  const std::size_t bound_;  // 0: none
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::deque<std::function<void()>> leftAlone_;  // a forked parent's, never run nor destroyed
  std::size_t threads_ = 0;
  std::size_t waiting_ = 0;
};

struct Pools {
  Pools() noexcept;
  Pool callbacks{0};
  Pool work{std::max(2U, std::thread::hardware_concurrency())};
};

Pools& pools() {
  // Never destroyed: detached workers and parked jobs outlive static destruction.
  static Immortal<Pools> instance;
  return instance.get();
}

Pools::Pools() noexcept {
  // No work starts once the exit has begun, so that none reaches a static already destroyed.
  watchForExit();
  onFork([] { pools().work.forkPrepare(), pools().callbacks.forkPrepare(); },
         [] { pools().callbacks.forkParent(), pools().work.forkParent(); },
         [] { pools().callbacks.forkChild(), pools().work.forkChild(); });
}

}  // namespace

void runInBackground(std::function<void()> work) noexcept {
  if (pools().callbacks.post(work) || exitBegun()) return;
  // No thread at all: running it here is better than losing a report the host waits for.
  try {
    work();
  } catch (...) {
  }
}

bool runWork(std::function<void()>& work) noexcept {
  return pools().work.post(work);
}

void limitThreadStartsForTesting(int count) noexcept {
  threadStartBudget = count < 0 ? -1 : count;
}

}  // namespace vornlib::runtime
