// SPDX-License-Identifier: MIT
// One run of the `ffmpeg` program, from its argument string to its session.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/runner/run_options.hpp"
#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::platform::runner {

// The most of the program's output a session keeps: its tail.
inline constexpr std::size_t kOutputLimit = 64 * 1024;

// A run as it waits in the queue: what it was given, and the program it was given for.
struct PendingRun {
  std::string arguments;
  FFmpegCompleteCallback callback;
  std::filesystem::path program;
  RunOptions options;
};

// Runs `run` to its end on the calling thread: `program -nostdin -hide_banner -y <arguments>`,
// split as FFmpegRunner::executeAsync says, with missing encoders substituted and the options
// honoured. Nothing escapes: a failure inside Vornlib becomes a session without a return code
// (or, out of memory, no session). The callback is not called.
std::shared_ptr<FFmpegSession> runToEnd(const PendingRun& run) noexcept;

}  // namespace vornlib::platform::runner
