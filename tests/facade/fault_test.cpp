// SPDX-License-Identifier: MIT
// Faults during a conversion, through each engine: each ends in exactly one report, an error
// (or, for a source cut short, possibly a valid file), and leaves nothing open or running; an
// output no byte reached is not left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "support/support.hpp"

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;
enum Fault { diskFull, ffmpegKilled, truncated, tmpMissing, noRoom, kFaults };

void convertDespite(bool ffmpeg, Fault fault) {
  const TempDir dir;
  const fs::path source = dir / "long.wav";
  makeTone(source, 20, 44100, 2);
  fs::create_directory(dir / "tmp");
  const TmpdirScope scope(dir / (fault == tmpMissing ? "missing" : "tmp"));
  // A write past 64 KiB, or any write, fails with EFBIG.
  const rlimit limit = fault == noRoom ? rlimit{0, 0} : rlimit{64 << 10, 64 << 10};
  if (fault == diskFull || fault == noRoom)
    ::signal(SIGXFSZ, SIG_IGN), ::setrlimit(RLIMIT_FSIZE, &limit);
  const auto cfg = std::make_shared<Vornex::Config>(  // each format's engine by default
      ffmpeg ? Vornex::Format::mp3 : Vornex::Format::flac, std::nullopt, 44100, 16, 2, 128);
  const auto descriptors = openDescriptors();
  Reports reports;
  // Strikes once ffmpeg runs, or the native engine has made its output (and opened the source).
  std::jthread striker([&] {
    for (std::vector<pid_t> running; reports.count() == 0;) {
      if (ffmpeg ? (running = descendants("ffmpeg")).empty() : fs::is_empty(dir / "tmp")) continue;
      if (fault == ffmpegKilled) ::kill(running.front(), SIGKILL);
      if (fault == truncated) fs::resize_file(source, fs::file_size(source) / 3);
      return;
    }
  });
  Vornex::convert(source, cfg, reports.completion());
  const auto report = reports.first();  // the striker then gives up
  ASSERT_TRUE(report && report->error.has_value() != report->location.has_value());
  const auto info = report->location ? Vornex::FileInfo::make(*report->location) : std::nullopt;
  EXPECT_TRUE(report->error || (fault == truncated && info && info->duration() > 0));
  EXPECT_TRUE(leftNothing(descriptors) && reports.count() == 1U);
  EXPECT_TRUE(fault != noRoom || fs::is_empty(dir / "tmp"));
}

TEST(Fault, EveryFaultThroughBothEngines) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the file-size limit is the process's
  for (int row = 0; row < 2 * kFaults; ++row) {    // every fault through ffmpeg, then natively
    if (row == kFaults + ffmpegKilled) continue;
    EXPECT_EXIT((convertDespite(row < kFaults, Fault(row % kFaults)),
                 ::_exit(::testing::Test::HasFailure())),
                ::testing::ExitedWithCode(0), "")
        << row;
  }
}

}  // namespace
