// The engine interface and the dispatch behind every conversion entry point.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <variant>

#include "platform/conversion_watch.hpp"
#include "vornlib/config.hpp"
#include "vornlib/vornex.hpp"

namespace vornlib::facade {

// What every engine offers. An engine calls the completion exactly once, with a location or
// an error; it may do so before convert returns or later from a thread of its own, and it
// reads the configuration only during convert.
class InternalVornConverter {
 public:
  virtual ~InternalVornConverter() = default;
  virtual void convert(const std::filesystem::path& file, const Vornex::Config& with,
                       Vornex::Completion completition) = 0;
  // The same, reporting progress to `watch`, looking at its stop requests and leaving there the
  // output's name and why a conversion failed. An engine that cannot do that ignores it.
  virtual void convert(const std::filesystem::path& file, const Vornex::Config& with,
                       Vornex::Completion completition,
                       const std::shared_ptr<platform::ConversionWatch>& watch) {
    (void)watch;
    convert(file, with, std::move(completition));
  }
};

using Engine = Vornex::Engine;

// With auto_, wav, aifc, aiff, caf and flac go to the native engine and the rest to FFmpeg;
// an explicit preference is obeyed for every format.
Engine chooseEngine(const Vornex::Config& config) noexcept;

// Makes a fresh engine object for one call.
using EngineFactory = std::function<std::unique_ptr<InternalVornConverter>(Engine)>;

// The library's engines.
std::unique_ptr<InternalVornConverter> makeEngine(Engine engine);

// The end of one conversion as the host sees it besides its outcome: the final progress report,
// then the observer (if one is installed by then).
class ConversionEnd {
 public:
  ConversionEnd(Engine engine, std::filesystem::path source, const Vornex::Options& options);

  const std::shared_ptr<platform::ConversionWatch>& watch() const noexcept { return watch_; }
  // On the thread that then hands the outcome to the host; only the first call counts (a
  // location means success, as for the asynchronous style).
  void conclude(const std::optional<std::filesystem::path>& location,
                const std::optional<Vornex::Error>& error) noexcept;

 private:
  Engine engine_;
  std::filesystem::path source_;
  std::shared_ptr<platform::ConversionWatch> watch_;
  std::atomic<bool> concluded_{false};
  // Forwards a stop requested through the host's token while the conversion runs.
  std::optional<std::stop_callback<std::function<void()>>> stopLink_;
};

// Chooses, makes the engine, calls it with the caller's completion (preceded by the end's
// report and the observer) and drops the engine when its convert returns.
void dispatch(const std::filesystem::path& file, const Vornex::Config& config,
              Vornex::Completion completition, const EngineFactory& factory,
              const Vornex::Options& options = {});

// The outcome of the asynchronous style: the location, or the error to throw.
using Outcome = std::variant<std::filesystem::path, Vornex::Error>;

// The asynchronous style without the future: the dispatch runs with Vornlib's own work on the
// background executor (platform::runWork), and `then` receives the outcome on a thread for host
// code (platform::runInBackground), exactly once, even when the engine reports neither a
// location nor an error (VornError::unknownError), reports twice (the first wins) or drops its
// completion without calling it (VornError::unknownError). When no thread at all can be had for
// the dispatch, `then` receives VornError::unknownError at once (on the caller's thread when no
// thread for host code can be had either). Misuse and starvation are logged under
// "convert(file:with:)".
void convertInBackground(std::filesystem::path file, std::shared_ptr<Vornex::Config> config,
                         std::function<void(Outcome)> then, EngineFactory factory,
                         Vornex::Options options = {});

// The asynchronous C++ style: convertInBackground with a future for the outcome.
std::future<std::filesystem::path> convertToFuture(std::filesystem::path file,
                                                   std::shared_ptr<Vornex::Config> config,
                                                   EngineFactory factory,
                                                   Vornex::Options options = {});

}  // namespace vornlib::facade
