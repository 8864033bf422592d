// SPDX-License-Identifier: MIT
// Encoders that FFmpeg builds of other platforms have, replaced by FFmpeg's own encoder of the
// same codec where the program lacks them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vornlib::platform::runner {

// Argument strings written on another platform name its encoders (aac_at); a build without one
// still converts with FFmpeg's own (aac). Rewrites each `-c:a`/`-acodec` value that `program`
// lacks and whose replacement it has; a program that has both keeps what was asked for. The
// program's encoders are asked once per program path (`ffmpeg -encoders`), and only when an
// argument names one that might be replaced.
void substituteMissingEncoders(const std::filesystem::path& program,
                               std::vector<std::string>& arguments);

}  // namespace vornlib::platform::runner
