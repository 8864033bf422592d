// SPDX-License-Identifier: MIT
// One conversion through an FFmpeg runner: the body of VornFFMpegConverter::convert, with the
// runner passed in so that tests can end runs however they like.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/runner/run_options.hpp"
#include "runtime/conversion_watch.hpp"
#include "vornlib/config.hpp"

namespace vornlib::ffmpeg {

// With a `watch`, the run reports progress and may be stopped (as far as the runner honours its
// options), and the watch learns the output's name and, for a failure, the last lines ffmpeg
// printed or why it was not run. A stopped run completes with VornError::stopped. The output goes
// where `destination` says, as Vornex::Options::destination describes.
void startConversion(platform::runner::ControlledRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition,
                     std::shared_ptr<runtime::ConversionWatch> watch = nullptr,
                     const std::filesystem::path& destination = {});

}  // namespace vornlib::ffmpeg
