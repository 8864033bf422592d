// SPDX-License-Identifier: MIT
// Pipes for talking with started programs.
#pragma once

#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

// A close-on-exec pipe with both ends above the standard descriptors: when the host has closed
// one of 0-2, a new pipe end could land there and would then be clobbered by a child's own
// redirections. Returns 0 or the errno value.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept;

}  // namespace vornlib::platform::posix
