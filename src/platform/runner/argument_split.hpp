// SPDX-License-Identifier: MIT
// Splits an FFmpeg argument string into the argument vector handed to the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vornlib::platform::runner {

// Splits `text` the way the runner hands it to ffmpeg, without any shell:
// - only the blank ' ' separates arguments; tabs and newlines are ordinary characters, since
//   the strings come from our own argument builder, which joins with single blanks;
// - a run of blanks (and blanks at either end) makes no empty argument;
// - a double-quoted stretch belongs to the argument around it, without its quotes, blanks
//   inside kept: `-metadata title="A B"` gives `-metadata` and `title=A B`;
// - `""` on its own is an empty argument, the one way to pass one;
// - outside a quoted stretch, `\"` is a double quote that belongs to the argument (the
//   backslash dropped): `"12"\"" Mix.wav"` gives `12" Mix.wav`; every other backslash, and any
//   inside a quoted stretch, is an ordinary character;
// - an unterminated quote runs to the end of the string, as if closed there.
std::vector<std::string> splitArguments(std::string_view text);

}  // namespace vornlib::platform::runner
