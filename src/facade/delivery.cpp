// SPDX-License-Identifier: MIT
#include "facade/delivery.hpp"

#include <mutex>
#include <string>
#include <utility>

#include "platform/posix/path.hpp"
#include "runtime/executor.hpp"
#include "runtime/immortal.hpp"
#include "runtime/log.hpp"
#include "runtime/process_life.hpp"

namespace vornlib::facade {

namespace {

// The process-wide observer; copied out under the lock and called without it.
class ObserverSlot {
 public:
  Vornex::Observer exchange(Vornex::Observer observer) {
    auto next = observer ? std::make_shared<const Vornex::Observer>(std::move(observer)) : nullptr;
    const std::lock_guard lock(mutex_);
    next.swap(current_);
    return next ? *next : Vornex::Observer();
  }
  std::shared_ptr<const Vornex::Observer> current() {
    const std::lock_guard lock(mutex_);
    return current_;
  }

 private:
  runtime::ForkSafeMutex mutex_;
  std::shared_ptr<const Vornex::Observer> current_;
};

ObserverSlot& observerSlot() {
  static runtime::Immortal<ObserverSlot> slot;
  return slot.get();
}

constexpr const char* kLabel = "convert(file:with:)";

// Stands for the suspended caller: resumed once by the completion, or, if the engine drops
// the completion unused, resumed with unknownError when the last copy goes. A report made
// while the engine's convert is still running is held until it returns, so that the caller
// carries on only once the engine is done with the call (and has logged any misuse in it).
class Continuation {
 public:
  explicit Continuation(std::function<void(Outcome)> then) : then_(std::move(then)) {}

  // Set once the engine is chosen, before it may report.
  void setEnd(std::shared_ptr<ConversionEnd> end) {
    const std::lock_guard lock(mutex_);
    end_ = std::move(end);
  }
  Continuation(const Continuation&) = delete;
  Continuation& operator=(const Continuation&) = delete;

  ~Continuation() {
    if (resumed_.exchange(true)) return;
    runtime::log(
        std::string(kLabel).append(": the engine dropped its completion without calling it"));
    deliver(Vornex::Error(VornError::unknownError));
  }

  void resume(std::optional<std::filesystem::path> location, std::optional<Vornex::Error> error) {
    if (resumed_.exchange(true)) {
      runtime::log(std::string(kLabel).append(": the engine called its completion more than once"));
      return;
    }
    // An error passed alongside a location is ignored.
    Outcome outcome = location ? Outcome(std::move(*location))
                               : Outcome(error ? std::move(*error) : VornError::unknownError);
    {
      const std::lock_guard lock(mutex_);
      if (holding_) {
        held_ = std::move(outcome);
        return;
      }
    }
    deliver(std::move(outcome));
  }

  // The engine's convert has returned: a report held back goes out now, later ones at once.
  void release() {
    std::optional<Outcome> held;
    {
      const std::lock_guard lock(mutex_);
      holding_ = false;
      held.swap(held_);
    }
    if (held) deliver(std::move(*held));
  }

 private:
  void deliver(Outcome outcome) noexcept {
    try {
      std::shared_ptr<ConversionEnd> end;
      {
        const std::lock_guard lock(mutex_);
        end = end_;
      }
      // The caller carries on on a thread for host code, never on the engine's or the runner's
      // (where it could hold up other conversions), whichever thread resumed.
      runtime::runInBackground(
          [then = std::move(then_), outcome = std::move(outcome), end = std::move(end)]() mutable {
            if (end) {
              const auto* location = std::get_if<std::filesystem::path>(&outcome);
              const auto* error = std::get_if<Vornex::Error>(&outcome);
              end->conclude(location ? std::optional(*location) : std::nullopt,
                            error ? std::optional(*error) : std::nullopt);
            }
            then(std::move(outcome));
          });
    } catch (...) {
      // Out of memory while queueing; nothing better can be done than to drop the report.
    }
  }

