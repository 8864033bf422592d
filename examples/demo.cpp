// SPDX-License-Identifier: MIT
// Example host program: converts one source to each of the eleven formats with its default
// codec (44100 Hz, 16 bits, 2 channels, 128 kbit/s), letting Vornlib pick the engine. The
// conversions run at once through the future style; a progress line on standard error follows
// them, and an observer collects why any of them failed. Then it prints one row per format:
// the engine that served it, the output's path and size, the six facts the probe reads and the
// title tag it finds, which shows the formats that keep a source's tags.
//
//   vornlib-demo [--keep] [FILE]
//
// Without FILE it makes a two-second tone to convert, tagged with a title, an artist and an
// album. Outputs are removed at the end unless --keep is given. Exit status: 0 when all eleven
// converted, 1 when some failed, 2 when the source cannot be used (nothing is converted then).
//
// Only the installed public headers are used: this is what a host sees.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <future>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vornlib/vornlib.hpp>

namespace {

constexpr std::size_t kFormats = 11;
constexpr std::size_t kTitleWidth = 16;  // characters of the title column

// A two-second stereo tone, made with the same runner the FFmpeg engine uses, with tags that are
// not all ASCII.
std::optional<std::filesystem::path> makeTone() {
  const auto path = std::filesystem::temp_directory_path() / "vornlib-demo-tone.wav";
  std::promise<bool> done;
  auto result = done.get_future();
  vornlib::processRunner().executeAsync(
      "-f lavfi -i \"sine=frequency=440:duration=2\" -ac 2 -metadata \"title=La à 440 Hz\" "
      "-metadata \"artist=Vornlib Démo\" -metadata \"album=Exemples sonores\" \"" +
          path.string() + "\"",
      [&done](std::shared_ptr<vornlib::FFmpegSession> session) {
        done.set_value(session && session->getReturnCode() &&
                       session->getReturnCode()->isValueSuccess());
      });
  if (!result.get()) return std::nullopt;
  return path;
}

// Why `source` cannot be converted, or nothing when it looks like audio. Checked before any
// conversion starts, so that a bad source gives one clear message instead of eleven failures.
std::optional<std::string> unusable(const std::filesystem::path& source) {
  std::error_code ec;
  const auto status = std::filesystem::status(source, ec);
  if (!std::filesystem::exists(status)) return "no such file";
  if (std::filesystem::is_directory(status)) return "is a directory";
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  if (!std::ifstream(source, std::ios::binary).is_open()) return "cannot be read";
  const auto info = Vornex::FileInfo::make(source);
  if (!info) return "not an audio file (no audio stream found)";
  if (!info->duration()) return "not an audio file (no duration)";
  return std::nullopt;
}

const char* engineName(Vornex::Engine engine) {
  return engine == Vornex::Engine::native ? "native" : "ffmpeg";
}

// The first `lines` non-empty lines of `text`, joined by " | ".
std::string firstLines(const std::string& text, int lines) {
  std::istringstream in(text);
  std::string line;
  std::string out;
  while (lines > 0 && std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!out.empty()) out += " | ";
    out += line;
    --lines;
  }
  return out;
}

// `text` followed by blanks up to `width` characters, counted as UTF-8 code points, so that a
// column stays straight whatever the language of its texts.
std::string padded(const std::string& text, std::size_t width) {
  const auto points = static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
  return text + std::string(width > points ? width - points : 0, ' ');
}

template <class T>
std::string show(const std::optional<T>& value) {
  if (!value) return "-";
  if constexpr (std::is_same_v<T, std::string>) {
    return *value;
  } else if constexpr (std::is_floating_point_v<T>) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(3) << *value;
    return out.str();
  } else {
    return std::to_string(*value);
  }
}

// How far each conversion has got, written by progress handlers and read by the progress line.
struct Board {
  struct Slot {
    std::atomic<double> fraction{-1};
    std::atomic<double> seconds{0};
    std::atomic<bool> reported{false};
    std::atomic<bool> done{false};
  };
  std::array<Slot, kFormats> slots;
  std::atomic<std::size_t> finished{0};
};

// What the observer saw of the failures, by format.
struct Failures {
  std::mutex mutex;
  std::map<std::size_t, Vornex::Report> byFormat;
};

// Standard error carries both the progress line and Vornlib's log lines: one writer at a time.
std::mutex stderrMutex;

