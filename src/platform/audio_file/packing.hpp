// SPDX-License-Identifier: MIT
// How the writer's resampled samples become the bytes a PCM file stores.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornlib::platform::audio {

// How the resampler's native-endian output becomes the bytes the file stores.
enum class Packing {
  kUnsigned8,
  kFlipSign8,
  kLittle16,
  kBig16,
  kLittle24,
  kBig24,
  kLittle32,
  kBig32
};

// Rewrites `samples` native-endian values at `data` in place into the stored byte layout;
// gives the bytes they take now. kLittle24/kBig24 take the top 24 bits of 32-bit samples.
std::size_t repack(Packing packing, std::uint8_t* data, std::size_t samples) noexcept;

}  // namespace vornlib::platform::audio
