// SPDX-License-Identifier: MIT
// Building a FileInfo from any probe provider, so that tests can hand it any property tree.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/av/probe_provider.hpp"
#include "vornlib/file_info.hpp"

namespace vornlib::info {

// Probes `path` through `provider` and keeps the first stream whose "codec_type" is the text
// "audio". Gives no object when the provider gives no session, no media information, no
// property tree, no "streams" list or no audio stream in it. Never throws.
std::optional<Vornex::FileInfo> makeFileInfo(const std::filesystem::path& path,
                                             platform::av::ProbeProvider& provider) noexcept;

}  // namespace vornlib::info
