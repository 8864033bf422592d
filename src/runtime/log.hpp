// SPDX-License-Identifier: MIT
// The log: one line at a time to the installed sink (standard error by default).
#pragma once

#include <string_view>

namespace vornlib::runtime {

// Writes `line` verbatim: no format pattern is applied, no prefix or level added.
void log(std::string_view line) noexcept;

// Whether the host asked for FFmpeg's messages from Vornlib's in-process work to be logged
// (vornlib::setFFmpegMessagesLogged).
bool ffmpegMessagesLogged() noexcept;

}  // namespace vornlib::runtime
