// SPDX-License-Identifier: MIT
// Turns a configuration into the FFmpeg argument string of one conversion.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "vornlib/config.hpp"

namespace vornlib::ffmpeg {

// The encoder choice followed by "-vn", or nothing when FFmpeg is left to pick the encoder
// from the output's extension (the PCM family outside the aac container).
std::optional<std::string> ffmpegCodec(const Vornex::Config& config);

// The PCM sample-format choice derived from bitDepth; empty for alac and oggPCM.
std::string ffmpegBitDepth(const Vornex::Config& config);

// The whole argument string, without the program name: the input, the options, the output,
// single blanks between them and each path in double quotes, written as it is; a double quote in
// a path is written `"\""`, which the runner reads as one (platform/runner/argument_split.hpp).
// Never fails; numbers are written as held.
// With `muxer` (for an output whose name does not say its format), "-f <muxer>" goes right
// before the output.
std::string ffmpegCommand(const Vornex::Config& config, const std::filesystem::path& input,
                          const std::filesystem::path& output, std::string_view muxer = {});

// The muxer ffmpeg picks for a file named with the format's extension ("adts" for aac, "ipod" for
// m4a, "asf" for wma...).
std::string_view ffmpegMuxer(Vornex::Format format) noexcept;

}  // namespace vornlib::ffmpeg
