// SPDX-License-Identifier: MIT
#include "platform/posix/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace vornlib::platform::posix {

int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return errno;
  readEnd = UniqueFd(ends[0]);
  writeEnd = UniqueFd(ends[1]);
  for (UniqueFd* end : {&readEnd, &writeEnd}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return errno;
    *end = UniqueFd(moved);
  }
  return 0;
}

}  // namespace vornlib::platform::posix
