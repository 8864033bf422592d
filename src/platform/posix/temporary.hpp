// The temporary directory, fresh UUID names for output files, and creating them safely in a
// directory that other users share.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/unique_fd.hpp"

namespace vornlib::platform::posix {

// The temporary directory's path text, ending in exactly one '/'. Read afresh at each call:
// TMPDIR as it stands, else /tmp. A relative value is taken against the working directory, so
// that no name built on it can be read as a protocol or depend on where the host stands later.
std::string temporaryDirectory();

// A new random UUID, 36 characters, upper-case hexadecimal in groups of 8-4-4-4-12.
std::string uuidString();

// A fresh output name in the temporary directory: <directory><UUID>.<extension>.
std::string temporaryOutputPath(std::string_view extension);

// How many fresh names a creation tries: a clash of random UUIDs means somebody planted the
// name, and a few fresh tries get past that.
inline constexpr int kFreshNameAttempts = 8;

// Calls `create(path)` on fresh output names until `taken(result)` is false, at most
// kFreshNameAttempts times; `path` then holds the name last tried. Gives what the last call gave.
// Throws what temporaryOutputPath throws.
template <class Create, class Taken>
auto createUnderFreshName(std::string_view extension, std::string& path, Create create,
                          Taken taken) {
  path = temporaryOutputPath(extension);
  auto result = create(path);
  for (int attempt = 1; attempt < kFreshNameAttempts && taken(result); ++attempt) {
    path = temporaryOutputPath(extension);
    result = create(path);
  }
  return result;
}

// Creates the file `path` for writing, exclusively and without following a link
// (O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600), and gives its descriptor in `file`. With
// `replaceRegular`, a regular file already at `path` is unlinked first (a link or anything else
// is left alone and the call fails with EEXIST). Returns 0 or the errno value.
int createExclusive(const std::string& path, bool replaceRegular, UniqueFd& file) noexcept;

// A new, empty output file in the temporary directory, created as createExclusive does under a
// fresh name (createUnderFreshName). Returns 0 with the name in `path` and the descriptor in
// `file`, or the errno value.
int createTemporaryOutput(std::string_view extension, std::string& path, UniqueFd& file) noexcept;

// Which file an open descriptor is, to know it again by its name later.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
std::optional<FileIdentity> identityOf(const UniqueFd& file) noexcept;

// Removes `path` when it still is the file `created` and still empty: an output nothing was
// written into. Anything else there (written into, replaced, a link) is left as it is. True
// when it removed it.
bool removeIfStillEmpty(const std::string& path, const FileIdentity& created) noexcept;

}  // namespace vornlib::platform::posix
