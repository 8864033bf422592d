// SPDX-License-Identifier: MIT
// 200 conversions at once over both engines and both styles: each reports once, with a valid
// file, ffmpeg never runs above its bound, and nothing is left open or running.
#include <gtest/gtest.h>

#include "support/support.hpp"

using namespace vornlib::test;

TEST(Load, TwoHundredAtOnce) {
  // wav aiff flac native; mp3 ogg m4a FFmpeg, which resamples these lossy formats to 48 kHz.
  const char* formats[] = {"wav", "mp3", "aiff", "ogg", "flac", "m4a"};
  const TempDir dir;
  const TmpdirScope scope(dir.path());
  makeTone(dir / "tone.wav", 0.3, 44100, 2);
  vornlib::setMaxConcurrentFFmpegRuns(2);
  const auto descriptors = openDescriptors();
  std::vector<Reports> reports(200);
  std::vector<std::future<std::filesystem::path>> futures(200);
  std::size_t most = 0;  // ffmpeg processes seen at once
  for (int i = 0; i < 200; ++i) {
    auto cfg = std::make_shared<Vornex::Config>(*Vornex::Format::fromRawValue(formats[i % 6]),
                                                std::nullopt, 22050, 16, 1 + i / 12 % 2, 64);
    if (i / 6 % 2) futures[i] = Vornex::convert(dir / "tone.wav", cfg);
    if (i / 6 % 2 == 0) Vornex::convert(dir / "tone.wav", cfg, reports[i].completion());
  }
  for (int i = 0; i < 200; ++i) {
    if (futures[i].valid() && futures[i].wait_for(kPatience) == std::future_status::ready)
      reports[i].completion()(futures[i].get(), std::nullopt);  // throws on an error
    most = std::max(most, descendants("ffmpeg").size());        // as the runs go on
    const auto report = reports[i].first().value_or(Report{});
    const auto info = report.location ? Vornex::FileInfo::make(*report.location) : std::nullopt;
    EXPECT_TRUE(info && info->chanelsCount() == 1 + i / 12 % 2 &&
                info->sampleRate() == (i % 2 ? 48000 : 22050))
        << i;
  }
  for (const Reports& r : reports) EXPECT_EQ(r.count(), 1U);
  EXPECT_TRUE(most >= 1 && most <= 2) << most;  // seen running, never above the bound
  EXPECT_TRUE(leftNothing(descriptors));
  vornlib::setMaxConcurrentFFmpegRuns(0);
}
