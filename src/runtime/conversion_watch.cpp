// SPDX-License-Identifier: MIT
#include "runtime/conversion_watch.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "runtime/executor.hpp"

namespace vornlib::runtime {

namespace {

std::int64_t nowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ConversionWatch::ConversionWatch(ProgressCallback progress, bool stoppable)
    : progress_(std::move(progress)), stoppable_(stoppable) {}

void ConversionWatch::setDuration(double seconds) noexcept {
  const std::lock_guard lock(mutex_);
  duration_ = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

double ConversionWatch::fractionOf(double seconds) const noexcept {
  if (duration_ <= 0) return -1;
  return std::clamp(seconds / duration_, 0.0, 1.0);
}

void ConversionWatch::advance(double seconds) noexcept {
  if (!progress_) return;
  latest_.store(seconds, std::memory_order_relaxed);
  const std::int64_t now = nowNs();
  if (now < nextReportNs_.load(std::memory_order_relaxed)) return;
  nextReportNs_.store(now + std::chrono::nanoseconds(kInterval).count(), std::memory_order_relaxed);
  {
    const std::lock_guard lock(mutex_);
    if (finished_) return;
    if (delivery_ != Delivery::idle) {
      // The previous report is still on its way: this one goes out after it, with whatever is
      // latest by then, so a slow handler only makes reports rarer.
      pending_ = true;
      return;
    }
    delivery_ = Delivery::queued;
  }
  try {
    runInBackground([self = shared_from_this()] { self->deliverPending(); });
  } catch (...) {  // Out of memory for the job: this report is dropped.
    const std::lock_guard lock(mutex_);
    delivery_ = Delivery::idle;
    idle_.notify_all();
  }
}

void ConversionWatch::deliverPending() noexcept {
  for (;;) {
    ProgressReport report;
    {
      const std::lock_guard lock(mutex_);
      if (finished_) {  // the final report has been made or is being made: too late for this one
        delivery_ = Delivery::idle;
        idle_.notify_all();
        return;
      }
      delivery_ = Delivery::running;
      report.seconds = latest_.load(std::memory_order_relaxed);
      report.fraction = fractionOf(report.seconds);
    }
    bool stop = false;
    try {
      stop = progress_(report);
    } catch (...) {  // The host's exception has nowhere to go on this thread.
    }
    if (stop) requestStop();
    const std::lock_guard lock(mutex_);
    if (!pending_ || finished_) {
      delivery_ = Delivery::idle;
      idle_.notify_all();
      return;
    }
    pending_ = false;
  }
}

void ConversionWatch::finish(bool succeeded) noexcept {
  ProgressReport report;
  report.isFinal = true;
  {
    std::unique_lock lock(mutex_);
    if (finished_) return;
    finished_ = true;
    // Only a report the host is handling is waited for: one still queued may never start.
    idle_.wait(lock, [this] { return delivery_ != Delivery::running; });
    if (!progress_) return;
    report.seconds = latest_.load(std::memory_order_relaxed);
    if (succeeded && duration_ > 0) report.seconds = std::max(report.seconds, duration_);
    report.fraction = succeeded ? 1.0 : fractionOf(report.seconds);
  }
  try {
    (void)progress_(report);
  } catch (...) {
  }
}

void ConversionWatch::setOutput(std::string path) {
  const std::lock_guard lock(mutex_);
  output_ = std::move(path);
}

void ConversionWatch::setReason(std::string reason) {
  const std::lock_guard lock(mutex_);
  reason_ = std::move(reason);
}

std::string ConversionWatch::output() const {
  const std::lock_guard lock(mutex_);
  return output_;
}

std::string ConversionWatch::reason() const {
  const std::lock_guard lock(mutex_);
  return reason_;
}

}  // namespace vornlib::runtime
