#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vornlib/file_info.hpp>

#include "platform/probe_provider.hpp"

namespace {

namespace fs = std::filesystem;
using Json = vornlib::platform::PropertyTree;

// Short tones of every container the library converts to, at assorted rates, sizes and channel
// counts. An entry's options follow a 0.5 s 440 Hz tone input unless they bring their own.
struct Sample {
  const char* name;
  const char* options;
};
const Sample kSamples[] = {
    {"s16.wav", "-ar 44100 -ac 2 -c:a pcm_s16le"},
    {"s24.wav", "-ar 48000 -ac 1 -c:a pcm_s24le"},
    {"u8.wav", "-ar 8000 -ac 1 -c:a pcm_u8"},
    {"alaw.wav", "-ar 8000 -ac 1 -c:a pcm_alaw"},
    {"ulaw.wav", "-ar 8000 -ac 2 -c:a pcm_mulaw"},
    {"adts.aac", "-ar 22050 -ac 2 -c:a aac"},
    {"alaw.aifc", "-ar 8000 -ac 1 -c:a pcm_alaw"},
    {"ulaw.aifc", "-ar 22050 -ac 2 -c:a pcm_mulaw"},
    {"s16.aiff", "-ar 44100 -ac 2 -c:a pcm_s16be"},
    {"s24.aiff", "-ar 48000 -ac 6 -c:a pcm_s24be"},
    {"s16.caf", "-ar 44100 -ac 2 -c:a pcm_s16le"},
    {"ulaw.caf", "-ar 8000 -ac 1 -c:a pcm_mulaw"},
    {"alac.caf", "-ar 44100 -ac 2 -c:a alac"},
    {"aac.m4a", "-ar 44100 -ac 2 -c:a aac -b:a 96k"},
    {"alac24.m4a", "-ar 48000 -ac 1 -c:a alac -sample_fmt s32p"},
    {"surround.mp4", "-ar 48000 -ac 6 -c:a aac"},
    {"video.mp4",
     "-f lavfi -i color=c=red:s=64x64:d=0.5 -f lavfi -i sine=d=0.5 -c:v mpeg4 -c:a aac"},
    {"s16.flac", "-ar 44100 -ac 2 -c:a flac"},
    {"s24.flac", "-ar 96000 -ac 1 -c:a flac -sample_fmt s32"},
    {"cbr.mp3", "-ar 44100 -ac 2 -c:a libmp3lame -b:a 128k"},
    {"vbr.mp3", "-ar 22050 -ac 1 -c:a libmp3lame -q:a 4"},
    {"low.mp3", "-ar 8000 -ac 1 -c:a libmp3lame"},
    {"vorbis.ogg", "-ar 44100 -ac 2 -c:a libvorbis"},
    {"opus.ogg", "-ar 48000 -ac 2 -c:a libopus"},
    {"wmav2.wma", "-ar 44100 -ac 2 -c:a wmav2"},
    {"wmav1.wma", "-ar 22050 -ac 1 -c:a wmav1"},
    {"long.wav", "-f lavfi -i sine=d=3 -ac 2 -c:a pcm_s16le"},
    {"noise.ac3", "-f lavfi -i anoisesrc=d=2:r=48000:a=0.3 -ac 2 -c:a ac3 -b:a 640k"},
};
// Compressed data in a WAV whose header declares 16-bit stereo PCM: FFmpeg recognises it from
// the data, and so must the probe.
const std::pair<const char*, const char*> kDisguised[] = {{"noise.ac3", "ac3-as-pcm.wav"},
                                                          {"cbr.mp3", "mp3-as-pcm.wav"}};

std::string littleEndian32(uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(value >> shift));
  return bytes;
}

void wrapAsPcm(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  const std::string data{std::istreambuf_iterator<char>(in), {}};
  const auto size = static_cast<uint32_t>(data.size());
  // fmt chunk: PCM, 2 channels, 48000 Hz, 192000 bytes/s, 4-byte frames, 16 bits.
  const std::string format("\x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0", 20);
  std::ofstream(to, std::ios::binary) << "RIFF" << littleEndian32(36 + size) << "WAVEfmt " << format
                                      << "data" << littleEndian32(size) << data;
}

std::string capture(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
    pclose(pipe);
  }
  return output;
}

// Whether FileInfo::make gave an object; nullopt when it had not returned after 30 s. The probe
// runs on a detached thread so that a probe stuck for good cannot hold the test up.
std::optional<bool> madeInTime(const std::string& path) {
  std::packaged_task<bool()> task([path] { return Vornex::FileInfo::make(path).has_value(); });
  std::future<bool> made = task.get_future();
  std::thread(std::move(task)).detach();
  if (made.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return std::nullopt;
  return made.get();
}

class ProbeProvider : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "vornlib-probe-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    for (const Sample& sample : kSamples) {
      const std::string options = sample.options;
      const std::string input =
          options.starts_with("-f ") ? "" : "-f lavfi -i sine=frequency=440:duration=0.5 ";
      const std::string command = std::string(VORNLIB_TEST_FFMPEG) + " -nostdin -v error -y " +
                                  input + options + " '" + path(sample.name) + "'";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    for (const auto& [from, to] : kDisguised) wrapAsPcm(path(from), path(to));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  static std::string path(const std::string& name) { return (dir_ / name).string(); }

  static inline fs::path dir_;
};

// "absent", or the kind and value, so that a text "2" and a number 2 never compare equal.
std::string describe(const Json& map, const char* key) {
  if (!map.contains(key)) return "absent";
  const Json& value = map.at(key);
  return (value.is_string() ? "text " : value.is_number() ? "number " : "other ") + value.dump();
}

