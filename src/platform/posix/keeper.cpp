// SPDX-License-Identifier: MIT
#include "platform/posix/keeper.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/posix/raw_syscall.hpp"

// The start of a process on a stack of our own, as the C library's clone() does it, but without
// the C library: the new process calls run(argument) and ends with its result.
#if defined(__x86_64__)
__asm__(
    ".text\n"
    ".globl vornlib_clone_on_stack\n"
    ".hidden vornlib_clone_on_stack\n"
    ".type vornlib_clone_on_stack,@function\n"
    "vornlib_clone_on_stack:\n"  // rdi flags, rsi stack, rdx parent tid, rcx run, r8 argument
    "  and $-16, %rsi\n"
    "  sub $16, %rsi\n"
    "  mov %rcx, 0(%rsi)\n"
    "  mov %r8, 8(%rsi)\n"
    "  xor %r10d, %r10d\n"  // child tid
    "  xor %r8d, %r8d\n"    // tls
    "  mov $56, %eax\n"     // SYS_clone
    "  syscall\n"
    "  test %rax, %rax\n"
    "  jnz 1f\n"
    "  xor %ebp, %ebp\n"  // the new process, on its own stack
    "  pop %rax\n"
    "  pop %rdi\n"
    "  call *%rax\n"
    "  mov %rax, %rdi\n"
    "  mov $60, %eax\n"  // SYS_exit
    "  syscall\n"
    "  ud2\n"
    "1:\n"
    "  ret\n"
    ".size vornlib_clone_on_stack, .-vornlib_clone_on_stack\n");
#elif defined(__aarch64__)
__asm__(
    ".text\n"
    ".globl vornlib_clone_on_stack\n"
    ".hidden vornlib_clone_on_stack\n"
    ".type vornlib_clone_on_stack,%function\n"
    "vornlib_clone_on_stack:\n"  // x0 flags, x1 stack, x2 parent tid, x3 run, x4 argument
    "  and x1, x1, #-16\n"
    "  stp x3, x4, [x1, #-16]!\n"
    "  mov x3, #0\n"    // tls
    "  mov x4, #0\n"    // child tid
    "  mov x8, #220\n"  // SYS_clone
    "  svc #0\n"
    "  cbnz x0, 1f\n"
    "  ldp x1, x0, [sp], #16\n"  // the new process, on its own stack
    "  blr x1\n"
    "  mov x8, #93\n"  // SYS_exit
    "  svc #0\n"
    "  brk #0\n"
    "1:\n"
    "  ret\n"
    ".size vornlib_clone_on_stack, .-vornlib_clone_on_stack\n");
#endif

