#include "platform/executor.hpp"

#include "platform/immortal.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vornlib::platform {

namespace {

class Pool {
 public:
  Pool() {
    const unsigned count = std::max(2U, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) std::thread([this] { work(); }).detach();
  }

  void post(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        job();
      } catch (...) {
        // The job's own business; the worker carries on.
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
};

Pool& pool() {
  // Started on first use; its detached workers outlive static destruction.
  static Immortal<Pool> instance;
  return instance.get();
}

}  // namespace

void runInBackground(std::function<void()> work) {
  pool().post(std::move(work));
}

}  // namespace vornlib::platform
