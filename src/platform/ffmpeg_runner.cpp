#include "vornlib/ffmpeg_runner.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <csignal>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/argument_split.hpp"
#include "platform/checked_runner.hpp"
#include "platform/immortal.hpp"
#include "platform/process.hpp"

namespace vornlib {
namespace {

constexpr std::size_t kOutputLimit = 64 * 1024;

// Encoders that FFmpeg builds of other platforms have, and FFmpeg's own encoder of the same
// codec. Argument strings written on such a platform name the former; a build without it still
// converts with the latter. Applied only when the original is missing and the replacement is
// there, so a build that has both keeps what was asked for.
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
    const platform::ProcessResult listing =
        platform::runProcess(program, {"-hide_banner", "-encoders"}, 4 * kOutputLimit);
    if (listing.end != platform::ProcessResult::End::exited || listing.code != 0) return nullptr;
    auto names = std::make_shared<const std::set<std::string>>(parseEncoderNames(listing.output));
    const std::lock_guard lock(mutex_);
    return known_.try_emplace(program, std::move(names)).first->second;
  }

 private:
  std::mutex mutex_;
  std::map<std::filesystem::path, std::shared_ptr<const std::set<std::string>>> known_;
};

EncoderCatalogue& encoderCatalogue() {
  static platform::Immortal<EncoderCatalogue> catalogue;
  return catalogue.get();
}

// Seconds from a statistics line's "HH:MM:SS.xx"; nothing for "N/A", for a negative time
// (ffmpeg's clock before the first sample) or for anything else.
std::optional<double> parseClock(std::string_view text) noexcept {
  const char* const end = text.data() + text.size();
  long hours = -1;
  int minutes = -1;
  double seconds = -1;
  auto parsed = std::from_chars(text.data(), end, hours);
  if (parsed.ec != std::errc() || hours < 0 || parsed.ptr == end || *parsed.ptr != ':') return {};
  parsed = std::from_chars(parsed.ptr + 1, end, minutes);
  if (parsed.ec != std::errc() || minutes < 0 || parsed.ptr == end || *parsed.ptr != ':') return {};
  parsed = std::from_chars(parsed.ptr + 1, end, seconds, std::chars_format::fixed);
  if (parsed.ec != std::errc() || parsed.ptr != end || !(seconds >= 0)) return {};
  return static_cast<double>(hours) * 3600 + minutes * 60 + seconds;
}

// Follows ffmpeg's statistics lines ("size=  235kB time=00:00:30.01 bitrate=  64.1kbits/s",
// about every half second, each ended by '\r') through the output as it is read, and tells the
// watch how far the run has got. A byte at a time with a few bytes of state, so that a line split
// between two reads is still understood, and without allocating.
class ProgressReader {
 public:
  explicit ProgressReader(platform::ConversionWatch& watch) noexcept : watch_(watch) {}

  void read(std::string_view piece) noexcept {
    for (const char c : piece) {
      if (inValue_) {
        if (separates(c)) {
          inValue_ = false;
          if (length_ <= value_.size()) {
            if (const auto seconds = parseClock(std::string_view(value_.data(), length_)))
              watch_.advance(*seconds);
          }
        } else if (length_ < value_.size()) {
          value_[length_++] = c;
        } else {
          length_ = value_.size() + 1;  // too long for a time: ignored
        }
      } else if ((matched_ > 0 || afterSeparator_) && c == kKey[matched_]) {
        if (++matched_ == kKey.size()) {
          matched_ = 0;
          inValue_ = true;
          length_ = 0;
        }
      } else {
        matched_ = 0;
      }
      afterSeparator_ = separates(c);
    }
  }

 private:
  // The key only counts at the start of a field ("out_time=" is another one).
  static constexpr std::string_view kKey = "time=";
  static bool separates(char c) noexcept { return c == ' ' || c == '\r' || c == '\n'; }

  platform::ConversionWatch& watch_;
  std::array<char, 24> value_{};
  std::size_t length_ = 0;
  std::size_t matched_ = 0;
  bool inValue_ = false;
  bool afterSeparator_ = true;
};

