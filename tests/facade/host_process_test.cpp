// SPDX-License-Identifier: MIT
// Vornlib as a guest in a host's process: the host exits with work in flight, or forks. Each
// case runs in a child of its own, which an alarm ends if it hangs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "support/support.hpp"

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;

std::atomic<int> callbacks{0};  // trivially destructible: safe to count with during the exit

std::shared_ptr<Vornex::Config> config(Vornex::Format format) {
  return std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
}

std::size_t linesIn(const fs::path& file) {
  std::ifstream in(file);
  return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

// A static of the host's, built before its first conversion, that takes its time to go: once
// the exit has begun no queued run may start and no callback may be called (one would write
// into a static already destroyed).
[[noreturn]] void exitWithRunsQueued(const fs::path& dir) {
  struct SlowToGo {
    fs::path started;
    ~SlowToGo() {
      const int calledBefore = callbacks;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // starts under way settle
      const std::size_t startedBefore = linesIn(started);
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      if (callbacks != calledBefore || linesIn(started) != startedBefore) std::_Exit(1);
    }
  };
  static SlowToGo host{dir / "started"};
  const fs::path program = dir / "ffmpeg";
  std::ofstream(program) << "#!/bin/sh\necho $$ >> '" << host.started.string() << "'\nsleep 0.3\n";
  fs::permissions(program, fs::perms::owner_all);
  vornlib::setFFmpegProgram(program);
  vornlib::setMaxConcurrentFFmpegRuns(2);
  for (int i = 0; i < 50; ++i) vornlib::processRunner().executeAsync("", [](auto) { ++callbacks; });
  std::exit(0);
}

// A static worker of the host's converts with a progress handler while main returns, and its
// destructor waits for it: a report the executor parked at the exit must not be waited for.
[[noreturn]] void exitWhileAHostThreadConverts(const fs::path& tone) {
  struct Worker {
    std::atomic<bool> stop{false};
    std::thread thread;
    ~Worker() {
      stop = true;
      thread.join();
    }
  };
  static Worker worker;
  Vornex::Options options;
  options.progress = [](const Vornex::Progress&) {
    ++callbacks;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Vornex::ProgressAnswer::proceed;
  };
  worker.thread = std::thread([tone, options] {
    // Seconds of work for each: a low-rate tone raised to 96 kHz.
    const auto flac =
        std::make_shared<Vornex::Config>(Vornex::Format::flac, std::nullopt, 96000, 16, 1, 0);
    while (!worker.stop)
      Vornex::convert(
          tone, flac, [](auto, auto) {}, options);
  });
  while (callbacks == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::exit(0);
}

// A pre-fork server: conversions in the parent (idle workers left behind), two runs in flight
// at the fork. The child converts as a fresh process would, through both engines and both
// styles, and never hears of the parent's runs.
[[noreturn]] void forkAfterConversions(const fs::path& dir) {
  const fs::path tone = dir / "short.wav";
  for (const auto format : {Vornex::Format::wav, Vornex::Format::mp3})
    if (!Vornex::convert(tone, config(format)).get().has_filename()) std::_Exit(2);
  const fs::path slow = dir / "slow";
  std::ofstream(slow) << "#!/bin/sh\nsleep 1\n";
  fs::permissions(slow, fs::perms::owner_all);
  vornlib::setFFmpegProgram(slow);
  for (int i = 0; i < 2; ++i) vornlib::processRunner().executeAsync("", [](auto) { ++callbacks; });
  vornlib::setFFmpegProgram(VORNLIB_TEST_FFMPEG);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both runs under way
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(100);
    int converted = 0;
    for (const auto format : {Vornex::Format::wav, Vornex::Format::mp3}) {
      auto future = Vornex::convert(tone, config(format));
      converted += future.wait_for(kPatience) == std::future_status::ready && future.get() != "";
      Reports reports;
      Vornex::convert(tone, config(format), reports.completion());
      converted += reports.first().value_or(Report{}).location.has_value();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the parent's runs are over
    std::_Exit(converted == 4 && callbacks == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
}

TEST(HostProcess, ExitAndForkLeaveNoWorkBehindAndNothingWaiting) {
  const TempDir dir;
  const TmpdirScope scope(dir.path());
  makeTone(dir / "tone.wav", 600, 8000, 1);
  makeTone(dir / "short.wav", 1, 44100, 2);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((::alarm(60), exitWithRunsQueued(dir.path())), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT((::alarm(60), exitWhileAHostThreadConverts(dir / "tone.wav")),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT((::alarm(200), forkAfterConversions(dir.path())), ::testing::ExitedWithCode(0), "");
}

}  // namespace
