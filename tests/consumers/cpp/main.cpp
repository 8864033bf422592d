// SPDX-License-Identifier: MIT
// A C++ host of the installed package: converts a tone through both engines, once to the end
// and once stopped at its first progress report, and counts what the observer sees. Run it in a
// scratch directory: the tones are made there.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vornlib/vornlib.hpp>

namespace {

namespace fs = std::filesystem;
using Engine = Vornex::Config::PreferedConverterType;
std::atomic<int> ffmpegReports{0};
std::atomic<int> nativeReports{0};

// A sine tone of `seconds` in the working directory, made by the ffmpeg program.
fs::path tone(int seconds) {
  const std::string name = "tone-" + std::to_string(seconds) + ".wav";
  const std::string command =
      "/usr/bin/ffmpeg -nostdin -v error -y -f lavfi -i sine=d=" + std::to_string(seconds) + " " +
      name;
  if (std::system(command.c_str()) != 0) std::exit(2);
  return name;
}

// True when the conversion ends as expected: a three-second file, or VornError::stopped.
bool convert(const fs::path& source, Vornex::Format format, Engine engine, bool stop) {
  auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
  config->preferedConverter = engine;
  Vornex::Options options;
  options.progress = [stop](const Vornex::Progress&) {
    return stop ? Vornex::ProgressAnswer::stop : Vornex::ProgressAnswer::proceed;
  };
  try {
    const fs::path output = Vornex::convert(source, config, std::move(options)).get();
    const auto info = Vornex::FileInfo::make(output);
    fs::remove(output);
    return !stop && info && info->duration().value_or(0) > 2.5;
  } catch (const std::exception& e) {
    // The error types' typeinfo comes from the library, shared or static alike.
    const auto* error = dynamic_cast<const VornError*>(&e);
    if (stop && error && *error == VornError::stopped) return true;
    std::fprintf(stderr, "%s: %s\n", source.c_str(), e.what());
    return false;
  }
}

}  // namespace

int main() {
  Vornex::setObserver([](const Vornex::Report& report) {
    ++(report.engine == Vornex::Engine::ffmpeg ? ffmpegReports : nativeReports);
    std::error_code ignored;
    if (report.error) fs::remove(report.output, ignored);  // a stopped run's partial output
  });
  const fs::path shortTone = tone(3);
  const fs::path longTone = tone(600);
  const bool ok = convert(shortTone, Vornex::Format::mp3, Engine::ffmpeg, false) &&
                  convert(shortTone, Vornex::Format::flac, Engine::ext, false) &&
                  convert(longTone, Vornex::Format::mp3, Engine::ffmpeg, true) &&
                  convert(longTone, Vornex::Format::flac, Engine::ext, true);
  Vornex::setObserver({});
  std::printf("C++ consumer: %s, observer saw %d ffmpeg and %d native conversions\n",
              ok ? "ok" : "FAILED", ffmpegReports.load(), nativeReports.load());
  return ok && ffmpegReports == 2 && nativeReports == 2 ? 0 : 1;
}
