// SPDX-License-Identifier: MIT
/// @file
/// Vornex::Format: the container formats Vornlib writes, and the codecs each accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "vornlib/codec.hpp"
#include "vornlib/export.h"
#include "vornlib/vornex.hpp"

/// A value class around the enumeration, used like Vornex::Codec. The declaration order is
/// fixed: tables elsewhere are indexed by ordinal().
class VORNLIB_API Vornex::Format {
 public:
  /// The formats, in their fixed order; each is also its file name extension.
  enum class Value : std::uint8_t {
    wav,   ///< WAVE
    aac,   ///< AAC in ADTS
    aifc,  ///< AIFF-C
    aiff,  ///< AIFF
    caf,   ///< Core Audio Format
    m4a,   ///< MPEG-4 audio
    mp4,   ///< MPEG-4
    flac,  ///< FLAC
    mp3,   ///< MP3
    ogg,   ///< Ogg
    wma    ///< Windows Media Audio (ASF)
  };
  using enum Value;

  /// The format `v`; implicit, so that a Value may stand wherever a Format is wanted.
  constexpr Format(Value v) noexcept : value_(v) {}  // NOLINT: implicit by design
  /// The enumeration value, for switch and comparison.
  constexpr operator Value() const noexcept { return value_; }

  /// The format whose raw value is exactly `text` (case-sensitive, no dot, no trimming).
  static std::optional<Format> fromRawValue(std::string_view text) noexcept;
  /// All eleven formats in declaration order, wav first. Static storage.
  static std::span<const Format> allCases() noexcept;

  /// "wav", "aac", ... Static storage.
  std::string_view rawValue() const noexcept;
  /// The file name extension, without a dot; the same text as rawValue().
  std::string_view fileExtension() const noexcept { return rawValue(); }
  /// The codecs this format accepts; the first is its default. Constant, static storage.
  std::span<const Codec> avvailableCoddecs() const noexcept;
  /// True when `codec` is among avvailableCoddecs().
  bool isSupport(Codec codec) const noexcept;
  /// The position in the declaration order, from 0.
  constexpr std::size_t ordinal() const noexcept { return static_cast<std::size_t>(value_); }

 private:
  Value value_;
};

template <>
struct std::hash<Vornex::Format> {
  std::size_t operator()(Vornex::Format f) const noexcept {
    return std::hash<std::string_view>{}(f.rawValue());
  }
};
