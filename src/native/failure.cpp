// SPDX-License-Identifier: MIT
#include "native/failure.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "platform/audio_file/audio_file.hpp"
#include "runtime/log.hpp"

namespace vornlib::native {
namespace {

std::string stepText(Step step, const std::string& source, const std::string& destination) {
  switch (step) {
    case Step::openSource:
      return "opening the source \"" + source + "\"";
    case Step::describe:
      return "describing the output";
    case Step::create:
      return "creating the output \"" + destination + "\"";
    case Step::setTags:
      return "setting the tags of the output";
    case Step::setSourceClient:
      return "setting the client format of the source";
    case Step::setOutputClient:
      return "setting the client format of the output";
    case Step::read:
      return "reading the source";
    case Step::write:
      return "writing the output";
    case Step::finish:
      return "finishing the output";
  }
  return "converting";
}

}  // namespace

std::string failureReason(Step step, const ExtError& error, const std::string& source,
                          const std::string& destination) {
  std::string reason = stepText(step, source, destination) + " failed: " + error.what();
  if (error.kind() == ExtError::Case::osstatusError) {
    const auto status = static_cast<platform::audio::OSStatus>(error.status());
    const std::string_view name = platform::audio::statusName(status);
    if (!name.empty()) reason.append(" (").append(name).append(")");
    if (step == Step::create && status == platform::audio::dupFNErr)
      reason.append(": something is there already; it is left as it is");
  }
  return reason;
}

void logFailure(const ExtError& error) noexcept {
  constexpr std::string_view kPrefix = "error = ";
  std::array<char, kPrefix.size() + 64> line{};
  const std::size_t length = std::min(std::strlen(error.what()), line.size() - kPrefix.size());
  std::memcpy(line.data(), kPrefix.data(), kPrefix.size());
  std::memcpy(line.data() + kPrefix.size(), error.what(), length);
  runtime::log(std::string_view(line.data(), kPrefix.size() + length));
}

}  // namespace vornlib::native
