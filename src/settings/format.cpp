// SPDX-License-Identifier: MIT
#include "vornlib/format.hpp"

#include <algorithm>
#include <array>

namespace {

using Codec = Vornex::Codec;
using Format = Vornex::Format;

constexpr std::array<std::string_view, 11> kFormatNames = {
    "wav", "aac", "aifc", "aiff", "caf", "m4a", "mp4", "flac", "mp3", "ogg", "wma"};

constexpr std::array<Codec, 3> kPcmFamily = {Codec::linearPCM, Codec::alaw, Codec::ulaw};
constexpr std::array<Codec, 1> kLinearOnly = {Codec::linearPCM};
constexpr std::array<Codec, 1> kAac = {Codec::aac};
constexpr std::array<Codec, 2> kM4a = {Codec::aac, Codec::alac};
constexpr std::array<Codec, 5> kMp4 = {Codec::aac, Codec::alac, Codec::ac3, Codec::mp3, Codec::mp2};
constexpr std::array<Codec, 1> kFlac = {Codec::flac};
constexpr std::array<Codec, 1> kMp3 = {Codec::mp3};
constexpr std::array<Codec, 2> kOgg = {Codec::vorbis, Codec::oggPCM};
constexpr std::array<Codec, 1> kWma = {Codec::wma};

// Indexed by format ordinal.
constexpr std::array<std::span<const Codec>, 11> kCodecsOfFormat = {
    kPcmFamily, kAac, kPcmFamily, kLinearOnly, kPcmFamily, kM4a, kMp4, kFlac, kMp3, kOgg, kWma};

constexpr std::array<Format, 11> kAllFormats = {
    Format::wav, Format::aac,  Format::aifc, Format::aiff, Format::caf, Format::m4a,
    Format::mp4, Format::flac, Format::mp3,  Format::ogg,  Format::wma};

}  // namespace

std::optional<Vornex::Format> Vornex::Format::fromRawValue(std::string_view text) noexcept {
  const auto it = std::find(kFormatNames.begin(), kFormatNames.end(), text);
  if (it == kFormatNames.end()) return std::nullopt;
  return Format(static_cast<Value>(it - kFormatNames.begin()));
}

std::span<const Vornex::Format> Vornex::Format::allCases() noexcept {
  return kAllFormats;
}

std::string_view Vornex::Format::rawValue() const noexcept {
  return kFormatNames[ordinal()];
}

std::span<const Vornex::Codec> Vornex::Format::avvailableCoddecs() const noexcept {
  return kCodecsOfFormat[ordinal()];
}

bool Vornex::Format::isSupport(Codec codec) const noexcept {
  const auto codecs = avvailableCoddecs();
  return std::find(codecs.begin(), codecs.end(), codec) != codecs.end();
}
