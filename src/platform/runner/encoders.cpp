// SPDX-License-Identifier: MIT
#include "platform/runner/encoders.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/posix/process.hpp"
#include "runtime/immortal.hpp"
#include "runtime/process_life.hpp"

namespace vornlib::platform::runner {
namespace {

// `ffmpeg -encoders` prints about 15 KB; a generous bound all the same.
constexpr std::size_t kListingLimit = 256 * 1024;

// Each encoder of another platform's build, and FFmpeg's own encoder of the same codec.
struct EncoderSubstitution {
  std::string_view missing;
  std::string_view replacement;
};
constexpr std::array kEncoderSubstitutions{
    EncoderSubstitution{"aac_at", "aac"},
    EncoderSubstitution{"alac_at", "alac"},
    EncoderSubstitution{"pcm_alaw_at", "pcm_alaw"},
    EncoderSubstitution{"pcm_mulaw_at", "pcm_mulaw"},
};

bool isAudioCodecOption(std::string_view argument) {
  return argument == "-c:a" || argument == "-acodec";
}

bool namesSubstitutableEncoder(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (!isAudioCodecOption(arguments[i])) continue;
    for (const EncoderSubstitution& substitution : kEncoderSubstitutions) {
      if (arguments[i + 1] == substitution.missing) return true;
    }
  }
  return false;
}

void substituteEncoders(std::vector<std::string>& arguments, const std::set<std::string>& known) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (!isAudioCodecOption(arguments[i])) continue;
    std::string& encoder = arguments[i + 1];
    for (const EncoderSubstitution& substitution : kEncoderSubstitutions) {
      if (encoder == substitution.missing && !known.contains(encoder) &&
          known.contains(std::string(substitution.replacement))) {
        encoder = substitution.replacement;
        break;
      }
    }
  }
}

// Reads the names from `ffmpeg -encoders`: a legend, a line of dashes, then one encoder a line
// as "<flags> <name> <description>".
std::set<std::string> parseEncoderNames(std::string_view listing) {
  constexpr std::string_view kBlanks = " \t\r";
  std::set<std::string> names;
  bool pastLegend = false;
  while (!listing.empty()) {
    const std::size_t lineEnd = std::min(listing.find('\n'), listing.size());
    std::string_view line = listing.substr(0, lineEnd);
    listing.remove_prefix(std::min(lineEnd + 1, listing.size()));

    const std::size_t flags = line.find_first_not_of(kBlanks);
    if (flags == std::string_view::npos) continue;
    line.remove_prefix(flags);
    if (!pastLegend) {
      pastLegend = line.starts_with("------");
      continue;
    }
    const std::size_t name = line.find_first_not_of(kBlanks, line.find_first_of(kBlanks));
    if (name == std::string_view::npos) continue;
    line.remove_prefix(name);
    names.emplace(line.substr(0, line.find_first_of(kBlanks)));
  }
  return names;
}

// The encoders each program offers, asked once per program path. A program that could not be
// asked is asked again on a later run rather than remembered as having no encoders.
class EncoderCatalogue {
 public:
  std::shared_ptr<const std::set<std::string>> encodersOf(const std::filesystem::path& program) {
    {
      const std::lock_guard lock(mutex_);
      if (const auto found = known_.find(program); found != known_.end()) return found->second;
    }
    // Asked without holding the lock: two first runs may both ask, which costs one extra
    // process but never blocks runs of other programs behind a slow one.
    const platform::posix::ProcessResult listing =
        platform::posix::runProcess(program, {"-hide_banner", "-encoders"}, kListingLimit);
    if (listing.end != platform::posix::ProcessResult::End::exited || listing.code != 0)
      return nullptr;
    auto names = std::make_shared<const std::set<std::string>>(parseEncoderNames(listing.output));
    const std::lock_guard lock(mutex_);
    return known_.try_emplace(program, std::move(names)).first->second;
  }

 private:
  runtime::ForkSafeMutex mutex_;
  std::map<std::filesystem::path, std::shared_ptr<const std::set<std::string>>> known_;
};

EncoderCatalogue& encoderCatalogue() {
  static runtime::Immortal<EncoderCatalogue> catalogue;
  return catalogue.get();
}

}  // namespace

void substituteMissingEncoders(const std::filesystem::path& program,
                               std::vector<std::string>& arguments) {
  if (!namesSubstitutableEncoder(arguments)) return;
  if (const auto known = encoderCatalogue().encodersOf(program))
    substituteEncoders(arguments, *known);
}

}  // namespace vornlib::platform::runner
