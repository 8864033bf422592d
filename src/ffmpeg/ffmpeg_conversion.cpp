// SPDX-License-Identifier: MIT
#include "ffmpeg/ffmpeg_conversion.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ffmpeg/argument_builder.hpp"
#include "platform/posix/output.hpp"
#include "platform/posix/path.hpp"
#include "platform/runner/run_options.hpp"
#include "runtime/executor.hpp"
#include "runtime/log.hpp"

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
  std::shared_ptr<runtime::ConversionWatch> watch;
  std::optional<platform::posix::FileIdentity> created;  // the output we created, if we did

  void finish(const FFmpegSession* session, std::string_view reason = {}) const {
    const auto code = session ? session->getReturnCode() : std::nullopt;
    if (code && code->isValueSuccess()) {
      completion(output, std::nullopt);
      return;
    }
    // A run that wrote nothing leaves no empty file behind; a partial output stays.
    if (created && platform::posix::removeIfStillEmpty(output.native(), *created) && watch)
      watch->setOutput({});
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
    runtime::log(std::string("Command = ").append(command));
    completion(std::nullopt, VornError::ffmpegUnknownError);
  }
};

// Why the source may not be handed to ffmpeg, if it may not: a FIFO or a device would keep
// ffmpeg (and a runner slot, with every run queued behind it) waiting or reading for ever.
// When the run is queued, a missing source is left to ffmpeg to report; when its turn comes
// (the run may have waited long, and the source may have been swapped for a FIFO meanwhile) a
// source that is gone is refused too: ffmpeg could not have read it either.
enum class Moment { queued, starting };

std::optional<std::string> sourceRefusal(const std::filesystem::path& source, Moment moment) {
  struct stat info {};
  if (::stat(source.c_str(), &info) != 0) {
    if (moment == Moment::starting) return "the source is gone\n";
    return std::nullopt;
  }
  if (S_ISREG(info.st_mode)) return std::nullopt;
  return moment == Moment::queued ? "the source is not a regular file"
                                  : "the source is no longer a regular file\n";
}

// The output is created here, exclusively and without following a link, before its name is
// handed to ffmpeg (which then writes into it): the name is visible to every local user in the
// process list while the run waits, and a link or file planted under it must neither redirect
// nor block the conversion. Gives why it could not be created, if it could not; `path` holds the
// name.
std::optional<std::string> createOutput(const platform::posix::OutputPlace& place,
                                        std::string_view extension, std::string& path,
                                        std::optional<platform::posix::FileIdentity>& created) {
  platform::posix::UniqueFd file;
  if (const int error = platform::posix::createOutput(place, extension, path, file); error != 0) {
    path.clear();
    if (!place.file.empty() && error == EEXIST)
      return "the output \"" + place.file + "\" is there already; it is left as it is";
    return "cannot create the output " +
           (place.file.empty() ? "in " + place.directory : "\"" + place.file + "\"") + ": " +
           std::generic_category().message(error);
  }
  created = platform::posix::identityOf(file);
  return std::nullopt;
}

}  // namespace

void startConversion(platform::runner::ControlledRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition,
                     std::shared_ptr<runtime::ConversionWatch> watch,
                     const std::filesystem::path& destination) {
  const std::filesystem::path source = platform::posix::absolutePath(file);
  const std::string_view extension = config.fileFormat.fileExtension();
  const platform::posix::OutputPlace place = platform::posix::outputPlace(destination);
  std::string created;
  std::optional<platform::posix::FileIdentity> identity;
  std::optional<std::string> refusal = sourceRefusal(source, Moment::queued);
  if (!refusal) refusal = createOutput(place, extension, created, identity);
  // A refused run still logs a command, with the name its output would have had.
  std::string named = created;
  if (named.empty())
    named = place.file.empty()
                ? place.directory + platform::posix::uuidString() + "." + std::string(extension)
                : place.file;
  const std::filesystem::path output(named);
  // A file the host named may say nothing of its format, or something else.
  const std::string suffix = output.extension().native();
  const bool namedFormat = suffix.size() == extension.size() + 1 && suffix.ends_with(extension);
  std::string command = ffmpegCommand(
      config, source, output, namedFormat ? std::string_view() : ffmpegMuxer(config.fileFormat));
  if (watch && !refusal) watch->setOutput(created);
  auto context = std::make_shared<const RunContext>(
      RunContext{std::move(completition), output, command, watch, identity});

  if (!refusal) {
    platform::runner::RunOptions options;
    options.check = [source] { return sourceRefusal(source, Moment::starting); };
    if (watch && watch->wantsProgress()) {
      // As ffmpeg itself reads it: the source is never opened in the host's process for this.
      options.duration = [watch](double seconds) { watch->setDuration(seconds); };
      options.progress = [watch](double seconds) { watch->advance(seconds); };
    }
    if (watch && watch->stoppable())
      options.stopRequested = [watch] { return watch->stopRequested(); };
    try {
      runner.executeAsync(
          std::move(command),
          [context](std::shared_ptr<FFmpegSession> session) { context->finish(session.get()); },
          std::move(options));
      return;
    } catch (...) {
      // The runner could not take the run (no thread could be started): a failed run too.
      refusal = "no thread could be started for the run";
    }
  }
  // Reported like a failed run, and like a run, from a thread other than the caller's.
  runtime::runInBackground([context, why = std::move(*refusal)] { context->finish(nullptr, why); });
}

}  // namespace vornlib::ffmpeg
