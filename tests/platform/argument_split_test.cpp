#include "platform/argument_split.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vornlib::platform::splitArguments;
using Args = std::vector<std::string>;

TEST(ArgumentSplit, Table) {
  const struct {
    const char* text;
    Args expected;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"-ar 44100  -ac 2", {"-ar", "44100", "-ac", "2"}},
      {"  -y out.wav  ", {"-y", "out.wav"}},
      {R"(-i "/tmp/my song.wav" -y)", {"-i", "/tmp/my song.wav", "-y"}},
      {R"(-metadata title="A  B" x)", {"-metadata", "title=A  B", "x"}},
      {R"(a"b c"d)", {"ab cd"}},
      {R"(-i "" x)", {"-i", "", "x"}},
      {R"(-i "open ended  )", {"-i", "open ended  "}},
      {"tab\tand\nnewline", {"tab\tand\nnewline"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitArguments(c.text), c.expected) << c.text;
}

}  // namespace
