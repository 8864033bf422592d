// SPDX-License-Identifier: MIT
/// @file
/// Vornex::Codec: the audio encodings Vornlib knows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "vornlib/export.h"
#include "vornlib/vornex.hpp"

/// A value class around the enumeration: Vornex::Codec c = Vornex::Codec::mp3; works, as do
/// switch (c), c == Vornex::Codec::aac and std::hash. The declaration order is fixed: tables
/// elsewhere are indexed by ordinal().
class VORNLIB_API Vornex::Codec {
 public:
  /// The codecs, in their fixed order.
  enum class Value : std::uint8_t {
    linearPCM,  ///< linear PCM
    alaw,       ///< A-law
    ulaw,       ///< µ-law
    aac,        ///< AAC
    alac,       ///< Apple Lossless
    flac,       ///< FLAC
    mp3,        ///< MPEG layer 3
    vorbis,     ///< Vorbis
    wma,        ///< Windows Media Audio
    ac3,        ///< AC-3
    mp2,        ///< MPEG layer 2
    oggPCM      ///< PCM in Ogg (written as FLAC)
  };
  using enum Value;

  /// The codec `v`; implicit, so that a Value may stand wherever a Codec is wanted.
  constexpr Codec(Value v) noexcept : value_(v) {}  // NOLINT: implicit by design
  /// The enumeration value, for switch and comparison.
  constexpr operator Value() const noexcept { return value_; }

  /// The codec whose raw value is exactly `text` (case-sensitive, no trimming), if any.
  static std::optional<Codec> fromRawValue(std::string_view text) noexcept;

  /// The case name, e.g. "linearPCM" or "oggPCM". Static storage.
  std::string_view rawValue() const noexcept;
  /// True for the codecs that take a bit rate: aac, mp3, vorbis, ac3, mp2.
  bool isBitRateSupport() const noexcept;
  /// The position in the declaration order, from 0.
  constexpr std::size_t ordinal() const noexcept { return static_cast<std::size_t>(value_); }

 private:
  Value value_;
};

template <>
struct std::hash<Vornex::Codec> {
  std::size_t operator()(Vornex::Codec c) const noexcept {
    return std::hash<std::string_view>{}(c.rawValue());
  }
};
