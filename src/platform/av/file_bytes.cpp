// SPDX-License-Identifier: MIT
#include "platform/av/file_bytes.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace vornlib::platform::av {

int FileBytes::read(int64_t offset, void* out, std::size_t count) noexcept {
  if (offset < 0 || count > kMaxRead || offset > size_ - static_cast<int64_t>(count)) {
    return AVERROR_EOF;
  }
  if (offset < windowStart_ ||
      offset + static_cast<int64_t>(count) > windowStart_ + static_cast<int64_t>(windowLength_)) {
    windowStart_ = offset;
    windowLength_ = 0;
    while (windowLength_ < count) {  // more than `count` when the file has it
      const ssize_t got =
          ::pread(descriptor_, window_.data() + windowLength_, window_.size() - windowLength_,
                  static_cast<off_t>(offset + static_cast<int64_t>(windowLength_)));
      if (got == 0) return AVERROR_EOF;  // shorter now than when its size was taken
      if (got < 0 && errno != EINTR) return AVERROR(errno);
      if (got > 0) windowLength_ += static_cast<std::size_t>(got);
    }
  }
  std::memcpy(out, window_.data() + (offset - windowStart_), count);
  return 0;
}

int FileBytes::readPadded(int64_t offset, uint8_t* out, std::size_t count) noexcept {
  std::memset(out, 0, count);
  if (offset < 0 || offset >= size_) return 0;
  const auto present =
      static_cast<std::size_t>(std::min<int64_t>(size_ - offset, static_cast<int64_t>(count)));
  return read(offset, out, present);
}

}  // namespace vornlib::platform::av
