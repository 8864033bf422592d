// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/audio_file/audio_file.hpp"
#include "support/support.hpp"

extern "C" {
#include <libavformat/version.h>
}

namespace {

namespace fs = std::filesystem;
using namespace vornlib::platform::audio;
using namespace vornlib::test;  // NOLINT: the helpers shared by the tests
using Desc = AudioStreamBasicDescription;
constexpr AudioFileTypeID kWav = kAudioFileWAVEType, kCaf = kAudioFileCAFType,
                          kAiff = kAudioFileAIFFType, kAifc = kAudioFileAIFCType,
                          kFlac = kAudioFileFLACType, kM4a = kAudioFileM4AType;
constexpr AudioFormatID kPcm = kAudioFormatLinearPCM, kAac = kAudioFormatMPEG4AAC,
                        kAlac = kAudioFormatAppleLossless, kALaw = kAudioFormatALaw,
                        kULaw = kAudioFormatULaw, kFlacData = kAudioFormatFLAC;
constexpr OSStatus kFormatErr = kAudioFileUnsupportedDataFormatError;

AudioFileService& service = ffmpegAudioFileService();

// A description as the engine builds it: packed-sample fields, compressed formats included.
Desc desc(std::uint32_t flags, std::uint32_t bits, std::uint32_t channels, double rate = 44100,
          AudioFormatID format = kPcm) {
  const std::uint32_t bytes = channels * bits / 8;
  return {rate, format, flags, bytes, 1, bytes, channels, bits, 0};
}

// One second of a tone whose samples are exact at `bits` (at most 24): k / 2^(bits-1).
std::vector<float> tone(const Desc& d) {
  std::vector<float> samples(static_cast<std::size_t>(d.mSampleRate) * d.mChannelsPerFrame);
  const double scale = std::ldexp(1.0, int(std::min(d.mBitsPerChannel, 24U)) - 1);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<float>(std::round(0.6 * std::sin(0.05 * double(i)) * scale) / scale);
  return samples;
}

// Writes tone(d) in one call, as a float client of the file's rate and channels (the writer cuts
// it in steps of its own); the first failing status, else dispose's.
OSStatus writeFile(const fs::path& path, AudioFileTypeID type, const Desc& d,
                   std::uint32_t flags = 1) {
  std::vector<float> samples = tone(d);
  ExtAudioFileRef file = nullptr;
  OSStatus status = service.ExtAudioFileCreateWithURL(path, type, &d, nullptr, flags, &file);
  if (status != noErr) return status;
  const std::uint32_t channels = d.mChannelsPerFrame, frames = std::uint32_t(d.mSampleRate);
  const Desc client{d.mSampleRate, kPcm, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
  AudioBufferList list{1, {{channels, frames * 4 * channels, samples.data()}}};
  status = service.ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat,
                                           sizeof client, &client);
  if (status == noErr) status = service.ExtAudioFileWrite(file, frames, &list);
  const OSStatus disposed = service.ExtAudioFileDispose(file);
  return status != noErr ? status : disposed;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// One row per way the writer stores samples: each packing, each encoder, each container and
// AIFF-C's tags; the muxer with a global header among them. FLAC, written with the block size
// its encoder gives, is the native engine's conversion test's.
TEST(AudioFileWrite, WritesEachFormatReadableAsDescribed) {
  // clang-format off
  const std::tuple<AudioFileTypeID, Desc, const char*> rows[] = {
      {kWav, desc(12, 8, 2), "pcm_u8"},      {kAifc, desc(14, 8, 1, 8000, kULaw), "pcm_mulaw"},
      {kWav, desc(12, 16, 2), "pcm_s16le"},  {kWav, desc(12, 8, 2, 8000, kALaw), "pcm_alaw"},
      {kWav, desc(12, 24, 1), "pcm_s24le"},  {kCaf, desc(9, 32, 2), "pcm_f32le"},
      {kAiff, desc(14, 16, 2), "pcm_s16be"}, {kAifc, desc(14, 8, 2), "pcm_s8"},
      {kAifc, desc(14, 24, 1), "pcm_s24be"}, {kAifc, desc(14, 32, 2), "pcm_s32be"},
      {kM4a, desc(12, 16, 2, 44100, kAac), "aac"}, {kM4a, desc(12, 24, 2, 44100, kAlac), "alac"}};
  // clang-format on
  TempDir dir;
  for (const auto& [type, d, codec] : rows) {
    const std::vector<float> written = tone(d);
    const fs::path path = dir / codec;
    SCOPED_TRACE(codec);
    ASSERT_EQ(writeFile(path, type, d), noErr);
    const auto probed = ffprobeAudio(path);
    EXPECT_EQ(std::tuple(probed.codecName, probed.sampleRate, probed.channels),
              std::tuple(codec, std::to_string(int(d.mSampleRate)), int(d.mChannelsPerFrame)));
    const std::string form = type == kAiff ? "AIFF" : type == kAifc ? "AIFC" : "";
    EXPECT_TRUE(form.empty() || bytesOf(path).substr(8, 4) == form);  // plain AIFF or AIFF-C
    // Decoded to 32 bits, each sample k / 2^(bits-1) reads back as k * 2^(32-bits). Every frame
    // comes back, none lost in the converter or the encoder; AAC adds whole frames of padding.
    std::string raw;
    ASSERT_EQ(
        runProgram({VORNLIB_TEST_FFMPEG, "-v", "quiet", "-i", path, "-f", "s32le", "-"}, &raw), 0);
    ASSERT_TRUE(raw.size() / 4 >= written.size() &&
                raw.size() / 4 <= written.size() + (d.mFormatID == kAac ? 3072 * 2 : 0));
    const bool lossy = d.mFormatID == kAac || d.mFormatID == kALaw || d.mFormatID == kULaw;
    for (std::size_t i = 0; !lossy && i < written.size(); ++i) {
      std::int32_t value = 0;
      std::memcpy(&value, raw.data() + 4 * i, 4);
      ASSERT_EQ(value, std::int32_t(std::ldexp(written[i], 31))) << i;
    }
  }
}

// One row per reason to refuse; a full disk is the fault test's, for the engine that writes
// through this service.
TEST(AudioFileWrite, RefusesWhatItCannotWriteExactlyAndCreatesExclusively) {
  // clang-format off
  const std::pair<AudioFileTypeID, Desc> rows[] = {
      {kAudioFileMP3Type, desc(12, 16, 2)}, {kWav, desc(14, 16, 2)}, {kWav, desc(12, 16, 2, 1e12)},
      {kWav, {44100, kPcm, 12, 2, 1, 2, 2, 16, 0}}, {kWav, desc(12, 16, 1, 8000, kALaw)},
      {kAiff, desc(14, 8, 1, 8000, kULaw)}, {kCaf, desc(9, 32, 2, 44100, kAlac)},
      {kWav, desc(12, 16, 2, 44100, kAac)}, {kM4a, desc(12, 16, 2, 44101, kAac)},
      {kFlac, desc(12, 16, 2, 44100, kFlacData)},
      {kFlac, {44100, kFlacData, 1, 0, 1000, 0, 2, 16, 0}}};  // refused once the encoder is open
  // clang-format on
  TempDir dir;
  for (const auto& [type, d] : rows) {
    ExtAudioFileRef file = nullptr;
    EXPECT_EQ(service.ExtAudioFileCreateWithURL(dir / "x", type, &d, nullptr, 1, &file),
              type == kAudioFileMP3Type ? kAudioFileUnsupportedFileTypeError : kFormatErr);
    EXPECT_FALSE(file || fs::exists(dir / "x")) << d.mFormatID << " " << d.mBitsPerChannel;
  }
  const Desc d = desc(12, 16, 2);
  std::ofstream(dir / "regular") << "old";
  std::ofstream(dir / "target") << "target";
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(writeFile(dir / "regular", kWav, d, 0), dupFNErr);
  EXPECT_EQ(writeFile(dir / "regular", kWav, d), noErr);
  EXPECT_EQ(bytesOf(dir / "regular").substr(0, 4), "RIFF");
  EXPECT_EQ(fs::status(dir / "regular").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  for (const char* name : {"link", "dangling"})
    EXPECT_EQ(writeFile(dir / name, kWav, d), dupFNErr) << name;
  EXPECT_EQ(bytesOf(dir / "target"), "target");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// Tags go into the header until audio is written, with or without any: the last set counts, and
// the last text of a key given twice. An opened file's are read, never set.
TEST(AudioFileWrite, TakesTagsUntilAudioIsWritten) {
  TempDir dir;
  const Desc d = desc(12, 16, 2);
  using Tags = AudioFileInfoDictionary;
  const auto set = [](ExtAudioFileRef file, const Tags& tags) {
    return service.ExtAudioFileSetProperty(file, kExtAudioFileProperty_InfoDictionary, sizeof tags,
                                           &tags);
  };
  std::vector<float> samples(200);
  for (const std::uint32_t frames : {100U, 0U}) {
    SCOPED_TRACE(frames);
    const fs::path path = dir / (std::to_string(frames) + ".wav");
    ExtAudioFileRef file = nullptr;
    ASSERT_EQ(service.ExtAudioFileCreateWithURL(path, kWav, &d, nullptr, 1, &file), noErr);
    Tags read;
    std::uint32_t size = sizeof read;
    EXPECT_EQ(
        service.ExtAudioFileGetProperty(file, kExtAudioFileProperty_InfoDictionary, &size, &read),
        kExtAudioFileError_InvalidProperty);
    EXPECT_EQ(set(file, {{"title", "first"}}), noErr);
    EXPECT_EQ(set(file, {{"title", std::string("a\0b", 3)}}), paramErr);
    EXPECT_EQ(set(file, {{"Title", "A"}, {"artist", "B"}, {"TITLE", "C"}}), noErr);
    AudioBufferList list{1, {{2, 800, samples.data()}}};
    EXPECT_EQ(service.ExtAudioFileWrite(file, frames, &list), noErr);
    EXPECT_EQ(set(file, {{"artist", "B"}, {"title", "C"}}),
              frames ? kExtAudioFileError_InvalidOperationOrder : noErr);
    ASSERT_EQ(service.ExtAudioFileDispose(file), noErr);
    ASSERT_EQ(service.ExtAudioFileOpenURL(path, &file), noErr);
    EXPECT_EQ(
        service.ExtAudioFileGetProperty(file, kExtAudioFileProperty_InfoDictionary, &size, &read),
        noErr);
    EXPECT_EQ(read, (Tags{{"artist", "B"}, {"title", "C"}, {"encoder", LIBAVFORMAT_IDENT}}));
    EXPECT_EQ(set(file, {}), kExtAudioFileError_InvalidProperty);
    EXPECT_EQ(service.ExtAudioFileDispose(file), noErr);
  }
}

}  // namespace
