// SPDX-License-Identifier: MIT
// A started program, whichever way it was started: under a keeper, or with posix_spawn where
// the system refuses the keeper.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "platform/posix/keeper.hpp"
#include "platform/posix/process.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

// Everything the program's start needs, prepared before any new process exists.
struct Launch {
  const char* path;
  char* const* argv;
  char* const* envp;
  int output;  // write end of the output pipe, above 2
  pid_t parent;
};

// Whatever way the caller leaves, a started program is ended (as nobody waits for it any more)
// and its process reaped when this goes; the caller closes the output's read end first, so that
// a program still writing gets SIGPIPE instead of blocking for ever. Must not move once started.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Starts the program `launch` describes, under a keeper where the system allows one. Where it
  // refuses the keeper for good (ENOSYS, EPERM) this is logged once, and from then on programs
  // are started with posix_spawn; where it refuses the memory for one (ENOMEM, EAGAIN), that
  // program is. Gives 0 or the errno of the failure.
  int start(const Launch& launch) noexcept;

  // Ends the program (SIGKILL): a keeper is asked, and kills and reaps it itself before it
  // ends; the program is killed directly only when it is our child.
  void stop() noexcept;

  struct Ending {
    ProcessResult::End end = ProcessResult::End::unclassified;
    int code = 0;  // as in ProcessResult
  };
  // Reaps the process and says how the program ended (as the keeper saw it, or the child's own
  // status). Called once, after the program's output has ended.
  Ending wait() noexcept;

 private:
  // How the process ended; si_code 0 when it cannot be waited for.
  siginfo_t reap() noexcept;

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool kept_ = false;
  KeeperJob job_;
  KeeperStack stack_;  // unmapped only after the keeper has been reaped
  UniqueFd stop_;      // the write end of the keeper's stop pipe
};

}  // namespace vornlib::platform::posix
