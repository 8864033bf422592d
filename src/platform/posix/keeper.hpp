// The keeper: a process that starts the program of a run, waits for it and reports how it
// ended, out of the host's sight.
#pragma once

#include <sys/types.h>

#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

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
inline constexpr int kStartFailed = 1;
inline constexpr int kEnded = 2;

// Starts a keeper for `launch`: a copy of the host made by clone3 with no exit signal, which
// the kernel neither reaps for a host that ignores SIGCHLD nor shows to its waitpid(-1). It never
// execs (that would make it an ordinary child again): it starts the program as its own child,
// waits for it and reports through `launch.status`. It is killed when the calling thread ends,
// and the program with it; SIGTERM makes it kill the program. Gives 0 with its pid and a pidfd,
// or the errno of the clone that failed (ENOSYS or EPERM where clone3 is refused).
int startKeeper(const Launch& launch, pid_t& pid, UniqueFd& pidfd) noexcept;

}  // namespace vornlib::platform::posix
