// ExtError: the failures of the native (in-process) conversion engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

// Reported by the native engine, and passed to the host unchanged. The case order, and so the
// codes the C interface reports (domain "Vornlib.ExtError"), is fixed.
class ExtError : public std::exception {
 public:
  enum class Case : int {
    osstatusError = 0,       // an audio-file service call returned a non-zero status
    unknownError = 1,        // the service reported success but handed back no file
    notSupportedFormat = 2,  // the codec or the format has no native mapping
  };

  // The service's 32-bit signed status, sign-extended.
  static ExtError osstatusError(std::int64_t status);
  static const ExtError unknownError;
  static const ExtError notSupportedFormat;

  explicit ExtError(Case c);

  Case kind() const noexcept { return case_; }
  int code() const noexcept { return static_cast<int>(case_); }
  // The status carried by osstatusError; 0 for the other cases.
  std::int64_t status() const noexcept { return status_; }
  // The textual form: "osstatusError(-50)", "unknownError" or "notSupportedFormat".
  // The text lives as long as this value.
  const char* what() const noexcept override { return text_.c_str(); }

  friend bool operator==(const ExtError& a, const ExtError& b) noexcept {
    return a.case_ == b.case_ && a.status_ == b.status_;
  }

 private:
  ExtError(Case c, std::int64_t status);

  Case case_;
  std::int64_t status_ = 0;
  std::string text_;
};

inline const ExtError ExtError::unknownError{ExtError::Case::unknownError};
inline const ExtError ExtError::notSupportedFormat{ExtError::Case::notSupportedFormat};

template <>
struct std::hash<ExtError> {
  std::size_t operator()(const ExtError& e) const noexcept {
    return std::hash<std::int64_t>{}(e.status() * 4 + e.code());
  }
};
