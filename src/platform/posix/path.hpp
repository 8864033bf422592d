// SPDX-License-Identifier: MIT
// File-system paths as the engines take them from a host.
#pragma once

#include <filesystem>

namespace vornlib::platform::posix {

// `path` made absolute against the working directory now, as a file location always is: a name
// such as "concat:a|b" or "pipe:1" then can never be read by FFmpeg as a protocol, and it does
// not depend on where the host stands later. When the working directory cannot be known, the
// path as given.
std::filesystem::path absolutePath(const std::filesystem::path& path);

}  // namespace vornlib::platform::posix
