// SPDX-License-Identifier: MIT
#include "platform/posix/output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/posix/path.hpp"

namespace vornlib::platform::posix {

std::string temporaryDirectory() {
  // TMPDIR as it stands, even when it names no directory: creating the output there then fails,
  // which a host can see, where falling back to /tmp would put files where it did not ask. A
  // relative one whose base cannot be known (the working directory was removed) stays relative:
  // nothing can be created under it either.
  const char* setting = std::getenv("TMPDIR");
  std::filesystem::path directory(setting != nullptr && *setting != '\0' ? setting : "/tmp");
  if (directory.is_relative()) directory = absolutePath(directory);
  std::string text = directory.native();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text.back() != '/') text.push_back('/');
  return text;
}

std::string uuidString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  std::array<char, 37> text{};  // 36 characters and the terminator
  uuid_unparse_upper(uuid, text.data());
  return std::string(text.data(), 36);
}

OutputPlace outputPlace(const std::filesystem::path& destination) {
  OutputPlace place;
  if (destination.empty()) {
    place.directory = temporaryDirectory();
    return place;
  }
  place.hostsOwn = true;
  struct stat status {};
  const std::string absolute = absolutePath(destination).native();
  if (::stat(absolute.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    place.directory = absolute;
    while (place.directory.size() > 1 && place.directory.back() == '/') place.directory.pop_back();
    if (place.directory.back() != '/') place.directory.push_back('/');
  } else {
    place.file = absolute;
  }
  return place;
}

int createExclusive(const std::string& path, bool replaceRegular, bool hostsOwn,
                    UniqueFd& file) noexcept {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  // The temporary directory is shared: what we make there is ours alone. At the host's own place
  // the host's umask decides, as for any file it makes.
  const mode_t mode = hostsOwn ? 0666 : 0600;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = -1;
    do {
      fd = ::open(path.c_str(), kFlags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      file = UniqueFd(fd);
      return 0;
    }
    if (errno != EEXIST || !replaceRegular || attempt > 0) return errno;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return EEXIST;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
  }
  return EEXIST;
}

int createOutput(const OutputPlace& place, std::string_view extension, std::string& path,
                 UniqueFd& file) noexcept {
  try {
    // A place that refuses for another reason than a taken name fails at the first try.
    return createIn(
        place, extension, path,
        [&](const std::string& name) { return createExclusive(name, false, place.hostsOwn, file); },
        [](int error) { return error == EEXIST; });
  } catch (...) {
    return ENOMEM;
  }
}

std::optional<FileIdentity> identityOf(const UniqueFd& file) noexcept {
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

std::optional<FileIdentity> identityOf(const std::string& path) noexcept {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return FileIdentity{status.st_dev, status.st_ino};
}

namespace {

bool removeIfStill(const std::string& path, const FileIdentity& created, bool emptyOnly) noexcept {
  // Only the owner may rename or remove a file in a sticky directory, so what is found under
  // the name here is still what is removed below.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      (emptyOnly && status.st_size != 0) || status.st_dev != created.device ||
      status.st_ino != created.inode) {
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

}  // namespace

bool removeIfStillEmpty(const std::string& path, const FileIdentity& created) noexcept {
  return removeIfStill(path, created, true);
}

bool removeIfStillTheFile(const std::string& path, const FileIdentity& created) noexcept {
  return removeIfStill(path, created, false);
}

}  // namespace vornlib::platform::posix
