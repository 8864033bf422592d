// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "runtime/executor.hpp"
#include "support/support.hpp"

// More jobs than a fixed pool has, each blocked, as a host's callback may be, by the next one.
TEST(Executor, AJobNeverWaitsBehindBlockedOnes) {
  const auto lastRan = std::make_shared<std::promise<void>>();
  const std::shared_future<void> last = lastRan->get_future().share();
  std::vector<std::promise<bool>> sawLast(std::max(2U, std::thread::hardware_concurrency()) + 1);
  for (auto& saw : sawLast)
    vornlib::runtime::runInBackground([&saw, last] {
      saw.set_value(last.wait_for(vornlib::test::kPatience) == std::future_status::ready);
    });
  vornlib::runtime::runInBackground([lastRan] { lastRan->set_value(); });
  for (auto& saw : sawLast) EXPECT_TRUE(saw.get_future().get());
}
