// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <set>

#include "platform/posix/output.hpp"
#include "support/support.hpp"

namespace {

// TMPDIR is the platform's own setting for where temporary files go. The text must end in
// exactly one separator, and be absolute: a relative value would give relative locations, and
// one such as "pipe:1" would reach ffmpeg as a protocol.
TEST(Temporary, DirectoryIsAbsoluteEndingInExactlyOneSeparator) {
  const std::pair<std::string, std::string> rows[] = {
      {"/var/x", "/var/x/"},
      {"/var/x///", "/var/x/"},
      {"/", "/"},
      {"pipe:1", std::filesystem::current_path().native() + "/pipe:1/"}};
  for (const auto& [written, expected] : rows) {
    vornlib::test::TmpdirScope scope(written);
    EXPECT_EQ(vornlib::platform::posix::temporaryDirectory(), expected) << written;
  }
}

// Outputs land in a directory every local user can write to: a link or file planted under the
// name must never be written through, and what we create is ours alone.
TEST(Temporary, OutputsAreCreatedExclusivelyWithoutFollowingLinks) {
  using vornlib::platform::posix::createExclusive;
  vornlib::test::TempDir dir;
  const std::string link = dir / "planted", target = dir / "target", regular = dir / "regular";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  vornlib::platform::posix::UniqueFd fd;
  EXPECT_EQ(createExclusive(link, true, false, fd), EEXIST);
  EXPECT_FALSE(std::filesystem::exists(target));
  ASSERT_EQ(createExclusive(regular, false, false, fd), 0);
  EXPECT_EQ(createExclusive(regular, false, false, fd), EEXIST);
  EXPECT_EQ(createExclusive(regular, true, false, fd), 0);  // replaced, as an erase asks
  struct stat status {};
  ASSERT_EQ(::lstat(regular.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
}

TEST(Temporary, UuidsAreFreshUpperCaseAndVersion4) {
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(vornlib::platform::posix::uuidString());
  EXPECT_EQ(seen.size(), 1000U);
  for (const auto& uuid : seen) ASSERT_TRUE(std::regex_match(uuid, shape)) << uuid;
}

}  // namespace
