// Real conversions through the native engine and the FFmpeg-backed audio-file service, read
// back by the real ffmpeg and ffprobe.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "native/vorn_ext_audio_converter.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Format = Vornex::Format;
using Codec = Vornex::Codec;
using vornlib::test::makeTone;
using vornlib::test::runProgram;

class NativeConversion : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<vornlib::test::TempDir>();
    // Outputs go to a directory of their own, where a stray file shows and none outlives us.
    if (const char* tmpdir = std::getenv("TMPDIR")) savedTmpdir_ = tmpdir;
    fs::create_directory(*dir_ / "out");
    ::setenv("TMPDIR", (*dir_ / "out").c_str(), 1);
    // 440 Hz on the left and silence on the right, so that a mix-down shows.
    makeTone(*dir_ / "s16.wav", 0.5, 44100, 2,
             {"-af", "pan=stereo|c0=c0|c1=0*c0", "-c:a", "pcm_s16le"});
    makeTone(*dir_ / "s24.flac", 0.5, 48000, 2, {"-c:a", "flac", "-sample_fmt", "s32"});
    makeTone(*dir_ / "tone.mp3", 0.5, 44100, 2, {"-c:a", "libmp3lame"});
    makeTone(*dir_ / "tone.m4a", 0.5, 48000, 1, {"-c:a", "aac"});
    makeTone(*dir_ / "tone.ogg", 0.5, 22050, 1, {"-c:a", "libvorbis"});
  }
  static void TearDownTestSuite() {
    savedTmpdir_ ? ::setenv("TMPDIR", savedTmpdir_->c_str(), 1) : ::unsetenv("TMPDIR");
    dir_.reset();
  }

  // Every sample of `file` as interleaved 32-bit integers, decoded by the real ffmpeg.
  static std::vector<std::int32_t> decode(const fs::path& file) {
    const fs::path raw = *dir_ / "decoded.raw";
    EXPECT_EQ(runProgram({VORNLIB_TEST_FFMPEG, "-nostdin", "-v", "error", "-y", "-i", file.native(),
                          "-f", "s32le", "-c:a", "pcm_s32le", raw.native()}),
              0);
    std::vector<std::int32_t> samples(fs::file_size(raw) / 4);
    std::ifstream(raw, std::ios::binary)
        .read(reinterpret_cast<char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 4));
    return samples;
  }

  // Through the public entry with the native engine, which reports before it returns.
  static vornlib::test::Report convert(const fs::path& source, const Vornex::Config& config) {
    auto shared = std::make_shared<Vornex::Config>(config);
    shared->preferedConverter = Vornex::Config::PreferedConverterType::ext;
    vornlib::test::Reports reports;
    Vornex::convert(source, shared, reports.completion());
    EXPECT_EQ(reports.count(), 1U);
    return reports.count() ? *reports.first() : vornlib::test::Report{};
  }

  static inline std::unique_ptr<vornlib::test::TempDir> dir_;
  static inline std::optional<std::string> savedTmpdir_;
};

