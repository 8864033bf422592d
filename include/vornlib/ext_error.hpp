// SPDX-License-Identifier: MIT
/// @file
/// ExtError: the failures of the native (in-process) conversion engine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

#include "vornlib/export.h"

/// Reported by the native engine, and passed to the host unchanged. The case order, and so the
/// codes the C interface reports (domain "Vornlib.ExtError"), is fixed.
///
/// A plain value that owns no heap memory: its text is kept inside the object, and the two
/// constants below are never destroyed, so copying them stays safe on threads that outlive
/// main() (the background executor's workers) while static destructors run.
class VORNLIB_API ExtError : public std::exception {
 public:
  /// The cases, by the index the C interface reports as the code.
  enum class Case : int {
    osstatusError = 0,       ///< an audio-file service call returned a non-zero status
    unknownError = 1,        ///< the service reported success but handed back no file
    notSupportedFormat = 2,  ///< the codec or the format has no native mapping
  };

  /// The service's 32-bit signed status, sign-extended.
  static ExtError osstatusError(std::int64_t status) noexcept;
  /// The service reported success but handed back no file.
  static const ExtError& unknownError;
  /// The codec or the format has no native mapping.
  static const ExtError& notSupportedFormat;

  /// A value of case `c`, with status 0.
  explicit ExtError(Case c) noexcept;

  /// The case.
  Case kind() const noexcept { return case_; }
  /// The case index, as the C interface reports it.
  int code() const noexcept { return static_cast<int>(case_); }
  /// The status carried by osstatusError; 0 for the other cases.
  std::int64_t status() const noexcept { return status_; }
  /// The textual form: "osstatusError(-50)", "unknownError" or "notSupportedFormat".
  /// The text lives as long as this value.
  const char* what() const noexcept override { return text_.data(); }

  /// The same case with the same status.
  friend bool operator==(const ExtError& a, const ExtError& b) noexcept {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

 private:
  ExtError(Case c, std::int64_t status) noexcept;

  Case case_;
  std::int64_t status_ = 0;
  /// "osstatusError(" + the longest 64-bit decimal (20 characters) + ")" + the terminator.
  std::array<char, 40> text_{};
};

template <>
struct std::hash<ExtError> {
  std::size_t operator()(const ExtError& e) const noexcept {
    /// Unsigned, so that no status overflows.
    return std::hash<std::uint64_t>{}(static_cast<std::uint64_t>(e.status()) * 4U +
                                      static_cast<std::uint64_t>(e.code()));
  }
};
