// SPDX-License-Identifier: MIT
#include "platform/runner/argument_split.hpp"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

// Only a blank outside quotes separates; quotes join, may be empty, and may be left open; a
// backslash is ordinary but before a quote outside a quoted stretch.
TEST(ArgumentSplit, Table) {
  const std::pair<const char*, Args> cases[] = {
      {"", {}},
      {R"(  -i "/a  b.wav" t="A  B"! ""  "open ended  )",
       {"-i", "/a  b.wav", "t=A  B!", "", "open ended  "}},
      {"tab\tand\nnewline ", {"tab\tand\nnewline"}},
      {R"("/a\" "12"\"" Mix\.wav" x\\y\)", {"/a\\", "12\" Mix\\.wav", "x\\\\y\\"}}};
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(vornlib::platform::runner::splitArguments(text), expected) << text;
}

}  // namespace
