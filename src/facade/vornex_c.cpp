// SPDX-License-Identifier: MIT
// The C interface: translation between C values and the C++ entry points, nothing more.
#include "vornlib/vornex.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "facade/vornex_c.hpp"
#include "vornlib/config.hpp"
#include "vornlib/log.hpp"
#include "vornlib/version.h"

struct VornexConfig {
  std::shared_ptr<Vornex::Config> config;
};

struct VornexOptions {
  VornexProgressBlock progress = nullptr;
  VornexObserver report = nullptr;
  std::string destination;
};

namespace {

struct ErrorView {
  const char* domain;
  long code;
  std::string description;
};

ErrorView view(const Vornex::Error& error) {
  if (const auto* vorn = std::get_if<VornError>(&error)) {
    return {"Vornlib.VornError", vorn->code(), vorn->what()};
  }
  const auto& ext = std::get<ExtError>(error);
  return {"Vornlib.ExtError", ext.code(), ext.what()};
}

void callBlock(VornexBlock block, void* context, const std::filesystem::path* location,
               const Vornex::Error* error) noexcept {
  try {
    if (!error) {
      block(context, location ? location->c_str() : nullptr, nullptr);
      return;
    }
    const ErrorView v = view(*error);
    const VornexError c{v.domain, v.code, v.description.c_str()};
    block(context, location ? location->c_str() : nullptr, &c);
  } catch (...) {
    // Only the string copy can throw; a C block is never left uncalled for want of a text.
    const VornexError c{"Vornlib.VornError", 0, "unknownError"};
    block(context, location ? location->c_str() : nullptr, &c);
  }
}

// Hands `report` to a C observer, its texts living for the call.
void callObserver(VornexObserver observer, void* context, const Vornex::Report& report) {
  std::optional<ErrorView> error;
  if (report.error) error = view(*report.error);
  const VornexError c{error ? error->domain : nullptr, error ? error->code : 0,
                      error ? error->description.c_str() : nullptr};
  const VornexReport r{
      report.engine == Vornex::Engine::ffmpeg ? VORNEX_CONVERTER_FFMPEG : VORNEX_CONVERTER_EXT,
      report.source.c_str(), report.output.empty() ? nullptr : report.output.c_str(),
      error ? &c : nullptr, report.reason.c_str()};
  observer(context, &r);
}

Vornex::Options optionsFor(const VornexOptions* given, void* context) {
  Vornex::Options options;
  if (given == nullptr) return options;
  if (VornexProgressBlock progress = given->progress) {
    options.progress = [progress, context](const Vornex::Progress& report) {
      const VornexProgress c{report.fraction, report.seconds, report.isFinal ? 1 : 0};
      return progress(context, &c) == VORNEX_STOP ? Vornex::ProgressAnswer::stop
                                                  : Vornex::ProgressAnswer::proceed;
    };
  }
  if (VornexObserver report = given->report) {
    options.report = [report, context](const Vornex::Report& r) {
      callObserver(report, context, r);
    };
  }
  options.destination = given->destination;
  return options;
}

}  // namespace

namespace vornlib::facade {

int convertWithCompletition(const char* file, const VornexConfig* with, VornexBlock completition,
                            void* context, const EngineFactory& factory,
                            const VornexOptions* options) noexcept {
  if (!file || !with || !completition) return VORNEX_INVALID_ARGUMENT;
  try {
    dispatch(
        file, *with->config,
        [completition, context](std::optional<std::filesystem::path> location,
                                std::optional<Vornex::Error> error) {
          callBlock(completition, context, location ? &*location : nullptr,
                    error ? &*error : nullptr);
        },
        factory, optionsFor(options, context));
  } catch (...) {
    return VORNEX_OUT_OF_MEMORY;
  }
  return VORNEX_OK;
}

int convertWithCompletionHandler(const char* file, const VornexConfig* with,
                                 VornexBlock completionHandler, void* context,
                                 EngineFactory factory, const VornexOptions* options) noexcept {
  if (!file || !with || !completionHandler) return VORNEX_INVALID_ARGUMENT;
  try {
    convertInBackground(
        file, with->config,
        [completionHandler, context](Outcome outcome) {
          const auto* location = std::get_if<std::filesystem::path>(&outcome);
          const auto* error = std::get_if<Vornex::Error>(&outcome);
          callBlock(completionHandler, context, location, error);
        },
        std::move(factory), optionsFor(options, context));
  } catch (...) {
    return VORNEX_OUT_OF_MEMORY;
  }
  return VORNEX_OK;
}

}  // namespace vornlib::facade

