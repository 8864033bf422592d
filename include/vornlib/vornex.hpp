// SPDX-License-Identifier: MIT
/// @file
/// Vornex: the namespace class of the conversion entry points and of the nested public types.
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <variant>

#include "vornlib/export.h"
#include "vornlib/ext_error.hpp"
#include "vornlib/vorn_error.hpp"

/// The namespace class of Vornlib's C++ interface: the conversion entry points, the engine
/// choice, the observer, and the public types nested in it.
class VORNLIB_API Vornex {
 public:
  class Format;    ///< vornlib/format.hpp
  class Codec;     ///< vornlib/codec.hpp
  class Config;    ///< vornlib/config.hpp
  class FileInfo;  ///< vornlib/file_info.hpp

  /// A conversion fails with either error type, exactly as the engine that ran it gave it.
  using Error = std::variant<VornError, ExtError>;

  /// Receives the location of the converted file, or the error. A well-behaved engine passes
  /// exactly one of the two. It may run on any thread, before or after the call that started
  /// the conversion has returned (see convert below).
  using Completion = std::function<void(std::optional<std::filesystem::path> location,
                                        std::optional<Error> error)>;

  /// The two conversion engines: the `ffmpeg` program, and the in-process one.
  enum class Engine {
    ffmpeg,  ///< the `ffmpeg` program, through the FFmpeg runner
    native   ///< in-process, through the audio-file service
  };

  /// The engine that convert() uses for `cfg` as it stands: the explicit preference, or with
  /// auto_ the native engine for wav, aifc, aiff, caf and flac and FFmpeg for the rest.
  static Engine engine(const Config& cfg) noexcept;

  /// A progress report of one conversion.
  struct Progress {
    /// The part of the source converted, from 0 to 1; negative when the source's duration is not
    /// known (then only `seconds` tells how far the conversion has got).
    double fraction = -1;
    /// Audio converted so far, in seconds.
    double seconds = 0;
    /// The last report of the conversion, made once, right before its completion. Its fraction
    /// is 1 after a success; after a failure or a stop it is as far as the conversion got.
    bool isFinal = false;
  };

  /// What a progress handler answers: go on, or stop the conversion.
  enum class ProgressAnswer {
    proceed,  ///< go on
    stop      ///< stop the conversion (ignored for the final report)
  };
  /// Receives the progress reports of one conversion (see Options::progress).
  using ProgressHandler = std::function<ProgressAnswer(const Progress& progress)>;

  /// One finished conversion, as the observer sees it.
  struct Report {
    /// The engine that ran it.
    Engine engine = Engine::ffmpeg;
    /// The source as the host named it.
    std::filesystem::path source;
    /// The output file the engine made or named; empty when it had not got as far as naming one.
    std::filesystem::path output;
    /// None after a success; otherwise the error that the completion receives.
    std::optional<Error> error;
    /// Why the conversion failed, in words: for the FFmpeg engine the last lines ffmpeg printed
    /// (or why it was not run), for the native engine the failing step and its status. Empty
    /// after a success.
    std::string reason;
  };
  /// Receives the report of every conversion (see setObserver).
  using Observer = std::function<void(const Report& report)>;

  /// What a host may add to one conversion. The default (all empty) changes nothing.
  struct Options {
    /// Called with reports while the conversion runs, at most four times a second, one at a time
    /// and in order, on a thread kept for host code (never one doing the conversion, so a slow
    /// handler only makes reports rarer); then once with isFinal set, on the thread that then
    /// calls the completion (or makes the future ready), after any earlier report has returned.
    /// Answering ProgressAnswer::stop to a report before the final one stops the conversion.
    /// The fraction is known when the source declares its duration.
    ProgressHandler progress;
    /// A stop requested through this token stops the conversion as ProgressAnswer::stop does.
    std::stop_token stop;
    /// Where the output goes. Empty: the temporary directory (see convert). An existing
    /// directory: a new file there, named as in the temporary directory. Any other path: the
    /// output file itself, which must not exist yet; when anything is there (a file, a link,
    /// dangling or not) the conversion fails through its completion and the report's reason
    /// says so, and what was there is left exactly as it was: never followed, truncated or
    /// replaced. A relative path is taken against the working directory when the call is made.
    /// A file made at a destination of the host's gets mode 0666 less the umask; one in the
    /// temporary directory stays 0600.
    std::filesystem::path destination;
    /// Called once for this conversion, with the report the observer gets (the observer still
    /// sees it too), right before the completion or the future, after the final progress report
    /// and the observer, on the same thread. An exception it throws is dropped.
    std::function<void(const Report& report)> report;
  };
  // Stopping: the `ffmpeg` process is ended and reaped, or the native copy stops and closes both
  // files; the conversion then completes once with VornError::stopped (a run stopped before
  // its process started never starts). The partial output stays, as for any failure; an output
  // no audio reached yet is removed. A stop that comes after the conversion has finished
  // changes nothing.

