// The shared background executor: a process-wide pool of worker threads, started on first use.
#pragma once

#include <functional>

namespace vornlib::platform {

// Queues `work` to run on one of the pool's threads. Work never runs on the caller's thread.
// An exception that escapes `work` is swallowed, so that a worker is never lost.
void runInBackground(std::function<void()> work);

}  // namespace vornlib::platform
