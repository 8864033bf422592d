#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <set>

#include "platform/log.hpp"
#include "platform/temporary.hpp"
#include "support/support.hpp"

namespace {

// TMPDIR is the platform's own setting for where temporary files go; the directory text must
// end in exactly one separator however it is written there.
TEST(Temporary, DirectoryEndsInExactlyOneSeparator) {
  vornlib::test::TempDir dir;
  const char* previous = ::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  for (const std::string& written :
       {dir.path().native(), dir.path().native() + "/", dir.path().native() + "///"}) {
    ::setenv("TMPDIR", written.c_str(), 1);
    EXPECT_EQ(vornlib::platform::temporaryDirectory(), dir.path().native() + "/") << written;
  }
  ::setenv("TMPDIR", (dir.path() / "missing").c_str(), 1);
  EXPECT_EQ(vornlib::platform::temporaryDirectory().back(), '/');
  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

TEST(Temporary, UuidsAreFreshUpperCaseAndVersion4) {
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string uuid = vornlib::platform::uuidString();
    ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 1000U);
}

TEST(Log, LinesReachTheSinkVerbatimAndTheSinkCanBeRestored) {
  std::vector<std::string> outer;
  const auto original =
      vornlib::setLogSink([&](std::string_view line) { outer.emplace_back(line); });
  {
    vornlib::test::LogCapture capture;
    vornlib::platform::log("Command = -i \"/a%d %s\"  x");
    vornlib::platform::log("");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Command = -i \"/a%d %s\"  x", ""}));
  }
  vornlib::platform::log("after");
  EXPECT_EQ(outer, std::vector<std::string>{"after"});
  // A sink that throws loses its line and nothing else.
  vornlib::setLogSink([](std::string_view) { throw std::runtime_error("full"); });
  EXPECT_NO_THROW(vornlib::platform::log("dropped"));
  vornlib::setLogSink(original);
}

}  // namespace
