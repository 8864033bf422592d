// SPDX-License-Identifier: MIT
#include "platform/runner/argument_split.hpp"

namespace vornlib::platform::runner {

std::vector<std::string> splitArguments(std::string_view text) {
  std::vector<std::string> arguments;
  std::string current;
  // Tracked apart from `current` being non-empty, so that `""` still yields an argument.
  bool inArgument = false;
  bool inQuotes = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && !inQuotes && i + 1 < text.size() && text[i + 1] == '"') {
      current.push_back('"');
      inArgument = true;
      ++i;
    } else if (c == '"') {
      inQuotes = !inQuotes;
      inArgument = true;
    } else if (c == ' ' && !inQuotes) {
      if (inArgument) {
        arguments.push_back(std::move(current));
        current.clear();
        inArgument = false;
      }
    } else {
      current.push_back(c);
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(std::move(current));
  return arguments;
}

}  // namespace vornlib::platform::runner
