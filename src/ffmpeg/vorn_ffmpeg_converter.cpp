// SPDX-License-Identifier: MIT
#include "vornlib/vorn_ffmpeg_converter.hpp"

#include "ffmpeg/ffmpeg_conversion.hpp"

void VornFFMpegConverter::convert(const std::filesystem::path& file, const Vornex::Config& with,
                                  Vornex::Completion completition) {
  vornlib::ffmpeg::startConversion(vornlib::platform::runner::controlledProcessRunner(), file, with,
                                   std::move(completition));
}
