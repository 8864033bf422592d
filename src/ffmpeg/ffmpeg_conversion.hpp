// One conversion through an FFmpeg runner: the body of VornFFMpegConverter::convert, with the
// runner passed in so that tests can end runs however they like.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/conversion_watch.hpp"
#include "vornlib/config.hpp"
#include "vornlib/ffmpeg_runner.hpp"

namespace vornlib::ffmpeg {

// With a `watch`, the run reports progress and may be stopped (through the process runner), and
// the watch learns the output's name and, for a failure, the last lines ffmpeg printed or why it
// was not run. A stopped run completes with VornError::stopped.
void startConversion(FFmpegRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition,
                     std::shared_ptr<platform::ConversionWatch> watch = nullptr);

}  // namespace vornlib::ffmpeg
