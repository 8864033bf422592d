#include "ffmpeg/ffmpeg_conversion.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "ffmpeg/argument_builder.hpp"
#include "platform/checked_runner.hpp"
#include "platform/executor.hpp"
#include "platform/log.hpp"
#include "platform/temporary.hpp"

namespace vornlib::ffmpeg {

namespace {

// What the end-of-run report needs; the engine object and the configuration are not part of it.
struct RunContext {
  Vornex::Completion completion;
  std::filesystem::path output;
  std::string command;

  void finish(const FFmpegSession* session) const {
    const auto code = session ? session->getReturnCode() : std::nullopt;
    if (code && code->isValueSuccess()) {
      completion(output, std::nullopt);
      return;
    }
    // An error, and every other ending (no session, no code, a cancelled run), is a failure:
    // the caller waits for exactly one report either way.
    platform::log(std::string("Command = ").append(command));
    completion(std::nullopt, VornError::ffmpegUnknownError);
  }
};

// Sources the argument string cannot carry safely. A double quote would end the quoted path
// early and let the rest of the name become options of ffmpeg's; a FIFO or a device as the
// source would keep ffmpeg (and a runner slot) waiting or reading for ever.
bool refusedSource(const std::filesystem::path& source) {
  if (source.native().find('"') != std::string::npos) return true;
  struct stat info {};
  return ::stat(source.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
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
std::optional<std::string> createOutput(std::string_view extension) {
  if (platform::temporaryDirectory().find('"') != std::string::npos) return std::nullopt;
  std::string path;
  platform::UniqueFd file;
  if (platform::createTemporaryOutput(extension, path, file) != 0) return std::nullopt;
  return path;
}

}  // namespace

void startConversion(FFmpegRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition) {
  // A file location is always absolute; a relative name such as "concat:a|b" must never reach
  // ffmpeg as a protocol.
  std::error_code error;
  std::filesystem::path source = std::filesystem::absolute(file, error);
  if (error) source = file;

  const std::string_view extension = config.fileFormat.fileExtension();
  std::optional<std::string> created;
  if (!refusedSource(source)) created = createOutput(extension);
  // A refused run still logs a command, with the name its output would have had.
  const std::filesystem::path output(created ? *created : platform::temporaryOutputPath(extension));
  std::string command = ffmpegCommand(config, source, output);
  auto context =
      std::make_shared<const RunContext>(RunContext{std::move(completition), output, command});

  if (created) {
    try {
      auto callback = [context](std::shared_ptr<FFmpegSession> session) {
        context->finish(session.get());
      };
      // Only runners that can check at start get the check: others (a test's) run as given.
      if (auto* checked = dynamic_cast<platform::CheckedFFmpegRunner*>(&runner)) {
        checked->executeAsync(std::move(command), std::move(callback),
                              [source] { return refusalAtStart(source); });
      } else {
        runner.executeAsync(std::move(command), std::move(callback));
      }
      return;
    } catch (...) {
      // The runner could not take the run (no thread could be started): a failed run too.
    }
  }
  // Reported like a failed run, and like a run, from a thread other than the caller's.
  platform::runInBackground([context] { context->finish(nullptr); });
}

}  // namespace vornlib::ffmpeg
