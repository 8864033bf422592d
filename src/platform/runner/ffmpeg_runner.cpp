// SPDX-License-Identifier: MIT
#include "vornlib/ffmpeg_runner.hpp"

#include <utility>

#include "platform/runner/run_options.hpp"
#include "platform/runner/scheduler.hpp"
#include "runtime/immortal.hpp"

namespace vornlib {
namespace {

class ProcessRunner final : public FFmpegRunner, public platform::runner::ControlledRunner {
 public:
  void executeAsync(std::string arguments, FFmpegCompleteCallback callback) override {
    platform::runner::scheduler().submit(std::move(arguments), std::move(callback), {});
  }
  void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                    platform::runner::RunOptions options) override {
    platform::runner::scheduler().submit(std::move(arguments), std::move(callback),
                                         std::move(options));
  }
};

ProcessRunner& theProcessRunner() noexcept {
  static runtime::Immortal<ProcessRunner> runner;
  return runner.get();
}

}  // namespace

FFmpegRunner& processRunner() {
  return theProcessRunner();
}

void setFFmpegProgram(std::filesystem::path program) {
  platform::runner::scheduler().setProgram(std::move(program));
}

std::filesystem::path ffmpegProgram() {
  return platform::runner::scheduler().program();
}

void setMaxConcurrentFFmpegRuns(std::size_t count) {
  platform::runner::scheduler().setLimit(count);
}

std::size_t maxConcurrentFFmpegRuns() {
  return platform::runner::scheduler().limit();
}

namespace platform::runner {

ControlledRunner& controlledProcessRunner() noexcept {
  return theProcessRunner();
}

}  // namespace platform::runner
}  // namespace vornlib
