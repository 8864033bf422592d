// SPDX-License-Identifier: MIT
// What the benchmarks share: running a program to its end, making tones, medians.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vornlib::bench {

// Starts `argv` (argv[0] is the program's path) with standard input and standard error on
// /dev/null, reads its standard output to the end, and waits for it. The output is kept in
// `output` when given, thrown away otherwise. False when it could not start or did not exit
// with status 0.
bool runToEnd(std::vector<std::string> argv, std::string* output = nullptr);

// Writes a stereo 44.1 kHz sine tone of `seconds` with the real ffmpeg, encoded as `codec`
// says (ffmpeg options; empty for the format's default). False when ffmpeg failed.
bool makeTone(const std::filesystem::path& file, int seconds,
              const std::vector<std::string>& codec = {});

// A stereo 44.1 kHz 16-bit WAV of white noise lasting `seconds` (each channel its own noise),
// made once with the real ffmpeg and cached in the temporary directory as
// vornlib-bench-noise-<seconds>s.wav. Empty when ffmpeg failed.
std::filesystem::path noiseWav(int seconds);

double milliseconds(std::chrono::steady_clock::duration elapsed);

// The middle value (the upper one of the two middles for an even count); 0 for none.
double median(std::vector<double> values);

}  // namespace vornlib::bench
