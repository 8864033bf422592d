// SPDX-License-Identifier: MIT
#include "facade/internal_vorn_converter.hpp"

#include <array>
#include <utility>

#include "ffmpeg/ffmpeg_conversion.hpp"
#include "native/vorn_ext_audio_converter.hpp"
#include "platform/audio_file/audio_file.hpp"

namespace vornlib::facade {

namespace {

void runFFmpeg(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition, const EngineContext& context) {
  ffmpeg::startConversion(platform::runner::controlledProcessRunner(), file, with,
                          std::move(completition), context.watch, context.destination);
}

void runNative(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition, const EngineContext& context) {
  native::convert(platform::audio::ffmpegAudioFileService(), file, with, completition,
                  context.watch.get(), context.destination);
}

// One of the library's engines for one call, with that call's context.
template <auto run>
class LibraryEngine final : public InternalVornConverter {
 public:
  explicit LibraryEngine(EngineContext context) noexcept : context_(std::move(context)) {}
  void convert(const std::filesystem::path& file, const Vornex::Config& with,
               Vornex::Completion completition) override {
    run(file, with, std::move(completition), context_);
  }

 private:
  EngineContext context_;
};

// The formats auto_ sends to the native engine, by format ordinal.
constexpr std::array<bool, 11> kNativeUnderAuto = {
    true,   // wav
    false,  // aac
    true,   // aifc
    true,   // aiff
    true,   // caf
    false,  // m4a
    false,  // mp4
    true,   // flac
    false,  // mp3
    false,  // ogg
    false,  // wma
};

}  // namespace

Engine chooseEngine(const Vornex::Config& config) noexcept {
  switch (config.preferedConverter) {
    case Vornex::Config::PreferedConverterType::ffmpeg:
      return Engine::ffmpeg;
    case Vornex::Config::PreferedConverterType::ext:
      return Engine::native;
    case Vornex::Config::PreferedConverterType::auto_:
      break;
  }
  const std::size_t ordinal = config.fileFormat.ordinal();
  return ordinal < kNativeUnderAuto.size() && kNativeUnderAuto[ordinal] ? Engine::native
                                                                        : Engine::ffmpeg;
}

std::unique_ptr<InternalVornConverter> makeEngine(Engine engine, EngineContext context) {
  if (engine == Engine::native)
    return std::make_unique<LibraryEngine<runNative>>(std::move(context));
  return std::make_unique<LibraryEngine<runFFmpeg>>(std::move(context));
}

}  // namespace vornlib::facade
