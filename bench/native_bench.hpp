// SPDX-License-Identifier: MIT
// The child side of the native engine's memory benchmark (see native_bench.cpp).
#pragma once

namespace vornlib::bench {

// Runs one native conversion of `source` as the conversion named `conversion` says ("wav",
// "wav48k", "aiff", "caf" or "flac"), after a warm-up conversion of a 1-second file to the same
// format, and prints "before_kib <resident size before> peak_kib <peak growth>" to standard
// output. The exit status is 0 on success.
int nativeOnce(const char* source, const char* conversion);

}  // namespace vornlib::bench
