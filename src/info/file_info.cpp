// SPDX-License-Identifier: MIT
#include "vornlib/file_info.hpp"

#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "info/file_info_internal.hpp"

using vornlib::platform::av::MediaInformation;
using vornlib::platform::av::PropertyTree;

// One audio stream's own map, copied out of the tree, and the probe result it came from (for
// the container's duration, which is asked for again at each read).
struct Vornex::FileInfo::State {
  PropertyTree stream;
  std::shared_ptr<MediaInformation> media;
};

namespace vornlib::info {

struct FileInfoAccess {
  static Vornex::FileInfo make(const PropertyTree& stream,
                               std::shared_ptr<MediaInformation> media) {
    return Vornex::FileInfo(std::make_shared<const Vornex::FileInfo::State>(
        Vornex::FileInfo::State{stream, std::move(media)}));
  }
};

namespace {

std::optional<int64_t> parseInteger(std::string_view text) noexcept {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (text.empty()) return std::nullopt;
  const bool negative = text.front() == '-';
  if (negative || text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    // Negative values accumulate downward so that the minimum, which has no positive twin,
    // still fits.
    if (negative) {
      if (value < kMin / 10 || (value == kMin / 10 && digit > -(kMin % 10))) return std::nullopt;
      value = value * 10 - digit;
    } else {
      if (value > kMax / 10 || (value == kMax / 10 && digit > kMax % 10)) return std::nullopt;
      value = value * 10 + digit;
    }
  }
  return value;
}

std::optional<double> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
      return std::nullopt;  // strtod would skip these; a duration never starts with them
    default:
      break;
  }
  // The host may have switched LC_NUMERIC to a decimal comma; durations are always written with
  // a point. Made once and deliberately never freed, so that it outlives every caller.
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c == locale_t{}) return std::nullopt;
  const std::string terminated(text);  // strtod needs the terminating NUL
  char* end = nullptr;
  const double value = strtod_l(terminated.c_str(), &end, c);
  if (end != terminated.c_str() + terminated.size()) return std::nullopt;
  return value;
}

std::optional<int64_t> wholeNumber(const PropertyTree& value) noexcept {
  if (value.is_number_unsigned()) {
    const auto number = value.get<uint64_t>();
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const auto number = value.get<double>();
    // [-2^63, 2^63): both bounds are exact doubles; NaN fails both comparisons.
    if (!(number >= -0x1p63 && number < 0x1p63) || std::trunc(number) != number) {
      return std::nullopt;
    }
    return static_cast<int64_t>(number);
  }
  return std::nullopt;
}

const PropertyTree* entry(const PropertyTree& map, const char* key) {
  const auto found = map.find(key);
  return found == map.end() ? nullptr : &*found;
}

