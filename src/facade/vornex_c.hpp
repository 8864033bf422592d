// SPDX-License-Identifier: MIT
// The C entry points with the engine factory passed in, so that tests can drive them with
// fake engines. The extern "C" functions call these with the library's own engines.
#pragma once

#include "facade/delivery.hpp"
#include "vornlib/vornex.h"

namespace vornlib::facade {

int convertWithCompletition(const char* file, const VornexConfig* with, VornexBlock completition,
                            void* context, const EngineFactory& factory,
                            const VornexOptions* options = nullptr) noexcept;

int convertWithCompletionHandler(const char* file, const VornexConfig* with,
                                 VornexBlock completionHandler, void* context,
                                 EngineFactory factory,
                                 const VornexOptions* options = nullptr) noexcept;

}  // namespace vornlib::facade
