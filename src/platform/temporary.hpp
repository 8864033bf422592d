// The temporary directory and fresh UUID names for output files.
#pragma once

#include <string>

namespace vornlib::platform {

// The temporary directory's path text, ending in exactly one '/'.
std::string temporaryDirectory();

// A new random UUID, 36 characters, upper-case hexadecimal in groups of 8-4-4-4-12.
std::string uuidString();

}  // namespace vornlib::platform
