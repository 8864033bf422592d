// SPDX-License-Identifier: MIT
#include "platform/runner/progress_lines.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What ffmpeg prints, cut into pieces at every length: the first input's duration once, the
// time of each statistics line, nothing from other fields or from times that are not times.
TEST(ProgressLines, DurationAndTimesWhereverThePiecesEnd) {
  const std::string output =
      "Input #0, wav, from 'a.wav':\n  Duration: 00:01:00.50, start: 0.000000, bitrate: 1411 kb/s\n"
      "Input #1, wav, from 'b.wav':\n  Duration: 00:09:00.00, start: 0.000000\n"
      "size=       0kB time=-00:00:00.02 bitrate=N/A\rsize=     235kB time=00:00:30.01 bitrate=x\r"
      "out_time=00:00:50.00 progress=continue\nsize=N/A time=N/A bitrate=N/A\r"
      "size=     470kB time=01:00:00.25 bitrate=64.1kbits/s speed=2x\n";
  for (std::size_t cut = 1; cut <= output.size(); ++cut) {
    std::vector<double> durations, times;
    const std::function<void(double)> onDuration = [&](double s) { durations.push_back(s); };
    const std::function<void(double)> onTime = [&](double s) { times.push_back(s); };
    vornlib::platform::runner::ProgressLines lines(onDuration, onTime);
    for (std::size_t at = 0; at < output.size(); at += cut) lines.read(output.substr(at, cut));
    EXPECT_EQ(durations, std::vector<double>{60.5}) << cut;
    EXPECT_EQ(times, (std::vector<double>{30.01, 3600.25})) << cut;
  }
}

}  // namespace
