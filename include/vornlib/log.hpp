// SPDX-License-Identifier: MIT
/// @file
/// Where Vornlib's log lines go.
#pragma once

#include <functional>
#include <string_view>

#include "vornlib/export.h"

namespace vornlib {

/// Receives each log line, verbatim and without a line break. It may be called on any thread,
/// and from several at once; Vornlib calls it with no lock of its own held.
using LogSink = std::function<void(std::string_view line)>;

/// Installs `sink` for the whole process; an empty sink restores the default, which writes each
/// line to standard error followed by a line break. Returns the sink it replaced (empty for the
/// default), so that a host or a test can put it back.
VORNLIB_API LogSink setLogSink(LogSink sink);

/// Whether FFmpeg's own messages (errors and warnings) from Vornlib's in-process work, the probe
/// and the native engine, go to the log sink, one line each as FFmpeg writes them
/// ("[mp3float @ 0x55d0c2a1e2c0] Header missing"). Off by default: they then go nowhere, and
/// never to the host's standard error; the observer's reason of a failed native conversion still
/// quotes the last of them. Process-wide; returns the setting it replaced.
///
/// FFmpeg has one log callback for the whole process: Vornlib installs its own when it is
/// loaded, which passes every message of the host's own FFmpeg calls on to FFmpeg's default
/// callback unchanged. A host that installs a callback of its own (av_log_set_callback) keeps it;
/// that callback then receives Vornlib's in-process messages as well, and this setting no longer
/// matters.
VORNLIB_API bool setFFmpegMessagesLogged(bool logged) noexcept;

}  // namespace vornlib
