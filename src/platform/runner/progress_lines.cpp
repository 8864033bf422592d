// SPDX-License-Identifier: MIT
#include "platform/runner/progress_lines.hpp"

#include <charconv>
#include <system_error>

namespace vornlib::platform::runner {

std::optional<double> parseClock(std::string_view text) noexcept {
  if (text.starts_with('-')) return {};  // "-00:00:00.02": a negative hour count reads as 0
  const char* const end = text.data() + text.size();
  long hours = -1;
  int minutes = -1;
  double seconds = -1;
  auto parsed = std::from_chars(text.data(), end, hours);
  if (parsed.ec != std::errc() || hours < 0 || parsed.ptr == end || *parsed.ptr != ':') return {};
  parsed = std::from_chars(parsed.ptr + 1, end, minutes);
  if (parsed.ec != std::errc() || minutes < 0 || parsed.ptr == end || *parsed.ptr != ':') return {};
  parsed = std::from_chars(parsed.ptr + 1, end, seconds, std::chars_format::fixed);
  if (parsed.ec != std::errc() || parsed.ptr != end || !(seconds >= 0)) return {};
  return static_cast<double>(hours) * 3600 + minutes * 60 + seconds;
}

void ProgressLines::read(std::string_view piece) noexcept {
  for (const char c : piece) {
    if (c == '\r' || c == '\n') {
      endLine();
      length_ = 0;
    } else if (length_ < line_.size()) {
      line_[length_++] = c;
    }
  }
}

void ProgressLines::endLine() noexcept {
  std::string_view line(line_.data(), length_);
  // The key only counts at the start of a field ("out_time=" is another one).
  const std::size_t time = line.find(" time=");
  if (line.starts_with("time=") || time != std::string_view::npos) {
    std::string_view value = line.substr(time == std::string_view::npos ? 5 : time + 6);
    value = value.substr(0, value.find(' '));
    if (const auto seconds = parseClock(value); seconds && onTime_) onTime_(*seconds);
    return;
  }
  constexpr std::string_view kDuration = "Duration: ";
  const std::size_t first = line.find_first_not_of(' ');
  if (durationSeen_ || first == std::string_view::npos || line.substr(first, 10) != kDuration)
    return;
  durationSeen_ = true;  // the first input's; later ones are not the source
  std::string_view value = line.substr(first + kDuration.size());
  value = value.substr(0, value.find(','));
  if (const auto seconds = parseClock(value); seconds && onDuration_) onDuration_(*seconds);
}

}  // namespace vornlib::platform::runner
