// SPDX-License-Identifier: MIT
#include "platform/av/log.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "support/support.hpp"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace vornlib::test;
namespace fs = std::filesystem;

// Files FFmpeg has words for: a duration estimated, a packet cut short, a stream it cannot find.
void makeNoisyFiles(const fs::path& dir) {
  makeTone(dir / "tone.wav", 2, 44100, 2);
  makeTone(dir / "tone.aac", 2, 44100, 2);
  makeTone(dir / "tone.caf", 2, 44100, 2);
  std::ifstream whole(dir / "tone.wav", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(whole)), {});
  std::ofstream(dir / "cut.wav", std::ios::binary) << bytes.substr(0, 100001);
  std::ofstream(dir / "noise.mp3", std::ios::binary)
      << "\xff\xfb\x90\x64" << std::string(20000, '\x5a');
}

std::optional<Vornex::Error> convertNatively(const fs::path& source, Vornex::Format format) {
  auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
  config->preferedConverter = Vornex::Config::PreferedConverterType::ext;
  Reports reports;
  Vornex::convert(source, config, reports.completion());
  return reports.first().value_or(Report{}).error;
}

// In a child whose standard error the test reads: Vornlib's probes and native conversions of
// noisy files print nothing there, FFmpeg's words reach the reason of a failure and, when asked
// for, the log sink; the host's own FFmpeg calls still print as FFmpeg does.
[[noreturn]] void noisyWork(const fs::path& dir) {
  const std::string printed = dir / "stderr.txt";
  const int file = ::open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0 || ::dup2(file, STDERR_FILENO) < 0) std::_Exit(1);
  LogCapture vornlibsOwnLines;  // "error = ..." is the system's line, not FFmpeg's
  std::string reason;
  Vornex::setObserver([&reason](const Vornex::Report& report) { reason = report.reason; });
  for (const char* name : {"tone.aac", "tone.caf", "cut.wav"})
    if (!Vornex::FileInfo::make(dir / name)) std::_Exit(2);
  if (convertNatively(dir / "cut.wav", Vornex::Format::wav) ||
      convertNatively(dir / "tone.wav", Vornex::Format::m4a))  // AAC's encoder talks as it ends
    std::_Exit(3);
  if (!convertNatively(dir / "noise.mp3", Vornex::Format::wav) ||
      reason.find("\n[mp3 @ ") == std::string::npos)
    std::_Exit(4);
  const std::size_t logged = vornlibsOwnLines.lines().size();
  vornlib::setFFmpegMessagesLogged(true);
  Vornex::FileInfo::make(dir / "tone.aac");
  vornlib::setFFmpegMessagesLogged(false);
  const auto lines = vornlibsOwnLines.lines();
  if (lines.size() != logged + 1 || lines.back().find("Estimating duration") == std::string::npos)
    std::_Exit(5);
  av_log(nullptr, AV_LOG_ERROR, "the host's own\n");
  std::ifstream in(printed);
  const std::string seen((std::istreambuf_iterator<char>(in)), {});
  std::_Exit(seen == "the host's own\n" ? 0 : 6);
}

TEST(FFmpegMessages, NoneReachTheHostsStandardErrorUnlessItsOwn) {
  const TempDir dir;
  const TmpdirScope scope(dir.path());
  makeNoisyFiles(dir.path());
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(noisyWork(dir.path()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
