#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/audio_file.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vornlib::platform::audio;
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
std::vector<float> tone(double rate, std::uint32_t channels, int bits) {
  std::vector<float> samples(static_cast<std::size_t>(rate) * channels);
  const double scale = std::ldexp(1.0, std::min(bits, 24) - 1);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<float>(std::round(0.6 * std::sin(0.05 * double(i)) * scale) / scale);
  return samples;
}

// Writes `samples` as a client of `rate` and the file's channels, in the engine's blocks; the
// first failing status, else dispose's.
OSStatus writeFile(const fs::path& path, AudioFileTypeID type, const Desc& d,
                   const std::vector<float>& samples, double rate, std::uint32_t flags = 1) {
  ExtAudioFileRef file = nullptr;
  OSStatus status = service.ExtAudioFileCreateWithURL(path, type, &d, nullptr, flags, &file);
  if (status != noErr) return status;
  const std::uint32_t channels = d.mChannelsPerFrame;
  const Desc client{rate, kPcm, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
  status = service.ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat,
                                           sizeof client, &client);
  for (std::uint32_t at = 0, n = 0; status == noErr && at < samples.size() / channels; at += n) {
    n = std::min(16384 / channels, std::uint32_t(samples.size() / channels) - at);
    AudioBufferList list{
        1, {{channels, n * 4 * channels, const_cast<float*>(&samples[at * channels])}}};
    status = service.ExtAudioFileWrite(file, n, &list);
  }
  const OSStatus disposed = service.ExtAudioFileDispose(file);
  return status != noErr ? status : disposed;
}

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// One row per way the writer stores samples: each packing, each AIFF-C tag, each encoder and
// each kind of muxer (with and without a global header).
TEST(AudioFileWrite, WritesEachFormatReadableAsDescribed) {
  const struct {
    AudioFileTypeID type;
    Desc d;
    const char* codec;
    double clientRate = 0;  // when the client's rate differs from the file's
  } rows[] = {
      // clang-format off
      {kWav, desc(12, 8, 2), "pcm_u8"},        {kWav, desc(12, 16, 2), "pcm_s16le", 48000},
      {kWav, desc(12, 24, 1), "pcm_s24le"},    {kWav, desc(9, 32, 2), "pcm_f32le"},
      {kAiff, desc(14, 16, 2), "pcm_s16be"},   {kAifc, desc(14, 8, 2), "pcm_s8"},
      {kAifc, desc(14, 24, 1), "pcm_s24be"},   {kAifc, desc(14, 32, 2), "pcm_s32be"},
      {kAifc, desc(14, 8, 1, 8000, kULaw), "pcm_mulaw"},
      {kWav, desc(12, 8, 2, 8000, kALaw), "pcm_alaw"},
      {kFlac, {44100, kFlacData, 1, 0, 4608, 0, 2, 16, 0}, "flac"},  // as FormatInfo gives (below)
      {kFlac, {96000, kFlacData, 3, 0, 8192, 0, 1, 24, 0}, "flac"},
      {kM4a, desc(12, 16, 2, 44100, kAac), "aac"}, {kM4a, desc(12, 16, 2, 44100, kAlac), "alac"},
      {kAudioFileAAC_ADTSType, desc(12, 16, 2, 22050, kAac), "aac"},
      {kCaf, desc(12, 24, 2, 44100, kAlac), "alac"}};
  // clang-format on
  vornlib::test::TempDir dir;
  for (const auto& [type, d, codec, clientRate] : rows) {
    const bool lossy = d.mFormatID == kAac || d.mFormatID == kALaw || d.mFormatID == kULaw;
    const double rate = clientRate > 0 ? clientRate : d.mSampleRate;
    const std::vector<float> written = tone(rate, d.mChannelsPerFrame, int(d.mBitsPerChannel));
    const fs::path path = dir / (std::string(codec) + std::to_string(d.mBitsPerChannel));
    SCOPED_TRACE(path.string());
    ASSERT_EQ(writeFile(path, type, d, written, rate), noErr);
    const auto probed = vornlib::test::ffprobeAudio(path);
    EXPECT_EQ(std::tuple(probed.codecName, probed.sampleRate, probed.channels),
              std::tuple(codec, std::to_string(int(d.mSampleRate)), int(d.mChannelsPerFrame)));
    if (type == kAiff || type == kAifc) {  // the FORM type tells plain AIFF from AIFF-C
      EXPECT_EQ(bytesOf(path).substr(8, 4), type == kAiff ? "AIFF" : "AIFC");
    }
    // Decoded to 32 bits, each sample k / 2^(bits-1) reads back as k * 2^(32-bits). Every frame
    // comes back, none lost in the converter or the encoder; AAC adds whole frames of padding.
    ASSERT_EQ(vornlib::test::runProgram({VORNLIB_TEST_FFMPEG, "-v", "error", "-y", "-i", path, "-f",
                                         "s32le", dir / "raw"}),
              0);
    const std::string raw = bytesOf(dir / "raw");
    const std::size_t samples = std::size_t(d.mSampleRate) * d.mChannelsPerFrame;
    ASSERT_GE(raw.size() / 4, samples);
    ASSERT_LE(raw.size() / 4, samples + (d.mFormatID == kAac ? 3072 * d.mChannelsPerFrame : 0));
    for (std::size_t i = 0; !lossy && clientRate == 0 && i < samples; ++i) {
      std::int32_t value = 0;
      std::memcpy(&value, raw.data() + 4 * i, 4);
      ASSERT_EQ(value, std::int32_t(std::ldexp(written[i], 31))) << i;
    }
  }
}

