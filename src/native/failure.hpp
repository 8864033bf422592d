// SPDX-License-Identifier: MIT
// How the native engine tells of a failure: the step that failed, in words for the observer,
// and the one log line.
#pragma once

#include <string>

#include "vornlib/ext_error.hpp"

namespace vornlib::native {

// The steps of a conversion, in the order they run.
enum class Step {
  openSource,
  describe,
  create,
  setTags,
  setSourceClient,
  setOutputClient,
  read,
  write,
  finish,
};

// "<step> failed: <error>", with the status's name when the service has one, e.g.
// `reading the source failed: osstatusError(-50) (paramErr)`. `source` and `destination` name
// the files the steps that open and create them speak of.
std::string failureReason(Step step, const ExtError& error, const std::string& source,
                          const std::string& destination);

// "error = <textual form>", written from a fixed buffer: reporting a failure needs no memory.
void logFailure(const ExtError& error) noexcept;

}  // namespace vornlib::native
