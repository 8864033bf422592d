#include "platform/runner/progress_lines.hpp"

#include <charconv>
#include <system_error>

namespace vornlib::platform::runner {

std::optional<double> parseClock(std::string_view text) noexcept {
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
    if (inValue_) {
      if (separates(c)) {
        inValue_ = false;
        if (length_ <= value_.size()) {
          if (const auto seconds = parseClock(std::string_view(value_.data(), length_)))
            onTime_(*seconds);
        }
      } else if (length_ < value_.size()) {
        value_[length_++] = c;
      } else {
        length_ = value_.size() + 1;  // too long for a time: ignored
      }
    } else if ((matched_ > 0 || afterSeparator_) && c == kKey[matched_]) {
      if (++matched_ == kKey.size()) {
        matched_ = 0;
        inValue_ = true;
        length_ = 0;
      }
    } else {
      matched_ = 0;
    }
    afterSeparator_ = separates(c);
  }
}

}  // namespace vornlib::platform::runner
