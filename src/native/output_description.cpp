// SPDX-License-Identifier: MIT
#include "native/output_description.hpp"

#include <cstdint>
#include <limits>

namespace vornlib::native {

namespace {

constexpr std::int64_t kMaxField = std::numeric_limits<std::uint32_t>::max();
// The largest channels x bits whose frame size (÷ 8) still fits in 32 bits.
constexpr std::uint64_t kMaxFrameBits = 0x7FFFFFFFFULL;

constexpr std::uint32_t kSignedPacked =
    audio::kAudioFormatFlagIsSignedInteger | audio::kAudioFormatFlagIsPacked;  // 12
constexpr std::uint32_t kBigEndianSignedPacked =
    audio::kAudioFormatFlagIsBigEndian | kSignedPacked;  // 14
constexpr std::uint32_t kFloatPacked =
    audio::kAudioFormatFlagIsFloat | audio::kAudioFormatFlagIsPacked;  // 9

std::uint32_t pcmFlags(Vornex::Format format, std::int64_t bitDepth) noexcept {
  switch (format) {
    case Vornex::Format::aifc:
    case Vornex::Format::aiff:
      return kBigEndianSignedPacked;
    case Vornex::Format::wav:
    case Vornex::Format::caf:
      return bitDepth < 32 ? kSignedPacked : kFloatPacked;
    default:
      return kSignedPacked;
  }
}

}  // namespace

std::optional<audio::AudioFileTypeID> fileType(Vornex::Format format) noexcept {
  if (format.ordinal() >= kFileTypeByFormat.size()) return std::nullopt;
  return kFileTypeByFormat[format.ordinal()];
}

audio::AudioStreamBasicDescription outputDescription(const Vornex::Config& from,
                                                     audio::AudioFileService& service) {
  const Vornex::Codec codec = from.fileCodec();
  if (codec.ordinal() >= kFormatIDByCodec.size()) throw ExtError::notSupportedFormat;

  const std::int64_t bits = from.bitDepth;
  const std::int64_t channels = from.countOfChanel;
  if (bits < 0 || bits > kMaxField || channels < 0 || channels > kMaxField) {
    throw ExtError::notSupportedFormat;
  }
  const bool flac = codec == Vornex::Codec::flac;
  const std::uint64_t frameBits =
      static_cast<std::uint64_t>(bits) * static_cast<std::uint64_t>(channels);
  if (!flac && frameBits > kMaxFrameBits) throw ExtError::notSupportedFormat;

  audio::AudioStreamBasicDescription description{};
  description.mSampleRate = static_cast<double>(from.sampleRate);
  description.mBitsPerChannel = static_cast<std::uint32_t>(bits);
  description.mChannelsPerFrame = static_cast<std::uint32_t>(channels);
  description.mFormatID = kFormatIDByCodec[codec.ordinal()];

  if (flac) {
    // The packet layout of flac is the service's to decide.
    std::uint32_t size = sizeof(description);
    const audio::OSStatus status = service.AudioFormatGetProperty(
        audio::kAudioFormatProperty_FormatInfo, 0, nullptr, &size, &description);
    if (status != audio::noErr) throw ExtError::osstatusError(status);
    return description;
  }

  description.mFormatFlags = pcmFlags(from.fileFormat, bits);
  const auto frameBytes = static_cast<std::uint32_t>(frameBits / 8);  // 12-bit mono: 1 byte
  description.mBytesPerPacket = frameBytes;
  description.mFramesPerPacket = 1;
  description.mBytesPerFrame = frameBytes;
  return description;
}

}  // namespace vornlib::native