// The format whose final progress report this thread has just handled: the observer runs right
// after it, on the same thread, and its report does not name the configuration.
thread_local std::optional<std::size_t> formatOnThisThread;

std::string progressLine(const Board& board, const std::vector<Vornex::Format>& formats) {
  std::ostringstream line;
  line << "converting: " << board.finished.load() << '/' << formats.size() << " done";
  for (std::size_t i = 0; i < formats.size(); ++i) {
    const auto& slot = board.slots[i];
    if (!slot.reported.load() || slot.done.load()) continue;  // queued, or finished
    line << ", " << formats[i].rawValue() << ' ';
    const double fraction = slot.fraction.load();
    if (fraction >= 0) {
      line << static_cast<int>(fraction * 100) << '%';
    } else {
      line << std::fixed << std::setprecision(1) << slot.seconds.load() << 's';
    }
  }
  return line.str();
}

// Redraws the progress line until told to stop: in place on a terminal, otherwise a plain line
// whenever the count of finished conversions changes.
class ProgressLine {
 public:
  ProgressLine(const Board& board, const std::vector<Vornex::Format>& formats)
      : board_(board), formats_(formats), terminal_(isatty(STDERR_FILENO) != 0) {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  }
  ~ProgressLine() {
    thread_.request_stop();  // wakes the wait below
    thread_.join();
    if (terminal_) std::cerr << "\r\033[K" << std::flush;
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void run(const std::stop_token& stop) {
    std::size_t shown = kFormats + 1;
    std::mutex mutex;
    std::unique_lock lock(mutex);
    while (!stop.stop_requested()) {
      const std::string line = progressLine(board_, formats_);
      {
        std::lock_guard writing(stderrMutex);
        if (terminal_) {
          // Cut to a common terminal width so that the line never wraps and '\r' stays on it.
          std::cerr << '\r' << line.substr(0, 79) << "\033[K" << std::flush;
        } else if (board_.finished.load() != shown) {
          shown = board_.finished.load();
          std::cerr << line << '\n';
        }
      }
      wake_.wait_for(lock, stop, std::chrono::milliseconds(100), [] { return false; });
    }
  }

  const Board& board_;
  const std::vector<Vornex::Format>& formats_;
  const bool terminal_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

struct Row {
  Vornex::Format format;
  Vornex::Engine engine;
  std::optional<std::filesystem::path> output;
  std::string error;  // what() of the error; empty after a success
};

void printRow(const Row& row) {
  std::cout << std::left << std::setw(5) << row.format.rawValue() << ' ' << std::setw(7)
            << engineName(row.engine);
  if (!row.output) {
    std::cout << "failed: " << row.error << '\n';
    return;
  }
  std::error_code ec;
  const auto size = std::filesystem::file_size(*row.output, ec);
  const auto info = Vornex::FileInfo::make(*row.output);
  std::cout << std::right << std::setw(9) << (ec ? std::string("-") : std::to_string(size));
  if (info) {
    std::cout << std::setw(7) << show(info->duration()) << std::setw(5) << show(info->bitRate())
              << std::setw(7) << show(info->sampleRate()) << "  " << std::left << std::setw(12)
              << show(info->codecName()) << std::right << std::setw(4) << show(info->bitDepth())
              << std::setw(3) << show(info->chanelsCount()) << "  "
              << padded(show(info->tag("title")), kTitleWidth);
  } else {
    std::cout << "  (the probe reads nothing of it)";
  }
  std::cout << "  " << row.output->string() << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = false;
  std::optional<std::filesystem::path> given;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      keep = true;
    } else if (!given && (arg.empty() || arg[0] != '-' || arg == "-")) {
      given = arg;
    } else {
      std::cerr << "usage: vornlib-demo [--keep] [FILE]\n";
      return 2;
    }
  }

  std::filesystem::path source;
  if (given) {
    source = *given;
  } else if (auto tone = makeTone()) {
    source = *tone;
  } else {
    std::cerr << "vornlib-demo: could not make a tone with " << vornlib::ffmpegProgram() << '\n';
    return 2;
  }
  if (const auto why = unusable(source)) {
    std::cerr << "vornlib-demo: " << source.string() << ": " << *why << '\n';
    return 2;
  }
  const auto sourceInfo = Vornex::FileInfo::make(source);
  std::cout << "source: " << source.string() << " (" << show(sourceInfo->duration()) << " s, "
            << show(sourceInfo->codecName()) << ", " << show(sourceInfo->sampleRate()) << " Hz, "
            << show(sourceInfo->chanelsCount()) << " ch, title " << show(sourceInfo->tag("title"))
            << ")\n\n";

