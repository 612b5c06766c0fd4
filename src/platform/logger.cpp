#include "platform/logger.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/text.h"
#include "platform/descriptor.h"

namespace velmora {

std::string_view levelName(LogLevel level) {
  switch (level) {
    case LogLevel::info:
      return "info";
    case LogLevel::error:
      return "error";
  }
  return "info";
}

std::string formatLogLine(const LogRecord& record) {
  // Texts from messages and paths reach records: escaped, they can neither
  // forge a second record nor drive the reader's terminal.
  std::string line = escapeControlCharacters(record.subsystem);
  line += '[';
  line += escapeControlCharacters(record.category);
  line += "] ";
  line += levelName(record.level);
  line += ": ";
  line += escapeControlCharacters(record.text);
  return line;
}

Logger::Logger(std::string subsystem, std::string category)
    : Logger(std::move(subsystem), std::move(category), lineSink(STDERR_FILENO)) {}

Logger::Logger(std::string subsystem, std::string category, Sink sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

void Logger::write(LogLevel level, std::string_view text) const {
  if (!sink_) return;
  sink_(LogRecord{subsystem_, category_, level, std::string(text)});
}

Logger::Sink lineSink(int fd) {
  return [fd](const LogRecord& record) {
    std::string line = formatLogLine(record);
    line += '\n';
    // A log line that cannot be written is lost; the request goes on.
    (void)writeAll(fd, line);
  };
}

}  // namespace velmora
