// SPDX-License-Identifier: MIT
/// @file
/// Vornex::Config: everything a caller decides about one conversion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vornlib/codec.hpp"
#include "vornlib/export.h"
#include "vornlib/format.hpp"
#include "vornlib/vornex.hpp"

/// Shared by reference (hand it to Vornex::convert as a std::shared_ptr). The only rule it keeps
/// is that a codec, when set, is one the format accepts at that moment; assigning fileFormat
/// later re-checks nothing. The numbers are stored and used exactly as given.
///
/// Not synchronised. When a conversion reads it, and so when it may be changed, is the rule of
/// Vornex::convert (vornlib/vornex.hpp).
class VORNLIB_API Vornex::Config {
 public:
  /// Which engine a conversion asks for.
  enum class PreferedConverterType {
    auto_,   ///< chosen from the format (Vornex::engine)
    ffmpeg,  ///< the `ffmpeg` program, for every format
    ext      ///< the in-process engine, for every format
  };

  /// Never fails: a missing codec, or one `fileFormat` does not accept, silently becomes the
  /// format's first codec. Note the order: sample rate, bit depth, channels, bit rate.
  Config(Format fileFormat, std::optional<Codec> fileCodec, std::int64_t sampleRate,
         std::int64_t bitDepth, std::int64_t countOfChanel, std::int64_t bitRate) noexcept;

  /// The engine preference; auto_ at construction.
  PreferedConverterType preferedConverter = PreferedConverterType::auto_;
  /// The target container format.
  Format fileFormat;

 private:
  Codec _fileCodec;

 public:
  std::int64_t bitRate;        ///< kilobits per second
  std::int64_t sampleRate;     ///< hertz
  std::int64_t bitDepth;       ///< bits per sample
  std::int64_t countOfChanel;  ///< channels

  /// The target codec.
  Codec fileCodec() const noexcept { return _fileCodec; }

  /// Sets the codec if the current fileFormat accepts it; otherwise throws
  /// VornError::notSupportedCodecByFormat and leaves the codec as it was.
  void updateFileCodec(Codec codec);

  /// One line, e.g. "wav(linearPCM) - 44100 - 16bit - 2ch" or "mp3(mp3) - 192kbs - 2ch".
  std::string description() const;
};