extern "C" {

VornexConfig* vornex_config_create(const char* fileFormat, const char* fileCodec,
                                   int64_t sampleRate, int64_t bitDepth, int64_t countOfChanel,
                                   int64_t bitRate) {
  if (!fileFormat) return nullptr;
  const auto format = Vornex::Format::fromRawValue(fileFormat);
  if (!format) return nullptr;
  std::optional<Vornex::Codec> codec;
  if (fileCodec) {
    codec = Vornex::Codec::fromRawValue(fileCodec);
    if (!codec) return nullptr;
  }
  try {
    auto wrapper = std::make_unique<VornexConfig>();
    wrapper->config = std::make_shared<Vornex::Config>(*format, codec, sampleRate, bitDepth,
                                                       countOfChanel, bitRate);
    return wrapper.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void vornex_config_release(VornexConfig* config) {
  std::unique_ptr<VornexConfig> owned(config);
}

int vornex_config_set_prefered_converter(VornexConfig* config, VornexPreferedConverter converter) {
  using Type = Vornex::Config::PreferedConverterType;
  if (!config) return VORNEX_INVALID_ARGUMENT;
  switch (converter) {
    case VORNEX_CONVERTER_AUTO:
      config->config->preferedConverter = Type::auto_;
      return VORNEX_OK;
    case VORNEX_CONVERTER_FFMPEG:
      config->config->preferedConverter = Type::ffmpeg;
      return VORNEX_OK;
    case VORNEX_CONVERTER_EXT:
      config->config->preferedConverter = Type::ext;
      return VORNEX_OK;
  }
  return VORNEX_INVALID_ARGUMENT;
}

char* vornex_config_copy_description(const VornexConfig* config) {
  if (!config) return nullptr;
  try {
    const std::string text = config->config->description();
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const char* vornex_version(void) {
  return VORNLIB_VERSION_STRING;
}

void vornex_string_free(char* string) {
  std::free(string);
}

int vornex_convert_with_file_with_completition(const char* file, const VornexConfig* with,
                                               VornexBlock completition, void* context) {
  return vornlib::facade::convertWithCompletition(file, with, completition, context,
                                                  vornlib::facade::makeEngine);
}

int vornex_convert_with_file_with_completion_handler(const char* file, const VornexConfig* with,
                                                     VornexBlock completionHandler, void* context) {
  return vornlib::facade::convertWithCompletionHandler(file, with, completionHandler, context,
                                                       vornlib::facade::makeEngine);
}

int vornex_convert_with_file_with_completition_and_progress(const char* file,
                                                            const VornexConfig* with,
                                                            VornexBlock completition,
                                                            VornexProgressBlock progress,
                                                            void* context) {
  const VornexOptions options{progress, nullptr, {}};
  return vornlib::facade::convertWithCompletition(file, with, completition, context,
                                                  vornlib::facade::makeEngine, &options);
}

int vornex_convert_with_file_with_completion_handler_and_progress(const char* file,
                                                                  const VornexConfig* with,
                                                                  VornexBlock completionHandler,
                                                                  VornexProgressBlock progress,
                                                                  void* context) {
  const VornexOptions options{progress, nullptr, {}};
  return vornlib::facade::convertWithCompletionHandler(file, with, completionHandler, context,
                                                       vornlib::facade::makeEngine, &options);
}

int vornex_set_observer(VornexObserver observer, void* context) {
  if (!observer) {
    Vornex::setObserver(nullptr);
    return VORNEX_OK;
  }
  try {
    Vornex::setObserver([observer, context](const Vornex::Report& report) {
      callObserver(observer, context, report);
    });
  } catch (...) {
    return VORNEX_OUT_OF_MEMORY;
  }
  return VORNEX_OK;
}

int vornex_set_log_sink(VornexLogSink sink, void* context) {
  if (!sink) {
    vornlib::setLogSink(nullptr);
    return VORNEX_OK;
  }
  try {
    vornlib::setLogSink([sink, context](std::string_view line) {
      const std::string terminated(line);  // a line that cannot be copied is lost
      sink(context, terminated.c_str());
    });
  } catch (...) {
    return VORNEX_OUT_OF_MEMORY;
  }
  return VORNEX_OK;
}

int vornex_set_ffmpeg_messages_logged(int logged) {
  return vornlib::setFFmpegMessagesLogged(logged != 0) ? 1 : 0;
}

VornexOptions* vornex_options_create(void) {
  try {
    return std::make_unique<VornexOptions>().release();
  } catch (...) {
    return nullptr;
  }
}

void vornex_options_release(VornexOptions* options) {
  std::unique_ptr<VornexOptions> owned(options);
}

int vornex_options_set_progress(VornexOptions* options, VornexProgressBlock progress) {
  if (!options) return VORNEX_INVALID_ARGUMENT;
  options->progress = progress;
  return VORNEX_OK;
}

int vornex_options_set_report(VornexOptions* options, VornexObserver report) {
  if (!options) return VORNEX_INVALID_ARGUMENT;
  options->report = report;
  return VORNEX_OK;
}

int vornex_options_set_destination(VornexOptions* options, const char* destination) {
  if (!options) return VORNEX_INVALID_ARGUMENT;
  try {
    options->destination = destination ? destination : "";
  } catch (...) {
    return VORNEX_OUT_OF_MEMORY;
  }
  return VORNEX_OK;
}

int vornex_convert_with_file_with_completition_and_options(const char* file,
                                                           const VornexConfig* with,
                                                           VornexBlock completition,
                                                           const VornexOptions* options,
                                                           void* context) {
  return vornlib::facade::convertWithCompletition(file, with, completition, context,
                                                  vornlib::facade::makeEngine, options);
}

int vornex_convert_with_file_with_completion_handler_and_options(const char* file,
                                                                 const VornexConfig* with,
                                                                 VornexBlock completionHandler,
                                                                 const VornexOptions* options,
                                                                 void* context) {
  return vornlib::facade::convertWithCompletionHandler(file, with, completionHandler, context,
                                                       vornlib::facade::makeEngine, options);
}

}  // extern "C"
