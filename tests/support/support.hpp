// SPDX-License-Identifier: MIT
// Helpers shared by the tests: waiting without hanging, capturing the log, running programs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vornlib/vornlib.hpp>

namespace vornlib::test {

// Long enough for any run on a loaded machine; a broken test fails instead of hanging.
inline constexpr std::chrono::seconds kPatience{120};

// Replaces the log sink for its lifetime and keeps every line.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> lines() const;
  // Appends a marker line, so that tests can check what was logged before an event.
  void mark(const std::string& marker);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LogSink previous_;
};

// What one completion call saw.
struct Report {
  std::optional<std::filesystem::path> location;
  std::optional<Vornex::Error> error;
  std::thread::id thread;
};

// Collects the completion calls of one conversion.
class Reports {
 public:
  Vornex::Completion completion();
  // Waits for the first report; fails the test (returns nullopt) after kPatience.
  std::optional<Report> first();
  std::size_t count() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Report> reports_;
  std::promise<void> arrived_;
  bool signalled_ = false;
};

// A fresh directory under the temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets TMPDIR, where Vornlib puts its outputs, for one scope, and puts back what was there.
class TmpdirScope {
 public:
  explicit TmpdirScope(const std::filesystem::path& value);
  ~TmpdirScope();
  TmpdirScope(const TmpdirScope&) = delete;
  TmpdirScope& operator=(const TmpdirScope&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Runs a program (no shell) and returns its exit status (-1 when it did not exit), with what
// it printed, standard output and standard error together, in `out`.
int runProgram(const std::vector<std::string>& argv, std::string* out = nullptr);

// Writes a sine tone with the real ffmpeg: `seconds` long, at `rate` Hz, with `channels`.
void makeTone(const std::filesystem::path& file, double seconds, int rate, int channels,
              const std::vector<std::string>& extra = {});

// The first audio stream of `file` as the real ffprobe sees it: codec_name, sample_rate,
// channels; empty strings when ffprobe fails.
struct ProbedStream {
  std::string codecName;
  std::string sampleRate;
  int channels = 0;
};
ProbedStream ffprobeAudio(const std::filesystem::path& file);

}  // namespace vornlib::test

// What a run may leave behind.
namespace vornlib::test {
using Descriptors = std::map<int, std::string>;  // each open descriptor and what it names
Descriptors openDescriptors();
std::vector<pid_t> descendants(const std::string& name);  // running `name`, at any depth
// The same descriptors open again and no child at all; on failure, says which differ.
::testing::AssertionResult leftNothing(const Descriptors& descriptors);
bool eventually(const std::function<bool()>& holds);  // false after kPatience
}  // namespace vornlib::test
