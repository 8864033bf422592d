// SPDX-License-Identifier: MIT
// Delivering a conversion's end to the host: the final progress report and the observer, then
// the outcome to a completion or a future.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <variant>

#include "facade/internal_vorn_converter.hpp"
#include "runtime/conversion_watch.hpp"
#include "vornlib/config.hpp"
#include "vornlib/vornex.hpp"

namespace vornlib::facade {

// Installs the process-wide observer (an empty one removes it); gives the one it replaced.
Vornex::Observer exchangeObserver(Vornex::Observer observer);

// The end of one conversion as the host sees it besides its outcome: the final progress report,
// then the observer (if one is installed by then), then the conversion's own report callback.
class ConversionEnd {
 public:
  ConversionEnd(Engine engine, std::filesystem::path source, const Vornex::Options& options);

  const std::shared_ptr<runtime::ConversionWatch>& watch() const noexcept { return watch_; }
  // On the thread that then hands the outcome to the host; only the first call counts (a
  // location means success, as for the asynchronous style).
  void conclude(const std::optional<std::filesystem::path>& location,
                const std::optional<Vornex::Error>& error) noexcept;

 private:
  Engine engine_;
  std::filesystem::path source_;
  std::function<void(const Vornex::Report&)> report_;  // the conversion's own, after the observer
  std::shared_ptr<runtime::ConversionWatch> watch_;
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

// The asynchronous style without the future: `config` is copied before this returns; the
// dispatch runs with Vornlib's own work on the
// background executor (runtime::runWork), and `then` receives the outcome on a thread for host
// code (runtime::runInBackground), exactly once, even when the engine reports neither a
// location nor an error (VornError::unknownError), reports twice (the first wins) or drops its
// completion without calling it (VornError::unknownError). When no thread at all can be had for
// the dispatch, `then` receives VornError::unknownError at once (on the caller's thread when no
// thread for host code can be had either). Misuse and starvation are logged under
// "convert(file:with:)".
void convertInBackground(std::filesystem::path file, const std::shared_ptr<Vornex::Config>& config,
                         std::function<void(Outcome)> then, EngineFactory factory,
                         Vornex::Options options = {});

// The asynchronous C++ style: convertInBackground with a future for the outcome.
std::future<std::filesystem::path> convertToFuture(std::filesystem::path file,
                                                   std::shared_ptr<Vornex::Config> config,
                                                   EngineFactory factory,
                                                   Vornex::Options options = {});

}  // namespace vornlib::facade