TEST_F(ProbeProvider, ReportsWhatFfprobeReports) {
  const char* const keys[] = {"codec_type",      "codec_name",          "sample_rate", "bit_rate",
                              "bits_per_sample", "bits_per_raw_sample", "channels"};
  std::vector<std::string> names;
  for (const Sample& sample : kSamples) names.emplace_back(sample.name);
  for (const auto& disguised : kDisguised) names.emplace_back(disguised.second);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Json theirs = Json::parse(capture(std::string(VORNLIB_TEST_FFPROBE) +
                                            " -v quiet -print_format json -show_format"
                                            " -show_streams '" +
                                            path(name) + "'"));
    const auto session = vornlib::platform::ffmpegProbeProvider().getMediaInformation(path(name));
    ASSERT_TRUE(session);
    const auto media = session->getMediaInformation();
    ASSERT_TRUE(media && media->getAllProperties());
    const Json& ours = *media->getAllProperties();
    ASSERT_EQ(ours.at("streams").size(), theirs.at("streams").size());
    for (size_t index = 0; index < ours.at("streams").size(); ++index) {
      for (const char* key : keys) {
        EXPECT_EQ(describe(ours.at("streams").at(index), key),
                  describe(theirs.at("streams").at(index), key))
            << "stream " << index << ", " << key;
      }
    }
    const Json& format = theirs.at("format");
    EXPECT_EQ(media->getDuration(), format.contains("duration")
                                        ? std::optional(format.at("duration").get<std::string>())
                                        : std::nullopt);
  }
}

TEST_F(ProbeProvider, BadFilesGiveNoObjectAndNeverHang) {
  std::mt19937 random(7);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  const std::string wav = capture("head -c 100 '" + path("s16.wav") + "'");
  const std::string mp3 = capture("head -c 100 '" + path("cbr.mp3") + "'");
  const std::pair<const char*, const std::string*> contents[] = {
      {"empty.wav", nullptr}, {"noise.mp3", &noise}, {"cut.wav", &wav}, {"cut.mp3", &mp3}};
  for (const auto& [name, bytes] : contents) {
    std::ofstream(path(name), std::ios::binary) << (bytes ? *bytes : std::string());
  }
  std::ofstream(path("notes.txt")) << "not a sound\n";
  ASSERT_EQ(mkfifo(path("fifo.wav").c_str(), 0600), 0);
  // Playlists make FFmpeg open further files: those go through the same guard.
  for (const auto& [list, segment] :
       {std::pair("fifo.m3u8", "fifo.wav"), std::pair("net.m3u8", "http://127.0.0.1:9/x.wav")}) {
    std::ofstream(path(list)) << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n"
                              << segment << "\n#EXT-X-ENDLIST\n";
  }
  fs::create_directory(path("folder.wav"));

  struct Row {
    std::string path;
    bool anyResult;  // a truncated file may still be recognised
  };
  const Row rows[] = {{path("empty.wav"), false},  {path("noise.mp3"), false},
                      {path("notes.txt"), false},  {path("missing.wav"), false},
                      {path("folder.wav"), false}, {path("fifo.wav"), false},
                      {"/dev/zero", false},        {path("fifo.m3u8"), false},
                      {path("net.m3u8"), false},   {"", false},
                      {path("cut.wav"), true},     {path("cut.mp3"), true}};
  for (const Row& row : rows) {
    const std::optional<bool> made = madeInTime(row.path);
    ASSERT_TRUE(made.has_value()) << row.path << " hung";
    if (!row.anyResult) {
      EXPECT_FALSE(*made) << row.path;
    }
  }
}

TEST_F(ProbeProvider, PathsAreFileNamesNeverProtocols) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  fs::copy_file("s16.wav", "concat:s16.wav", fs::copy_options::overwrite_existing);
  EXPECT_EQ(madeInTime("concat:s16.wav"), true);
  for (const char* url : {"concat:s16.wav|s16.wav", "file:s16.wav", "pipe:0",
                          "subfile,,start,0,end,0,,:s16.wav", "http://127.0.0.1:9/x.wav"}) {
    EXPECT_EQ(madeInTime(url), false) << url;
  }
  EXPECT_FALSE(vornlib::platform::ffmpegProbeProvider().getMediaInformation(
      std::string("s16.wav\0.mp3", 12)));
  fs::current_path(before);
}

TEST_F(ProbeProvider, FileInfoReadsTheAudioStream) {
  struct Row {
    const char* name;
    const char* codec;
    int64_t rate, channels;
    std::optional<int64_t> depth, kbps;
  };
  const Row rows[] = {
      {"s16.wav", "pcm_s16le", 44100, 2, 16, 1411},
      {"s24.aiff", "pcm_s24be", 48000, 6, 24, 6912},
      {"u8.wav", "pcm_u8", 8000, 1, 8, 64},
      {"s24.flac", "flac", 96000, 1, 24, std::nullopt},
      {"cbr.mp3", "mp3", 44100, 2, std::nullopt, 128},
      {"video.mp4", "aac", 44100, 1, std::nullopt, std::nullopt},
  };
  for (const Row& row : rows) {
    const auto info = Vornex::FileInfo::make(path(row.name));
    ASSERT_TRUE(info) << row.name;
    EXPECT_EQ(info->codecName(), row.codec) << row.name;
    EXPECT_EQ(info->sampleRate(), row.rate) << row.name;
    EXPECT_EQ(info->chanelsCount(), row.channels) << row.name;
    EXPECT_EQ(info->bitDepth(), row.depth) << row.name;
    if (row.kbps) {
      EXPECT_EQ(info->bitRate(), row.kbps) << row.name;
    }
    EXPECT_NEAR(info->duration().value_or(0), 0.5, 0.1) << row.name;
  }
}

}  // namespace
