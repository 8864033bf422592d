#include "native/vorn_ext_audio_converter.hpp"

// The in-process engine has not landed yet: every conversion routed to it fails the way an
// unsupported format does, synchronously, as the engine will report its own failures.
void VornExtAudioConverter::convert(const std::filesystem::path& /*file*/,
                                    const Vornex::Config& /*with*/,
                                    Vornex::Completion completition) {
  completition(std::nullopt, Vornex::Error(ExtError::notSupportedFormat));
}
