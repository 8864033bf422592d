#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <tuple>

#include "platform/audio_file.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vornlib::platform::audio;
using vornlib::test::makeTone;

AudioFileService& service = ffmpegAudioFileService();

// The status of opening `path` on a thread of its own, so that an open that hangs fails.
OSStatus openStatus(const std::string& path) {
  std::packaged_task<OSStatus()> task([path] {
    ExtAudioFileRef file = nullptr;
    const OSStatus status = service.ExtAudioFileOpenURL(path, &file);
    return file != nullptr ? service.ExtAudioFileDispose(file) : status;
  });
  std::future<OSStatus> status = task.get_future();
  std::thread(std::move(task)).detach();
  if (status.wait_for(vornlib::test::kPatience) != std::future_status::ready) return 1;  // hung
  return status.get();
}

TEST(AudioFileRead, RefusesWhatIsNotAudioAndTakesNamesLiterally) {
  vornlib::test::TempDir dir;
  makeTone(dir / "concat:tone.wav", 0.2, 8000, 1);
  makeTone(dir / "video.mp4", 0.2, 8000, 1, {"-f", "lavfi", "-i", "color=d=0.2", "-map", "1"});
  std::ifstream tone(dir / "concat:tone.wav", std::ios::binary);
  std::string noise(std::istreambuf_iterator<char>(tone), {});
  std::ofstream(dir / "truncated.wav") << noise.substr(0, 30);
  std::ofstream(dir / "empty.wav");
  std::ofstream(dir / "text.wav") << "RIFF, or only words about it\n";
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * i * 40503 >> 9);
  std::ofstream(dir / "noise.wav") << noise;
  fs::create_directory(dir / "directory.wav");
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());  // relative names, so that "concat:" and the like lead them
  const std::pair<OSStatus, std::vector<std::string>> cases[] = {
      {noErr, {"concat:tone.wav"}},
      {fnfErr, {"missing.wav", "pipe:0", "file:concat:tone.wav", "concat:empty.wav|tone.wav"}},
      {paramErr, {"fifo.wav"}},
      {kAudioFileUnspecifiedError, {"directory.wav"}},
      {kAudioFileInvalidFileError,
       {"empty.wav", "text.wav", "noise.wav", "truncated.wav", "video.mp4"}}};
  for (const auto& [expected, names] : cases) {
    for (const std::string& name : names) EXPECT_EQ(openStatus(name), expected) << name;
  }
  fs::current_path(previous);
}

// Every sample of `file` in `channels` channels at `rate` (the file's own format when 0), read
// as the native engine reads: 16,384 frames asked, 65,532 bytes offered, a canary after them.
std::vector<float> readAll(const fs::path& file, std::uint32_t channels, double rate) {
  std::vector<float> all, block(16384 + 16, 7.5F);
  const AudioStreamBasicDescription format{
      rate, kAudioFormatLinearPCM, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
  ExtAudioFileRef ref = nullptr;
  EXPECT_EQ(service.ExtAudioFileOpenURL(file, &ref), noErr) << file;
  if (ref == nullptr) return all;
  const auto client = kExtAudioFileProperty_ClientDataFormat;
  EXPECT_TRUE(rate == 0 || service.ExtAudioFileSetProperty(ref, client, 40, &format) == noErr);
  for (std::uint32_t frames = 1; frames > 0;) {
    frames = 16384;
    AudioBufferList list{1, {{channels, 65532, block.data()}}};
    const bool good = service.ExtAudioFileRead(ref, &frames, &list) == noErr &&
                      frames <= 65532 / (4 * channels) &&
                      list.mBuffers[0].mDataByteSize == 4 * channels * frames &&
                      std::count(block.begin() + 65532 / 4, block.end(), 7.5F) == 17;
    EXPECT_TRUE(good) << file << ": " << frames << " frames after " << all.size() / channels;
    all.insert(all.end(), block.begin(), block.begin() + (good ? frames * channels : 0));
    if (!good) break;
  }
  service.ExtAudioFileDispose(ref);
  return all;
}

TEST(AudioFileRead, ConvertsRateAndChannelsWithoutLosingTheTail) {
  vornlib::test::TempDir dir;
  // Name, rate, channels; client channels and rate (none set when 0).
  const std::tuple<const char*, int, std::uint32_t, std::uint32_t, double> cases[] = {
      {"stereo.wav", 44100, 2, 1, 48000},
      {"mono.flac", 44100, 1, 2, 48000},
      {"mono.mp3", 22050, 1, 1, 0}};
  for (const auto& [name, rate, channels, clientChannels, clientRate] : cases) {
    // Stereo sources carry a tone on the left, the tone at minus half its level on the right.
    makeTone(dir / name, 1.5, rate, channels,
             channels == 2 ? std::vector<std::string>{"-af", "pan=stereo|c0=c0|c1=-0.5*c1"}
                           : std::vector<std::string>{});
    const std::vector<float> samples = readAll(dir / name, clientChannels, clientRate);
    EXPECT_NEAR(static_cast<double>(samples.size() / clientChannels),
                1.5 * (clientRate > 0 ? clientRate : rate), 1)
        << name;
    if (channels != 1 || clientChannels != 2) continue;
    // One channel to two: both carry it at its own level (the tone's peak is 1/8).
    EXPECT_NEAR(*std::max_element(samples.begin(), samples.end()), 0.125, 0.002);
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) ASSERT_EQ(samples[i], samples[i + 1]);
  }
  // Two channels to one at the same rate: their plain average.
  const std::vector<float> stereo = readAll(dir / "stereo.wav", 2, 0);
  const std::vector<float> mono = readAll(dir / "stereo.wav", 1, 44100);
  ASSERT_EQ(stereo.size(), 2 * mono.size());
  for (std::size_t i = 0; i < mono.size(); ++i) {
    ASSERT_NEAR(mono[i], (stereo[2 * i] + stereo[2 * i + 1]) / 2, 1e-6) << i;
  }
}

}  // namespace
