// Faults during a conversion, for both engines: each ends in exactly one report, an error (or,
// for a source cut short, possibly a valid file), and leaves nothing open or running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "support/support.hpp"

namespace vornlib::test {  // in load_test.cpp
std::ptrdiff_t entries(const char* directory);
std::vector<pid_t> descendants(const std::string& name);
bool childless();
bool eventually(const std::function<bool()>& holds);
}  // namespace vornlib::test

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;
using Engine = Vornex::Config::PreferedConverterType;
enum class Fault { diskFull, ffmpegKilled, truncated, deleted, tmpMissing, tmpFile, tmpReadOnly };

void convertDespite(Engine engine, Fault fault) {
  const TempDir dir;
  const fs::path source = dir / "long.wav", tmp = dir / "tmp";
  makeTone(source, 20, 44100, 2);
  fs::create_directory(tmp);
  // Not writable even for root: immutable; the mode is enough for anyone else.
  if (fault == Fault::tmpReadOnly) {
    fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_exec);
    ASSERT_TRUE(::geteuid() != 0 || runProgram({"/usr/bin/chattr", "+i", tmp}) == 0);
  }
  const TmpdirScope scope(fault == Fault::tmpMissing ? dir / "missing"
                          : fault == Fault::tmpFile  ? source
                                                     : tmp);
  if (fault == Fault::diskFull) {  // a write past 64 KiB fails with EFBIG (ffmpeg inherits it)
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 << 10, 64 << 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  auto cfg = std::make_shared<Vornex::Config>(
      engine == Engine::ffmpeg ? Vornex::Format::mp3 : Vornex::Format::flac, std::nullopt, 44100,
      16, 2, 128);
  cfg->preferedConverter = engine;
  const auto descriptors = entries("/proc/self/fd");
  Reports reports;
  // Strikes once the run is under way: ffmpeg has started, or the native engine has created
  // its output (it has opened the source by then); gives up when the conversion has reported.
  std::thread striker([&] {
    while (reports.count() == 0) {
      std::vector<pid_t> ffmpeg;
      if (engine == Engine::ffmpeg ? (ffmpeg = descendants("ffmpeg")).empty() : fs::is_empty(tmp))
        continue;
      if (fault == Fault::ffmpegKilled) ::kill(ffmpeg.front(), SIGKILL);
      if (fault == Fault::truncated) fs::resize_file(source, fs::file_size(source) / 3);
      if (fault == Fault::deleted) fs::remove(source);
      return;
    }
  });
  Vornex::convert(source, cfg, reports.completion());
  const auto report = reports.first();
  striker.join();
  if (fault == Fault::tmpReadOnly && ::geteuid() == 0) runProgram({"/usr/bin/chattr", "-i", tmp});
  ASSERT_TRUE(report);
  const bool cutShort = fault == Fault::truncated || fault == Fault::deleted;
  EXPECT_EQ(report->error.has_value(), !report->location) << "exactly one of the two";
  if (report->location) {
    EXPECT_TRUE(cutShort) << *report->location;
    const auto info = Vornex::FileInfo::make(*report->location);
    EXPECT_TRUE(info && info->chanelsCount() == 2 && info->duration() > 0);
  }
  EXPECT_TRUE(eventually([&] { return entries("/proc/self/fd") == descriptors; }));
  EXPECT_TRUE(childless());
  EXPECT_EQ(reports.count(), 1U);
}

// Each in a fresh process: the file-size limit and SIGXFSZ are the whole process's.
TEST(Fault, EveryFaultThroughBothEngines) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const Engine engine : {Engine::ffmpeg, Engine::ext}) {
    for (int f = 0; f <= static_cast<int>(Fault::tmpReadOnly); ++f) {
      if (engine == Engine::ext && f == static_cast<int>(Fault::ffmpegKilled)) continue;
      SCOPED_TRACE(std::to_string(engine == Engine::ffmpeg) + " ffmpeg, fault " +
                   std::to_string(f));
      EXPECT_EXIT(
          (convertDespite(engine, static_cast<Fault>(f)), ::_exit(::testing::Test::HasFailure())),
          ::testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