  /// Installs `observer` for the whole process (an empty one removes it) and returns the one it
  /// replaced. It then sees every conversion that reaches an engine through convert() or the C
  /// interface, once, when its outcome is known: on the thread that then calls the completion (or
  /// makes the future ready), right before that and after the final progress report. It may be
  /// called from several threads at once. It adds no log line and changes no outcome; an
  /// exception it throws is dropped. Safe to call from any thread, the observer itself included.
  static Observer setObserver(Observer observer);

  /// Converts `file` as `cfg` says into a new file in the temporary directory, named by a fresh
  /// upper-case UUID and the format's extension; the file then belongs to the caller.
  ///
  /// The engine is chosen from cfg->preferedConverter (and, for auto_, cfg->fileFormat).
  /// The configuration: every form of convert (the future style and the C interface included)
  /// reads `cfg` on the caller's thread, before it returns, and never again; it may be changed
  /// or dropped as soon as the call returns, and must not be changed from another thread while
  /// the call runs.
  ///
  /// Threads: the choice and the start of the work run on the caller's thread. The native
  /// engine converts inside this call and calls `completition` on the caller's thread before
  /// returning. The FFmpeg engine returns at once and calls `completition` later, on a thread
  /// of its runner; a run it could not start (no thread to be had) is reported on a thread of
  /// the background executor, or, when the system refuses every new thread, on the caller's
  /// thread before returning.
  /// Waiting: a completion may block and may wait for other conversions; the runner frees the
  /// run's slot (vornlib::maxConcurrentFFmpegRuns) and starts queued runs before calling it.
  /// Failures go to `completition` (never thrown): VornError from the FFmpeg engine
  /// (ffmpegUnknownError, also when no thread could be started for the run), ExtError from the
  /// native one. A failed conversion may leave a partial file, never one that no audio reached.
  /// A null `cfg` completes at once with VornError::unknownError; an empty `completition` makes
  /// the call do nothing.
  static void convert(const std::filesystem::path& file, const std::shared_ptr<Config>& cfg,
                      Completion completition);

  /// As above, with progress reports and a way to stop (see Options).
  static void convert(const std::filesystem::path& file, const std::shared_ptr<Config>& cfg,
                      Completion completition, Options options);

  /// The same conversion, started on the background executor; returns at once and never
  /// throws (beyond std::bad_alloc). get() returns the location, or throws the VornError or
  /// ExtError that the engine reported, or VornError::unknownError when the engine reported
  /// neither (or dropped its completion), `cfg` is null, or not a single thread could be
  /// started for the conversion (then logged under "convert(file:with:)").
  /// An engine that reports twice is logged under "convert(file:with:)"; the first report wins.
  ///
  /// Threads: the conversion starts on a thread of Vornlib's own work (native conversions run
  /// there, at most max(2, hardware threads) at once; FFmpeg runs are bounded by the runner),
  /// and the future is made ready from a thread kept for host code, never one that Vornlib's
  /// work needs. So the future may be waited on from any thread, completions and C blocks
  /// included, without holding up the conversion it waits for.
  ///
  /// Exit: a process that exits (returns from main) with conversions in flight does not wait
  /// for them: those not yet started are dropped without a word, their futures never ready.
  static std::future<std::filesystem::path> convert(std::filesystem::path file,
                                                    std::shared_ptr<Config> cfg);

  /// As above, with progress reports and a way to stop (see Options); get() throws
  /// VornError::stopped for a stopped conversion.
  static std::future<std::filesystem::path> convert(std::filesystem::path file,
                                                    std::shared_ptr<Config> cfg, Options options);
};
