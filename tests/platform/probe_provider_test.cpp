#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vornlib/file_info.hpp>

#include "platform/probe_provider.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Json = vornlib::platform::PropertyTree;
using Int = std::optional<int64_t>;

// Every container the library writes, from a 0.5 s tone unless the options bring their own input.
// The "-as-pcm.wav" files hold compressed data under a WAV header that declares 16-bit stereo
// PCM: FFmpeg recognises the codec from the data, and so must the probe.
const std::pair<const char*, const char*> kSamples[] = {
    {"s16.wav", "-ar 44100 -ac 2 -c:a pcm_s16le"},
    {"u8.wav", "-ar 8000 -ac 1 -c:a pcm_u8"},
    {"ulaw.wav", "-ar 8000 -ac 2 -c:a pcm_mulaw"},
    {"adts.aac", "-ar 22050 -ac 2 -c:a aac"},
    {"alaw.aifc", "-ar 8000 -ac 1 -c:a pcm_alaw"},
    {"s24.aiff", "-ar 48000 -ac 6 -c:a pcm_s24be"},
    {"alac.caf", "-ar 44100 -ac 2 -c:a alac"},
    {"alac24.m4a", "-ar 48000 -ac 1 -c:a alac -sample_fmt s32p"},
    {"video.mp4", "-f lavfi -i color=s=64x64:d=0.5 -f lavfi -i sine=d=0.5 -c:v mpeg4 -c:a aac"},
    {"s24.flac", "-ar 96000 -ac 1 -c:a flac -sample_fmt s32"},
    {"cbr.mp3", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k"},
    {"vorbis.ogg", "-ar 44100 -ac 2 -c:a libvorbis"},
    {"wmav2.wma", "-ar 44100 -ac 2 -c:a wmav2"},
    {"ac3-as-pcm.wav", "-f lavfi -i anoisesrc=d=2:r=48000:a=0.3 -ac 2 -c:a ac3 -b:a 640k -f ac3"},
    {"mp3-as-pcm.wav", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k -f mp3"}};

std::string bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string le32(std::size_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}

void wrapAsPcm(const fs::path& file) {
  const std::string data = bytes(file);
  // fmt chunk: PCM, 2 channels, 48000 Hz, 192000 bytes/s, 4-byte frames, 16 bits.
  const std::string format("\x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0", 20);
  std::ofstream(file, std::ios::binary) << "RIFF" << le32(36 + data.size()) << "WAVEfmt " << format
                                        << "data" << le32(data.size()) << data;
}

// Whether FileInfo::make gave an object; nothing if it hung (it runs on a detached thread).
std::optional<bool> madeInTime(const std::string& path) {
  std::packaged_task<bool()> task([path] { return Vornex::FileInfo::make(path).has_value(); });
  std::future<bool> made = task.get_future();
  std::thread(std::move(task)).detach();
  if (made.wait_for(vornlib::test::kPatience) != std::future_status::ready) return std::nullopt;
  return made.get();
}

class ProbeProvider : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_.emplace();
    for (const auto& [name, options] : kSamples) {
      const std::string text = options;
      const std::string command = std::string(VORNLIB_TEST_FFMPEG) + " -nostdin -v error -y " +
                                  (text.starts_with("-f ") ? "" : "-f lavfi -i sine=d=0.5 ") +
                                  text + " '" + path(name) + "'";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
      if (std::string(name).ends_with("-as-pcm.wav")) wrapAsPcm(path(name));
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string path(const std::string& name) { return (*dir_ / name).string(); }

  static inline std::optional<vornlib::test::TempDir> dir_;
};

TEST_F(ProbeProvider, ReportsWhatFfprobeReports) {
  const char* const keys[] = {"codec_type",      "codec_name",          "sample_rate", "bit_rate",
                              "bits_per_sample", "bits_per_raw_sample", "channels"};
  for (const auto& [name, options] : kSamples) {
    SCOPED_TRACE(name);
    std::string out;
    vornlib::test::runProgram({VORNLIB_TEST_FFPROBE, "-v", "quiet", "-of", "json", "-show_format",
                               "-show_streams", path(name)},
                              &out);
    const Json probed = Json::parse(out);  // throws when ffprobe fails
    const auto session = vornlib::platform::ffmpegProbeProvider().getMediaInformation(path(name));
    const auto media = session ? session->getMediaInformation() : nullptr;
    ASSERT_TRUE(media && media->getAllProperties());
    const Json& ours = media->getAllProperties()->at("streams");
    const Json& theirs = probed.at("streams");
    ASSERT_EQ(ours.size(), theirs.size());
    const Json none;  // Json equality tells a text "2" from a number 2
    for (std::size_t i = 0; i < ours.size(); ++i) {
      for (const char* k : keys) EXPECT_EQ(ours[i].value(k, none), theirs[i].value(k, none)) << k;
    }
    EXPECT_EQ(media->getDuration().value_or("absent"),
              probed.at("format").value("duration", "absent"));
  }
}

TEST_F(ProbeProvider, BadInputsGiveNoObjectAndNeverHang) {
  std::string noise;
  for (std::mt19937 random(7); noise.size() < 4096;) noise += static_cast<char>(random());
  // Playlists make FFmpeg open further files: those go through the same guard.
  const std::string list = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n";
  const std::pair<const char*, std::string> files[] = {
      {"empty.wav", ""},
      {"noise.mp3", noise},
      {"notes.txt", "not a sound\n"},
      {"cut.wav", bytes(path("s16.wav")).substr(0, 100)},
      {"cut.mp3", bytes(path("cbr.mp3")).substr(0, 100)},
      {"fifo.m3u8", list + "fifo.wav\n#EXT-X-ENDLIST\n"},
      {"net.m3u8", list + "http://127.0.0.1:9/x.wav\n#EXT-X-ENDLIST\n"}};
  for (const auto& [name, data] : files) std::ofstream(path(name), std::ios::binary) << data;
  ASSERT_EQ(mkfifo(path("fifo.wav").c_str(), 0600), 0);
  fs::create_directory(path("folder.wav"));
  fs::copy_file(path("s16.wav"), path("concat:s16.wav"));
  // Relative paths, so that names that read as protocols are tried as such.
  const fs::path before = fs::current_path();
  fs::current_path(dir_->path());
  EXPECT_EQ(madeInTime("concat:s16.wav"), true);  // a file of that name
  for (const std::string name :
       {"empty.wav", "noise.mp3", "notes.txt", "missing.wav", "folder.wav", "fifo.wav", "/dev/zero",
        "fifo.m3u8", "net.m3u8", "", "concat:s16.wav|s16.wav", "file:s16.wav", "pipe:0",
        "subfile,,start,0,end,0,,:s16.wav", "http://127.0.0.1:9/x.wav", "cut.wav", "cut.mp3"}) {
    const std::optional<bool> made = madeInTime(name);
    EXPECT_TRUE(made) << name << " hung";
    if (!made) break;                                         // and restore the working directory
    EXPECT_TRUE(!*made || name.starts_with("cut.")) << name;  // a cut file may still be read
  }
  EXPECT_FALSE(vornlib::platform::ffmpegProbeProvider().getMediaInformation({"s16.wav\0.mp3", 12}));
  fs::current_path(before);
}

TEST_F(ProbeProvider, FileInfoReadsTheAudioStream) {
  const std::tuple<const char*, const char*, Int, Int, Int> rows[] = {
      {"s16.wav", "pcm_s16le", 44100, 2, 16}, {"s24.aiff", "pcm_s24be", 48000, 6, 24},
      {"u8.wav", "pcm_u8", 8000, 1, 8},       {"s24.flac", "flac", 96000, 1, 24},
      {"cbr.mp3", "mp3", 44100, 2, {}},       {"video.mp4", "aac", 44100, 1, {}}};
  for (const auto& [name, codec, rate, channels, depth] : rows) {
    SCOPED_TRACE(name);
    const auto info = Vornex::FileInfo::make(path(name));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->codecName(), codec);
    EXPECT_EQ(std::tuple(info->sampleRate(), info->chanelsCount(), info->bitDepth()),
              std::tuple(rate, channels, depth));
    EXPECT_NEAR(info->duration().value_or(0), 0.5, 0.1);
  }
  EXPECT_EQ(Vornex::FileInfo::make(path("cbr.mp3")).value().bitRate(), 128);
}

}  // namespace