std::optional<std::string_view> text(const PropertyTree& map, const char* key) {
  const PropertyTree* value = entry(map, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return std::string_view(value->get_ref<const std::string&>());
}

std::optional<int64_t> integerText(const PropertyTree& map, const char* key) {
  const std::optional<std::string_view> value = text(map, key);
  return value ? parseInteger(*value) : std::nullopt;
}

std::optional<int64_t> integerNumber(const PropertyTree& map, const char* key) {
  const PropertyTree* value = entry(map, key);
  return value != nullptr ? wholeNumber(*value) : std::nullopt;
}

// FFmpeg's comparison of names: ASCII letters without regard to case, every other byte as is.
bool sameName(std::string_view a, std::string_view b) noexcept {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

// The text of the tag `key` in the "tags" map of `section`: the one of exactly that name, else
// the first whose name differs in case only.
std::optional<std::string> tagIn(const PropertyTree& section, std::string_view key) {
  const PropertyTree* tags = section.is_object() ? entry(section, "tags") : nullptr;
  if (tags == nullptr || !tags->is_object()) return std::nullopt;
  if (const auto exact = tags->find(key); exact != tags->end() && exact->is_string()) {
    return exact->get<std::string>();
  }
  for (auto item = tags->begin(); item != tags->end(); ++item) {
    if (item.value().is_string() && sameName(item.key(), key))
      return item.value().get<std::string>();
  }
  return std::nullopt;
}

// Runs one reader; a failure inside (an allocation, a provider that throws) reads as no value.
template <class Read>
auto guarded(Read read) noexcept -> decltype(read()) {
  try {
    return read();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<Vornex::FileInfo> makeFileInfo(const std::filesystem::path& path,
                                             platform::av::ProbeProvider& provider) noexcept {
  try {
    const std::unique_ptr<platform::av::ProbeSession> session =
        provider.getMediaInformation(path.native());
    if (!session) return std::nullopt;
    std::shared_ptr<MediaInformation> media = session->getMediaInformation();
    if (!media) return std::nullopt;
    const PropertyTree* tree = media->getAllProperties();
    if (tree == nullptr || !tree->is_object()) return std::nullopt;
    const PropertyTree* streams = entry(*tree, "streams");
    if (streams == nullptr || !streams->is_array()) return std::nullopt;
    for (const PropertyTree& stream : *streams) {
      if (!stream.is_object() || text(stream, "codec_type") != "audio") continue;
      return FileInfoAccess::make(stream, std::move(media));
    }
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace vornlib::info

using vornlib::info::guarded;
using vornlib::info::integerNumber;
using vornlib::info::integerText;

Vornex::FileInfo::FileInfo(std::shared_ptr<const State> state) noexcept
    : state_(std::move(state)) {}

std::optional<Vornex::FileInfo> Vornex::FileInfo::make(const std::filesystem::path& path) noexcept {
  return vornlib::info::makeFileInfo(path, vornlib::platform::av::ffmpegProbeProvider());
}

std::optional<double> Vornex::FileInfo::duration() const noexcept {
  return guarded([&]() -> std::optional<double> {
    const std::optional<std::string> value = state_->media->getDuration();
    return value ? vornlib::info::parseDecimal(*value) : std::nullopt;
  });
}

std::optional<int64_t> Vornex::FileInfo::bitRate() const noexcept {
  return guarded([&]() -> std::optional<int64_t> {
    const std::optional<int64_t> bits = integerText(state_->stream, "bit_rate");
    return bits ? std::optional<int64_t>(*bits / 1000) : std::nullopt;
  });
}

std::optional<int64_t> Vornex::FileInfo::sampleRate() const noexcept {
  return guarded([&] { return integerText(state_->stream, "sample_rate"); });
}

std::optional<std::string> Vornex::FileInfo::codecName() const noexcept {
  return guarded([&]() -> std::optional<std::string> {
    const std::optional<std::string_view> name = vornlib::info::text(state_->stream, "codec_name");
    return name ? std::optional<std::string>(*name) : std::nullopt;
  });
}

std::optional<int64_t> Vornex::FileInfo::bitDepth() const noexcept {
  return guarded([&]() -> std::optional<int64_t> {
    const std::optional<int64_t> bits = integerNumber(state_->stream, "bits_per_sample");
    if (bits && *bits > 0) return bits;
    const std::optional<int64_t> raw = integerText(state_->stream, "bits_per_raw_sample");
    return raw && *raw >= 1 ? raw : std::nullopt;
  });
}

std::optional<int64_t> Vornex::FileInfo::chanelsCount() const noexcept {
  return guarded([&] { return integerNumber(state_->stream, "channels"); });
}

std::optional<std::string> Vornex::FileInfo::tag(std::string_view key) const noexcept {
  return guarded([&]() -> std::optional<std::string> {
    const PropertyTree* tree = state_->media->getAllProperties();
    const PropertyTree* format =
        tree != nullptr && tree->is_object() ? vornlib::info::entry(*tree, "format") : nullptr;
    if (format != nullptr) {
      if (std::optional<std::string> text = vornlib::info::tagIn(*format, key)) return text;
    }
    return vornlib::info::tagIn(state_->stream, key);
  });
}
