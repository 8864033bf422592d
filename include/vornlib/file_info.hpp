// SPDX-License-Identifier: MIT
/// @file
/// Vornex::FileInfo: what a media file says about its first audio stream.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vornlib/export.h"
#include "vornlib/vornex.hpp"

namespace vornlib::info {
struct FileInfoAccess;
}  // namespace vornlib::info

/// A probed file's first audio stream. Copies are cheap and share one immutable state, so a
/// FileInfo may be read from several threads at once. No call throws.
///
/// The readers (duration() to tag()) run on the caller's thread and only read memory: no file
/// access, no blocking. Each works its value out afresh at every call from the probe's result
/// and gives no value (never throws) when the probe did not report it or reported it in a form
/// that does not convert. What they return belongs to the caller.
class VORNLIB_API Vornex::FileInfo {
 public:
  /// Probes `path` with the in-process FFmpeg probe, on the caller's thread, which is blocked
  /// until the probe has finished. The path is taken as a local file name, never as a URL.
  /// Gives no object when the file cannot be opened or read as media (missing, not a regular
  /// file, not a known format, damaged, a stream whose decoder refuses it) or has no audio
  /// stream. The returned object owns a copy of that stream's properties and shares the probe's
  /// result; the file itself is not held open.
  static std::optional<FileInfo> make(const std::filesystem::path& path) noexcept;

  /// Shares the state; a move copies too, so that no FileInfo is ever left empty.
  FileInfo(const FileInfo&) noexcept = default;
  /// Shares the state of the other, as the copy does.
  FileInfo& operator=(const FileInfo&) noexcept = default;
  ~FileInfo() = default;

  /// The container's duration in seconds. No value when the container does not tell it.
  std::optional<double> duration() const noexcept;

  /// The stream's bit rate in kilobits per second (bits / 1000, truncated toward zero). No value
  /// when the stream declares none (FLAC and Opus streams usually do not).
  std::optional<int64_t> bitRate() const noexcept;

  /// Samples per second per channel.
  std::optional<int64_t> sampleRate() const noexcept;

  /// FFmpeg's short codec name, e.g. "pcm_s16le", "mp3", "aac". No value for an unknown codec.
  std::optional<std::string> codecName() const noexcept;

  /// Bits per sample: the codec's fixed sample size when it has one (PCM), otherwise the
  /// decoded sample precision when the stream declares it (FLAC, ALAC). No value for lossy
  /// codecs.
  std::optional<int64_t> bitDepth() const noexcept;

  /// Number of channels.
  std::optional<int64_t> chanelsCount() const noexcept;

  /// The text of the tag named `key` ("title", "artist", "album"...): the container's tag of
  /// that name, names compared without regard to ASCII case as FFmpeg compares them, else the
  /// first audio stream's (an Ogg file keeps its tags there). The text is as FFmpeg read it,
  /// with any byte sequence that is not UTF-8 replaced by U+FFFD as ffprobe replaces it. No value
  /// when neither the container nor the stream has a tag of that name. Cover art is not a tag.
  std::optional<std::string> tag(std::string_view key) const noexcept;

 private:
  friend struct vornlib::info::FileInfoAccess;
  struct State;

  explicit FileInfo(std::shared_ptr<const State> state) noexcept;

  std::shared_ptr<const State> state_;
};
