// SPDX-License-Identifier: MIT
// The media probe: opens one file, reads what its container and streams declare, and hands
// the result over as a property tree laid out like ffprobe's JSON report
// (`-print_format json -show_format -show_streams`), the tags of the container and of each
// stream included, with the same texts.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace vornlib::platform::av {

// Text, number, list and map stay distinct; whole numbers are exact across int64_t.
using PropertyTree = nlohmann::json;

// What one probe found. Immutable once made, so it may be shared between threads.
class MediaInformation {
 public:
  virtual ~MediaInformation() = default;

  // The top-level map ("streams", "format"), or nullptr when there is none. The tree belongs
  // to this object and lives as long as it does.
  virtual const PropertyTree* getAllProperties() const = 0;

  // The container's duration as ffprobe writes it ("12.345000"), or nothing when unknown.
  virtual std::optional<std::string> getDuration() const = 0;
};

// One finished probe of one file.
class ProbeSession {
 public:
  virtual ~ProbeSession() = default;

  // The media information, or nullptr when the probe found none.
  virtual std::shared_ptr<MediaInformation> getMediaInformation() const = 0;
};

class ProbeProvider {
 public:
  virtual ~ProbeProvider() = default;

  // Probes the file at `path` (file-system path text, taken literally: never a URL or a
  // protocol) on the caller's thread and returns once the probe has finished; nullptr when
  // the file cannot be read as media, as ffprobe would refuse it (a stream whose decoder will not
  // open, e.g. an absurd channel count). Never throws.
  virtual std::unique_ptr<ProbeSession> getMediaInformation(const std::string& path) = 0;
};

// The in-process FFmpeg probe. Stateless and safe to call from several threads at once.
// FFmpeg's process-wide log level is left as the host set it, so a damaged file may make
// FFmpeg print warnings through its log callback.
ProbeProvider& ffmpegProbeProvider() noexcept;

}  // namespace vornlib::platform::av
