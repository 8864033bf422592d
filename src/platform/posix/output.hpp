// SPDX-License-Identifier: MIT
// Where a conversion's output goes: the temporary directory, a directory of the host's or a file
// the host names; fresh UUID names; and creating the file safely, also in a directory that other
// users share.
#pragma once

#include <sys/types.h>

#include <filesystem>
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

// Where one output goes.
struct OutputPlace {
  std::string directory;  // ending in '/': the output gets a fresh name there
  std::string file;       // otherwise: the output itself, which must not exist yet
  bool hostsOwn = false;  // a place of the host's choosing: mode 0666 less the umask, not 0600
};

// The place a host's destination names: empty, the temporary directory; an existing directory
// (a link to one included), a fresh name in it; anything else, that very file, made absolute.
// Throws std::bad_alloc.
OutputPlace outputPlace(const std::filesystem::path& destination);

// How many fresh names a creation tries: a clash of random UUIDs means somebody planted the
// name, and a few fresh tries get past that.
inline constexpr int kFreshNameAttempts = 8;

// Calls `create(path)` once with `place.file`, or on fresh names in `place.directory` until
// `taken(result)` is false, at most kFreshNameAttempts times; `path` then holds the name last
// tried. Gives what the last call gave. Throws std::bad_alloc.
template <class Create, class Taken>
auto createIn(const OutputPlace& place, std::string_view extension, std::string& path,
              Create create, Taken taken) {
  if (place.directory.empty()) {
    path = place.file;
    return create(path);
  }
  path = place.directory + uuidString() + "." + std::string(extension);
  auto result = create(path);
  for (int attempt = 1; attempt < kFreshNameAttempts && taken(result); ++attempt) {
    path = place.directory + uuidString() + "." + std::string(extension);
    result = create(path);
  }
  return result;
}

// Creates the file `path` for writing, exclusively and without following a link
// (O_CREAT|O_EXCL|O_NOFOLLOW; mode 0600, or 0666 less the umask for a place of the host's), and
// gives its descriptor in `file`. With `replaceRegular`, a regular file already at `path` is
// unlinked first (a link or anything else is left alone and the call fails with EEXIST).
// Returns 0 or the errno value.
int createExclusive(const std::string& path, bool replaceRegular, bool hostsOwn,
                    UniqueFd& file) noexcept;

// A new, empty output file at `place`, created as createExclusive does, a fresh name replacing
// a taken one (createIn). Returns 0 with the name in `path` and the descriptor in `file`, or the
// errno value.
int createOutput(const OutputPlace& place, std::string_view extension, std::string& path,
                 UniqueFd& file) noexcept;

// Which file an open descriptor is, to know it again by its name later.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
};
std::optional<FileIdentity> identityOf(const UniqueFd& file) noexcept;
// The same for the regular file at `path`, a link not followed; none for anything else.
std::optional<FileIdentity> identityOf(const std::string& path) noexcept;

// Removes `path` when it still is the file `created` and still empty: an output nothing was
// written into. Anything else there (written into, replaced, a link) is left as it is. True
// when it removed it.
bool removeIfStillEmpty(const std::string& path, const FileIdentity& created) noexcept;

// Removes `path` when it still is the file `created`, whatever it holds: an output whose
// writer put in nothing but its own framing. True when it removed it.
bool removeIfStillTheFile(const std::string& path, const FileIdentity& created) noexcept;

}  // namespace vornlib::platform::posix
