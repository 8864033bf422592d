#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/audio_file.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace vornlib::platform::audio;
using namespace vornlib::test;  // NOLINT: the helpers shared by the tests

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
  return status.wait_for(kPatience) == std::future_status::ready ? status.get() : 1;  // 1: hung
}

TEST(AudioFileRead, RefusesWhatIsNotAudioAndTakesNamesLiterally) {
  TempDir dir;
  makeTone(dir / "concat:tone.wav", 0.2, 8000, 1);
  makeTone(dir / "video.mp4", 0.2, 8000, 1, {"-f", "lavfi", "-i", "color=d=0.2", "-map", "1"});
  fs::copy_file(dir / "concat:tone.wav", dir / "truncated.wav");
  fs::resize_file(dir / "truncated.wav", 30);  // cut inside the header
  std::string noise(3244, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * i * 40503 >> 9);
  std::ofstream(dir / "noise.wav") << noise;
  std::ofstream(dir / "empty.wav");
  std::ofstream(dir / "text.wav") << "RIFF, or only words about it\n";
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
  for (const auto& [expected, names] : cases)
    for (const std::string& name : names) EXPECT_EQ(openStatus(name), expected) << name;
  fs::current_path(previous);
}

// Every sample of `file` in `channels` channels at `rate` (the file's own format when 0), read
// as the native engine reads: 16,384 frames asked, 65,532 bytes offered, a canary after them;
// `frames` of them, give or take one.
std::vector<float> readAll(const fs::path& file, std::uint32_t channels, double rate,
                           double frames) {
  SCOPED_TRACE(file.filename().string() + " as " + std::to_string(channels));
  std::vector<float> all, block(16384 + 16, 7.5F);
  const AudioStreamBasicDescription format{
      rate, kAudioFormatLinearPCM, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
  ExtAudioFileRef ref = nullptr;
  EXPECT_EQ(service.ExtAudioFileOpenURL(file, &ref), noErr);
  if (ref == nullptr) return all;
  const auto client = kExtAudioFileProperty_ClientDataFormat;
  EXPECT_TRUE(rate == 0 || service.ExtAudioFileSetProperty(ref, client, 40, &format) == noErr);
  for (std::uint32_t got = 1; got > 0;) {
    got = 16384;
    AudioBufferList list{1, {{channels, 65532, block.data()}}};
    const bool good = service.ExtAudioFileRead(ref, &got, &list) == noErr &&
                      got <= 65532 / (4 * channels) &&
                      list.mBuffers[0].mDataByteSize == 4 * channels * got &&
                      std::count(block.begin() + 65532 / 4, block.end(), 7.5F) == 17;
    EXPECT_TRUE(good) << got << " frames after " << all.size() / channels;
    if (!good) break;
    all.insert(all.end(), block.begin(), block.begin() + got * channels);
  }
  service.ExtAudioFileDispose(ref);
  EXPECT_NEAR(static_cast<double>(all.size() / channels), frames, 1);  // the tail included
  return all;
}

TEST(AudioFileRead, ConvertsRateAndChannelsWithoutLosingTheTail) {
  TempDir dir;
  // A tone on the left, the tone at minus half its level on the right.
  makeTone(dir / "stereo.wav", 1.5, 44100, 2, {"-af", "pan=stereo|c0=c0|c1=-0.5*c1"});
  makeTone(dir / "mono.flac", 1.5, 44100, 1);
  makeTone(dir / "mono.mp3", 1.5, 22050, 1);
  readAll(dir / "mono.mp3", 1, 0, 1.5 * 22050);  // as decoded, without a client format
  // One channel to two, resampled: both carry it at its own level (the tone's peak is 1/8).
  const std::vector<float> doubled = readAll(dir / "mono.flac", 2, 48000, 1.5 * 48000);
  EXPECT_NEAR(*std::max_element(doubled.begin(), doubled.end()), 0.125, 0.002);
  for (std::size_t i = 0; i + 1 < doubled.size(); i += 2) ASSERT_EQ(doubled[i], doubled[i + 1]);
  // Two channels to one: their plain average.
  const std::vector<float> stereo = readAll(dir / "stereo.wav", 2, 0, 1.5 * 44100);
  const std::vector<float> mono = readAll(dir / "stereo.wav", 1, 44100, 1.5 * 44100);
  ASSERT_EQ(stereo.size(), 2 * mono.size());
  for (std::size_t i = 0; i < mono.size(); ++i)
    ASSERT_NEAR(mono[i], (stereo[2 * i] + stereo[2 * i + 1]) / 2, 1e-6) << i;
}

}  // namespace
