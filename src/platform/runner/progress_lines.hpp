// SPDX-License-Identifier: MIT
// Follows what ffmpeg prints as it goes: the input's duration, then the statistics lines.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace vornlib::platform::runner {

// Seconds from ffmpeg's "HH:MM:SS.xx"; nothing for "N/A", for a negative time (ffmpeg's clock
// before the first sample) or for anything else.
std::optional<double> parseClock(std::string_view text) noexcept;

// Reads ffmpeg's output as it comes, in pieces that may split a line anywhere, without
// allocating: calls `onDuration` once with the first input's duration
// ("  Duration: 00:01:00.00, start: 0.000000, bitrate: 1411 kb/s") and `onTime` with the time of
// each statistics line ("size=  235kB time=00:00:30.01 bitrate=  64.1kbits/s", about every half
// second, each ended by '\r'). Either may be empty.
class ProgressLines {
 public:
  // Both must outlive this reader.
  ProgressLines(const std::function<void(double seconds)>& onDuration,
                const std::function<void(double seconds)>& onTime) noexcept
      : onDuration_(onDuration), onTime_(onTime) {}

  void read(std::string_view piece) noexcept;

 private:
  void endLine() noexcept;

  const std::function<void(double seconds)>& onDuration_;
  const std::function<void(double seconds)>& onTime_;
  // The start of the line being read: what either kind of line says comes early in it.
  std::array<char, 256> line_{};
  std::size_t length_ = 0;
  bool durationSeen_ = false;
};

}  // namespace vornlib::platform::runner
