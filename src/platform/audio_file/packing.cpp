// SPDX-License-Identifier: MIT
#include "platform/audio_file/packing.hpp"

#include <bit>
#include <cstring>

namespace vornlib::platform::audio {
namespace {

// Reverses the byte order of each of `samples` values of type T stored at `data`.
template <class T>
void swapBytes(std::uint8_t* data, std::size_t samples) noexcept {
  for (std::size_t i = 0; i < samples; ++i) {
    T value;
    std::memcpy(&value, data + sizeof(T) * i, sizeof(T));
    if constexpr (sizeof(T) == 2) {
      value = __builtin_bswap16(value);
    } else {
      value = __builtin_bswap32(value);
    }
    std::memcpy(data + sizeof(T) * i, &value, sizeof(T));
  }
}

}  // namespace

std::size_t repack(Packing packing, std::uint8_t* data, std::size_t samples) noexcept {
  constexpr bool kLittleHost = std::endian::native == std::endian::little;
  switch (packing) {
    case Packing::kUnsigned8:
      return samples;
    case Packing::kFlipSign8:
      for (std::size_t i = 0; i < samples; ++i) data[i] ^= 0x80;
      return samples;
    case Packing::kLittle16:
    case Packing::kBig16:
      if (kLittleHost != (packing == Packing::kLittle16)) swapBytes<std::uint16_t>(data, samples);
      return samples * 2;
    case Packing::kLittle32:
    case Packing::kBig32:
      if (kLittleHost != (packing == Packing::kLittle32)) swapBytes<std::uint32_t>(data, samples);
      return samples * 4;
    case Packing::kLittle24:
    case Packing::kBig24: {
      // The top 24 bits of each 32-bit sample; each write lands at or before its read.
      const bool big = packing == Packing::kBig24;
      for (std::size_t i = 0; i < samples; ++i) {
        std::uint32_t value;
        std::memcpy(&value, data + 4 * i, 4);
        const auto b1 = static_cast<std::uint8_t>(value >> 8);
        const auto b2 = static_cast<std::uint8_t>(value >> 16);
        const auto b3 = static_cast<std::uint8_t>(value >> 24);
        std::uint8_t* out = data + 3 * i;
        out[0] = big ? b3 : b1;
        out[1] = b2;
        out[2] = big ? b1 : b3;
      }
      return samples * 3;
    }
  }
  return 0;
}

}  // namespace vornlib::platform::audio
