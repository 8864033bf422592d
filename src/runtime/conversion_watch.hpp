// SPDX-License-Identifier: MIT
// What a conversion shares with the host while it runs: how far it has got, whether the host
// wants it stopped, and what the host's observer is to learn at its end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vornlib::runtime {

struct ProgressReport {
  double fraction = -1;  // negative when the duration is not known
  double seconds = 0;
  bool isFinal = false;
};

// Gives true when the host wants the conversion stopped.
using ProgressCallback = std::function<bool(const ProgressReport& report)>;

// One per conversion, shared by the code doing the work (any thread) and the one reporting its
// end. Every member is safe to call from any thread.
class ConversionWatch : public std::enable_shared_from_this<ConversionWatch> {
 public:
  static constexpr std::chrono::milliseconds kInterval{250};

  // `progress` may be empty: no reports then, but the observer's facts still gather.
  // `stoppable`: the host may stop the conversion (it has a progress handler or a stop token);
  // only then need the work look at stopRequested().
  explicit ConversionWatch(ProgressCallback progress = {}, bool stoppable = false);

  bool wantsProgress() const noexcept { return static_cast<bool>(progress_); }
  bool stoppable() const noexcept { return stoppable_; }

  // The source's duration in seconds; anything not positive and finite leaves it unknown.
  void setDuration(double seconds) noexcept;

  // The work has converted `seconds` of audio. Cheap enough to call for every block: at most
  // once per kInterval a report goes to a thread for host code; it never waits for the host.
  void advance(double seconds) noexcept;

  void requestStop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stopRequested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // What the observer learns: the output the engine made or named, and why a conversion failed.
  void setOutput(std::string path);
  void setReason(std::string reason);
  std::string output() const;
  std::string reason() const;

  // The last report: waits for a report the host is still handling, then makes the final one on
  // this thread (fraction 1 after a success). A report queued but not yet started is not waited
  // for (at exit it never starts): it is dropped. Only the first call reports; later advances
  // are ignored.
  void finish(bool succeeded) noexcept;

 private:
  void deliverPending() noexcept;
  // Called with mutex_ held.
  double fractionOf(double seconds) const noexcept;

  ProgressCallback progress_;
  bool stoppable_;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> nextReportNs_{0};
  std::atomic<double> latest_{0};

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  double duration_ = 0;
  // Where the reports stand: none on the way, one queued for a thread, or one with the host.
  enum class Delivery { idle, queued, running };
  Delivery delivery_ = Delivery::idle;
  bool pending_ = false;  // a report waits for the one on the way
  bool finished_ = false;
  std::string output_;
  std::string reason_;
};

}  // namespace vornlib::runtime
