// VornExtAudioConverter: the in-process conversion engine.
#pragma once

#include <filesystem>

#include "platform/audio_file.hpp"
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

namespace vornlib::native {

// The body of VornExtAudioConverter::convert, driving `service` instead of the production one.
void convert(platform::audio::AudioFileService& service, const std::filesystem::path& file,
             const Vornex::Config& with, const Vornex::Completion& completition);

}  // namespace vornlib::native
