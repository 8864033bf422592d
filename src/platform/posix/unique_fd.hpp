// SPDX-License-Identifier: MIT
// An owned file descriptor, closed exactly once on every path.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vornlib::platform::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes now. No retry on EINTR: on Linux the descriptor is released even then, and a retry
  // could close a descriptor another thread has just been given.
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Closes now and says how it went: 0, or the errno of a close that failed (a file system
  // may report a failed delayed write only here).
  int close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 || errno == EINTR ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace vornlib::platform::posix