std::optional<ReturnCode> toReturnCode(const platform::ProcessResult& result) {
  using End = platform::ProcessResult::End;
  if (result.stopped) {
    // Ended by our SIGKILL, or by itself just before it: stopped either way.
    if (result.end == End::notStarted) return ReturnCode(ReturnCode::Kind::cancel, 127);
    return ReturnCode(ReturnCode::Kind::cancel,
                      128 + (result.end == End::signaled ? result.code : SIGKILL));
  }
  switch (result.end) {
    case End::exited:
      return ReturnCode(result.code == 0 ? ReturnCode::Kind::success : ReturnCode::Kind::error,
                        result.code);
    case End::signaled:
      return ReturnCode(ReturnCode::Kind::error, 128 + result.code);
    case End::notStarted:
      return ReturnCode(ReturnCode::Kind::error, 127);
    case End::unclassified:
      break;
  }
  return std::nullopt;
}

std::shared_ptr<FFmpegSession> runFFmpeg(const std::filesystem::path& program,
                                         const std::string& arguments,
                                         const platform::RunOptions& options) {
  std::vector<std::string> split = platform::splitArguments(arguments);
  if (namesSubstitutableEncoder(split)) {
    if (const auto known = encoderCatalogue().encodersOf(program))
      substituteEncoders(split, *known);
  }
  // -y: the FFmpeg engine creates its output file itself, safely, before the run; ffmpeg is to
  // write into it rather than stop at the question whether to overwrite it.
  std::vector<std::string> argv{"-nostdin", "-hide_banner", "-y"};
  argv.insert(argv.end(), std::make_move_iterator(split.begin()),
              std::make_move_iterator(split.end()));
  platform::ConversionWatch* const watch = options.watch.get();
  const bool stoppable = watch != nullptr && watch->stoppable();
  if (stoppable && watch->stopRequested()) {
    return std::make_shared<FFmpegSession>(arguments, ReturnCode(ReturnCode::Kind::cancel, 127),
                                           "stopped before it started\n");
  }
  if (options.check) {
    if (std::string refusal = options.check(); !refusal.empty()) {
      return std::make_shared<FFmpegSession>(arguments, ReturnCode(ReturnCode::Kind::error, 127),
                                             std::move(refusal));
    }
  }
  std::optional<ProgressReader> progress;
  platform::ProcessControl control;
  if (watch != nullptr && watch->wantsProgress()) {
    progress.emplace(*watch);
    control.onOutput = [&progress](std::string_view piece) { progress->read(piece); };
  }
  if (stoppable) control.stopRequested = [watch] { return watch->stopRequested(); };
  const bool controlled = control.onOutput || control.stopRequested;
  platform::ProcessResult result =
      platform::runProcess(program, argv, kOutputLimit, controlled ? &control : nullptr);
  return std::make_shared<FFmpegSession>(arguments, toReturnCode(result), std::move(result.output));
}

struct PendingRun {
  std::string arguments;
  FFmpegCompleteCallback callback;
  std::filesystem::path program;
  platform::RunOptions options;
};

