// SPDX-License-Identifier: MIT
#include "platform/posix/process.hpp"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/posix/child.hpp"
#include "platform/posix/pipe.hpp"

extern char** environ;

namespace vornlib::platform::posix {
namespace {

// Keeps the last `limit` bytes appended. Trims only once twice the limit has gathered, so the
// cost of moving bytes stays proportional to what is appended.
class TailBuffer {
 public:
  explicit TailBuffer(std::size_t limit) : limit_(limit) {}

  void append(const char* data, std::size_t size) {
    text_.append(data, size);
    if (text_.size() > limit_ && text_.size() - limit_ > limit_) trim();
  }
  std::string take() {
    trim();
    return std::move(text_);
  }

 private:
  void trim() {
    if (text_.size() > limit_) text_.erase(0, text_.size() - limit_);
  }

  std::size_t limit_;
  std::string text_;
};

ProcessResult notStarted(const std::filesystem::path& program, int error) {
  ProcessResult result;
  result.end = ProcessResult::End::notStarted;
  result.code = error;
  result.output =
      "cannot start " + program.string() + ": " + std::generic_category().message(error) + "\n";
  return result;
}

// Reads the program's output to its end into `tail`, ending the program once `control` asks for
// a stop. Gives whether it did.
bool readOutput(int output, Child& child, TailBuffer& tail, const ProcessControl* control) {
  std::array<char, 16384> chunk{};
  const bool reportsOutput = control != nullptr && control->onOutput;
  // Until a stop is asked for, reads wait at most this long, to look at the request between them.
  bool watchingStop = control != nullptr && control->stopRequested;
  constexpr int kStopLookMs = 40;
  bool stopped = false;
  for (;;) {
    if (watchingStop) {
      if (control->stopRequested()) {
        child.stop();
        stopped = true;
        watchingStop = false;  // the rest of the output is read as it comes
        continue;
      }
      pollfd readable{output, POLLIN, 0};
      const int ready = ::poll(&readable, 1, kStopLookMs);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    }
    const ssize_t got = ::read(output, chunk.data(), chunk.size());
    if (got > 0) {
      const auto size = static_cast<std::size_t>(got);
      if (reportsOutput) control->onOutput(std::string_view(chunk.data(), size));
      tail.append(chunk.data(), size);
    } else if (got == 0 || errno != EINTR) {
      return stopped;
    }
  }
}

}  // namespace

ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, std::size_t outputLimit,
                         const ProcessControl* control) {
  const std::string& path = program.native();
  for (const std::string& argument : arguments) {
    // execve would silently cut the argument at the NUL byte.
    if (argument.find('\0') != std::string::npos) return notStarted(program, EINVAL);
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  // execve takes non-const strings but does not change them.
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  // Declared before the pipe's ends, so that they are closed before the child is reaped.
  Child child;
  UniqueFd readEnd;
  UniqueFd writeEnd;
  if (const int error = makePipe(readEnd, writeEnd)) return notStarted(program, error);
  const Launch launch{path.c_str(), argv.data(), environ, writeEnd.get(), ::getpid()};
  if (const int error = child.start(launch)) return notStarted(program, error);
  // Only the child may hold the write end, or reading would never see the end of the output.
  writeEnd.reset();

  TailBuffer tail(outputLimit);
  const bool stopped = readOutput(readEnd.get(), child, tail, control);
  readEnd.reset();
  const Child::Ending ending = child.wait();
  ProcessResult result = ending.end == ProcessResult::End::notStarted
                             ? notStarted(program, ending.code)
                             : ProcessResult{};
  result.stopped = stopped;
  if (ending.end == ProcessResult::End::notStarted) return result;
  result.end = ending.end;
  result.code = ending.code;
  result.output = tail.take();
  return result;
}

}  // namespace vornlib::platform::posix
