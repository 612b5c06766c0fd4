#pragma once

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

namespace velmora {

// A time as the extension's script writes scan times (toISOString: UTC,
// milliseconds, "Z").
inline std::string isoTime(double unixSeconds) {
  const double millis = std::round(unixSeconds * 1000);
  const auto seconds = static_cast<std::time_t>(std::floor(millis / 1000));
  std::tm tm{};
  ::gmtime_r(&seconds, &tm);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + length, sizeof text - length, ".%03dZ",
                static_cast<int>(millis - static_cast<double>(seconds) * 1000));
  return text;
}

// 2024-05-01T12:00:00Z as seconds since the Unix epoch: where the scans of
// a test begin.
inline constexpr std::time_t kScanBase = 1714564800;

// The scan time `seconds` after the base.
inline std::string scanTime(double seconds) {
  return isoTime(static_cast<double>(kScanBase) + seconds);
}

}  // namespace velmora
