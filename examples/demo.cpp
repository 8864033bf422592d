// Example host program: prints, for every format with its default codec, the configuration's
// description and the FFmpeg argument string a conversion of the given source would use.
#include <iostream>
#include <memory>

#include <vornlib/vornlib.hpp>

#include "ffmpeg/argument_builder.hpp"

int main(int argc, char** argv) {
  const std::filesystem::path source = argc > 1 ? argv[1] : "/tmp/recording.wav";
  for (const Vornex::Format format : Vornex::Format::allCases()) {
    const Vornex::Config config(format, std::nullopt, 44100, 16, 2, 128);
    const std::filesystem::path output =
        std::filesystem::temp_directory_path() / ("example." + std::string(format.fileExtension()));
    std::cout << config.description() << '\n'
              << "  ffmpeg " << vornlib::ffmpeg::ffmpegCommand(config, source, output) << '\n';
  }
  return 0;
}
