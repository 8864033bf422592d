// Real conversions through the native engine and the FFmpeg-backed audio-file service, read
// back by the real ffmpeg and ffprobe.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "native/vorn_ext_audio_converter.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Format = Vornex::Format;
using Codec = Vornex::Codec;
using namespace vornlib::test;  // NOLINT: the helpers shared by the tests
const Vornex::Config kWav16(Format::wav, Codec::linearPCM, 44100, 16, 2, 0);

// Every sample of `file` as interleaved 32-bit integers, decoded by the real ffmpeg.
std::vector<std::int32_t> decode(const fs::path& file) {
  std::string raw;
  EXPECT_EQ(runProgram({VORNLIB_TEST_FFMPEG, "-v", "quiet", "-i", file, "-f", "s32le", "-"}, &raw),
            0);
  std::vector<std::int32_t> samples(raw.size() / 4);
  std::memcpy(samples.data(), raw.data(), samples.size() * 4);
  return samples;
}

// Through the public entry with the native engine, which reports before it returns.
Report convert(const fs::path& source, Vornex::Config config) {
  config.preferedConverter = Vornex::Config::PreferedConverterType::ext;
  Reports reports;
  Vornex::convert(source, std::make_shared<Vornex::Config>(config), reports.completion());
  EXPECT_EQ(reports.count(), 1U);
  return reports.count() ? *reports.first() : Report{};
}

TEST(NativeConversion, EveryNativeFormatAndCodecReadsBackAsWritten) {
  const TempDir dir;
  const TmpdirScope outputs(dir.path());
  // 440 Hz on the left and silence on the right, so that a mix-down shows.
  makeTone(dir / "s16.wav", 0.5, 44100, 2, {"-af", "pan=stereo|c0=c0|c1=0*c0"});
  makeTone(dir / "s24.flac", 0.5, 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"});
  makeTone(dir / "tone.mp3", 0.5, 44100, 2, {"-c:a", "libmp3lame"});
  makeTone(dir / "tone.m4a", 0.5, 48000, 1, {"-c:a", "aac"});
  makeTone(dir / "tone.ogg", 0.5, 22050, 1, {"-c:a", "libvorbis"});
  // Beyond ffprobe's codec, rate and channels: the length (lossy encoders pad the end), every
  // sample where nothing is lost, or the mix-down being the channels' average. A row per branch
  // of the description and per codec; the writer's tests cover every layout.
  enum Check { probe, length, exact, average };
  using Row = std::tuple<const char*, Format, Codec, int, int, int, const char*, Check>;
  const Row rows[] = {
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 16, 2, "pcm_s16le", exact},
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 32, 2, "pcm_f32le", exact},
      {"s16.wav", Format::wav, Codec::linearPCM, 22050, 8, 2, "pcm_u8", length},
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 24, 1, "pcm_s24le", average},
      {"s16.wav", Format::aiff, Codec::linearPCM, 44100, 32, 2, "pcm_s32be", exact},
      {"s16.wav", Format::aifc, Codec::ulaw, 8000, 8, 1, "pcm_mulaw", length},
      {"s16.wav", Format::caf, Codec::alaw, 22050, 8, 1, "pcm_alaw", length},
      {"s16.wav", Format::flac, Codec::flac, 96000, 24, 1, "flac", length},
      {"s16.wav", Format::m4a, Codec::alac, 44100, 16, 2, "alac", exact},
      {"s16.wav", Format::m4a, Codec::aac, 44100, 16, 2, "aac", probe},
      {"s24.flac", Format::wav, Codec::linearPCM, 48000, 24, 2, "pcm_s24le", exact},
      {"s24.flac", Format::flac, Codec::flac, 48000, 24, 2, "flac", exact},
      {"s24.flac", Format::mp4, Codec::alac, 48000, 24, 2, "alac", exact},
      {"s24.flac", Format::caf, Codec::linearPCM, 48000, 32, 2, "pcm_f32le", exact},
      {"tone.mp3", Format::wav, Codec::linearPCM, 44100, 16, 2, "pcm_s16le", length},
      {"tone.m4a", Format::aiff, Codec::linearPCM, 48000, 16, 1, "pcm_s16be", length},
      {"tone.ogg", Format::caf, Codec::linearPCM, 44100, 16, 2, "pcm_s16le", length},
  };
  for (const auto& [name, format, codec, rate, bits, channels, probedCodec, check] : rows) {
    SCOPED_TRACE(::testing::Message() << name << " " << format.rawValue() << " " << bits);
    const auto report = convert(dir / name, Vornex::Config(format, codec, rate, bits, channels, 0));
    ASSERT_TRUE(report.location) << std::get<ExtError>(report.error.value()).what();
    const auto probed = ffprobeAudio(*report.location);
    const auto in = ffprobeAudio(dir / name);
    EXPECT_EQ(std::tuple(probed.codecName, probed.sampleRate, probed.channels),
              std::tuple(probedCodec, std::to_string(rate), channels));
    const auto source = decode(dir / name), output = decode(*report.location);
    const double frames = double(source.size()) / in.channels * rate / std::stod(in.sampleRate);
    const double written = double(output.size()) / channels;
    EXPECT_TRUE(check == probe || std::abs(written - frames) <= 1) << written << " " << frames;
    EXPECT_TRUE(check != exact || output == source);
    for (std::size_t i = 0; check == average && i < output.size(); ++i)
      ASSERT_NEAR(output[i], (double(source[2 * i]) + source[2 * i + 1]) / 2, 256.0) << i;
  }
}

// Which status each kind of bad source gets is the service's tests'; here: no output, no
// descriptor left open.
TEST(NativeConversion, ABadSourceFailsWithAStatusAndLeavesNoFile) {
  const TempDir dir, out;  // outputs go to `out`, where a stray file shows
  const TmpdirScope outputs(out.path());
  makeTone(dir / "truncated.wav", 0.5, 44100, 2);
  fs::resize_file(dir / "truncated.wav", 30);  // cut inside the header
  std::ofstream(dir / "empty.wav").close();
  std::ofstream(dir / "random.wav") << std::string(4096, '\x9b') << "\x01\xff";
  fs::create_directory(dir / "directory.wav");
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
  const auto before = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  for (const char* name :
       {"missing.wav", "empty.wav", "random.wav", "truncated.wav", "directory.wav", "fifo.wav"}) {
    const auto report = convert(dir / name, kWav16);
    ASSERT_TRUE(report.error) << name;
    EXPECT_NE(std::get<ExtError>(*report.error).status(), 0) << name;  // an osstatusError
    EXPECT_TRUE(fs::is_empty(out.path())) << name;
  }
  // Every file the service opened was closed.
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), before);
}

TEST(NativeConversion, AFullDiskIsAFailureNotAWrittenFile) {
  const TempDir dir;
  const TmpdirScope outputs(dir.path());
  makeTone(dir / "long.wav", 4.0, 44100, 2);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // no test assertions here: the exit code is the verdict
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int verdict = 3;  // 0 only for an osstatusError, the one error with a status
    VornExtAudioConverter().convert(dir / "long.wav", kWav16, [&verdict](auto at, auto error) {
      verdict = at ? 1 : error && std::get<ExtError>(*error).status() != 0 ? 0 : 2;
    });
    ::_exit(verdict);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0) << "exit 1: reported as written; 2: another error; 3: no report";
}

}  // namespace
