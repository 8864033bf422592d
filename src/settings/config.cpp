// SPDX-License-Identifier: MIT
#include "vornlib/config.hpp"

#include "vornlib/vorn_error.hpp"

namespace {

Vornex::Codec acceptedCodec(Vornex::Format format, std::optional<Vornex::Codec> wanted) {
  if (wanted && format.isSupport(*wanted)) return *wanted;
  return format.avvailableCoddecs().front();
}

}  // namespace

Vornex::Config::Config(Format fileFormat_, std::optional<Codec> fileCodec_,
                       std::int64_t sampleRate_, std::int64_t bitDepth_,
                       std::int64_t countOfChanel_, std::int64_t bitRate_) noexcept
    : fileFormat(fileFormat_),
      _fileCodec(acceptedCodec(fileFormat_, fileCodec_)),
      bitRate(bitRate_),
      sampleRate(sampleRate_),
      bitDepth(bitDepth_),
      countOfChanel(countOfChanel_) {}

void Vornex::Config::updateFileCodec(Codec codec) {
  if (!fileFormat.isSupport(codec)) throw VornError::notSupportedCodecByFormat;
  _fileCodec = codec;
}

std::string Vornex::Config::description() const {
  std::string text;
  text.append(fileFormat.rawValue()).append("(").append(_fileCodec.rawValue()).append(") - ");
  if (_fileCodec.isBitRateSupport()) {
    text.append(std::to_string(bitRate)).append("kbs - ");
  } else {
    text.append(std::to_string(sampleRate)).append(" - ");
    text.append(std::to_string(bitDepth)).append("bit - ");
  }
  text.append(std::to_string(countOfChanel)).append("ch");
  return text;
}
