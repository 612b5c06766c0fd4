#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

namespace velmora {

// A time as the extension's script writes scan times (toISOString: UTC,
// milliseconds, "Z").
inline std::string isoTime(double unixSeconds) {
  using namespace std::chrono;
  const auto millis = static_cast<long long>(std::round(unixSeconds * 1000));
  const sys_time<milliseconds> time{milliseconds(millis)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
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
