#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include <vornlib/file_info.hpp>

#include "platform/probe_provider.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Json = vornlib::platform::PropertyTree;
using Int = std::optional<int64_t>;

// A file per codec family and container kind, from a 0.5 s tone unless the options bring their
// own input.
// The "-as-pcm.wav" files hold compressed data under a WAV header that declares 16-bit stereo
// 48 kHz PCM: FFmpeg recognises the codec from the data, and so must the probe.
const std::pair<const char*, const char*> kSamples[] = {
    {"s16.wav", "-ar 44100 -ac 2 -c:a pcm_s16le"},
    {"ulaw.wav", "-ar 8000 -ac 2 -c:a pcm_mulaw"},
    {"adts.aac", "-ar 22050 -ac 2 -c:a aac"},
    {"s24.aiff", "-ar 48000 -ac 6 -c:a pcm_s24be"},
    {"alac24.m4a", "-ar 48000 -ac 1 -c:a alac -sample_fmt s32p"},
    {"video.mp4", "-f lavfi -i color=s=64x64:d=0.5 -f lavfi -i sine=d=0.5 -c:v mpeg4 -c:a aac"},
    {"s24.flac", "-ar 96000 -ac 1 -c:a flac -sample_fmt s32"},
    {"cbr.mp3", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k"},
    {"vorbis.ogg", "-ar 44100 -ac 2 -c:a libvorbis"},
    {"wmav2.wma", "-ar 44100 -ac 2 -c:a wmav2"},
    {"ac3-as-pcm.wav", "-f lavfi -i anoisesrc=d=2:r=48000:a=0.3 -ac 2 -c:a ac3 -b:a 640k -f ac3"},
    {"mp3-as-pcm.wav", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k -f mp3"}};

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
    const std::string ffmpeg = std::string(VORNLIB_TEST_FFMPEG) + " -nostdin -v error -y ";
    for (const auto& [name, options] : kSamples) {
      std::string command =
          ffmpeg + (std::string_view(options).starts_with("-f ") ? "" : "-f lavfi -i sine=d=0.5 ") +
          options;
      if (std::string(name).ends_with("-as-pcm.wav")) {
        command += " - | " + ffmpeg + "-f s16le -ar 48000 -ac 2 -i - -c copy";
      }
      command += " '" + path(name) + "'";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
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
      {"fifo.m3u8", list + "fifo.wav\n#EXT-X-ENDLIST\n"},
      {"net.m3u8", list + "http://127.0.0.1:9/x.wav\n#EXT-X-ENDLIST\n"}};
  for (const auto& [name, data] : files) std::ofstream(path(name), std::ios::binary) << data;
  fs::copy_file(path("s16.wav"), path("cut.wav"));
  fs::copy_file(path("cbr.mp3"), path("cut.mp3"));
  fs::resize_file(path("cut.wav"), 100);
  fs::resize_file(path("cut.mp3"), 100);
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

// How FileInfo reads each field is tested on trees in file_info_test.cpp.
TEST_F(ProbeProvider, FileInfoReadsTheFirstAudioStream) {
  const auto info = Vornex::FileInfo::make(path("video.mp4"));  // stream 0 is the video
  ASSERT_TRUE(info);
  EXPECT_EQ(std::tuple(info->codecName(), info->sampleRate(), info->chanelsCount()),
            std::tuple("aac", Int(44100), Int(1)));
  EXPECT_NEAR(info->duration().value_or(0), 0.5, 0.1);
}

}  // namespace
