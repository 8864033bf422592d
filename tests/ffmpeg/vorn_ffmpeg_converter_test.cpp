// The FFmpeg engine against the real ffmpeg program.
#include <gtest/gtest.h>

#include "support/support.hpp"

namespace {

using vornlib::test::LogCapture;
using vornlib::test::Reports;
using Format = Vornex::Format;
using Codec = Vornex::Codec;

class FFmpegEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<vornlib::test::TempDir>();
    source_ = *dir_ / "tone.wav";
    vornlib::test::makeTone(source_, 0.5, 44100, 2);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::optional<vornlib::test::Report> convert(const Vornex::Config& config,
                                                      const std::filesystem::path& source) {
    Reports reports;
    VornFFMpegConverter().convert(source, config, reports.completion());
    auto report = reports.first();
    EXPECT_EQ(reports.count(), 1U);
    return report;
  }

  static inline std::unique_ptr<vornlib::test::TempDir> dir_;
  static inline std::filesystem::path source_;
};

// One row per argument string: the PCM family (left to the extension), the bit-rate codecs
// (each encoder, at 48 kHz), the aac container and wma, and the lossless codecs.
TEST_F(FFmpegEngine, EveryArgumentShapeGivesAFileFFprobeReads) {
  const std::tuple<Format, Codec, const char*, const char*> rows[] = {
      {Format::wav, Codec::linearPCM, "pcm_s16le", "22050"},
      {Format::aac, Codec::aac, "aac", "22050"},
      {Format::m4a, Codec::aac, "aac", "48000"},
      {Format::m4a, Codec::alac, "alac", "22050"},
      {Format::mp4, Codec::ac3, "ac3", "48000"},
      // MP4 files tag MPEG-1 audio of every layer alike, so readers see the MP2 stream as mp3.
      {Format::mp4, Codec::mp2, "mp3", "48000"},
      {Format::flac, Codec::flac, "flac", "22050"},
      {Format::mp3, Codec::mp3, "mp3", "48000"},
      {Format::ogg, Codec::vorbis, "vorbis", "48000"},
      {Format::ogg, Codec::oggPCM, "flac", "22050"},
      {Format::wma, Codec::wma, "wmav2", "22050"},
  };
  for (const auto& [format, codec, probedCodec, probedRate] : rows) {
    SCOPED_TRACE(std::string(format.rawValue()) + "/" + std::string(codec.rawValue()));
    const auto report = convert(Vornex::Config(format, codec, 22050, 16, 1, 96), source_);
    ASSERT_TRUE(report && report->location);
    EXPECT_EQ(report->location->extension().native(),
              std::string(".").append(format.fileExtension()));
    const auto probed = vornlib::test::ffprobeAudio(*report->location);
    EXPECT_EQ(std::tuple(probed.codecName, probed.sampleRate, probed.channels),
              std::tuple(probedCodec, probedRate, 1));
    std::filesystem::remove(*report->location);
  }
}

// A missing source and a missing program end alike: one log line, then the error, reported
// on another thread.
TEST_F(FFmpegEngine, AFailedRunIsLoggedThenReportedOnAnotherThread) {
  const Vornex::Config config(Format::mp3, std::nullopt, 44100, 16, 2, 128);
  const auto program = vornlib::ffmpegProgram();
  for (const bool missingProgram : {false, true}) {
    if (missingProgram) vornlib::setFFmpegProgram("/nonexistent/ffmpeg");
    const auto source = missingProgram ? source_ : *dir_ / "missing.wav";
    LogCapture log;
    const auto report = convert(config, source);
    vornlib::setFFmpegProgram(program);
    ASSERT_TRUE(report && report->error);
    EXPECT_NE(report->thread, std::this_thread::get_id());
    EXPECT_EQ(std::get<VornError>(*report->error), VornError::ffmpegUnknownError);
    ASSERT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.lines()[0].rfind("Command = -i \"" + source.native() + "\"", 0), 0U);
  }
}

TEST_F(FFmpegEngine, ConversionsAtOnceCompleteIndependently) {
  const Vornex::Config config(Format::flac, std::nullopt, 44100, 16, 2, 128);
  std::vector<std::unique_ptr<Reports>> all;
  for (int i = 0; i < 4; ++i) {
    all.push_back(std::make_unique<Reports>());
    // The engine object is gone as soon as the call returns.
    VornFFMpegConverter().convert(source_, config, all.back()->completion());
  }
  std::set<std::filesystem::path> outputs;
  for (auto& reports : all) {
    const auto report = reports->first();
    ASSERT_TRUE(report && report->location);
    EXPECT_TRUE(std::filesystem::is_regular_file(*report->location));
    outputs.insert(*report->location);
  }
  EXPECT_EQ(outputs.size(), all.size());
  for (const auto& output : outputs) std::filesystem::remove(output);
}

}  // namespace
