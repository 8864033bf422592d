// SPDX-License-Identifier: MIT
// VornExtAudioConverter: the in-process conversion engine.
#pragma once

#include <filesystem>

#include "platform/audio_file/audio_file.hpp"
#include "vornlib/config.hpp"
#include "vornlib/vornex.hpp"

// Converts inside convert() and calls the completion on the caller's thread before returning,
// after both files are closed: with the new file's location, or with an ExtError (also logged
// as "error = <text>"). A failed conversion may leave a partial file in the temporary
// directory.
class VornExtAudioConverter {
 public:
  void convert(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition);
};

namespace vornlib::runtime {
class ConversionWatch;
}

namespace vornlib::native {

// The body of VornExtAudioConverter::convert, driving `service` instead of the production one.
// With a `watch`: the output's name once it is chosen (also when the conversion then fails),
// the source's duration and the audio copied so far when progress is wanted, a stop checked
// once per block when the host may stop (the completion then gets VornError::stopped, nothing
// is logged), and on failure a reason naming the failing step, e.g.
// `reading the source failed: osstatusError(-50) (paramErr)`, followed by the last of what FFmpeg
// said. The output goes where `destination` says, as Vornex::Options::destination describes.
void convert(platform::audio::AudioFileService& service, const std::filesystem::path& file,
             const Vornex::Config& with, const Vornex::Completion& completition,
             runtime::ConversionWatch* watch = nullptr,
             const std::filesystem::path& destination = {});

}  // namespace vornlib::native
