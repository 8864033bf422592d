// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include <vornlib/file_info.hpp>

#include "platform/av/probe_provider.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using Json = vornlib::platform::av::PropertyTree;

// A file per demuxer and decoder family, from a 0.5 s tone unless the options bring their own
// input. The "-as-pcm.wav" file holds AC-3 under a WAV header that declares 16-bit stereo
// 48 kHz PCM: FFmpeg recognises the codec from the data, and so must the probe.
const std::pair<const char*, const char*> kSamples[] = {
    {"s16.wav", "-ar 44100 -ac 2 -c:a pcm_s16le"},
    {"adts.aac", "-ar 22050 -ac 2 -c:a aac"},
    {"s24.aiff", "-ar 48000 -ac 6 -c:a pcm_s24be"},
    {"alac24.m4a", "-ar 48000 -ac 1 -c:a alac -sample_fmt s32p"},
    {"video.mp4", "-f lavfi -i color=s=64x64:d=0.5 -f lavfi -i sine=d=0.5 -c:v mpeg4 -c:a aac"},
    {"s24.flac", "-ar 96000 -ac 1 -c:a flac -sample_fmt s32"},
    {"cbr.mp3", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k"},
    {"vorbis.ogg", "-ar 44100 -ac 2 -c:a libvorbis"},
    {"wmav2.wma", "-ar 44100 -ac 2 -c:a wmav2"},
    // Tags, with bytes that are not UTF-8 in a text and a key, which ffprobe replaces.
    {"tagged.flac",
     "-c:a flac -metadata 'title=Grüße 東京' -metadata 'comment=a\xff\xfe\xe2\x82' "
     "-metadata 'k\xed\xa0\x80y=v'"},
    {"ac3-as-pcm.wav", "-f lavfi -i anoisesrc=d=2:r=48000:a=0.3 -ac 2 -c:a ac3 -b:a 640k -f ac3"}};

// Damaged headers that once gave a tree where ffprobe gives up, and neighbours that ffprobe still
// reports, odd values and all: s16.wav with its channel count (byte 22) or bit depth (34) changed.
const std::tuple<const char*, std::size_t, int> kDamaged[] = {{"refused-65282ch.wav", 22, 65282},
                                                              {"refused-0ch.wav", 22, 0},
                                                              {"300ch.wav", 22, 300},
                                                              {"0bit.wav", 34, 0}};

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
      ASSERT_EQ(std::system((command + " '" + path(name) + "'").c_str()), 0) << command;
      names_.push_back(name);
    }
    for (const auto& [name, offset, value] : kDamaged) {
      std::string damaged = contents("s16.wav");
      damaged.replace(offset, 2, {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)});
      std::ofstream(path(name), std::ios::binary) << damaged;
      names_.push_back(name);
    }
  }
  static void TearDownTestSuite() { dir_.reset(); }
  static std::string path(const std::string& name) { return (*dir_ / name).string(); }
  static std::string contents(const std::string& name) {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  static inline std::optional<vornlib::test::TempDir> dir_;
  static inline std::vector<std::string> names_;
};

TEST_F(ProbeProvider, ReportsWhatFfprobeReports) {
  const char* const keys[] = {"codec_type",      "codec_name",          "sample_rate", "bit_rate",
                              "bits_per_sample", "bits_per_raw_sample", "channels",    "tags"};
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    std::string out;
    const std::string file = path(name);
    const int refused = vornlib::test::runProgram(
        {VORNLIB_TEST_FFPROBE, "-v", "quiet", "-of", "json", "-show_format", "-show_streams", file},
        &out);
    EXPECT_EQ(refused != 0, name.starts_with("refused"));
    const auto session = vornlib::platform::av::ffmpegProbeProvider().getMediaInformation(file);
    const auto media = session ? session->getMediaInformation() : nullptr;
    const Json* tree = media ? media->getAllProperties() : nullptr;
    EXPECT_EQ(tree != nullptr, refused == 0);
    if (!tree || refused) continue;
    const Json probed = Json::parse(out);
    const Json &ours = tree->at("streams"), &theirs = probed.at("streams"), none;
    ASSERT_EQ(ours.size(), theirs.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {  // Json equality tells "2" from 2
      for (const char* k : keys) EXPECT_EQ(ours[i].value(k, none), theirs[i].value(k, none)) << k;
    }
    EXPECT_EQ(tree->at("format").value("tags", none), probed.at("format").value("tags", none));
    EXPECT_EQ(media->getDuration().value_or("absent"),
              probed.at("format").value("duration", "absent"));
  }
}

TEST_F(ProbeProvider, BadInputsGiveNoObjectAndNeverHang) {
  std::string noise;
  for (std::mt19937 random(7); noise.size() < 4096;) noise += static_cast<char>(random());
  // Playlists make FFmpeg open further files: those go through the same guard.
  const std::pair<const char*, std::string> files[] = {
      {"empty.wav", ""},
      {"noise.mp3", noise},
      {"cut.wav", contents("s16.wav").substr(0, 100)},
      {"cut.mp3", contents("cbr.mp3").substr(0, 100)},
      {"fifo.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nfifo.wav\n#EXT-X-ENDLIST\n"}};
  for (const auto& [name, data] : files) std::ofstream(path(name), std::ios::binary) << data;
  ASSERT_EQ(mkfifo(path("fifo.wav").c_str(), 0600), 0);
  fs::create_directory(path("folder.wav"));
  fs::copy_file(path("s16.wav"), path("concat:s16.wav"));
  // Relative paths, so that names that read as protocols are tried as such.
  const fs::path before = fs::current_path();
  fs::current_path(dir_->path());
  EXPECT_EQ(madeInTime("concat:s16.wav"), true);  // a file of that name
  for (const std::string name :
       {"empty.wav", "noise.mp3", "missing.wav", "folder.wav", "fifo.wav", "/dev/zero", "fifo.m3u8",
        "", "file:s16.wav", "pipe:0", "cut.wav", "cut.mp3"}) {
    const std::optional<bool> made = madeInTime(name);
    EXPECT_TRUE(made) << name << " hung";
    if (!made) break;                                         // and restore the working directory
    EXPECT_TRUE(!*made || name.starts_with("cut.")) << name;  // a cut file may still be read
  }
  EXPECT_FALSE(
      vornlib::platform::av::ffmpegProbeProvider().getMediaInformation({"s16.wav\0.mp3", 12}));
  fs::current_path(before);
}

}  // namespace
