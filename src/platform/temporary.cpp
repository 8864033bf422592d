#include "platform/temporary.hpp"

#include <uuid/uuid.h>

#include <array>
#include <filesystem>
#include <system_error>

namespace vornlib::platform {

std::string temporaryDirectory() {
  std::error_code error;
  std::string text = std::filesystem::temp_directory_path(error).native();
  if (error || text.empty()) text = "/tmp";
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.back() != '/') text.push_back('/');
  return text;
}

std::string uuidString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  std::array<char, 37> text{};  // 36 characters and the terminator
  uuid_unparse_upper(uuid, text.data());
  return std::string(text.data(), 36);
}

}  // namespace vornlib::platform
