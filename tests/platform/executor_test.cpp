#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/executor.hpp"
#include "support/support.hpp"

namespace {

// More jobs than any fixed set of workers would have, each blocked (as a host's callback may
// be) until a job posted after all of them has run: that job must not wait behind them.
TEST(Executor, AJobNeverWaitsBehindBlockedOnes) {
  const unsigned blocked = std::max(2U, std::thread::hardware_concurrency()) + 1;
  const auto lastRan = std::make_shared<std::promise<void>>();
  const std::shared_future<void> last = lastRan->get_future().share();
  std::vector<std::promise<bool>> sawLast(blocked);
  for (auto& saw : sawLast) {
    vornlib::platform::runInBackground([&saw, last] {
      saw.set_value(last.wait_for(vornlib::test::kPatience) == std::future_status::ready);
    });
  }
  vornlib::platform::runInBackground([lastRan] { lastRan->set_value(); });
  for (auto& saw : sawLast) EXPECT_TRUE(saw.get_future().get());
}

}  // namespace
