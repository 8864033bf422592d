#include "vornlib/vorn_ffmpeg_converter.hpp"

#include <sys/stat.h>

#include <string>
#include <system_error>
#include <utility>

#include "ffmpeg/argument_builder.hpp"
#include "ffmpeg/ffmpeg_conversion.hpp"
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

// Paths the argument string cannot carry safely. A double quote would end the quoted path
// early and let the rest of the name become options of ffmpeg's; a FIFO or a device as the
// source would keep ffmpeg (and a runner slot) waiting or reading for ever.
bool refused(const std::filesystem::path& source, const std::filesystem::path& output) {
  if (source.native().find('"') != std::string::npos) return true;
  if (output.native().find('"') != std::string::npos) return true;
  struct stat info {};
  if (::stat(source.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return true;
  return false;
}

}  // namespace

void startConversion(FFmpegRunner& runner, const std::filesystem::path& file,
                     const Vornex::Config& config, Vornex::Completion completition) {
  // A file location is always absolute; a relative name such as "concat:a|b" must never reach
  // ffmpeg as a protocol.
  std::error_code error;
  std::filesystem::path source = std::filesystem::absolute(file, error);
  if (error) source = file;

  std::filesystem::path output(platform::temporaryDirectory()
                                   .append(platform::uuidString())
                                   .append(".")
                                   .append(config.fileFormat.fileExtension()));
  std::string command = ffmpegCommand(config, source, output);
  const bool refuse = refused(source, output);
  auto context = std::make_shared<const RunContext>(
      RunContext{std::move(completition), std::move(output), command});

  if (!refuse) {
    try {
      runner.executeAsync(std::move(command), [context](std::shared_ptr<FFmpegSession> session) {
        context->finish(session.get());
      });
      return;
    } catch (...) {
      // The runner could not take the run (no thread could be started): a failed run too.
    }
  }
  // Reported like a failed run, and like a run, from a thread other than the caller's.
  platform::runInBackground([context] { context->finish(nullptr); });
}

}  // namespace vornlib::ffmpeg

void VornFFMpegConverter::convert(const std::filesystem::path& file, const Vornex::Config& with,
                                  Vornex::Completion completition) {
  vornlib::ffmpeg::startConversion(vornlib::processRunner(), file, with, std::move(completition));
}
