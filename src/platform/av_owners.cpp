#include "platform/av_owners.hpp"

#include <array>

extern "C" {
#include <libavutil/error.h>
}

namespace vornlib::platform {

std::string avErrorText(int error) {
  std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
  if (av_strerror(error, text.data(), text.size()) < 0) return "error " + std::to_string(error);
  return text.data();
}

}  // namespace vornlib::platform
