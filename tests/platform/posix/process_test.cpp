// SPDX-License-Identifier: MIT
#include "platform/posix/process.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

long minorFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Starting a program copies nothing of the host: while one runs, a host rewriting the 256 MiB it
// had touched takes no copy-on-write fault (a copied keeper would cost one a page: 65536).
TEST(Process, ARunningProgramCopiesNothingOfTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::vector<char> heap(256U << 20, 1);
        std::thread run([] { vornlib::platform::posix::runProcess("/bin/sleep", {"1"}, 1024); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // it is under way
        const long before = minorFaults();
        std::memset(heap.data(), 2, heap.size());
        const long faults = minorFaults() - before;
        run.join();
        std::_Exit(faults < 2000 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
