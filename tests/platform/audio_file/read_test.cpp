// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/audio_file/audio_file.hpp"
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

// A source cut short is the native engine's conversion test's.
TEST(AudioFileRead, RefusesWhatIsNotAudioTakesNamesLiterallyAndConvertsWhatIs) {
  TempDir dir;
  makeTone(dir / "concat:tone.wav", 0.2, 8000, 1);
  makeTone(dir / "mono.flac", 1.5, 44100, 1);
  makeTone(dir / "video.mp4", 0.2, 8000, 1, {"-f", "lavfi", "-i", "color=d=0.2", "-map", "1"});
  std::ofstream(dir / "empty.wav");
  fs::create_directory(dir / "directory.wav");
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
  const fs::path previous = fs::current_path();
  fs::current_path(dir.path());  // relative names, so that "concat:" and the like lead them
  const std::pair<OSStatus, std::vector<std::string>> cases[] = {
      {noErr, {"concat:tone.wav"}},
      {fnfErr, {"missing.wav", "pipe:0", "file:concat:tone.wav", "concat:empty.wav|tone.wav"}},
      {paramErr, {"fifo.wav"}},
      {kAudioFileUnspecifiedError, {"directory.wav"}},
      {kAudioFileInvalidFileError, {"empty.wav", "video.mp4"}}};
  for (const auto& [expected, names] : cases)
    for (const std::string& name : names) EXPECT_EQ(openStatus(name), expected) << name;
  fs::current_path(previous);

  // Read as the native engine reads: 16,384 frames asked, 65,532 bytes offered, a canary after
  // them. One channel to two, resampled, without losing the tail; a mix-down to the channels'
  // average is the native engine's conversion test's.
  std::vector<float> all, block(16384 + 16, 7.5F);
  const AudioStreamBasicDescription format{48000, kAudioFormatLinearPCM, 9, 8, 1, 8, 2, 32, 0};
  ExtAudioFileRef ref = nullptr;
  ASSERT_EQ(service.ExtAudioFileOpenURL(dir / "mono.flac", &ref), noErr);
  const auto client = kExtAudioFileProperty_ClientDataFormat;
  EXPECT_EQ(service.ExtAudioFileSetProperty(ref, client, 40, &format), noErr);
  for (std::uint32_t got = 1; got > 0;) {
    got = 16384;
    AudioBufferList list{1, {{2, 65532, block.data()}}};
    const bool good = service.ExtAudioFileRead(ref, &got, &list) == noErr && got <= 65532 / 8 &&
                      list.mBuffers[0].mDataByteSize == 8 * got &&
                      std::count(block.begin() + 65532 / 4, block.end(), 7.5F) == 17;
    EXPECT_TRUE(good) << got << " frames after " << all.size() / 2;
    if (!good) break;
    all.insert(all.end(), block.begin(), block.begin() + got * 2);
  }
  service.ExtAudioFileDispose(ref);
  EXPECT_NEAR(static_cast<double>(all.size() / 2), 1.5 * 48000, 1);
  // Both channels carry it at its own level (the tone's peak is 1/8).
  EXPECT_NEAR(*std::max_element(all.begin(), all.end()), 0.125, 0.002);
  for (std::size_t i = 0; i + 1 < all.size(); i += 2) ASSERT_EQ(all[i], all[i + 1]);

  // A WAV's length and its own rate and channels, as its header declares them.
  ASSERT_EQ(service.ExtAudioFileOpenURL(dir / "concat:tone.wav", &ref), noErr);
  std::int64_t frames = 0;
  AudioStreamBasicDescription file{};
  std::uint32_t size[] = {8, 40};
  service.ExtAudioFileGetProperty(ref, kExtAudioFileProperty_FileLengthFrames, size, &frames);
  service.ExtAudioFileGetProperty(ref, kExtAudioFileProperty_FileDataFormat, size + 1, &file);
  service.ExtAudioFileDispose(ref);
  EXPECT_EQ(std::vector<double>({double(frames), file.mSampleRate, double(file.mChannelsPerFrame)}),
            std::vector<double>({1600, 8000, 1}));
}

// A file of a few bytes may state any rate: lowering hundreds of megahertz to an ordinary rate is
// refused at once rather than building a filter of gigabytes; within the bound it converts.
TEST(AudioFileRead, RefusesToResampleFromARateNoAudioHas) {
  TempDir dir;
  const auto wav = [&](std::uint32_t rate) {  // 16-bit mono, 64 samples of silence
    const std::uint32_t fields[] = {0x46464952, 36 + 128, 0x45564157, 0x20746d66, 16, 0x10001,
                                    rate,       rate * 2, 0x100002,   0x61746164, 128};
    std::ofstream out(dir / std::to_string(rate), std::ios::binary);
    out.write(reinterpret_cast<const char*>(fields), sizeof fields)
        .write(std::string(128, 0).data(), 128);
    return (dir / std::to_string(rate)).string();
  };
  const std::pair<std::uint32_t, OSStatus> rows[] = {
      {200'000'000, kAudioFileUnsupportedDataFormatError}, {8'000'000, noErr}};
  for (const auto& [rate, expected] : rows) {
    ExtAudioFileRef ref = nullptr;
    ASSERT_EQ(service.ExtAudioFileOpenURL(wav(rate), &ref), noErr) << rate;
    const AudioStreamBasicDescription format{32000, kAudioFormatLinearPCM, 9, 4, 1, 4, 1, 32, 0};
    EXPECT_EQ(
        service.ExtAudioFileSetProperty(ref, kExtAudioFileProperty_ClientDataFormat, 40, &format),
        expected)
        << rate;
    service.ExtAudioFileDispose(ref);
  }
}

}  // namespace
