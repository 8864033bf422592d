// SPDX-License-Identifier: MIT
/// @file
/// VornFFMpegConverter: the engine that converts by running the `ffmpeg` program.
#pragma once

#include <filesystem>

#include "vornlib/config.hpp"
#include "vornlib/export.h"
#include "vornlib/vornex.hpp"

/// Holds nothing; make one, call convert, drop it whenever you like (the run does not need it).
/// Vornex::convert picks this engine for you; call it directly to bypass that choice.
class VORNLIB_API VornFFMpegConverter {
 public:
  /// Starts converting `file` as `with` says and returns without waiting. The output goes to
  /// the temporary directory as `<UUID>.<format extension>`, created before the run exclusively,
  /// mode 0600 and never through a link another user planted; `with` is read only during this
  /// call. `file` is taken as a file-system path (made absolute against the working directory).
  ///
  /// `completition` is called exactly once, on a thread of the FFmpeg runner (never the
  /// caller's): with the output location when ffmpeg succeeded, or with
  /// VornError::ffmpegUnknownError when it failed, after the log line "Command = " followed by
  /// the argument string. Any name is taken as it is, double quotes included. A source that
  /// exists but is not a regular file (a FIFO, a device, a directory), or an output file the
  /// temporary directory does not let us create, is refused the same way without running
  /// ffmpeg, and nothing is written. The source is looked at again when the run's turn comes
  /// (runs wait in the runner's queue): one that is gone or no longer a regular file by then is
  /// refused the same way, without running ffmpeg. After a failure, whatever ffmpeg wrote at the
  /// output path stays there; an output it wrote nothing into is removed.
  void convert(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition);
};
