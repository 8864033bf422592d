// Follows ffmpeg's statistics lines in its output as it is read.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

namespace vornlib::platform::runner {

// Seconds from a statistics line's "HH:MM:SS.xx"; nothing for "N/A", for a negative time
// (ffmpeg's clock before the first sample) or for anything else.
std::optional<double> parseClock(std::string_view text) noexcept;

// Reads ffmpeg's statistics lines ("size=  235kB time=00:00:30.01 bitrate=  64.1kbits/s",
// about every half second, each ended by '\r') and calls `onTime` with each time. A byte at a
// time with a few bytes of state, so that a line split between two reads is still understood,
// and without allocating.
class ProgressLines {
 public:
  // `onTime` must outlive this reader.
  explicit ProgressLines(const std::function<void(double seconds)>& onTime) noexcept
      : onTime_(onTime) {}

  void read(std::string_view piece) noexcept;

 private:
  // The key only counts at the start of a field ("out_time=" is another one).
  static constexpr std::string_view kKey = "time=";
  static bool separates(char c) noexcept { return c == ' ' || c == '\r' || c == '\n'; }

  const std::function<void(double seconds)>& onTime_;
  std::array<char, 24> value_{};
  std::size_t length_ = 0;
  std::size_t matched_ = 0;
  bool inValue_ = false;
  bool afterSeparator_ = true;
};

}  // namespace vornlib::platform::runner
