// A runner that checks, when a run's turn has come and right before its process starts, that
// the run may still start: what was true when the run was queued may not be when it starts.
#pragma once

#include <functional>
#include <string>

#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::platform {

// Called once on the runner's thread, right before the run's process would start: gives an
// empty string to start it, otherwise why it may not start.
using StartCheck = std::function<std::string()>;

// The process runner (processRunner()) is one; a runner that is not runs without the check.
class CheckedFFmpegRunner : public FFmpegRunner {
 public:
  using FFmpegRunner::executeAsync;

  // As executeAsync, with `check` called first. A refused run starts no process and is reported
  // as a program that could not be started (an error, 127) whose output is the reason; a check
  // that throws ends the run as a failure inside Vornlib (a session without a return code).
  virtual void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                            StartCheck check) = 0;
};

}  // namespace vornlib::platform
