#include "platform/posix/keeper.hpp"

#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>

namespace vornlib::platform::posix {
namespace {

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

// The keeper's life, in the copy of the host that clone3 made. Only async-signal-safe calls from
// here on.
[[noreturn]] void runKeeper(const Launch& launch) noexcept {
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

}  // namespace

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
  if (got == 0) runKeeper(launch);
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

}  // namespace vornlib::platform::posix
