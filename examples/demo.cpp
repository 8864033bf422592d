// Example host program: converts one source to each of the eleven formats with its default
// codec (44100 Hz, 16 bits, 2 channels, 128 kbit/s), letting Vornlib pick the engine, and
// prints for each the engine that served it, the output's path and size and the six facts
// the probe reads of it.
//
//   vornlib-demo [FILE]    (without a file, it makes a two-second tone to convert)
#include <future>
#include <iostream>
#include <memory>

#include <vornlib/vornlib.hpp>

namespace {

// A two-second stereo tone, made with the same runner the FFmpeg engine uses.
std::optional<std::filesystem::path> makeTone() {
  const auto path = std::filesystem::temp_directory_path() / "vornlib-demo-tone.wav";
  std::promise<bool> done;
  vornlib::processRunner().executeAsync(
      "-f lavfi -i \"sine=frequency=440:duration=2\" -ac 2 \"" + path.string() + "\"",
      [&done](std::shared_ptr<vornlib::FFmpegSession> session) {
        done.set_value(session && session->getReturnCode() &&
                       session->getReturnCode()->isValueSuccess());
      });
  if (!done.get_future().get()) return std::nullopt;
  return path;
}

template <class T>
std::string show(const std::optional<T>& value) {
  if (!value) return "-";
  if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else {
    return std::to_string(*value);
  }
}

void printFacts(const std::filesystem::path& file) {
  const auto info = Vornex::FileInfo::make(file);
  if (!info) {
    std::cout << "     no audio facts\n";
    return;
  }
  std::cout << "     duration " << show(info->duration()) << " s, bit rate "
            << show(info->bitRate()) << " kbit/s, " << show(info->sampleRate()) << " Hz, codec "
            << show(info->codecName()) << ", " << show(info->bitDepth()) << " bits, "
            << show(info->chanelsCount()) << " channels\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path source;
  if (argc > 1) {
    source = argv[1];
  } else if (auto tone = makeTone()) {
    source = *tone;
  } else {
    std::cerr << "vornlib-demo: could not make a tone with " << vornlib::ffmpegProgram() << '\n';
    return 1;
  }
  std::cout << "source: " << source.string() << '\n';
  printFacts(source);
  std::cout << '\n';

  int failures = 0;
  for (const Vornex::Format format : Vornex::Format::allCases()) {
    auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
    const bool native = Vornex::engine(*config) == Vornex::Engine::native;
    std::cout << config->description() << "  [" << (native ? "native" : "ffmpeg") << " engine]\n";
    try {
      const std::filesystem::path output = Vornex::convert(source, config).get();
      std::cout << "  -> " << output.string() << " (" << std::filesystem::file_size(output)
                << " bytes)\n";
      printFacts(output);
      std::filesystem::remove(output);  // the file is ours to keep or drop; a demo drops it
    } catch (const std::exception& error) {
      ++failures;
      std::cout << "  -> failed: " << error.what() << '\n';
    }
  }
  std::cout << '\n' << (11 - failures) << " of 11 formats converted\n";
  return failures == 0 ? 0 : 1;
}
