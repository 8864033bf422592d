// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <latch>

#include "facade/delivery.hpp"
#include "runtime/executor.hpp"
#include "support/support.hpp"

namespace {

using namespace vornlib::test;
const int kWorkers = static_cast<int>(std::max(2U, std::thread::hardware_concurrency()));
std::latch held(kWorkers);  // every worker of Vornlib's own, by a gated run
std::atomic<int> exiting{0}, completions{0};

// Holds its worker until the exit begins; started after that, it ends the process with 3.
struct GatedEngine final : vornlib::facade::InternalVornConverter {
  void convert(const std::filesystem::path&, const Vornex::Config&,
               Vornex::Completion done) override {
    if (exiting != 0) std::_Exit(3);
    held.count_down();
    exiting.wait(0);
    done("/gated", std::nullopt);
  }
};

void release() {
  exiting = 1;
  exiting.notify_all();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // for a queued run to start
}

// No thread starts, the runner's neither (0; root starts them past any limit); one does (1); or
// all workers are held, one gated run queued, and the process exits (-1), its handler run after
// Vornlib's own as the host's statics would be. Both engines, both styles: each ends once.
[[noreturn]] void child(int threads, const std::filesystem::path& tone) {
  const rlimit none{0, 0};
  if (threads == 0 && ::geteuid() == 0 && (::setgid(65534) || ::setuid(65534))) std::_Exit(2);
  if (threads == 0) ::setrlimit(RLIMIT_NPROC, &none);  // so _Exit: the leak checker needs one
  if (threads == 1) vornlib::runtime::limitThreadStartsForTesting(1);
  if (threads < 0) std::atexit(release);
  std::vector<std::future<std::filesystem::path>> ends;
  const auto config = [](int i) {
    return std::make_shared<Vornex::Config>(i % 2 ? Vornex::Format::mp3 : Vornex::Format::wav,
                                            std::nullopt, 44100, 16, 2, 128);
  };
  for (int i = 0; i < 6; ++i) ends.push_back(Vornex::convert(tone, config(i)));
  for (int i = 0; i < 6; ++i) Vornex::convert(tone, config(i), [](auto, auto) { ++completions; });
  for (int i = 0; threads < 0 && i <= kWorkers; ++i)
    ends.push_back(vornlib::facade::convertToFuture(
        "/gated", config(0), [](auto, auto) { return std::make_unique<GatedEngine>(); }));
  if (threads < 0) held.wait(), std::exit(0);
  for (auto& end : ends)
    if (end.wait_for(kPatience) != std::future_status::ready) std::_Exit(1);
  std::_Exit(eventually([] { return completions >= 6; }) && completions == 6 ? 0 : 1);
}

TEST(Exit, StarvedOrExitingProcessesEndEveryConversionCleanly) {
  const TempDir dir;  // each case's child (threadsafe) runs this again: in this one's TMPDIR
  makeTone(dir / "tone.wav", 1, 44100, 2);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);  // for user 65534
  const TmpdirScope tmpdir(dir.path());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const int threads : {0, 1, -1})
    EXPECT_EXIT(child(threads, dir / "tone.wav"), ::testing::ExitedWithCode(0), "") << threads;
}

}  // namespace
