// SPDX-License-Identifier: MIT
// What the FFmpeg engine may ask of a runner beyond FFmpegRunner::executeAsync: a check right
// before the run's process starts, progress in seconds, and a way to stop the run.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::platform::runner {

// Every member may be empty; each is called on the runner's thread that carries the run.
struct RunOptions {
  // Called once when the run's turn has come, right before its process would start (what held
  // when the run was queued may not hold any more): nothing to start it, otherwise why not. A
  // refused run starts no process and ends as a program that could not be started (an error,
  // 127) whose output is the reason.
  std::function<std::optional<std::string>()> check;
  // Called once with the source's duration, when ffmpeg prints it ("Duration: 00:01:02.50").
  std::function<void(double seconds)> duration;
  // Called each time ffmpeg's statistics line says how far it has got ("time=00:01:02.50").
  std::function<void(double seconds)> progress;
  // Asked before the process starts and at least every 50 ms while it runs; once it gives true
  // the process is ended and reaped and the run ends with a ReturnCode of Kind::cancel: 128 + the
  // signal for a process ended, 127 for a run that never started. Its output is what ffmpeg had
  // printed.
  std::function<bool()> stopRequested;
};

// The runner as the FFmpeg engine uses it.
class ControlledRunner {
 public:
  virtual ~ControlledRunner() = default;
  // As FFmpegRunner::executeAsync, with `options`.
  virtual void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                            RunOptions options) = 0;
};

// The process runner (vornlib::processRunner()) with every option honoured.
ControlledRunner& controlledProcessRunner() noexcept;

// A runner that knows only executeAsync (a host's, a test's) as a ControlledRunner: the run is
// handed over as it is, without the check, progress or stop.
class PlainRunner final : public ControlledRunner {
 public:
  explicit PlainRunner(FFmpegRunner& runner) noexcept : runner_(runner) {}
  void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                    RunOptions /*options*/) override {
    runner_.executeAsync(std::move(arguments), std::move(callback));
  }

 private:
  FFmpegRunner& runner_;
};

}  // namespace vornlib::platform::runner
