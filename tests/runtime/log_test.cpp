// SPDX-License-Identifier: MIT
#include "runtime/log.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/support.hpp"

namespace {

TEST(Log, LinesReachTheSinkVerbatimAndAThrowingSinkLosesOnlyItsLine) {
  vornlib::test::LogCapture capture;
  vornlib::runtime::log("Command = -i \"/a%d %s\"  x");
  vornlib::runtime::log("");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Command = -i \"/a%d %s\"  x", ""}));
  const auto previous =
      vornlib::setLogSink([](std::string_view) { throw std::runtime_error("full"); });
  EXPECT_NO_THROW(vornlib::runtime::log("dropped"));
  vornlib::setLogSink(previous);  // the capture's, which must still be working
  vornlib::runtime::log("after");
  EXPECT_EQ(capture.lines().back(), "after");
}

}  // namespace
