// VornExtAudioConverter: the in-process conversion engine.
#pragma once

#include <filesystem>

#include "vornlib/config.hpp"
#include "vornlib/vornex.hpp"

// Converts inside convert() and calls the completion on the caller's thread before returning.
class VornExtAudioConverter {
 public:
  void convert(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition);
};
