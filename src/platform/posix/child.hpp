// A started program, whichever way it was started: under a keeper, or with posix_spawn where
// the system refuses the keeper.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include "platform/posix/keeper.hpp"
#include "platform/posix/process.hpp"
#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

// Whatever way the caller leaves, a started program is ended (as nobody waits for it any more)
// and its process reaped when this goes; the caller closes the output's read end first, so that
// a program still writing gets SIGPIPE instead of blocking for ever.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Starts the program `launch` describes (its `status` is ignored: the keeper's pipe is made
  // here). Under a keeper where the system allows one; where clone3 is refused, logs that once
  // and from then on starts programs with posix_spawn. Gives 0 or the errno of the failure.
  int start(const Launch& launch) noexcept;

  // Ends the program (SIGKILL). A keeper is asked, and ends and reaps the program itself
  // before it reports; the program is killed directly only when it is our child.
  void stop() noexcept;

  struct Ending {
    ProcessResult::End end = ProcessResult::End::unclassified;
    int code = 0;  // as in ProcessResult
  };
  // Reaps the process and says how the program ended (a keeper's report, or the child's own
  // status). Called once, after the program's output has ended.
  Ending wait() noexcept;

 private:
  // How the process ended; si_code 0 when it cannot be waited for.
  siginfo_t reap() noexcept;

  pid_t pid_ = -1;
  UniqueFd pidfd_;
  bool kept_ = false;
  UniqueFd status_;  // the read end of a keeper's status pipe
};

}  // namespace vornlib::platform::posix
