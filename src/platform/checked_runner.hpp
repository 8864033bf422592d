// A runner that checks, when a run's turn has come and right before its process starts, that
// the run may still start (what was true when the run was queued may not be when it starts),
// and that reports how far a run has got and ends it when asked to.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/conversion_watch.hpp"
#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::platform {

// Called once on the runner's thread, right before the run's process would start: gives an
// empty string to start it, otherwise why it may not start.
using StartCheck = std::function<std::string()>;

struct RunOptions {
  // May be empty.
  StartCheck check;
  // May be null. When set and it wants progress, each time ffmpeg's statistics line says how far
  // it has got ("time=00:01:02.50"), watch->advance(seconds) is called on the runner's thread.
  // When it is stoppable and a stop is requested (looked at least every 50 ms while the process
  // runs, and before it starts), the process is ended and reaped and the run ends with a
  // ReturnCode of Kind::cancel: 128 + the signal for a process ended, 127 for a run that never
  // started. Its output is what ffmpeg had printed.
  std::shared_ptr<ConversionWatch> watch;
};

// The process runner (processRunner()) is one; a runner that is not runs without the check,
// progress or stop.
class CheckedFFmpegRunner : public FFmpegRunner {
 public:
  using FFmpegRunner::executeAsync;

  // As executeAsync, with `options.check` called first. A refused run starts no process and is
  // reported as a program that could not be started (an error, 127) whose output is the reason;
  // a check that throws ends the run as a failure inside Vornlib (a session without a return
  // code).
  virtual void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                            RunOptions options) = 0;
};

}  // namespace vornlib::platform
