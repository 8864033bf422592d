#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Keeps the source one house: which room may include which, and no file over 400 lines.
# Usage: check-rooms.sh [repository root]. Prints each breach and exits 1 if there is any.
set -u
cd "${1:-$(dirname "$0")/../..}" || exit 2
status=0

breach() {
  echo "rooms: $*"
  status=1
}

# The quoted includes of the files under $1, as "file: header" lines.
includes() {
  grep -rHo --include='*.cpp' --include='*.hpp' --include='*.h' '^#include "[^"]*"' "$1" |
    sed 's/:#include "/: /; s/"$//'
}

# Every include under $1 must match the extended regular expression $2.
only() {
  local room=$1 allowed=$2
  while IFS= read -r line; do
    [[ ${line#*: } =~ $allowed ]] || breach "$room may not include ${line#*: } (${line%%: *})"
  done < <(includes "$room")
}

# No file under $1 may include an FFmpeg header.
no_ffmpeg() {
  local hits
  hits=$(grep -rHn --include='*.cpp' --include='*.hpp' -E '^#include <lib(av|sw)[a-z]*/' "$1")
  [ -z "$hits" ] || breach "$1 includes FFmpeg: $hits"
}

own='^(vornlib/export\.h|vornlib/log\.hpp|vornlib/ffmpeg_runner\.hpp)$'
only include/vornlib '^vornlib/[a-z_]+\.(hpp|h)$'
only src/settings '^vornlib/'
only src/runtime '^(runtime/|vornlib/log\.hpp$)'
only src/platform/posix "^(platform/posix/|runtime/)|$own"
only src/platform/av "^(platform/av/|platform/posix/|runtime/)|$own"
only src/platform/audio_file "^(platform/audio_file/|platform/av/|platform/posix/|runtime/)|$own"
only src/platform/runner "^(platform/runner/|platform/posix/|runtime/)|$own"
only src/info '^(info/|platform/av/|vornlib/)'
only src/ffmpeg '^(ffmpeg/|platform/|runtime/|vornlib/)'
only src/native '^(native/|platform/|runtime/|vornlib/)'
only src/facade '^(facade/|ffmpeg/|native/|platform/|runtime/|vornlib/)'
no_ffmpeg src/platform/posix
no_ffmpeg src/platform/runner
no_ffmpeg src/runtime
strays=$(find src/platform -maxdepth 1 -type f)
[ -z "$strays" ] || breach "files directly in src/platform: $strays"

while read -r count file; do
  [ "$file" = total ] || [ "$count" -le 400 ] || breach "$file has $count lines (at most 400)"
done < <(find src include -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 |
  xargs -0 wc -l)

[ "$status" -eq 0 ] && echo "rooms: every include goes where it may, every file within 400 lines"
exit "$status"
