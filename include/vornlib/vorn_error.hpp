// SPDX-License-Identifier: MIT
/// @file
/// VornError: the library's own error values.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

#include "vornlib/export.h"

/// The failures that Vornlib itself reports. The codes are fixed: hosts and the C
/// interface (domain "Vornlib.VornError") rely on them, so a new case only ever goes last.
///
/// A VornError is a plain value: copy it, compare it, switch on kind(). It derives from
/// std::exception so that the calls which throw can throw it as it is. The constants below are
/// never destroyed, so that threads still running while static destructors run at exit may
/// copy them.
class VORNLIB_API VornError : public std::exception {
 public:
  /// The cases, by the index the C interface reports as the code.
  enum class Case : int {
    unknownError = 0,               ///< an asynchronous call got neither a location nor an error
    ffmpegUnknownError = 1,         ///< the FFmpeg run failed (or could not be started)
    notSupportedCodecByFormat = 2,  ///< updateFileCodec() got a codec the format does not accept
    stopped = 3,                    ///< the host stopped the conversion (Vornex::Options)
  };

  /// An asynchronous call got neither a location nor an error.
  static const VornError& unknownError;
  /// The FFmpeg run failed (or could not be started).
  static const VornError& ffmpegUnknownError;
  /// updateFileCodec() got a codec the format does not accept.
  static const VornError& notSupportedCodecByFormat;
  /// The host stopped the conversion.
  static const VornError& stopped;

  /// A value of case `c`.
  explicit VornError(Case c) noexcept : case_(c) {}

  /// The case.
  Case kind() const noexcept { return case_; }
  /// The case index, as the C interface reports it.
  int code() const noexcept { return static_cast<int>(case_); }
  /// The case name, e.g. "ffmpegUnknownError"; "invalidCase" for a value made from a number that
  /// names no case. Static storage.
  const char* what() const noexcept override;

  /// The same case.
  friend bool operator==(const VornError& a, const VornError& b) noexcept {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

template <>
struct std::hash<VornError> {
  std::size_t operator()(const VornError& e) const noexcept { return std::hash<int>{}(e.code()); }
};
