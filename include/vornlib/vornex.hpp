// Vornex: the namespace class of the conversion entry points and of the nested public types.
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <variant>

#include "vornlib/ext_error.hpp"
#include "vornlib/vorn_error.hpp"

class Vornex {
 public:
  class Format;    // vornlib/format.hpp
  class Codec;     // vornlib/codec.hpp
  class Config;    // vornlib/config.hpp
  class FileInfo;  // vornlib/file_info.hpp

  // A conversion fails with either error type, exactly as the engine that ran it gave it.
  using Error = std::variant<VornError, ExtError>;

  // Receives the location of the converted file, or the error. A well-behaved engine passes
  // exactly one of the two. It may run on any thread, before or after the call that started
  // the conversion has returned (see convert below).
  using Completion = std::function<void(std::optional<std::filesystem::path> location,
                                        std::optional<Error> error)>;

  // The two conversion engines: the `ffmpeg` program, and the in-process one.
  enum class Engine { ffmpeg, native };

  // The engine that convert() uses for `cfg` as it stands: the explicit preference, or with
  // auto_ the native engine for wav, aifc, aiff, caf and flac and FFmpeg for the rest.
  static Engine engine(const Config& cfg) noexcept;

  // Converts `file` as `cfg` says into a new file in the temporary directory, named by a fresh
  // upper-case UUID and the format's extension; the file then belongs to the caller.
  //
  // The engine is chosen from cfg->preferedConverter (and, for auto_, cfg->fileFormat) and
  // `cfg` is read only during this call: change or drop it as soon as the call returns.
  //
  // Threads: the choice and the start of the work run on the caller's thread. The native
  // engine converts inside this call and calls `completition` on the caller's thread before
  // returning. The FFmpeg engine returns at once and calls `completition` later, on a thread
  // of its runner; a run it could not start (no thread to be had) is reported on a thread of
  // the background executor, or, when the system refuses every new thread, on the caller's
  // thread before returning.
  // Waiting: a completion may block and may wait for other conversions; the runner frees the
  // run's slot (vornlib::maxConcurrentFFmpegRuns) and starts queued runs before calling it.
  // Failures go to `completition` (never thrown): VornError from the FFmpeg engine
  // (ffmpegUnknownError, also when no thread could be started for the run), ExtError from the
  // native one. A failed conversion may leave a partial file. A null `cfg` completes at once
  // with VornError::unknownError; an empty `completition` makes the call do nothing.
  static void convert(const std::filesystem::path& file, const std::shared_ptr<Config>& cfg,
                      Completion completition);

  // The same conversion, started on the background executor; returns at once and never
  // throws (beyond std::bad_alloc). get() returns the location, or throws the VornError or
  // ExtError that the engine reported, or VornError::unknownError when the engine reported
  // neither (or dropped its completion), `cfg` is null, or not a single thread could be
  // started for the conversion (then logged under "convert(file:with:)").
  // An engine that reports twice is logged under "convert(file:with:)"; the first report wins.
  //
  // Threads: the conversion starts on a thread of Vornlib's own work (native conversions run
  // there, at most max(2, hardware threads) at once; FFmpeg runs are bounded by the runner),
  // and the future is made ready from a thread kept for host code, never one that Vornlib's
  // work needs. So the future may be waited on from any thread, completions and C blocks
  // included, without holding up the conversion it waits for.
  //
  // Exit: a process that exits (returns from main) with conversions in flight does not wait
  // for them: those not yet started are dropped without a word, their futures never ready.
  static std::future<std::filesystem::path> convert(std::filesystem::path file,
                                                    std::shared_ptr<Config> cfg);
};
