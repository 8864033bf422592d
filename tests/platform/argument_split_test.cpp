#include "platform/argument_split.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vornlib::platform::splitArguments;
using Args = std::vector<std::string>;

TEST(ArgumentSplit, Table) {
  const std::pair<const char*, Args> cases[] = {
      {"", {}},
      {"  -ar 44100  -ac 2 ", {"-ar", "44100", "-ac", "2"}},
      {R"(-i "/tmp/my song.wav" title="A  B"!)", {"-i", "/tmp/my song.wav", "title=A  B!"}},
      {R"(-i "" "open ended  )", {"-i", "", "open ended  "}},
      {"tab\tand\nnewline", {"tab\tand\nnewline"}}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(splitArguments(text), expected) << text;
}

}  // namespace
