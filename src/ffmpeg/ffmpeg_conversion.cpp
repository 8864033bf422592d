#include "ffmpeg/ffmpeg_conversion.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ffmpeg/argument_builder.hpp"
#include "platform/checked_runner.hpp"
#include "platform/executor.hpp"
#include "platform/log.hpp"
#include "platform/probe_provider.hpp"
#include "platform/temporary.hpp"

namespace vornlib::ffmpeg {

namespace {

constexpr std::size_t kReasonLines = 8;
constexpr std::size_t kReasonLineLength = 300;

// The last lines ffmpeg printed, without its statistics lines (which end in '\r' and would
// crowd out the error): that is where it says why it failed.
std::string lastLines(std::string_view output) {
  std::vector<std::string_view> lines;
  while (!output.empty()) {
    const std::size_t end = std::min(output.find_first_of("\r\n"), output.size());
    std::string_view line = output.substr(0, end);
    output.remove_prefix(std::min(end + 1, output.size()));
    if (line.find_first_not_of(' ') == std::string_view::npos || line.starts_with("size="))
      continue;
    lines.push_back(line.substr(0, kReasonLineLength));
  }
  std::string text;
  const std::size_t first = lines.size() > kReasonLines ? lines.size() - kReasonLines : 0;
  for (std::size_t i = first; i < lines.size(); ++i) {
    if (!text.empty()) text.push_back('\n');
    text.append(lines[i]);
  }
  return text;
}

// What the end-of-run report needs; the engine object and the configuration are not part of it.
struct RunContext {
  Vornex::Completion completion;
  std::filesystem::path output;
  std::string command;
  std::shared_ptr<platform::ConversionWatch> watch;

  void finish(const FFmpegSession* session, std::string_view reason = {}) const {
    const auto code = session ? session->getReturnCode() : std::nullopt;
    if (code && code->isValueSuccess()) {
      completion(output, std::nullopt);
      return;
    }
    if (code && code->isValueCancel() && watch && watch->stopRequested()) {
      watch->setReason("stopped by the host");
      completion(std::nullopt, VornError::stopped);
      return;
    }
    if (watch) {
      std::string why(reason);
      if (why.empty() && session) why = lastLines(session->getOutput());
      if (why.empty()) why = session ? "ffmpeg failed without a word" : "the run failed in Vornlib";
      // 127 is a run that never started: the reason above says why.
      if (code && code->getValue() != 127)
        why.append("\n(exit status ").append(std::to_string(code->getValue())).append(")");
      watch->setReason(std::move(why));
    }
    // An error, and every other ending (no session, no code, a cancelled run), is a failure:
    // the caller waits for exactly one report either way.
    platform::log(std::string("Command = ").append(command));
    completion(std::nullopt, VornError::ffmpegUnknownError);
  }
};

// The source's declared duration in seconds, 0 when unknown: what progress is a fraction of.
double sourceDuration(const std::filesystem::path& source) {
  const auto session = platform::ffmpegProbeProvider().getMediaInformation(source.native());
  const auto information = session ? session->getMediaInformation() : nullptr;
  const auto text = information ? information->getDuration() : std::nullopt;
  double seconds = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), seconds);
  return seconds;
}

// Sources the argument string cannot carry safely (gives why, or nothing). A double quote would end
// the quoted path early and let the rest of the name become options of ffmpeg's; a FIFO or a device
// as the source would keep ffmpeg (and a runner slot) waiting or reading for ever.
std::optional<std::string> refusedSource(const std::filesystem::path& source) {
  if (source.native().find('"') != std::string::npos)
    return "the source's path holds a double quote, which ffmpeg's arguments cannot carry";
  struct stat info {};
  if (::stat(source.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    return "the source is not a regular file";
  return std::nullopt;
}

// Checked again on the runner's thread when the run's turn comes: a queued run can wait long,
// and a FIFO put in place of its source meanwhile would hold a runner slot, and with it every
// run queued behind, for as long as nobody writes into it. A source that is gone by then is
// refused too: ffmpeg could not have read it either.
std::string refusalAtStart(const std::filesystem::path& source) {
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0) return "the source is gone\n";
  return S_ISREG(info.st_mode) ? std::string() : "the source is no longer a regular file\n";
}

// The output is created here, exclusively and without following a link, before its name is
// handed to ffmpeg (which then writes into it): the name is visible to every local user in the
// process list while the run waits, and a link or file planted under it must neither redirect
// nor block the conversion. Gives the name, or none when the directory refuses it.
std::optional<std::string> createOutput(std::string_view extension, std::string& why) {
  const std::string& directory = platform::temporaryDirectory();
  if (directory.find('"') != std::string::npos) {
    why = "the temporary directory's path holds a double quote";
    return std::nullopt;
  }
  std::string path;
  platform::UniqueFd file;
  if (const int error = platform::createTemporaryOutput(extension, path, file); error != 0) {
    why =
        "cannot create the output in " + directory + ": " + std::generic_category().message(error);
    return std::nullopt;
  }
  return path;
}

}  // namespace

void startConversion(FFmpegRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition,
                     std::shared_ptr<platform::ConversionWatch> watch) {
  // A file location is always absolute; a relative name such as "concat:a|b" must never reach
  // ffmpeg as a protocol.
  std::error_code error;
  std::filesystem::path source = std::filesystem::absolute(file, error);
  if (error) source = file;

  const std::string_view extension = config.fileFormat.fileExtension();
  std::optional<std::string> created;
  std::string why;
  if (auto refusal = refusedSource(source)) {
    why = std::move(*refusal);
  } else {
    created = createOutput(extension, why);
  }
  // A refused run still logs a command, with the name its output would have had.
  const std::filesystem::path output(created ? *created : platform::temporaryOutputPath(extension));
  std::string command = ffmpegCommand(config, source, output);
  if (watch && created) watch->setOutput(*created);
  auto context = std::make_shared<const RunContext>(
      RunContext{std::move(completition), output, command, watch});

  if (created) {
    try {
      auto callback = [context](std::shared_ptr<FFmpegSession> session) {
        context->finish(session.get());
      };
      // Only runners that can check at start get the check: others (a test's) run as given.
      if (auto* checked = dynamic_cast<platform::CheckedFFmpegRunner*>(&runner)) {
        platform::RunOptions options;
        options.watch = watch;
        options.check = [source, watch] {
          std::string refusal = refusalAtStart(source);
          // Asked here rather than by the caller, who is not to wait for a probe.
          if (refusal.empty() && watch && watch->wantsProgress())
            watch->setDuration(sourceDuration(source));
          return refusal;
        };
        checked->executeAsync(std::move(command), std::move(callback), std::move(options));
      } else {
        runner.executeAsync(std::move(command), std::move(callback));
      }
      return;
    } catch (...) {
      // The runner could not take the run (no thread could be started): a failed run too.
      why = "no thread could be started for the run";
    }
  }
  // Reported like a failed run, and like a run, from a thread other than the caller's.
  platform::runInBackground([context, why] { context->finish(nullptr, why); });
}

}  // namespace vornlib::ffmpeg
