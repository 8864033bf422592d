// Where Vornlib's log lines go.
#pragma once

#include <functional>
#include <string_view>

#include "vornlib/export.h"

namespace vornlib {

// Receives each log line, verbatim and without a line break. It may be called on any thread,
// and from several at once; Vornlib calls it with no lock of its own held.
using LogSink = std::function<void(std::string_view line)>;

// Installs `sink` for the whole process; an empty sink restores the default, which writes each
// line to standard error followed by a line break. Returns the sink it replaced (empty for the
// default), so that a host or a test can put it back.
VORNLIB_API LogSink setLogSink(LogSink sink);

}  // namespace vornlib
