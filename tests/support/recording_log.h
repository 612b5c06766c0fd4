#pragma once

#include <vector>

#include "platform/logger.h"

namespace velmora {

// A log whose records stay here for the test to read.
struct RecordingLog {
  std::vector<LogRecord> records;

  Logger::Sink sink() {
    return [this](const LogRecord& record) { records.push_back(record); };
  }
  Logger logger() { return Logger("local.velmora", "extension", sink()); }
};

}  // namespace velmora