TEST(AudioFileWrite, RefusesWhatItCannotWriteExactlyBeforeCreatingAnything) {
  // clang-format off
  const std::pair<AudioFileTypeID, Desc> rows[] = {
      {kAudioFileMP3Type, desc(12, 16, 2)}, {kWav, desc(14, 16, 2)}, {kAiff, desc(9, 32, 2)},
      {kWav, desc(12, 12, 1)}, {kWav, desc(12, 16, 0)}, {kWav, desc(12, 16, 100000)},
      {kWav, desc(12, 16, 2, 44100.5)}, {kCaf, desc(12, 16, 2, 1e12)},
      {kWav, {44100, kPcm, 12, 2, 1, 2, 2, 16, 0}}, {kWav, desc(12, 16, 1, 8000, kALaw)},
      {kAiff, desc(14, 8, 1, 8000, kULaw)}, {kCaf, desc(9, 32, 2, 44100, kAlac)},
      {kWav, desc(12, 16, 2, 44100, kAac)}, {kM4a, desc(12, 16, 2, 44101, kAac)},
      {kFlac, desc(12, 16, 2, 44100, kFlacData)},
      // A block size the encoder does not use: refused only once the encoder is open.
      {kFlac, {44100, kFlacData, 1, 0, 1000, 0, 2, 16, 0}}};
  // clang-format on
  vornlib::test::TempDir dir;
  for (const auto& [type, d] : rows) {
    ExtAudioFileRef file = nullptr;
    EXPECT_EQ(service.ExtAudioFileCreateWithURL(dir / "x", type, &d, nullptr, 1, &file),
              type == kAudioFileMP3Type ? kAudioFileUnsupportedFileTypeError : kFormatErr);
    EXPECT_FALSE(file || fs::exists(dir / "x")) << d.mFormatID << " " << d.mBitsPerChannel;
  }
  // The lossless format's block size is its encoder's; what that cannot write has none.
  // clang-format off
  const std::tuple<std::uint32_t, std::uint32_t, double, std::uint32_t> blocks[] = {
      {16, 2, 44100, 4608}, {24, 8, 96000, 8192}, {32, 2, 44100, 0}, {16, 9, 44100, 0},
      {16, 2, 65537, 0}};  // clang-format on
  for (const auto& [bits, channels, rate, block] : blocks) {
    Desc d{rate, kFlacData, 0, 0, 0, 0, channels, bits, 0};
    std::uint32_t size = sizeof d;
    const OSStatus status =
        service.AudioFormatGetProperty(kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &d);
    EXPECT_EQ(std::tuple(status, d.mFramesPerPacket, d.mFormatFlags, d.mBytesPerFrame),
              block == 0 ? std::tuple(kFormatErr, 0U, 0U, 0U)
                         : std::tuple(noErr, block, bits == 16 ? 1U : 3U, 0U));
  }
}

TEST(AudioFileWrite, CreatesExclusivelyAndReportsAFileSizeLimit) {
  vornlib::test::TempDir dir;
  const Desc d = desc(12, 16, 2);
  const std::vector<float> samples = tone(44100, 2, 16);
  std::ofstream(dir / "regular") << "old";
  std::ofstream(dir / "target") << "target";
  fs::create_symlink(dir / "target", dir / "link");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(writeFile(dir / "regular", kWav, d, samples, 44100, 0), dupFNErr);
  EXPECT_EQ(writeFile(dir / "regular", kWav, d, samples, 44100), noErr);
  EXPECT_EQ(bytesOf(dir / "regular").substr(0, 4), "RIFF");
  EXPECT_EQ(fs::status(dir / "regular").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  for (const char* name : {"link", "dangling"})
    EXPECT_EQ(writeFile(dir / name, kWav, d, samples, 44100), dupFNErr) << name;
  EXPECT_EQ(bytesOf(dir / "target"), "target");
  EXPECT_FALSE(fs::exists(dir / "nowhere"));

  const pid_t child = ::fork();  // the limit, and ignoring the signal it raises, are the child's
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(writeFile(dir / "limited", kWav, d, samples, 44100) == dskFulErr ? 0 : 1);
  }
  int waited = 0;
  ASSERT_EQ(::waitpid(child, &waited, 0), child);
  EXPECT_TRUE(WIFEXITED(waited) && WEXITSTATUS(waited) == 0) << waited;
}

}  // namespace
