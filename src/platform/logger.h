#pragma once

#include <functional>
#include <string>
#include <string_view>

// The system's log. Each record carries the subsystem, the category, the
// level and the formatted text; where it goes is up to the sink.
namespace velmora {

enum class LogLevel { info, error };

std::string_view levelName(LogLevel level);

struct LogRecord {
  std::string subsystem;
  std::string category;
  LogLevel level = LogLevel::info;
  std::string text;
  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

// "local.velmora[extension] info: Snapshot gespeichert: 3 Tabs"
std::string formatLogLine(const LogRecord& record);

class Logger {
 public:
  // Called for every record, possibly from several threads at once.
  using Sink = std::function<void(const LogRecord&)>;

  // Records go to stderr, which the browsers keep in their own logs.
  Logger(std::string subsystem, std::string category);
  Logger(std::string subsystem, std::string category, Sink sink);

  void info(std::string_view text) const { write(LogLevel::info, text); }
  void error(std::string_view text) const { write(LogLevel::error, text); }

 private:
  void write(LogLevel level, std::string_view text) const;

  std::string subsystem_;
  std::string category_;
  Sink sink_;
};

// Writes each record as one line on the descriptor, in a single write so
// that lines of concurrent requests never interleave.
Logger::Sink lineSink(int fd);

}  // namespace velmora
