#include "platform/process.hpp"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/log.hpp"
#include "platform/unique_fd.hpp"

extern char** environ;

namespace vornlib::platform {
namespace {

// Everything a new process needs, prepared before it exists: a process cloned from a threaded
// one may only make async-signal-safe calls until it execs or exits.
struct Launch {
  const char* path;
  char* const* argv;
  char* const* envp;
  int output;  // write end of the output pipe, above 2
  int status;  // write end of the status pipe, above 2, close-on-exec (unused by posix_spawn)
  pid_t parent;
};

// What the keeper (below) reports through the status pipe: `startFailed` with an errno, from
// itself or from the program's process before its exec, then `ended` with the program's raw wait
// status. Each message is one write far below PIPE_BUF, so it arrives whole.
struct StatusMessage {
  int kind;
  int value;
};
constexpr int kStartFailed = 1;
constexpr int kEnded = 2;

void sendStatus(int fd, int kind, int value) noexcept {
  const StatusMessage message{kind, value};
  while (::write(fd, &message, sizeof message) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void failStart(int statusFd, int error) noexcept {
  sendStatus(statusFd, kStartFailed, error);
  ::_exit(127);
}

// O_CLOEXEC on our own pipes is not enough: other threads of the host may open descriptors
// without it, and those would otherwise leak into every child started meanwhile.
void closeAllAbove2Except(int keep) noexcept {
  const auto first = static_cast<unsigned>(STDERR_FILENO + 1);
  const auto kept = static_cast<unsigned>(keep);
  if ((kept == first || ::close_range(first, kept - 1, 0) == 0) &&
      ::close_range(kept + 1, ~0U, 0) == 0) {
    return;
  }
  // Kernels before close_range: every descriptor the limit allows, one by one.
  rlimit limit{};
  int end = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    end = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
  for (int fd = STDERR_FILENO + 1; fd < end; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

// A keeper's own state for a stop: each keeper is a copy of the host, so these are its own, and
// the host's copies are never used. `keeperProgram` is the program's pid while killing it by
// that pid is safe (it is not yet reaped), 0 otherwise.
volatile std::sig_atomic_t keeperStopAsked = 0;
volatile std::sig_atomic_t keeperProgram = 0;
static_assert(sizeof(pid_t) <= sizeof(std::sig_atomic_t));

// The runner asks a keeper to stop its program with SIGTERM.
void onKeeperStop(int) noexcept {
  const int saved = errno;
  keeperStopAsked = 1;
  if (const auto program = static_cast<pid_t>(keeperProgram); program > 0) ::kill(program, SIGKILL);
  errno = saved;
}

// The host may ignore signals (SIGPIPE often) and handle others; neither may carry over into
// the program, nor a host's handler run in a copy of the host. The keeper's SIGTERM handler is
// in place before anything is unblocked, so a stop sent while the keeper was starting is pending
// then, not lost; the program gets SIGTERM's default back when it execs.
void resetSignals() noexcept {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  // SIGKILL, SIGSTOP and the C library's own signals refuse; they need no reset.
  for (int signal = 1; signal < NSIG; ++signal) {
    if (signal != SIGTERM) ::sigaction(signal, &byDefault, nullptr);
  }
  keeperStopAsked = 0;
  keeperProgram = 0;
  struct sigaction stop {};
  stop.sa_handler = onKeeperStop;
  sigfillset(&stop.sa_mask);
  ::sigaction(SIGTERM, &stop, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The runner's direct child: a copy of the host made by clone3 with no exit signal, which the
// kernel neither reaps for a host that ignores SIGCHLD nor shows to its waitpid(-1). An exec
// would make it an ordinary child again, so it never execs: it starts the program as its own
// child, waits for it and reports how it ended. Only async-signal-safe calls from here on.
[[noreturn]] void keep(const Launch& launch) noexcept {
  // Killed when the runner's thread ends, and the program when the keeper does: a host that
  // exits with runs in flight leaves no ffmpeg behind.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) failStart(launch.status, errno);
  if (::getppid() != launch.parent) ::_exit(127);  // the host is gone already
  const int input = ::open("/dev/null", O_RDONLY);
  if (input < 0) failStart(launch.status, errno);
  if ((input != STDIN_FILENO && ::dup2(input, STDIN_FILENO) < 0) ||
      ::dup2(launch.output, STDOUT_FILENO) < 0 || ::dup2(launch.output, STDERR_FILENO) < 0) {
    failStart(launch.status, errno);
  }
  closeAllAbove2Except(launch.status);
  resetSignals();

  const pid_t keeper = ::getpid();
  const pid_t program = ::vfork();
  if (program == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == keeper)
      ::execve(launch.path, launch.argv, launch.envp);
    failStart(launch.status, errno);
  }
  if (program < 0) failStart(launch.status, errno);
  // A stop that came before the pid was known is carried out here; one that comes later, by the
  // handler. Both may happen: the second SIGKILL finds the program unreaped and changes nothing.
  keeperProgram = program;
  if (keeperStopAsked != 0) ::kill(program, SIGKILL);
  // The output is to end when the program and whatever it started are done with it.
  ::close(STDIN_FILENO);
  ::close(STDOUT_FILENO);
  ::close(STDERR_FILENO);
  // Waited for without reaping first: until it is reaped its pid cannot name another process, so
  // the handler may still kill by it. Then the handler is kept out, and the program reaped.
  siginfo_t ended{};
  int waited = -1;
  do {
    waited = ::waitid(P_PID, static_cast<id_t>(program), &ended, WEXITED | WNOWAIT);
  } while (waited < 0 && errno == EINTR);
  sigset_t stopSignal;
  sigemptyset(&stopSignal);
  sigaddset(&stopSignal, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignal, nullptr);
  keeperProgram = 0;
  int status = 0;
  pid_t got = -1;
  do {
    got = ::waitpid(program, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got == program) sendStatus(launch.status, kEnded, status);
  ::_exit(0);
}

// Starts the keeper; gives 0, or the errno of the clone that failed.
int startKeeper(const Launch& launch, pid_t& pid, UniqueFd& pidfd) noexcept {
#ifdef SYS_clone3
  // Blocked across the clone, so that no host handler runs in the keeper before it resets them.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  int fd = -1;
  clone_args args{};
  args.flags = CLONE_PIDFD;
  args.pidfd = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&fd));
  args.exit_signal = 0;
  const long got = ::syscall(SYS_clone3, &args, CLONE_ARGS_SIZE_VER0);
  if (got == 0) keep(launch);
  const int error = got < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (error != 0) return error;
  pid = static_cast<pid_t>(got);
  pidfd = UniqueFd(fd);
  return 0;
#else
  (void)launch, (void)pid, (void)pidfd;
  return ENOSYS;
#endif
}

// ThreadSanitizer's interceptors take locks that another thread may hold at the moment of the
// clone, and a keeper copied then waits on them for ever: its builds start every program with
// posix_spawn, as if clone3 were refused, without saying so each time.
#if defined(__SANITIZE_THREAD__)
constexpr bool kKeeperUsable = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kKeeperUsable = false;
#else
constexpr bool kKeeperUsable = true;
#endif
#else
constexpr bool kKeeperUsable = true;
#endif

// Set once clone3 has been refused (no such call, or a sandbox forbids it); runs are then
// started with posix_spawn, whose children a host that reaps children can take.
std::atomic<bool> spawnOnly{!kKeeperUsable};

void giveUpKeeper(int error) {
  if (spawnOnly.exchange(true)) return;
  log("ffmpeg runner: clone3 is not available (" + std::generic_category().message(error) +
      "); programs are started with posix_spawn, and a host that reaps children itself may "
      "make their runs fail");
}

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

// Starts the program directly as an ordinary child; gives 0 or an errno.
int spawnDirect(const Launch& launch, pid_t& pid) noexcept {
  posix_spawn_file_actions_t actions;
  if (const int error = posix_spawn_file_actions_init(&actions)) return error;
  const FileActionsGuard actionsGuard(&actions);
  int error = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, launch.output, STDOUT_FILENO);
  if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, launch.output, STDERR_FILENO);
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (error != 0) return error;

  posix_spawnattr_t attr;
  if (const int initError = posix_spawnattr_init(&attr)) return initError;
  const SpawnAttrGuard attrGuard(&attr);
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
  if (error != 0) return error;
  // glibc reports a failed exec here, after reaping the child it made.
  return posix_spawn(&pid, launch.path, &actions, &attr, launch.argv, launch.envp);
}

// A started child (`kept`: a keeper) and the read end of its output pipe. Whatever way the
// runner leaves, the pipe is closed before the child is waited for (so a child still writing gets
// SIGPIPE instead of blocking forever), and the child is always reaped; a run left by an
// exception is ended first, as nobody waits for it any more.
class RunningChild {
 public:
  RunningChild(pid_t pid, UniqueFd pidfd, bool kept, UniqueFd output) noexcept
      : pid_(pid), pidfd_(std::move(pidfd)), kept_(kept), output_(std::move(output)) {}
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  ~RunningChild() {
    output_.reset();
    if (pid_ > 0) {
      stop();
      reap();
    }
  }

  int outputFd() const noexcept { return output_.get(); }
  void closeOutput() noexcept { output_.reset(); }

  // Ends the program. The child is unreaped until wait(), so its pid and pidfd still name it. A
  // keeper is asked, and ends and reaps the program itself before it reports; the program is
  // killed directly only when it is the child.
  void stop() noexcept {
    if (!kept_) {
      ::kill(pid_, SIGKILL);
      return;
    }
#ifdef SYS_pidfd_send_signal
    if (pidfd_.valid() &&
        ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0U) == 0) {
      return;
    }
#endif
    ::kill(pid_, SIGTERM);  // kernels without pidfd_send_signal
  }

  // Reaps the child and says how it ended; `code` is as in ProcessResult.
  ProcessResult::End wait(int& code) noexcept {
    const siginfo_t info = reap();
    code = info.si_status;
    if (info.si_code == CLD_EXITED) return ProcessResult::End::exited;
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED)
      return ProcessResult::End::signaled;
    return ProcessResult::End::unclassified;
  }

 private:
  static int waitFor(idtype_t type, id_t id, siginfo_t& info) noexcept {
    int result = -1;
    do {
      result = ::waitid(type, id, &info, WEXITED | __WALL);
    } while (result < 0 && errno == EINTR);
    return result;
  }

  // How the child ended; si_code 0 when it cannot be waited for.
  siginfo_t reap() noexcept {
    siginfo_t info{};
    const int result =
        pidfd_.valid() ? waitFor(P_PIDFD, static_cast<id_t>(pidfd_.get()), info) : -1;
    // Waiting through a pidfd came a kernel release after clone3.
    if (!pidfd_.valid() || (result < 0 && errno == EINVAL))
      waitFor(P_PID, static_cast<id_t>(pid_), info);
    pid_ = -1;
    pidfd_.reset();
    return info;
  }

  pid_t pid_;
  UniqueFd pidfd_;
  bool kept_;
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

// A pipe with both ends above the standard descriptors. When the host has closed one of 0-2,
// a new pipe end can land there and would then be clobbered by the child's own redirections.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) noexcept {
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) return errno;
  readEnd = UniqueFd(ends[0]);
  writeEnd = UniqueFd(ends[1]);
  for (UniqueFd* end : {&readEnd, &writeEnd}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return errno;
    *end = UniqueFd(moved);
  }
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

