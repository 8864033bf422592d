#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/probe_provider.hpp"
#include "support/support.hpp"

namespace {

// Damaged files that once gave a tree where ffprobe gives up, and neighbours that ffprobe still
// reports, odd values and all: a mono 16-bit WAV tone with one 16-bit little-endian field of its
// header rewritten (the channel count at byte 22, the bit depth at 34).
TEST(ProbeRegression, GivesATreeExactlyWhenFfprobeReportsTheFile) {
  const std::tuple<const char*, std::size_t, int, bool> cases[] = {
      {"too many channels", 22, 65282, true},
      {"no channel", 22, 0, true},
      {"300 channels", 22, 300, false},
      {"0 bits: no codec", 34, 0, false}};
  const vornlib::test::TempDir dir;
  const std::string tone = dir / "tone.wav", file = dir / "damaged.wav";
  vornlib::test::makeTone(tone, 0.1, 8000, 1, {"-c:a", "pcm_s16le"});
  std::ifstream in(tone, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  for (const auto& [name, offset, value, refused] : cases) {
    SCOPED_TRACE(name);
    std::string damaged = bytes;
    damaged.replace(offset, 2, {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)});
    std::ofstream(file, std::ios::binary) << damaged;
    EXPECT_EQ(vornlib::test::runProgram({VORNLIB_TEST_FFPROBE, "-v", "quiet", file}) != 0, refused);
    EXPECT_EQ(vornlib::platform::ffmpegProbeProvider().getMediaInformation(file) == nullptr,
              refused);
  }
}

}  // namespace
