// SPDX-License-Identifier: MIT
#include "platform/posix/path.hpp"

#include <system_error>

namespace vornlib::platform::posix {

std::filesystem::path absolutePath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute;
}

}  // namespace vornlib::platform::posix
