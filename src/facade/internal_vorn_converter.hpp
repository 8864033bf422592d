// SPDX-License-Identifier: MIT
// The engine interface, the engine choice and the library's two engines.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "runtime/conversion_watch.hpp"
#include "vornlib/config.hpp"
#include "vornlib/vornex.hpp"

namespace vornlib::facade {

// What every engine offers. An engine calls the completion exactly once, with a location or
// an error; it may do so before convert returns or later from a thread of its own, and it
// reads the configuration only during convert.
class InternalVornConverter {
 public:
  virtual ~InternalVornConverter() = default;
  virtual void convert(const std::filesystem::path& file, const Vornex::Config& with,
                       Vornex::Completion completition) = 0;
};

using Engine = Vornex::Engine;

// With auto_, wav, aifc, aiff, caf and flac go to the native engine and the rest to FFmpeg;
// an explicit preference is obeyed for every format.
Engine chooseEngine(const Vornex::Config& config) noexcept;

// What one call hands its engine beside the system's three arguments. The engine reports progress
// to `watch`, looks at its stop requests and leaves there the output's name and why a conversion
// failed; it puts the output where `destination` says (Vornex::Options::destination). An engine
// that cannot do that ignores it.
struct EngineContext {
  std::shared_ptr<runtime::ConversionWatch> watch;
  std::filesystem::path destination;
};

// Makes a fresh engine object for one call.
using EngineFactory =
    std::function<std::unique_ptr<InternalVornConverter>(Engine engine, EngineContext context)>;

// The library's engines: the FFmpeg engine on the process runner, and the native engine on the
// audio-file service.
std::unique_ptr<InternalVornConverter> makeEngine(Engine engine, EngineContext context);

}  // namespace vornlib::facade
