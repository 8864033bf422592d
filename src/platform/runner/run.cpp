// SPDX-License-Identifier: MIT
#include "platform/runner/run.hpp"

#include <csignal>
#include <exception>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/process.hpp"
#include "platform/runner/argument_split.hpp"
#include "platform/runner/encoders.hpp"
#include "platform/runner/progress_lines.hpp"

namespace vornlib::platform::runner {
namespace {

std::optional<ReturnCode> toReturnCode(const posix::ProcessResult& result) {
  using End = posix::ProcessResult::End;
  if (result.stopped) {
    // Ended by our SIGKILL, or by itself just before it: stopped either way.
    if (result.end == End::notStarted) return ReturnCode(ReturnCode::Kind::cancel, 127);
    return ReturnCode(ReturnCode::Kind::cancel,
                      128 + (result.end == End::signaled ? result.code : SIGKILL));
  }
  switch (result.end) {
    case End::exited:
      return ReturnCode(result.code == 0 ? ReturnCode::Kind::success : ReturnCode::Kind::error,
                        result.code);
    case End::signaled:
      return ReturnCode(ReturnCode::Kind::error, 128 + result.code);
    case End::notStarted:
      return ReturnCode(ReturnCode::Kind::error, 127);
    case End::unclassified:
      break;
  }
  return std::nullopt;
}

std::shared_ptr<FFmpegSession> runProgram(const PendingRun& run) {
  const RunOptions& options = run.options;
  std::vector<std::string> split = splitArguments(run.arguments);
  substituteMissingEncoders(run.program, split);
  // -y: the FFmpeg engine creates its output file itself, safely, before the run; ffmpeg is to
  // write into it rather than stop at the question whether to overwrite it.
  std::vector<std::string> argv{"-nostdin", "-hide_banner", "-y"};
  argv.insert(argv.end(), std::make_move_iterator(split.begin()),
              std::make_move_iterator(split.end()));
  if (options.stopRequested && options.stopRequested()) {
    return std::make_shared<FFmpegSession>(run.arguments, ReturnCode(ReturnCode::Kind::cancel, 127),
                                           "stopped before it started\n");
  }
  if (options.check) {
    if (std::optional<std::string> refusal = options.check()) {
      return std::make_shared<FFmpegSession>(
          run.arguments, ReturnCode(ReturnCode::Kind::error, 127), std::move(*refusal));
    }
  }
  std::optional<ProgressLines> progress;
  posix::ProcessControl control;
  if (options.progress || options.duration) {
    progress.emplace(options.duration, options.progress);
    control.onOutput = [&progress](std::string_view piece) { progress->read(piece); };
  }
  control.stopRequested = options.stopRequested;
  const bool controlled = control.onOutput || control.stopRequested;
  posix::ProcessResult result =
      posix::runProcess(run.program, argv, kOutputLimit, controlled ? &control : nullptr);
  return std::make_shared<FFmpegSession>(run.arguments, toReturnCode(result),
                                         std::move(result.output));
}

}  // namespace

std::shared_ptr<FFmpegSession> runToEnd(const PendingRun& run) noexcept {
  try {
    return runProgram(run);
  } catch (const std::exception& error) {
    try {
      return std::make_shared<FFmpegSession>(
          run.arguments, std::nullopt, std::string("the run failed in Vornlib: ") + error.what());
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory for the session itself
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): the same, from a host's option
  }
  return nullptr;
}

}  // namespace vornlib::platform::runner