TEST_F(NativeConversion, EveryNativeFormatAndCodecReadsBackAsWritten) {
  // Beyond what ffprobe sees: the length (not for lossy encoders, which pad the end), every
  // sample where nothing is lost, or the mono mix-down being the average of the two channels.
  enum Check { probe, length, exact, average };
  // Source, format, codec, rate, bits, channels, what ffprobe names the codec, the check.
  using Row = std::tuple<const char*, Format, Codec, int, int, int, const char*, Check>;
  const Row rows[] = {
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 16, 2, "pcm_s16le", exact},
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 24, 2, "pcm_s24le", exact},
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 32, 2, "pcm_f32le", exact},
      {"s16.wav", Format::wav, Codec::linearPCM, 22050, 8, 2, "pcm_u8", length},
      {"s16.wav", Format::wav, Codec::linearPCM, 44100, 24, 1, "pcm_s24le", average},
      {"s16.wav", Format::aiff, Codec::linearPCM, 44100, 16, 2, "pcm_s16be", exact},
      {"s16.wav", Format::aiff, Codec::linearPCM, 44100, 32, 2, "pcm_s32be", exact},
      {"s16.wav", Format::aifc, Codec::linearPCM, 44100, 24, 2, "pcm_s24be", exact},
      {"s16.wav", Format::aifc, Codec::ulaw, 8000, 8, 1, "pcm_mulaw", length},
      {"s16.wav", Format::aifc, Codec::alaw, 44100, 8, 2, "pcm_alaw", length},
      {"s16.wav", Format::caf, Codec::linearPCM, 44100, 16, 2, "pcm_s16le", exact},
      {"s16.wav", Format::caf, Codec::alaw, 22050, 8, 1, "pcm_alaw", length},
      {"s16.wav", Format::caf, Codec::ulaw, 44100, 8, 2, "pcm_mulaw", length},
      {"s16.wav", Format::flac, Codec::flac, 44100, 16, 2, "flac", exact},
      {"s16.wav", Format::flac, Codec::flac, 96000, 24, 1, "flac", length},
      {"s16.wav", Format::m4a, Codec::alac, 44100, 16, 2, "alac", exact},
      {"s16.wav", Format::m4a, Codec::aac, 44100, 16, 2, "aac", probe},
      {"s16.wav", Format::mp4, Codec::aac, 48000, 16, 1, "aac", probe},
      {"s16.wav", Format::aac, Codec::aac, 44100, 16, 2, "aac", probe},
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
    const auto report =
        convert(*dir_ / name, Vornex::Config(format, codec, rate, bits, channels, 0));
    ASSERT_TRUE(report.location) << std::get<ExtError>(report.error.value()).what();
    const auto probed = vornlib::test::ffprobeAudio(*report.location);
    const auto in = vornlib::test::ffprobeAudio(*dir_ / name);
    EXPECT_EQ(probed.codecName + probed.sampleRate + "/" + std::to_string(probed.channels),
              probedCodec + std::to_string(rate) + "/" + std::to_string(channels));
    const auto source = decode(*dir_ / name), output = decode(*report.location);
    const double frames =
        static_cast<double>(source.size()) / in.channels * rate / std::stod(in.sampleRate);
    const double written = static_cast<double>(output.size()) / channels;
    EXPECT_TRUE(check == probe || std::abs(written - frames) <= 1) << written << " " << frames;
    EXPECT_TRUE(check != exact || output == source);
    for (std::size_t i = 0; check == average && i < output.size(); ++i) {
      const double mean = (static_cast<double>(source[2 * i]) + source[2 * i + 1]) / 2;
      ASSERT_NEAR(output[i], mean, 256.0) << "frame " << i;
    }
    fs::remove(*report.location);
  }
}

TEST_F(NativeConversion, ABadSourceFailsWithAStatusAndLeavesNoFile) {
  std::ofstream(*dir_ / "empty.wav").close();
  std::ofstream(*dir_ / "random.wav") << std::string(4096, '\x9b') << "\x01\xff";
  std::ofstream(*dir_ / "text.wav") << "RIFF is not enough: this is plain text.\n";
  fs::copy_file(*dir_ / "s16.wav", *dir_ / "truncated.wav");
  fs::resize_file(*dir_ / "truncated.wav", 30);  // cut inside the header
  fs::create_directory(*dir_ / "directory.wav");
  ASSERT_EQ(::mkfifo((*dir_ / "fifo.wav").c_str(), 0600), 0);
  const auto descriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
  for (const std::string name : {"missing.wav", "empty.wav", "random.wav", "text.wav",
                                 "truncated.wav", "directory.wav", "fifo.wav"}) {
    const auto report =
        convert(*dir_ / name, Vornex::Config(Format::wav, Codec::linearPCM, 44100, 16, 2, 0));
    ASSERT_TRUE(report.error) << name;
    const std::int64_t status = std::get<ExtError>(*report.error).status();  // osstatusError's
    EXPECT_TRUE(name == "missing.wav" ? status == -43 : status != 0) << name << " " << status;
    EXPECT_TRUE(fs::is_empty(*dir_ / "out")) << name;
  }
  EXPECT_EQ(descriptors(), before);  // every file the service opened was closed
}

TEST_F(NativeConversion, AFullDiskIsAFailureNotAWrittenFile) {
  makeTone(*dir_ / "long.wav", 4.0, 44100, 2);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // no test assertions here: the exit code is the verdict
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int verdict = 3;
    VornExtAudioConverter().convert(
        *dir_ / "long.wav", Vornex::Config(Format::wav, Codec::linearPCM, 44100, 16, 2, 0),
        [&verdict](auto location, auto error) {
          // Only osstatusError carries a status.
          verdict = location ? 1 : error && std::get<ExtError>(*error).status() != 0 ? 0 : 2;
        });
    ::_exit(verdict);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported as written; 2: another error; 3: no report";
}

}  // namespace
