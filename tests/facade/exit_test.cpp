// A process that may start few threads or none, and one that exits with conversions in flight,
// each in a child (a threadsafe death test: the child runs the test again from its start).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "facade/internal_vorn_converter.hpp"
#include "platform/executor.hpp"
#include "support/support.hpp"

namespace {

using Ends = std::vector<std::future<std::filesystem::path>>;
std::atomic<int> completions{0}, started{0};
std::atomic<bool> exiting{false};

// Where the 1-second tone and the outputs are: made by the test process, found by the child.
std::filesystem::path directory() {
  if (const char* made = std::getenv("VORNLIB_EXIT_TEST_DIR")) return made;
  static const vornlib::test::TempDir dir;
  vornlib::test::makeTone(dir / "tone.wav", 1, 44100, 2);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);  // for user 65534
  ::setenv("VORNLIB_EXIT_TEST_DIR", dir.path().c_str(), 1);
  return dir.path();
}

// Converts the tone to wav (native engine) and mp3 (FFmpeg) in turn, through the future and
// the completion style; each completion call adds one to `completions`.
Ends convertTone(int count) {
  Ends ends;
  for (int i = 0; i < count; ++i) {
    auto config = std::make_shared<Vornex::Config>(
        i % 2 ? Vornex::Format::mp3 : Vornex::Format::wav, std::nullopt, 44100, 16, 2, 128);
    if (i / 2 % 2 == 0) {
      ends.push_back(Vornex::convert(directory() / "tone.wav", config));
      continue;
    }
    auto end = std::make_shared<std::promise<std::filesystem::path>>();
    ends.push_back(end->get_future());
    Vornex::convert(directory() / "tone.wav", config, [end](auto, auto) {
      ++completions;
      end->set_value({});  // a second call throws
    });
  }
  return ends;
}

// In the child: the executor may start `threads` threads, or no thread starts at all (the
// runner's neither) when `threads` is 0. Every conversion ends, once.
[[noreturn]] void convertStarved(int threads) {
  if (threads == 0) {
    // Root starts threads beyond any limit; another user does not.
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::_Exit(2);
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_NPROC, &none);
  } else {
    vornlib::platform::limitThreadStartsForTesting(threads);  // a pool that starts only partly
  }
  for (auto& end : convertTone(12)) {
    if (end.wait_for(vornlib::test::kPatience) != std::future_status::ready) std::_Exit(1);
  }
  std::_Exit(completions == 6 ? 0 : 1);  // _Exit: the leak checker would need a thread
}

const int kWorkers = static_cast<int>(std::max(2U, std::thread::hardware_concurrency()));

// Holds its worker until the exit begins; started after that, it ends the process with 3.
class GatedEngine final : public vornlib::facade::InternalVornConverter {
  void convert(const std::filesystem::path& file, const Vornex::Config&,
               Vornex::Completion completion) override {
    if (exiting) std::_Exit(3);
    ++started;
    started.notify_all();
    exiting.wait(false);
    completion(file, std::nullopt);
  }
};

// In the child: real conversions in flight, every worker of Vornlib's own held by a gated run
// and one more queued, then exit. The exit handler, registered before Vornlib's first use,
// runs after Vornlib's own, as the host's statics would go.
[[noreturn]] void exitWithWorkInFlight() {
  std::atexit([] {
    exiting = true;
    exiting.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for the queued run to start
  });
  Ends ends = convertTone(24);
  auto config =
      std::make_shared<Vornex::Config>(Vornex::Format::wav, std::nullopt, 44100, 16, 2, 128);
  for (int i = 0; i <= kWorkers; ++i) {
    ends.push_back(vornlib::facade::convertToFuture(
        "/gated", config, [](auto) { return std::make_unique<GatedEngine>(); }));
  }
  for (int now = started; now < kWorkers; now = started) started.wait(now);
  std::exit(0);
}

TEST(Exit, StarvedOrExitingProcessesEndEveryConversionCleanly) {
  const vornlib::test::TmpdirScope tmpdir(directory());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(convertStarved(0), ::testing::ExitedWithCode(0), "") << "no thread at all";
  EXPECT_EXIT(convertStarved(1), ::testing::ExitedWithCode(0), "") << "one thread";
  EXPECT_EXIT(exitWithWorkInFlight(), ::testing::ExitedWithCode(0), "") << "exit";
}

}  // namespace