  std::function<void(Outcome)> then_;
  std::atomic<bool> resumed_{false};
  std::mutex mutex_;
  bool holding_ = true;
  std::optional<Outcome> held_;
  std::shared_ptr<ConversionEnd> end_;
};

}  // namespace

Vornex::Observer exchangeObserver(Vornex::Observer observer) {
  return observerSlot().exchange(std::move(observer));
}

ConversionEnd::ConversionEnd(Engine engine, std::filesystem::path source,
                             const Vornex::Options& options)
    : engine_(engine), source_(std::move(source)), report_(options.report) {
  runtime::ProgressCallback progress;
  if (options.progress) {
    progress = [handler = options.progress](const runtime::ProgressReport& report) {
      return handler(Vornex::Progress{report.fraction, report.seconds, report.isFinal}) ==
             Vornex::ProgressAnswer::stop;
    };
  }
  watch_ = std::make_shared<runtime::ConversionWatch>(
      std::move(progress), options.progress || options.stop.stop_possible());
  if (options.stop.stop_possible()) {
    stopLink_.emplace(options.stop, [watch = watch_] { watch->requestStop(); });
  }
}

void ConversionEnd::conclude(const std::optional<std::filesystem::path>& location,
                             const std::optional<Vornex::Error>& error) noexcept {
  if (concluded_.exchange(true)) return;
  const bool succeeded = location.has_value();
  watch_->finish(succeeded);
  const std::shared_ptr<const Vornex::Observer> observer = observerSlot().current();
  if (!observer && !report_) return;
  try {
    Vornex::Report report;
    report.engine = engine_;
    report.source = source_;
    report.output = succeeded ? *location : std::filesystem::path(watch_->output());
    if (!succeeded) {
      report.error = error ? *error : Vornex::Error(VornError::unknownError);
      report.reason = watch_->reason();
      if (report.reason.empty()) {
        report.reason =
            std::visit([](const auto& e) { return std::string(e.what()); }, *report.error);
      }
    }
    if (observer) {
      try {
        (*observer)(report);
      } catch (...) {  // NOLINT(bugprone-empty-catch): the host's exception; the report goes on
      }
    }
    if (report_) report_(report);
  } catch (...) {  // Out of memory, or the host's exception: the outcome goes on regardless.
  }
}

void dispatch(const std::filesystem::path& file, const Vornex::Config& config,
              Vornex::Completion completition, const EngineFactory& factory,
              const Vornex::Options& options) {
  const Engine choice = chooseEngine(config);
  auto end = std::make_shared<ConversionEnd>(choice, file, options);
  const std::unique_ptr<InternalVornConverter> engine =
      factory(choice, EngineContext{end->watch(), options.destination});
  engine->convert(
      file, config,
      [end = std::move(end), completition = std::move(completition)](
          std::optional<std::filesystem::path> location, std::optional<Vornex::Error> error) {
        end->conclude(location, error);
        completition(std::move(location), std::move(error));
      });
}

void convertInBackground(std::filesystem::path file, const std::shared_ptr<Vornex::Config>& config,
                         std::function<void(Outcome)> then, EngineFactory factory,
                         Vornex::Options options) {
  auto continuation = std::make_shared<Continuation>(std::move(then));
  // Read here, on the caller's thread: the host may change its configuration as soon as this
  // returns, long before the conversion starts.
  std::shared_ptr<const Vornex::Config> snapshot =
      config ? std::make_shared<const Vornex::Config>(*config) : nullptr;
  // So is a relative destination, against the working directory of now.
  if (!options.destination.empty())
    options.destination = platform::posix::absolutePath(options.destination);
  std::function<void()> start = [file = std::move(file), config = std::move(snapshot),
                                 factory = std::move(factory), options = std::move(options),
                                 continuation] {
    if (config) {
      Vornex::Completion completion = [continuation](std::optional<std::filesystem::path> location,
                                                     std::optional<Vornex::Error> error) {
        continuation->resume(std::move(location), std::move(error));
      };
      try {
        // The end's report and the observer run where the outcome is handed over, on a thread
        // for host code, not on the engine's.
        const Engine choice = chooseEngine(*config);
        auto end = std::make_shared<ConversionEnd>(choice, file, options);
        const std::unique_ptr<InternalVornConverter> engine =
            factory(choice, EngineContext{end->watch(), options.destination});
        continuation->setEnd(std::move(end));
        engine->convert(file, *config, std::move(completion));
      } catch (...) {
        // The engine could not be made or threw: the dropped completion says so below.
      }
    } else {
      continuation->resume(std::nullopt, Vornex::Error(VornError::unknownError));
    }
    continuation->release();
    // Once this job is gone, only the completion keeps the continuation: an engine that
    // dropped it unused resumes the caller through the continuation's destructor.
  };
  if (runtime::runWork(start)) return;
  // Not a single thread to be had: the conversion fails without being started.
  start = nullptr;
  runtime::log(std::string(kLabel).append(": no thread could be started for the conversion"));
  continuation->release();
  continuation->resume(std::nullopt, Vornex::Error(VornError::unknownError));
}

std::future<std::filesystem::path> convertToFuture(std::filesystem::path file,
                                                   std::shared_ptr<Vornex::Config> config,
                                                   EngineFactory factory, Vornex::Options options) {
  auto promise = std::make_shared<std::promise<std::filesystem::path>>();
  std::future<std::filesystem::path> result = promise->get_future();
  convertInBackground(
      std::move(file), std::move(config),
      [promise](Outcome outcome) {
        if (auto* location = std::get_if<std::filesystem::path>(&outcome)) {
          promise->set_value(std::move(*location));
          return;
        }
        // The error itself, VornError or ExtError, is what get() throws.
        std::visit(
            [&promise](const auto& error) {
              promise->set_exception(std::make_exception_ptr(error));
            },
            std::get<Vornex::Error>(outcome));
      },
      std::move(factory), std::move(options));
  return result;
}

}  // namespace vornlib::facade