namespace vornlib::platform::posix {
namespace {

constexpr std::size_t kKeeperStackBytes = 64 * 1024;
constexpr std::size_t kProgramStackBytes = 32 * 1024;

// The kernel's own struct sigaction, as rt_sigaction takes it (zeroed: SIG_DFL, no flags).
struct KernelSigaction {
  unsigned long handler;
  unsigned long flags;
  unsigned long restorer;
  unsigned long mask;
};

// The keeper's pid, for the program's process to check that the keeper still lives; written by
// the keeper before it starts that process.
struct ProgramStart {
  KeeperJob* job;
  long keeper;
};

#if defined(__x86_64__) || defined(__aarch64__)
using raw::call;

VORNLIB_KEEPER_CODE void closeAllBut(long first, long second) {
  const long low = first < second ? first : second;
  const long high = first < second ? second : first;
  if (call(SYS_close_range, 0, low - 1, 0) == 0 &&
      (high - low < 2 || call(SYS_close_range, low + 1, high - 1, 0) == 0) &&
      call(SYS_close_range, high + 1, ~0U, 0) == 0) {
    return;
  }
  for (long fd = 0; fd < 65536; ++fd) {  // kernels before close_range
    if (fd != low && fd != high) call(SYS_close, fd);
  }
}

// The program's process: shares the keeper's memory (it is suspended meanwhile) and a copy of its
// descriptors, until it execs the program.
VORNLIB_KEEPER_CODE int startProgram(void* argument) {
  const ProgramStart& start = *static_cast<const ProgramStart*>(argument);
  KeeperJob& job = *start.job;
  long error = call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (error == 0 && call(SYS_getppid) != start.keeper) error = -ESRCH;  // the keeper is gone
  long input = error == 0
                   ? call(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDONLY)
                   : error;
  if (input > 0) {
    error = call(SYS_dup3, input, 0, 0);
    call(SYS_close, input);
  } else if (input < 0) {
    error = input;
  }
  if (error >= 0) error = call(SYS_dup3, job.output, 1, 0);
  if (error >= 0) error = call(SYS_dup3, job.output, 2, 0);
  if (error >= 0) {
    // The host's dispositions (SIGPIPE ignored, handlers) are not the program's.
    const KernelSigaction byDefault{};
    for (long signal = 1; signal <= 64; ++signal) {
      if (signal != SIGKILL && signal != SIGSTOP)
        call(SYS_rt_sigaction, signal, reinterpret_cast<long>(&byDefault), 0, 8);
    }
    const unsigned long none = 0;
    call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, 8);
    error = call(SYS_execve, reinterpret_cast<long>(job.path), reinterpret_cast<long>(job.argv),
                 reinterpret_cast<long>(job.envp));
  }
  job.startError = static_cast<int>(-error);
  return 127;
}

// Whether the program has ended, without reaping it.
VORNLIB_KEEPER_CODE bool hasEnded(long program) {
  siginfo_t info{};
  return call(SYS_waitid, P_PID, program, reinterpret_cast<long>(&info),
              WEXITED | WNOHANG | WNOWAIT, 0) == 0 &&
         info.si_pid != 0;
}

// The keeper's life. Its descriptors are a copy of the host's at the clone: all but the two it
// needs are closed at once, so that it holds nothing of the host's open, and no other run's pipe.
VORNLIB_KEEPER_CODE int keep(void* argument) {
  KeeperJob& job = *static_cast<KeeperJob*>(argument);
  // Its dispositions are a copy of the host's: a host that ignores SIGCHLD would have the kernel
  // reap the program before the keeper could learn how it ended.
  const KernelSigaction byDefault{};
  call(SYS_rt_sigaction, SIGCHLD, reinterpret_cast<long>(&byDefault), 0, 8);
  long error = call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (error == 0 && call(SYS_getppid) != job.parent) return 127;  // the host is gone already
  closeAllBut(job.output, job.stop);
  ProgramStart start{&job, call(SYS_getpid)};
  const long program =
      error != 0 ? error
                 : vornlib_clone_on_stack(CLONE_VM | CLONE_VFORK | SIGCHLD, job.programStack,
                                          nullptr, startProgram, &start);
  call(SYS_close, job.output);  // the output ends when the program and its children are done
  if (program < 0) {
    job.startError = static_cast<int>(-program);
    return 0;
  }
  const long pidfd = job.startError != 0 ? -1 : call(SYS_pidfd_open, program, 0);
  bool stopped = job.startError != 0;
  while (job.startError == 0) {
    pollfd watched[2] = {{stopped ? -1 : job.stop, POLLIN, 0},
                         {pidfd >= 0 ? static_cast<int>(pidfd) : -1, POLLIN, 0}};
    timespec tick{0, 50'000'000};  // without a pidfd, the program is looked at this often
    const long ready = call(SYS_ppoll, reinterpret_cast<long>(watched), 2,
                            pidfd >= 0 ? 0 : reinterpret_cast<long>(&tick), 0, 8);
    if (ready < 0 && ready != -EINTR) break;
    if (!stopped && watched[0].revents != 0) {  // a byte, or the runner gone
      call(SYS_kill, program, SIGKILL);
      stopped = true;
    }
    if (pidfd >= 0 ? watched[1].revents != 0 : hasEnded(program)) break;
  }
  siginfo_t info{};
  long reaped = 0;
  do {
    reaped = call(SYS_waitid, P_PID, program, reinterpret_cast<long>(&info), WEXITED, 0);
  } while (reaped == -EINTR);
  if (reaped == 0 && job.startError == 0) {
    job.endCode = info.si_code;
    job.endStatus = info.si_status;
    job.ended = 1;
  }
  return 0;
}
#endif

}  // namespace

bool KeeperStack::map() noexcept {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = page + kProgramStackBytes + page + kKeeperStackBytes;
  void* memory =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return false;
  base_ = static_cast<char*>(memory);
  // A guard page below each stack: an overflow faults instead of writing over the other.
  ::mprotect(base_, page, PROT_NONE);
  ::mprotect(base_ + page + kProgramStackBytes, page, PROT_NONE);
  return true;
}

KeeperStack::~KeeperStack() {
  if (base_ == nullptr) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  ::munmap(base_, page + kProgramStackBytes + page + kKeeperStackBytes);
}

char* KeeperStack::programTop() const noexcept {
  return base_ + static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + kProgramStackBytes;
}

char* KeeperStack::keeperTop() const noexcept {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return base_ + page + kProgramStackBytes + page + kKeeperStackBytes;
}

pid_t startKeeper(KeeperJob& job, const KeeperStack& stack, UniqueFd& pidfd) noexcept {
#if defined(__x86_64__) || defined(__aarch64__)
  job.programStack = stack.programTop();
  // Blocked in the keeper for good: no handler of the host's ever runs there.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  int fd = -1;
  const long pid =
      vornlib_clone_on_stack(CLONE_VM | CLONE_PIDFD, stack.keeperTop(), &fd, keep, &job);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid > 0) pidfd = UniqueFd(fd);
  return static_cast<pid_t>(pid);
#else
  (void)job, (void)stack, (void)pidfd;
  return -ENOSYS;
#endif
}

}  // namespace vornlib::platform::posix
