// SPDX-License-Identifier: MIT
// Real conversions through the native engine and the FFmpeg-backed audio-file service, read
// back by the real ffmpeg and ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "native/vorn_ext_audio_converter.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Format = Vornex::Format;
using Codec = Vornex::Codec;
using namespace vornlib::test;  // NOLINT: the helpers shared by the tests

// Every sample of `file` as interleaved 32-bit integers, decoded by the real ffmpeg.
std::vector<std::int32_t> decode(const fs::path& file) {
  std::string raw;
  EXPECT_EQ(runProgram({VORNLIB_TEST_FFMPEG, "-v", "quiet", "-i", file, "-f", "s32le", "-"}, &raw),
            0);
  std::vector<std::int32_t> samples(raw.size() / 4);
  std::memcpy(samples.data(), raw.data(), samples.size() * 4);
  return samples;
}

// Through the public entry with the native engine; one report is the fault test's.
Report convert(const fs::path& source, Vornex::Config config) {
  config.preferedConverter = Vornex::Config::PreferedConverterType::ext;
  Reports reports;
  Vornex::convert(source, std::make_shared<Vornex::Config>(config), reports.completion());
  return reports.first().value_or(Report{});
}

// The engine's own part: the rate, the channels and the flac description it asks for; how each
// container and codec stores samples is the writer's tests'. A bad source, whose status is the
// service's tests', leaves no output and no descriptor open; a full disk is the fault test's.
TEST(NativeConversion, ConvertsEachSourceKindAndLeavesNothingOfABadOne) {
  const TempDir dir, out;  // outputs go to `out`, where a stray file shows
  const TmpdirScope outputs(out.path());
  // 440 Hz on the left and silence on the right, so that a mix-down shows.
  makeTone(dir / "s16.wav", 0.5, 44100, 2, {"-af", "pan=stereo|c0=c0|c1=0*c0"});
  makeTone(dir / "s24.flac", 0.5, 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"});
  makeTone(dir / "tone.mp3", 0.5, 44100, 2, {"-c:a", "libmp3lame"});
  fs::copy_file(dir / "s16.wav", dir / "truncated.wav");
  fs::resize_file(dir / "truncated.wav", 30);  // cut inside the header
  fs::create_directory(dir / "directory.wav");
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
  const auto before = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  for (const char* name : {"missing.wav", "truncated.wav", "directory.wav", "fifo.wav"}) {
    const auto report =
        convert(dir / name, Vornex::Config(Format::wav, Codec::linearPCM, 44100, 16, 2, 0));
    ASSERT_TRUE(report.error) << name;
    EXPECT_NE(std::get<ExtError>(*report.error).status(), 0) << name;  // an osstatusError
    EXPECT_TRUE(fs::is_empty(out.path())) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), before);
  // The length at the new rate within a frame, every sample where nothing is lost, or the
  // mix-down being the channels' average; what each container states is the writer's tests'.
  enum Check { length, exact, average };
  using Row = std::tuple<const char*, double, Format, Codec, int, int, int, Check>;
  const Row rows[] = {
      {"s16.wav", 44100, Format::wav, Codec::linearPCM, 22050, 8, 2, length},
      {"s16.wav", 44100, Format::wav, Codec::linearPCM, 44100, 24, 1, average},
      {"s24.flac", 48000, Format::flac, Codec::flac, 48000, 24, 2, exact},
      {"tone.mp3", 44100, Format::caf, Codec::linearPCM, 44100, 16, 2, length},
  };
  for (const auto& [name, sourceRate, format, codec, rate, bits, channels, check] : rows) {
    SCOPED_TRACE(::testing::Message() << name << " " << format.rawValue() << " " << bits);
    const auto report = convert(dir / name, Vornex::Config(format, codec, rate, bits, channels, 0));
    ASSERT_TRUE(report.location) << std::get<ExtError>(report.error.value()).what();
    const auto source = decode(dir / name), output = decode(*report.location);
    const double frames = double(source.size()) / 2 * rate / sourceRate;  // every source stereo
    EXPECT_NEAR(double(output.size()) / channels, frames, 1);
    EXPECT_TRUE(check != exact || output == source);
    for (std::size_t i = 0; check == average && i < output.size(); ++i)
      ASSERT_NEAR(output[i], (double(source[2 * i]) + source[2 * i + 1]) / 2, 256.0) << i;
  }
}

}  // namespace
