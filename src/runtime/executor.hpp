// SPDX-License-Identifier: MIT
// The shared background executor: two process-wide sets of detached worker threads, started on
// demand. Workers that stay idle for a few seconds end, so an idle host keeps none of them.
//
// Work that runs the host's code (completions) and Vornlib's own work (starting a conversion,
// a native conversion) are kept apart: a host's callback may block for as long as it likes,
// even on another conversion, and that conversion never queues behind it.
//
// At exit (once static destruction begins) no queued or newly posted work starts any more: it
// is kept, neither run nor destroyed, so that nothing it holds is touched after the statics it
// may rely on are gone. Work already running carries on until the process ends.
#pragma once

#include <functional>

namespace vornlib::runtime {

// Runs work that calls the host. It never waits for a busy worker: an idle worker takes it, or
// a new thread is started for it. Only when the system refuses every new thread and no worker
// is idle does it run on the caller's thread, before this returns. An exception that escapes
// `work` is swallowed.
void runInBackground(std::function<void()> work) noexcept;

// Runs Vornlib's own work, which never waits on the host (the host's log sink aside): at most
// max(2, hardware threads) at once, the rest in order of posting. Gives `work` back (returns
// false, `work` untouched) only when no worker is running and none can be started, so that the
// caller can fail it; once queued it runs unless the process exits first. An exception that
// escapes `work` is swallowed.
[[nodiscard]] bool runWork(std::function<void()>& work) noexcept;

// For tests of a starved process: after `count` more thread starts, every start fails as if the
// system had refused it; a negative count lifts the bound.
void limitThreadStartsForTesting(int count) noexcept;

}  // namespace vornlib::runtime
