// One conversion through an FFmpeg runner: the body of VornFFMpegConverter::convert, with the
// runner passed in so that tests can end runs however they like.
#pragma once

#include <filesystem>

#include "vornlib/config.hpp"
#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::ffmpeg {

void startConversion(FFmpegRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition);

}  // namespace vornlib::ffmpeg