// Runs one run to its end. Nothing escapes: a failure inside Vornlib becomes a session without
// a return code (or, out of memory, no session).
std::shared_ptr<FFmpegSession> conduct(const PendingRun& run) noexcept {
  try {
    return runFFmpeg(run.program, run.arguments, run.options);
  } catch (const std::exception& error) {
    try {
      return std::make_shared<FFmpegSession>(
          run.arguments, std::nullopt, std::string("the run failed in Vornlib: ") + error.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return nullptr;
}

// Calls the callback once and releases it; whatever it throws is dropped.
void report(FFmpegCompleteCallback callback, std::shared_ptr<FFmpegSession> session) noexcept {
  try {
    if (callback) callback(std::move(session));
  } catch (...) {  // The host's exception has nowhere to go on our thread.
  }
}

// Process-wide: the settings and the queue of runs. Each run that holds a slot has a detached
// thread of its own. When its process has ended, the slot is freed and the next queued runs get
// threads before the host's callback is called, so that a callback that waits (for another run,
// say) holds no slot. After the callback, the thread takes a queued run that no thread could be
// started for, if the bound allows, and ends otherwise.
class Scheduler {
 public:
  void submit(std::string arguments, FFmpegCompleteCallback callback,
              platform::RunOptions options) {
    std::unique_lock lock(mutex_);
    queue_.push_back(
        PendingRun{std::move(arguments), std::move(callback), program_, std::move(options)});
    launchReady();
    if (active_ == 0) {
      // No thread could be started and none is running that would take the run later.
      // Reporting it on the caller's thread is not allowed, so the run is refused instead.
      queue_.pop_back();
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                              "cannot start a thread for an ffmpeg run");
    }
  }

  void setLimit(std::size_t count) {
    const std::lock_guard lock(mutex_);
    requestedLimit_ = count;
    launchReady();
  }
  std::size_t limit() {
    const std::lock_guard lock(mutex_);
    return effectiveLimit();
  }

  void setProgram(std::filesystem::path program) {
    const std::lock_guard lock(mutex_);
    program_ = std::move(program);
  }
  std::filesystem::path program() {
    const std::lock_guard lock(mutex_);
    return program_;
  }

 private:
  std::size_t effectiveLimit() const noexcept {
    if (requestedLimit_ != 0) return requestedLimit_;
    return std::max(1U, std::thread::hardware_concurrency());
  }

  // Starts threads for queued runs while the bound allows. Called with mutex_ held.
  void launchReady() noexcept {
    while (!queue_.empty() && active_ < effectiveLimit()) {
      try {
        // Kept apart from the thread's copy, so that a thread that fails to start leaves the
        // run intact to be put back.
        auto run = std::make_shared<PendingRun>(std::move(queue_.front()));
        queue_.pop_front();
        try {
          std::thread([this, run] { work(std::move(*run)); }).detach();
          ++active_;
        } catch (...) {
          queue_.push_front(std::move(*run));
          return;
        }
      } catch (...) {  // Out of memory: stop here; queued runs wait for a running thread.
        return;
      }
    }
  }

  void work(PendingRun run) noexcept {
    for (;;) {
      std::shared_ptr<FFmpegSession> session = conduct(run);
      {
        const std::lock_guard lock(mutex_);
        --active_;
        launchReady();
      }
      report(std::move(run.callback), std::move(session));
      const std::lock_guard lock(mutex_);
      if (queue_.empty() || active_ >= effectiveLimit()) return;
      run = std::move(queue_.front());
      queue_.pop_front();
      ++active_;
    }
  }

  std::mutex mutex_;
  std::deque<PendingRun> queue_;
  std::size_t active_ = 0;
  std::size_t requestedLimit_ = 0;
  std::filesystem::path program_{VORNLIB_DEFAULT_FFMPEG};
};

Scheduler& scheduler() {
  static platform::Immortal<Scheduler> instance;
  return instance.get();
}

class ProcessRunner final : public platform::CheckedFFmpegRunner {
 public:
  void executeAsync(std::string arguments, FFmpegCompleteCallback callback) override {
    scheduler().submit(std::move(arguments), std::move(callback), {});
  }
  void executeAsync(std::string arguments, FFmpegCompleteCallback callback,
                    platform::RunOptions options) override {
    scheduler().submit(std::move(arguments), std::move(callback), std::move(options));
  }
};

}  // namespace

FFmpegRunner& processRunner() {
  static platform::Immortal<ProcessRunner> runner;
  return runner.get();
}

void setFFmpegProgram(std::filesystem::path program) {
  scheduler().setProgram(std::move(program));
}

std::filesystem::path ffmpegProgram() {
  return scheduler().program();
}

void setMaxConcurrentFFmpegRuns(std::size_t count) {
  scheduler().setLimit(count);
}

std::size_t maxConcurrentFFmpegRuns() {
  return scheduler().limit();
}

}  // namespace vornlib
