// SPDX-License-Identifier: MIT
#include <array>

#include "vornlib/vorn_error.hpp"

namespace {

// Built before main() and deliberately never destroyed: a union with an empty destructor
// leaves its member alone at exit.
union Constants {
  Constants() noexcept
      : values{VornError(VornError::Case::unknownError),
               VornError(VornError::Case::ffmpegUnknownError),
               VornError(VornError::Case::notSupportedCodecByFormat),
               VornError(VornError::Case::stopped)} {}
  ~Constants() {}
  Constants(const Constants&) = delete;
  Constants& operator=(const Constants&) = delete;

  VornError values[4];
};

Constants constants;

}  // namespace

const VornError& VornError::unknownError = constants.values[0];
const VornError& VornError::ffmpegUnknownError = constants.values[1];
const VornError& VornError::notSupportedCodecByFormat = constants.values[2];
const VornError& VornError::stopped = constants.values[3];

const char* VornError::what() const noexcept {
  static constexpr std::array<const char*, 4> kNames = {"unknownError", "ffmpegUnknownError",
                                                        "notSupportedCodecByFormat", "stopped"};
  // A value made from a number that names no case (a stored or foreign code, cast).
  if (code() < 0 || static_cast<std::size_t>(code()) >= kNames.size()) return "invalidCase";
  return kNames[static_cast<std::size_t>(code())];
}
