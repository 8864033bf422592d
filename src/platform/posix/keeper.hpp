// SPDX-License-Identifier: MIT
// The keeper: a process that starts the program of a run, waits for it and tells how it ended,
// out of the host's sight, at a cost that does not grow with the host.
//
// It shares the host's memory (clone with CLONE_VM) and runs on a stack of its own, making raw
// system calls only and never returning into the host's code: so starting it copies nothing of
// the host (no page tables, no copy-on-write, nothing reserved under strict overcommit), as
// starting a thread does. It has no exit signal, so a host that ignores SIGCHLD or reaps with
// waitpid(-1) neither takes it nor sees it; the runner waits for it through a pidfd. It is
// killed when the thread that started it ends, and the program with it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

// What a keeper is given, and what it leaves behind. Shared with the keeper from its start until
// it has been reaped: must not move, nor be read before then.
struct KeeperJob {
  // Given, prepared before the keeper exists.
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int output = -1;   // the write end of the output pipe, above 2
  int stop = -1;     // the read end of the stop pipe, above 2: readable or closed means stop
  pid_t parent = 0;  // the host's pid
  char* programStack = nullptr;  // the top of the stack the program's process starts on

  // Left by the keeper.
  volatile int startError = 0;  // errno: the program could not be started
  volatile int ended = 0;       // 1 once it has reaped the program
  volatile int endCode = 0;     // the program's si_code (CLD_EXITED, CLD_KILLED...)
  volatile int endStatus = 0;   // and its si_status
};

// The keeper's stack (and the program's process's, below it), mapped for one run.
class KeeperStack {
 public:
  // Maps the stacks; false when the system refuses the memory.
  bool map() noexcept;
  ~KeeperStack();
  KeeperStack() = default;
  KeeperStack(const KeeperStack&) = delete;
  KeeperStack& operator=(const KeeperStack&) = delete;

  char* keeperTop() const noexcept;
  char* programTop() const noexcept;

 private:
  char* base_ = nullptr;
};

// Starts a keeper for `job` on `stack`; gives its pid with a pidfd, or -errno (ENOSYS where this
// machine has no such keeper, EPERM in a sandbox that forbids it, ENOMEM, EAGAIN).
pid_t startKeeper(KeeperJob& job, const KeeperStack& stack, UniqueFd& pidfd) noexcept;

}  // namespace vornlib::platform::posix
