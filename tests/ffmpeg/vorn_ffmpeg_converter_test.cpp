// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "support/support.hpp"

namespace {

using Format = Vornex::Format;
using Codec = Vornex::Codec;

// The FFmpeg engine with the real ffmpeg, one row per shape of argument string: a bit-rate codec
// (as aac_at, which ffmpeg lacks), the aac container, wma, PCM left to the extension, a codec after
// a sample format, and a codec after an empty sample format.
TEST(FFmpegEngine, EveryArgumentShapeGivesAFileFFprobeReads) {
  const vornlib::test::TempDir dir;
  const vornlib::test::TmpdirScope scope(dir.path());  // the outputs go with it
  vornlib::test::makeTone(dir / "tone.wav", 0.5, 44100, 2);
  const std::tuple<Format, Codec, const char*, const char*> rows[] = {
      {Format::m4a, Codec::aac, "aac", "48000"},
      {Format::aac, Codec::aac, "aac", "22050"},
      {Format::wma, Codec::wma, "wmav2", "22050"},
      {Format::wav, Codec::linearPCM, "pcm_s16le", "22050"},
      {Format::flac, Codec::flac, "flac", "22050"},
      {Format::ogg, Codec::oggPCM, "flac", "22050"},
  };
  for (const auto& [format, codec, probedCodec, probedRate] : rows) {
    SCOPED_TRACE(std::string(format.rawValue()) + "/" + std::string(codec.rawValue()));
    vornlib::test::Reports reports;
    // The engine object is gone as soon as the call returns.
    VornFFMpegConverter().convert(dir / "tone.wav", Vornex::Config(format, codec, 22050, 16, 1, 96),
                                  reports.completion());
    const auto report = reports.first();
    ASSERT_TRUE(report && report->location && reports.count() == 1U);
    EXPECT_EQ(report->location->extension().native(),
              std::string(".").append(format.fileExtension()));
    const auto probed = vornlib::test::ffprobeAudio(*report->location);
    EXPECT_EQ(std::tuple(probed.codecName, probed.sampleRate, probed.channels),
              std::tuple(probedCodec, probedRate, 1));
  }
}

// Names with double quotes, one made to smuggle an option and a file of its own into ffmpeg's
// arguments, into a temporary directory whose name holds them too: the very file is converted,
// and nothing else is written.
TEST(FFmpegEngine, NamesWithDoubleQuotesConvertTheVeryFile) {
  namespace fs = std::filesystem;
  const vornlib::test::TempDir dir;
  const fs::path outputs = dir / "out \"q\"";
  fs::create_directory(outputs);
  const vornlib::test::TmpdirScope scope(outputs);
  const char* names[] = {"12\" Mix.wav", "Live at \"The Hall\".wav", "a\" -y \"evil.wav"};
  for (const char* name : names) {
    vornlib::test::makeTone(dir / name, 0.3, 22050, 1);
    vornlib::test::Reports reports;
    VornFFMpegConverter().convert(dir / name,
                                  Vornex::Config(Format::mp3, std::nullopt, 22050, 16, 1, 64),
                                  reports.completion());
    const auto report = reports.first();
    ASSERT_TRUE(report && report->location) << name;
    EXPECT_EQ(vornlib::test::ffprobeAudio(*report->location).codecName, "mp3") << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 4);  // the sources, outputs/
  EXPECT_EQ(std::distance(fs::directory_iterator(outputs), {}), 3);
  EXPECT_FALSE(fs::exists("evil.wav"));
}

}  // namespace
