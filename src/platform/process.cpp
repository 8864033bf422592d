#include "platform/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/unique_fd.hpp"

extern char** environ;

namespace vornlib::platform {
namespace {

struct FileActionsDestroy {
  void operator()(posix_spawn_file_actions_t* actions) const noexcept {
    posix_spawn_file_actions_destroy(actions);
  }
};
using FileActionsGuard = std::unique_ptr<posix_spawn_file_actions_t, FileActionsDestroy>;

struct SpawnAttrDestroy {
  void operator()(posix_spawnattr_t* attr) const noexcept { posix_spawnattr_destroy(attr); }
};
using SpawnAttrGuard = std::unique_ptr<posix_spawnattr_t, SpawnAttrDestroy>;

// A started child and the read end of its output pipe. Whatever way the runner leaves, the
// pipe is closed before the child is waited for (so a child still writing gets SIGPIPE instead
// of blocking forever), and the child is always reaped.
class RunningChild {
 public:
  RunningChild(pid_t pid, UniqueFd output) noexcept : pid_(pid), output_(std::move(output)) {}
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  ~RunningChild() {
    output_.reset();
    if (pid_ > 0) reap();
  }

  int outputFd() const noexcept { return output_.get(); }
  void closeOutput() noexcept { output_.reset(); }

  // Reaps the child and says how it ended; `code` is as in ProcessResult.
  ProcessResult::End wait(int& code) noexcept {
    const int status = reap();
    if (status < 0) return ProcessResult::End::unclassified;
    if (WIFEXITED(status)) {
      code = WEXITSTATUS(status);
      return ProcessResult::End::exited;
    }
    if (WIFSIGNALED(status)) {
      code = WTERMSIG(status);
      return ProcessResult::End::signaled;
    }
    return ProcessResult::End::unclassified;
  }

 private:
  // The raw wait status, or -1 when the child cannot be waited for.
  int reap() noexcept {
    int status = 0;
    pid_t got = -1;
    do {
      got = ::waitpid(pid_, &status, 0);
    } while (got < 0 && errno == EINTR);
    pid_ = -1;
    return got < 0 ? -1 : status;
  }

  pid_t pid_;
  UniqueFd output_;
};

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

// Moves `fd` to a number above the standard descriptors. When the host has closed one of 0-2,
// a new pipe end can land there and would then be clobbered by the child's own redirections.
int moveAboveStandard(UniqueFd& fd) noexcept {
  if (fd.get() > STDERR_FILENO) return 0;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return errno;
  fd = UniqueFd(moved);
  return 0;
}

ProcessResult notStarted(const std::filesystem::path& program, int error) {
  ProcessResult result;
  result.end = ProcessResult::End::notStarted;
  result.code = error;
  result.output =
      "cannot start " + program.string() + ": " + std::generic_category().message(error) + "\n";
  return result;
}

}  // namespace

ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, std::size_t outputLimit) {
  const std::string& path = program.native();
  for (const std::string& argument : arguments) {
    // execve would silently cut the argument at the NUL byte.
    if (argument.find('\0') != std::string::npos) return notStarted(program, EINVAL);
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  // posix_spawn takes non-const strings but does not change them.
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return notStarted(program, errno);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  if (const int error = moveAboveStandard(readEnd)) return notStarted(program, error);
  if (const int error = moveAboveStandard(writeEnd)) return notStarted(program, error);

  posix_spawn_file_actions_t actions;
  if (const int error = posix_spawn_file_actions_init(&actions)) return notStarted(program, error);
  const FileActionsGuard actionsGuard(&actions);
  int error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
  // O_CLOEXEC on our own pipe is not enough: other threads of the host may open descriptors
  // without it, and those would otherwise leak into every child started meanwhile.
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (error != 0) return notStarted(program, error);

  posix_spawnattr_t attr;
  if (const int initError = posix_spawnattr_init(&attr)) return notStarted(program, initError);
  const SpawnAttrGuard attrGuard(&attr);
  // The calling thread may block signals and the host may ignore some (SIGPIPE often); both
  // would be inherited across exec and change how the child behaves.
  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  error = posix_spawnattr_setsigmask(&attr, &noSignals);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attr, &allSignals);
  if (error == 0) {
    error = posix_spawnattr_setflags(
        &attr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
  }
  if (error != 0) return notStarted(program, error);

  pid_t pid = -1;
  // glibc reports a failed exec here, after reaping the child it made.
  error = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  if (error != 0) return notStarted(program, error);

  RunningChild child(pid, std::move(readEnd));
  // Only the child may hold the write end, or reading would never see the end of the output.
  writeEnd.reset();

  TailBuffer tail(outputLimit);
  std::array<char, 16384> chunk{};
  for (;;) {
    const ssize_t got = ::read(child.outputFd(), chunk.data(), chunk.size());
    if (got > 0) {
      tail.append(chunk.data(), static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  child.closeOutput();

  ProcessResult result;
  result.end = child.wait(result.code);
  result.output = tail.take();
  return result;
}

}  // namespace vornlib::platform
