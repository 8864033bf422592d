// SPDX-License-Identifier: MIT
#include "vornlib/codec.hpp"

#include <algorithm>
#include <array>

namespace {

using Codec = Vornex::Codec;

struct CodecEntry {
  std::string_view rawValue;
  bool takesBitRate;
};

// By codec ordinal.
constexpr std::array<CodecEntry, 12> kCodecs = {{
    {"linearPCM", false},
    {"alaw", false},
    {"ulaw", false},
    {"aac", true},
    {"alac", false},
    {"flac", false},
    {"mp3", true},
    {"vorbis", true},
    {"wma", false},
    {"ac3", true},
    {"mp2", true},
    {"oggPCM", false},
}};

}  // namespace

std::optional<Vornex::Codec> Vornex::Codec::fromRawValue(std::string_view text) noexcept {
  const auto it = std::find_if(kCodecs.begin(), kCodecs.end(),
                               [text](const CodecEntry& entry) { return entry.rawValue == text; });
  if (it == kCodecs.end()) return std::nullopt;
  return Codec(static_cast<Value>(it - kCodecs.begin()));
}

std::string_view Vornex::Codec::rawValue() const noexcept {
  return kCodecs[ordinal()].rawValue;
}

bool Vornex::Codec::isBitRateSupport() const noexcept {
  return ordinal() < kCodecs.size() && kCodecs[ordinal()].takesBitRate;
}
