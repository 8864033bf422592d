// SPDX-License-Identifier: MIT
#include <charconv>
#include <cstring>
#include <string_view>

#include "vornlib/ext_error.hpp"

namespace {

// The two payload-free values, built before main() and deliberately never destroyed: a union
// with an empty destructor leaves its member alone at exit.
union Constants {
  Constants() noexcept
      : values{ExtError(ExtError::Case::unknownError),
               ExtError(ExtError::Case::notSupportedFormat)} {}
  ~Constants() {}
  Constants(const Constants&) = delete;
  Constants& operator=(const Constants&) = delete;

  ExtError values[2];
};

Constants constants;

}  // namespace

const ExtError& ExtError::unknownError = constants.values[0];
const ExtError& ExtError::notSupportedFormat = constants.values[1];

ExtError::ExtError(Case c) noexcept : ExtError(c, 0) {}

ExtError::ExtError(Case c, std::int64_t status) noexcept : case_(c), status_(status) {
  char* out = text_.data();
  char* const end = out + text_.size() - 1;  // the last byte stays the terminator
  const auto append = [&out](std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  };
  switch (c) {
    case Case::osstatusError:
      append("osstatusError(");
      out = std::to_chars(out, end, status).ptr;
      append(")");
      break;
    case Case::unknownError:
      append("unknownError");
      break;
    case Case::notSupportedFormat:
      append("notSupportedFormat");
      break;
  }
}

ExtError ExtError::osstatusError(std::int64_t status) noexcept {
  return ExtError(Case::osstatusError, status);
}
