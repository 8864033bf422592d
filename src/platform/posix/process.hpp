// SPDX-License-Identifier: MIT
// Runs a program as a child process, without a shell, and captures what it prints.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornlib::platform::posix {

struct ProcessResult {
  enum class End {
    exited,        // `code` is the exit status
    signaled,      // `code` is the number of the signal that ended the child
    notStarted,    // `code` is the errno value that kept it from starting
    unclassified,  // the child could not be waited for (e.g. the host reaped it first)
  };
  End end = End::unclassified;
  int code = 0;
  // The last bytes the child wrote to its standard output and standard error, interleaved
  // in the order written. For a child that did not start, one line saying why.
  std::string output;
  // The run was ended because `stopRequested` said so; `end` then says how it ended (normally
  // signaled, SIGKILL).
  bool stopped = false;
};

// What a caller may do while its program runs; both members are called on the calling thread
// and may be empty.
struct ProcessControl {
  // Each piece of output as it is read, before it joins the kept tail. Pieces follow the
  // pipe's reads: a line may be split across two.
  std::function<void(std::string_view piece)> onOutput;
  // Asked before the output is first read and then at least every 50 ms until it gives true;
  // the program is then ended (SIGKILL) and reaped, and its output read to the end.
  std::function<bool()> stopRequested;
};

// Runs `program` with `arguments` (argv[0] is the program path itself, not part of
// `arguments`) and returns once it has ended and been reaped. `program` is used as given,
// never searched in PATH. The child gets /dev/null as its standard input, one pipe for both
// standard output and standard error, the host's environment, default signal dispositions and
// an empty signal mask; every other descriptor of the host is closed in the child, including
// ones opened without O_CLOEXEC by other threads. Only the last `outputLimit` bytes of output
// are kept. Reading ends when every writer of the pipe is gone, so a grandchild that keeps the
// child's output open keeps this call waiting.
//
// The program is not this process's child: clone3 starts a keeper without an exit signal, which
// starts the program, waits for it and reports how it ended. So a host that ignores SIGCHLD or
// reaps with waitpid(-1) in its handler neither takes the run nor sees its processes. The
// keeper dies with the thread that called this, and the program with the keeper (SIGKILL).
// Where clone3 is refused (ENOSYS, EPERM), the first call logs that once and every call starts
// the program with posix_spawn as an ordinary child, which such a host can reap first: the run
// then ends `unclassified`.
//
// A stop ends the program from inside the keeper, which reaps it before it reports, so that no
// ended program is left for a host that is a child subreaper; under posix_spawn the program is
// killed directly.
//
// Safe to call from several threads at once. Throws std::bad_alloc, and what `control`'s
// functions throw; the child is still reaped and every descriptor closed when it does.
ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, std::size_t outputLimit,
                         const ProcessControl* control = nullptr);

}  // namespace vornlib::platform::posix
