// SPDX-License-Identifier: MIT
#include "platform/posix/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "platform/posix/pipe.hpp"
#include "platform/posix/raw_syscall.hpp"
#include "runtime/log.hpp"

namespace vornlib::platform::posix {
namespace {

// Set once the keeper has been refused (no such call, or a sandbox forbids it); runs are then
// started with posix_spawn, whose children a host that reaps children can take.
std::atomic<bool> spawnOnly{!raw::kAvailable};

void giveUpKeeper(int error) {
  if (spawnOnly.exchange(true)) return;
  runtime::log(
      "ffmpeg runner: the keeper cannot be started (" + std::generic_category().message(error) +
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

int waitFor(idtype_t type, id_t id, siginfo_t& info) noexcept {
  int result = -1;
  do {
    result = ::waitid(type, id, &info, WEXITED | __WALL);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

Child::~Child() {
  if (pid_ > 0) {
    stop();
    reap();
  }
}

int Child::start(const Launch& launch) noexcept {
  kept_ = !spawnOnly.load(std::memory_order_relaxed);
  if (kept_) {
    UniqueFd stopRead;
    if (const int error = makePipe(stopRead, stop_)) return error;
    job_.path = launch.path;
    job_.argv = launch.argv;
    job_.envp = launch.envp;
    job_.output = launch.output;
    job_.stop = stopRead.get();
    job_.parent = launch.parent;
    const pid_t pid = stack_.map() ? startKeeper(job_, stack_, pidfd_) : -ENOMEM;
    if (pid > 0) {
      pid_ = pid;
      return 0;  // the keeper holds its own copy of the stop pipe's read end
    }
    stop_.reset();
    const int error = -pid;
    if (error == ENOSYS || error == EPERM) {
      giveUpKeeper(error);
    } else if (error != ENOMEM && error != EAGAIN) {
      return error;
    }
    kept_ = false;
  }
  return spawnDirect(launch, pid_);
}

void Child::stop() noexcept {
  if (!kept_) {
    ::kill(pid_, SIGKILL);
    return;
  }
  const char byte = 1;
  while (::write(stop_.get(), &byte, 1) < 0 && errno == EINTR) continue;
}

Child::Ending Child::wait() noexcept {
  const siginfo_t info = reap();
  Ending ending;
  if (info.si_code == CLD_EXITED && kept_) {
    // The keeper's own exit says nothing about the program; what it left behind does.
    if (job_.startError != 0) return Ending{ProcessResult::End::notStarted, job_.startError};
    if (job_.ended == 0) return ending;
    if (job_.endCode == CLD_EXITED) return Ending{ProcessResult::End::exited, job_.endStatus};
    if (job_.endCode == CLD_KILLED || job_.endCode == CLD_DUMPED)
      return Ending{ProcessResult::End::signaled, job_.endStatus};
    return ending;
  }
  if (info.si_code == CLD_EXITED) {
    ending.end = ProcessResult::End::exited;
  } else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
    ending.end = ProcessResult::End::signaled;
  }
  ending.code = info.si_status;
  return ending;
}

siginfo_t Child::reap() noexcept {
  siginfo_t info{};
  const int result = pidfd_.valid() ? waitFor(P_PIDFD, static_cast<id_t>(pidfd_.get()), info) : -1;
  // Waiting through a pidfd came a kernel release after clone3.
  if (!pidfd_.valid() || (result < 0 && errno == EINVAL))
    waitFor(P_PID, static_cast<id_t>(pid_), info);
  pid_ = -1;
  pidfd_.reset();
  return info;
}

}  // namespace vornlib::platform::posix
