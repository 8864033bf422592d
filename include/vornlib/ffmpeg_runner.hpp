// SPDX-License-Identifier: MIT
/// @file
/// The FFmpeg runner: runs the `ffmpeg` program for the FFmpeg engine, and for a host that
/// wants to run it directly. Process-wide settings: the program and the number of runs at once.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "vornlib/export.h"

namespace vornlib {

/// How a run ended. value is the program's exit status; for a run killed by a signal it is
/// 128 + the signal number; for a program that could not be started it is 127.
class ReturnCode {
 public:
  /// The three endings.
  enum class Kind {
    success,  ///< the program exited with status 0
    error,    ///< any other exit, a signal, or a program that could not be started
    cancel    ///< the run was stopped
  };

  /// An ending of `kind` with `value`.
  ReturnCode(Kind kind, int value) noexcept : kind_(kind), value_(value) {}

  /// The exit status, 128 + a signal, or 127 (see above).
  int getValue() const noexcept { return value_; }
  /// True for Kind::success.
  bool isValueSuccess() const noexcept { return kind_ == Kind::success; }
  /// True for Kind::error.
  bool isValueError() const noexcept { return kind_ == Kind::error; }
  /// True for Kind::cancel.
  bool isValueCancel() const noexcept { return kind_ == Kind::cancel; }

 private:
  Kind kind_;
  int value_;
};

/// One finished run: what it was given, how it ended, and what the program printed.
class FFmpegSession {
 public:
  /// A session of the run given `arguments`, ended as `returnCode` says, having printed `output`.
  FFmpegSession(std::string arguments, std::optional<ReturnCode> returnCode, std::string output)
      : arguments_(std::move(arguments)), returnCode_(returnCode), output_(std::move(output)) {}

  /// The argument string exactly as it was handed to executeAsync.
  const std::string& getArguments() const noexcept { return arguments_; }
  /// None when the run ended in a way the runner could not classify.
  std::optional<ReturnCode> getReturnCode() const noexcept { return returnCode_; }
  /// The last 64 KiB of the program's standard output and standard error, interleaved.
  const std::string& getOutput() const noexcept { return output_; }

 private:
  std::string arguments_;
  std::optional<ReturnCode> returnCode_;
  std::string output_;
};

/// Called once when a run has ended. The session may be null for a run that never started
/// inside a runner that has no session to give (the process runner always gives one).
using FFmpegCompleteCallback = std::function<void(std::shared_ptr<FFmpegSession> session)>;

/// Something that runs `ffmpeg` for an argument string: processRunner() below, or a host's own.
class VORNLIB_API FFmpegRunner {
 public:
  virtual ~FFmpegRunner() = default;

  /// Starts a run of `ffmpeg -nostdin -hide_banner -y <arguments>` and returns at once (an
  /// existing output file is overwritten). Blanks
  /// (only ' ') separate the arguments; a double-quoted stretch is part of one argument, without
  /// its quotes; runs of blanks make no empty argument; an unterminated quote runs to the end.
  /// Outside a quoted stretch, \" stands for a double quote within the argument; every other
  /// backslash is an ordinary character. No shell is involved.
  ///
  /// `callback` is called exactly once, on a thread of the runner (never the caller's), after
  /// the run has ended: exit status 0 is success; a non-zero exit, a signal or a program that
  /// cannot be started is an error. The runner owns the callback until then; an exception it
  /// throws is dropped. Runs beyond the limit of runs at once wait their turn, in order.
  ///
  /// In the process runner, a run's slot is freed, and the next queued run started, before its
  /// callback is called: a callback may start runs and wait for them or for their callbacks.
  /// It may not wait for anything that only happens after it has returned; while it blocks it
  /// keeps a thread of the runner, never a slot.
  ///
  /// The process runner keeps the last 64 KiB of the program's output and lets none of it reach
  /// the host's terminal. When `-c:a` names an encoder of another platform's FFmpeg build that
  /// the program lacks (aac_at), the run uses FFmpeg's own encoder of that codec (aac); the
  /// session's arguments still read as given. It throws std::system_error only when the system
  /// cannot start a single thread for the run; the callback is then never called.
  virtual void executeAsync(std::string arguments, FFmpegCompleteCallback callback) = 0;
};

/// The process-wide runner that starts the `ffmpeg` program. Safe to use from any thread;
/// it lives until the process ends.
///
/// The host's children stay the host's and the runner's stay the runner's: each `ffmpeg` is
/// started and reaped by a keeper process that shares the host's memory (like a thread, on a stack
/// of its own, making raw system calls only), has no exit signal and never execs, so a host that
/// ignores SIGCHLD or reaps any child in its handler (waitpid(-1)) neither takes a run's process
/// nor sees it. Starting a run copies nothing of the host, so it costs the same in a small host
/// and a large one, and works under strict overcommit. Where the system refuses such a keeper for
/// good (a kernel before 5.3, a sandbox), the runner logs that once and starts `ffmpeg` with
/// posix_spawn as the host's ordinary child; in such a host a run whose process the host reaped
/// first then ends with a session without a return code. Where it refuses the keeper's memory,
/// that run is started with posix_spawn.
///
/// A host that exits with runs in flight: their `ffmpeg` processes are killed with it (SIGKILL,
/// when the runner's thread ends), queued runs never start, no callback is called once the exit
/// has begun, and an output stays as far as ffmpeg had written it. Under posix_spawn a started
/// `ffmpeg` runs on to its end. In a child the host forks, no run of the parent is started or
/// reported; the child's own runs start as in a fresh process.
VORNLIB_API FFmpegRunner& processRunner();

/// The `ffmpeg` program the process runner starts: the one found when Vornlib was built, until
/// a host names another. It is started by this path as given, never looked up in PATH, and no
/// environment variable changes it. Changing it affects runs started afterwards.
VORNLIB_API void setFFmpegProgram(std::filesystem::path program);
/// The program the process runner starts now (see setFFmpegProgram).
VORNLIB_API std::filesystem::path ffmpegProgram();

/// The most `ffmpeg` processes the process runner keeps at once; 0 restores the default, the
/// number of hardware threads (at least 1). Runs beyond it queue in the order they were started.
/// Raising it starts queued runs at once; lowering it lets running ones finish.
VORNLIB_API void setMaxConcurrentFFmpegRuns(std::size_t count);
/// The bound in force now (see setMaxConcurrentFFmpegRuns).
VORNLIB_API std::size_t maxConcurrentFFmpegRuns();

}  // namespace vornlib
