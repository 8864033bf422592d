// Runs a program as a child process, without a shell, and captures what it prints.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace vornlib::platform {

struct ProcessResult {
  enum class End {
    exited,        // `code` is the exit status
    signaled,      // `code` is the number of the signal that ended the child
    notStarted,    // `code` is the errno value that kept it from starting
    unclassified,  // the child could not be waited for (e.g. the host reaps children itself)
  };
  End end = End::unclassified;
  int code = 0;
  // The last bytes the child wrote to its standard output and standard error, interleaved
  // in the order written. For a child that did not start, one line saying why.
  std::string output;
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
// Safe to call from several threads at once. Throws only std::bad_alloc; the child is still
// reaped and every descriptor closed when it does.
ProcessResult runProcess(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments, std::size_t outputLimit);

}  // namespace vornlib::platform
