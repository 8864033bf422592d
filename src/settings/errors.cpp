#include <array>

#include "vornlib/ext_error.hpp"
#include "vornlib/vorn_error.hpp"

const char* VornError::what() const noexcept {
  static constexpr std::array<const char*, 3> kNames = {"unknownError", "ffmpegUnknownError",
                                                        "notSupportedCodecByFormat"};
  return kNames[static_cast<std::size_t>(code())];
}

namespace {

std::string extErrorText(ExtError::Case c, std::int64_t status) {
  switch (c) {
    case ExtError::Case::osstatusError:
      return "osstatusError(" + std::to_string(status) + ")";
    case ExtError::Case::unknownError:
      return "unknownError";
    case ExtError::Case::notSupportedFormat:
      return "notSupportedFormat";
  }
  return "unknownError";
}

}  // namespace

ExtError::ExtError(Case c) : ExtError(c, 0) {}

ExtError::ExtError(Case c, std::int64_t status)
    : case_(c), status_(status), text_(extErrorText(c, status)) {}

ExtError ExtError::osstatusError(std::int64_t status) {
  return ExtError(Case::osstatusError, status);
}
