#include "platform/posix/temporary.hpp"

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

std::string temporaryOutputPath(std::string_view extension) {
  return temporaryDirectory().append(uuidString()).append(".").append(extension);
}

int createExclusive(const std::string& path, bool replaceRegular, UniqueFd& file) noexcept {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = -1;
    do {
      fd = ::open(path.c_str(), kFlags, 0600);
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

int createTemporaryOutput(std::string_view extension, std::string& path, UniqueFd& file) noexcept {
  try {
    // A directory that refuses for another reason than a taken name fails at the first try.
    return createUnderFreshName(
        extension, path,
        [&file](const std::string& name) { return createExclusive(name, false, file); },
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

bool removeIfStillEmpty(const std::string& path, const FileIdentity& created) noexcept {
  // Only the owner may rename or remove a file in a sticky directory, so what is found under
  // the name here is still what is removed below.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size != 0 ||
      status.st_dev != created.device || status.st_ino != created.inode) {
    return false;
  }
  return ::unlink(path.c_str()) == 0;
}

}  // namespace vornlib::platform::posix
