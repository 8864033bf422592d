// The engine interface and the dispatch behind every conversion entry point.
#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <variant>

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
};

using Engine = Vornex::Engine;

// With auto_, wav, aifc, aiff, caf and flac go to the native engine and the rest to FFmpeg;
// an explicit preference is obeyed for every format.
Engine chooseEngine(const Vornex::Config& config) noexcept;

// Makes a fresh engine object for one call.
using EngineFactory = std::function<std::unique_ptr<InternalVornConverter>(Engine)>;

// The library's engines.
std::unique_ptr<InternalVornConverter> makeEngine(Engine engine);

// Chooses, makes the engine, calls it with the caller's completion unchanged and drops the
// engine when its convert returns.
void dispatch(const std::filesystem::path& file, const Vornex::Config& config,
              Vornex::Completion completition, const EngineFactory& factory);

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
                         std::function<void(Outcome)> then, EngineFactory factory);

// The asynchronous C++ style: convertInBackground with a future for the outcome.
std::future<std::filesystem::path> convertToFuture(std::filesystem::path file,
                                                   std::shared_ptr<Vornex::Config> config,
                                                   EngineFactory factory);

}  // namespace vornlib::facade