  UniqueFd readEnd;
  UniqueFd writeEnd;
  UniqueFd statusRead;
  UniqueFd statusWrite;
  if (const int error = makePipe(readEnd, writeEnd)) return notStarted(program, error);
  bool kept = !spawnOnly.load(std::memory_order_relaxed);
  if (kept) {
    if (const int error = makePipe(statusRead, statusWrite)) return notStarted(program, error);
  }
  const Launch launch{path.c_str(),   argv.data(),       environ,
                      writeEnd.get(), statusWrite.get(), ::getpid()};
  pid_t pid = -1;
  UniqueFd pidfd;
  int error = kept ? startKeeper(launch, pid, pidfd) : 0;
  if (kept && (error == ENOSYS || error == EPERM)) {
    giveUpKeeper(error);
    kept = false;
  }
  if (!kept) error = spawnDirect(launch, pid);
  if (error != 0) return notStarted(program, error);

  RunningChild child(pid, std::move(pidfd), kept, std::move(readEnd));
  // Only the child may hold the write ends, or reading would never see the end of the output.
  writeEnd.reset();
  statusWrite.reset();

  TailBuffer tail(outputLimit);
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
      pollfd readable{child.outputFd(), POLLIN, 0};
      const int ready = ::poll(&readable, 1, kStopLookMs);
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    }
    const ssize_t got = ::read(child.outputFd(), chunk.data(), chunk.size());
    if (got > 0) {
      const auto size = static_cast<std::size_t>(got);
      if (reportsOutput) control->onOutput(std::string_view(chunk.data(), size));
      tail.append(chunk.data(), size);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  child.closeOutput();

  ProcessResult result;
  result.stopped = stopped;
  result.end = child.wait(result.code);
  if (kept && result.end == ProcessResult::End::exited) {
    // The keeper's own exit says nothing about the program; its first message does.
    StatusMessage message{};
    ssize_t got = -1;
    do {
      got = ::read(statusRead.get(), &message, sizeof message);
    } while (got < 0 && errno == EINTR);
    result.end = ProcessResult::End::unclassified;
    if (got == static_cast<ssize_t>(sizeof message) && message.kind == kStartFailed) {
      ProcessResult failed = notStarted(program, message.value);
      failed.stopped = stopped;
      return failed;
    }
    if (got == static_cast<ssize_t>(sizeof message) && message.kind == kEnded) {
      if (WIFEXITED(message.value)) {
        result.end = ProcessResult::End::exited;
        result.code = WEXITSTATUS(message.value);
      } else if (WIFSIGNALED(message.value)) {
        result.end = ProcessResult::End::signaled;
        result.code = WTERMSIG(message.value);
      }
    }
  }
  result.output = tail.take();
  return result;
}

}  // namespace vornlib::platform