  // Vornlib's log lines (a failed run's command, a native failure's error) go above the
  // progress line rather than through it. The sink only writes: it must never wait for a
  // conversion, since it may be called on a thread doing one.
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const auto previousSink = vornlib::setLogSink([terminal](std::string_view text) {
    std::lock_guard writing(stderrMutex);
    std::cerr << (terminal ? "\r\033[K" : "") << text << '\n' << std::flush;
  });

  const auto allFormats = Vornex::Format::allCases();
  const std::vector<Vornex::Format> formats(allFormats.begin(), allFormats.end());
  auto board = std::make_shared<Board>();
  auto failures = std::make_shared<Failures>();

  // The observer sees every conversion once, right before its future is made ready; it only
  // files the failures away (it must not hold up the completion it precedes).
  const auto previousObserver = Vornex::setObserver([failures](const Vornex::Report& report) {
    if (!report.error) return;
    std::optional<std::size_t> index = std::exchange(formatOnThisThread, std::nullopt);
    if (!index && !report.output.empty()) {
      const auto extension = report.output.extension().string();
      if (const auto format = Vornex::Format::fromRawValue(
              extension.substr(std::min<std::size_t>(1, extension.size())))) {
        index = format->ordinal();
      }
    }
    if (!index) return;
    std::lock_guard lock(failures->mutex);
    failures->byFormat.insert_or_assign(*index, report);
  });

  std::vector<Row> rows;
  std::vector<std::future<std::filesystem::path>> results;
  {
    ProgressLine line(*board, formats);
    for (const Vornex::Format format : formats) {
      const std::size_t index = format.ordinal();
      auto config = std::make_shared<Vornex::Config>(format, std::nullopt, 44100, 16, 2, 128);
      rows.push_back({format, Vornex::engine(*config), std::nullopt, {}});

      Vornex::Options options;
      options.progress = [board, index](const Vornex::Progress& progress) {
        auto& slot = board->slots[index];
        slot.fraction = progress.fraction;
        slot.seconds = progress.seconds;
        slot.reported = true;
        if (progress.isFinal) {
          formatOnThisThread = index;  // for the observer, which runs next on this thread
          if (!slot.done.exchange(true)) ++board->finished;
        }
        return Vornex::ProgressAnswer::proceed;
      };
      results.push_back(Vornex::convert(source, config, std::move(options)));
    }

    for (std::size_t i = 0; i < results.size(); ++i) {
      try {
        rows[i].output = results[i].get();
      } catch (const VornError& error) {
        rows[i].error = error.what();
      } catch (const ExtError& error) {
        rows[i].error = error.what();
      } catch (const std::exception& error) {
        rows[i].error = error.what();
      }
      // Counted here too, in case a conversion made no final report.
      if (!board->slots[i].done.exchange(true)) ++board->finished;
    }
  }
  Vornex::setObserver(previousObserver);
  vornlib::setLogSink(previousSink);

  std::cout << "fmt   engine      bytes    dur kbps     Hz  codec       bits ch  "
            << padded("title", kTitleWidth) << "  output\n";
  std::size_t converted = 0;
  for (const Row& row : rows) {
    printRow(row);
    if (row.output) ++converted;
  }

  std::cout << '\n' << converted << " of " << rows.size() << " converted\n";
  for (const Row& row : rows) {
    if (row.output) continue;
    std::cout << "  " << row.format.rawValue() << ": " << row.error;
    std::lock_guard lock(failures->mutex);
    const auto report = failures->byFormat.find(row.format.ordinal());
    if (report != failures->byFormat.end() && !report->second.reason.empty()) {
      std::cout << " - " << firstLines(report->second.reason, 2);
    }
    std::cout << '\n';
  }

  if (!keep) {
    for (const Row& row : rows) {
      std::error_code ec;
      if (row.output) std::filesystem::remove(*row.output, ec);
    }
    std::cout << "(outputs removed; --keep keeps them)\n";
  }
  return converted == rows.size() ? 0 : 1;
}
